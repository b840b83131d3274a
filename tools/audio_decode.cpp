#include "tools/audio_decode.h"

#include <sndfile.h>
#include <soxr.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iterator>
#include <memory>
#include <new>

namespace kivo::tool {
namespace {

constexpr double kTargetRate = 16000;
constexpr sf_count_t kChunkFrames = 4096;
// Beyond these a header is not describing audio this tool can use.
constexpr int kMaxChannels = 256;
constexpr int kMaxRate = 768000;

struct SndfileCloser {
  void operator()(SNDFILE* file) const { sf_close(file); }
};
struct SoxrCloser {
  void operator()(soxr_t resampler) const { soxr_delete(resampler); }
};

int16_t toSample(float x) {
  if (std::isnan(x)) return 0;
  return int16_t(std::clamp(std::lround(double(x) * 32767.0), -32768L, 32767L));
}

// Appends converted samples to out unless that would pass maxSamples.
bool append(std::vector<int16_t>& out, const float* samples, size_t count, size_t maxSamples) {
  if (count > maxSamples - out.size()) return false;
  std::transform(samples, samples + count, std::back_inserter(out), toSample);
  return true;
}

std::string tooLong(size_t maxSamples) {
  char text[96];
  std::snprintf(text, sizeof text, "too long (more than %.1f hours at 16000 Hz)", double(maxSamples) / 16000 / 3600);
  return text;
}

std::variant<DecodedAudio, std::string> decode(const std::string& path, size_t maxSamples) {
  SF_INFO info{};
  std::unique_ptr<SNDFILE, SndfileCloser> file(sf_open(path.c_str(), SFM_READ, &info));
  if (!file) return std::string(sf_strerror(nullptr));
  if (info.channels < 1 || info.samplerate < 1) return std::string("no audio channels");
  if (info.channels > kMaxChannels || info.samplerate > kMaxRate)
    return "unsupported format (" + std::to_string(info.channels) + " channels at " +
           std::to_string(info.samplerate) + " Hz)";

  std::unique_ptr<soxr, SoxrCloser> resampler;
  if (info.samplerate != int(kTargetRate)) {
    const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
    soxr_error_t error = nullptr;
    resampler.reset(soxr_create(info.samplerate, kTargetRate, 1, &error, &io, &quality, nullptr));
    if (error || !resampler) return std::string("rate conversion failed: ") + (error ? error : "no resampler");
  }

  const auto channels = size_t(info.channels);
  std::vector<float> chunk(size_t(kChunkFrames) * channels);
  std::vector<float> mono(static_cast<size_t>(kChunkFrames));
  // Room for one chunk's output at any rate ratio, plus the resampler's delay.
  std::vector<float> converted(size_t(std::ceil(double(kChunkFrames) * kTargetRate / info.samplerate)) + 1024);
  DecodedAudio out;
  out.sourceRate = info.samplerate;
  out.sourceChannels = info.channels;

  // Runs in through the resampler (nullptr: flush) and appends what comes out.
  auto convert = [&](const float* in, size_t count) -> std::string {
    if (!resampler) return append(out.samples, in, count, maxSamples) ? "" : tooLong(maxSamples);
    for (;;) {
      size_t used = 0, made = 0;
      const soxr_error_t error =
          soxr_process(resampler.get(), in, count, &used, converted.data(), converted.size(), &made);
      if (error) return std::string("rate conversion failed: ") + error;
      if (!append(out.samples, converted.data(), made, maxSamples)) return tooLong(maxSamples);
      if (in) {
        in += used;
        count -= used;
        if (count == 0 && made < converted.size()) return "";
      } else if (made == 0) {
        return "";
      }
    }
  };

  for (;;) {
    const sf_count_t got = sf_readf_float(file.get(), chunk.data(), kChunkFrames);
    if (got <= 0) break;
    for (size_t f = 0; f < size_t(got); ++f) {
      double sum = 0;
      for (size_t c = 0; c < channels; ++c) sum += chunk[f * channels + c];
      mono[f] = float(sum / double(channels));
    }
    if (auto failure = convert(mono.data(), size_t(got)); !failure.empty()) return failure;
  }
  if (sf_error(file.get()) != SF_ERR_NO_ERROR) return std::string(sf_strerror(file.get()));
  if (resampler)
    if (auto failure = convert(nullptr, 0); !failure.empty()) return failure;
  return out;
}

}  // namespace

std::variant<DecodedAudio, std::string> decodeAudioFile(const std::string& path, size_t maxSamples) {
  try {
    return decode(path, maxSamples);
  } catch (const std::bad_alloc&) {
    return std::string("out of memory");
  }
}

}  // namespace kivo::tool
