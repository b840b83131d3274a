// KIVOAudioConverter: an accumulate-then-convert sample-rate converter for mono 16-bit linear PCM,
// and the level arithmetic of captured audio (KIVOBufferSize, KIVOGetAudioLevel, KIVOGetRMSFrom).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>

#include "kivo/bytes.h"
#include "kivo/export.h"

namespace kivo {

// Raised by KIVOAudioConverter's constructor: name() "Failed to initialize audio converter", what()
// "AudioConverterNew() Error Status %d".
class KIVO_API AudioConverterException : public std::runtime_error {
 public:
  explicit AudioConverterException(const std::string& reason) : std::runtime_error(reason) {}
  static constexpr const char* name() { return "Failed to initialize audio converter"; }
};

// Feed captured buffers until needMoreBuffer() is false, then take convertedData(). The resampler
// keeps its filter state from one conversion to the next, and each accumulated byte is handed to it
// exactly once, so consecutive outputs join without a gap or a repeat. Not thread-safe: one thread
// (the capture thread) uses a converter. All buffers are allocated at construction.
class KIVO_API KIVOAudioConverter {
 public:
  // Throws AudioConverterException for a rate that is not finite and positive, a sampleByteSize
  // other than 2, a zero sample count, an accumulation area above 4 GiB, or a resampler failure.
  KIVOAudioConverter(double sourceSampleRate, double targetSampleRate, uint32_t sampleByteSize,
                     uint32_t requiredNumberOfSamples);
  ~KIVOAudioConverter();
  KIVOAudioConverter(const KIVOAudioConverter&) = delete;
  KIVOAudioConverter& operator=(const KIVOAudioConverter&) = delete;

  // Appends as much of the buffer as fits; logs "WARN: Skip blank audio buffer" for 0 bytes and
  // "I: converter buffer exceeded..." when there is no room at all. Excess bytes are dropped.
  void feedBuffer(const uint8_t* bytes, size_t size);
  bool needMoreBuffer() const { return offset_ < requiredBufferByteSize(); }
  uint32_t requiredBufferByteSize() const;
  uint32_t remainBufferSpace() const { return bufferSize_ - offset_; }

  // Converts the accumulated input in one resampler call; on success empties the accumulation
  // area (input the resampler did not take stays for the next call). At most the required sample
  // count comes out. On failure logs "Failed to convert audio buffer: AudioConverterFillComplexBuffer()
  // Error Status %d" and keeps the input. convertedData() allocates its result; convertInto()
  // writes into out (at least requiredSampleBytes() long) and returns the byte count.
  std::optional<Bytes> convertedData();
  std::optional<size_t> convertInto(std::span<uint8_t> out);
  void cleanBuffer() { offset_ = 0; }

  double sourceSampleRate() const { return sourceRate_; }
  double targetSampleRate() const { return targetRate_; }
  uint32_t sampleByteSize() const { return sampleByteSize_; }
  uint32_t bufferSize() const { return bufferSize_; }
  uint32_t offset() const { return offset_; }
  const uint8_t* buffer() const { return buffer_.get(); }
  uint32_t requiredSampleBytes() const { return requiredSamples_ * sampleByteSize_; }

  // Where the converter's log lines go; by default logLine. The recorder routes them through its
  // capture-thread log, which neither locks nor allocates.
  using LogHook = void (*)(void* context, const char* line) noexcept;
  void setLogHook(LogHook hook, void* context) {
    logHook_ = hook;
    logContext_ = context;
  }

  static constexpr uint32_t maxOutputBufferByteSize = 32000;
  static constexpr uint32_t maxOutputBufferPacketSize = 16000;

 private:
  void log(const char* line) const;

  double sourceRate_;
  double targetRate_;
  double ratio_;
  uint32_t requiredSamples_;
  uint32_t sampleByteSize_;
  uint32_t bufferSize_ = 0;
  uint32_t offset_ = 0;
  std::unique_ptr<uint8_t[]> buffer_;
  std::unique_ptr<uint8_t[]> output_;
  struct Resampler;
  std::unique_ptr<Resampler> resampler_;
  LogHook logHook_ = nullptr;
  void* logContext_ = nullptr;
};

// Bytes for seconds of 16000 Hz 16-bit mono audio, rounded up to whole samples: ceil(seconds x
// 32000), plus 1 when odd. A negative or non-finite duration counts as 0; huge ones saturate.
KIVO_API uint64_t KIVOBufferSize(double seconds);
// (peak magnitude << 16) | mean magnitude of the 16-bit samples in size bytes; 0 below one sample.
KIVO_API uint32_t KIVOGetAudioLevel(const int16_t* samples, uint64_t size);
// The mean magnitude of KIVOGetAudioLevel, read as a signed 16-bit value, over 32767.
KIVO_API float KIVOGetRMSFrom(const int16_t* samples, uint64_t size);

}  // namespace kivo
