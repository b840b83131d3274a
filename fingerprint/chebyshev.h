// Chebyshev type I band-pass design: an analog low-pass prototype of the given order with the given
// pass-band ripple, turned into the digital band-pass with edges centre -/+ width/2 by the
// low-pass-to-band-pass substitution and the bilinear transform with prewarped edges.
#pragma once

#include <complex>

#include "fingerprint/biquad.h"

namespace kivo::dsp {

// Sections in cascade order: each prototype pole pair gives two sections, the first with zeros at
// z = -1 and the second at z = +1 (so numerators alternate (1, 2, 1) and (1, -2, 1)); the first
// section's numerator carries the gain that puts the response at -rippleDb at the pass band's
// geometric centre. REQUIRES: order even, 2 <= order <= 6, 0 < centre -/+ width/2 < sampleRate/2.
BiquadCascade chebyshevBandPass(int order, double sampleRate, double centre, double width, double rippleDb);

// Complex response of the cascade at normalised angular frequency omega (radians per sample).
std::complex<double> response(const BiquadCascade& cascade, double omega);

}  // namespace kivo::dsp
