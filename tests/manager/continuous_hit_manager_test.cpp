// The hit manager's policies against their timeouts on the virtual clock.
#include <gtest/gtest.h>

#include <cmath>

#include "common/virtual_time.h"
#include "kivo/continuous_hit_manager.h"

namespace kivo::test {
namespace {

using namespace std::chrono_literals;
using json = nlohmann::json;

json media(const json& id, double duration = 0.0) { return {{"result", {{"_id", id}}}, {"duration", duration}}; }

bool play(KIVOContinuousHitManager& hits, const json& m) {
  if (!hits.canHitWithMediaDictionary(m)) return false;
  hits.hitWithMediaDictionary(m);
  return true;
}

double seconds(WallTime t) { return std::chrono::duration<double>(t.time_since_epoch()).count(); }

TEST(KIVOContinuousHitManager, EachPolicyJudgesARepeatedMedia) {
  VirtualTime time;
  struct Case {
    int32_t policy;
    double timeout;
    std::vector<std::tuple<int, json, bool>> plays;  // seconds waited before, identifier, hit
  };
  const Case cases[] = {
      {0, 0.0, {{0, "A", true}, {0, "A", true}}},
      {1, 0.0, {{0, "A", true}, {100, "A", false}, {0, "B", true}, {0, "A", true}}},
      {2, 0.0, {{0, "A", true}, {0, "A", false}, {1, "A", true}}},
      {2, 10.0, {{0, "A", true}, {10, "A", false}, {1, "A", true}}},
      {5, 0.0, {{0, "A", true}, {1000, "A", false}, {0, 42, true}, {0, "42", false}}},
      {1, 0.0, {{0, nullptr, true}, {0, nullptr, true}}},  // absent identifiers always differ
      {1, 0.0, {{0, 4.5, true}, {0, 4.5, true}, {0, json{{"x", 1}}, true}}},  // so do ids of other types
  };
  for (const auto& c : cases) {
    KIVOContinuousHitManager hits;
    hits.setPolicy(c.policy);
    hits.setTimeout(c.timeout);
    int step = 0;
    for (const auto& [wait, id, expected] : c.plays) {
      time.advance(std::chrono::seconds(wait));
      EXPECT_EQ(play(hits, id.is_null() ? json::object() : media(id)), expected) << c.policy << " " << step++;
    }
    hits.reset();
    EXPECT_EQ(hits.lastHitIdentifier(), "");
    EXPECT_TRUE(play(hits, media("A")));
  }
}

TEST(KIVOContinuousHitManager, LengthPolicyTimesOutAfterMultipierLengths) {
  VirtualTime time;
  KIVOContinuousHitManager hits;
  hits.setPolicy(KIVOContinuousHitPolicyLength);
  EXPECT_TRUE(play(hits, media("A", 10.0)));
  EXPECT_EQ(hits.timeout(), 30.0);
  EXPECT_EQ(hits.lastHitTime(), seconds(time.clock().now()));
  time.advance(29s);
  EXPECT_FALSE(play(hits, media("A", 10.0)));
  time.advance(2s);
  EXPECT_TRUE(play(hits, media("A", 10.0)));
  // A broken length never refuses the media for ever; nor does a NaN timeout.
  for (double length : {std::nan(""), HUGE_VAL, -5.0, 1e308}) {
    hits.hitWithIdentifier("B", length);
    time.advance(1ms);
    EXPECT_TRUE(hits.canHitWithIdentifier("B", 0.0)) << length;
  }
  EXPECT_TRUE(play(hits, json{{"result", {{"_id", "C"}}}, {"duration", "10"}}));  // a text length counts as 0
  EXPECT_EQ(hits.timeout(), 0.0);
  hits.setTimeout(std::nan(""));
  EXPECT_EQ(hits.timeout(), 0.0);
}

TEST(KIVOContinuousHitManager, ElapsedTimeIsMonotonicAndAHitCanBeUndone) {
  VirtualTime time;
  KIVOContinuousHitManager hits;
  hits.setPolicy(KIVOContinuousHitPolicyTimeout);
  hits.setTimeout(10.0);
  EXPECT_TRUE(play(hits, media("A")));
  time.clock().setWallTime(time.clock().now() - 1h);  // the device clock set back
  time.advance(11s);
  EXPECT_TRUE(hits.canHitWithMediaDictionary(media("A")));
  hits.setLastHitTime(seconds(time.clock().now()) - 9.0);  // a host-set time is judged on the wall clock
  EXPECT_FALSE(hits.canHitWithMediaDictionary(media("A")));
  time.advance(2s);
  EXPECT_TRUE(hits.canHitWithMediaDictionary(media("A")));

  const auto before = hits.snapshot();
  hits.setPolicy(KIVOContinuousHitPolicyLength);
  hits.hitWithMediaDictionary(media("B", 100.0));
  hits.restore(before);
  EXPECT_EQ(hits.lastHitIdentifier(), "A");
  EXPECT_EQ(hits.timeout(), 10.0);
  EXPECT_TRUE(hits.canHitWithMediaDictionary(media("B")));
}

}  // namespace
}  // namespace kivo::test
