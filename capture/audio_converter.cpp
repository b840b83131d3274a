#include "kivo/audio_converter.h"

#include <soxr.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "kivo/format.h"
#include "kivo/log.h"

namespace kivo {
namespace {

constexpr int kInvalidArgument = -50;  // the platform's parameter error
constexpr int kResamplerFailure = -1;

[[noreturn]] void fail(int status) {
  throw AudioConverterException(format("AudioConverterNew() Error Status %d", status));
}

}  // namespace

struct KIVOAudioConverter::Resampler {
  soxr_t soxr = nullptr;
  ~Resampler() {
    if (soxr) soxr_delete(soxr);
  }
};

KIVOAudioConverter::KIVOAudioConverter(double sourceSampleRate, double targetSampleRate, uint32_t sampleByteSize,
                                       uint32_t requiredNumberOfSamples)
    : sourceRate_(sourceSampleRate),
      targetRate_(targetSampleRate),
      ratio_(sourceSampleRate / targetSampleRate),
      requiredSamples_(requiredNumberOfSamples),
      sampleByteSize_(sampleByteSize) {
  const bool ratesOk = std::isfinite(sourceSampleRate) && std::isfinite(targetSampleRate) && sourceSampleRate > 0 &&
                       targetSampleRate > 0 && std::isfinite(ratio_);
  if (!ratesOk || sampleByteSize != 2 || requiredNumberOfSamples == 0) fail(kInvalidArgument);
  const double size = std::ceil(ratio_) * double(requiredNumberOfSamples) * double(sampleByteSize);
  if (size > double(std::numeric_limits<uint32_t>::max())) fail(kInvalidArgument);
  bufferSize_ = uint32_t(size);
  buffer_.reset(new uint8_t[bufferSize_]);
  output_.reset(new uint8_t[requiredSampleBytes()]);

  soxr_error_t error = nullptr;
  const soxr_io_spec_t io = soxr_io_spec(SOXR_INT16_I, SOXR_INT16_I);
  const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
  resampler_ = std::make_unique<Resampler>();
  resampler_->soxr = soxr_create(sourceSampleRate, targetSampleRate, 1, &error, &io, &quality, nullptr);
  if (error || !resampler_->soxr) fail(kResamplerFailure);
}

KIVOAudioConverter::~KIVOAudioConverter() = default;

uint32_t KIVOAudioConverter::requiredBufferByteSize() const {
  return uint32_t(ratio_ * double(requiredSampleBytes()));
}

void KIVOAudioConverter::log(const char* line) const {
  if (logHook_)
    logHook_(logContext_, line);
  else
    logLine(line);
}

void KIVOAudioConverter::feedBuffer(const uint8_t* bytes, size_t size) {
  if (size == 0) {
    log("WARN: Skip blank audio buffer");
    return;
  }
  const size_t n = std::min<size_t>(remainBufferSpace(), size);
  if (n == 0) {
    log("I: converter buffer exceeded...");
    return;
  }
  std::memcpy(buffer_.get() + offset_, bytes, n);
  offset_ += uint32_t(n);
}

std::optional<size_t> KIVOAudioConverter::convertInto(std::span<uint8_t> out) {
  const size_t inFrames = offset_ / sampleByteSize_;
  const size_t outFrames = std::min<size_t>(requiredSamples_, out.size() / sampleByteSize_);
  size_t used = 0;
  size_t made = 0;
  soxr_error_t error = soxr_process(resampler_->soxr, buffer_.get(), inFrames, &used, output_.get(), outFrames, &made);
  if (error) {
    char line[128];
    std::snprintf(line, sizeof line,
                  "Failed to convert audio buffer: AudioConverterFillComplexBuffer() Error Status %d", -1);
    log(line);
    return std::nullopt;
  }
  const size_t bytes = std::min<size_t>(requiredSampleBytes(), made * sampleByteSize_);
  std::memcpy(out.data(), output_.get(), bytes);
  // Input the resampler did not take moves to the front, so it is fed once, in order.
  const size_t usedBytes = used * sampleByteSize_;
  std::memmove(buffer_.get(), buffer_.get() + usedBytes, offset_ - usedBytes);
  offset_ -= uint32_t(usedBytes);
  return bytes;
}

std::optional<Bytes> KIVOAudioConverter::convertedData() {
  Bytes data(requiredSampleBytes());
  auto bytes = convertInto(data);
  if (!bytes) return std::nullopt;
  data.resize(*bytes);
  return data;
}

uint64_t KIVOBufferSize(double seconds) {
  if (!std::isfinite(seconds) || seconds < 0) seconds = 0;
  const double n = std::ceil(seconds * 32000.0);
  constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max() - 1;  // even
  if (n >= 18446744073709549568.0) return kMax;                       // largest double below 2^64
  const uint64_t bytes = uint64_t(n);
  return bytes + (bytes & 1);
}

uint32_t KIVOGetAudioLevel(const int16_t* samples, uint64_t size) {
  const uint64_t count = size / 2;
  if (count < 1 || !samples) return 0;
  uint64_t sum = 0;
  uint16_t peak = 0;
  for (uint64_t i = 0; i < count; ++i) {
    const int32_t s = samples[i];
    const uint16_t m = uint16_t(s < 0 ? -s : s);
    sum += m;
    if (int32_t(m) > int32_t(int16_t(peak))) peak = m;
  }
  return (uint32_t(peak) << 16) | uint32_t((sum / count) & 0xFFFF);
}

float KIVOGetRMSFrom(const int16_t* samples, uint64_t size) {
  return float(double(int16_t(KIVOGetAudioLevel(samples, size) & 0xFFFF)) / 32767.0);
}

}  // namespace kivo
