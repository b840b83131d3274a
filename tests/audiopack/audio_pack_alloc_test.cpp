// Allocation failures at every point of a load and a dump, injected by wrapping the C allocator at
// link time (-Wl,--wrap=...): results are 3 (or 1 for dumps), nothing changes, nothing leaks.
#include <gtest/gtest.h>

#include <cstdlib>

#include "audiodb/db_helpers.h"
#include "kivo/audio_pack.h"
#include "pack_bytes.h"
#include "stream_helpers.h"

namespace {
// Allocations left before they start failing; negative: never fail.
long g_allocationsLeft = -1;
bool g_failed = false;

bool allocationAllowed() {
  if (g_allocationsLeft < 0) return true;
  if (g_allocationsLeft == 0) {
    g_failed = true;
    return false;
  }
  --g_allocationsLeft;
  return true;
}
}  // namespace

extern "C" {
void* __real_malloc(size_t size);
void* __real_calloc(size_t count, size_t size);
void* __real_realloc(void* p, size_t size);
void* __wrap_malloc(size_t size) { return allocationAllowed() ? __real_malloc(size) : nullptr; }
void* __wrap_calloc(size_t count, size_t size) { return allocationAllowed() ? __real_calloc(count, size) : nullptr; }
void* __wrap_realloc(void* p, size_t size) { return allocationAllowed() ? __real_realloc(p, size) : nullptr; }
}

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
  explicit FailAfter(long count) {
    g_allocationsLeft = count;
    g_failed = false;
  }
  ~FailAfter() { g_allocationsLeft = -1; }
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
      failed = g_failed;
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
