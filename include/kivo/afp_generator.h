// Fingerprinting for the object layer: AFP data from PCM data, the callback-driven AFPGenerator and
// the 44100 Hz to 16000 Hz converter. The AFP format is described in kivo/afp.h.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>

#include "kivo/afp.h"
#include "kivo/bytes.h"
#include "kivo/export.h"

namespace kivo {

// AFP of length bytes of 16000 Hz mono 16-bit samples; nothing under the rules of ::AFPFromSample.
// An AFP of no words (2000 to 21999 bytes of sound) is an empty value, not nothing.
KIVO_API std::optional<Bytes> AFPFromSample(const int16_t* samples, int32_t length);

// AFP of the samples held in pcm. Data of more than INT32_MAX bytes gives nothing.
KIVO_API std::optional<Bytes> AFPFromPCM(const Bytes& pcm);

// Converts 32-bit float samples at 44100 Hz to 16-bit samples at 16000 Hz by picking the input sample
// at or before each output instant (no filtering): output k is input floor(441 k / 160) times 32767,
// truncated toward zero and clamped to the 16-bit range (NaN gives 0). Trailing bytes short of a
// float are ignored.
KIVO_API Bytes downsample44100Float32To16000SInt16(const Bytes& audio);

// Makes an AFP and reports its intermediate products through callbacks, on the calling thread,
// before initWithBuffer returns. Pointer arguments of the callbacks are valid only during the call.
class KIVO_API AFPGenerator {
 public:
  // Codes passed to the callbacks.
  static constexpr int kSuccess = 1;
  static constexpr int kPCMRecorded = 2;
  static constexpr int kAFPGenerated = 3;
  static constexpr int kMostlySilent = -3;
  static constexpr int kTooShort = -4;

  using RequestSuccess = std::function<void(int code, const Bytes& afp, const Bytes& pcm)>;
  using RequestFailure = std::function<void(int code)>;
  using PCMRecordedHandler = std::function<void(int code, const float* samples, int count)>;
  using AFPGeneratedHandler = std::function<void(int code, const uint64_t* words, size_t length)>;

  AFPGenerator() = default;

  // Optional: receives the converted float samples (code 2) before the silence test.
  void pcmRecordedHandler(PCMRecordedHandler handler) { pcmRecorded_ = std::move(handler); }
  // Optional: receives the words and their length in bytes (code 3) before success is reported.
  void afpGeneratedHandler(AFPGeneratedHandler handler) { afpGenerated_ = std::move(handler); }

  // Largest tolerated share of silent frames (0.6) and the peak below which a frame is silent (0.0004).
  float silenceRate() const { return silenceRate_; }
  void setSilenceRate(float rate) { silenceRate_ = rate; }
  float silenceThreshold() const { return silenceThreshold_; }
  void setSilenceThreshold(float threshold) { silenceThreshold_ = threshold; }

  // Fingerprints bufferSize bytes of 16-bit samples at buffer. Calls success with 1, the AFP and the
  // float samples (4 bytes each, native order), or failure with -4 (fewer than 1000 samples, or more
  // than INT32_MAX bytes) or -3 (mostly silent). Keeps copies of both callbacks.
  void initWithBuffer(const void* buffer, uint64_t bufferSize, RequestSuccess success, RequestFailure failure);

 private:
  void fail(int code) const {
    if (requestFailure_) requestFailure_(code);
  }

  RequestSuccess requestSuccess_;
  RequestFailure requestFailure_;
  PCMRecordedHandler pcmRecorded_;
  AFPGeneratedHandler afpGenerated_;
  float silenceRate_ = 0.6f;
  float silenceThreshold_ = 0.0004f;
};

}  // namespace kivo
