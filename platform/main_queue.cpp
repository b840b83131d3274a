// The main queue: a FIFO drained by whichever host thread runs or pumps it.
#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

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
      std::lock_guard lock(mutex_);
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
    std::lock_guard lock(mutex_);
    return tasks_.size();
  }

  void setWakeHandler(std::function<void()> handler) {
    std::lock_guard lock(mutex_);
    wakeHandler_ = handler ? std::make_shared<const std::function<void()>>(std::move(handler)) : nullptr;
    wakePending_ = false;
  }

  void run() {
    if (!claim()) return;
    for (;;) {
      Task task;
      {
        std::unique_lock lock(mutex_);
        ready_.wait(lock, [this] { return stopRequested_ || !tasks_.empty(); });
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
      std::lock_guard lock(mutex_);
      stopRequested_ = true;
    }
    ready_.notify_all();
  }

  size_t pump() {
    if (isCurrent() || !claim()) return 0;
    size_t count;
    {
      std::lock_guard lock(mutex_);
      wakePending_ = false;
      count = tasks_.size();
    }
    for (size_t i = 0; i < count; ++i) {
      Task task;
      {
        std::lock_guard lock(mutex_);
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
      std::lock_guard lock(mutex_);
      if (wakeHandler_ && !wakePending_ && !tasks_.empty()) {
        wakePending_ = true;
        wake = wakeHandler_;
      }
    }
    if (wake) (*wake)();
  }

  std::atomic<std::thread::id> driver_{};  // the thread running or pumping, if any
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<Task> tasks_;                                  // guarded by mutex_
  std::shared_ptr<const std::function<void()>> wakeHandler_;  // guarded by mutex_
  bool wakePending_ = false;                                // guarded by mutex_
  bool stopRequested_ = false;                              // guarded by mutex_
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
