#include "kivo/audio_converter.h"

#include <gtest/gtest.h>
#include <soxr.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

#include "common/log_capture.h"

namespace {

using kivo::KIVOAudioConverter;

TEST(KIVOAudioConverter, SizesFollowTheRateRatio) {
  struct Case {
    double source;
    uint32_t bufferSize, required;
  };
  for (const Case& c : {Case{44100, 96000, 88200}, Case{48000, 96000, 96000}, Case{16000, 32000, 32000}}) {
    KIVOAudioConverter converter(c.source, 16000, 2, 16000);
    EXPECT_EQ(converter.bufferSize(), c.bufferSize) << c.source;
    EXPECT_EQ(converter.requiredBufferByteSize(), c.required) << c.source;
    EXPECT_EQ(converter.remainBufferSpace(), c.bufferSize);
  }
}

TEST(KIVOAudioConverter, AccumulatesUntilTheRequiredInputAndDropsWhatDoesNotFit) {
  kivo::test::LogCapture logs;
  KIVOAudioConverter converter(48000, 16000, 2, 16000);
  std::vector<uint8_t> chunk(2048, 1);
  converter.feedBuffer(chunk.data(), 0);
  EXPECT_TRUE(logs.contains("WARN: Skip blank audio buffer"));
  size_t fed = 0;
  while (converter.needMoreBuffer()) {
    converter.feedBuffer(chunk.data(), chunk.size());
    fed += chunk.size();
  }
  EXPECT_EQ(fed, 96256u);  // 47 chunks; the last one only partly fits
  EXPECT_EQ(converter.offset(), 96000u);
  converter.feedBuffer(chunk.data(), chunk.size());
  EXPECT_TRUE(logs.contains("I: converter buffer exceeded..."));
  EXPECT_EQ(converter.offset(), 96000u);
}

TEST(KIVOAudioConverter, RefusesArgumentsItCannotServe) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  struct Case {
    double source, target;
    uint32_t sampleBytes, samples;
  };
  for (const Case& c : {Case{44100, 0, 2, 16000}, Case{nan, 16000, 2, 16000}, Case{44100, 16000, 0, 16000},
                        Case{44100, 16000, 4, 16000}, Case{44100, 16000, 2, 0}, Case{1e9, 1, 2, 0xFFFFFFFF}}) {
    try {
      KIVOAudioConverter converter(c.source, c.target, c.sampleBytes, c.samples);
      ADD_FAILURE() << "created " << c.source << " -> " << c.target;
    } catch (const kivo::AudioConverterException& e) {
      EXPECT_STREQ(e.name(), "Failed to initialize audio converter");
      EXPECT_EQ(std::string(e.what()).rfind("AudioConverterNew() Error Status ", 0), 0u);
    }
  }
}

// A rising chirp at 44.1 kHz, converted block by block, must equal one conversion of the whole
// signal: any input fed twice or dropped would shift everything after it.
TEST(KIVOAudioConverter, BlockByBlockConversionMatchesOneConversionOfTheWhole) {
  constexpr double kSource = 44100;
  constexpr size_t kSamples = 44100 * 4;
  std::vector<int16_t> chirp(kSamples);
  for (size_t i = 0; i < kSamples; ++i) {
    const double t = double(i) / kSource;
    chirp[i] = int16_t(12000 * std::sin(2 * M_PI * (200 * t + 400 * t * t)));
  }
  KIVOAudioConverter converter(kSource, 16000, 2, 16000);
  std::vector<int16_t> streamed;
  const auto* bytes = reinterpret_cast<const uint8_t*>(chirp.data());
  for (size_t at = 0; at < kSamples * 2; at += 2048) {
    converter.feedBuffer(bytes + at, std::min<size_t>(2048, kSamples * 2 - at));
    if (converter.needMoreBuffer()) continue;
    auto data = converter.convertedData();
    ASSERT_TRUE(data);
    ASSERT_LE(data->size(), 32000u);
    const size_t old = streamed.size();
    streamed.resize(old + data->size() / 2);
    std::memcpy(streamed.data() + old, data->data(), data->size());
  }

  std::vector<int16_t> whole(kSamples * 16000 / 44100 + 16);
  size_t made = 0;
  const soxr_io_spec_t io = soxr_io_spec(SOXR_INT16_I, SOXR_INT16_I);
  const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
  ASSERT_EQ(soxr_oneshot(kSource, 16000, 1, chirp.data(), kSamples, nullptr, whole.data(), whole.size(), &made, &io,
                         &quality, nullptr),
            nullptr);
  // The stream holds back the resampler's delay; what came out lines up sample for sample.
  ASSERT_GT(streamed.size(), 16000u * 3);
  ASSERT_LE(streamed.size(), made);
  int worst = 0;
  for (size_t i = 0; i < streamed.size(); ++i) worst = std::max(worst, std::abs(int(streamed[i]) - int(whole[i])));
  EXPECT_LE(worst, 2);
}

TEST(KIVOBufferSize, WholeSamplesForADuration) {
  struct Case {
    double seconds;
    uint64_t bytes;
  };
  for (const Case& c : {Case{5.0, 160000}, Case{3.25, 104000}, Case{0.00001, 2}, Case{0, 0}, Case{-1, 0},
                        Case{std::numeric_limits<double>::quiet_NaN(), 0},
                        Case{std::numeric_limits<double>::infinity(), 0},
                        Case{1e300, std::numeric_limits<uint64_t>::max() - 1}})
    EXPECT_EQ(kivo::KIVOBufferSize(c.seconds), c.bytes) << c.seconds;
}

TEST(KIVOGetAudioLevel, PeakAndMeanMagnitude) {
  struct Case {
    std::vector<int16_t> samples;
    uint64_t bytes;
    uint32_t level;
  };
  const std::vector<Case> cases = {
      {{}, 0, 0},
      {{5}, 1, 0},
      {{100, -300, 200}, 6, (300u << 16) | 200},
      {{-32768, 1}, 4, (1u << 16) | 16384},  // a magnitude of 32768 reads as negative, so 1 replaces it
      {{32767, 32767}, 4, (32767u << 16) | 32767},
  };
  for (const auto& c : cases) EXPECT_EQ(kivo::KIVOGetAudioLevel(c.samples.data(), c.bytes), c.level);
  const std::vector<int16_t> loud(8, -32767);
  EXPECT_FLOAT_EQ(kivo::KIVOGetRMSFrom(loud.data(), 16), 1.0f);
  EXPECT_FLOAT_EQ(kivo::KIVOGetRMSFrom(loud.data(), 1), 0.0f);
}

}  // namespace
