// Writes the seed corpora of the pack fuzz targets: valid packs of each kind made by the library's
// own writers, plus hand-made ones for the records they never write.
//   make_pack_seeds DIR   writes DIR/apack_load/* and DIR/audio_pack_reader/*
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

#include "common/db_helpers.h"
#include "audiopack/audio_pack_dumper.h"
#include "base_database.h"
#include "common/memory_file_system.h"
#include "common/pack_bytes.h"
#include "common/stream_helpers.h"

namespace {

namespace fs = std::filesystem;
using kivo::Bytes;
using kivo::test::PackBytes;

void write(const fs::path& path, const Bytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

void streamSeeds(const fs::path& dir) {
  kivo::test::ScopedDB empty;
  write(dir / "empty-dump", kivo::test::dumpToBytes(&empty.db, APACK_OP_ADD));
  kivo::test::ScopedDB base;
  kivo::fuzz::fillBaseDatabase(&base.db);
  write(dir / "add-dump", kivo::test::dumpToBytes(&base.db, APACK_OP_ADD));
  write(dir / "add-dump-no-footer", kivo::test::dumpToBytes(&base.db, APACK_OP_ADD | APACK_FLAG_NO_FOOTER));
  write(dir / "test-match-dump", kivo::test::dumpToBytes(&base.db, APACK_OP_TEST_MATCH));
  write(dir / "delete-dump", kivo::test::dumpToBytes(&base.db, APACK_OP_DEL_IF_ANY));
  const Bytes alpha = kivo::fuzz::baseData("alpha");
  write(dir / "mixed", PackBytes()
                           .header()
                           .add("x", 0x105, alpha)
                           .del("alpha")
                           .test("beta", adler32(kivo::fuzz::baseData("beta").data(), 8))
                           .add("beta", 3, {})
                           .del("x")
                           .test("gamma", 1)
                           .end()
                           .bytes);
  write(dir / "lead-in", PackBytes().fill(32, 0).header().add("", 0, {}).end().bytes);
  write(dir / "failing-test-match", PackBytes().header().add("y", 1, alpha).del("beta").test("beta", 1).end().bytes);
}

void packSeeds(const fs::path& dir) {
  auto files = std::make_shared<kivo::test::MemoryFileSystem>();
  auto empty = kivo::KIVOAudioPackDumper::startDumpWithPathURL("/empty", files, {});
  empty->finishWithMetadata(nlohmann::json::object());
  write(dir / "empty-dump", *files->get("/empty"));

  auto dump = kivo::KIVOAudioPackDumper::startDumpWithPathURL("/dump", files, {});
  dump->addAFP({"m-001", 1, Bytes(64, 0x5A)});
  dump->addAFP({"caf\xC3\xA9", -1, {}});
  dump->addAFP({"m-003", 0, kivo::fuzz::baseData("alpha")});
  dump->finishWithMetadata({{"media",
                             {{"m-001", {{"type", "cf"}, {"title", "One"}, {"duration", 12.5}}},
                              {"m-003", {{"type", "pg"}, {"title", "Three"}}}}},
                            {"version", "20240101000000"}});
  write(dir / "dump", *files->get("/dump"));

  write(dir / "every-chunk", PackBytes()
                                 .header()
                                 .afp("a", 7, kivo::fuzz::baseData("beta"))
                                 .deleteIfAny("b")
                                 .testMatch("c", 42)
                                 .u8(0x61).u8(255).u32(2).u32(0)
                                 .u8(0x61).u8(2).text("nt").u32(0).u32(0)
                                 .u8(0)
                                 .fill(3, 0xFF)
                                 .footer()
                                 .text(R"({"media": {"a": {"type": "cf"}}})")
                                 .bytes);
  write(dir / "end-only", PackBytes().header().u8(0).bytes);
  // Metadata at the nesting bound and one level past it.
  for (const auto& [name, depth] : {std::pair{"nested-metadata", 128}, std::pair{"too-deep-metadata", 129}}) {
    std::string text;
    for (int i = 0; i < depth; ++i) text += R"({"a":)";
    write(dir / name, PackBytes().header().u8(0).footer().text(text + "1" + std::string(size_t(depth), '}')).bytes);
  }
  kivo::test::ScopedDB base;
  kivo::fuzz::fillBaseDatabase(&base.db);
  write(dir / "plain-stream", kivo::test::dumpToBytes(&base.db, APACK_OP_ADD));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fputs("usage: make_pack_seeds DIR\n", stderr);
    return 2;
  }
  const fs::path root = argv[1];
  fs::create_directories(root / "apack_load");
  fs::create_directories(root / "audio_pack_reader");
  streamSeeds(root / "apack_load");
  packSeeds(root / "audio_pack_reader");
  return 0;
}
