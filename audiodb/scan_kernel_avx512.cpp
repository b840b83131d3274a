// AVX-512 batch kernel: 8 offsets per call, one 64-bit lane each, hardware popcount per lane.
#include "audiodb/scan_kernel.h"

#if defined(__x86_64__)

#include <immintrin.h>

// GCC 12's AVX-512 intrinsics use self-initialised "undefined" operands that trip this warning.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#include "kivo/bit_score.h"

#define KIVO_AVX512 __attribute__((target("avx512f,avx512dq,avx512vpopcntdq,popcnt")))

namespace kivo::scan {

namespace {

KIVO_AVX512 uint32_t batch(const uint64_t *query, const uint64_t *reference, int n, int first_tested,
                           uint64_t threshold, uint64_t *compared) {
  // Lane j reads word i of offset j, reference[i + 2j]: even elements of two overlapping loads.
  const __m512i even = _mm512_setr_epi64(0, 2, 4, 6, 9, 11, 13, 15);
  const __m512i limit = _mm512_set1_epi64(static_cast<int64_t>(static_cast<uint32_t>(threshold >> 24)));
  const int half = n / 2;
  __m512i a = _mm512_setzero_si512();
  __m512i b = _mm512_setzero_si512();
  __mmask8 alive = 0xFF;
  uint64_t words = 0;
  for (int p = 0; p < n; ++p) {
    const int i = p < half ? 2 * p + 1 : 2 * (p - half);
    const __m512i r = _mm512_permutex2var_epi64(_mm512_loadu_si512(reference + i), even,
                                                _mm512_loadu_si512(reference + i + 7));
    const __m512i q = _mm512_set1_epi64(static_cast<int64_t>(query[i]));
    a = _mm512_add_epi64(a, _mm512_popcnt_epi64(_mm512_andnot_si512(r, q)));
    b = _mm512_add_epi64(b, _mm512_popcnt_epi64(_mm512_andnot_si512(q, r)));
    words += static_cast<uint64_t>(__builtin_popcount(alive));
    if (p >= first_tested) {
      const __m512i measure = _mm512_add_epi64(_mm512_add_epi64(a, _mm512_srli_epi64(a, 3)), b);
      alive = _mm512_mask_cmple_epu64_mask(alive, measure, limit);
      // Short blocks run branch-free; long ones stop once every lane is rejected.
      if (n > 8 && alive == 0) break;
    }
  }
  *compared += words;
  if (alive == 0) return 0;
  const __m512i score = _mm512_add_epi64(_mm512_slli_epi64(b, 24),
                                         _mm512_mullo_epi64(a, _mm512_set1_epi64(KIVO_SCORE_WEIGHT_A)));
  alive = _mm512_mask_cmplt_epu64_mask(alive, score, _mm512_set1_epi64(static_cast<int64_t>(KIVO_REJECTED_SCORE)));
  alive = _mm512_mask_cmple_epi64_mask(alive, score, _mm512_set1_epi64(static_cast<int64_t>(threshold)));
  return alive;
}

}  // namespace

extern const BatchFn avx512_batch = &batch;

}  // namespace kivo::scan

#else

namespace kivo::scan {
extern const BatchFn avx512_batch = nullptr;
}

#endif
