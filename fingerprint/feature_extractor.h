// The feature extractor: splits mono audio into Bands band-pass signals, measures each band's mean
// energy per FrameSize-sample frame, and emits, per one-frame step, PairLength words whose bit
// (Bands - 1 - b) says whether band b's newest pair of frames is among its window's loudest.
// One-shot: construct, feed once, extract, destroy. Not thread-safe; one extractor per thread.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "fingerprint/chebyshev.h"
#include "fingerprint/filter_bank.h"

namespace vorant {

template <unsigned Bands, unsigned FrameSize, unsigned PairLength, unsigned FirstStep>
class FeatureExtractor {
  static_assert(Bands == 64, "one bit per band in a 64-bit word");

 public:
  static constexpr double kRippleDb = 0.5;

  // Filter kind of a band: 0, 1 or 2 for design orders 2, 4 and 6.
  static uint32_t kindFor(double centre, double sampleRate) {
    const double ratio = centre / sampleRate;
    return ratio <= 0.17 ? 0 : ratio <= 0.33 ? 1 : 2;
  }

  // Designs every band's filter from bandTable: Bands pairs (centre Hz, width Hz), read only here.
  FeatureExtractor(double sampleRate, uint32_t expectedFrames, const double* bandTable)
      : FeatureExtractor(sampleRate, expectedFrames, design(sampleRate, bandTable)) {}

  // Uses the given filters in place of the designed ones.
  FeatureExtractor(double sampleRate, uint32_t expectedFrames,
                   std::span<const kivo::dsp::BiquadCascade, Bands> filters)
      : sampleRate_(sampleRate), bank_(filters) {
    energies_.reserve(size_t(Bands) * expectedFrames);
  }

  // Analyses the first floor(sampleCount / FrameSize) whole frames of samples, replacing the energies
  // of any earlier feed. Returns the number of samples analysed.
  uint32_t feed(uint32_t sampleCount, const float* samples) {
    frames_ = sampleCount / FrameSize;
    energies_.assign(size_t(Bands) * frames_, 0.0);
    if (frames_ > 0) bank_.frameEnergies(samples, frames_, FrameSize, energies_.data());
    // Frames before sampleRate * 5 / 1000 / 100 are filter settling time.
    const double settling = sampleRate_ * 5 / 1000 / 100;
    dropped_ = 0;
    while (dropped_ < frames_ && double(dropped_) < settling) ++dropped_;
    return frames_ * FrameSize;
  }

  // Number of kept frames per band.
  uint32_t frameCount() const { return frames_ - dropped_; }

  // Kept energies of band b, oldest first.
  std::span<const double> energies(unsigned band) const {
    return {energies_.data() + size_t(band) * frames_ + dropped_, frameCount()};
  }

  // Appends PairLength words per step, steps in time order, to out.
  void extract(std::vector<uint64_t>& out) const {
    const uint32_t kept = frameCount();
    if (kept < kWindow) return;
    out.reserve(out.size() + size_t(PairLength) * (kept - kWindow + 1));
    for (uint32_t s = 0; s + kWindow <= kept; ++s) {
      std::array<uint64_t, PairLength> words{};
      for (unsigned b = 0; b < Bands; ++b) {
        const auto levels = levelBits(energies(b).data() + s);
        for (unsigned level = 0; level < PairLength; ++level) words[level] = (words[level] << 1) | levels[level];
      }
      out.insert(out.end(), words.begin(), words.end());
    }
  }

  static constexpr uint32_t kPairs = FirstStep + 1;
  static constexpr uint32_t kWindow = PairLength * kPairs;

  // Level bits of one band's window starting at e (kWindow energies): bit i is set when the newest pair is at least the
  // (i + 1)-th loudest pair, the levels being found by walking the pairs from the loudest down until
  // their running total reaches a tenth of the window's total.
  static std::array<uint64_t, PairLength> levelBits(const double* e) {
    std::array<double, kPairs> pairs;
    double total = 0;
    for (uint32_t j = 0; j < kPairs; ++j) {
      double pair = 0;
      for (uint32_t k = 0; k < PairLength; ++k) pair += e[PairLength * j + k];
      pairs[j] = pair;
      total += pair;
    }
    const double current = pairs[kPairs - 1];
    std::sort(pairs.begin(), pairs.end());
    const double threshold = 0.1 * total;
    std::array<double, PairLength> level;
    level.fill(std::numeric_limits<double>::infinity());
    double running = 0;
    unsigned found = 0;
    for (uint32_t j = kPairs; j-- > 0 && found < PairLength;) {
      running += pairs[j];
      if (running >= threshold) level[found++] = pairs[j];
    }
    std::array<uint64_t, PairLength> bits;
    for (unsigned i = 0; i < PairLength; ++i) bits[i] = current >= level[i] ? 1 : 0;
    return bits;
  }

 private:

  static std::array<kivo::dsp::BiquadCascade, Bands> design(double sampleRate, const double* bandTable) {
    std::array<kivo::dsp::BiquadCascade, Bands> filters;
    for (unsigned b = 0; b < Bands; ++b) {
      const int order = 2 + 2 * int(kindFor(bandTable[2 * b], sampleRate));
      filters[b] = kivo::dsp::chebyshevBandPass(order, sampleRate, bandTable[2 * b], bandTable[2 * b + 1], kRippleDb);
    }
    return filters;
  }


  double sampleRate_;
  kivo::dsp::FilterBank bank_;
  uint32_t frames_ = 0;
  uint32_t dropped_ = 0;
  // Band b's energy of frame f at [b * frames_ + f].
  std::vector<double> energies_;
};

using AFPFeatureExtractor = FeatureExtractor<64, 1000, 2, 4>;

}  // namespace vorant
