// Writes test audio files: interleaved float samples as a WAV file or in another libsndfile format.
#pragma once

#include <filesystem>
#include <vector>

namespace kivo::test {

// Fails the current test when the file cannot be written.
void writeWav(const std::filesystem::path& path, int rate, int channels, const std::vector<float>& interleaved);
// format: a libsndfile SF_FORMAT_ value (container | encoding).
void writeAudio(const std::filesystem::path& path, int rate, int channels, const std::vector<float>& interleaved,
                int format);

}  // namespace kivo::test
