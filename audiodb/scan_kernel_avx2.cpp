// AVX2 scan kernel: 4 offsets per batch, one 64-bit lane each.
//
// The reference is staged by word parity, so that a lane's words of one pass are contiguous
// loads, with running bit counts of both streams. A word pair costs one xor and a byte-wise bit
// count by nibble table lookups; the byte counts of a lane are summed (vpsadbw) only where the
// limit is tested. The measure A + A/8 + B is tested through D (differing bits) and R (reference
// bits): with Q the query bits so far, it is within limit exactly when 17 D - R <= 16 limit + 14 - Q.
#include "audiodb/scan_kernel.h"

#if defined(__x86_64__)

#include <immintrin.h>

#include "audiodb/scan_staging.h"
#include "kivo/bit_score.h"

#define KIVO_AVX2 __attribute__((target("avx2,popcnt")))

namespace kivo::scan {

namespace {

constexpr int kLanes = 4;

// Bit count of every byte of v.
KIVO_AVX2 inline __m256i byte_counts(__m256i v) {
  const __m256i nibbles = _mm256_setr_epi8(0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4,
                                           0, 1, 1, 2, 1, 2, 2, 3, 1, 2, 2, 3, 2, 3, 3, 4);
  const __m256i low = _mm256_set1_epi8(0x0F);
  return _mm256_add_epi8(_mm256_shuffle_epi8(nibbles, _mm256_and_si256(v, low)),
                         _mm256_shuffle_epi8(nibbles, _mm256_and_si256(_mm256_srli_epi16(v, 4), low)));
}

// Sum of the bytes of every 64-bit lane.
KIVO_AVX2 inline __m256i lane_sums(__m256i bytes) { return _mm256_sad_epu8(bytes, _mm256_setzero_si256()); }

KIVO_AVX2 inline __m256i load(const uint64_t *words) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(words));
}

KIVO_AVX2 inline __m256i broadcast(uint64_t word) { return _mm256_set1_epi64x(static_cast<int64_t>(word)); }

// Byte counts of the differing bits of query word q and the 4 lanes' reference words at words.
KIVO_AVX2 inline __m256i differing(__m256i q, const uint64_t *words) { return byte_counts(_mm256_xor_si256(q, load(words))); }

KIVO_AVX2 inline __m256i times17(__m256i d) { return _mm256_add_epi64(_mm256_slli_epi64(d, 4), d); }

KIVO_AVX2 inline bool any(__m256i v) { return !_mm256_testz_si256(v, v); }

KIVO_AVX2 inline uint64_t sum_lanes(__m256i v) {
  uint64_t lanes[kLanes];
  _mm256_storeu_si256(reinterpret_cast<__m256i *>(lanes), v);
  return lanes[0] + lanes[1] + lanes[2] + lanes[3];
}

using Streams = scan::Streams<kLanes>;
using RunningBits = scan::RunningBits<kLanes>;

// The two words at low in the low half, the two at high in the high half.
KIVO_AVX2 inline __m256i halves(const uint64_t *low, const uint64_t *high) {
  return _mm256_inserti128_si256(_mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i *>(low))),
                                 _mm_loadu_si128(reinterpret_cast<const __m128i *>(high)), 1);
}

// Stages evens even and odds odd words; reads reference[0 .. max(2 evens - 2, 2 odds - 1)].
KIVO_AVX2 void stage(const uint64_t *reference, uint64_t evens, uint64_t odds, Streams &s) {
  const uint64_t both = evens < odds ? evens : odds;
  uint64_t m = 0;
  for (; m + 4 <= both; m += 4) {
    // Words 0, 1, 4, 5 and 2, 3, 6, 7 of the 8, so that in-lane unpacks put them in order.
    const __m256i lo = halves(reference + 2 * m, reference + 2 * m + 4);
    const __m256i hi = halves(reference + 2 * m + 2, reference + 2 * m + 6);
    const __m256i even = _mm256_unpacklo_epi64(lo, hi);
    const __m256i odd = _mm256_unpackhi_epi64(lo, hi);
    _mm256_store_si256(reinterpret_cast<__m256i *>(s.even + m), even);
    _mm256_store_si256(reinterpret_cast<__m256i *>(s.odd + m), odd);
    _mm256_store_si256(reinterpret_cast<__m256i *>(s.even_bits + m), lane_sums(byte_counts(even)));
    _mm256_store_si256(reinterpret_cast<__m256i *>(s.odd_bits + m), lane_sums(byte_counts(odd)));
  }
  stage_rest(reference, m, evens, odds, s);
}

