#include "capture/capture_log.h"

#include <cstdarg>
#include <cstdio>

#include "kivo/debug_log.h"
#include "kivo/log.h"

namespace kivo::capture {

CaptureLog::CaptureLog() : writer_([this] { run(); }) {}

CaptureLog::~CaptureLog() {
  stopping_.store(true, std::memory_order_release);
  pushed_.notify();
  writer_.join();
}

void CaptureLog::push(Kind kind, const char* format, ...) noexcept {
  const uint64_t head = head_.load(std::memory_order_relaxed);
  if (head - tail_.load(std::memory_order_acquire) >= kSlots) {
    dropped_.fetch_add(1, std::memory_order_relaxed);
    return;
  }
  Slot& slot = slots_[head % kSlots];
  slot.kind = kind;
  va_list args;
  va_start(args, format);
  std::vsnprintf(slot.text, sizeof slot.text, format, args);
  va_end(args);
  head_.store(head + 1, std::memory_order_release);
  pushed_.notify();
}

void CaptureLog::flush() {
  const uint64_t target = head_.load(std::memory_order_acquire);
  for (;;) {
    const uint32_t seen = written_.current();
    if (tail_.load(std::memory_order_acquire) >= target) return;
    pushed_.notify();
    written_.wait(seen);
  }
}

void CaptureLog::run() {
  for (;;) {
    const uint32_t seen = pushed_.current();
    const uint64_t head = head_.load(std::memory_order_acquire);
    for (uint64_t tail = tail_.load(std::memory_order_relaxed); tail < head; ++tail) {
      const Slot& slot = slots_[tail % kSlots];
      switch (slot.kind) {
        case Kind::Line: logLine(slot.text); break;
        case Kind::DebugLine: logDebugLine(slot.text); break;
        case Kind::DebugFile: KIVODebugLog("%@", std::string_view(slot.text)); break;
      }
      tail_.store(tail + 1, std::memory_order_release);
    }
    written_.notify();
    if (stopping_.load(std::memory_order_acquire) && tail_.load() == head_.load(std::memory_order_acquire)) return;
    pushed_.wait(seen);
  }
}

}  // namespace kivo::capture
