// The apply phase: what the operations of one pack see, and how a failing pack leaves the database.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/db_helpers.h"
#include "kivo/audio_pack.h"
#include "common/pack_bytes.h"
#include "common/stream_helpers.h"

namespace {

using kivo::Bytes;
using kivo::test::EntryValue;
using kivo::test::fillEntries;
using kivo::test::loadBytes;
using kivo::test::PackBytes;
using kivo::test::readNames;
using kivo::test::ScopedDB;
using kivo::test::sideNames;
using kivo::test::sidesAgree;
using kivo::test::snapshot;
using Names = std::vector<std::string>;

const Bytes kData = {1, 2, 3, 4, 5, 6, 7, 8};
const uint32_t kSum = adler32(kData.data(), 8);

void fillNames(AudioDB* db, const Names& names) {
  std::vector<EntryValue> entries;
  for (const auto& n : names) entries.push_back({n, 0, kData});
  fillEntries(db, entries);
}

// Each pack runs on a database holding H, E2, E3; the result code and the list afterwards.
TEST(AudioPackApplyTest, OperationsSeeTheEditsOfEarlierOperationsOfTheSamePack) {
  struct Case {
    const char* what;
    PackBytes records;
    int code;
    Names after;
  };
  const Case cases[] = {
      {"delete the head, then its successor", PackBytes().del("H").del("E2"), APACK_OK, {"E3"}},
      {"delete the same name twice", PackBytes().del("H").del("H"), APACK_OK, {"E2", "E3"}},
      {"delete the last entry, then the head", PackBytes().del("E3").del("H"), APACK_OK, {"E2"}},
      {"delete everything", PackBytes().del("E2").del("H").del("E3"), APACK_OK, {}},
      {"delete an absent name", PackBytes().del("nobody"), APACK_OK, {"H", "E2", "E3"}},
      {"test-match an entry added earlier", PackBytes().add("X", 0, kData).test("X", kSum), APACK_OK,
       {"X", "H", "E2", "E3"}},
      {"delete an entry added earlier", PackBytes().add("X", 0, kData).add("Y", 0, kData).del("X"), APACK_OK,
       {"Y", "H", "E2", "E3"}},
      {"test-match a deleted entry", PackBytes().del("H").test("H", kSum), APACK_ERR_MISMATCH, {"H", "E2", "E3"}},
      {"test-match with other data", PackBytes().test("E2", kSum + 1), APACK_ERR_MISMATCH, {"H", "E2", "E3"}},
      {"the newest of two equal names is met first",
       PackBytes().add("E2", 0, {9, 9, 9, 9, 9, 9, 9, 9}).test("E2", adler32("\x09\x09\x09\x09\x09\x09\x09\x09", 8)),
       APACK_OK, {"E2", "H", "E2", "E3"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ScopedDB t;
    fillNames(&t.db, {"H", "E2", "E3"});
    Bytes stream = PackBytes().header().raw(c.records.bytes).end().bytes;
    EXPECT_EQ(loadBytes(&t.db, stream), c.code);
    EXPECT_TRUE(sidesAgree(t.db));
    EXPECT_EQ(readNames(&t.db), c.after);
    EXPECT_EQ(sideNames(t.db, 0), c.after);
  }
}

// A pack that has already added and deleted entries fails in the middle: readers see nothing of
// it, both sides are the old list, and the next writer works.
TEST(AudioPackApplyTest, AFailingPackLeavesTheDatabaseAsItWasAndFitForTheNextWriter) {
  ScopedDB t;
  fillNames(&t.db, {"H", "E2", "E3"});
  const auto before = snapshot(&t.db);
  const Bytes failing = PackBytes()
                            .header()
                            .add("X", 1, kData)
                            .del("H")
                            .del("X")
                            .add("Y", 2, kData)
                            .del("E3")
                            .test("missing", kSum)
                            .add("Z", 3, kData)
                            .end()
                            .bytes;
  EXPECT_EQ(loadBytes(&t.db, failing), APACK_ERR_MISMATCH);
  EXPECT_EQ(snapshot(&t.db), before);
  EXPECT_TRUE(sidesAgree(t.db));
  EXPECT_EQ(sideNames(t.db, 1 - t.db.side), (Names{"H", "E2", "E3"}));

  // The next pack sees the old list, not the failed pack's edits.
  const Bytes next = PackBytes().header().test("H", kSum).test("E3", kSum).del("E2").add("W", 0, kData).end().bytes;
  EXPECT_EQ(loadBytes(&t.db, next), APACK_OK);
  EXPECT_EQ(readNames(&t.db), (Names{"W", "H", "E3"}));
  EXPECT_TRUE(sidesAgree(t.db));
}

TEST(AudioPackApplyTest, AFormatErrorAfterGoodRecordsChangesNothing) {
  ScopedDB t;
  fillNames(&t.db, {"H"});
  const Bytes stream = PackBytes().header().add("X", 0, kData).del("H").u8(0x62).bytes;
  EXPECT_EQ(loadBytes(&t.db, stream), APACK_ERR_FORMAT);
  EXPECT_EQ(readNames(&t.db), Names{"H"});
}

}  // namespace
