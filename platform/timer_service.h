// Deadlines of every dispatch::Timer, kept in one heap and served by one thread. Under the
// system clock the thread posts due ticks; under a manual clock only fireDue() (called by
// ManualClock::advance and by test helpers) does, so virtual time is deterministic.
#pragma once

#include <cstdint>
#include <condition_variable>
#include <memory>
#include <optional>
#include <queue>
#include <thread>
#include <vector>

#include "kivo/dispatch.h"
#include "kivo/thread_annotations.h"
#include "platform/clock.h"

namespace kivo::dispatch::detail {

class Executor;

struct TimerState {
  TimerState(std::shared_ptr<Executor> q, Task t, bool repeats, Duration every)
      : repeating(repeats), interval(every), queue(std::move(q)), task(std::make_shared<const Task>(std::move(t))) {}

  Mutex mutex;
  bool valid KIVO_GUARDED_BY(mutex) = true;
  bool tickQueued KIVO_GUARDED_BY(mutex) = false;  // a tick waits on the queue
  const bool repeating;
  const Duration interval;
  std::shared_ptr<Executor> queue KIVO_GUARDED_BY(mutex);   // released on invalidation
  std::shared_ptr<const Task> task KIVO_GUARDED_BY(mutex);  // released on invalidation
};

class TimerService {
 public:
  static TimerService& instance();

  void schedule(const std::shared_ptr<TimerState>& timer, MonotonicTime deadline);
  // Posts the tick of every valid timer whose deadline has passed on the current clock.
  void fireDue();
  // Earliest deadline of a valid timer.
  std::optional<MonotonicTime> nextDeadline();
  // Invalidates every timer (test isolation).
  void invalidateAll();
  // The installed clock changed: the service thread re-reads it.
  void clockChanged();

 private:
  struct Entry {
    MonotonicTime deadline;
    uint64_t sequence;
    std::shared_ptr<TimerState> timer;
    bool operator>(const Entry& other) const {
      return deadline != other.deadline ? deadline > other.deadline : sequence > other.sequence;
    }
  };

  TimerService();
  void serve();
  // Pops due entries (rescheduling repeating ones) and returns the ticks to post.
  std::vector<std::shared_ptr<TimerState>> takeDue(MonotonicTime now) KIVO_REQUIRES(mutex_);
  void dropInvalidTop() KIVO_REQUIRES(mutex_);

  Mutex mutex_;
  std::condition_variable_any changed_;
  std::priority_queue<Entry, std::vector<Entry>, std::greater<>> heap_ KIVO_GUARDED_BY(mutex_);
  uint64_t sequence_ KIVO_GUARDED_BY(mutex_) = 0;
  std::thread thread_;
};

// Posts one tick of timer to its queue unless one is still waiting there.
void postTick(const std::shared_ptr<TimerState>& timer);

}  // namespace kivo::dispatch::detail
