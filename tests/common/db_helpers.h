// Small helpers for audio database tests: an owning database, entry templates and views of
// both sides of the list.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "kivo/audio_db.h"

namespace kivo::test {

// Initialises a database and frees it (with its link checks) at scope end.
struct ScopedDB {
  ScopedDB() { adb_init(&db); }
  ~ScopedDB() { adb_free(&db); }
  ScopedDB(const ScopedDB&) = delete;
  ScopedDB& operator=(const ScopedDB&) = delete;
  AudioDB db;
};

// An entry template with a copied name and buffer, ready for adb_add_preswap.
AudioEntry makeEntry(const char* name, const std::vector<uint64_t>& words, uint8_t mask = 0);

// Adds names in one write so that the list reads them in the given order.
void fill(AudioDB* db, const std::vector<std::string>& names);

// Names along side s, following head[s] and next[s] directly (no locks: no writer may be active).
std::vector<std::string> sideNames(const AudioDB& db, int s);

// Names a reader sees from start to end.
std::vector<std::string> readNames(AudioDB* db);

// True when both heads and both links of every entry are equal.
bool sidesAgree(const AudioDB& db);

// Walks the writer side as a pack loader does (restart, next, behind) to the first entry named
// name. Returns it, or NULL; *prev receives its predecessor (NULL for the head).
AudioEntry* findOnWriterSide(AudioWriter* wrr, const char* name, AudioEntry** prev);

}  // namespace kivo::test
