#include "kivo/dispatch.h"

#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "common/virtual_time.h"

namespace {

using namespace std::chrono_literals;
using kivo::dispatch::Queue;
using kivo::dispatch::Semaphore;
using kivo::dispatch::Timer;

TEST(Timer, OneShotRunsOnceAtItsVirtualDeadline) {
  kivo::test::VirtualTime time;
  const auto start = kivo::monotonicNow();
  std::vector<std::chrono::nanoseconds> firedAt;
  Timer timer = Timer::after(Queue::main(), 5s, [&] { firedAt.push_back(kivo::monotonicNow() - start); });
  time.advance(4999ms);
  EXPECT_TRUE(firedAt.empty());
  EXPECT_TRUE(timer.isValid());
  time.advance(1ms);
  EXPECT_EQ(firedAt, (std::vector<std::chrono::nanoseconds>{5s}));
  EXPECT_FALSE(timer.isValid());
  time.advance(1h);
  EXPECT_EQ(firedAt.size(), 1u);
}

TEST(Timer, RepeatingTicksAtEveryIntervalUntilInvalidated) {
  kivo::test::VirtualTime time;
  const auto start = kivo::monotonicNow();
  const auto wallStart = kivo::now();
  std::vector<std::chrono::nanoseconds> ticks;
  std::optional<Timer> watchdog;
  watchdog = Timer::repeating(Queue::main(), 3s, [&] {
    ticks.push_back(kivo::monotonicNow() - start);
    EXPECT_EQ(kivo::now() - wallStart, ticks.back());
    if (ticks.size() == 10) watchdog->invalidate();
  });
  time.advance(2min);
  ASSERT_EQ(ticks.size(), 10u);
  for (size_t i = 0; i < ticks.size(); ++i) EXPECT_EQ(ticks[i], 3s * static_cast<int>(i + 1));
  EXPECT_FALSE(watchdog->isValid());
}

TEST(Timer, InvalidationWinsOverATickAlreadyQueued) {
  kivo::test::VirtualTime time;
  int ticks = 0;
  Timer timer = Timer::repeating(Queue::main(), 3s, [&] { ++ticks; });
  time.clock().advance(3s);  // the tick is posted but not run
  timer.invalidate();
  time.settle();
  EXPECT_EQ(ticks, 0);
}

TEST(Timer, TicksMissedByAClockJumpAreCoalesced) {
  kivo::test::VirtualTime time;
  int ticks = 0;
  Timer timer = Timer::repeating(Queue::main(), 3s, [&] { ++ticks; });
  time.clock().advance(31s);  // ten intervals at once
  time.settle();
  EXPECT_EQ(ticks, 1);
  time.advance(3s);  // the next tick is one interval after the jump
  EXPECT_EQ(ticks, 2);
  timer.invalidate();
}

TEST(Timer, InvalidationReleasesTheTask) {
  kivo::test::VirtualTime time;
  auto owner = std::make_shared<int>(0);
  std::weak_ptr<int> watch = owner;
  Timer timer = Timer::repeating(Queue::main(), 30s, [owner] {});
  owner.reset();
  EXPECT_FALSE(watch.expired());
  timer.invalidate();
  EXPECT_TRUE(watch.expired());
}

TEST(Timer, RunsOnItsTargetQueue) {
  kivo::test::VirtualTime time;
  Queue store = Queue::serial("kivo-log-store");
  std::atomic<int> onStore{0};
  Timer retry = Timer::repeating(store, 30s, [&] { onStore += store.isCurrent() ? 1 : 100; });
  time.advance(90s);
  EXPECT_EQ(onStore.load(), 3);
  retry.invalidate();
}

TEST(Timer, DeadlinesInterleaveAcrossTimersInTimeOrder) {
  kivo::test::VirtualTime time;
  std::vector<std::string> events;
  Timer watchdog = Timer::repeating(Queue::main(), 3s, [&] { events.push_back("tick"); });
  Timer::after(Queue::main(), 5s, [&] { events.push_back("retry"); });
  Timer::after(Queue::main(), 0s, [&] { events.push_back("now"); });
  time.advance(7s);
  EXPECT_EQ(events, (std::vector<std::string>{"now", "tick", "retry", "tick"}));
  watchdog.invalidate();
}

TEST(Timer, FiresUnderTheSystemClock) {
  Semaphore fired;
  Timer::after(Queue::global(), 1ms, [fired] { fired.signal(); });
  fired.wait();
  SUCCEED();
}

TEST(ManualClock, SettingTheWallTimeLeavesMonotonicTimeAlone) {
  kivo::ManualClock clock(kivo::test::VirtualTime::defaultStart());
  const auto monotonic = clock.monotonicNow();
  clock.setWallTime(kivo::test::VirtualTime::defaultStart() - 24h);
  EXPECT_EQ(clock.monotonicNow(), monotonic);
  EXPECT_EQ(clock.now(), kivo::test::VirtualTime::defaultStart() - 24h);
}

}  // namespace
