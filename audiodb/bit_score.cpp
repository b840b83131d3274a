#include "kivo/bit_score.h"

/* Population counts of all 16-bit values, built by doubling: the counts of the values
 * below 4^(k+1) are those below 4^k plus 0, 1, 1 and 2. */
#define KIVO_B2(n) n, n + 1, n + 1, n + 2
#define KIVO_B4(n) KIVO_B2(n), KIVO_B2(n + 1), KIVO_B2(n + 1), KIVO_B2(n + 2)
#define KIVO_B6(n) KIVO_B4(n), KIVO_B4(n + 1), KIVO_B4(n + 1), KIVO_B4(n + 2)
#define KIVO_B8(n) KIVO_B6(n), KIVO_B6(n + 1), KIVO_B6(n + 1), KIVO_B6(n + 2)
#define KIVO_B10(n) KIVO_B8(n), KIVO_B8(n + 1), KIVO_B8(n + 1), KIVO_B8(n + 2)
#define KIVO_B12(n) KIVO_B10(n), KIVO_B10(n + 1), KIVO_B10(n + 1), KIVO_B10(n + 2)
#define KIVO_B14(n) KIVO_B12(n), KIVO_B12(n + 1), KIVO_B12(n + 1), KIVO_B12(n + 2)
#define KIVO_B16(n) KIVO_B14(n), KIVO_B14(n + 1), KIVO_B14(n + 1), KIVO_B14(n + 2)

extern "C" const uint8_t bits_in_16bits[65536] = {KIVO_B16(0)};

namespace {

/* Sum of the table entries of the four 16-bit quarters: portable and needs no popcount
 * instruction (the vector scans use the hardware's where the processor has it). */
inline uint32_t count_bits(uint64_t x) {
  return static_cast<uint32_t>(bits_in_16bits[x & 0xFFFF]) + bits_in_16bits[(x >> 16) & 0xFFFF] +
         bits_in_16bits[(x >> 32) & 0xFFFF] + bits_in_16bits[x >> 48];
}

/* Running difference counts of one block. */
struct Counts {
  uint64_t a = 0;
  uint64_t b = 0;

  void add(uint64_t q, uint64_t r) {
    a += count_bits(q & ~r);
    b += count_bits(r & ~q);
  }
  uint64_t measure() const { return a + a / 8 + b; }
  uint64_t value() const { return b * KIVO_SCORE_WEIGHT_B + a * KIVO_SCORE_WEIGHT_A; }
};

void add_to(uint64_t *counter, uint64_t words) {
  if (counter != nullptr) *counter += words;
}

/* Shared body of the two thresholded scores: test_odd says whether the limit is also
 * tested during the first pass. */
uint64_t pruned_block_score(const uint64_t *query, const uint64_t *reference, int n, uint32_t limit,
                            uint64_t *counter, bool test_odd) {
  Counts c;
  const uint64_t half = n > 0 ? static_cast<uint64_t>(n) / 2 : 0;
  for (int i = 1; i < n; i += 2) {
    c.add(query[i], reference[i]);
    if (test_odd && c.measure() > limit) {
      add_to(counter, static_cast<uint64_t>(i / 2) + 1);
      return KIVO_REJECTED_SCORE;
    }
  }
  for (int i = 0; i < n; i += 2) {
    c.add(query[i], reference[i]);
    if (c.measure() > limit) {
      add_to(counter, half + static_cast<uint64_t>(i / 2) + 1);
      return KIVO_REJECTED_SCORE;
    }
  }
  add_to(counter, n > 0 ? static_cast<uint64_t>(n) : 0);
  return c.value();
}

}  // namespace

extern "C" uint32_t bitcount(uint64_t x) { return count_bits(x); }

extern "C" uint64_t score(uint64_t q, uint64_t r) {
  Counts c;
  c.add(q, r);
  return c.value();
}

extern "C" uint64_t block_score(const uint64_t *query, const uint64_t *reference, int n) {
  Counts c;
  for (int i = 0; i < n; ++i) c.add(query[i], reference[i]);
  return c.value();
}

extern "C" uint64_t thresholded_block_score(const uint64_t *query, const uint64_t *reference, int n,
                                            uint32_t limit, uint64_t *counter) {
  return pruned_block_score(query, reference, n, limit, counter, true);
}

extern "C" uint64_t semi_thresholded_block_score(const uint64_t *query, const uint64_t *reference, int n,
                                                 uint32_t limit, uint64_t *counter) {
  return pruned_block_score(query, reference, n, limit, counter, false);
}
