#include "capture/futex_signal.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <climits>

namespace kivo::capture {

void FutexSignal::notify() noexcept {
  counter_.fetch_add(1, std::memory_order_acq_rel);
  ::syscall(SYS_futex, reinterpret_cast<uint32_t*>(&counter_), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
}

void FutexSignal::wait(uint32_t seen) const noexcept {
  if (counter_.load(std::memory_order_acquire) != seen) return;
  ::syscall(SYS_futex, reinterpret_cast<const uint32_t*>(&counter_), FUTEX_WAIT_PRIVATE, seen, nullptr, nullptr, 0);
}

}  // namespace kivo::capture
