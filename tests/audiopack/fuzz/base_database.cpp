#include "base_database.h"

#include <cstring>

namespace kivo::fuzz {

Bytes baseData(const char* name) {
  return std::strcmp(name, "alpha") == 0 ? Bytes{1, 2, 3, 4, 5, 6, 7, 8} : Bytes{8, 7, 6, 5, 4, 3, 2, 1};
}

void fillBaseDatabase(AudioDB* db) {
  struct Seed {
    const char* name;
    uint8_t mask;
    bool data;
  };
  const Seed seeds[] = {{"gamma", 0, false}, {"beta", 2, true}, {"alpha", 1, true}};  // added last first
  AudioWriter wrr;
  adb_writer_start(&wrr, db);
  AudioAddCtx adds[3];
  for (int i = 0; i < 3; ++i) {
    AudioEntry entry;
    adb_entry_init(&entry, seeds[i].mask);
    adb_entry_set_name(&entry, seeds[i].name);
    if (seeds[i].data) {
      const Bytes data = baseData(seeds[i].name);
      adb_entry_init_buffer(&entry, data.data(), data.size());
    }
    adb_add_preswap(&adds[i], &wrr, &entry);
  }
  adb_writer_swap(&wrr);
  for (auto& add : adds) adb_add_postswap(&add);
  adb_writer_end(&wrr);
}

}  // namespace kivo::fuzz
