#include "common/virtual_time.h"

#include "kivo/dispatch.h"
#include "platform/executor.h"
#include "platform/timer_service.h"

namespace kivo::test {

WallTime VirtualTime::defaultStart() {
  using namespace std::chrono;
  return sys_days{year{2025} / March / 2};
}

VirtualTime::VirtualTime(WallTime start) : clock_(std::make_shared<ManualClock>(start)) { setClock(clock_); }

VirtualTime::~VirtualTime() {
  settle();
  dispatch::detail::TimerService::instance().invalidateAll();
  setClock(nullptr);
}

size_t VirtualTime::settle() {
  size_t total = 0;
  for (;;) {
    while (size_t ran = dispatch::MainQueue::pump()) total += ran;
    dispatch::detail::waitForBackgroundIdleOrMainWork();
    if (dispatch::detail::mainQueuePending() == 0) return total;
  }
}

void VirtualTime::advance(std::chrono::nanoseconds delta) {
  auto& timers = dispatch::detail::TimerService::instance();
  const MonotonicTime target = clock_->monotonicNow() + delta;
  settle();
  for (auto next = timers.nextDeadline(); next && *next <= target; next = timers.nextDeadline()) {
    clock_->advance(std::max(*next - clock_->monotonicNow(), std::chrono::nanoseconds::zero()));
    settle();
  }
  clock_->advance(target - clock_->monotonicNow());
  settle();
}

}  // namespace kivo::test
