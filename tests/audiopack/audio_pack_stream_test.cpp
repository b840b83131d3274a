// The pack stream: worked sizes, layout rules and result codes, back-ends, Adler-32, round trips.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

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
using Entries = std::vector<EntryValue>;

const Bytes kEightBytes = {1, 2, 3, 4, 5, 6, 7, 8};

// Serves a stream in pieces of at most `piece` bytes, then fails with -1 once `failAt` bytes are out.
struct ChoppyReader {
  const Bytes* stream;
  size_t at = 0;
  int piece = 1;
  size_t failAt = SIZE_MAX;

  static int read(void* data, int count, void* context) {
    auto* self = static_cast<ChoppyReader*>(context);
    if (self->at >= self->failAt) return -1;
    size_t n = std::min<size_t>({size_t(count), size_t(self->piece), self->stream->size() - self->at,
                                 self->failAt - self->at});
    if (n > 0) std::memcpy(data, self->stream->data() + self->at, n);
    self->at += n;
    return int(n);
  }
};

int loadChoppy(AudioDB* db, const Bytes& stream, int piece, size_t failAt = SIZE_MAX) {
  ChoppyReader reader{&stream, 0, piece, failAt};
  return apack_load(db, ChoppyReader::read, &reader);
}

TEST(AudioPackStreamTest, WorkedSizesOfEmptyAndOneEntryDumps) {
  ScopedDB empty;
  const Bytes emptyDump = dumpToBytes(&empty.db, APACK_OP_ADD);
  EXPECT_EQ(emptyDump.size(), 48u);
  EXPECT_EQ(emptyDump, PackBytes().header().u8(0).fill(15, 0xFF).footer().bytes);
  EXPECT_EQ(dumpToBytes(&empty.db, APACK_OP_ADD | APACK_FLAG_NO_FOOTER).size(), 17u);

  ScopedDB one;
  fillEntries(&one.db, {{"x", 3, kEightBytes}});
  const Bytes oneDump = dumpToBytes(&one.db, APACK_OP_ADD);
  EXPECT_EQ(oneDump.size(), 64u);
  // Record 19 bytes, end byte at position 36, 12 bytes of padding.
  EXPECT_EQ(oneDump, PackBytes().header().add("x", 3, kEightBytes).u8(0).fill(12, 0xFF).footer().bytes);
  EXPECT_EQ(dumpToBytes(&one.db, APACK_OP_ADD | APACK_FLAG_NO_FOOTER).size(), 36u);
  EXPECT_EQ(dumpToBytes(&one.db, APACK_OP_TEST_MATCH),
            PackBytes().header().test("x", adler32(kEightBytes.data(), 8)).end().bytes);
  EXPECT_EQ(dumpToBytes(&one.db, APACK_OP_DEL_IF_ANY), PackBytes().header().del("x").end().bytes);
}

