// Allocation failures of the database, injected by wrapping the C allocator at link time.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "common/alloc_failure.h"
#include "common/db_helpers.h"
#include "kivo/audio_db.h"

namespace {

using kivo::test::fill;
using kivo::test::makeEntry;
using kivo::test::OutOfMemory;
using kivo::test::readNames;
using kivo::test::ScopedDB;
using kivo::test::sideNames;
using Names = std::vector<std::string>;

TEST(AllocationFailureTest, StringsReportZeroAndKeepWhatTheyHad) {
  HashedStr h = {const_cast<char*>("stale"), 5};
  {
    OutOfMemory oom;
    EXPECT_EQ(hstr_init_from_str(&h, "abc"), 0);
  }
  EXPECT_EQ(h.str, nullptr);
  EXPECT_EQ(h.hash, 0u);

  const HashedStr other = hstr_from_str("other");
  {
    OutOfMemory oom;
    EXPECT_EQ(hstr_init_from_other(&h, &other), 0);
  }
  EXPECT_EQ(h.str, nullptr);

  ASSERT_EQ(hstr_init_from_str(&h, "kept"), 1);
  char* before = h.str;
  {
    OutOfMemory oom;
    EXPECT_EQ(hstr_set_str(&h, "new"), 0);
  }
  EXPECT_EQ(h.str, before);
  EXPECT_STREQ(h.str, "kept");
  EXPECT_EQ(h.hash, hstr_from_str("kept").hash);
  hstr_reset(&h);
}

TEST(AllocationFailureTest, EntriesReportZeroWithTheDocumentedState) {
  AudioEntry e = makeEntry("name", {0x0102030405060708u}, 4);
  e.reserved = 11;
  uint8_t* const buffer = e.buffer;
  AudioEntry untouched;
  adb_entry_init(&untouched, 9);
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  ASSERT_EQ(write(fds[1], "12345678", 8), 8);
  int setName, resize, initFromOther;
  {
    OutOfMemory oom;
    setName = adb_entry_set_name(&e, "other");
    resize = adb_entry_resize_buffer(&e, 64);
    initFromOther = adb_entry_init_from_other(&untouched, &e);
  }
  EXPECT_EQ(setName, 0);
  EXPECT_STREQ(e.name.str, "name");
  EXPECT_EQ(resize, 0);  // unchanged
  EXPECT_EQ(e.buffer, buffer);
  EXPECT_EQ(e.size, 8u);
  EXPECT_EQ(initFromOther, 0);  // nothing else changed
  EXPECT_EQ(untouched.name.str, nullptr);
  EXPECT_EQ(untouched.mask, 9u);
  EXPECT_EQ(untouched.reserved, 0u);

  int initBuffer, mapBuffer;
  {
    OutOfMemory oom;
    initBuffer = adb_entry_init_buffer(&e, "abcdefgh", 8);
    mapBuffer = adb_entry_map_buffer(&e, fds[0], 8);
  }
  EXPECT_EQ(initBuffer, 0);
  EXPECT_EQ(mapBuffer, 0);
  EXPECT_EQ(e.buffer, nullptr);
  char pending[8];
  EXPECT_EQ(read(fds[0], pending, 8), 8);  // nothing was consumed
  close(fds[0]);
  close(fds[1]);
  adb_entry_reset(&e);
}

TEST(AllocationFailureTest, AddAndReplaceLeaveTheListUnchanged) {
  ScopedDB t;
  fill(&t.db, {"a", "b"});
  AudioWriter wrr;
  adb_writer_start(&wrr, &t.db);
  AudioEntry added = makeEntry("x", {1});
  AudioEntry copy;
  ASSERT_EQ(adb_replace_get_copy(&wrr, &copy, adb_writer_get_head(&wrr)), 1);
  AudioAddCtx add;
  AudioChangeCtx change;
  int addResult, replaceResult;
  {
    OutOfMemory oom;
    addResult = adb_add_preswap(&add, &wrr, &added);
    replaceResult = adb_replace_preswap(&change, &wrr, adb_writer_get_head(&wrr), &copy);
  }
  EXPECT_EQ(addResult, 0);
  EXPECT_EQ(replaceResult, 0);
  EXPECT_EQ(sideNames(t.db, 1 - wrr.side), (Names{"a", "b"}));
  adb_writer_end(&wrr);  // nothing was edited
  EXPECT_EQ(readNames(&t.db), (Names{"a", "b"}));
  adb_entry_reset(&added);  // still the caller's
  adb_entry_reset(&copy);
}

}  // namespace
