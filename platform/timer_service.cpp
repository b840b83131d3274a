#include "platform/timer_service.h"

#include "platform/executor.h"

namespace kivo::dispatch::detail {

TimerService& TimerService::instance() {
  static auto* service = new TimerService;  // lives for the process, like its thread
  return *service;
}

TimerService::TimerService() : thread_([this] { serve(); }) {}

void TimerService::schedule(const std::shared_ptr<TimerState>& timer, MonotonicTime deadline) {
  {
    MutexLock lock(mutex_);
    heap_.push(Entry{deadline, sequence_++, timer});
  }
  changed_.notify_all();
}

void TimerService::dropInvalidTop() {
  while (!heap_.empty()) {
    // The entry may hold the last reference: keep the timer alive until its lock is released.
    const std::shared_ptr<TimerState> timer = heap_.top().timer;
    {
      MutexLock timerLock(timer->mutex);
      if (timer->valid) return;
    }
    heap_.pop();
  }
}

std::vector<std::shared_ptr<TimerState>> TimerService::takeDue(MonotonicTime now) {
  std::vector<std::shared_ptr<TimerState>> due;
  for (dropInvalidTop(); !heap_.empty() && heap_.top().deadline <= now; dropInvalidTop()) {
    Entry entry = heap_.top();
    heap_.pop();
    due.push_back(entry.timer);
    if (entry.timer->repeating) {
      MonotonicTime next = entry.deadline + entry.timer->interval;
      if (next <= now) next = now + entry.timer->interval;  // skip ticks missed by a clock jump
      heap_.push(Entry{next, sequence_++, entry.timer});
    }
  }
  return due;
}

void TimerService::fireDue() {
  std::vector<std::shared_ptr<TimerState>> due;
  {
    MutexLock lock(mutex_);
    due = takeDue(monotonicNow());
  }
  for (auto& timer : due) postTick(timer);
}

std::optional<MonotonicTime> TimerService::nextDeadline() {
  MutexLock lock(mutex_);
  dropInvalidTop();
  if (heap_.empty()) return std::nullopt;
  return heap_.top().deadline;
}

void TimerService::invalidateAll() {
  MutexLock lock(mutex_);
  while (!heap_.empty()) {
    auto timer = heap_.top().timer;
    heap_.pop();
    MutexLock timerLock(timer->mutex);
    timer->valid = false;
    timer->task = nullptr;
    timer->queue = nullptr;
  }
}

void TimerService::clockChanged() {
  { MutexLock lock(mutex_); }  // the service thread is either before its clock read or waiting
  changed_.notify_all();
}

void TimerService::serve() {
  MutexLock lock(mutex_);
  for (;;) {
    auto clock = currentClock();
    if (clock->isManual()) {
      changed_.wait(lock);
      continue;
    }
    auto due = takeDue(clock->monotonicNow());
    if (!due.empty()) {
      lock.unlock();
      for (auto& timer : due) postTick(timer);
      lock.lock();
      continue;
    }
    dropInvalidTop();
    if (heap_.empty()) {
      changed_.wait(lock);
    } else {
      MonotonicTime deadline = heap_.top().deadline;  // a copy: the wait reads it unlocked
      changed_.wait_until(lock, deadline);
    }
  }
}

void postTick(const std::shared_ptr<TimerState>& timer) {
  std::shared_ptr<Executor> queue;
  {
    MutexLock lock(timer->mutex);
    if (!timer->valid || timer->tickQueued) return;
    timer->tickQueued = true;
    queue = timer->queue;
  }
  queue->post([timer] {
    std::shared_ptr<const Task> task;
    {
      MutexLock lock(timer->mutex);
      timer->tickQueued = false;
      if (!timer->valid) return;
      task = timer->task;
      if (!timer->repeating) {
        timer->valid = false;
        timer->task = nullptr;
        timer->queue = nullptr;
      }
    }
    (*task)();
  });
}

}  // namespace kivo::dispatch::detail
