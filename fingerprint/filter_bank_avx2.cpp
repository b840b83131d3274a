// AVX2 kernel (this source is compiled with -mavx2 -mfma; it is called only where both exist).
#include <immintrin.h>

#include "fingerprint/filter_bank.h"
#include "platform/assert.h"

namespace {

struct Avx2Ops {
  typedef double V __attribute__((vector_size(32)));
  static V fma(V a, V b, V c) { return V(_mm256_fmadd_pd(__m256d(a), __m256d(b), __m256d(c))); }
};

}  // namespace

#include "fingerprint/filter_kernel.inc"

namespace kivo::dsp {

void energiesAvx2(const LaneBlock* blocks, size_t count, const float* x, size_t frames, size_t frameSize,
                  double* energies) {
  runAll<Avx2Ops>(blocks, count, x, frames, frameSize, energies);
}

}  // namespace kivo::dsp
