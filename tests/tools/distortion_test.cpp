#include "tools/distortion.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <numbers>

namespace {

using kivo::tool::Samples;

Samples tone(double hz, double amplitude, size_t n = 32000) {
  Samples x(n);
  for (size_t i = 0; i < n; ++i) x[i] = int16_t(std::lround(amplitude * 32767 * std::sin(2 * std::numbers::pi * hz * double(i) / 16000)));
  return x;
}

double db(double ratio) { return 10 * std::log10(ratio); }

Samples difference(const Samples& a, const Samples& b) {
  Samples d(a.size());
  for (size_t i = 0; i < a.size(); ++i) d[i] = int16_t(a[i] - b[i]);
  return d;
}

TEST(Distortion, NoiseIsAddedAtTheAskedSignalToNoiseRatio) {
  const auto x = tone(440, 0.3);
  for (bool pink : {false, true})
    for (double snr : {20.0, 10.0, 0.0}) {
      std::mt19937 rng(1);
      const auto y = kivo::tool::addNoise(x, snr, pink, rng);
      EXPECT_NEAR(db(kivo::tool::meanSquare(x) / kivo::tool::meanSquare(difference(y, x))), snr, 0.2)
          << (pink ? "pink " : "white ") << snr;
    }
}

TEST(Distortion, PinkNoiseFallsWithFrequencyWhiteNoiseDoesNot) {
  const auto x = tone(440, 0.3);
  std::mt19937 rng(2);
  const auto pink = difference(kivo::tool::addNoise(x, 0, true, rng), x);
  const auto white = difference(kivo::tool::addNoise(x, 0, false, rng), x);
  // Power of the first difference measures the high-frequency share.
  auto highShare = [](const Samples& n) {
    Samples d(n.size() - 1);
    for (size_t i = 1; i < n.size(); ++i) d[i - 1] = int16_t((n[i] - n[i - 1]) / 2);
    return kivo::tool::meanSquare(d) / kivo::tool::meanSquare(n);
  };
  EXPECT_GT(highShare(white), 4 * highShare(pink));
}

TEST(Distortion, GainTelephoneBandAndReverberation) {
  const auto x = tone(1000, 0.5);
  EXPECT_NEAR(db(kivo::tool::meanSquare(kivo::tool::applyGain(x, -12)) / kivo::tool::meanSquare(x)), -12, 0.05);

  EXPECT_NEAR(db(kivo::tool::meanSquare(kivo::tool::telephoneBand(x)) / kivo::tool::meanSquare(x)), 0, 1.0);
  const auto low = tone(100, 0.5);
  EXPECT_LT(db(kivo::tool::meanSquare(kivo::tool::telephoneBand(low)) / kivo::tool::meanSquare(low)), -20);
  const auto high = tone(7000, 0.5);
  EXPECT_LT(db(kivo::tool::meanSquare(kivo::tool::telephoneBand(high)) / kivo::tool::meanSquare(high)), -20);

  Samples impulse(16000, 0);
  impulse[0] = 20000;
  const auto room = kivo::tool::reverberate(impulse);
  const Samples tail(room.begin() + 1600, room.begin() + 3200);  // 100 to 200 ms after the click
  EXPECT_GT(kivo::tool::meanSquare(tail), 0.0);
  EXPECT_EQ(room.size(), impulse.size());
}

TEST(Distortion, OpusRoundTripKeepsLengthAndSound) {
  if (std::system("command -v opusenc >/dev/null && command -v opusdec >/dev/null") != 0) GTEST_SKIP() << "no opus-tools";
  const auto x = tone(800, 0.3, 52000);
  const auto y = kivo::tool::opusRoundTrip(x, 64, std::filesystem::temp_directory_path());
  ASSERT_EQ(y.size(), x.size());
  EXPECT_GT(db(kivo::tool::meanSquare(x) / kivo::tool::meanSquare(difference(y, x))), 10);
}

}  // namespace
