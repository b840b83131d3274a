// Packs on disk into the matcher: whole packs only, and dumps that read back.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "audiopack/audio_pack_dumper.h"
#include "common/log_capture.h"
#include "common/temp_dir.h"
#include "kivo/kivo_matcher.h"

namespace {

using kivo::Bytes;

Bytes afp(uint8_t seed, size_t words = 100) {
  Bytes b(words * 8);
  for (size_t i = 0; i < b.size(); ++i) b[i] = uint8_t(seed * 31 + i * 7 + (i >> 3));
  return b;
}

void writePack(const std::filesystem::path& path, const std::vector<std::string>& ids, uint8_t seed) {
  auto dumper = kivo::KIVOAudioPackDumper::startDumpWithPathURL(path);
  nlohmann::json media = nlohmann::json::object();
  for (size_t i = 0; i < ids.size(); ++i) {
    dumper->addAFP({ids[i], 0, afp(uint8_t(seed + i))});
    media[ids[i]] = {{"type", "cf"}, {"title", ids[i]}};
  }
  ASSERT_TRUE(dumper->finishWithMetadata({{"media", media}}));
}

std::vector<std::string> names(const kivo::KIVOMatcher& m) {
  std::vector<std::string> out;
  m.forEachAudioPack([&](const kivo::KIVOAudioPackAFPData& d) { out.push_back(*d.identifier); });
  return out;
}

TEST(KIVOMatcherPacks, RecordsOfAPackThatFailsToLoadAreDiscarded) {
  kivo::test::TempDir dir;
  writePack(dir.path() / "broken.pack", {"b1", "b2", "b3"}, 1);
  writePack(dir.path() / "good.pack", {"g1"}, 9);
  // Cut the first pack inside its third record: two records read, then the load fails.
  const auto size = std::filesystem::file_size(dir.path() / "broken.pack");
  std::filesystem::resize_file(dir.path() / "broken.pack", size - 700);

  auto m = kivo::KIVOMatcher::create();
  kivo::test::LogCapture log;
  m->beginAdd();
  EXPECT_FALSE(m->addAudioPackWithPath(dir.path() / "broken.pack"));
  EXPECT_TRUE(m->addAudioPackWithPath(dir.path() / "good.pack"));
  m->finishAdd();
  EXPECT_EQ(names(*m), std::vector<std::string>{"g1"});
  EXPECT_EQ(m->count(), 1u);
  EXPECT_FALSE(m->addAudioPackWithPath(dir.path() / "missing.pack"));
}

TEST(KIVOMatcherPacks, ADumpOfTheMatcherLoadsIntoAnEqualMatcher) {
  kivo::test::TempDir dir;
  writePack(dir.path() / "a.pack", {"x", "y", "z"}, 3);
  auto first = kivo::KIVOMatcher::create();
  first->beginAdd();
  ASSERT_TRUE(first->addAudioPackWithPath(dir.path() / "a.pack"));
  first->finishAdd();

  auto dumper = kivo::KIVOAudioPackDumper::startDumpWithPathURL(dir.path() / "KIVOAudioDB.pack");
  first->forEachAudioPack([&](const kivo::KIVOAudioPackAFPData& d) {
    if (first->isValidIdentifier(*d.identifier)) dumper->addAFP(d);
  });
  ASSERT_TRUE(dumper->finishWithMetadata(first->metadata()));

  auto second = kivo::KIVOMatcher::create();
  second->beginAdd();
  ASSERT_TRUE(second->addAudioPackWithPath(dir.path() / "KIVOAudioDB.pack"));
  second->finishAdd();
  EXPECT_EQ(second->metadata(), first->metadata());
  // The dump lists the newest first, so reading it back reverses the list.
  auto reversed = names(*first);
  std::reverse(reversed.begin(), reversed.end());
  EXPECT_EQ(names(*second), reversed);
  const Bytes y = afp(4);
  const auto hit = second->matchAFP(Bytes(y.begin() + 80, y.begin() + 80 + 48 * 8));  // from word 10
  ASSERT_TRUE(hit && !hit->empty());
  EXPECT_EQ(hit->front().name(), "y");
  EXPECT_EQ(hit->front().position(), 5u * 1000 / 16);
}

}  // namespace
