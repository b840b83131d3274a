// Helpers for pack stream tests: dumping to and loading from memory, and database snapshots.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "kivo/audio_db.h"
#include "kivo/audio_pack.h"
#include "kivo/bytes.h"

namespace kivo::test {

// An entry as a value: name (or "(none)"), mask and bytes.
struct EntryValue {
  std::string name;
  unsigned mask = 0;
  Bytes bytes;
  friend bool operator==(const EntryValue&, const EntryValue&) = default;
};

// What a reader sees, in list order.
std::vector<EntryValue> snapshot(AudioDB* db);

// Adds the entries in one write so that the list reads them in the given order.
void fillEntries(AudioDB* db, const std::vector<EntryValue>& entries);

// apack_dump_to_string; an empty value when it returns 1.
Bytes dumpToBytes(AudioDB* db, int flags);

int loadBytes(AudioDB* db, const Bytes& stream);

}  // namespace kivo::test
