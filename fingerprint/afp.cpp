// AFPFromSample in its C and C++ forms, and AFPFromPCM.
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

#include "fingerprint/afp_pipeline.h"
#include "kivo/afp.h"
#include "kivo/afp_generator.h"
#include "kivo/log.h"
#include "platform/assert.h"

namespace kivo {
namespace {

constexpr float kSilenceThreshold = 0.0004f;
constexpr float kSilenceRate = 0.6f;

// Words of length bytes, or nothing (too short, or mostly silent).
std::optional<std::vector<uint64_t>> wordsOf(const int16_t* samples, int32_t length) {
  if (length < int32_t(2 * fingerprint::kFrameSamples)) {
    logLine("Insufficient samples");
    return std::nullopt;
  }
  const auto frames = uint32_t(length) / (2 * fingerprint::kFrameSamples);
  std::vector<float> floats, peaks;
  fingerprint::convertFrames(samples, frames, floats, peaks);
  if (fingerprint::mostlySilent(peaks, kSilenceThreshold, kSilenceRate)) return std::nullopt;
  return fingerprint::extractWords(floats);
}

}  // namespace

std::optional<Bytes> AFPFromSample(const int16_t* samples, int32_t length) {
  const auto words = wordsOf(samples, length);
  if (!words) return std::nullopt;
  const auto* bytes = reinterpret_cast<const uint8_t*>(words->data());
  return Bytes(bytes, bytes + words->size() * sizeof(uint64_t));
}

std::optional<Bytes> AFPFromPCM(const Bytes& pcm) {
  if (pcm.size() > size_t(std::numeric_limits<int32_t>::max())) return std::nullopt;
  return AFPFromSample(reinterpret_cast<const int16_t*>(pcm.data()), int32_t(pcm.size()));
}

}  // namespace kivo

extern "C" int AFPFromSample(const int16_t* samples, int32_t length, AFP* afp) {
  KIVO_ASSERT("afp_generator", afp != nullptr);
  *afp = AFP{nullptr, 0};
  try {
    const auto words = kivo::wordsOf(samples, length);
    if (!words) return 0;
    if (words->empty()) return 1;
    auto* copy = static_cast<uint64_t*>(std::malloc(words->size() * sizeof(uint64_t)));
    if (!copy) return 0;
    std::memcpy(copy, words->data(), words->size() * sizeof(uint64_t));
    *afp = AFP{copy, words->size()};
    return 1;
  } catch (const std::bad_alloc&) {
    return 0;
  }
}

extern "C" void AFPRelease(AFP* afp) {
  if (!afp) return;
  std::free(afp->words);
  *afp = AFP{nullptr, 0};
}
