#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/db_helpers.h"
#include "kivo/audio_db.h"

namespace {

using kivo::test::fill;
using kivo::test::findOnWriterSide;
using kivo::test::makeEntry;
using kivo::test::readNames;
using kivo::test::ScopedDB;
using kivo::test::sideNames;
using kivo::test::sidesAgree;
using Names = std::vector<std::string>;

uint64_t firstWord(const AudioEntry* e) {
  uint64_t w = 0;
  std::memcpy(&w, e->buffer, sizeof w);
  return w;
}

TEST(AudioDBTest, ThreeAddsInOneWriteComeFirstLastAddedFirst) {
  ScopedDB t;
  fill(&t.db, {"old"});
  AudioWriter wrr;
  adb_writer_start(&wrr, &t.db);
  AudioAddCtx adds[3];
  const char* names[] = {"a", "b", "c"};
  for (int i = 0; i < 3; ++i) {
    const AudioEntry entry = makeEntry(names[i], {uint64_t(i)}, uint8_t(i));
    ASSERT_EQ(adb_add_preswap(&adds[i], &wrr, &entry), 1);
  }
  EXPECT_EQ(readNames(&t.db), Names{"old"});  // readers see none of it yet
  adb_writer_swap(&wrr);
  EXPECT_EQ(readNames(&t.db), (Names{"c", "b", "a", "old"}));
  for (AudioAddCtx& ctx : adds) {
    adb_add_postswap(&ctx);
  }
  adb_writer_end(&wrr);
  EXPECT_TRUE(sidesAgree(t.db));
  EXPECT_EQ(sideNames(t.db, 0), (Names{"c", "b", "a", "old"}));
  EXPECT_EQ(t.db.head[0]->mask, 2u);
  EXPECT_EQ(firstWord(t.db.head[0]), 2u);
}

// One complete write changing one entry found by a writer-side walk, before and after the swap.
TEST(AudioDBTest, ReplaceAndDeleteAtHeadMiddleAndTail) {
  struct Case {
    const char* target;
    bool replace;
    Names after;
  };
  const Case cases[] = {
      {"h", false, {"m", "t"}},     {"m", false, {"h", "t"}},     {"t", false, {"h", "m"}},
      {"h", true, {"X", "m", "t"}}, {"m", true, {"h", "X", "t"}}, {"t", true, {"h", "m", "X"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << (c.replace ? "replace " : "delete ") << c.target);
    ScopedDB t;
    fill(&t.db, {"h", "m", "t"});
    AudioWriter wrr;
    adb_writer_start(&wrr, &t.db);
    AudioEntry* prev = nullptr;
    AudioEntry* found = findOnWriterSide(&wrr, c.target, &prev);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(prev == nullptr, std::string(c.target) == "h");
    AudioChangeCtx ctx;
    if (c.replace) {
      AudioEntry copy;
      if (prev != nullptr) {
        ASSERT_EQ(adb_replace_get_copy(&wrr, &copy, prev), 1);
      } else {
        ASSERT_EQ(adb_entry_init_from_other(&copy, adb_writer_get_head(&wrr)), 1);
      }
      EXPECT_EQ(copy.next[0], found->next[0]);
      ASSERT_EQ(adb_entry_set_name(&copy, "X"), 1);
      ASSERT_EQ(adb_entry_init_buffer(&copy, "\x2a\0\0\0\0\0\0\0", 8), 1);
      ASSERT_EQ(adb_replace_preswap(&ctx, &wrr, prev, &copy), 1);
      EXPECT_EQ(ctx.oldentry, found);
    } else {
      ASSERT_EQ(adb_delete_preswap(&ctx, &wrr, prev), 1);
      EXPECT_EQ(ctx.oldentry, found);
      EXPECT_EQ(ctx.newentry, adb_writer_get_next(&wrr, found));
    }
    EXPECT_EQ(ctx.prev, prev);
    EXPECT_EQ(readNames(&t.db), (Names{"h", "m", "t"}));
    EXPECT_EQ(sideNames(t.db, 1 - wrr.side), c.after);
    adb_writer_swap(&wrr);
    EXPECT_EQ(readNames(&t.db), c.after);
    c.replace ? adb_replace_postswap(&ctx) : adb_delete_postswap(&ctx);
    adb_writer_end(&wrr);
    EXPECT_TRUE(sidesAgree(t.db));
    EXPECT_EQ(sideNames(t.db, 0), c.after);
    if (c.replace) {
      EXPECT_EQ(firstWord(ctx.newentry), 42u);
    }
  }
}

// A walk after earlier edits of the same writer sees those edits: "del h; del m" must not
// visit the deleted head, and an entry added in this write is found at the head.
TEST(AudioDBTest, WriterWalkAfterEditsSeesThem) {
  ScopedDB t;
  fill(&t.db, {"h", "m", "t"});
  AudioWriter wrr;
  adb_writer_start(&wrr, &t.db);
  AudioChangeCtx del[2];
  AudioEntry* prev = nullptr;
  ASSERT_NE(findOnWriterSide(&wrr, "h", &prev), nullptr);
  ASSERT_EQ(adb_delete_preswap(&del[0], &wrr, prev), 1);
  ASSERT_NE(findOnWriterSide(&wrr, "m", &prev), nullptr);
  EXPECT_EQ(prev, nullptr);  // m is now the writer-side head
  ASSERT_EQ(adb_delete_preswap(&del[1], &wrr, prev), 1);
  EXPECT_EQ(findOnWriterSide(&wrr, "h", &prev), nullptr);

  AudioAddCtx add;
  const AudioEntry x = makeEntry("x", {7});
  ASSERT_EQ(adb_add_preswap(&add, &wrr, &x), 1);
  AudioEntry* found = findOnWriterSide(&wrr, "x", &prev);
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(prev, nullptr);
  EXPECT_EQ(firstWord(found), 7u);
  EXPECT_EQ(adb_writer_get_prev(&wrr, &found->name), nullptr);
  EXPECT_EQ(sideNames(t.db, 1 - wrr.side), (Names{"x", "t"}));

  adb_writer_swap(&wrr);
  adb_delete_postswap(&del[0]);
  adb_delete_postswap(&del[1]);
  adb_add_postswap(&add);
  adb_writer_end(&wrr);
  EXPECT_TRUE(sidesAgree(t.db));
  EXPECT_EQ(readNames(&t.db), (Names{"x", "t"}));
}

TEST(AudioDBTest, GetPrevFindsThePredecessorByName) {
  ScopedDB t;
  fill(&t.db, {"a", "b", "c", "b"});
  AudioWriter wrr;
  adb_writer_start(&wrr, &t.db);
  AudioEntry* a = adb_writer_get_head(&wrr);
  AudioEntry* b = adb_writer_get_next(&wrr, a);
  struct Case {
    const char* name;
    AudioEntry* prev;
  };
  const Case cases[] = {{nullptr, nullptr}, {"a", nullptr}, {"b", a}, {"c", b}, {"zz", nullptr}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name ? c.name : "(none)");
    const HashedStr h = hstr_from_str(c.name);
    EXPECT_EQ(adb_writer_get_prev(&wrr, c.name ? &h : nullptr), c.prev);
  }
  // An entry stands for its name.
  EXPECT_EQ(adb_writer_get_prev(&wrr, reinterpret_cast<const HashedStr*>(b)), a);
  adb_writer_end(&wrr);  // only looked

  ScopedDB empty;
  adb_writer_start(&wrr, &empty.db);
  const HashedStr h = hstr_from_str("a");
  EXPECT_EQ(adb_writer_get_prev(&wrr, &h), nullptr);
  EXPECT_EQ(adb_writer_next(&wrr), nullptr);
  adb_writer_end(&wrr);
}

// The writer's cursor follows an edit right behind it: after next() returned prev, deleting or
// replacing prev's successor makes the following next() return the successor or the replacement.
TEST(AudioDBTest, WalkContinuesPastAnEditBehindTheCursor) {
  for (const bool replace : {false, true}) {
    SCOPED_TRACE(replace ? "replace" : "delete");
    ScopedDB t;
    fill(&t.db, {"a", "b", "c"});
    AudioWriter wrr;
    adb_writer_start(&wrr, &t.db);
    EXPECT_EQ(adb_writer_behind(&wrr), nullptr);
    AudioEntry* a = adb_writer_next(&wrr);
    EXPECT_EQ(adb_writer_behind(&wrr), a);
    AudioChangeCtx ctx;
    if (replace) {
      AudioEntry copy;
      ASSERT_EQ(adb_replace_get_copy(&wrr, &copy, a), 1);
      ASSERT_EQ(adb_entry_set_name(&copy, "B"), 1);
      ASSERT_EQ(adb_replace_preswap(&ctx, &wrr, a, &copy), 1);
    } else {
      ASSERT_EQ(adb_delete_preswap(&ctx, &wrr, a), 1);
    }
    EXPECT_STREQ(adb_writer_next(&wrr)->name.str, replace ? "B" : "c");
    adb_writer_swap(&wrr);
    replace ? adb_replace_postswap(&ctx) : adb_delete_postswap(&ctx);
    adb_writer_end(&wrr);
    EXPECT_TRUE(sidesAgree(t.db));
    EXPECT_EQ(readNames(&t.db), replace ? (Names{"a", "B", "c"}) : (Names{"a", "c"}));
  }
}

// A replacement copies the links of the entry it replaces; when an earlier edit of the same
// write changed that entry's successor, the old side must still end up linked as the writer side.
TEST(AudioDBTest, ReplaceAfterAnEditOfItsSuccessorInTheSameWrite) {
  for (const bool firstReplace : {false, true}) {
    SCOPED_TRACE(firstReplace ? "replace c, then replace b" : "delete c, then replace b");
    ScopedDB t;
    fill(&t.db, {"a", "b", "c", "d"});
    AudioWriter wrr;
    adb_writer_start(&wrr, &t.db);
    AudioChangeCtx first, second;
    AudioEntry* prev = nullptr;
    ASSERT_NE(findOnWriterSide(&wrr, "c", &prev), nullptr);
    if (firstReplace) {
      AudioEntry copy;
      ASSERT_EQ(adb_replace_get_copy(&wrr, &copy, prev), 1);
      ASSERT_EQ(adb_entry_set_name(&copy, "C"), 1);
      ASSERT_EQ(adb_replace_preswap(&first, &wrr, prev, &copy), 1);
    } else {
      ASSERT_EQ(adb_delete_preswap(&first, &wrr, prev), 1);
    }
    ASSERT_NE(findOnWriterSide(&wrr, "b", &prev), nullptr);
    AudioEntry copy;
    ASSERT_EQ(adb_replace_get_copy(&wrr, &copy, prev), 1);
    ASSERT_EQ(adb_entry_set_name(&copy, "B"), 1);
    ASSERT_EQ(adb_replace_preswap(&second, &wrr, prev, &copy), 1);
    adb_writer_swap(&wrr);
    firstReplace ? adb_replace_postswap(&first) : adb_delete_postswap(&first);
    adb_replace_postswap(&second);
    adb_writer_end(&wrr);
    EXPECT_TRUE(sidesAgree(t.db));
    const Names after = firstReplace ? Names{"a", "B", "C", "d"} : Names{"a", "B", "d"};
    EXPECT_EQ(sideNames(t.db, 0), after);
    EXPECT_EQ(sideNames(t.db, 1), after);
  }
}

TEST(AudioDBTest, AddAtStartBecomesTheCursorSoDeletesBehindItWork) {
  ScopedDB t;
  fill(&t.db, {"h", "m"});
  AudioWriter wrr;
  adb_writer_start(&wrr, &t.db);
  AudioAddCtx add;
  const AudioEntry x = makeEntry("x", {1});
  ASSERT_EQ(adb_add_preswap(&add, &wrr, &x), 1);
  EXPECT_EQ(adb_writer_behind(&wrr), add.newentry);
  AudioChangeCtx del;
  ASSERT_EQ(adb_delete_preswap(&del, &wrr, adb_writer_behind(&wrr)), 1);  // deletes h
  adb_writer_swap(&wrr);
  adb_add_postswap(&add);
  adb_delete_postswap(&del);
  adb_writer_end(&wrr);
  EXPECT_TRUE(sidesAgree(t.db));
  EXPECT_EQ(readNames(&t.db), (Names{"x", "m"}));
}

TEST(AudioDBTest, ForceCopyPublishesEditsAndLeavesUnlinkedEntriesToTheCaller) {
  ScopedDB t;
  fill(&t.db, {"a", "b", "c", "d"});
  AudioWriter wrr;
  adb_writer_start(&wrr, &t.db);
  std::vector<AudioEntry*> unlinked;
  AudioChangeCtx ctx;
  AudioEntry* prev = nullptr;
  ASSERT_NE(findOnWriterSide(&wrr, "b", &prev), nullptr);
  ASSERT_EQ(adb_delete_preswap(&ctx, &wrr, prev), 1);
  unlinked.push_back(ctx.oldentry);
  ASSERT_NE(findOnWriterSide(&wrr, "c", &prev), nullptr);
  AudioEntry copy;
  ASSERT_EQ(adb_replace_get_copy(&wrr, &copy, prev), 1);
  ASSERT_EQ(adb_entry_set_name(&copy, "C"), 1);
  ASSERT_EQ(adb_replace_preswap(&ctx, &wrr, prev, &copy), 1);
  unlinked.push_back(ctx.oldentry);
  AudioAddCtx add;
  const AudioEntry x = makeEntry("x", {1});
  ASSERT_EQ(adb_add_preswap(&add, &wrr, &x), 1);

  adb_writer_force_copy_and_end(&wrr);
  EXPECT_EQ(wrr.db, nullptr);
  EXPECT_TRUE(sidesAgree(t.db));
  EXPECT_EQ(readNames(&t.db), (Names{"x", "a", "C", "d"}));
  for (AudioEntry* e : unlinked) {
    adb_entry_free(e);
  }
  fill(&t.db, {"next"});  // the database takes the next writer normally
  EXPECT_EQ(readNames(&t.db), (Names{"next", "x", "a", "C", "d"}));
}

TEST(AudioDBTest, RawLinkEditsOnBothSides) {
  ScopedDB t;
  fill(&t.db, {"a", "b"});
  AudioWriter wrr;
  adb_writer_start(&wrr, &t.db);
  AudioEntry* a = adb_writer_get_head(&wrr);
  AudioEntry* b = adb_writer_get_next(&wrr, a);
  auto* z = static_cast<AudioEntry*>(std::malloc(sizeof(AudioEntry)));
  ASSERT_NE(z, nullptr);
  *z = makeEntry("z", {});
  adb_writer_set_next_detached(&wrr, z, nullptr);
  // b, a, z
  adb_writer_set_head_preswap(&wrr, b);
  adb_writer_set_next_preswap(&wrr, b, a);
  adb_writer_set_next_preswap(&wrr, a, z);
  EXPECT_EQ(readNames(&t.db), (Names{"a", "b"}));
  adb_writer_swap(&wrr);
  EXPECT_EQ(readNames(&t.db), (Names{"b", "a", "z"}));
  adb_writer_set_head_postswap(&wrr, b);
  adb_writer_set_next_postswap(&wrr, b, a);
  adb_writer_set_next_postswap(&wrr, a, z);
  adb_writer_end(&wrr);
  EXPECT_TRUE(sidesAgree(t.db));
  EXPECT_EQ(z->size, 0u);
  EXPECT_EQ(z->buffer, nullptr);  // a zero-size fingerprint is a legal entry
}

TEST(AudioDBTest, ReaderRestartWalksItsSideAgain) {
  ScopedDB t;
  fill(&t.db, {"a", "b"});
  AudioReader rdr;
  adb_reader_start(&rdr, &t.db);
  EXPECT_STREQ(adb_reader_next(&rdr)->name.str, "a");
  EXPECT_STREQ(adb_reader_next(&rdr)->name.str, "b");
  EXPECT_EQ(adb_reader_next(&rdr), nullptr);
  EXPECT_EQ(adb_reader_next(&rdr), nullptr);
  adb_reader_restart(&rdr);
  EXPECT_STREQ(adb_reader_next(&rdr)->name.str, "a");
  adb_reader_end(&rdr);
  EXPECT_EQ(rdr.db, nullptr);
  EXPECT_EQ(rdr.cur, nullptr);
}

}  // namespace
