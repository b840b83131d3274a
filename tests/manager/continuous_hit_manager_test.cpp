// The hit manager's policies against their timeouts on the virtual clock.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "common/log_capture.h"
#include "common/virtual_time.h"
#include "kivo/continuous_hit_manager.h"

namespace kivo::test {
namespace {

using namespace std::chrono_literals;
using json = nlohmann::json;

json media(const json& id, const json& duration = nullptr) {
  json m = {{"result", {{"_id", id}}}};
  if (!duration.is_null()) m["duration"] = duration;
  return m;
}

// Asks, records when it was a hit, and says whether it was.
bool play(KIVOContinuousHitManager& hits, const json& m) {
  if (!hits.canHitWithMediaDictionary(m)) return false;
  hits.hitWithMediaDictionary(m);
  return true;
}

TEST(KIVOContinuousHitManager, DefaultsAndMediaDictionaries) {
  const KIVOContinuousHitManager hits;
  EXPECT_EQ(hits.policy(), KIVOContinuousHitPolicyAlways);
  EXPECT_EQ(hits.timeout(), 0.0);
  EXPECT_EQ(hits.multipier(), 3);
  EXPECT_EQ(hits.lastHitTime(), 0.0);
  EXPECT_EQ(hits.lastHitIdentifier(), "");

  const std::pair<json, std::optional<std::string>> ids[] = {
      {media("a"), "a"}, {media(42), "42"}, {media(4.5), std::nullopt}, {media(nullptr), std::nullopt},
      {json{{"result", "a"}}, std::nullopt}, {json{{"result", nullptr}}, std::nullopt}, {json::array(), std::nullopt},
      {json::object(), std::nullopt}};
  for (const auto& [m, id] : ids) EXPECT_EQ(KIVOContinuousHitManager::identifierFromMediaDictionary(m), id) << m;
  const std::pair<json, double> lengths[] = {
      {media("a", 10.5), 10.5}, {media("a", 7), 7.0}, {media("a", "10"), 0.0}, {media("a"), 0.0}, {json(3), 0.0}};
  for (const auto& [m, length] : lengths) EXPECT_EQ(KIVOContinuousHitManager::lengthFromMediaDictionary(m), length);
}

TEST(KIVOContinuousHitManager, EachPolicyJudgesARepeatedMedia) {
  VirtualTime time;
  struct Case {
    int32_t policy;
    double timeout;
    // Seconds to wait before each play, the identifiers and the expected hits.
    std::vector<std::tuple<int, json, bool>> plays;
  };
  const Case cases[] = {
      {0, 0.0, {{0, "A", true}, {0, "A", true}, {0, "B", true}}},
      {1, 0.0, {{0, "A", true}, {1, "A", false}, {100, "A", false}, {0, "B", true}, {0, "A", true}}},
      {2, 0.0, {{0, "A", true}, {0, "A", false}, {1, "A", true}}},
      {2, 10.0, {{0, "A", true}, {10, "A", false}, {1, "A", true}, {0, "B", true}, {0, "A", true}}},
      {5, 0.0, {{0, "A", true}, {1000, "A", false}, {0, 42, true}, {0, "42", false}}},
  };
  for (const auto& c : cases) {
    KIVOContinuousHitManager hits;
    hits.setPolicy(c.policy);
    hits.setTimeout(c.timeout);
    int step = 0;
    for (const auto& [wait, id, expected] : c.plays) {
      time.advance(std::chrono::seconds(wait));
      EXPECT_EQ(play(hits, media(id)), expected) << "policy " << c.policy << " play " << step++;
    }
  }
}

TEST(KIVOContinuousHitManager, LengthPolicySetsTheTimeoutFromTheMedia) {
  VirtualTime time;
  KIVOContinuousHitManager hits;
  hits.setPolicy(KIVOContinuousHitPolicyLength);
  EXPECT_TRUE(play(hits, media("A", 10.0)));
  EXPECT_EQ(hits.timeout(), 30.0);
  EXPECT_DOUBLE_EQ(hits.lastHitTime(),
                   std::chrono::duration<double>(time.clock().now().time_since_epoch()).count());
  time.advance(29s);
  EXPECT_FALSE(play(hits, media("A", 10.0)));
  time.advance(2s);
  EXPECT_TRUE(play(hits, media("A", 1.0)));
  EXPECT_EQ(hits.timeout(), 3.0);

  // A broken length never refuses the media for ever.
  for (double length : {std::nan(""), std::numeric_limits<double>::infinity(), -5.0, 1e308}) {
    hits.hitWithIdentifier("B", length);
    EXPECT_EQ(hits.timeout(), 0.0) << length;
    time.advance(1ms);
    EXPECT_TRUE(hits.canHitWithIdentifier("B", 0.0)) << length;
  }
  LogCapture log;
  hits.setTimeout(std::nan(""));
  EXPECT_EQ(hits.timeout(), 0.0);
  EXPECT_TRUE(log.contains("[WARN] KIVOContinuousHitManager ignores a timeout that is not a number"));
}

TEST(KIVOContinuousHitManager, AbsentIdentifiersResetAndRollback) {
  VirtualTime time;
  KIVOContinuousHitManager hits;
  hits.setPolicy(KIVOContinuousHitPolicyOnce);
  EXPECT_TRUE(play(hits, json::object()));
  EXPECT_FALSE(hits.lastHitIdentifier());
  EXPECT_TRUE(play(hits, json::object()));

  EXPECT_TRUE(play(hits, media("A")));
  hits.reset();
  EXPECT_EQ(hits.lastHitIdentifier(), "");
  EXPECT_TRUE(play(hits, media("A")));

  // A hit whose report failed is undone: the media counts again.
  hits.setPolicy(KIVOContinuousHitPolicyLength);
  const auto before = hits.snapshot();
  const double timeBefore = hits.lastHitTime();
  time.advance(5s);
  hits.hitWithMediaDictionary(media("B", 100.0));
  hits.restore(before);
  EXPECT_EQ(hits.lastHitIdentifier(), "A");
  EXPECT_EQ(hits.lastHitTime(), timeBefore);
  EXPECT_EQ(hits.timeout(), 0.0);
  EXPECT_TRUE(hits.canHitWithMediaDictionary(media("B")));
}

TEST(KIVOContinuousHitManager, ElapsedTimeIgnoresWallClockSteps) {
  VirtualTime time;
  KIVOContinuousHitManager hits;
  hits.setPolicy(KIVOContinuousHitPolicyTimeout);
  hits.setTimeout(10.0);
  EXPECT_TRUE(play(hits, media("A")));
  time.clock().setWallTime(time.clock().now() - 1h);  // the user sets the device clock back
  time.advance(11s);
  EXPECT_TRUE(hits.canHitWithMediaDictionary(media("A")));
  time.clock().setWallTime(time.clock().now() + 2h);
  EXPECT_TRUE(play(hits, media("A")));
  EXPECT_FALSE(hits.canHitWithMediaDictionary(media("A")));

  // A time the host sets is judged on the wall clock.
  hits.setLastHitTime(std::chrono::duration<double>(time.clock().now().time_since_epoch()).count() - 9.0);
  EXPECT_FALSE(hits.canHitWithMediaDictionary(media("A")));
  time.advance(2s);
  EXPECT_TRUE(hits.canHitWithMediaDictionary(media("A")));
}

}  // namespace
}  // namespace kivo::test
