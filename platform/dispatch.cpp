#include "kivo/dispatch.h"

#include <algorithm>
#include <condition_variable>
#include <vector>

#include "kivo/thread_annotations.h"
#include "platform/executor.h"
#include "platform/timer_service.h"

namespace kivo::dispatch {
namespace detail {

struct GroupState {
  Mutex mutex;
  std::condition_variable_any idle;
  long pending KIVO_GUARDED_BY(mutex) = 0;
  std::vector<std::pair<std::shared_ptr<Executor>, Task>> notifications KIVO_GUARDED_BY(mutex);
};

struct SemaphoreState {
  explicit SemaphoreState(long initial) : count(initial) {}

  Mutex mutex;
  std::condition_variable_any positive;
  long count KIVO_GUARDED_BY(mutex);
};

}  // namespace detail

Queue::Queue(std::shared_ptr<detail::Executor> executor) : executor_(std::move(executor)) {}

Queue Queue::main() { return Queue(detail::mainExecutor()); }
Queue Queue::global() { return Queue(detail::globalExecutor()); }
Queue Queue::serial(std::string label) { return Queue(detail::makeSerialExecutor(std::move(label))); }

void Queue::async(Task task) const { executor_->post(std::move(task)); }
const std::string& Queue::label() const { return executor_->label(); }
bool Queue::isCurrent() const { return executor_->isCurrent(); }

Group::Group() : state_(std::make_shared<detail::GroupState>()) {}

void Group::enter() const {
  MutexLock lock(state_->mutex);
  ++state_->pending;
}

void Group::leave() const {
  std::vector<std::pair<std::shared_ptr<detail::Executor>, Task>> ready;
  {
    MutexLock lock(state_->mutex);
    if (--state_->pending > 0) return;
    state_->pending = 0;
    ready.swap(state_->notifications);
  }
  state_->idle.notify_all();
  for (auto& [queue, task] : ready) queue->post(std::move(task));
}

void Group::async(const Queue& queue, Task task) const {
  enter();
  queue.async([group = *this, task = std::move(task)] {
    struct Leave {
      const Group& group;
      ~Leave() { group.leave(); }
    } leave{group};
    if (task) task();
  });
}

void Group::notify(const Queue& queue, Task task) const {
  {
    MutexLock lock(state_->mutex);
    if (state_->pending > 0) {
      state_->notifications.emplace_back(queue.executor(), std::move(task));
      return;
    }
  }
  queue.async(std::move(task));
}

void Group::wait() const {
  MutexLock lock(state_->mutex);
  while (state_->pending != 0) state_->idle.wait(lock);
}

Timer::Timer(std::shared_ptr<detail::TimerState> state) : state_(std::move(state)) {}

namespace {

Duration clampInterval(Duration interval) {
  return std::max<Duration>(interval, std::chrono::milliseconds(1));
}

}  // namespace

Timer Timer::after(const Queue& queue, Duration delay, Task task) {
  auto state = std::make_shared<detail::TimerState>(queue.executor(), std::move(task), false, Duration{});
  detail::TimerService::instance().schedule(state, monotonicNow() + std::max<Duration>(delay, Duration{}));
  return Timer(state);
}

Timer Timer::repeating(const Queue& queue, Duration interval, Task task) {
  auto state = std::make_shared<detail::TimerState>(queue.executor(), std::move(task), true, clampInterval(interval));
  detail::TimerService::instance().schedule(state, monotonicNow() + state->interval);
  return Timer(state);
}

void Timer::invalidate() const {
  std::shared_ptr<const Task> task;
  std::shared_ptr<detail::Executor> queue;
  {
    MutexLock lock(state_->mutex);
    state_->valid = false;
    task.swap(state_->task);
    queue.swap(state_->queue);
  }
  // task and queue are released here, outside the lock: their captures may do anything.
}

bool Timer::isValid() const {
  MutexLock lock(state_->mutex);
  return state_->valid;
}

Semaphore::Semaphore(long initial) : state_(std::make_shared<detail::SemaphoreState>(initial)) {}

void Semaphore::signal() const {
  {
    MutexLock lock(state_->mutex);
    ++state_->count;
  }
  state_->positive.notify_one();
}

void Semaphore::wait() const {
  MutexLock lock(state_->mutex);
  while (state_->count <= 0) state_->positive.wait(lock);
  --state_->count;
}

bool Semaphore::tryWait() const {
  MutexLock lock(state_->mutex);
  if (state_->count <= 0) return false;
  --state_->count;
  return true;
}

}  // namespace kivo::dispatch