// Fills hit with the admitted lanes among alive, if any: A = (D + Q - R) / 2 and B = D - A.
KIVO_AVX2 bool admit(__m256i d, __m256i r, uint64_t query_bits, __m256i alive, __m256i words, int64_t bound,
                     BatchHit *hit) {
  const __m256i a = _mm256_srli_epi64(_mm256_sub_epi64(_mm256_add_epi64(d, broadcast(query_bits)), r), 1);
  const __m256i b = _mm256_sub_epi64(d, a);
  // Counts stay below 2^32 (n <= kStagedWords), so a 32-bit multiply gives the exact A weight.
  const __m256i score = _mm256_add_epi64(_mm256_slli_epi64(b, 24), _mm256_mul_epu32(a, broadcast(KIVO_SCORE_WEIGHT_A)));
  const __m256i over = _mm256_or_si256(_mm256_cmpgt_epi64(score, _mm256_set1_epi64x(bound)),
                                       _mm256_cmpgt_epi64(score, broadcast(KIVO_REJECTED_SCORE - 1)));
  const __m256i admitted = _mm256_andnot_si256(over, alive);
  if (!any(admitted)) return false;
  hit->admitted = static_cast<uint32_t>(_mm256_movemask_pd(_mm256_castsi256_pd(admitted)));
  _mm256_storeu_si256(reinterpret_cast<__m256i *>(hit->scores), score);
  _mm256_storeu_si256(reinterpret_cast<__m256i *>(hit->words), words);
  return true;
}

// Lanes failing a test of the quick stage: 17 D - r > bound, D summed from the byte counts acc.
KIVO_AVX2 inline __m256i fails_after(__m256i acc, __m256i r, __m256i bound) {
  return _mm256_cmpgt_epi64(_mm256_sub_epi64(times17(lane_sums(acc)), r), bound);
}

