#include "tools/audio_decode.h"

#include "tools/wav_file.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <thread>

#include <fcntl.h>
#include <sndfile.h>
#include <unistd.h>

#include "kivo/afp_generator.h"
#include "common/temp_dir.h"
#include "tools/subcommands.h"

namespace {

namespace fs = std::filesystem;

using kivo::test::TempDir;

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
  kivo::test::writeWav(dir / "chirp.wav", 16000, 1, x);
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
  kivo::test::writeWav(dir / "tone.wav", rate, 2, stereo);
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

std::vector<float> tone(int rate, int channels, double seconds) {
  std::vector<float> x(size_t(rate * seconds) * size_t(channels));
  for (size_t i = 0; i < x.size(); ++i)
    x[i] = float(0.4 * std::sin(2 * std::numbers::pi * 440 * double(i / size_t(channels)) / rate));
  return x;
}

std::string readBytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeBytes(const fs::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

size_t decodedLength(const fs::path& path, size_t maxSamples = kivo::tool::kMaxDecodedSamples) {
  auto decoded = kivo::tool::decodeAudioFile(path, maxSamples);
  if (auto* reason = std::get_if<std::string>(&decoded)) ADD_FAILURE() << path << ": " << *reason;
  return decoded.index() == 0 ? std::get<0>(decoded).samples.size() : 0;
}

// Headers that lie, files that end early and streams of unknown length decode what they hold, in
// memory that follows the audio: a reservation from a header would throw or take gigabytes.
TEST(AudioDecode, DecodesWhatAFileHoldsWhateverItsHeaderSays) {
  TempDir dir;
  kivo::test::writeAudio(dir / "tone.ogg", 44100, 2, tone(44100, 2, 20), SF_FORMAT_OGG | SF_FORMAT_VORBIS);
  kivo::test::writeAudio(dir / "tone.flac", 44100, 2, tone(44100, 2, 5), SF_FORMAT_FLAC | SF_FORMAT_PCM_16);
  EXPECT_NEAR(double(decodedLength(dir / "tone.ogg")), 20 * 16000, 16);

  const std::string ogg = readBytes(dir / "tone.ogg");
  writeBytes(dir / "cut.ogg", ogg.substr(0, ogg.size() / 2));
  const size_t cut = decodedLength(dir / "cut.ogg");
  EXPECT_GT(cut, 5u * 16000);
  EXPECT_LT(cut, 15u * 16000);

  // STREAMINFO's 36-bit sample count: the low nibble of byte 21 and bytes 22 to 25.
  std::string flac = readBytes(dir / "tone.flac");
  ASSERT_EQ(flac.substr(0, 4), "fLaC");
  for (const uint64_t claim : {(uint64_t(1) << 36) - 1, uint64_t(3000000000)}) {
    flac[21] = char((uint8_t(flac[21]) & 0xF0) | (claim >> 32));
    for (int i = 0; i < 4; ++i) flac[size_t(22 + i)] = char(claim >> (24 - 8 * i));
    writeBytes(dir / "lies.flac", flac);
    EXPECT_NEAR(double(decodedLength(dir / "lies.flac")), 5 * 16000, 16) << claim;
  }

  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  std::thread writer([&] {
    for (size_t at = 0; at < ogg.size();) {
      const ssize_t n = ::write(fds[1], ogg.data() + at, ogg.size() - at);
      if (n <= 0) break;
      at += size_t(n);
    }
    ::close(fds[1]);
  });
  const size_t piped = decodedLength("/dev/fd/" + std::to_string(fds[0]));
  ::close(fds[0]);
  writer.join();
  EXPECT_NEAR(double(piped), 20 * 16000, 16);
}

TEST(AudioDecode, RefusesAudioLongerThanAsked) {
  TempDir dir;
  kivo::test::writeWav(dir / "tone.wav", 22050, 1, tone(22050, 1, 3));
  EXPECT_NEAR(double(decodedLength(dir / "tone.wav", 48000)), 48000, 8);
  auto decoded = kivo::tool::decodeAudioFile(dir / "tone.wav", 40000);
  ASSERT_TRUE(std::holds_alternative<std::string>(decoded));
  EXPECT_NE(std::get<std::string>(decoded).find("too long"), std::string::npos);
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
  kivo::test::writeWav(dir / "chirp.wav", 16000, 1, x);
  kivo::test::writeWav(dir / "quiet.wav", 16000, 1, std::vector<float>(32000, 0.0f));
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
