#include "fingerprint/chebyshev.h"

#include <cmath>
#include <numbers>

#include "platform/assert.h"

namespace kivo::dsp {
namespace {

using Complex = std::complex<double>;

// Section with a conjugate pole pair at z = pole, conj(pole) and a double zero at z = zero.
Biquad section(Complex pole, double zero) {
  return Biquad{-2.0 * pole.real(), std::norm(pole), 1.0, -2.0 * zero, 1.0};
}

Complex bilinear(Complex s) { return (1.0 + s) / (1.0 - s); }

}  // namespace

BiquadCascade chebyshevBandPass(int order, double sampleRate, double centre, double width, double rippleDb) {
  KIVO_ASSERT("chebyshev", order >= 2 && order <= 6 && order % 2 == 0);
  const double pi = std::numbers::pi;
  const double lo = centre - width / 2;
  const double hi = centre + width / 2;
  KIVO_ASSERT("chebyshev", lo > 0 && hi < sampleRate / 2 && lo < hi);

  // Prewarped analog edges for s = (z - 1) / (z + 1).
  const double wLo = std::tan(pi * lo / sampleRate);
  const double wHi = std::tan(pi * hi / sampleRate);
  const double bandwidth = wHi - wLo;
  const double centre2 = wLo * wHi;

  // Low-pass prototype poles in the upper half plane, nearest the imaginary axis first.
  const double epsilon = std::sqrt(std::pow(10.0, rippleDb / 10.0) - 1.0);
  const double v0 = std::asinh(1.0 / epsilon) / order;
  BiquadCascade cascade;
  for (int k = 1; k <= order / 2; ++k) {
    const double theta = (2 * k - 1) * pi / (2 * order);
    const Complex p(-std::sinh(v0) * std::sin(theta), std::cosh(v0) * std::cos(theta));
    // s -> (s^2 + centre2) / (bandwidth * s) maps p onto the two roots of s^2 - p*bandwidth*s + centre2.
    const Complex half = p * bandwidth / 2.0;
    const Complex root = std::sqrt(half * half - centre2);
    cascade.stages[cascade.count++] = section(bilinear(half - root), -1.0);
    cascade.stages[cascade.count++] = section(bilinear(half + root), 1.0);
  }

  // Even-order prototypes sit at the ripple's trough at DC, which maps to the geometric centre.
  const double normal = 2.0 * std::atan(std::sqrt(centre2));
  const double gain = std::pow(10.0, -rippleDb / 20.0) / std::abs(response(cascade, normal));
  Biquad& first = cascade.stages[0];
  first.b0 = gain;
  first.b1 *= gain;
  first.b2 = gain;
  return cascade;
}

std::complex<double> response(const BiquadCascade& cascade, double omega) {
  const Complex z1 = std::polar(1.0, -omega);
  const Complex z2 = z1 * z1;
  Complex h = 1.0;
  for (size_t i = 0; i < cascade.count; ++i) {
    const Biquad& s = cascade.stages[i];
    h *= (s.b0 + s.b1 * z1 + s.b2 * z2) / (1.0 + s.a1 * z1 + s.a2 * z2);
  }
  return h;
}

}  // namespace kivo::dsp