// Every case runs through the memory back-end and through a reader that hands out one byte per call.
TEST(AudioPackStreamTest, LayoutRulesAndTheirResultCodes) {
  const Bytes one = PackBytes().add("x", 0x12345678, kEightBytes).bytes;
  struct Case {
    const char* what;
    Bytes stream;
    int code;
  };
  const Case cases[] = {
      {"end byte, padding, trailer", PackBytes().header().end().bytes, APACK_OK},
      {"end byte last", PackBytes().header().u8(0).bytes, APACK_OK},
      {"three blocks of lead-in", PackBytes().fill(48, 0).header().raw(one).end().bytes, APACK_OK},
      {"lead-in not a multiple of 16", PackBytes().fill(5, 0).header().end().bytes, APACK_ERR_FORMAT},
      {"trailer without padding when the end byte closes a block",
       PackBytes().header().add("abcde", 0, {}).u8(0).footer().bytes, APACK_OK},
      {"stray padding before a block-aligned trailer",
       PackBytes().header().add("abcde", 0, {}).u8(0).fill(16, 0xFF).footer().bytes, APACK_ERR_FORMAT},
      {"bytes after the trailer are not read", PackBytes().header().end().text("junk").bytes, APACK_OK},
      {"ends inside the padding", PackBytes().header().u8(0).fill(7, 0xFF).bytes, APACK_ERR_FORMAT},
      {"ends inside the trailer", PackBytes().header().u8(0).fill(15, 0xFF).text("\xF1" "Audio").bytes,
       APACK_ERR_FORMAT},
      {"padding byte other than 0xFF", PackBytes().header().u8(0).fill(14, 0xFF).u8(0xFE).footer().bytes,
       APACK_ERR_FORMAT},
      {"trailer opening with 0xF7", PackBytes().header().u8(0).pad().header().bytes, APACK_ERR_FORMAT},
      {"name length 255", PackBytes().header().u8(APACK_OP_DEL_IF_ANY).u8(255).fill(255, 'n').end().bytes,
       APACK_ERR_FORMAT},
      {"zero byte inside a name", PackBytes().header().del(std::string_view("a\0b", 3)).end().bytes,
       APACK_ERR_FORMAT},
      {"data size 0x800000", PackBytes().header().u8(APACK_OP_ADD).u8(1).text("x").u32(0).u32(0x800000).end().bytes,
       APACK_ERR_FORMAT},
      {"op byte 0x62", PackBytes().header().u8(0x62).u8(1).text("x").end().bytes, APACK_ERR_FORMAT},
      {"no end byte", PackBytes().header().raw(one).bytes, APACK_ERR_FORMAT},
      {"nothing at all", {}, APACK_ERR_FORMAT},
      {"empty name and no data", PackBytes().header().add("", 0, {}).end().bytes, APACK_OK},
      {"largest data size", PackBytes().header().add("big", 0, Bytes(APACK_MAX_DATA, 0xAB)).end().bytes, APACK_OK},
      {"test-match of an absent name", PackBytes().header().test("nobody", 1).end().bytes, APACK_ERR_MISMATCH},
  };
  for (const Case& c : cases) {
    for (const int piece : {0, 1}) {
      SCOPED_TRACE(std::string(c.what) + (piece ? " (one byte per read)" : ""));
      ScopedDB t;
      const int code = piece ? loadChoppy(&t.db, c.stream, piece) : loadBytes(&t.db, c.stream);
      EXPECT_EQ(code, c.code);
      EXPECT_TRUE(sidesAgree(t.db));
      if (code != APACK_OK) {
        EXPECT_TRUE(snapshot(&t.db).empty());
      }
    }
  }

  ScopedDB t;
  ASSERT_EQ(loadBytes(&t.db, PackBytes().header().raw(one).end().bytes), APACK_OK);
  EXPECT_EQ(snapshot(&t.db), (Entries{{"x", 0x78, kEightBytes}}));  // the type's low 8 bits
}

TEST(AudioPackStreamTest, EveryCutOfAStreamIsRefusedExceptRightAfterTheEndByte) {
  ScopedDB source;
  fillEntries(&source.db, {{"x", 3, kEightBytes}});
  const Bytes stream = dumpToBytes(&source.db, APACK_OP_ADD);
  for (size_t length = 0; length <= stream.size(); ++length) {
    SCOPED_TRACE(length);
    ScopedDB t;
    const Bytes cut(stream.begin(), stream.begin() + std::ptrdiff_t(length));
    const bool complete = length == 36 || length == 64;
    EXPECT_EQ(loadBytes(&t.db, cut), complete ? APACK_OK : APACK_ERR_FORMAT);
    EXPECT_EQ(snapshot(&t.db).size(), complete ? 1u : 0u);
  }
  ScopedDB t;
  EXPECT_EQ(apack_load_from_string(&t.db, stream.data(), -1), APACK_ERR_FORMAT);  // a negative length is empty
}

