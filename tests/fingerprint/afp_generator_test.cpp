#include "kivo/afp_generator.h"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>

#include "common/log_capture.h"
#include "common/signals.h"

namespace {

using kivo::AFPGenerator;

std::vector<int16_t> loudPcm(size_t samples, uint32_t seed = 1) { return kivo::test::toPcm(kivo::test::music(samples, seed)); }

// Ten frames of noise, with the given frames replaced by the given sample value.
std::vector<int16_t> tenFrames(std::initializer_list<int> quietFrames, int16_t quietValue) {
  auto pcm = kivo::test::toPcm(kivo::test::noise(10000, 0.5f, 8));
  for (int f : quietFrames) std::fill(pcm.begin() + f * 1000, pcm.begin() + (f + 1) * 1000, quietValue);
  return pcm;
}

TEST(AFPFromSample, LengthRules) {
  const auto pcm = loudPcm(40000);
  {
    kivo::test::LogCapture log;
    EXPECT_FALSE(kivo::AFPFromSample(pcm.data(), 1999).has_value());
    EXPECT_FALSE(kivo::AFPFromSample(pcm.data(), -4).has_value());
    EXPECT_EQ(log.lines(), (std::vector<std::string>{"Insufficient samples", "Insufficient samples"}));
  }
  const auto empty = kivo::AFPFromSample(pcm.data(), 2000);
  ASSERT_TRUE(empty.has_value());
  EXPECT_TRUE(empty->empty());
  EXPECT_EQ(kivo::AFPFromSample(pcm.data(), 68000)->size(), 384u);
  EXPECT_EQ(kivo::AFPFromSample(pcm.data(), 69999), kivo::AFPFromSample(pcm.data(), 68000));
  EXPECT_EQ(kivo::AFPFromSample(pcm.data(), 80000)->size(), 8u * 2 * (40 - 10));
}

TEST(AFPFromSample, SilenceRuleCountsFramesPeakingBelowThreshold) {
  EXPECT_TRUE(kivo::AFPFromSample(tenFrames({0, 1, 2, 3}, 0).data(), 20000).has_value());
  EXPECT_TRUE(kivo::AFPFromSample(tenFrames({0, 1, 2, 3, 4, 5}, 0).data(), 20000).has_value());
  EXPECT_FALSE(kivo::AFPFromSample(tenFrames({0, 1, 2, 3, 4, 5, 6}, 0).data(), 20000).has_value());
  // A frame's peak is its largest value, not magnitude: loud negative frames count as silent.
  EXPECT_FALSE(kivo::AFPFromSample(tenFrames({0, 1, 2, 3, 4, 5, 6}, -20000).data(), 20000).has_value());
  // 13 is 0.000397 of full scale, below 0.0004; 14 is above.
  EXPECT_FALSE(kivo::AFPFromSample(tenFrames({0, 1, 2, 3, 4, 5, 6}, 13).data(), 20000).has_value());
  EXPECT_TRUE(kivo::AFPFromSample(tenFrames({0, 1, 2, 3, 4, 5, 6}, 14).data(), 20000).has_value());
}

TEST(AFPFromSample, PlainFunctionGivesTheSameWords) {
  const auto pcm = loudPcm(34000);
  AFP afp{};
  ASSERT_EQ(AFPFromSample(pcm.data(), 68000, &afp), 1);
  const auto bytes = *kivo::AFPFromSample(pcm.data(), 68000);
  ASSERT_EQ(afp.count, 48u);
  EXPECT_EQ(std::memcmp(afp.words, bytes.data(), bytes.size()), 0);
  AFPRelease(&afp);
  EXPECT_EQ(afp.words, nullptr);

  kivo::test::LogCapture log;
  EXPECT_EQ(AFPFromSample(pcm.data(), 100, &afp), 0);
  EXPECT_EQ(afp.count, 0u);
  EXPECT_EQ(AFPFromSample(pcm.data(), 2000, &afp), 1);  // one frame: an AFP of no words
  EXPECT_EQ(afp.count, 0u);
  AFPRelease(&afp);
}

TEST(AFPFromPCM, WrapsTheBytes) {
  const auto pcm = loudPcm(34000);
  kivo::Bytes data(reinterpret_cast<const uint8_t*>(pcm.data()), reinterpret_cast<const uint8_t*>(pcm.data() + pcm.size()));
  EXPECT_EQ(kivo::AFPFromPCM(data), kivo::AFPFromSample(pcm.data(), 68000));
}

struct Recorded {
  std::vector<int> codes;
  kivo::Bytes afp, pcm;
  std::vector<float> floats;
  std::vector<uint64_t> words;
};

Recorded run(AFPGenerator& generator, const void* buffer, uint64_t size) {
  Recorded r;
  generator.pcmRecordedHandler([&r](int code, const float* samples, int count) {
    r.codes.push_back(code);
    r.floats.assign(samples, samples + count);
  });
  generator.afpGeneratedHandler([&r](int code, const uint64_t* words, size_t length) {
    r.codes.push_back(code);
    r.words.assign(words, words + length / 8);
  });
  generator.initWithBuffer(
      buffer, size,
      [&r](int code, const kivo::Bytes& afp, const kivo::Bytes& pcm) {
        r.codes.push_back(code);
        r.afp = afp;
        r.pcm = pcm;
      },
      [&r](int code) { r.codes.push_back(code); });
  return r;
}

TEST(AFPGenerator, ReportsEachProductInOrder) {
  const auto pcm = loudPcm(34000);
  AFPGenerator generator;
  const auto r = run(generator, pcm.data(), 68000);
  EXPECT_EQ(r.codes, (std::vector<int>{2, 3, 1}));
  EXPECT_EQ(r.afp, *kivo::AFPFromSample(pcm.data(), 68000));
  ASSERT_EQ(r.words.size(), 48u);
  EXPECT_EQ(std::memcmp(r.words.data(), r.afp.data(), r.afp.size()), 0);
  ASSERT_EQ(r.pcm.size(), 4u * 34000);
  ASSERT_EQ(r.floats.size(), 34000u);
  EXPECT_EQ(std::memcmp(r.floats.data(), r.pcm.data(), r.pcm.size()), 0);
  EXPECT_EQ(r.floats[5], float(pcm[5]) / 32768);
}

TEST(AFPGenerator, FailureCodes) {
  const auto pcm = loudPcm(34000);
  AFPGenerator generator;
  kivo::test::LogCapture log;
  EXPECT_EQ(run(generator, pcm.data(), 1999).codes, std::vector<int>{-4});
  // Sizes beyond the signed 32-bit range are refused before the buffer is read.
  EXPECT_EQ(run(generator, pcm.data(), uint64_t(1) << 32).codes, std::vector<int>{-4});
  EXPECT_EQ(run(generator, pcm.data(), uint64_t(std::numeric_limits<int32_t>::max()) + 1).codes, std::vector<int>{-4});
  EXPECT_TRUE(log.lines().empty());

  const auto quiet = tenFrames({0, 1, 2, 3, 4, 5, 6}, 0);
  EXPECT_EQ(run(generator, quiet.data(), 20000).codes, (std::vector<int>{2, -3}));
  generator.setSilenceRate(0.8f);
  EXPECT_EQ(run(generator, quiet.data(), 20000).codes, (std::vector<int>{2, 3, 1}));
  generator.setSilenceThreshold(0.9f);
  EXPECT_EQ(run(generator, quiet.data(), 20000).codes, (std::vector<int>{2, -3}));
}

}  // namespace
