// Reference data for the fingerprint tests: PCM and AFP files and the reference filter table.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "fingerprint/biquad.h"

namespace kivo::test {

std::vector<int16_t> readPcm(const std::string& name);
std::vector<uint64_t> readAfp(const std::string& name);

struct ReferenceBand {
  unsigned kind = 0;
  double centre = 0, width = 0;
  dsp::BiquadCascade cascade;
};

// The 64 bands of filterbank-16k.txt.
std::array<ReferenceBand, 64> readReferenceFilters();

// Float samples as the AFP functions convert them.
std::vector<float> toFloats(const std::vector<int16_t>& pcm);

}  // namespace kivo::test
