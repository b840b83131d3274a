// The executors behind dispatch::Queue, and the activity counters that test helpers wait on.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "kivo/dispatch.h"

namespace kivo::dispatch::detail {

// Runs posted tasks; post() never runs a task inline. Thread-safe.
class Executor {
 public:
  explicit Executor(std::string label) : label_(std::move(label)) {}
  virtual ~Executor() = default;
  Executor(const Executor&) = delete;
  Executor& operator=(const Executor&) = delete;

  virtual void post(Task task) = 0;
  const std::string& label() const { return label_; }
  bool isCurrent() const;

 protected:
  // Runs task on the calling thread with this executor marked current; catches what it throws.
  void runTask(Task& task);

 private:
  std::string label_;
};

// Process-wide executors; never destroyed.
const std::shared_ptr<Executor>& mainExecutor();
const std::shared_ptr<Executor>& globalExecutor();
// A new serial executor with its own thread; the thread ends when the last pointer is dropped.
std::shared_ptr<Executor> makeSerialExecutor(std::string label);

// Counts tasks queued or running on every queue but the main queue.
void backgroundTaskQueued();
void backgroundTaskFinished();
// Wakes waitForBackgroundIdleOrMainWork() after a main-queue post.
void mainTaskQueued();
// Number of tasks waiting on the main queue.
size_t mainQueuePending();
// Blocks until no background task is queued or running, or the main queue has tasks. For tests.
void waitForBackgroundIdleOrMainWork();

}  // namespace kivo::dispatch::detail
