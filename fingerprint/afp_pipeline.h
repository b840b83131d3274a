// Steps shared by the AFP functions and AFPGenerator: PCM to floats with per-frame peaks, the
// silence rule, and extraction with the 16000 Hz band table.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace kivo::fingerprint {

inline constexpr uint32_t kFrameSamples = 1000;
inline constexpr double kSampleRate = 16000;

// Converts whole frames of 16-bit samples to floats (s * 2^-15) into samples and records each frame's
// peak (the largest value, starting from 0, so a frame of negative samples peaks at 0).
void convertFrames(const int16_t* pcm, uint32_t frames, std::vector<float>& samples, std::vector<float>& peaks);

// True when more than rate of the frames peak below threshold: rate * frames < silent frames.
bool mostlySilent(std::span<const float> peaks, float threshold, float rate);

// AFP words of whole frames of float samples at 16000 Hz.
std::vector<uint64_t> extractWords(std::span<const float> samples);

}  // namespace kivo::fingerprint
