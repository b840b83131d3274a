// The hand-off from a capture device to the recorder's capture thread: a preallocated
// single-producer, single-consumer byte ring. The producer side (CaptureSink) never blocks, locks
// or allocates; what does not fit is dropped and counted. The consumer blocks on a futex.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

#include "capture/futex_signal.h"
#include "kivo/capture_source.h"

namespace kivo::capture {

class CaptureRing final : public CaptureSink {
 public:
  // capacity is rounded up to a power of two.
  explicit CaptureRing(size_t capacity);

  // Producer side.
  void write(const uint8_t* data, size_t size) noexcept override;
  void fail(int status) noexcept override;

  // Consumer side (one thread).
  enum class Wait { Ready, Closed, Failed };
  // Blocks until size bytes can be read (Ready), close() was called, or the stream failed and
  // fewer than size bytes remain.
  Wait waitFor(size_t size);
  // Copies size bytes out. REQUIRES waitFor(size) returned Ready.
  void read(uint8_t* out, size_t size) noexcept;
  void discardAvailable() noexcept;

  // Any thread: wakes the consumer for good (until reset).
  void close() noexcept;
  // Empties the ring and clears close and failure. REQUIRES neither side active.
  void reset() noexcept;

  int failure() const { return failure_.load(std::memory_order_acquire); }
  uint64_t dropped() const { return dropped_.load(std::memory_order_relaxed); }

 private:
  size_t available() const noexcept;

  std::unique_ptr<uint8_t[]> data_;
  size_t capacity_;
  std::atomic<uint64_t> head_{0};  // bytes ever written; producer stores
  std::atomic<uint64_t> tail_{0};  // bytes ever read; consumer stores
  std::atomic<bool> closed_{false};
  std::atomic<int> failure_{0};
  std::atomic<uint64_t> dropped_{0};
  FutexSignal signal_;
};

}  // namespace kivo::capture
