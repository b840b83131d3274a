#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "kivo/afp_generator.h"

namespace {

kivo::Bytes floatsToBytes(const std::vector<float>& x) {
  kivo::Bytes out(x.size() * 4);
  std::memcpy(out.data(), x.data(), out.size());
  return out;
}

std::vector<int16_t> bytesToSamples(const kivo::Bytes& b) {
  std::vector<int16_t> out(b.size() / 2);
  std::memcpy(out.data(), b.data(), b.size());
  return out;
}

TEST(Downsample, PicksTheInputSampleAtOrBeforeEachInstant) {
  std::vector<float> x(44100);
  for (size_t i = 0; i < x.size(); ++i) x[i] = float(i % 20000) / 32768;
  const auto out = bytesToSamples(kivo::downsample44100Float32To16000SInt16(floatsToBytes(x)));
  ASSERT_EQ(out.size(), 16000u);
  for (size_t k = 0; k < out.size(); ++k) {
    const size_t index = k * 441 / 160;
    ASSERT_EQ(out[k], int16_t(x[index] * 32767.0f)) << k;
  }
  // Accumulating 2.75625 drifts to 1322.99999... at k = 480; the exact instant is sample 1323.
  EXPECT_EQ(out[480], int16_t(x[1323] * 32767.0f));
}

TEST(Downsample, ValuesAreTruncatedAndClamped) {
  const struct {
    float in;
    int16_t out;
  } cases[] = {
      {1.0f, 32767},   {-1.0f, -32767}, {0.5f, 16383},   {-0.5f, -16383}, {1.5f, 32767},
      {-1.5f, -32768}, {1e30f, 32767},  {-1e30f, -32768}, {std::numeric_limits<float>::quiet_NaN(), 0},
      {std::numeric_limits<float>::infinity(), 32767},     {-std::numeric_limits<float>::infinity(), -32768},
  };
  for (const auto& c : cases) {
    const auto out = bytesToSamples(kivo::downsample44100Float32To16000SInt16(floatsToBytes({c.in})));
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0], c.out) << c.in;
  }
}

TEST(Downsample, EmptyAndPartialInputs) {
  EXPECT_TRUE(kivo::downsample44100Float32To16000SInt16({}).empty());
  EXPECT_TRUE(kivo::downsample44100Float32To16000SInt16({1, 2, 3}).empty());  // less than one float
  EXPECT_EQ(kivo::downsample44100Float32To16000SInt16(floatsToBytes({0.25f, 0.5f, 0.75f})).size(), 4u);  // two samples
}

TEST(Downsample, LongInputsNeverReadPastTheEnd) {
  // With an accumulated read position, the last output of this length reads one sample past the end.
  const size_t n = 31298539;
  std::vector<float> x(n, 0.0f);
  x[n - 1] = 0.5f;
  const auto out = kivo::downsample44100Float32To16000SInt16(floatsToBytes(x));
  const size_t m = out.size() / 2;
  EXPECT_EQ(m, size_t(std::ceil(double(n) * 16000 / 44100)));
  const size_t lastIndex = (m - 1) * 441 / 160;
  EXPECT_LT(lastIndex, n);
  int16_t last;
  std::memcpy(&last, out.data() + out.size() - 2, 2);
  EXPECT_EQ(last, lastIndex == n - 1 ? 16383 : 0);
}

}  // namespace
