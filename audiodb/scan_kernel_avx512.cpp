// AVX-512 scan kernel: 8 offsets per batch, one 64-bit lane each, hardware popcount per lane.
// Blocks up to 256 words are scored from streams staged by word parity (see scan_staging.h),
// the quick stage's 8-word block by a branch-free path of its own; blocks no limit can reject are
// pruned on the score instead; longer blocks are read directly.
#include "audiodb/scan_kernel.h"

#if defined(__x86_64__)

#include <immintrin.h>

#include "audiodb/scan_staging.h"
#include "kivo/bit_score.h"

// GCC 12's AVX-512 intrinsics use self-initialised "undefined" operands that trip this warning.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#define KIVO_AVX512 __attribute__((target("avx512f,avx512dq,avx512vpopcntdq,avx512ifma,popcnt")))

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

using Streams = scan::Streams<kLanes>;
using RunningBits = scan::RunningBits<kLanes>;

KIVO_AVX512 inline __m512i load(const uint64_t *words) { return _mm512_loadu_si512(words); }

KIVO_AVX512 inline __m512i broadcast(uint64_t word) { return _mm512_set1_epi64(static_cast<int64_t>(word)); }

// Differing bits of query word q and the 8 lanes' reference words at words.
KIVO_AVX512 inline __m512i differing(__m512i q, const uint64_t *words) {
  return _mm512_popcnt_epi64(_mm512_xor_si512(q, load(words)));
}

// Stages evens even and odds odd words; reads reference[0 .. max(2 evens - 2, 2 odds - 1)].
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
  stage_rest(reference, m, evens, odds, s);
}

// Lanes among alive admitted from D and R: A = (D + Q - R) / 2 and B = D - A.
KIVO_AVX512 inline bool admit_staged(__m512i d, __m512i r, uint64_t query_bits, __mmask8 alive, __m512i words,
                                     int64_t bound, BatchHit *hit) {
  const __m512i a = _mm512_srli_epi64(_mm512_sub_epi64(_mm512_add_epi64(d, broadcast(query_bits)), r), 1);
  return admit(Tally{a, _mm512_sub_epi64(d, a), words}, alive, bound, hit) != 0;
}