TEST(AudioPackStreamTest, ReadErrorsAnywhereAreIoErrorsAndChangeNothing) {
  ScopedDB source;
  fillEntries(&source.db, {{"x", 3, kEightBytes}});
  const Bytes stream = dumpToBytes(&source.db, APACK_OP_ADD);
  for (size_t failAt = 0; failAt <= stream.size(); ++failAt) {
    for (const int piece : {1, 7, 64}) {
      SCOPED_TRACE(testing::Message() << "fail at " << failAt << ", pieces of " << piece);
      ScopedDB t;
      fillEntries(&t.db, {{"keep", 1, {}}});
      // After the trailer nothing more is read, so an error there goes unnoticed.
      const int expected = failAt < stream.size() ? APACK_ERR_IO : APACK_OK;
      EXPECT_EQ(loadChoppy(&t.db, stream, piece, failAt), expected);
      EXPECT_EQ(snapshot(&t.db).size(), expected == APACK_OK ? 2u : 1u);
    }
  }
}

TEST(AudioPackStreamTest, AReadFunctionClaimingMoreThanAskedIsAnIoError) {
  ScopedDB t;
  const auto liar = [](void*, int count, void*) { return count + 1; };
  EXPECT_EQ(apack_load(&t.db, liar, nullptr), APACK_ERR_IO);
}

TEST(AudioPackStreamTest, Adler32MatchesKnownValuesAndAPlainReference) {
  struct Case {
    const char* text;
    uint32_t value;
  };
  for (const Case& c : {Case{"", 1}, Case{"a", 0x00620062}, Case{"abc", 0x024D0127}, Case{"Wikipedia", 0x11E60398}}) {
    EXPECT_EQ(adler32(c.text, int(std::strlen(c.text))), c.value) << c.text;
  }
  EXPECT_EQ(adler32("abc", -5), 1u);
  EXPECT_EQ(adler32(nullptr, 0), 1u);

  // Long runs of 0xFF stress the deferred reductions.
  std::mt19937 rng(7);
  for (const size_t size : {4095u, 4096u, 4097u, 100000u, 1000000u}) {
    Bytes data(size);
    for (auto& b : data) b = rng() % 4 == 0 ? uint8_t(rng()) : 0xFF;
    uint64_t a = 1;
    uint64_t b = 0;
    for (const uint8_t byte : data) {
      a = (a + byte) % 65521;
      b = (b + a) % 65521;
    }
    EXPECT_EQ(adler32(data.data(), int(size)), uint32_t(b << 16 | a)) << size;
  }
}

// Random databases: names of any non-zero bytes up to 254 long, any mask, data up to 64 words.
Entries randomEntries(std::mt19937& rng, bool uniqueNames) {
  Entries entries(rng() % 12);
  for (size_t i = 0; i < entries.size(); ++i) {
    const size_t length = rng() % 8 == 0 ? APACK_MAX_NAME : rng() % 20;
    for (size_t k = 0; k < length; ++k) entries[i].name.push_back(char(1 + rng() % 255));
    if (uniqueNames) entries[i].name += "#" + std::to_string(i);
    if (entries[i].name.size() > APACK_MAX_NAME) entries[i].name.erase(0, entries[i].name.size() - APACK_MAX_NAME);
    entries[i].mask = rng() % 256;
    entries[i].bytes.resize(8 * (rng() % 65));
    for (auto& b : entries[i].bytes) b = uint8_t(rng());
  }
  return entries;
}

TEST(AudioPackStreamTest, AddDumpLoadsIntoAnEmptyDatabaseInReversedOrder) {
  std::mt19937 rng(1);
  for (int round = 0; round < 60; ++round) {
    ScopedDB source;
    const Entries entries = randomEntries(rng, false);
    fillEntries(&source.db, entries);
    const int flags = APACK_OP_ADD | (round % 3 == 0 ? APACK_FLAG_NO_FOOTER : 0);
    const Bytes stream = dumpToBytes(&source.db, flags);
    ScopedDB target;
    ASSERT_EQ(loadBytes(&target.db, stream), APACK_OK) << round;
    EXPECT_EQ(snapshot(&target.db), Entries(entries.rbegin(), entries.rend())) << round;
  }
}

