// Decodes any audio file libsndfile reads into 16000 Hz mono 16-bit PCM, the library's input format.
#pragma once

#include <cstdint>
#include <string>
#include <variant>
#include <vector>

namespace kivo::tool {

struct DecodedAudio {
  std::vector<int16_t> samples;  // 16000 Hz mono
  double sourceRate = 0;
  int sourceChannels = 0;
};

// Channels are averaged to mono and the rate converted with libsoxr at high quality (no dither).
// On failure returns the reason, one line, without the file name.
std::variant<DecodedAudio, std::string> decodeAudioFile(const std::string& path);

}  // namespace kivo::tool
