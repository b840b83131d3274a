// The vectorised filter bank against a straightforward per-band implementation.
#include "fingerprint/filter_bank.h"

#include <gtest/gtest.h>

#include <cmath>

#include "fingerprint/feature_extractor.h"
#include "common/signals.h"
#include "kivo/afp.h"

namespace {

using kivo::dsp::BiquadCascade;

std::array<BiquadCascade, 64> designedBands() {
  std::array<BiquadCascade, 64> bands;
  for (unsigned b = 0; b < 64; ++b) {
    const double centre = AFPGeneratorBands[2 * b];
    const int order = 2 + 2 * int(vorant::AFPFeatureExtractor::kindFor(centre, 16000));
    bands[b] = kivo::dsp::chebyshevBandPass(order, 16000, centre, AFPGeneratorBands[2 * b + 1], 0.5);
  }
  return bands;
}

// One band at a time, one section after another, exactly as the recursion is written.
std::vector<double> referenceEnergies(const std::array<BiquadCascade, 64>& bands, const std::vector<float>& x,
                                      size_t frames) {
  std::vector<double> energies(64 * frames);
  std::vector<double> signal(frames * 1000);
  for (size_t b = 0; b < 64; ++b) {
    for (size_t n = 0; n < signal.size(); ++n) signal[n] = x[n];
    for (size_t s = 0; s < bands[b].count; ++s) {
      const auto& q = bands[b].stages[s];
      double v1 = 0, v2 = 0;
      for (size_t n = 0; n < signal.size(); ++n) {
        double w = (signal[n] - q.a1 * v1) - q.a2 * v2;
        if (s == 0) w = w + ((n & 1) ? 1e-8 : -1e-8);
        signal[n] = (q.b0 * w + q.b1 * v1) + q.b2 * v2;
        v2 = v1;
        v1 = w;
      }
    }
    for (size_t f = 0; f < frames; ++f) {
      double sum = 0;
      for (size_t i = 0; i < 1000; ++i) sum = std::fma(signal[f * 1000 + i], signal[f * 1000 + i], sum);
      energies[b * frames + f] = sum / 1000;
    }
  }
  return energies;
}

TEST(FilterBank, EveryKernelEqualsStraightforwardFilteringBitForBit) {
  const auto bands = designedBands();
  const kivo::dsp::FilterBank bank(bands);
  std::vector<std::pair<const char*, kivo::dsp::EnergyKernel>> kernels{{"generic", kivo::dsp::energiesGeneric}};
#if defined(__x86_64__)
  if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) kernels.emplace_back("avx2", kivo::dsp::energiesAvx2);
#endif
  const std::pair<const char*, std::vector<float>> signals[] = {
      {"music", kivo::test::music(48000, 1)},
      {"noise", kivo::test::noise(34000, 0.5f, 2)},
      {"quiet noise then silence", [] {
         auto x = kivo::test::noise(20000, 1e-4f, 3);
         x.resize(40000, 0.0f);
         return x;
       }()},
  };
  for (const auto& [name, x] : signals) {
    const size_t frames = x.size() / 1000;
    const auto want = referenceEnergies(bands, x, frames);
    for (const auto& [kernelName, kernel] : kernels) {
      SCOPED_TRACE(std::string(name) + " / " + kernelName);
      std::vector<double> got(64 * frames, -1.0);
      bank.frameEnergies(x.data(), frames, 1000, got.data(), kernel);
      for (size_t i = 0; i < got.size(); ++i)
        ASSERT_EQ(std::bit_cast<uint64_t>(got[i]), std::bit_cast<uint64_t>(want[i])) << "band " << i / frames;
    }
  }
}

TEST(FilterBank, BandsOfDifferentLengthsKeepTheirOrder) {
  // Four-section bands between two-section ones land in blocks of their own, written to their own rows.
  std::array<BiquadCascade, 3> bands{
      kivo::dsp::chebyshevBandPass(2, 16000, 500, 40, 0.5),
      kivo::dsp::chebyshevBandPass(4, 16000, 3000, 300, 0.5),
      kivo::dsp::chebyshevBandPass(2, 16000, 1000, 40, 0.5),
  };
  const kivo::dsp::FilterBank bank(bands);
  const auto x = kivo::test::risingTone(5000, 3000, 0.5f, 0.5f, 0.0f);
  std::vector<double> energies(3 * 5);
  bank.frameEnergies(x.data(), 5, 1000, energies.data());
  EXPECT_GT(energies[1 * 5 + 4], 100 * energies[0 * 5 + 4]);
  EXPECT_GT(energies[1 * 5 + 4], 100 * energies[2 * 5 + 4]);
}

}  // namespace
