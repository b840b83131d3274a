// Deterministic test signals at 16000 Hz, as float samples in [-1, 1] or 16-bit PCM.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kivo::test {

// Uniform noise of the given amplitude.
std::vector<float> noise(size_t samples, float amplitude, uint32_t seed);

// Music-like material: plucked notes with harmonics and decaying envelopes over a bass line, with
// noise bursts as percussion and a few silent gaps.
std::vector<float> music(size_t samples, uint32_t seed);

// A sine of frequency hz whose amplitude grows from start to end (linearly), plus noise.
std::vector<float> risingTone(size_t samples, double hz, float start, float end, float noiseAmplitude);

// Floats to 16-bit PCM (rounded, clamped).
std::vector<int16_t> toPcm(const std::vector<float>& x);

}  // namespace kivo::test
