#include "kivo/media_scores.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "kivo/bit_score.h"
#include "search_helpers.h"

namespace kivo::test {
namespace {

constexpr double kB = double(1ULL << 24);

TEST(MediaScores, ByHandOnATinyDatabase) {
  TestDB db;
  // Query {0, 0}: a reference bit costs 1 (B), so offsets 0, 2, 4 of "a" score 0, 1 and 2.
  db.add({{"a", {0, 0, 1, 0, 3, 0}},
          {"b", {7, 0, 0, 1}},           // offsets 0, 2: 3 and 1
          {"b", {1, 0}},                 // the same media again: its best, 1, ties and is not kept
          {"skipped", {0, 0}},           // not asked for
          {"masked", {0, 0}, 5},         // above the search's masks
          {"short", {0}}});              // shorter than the query
  const std::vector<uint64_t> query{0, 0};
  const MediaScores s = score_media(db.get(), query.data(), 2, {"a", "b", "masked", "short"}, 1);
  ASSERT_EQ(s.media.size(), 2u);
  EXPECT_EQ(s.media[0].name, "a");
  EXPECT_EQ(s.media[0].score, 0);
  EXPECT_EQ(s.media[0].position, 0u);
  EXPECT_EQ(s.media[0].far, -1);  // nothing 32 steps away
  EXPECT_EQ(s.media[1].name, "b");
  EXPECT_EQ(s.media[1].score, int64_t(kB));
  EXPECT_EQ(s.media[1].position, 62u);
  // Sampled every step: 0, 1, 2 (a), 3, 1 (b), 1 (b again).
  EXPECT_EQ(s.samples, 6u);
  EXPECT_DOUBLE_EQ(s.mean, 8.0 / 6 * kB);
  EXPECT_NEAR(s.deviation, std::sqrt(16.0 / 6 - 64.0 / 36) * kB, 1e-6 * kB);
}

// The kernel-driven best alignment and the far sample against every offset scored directly.
TEST(MediaScores, AgreeWithEveryOffsetScoredDirectly) {
  std::mt19937_64 rng(5);
  TestDB db;
  std::vector<std::vector<uint64_t>> refs;
  for (int i = 0; i < 3; ++i) refs.push_back(random_words(rng, 400));
  auto query = std::vector<uint64_t>(refs[1].begin() + 120, refs[1].begin() + 204);  // 84 words at step 60
  for (auto& w : query) w ^= rng() & rng() & rng();  // a few bits changed
  std::copy(query.begin(), query.end(), refs[1].begin() + 300);  // and a near repeat at step 150
  db.add({{"r0", refs[0]}, {"r1", refs[1]}, {"r2", refs[2]}});
  const MediaScores s = score_media(db.get(), query.data(), 84, {"r0", "r1", "r2"}, 4);
  ASSERT_EQ(s.media.size(), 3u);
  for (const MediaScore& m : s.media) {
    const auto& words = refs[size_t(m.name[1] - '0')];
    int64_t best = -1;
    uint64_t bestStep = 0;
    for (uint64_t o = 0; o + 84 <= words.size(); o += 2) {
      const auto score = int64_t(block_score(query.data(), words.data() + o, 84));
      if (best < 0 || score < best) best = score, bestStep = o / 2;
    }
    EXPECT_EQ(m.score, best) << m.name;
    EXPECT_EQ(m.position, bestStep * 1000 / 16) << m.name;
  }
  EXPECT_EQ(s.media[0].name, "r1");
  EXPECT_EQ(s.media[0].score, 0);  // the exact copy at step 150
  EXPECT_EQ(s.media[0].position, 150u * 1000 / 16);
  // The changed passage at step 60 is sampled (every 4 steps) and lies 90 steps away.
  EXPECT_EQ(s.media[0].far, int64_t(block_score(query.data(), refs[1].data() + 120, 84)));
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
