#include "tools/wav_file.h"

#include <gtest/gtest.h>
#include <sndfile.h>

namespace kivo::test {

void writeWav(const std::filesystem::path& path, int rate, int channels, const std::vector<float>& interleaved) {
  writeAudio(path, rate, channels, interleaved, SF_FORMAT_WAV | SF_FORMAT_FLOAT);
}

void writeAudio(const std::filesystem::path& path, int rate, int channels, const std::vector<float>& interleaved,
                int format) {
  SF_INFO info{};
  info.samplerate = rate;
  info.channels = channels;
  info.format = format;
  SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
  ASSERT_NE(file, nullptr) << sf_strerror(nullptr);
  sf_writef_float(file, interleaved.data(), sf_count_t(interleaved.size() / size_t(channels)));
  sf_close(file);
}

}  // namespace kivo::test
