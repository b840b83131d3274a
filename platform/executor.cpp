#include "platform/executor.h"

#include <condition_variable>
#include <deque>
#include <exception>
#include <thread>
#include <vector>

#include "kivo/format.h"
#include "kivo/log.h"
#include "kivo/thread_annotations.h"

namespace kivo::dispatch::detail {
namespace {

thread_local const Executor* currentExecutor = nullptr;

struct Activity {
  Mutex mutex;
  std::condition_variable_any changed;
  size_t background KIVO_GUARDED_BY(mutex) = 0;
};

Activity& activity() {
  static auto* instance = new Activity;
  return *instance;
}

// A FIFO of tasks served by one or more threads.
class ThreadedExecutor : public Executor, public std::enable_shared_from_this<ThreadedExecutor> {
 public:
  ThreadedExecutor(std::string label, size_t threads) : Executor(std::move(label)), threadCount_(threads) {}

  void post(Task task) override {
    if (!task) return;
    backgroundTaskQueued();
    {
      MutexLock lock(mutex_);
      tasks_.push_back(std::move(task));
      if (threads_.empty())
        for (size_t i = 0; i < threadCount_; ++i) threads_.emplace_back([self = shared_from_this()] { self->serve(); });
    }
    ready_.notify_one();
  }

  // Lets queued tasks finish, then ends the threads; joins them unless called from one of them.
  // Each thread holds the executor, so a detached one finishes safely.
  void close() {
    std::vector<std::thread> threads;
    {
      MutexLock lock(mutex_);
      closing_ = true;
      threads.swap(threads_);
    }
    ready_.notify_all();
    for (auto& thread : threads) {
      if (thread.get_id() == std::this_thread::get_id())
        thread.detach();
      else
        thread.join();
    }
  }

 private:
  void serve() {
    for (;;) {
      Task task;
      {
        MutexLock lock(mutex_);
        while (!closing_ && tasks_.empty()) ready_.wait(lock);
        if (tasks_.empty()) return;
        task = std::move(tasks_.front());
        tasks_.pop_front();
      }
      runTask(task);
      task = nullptr;  // captured objects die before the task counts as finished
      backgroundTaskFinished();
    }
  }

  const size_t threadCount_;
  Mutex mutex_;
  std::condition_variable_any ready_;
  std::deque<Task> tasks_ KIVO_GUARDED_BY(mutex_);
  std::vector<std::thread> threads_ KIVO_GUARDED_BY(mutex_);  // started by the first post
  bool closing_ KIVO_GUARDED_BY(mutex_) = false;
};

// Owned by the handles of one serial queue; closes the executor when the last handle goes.
class SerialOwner {
 public:
  explicit SerialOwner(std::shared_ptr<ThreadedExecutor> executor) : executor_(std::move(executor)) {}
  ~SerialOwner() { executor_->close(); }
  SerialOwner(const SerialOwner&) = delete;
  SerialOwner& operator=(const SerialOwner&) = delete;

 private:
  std::shared_ptr<ThreadedExecutor> executor_;
};

}  // namespace

bool Executor::isCurrent() const { return currentExecutor == this; }

void Executor::runTask(Task& task) {
  const Executor* outer = currentExecutor;
  currentExecutor = this;
  try {
    task();
  } catch (const std::exception& e) {
    logLine(format("[ERROR] Uncaught exception in a task on queue %@: %@", label_, e.what()));
  } catch (...) {
    logLine(format("[ERROR] Uncaught exception in a task on queue %@", label_));
  }
  currentExecutor = outer;
}

const std::shared_ptr<Executor>& globalExecutor() {
  static auto* instance = new std::shared_ptr<Executor>(std::make_shared<ThreadedExecutor>(
      "kivo.queue.global", std::max(2u, std::thread::hardware_concurrency())));
  return *instance;
}

std::shared_ptr<Executor> makeSerialExecutor(std::string label) {
  auto executor = std::make_shared<ThreadedExecutor>(std::move(label), 1);
  auto owner = std::make_shared<SerialOwner>(executor);
  return std::shared_ptr<Executor>(owner, executor.get());
}

void backgroundTaskQueued() {
  MutexLock lock(activity().mutex);
  ++activity().background;
}

void backgroundTaskFinished() {
  {
    MutexLock lock(activity().mutex);
    --activity().background;
  }
  activity().changed.notify_all();
}

void mainTaskQueued() {
  { MutexLock lock(activity().mutex); }
  activity().changed.notify_all();
}

void waitForBackgroundIdleOrMainWork() {
  MutexLock lock(activity().mutex);
  while (activity().background != 0 && mainQueuePending() == 0) activity().changed.wait(lock);
}

}  // namespace kivo::dispatch::detail
