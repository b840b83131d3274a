#include "fingerprint/afp_pipeline.h"

#include <algorithm>

#include "fingerprint/feature_extractor.h"
#include "kivo/afp.h"

namespace kivo::fingerprint {

void convertFrames(const int16_t* pcm, uint32_t frames, std::vector<float>& samples, std::vector<float>& peaks) {
  samples.resize(size_t(frames) * kFrameSamples);
  peaks.assign(frames, 0.0f);
  for (size_t f = 0; f < frames; ++f) {
    float peak = 0.0f;
    for (size_t i = f * kFrameSamples; i < (f + 1) * kFrameSamples; ++i) {
      const float value = float(double(pcm[i]) * 0x1p-15);
      samples[i] = value;
      peak = std::max(peak, value);
    }
    peaks[f] = peak;
  }
}

bool mostlySilent(std::span<const float> peaks, float threshold, float rate) {
  const auto silent = std::count_if(peaks.begin(), peaks.end(), [threshold](float p) { return p < threshold; });
  return rate * float(peaks.size()) < float(silent);
}

std::vector<uint64_t> extractWords(std::span<const float> samples) {
  const auto frames = uint32_t(samples.size() / kFrameSamples);
  vorant::AFPFeatureExtractor extractor(kSampleRate, frames, AFPGeneratorBands);
  extractor.feed(uint32_t(samples.size()), samples.data());
  std::vector<uint64_t> words;
  extractor.extract(words);
  return words;
}

}  // namespace kivo::fingerprint
