#include "fingerprint/feature_extractor.h"

#include <gtest/gtest.h>

#include <bit>

#include "common/signals.h"
#include "kivo/afp.h"

namespace {

using Extractor = vorant::AFPFeatureExtractor;

std::vector<uint64_t> wordsOf(const std::vector<float>& x) {
  Extractor extractor(16000, uint32_t(x.size() / 1000), AFPGeneratorBands);
  extractor.feed(uint32_t(x.size()), x.data());
  std::vector<uint64_t> out;
  extractor.extract(out);
  return out;
}

TEST(FeatureExtractor, WordCountFollowsWholeFrames) {
  const struct {
    size_t samples;
    uint32_t analysed;
    size_t words;
  } cases[] = {
      {999, 0, 0},          // no frame at all
      {10999, 10000, 0},    // ten frames, nine kept: less than one window
      {11000, 11000, 2},    // ten kept frames: exactly one step
      {34000, 34000, 48},   // the matcher's window
      {34999, 34000, 48},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.samples);
    const auto x = kivo::test::noise(c.samples, 0.3f, 11);
    Extractor extractor(16000, 34, AFPGeneratorBands);
    EXPECT_EQ(extractor.feed(uint32_t(x.size()), x.data()), c.analysed);
    EXPECT_EQ(extractor.frameCount(), c.analysed == 0 ? 0 : c.analysed / 1000 - 1);
    std::vector<uint64_t> out{42};  // extract appends
    extractor.extract(out);
    EXPECT_EQ(out.size(), 1 + c.words);
    EXPECT_EQ(out[0], 42u);
  }
}

TEST(FeatureExtractor, SettlingFramesDependOnSampleRate) {
  const auto x = kivo::test::noise(20000, 0.3f, 5);
  Extractor at16k(16000, 20, AFPGeneratorBands);
  at16k.feed(uint32_t(x.size()), x.data());
  EXPECT_EQ(at16k.frameCount(), 19u);  // bound 0.8: frame 0 dropped
  Extractor at44k(44100, 20, AFPGeneratorBands);
  at44k.feed(uint32_t(x.size()), x.data());
  EXPECT_EQ(at44k.frameCount(), 17u);  // bound 2.205: frames 0 to 2 dropped
}

TEST(FeatureExtractor, LevelBitsMarkTheNewestPairAmongTheLoudest) {
  const struct {
    std::array<double, 10> window;
    uint64_t first, second;
  } cases[] = {
      {{1, 1, 1, 1, 1, 1, 1, 1, 1, 1}, 1, 1},    // all equal: a tie counts as loud
      {{0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 1, 1},    // digital silence
      {{5, 0, 1, 1, 1, 1, 1, 1, 2, 3}, 1, 1},    // newest pair equals the largest earlier pair
      {{1, 1, 6, 0, 1, 1, 1, 1, 2, 2}, 0, 1},    // second loudest
      {{1, 1, 2, 2, 3, 3, 4, 4, 1, 1}, 0, 0},    // quietest
      {{0, 0, 0, 0, 0, 0, 0, 0, 0, 1e-300}, 1, 1},
  };
  for (const auto& c : cases) {
    const auto bits = Extractor::levelBits(c.window.data());
    EXPECT_EQ(bits[0], c.first);
    EXPECT_EQ(bits[1], c.second);
  }
}

TEST(FeatureExtractor, SamplesBeyondTheLastWholeFrameHaveNoInfluence) {
  auto x = kivo::test::music(34000, 3);
  const auto base = wordsOf(x);
  const auto tail = kivo::test::noise(999, 1.0f, 9);
  x.insert(x.end(), tail.begin(), tail.end());
  EXPECT_EQ(wordsOf(x), base);
}

TEST(FeatureExtractor, RisingToneLightsItsOwnBand) {
  // Band 20 (826.2 Hz) grows louder every frame, so its newest pair is always its window's loudest;
  // distant bands hear steady noise and light up only sometimes.
  const auto words = wordsOf(kivo::test::risingTone(80000, 826.2, 0.01f, 0.5f, 0.05f));
  ASSERT_EQ(words.size(), 2u * (79 - 9));
  const uint64_t band20 = uint64_t(1) << (63 - 20);
  size_t lit20 = 0, lit0 = 0, lit63 = 0;
  for (uint64_t w : words) {
    lit20 += (w & band20) != 0;
    lit0 += (w >> 63) & 1;
    lit63 += w & 1;
  }
  EXPECT_EQ(lit20, words.size());
  EXPECT_LT(lit0, words.size() * 3 / 4);
  EXPECT_LT(lit63, words.size() * 3 / 4);
}

TEST(FeatureExtractor, SecondFeedStartsAfresh) {
  const auto a = kivo::test::music(34000, 4);
  const auto b = kivo::test::noise(34000, 0.4f, 4);
  Extractor extractor(16000, 34, AFPGeneratorBands);
  extractor.feed(uint32_t(a.size()), a.data());
  extractor.feed(uint32_t(b.size()), b.data());
  std::vector<uint64_t> out;
  extractor.extract(out);
  EXPECT_EQ(out, wordsOf(b));
}

}  // namespace
