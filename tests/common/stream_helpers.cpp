#include "common/stream_helpers.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace kivo::test {

std::vector<EntryValue> snapshot(AudioDB* db) {
  std::vector<EntryValue> values;
  AudioReader rdr;
  adb_reader_start(&rdr, db);
  while (const AudioEntry* e = adb_reader_next(&rdr)) {
    EntryValue v{e->name.str ? e->name.str : "(none)", e->mask, {}};
    if (e->buffer) v.bytes.assign(e->buffer, e->buffer + e->size);
    values.push_back(std::move(v));
  }
  adb_reader_end(&rdr);
  return values;
}

void fillEntries(AudioDB* db, const std::vector<EntryValue>& entries) {
  AudioWriter wrr;
  adb_writer_start(&wrr, db);
  std::vector<AudioAddCtx> adds(entries.size());
  for (size_t i = entries.size(); i-- > 0;) {
    AudioEntry entry;
    adb_entry_init(&entry, uint8_t(entries[i].mask));
    EXPECT_EQ(adb_entry_set_name(&entry, entries[i].name.c_str()), 1);
    EXPECT_EQ(adb_entry_init_buffer(&entry, entries[i].bytes.data(), entries[i].bytes.size()), 1);
    EXPECT_EQ(adb_add_preswap(&adds[i], &wrr, &entry), 1);
  }
  adb_writer_swap(&wrr);
  for (size_t i = entries.size(); i-- > 0;) adb_add_postswap(&adds[i]);
  adb_writer_end(&wrr);
}

Bytes dumpToBytes(AudioDB* db, int flags) {
  uint8_t* data = nullptr;
  int length = 0;
  if (apack_dump_to_string(db, flags, &data, &length) != 0) return {};
  Bytes bytes(data, data + length);
  std::free(data);
  return bytes;
}

int loadBytes(AudioDB* db, const Bytes& stream) {
  return apack_load_from_string(db, stream.data(), int(stream.size()));
}

}  // namespace kivo::test
