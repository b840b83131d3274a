// AVX-512 scan kernel: 8 offsets per batch, one 64-bit lane each, hardware popcount per lane.
// Four variants: the quick stage's 8-word block unrolled; blocks no limit can reject, pruned on
// the score instead; blocks up to 256 words from staged streams; longer blocks read directly.
#include "audiodb/scan_kernel.h"

#if defined(__x86_64__)

#include <immintrin.h>

#include "kivo/bit_score.h"

// GCC 12's AVX-512 intrinsics use self-initialised "undefined" operands that trip this warning.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#define KIVO_AVX512 __attribute__((target("avx512f,avx512dq,avx512vpopcntdq,popcnt")))

namespace kivo::scan {

namespace {

constexpr int kLanes = 8;

// Running counts of one batch: A, B and the words each lane compared.
struct Tally {
  __m512i a;
  __m512i b;
  __m512i words;
};

KIVO_AVX512 inline uint64_t sum_lanes(__m512i v) {
  uint64_t lanes[kLanes];
  _mm512_storeu_si512(lanes, v);
  uint64_t sum = 0;
  for (uint64_t lane : lanes) sum += lane;
  return sum;
}

// Word i of the 8 offsets of a batch: reference[i + 2j] in lane j, the even elements of two
// overlapping loads.
KIVO_AVX512 inline __m512i lane_words(const uint64_t *reference, int i) {
  const __m512i even = _mm512_setr_epi64(0, 2, 4, 6, 9, 11, 13, 15);
  return _mm512_permutex2var_epi64(_mm512_loadu_si512(reference + i), even, _mm512_loadu_si512(reference + i + 7));
}

KIVO_AVX512 inline void add_word(Tally &t, __m512i q, __m512i r) {
  t.a = _mm512_add_epi64(t.a, _mm512_popcnt_epi64(_mm512_andnot_si512(r, q)));
  t.b = _mm512_add_epi64(t.b, _mm512_popcnt_epi64(_mm512_andnot_si512(q, r)));
}

// Lanes whose measure A + A/8 + B is within limit. The measure never decreases along a block,
// so a lane within the limit now was within it at every earlier test: no need to chain the
// previous tests in (which would serialise them).
KIVO_AVX512 inline __mmask8 within(const Tally &t, __m512i limit) {
  const __m512i measure = _mm512_add_epi64(_mm512_add_epi64(t.a, _mm512_srli_epi64(t.a, 3)), t.b);
  return _mm512_cmple_epu64_mask(measure, limit);
}

// Lanes among alive whose score is admitted under bound; fills the hit when there is one.
KIVO_AVX512 inline __mmask8 admit(const Tally &t, __mmask8 alive, int64_t bound, BatchHit *hit) {
  const __m512i score = _mm512_add_epi64(_mm512_slli_epi64(t.b, 24),
                                         _mm512_mullo_epi64(t.a, _mm512_set1_epi64(KIVO_SCORE_WEIGHT_A)));
  alive = _mm512_mask_cmplt_epu64_mask(alive, score, _mm512_set1_epi64(static_cast<int64_t>(KIVO_REJECTED_SCORE)));
  alive = _mm512_mask_cmple_epi64_mask(alive, score, _mm512_set1_epi64(bound));
  if (alive != 0) {
    hit->admitted = alive;
    _mm512_storeu_si512(hit->scores, score);
    _mm512_storeu_si512(hit->words, t.words);
  }
  return alive;
}

// The quick stage's semi-thresholded 8-word block, unrolled: odd words untested, then a test
// after each even word.
KIVO_AVX512 uint64_t scan_quick(const uint64_t *query, const uint64_t *reference, uint32_t limit, int64_t bound,
                                uint64_t batches, uint64_t *compared, BatchHit *hit) {
  __m512i q[8];
  for (int i = 0; i < 8; ++i) q[i] = _mm512_set1_epi64(static_cast<int64_t>(query[i]));
  const __m512i lim = _mm512_set1_epi64(static_cast<int64_t>(limit));
  const __m512i one = _mm512_set1_epi64(1);
  __m512i total = _mm512_setzero_si512();
  uint64_t b = 0;
  for (; b < batches; ++b) {
    const uint64_t *r = reference + 2 * kLanes * b;
    prefetch(r, kPrefetchWords, 2 * kLanes);
    Tally t{_mm512_setzero_si512(), _mm512_setzero_si512(), _mm512_set1_epi64(5)};
    add_word(t, q[1], lane_words(r, 1));
    add_word(t, q[3], lane_words(r, 3));
    add_word(t, q[5], lane_words(r, 5));
    add_word(t, q[7], lane_words(r, 7));
    add_word(t, q[0], lane_words(r, 0));
    __mmask8 alive = within(t, lim);
    for (int i = 2; i < 8; i += 2) {
      add_word(t, q[i], lane_words(r, i));
      t.words = _mm512_mask_add_epi64(t.words, alive, t.words, one);
      alive = within(t, lim);
    }
    if (alive != 0 && admit(t, alive, bound, hit) != 0) break;
    total = _mm512_add_epi64(total, t.words);
  }
  *compared += sum_lanes(total);
  return b;
}

// Any block: n words in pruning order, tests from position first_tested on; a batch stops once
// every lane is rejected (noticed every 8 words).
KIVO_AVX512 uint64_t scan_any(const uint64_t *query, const uint64_t *reference, int n, int first_tested,
                              uint32_t limit, int64_t bound, uint64_t batches, uint64_t *compared, BatchHit *hit) {
  const __m512i lim = _mm512_set1_epi64(static_cast<int64_t>(limit));
  const __m512i one = _mm512_set1_epi64(1);
  const int half = n / 2;
  __m512i total = _mm512_setzero_si512();
  uint64_t b = 0;
  for (; b < batches; ++b) {
    const uint64_t *r = reference + 2 * kLanes * b;
    prefetch(r, kPrefetchWords, 2 * kLanes);
    Tally t{_mm512_setzero_si512(), _mm512_setzero_si512(), _mm512_setzero_si512()};
    __mmask8 alive = 0xFF;
    for (int p = 0; p < n; ++p) {
      const int i = p < half ? 2 * p + 1 : 2 * (p - half);
      add_word(t, _mm512_set1_epi64(static_cast<int64_t>(query[i])), lane_words(r, i));
      t.words = _mm512_mask_add_epi64(t.words, alive, t.words, one);
      if (p >= first_tested) alive = within(t, lim);
      if ((p & 7) == 7 && alive == 0) break;
    }
    if (alive != 0 && admit(t, alive, bound, hit) != 0) break;
    total = _mm512_add_epi64(total, t.words);
  }
  *compared += sum_lanes(total);
  return b;
}

// Blocks of up to kStagedWords words are scored from staged streams: each chunk of kChunk batches
// is first split by word parity, with the bit count of every word, so that a lane's words are
// contiguous loads and the reference's bits are counted once instead of once per offset.
constexpr int kChunk = 32;  // even: staged batches are scored in pairs
constexpr int kStreamLength = kLanes * kChunk + kStagedWords / 2;

// even[m] = reference[2m], odd[m] = reference[2m + 1]; word 2k (2k + 1) of lane j of batch c is
// even[8c + j + k] (odd[8c + j + k]).
struct Streams {
  alignas(64) uint64_t even[kStreamLength];
  alignas(64) uint64_t odd[kStreamLength];
  alignas(64) uint64_t even_bits[kStreamLength];
  alignas(64) uint64_t odd_bits[kStreamLength];
};

// Stages evens even words and odds odd words; reads reference[0 .. max(2 evens - 2, 2 odds - 1)].
KIVO_AVX512 void stage(const uint64_t *reference, uint64_t evens, uint64_t odds, Streams &s) {
  const __m512i pick_even = _mm512_setr_epi64(0, 2, 4, 6, 8, 10, 12, 14);
  const __m512i pick_odd = _mm512_setr_epi64(1, 3, 5, 7, 9, 11, 13, 15);
  uint64_t m = 0;
  for (; m + 8 <= evens && m + 8 <= odds; m += 8) {
    const __m512i lo = _mm512_loadu_si512(reference + 2 * m);
    const __m512i hi = _mm512_loadu_si512(reference + 2 * m + 8);
    const __m512i e = _mm512_permutex2var_epi64(lo, pick_even, hi);
    const __m512i o = _mm512_permutex2var_epi64(lo, pick_odd, hi);
    _mm512_store_si512(s.even + m, e);
    _mm512_store_si512(s.odd + m, o);
    _mm512_store_si512(s.even_bits + m, _mm512_popcnt_epi64(e));
    _mm512_store_si512(s.odd_bits + m, _mm512_popcnt_epi64(o));
  }
  stage_rest(reference, m, evens, odds, s.even, s.odd, s.even_bits, s.odd_bits);
}

// Running counts of one staged batch: D, Y, the words each lane compared, the lanes not rejected.
struct Staged {
  __m512i d;
  __m512i y;
  __m512i words;
  __mmask8 alive;
};

// Adds staged word k of one batch; kTested: the limit is tested after it.
template <bool kTested>
KIVO_AVX512 inline void staged_word(Staged &g, const uint64_t *words, const uint64_t *bits, int k, __m512i q,
                                    __m512i bound) {
  const __m512i t = _mm512_popcnt_epi64(_mm512_xor_si512(_mm512_loadu_si512(words + k), q));
  g.d = _mm512_add_epi64(g.d, t);
  // 17 t - r off the accumulator's chain, then one add onto it.
  g.y = _mm512_add_epi64(g.y, _mm512_sub_epi64(_mm512_add_epi64(_mm512_slli_epi64(t, 4), t), _mm512_loadu_si512(bits + k)));
  g.words = _mm512_mask_add_epi64(g.words, g.alive, g.words, _mm512_set1_epi64(1));
  if constexpr (kTested) g.alive = _mm512_cmple_epi64_mask(g.y, bound);
}

// Words k = from ... to - 1 of one pass (pruning positions p onwards), of one batch or of two
// neighbouring batches side by side (more independent work per word); false once every lane is
// rejected (noticed every 8 words: a branch per word costs more than the words a late stop wastes).
template <bool kPair, bool kTested>
KIVO_AVX512 inline bool staged_words(const uint64_t *words, const uint64_t *bits, int from, int to, int &p,
                                     const Positions &pos, Staged &first, Staged &second) {
  for (int k = from; k < to; ++k, ++p) {
    const __m512i q = _mm512_set1_epi64(static_cast<int64_t>(pos.word[p]));
    const __m512i bound = _mm512_set1_epi64(pos.bound[p]);
    staged_word<kTested>(first, words, bits, k, q, bound);
    if constexpr (kPair) staged_word<kTested>(second, words + kLanes, bits + kLanes, k, q, bound);
    if (kTested && (k & 7) == 7 && (first.alive | (kPair ? second.alive : 0)) == 0) return false;
  }
  return true;
}

// One pass over the words of one parity: untested words first, then tested ones.
template <bool kPair>
KIVO_AVX512 inline bool staged_pass(const uint64_t *words, const uint64_t *bits, int count, int &p,
                                    int first_tested, const Positions &pos, Staged &first, Staged &second) {
  int split = first_tested - p;
  split = split < 0 ? 0 : split > count ? count : split;
  staged_words<kPair, false>(words, bits, 0, split, p, pos, first, second);
  return staged_words<kPair, true>(words, bits, split, count, p, pos, first, second);
}

// Whether a finished staged batch has an admitted lane (filling hit).
KIVO_AVX512 inline bool staged_admits(const Staged &g, const Positions &pos, int64_t bound, BatchHit *hit) {
  if (g.alive == 0) return false;
  // R = 17 D - Y; A = (D + Q - R) / 2; B = D - A.
  const __m512i r_bits = _mm512_sub_epi64(_mm512_add_epi64(_mm512_slli_epi64(g.d, 4), g.d), g.y);
  const __m512i query_bits = _mm512_set1_epi64(static_cast<int64_t>(pos.query_bits));
  const __m512i a = _mm512_srli_epi64(_mm512_sub_epi64(_mm512_add_epi64(g.d, query_bits), r_bits), 1);
  return admit(Tally{a, _mm512_sub_epi64(g.d, a), g.words}, g.alive, bound, hit) != 0;
}

// Scores staged batch c of the chunk, and c + 1 with kPair; returns how many of them precede the
// first with an admitted lane (filling hit), adding their words to total.
template <bool kPair>
KIVO_AVX512 inline int score_staged(const Streams &s, uint64_t c, int n, int first_tested, const Positions &pos,
                                    int64_t bound, __m512i &total, BatchHit *hit) {
  const Staged fresh{_mm512_setzero_si512(), _mm512_setzero_si512(), _mm512_setzero_si512(), 0xFF};
  Staged first = fresh;
  Staged second = fresh;
  const int half = n / 2;
  int p = 0;
  const bool open =
      staged_pass<kPair>(s.odd + kLanes * c, s.odd_bits + kLanes * c, half, p, first_tested, pos, first, second) &&
      staged_pass<kPair>(s.even + kLanes * c, s.even_bits + kLanes * c, n - half, p, first_tested, pos, first, second);
  if (open && staged_admits(first, pos, bound, hit)) return 0;
  total = _mm512_add_epi64(total, first.words);
  if constexpr (kPair) {
    if (open && staged_admits(second, pos, bound, hit)) return 1;
    total = _mm512_add_epi64(total, second.words);
    return 2;
  }
  return 1;
}

KIVO_AVX512 uint64_t scan_staged(const uint64_t *query, const uint64_t *reference, int n, int first_tested,
                                 uint32_t limit, int64_t bound, uint64_t batches, uint64_t *compared,
                                 BatchHit *hit) {
  Streams s;
  Positions pos;
  prepare_positions(query, n, limit, pos);
  const int half = n / 2;
  __m512i total = _mm512_setzero_si512();
  uint64_t b = 0;
  while (b < batches) {
    const uint64_t c = b % kChunk;  // chunks hold an even number of batches, so pairs never straddle
    if (c == 0) {
      const uint64_t chunk = batches - b < kChunk ? batches - b : kChunk;
      const uint64_t *r = reference + 2 * kLanes * b;
      stage(r, kLanes * chunk + static_cast<uint64_t>(n - half) - 1,
            half > 0 ? kLanes * chunk + static_cast<uint64_t>(half) - 1 : 0, s);
      prefetch(r, 2 * kLanes * kChunk, 2 * kLanes * kChunk);
    }
    const int group = b + 1 < batches ? 2 : 1;
    const int stop = group == 2 ? score_staged<true>(s, c, n, first_tested, pos, bound, total, hit)
                                : score_staged<false>(s, c, n, first_tested, pos, bound, total, hit);
    if (stop < group) {
      b += static_cast<uint64_t>(stop);
      break;
    }
    b += static_cast<uint64_t>(group);
  }
  *compared += sum_lanes(total);
  return b;
}

// A block no limit can reject (limit >= 72 n: a word adds at most 72 to the measure): every lane
// compares all n words, and a batch stops once every lane's partial score is above bound.
KIVO_AVX512 uint64_t scan_unlimited(const uint64_t *query, const uint64_t *reference, int n, int64_t bound,
                                    uint64_t batches, uint64_t *compared, BatchHit *hit) {
  const __m512i bound_v = _mm512_set1_epi64(bound);
  const __m512i weight_a = _mm512_set1_epi64(KIVO_SCORE_WEIGHT_A);
  const int half = n / 2;
  uint64_t b = 0;
  for (; b < batches; ++b) {
    const uint64_t *r = reference + 2 * kLanes * b;
    prefetch(r, kPrefetchWords, 2 * kLanes);
    Tally t{_mm512_setzero_si512(), _mm512_setzero_si512(), _mm512_set1_epi64(n)};
    __mmask8 open = 0xFF;
    for (int p = 0; p < n && ((p & 7) != 0 || open != 0); ++p) {
      const int i = p < half ? 2 * p + 1 : 2 * (p - half);
      add_word(t, _mm512_set1_epi64(static_cast<int64_t>(query[i])), lane_words(r, i));
      const __m512i partial = _mm512_add_epi64(_mm512_slli_epi64(t.b, 24), _mm512_mullo_epi64(t.a, weight_a));
      open = _mm512_mask_cmple_epi64_mask(open, partial, bound_v);
    }
    if (open != 0 && admit(t, open, bound, hit) != 0) break;
  }
  *compared += b * kLanes * static_cast<uint64_t>(n);
  return b;
}

uint64_t scan(const uint64_t *query, const uint64_t *reference, int n, int first_tested, uint32_t limit,
              int64_t bound, uint64_t batches, uint64_t *compared, BatchHit *hit) {
  if (n == 8 && first_tested == 4) return scan_quick(query, reference, limit, bound, batches, compared, hit);
  if (limit >= 72 * static_cast<uint64_t>(n)) return scan_unlimited(query, reference, n, bound, batches, compared, hit);
  if (n <= kStagedWords) return scan_staged(query, reference, n, first_tested, limit, bound, batches, compared, hit);
  return scan_any(query, reference, n, first_tested, limit, bound, batches, compared, hit);
}

}  // namespace

extern const ScanFn avx512_scan = &scan;

}  // namespace kivo::scan

#else

namespace kivo::scan {
extern const ScanFn avx512_scan = nullptr;
}

#endif