// The quick stage's semi-thresholded 8-word block: odd words 1, 3, 5, 7 untested, then words
// 0, 2, 4, 6 with a test after each. Lanes compare 8 words less one per failed test of the first
// three (a lane failing one fails every later one).
KIVO_AVX512 uint64_t scan_quick(const uint64_t *query, const uint64_t *reference, uint32_t limit, int64_t bound,
                                uint64_t batches, uint64_t *compared, BatchHit *hit) {
  Positions pos;
  prepare_positions(query, 8, limit, pos);
  __m512i q[8];
  __m512i tests[4];
  for (int p = 0; p < 8; ++p) q[p] = broadcast(pos.word[p]);
  for (int t = 0; t < 4; ++t) tests[t] = _mm512_set1_epi64(pos.bound[4 + t]);
  const __m512i one = _mm512_set1_epi64(1);
  const __m512i k17 = _mm512_set1_epi64(17);
  Streams s;
  __m512i lost = _mm512_setzero_si512();  // failed tests of the first three
  uint64_t b = 0;
  while (b < batches) {
    const uint64_t chunk = chunk_size(b, batches);
    const uint64_t *r = reference + 2 * kLanes * b;
    stage(r, kLanes * chunk + 3, kLanes * chunk + 3, s);
    for (uint64_t c = 0; c < chunk; ++c, ++b) {
      prefetch_batch<kLanes>(reference, b);
      const uint64_t *odd = s.odd + kLanes * c;
      const uint64_t *even = s.even + kLanes * c;
      const uint64_t *even_bits = s.even_bits + kLanes * c;
      const uint64_t *odd_bits = s.odd_bits + kLanes * c;
      __m512i d = _mm512_add_epi64(_mm512_add_epi64(differing(q[0], odd), differing(q[1], odd + 1)),
                                   _mm512_add_epi64(differing(q[2], odd + 2), differing(q[3], odd + 3)));
      // Minus R after position 4 + t: the lane's odd words and its even words 0 ... t.
      const __m512i r_odd = _mm512_add_epi64(_mm512_add_epi64(load(odd_bits), load(odd_bits + 1)),
                                             _mm512_add_epi64(load(odd_bits + 2), load(odd_bits + 3)));
      const __m512i minus_r0 = _mm512_sub_epi64(_mm512_sub_epi64(_mm512_setzero_si512(), r_odd), load(even_bits));
      const __m512i minus_r1 = _mm512_sub_epi64(minus_r0, load(even_bits + 1));
      const __m512i minus_r2 = _mm512_sub_epi64(minus_r1, load(even_bits + 2));
      const __m512i minus_r3 = _mm512_sub_epi64(minus_r2, load(even_bits + 3));
      d = _mm512_add_epi64(d, differing(q[4], even));
      const __mmask8 fail0 = _mm512_cmpgt_epi64_mask(_mm512_madd52lo_epu64(minus_r0, d, k17), tests[0]);
      d = _mm512_add_epi64(d, differing(q[5], even + 1));
      const __mmask8 fail1 = _mm512_cmpgt_epi64_mask(_mm512_madd52lo_epu64(minus_r1, d, k17), tests[1]);
      d = _mm512_add_epi64(d, differing(q[6], even + 2));
      const __mmask8 fail2 = _mm512_cmpgt_epi64_mask(_mm512_madd52lo_epu64(minus_r2, d, k17), tests[2]);
      d = _mm512_add_epi64(d, differing(q[7], even + 3));
      const __mmask8 fail3 = _mm512_cmpgt_epi64_mask(_mm512_madd52lo_epu64(minus_r3, d, k17), tests[3]);
      if (fail3 != 0xFF) {
        __m512i words = _mm512_mask_sub_epi64(_mm512_set1_epi64(8), fail0, _mm512_set1_epi64(8), one);
        words = _mm512_mask_sub_epi64(words, fail1, words, one);
        words = _mm512_mask_sub_epi64(words, fail2, words, one);
        const __m512i r_bits = _mm512_sub_epi64(_mm512_setzero_si512(), minus_r3);
        if (admit_staged(d, r_bits, pos.query_bits, static_cast<__mmask8>(~fail3), words, bound, hit)) {
          *compared += 8 * kLanes * b - sum_lanes(lost);
          return b;
        }
      }
      lost = _mm512_mask_add_epi64(lost, fail0, lost, one);
      lost = _mm512_mask_add_epi64(lost, fail1, lost, one);
      lost = _mm512_mask_add_epi64(lost, fail2, lost, one);
    }
  }
  *compared += 8 * kLanes * b - sum_lanes(lost);
  return b;
}

// D of the count words at w against query words q, added to d; partial[k] is D after word k.
template <int kCount>
KIVO_AVX512 inline __m512i add_group(const uint64_t *w, const uint64_t *q, int count, __m512i d, __m512i *partial) {
  const int stop = kCount > 0 ? kCount : count;
#pragma GCC unroll 8
  for (int k = 0; k < stop; ++k) {
    d = _mm512_add_epi64(d, differing(broadcast(q[k]), w + k));
    partial[k] = d;
  }
  return d;
}

// D of the count words at w against query words q, in two independent sums.
KIVO_AVX512 inline __m512i sum_words(const uint64_t *w, const uint64_t *q, int count) {
  __m512i even = _mm512_setzero_si512();
  __m512i odd = _mm512_setzero_si512();
  int k = 0;
  for (; k + 2 <= count; k += 2) {
    even = _mm512_add_epi64(even, differing(broadcast(q[k]), w + k));
    odd = _mm512_add_epi64(odd, differing(broadcast(q[k + 1]), w + k + 1));
  }
  if (k < count) even = _mm512_add_epi64(even, differing(broadcast(q[k]), w + k));
  return _mm512_add_epi64(even, odd);
}

// The lanes among alive within the limit after a position of a pass: with D there, the pass's
// running bit count at bits and minus its offset, 17 D - R in one multiply-add against bound.
KIVO_AVX512 inline __mmask8 within_staged(__mmask8 alive, __m512i d, const uint64_t *bits, __m512i minus_offset,
                                          int64_t bound) {
  const __m512i y = _mm512_madd52lo_epu64(_mm512_sub_epi64(minus_offset, load(bits)), d, _mm512_set1_epi64(17));
  return _mm512_mask_cmple_epi64_mask(alive, y, _mm512_set1_epi64(bound));
}

