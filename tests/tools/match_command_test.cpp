// kivo pack build and kivo match, end to end on generated recordings.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "common/temp_dir.h"
#include "common/signals.h"
#include "tools/subcommands.h"
#include "tools/wav_file.h"

namespace {

using kivo::test::TempDir;

struct Outcome {
  int status;
  std::string out, err;
};

Outcome run(int (*command)(std::span<char*>), std::vector<std::string> args) {
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  const int status = command(argv);
  const std::string out = testing::internal::GetCapturedStdout();
  return {status, out, testing::internal::GetCapturedStderr()};
}

size_t count(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

class MatchCommand : public testing::Test {
 protected:
  void SetUp() override {
    for (uint32_t seed : {1u, 2u, 3u}) {
      const auto x = kivo::test::music(16000 * 20, seed);
      kivo::test::writeWav(dir / ("song" + std::to_string(seed) + ".wav"), 16000, 1, x);
    }
    std::ofstream(dir / "meta.json") << R"({"song2.wav": {"_id": "m-002", "title": "Second Song", "artist": "Us"}})";
    const auto built = run(kivo::tool::runPackBuild,
                           {"-o", (dir / "ref.pack").string(), "--metadata", (dir / "meta.json").string(),
                            (dir / "song1.wav").string(), (dir / "song2.wav").string(), (dir / "song3.wav").string()});
    ASSERT_EQ(built.status, 0) << built.err;
    ASSERT_NE(built.out.find("ref.pack: 3 media"), std::string::npos) << built.out;
  }
  TempDir dir;
};

TEST_F(MatchCommand, RecognisesEveryBlockOfAnExcerpt) {
  // 6.5 s of song 2 from 4 s, quieter: two blocks.
  auto x = kivo::test::music(16000 * 20, 2);
  std::vector<float> excerpt(x.begin() + 64000, x.begin() + 64000 + 104000);
  for (auto& v : excerpt) v *= 0.5f;
  kivo::test::writeWav(dir / "query.wav", 16000, 1, excerpt);
  std::filesystem::copy_file(dir / "query.wav", dir / "caf\xE9.wav");  // a Latin-1 name: not UTF-8

  const auto text = run(kivo::tool::runMatch, {"--pack", (dir / "ref.pack").string(), (dir / "query.wav").string()});
  EXPECT_EQ(text.status, 0) << text.err;
  EXPECT_EQ(count(text.out, "Second Song (m-002) at 5.125 s"), 1u) << text.out;
  EXPECT_EQ(count(text.out, "Second Song (m-002) at 8.375 s"), 1u) << text.out;

  const auto json = run(kivo::tool::runMatch, {"--json", "--pack", (dir / "ref.pack").string(), (dir / "query.wav").string()});
  std::istringstream lines(json.out);
  std::string line;
  std::vector<nlohmann::json> blocks;
  while (std::getline(lines, line)) blocks.push_back(nlohmann::json::parse(line));
  ASSERT_EQ(blocks.size(), 2u);
  EXPECT_EQ(blocks[1]["media"], "m-002");
  EXPECT_EQ(blocks[1]["title"], "Second Song");
  EXPECT_EQ(blocks[1]["position"], 8.375);
  EXPECT_EQ(blocks[1]["start"], 3.25);
  EXPECT_EQ(blocks[0]["score"], 0.0);

  const auto latin1 = run(kivo::tool::runMatch, {"--json", "--pack", (dir / "ref.pack").string(), (dir / "caf\xE9.wav").string()});
  EXPECT_EQ(latin1.status, 0);
  const auto first = nlohmann::json::parse(latin1.out.substr(0, latin1.out.find('\n')));
  EXPECT_EQ(first["file"], (dir / "caf\xEF\xBF\xBD.wav").string());
  EXPECT_EQ(first["media"], "m-002");
}

TEST_F(MatchCommand, UnknownAudioAndBadInputs) {
  kivo::test::writeWav(dir / "noise.wav", 16000, 1, kivo::test::noise(16000 * 4, 0.3f, 5));
  const auto unknown = run(kivo::tool::runMatch, {"--pack", (dir / "ref.pack").string(), (dir / "noise.wav").string()});
  EXPECT_EQ(unknown.status, 0);
  EXPECT_EQ(count(unknown.out, "no match"), 1u) << unknown.out;

  std::ofstream(dir / "bad.pack") << "not a pack";
  const auto bad = run(kivo::tool::runMatch, {"--pack", (dir / "bad.pack").string(), (dir / "noise.wav").string()});
  EXPECT_EQ(bad.status, 1);
  EXPECT_EQ(bad.err, "kivo match: " + (dir / "bad.pack").string() +
                        ": not a readable pack file: too short for a pack file (16 bytes or less) (see 'kivo pack "
                        "verify')\n");

  const auto missing = run(kivo::tool::runMatch, {"--pack", (dir / "ref.pack").string(), (dir / "none.wav").string()});
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.err.find("none.wav"), std::string::npos);
  EXPECT_EQ(run(kivo::tool::runMatch, {"query.wav"}).status, 2);

  const auto partial = run(kivo::tool::runPackBuild, {"-o", (dir / "p.pack").string(), (dir / "song1.wav").string(),
                                                      (dir / "none.wav").string()});
  EXPECT_EQ(partial.status, 1);
  EXPECT_NE(partial.out.find("p.pack: 1 media"), std::string::npos);

  // An unwritable place is told before any work, in one line.
  const auto unwritable = run(kivo::tool::runPackBuild, {"-o", (dir / "none" / "x.pack").string(), (dir / "song1.wav").string()});
  EXPECT_EQ(unwritable.status, 1);
  EXPECT_EQ(unwritable.out, "");
  EXPECT_EQ(unwritable.err, "kivo pack build: cannot write " + (dir / "none" / "x.pack").string() +
                                ": No such file or directory\n");

  // New packs follow the umask.
  const mode_t mask = ::umask(022);
  const auto built = run(kivo::tool::runPackBuild, {"-o", (dir / "m.pack").string(), (dir / "song1.wav").string()});
  ::umask(mask);
  EXPECT_EQ(built.status, 0);
  EXPECT_EQ(std::filesystem::status(dir / "m.pack").permissions(), std::filesystem::perms(0644));

  std::ofstream(dir / "deep.json") << "{\"song1\": " + std::string(100000, '[') + std::string(100000, ']') + "}";
  const auto deep = run(kivo::tool::runPackBuild, {"-o", (dir / "d.pack").string(), "--metadata",
                                                   (dir / "deep.json").string(), (dir / "song1.wav").string()});
  EXPECT_EQ(deep.status, 1);
  EXPECT_NE(deep.err.find("deep.json nests deeper than 128 levels"), std::string::npos) << deep.err;
}

}  // namespace
