// KIVOAudioPack: what it delivers and logs for good, odd and broken pack files.
#include "audiopack/audio_pack_reader.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <stdexcept>

#include "common/db_helpers.h"
#include "common/log_capture.h"
#include "common/memory_file_system.h"
#include "common/pack_bytes.h"
#include "recording_delegate.h"
#include "common/stream_helpers.h"

namespace {

using kivo::Bytes;
using kivo::KIVOAudioPack;
using kivo::test::LogCapture;
using kivo::test::MemoryFileSystem;
using kivo::test::PackBytes;
using kivo::test::RecordingDelegate;
using Lines = std::vector<std::string>;
using nlohmann::json;

const char* const kEof = "[ERROR] Cannot read data: EOF or not enough file contents";
const char* const kNoMarker = "Failed to load metadata or there's no meta data header. Skip...";
const Bytes kData = {1, 2, 3, 4, 5, 6, 7, 8};

// The delegate calls as text: "afp ID TYPE LENGTH" (ID "(none)" when absent) or "delete ID".
Lines describe(const RecordingDelegate& d) {
  Lines out;
  for (const auto& c : d.calls) {
    if (c.kind == RecordingDelegate::Call::Kind::kDelete) {
      out.push_back("delete " + c.identifier);
    } else {
      out.push_back("afp " + c.afp.identifier.value_or("(none)") + " " + std::to_string(c.afp.type) + " " +
                    std::to_string(c.afp.afp.size()));
    }
  }
  return out;
}

struct Outcome {
  bool loaded;
  Lines calls;
  std::optional<json> metadata;
  Lines log;
};

Outcome read(const Bytes& file) {
  MemoryFileSystem files;
  files.put("/p.pack", file);
  RecordingDelegate delegate;
  LogCapture log;
  const bool loaded = KIVOAudioPack::loadPath("/p.pack", &delegate, files);
  EXPECT_EQ(delegate.finishCount, loaded ? 1 : 0);
  return {loaded, describe(delegate), delegate.metadata, log.lines()};
}

// An object nesting depth objects deep: {"a":{"a":...1}}.
std::string nested(size_t depth) {
  std::string text;
  for (size_t i = 0; i < depth; ++i) text += R"({"a":)";
  return text + "1" + std::string(depth, '}');
}

TEST(AudioPackReaderTest, GoodAndOddFiles) {
  struct Case {
    const char* what;
    Bytes file;
    Lines calls;
    json metadata;
    Lines log;
  };
  const Case cases[] = {
      {"end chunk and nothing else", PackBytes().header().u8(0).bytes, {}, json::object(), {}},
      {"a chunk, three stray bytes, then metadata",
       PackBytes().header().afp("m1", 7, kData).u8(0).fill(3, 0xFF).footer().text(R"({"a": 1})").bytes,
       {"afp m1 7 8"}, {{"a", 1}}, {}},
      {"every chunk kind",
       PackBytes().header().afp("a", 1, kData).deleteIfAny("b").testMatch("c", 0xFFFFFFFF).afp("d", 0, {})
           .metadata("{}").bytes,
       {"afp a 1 8", "delete b", "afp d 0 0"}, json::object(), {"Test Match: c 4294967295d"}},
      {"identifier length 255 means none", PackBytes().header().u8(0x61).u8(255).u32(3).u32(0).u8(0).bytes,
       {"afp (none) 3 0"}, json::object(), {}},
      {"identifier without terminator is read whole",
       PackBytes().header().u8(0x61).u8(2).text("ab").u32(0).u32(0).u8(0).bytes, {"afp ab 0 0"}, json::object(), {}},
      {"identifier length 0 is empty", PackBytes().header().u8(0x64).u8(0).u8(0).bytes, {"delete "}, json::object(),
       {}},
      {"identifier that is not UTF-8 gives none",
       PackBytes().header().afp("\xFF\xFE", 0, {}).afp("caf\xC3\xA9", 0, {}).u8(0).bytes,
       {"afp (none) 0 0", "afp caf\xC3\xA9 0 0"}, json::object(), {}},
      {"zero byte inside an identifier gives none", PackBytes().header().afp(std::string_view("a\0b", 3), 0, {}).u8(0).bytes,
       {"afp (none) 0 0"}, json::object(), {}},
      {"negative type", PackBytes().header().afp("t", 0xFFFFFFFE, {}).u8(0).bytes, {"afp t -2 0"}, json::object(), {}},
      {"two-byte metadata is not parsed", PackBytes().header().metadata("[]").bytes, {}, json::object(), {}},
      {"metadata that is an array", PackBytes().header().metadata("[ ]").bytes, {}, json::object(),
       {"[WARN] Metadata is not a dictionary. Skip..."}},
      {"metadata that is a number", PackBytes().header().metadata("42 ").bytes, {}, json::object(),
       {"[WARN] Metadata is not a dictionary. Skip..."}},
      {"truncated metadata", PackBytes().header().metadata(R"({"media": {"m1")").bytes, {}, json::object(),
       {"[WARN] Failed to parse metadata. Skip..."}},
      {"metadata of the wrong shapes inside is delivered as it is",
       PackBytes().header().metadata(R"({"media": {"m1": 5, "m2": {"type": 1, "title": []}}})").bytes, {},
       json::parse(R"({"media": {"m1": 5, "m2": {"type": 1, "title": []}}})"), {}},
      {"metadata nested 128 deep", PackBytes().header().metadata(nested(128)).bytes, {}, json::parse(nested(128)), {}},
      {"metadata nested deeper is refused unparsed", PackBytes().header().metadata(nested(100000)).bytes, {},
       json::object(), {"[WARN] Failed to parse metadata. Skip..."}},
      {"stray bytes and no marker", PackBytes().header().u8(0).text("junk").bytes, {}, json::object(), {kNoMarker}},
      {"0xF1 opening something else", PackBytes().header().u8(0).text("\xF1xyz").bytes, {}, json::object(),
       {kEof, kNoMarker}},
      {"marker with nothing after it", PackBytes().header().metadata("").bytes, {}, json::object(), {}},
      // The stream form reads too: its trailer passes for the metadata marker (nothing follows).
      {"a plain stream", PackBytes().header().add("x", 3, kData).end().bytes, {"afp x 3 8"}, json::object(), {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Outcome o = read(c.file);
    EXPECT_TRUE(o.loaded);
    EXPECT_EQ(o.calls, c.calls);
    EXPECT_EQ(o.metadata, c.metadata);
    EXPECT_EQ(o.log, c.log);
  }
}

TEST(AudioPackReaderTest, BrokenFilesFailWithTheirLogLinesAfterDeliveringWhatCameBefore) {
  const Bytes good = PackBytes().afp("m1", 0, kData).bytes;
  struct Case {
    const char* what;
    Bytes file;
    Lines log;
  };
  const Case cases[] = {
      {"header only", PackBytes().header().bytes,
       {"[ERROR] local audiopacks has any no contents", "failed to open file /p.pack"}},
      {"empty file", {}, {"[INFO] Readed file has no contents", "[ERROR] local audiopacks has any no contents",
                          "failed to open file /p.pack"}},
      {"a different header", PackBytes().fill(16, 'A').u8(0).bytes,
       {"Readed header <41414141 41414141 41414141 41414141> is different with required header "
        "<f7417564 696f5061 636b3101 0d0a1a0a>",
        "failed to read header"}},
      {"unknown chunk kind", PackBytes().header().raw(good).u8(0x62).bytes, {"unknown chunk type"}},
      {"no end chunk", PackBytes().header().raw(good).bytes, {kEof, "unknown chunk type"}},
      {"identifier cut off", PackBytes().header().raw(good).u8(0x61).u8(10).text("abc").bytes,
       {kEof, "failed to read afp data"}},
      {"type cut off", PackBytes().header().raw(good).u8(0x61).id("x").u8(0).bytes, {kEof, "failed to read afp data"}},
      {"fingerprint cut off", PackBytes().header().raw(good).u8(0x61).id("x").u32(0).u32(100).raw(kData).bytes,
       {kEof, "[ERROR] failed to read afp hash length 100", "failed to read afp data"}},
      {"delete without identifier", PackBytes().header().raw(good).u8(0x64).u8(255).u8(0).bytes,
       {"failed to read identifier for delete if any"}},
      {"delete of an identifier that is not UTF-8", PackBytes().header().raw(good).deleteIfAny("\xC0\xAF").u8(0).bytes,
       {"failed to read identifier for delete if any"}},
      {"test-match without identifier", PackBytes().header().raw(good).u8(0x6D).u8(255).u32(0).u8(0).bytes,
       {"failed to read identifier for test match"}},
      {"test-match value cut off", PackBytes().header().raw(good).u8(0x6D).id("t").u8(1).bytes, {kEof}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const Outcome o = read(c.file);
    EXPECT_FALSE(o.loaded);
    const bool afterGood = c.file.size() >= 16 + good.size() && std::equal(good.begin(), good.end(), c.file.begin() + 16);
    EXPECT_EQ(o.calls, afterGood ? Lines{"afp m1 0 8"} : Lines{});
    EXPECT_EQ(o.metadata, std::nullopt);
    EXPECT_EQ(o.log, c.log);
  }
}

TEST(AudioPackReaderTest, ThePlainStreamLoaderRejectsPackFiles) {
  kivo::test::ScopedDB t;
  EXPECT_EQ(kivo::test::loadBytes(&t.db, PackBytes().header().afp("m1", 0, kData).metadata("{}").bytes),
            APACK_ERR_FORMAT);
}

// Throws from the first AFP.
class ThrowingDelegate : public RecordingDelegate {
 public:
  explicit ThrowingDelegate(bool standard) : standard_(standard) {}
  void audioPackRetrieveAFPData(kivo::KIVOAudioPackAFPData) override {
    if (standard_) throw std::runtime_error("boom");
    throw 42;
  }

 private:
  bool standard_;
};

TEST(AudioPackReaderTest, ExceptionsDuringALoadAreCaughtAndLogged) {
  MemoryFileSystem files;
  files.put("/p.pack", PackBytes().header().afp("m1", 0, kData).u8(0).bytes);
  for (const bool standard : {true, false}) {
    ThrowingDelegate delegate(standard);
    LogCapture log;
    EXPECT_FALSE(KIVOAudioPack::loadPath("/p.pack", &delegate, files));
    EXPECT_EQ(delegate.finishCount, 0);
    EXPECT_EQ(log.lines(), Lines{standard ? "[ERROR] Failed to load audiopack: Exception = boom"
                                          : "[ERROR] Failed to load audiopack: Exception = unknown exception"});
  }
}

TEST(AudioPackReaderTest, ReadsFilesFromTheDiskAndWorksWithoutDelegate) {
  const auto path = std::filesystem::temp_directory_path() / ("kivo-reader-" + std::to_string(::getpid()) + ".pack");
  const Bytes file = PackBytes().header().afp("m1", 0, kData).metadata(R"({"v": "1"})").bytes;
  {
    std::ofstream out(path, std::ios::binary);
    out.write(reinterpret_cast<const char*>(file.data()), std::streamsize(file.size()));
  }
  RecordingDelegate delegate;
  EXPECT_TRUE(KIVOAudioPack::loadPath(path, &delegate));
  EXPECT_EQ(describe(delegate), Lines{"afp m1 0 8"});
  EXPECT_EQ(delegate.calls[0].afp.afp, kData);
  EXPECT_EQ(delegate.metadata, json({{"v", "1"}}));
  EXPECT_TRUE(KIVOAudioPack::loadPath(path, nullptr));
  std::filesystem::remove(path);

  LogCapture log;
  EXPECT_FALSE(KIVOAudioPack::loadPath(path, &delegate));
  EXPECT_EQ(log.lines(), (Lines{"[ERROR] Failed to open file for reading: No such file or directory",
                                "failed to open file " + path.string()}));
}

TEST(AudioPackReaderTest, DumpDataLogsTheMessageAndEveryByteInHex) {
  LogCapture log;
  KIVOAudioPack::dumpData(Bytes{0x00, 0xAB, 0x7F}, "bytes: ");
  EXPECT_EQ(log.lines(), Lines{"bytes: 00 ab 7f "});
}

}  // namespace