// Scores staged batch c of the chunk: n words in pruning order, tests from position first_tested
// on. Positions go in groups of up to 8 within a pass, tested once, at the group's last position.
// The measure never decreases, so a lane within the limit at a group's end was within it
// throughout. Only a group in which some lane fails is tested at every position, each test on
// its own: a lane failing first at position f compared f + 1 words of the group, that is one
// plus the positions before the group's last at which it was within the limit.
KIVO_AVX512 bool score_staged(const Streams &s, const RunningBits &run, uint64_t c, int n, int first_tested,
                              const Positions &pos, int64_t bound, __m512i &total, BatchHit *hit) {
  const int half = n / 2;
  const uint64_t m = kLanes * c;
  // R after position p: run.odd[m + p + 1] - run.odd[m] in the first pass; in the second, the
  // whole first pass plus run.even[m + p - half + 1] - run.even[m]. Kept as minus the offsets.
  const __m512i odd_base = load(run.odd + m);
  const __m512i minus_offsets[2] = {
      odd_base, _mm512_sub_epi64(_mm512_add_epi64(odd_base, load(run.even + m)), load(run.odd + m + half))};
  const __m512i one = _mm512_set1_epi64(1);
  __m512i d = _mm512_setzero_si512();
  __m512i words = _mm512_setzero_si512();
  __mmask8 alive = 0xFF;
  for (int p = 0; p < n;) {
    const bool first = p < half;
    const int pass_end = first ? half : n;
    const uint64_t *w = (first ? s.odd + p : s.even + (p - half)) + m;
    if (p < first_tested) {
      const int until = first_tested < pass_end ? first_tested : pass_end;
      d = _mm512_add_epi64(d, sum_words(w, pos.word + p, until - p));
      words = _mm512_mask_add_epi64(words, alive, words, _mm512_set1_epi64(until - p));
      p = until;
      continue;
    }
    const int count = pass_end - p < 8 ? pass_end - p : 8;
    const uint64_t *bits = (first ? run.odd + p + 1 : run.even + (p - half) + 1) + m;
    const __m512i minus_offset = minus_offsets[first ? 0 : 1];
    __m512i partial[8];
    const __m512i d_end = count == 8 ? add_group<8>(w, pos.word + p, 8, d, partial)
                                     : add_group<0>(w, pos.word + p, count, d, partial);
    const __mmask8 kept = within_staged(alive, d_end, bits + count - 1, minus_offset, pos.bound[p + count - 1]);
    if (kept == alive) {
      words = _mm512_mask_add_epi64(words, alive, words, _mm512_set1_epi64(count));
    } else {
      words = _mm512_mask_add_epi64(words, alive, words, one);
      for (int k = 0; k + 1 < count; ++k) {
        const __mmask8 within = within_staged(alive, partial[k], bits + k, minus_offset, pos.bound[p + k]);
        words = _mm512_mask_add_epi64(words, within, words, one);
      }
      alive = kept;
      if (alive == 0) break;
    }
    d = d_end;
    p += count;
  }
  if (alive != 0) {
    const __m512i r_bits = _mm512_sub_epi64(load(run.even + m + (n - half)), minus_offsets[1]);
    if (admit_staged(d, r_bits, pos.query_bits, alive, words, bound, hit)) return true;
  }
  total = _mm512_add_epi64(total, words);
  return false;
}

KIVO_AVX512 uint64_t scan_staged(const uint64_t *query, const uint64_t *reference, int n, int first_tested,
                                 uint32_t limit, int64_t bound, uint64_t batches, uint64_t *compared,
                                 BatchHit *hit) {
  Streams s;
  RunningBits run;
  Positions pos;
  prepare_positions(query, n, limit, pos);
  const int half = n / 2;
  first_tested = first_failable(n, first_tested, limit);
  __m512i total = _mm512_setzero_si512();
  uint64_t b = 0;
  while (b < batches) {
    const uint64_t chunk = chunk_size(b, batches);
    const uint64_t evens = kLanes * chunk + static_cast<uint64_t>(n - half) - 1;
    const uint64_t odds = half > 0 ? kLanes * chunk + static_cast<uint64_t>(half) - 1 : 0;
    const uint64_t *r = reference + 2 * kLanes * b;
    stage(r, evens, odds, s);
    run_bits(s, evens, odds, run);
    for (uint64_t c = 0; c < chunk; ++c, ++b) {
      prefetch_batch<kLanes>(reference, b);
      if (score_staged(s, run, c, n, first_tested, pos, bound, total, hit)) {
        *compared += sum_lanes(total);
        return b;
      }
    }
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
