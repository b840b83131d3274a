#include <cmath>
#include <cstring>

#include "kivo/afp_generator.h"

namespace kivo {
namespace {

int16_t toSample(float x) {
  const float scaled = x * 32767.0f;
  if (std::isnan(scaled)) return 0;
  if (scaled >= 32767.0f) return 32767;
  if (scaled <= -32768.0f) return -32768;
  return int16_t(scaled);  // truncates toward zero
}

}  // namespace

Bytes downsample44100Float32To16000SInt16(const Bytes& audio) {
  const size_t n = audio.size() / sizeof(float);
  const auto m = size_t(std::ceil(double(n) * 16000 / 44100));
  Bytes out(m * sizeof(int16_t), 0);
  for (size_t k = 0; k < m; ++k) {
    // Exact instant of output k in input samples: k * 44100 / 16000 = 441 k / 160.
    const size_t index = std::min(n - 1, size_t((uint64_t(k) * 441) / 160));
    float x;
    std::memcpy(&x, audio.data() + index * sizeof(float), sizeof x);
    const int16_t sample = toSample(x);
    std::memcpy(out.data() + k * sizeof(int16_t), &sample, sizeof sample);
  }
  return out;
}

}  // namespace kivo
