#include "kivo/afp_generator.h"

#include <cstring>
#include <limits>

#include "fingerprint/afp_pipeline.h"

namespace kivo {

void AFPGenerator::initWithBuffer(const void* buffer, uint64_t bufferSize, RequestSuccess success,
                                  RequestFailure failure) {
  requestSuccess_ = std::move(success);
  requestFailure_ = std::move(failure);
  if (bufferSize < 2 * fingerprint::kFrameSamples || bufferSize > uint64_t(std::numeric_limits<int32_t>::max())) {
    fail(kTooShort);
    return;
  }
  const auto frames = uint32_t(bufferSize / (2 * fingerprint::kFrameSamples));
  std::vector<float> floats, peaks;
  fingerprint::convertFrames(static_cast<const int16_t*>(buffer), frames, floats, peaks);
  if (pcmRecorded_) pcmRecorded_(kPCMRecorded, floats.data(), int(floats.size()));
  if (fingerprint::mostlySilent(peaks, silenceThreshold_, silenceRate_)) {
    fail(kMostlySilent);
    return;
  }
  const std::vector<uint64_t> words = fingerprint::extractWords(floats);
  const size_t afpBytes = words.size() * sizeof(uint64_t);
  if (afpGenerated_) afpGenerated_(kAFPGenerated, words.data(), afpBytes);
  if (!requestSuccess_) return;
  const auto* wordBytes = reinterpret_cast<const uint8_t*>(words.data());
  const auto* floatBytes = reinterpret_cast<const uint8_t*>(floats.data());
  requestSuccess_(kSuccess, Bytes(wordBytes, wordBytes + afpBytes),
                  Bytes(floatBytes, floatBytes + floats.size() * sizeof(float)));
}

}  // namespace kivo
