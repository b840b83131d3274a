#include "tools/distortion.h"

#include <sndfile.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>

#include "fingerprint/chebyshev.h"
#include "tools/audio_decode.h"

namespace kivo::tool {
namespace {

constexpr double kRate = 16000;

Samples fromFloats(const std::vector<double>& y) {
  Samples out(y.size());
  for (size_t i = 0; i < y.size(); ++i) out[i] = int16_t(std::clamp(std::lround(y[i] * 32768), -32768L, 32767L));
  return out;
}

std::vector<double> toFloats(const Samples& x) {
  std::vector<double> y(x.size());
  for (size_t i = 0; i < x.size(); ++i) y[i] = x[i] / 32768.0;
  return y;
}

// Pink noise by filtering white noise with a sum of first-order sections spread over the band.
class PinkNoise {
 public:
  double next(double white) {
    static constexpr double kPoles[] = {0.99886, 0.99332, 0.96900, 0.86650, 0.55000, -0.7616};
    static constexpr double kGains[] = {0.0555179, 0.0750759, 0.1538520, 0.3104856, 0.5329522, -0.0168980};
    double sum = 0;
    for (size_t i = 0; i < 6; ++i) {
      state_[i] = kPoles[i] * state_[i] + kGains[i] * white;
      sum += state_[i];
    }
    const double out = sum + last_ + white * 0.5362;
    last_ = white * 0.115926;
    return out;
  }

 private:
  double state_[6] = {};
  double last_ = 0;
};

bool writeWav(const std::string& path, const Samples& x) {
  SF_INFO info{};
  info.samplerate = int(kRate);
  info.channels = 1;
  info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
  SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
  if (!file) return false;
  const bool ok = sf_write_short(file, x.data(), sf_count_t(x.size())) == sf_count_t(x.size());
  sf_close(file);
  return ok;
}

}  // namespace

double meanSquare(const Samples& x) {
  double sum = 0;
  for (int16_t s : x) sum += (s / 32768.0) * (s / 32768.0);
  return x.empty() ? 0 : sum / double(x.size());
}

Samples addNoise(const Samples& x, double snrDb, bool pink, std::mt19937& rng) {
  std::normal_distribution<double> gauss(0, 1);
  std::vector<double> noise(x.size());
  PinkNoise pinkFilter;
  for (auto& n : noise) n = pink ? pinkFilter.next(gauss(rng)) : gauss(rng);
  double noisePower = 0;
  for (double n : noise) noisePower += n * n;
  noisePower /= double(std::max<size_t>(1, noise.size()));
  const double scale = noisePower > 0 ? std::sqrt(meanSquare(x) / std::pow(10, snrDb / 10) / noisePower) : 0;
  auto y = toFloats(x);
  for (size_t i = 0; i < y.size(); ++i) y[i] += scale * noise[i];
  return fromFloats(y);
}

Samples applyGain(const Samples& x, double db) {
  auto y = toFloats(x);
  const double factor = std::pow(10, db / 20);
  for (auto& v : y) v *= factor;
  return fromFloats(y);
}

Samples telephoneBand(const Samples& x) {
  const auto cascade = dsp::chebyshevBandPass(4, kRate, 1850, 3100, 0.5);
  auto y = toFloats(x);
  for (size_t s = 0; s < cascade.count; ++s) {
    const auto& q = cascade.stages[s];
    double v1 = 0, v2 = 0;
    for (auto& v : y) {
      const double w = v - q.a1 * v1 - q.a2 * v2;
      v = q.b0 * w + q.b1 * v1 + q.b2 * v2;
      v2 = v1;
      v1 = w;
    }
  }
  return fromFloats(y);
}

Samples reverberate(const Samples& x) {
  const auto dry = toFloats(x);
  std::vector<double> wet(dry.size(), 0.0);
  // Comb delays of about 30 to 45 ms, feedback for a 0.6 s decay (60 dB).
  for (double ms : {29.7, 37.1, 41.1, 43.7}) {
    const auto delay = size_t(ms * kRate / 1000);
    const double feedback = std::pow(10, -3 * ms / 1000 / 0.6);
    std::vector<double> line(dry.size(), 0.0);
    for (size_t i = 0; i < dry.size(); ++i) {
      line[i] = dry[i] + (i >= delay ? feedback * line[i - delay] : 0);
      wet[i] += 0.25 * line[i];
    }
  }
  for (double ms : {5.0, 1.7}) {
    const auto delay = size_t(ms * kRate / 1000);
    const double g = 0.7;
    std::vector<double> out(wet.size());
    for (size_t i = 0; i < wet.size(); ++i) {
      const double delayedIn = i >= delay ? wet[i - delay] : 0;
      const double delayedOut = i >= delay ? out[i - delay] : 0;
      out[i] = -g * wet[i] + delayedIn + g * delayedOut;
    }
    wet = std::move(out);
  }
  std::vector<double> y(dry.size());
  for (size_t i = 0; i < y.size(); ++i) y[i] = 0.6 * dry[i] + 0.5 * wet[i];
  return fromFloats(y);
}

Samples opusRoundTrip(const Samples& x, int kbps, const std::string& scratchDir) {
  const std::string base = scratchDir + "/opus-" + std::to_string(::getpid());
  const std::string wav = base + ".wav", opus = base + ".opus", back = base + "-back.wav";
  Samples out;
  if (writeWav(wav, x)) {
    const std::string command = "opusenc --quiet --bitrate " + std::to_string(kbps) + " '" + wav + "' '" + opus +
                                "' && opusdec --quiet --rate 16000 '" + opus + "' '" + back + "'";
    if (std::system(command.c_str()) == 0) {
      auto decoded = decodeAudioFile(back);
      if (auto* audio = std::get_if<DecodedAudio>(&decoded)) out = std::move(audio->samples);
    }
  }
  for (const auto& path : {wav, opus, back}) std::filesystem::remove(path);
  if (!out.empty()) out.resize(x.size(), 0);
  return out;
}

std::vector<Distortion> standardDistortions(const std::string& scratchDir) {
  std::vector<Distortion> all;
  all.push_back({"none", [](const Samples& x, std::mt19937&) { return x; }});
  for (bool pink : {false, true})
    for (double snr : {20.0, 10.0, 5.0, 0.0})
      all.push_back({std::string(pink ? "pink" : "white") + " noise " + std::to_string(int(snr)) + " dB",
                     [snr, pink](const Samples& x, std::mt19937& rng) { return addNoise(x, snr, pink, rng); }});
  all.push_back({"gain -12 dB", [](const Samples& x, std::mt19937&) { return applyGain(x, -12); }});
  all.push_back({"telephone band", [](const Samples& x, std::mt19937&) { return telephoneBand(x); }});
  all.push_back({"opus 64 kbit/s", [scratchDir](const Samples& x, std::mt19937&) {
                   return opusRoundTrip(x, 64, scratchDir);
                 }});
  all.push_back({"reverberation", [](const Samples& x, std::mt19937&) { return reverberate(x); }});
  return all;
}

}  // namespace kivo::tool
