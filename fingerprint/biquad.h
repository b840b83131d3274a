// Second-order filter sections and cascades as the band filters use them.
#pragma once

#include <array>
#include <cstddef>

namespace kivo::dsp {

// One direct-form-II section: w = (x - a1*v1) - a2*v2, y = (b0*w + b1*v1) + b2*v2 (a0 is 1).
struct Biquad {
  double a1, a2, b0, b1, b2;
};

// Up to six sections run in order, the first carrying the overall gain in its numerator.
struct BiquadCascade {
  static constexpr size_t kMaxStages = 6;
  std::array<Biquad, kMaxStages> stages{};
  size_t count = 0;
};

}  // namespace kivo::dsp
