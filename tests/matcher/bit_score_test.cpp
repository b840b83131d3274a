#include "kivo/bit_score.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "search_helpers.h"

namespace kivo::test {
namespace {

constexpr uint64_t kOnes = ~0ULL;
constexpr uint64_t kA = KIVO_SCORE_WEIGHT_A;
constexpr uint64_t kB = 1ULL << 24;

// The pruned scores step by step, on bit-by-bit counts.
struct Expected {
  uint64_t score;
  uint64_t counter;
};
Expected expected_pruned(const std::vector<uint64_t>& q, const std::vector<uint64_t>& r, int n, uint32_t limit,
                       bool test_odd) {
  uint64_t a = 0, b = 0;
  auto over = [&] { return a + a / 8 + b > limit; };
  for (int i = 1; i < n; i += 2) {
    const BitCounts c = count_bits(q[i], r[i]);
    a += c.a;
    b += c.b;
    if (test_odd && over()) return {KIVO_REJECTED_SCORE, static_cast<uint64_t>(i / 2 + 1)};
  }
  for (int i = 0; i < n; i += 2) {
    const BitCounts c = count_bits(q[i], r[i]);
    a += c.a;
    b += c.b;
    if (over()) return {KIVO_REJECTED_SCORE, static_cast<uint64_t>(n / 2 + i / 2 + 1)};
  }
  return {b * kB + a * kA, static_cast<uint64_t>(n > 0 ? n : 0)};
}

TEST(BitScoreTest, TableAndBitcountCountEveryBit) {
  for (uint32_t v = 0; v < 65536; ++v) {
    ASSERT_EQ(bits_in_16bits[v], count_bits(v, 0).a) << v;
  }
  std::mt19937_64 rng(7);
  std::vector<uint64_t> values = {0, 1, kOnes, 0x8000000000000000ULL, 0x5555555555555555ULL};
  for (int i = 0; i < 1000; ++i) values.push_back(rng());
  for (uint64_t x : values) EXPECT_EQ(bitcount(x), count_bits(x, 0).a) << std::hex << x;
}

TEST(BitScoreTest, WordScoreWeighsQueryAndReferenceBits) {
  struct Case {
    uint64_t q, r, expected;
  } cases[] = {
      {kOnes, 0, 64 * kA},             // every query bit missing from the reference
      {0, kOnes, 64 * kB},             // every reference bit missing from the query
      {0x1234, 0x1234, 0},             // identical
      {0b1011, 0b0110, 2 * kA + 1 * kB},
      {0xF0, 0x0F, 4 * kA + 4 * kB},
  };
  for (const Case& c : cases) EXPECT_EQ(score(c.q, c.r), c.expected) << std::hex << c.q << " " << c.r;
}

TEST(BitScoreTest, BlockScoresDoNotWrapIn32Bits) {
  const std::vector<uint64_t> ones(48, kOnes), zeros(48, 0);
  EXPECT_EQ(block_score(ones.data(), zeros.data(), 48), 48ULL * 64 * 19461570);
  EXPECT_EQ(block_score(zeros.data(), ones.data(), 48), 48ULL * 64 * kB);
  EXPECT_EQ(thresholded_block_score(ones.data(), zeros.data(), 48, UINT32_MAX, nullptr), 48ULL * 64 * 19461570);
  EXPECT_EQ(semi_thresholded_block_score(zeros.data(), ones.data(), 48, UINT32_MAX, nullptr), 48ULL * 64 * kB);
  EXPECT_EQ(block_score(ones.data(), zeros.data(), 0), 0u);
  EXPECT_EQ(block_score(ones.data(), zeros.data(), -3), 0u);
}

TEST(BitScoreTest, PrunedScoresStopAtTheLimitAndCountComparedWords) {
  using Fn = uint64_t (*)(const uint64_t*, const uint64_t*, int, uint32_t, uint64_t*);
  const std::vector<uint64_t> same = {1, 2, 3, 4, 5, 6, 7, 8};
  std::vector<uint64_t> word1 = same;
  word1[1] ^= 1;  // one bit differs in word 1
  std::vector<uint64_t> word2 = same;
  word2[2] = ~word2[2];  // many bits differ in word 2 (second pass, i = 2)
  std::vector<uint64_t> odd = same;
  for (int i = 1; i < 8; i += 2) odd[i] ^= 0xFF;  // odd words: A = 5, B = 27, measure 32
  std::vector<uint64_t> four = same;
  four[0] ^= 0xF;  // word 0: A = 1, B = 3, measure exactly 4

  struct Case {
    const char* what;
    Fn fn;
    const std::vector<uint64_t>& reference;
    int n;
    uint32_t limit;
    uint64_t score;
    uint64_t counter;
  } cases[] = {
      {"identical, limit 0", thresholded_block_score, same, 8, 0, 0, 8},
      {"identical, semi, limit 0", semi_thresholded_block_score, same, 8, 0, 0, 8},
      {"bit in word 1, limit 0", thresholded_block_score, word1, 8, 0, KIVO_REJECTED_SCORE, 1},
      {"n = 1 compares word 0 only", thresholded_block_score, word1, 1, 0, 0, 1},
      {"passed at word 2 of the second pass", thresholded_block_score, word2, 8, 10, KIVO_REJECTED_SCORE, 6},
      {"semi never rejects in the first pass", semi_thresholded_block_score, word1, 8, 0, KIVO_REJECTED_SCORE, 5},
      {"semi rejects at word 0 of the second pass", semi_thresholded_block_score, odd, 8, 31, KIVO_REJECTED_SCORE, 5},
      {"semi completes below the limit", semi_thresholded_block_score, odd, 8, 32 + 4, 27 * kB + 5 * kA, 8},
      {"measure equal to the limit passes", thresholded_block_score, four, 8, 4, 3 * kB + kA, 8},
      {"measure above the limit by one", thresholded_block_score, four, 8, 3, KIVO_REJECTED_SCORE, 5},
      {"n = 0", thresholded_block_score, word1, 0, 0, 0, 0},
  };
  for (const Case& c : cases) {
    uint64_t counter = 100;
    EXPECT_EQ(c.fn(same.data(), c.reference.data(), c.n, c.limit, &counter), c.score) << c.what;
    EXPECT_EQ(counter, 100 + c.counter) << c.what;
    EXPECT_EQ(c.fn(same.data(), c.reference.data(), c.n, c.limit, nullptr), c.score) << c.what;
  }
}

TEST(BitScoreTest, PrunedScoresMatchBitByBitReading) {
  std::mt19937_64 rng(2024);
  for (int round = 0; round < 3000; ++round) {
    const int n = static_cast<int>(rng() % 41);
    // Sparse, dense and uniform words give small and large measures.
    const int density = static_cast<int>(rng() % 3);
    auto word = [&] {
      const uint64_t w = rng();
      return density == 0 ? w & rng() & rng() : density == 1 ? w | rng() : w;
    };
    std::vector<uint64_t> q(n), r(n);
    for (int i = 0; i < n; ++i) {
      q[i] = word();
      r[i] = rng() % 4 == 0 ? q[i] : word();
    }
    const uint64_t full = expected_pruned(q, r, n, UINT32_MAX, true).score;
    const uint32_t limit = static_cast<uint32_t>(rng() % (full / kB + 8));
    for (bool test_odd : {true, false}) {
      const Expected expected = expected_pruned(q, r, n, limit, test_odd);
      uint64_t counter = 0;
      const uint64_t got = test_odd ? thresholded_block_score(q.data(), r.data(), n, limit, &counter)
                                    : semi_thresholded_block_score(q.data(), r.data(), n, limit, &counter);
      ASSERT_EQ(got, expected.score) << "round " << round << " n " << n << " limit " << limit;
      ASSERT_EQ(counter, expected.counter) << "round " << round;
    }
    ASSERT_EQ(block_score(q.data(), r.data(), n), full);
  }
}

}  // namespace
}  // namespace kivo::test
