// Writes test audio files: interleaved float samples as a WAV file.
#pragma once

#include <filesystem>
#include <vector>

namespace kivo::test {

// Fails the current test when the file cannot be written.
void writeWav(const std::filesystem::path& path, int rate, int channels, const std::vector<float>& interleaved);

}  // namespace kivo::test
