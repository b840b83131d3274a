// The verification's weighted score on each instruction set: portable, population count, AVX-512.
#include "audiodb/weighted_score.h"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

// GCC 12's AVX-512 intrinsics use self-initialised "undefined" operands that trip this warning.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#include "kivo/bit_score.h"
#include "kivo/media_scores.h"

namespace kivo::weighted {
namespace {

// The weighted score of n words (n even), or more than limit once it passes limit (checked every
// 16 words). Inlined into a counting context that sets the population count instruction.
template <class Count>
[[gnu::always_inline]] inline int64_t weighted(const uint64_t* q, const uint64_t* r, int n, int64_t limit,
                                               Count count) {
  int64_t score = 0;
  for (int i = 0; i < n; i += 2) {
    score += kEvenWeightA * count(q[i] & ~r[i]) + kEvenWeightB * count(r[i] & ~q[i]) +
             kOddWeightA * count(q[i + 1] & ~r[i + 1]) + kOddWeightB * count(r[i + 1] & ~q[i + 1]);
    if ((i & 14) == 14 && score > limit) return score;
  }
  return score;
}

#if defined(__x86_64__)
__attribute__((target("popcnt")))
#endif
int64_t weighted_popcnt(const uint64_t* q, const uint64_t* r, int n, int64_t limit) {
  return weighted(q, r, n, limit, [](uint64_t x) { return int64_t(__builtin_popcountll(x)); });
}

int64_t weighted_portable(const uint64_t* q, const uint64_t* r, int n, int64_t limit) {
  return weighted(q, r, n, limit, [](uint64_t x) { return int64_t(bitcount(x)); });
}

#if defined(__x86_64__)
#define KIVO_AVX512 __attribute__((target("avx512f,avx512vpopcntdq")))

// Adds the weighted counts of eight words to sum.
KIVO_AVX512 inline __m512i add_weighted(__m512i sum, __m512i q, __m512i r) {
  // Odd lanes (mask 0xAA) hold odd words.
  const __m512i wa = _mm512_mask_blend_epi64(0xAA, _mm512_set1_epi64(kEvenWeightA), _mm512_set1_epi64(kOddWeightA));
  const __m512i wb = _mm512_mask_blend_epi64(0xAA, _mm512_set1_epi64(kEvenWeightB), _mm512_set1_epi64(kOddWeightB));
  sum = _mm512_add_epi64(sum, _mm512_mul_epu32(_mm512_popcnt_epi64(_mm512_andnot_si512(r, q)), wa));
  return _mm512_add_epi64(sum, _mm512_mul_epu32(_mm512_popcnt_epi64(_mm512_andnot_si512(q, r)), wb));
}

// Eight words at a time, lanes alternating even and odd words; always the whole score.
KIVO_AVX512 int64_t weighted_avx512(const uint64_t* q, const uint64_t* r, int n, int64_t) {
  __m512i sum = _mm512_setzero_si512();
  int i = 0;
  for (; i + 8 <= n; i += 8) sum = add_weighted(sum, _mm512_loadu_si512(q + i), _mm512_loadu_si512(r + i));
  if (i < n) {
    const auto rest = __mmask8((1u << (n - i)) - 1);
    sum = add_weighted(sum, _mm512_maskz_loadu_epi64(rest, q + i), _mm512_maskz_loadu_epi64(rest, r + i));
  }
  int64_t lanes[8];
  _mm512_storeu_si512(lanes, sum);
  return lanes[0] + lanes[1] + lanes[2] + lanes[3] + lanes[4] + lanes[5] + lanes[6] + lanes[7];
}
#endif

}  // namespace

const std::vector<Fn>& available() {
  static const std::vector<Fn> fns = [] {
    std::vector<Fn> out;
#if defined(__x86_64__)
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vpopcntdq")) out.push_back(weighted_avx512);
    if (__builtin_cpu_supports("popcnt")) out.push_back(weighted_popcnt);
#endif
    out.push_back(weighted_portable);
    return out;
  }();
  return fns;
}

}  // namespace kivo::weighted
