#include "capture/capture_ring.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace kivo::capture {

CaptureRing::CaptureRing(size_t capacity)
    : data_(new uint8_t[std::bit_ceil(std::max<size_t>(capacity, 2))]),
      capacity_(std::bit_ceil(std::max<size_t>(capacity, 2))) {}

size_t CaptureRing::available() const noexcept {
  return size_t(head_.load(std::memory_order_acquire) - tail_.load(std::memory_order_relaxed));
}

void CaptureRing::write(const uint8_t* data, size_t size) noexcept {
  const uint64_t head = head_.load(std::memory_order_relaxed);
  const size_t used = size_t(head - tail_.load(std::memory_order_acquire));
  const size_t n = std::min(size, capacity_ - used);
  if (n < size) dropped_.fetch_add(size - n, std::memory_order_relaxed);
  if (n == 0) return;
  const size_t at = size_t(head & (capacity_ - 1));
  const size_t first = std::min(n, capacity_ - at);
  std::memcpy(data_.get() + at, data, first);
  std::memcpy(data_.get(), data + first, n - first);
  head_.store(head + n, std::memory_order_release);
  signal_.notify();
}

void CaptureRing::fail(int status) noexcept {
  failure_.store(status ? status : -1, std::memory_order_release);
  signal_.notify();
}

CaptureRing::Wait CaptureRing::waitFor(size_t size) {
  for (;;) {
    const uint32_t seen = signal_.current();
    if (closed_.load(std::memory_order_acquire)) return Wait::Closed;
    if (available() >= size) return Wait::Ready;
    if (failure_.load(std::memory_order_acquire)) return Wait::Failed;
    signal_.wait(seen);
  }
}

void CaptureRing::read(uint8_t* out, size_t size) noexcept {
  const uint64_t tail = tail_.load(std::memory_order_relaxed);
  const size_t at = size_t(tail & (capacity_ - 1));
  const size_t first = std::min(size, capacity_ - at);
  std::memcpy(out, data_.get() + at, first);
  std::memcpy(out + first, data_.get(), size - first);
  tail_.store(tail + size, std::memory_order_release);
}

void CaptureRing::discardAvailable() noexcept {
  tail_.store(head_.load(std::memory_order_acquire), std::memory_order_release);
}

void CaptureRing::close() noexcept {
  closed_.store(true, std::memory_order_release);
  signal_.notify();
}

void CaptureRing::reset() noexcept {
  head_.store(0);
  tail_.store(0);
  closed_.store(false);
  failure_.store(0);
  dropped_.store(0);
}

}  // namespace kivo::capture