// The quick stage's semi-thresholded 8-word block: odd words 1, 3, 5, 7 untested, then words
// 0, 2, 4, 6 with a test after each. Lanes compare 8 words less one per failed test of the first
// three (a lane failing one fails every later one).
KIVO_AVX2 uint64_t scan_quick(const uint64_t *query, const uint64_t *reference, uint32_t limit, int64_t bound,
                              uint64_t batches, uint64_t *compared, BatchHit *hit) {
  Positions pos;
  prepare_positions(query, 8, limit, pos);
  __m256i q[8];
  __m256i tests[4];
  for (int p = 0; p < 8; ++p) q[p] = broadcast(pos.word[p]);
  for (int t = 0; t < 4; ++t) tests[t] = _mm256_set1_epi64x(pos.bound[4 + t]);
  Streams s;
  __m256i failed = _mm256_setzero_si256();  // minus the failed tests of the first three
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
      __m256i acc = _mm256_add_epi8(_mm256_add_epi8(differing(q[0], odd), differing(q[1], odd + 1)),
                                    _mm256_add_epi8(differing(q[2], odd + 2), differing(q[3], odd + 3)));
      // R after position 4 + t: the lane's odd words and its even words 0 ... t.
      const __m256i r_odd = _mm256_add_epi64(_mm256_add_epi64(load(odd_bits), load(odd_bits + 1)),
                                             _mm256_add_epi64(load(odd_bits + 2), load(odd_bits + 3)));
      const __m256i r0 = _mm256_add_epi64(r_odd, load(even_bits));
      const __m256i r1 = _mm256_add_epi64(r0, load(even_bits + 1));
      const __m256i r2 = _mm256_add_epi64(r1, load(even_bits + 2));
      const __m256i r3 = _mm256_add_epi64(r2, load(even_bits + 3));
      acc = _mm256_add_epi8(acc, differing(q[4], even));
      const __m256i fail0 = fails_after(acc, r0, tests[0]);
      acc = _mm256_add_epi8(acc, differing(q[5], even + 1));
      const __m256i fail1 = fails_after(acc, r1, tests[1]);
      acc = _mm256_add_epi8(acc, differing(q[6], even + 2));
      const __m256i fail2 = fails_after(acc, r2, tests[2]);
      acc = _mm256_add_epi8(acc, differing(q[7], even + 3));
      const __m256i fail3 = fails_after(acc, r3, tests[3]);
      const __m256i lost = _mm256_add_epi64(_mm256_add_epi64(fail0, fail1), fail2);
      if (!_mm256_testc_si256(fail3, _mm256_set1_epi64x(-1))) {
        const __m256i words = _mm256_add_epi64(_mm256_set1_epi64x(8), lost);
        if (admit(lane_sums(acc), r3, pos.query_bits, _mm256_xor_si256(fail3, _mm256_set1_epi64x(-1)), words,
                  bound, hit)) {
          *compared += 8 * kLanes * b + sum_lanes(failed);
          return b;
        }
      }
      failed = _mm256_add_epi64(failed, lost);
    }
  }
  *compared += 8 * kLanes * b + sum_lanes(failed);
  return b;
}

// Lanes whose measure is above the limit after a position with differing bits d_p, the running
// bit count bits[m] of its pass and test bound (16 limit + 14 - Q) plus the pass offset: the
// lane's R is bits[m] + offset.
KIVO_AVX2 inline __m256i fails(__m256i d_p, const uint64_t *bits, __m256i bound) {
  return _mm256_cmpgt_epi64(_mm256_sub_epi64(times17(d_p), load(bits)), bound);
}

// Adds the byte counts of the words at w (of query words q) to acc, keeping each running total.
template <int kCount>
KIVO_AVX2 inline __m256i add_group(const uint64_t *w, const uint64_t *q, int count, __m256i acc, __m256i *partial) {
  const int stop = kCount > 0 ? kCount : count;
#pragma GCC unroll 8
  for (int k = 0; k < stop; ++k) {
    acc = _mm256_add_epi8(acc, differing(broadcast(q[k]), w + k));
    partial[k] = acc;
  }
  return acc;
}

// Byte counts of the count (<= 31, so bytes cannot overflow) words at w, of query words q.
KIVO_AVX2 inline __m256i sum_group(const uint64_t *w, const uint64_t *q, int count) {
  __m256i acc = _mm256_setzero_si256();
#pragma GCC unroll 8
  for (int k = 0; k < count; ++k) acc = _mm256_add_epi8(acc, differing(broadcast(q[k]), w + k));
  return acc;
}

