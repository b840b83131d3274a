#include "common/main_queue_wait.h"

#include <condition_variable>
#include <memory>
#include <mutex>

#include "kivo/dispatch.h"

namespace kivo::test {

bool pumpMainUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
  struct Wake {
    std::mutex mutex;
    std::condition_variable arrived;
    bool pending = false;  // guarded by mutex
  };
  auto wake = std::make_shared<Wake>();
  dispatch::MainQueue::setWakeHandler([wake] {
    std::lock_guard lock(wake->mutex);
    wake->pending = true;
    wake->arrived.notify_all();
  });
  const auto deadline = std::chrono::steady_clock::now() + limit;
  bool held = false;
  for (;;) {
    {
      std::lock_guard lock(wake->mutex);
      wake->pending = false;
    }
    dispatch::MainQueue::pump();
    if ((held = done())) break;
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) break;
    std::unique_lock lock(wake->mutex);
    wake->arrived.wait_until(lock, std::min(deadline, now + std::chrono::milliseconds(2)), [&] { return wake->pending; });
  }
  dispatch::MainQueue::setWakeHandler({});
  return held;
}

}  // namespace kivo::test
