// A bank of band filters run over one input from zero state, giving each band's mean output energy
// per frame. Results are bit-identical on every code path: each band's arithmetic follows the
// section recursion in order, with no fused multiply-add, and the energy sum is a fused
// multiply-add in sample order.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "fingerprint/biquad.h"

namespace kivo::dsp {

// Bands are processed kLanes at a time; a block holds kLanes cascades of equal length, interleaved.
inline constexpr size_t kLanes = 4;

struct LaneBlock {
  size_t stages = 0;
  // coef[s][k][lane] with k = a1, a2, b0, b1, b2.
  alignas(32) double coef[BiquadCascade::kMaxStages][5][kLanes] = {};
  // Band of each lane, or -1 for a padding lane whose output is discarded.
  int band[kLanes] = {-1, -1, -1, -1};
};

// Writes band b's energy of frame f to energies[b * frames + f] for the blocks' real lanes.
// x holds frames * frameSize samples. The first section adds an offset alternating between -1e-8
// (on even samples) and +1e-8 that keeps the registers out of subnormal numbers.
using EnergyKernel = void (*)(const LaneBlock* blocks, size_t count, const float* x, size_t frames, size_t frameSize,
                              double* energies);

void energiesGeneric(const LaneBlock* blocks, size_t count, const float* x, size_t frames, size_t frameSize,
                     double* energies);
#if defined(__x86_64__)
void energiesAvx2(const LaneBlock* blocks, size_t count, const float* x, size_t frames, size_t frameSize,
                  double* energies);
#endif

// The fastest kernel this processor runs.
EnergyKernel bestEnergyKernel();

class FilterBank {
 public:
  explicit FilterBank(std::span<const BiquadCascade> bands);

  size_t bandCount() const { return bandCount_; }

  // energies must hold bandCount() * frames values; see EnergyKernel.
  void frameEnergies(const float* x, size_t frames, size_t frameSize, double* energies,
                     EnergyKernel kernel = bestEnergyKernel()) const {
    kernel(blocks_.data(), blocks_.size(), x, frames, frameSize, energies);
  }

 private:
  size_t bandCount_;
  std::vector<LaneBlock> blocks_;
};

}  // namespace kivo::dsp