// Scores staged batch c of the chunk: n words in pruning order, tests from position first_tested
// on. Positions go in groups of up to 8 within a pass, whose byte counts are summed once, at the
// group's last position; only a group in which some lane fails is tested position by position
// (the measure never decreases, so a lane within the limit at a group's end was within it
// throughout). Before first_tested, up to 24 positions are summed at once.
KIVO_AVX2 bool score_staged(const Streams &s, const RunningBits &run, uint64_t c, int n, int first_tested,
                            const Positions &pos, int64_t bound, __m256i &total, BatchHit *hit) {
  const int half = n / 2;
  const uint64_t m = kLanes * c;
  // R after position p: run.odd[m + p + 1] - run.odd[m] in the first pass; in the second, the
  // whole first pass plus run.even[m + p - half + 1] - run.even[m].
  const __m256i odd_base = load(run.odd + m);
  const __m256i offsets[2] = {_mm256_sub_epi64(_mm256_setzero_si256(), odd_base),
                              _mm256_sub_epi64(_mm256_sub_epi64(load(run.odd + m + half), odd_base), load(run.even + m))};
  __m256i d = _mm256_setzero_si256();
  __m256i alive = _mm256_set1_epi64x(-1);
  __m256i words = _mm256_setzero_si256();
  for (int p = 0; p < n;) {
    const bool first = p < half;
    const int pass_end = first ? half : n;
    const int count = pass_end - p < 8 ? pass_end - p : 8;
    const uint64_t *w = (first ? s.odd + p : s.even + (p - half)) + m;
    const uint64_t *bits = (first ? run.odd + p + 1 : run.even + (p - half) + 1) + m;
    if (p + 8 <= first_tested) {
      const int until = first_tested < pass_end ? first_tested : pass_end;
      const int span = until - p < 24 ? until - p : 24;
      d = _mm256_add_epi64(d, lane_sums(sum_group(w, pos.word + p, span)));
      words = _mm256_add_epi64(words, _mm256_and_si256(alive, _mm256_set1_epi64x(span)));
      p += span;
      continue;
    }
    const __m256i offset = offsets[first ? 0 : 1];
    __m256i partial[8];
    const __m256i acc = count == 8 ? add_group<8>(w, pos.word + p, 8, _mm256_setzero_si256(), partial)
                                   : add_group<0>(w, pos.word + p, count, _mm256_setzero_si256(), partial);
    const __m256i d_end = _mm256_add_epi64(d, lane_sums(acc));
    const int last = p + count - 1;
    if (last < first_tested ||
        !any(_mm256_and_si256(fails(d_end, bits + count - 1, _mm256_add_epi64(_mm256_set1_epi64x(pos.bound[last]), offset)),
                              alive))) {
      words = _mm256_add_epi64(words, _mm256_and_si256(alive, _mm256_set1_epi64x(count)));
    } else {
      for (int k = 0; k < count; ++k) {
        words = _mm256_sub_epi64(words, alive);
        if (p + k >= first_tested) {
          const __m256i limit = _mm256_add_epi64(_mm256_set1_epi64x(pos.bound[p + k]), offset);
          alive = _mm256_andnot_si256(fails(_mm256_add_epi64(d, lane_sums(partial[k])), bits + k, limit), alive);
        }
      }
      if (!any(alive)) break;
    }
    d = d_end;
    p += count;
  }
  if (any(alive)) {
    const __m256i r_bits = _mm256_add_epi64(load(run.even + m + (n - half)), offsets[1]);
    if (admit(d, r_bits, pos.query_bits, alive, words, bound, hit)) return true;
  }
  total = _mm256_add_epi64(total, words);
  return false;
}

