// Decodes any audio file libsndfile reads into 16000 Hz mono 16-bit PCM, the library's input format.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <variant>
#include <vector>

namespace kivo::tool {

struct DecodedAudio {
  std::vector<int16_t> samples;  // 16000 Hz mono
  double sourceRate = 0;
  int sourceChannels = 0;
};

// The most samples a decode returns by default: the most AFPFromSample takes (18.6 hours at 16 kHz).
inline constexpr size_t kMaxDecodedSamples = size_t(std::numeric_limits<int32_t>::max()) / 2;

// Reads the file in fixed chunks, mixing channels to mono and converting the rate with libsoxr at
// high quality (no dither) as it goes; memory follows the decoded length, never a header's claims.
// Reads pipes and files whose length is unknown. On failure (unreadable, damaged, or longer than
// maxSamples at 16 kHz) returns the reason, one line, without the file name.
std::variant<DecodedAudio, std::string> decodeAudioFile(const std::string& path,
                                                        size_t maxSamples = kMaxDecodedSamples);

}  // namespace kivo::tool
