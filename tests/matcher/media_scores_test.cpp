#include "kivo/media_scores.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "audiodb/weighted_score.h"
#include "kivo/bit_score.h"
#include "search_helpers.h"

namespace kivo::test {
namespace {

// The verification's weights written out: a set query bit the reference lacks costs 10 in even
// (sparse) words and 7 in odd ones, the reverse 3 and 5.
int64_t naive(const std::vector<uint64_t>& q, const uint64_t* r) {
  int64_t s = 0;
  for (size_t i = 0; i < q.size(); ++i)
    for (int b = 0; b < 64; ++b) {
      const bool qb = q[i] >> b & 1, rb = r[i] >> b & 1;
      if (qb && !rb) s += i % 2 ? 7 : 10;
      if (rb && !qb) s += i % 2 ? 5 : 3;
    }
  return s;
}

TEST(MediaScores, EveryImplementationScoresAsWrittenOut) {
  std::mt19937_64 rng(3);
  for (int n = 0; n <= 90; n += 2) {
    const auto q = random_words(rng, size_t(n)), r = random_words(rng, size_t(n));
    const int64_t expected = naive(q, r.data());
    for (const weighted::Fn fn : weighted::available()) {
      EXPECT_EQ(fn(q.data(), r.data(), n, INT64_MAX), expected) << n;
      // Past a limit: the whole score or a partial one above the limit.
      const int64_t limit = expected / 2, got = fn(q.data(), r.data(), n, limit);
      EXPECT_TRUE(got == expected || (got > limit && got <= expected)) << n;
    }
  }
}

TEST(MediaScores, ByHandOnATinyDatabase) {
  TestDB db;
  // Query {0, 0}: an even reference bit costs 3, an odd one 5; offsets 0, 2, 4 of "a" score 0, 3, 6.
  db.add({{"a", {0, 0, 1, 0, 3, 0}},
          {"b", {7, 0, 0, 1}},   // offsets 0, 2: 9 and 5
          {"b", {0, 1}},         // the same media again: its best, 5, ties and is not kept
          {"skipped", {0, 0}},   // not asked for
          {"masked", {0, 0}, 5},  // above the search's masks
          {"short", {0}}});       // shorter than the query
  const std::vector<uint64_t> query{0, 0};
  const MediaScores s = score_media(db.get(), {{query.data(), 2, 0}}, {"a", "b", "masked", "short"}, 1);
  ASSERT_EQ(s.media.size(), 2u);
  EXPECT_EQ(s.media[0].name, "a");
  EXPECT_EQ(s.media[0].score, 0);
  EXPECT_EQ(s.media[0].position, 0u);
  EXPECT_EQ(s.media[0].far, -1);  // nothing 32 steps away
  EXPECT_EQ(s.media[1].name, "b");
  EXPECT_EQ(s.media[1].score, 5);
  EXPECT_EQ(s.media[1].position, 62u);
  EXPECT_EQ(s.media[1].searchScore, 1.0);  // one reference bit, in the search's normalised score
  // Sampled every step: 0, 3, 6 (a), 9, 5 (b), 5 (b again).
  EXPECT_EQ(s.samples, 6u);
  EXPECT_DOUBLE_EQ(s.mean, 28.0 / 6);
  EXPECT_NEAR(s.deviation, std::sqrt(176.0 / 6 - 28.0 * 28 / 36), 1e-12);

  // A phase that lines up better wins, placed half a step earlier; the spread stays phase 0's.
  TestDB two;
  two.add({{"c", {1, 1, 6, 6}}});
  const std::vector<uint64_t> shifted{6, 6};
  const MediaScores p = score_media(two.get(), {{query.data(), 2, 0}, {shifted.data(), 2, 500}}, {"c"}, 1);
  ASSERT_EQ(p.media.size(), 1u);
  EXPECT_EQ(p.media[0].score, 0);
  EXPECT_EQ(p.media[0].phase, 1u);
  EXPECT_EQ(p.media[0].position, 31u);  // (1000 - 500) / 16 ms
  EXPECT_EQ(p.samples, 2u);
  EXPECT_DOUBLE_EQ(p.mean, 12.0);  // 8 and 16
}

// The pruned scan against every offset and phase scored directly.
TEST(MediaScores, AgreeWithEveryOffsetScoredDirectly) {
  std::mt19937_64 rng(5);
  TestDB db;
  std::vector<std::vector<uint64_t>> refs;
  for (int i = 0; i < 3; ++i) refs.push_back(random_words(rng, 400));
  auto query = std::vector<uint64_t>(refs[1].begin() + 120, refs[1].begin() + 204);  // 84 words at step 60
  for (auto& w : query) w ^= rng() & rng() & rng();  // a few bits changed
  std::copy(query.begin(), query.end(), refs[1].begin() + 300);  // and a near repeat at step 150
  auto other = std::vector<uint64_t>(refs[2].begin() + 10, refs[2].begin() + 92);  // 82 words of r2
  for (auto& w : other) w ^= rng() & rng();
  db.add({{"r0", refs[0]}, {"r1", refs[1]}, {"r2", refs[2]}});
  const MediaScores s =
      score_media(db.get(), {{query.data(), 84, 0}, {other.data(), 82, 250}}, {"r0", "r1", "r2"}, 4);
  ASSERT_EQ(s.media.size(), 3u);
  for (const MediaScore& m : s.media) {
    const auto& words = refs[size_t(m.name[1] - '0')];
    double best = 1e300;
    uint64_t where = 0;
    for (const auto* q : {&query, &other})
      for (uint64_t o = 0; o + q->size() <= words.size(); o += 2) {
        const double score = double(naive(*q, words.data() + o)) / double(q->size() / 2);
        const uint64_t ms = q == &query ? o / 2 * 1000 / 16 : (o / 2 * 1000 - 250) / 16;
        if (score < best) best = score, where = ms;
      }
    EXPECT_DOUBLE_EQ(m.score, best) << m.name;
    EXPECT_EQ(m.position, where) << m.name;
  }
  EXPECT_EQ(s.media[0].name, "r1");
  EXPECT_EQ(s.media[0].score, 0);  // the exact copy at step 150
  EXPECT_EQ(s.media[0].position, 150u * 1000 / 16);
  EXPECT_EQ(s.media[1].name, "r2");
  EXPECT_EQ(s.media[1].phase, 1u);
  EXPECT_EQ(s.media[1].position, (5u * 1000 - 250) / 16);
  // The changed passage at step 60 is sampled (every 4 steps) and lies 90 steps away.
  EXPECT_DOUBLE_EQ(s.media[0].far, double(naive(query, refs[1].data() + 120)) / 42);
}

TEST(MediaScores, BestQuickMediaOrderedAndExcluding) {
  std::mt19937_64 rng(8);
  TestDB db;
  const auto target = random_words(rng, 200);
  auto near = target, far = target;
  for (size_t i = 0; i < 8; ++i) near[40 + i] ^= 1ULL << i;     // one bit off per word
  for (size_t i = 0; i < 8; ++i) far[40 + i] ^= 0xFFULL << 8;   // eight bits off per word
  db.add({{"far", far}, {"other", random_words(rng, 200)}, {"near", near}, {"exact", target}});
  const std::vector<uint64_t> query(target.begin() + 40, target.begin() + 48);
  EXPECT_EQ(best_quick_media(db.get(), query.data(), 8, {}, 3), (std::vector<std::string>{"exact", "near", "far"}));
  EXPECT_EQ(best_quick_media(db.get(), query.data(), 8, {"exact"}, 2), (std::vector<std::string>{"near", "far"}));
}

}  // namespace
}  // namespace kivo::test
