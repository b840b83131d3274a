// Allocation failures at every point of a load and a dump, injected by wrapping the C allocator at
// link time: results are 3 (or 1 for dumps), nothing changes, nothing leaks.
#include <gtest/gtest.h>

#include <cstdlib>

#include "common/alloc_failure.h"
#include "common/db_helpers.h"
#include "kivo/audio_pack.h"
#include "common/pack_bytes.h"
#include "common/stream_helpers.h"

namespace {

using kivo::Bytes;
using kivo::test::dumpToBytes;
using kivo::test::EntryValue;
using kivo::test::fillEntries;
using kivo::test::loadBytes;
using kivo::test::PackBytes;
using kivo::test::ScopedDB;
using kivo::test::sidesAgree;
using kivo::test::snapshot;

// Lets the next `count` allocations through and fails the ones after, while alive.
struct FailAfter {
  explicit FailAfter(long count) { kivo::test::failAllocationsAfter(count); }
  ~FailAfter() { kivo::test::failAllocationsAfter(-1); }
  FailAfter(const FailAfter&) = delete;
  FailAfter& operator=(const FailAfter&) = delete;
};

const Bytes kData = {1, 2, 3, 4, 5, 6, 7, 8};

TEST(AudioPackAllocTest, ALoadFailingAtAnyAllocationChangesNothing) {
  const Bytes stream = PackBytes()
                           .header()
                           .add("X", 1, kData)
                           .del("H")
                           .add("Y", 2, kData)
                           .test("E2", adler32(kData.data(), 8))
                           .del("E3")
                           .add("Z", 3, {})
                           .end()
                           .bytes;
  bool succeeded = false;
  for (long allowed = 0; !succeeded; ++allowed) {
    SCOPED_TRACE(allowed);
    ScopedDB t;
    fillEntries(&t.db, {{"H", 0, kData}, {"E2", 0, kData}, {"E3", 0, kData}});
    const auto before = snapshot(&t.db);
    int code;
    bool failed;
    {
      FailAfter budget(allowed);
      code = loadBytes(&t.db, stream);
      failed = kivo::test::allocationFailed();
    }
    succeeded = !failed;
    EXPECT_EQ(code, failed ? APACK_ERR_NOMEM : APACK_OK);
    if (failed) {
      EXPECT_EQ(snapshot(&t.db), before);
      EXPECT_TRUE(sidesAgree(t.db));
      EXPECT_EQ(loadBytes(&t.db, stream), APACK_OK);  // the next writer works
    }
    EXPECT_EQ(snapshot(&t.db).size(), 4u);
    ASSERT_LT(allowed, 100);
  }
}

TEST(AudioPackAllocTest, ADumpToMemoryFailingToGrowReturnsOneAndLeavesTheOutputs) {
  ScopedDB t;
  fillEntries(&t.db, {{"big", 0, Bytes(5000, 7)}});
  uint8_t* data = nullptr;
  int length = 0;
  {
    FailAfter budget(1);  // the first 1024 bytes, then no growth
    EXPECT_EQ(apack_dump_to_string(&t.db, APACK_OP_ADD, &data, &length), 1);
  }
  EXPECT_EQ(data, nullptr);
  EXPECT_EQ(length, 0);
  EXPECT_EQ(dumpToBytes(&t.db, APACK_OP_ADD).size(), 5056u);
}

}  // namespace
