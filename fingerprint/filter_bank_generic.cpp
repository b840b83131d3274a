// Portable kernel: vector-extension arithmetic the compiler lowers to whatever the target offers.
#include <cmath>

#include "fingerprint/filter_bank.h"
#include "platform/assert.h"

namespace {

struct GenericOps {
  typedef double V __attribute__((vector_size(32)));
  static V fma(V a, V b, V c) {
    V r;
    for (size_t l = 0; l < 4; ++l) r[l] = std::fma(a[l], b[l], c[l]);
    return r;
  }
};

}  // namespace

#include "fingerprint/filter_kernel.inc"

namespace kivo::dsp {

void energiesGeneric(const LaneBlock* blocks, size_t count, const float* x, size_t frames, size_t frameSize,
                     double* energies) {
  runAll<GenericOps>(blocks, count, x, frames, frameSize, energies);
}

}  // namespace kivo::dsp
