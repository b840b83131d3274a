#include "common/db_helpers.h"

#include <gtest/gtest.h>

namespace kivo::test {

AudioEntry makeEntry(const char* name, const std::vector<uint64_t>& words, uint8_t mask) {
  AudioEntry entry;
  adb_entry_init(&entry, mask);
  EXPECT_EQ(adb_entry_set_name(&entry, name), 1);
  EXPECT_EQ(adb_entry_init_buffer(&entry, words.data(), words.size() * sizeof(uint64_t)), 1);
  return entry;
}

void fill(AudioDB* db, const std::vector<std::string>& names) {
  AudioWriter wrr;
  adb_writer_start(&wrr, db);
  std::vector<AudioAddCtx> adds(names.size());
  for (size_t i = names.size(); i-- > 0;) {
    const AudioEntry entry = makeEntry(names[i].c_str(), {i});
    EXPECT_EQ(adb_add_preswap(&adds[i], &wrr, &entry), 1);
  }
  adb_writer_swap(&wrr);
  for (size_t i = names.size(); i-- > 0;) {
    adb_add_postswap(&adds[i]);
  }
  adb_writer_end(&wrr);
}

std::vector<std::string> sideNames(const AudioDB& db, int s) {
  std::vector<std::string> names;
  for (const AudioEntry* e = db.head[s]; e != nullptr; e = e->next[s]) {
    names.emplace_back(e->name.str != nullptr ? e->name.str : "(none)");
  }
  return names;
}

std::vector<std::string> readNames(AudioDB* db) {
  std::vector<std::string> names;
  AudioReader rdr;
  adb_reader_start(&rdr, db);
  while (const AudioEntry* e = adb_reader_next(&rdr)) {
    names.emplace_back(e->name.str != nullptr ? e->name.str : "(none)");
  }
  adb_reader_end(&rdr);
  return names;
}

bool sidesAgree(const AudioDB& db) {
  if (db.head[0] != db.head[1]) {
    return false;
  }
  for (const AudioEntry* e = db.head[0]; e != nullptr; e = e->next[0]) {
    if (e->next[0] != e->next[1]) {
      return false;
    }
  }
  return true;
}

AudioEntry* findOnWriterSide(AudioWriter* wrr, const char* name, AudioEntry** prev) {
  const HashedStr wanted = hstr_from_str(name);
  adb_writer_restart(wrr);
  for (;;) {
    AudioEntry* behind = adb_writer_behind(wrr);
    AudioEntry* e = adb_writer_next(wrr);
    if (e == nullptr || hstr_eq(&e->name, &wanted)) {
      *prev = behind;
      return e;
    }
  }
}

}  // namespace kivo::test