TEST(AudioPackStreamTest, TestMatchAndDeleteDumpsApplyToTheirOwnDatabase) {
  std::mt19937 rng(2);
  for (int round = 0; round < 40; ++round) {
    ScopedDB t;
    const Entries entries = randomEntries(rng, true);
    fillEntries(&t.db, entries);
    EXPECT_EQ(loadBytes(&t.db, dumpToBytes(&t.db, APACK_OP_TEST_MATCH)), APACK_OK) << round;
    EXPECT_EQ(snapshot(&t.db), entries);
    EXPECT_EQ(loadBytes(&t.db, dumpToBytes(&t.db, APACK_OP_DEL_IF_ANY)), APACK_OK) << round;
    EXPECT_TRUE(snapshot(&t.db).empty());
  }
}

TEST(AudioPackStreamTest, TestMatchRoundTripFailsForTwoEntriesOfOneNameWithDifferentData) {
  ScopedDB t;
  fillEntries(&t.db, {{"twin", 0, {1, 1, 1, 1, 1, 1, 1, 1}}, {"twin", 0, {2, 2, 2, 2, 2, 2, 2, 2}}});
  // Both records meet the first "twin".
  EXPECT_EQ(loadBytes(&t.db, dumpToBytes(&t.db, APACK_OP_TEST_MATCH)), APACK_ERR_MISMATCH);
}

