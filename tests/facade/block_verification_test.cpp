// The block verification of matchDoublePCM: its statistic against every offset scored directly,
// a database built to tempt it, and where a verified answer is placed.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "common/signals.h"
#include "common/virtual_time.h"
#include "kivo/afp_generator.h"
#include "kivo/kivo_matcher.h"
#include "kivo/media_scores.h"

namespace {

using kivo::Bytes;
using kivo::KIVOMatcher;
using kivo::KIVOMatchResult;

Bytes pcmOf(const std::vector<float>& x) {
  const auto pcm = kivo::test::toPcm(x);
  Bytes out(pcm.size() * 2);
  std::memcpy(out.data(), pcm.data(), out.size());
  return out;
}

std::vector<float> music(uint32_t seed, size_t seconds = 20) { return kivo::test::music(seconds * 16000, seed); }

std::vector<float> cut(const std::vector<float>& x, size_t from, size_t samples = 52000) {
  return {x.begin() + long(from), x.begin() + long(from + samples)};
}

std::vector<float> plus(std::vector<float> x, const std::vector<float>& y) {
  for (size_t i = 0; i < x.size(); ++i) x[i] += y[i];
  return x;
}

std::vector<uint64_t> wordsOf(const Bytes& afp) {
  std::vector<uint64_t> w(afp.size() / 8);
  std::memcpy(w.data(), afp.data(), w.size() * 8);
  return w;
}

std::shared_ptr<KIVOMatcher> matcherOf(const std::vector<std::pair<std::string, Bytes>>& afps) {
  auto m = KIVOMatcher::create();
  nlohmann::json media = nlohmann::json::object();
  m->beginAdd();
  for (const auto& [id, afp] : afps) {
    m->audioPackRetrieveAFPData({id, 0, afp});
    media[id] = {{"type", "cf"}, {"title", id}};
  }
  m->audioPackFinishLoadWithMetaData({{"media", media}});
  m->finishAdd();
  return m;
}

TEST(BlockVerification, StatisticAgreesWithEveryOffsetScoredDirectly) {
  // Four media, so every one is scored; the block is a noisy excerpt of the third at 4 s.
  std::vector<std::pair<std::string, Bytes>> afps;
  std::vector<std::vector<uint64_t>> refs;
  for (uint32_t seed = 1; seed <= 4; ++seed) {
    afps.emplace_back("m" + std::to_string(seed), *kivo::AFPFromPCM(pcmOf(music(seed))));
    refs.push_back(wordsOf(afps.back().second));
  }
  const auto m = matcherOf(afps);
  const Bytes block = pcmOf(plus(cut(music(3), 64000), kivo::test::noise(52000, 0.05f, 4)));
  const auto got = m->matchBlock(block);
  const auto& v = got.verification;

  // The block from its start and from half a step (500 samples) in.
  const auto query = wordsOf(*kivo::AFPFromPCM(block));
  const auto shifted = wordsOf(*kivo::AFPFromPCM(Bytes(block.begin() + 1000, block.end())));
  ASSERT_EQ(query.size(), 84u);
  std::vector<std::pair<double, uint64_t>> best;  // (score per step, ms) per media
  double sum = 0, squares = 0, n = 0;
  for (const auto& ref : refs) {
    best.push_back({INFINITY, 0});
    for (size_t o = 0; o + 84 <= ref.size(); o += 2) {
      const double s = double(kivo::verification_score(query.data(), ref.data() + o, 84)) / 42;
      if (s < best.back().first) best.back() = {s, o / 2 * 1000 / 16};
      if (o % 16 == 0) sum += s, squares += s * s, n += 1;  // every 8th step
    }
    const int words = int(shifted.size());
    for (size_t o = 0; o + size_t(words) <= ref.size(); o += 2) {
      const double s = double(kivo::verification_score(shifted.data(), ref.data() + o, words)) / (words / 2);
      if (s < best.back().first) best.back() = {s, (o / 2 * 1000 - 500) / 16};
    }
  }
  const double spread = std::sqrt(squares / n - (sum / n) * (sum / n));
  const double mean = sum / n;
  std::vector<double> sorted;
  for (const auto& b : best) sorted.push_back(b.first);
  std::sort(sorted.begin(), sorted.end());
  ASSERT_EQ(sorted[0], best[2].first);
  EXPECT_EQ(v.name, "m3");
  EXPECT_EQ(v.media, 4u);
  EXPECT_EQ(v.position, best[2].second);
  EXPECT_NEAR(double(v.position), 4000, 32);
  EXPECT_DOUBLE_EQ(v.score, sorted[0]);
  EXPECT_DOUBLE_EQ(v.runnerUp, sorted[1]);
  EXPECT_NEAR(v.spread, spread, 1e-9 * spread);
  EXPECT_TRUE(v.windowsAgree);
  EXPECT_NEAR(v.mean, mean, 1e-9 * mean);
  EXPECT_EQ(v.offsets, uint64_t(n) * 8 * 2);
  // The gap to the runner-up plus an eighth of the best score's stand-out beyond the best of the
  // chance alignments (n samples, 8 steps apart, 2 phases).
  const double chance = std::sqrt(2 * std::log(n * 16));
  EXPECT_NEAR(v.statistic, (v.runnerUp - v.score) / spread + 0.125 * ((mean - v.score) / spread - chance), 1e-9);
  EXPECT_GT(v.statistic, KIVOMatcher::kDefaultAcceptanceLimit);
  ASSERT_TRUE(got.answer);
  EXPECT_EQ(got.answer->name(), "m3");
  EXPECT_EQ(got.answer->position(), 5125u);  // the second window's place: 4000 + 1125 ms
}

TEST(BlockVerification, TemptingDatabaseNeverAcceptsUnknownAudio) {
  // Near-copies, a passage repeated over a whole media, silence, and plain music.
  const auto a = music(11), passage = cut(music(12), 0, 64000);
  std::vector<float> repeated;
  for (int i = 0; i < 5; ++i) repeated.insert(repeated.end(), passage.begin(), passage.end());
  const auto copy = plus(a, kivo::test::noise(a.size(), 0.01f, 5));
  auto m = matcherOf({{"a", *kivo::AFPFromPCM(pcmOf(a))},
                      {"a-copy", *kivo::AFPFromPCM(pcmOf(copy))},
                      {"repeated", *kivo::AFPFromPCM(pcmOf(repeated))},
                      {"silence", Bytes(20 * 32 * 8, 0)},
                      {"b", *kivo::AFPFromPCM(pcmOf(music(13)))},
                      {"c", *kivo::AFPFromPCM(pcmOf(music(14)))}});
  const std::vector<std::pair<const char*, std::vector<float>>> unknown = {
      {"other music", cut(music(21), 16000)},
      {"other music, loud noise", plus(cut(music(22), 48000), kivo::test::noise(52000, 0.3f, 6))},
      {"noise", kivo::test::noise(52000, 0.3f, 7)},
      {"near silence", kivo::test::noise(52000, 0.0005f, 8)},
      {"tone", kivo::test::risingTone(52000, 440, 0.1f, 0.5f, 0.01f)},
      {"other passage of the repeated music", cut(music(12), 80000)},
  };
  for (const auto& [what, x] : unknown) {
    const auto got = m->matchBlock(pcmOf(x));
    EXPECT_FALSE(got.answer) << what << ": " << got.answer->name() << " statistic " << got.verification.statistic;
  }
  // Known audio that two media hold alike is answered, if at all, with the one it matches exactly.
  const auto alike = m->matchBlock(pcmOf(cut(a, 32000)));
  EXPECT_EQ(alike.verification.name, "a");
  const auto exact = m->answerOf(alike.first, alike.second, alike.verification, 1.0);
  ASSERT_TRUE(exact);
  EXPECT_EQ(exact->name(), "a");
  // The repeated passage stands out, and is placed at one of its repeats.
  const auto got = m->matchBlock(pcmOf(cut(repeated, 64000 + 8000)));
  EXPECT_EQ(got.verification.name, "repeated");
  EXPECT_GT(got.verification.statistic, 3.0);
  const auto answer = m->answerOf(got.first, got.second, got.verification, 3.0);
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->name(), "repeated");
  EXPECT_EQ((answer->position() - 1125 + 4000) % 4000, 500u);  // 0.5 s into a 4 s passage
}

