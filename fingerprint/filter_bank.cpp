#include "fingerprint/filter_bank.h"

namespace kivo::dsp {

FilterBank::FilterBank(std::span<const BiquadCascade> bands) : bandCount_(bands.size()) {
  // Consecutive bands of equal section count share a block, so runs of blocks have equal length.
  for (size_t b = 0; b < bands.size(); ++b) {
    const BiquadCascade& cascade = bands[b];
    if (blocks_.empty() || blocks_.back().stages != cascade.count || blocks_.back().band[kLanes - 1] >= 0) {
      blocks_.emplace_back();
      blocks_.back().stages = cascade.count;
    }
    LaneBlock& block = blocks_.back();
    size_t lane = 0;
    while (block.band[lane] >= 0) ++lane;
    block.band[lane] = int(b);
    for (size_t s = 0; s < cascade.count; ++s) {
      const Biquad& q = cascade.stages[s];
      const double k[5] = {q.a1, q.a2, q.b0, q.b1, q.b2};
      for (size_t i = 0; i < 5; ++i) block.coef[s][i][lane] = k[i];
    }
  }
}

EnergyKernel bestEnergyKernel() {
#if defined(__x86_64__)
  static const EnergyKernel best = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma") ? energiesAvx2 : energiesGeneric;
  }();
  return best;
#else
  return energiesGeneric;
#endif
}

}  // namespace kivo::dsp
