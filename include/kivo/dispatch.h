// Task queues, groups, timers and semaphores: where the library's work runs.
//
// Queues
//   Queue::main()      one FIFO queue run by one thread at a time: the library's home. Host calls,
//                      completions and host callbacks run here. The host drives it in one of three
//                      ways (MainQueue below): run() blocking, as a command-line tool does; pump()
//                      from its own event loop; or a wake handler that asks a GUI loop to pump().
//   Queue::global()    the default-priority global queue: a fixed pool of worker threads; tasks
//                      start in FIFO order and run concurrently.
//   Queue::serial(l)   a new serial queue labelled l ("kivo-log-store", ...) with its own thread;
//                      tasks run one at a time in FIFO order.
// Rules every queue keeps
//   - async() never runs the task inline, also when called from a task of the same queue.
//   - Tasks posted from one thread to one serial queue (main included) run in posting order.
//   - A task that throws is caught; a "[ERROR]" line naming the queue goes to the log and the queue
//     carries on. Exceptions never leave a task.
//   - Tasks own what they capture: capture std::shared_ptr (or weak_ptr) to objects, never raw
//     `this` of an object that may go away before the task runs.
// Time
//   Timers read the installed kivo::Clock (platform/clock.h). Under a ManualClock they fire only
//   when the clock is advanced; tests therefore never sleep.
// One-time initialisation
//   Singletons are function-local statics (thread-safe initialisation); other run-once state uses
//   std::call_once.
//
// Queue, Group, Timer and Semaphore are handles: copies refer to the same object, which lives as
// long as any handle or pending task refers to it. All member functions are thread-safe.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

#include "kivo/export.h"

namespace kivo::dispatch {

using Task = std::function<void()>;
using Duration = std::chrono::nanoseconds;

namespace detail {
class Executor;
struct GroupState;
struct TimerState;
struct SemaphoreState;
}  // namespace detail

class KIVO_API Queue {
 public:
  static Queue main();
  static Queue global();
  // A new serial queue. Dropping the last handle lets its queued tasks finish, then its thread ends
  // (joined, unless dropped from one of its own tasks).
  static Queue serial(std::string label);

  // Runs task later on this queue (never inline). An empty task is ignored.
  void async(Task task) const;

  const std::string& label() const;
  // True while the calling thread runs a task of this queue.
  bool isCurrent() const;

  friend bool operator==(const Queue&, const Queue&) = default;

 private:
  friend class Group;
  friend class Timer;
  explicit Queue(std::shared_ptr<detail::Executor> executor);
  const std::shared_ptr<detail::Executor>& executor() const { return executor_; }
  std::shared_ptr<detail::Executor> executor_;
};

// Host control of the main queue. Use one mode; only one thread drives the queue at a time.
class KIVO_API MainQueue {
 public:
  // Runs main-queue tasks on the calling thread until stop(). A stop() that came before run()
  // makes it return at once; either way the request is consumed.
  static void run();
  // Makes run() return after the task in progress. Any thread.
  static void stop();
  // Runs the tasks queued before the call on the calling thread and returns how many ran; tasks
  // they post wait for the next pump. Returns 0 when another thread is driving the queue, and when
  // called from inside a main-queue task (no re-entrancy).
  static size_t pump();
  // Called, on the posting thread and outside any lock, when the main queue gets work while no
  // wake-up is outstanding; the next pump() re-arms it. The handler must only schedule a pump()
  // (for example post an event to the GUI loop), not pump itself. An empty handler removes it.
  static void setWakeHandler(std::function<void()> handler);
};

// Tracks a set of tasks and reports when all have ended.
class KIVO_API Group {
 public:
  Group();

  // Runs task on queue as a member of the group.
  void async(const Queue& queue, Task task) const;
  // Manual membership for work that completes elsewhere; each enter() needs one leave().
  void enter() const;
  void leave() const;
  // Posts task to queue once every member has ended (at once, if none is pending). Each notify
  // fires once; the group may then be reused.
  void notify(const Queue& queue, Task task) const;
  // Blocks until every member has ended. Never call from a task the group waits for.
  void wait() const;

 private:
  std::shared_ptr<detail::GroupState> state_;
};

// A one-shot or repeating timer whose task runs on a queue.
class KIVO_API Timer {
 public:
  // Runs task once on queue after delay. Dropping the handle does not cancel it.
  static Timer after(const Queue& queue, Duration delay, Task task);
  // Runs task on queue every interval (first run one interval from now; intervals below 1 ms are
  // raised to 1 ms) until invalidated. Ticks that fall due while a tick still waits on the queue
  // are skipped, as are ticks missed while the clock jumped.
  static Timer repeating(const Queue& queue, Duration interval, Task task);

  // Stops the timer and releases its task. Once it returns, no tick starts that has not already
  // started; called on the timer's queue, nothing of the timer runs after it.
  void invalidate() const;
  // False once invalidated, and after a one-shot timer has run.
  bool isValid() const;

 private:
  explicit Timer(std::shared_ptr<detail::TimerState> state);
  std::shared_ptr<detail::TimerState> state_;
};

// A counting semaphore.
class KIVO_API Semaphore {
 public:
  explicit Semaphore(long initial = 0);
  void signal() const;
  // Blocks until the count is positive, then decrements it.
  void wait() const;
  // Decrements the count when it is positive; never blocks.
  bool tryWait() const;

 private:
  std::shared_ptr<detail::SemaphoreState> state_;
};

}  // namespace kivo::dispatch
