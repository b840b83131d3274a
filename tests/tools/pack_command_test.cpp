// kivo pack info / verify over pack files and plain streams, good and broken.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "common/db_helpers.h"
#include "audiopack/audio_pack_dumper.h"
#include "common/pack_bytes.h"
#include "common/stream_helpers.h"
#include "common/temp_dir.h"
#include "tools/subcommands.h"

namespace {

namespace fs = std::filesystem;
using kivo::Bytes;
using kivo::test::PackBytes;

using kivo::test::TempDir;

void write(const fs::path& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

Bytes readAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

struct Outcome {
  int status;
  std::string out;
};

Outcome pack(std::vector<std::string> args) {
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  const int status = kivo::tool::runPack(argv);
  std::string out = testing::internal::GetCapturedStdout();
  testing::internal::GetCapturedStderr();
  return {status, out};
}

void expectContains(const std::string& text, const std::string& part) {
  EXPECT_NE(text.find(part), std::string::npos) << "missing: " << part << "\nin:\n" << text;
}

// A dump as the library writes it, with a metadata document of mixed shapes.
fs::path makeDump(const TempDir& dir) {
  const fs::path path = dir / "KIVOAudioDB.pack";
  auto dumper = kivo::KIVOAudioPackDumper::startDumpWithPathURL(path);
  dumper->addAFP({"m1", 2, Bytes(64, 1)});
  dumper->addAFP({"m\"2", -1, {}});
  dumper->finishWithMetadata({{"media", {{"m1", {{"type", "cf"}, {"title", "One"}}}, {"m9", 5}, {"m8", {{"type", 7}}}}},
                              {"v", "20240101000000"}});
  return path;
}

TEST(PackCommandTest, InfoListsRecordsAndSummarisesMetadataOfAnyShape) {
  TempDir dir;
  const Outcome run = pack({"info", makeDump(dir).string()});
  EXPECT_EQ(run.status, 0);
  expectContains(run.out, "afp            \"m1\"  type 2  64 bytes  0.25 s\n");
  expectContains(run.out, "afp            \"m\\\"2\"  type -1  0 bytes  0.00 s\n");
  expectContains(run.out, "read to the end chunk: 2 records\n");
  expectContains(run.out, "metadata: 2 keys: \"media\", \"v\"\n");
  expectContains(run.out, "media: 3 descriptions: (no type) 1, (not an object) 1, type \"cf\" 1\n");
  expectContains(run.out, "AFP records with a description: 1 of 2\n");
}

TEST(PackCommandTest, InfoShowsDeletesTestMatchesAndWhereAFileBreaks) {
  TempDir dir;
  write(dir / "p", PackBytes().header().deleteIfAny("gone").testMatch("t 1", 77).afp("a", 0, {}).u8(0x62).bytes);
  const Outcome run = pack({"info", (dir / "p").string()});
  EXPECT_EQ(run.status, 1);
  expectContains(run.out, "delete-if-any  \"gone\"\ntest-match     \"t 1\"  value 77\nafp            \"a\"  type 0");
  expectContains(run.out, "reader: unknown chunk type\nfailed after 3 records\n");
}

TEST(PackCommandTest, VerifyPassesADumpAndRefusesEveryCutInsideItsChunksOrMetadata) {
  TempDir dir;
  const fs::path dump = makeDump(dir);
  const Outcome good = pack({"verify", dump.string()});
  EXPECT_EQ(good.status, 0);
  expectContains(good.out, "clean (pack file): 2 records, metadata with 2 keys\n");

  const Bytes whole = readAll(dump);
  const size_t endChunk = 16 + (1 + 1 + 3 + 8 + 64) + (1 + 1 + 4 + 8);
  ASSERT_EQ(whole[endChunk], 0x00);
  // Cut after the end chunk or within the first two bytes of the metadata, a pack reads as one
  // without metadata; everywhere else a cut shows.
  for (size_t length = 0; length < whole.size(); ++length) {
    if (length == endChunk + 1 || (length >= endChunk + 17 && length <= endChunk + 19)) continue;
    write(dir / "cut", Bytes(whole.begin(), whole.begin() + std::ptrdiff_t(length)));
    const Outcome run = pack({"verify", (dir / "cut").string()});
    ASSERT_EQ(run.status, 1) << length << "\n" << run.out;
    expectContains(run.out, "not clean (pack file): ");
  }
  write(dir / "cut", Bytes(whole.begin(), whole.begin() + std::ptrdiff_t(endChunk + 1)));
  expectContains(pack({"verify", (dir / "cut").string()}).out, "clean (pack file): 2 records, metadata with 0 keys");
}

TEST(PackCommandTest, StreamModeLoadsIntoAnEmptyDatabase) {
  TempDir dir;
  kivo::test::ScopedDB db;
  kivo::test::fillEntries(&db.db, {{"new", 3, Bytes(256, 1)}, {"old", 0, {}}});
  const Bytes stream = kivo::test::dumpToBytes(&db.db, APACK_OP_ADD);
  write(dir / "s", stream);
  const Outcome info = pack({"info", "--stream", (dir / "s").string()});
  EXPECT_EQ(info.status, 0);
  expectContains(info.out, "stream, result 0 (ok)\nentry          \"old\"  type 0  0 bytes  0.00 s\n"
                           "entry          \"new\"  type 3  256 bytes  1.00 s\n2 entries\n");
  EXPECT_EQ(pack({"verify", "--stream", (dir / "s").string()}).status, 0);

  Bytes trailing = stream;
  trailing.push_back('!');
  write(dir / "t", trailing);
  const Outcome extra = pack({"verify", "--stream", (dir / "t").string()});
  EXPECT_EQ(extra.status, 1);
  expectContains(extra.out, "not clean (stream): 1 bytes after the trailer\n");

  write(dir / "m", PackBytes().header().test("absent", 1).end().bytes);
  const Outcome mismatch = pack({"verify", "--stream", (dir / "m").string()});
  EXPECT_EQ(mismatch.status, 1);
  expectContains(mismatch.out, "result 4 (a test-match record failed)");
  // A pack file is not a stream.
  EXPECT_EQ(pack({"verify", "--stream", makeDump(dir).string()}).status, 1);
}

TEST(PackCommandTest, RandomBytesNeverCrashEitherForm) {
  TempDir dir;
  std::mt19937 rng(11);
  for (int round = 0; round < 200; ++round) {
    PackBytes file;
    if (round % 2) file.header();
    for (size_t n = rng() % 200; n-- > 0;) file.u8(rng() % 3 ? uint8_t(rng()) : "\x61\x64\x6D\x00\xFF\xF1"[rng() % 6]);
    write(dir / "r", file.bytes);
    for (const char* action : {"info", "verify"}) {
      EXPECT_LE(pack({action, (dir / "r").string()}).status, 1);
      EXPECT_LE(pack({action, "--stream", (dir / "r").string()}).status, 1);
    }
  }
}

// A refusal is one line in the tool's words; the reader's own lines are not printed.
TEST(PackCommandTest, RefusalsAreOneLineInPlainWords) {
  TempDir dir;
  write(dir / "short", Bytes(5, 'x'));
  write(dir / "other", Bytes(40, 'x'));
  write(dir / "cut", PackBytes().header().afp("a", 0, Bytes(8, 1)).bytes);
  const std::string missing = (dir / "missing").string();
  struct Case {
    std::vector<std::string> args;
    std::string out, err;
  } cases[] = {
      {{"verify", (dir / "short").string()}, (dir / "short").string() + ": not clean (pack file): too short for a pack file (16 bytes or less)\n", ""},
      {{"verify", (dir / "other").string()},
       (dir / "other").string() + ": not clean (pack file): not a pack file (it does not start with the pack header)\n", ""},
      {{"verify", (dir / "cut").string()}, (dir / "cut").string() + ": not clean (pack file): cut off before its end chunk\n", ""},
      {{"verify", missing}, "", "kivo pack verify: " + missing + ": cannot open: No such file or directory\n"},
      {{"info", missing}, "", "kivo pack info: " + missing + ": cannot open: No such file or directory\n"},
      {{"info", dir.path().string()}, "", "kivo pack info: " + dir.path().string() + ": is a folder, not a file\n"},
  };
  for (auto& c : cases) {
    std::vector<char*> argv;
    for (auto& a : c.args) argv.push_back(a.data());
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_EQ(kivo::tool::runPack(argv), 1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.out);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c.err);
  }
}

TEST(PackCommandTest, UsageMistakesExitWithTwo) {
  EXPECT_EQ(pack({}).status, 2);
  EXPECT_EQ(pack({"info"}).status, 2);
  EXPECT_EQ(pack({"list", "f"}).status, 2);
  EXPECT_EQ(pack({"info", "a", "b"}).status, 2);
  EXPECT_EQ(pack({"verify", "--strict", "a"}).status, 2);
  const Outcome help = pack({"--help"});
  EXPECT_EQ(help.status, 0);
  expectContains(help.out, "FILE is read as a pack file");
  expectContains(help.out, "--stream  read FILE as a plain stream");
}

}  // namespace
