#include "tools/audio_decode.h"

#include <sndfile.h>
#include <soxr.h>

#include <algorithm>
#include <cmath>
#include <memory>

namespace kivo::tool {
namespace {

constexpr double kTargetRate = 16000;

struct SndfileCloser {
  void operator()(SNDFILE* file) const { sf_close(file); }
};

int16_t toSample(float x) {
  if (std::isnan(x)) return 0;
  return int16_t(std::clamp(std::lround(double(x) * 32767.0), -32768L, 32767L));
}

}  // namespace

std::variant<DecodedAudio, std::string> decodeAudioFile(const std::string& path) {
  SF_INFO info{};
  std::unique_ptr<SNDFILE, SndfileCloser> file(sf_open(path.c_str(), SFM_READ, &info));
  if (!file) return std::string(sf_strerror(nullptr));
  if (info.channels < 1 || info.samplerate < 1) return std::string("no audio channels");

  std::vector<float> mono;
  mono.reserve(size_t(std::max<sf_count_t>(info.frames, 0)));
  std::vector<float> chunk(size_t(4096) * size_t(info.channels));
  for (;;) {
    const sf_count_t got = sf_readf_float(file.get(), chunk.data(), 4096);
    if (got <= 0) break;
    for (sf_count_t f = 0; f < got; ++f) {
      double sum = 0;
      for (int c = 0; c < info.channels; ++c) sum += chunk[size_t(f) * size_t(info.channels) + size_t(c)];
      mono.push_back(float(sum / info.channels));
    }
  }
  if (sf_error(file.get()) != SF_ERR_NO_ERROR) return std::string(sf_strerror(file.get()));

  DecodedAudio out;
  out.sourceRate = info.samplerate;
  out.sourceChannels = info.channels;
  std::vector<float> converted;
  if (info.samplerate == int(kTargetRate)) {
    converted = std::move(mono);
  } else {
    converted.resize(size_t(std::ceil(double(mono.size()) * kTargetRate / info.samplerate)) + 16);
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
    size_t done = 0;
    const soxr_error_t error = soxr_oneshot(info.samplerate, kTargetRate, 1, mono.data(), mono.size(), nullptr,
                                            converted.data(), converted.size(), &done, &io, &quality, nullptr);
    if (error) return std::string("rate conversion failed: ") + error;
    converted.resize(done);
  }
  out.samples.resize(converted.size());
  std::transform(converted.begin(), converted.end(), out.samples.begin(), toSample);
  return out;
}

}  // namespace kivo::tool