TEST(AudioPackStreamTest, DumpRefusesEntriesItCannotWrite) {
  const std::string longest(APACK_MAX_NAME, 'n');
  struct Case {
    const char* what;
    std::function<void(AudioEntry*)> shape;
    int op;
    int result;
  };
  const Case cases[] = {
      {"name of 254 bytes", [&](AudioEntry* e) { adb_entry_set_name(e, longest.c_str()); }, APACK_OP_ADD, 0},
      {"name of 255 bytes", [&](AudioEntry* e) { adb_entry_set_name(e, (longest + "n").c_str()); }, APACK_OP_ADD, 1},
      {"no name", [](AudioEntry* e) { hstr_reset(&e->name); }, APACK_OP_ADD, 1},
      {"no name, test-match", [](AudioEntry* e) { hstr_reset(&e->name); }, APACK_OP_TEST_MATCH, 1},
      {"data of 0x800000 bytes", [](AudioEntry* e) { adb_entry_resize_buffer(e, 0x800000); }, APACK_OP_ADD, 1},
      {"data of 0x800000 bytes, test-match", [](AudioEntry* e) { adb_entry_resize_buffer(e, 0x800000); },
       APACK_OP_TEST_MATCH, 0},
      {"data of 0x800000 bytes, delete", [](AudioEntry* e) { adb_entry_resize_buffer(e, 0x800000); },
       APACK_OP_DEL_IF_ANY, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ScopedDB t;
    fillEntries(&t.db, {{"e", 0, kEightBytes}});
    c.shape(t.db.head[0]);
    uint8_t* data = reinterpret_cast<uint8_t*>(1);
    int length = -7;
    EXPECT_EQ(apack_dump_to_string(&t.db, c.op, &data, &length), c.result);
    if (c.result == 0) {
      std::free(data);
    } else {
      EXPECT_EQ(data, reinterpret_cast<uint8_t*>(1));  // outputs untouched
      EXPECT_EQ(length, -7);
    }
    EXPECT_EQ(loadBytes(&t.db, PackBytes().header().end().bytes), APACK_OK);  // the reader was ended
  }
}

TEST(AudioPackStreamTest, AnEntryWithoutBufferIsDumpedWithoutBytes) {
  ScopedDB t;
  fillEntries(&t.db, {{"e", 5, kEightBytes}});
  adb_entry_reset_buffer(t.db.head[0]);  // size still says 8
  EXPECT_EQ(dumpToBytes(&t.db, APACK_OP_ADD), PackBytes().header().add("e", 5, {}).end().bytes);
}

TEST(AudioPackStreamTest, DumpStopsAtTheFirstShortWrite) {
  ScopedDB t;
  fillEntries(&t.db, {{"x", 3, kEightBytes}});
  struct Budget {
    Bytes written;
    size_t left;
  };
  const auto write = [](const void* data, int count, void* context) {
    auto* budget = static_cast<Budget*>(context);
    const int n = int(std::min<size_t>(size_t(count), budget->left));
    budget->written.insert(budget->written.end(), static_cast<const uint8_t*>(data),
                           static_cast<const uint8_t*>(data) + n);
    budget->left -= size_t(n);
    return n;
  };
  const Bytes full = dumpToBytes(&t.db, APACK_OP_ADD);
  for (size_t budget = 0; budget <= full.size(); ++budget) {
    Budget b{{}, budget};
    EXPECT_EQ(apack_dump(&t.db, APACK_OP_ADD, write, &b), budget < full.size() ? 1 : 0) << budget;
    EXPECT_EQ(b.written, Bytes(full.begin(), full.begin() + std::ptrdiff_t(budget)));
  }
}

TEST(AudioPackStreamTest, FileBackEndsRoundTripAndStopAfterTheTrailer) {
  ScopedDB source;
  fillEntries(&source.db, {{"a", 1, kEightBytes}, {"b", 2, {}}});
  FILE* file = std::tmpfile();
  ASSERT_NE(file, nullptr);
  ASSERT_EQ(apack_dump_to_file(&source.db, APACK_OP_ADD, file), 0);
  std::fputs("after", file);
  std::rewind(file);
  ScopedDB target;
  EXPECT_EQ(apack_load_from_file(&target.db, file), APACK_OK);
  EXPECT_EQ(std::fgetc(file), 'a');
  std::fclose(file);
  EXPECT_EQ(snapshot(&target.db), (Entries{{"b", 2, {}}, {"a", 1, kEightBytes}}));
}

TEST(AudioPackStreamTest, FileBackEndsReportDeviceErrors) {
  ScopedDB t;
  FILE* full = std::fopen("/dev/full", "wb");
  ASSERT_NE(full, nullptr);
  std::setvbuf(full, nullptr, _IONBF, 0);
  EXPECT_EQ(apack_dump_to_file(&t.db, APACK_OP_ADD, full), 1);
  std::fclose(full);

  // A stream opened for writing only cannot be read: fread fails without end-of-file.
  FILE* unreadable = std::fopen("/dev/null", "wb");
  ASSERT_NE(unreadable, nullptr);
  EXPECT_EQ(apack_load_from_file(&t.db, unreadable), APACK_ERR_IO);
  std::fclose(unreadable);
}

TEST(AudioPackStreamTest, StringBackEndGrowsToFitLargeChunks) {
  ApackStringWriter out = {nullptr, 0, 0};
  const Bytes small(10, 1);
  const Bytes large(5000, 2);
  EXPECT_EQ(apack_dump_callback_for_string(small.data(), 10, &out), 10);
  EXPECT_EQ(out.capacity, 1024);
  EXPECT_EQ(apack_dump_callback_for_string(large.data(), 5000, &out), 5000);  // more than twice 1024
  EXPECT_EQ(out.capacity, 8192);
  EXPECT_EQ(out.used, 5010);
  EXPECT_EQ(Bytes(out.buffer, out.buffer + 10), small);
  EXPECT_EQ(Bytes(out.buffer + 10, out.buffer + 5010), large);
  std::free(out.buffer);

  // A capacity above 0x3FFFFFFF cannot grow; nothing is allocated or copied.
  ApackStringWriter huge = {nullptr, 0x40000000, 0x40000000};
  EXPECT_EQ(apack_dump_callback_for_string(small.data(), 1, &huge), -1);
  EXPECT_EQ(huge.buffer, nullptr);
}

}  // namespace
