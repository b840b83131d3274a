// KIVOAudioPackDumper: exact bytes, dumps read back by the reader, and what a failed dump leaves.
#include "audiopack/audio_pack_dumper.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>

#include "audiopack/audio_pack_reader.h"
#include "common/log_capture.h"
#include "kivo/error.h"
#include "kivo/notification_center.h"
#include "common/memory_file_system.h"
#include "common/pack_bytes.h"
#include "recording_delegate.h"

namespace {

namespace fs = std::filesystem;
using kivo::Bytes;
using kivo::KIVOAudioPack;
using kivo::KIVOAudioPackAFPData;
using kivo::KIVOAudioPackDumper;
using kivo::test::LogCapture;
using kivo::test::MemoryFileSystem;
using kivo::test::PackBytes;
using kivo::test::RecordingDelegate;
using Lines = std::vector<std::string>;
using nlohmann::json;

const Bytes kOld = {'o', 'l', 'd'};

// A dumper over a memory file system that records the errors it posts.
struct Harness {
  std::shared_ptr<MemoryFileSystem> files = std::make_shared<MemoryFileSystem>();
  std::vector<std::pair<int, std::string>> posted;

  std::unique_ptr<KIVOAudioPackDumper> start(const fs::path& path = "/dump.pack") {
    return KIVOAudioPackDumper::startDumpWithPathURL(
        path, files, [this](int code, const std::string& reason) { posted.emplace_back(code, reason); });
  }
  Bytes file(const fs::path& path = "/dump.pack") const { return files->get(path).value_or(Bytes{}); }
};

KIVOAudioPackAFPData afp(std::optional<std::string> identifier, int32_t type, Bytes bytes) {
  return {std::move(identifier), type, std::move(bytes)};
}

TEST(AudioPackDumperTest, AnEmptyDumpIsHeaderEndMarkerAndAnEmptyObject) {
  Harness h;
  auto dumper = h.start();
  EXPECT_TRUE(dumper->finishWithMetadata(json::object()));
  const Bytes file = h.file();
  const Bytes prefix = PackBytes().header().u8(0).footer().bytes;
  ASSERT_GE(file.size(), prefix.size());
  EXPECT_TRUE(std::equal(prefix.begin(), prefix.end(), file.begin()));
  EXPECT_EQ(json::parse(file.begin() + 33, file.end()), json::object());

  RecordingDelegate delegate;
  EXPECT_TRUE(KIVOAudioPack::loadPath("/dump.pack", &delegate, *h.files));
  EXPECT_TRUE(delegate.calls.empty());
  EXPECT_EQ(delegate.metadata, json::object());
}

TEST(AudioPackDumperTest, AChunkIsKindLengthIdentifierTerminatorTypeSizeAndBytes) {
  Harness h;
  auto dumper = h.start();
  dumper->addAFP(afp("ab", -2, {1, 2, 3, 4, 5, 6, 7, 8}));
  dumper->start();  // a second start while writing changes nothing
  dumper->finishWithMetadata(json::object());
  const Bytes expected = PackBytes().header().u8(0x61).u8(0x03).text("ab").u8(0).u32(0xFFFFFFFE).u32(8)
                             .raw({1, 2, 3, 4, 5, 6, 7, 8}).u8(0).footer().bytes;
  const Bytes file = h.file();
  ASSERT_GE(file.size(), expected.size());
  EXPECT_EQ(Bytes(file.begin(), file.begin() + std::ptrdiff_t(expected.size())), expected);
}

std::string randomIdentifier(std::mt19937& rng) {
  static const char* const pieces[] = {"a", "Z", "0", "-", " ", "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x8E\xB5", "\n"};
  std::string id;
  const size_t target = rng() % 6 == 0 ? 253 : rng() % 40;
  while (id.size() < target) {
    const std::string piece = pieces[rng() % 9];
    if (id.size() + piece.size() > target) break;
    id += piece;
  }
  return id;
}

TEST(AudioPackDumperTest, ADumpReadsBackAsTheSameRecordsInOrderAndEqualMetadata) {
  std::mt19937 rng(3);
  for (int round = 0; round < 40; ++round) {
    SCOPED_TRACE(round);
    Harness h;
    std::vector<KIVOAudioPackAFPData> records(rng() % 10);
    json media = json::object();
    for (auto& r : records) {
      r.identifier = randomIdentifier(rng);
      r.type = int32_t(rng());
      r.afp.resize(8 * (rng() % 50));
      for (auto& b : r.afp) b = uint8_t(rng());
      media[*r.identifier] = {{"type", rng() % 2 ? "cf" : "pg"}, {"title", "t" + std::to_string(rng() % 100)},
                              {"duration", double(rng() % 10000) / 7}};
    }
    const json metadata = {{"media", media}, {"v", round}, {"list", {1, "two", nullptr, false}}};
    auto dumper = h.start();
    for (const auto& r : records) dumper->addAFP(r);
    ASSERT_TRUE(dumper->finishWithMetadata(metadata));

    RecordingDelegate delegate;
    ASSERT_TRUE(KIVOAudioPack::loadPath("/dump.pack", &delegate, *h.files));
    ASSERT_EQ(delegate.calls.size(), records.size());
    for (size_t i = 0; i < records.size(); ++i) {
      EXPECT_EQ(delegate.calls[i].afp.identifier, records[i].identifier);
      EXPECT_EQ(delegate.calls[i].afp.type, records[i].type);
      EXPECT_EQ(delegate.calls[i].afp.afp, records[i].afp);
    }
    EXPECT_EQ(delegate.metadata, metadata);
  }
}

TEST(AudioPackDumperTest, RecordsTheReaderWouldMisreadAreSkippedWithALogLine) {
  Harness h;
  LogCapture log;
  const std::string longest(253, 'x');
  const std::string tooLong(254, 'y');
  auto dumper = h.start();
  dumper->addAFP(afp("before", 0, {}));
  dumper->addAFP(afp(tooLong, 0, {1, 2, 3, 4, 5, 6, 7, 8}));
  dumper->addAFP(afp(std::string(300, 'z'), 0, {}));
  dumper->addAFP(afp(std::nullopt, 0, {}));
  dumper->addAFP(afp(std::string("a\0b", 3), 0, {}));
  dumper->addAFP(afp("\xFF", 0, {}));
  dumper->addAFP(afp(longest, 0, {}));
  ASSERT_TRUE(dumper->finishWithMetadata(json::object()));
  EXPECT_EQ(log.lines(), (Lines{"[WARN] Skipped AFP " + tooLong + ": identifier longer than 253 bytes",
                                "[WARN] Skipped AFP " + std::string(300, 'z') + ": identifier longer than 253 bytes",
                                "[WARN] Skipped AFP without a valid identifier",
                                "[WARN] Skipped AFP without a valid identifier",
                                "[WARN] Skipped AFP without a valid identifier"}));
  RecordingDelegate delegate;
  ASSERT_TRUE(KIVOAudioPack::loadPath("/dump.pack", &delegate, *h.files));
  ASSERT_EQ(delegate.calls.size(), 2u);
  EXPECT_EQ(delegate.calls[0].afp.identifier, "before");
  EXPECT_EQ(delegate.calls[1].afp.identifier, longest);
}

TEST(AudioPackDumperTest, AFailedDumpKeepsThePreviousFile) {
  struct Case {
    const char* what;
    std::function<void(Harness&)> fault;  // before the dump starts
    std::function<void(KIVOAudioPackDumper&)> before;  // before finishWithMetadata
    Lines log;
    bool posts502;
  };
  const Case cases[] = {
      {"the file cannot be replaced", [](Harness& h) { h.files->failCommits("No space left on device"); }, {},
       {"[ERROR] Failed to finish file writting: No space left on device"}, true},
      {"no new version can be started", [](Harness& h) { h.files->failCreates("Permission denied"); }, {},
       {"Cannot open file for writing: Permission denied:", "[ERROR] Failed to open file for writing",
        "[ERROR] failed to write UInt8 because file handle is nil",
        "[ERROR] No file handle (maybe calls without start method?)"},
       false},
      {"metadata that cannot be serialised", {}, {},
       {"[ERROR] Failed to dump because metadata cannot be serialized"}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Harness h;
    h.files->put("/dump.pack", kOld);
    if (c.fault) c.fault(h);
    LogCapture log;
    auto dumper = h.start();
    dumper->addAFP(afp("m1", 0, {1, 2, 3, 4, 5, 6, 7, 8}));
    const json metadata = std::string(c.what).starts_with("metadata") ? json{{"bad", "\xFF"}} : json::object();
    EXPECT_FALSE(dumper->finishWithMetadata(metadata));
    EXPECT_EQ(h.file(), kOld);
    EXPECT_EQ(log.lines(), c.log);
    EXPECT_EQ(h.posted.size(), c.posts502 ? 1u : 0u);
    if (c.posts502) {
      EXPECT_EQ(h.posted[0], std::make_pair(502, std::string("Failed to dump because cannot remove old item")));
    }
  }
}

TEST(AudioPackDumperTest, WritesWithoutAnOpenDumpLogAndFail) {
  Harness h;
  auto dumper = h.start();
  ASSERT_TRUE(dumper->finishWithMetadata(json::object()));
  LogCapture log;
  EXPECT_FALSE(dumper->writeUInt8(1));
  EXPECT_FALSE(dumper->writeUInt32(1));
  EXPECT_FALSE(dumper->writeHeader());
  EXPECT_FALSE(dumper->finishWithMetadata(json::object()));
  EXPECT_EQ(log.lines(), (Lines{"[ERROR] failed to write UInt8 because file handle is nil",
                                "[ERROR] failed to write UInt32 because file handle is nil",
                                "[ERROR] No file handle (maybe calls without start method?)"}));
}

class TempDir {
 public:
  TempDir() : path_(fs::temp_directory_path() / ("kivo-dumper-" + std::to_string(::getpid()))) {
    fs::remove_all(path_);
    fs::create_directories(path_);
  }
  ~TempDir() { fs::remove_all(path_); }
  fs::path operator/(const std::string& name) const { return path_ / name; }

 private:
  fs::path path_;
};

Bytes readAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

TEST(AudioPackDumperTest, OnDiskADumpReplacesTheOldFileWholeAndOnlyWhenItFinishes) {
  TempDir dir;
  const fs::path path = dir / "KIVOAudioDB.pack";
  {
    std::ofstream out(path, std::ios::binary);
    out << std::string(5000, '#');
  }
  {
    auto abandoned = KIVOAudioPackDumper::startDumpWithPathURL(path);
    abandoned->addAFP(afp("m1", 0, {}));
  }
  EXPECT_EQ(readAll(path), Bytes(5000, '#'));

  auto dumper = KIVOAudioPackDumper::startDumpWithPathURL(path);
  dumper->addAFP(afp("m1", 0, {}));
  EXPECT_EQ(fs::file_size(path), 5000u);
  ASSERT_TRUE(dumper->finishWithMetadata(json::object()));
  EXPECT_EQ(readAll(path), PackBytes().header().afp("m1", 0, {}).u8(0).footer().text("{}").bytes);
  EXPECT_EQ(std::distance(fs::directory_iterator(dir / ""), fs::directory_iterator()), 1);
}

TEST(AudioPackDumperTest, OnDiskAFileThatCannotBeReplacedPostsKivoError502) {
  TempDir dir;
  const fs::path path = dir / "KIVOAudioDB.pack";
  fs::create_directories(path / "in-the-way");
  std::vector<kivo::Notification> seen;
  kivo::ScopedObserver observer(kivo::NotificationCenter::defaultCenter(), "kivo.error",
                                [&](const kivo::Notification& n) { seen.push_back(n); });
  LogCapture log;
  auto dumper = KIVOAudioPackDumper::startDumpWithPathURL(path);
  EXPECT_FALSE(dumper->finishWithMetadata(json::object()));
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(std::any_cast<kivo::Error>(seen[0].object).code, 502);
  EXPECT_EQ(seen[0].userInfo, json({{"reason", "Failed to dump because cannot remove old item"}}));
  EXPECT_TRUE(fs::is_directory(path / "in-the-way"));
}

}  // namespace
