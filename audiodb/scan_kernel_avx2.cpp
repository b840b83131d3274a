// AVX2 scan kernel: 4 offsets per batch, one 64-bit lane each; per-lane popcount by nibble
// table lookups summed with vpsadbw.
#include "audiodb/scan_kernel.h"

#if defined(__x86_64__)

#include <immintrin.h>

#include "kivo/bit_score.h"

#define KIVO_AVX2 __attribute__((target("avx2,popcnt")))

namespace kivo::scan {

namespace {

constexpr int kLanes = 4;

// Bit count of every 64-bit lane of v.
KIVO_AVX2 inline __m256i popcount_lanes(__m256i v) {
  const __m256i nibbles = _mm256_setr_epi8(0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4,
                                           0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4);
  const __m256i low = _mm256_set1_epi8(0x0F);
  const __m256i counts = _mm256_add_epi8(_mm256_shuffle_epi8(nibbles, _mm256_and_si256(v, low)),
                                         _mm256_shuffle_epi8(nibbles, _mm256_and_si256(_mm256_srli_epi16(v, 4), low)));
  return _mm256_sad_epu8(counts, _mm256_setzero_si256());
}

// Word i of the batch's offsets in lane order 0, 2, 1, 3: reference[i], [i + 4], [i + 2], [i + 6].
KIVO_AVX2 inline __m256i lane_words(const uint64_t *reference, int i) {
  return _mm256_blend_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(reference + i)),
                            _mm256_loadu_si256(reinterpret_cast<const __m256i *>(reference + i + 3)), 0xCC);
}

// Lane order 0, 2, 1, 3 back to offset order.
KIVO_AVX2 inline __m256i in_offset_order(__m256i v) { return _mm256_permute4x64_epi64(v, 0xD8); }

// Offset mask of a lane mask.
inline uint32_t offsets_of_lanes(uint32_t lanes) {
  return (lanes & 0x9u) | ((lanes & 0x2u) << 1) | ((lanes & 0x4u) >> 1);
}

KIVO_AVX2 uint64_t scan(const uint64_t *query, const uint64_t *reference, int n, int first_tested, uint32_t limit,
                        int64_t bound, uint64_t batches, uint64_t *compared, BatchHit *hit) {
  const __m256i lim = _mm256_set1_epi64x(static_cast<int64_t>(limit));
  const __m256i bound_v = _mm256_set1_epi64x(bound);
  const __m256i last_ok = _mm256_set1_epi64x(static_cast<int64_t>(KIVO_REJECTED_SCORE) - 1);
  const int half = n / 2;
  __m256i total = _mm256_setzero_si256();
  uint64_t b = 0;
  for (; b < batches; ++b) {
    const uint64_t *r = reference + 2 * kLanes * b;
    prefetch(r, kPrefetchWords, 2 * kLanes);
    __m256i a = _mm256_setzero_si256();
    __m256i bb = _mm256_setzero_si256();
    __m256i words = _mm256_setzero_si256();
    __m256i alive = _mm256_set1_epi64x(-1);  // all-ones lanes are not rejected
    for (int p = 0; p < n; ++p) {
      const int i = p < half ? 2 * p + 1 : 2 * (p - half);
      const __m256i x = lane_words(r, i);
      const __m256i q = _mm256_set1_epi64x(static_cast<int64_t>(query[i]));
      a = _mm256_add_epi64(a, popcount_lanes(_mm256_andnot_si256(x, q)));
      bb = _mm256_add_epi64(bb, popcount_lanes(_mm256_andnot_si256(q, x)));
      words = _mm256_sub_epi64(words, alive);
      if (p >= first_tested) {
        const __m256i measure = _mm256_add_epi64(_mm256_add_epi64(a, _mm256_srli_epi64(a, 3)), bb);
        alive = _mm256_andnot_si256(_mm256_cmpgt_epi64(measure, lim), alive);
      }
      // Short blocks run branch-free; long ones stop once every lane is rejected (noticed every
      // 8 words: a branch per word costs more than the words a late stop wastes).
      if (n > 8 && (p & 7) == 7 && _mm256_testz_si256(alive, alive)) break;
    }
    if (!_mm256_testz_si256(alive, alive)) {
      // Counts stay below 2^32 (n <= kMaxWords), so a 32-bit multiply gives the exact A weight.
      const __m256i score = _mm256_add_epi64(_mm256_slli_epi64(bb, 24),
                                             _mm256_mul_epu32(a, _mm256_set1_epi64x(KIVO_SCORE_WEIGHT_A)));
      const __m256i over = _mm256_or_si256(_mm256_cmpgt_epi64(score, bound_v), _mm256_cmpgt_epi64(score, last_ok));
      const __m256i admitted = _mm256_andnot_si256(over, alive);
      if (!_mm256_testz_si256(admitted, admitted)) {
        hit->admitted = offsets_of_lanes(static_cast<uint32_t>(_mm256_movemask_pd(_mm256_castsi256_pd(admitted))));
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(hit->scores), in_offset_order(score));
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(hit->words), in_offset_order(words));
        break;
      }
    }
    total = _mm256_add_epi64(total, words);
  }
  uint64_t lanes[kLanes];
  _mm256_storeu_si256(reinterpret_cast<__m256i *>(lanes), total);
  *compared += lanes[0] + lanes[1] + lanes[2] + lanes[3];
  return b;
}

}  // namespace

extern const ScanFn avx2_scan = &scan;

}  // namespace kivo::scan

#else

namespace kivo::scan {
extern const ScanFn avx2_scan = nullptr;
}

#endif