KIVO_AVX2 uint64_t scan_staged(const uint64_t *query, const uint64_t *reference, int n, int first_tested,
                               uint32_t limit, int64_t bound, uint64_t batches, uint64_t *compared, BatchHit *hit) {
  Streams s;
  RunningBits run;
  Positions pos;
  prepare_positions(query, n, limit, pos);
  const int half = n / 2;
  first_tested = first_failable(n, first_tested, limit);
  __m256i total = _mm256_setzero_si256();
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

// Word i of the batch's offsets in lane order 0, 2, 1, 3: reference[i], [i + 4], [i + 2], [i + 6].
KIVO_AVX2 inline __m256i lane_words(const uint64_t *reference, int i) {
  return _mm256_blend_epi32(load(reference + i), load(reference + i + 3), 0xCC);
}

// Lane order 0, 2, 1, 3 back to offset order.
KIVO_AVX2 inline __m256i in_offset_order(__m256i v) { return _mm256_permute4x64_epi64(v, 0xD8); }

// Offset mask of a lane mask.
inline uint32_t offsets_of_lanes(uint32_t lanes) {
  return (lanes & 0x9u) | ((lanes & 0x2u) << 1) | ((lanes & 0x4u) >> 1);
}

// Blocks longer than kStagedWords, read directly: A and B counted per word, a batch stops once
// every lane is rejected (noticed every 8 words).
KIVO_AVX2 uint64_t scan_direct(const uint64_t *query, const uint64_t *reference, int n, int first_tested,
                               uint32_t limit, int64_t bound, uint64_t batches, uint64_t *compared, BatchHit *hit) {
  const __m256i lim = _mm256_set1_epi64x(static_cast<int64_t>(limit));
  const __m256i bound_v = _mm256_set1_epi64x(bound);
  const __m256i last_ok = broadcast(KIVO_REJECTED_SCORE - 1);
  const int half = n / 2;
  __m256i total = _mm256_setzero_si256();
  uint64_t b = 0;
  for (; b < batches; ++b) {
    const uint64_t *r = reference + 2 * kLanes * b;
    prefetch(r, kPrefetchWords, 2 * kLanes);
    __m256i a = _mm256_setzero_si256();
    __m256i bb = _mm256_setzero_si256();
    __m256i words = _mm256_setzero_si256();
    __m256i alive = _mm256_set1_epi64x(-1);
    for (int p = 0; p < n; ++p) {
      const int i = p < half ? 2 * p + 1 : 2 * (p - half);
      const __m256i x = lane_words(r, i);
      const __m256i q = broadcast(query[i]);
      a = _mm256_add_epi64(a, lane_sums(byte_counts(_mm256_andnot_si256(x, q))));
      bb = _mm256_add_epi64(bb, lane_sums(byte_counts(_mm256_andnot_si256(q, x))));
      words = _mm256_sub_epi64(words, alive);
      if (p >= first_tested) {
        const __m256i measure = _mm256_add_epi64(_mm256_add_epi64(a, _mm256_srli_epi64(a, 3)), bb);
        alive = _mm256_andnot_si256(_mm256_cmpgt_epi64(measure, lim), alive);
      }
      if ((p & 7) == 7 && !any(alive)) break;
    }
    if (any(alive)) {
      // Counts stay below 2^32 (n <= kMaxWords), so a 32-bit multiply gives the exact A weight.
      const __m256i score = _mm256_add_epi64(_mm256_slli_epi64(bb, 24), _mm256_mul_epu32(a, broadcast(KIVO_SCORE_WEIGHT_A)));
      const __m256i over = _mm256_or_si256(_mm256_cmpgt_epi64(score, bound_v), _mm256_cmpgt_epi64(score, last_ok));
      const __m256i admitted = _mm256_andnot_si256(over, alive);
      if (any(admitted)) {
        hit->admitted = offsets_of_lanes(static_cast<uint32_t>(_mm256_movemask_pd(_mm256_castsi256_pd(admitted))));
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(hit->scores), in_offset_order(score));
        _mm256_storeu_si256(reinterpret_cast<__m256i *>(hit->words), in_offset_order(words));
        break;
      }
    }
    total = _mm256_add_epi64(total, words);
  }
  *compared += sum_lanes(total);
  return b;
}

uint64_t scan(const uint64_t *query, const uint64_t *reference, int n, int first_tested, uint32_t limit,
              int64_t bound, uint64_t batches, uint64_t *compared, BatchHit *hit) {
  if (n == 8 && first_tested == 4) return scan_quick(query, reference, limit, bound, batches, compared, hit);
  if (n <= kStagedWords) return scan_staged(query, reference, n, first_tested, limit, bound, batches, compared, hit);
  return scan_direct(query, reference, n, first_tested, limit, bound, batches, compared, hit);
}

}  // namespace

extern const ScanFn avx2_scan = &scan;

}  // namespace kivo::scan

#else

namespace kivo::scan {
extern const ScanFn avx2_scan = nullptr;
}

#endif