TEST(BlockVerification, AgreeingWindowsWithAGoodScoreDoubleTheStatistic) {
  KIVOMatcher::Verification v;
  v.name = "A";
  EXPECT_EQ(KIVOMatcher::acceptance(v), -INFINITY);
  struct Case {
    double statistic;
    bool agree;
    double agreedScore;
    double acceptance;
  };
  const Case cases[] = {{2.5, true, 22.0, 5.0},  {2.5, true, 22.5, 2.5}, {2.5, false, 10.0, 2.5},
                        {2.5, true, NAN, 2.5},   {-1.0, true, 5.0, -1.0}, {0.0, true, 5.0, 0.0}};
  for (const auto& c : cases) {
    v.statistic = c.statistic;
    v.windowsAgree = c.agree;
    v.agreedScore = c.agreedScore;
    EXPECT_EQ(KIVOMatcher::acceptance(v), c.acceptance) << c.statistic << " " << c.agree << " " << c.agreedScore;
  }
  // No spread, no statistic.
  v.spread = 0;
  EXPECT_EQ(KIVOMatcher::statisticOf(v), -INFINITY);
}

KIVOMatchResult result(const std::string& name, uint64_t position, double score) {
  return KIVOMatchResult(name, score, position, 10, nullptr);
}

TEST(BlockVerification, WhereAVerifiedAnswerIsPlaced) {
  auto m = matcherOf({{"A", Bytes(32 * 8 * 30, 0x11)}, {"B", Bytes(32 * 8 * 30, 0x22)}});
  KIVOMatcher::Verification v;
  v.name = "A";
  v.position = 4000;
  v.score = 40.0;
  v.searchScore = 9.0;
  v.statistic = 5.0;
  const KIVOMatcher::Results first{result("A", 1000, 20.0)}, second{result("A", 2125, 21.0)};
  // The windows agree on the verified media: their answer, also where the block's best alignment
  // is a repeat elsewhere.
  v.windowsAgree = true;
  auto answer = m->answerOf(first, second, v, 3.0);
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->position(), 2125u);
  EXPECT_EQ(answer->score(), 21.0);
  // Otherwise the verified media where the second window starts, with the block's score.
  v.windowsAgree = false;
  answer = m->answerOf({}, {}, v, 3.0);
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->name(), "A");
  EXPECT_EQ(answer->position(), 5125u);
  EXPECT_EQ(answer->score(), 9.0);
  EXPECT_EQ(answer->duration(), 30.0);
  EXPECT_EQ(m->answerOf({}, {}, v, 0.0, 0.0)->position(), 4000u);
  m->setUseCutoffFilter(true);
  m->setCutoff(9.5);  // the literal cutoff drops it like any result scoring below
  EXPECT_FALSE(m->answerOf({}, {}, v, 3.0));
  m->setUseCutoffFilter(false);
  // Below the limit, or for media the matcher cannot describe: nothing.
  EXPECT_FALSE(m->answerOf(first, second, v, 5.5));
  v.windowsAgree = true;  // ...unless the windows agree there with a good score: the statistic counts double
  v.agreedScore = 21.0;
  EXPECT_TRUE(m->answerOf(first, second, v, 9.5));
  EXPECT_FALSE(m->answerOf(first, second, v, 10.5));
  v.name = "gone";
  EXPECT_FALSE(m->answerOf({}, {}, v, 3.0));
  EXPECT_FALSE(m->answerOf(first, second, KIVOMatcher::Verification{}, -INFINITY));
}

TEST(BlockVerification, DoubleWindowMatchAnswersWithTheVerification) {
  kivo::test::VirtualTime time;
  auto m = matcherOf({{"x", *kivo::AFPFromPCM(pcmOf(music(31)))}, {"y", *kivo::AFPFromPCM(pcmOf(music(32)))}});
  std::optional<KIVOMatchResult> answers[2];
  const Bytes block = pcmOf(cut(music(32), 96000));
  m->matchDoublePCM(block, [&](auto r) { answers[0] = r; });
  time.settle();
  m->setAcceptanceLimit(1000.0);
  m->matchDoublePCM(block, [&](auto r) { answers[1] = r; });
  time.settle();
  ASSERT_TRUE(answers[0]);
  EXPECT_EQ(answers[0]->name(), "y");
  EXPECT_EQ(answers[0]->position(), 7125u);
  EXPECT_FALSE(answers[1]);
}

}  // namespace
