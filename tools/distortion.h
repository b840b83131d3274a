// Distortions of 16000 Hz mono audio for measuring recognition: noise at a given SNR, gain,
// telephone band, a lossy codec round trip and room reverberation.
#pragma once

#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <vector>

namespace kivo::tool {

using Samples = std::vector<int16_t>;

struct Distortion {
  std::string name;
  // Returns the distorted copy of an excerpt; rng gives the distortion's own randomness.
  std::function<Samples(const Samples&, std::mt19937&)> apply;
};

// White (flat) or pink (-3 dB per octave) noise scaled so that the excerpt's power over the noise's is snrDb.
Samples addNoise(const Samples& x, double snrDb, bool pink, std::mt19937& rng);
Samples applyGain(const Samples& x, double db);
// 300 to 3400 Hz band-pass (Chebyshev type I, order 4).
Samples telephoneBand(const Samples& x);
// A room: Schroeder reverberator (four combs, two all-passes), about 0.6 s decay, mixed with the dry signal.
Samples reverberate(const Samples& x);
// Opus at the given bit rate and back, through opusenc and opusdec; empty when they fail.
Samples opusRoundTrip(const Samples& x, int kbps, const std::string& scratchDir);

// The standard set: none, white and pink noise at 20, 10, 5 and 0 dB, gain -12 dB, telephone band,
// Opus at 64 kbit/s, and reverberation.
std::vector<Distortion> standardDistortions(const std::string& scratchDir);

// Power of the samples as mean square of full-scale floats.
double meanSquare(const Samples& x);

}  // namespace kivo::tool
