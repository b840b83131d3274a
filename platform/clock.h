// The clock every timer and every "now" of the library reads. The system clock is installed by
// default; tests install a ManualClock and move virtual time forward explicitly.
#pragma once

#include <chrono>
#include <memory>

#include "kivo/thread_annotations.h"

namespace kivo {

using WallTime = std::chrono::system_clock::time_point;
using MonotonicTime = std::chrono::steady_clock::time_point;

// Source of wall and monotonic time. Implementations are thread-safe.
class Clock {
 public:
  virtual ~Clock() = default;
  // Calendar time: dates, time stamps, identifiers.
  virtual WallTime now() const = 0;
  // Never steps backwards: timers, rate limits, intervals.
  virtual MonotonicTime monotonicNow() const = 0;
  // True when time moves only when told to (timers then fire from advance(), not by themselves).
  virtual bool isManual() const { return false; }
};

class SystemClock final : public Clock {
 public:
  WallTime now() const override { return std::chrono::system_clock::now(); }
  MonotonicTime monotonicNow() const override { return std::chrono::steady_clock::now(); }
};

// Virtual time for tests. advance() moves both clocks and posts every timer that fell due (a
// repeating timer once, however many intervals passed). setWallTime() steps the calendar clock
// alone, as a user changing the device time would. Thread-safe.
class ManualClock final : public Clock {
 public:
  explicit ManualClock(WallTime start);

  WallTime now() const override;
  MonotonicTime monotonicNow() const override;
  bool isManual() const override { return true; }

  void advance(std::chrono::nanoseconds delta);
  void setWallTime(WallTime wall);

 private:
  mutable Mutex mutex_;
  WallTime wall_ KIVO_GUARDED_BY(mutex_);
  MonotonicTime monotonic_ KIVO_GUARDED_BY(mutex_);
};

// The installed clock (never null). Thread-safe.
std::shared_ptr<const Clock> currentClock();
// Installs clock for every later reading; nullptr restores the system clock. Thread-safe.
void setClock(std::shared_ptr<const Clock> clock);

// Shorthands for currentClock()->now() and ->monotonicNow().
WallTime now();
MonotonicTime monotonicNow();

}  // namespace kivo
