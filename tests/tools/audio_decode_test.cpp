#include "tools/audio_decode.h"

#include <gtest/gtest.h>
#include <sndfile.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <numbers>

#include "kivo/afp_generator.h"
#include "tools/subcommands.h"

namespace {

namespace fs = std::filesystem;

class TempDir {
 public:
  TempDir() : path_(fs::temp_directory_path() / ("kivo-tool-" + std::to_string(::getpid()))) { fs::create_directories(path_); }
  ~TempDir() { fs::remove_all(path_); }
  fs::path operator/(const std::string& name) const { return path_ / name; }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

void writeWav(const fs::path& path, int rate, int channels, const std::vector<float>& interleaved) {
  SF_INFO info{};
  info.samplerate = rate;
  info.channels = channels;
  info.format = SF_FORMAT_WAV | SF_FORMAT_FLOAT;
  SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
  ASSERT_NE(file, nullptr) << sf_strerror(nullptr);
  sf_writef_float(file, interleaved.data(), sf_count_t(interleaved.size() / size_t(channels)));
  sf_close(file);
}

std::vector<int16_t> chirpPcm() {
  std::ifstream in(std::string(KIVO_TEST_DATA_DIR) + "/fingerprint/chirp-10s.raw", std::ios::binary);
  std::vector<int16_t> pcm(160000);
  in.read(reinterpret_cast<char*>(pcm.data()), std::streamsize(pcm.size() * 2));
  return pcm;
}

TEST(AudioDecode, SixteenKilohertzMonoPassesThroughUnchanged) {
  TempDir dir;
  const auto pcm = chirpPcm();
  std::vector<float> x(pcm.size());
  for (size_t i = 0; i < pcm.size(); ++i) x[i] = float(pcm[i]) / 32767.0f;
  writeWav(dir / "chirp.wav", 16000, 1, x);
  auto decoded = kivo::tool::decodeAudioFile(dir / "chirp.wav");
  ASSERT_TRUE(std::holds_alternative<kivo::tool::DecodedAudio>(decoded));
  const auto& audio = std::get<kivo::tool::DecodedAudio>(decoded);
  EXPECT_EQ(audio.samples, pcm);
  // So a file's fingerprint is its PCM's fingerprint.
  std::ifstream want(std::string(KIVO_TEST_DATA_DIR) + "/fingerprint/chirp-10s.afp", std::ios::binary);
  kivo::Bytes reference((std::istreambuf_iterator<char>(want)), std::istreambuf_iterator<char>());
  EXPECT_EQ(kivo::AFPFromSample(audio.samples.data(), int32_t(audio.samples.size() * 2)), reference);
}

TEST(AudioDecode, StereoAtOtherRatesIsMixedAndConverted) {
  TempDir dir;
  const int rate = 44100;
  std::vector<float> stereo(size_t(rate) * 2 * 2);
  for (size_t i = 0; i < stereo.size() / 2; ++i) {
    const float v = float(0.5 * std::sin(2 * std::numbers::pi * 1000 * double(i) / rate));
    stereo[2 * i] = v;       // identical channels: the mix is the tone itself
    stereo[2 * i + 1] = v;
  }
  writeWav(dir / "tone.wav", rate, 2, stereo);
  auto decoded = kivo::tool::decodeAudioFile(dir / "tone.wav");
  ASSERT_TRUE(std::holds_alternative<kivo::tool::DecodedAudio>(decoded));
  const auto& audio = std::get<kivo::tool::DecodedAudio>(decoded);
  EXPECT_EQ(audio.sourceChannels, 2);
  EXPECT_NEAR(double(audio.samples.size()), 32000.0, 2.0);
  // Away from the edges, the converted tone keeps its amplitude and frequency.
  int16_t peak = 0;
  size_t crossings = 0;
  for (size_t i = 1000; i < 31000; ++i) {
    peak = std::max(peak, audio.samples[i]);
    crossings += (audio.samples[i - 1] < 0) != (audio.samples[i] < 0);
  }
  EXPECT_NEAR(peak, 16383, 200);
  EXPECT_NEAR(double(crossings), 2 * 1000 * 30000 / 16000.0, 4);
}

TEST(AudioDecode, UnreadableFilesGiveAReason) {
  TempDir dir;
  std::ofstream(dir / "junk.wav") << "not audio";
  for (const auto& name : {dir / "junk.wav", dir / "missing.flac"}) {
    auto decoded = kivo::tool::decodeAudioFile(name);
    ASSERT_TRUE(std::holds_alternative<std::string>(decoded));
    EXPECT_FALSE(std::get<std::string>(decoded).empty());
  }
}

TEST(FingerprintCommand, WritesAfpsAndFailsPerFile) {
  TempDir dir;
  const auto pcm = chirpPcm();
  std::vector<float> x(pcm.size());
  for (size_t i = 0; i < pcm.size(); ++i) x[i] = float(pcm[i]) / 32767.0f;
  writeWav(dir / "chirp.wav", 16000, 1, x);
  writeWav(dir / "quiet.wav", 16000, 1, std::vector<float>(32000, 0.0f));
  fs::create_directories(dir / "out");

  std::string args[] = {(dir / "chirp.wav").string(), (dir / "quiet.wav").string(), "-o", (dir / "out").string()};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  testing::internal::CaptureStderr();
  EXPECT_EQ(kivo::tool::runFingerprint(argv), 1);
  const std::string errors = testing::internal::GetCapturedStderr();
  EXPECT_NE(errors.find("quiet.wav: mostly silent"), std::string::npos) << errors;
  EXPECT_EQ(fs::file_size(dir / "out" / "chirp.afp"), 300u * 8);
  EXPECT_FALSE(fs::exists(dir / "out" / "quiet.afp"));
}

}  // namespace
