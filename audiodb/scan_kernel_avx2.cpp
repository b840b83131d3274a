// AVX2 batch kernel: 4 offsets per call, one 64-bit lane each; per-lane popcount by nibble
// table lookups summed with vpsadbw.
#include "audiodb/scan_kernel.h"

#if defined(__x86_64__)

#include <immintrin.h>

#include "kivo/bit_score.h"

#define KIVO_AVX2 __attribute__((target("avx2,popcnt")))

namespace kivo::scan {

namespace {

// Bit count of every 64-bit lane of v.
KIVO_AVX2 inline __m256i popcount_lanes(__m256i v) {
  const __m256i nibbles = _mm256_setr_epi8(0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4,
                                           0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4);
  const __m256i low = _mm256_set1_epi8(0x0F);
  const __m256i counts = _mm256_add_epi8(_mm256_shuffle_epi8(nibbles, _mm256_and_si256(v, low)),
                                         _mm256_shuffle_epi8(nibbles, _mm256_and_si256(_mm256_srli_epi16(v, 4), low)));
  return _mm256_sad_epu8(counts, _mm256_setzero_si256());
}

// Lanes hold offsets 0, 2, 1, 3 of the batch; maps a lane mask to an offset mask.
inline uint32_t offsets_of_lanes(uint32_t lanes) {
  return (lanes & 0x9u) | ((lanes & 0x2u) << 1) | ((lanes & 0x4u) >> 1);
}

KIVO_AVX2 uint32_t batch(const uint64_t *query, const uint64_t *reference, int n, int first_tested,
                         uint64_t threshold, uint64_t *compared) {
  const __m256i limit = _mm256_set1_epi64x(static_cast<int64_t>(static_cast<uint32_t>(threshold >> 24)));
  const int half = n / 2;
  __m256i a = _mm256_setzero_si256();
  __m256i b = _mm256_setzero_si256();
  __m256i rejected = _mm256_setzero_si256();
  uint32_t alive = 0xF;
  uint64_t words = 0;
  for (int p = 0; p < n; ++p) {
    const int i = p < half ? 2 * p + 1 : 2 * (p - half);
    // Word i of offsets 0, 2, 1, 3: reference[i], [i + 4], [i + 2], [i + 6].
    const __m256i r = _mm256_blend_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(reference + i)),
                                         _mm256_loadu_si256(reinterpret_cast<const __m256i *>(reference + i + 3)),
                                         0xCC);
    const __m256i q = _mm256_set1_epi64x(static_cast<int64_t>(query[i]));
    a = _mm256_add_epi64(a, popcount_lanes(_mm256_andnot_si256(r, q)));
    b = _mm256_add_epi64(b, popcount_lanes(_mm256_andnot_si256(q, r)));
    words += static_cast<uint64_t>(__builtin_popcount(alive));
    if (p >= first_tested) {
      const __m256i measure = _mm256_add_epi64(_mm256_add_epi64(a, _mm256_srli_epi64(a, 3)), b);
      rejected = _mm256_or_si256(rejected, _mm256_cmpgt_epi64(measure, limit));
      alive = ~static_cast<uint32_t>(_mm256_movemask_pd(_mm256_castsi256_pd(rejected))) & 0xFu;
      // Short blocks run branch-free; long ones stop once every lane is rejected.
      if (n > 8 && alive == 0) break;
    }
  }
  *compared += words;
  if (alive == 0) return 0;
  // Counts stay below 2^32 (n <= kMaxWords), so a 32-bit multiply gives the exact A weight.
  const __m256i score = _mm256_add_epi64(_mm256_slli_epi64(b, 24),
                                         _mm256_mul_epu32(a, _mm256_set1_epi64x(KIVO_SCORE_WEIGHT_A)));
  const __m256i over = _mm256_or_si256(
      _mm256_cmpgt_epi64(score, _mm256_set1_epi64x(static_cast<int64_t>(threshold))),
      _mm256_cmpgt_epi64(score, _mm256_set1_epi64x(static_cast<int64_t>(KIVO_REJECTED_SCORE) - 1)));
  alive &= ~static_cast<uint32_t>(_mm256_movemask_pd(_mm256_castsi256_pd(over))) & 0xFu;
  return offsets_of_lanes(alive);
}

}  // namespace

extern const BatchFn avx2_batch = &batch;

}  // namespace kivo::scan

#else

namespace kivo::scan {
extern const BatchFn avx2_batch = nullptr;
}

#endif
