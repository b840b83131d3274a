// AFPFromSample on one matcher window (68,000 bytes, 2.125 s) of non-silent audio, on each kernel.
#include <benchmark/benchmark.h>

#include <cmath>
#include <numbers>
#include <random>
#include <vector>

#include "fingerprint/feature_extractor.h"
#include "fingerprint/filter_bank.h"
#include "kivo/afp_generator.h"

namespace {

std::vector<int16_t> window() {
  std::mt19937 rng(1);
  std::uniform_int_distribution<int> noise(-3000, 3000);
  std::vector<int16_t> pcm(34000);
  for (size_t i = 0; i < pcm.size(); ++i)
    pcm[i] = int16_t(8000 * std::sin(2 * std::numbers::pi * 440 * double(i) / 16000) + noise(rng));
  return pcm;
}

void BM_AFPFromSample(benchmark::State& state) {
  const auto pcm = window();
  for (auto _ : state) benchmark::DoNotOptimize(kivo::AFPFromSample(pcm.data(), 68000));
  // Audio seconds per wall second.
  state.counters["realtime_x"] = benchmark::Counter(2.125 * double(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_AFPFromSample)->Unit(benchmark::kMillisecond);

void BM_FilterBank(benchmark::State& state, kivo::dsp::EnergyKernel kernel) {
  const auto pcm = window();
  std::vector<float> x(pcm.begin(), pcm.end());
  std::array<kivo::dsp::BiquadCascade, 64> bands;
  for (unsigned b = 0; b < 64; ++b) {
    const double centre = AFPGeneratorBands[2 * b];
    const int order = 2 + 2 * int(vorant::AFPFeatureExtractor::kindFor(centre, 16000));
    bands[b] = kivo::dsp::chebyshevBandPass(order, 16000, centre, AFPGeneratorBands[2 * b + 1], 0.5);
  }
  const kivo::dsp::FilterBank bank(bands);
  std::vector<double> energies(64 * 34);
  for (auto _ : state) {
    bank.frameEnergies(x.data(), 34, 1000, energies.data(), kernel);
    benchmark::DoNotOptimize(energies.data());
  }
}
BENCHMARK_CAPTURE(BM_FilterBank, generic, kivo::dsp::energiesGeneric)->Unit(benchmark::kMillisecond);
#if defined(__x86_64__)
BENCHMARK_CAPTURE(BM_FilterBank, avx2, kivo::dsp::energiesAvx2)->Unit(benchmark::kMillisecond);
#endif

}  // namespace
