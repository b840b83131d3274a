// A wake-up counter for one waiting thread: notify() never blocks, locks or allocates (a futex
// wake), so real-time producers may call it. wait(seen) sleeps while the counter still equals seen.
#pragma once

#include <atomic>
#include <cstdint>

namespace kivo::capture {

class FutexSignal {
 public:
  uint32_t current() const { return counter_.load(std::memory_order_acquire); }
  void notify() noexcept;
  // Returns at once if the counter moved past seen; spurious returns are possible.
  void wait(uint32_t seen) const noexcept;

 private:
  std::atomic<uint32_t> counter_{0};
  static_assert(std::atomic<uint32_t>::is_always_lock_free && sizeof(std::atomic<uint32_t>) == sizeof(uint32_t));
};

}  // namespace kivo::capture
