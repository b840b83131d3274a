#include "platform/clock.h"

#include "platform/timer_service.h"

namespace kivo {
namespace {

struct ClockSlot {
  Mutex mutex;
  std::shared_ptr<const Clock> clock KIVO_GUARDED_BY(mutex) = std::make_shared<SystemClock>();
};

ClockSlot& slot() {
  static auto* instance = new ClockSlot;  // lives for the process: timers read it until exit
  return *instance;
}

}  // namespace

// Virtual monotonic time starts far from zero so that "zero" never looks like a recent event.
ManualClock::ManualClock(WallTime start)
    : wall_(start), monotonic_(MonotonicTime{} + std::chrono::hours(1000)) {}

WallTime ManualClock::now() const {
  MutexLock lock(mutex_);
  return wall_;
}

MonotonicTime ManualClock::monotonicNow() const {
  MutexLock lock(mutex_);
  return monotonic_;
}

void ManualClock::advance(std::chrono::nanoseconds delta) {
  {
    MutexLock lock(mutex_);
    wall_ += std::chrono::duration_cast<std::chrono::system_clock::duration>(delta);
    monotonic_ += delta;
  }
  dispatch::detail::TimerService::instance().fireDue();
}

void ManualClock::setWallTime(WallTime wall) {
  MutexLock lock(mutex_);
  wall_ = wall;
}

std::shared_ptr<const Clock> currentClock() {
  MutexLock lock(slot().mutex);
  return slot().clock;
}

void setClock(std::shared_ptr<const Clock> clock) {
  {
    MutexLock lock(slot().mutex);
    slot().clock = clock ? std::move(clock) : std::make_shared<SystemClock>();
  }
  dispatch::detail::TimerService::instance().clockChanged();
}

WallTime now() { return currentClock()->now(); }

MonotonicTime monotonicNow() { return currentClock()->monotonicNow(); }

}  // namespace kivo
