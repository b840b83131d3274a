// Log lines from the capture thread, which must neither lock nor allocate: push() formats into a
// fixed slot of a bounded single-producer queue (dropping the line when the queue is full), and a
// writer thread of the log hands the lines on to the platform log or the debug log file.
#pragma once

#include <atomic>
#include <cstdint>
#include <thread>

#include "capture/futex_signal.h"

namespace kivo::capture {

class CaptureLog {
 public:
  enum class Kind : uint8_t {
    Line,       // logLine
    DebugLine,  // logDebugLine (only while debug lines are on)
    DebugFile,  // KIVODebugLog (only while the debug log file has a path)
  };

  CaptureLog();   // starts the writer thread
  ~CaptureLog();  // writes what is queued, then joins the writer
  CaptureLog(const CaptureLog&) = delete;
  CaptureLog& operator=(const CaptureLog&) = delete;

  // One producer thread at a time. printf-style, truncated to the slot size.
  void push(Kind kind, const char* format, ...) noexcept __attribute__((format(printf, 3, 4)));
  // Blocks until every line pushed before the call was written. Any thread but the writer.
  void flush();
  uint64_t droppedLines() const { return dropped_.load(std::memory_order_relaxed); }

 private:
  static constexpr size_t kSlots = 64;
  static constexpr size_t kLineBytes = 240;
  struct Slot {
    Kind kind;
    char text[kLineBytes];
  };

  void run();

  Slot slots_[kSlots];
  std::atomic<uint64_t> head_{0};  // lines pushed
  std::atomic<uint64_t> tail_{0};  // lines written
  std::atomic<uint64_t> dropped_{0};
  std::atomic<bool> stopping_{false};
  FutexSignal pushed_;
  FutexSignal written_;
  std::thread writer_;
};

}  // namespace kivo::capture
