// Readers walking while packs load: each walk sees a whole pack or none of it, also when packs
// fail half-way through their apply phase.
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "common/db_helpers.h"
#include "kivo/audio_pack.h"
#include "common/pack_bytes.h"
#include "common/stream_helpers.h"

namespace {

using kivo::Bytes;
using kivo::test::fillEntries;
using kivo::test::loadBytes;
using kivo::test::PackBytes;
using kivo::test::readNames;
using kivo::test::ScopedDB;
using kivo::test::sidesAgree;
using Names = std::vector<std::string>;

TEST(AudioPackConcurrencyTest, ReadersSeeWholePacksOrNothing) {
  ScopedDB t;
  const Bytes data = {1, 2, 3, 4, 5, 6, 7, 8};
  fillEntries(&t.db, {{"base", 0, data}});
  const uint32_t sum = adler32(data.data(), 8);
  // Alternately adds and removes "a", "b" and "c"; every other pack fails after its edits.
  const Bytes addAll = PackBytes().header().add("c", 0, data).add("b", 0, data).add("a", 0, data).end().bytes;
  const Bytes removeAll = PackBytes().header().del("a").del("b").del("c").test("base", sum).end().bytes;
  const Bytes failingAdd =
      PackBytes().header().add("x", 0, data).del("base").test("base", sum).end().bytes;
  const Bytes failingRemove = PackBytes().header().del("a").del("base").test("a", sum).end().bytes;
  const std::set<Names> allowed = {{"base"}, {"a", "b", "c", "base"}};

  std::atomic<bool> done{false};
  std::atomic<int> walks{0};
  std::vector<std::thread> readers;
  for (int r = 0; r < 2; ++r) {
    readers.emplace_back([&] {
      // At least a few walks each, however fast the writer is.
      for (int n = 0; !done.load() || n < 50; ++n) {
        const Names seen = readNames(&t.db);
        EXPECT_TRUE(allowed.count(seen)) << ::testing::PrintToString(seen);
        walks.fetch_add(1);
      }
    });
  }
  for (int round = 0; round < 300; ++round) {
    const bool filled = round % 2 == 1;
    EXPECT_EQ(loadBytes(&t.db, filled ? failingRemove : failingAdd), APACK_ERR_MISMATCH);
    EXPECT_EQ(loadBytes(&t.db, filled ? removeAll : addAll), APACK_OK);
  }
  done.store(true);
  for (auto& reader : readers) reader.join();
  EXPECT_GE(walks.load(), 100);
  EXPECT_EQ(readNames(&t.db), Names{"base"});
  EXPECT_TRUE(sidesAgree(t.db));
}

}  // namespace
