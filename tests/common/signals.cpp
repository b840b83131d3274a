#include "common/signals.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <random>

namespace kivo::test {

std::vector<float> noise(size_t samples, float amplitude, uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> u(-amplitude, amplitude);
  std::vector<float> x(samples);
  for (auto& v : x) v = u(rng);
  return x;
}

std::vector<float> music(size_t samples, uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<float> x(samples, 0.0f);
  const double twoPi = 2 * std::numbers::pi;
  const size_t beat = 4000;  // a quarter second
  for (size_t start = 0; start < samples; start += beat) {
    if (rng() % 11 == 0) continue;  // a rest
    const int midi = 48 + int(rng() % 30);
    const double f0 = 440.0 * std::pow(2.0, (midi - 69) / 12.0);
    const double decay = 2.0 + double(rng() % 6);
    const size_t length = std::min(samples - start, beat * (1 + rng() % 3));
    for (size_t i = 0; i < length; ++i) {
      const double t = double(i) / 16000;
      double v = 0;
      for (int h = 1; h <= 5; ++h) v += std::sin(twoPi * f0 * h * t) / (h * h);
      x[start + i] += float(0.25 * v * std::exp(-decay * t));
    }
    if (rng() % 2 == 0) {
      std::uniform_real_distribution<float> hit(-0.2f, 0.2f);
      for (size_t i = 0; i < std::min<size_t>(800, samples - start); ++i) x[start + i] += hit(rng) * (1 - i / 800.0f);
    }
  }
  const double bass = 55.0 * std::pow(2.0, double(seed % 12) / 12.0);
  for (size_t i = 0; i < samples; ++i) x[i] += float(0.1 * std::sin(twoPi * bass * double(i) / 16000));
  return x;
}

std::vector<float> risingTone(size_t samples, double hz, float start, float end, float noiseAmplitude) {
  auto x = noise(samples, noiseAmplitude, 7);
  for (size_t i = 0; i < samples; ++i) {
    const double amplitude = start + (end - start) * double(i) / double(samples);
    x[i] += float(amplitude * std::sin(2 * std::numbers::pi * hz * double(i) / 16000));
  }
  return x;
}

std::vector<int16_t> toPcm(const std::vector<float>& x) {
  std::vector<int16_t> out(x.size());
  for (size_t i = 0; i < x.size(); ++i)
    out[i] = int16_t(std::clamp(std::lround(double(x[i]) * 32767), -32768L, 32767L));
  return out;
}

}  // namespace kivo::test
