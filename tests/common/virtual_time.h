// Virtual time for tests: a ManualClock installed for the scope, with the test thread driving the
// main queue. Timers then fire exactly at their virtual deadlines and no test sleeps.
#pragma once

#include <chrono>
#include <memory>

#include "platform/clock.h"

namespace kivo::test {

class VirtualTime {
 public:
  // 2 March 2025 00:00:00 UTC, a Sunday.
  static WallTime defaultStart();

  explicit VirtualTime(WallTime start = defaultStart());
  // Settles, invalidates every timer still scheduled and restores the system clock.
  ~VirtualTime();
  VirtualTime(const VirtualTime&) = delete;
  VirtualTime& operator=(const VirtualTime&) = delete;

  ManualClock& clock() { return *clock_; }

  // Runs main-queue tasks on this thread and waits for the other queues until no task is left
  // anywhere. Returns the number of main-queue tasks run.
  size_t settle();
  // Moves time forward by delta, stopping at every timer deadline on the way: the clock reads that
  // deadline when its tick is posted, and everything settles before time moves on.
  void advance(std::chrono::nanoseconds delta);

 private:
  std::shared_ptr<ManualClock> clock_;
};

}  // namespace kivo::test
