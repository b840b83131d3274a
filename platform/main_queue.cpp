// The main queue: a FIFO drained by whichever host thread runs or pumps it.
#include <atomic>
#include <condition_variable>
#include <deque>
#include <thread>

#include "kivo/thread_annotations.h"
#include "platform/executor.h"

namespace kivo::dispatch {
namespace detail {
namespace {

class MainExecutor final : public Executor {
 public:
  MainExecutor() : Executor("kivo.queue.main") {}

  void post(Task task) override {
    if (!task) return;
    std::shared_ptr<const std::function<void()>> wake;
    {
      MutexLock lock(mutex_);
      tasks_.push_back(std::move(task));
      if (wakeHandler_ && !wakePending_) {
        wakePending_ = true;
        wake = wakeHandler_;
      }
    }
    ready_.notify_one();
    mainTaskQueued();
    if (wake) (*wake)();
  }

  size_t pending() {
    MutexLock lock(mutex_);
    return tasks_.size();
  }

  void setWakeHandler(std::function<void()> handler) {
    MutexLock lock(mutex_);
    wakeHandler_ = handler ? std::make_shared<const std::function<void()>>(std::move(handler)) : nullptr;
    wakePending_ = false;
  }

  void run() {
    if (!claim()) return;
    for (;;) {
      Task task;
      {
        MutexLock lock(mutex_);
        while (!stopRequested_ && tasks_.empty()) ready_.wait(lock);
        if (stopRequested_) {
          stopRequested_ = false;
          break;
        }
        task = std::move(tasks_.front());
        tasks_.pop_front();
      }
      runTask(task);
    }
    release();
  }

  void stop() {
    {
      MutexLock lock(mutex_);
      stopRequested_ = true;
    }
    ready_.notify_all();
  }

  size_t pump() {
    if (isCurrent() || !claim()) return 0;
    size_t count;
    {
      MutexLock lock(mutex_);
      wakePending_ = false;
      count = tasks_.size();
    }
    for (size_t i = 0; i < count; ++i) {
      Task task;
      {
        MutexLock lock(mutex_);
        task = std::move(tasks_.front());
        tasks_.pop_front();
      }
      runTask(task);
    }
    release();
    rearmWake();
    return count;
  }

 private:
  bool claim() {
    std::thread::id none;
    return driver_.compare_exchange_strong(none, std::this_thread::get_id());
  }
  void release() { driver_.store(std::thread::id()); }

  // Tasks posted during a pump wait for the next one; make sure the host is asked for it.
  void rearmWake() {
    std::shared_ptr<const std::function<void()>> wake;
    {
      MutexLock lock(mutex_);
      if (wakeHandler_ && !wakePending_ && !tasks_.empty()) {
        wakePending_ = true;
        wake = wakeHandler_;
      }
    }
    if (wake) (*wake)();
  }

  std::atomic<std::thread::id> driver_{};  // the thread running or pumping, if any
  Mutex mutex_;
  std::condition_variable_any ready_;
  std::deque<Task> tasks_ KIVO_GUARDED_BY(mutex_);
  std::shared_ptr<const std::function<void()>> wakeHandler_ KIVO_GUARDED_BY(mutex_);
  bool wakePending_ KIVO_GUARDED_BY(mutex_) = false;
  bool stopRequested_ KIVO_GUARDED_BY(mutex_) = false;
};

MainExecutor& mainInstance() {
  static auto* instance = new MainExecutor;
  return *instance;
}

}  // namespace

const std::shared_ptr<Executor>& mainExecutor() {
  static auto* instance = new std::shared_ptr<Executor>(std::shared_ptr<Executor>(), &mainInstance());
  return *instance;
}

size_t mainQueuePending() { return mainInstance().pending(); }

}  // namespace detail

void MainQueue::run() { detail::mainInstance().run(); }
void MainQueue::stop() { detail::mainInstance().stop(); }
size_t MainQueue::pump() { return detail::mainInstance().pump(); }
void MainQueue::setWakeHandler(std::function<void()> handler) {
  detail::mainInstance().setWakeHandler(std::move(handler));
}

}  // namespace kivo::dispatch
