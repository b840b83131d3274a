// Fingerprints of the reference signals, against AFPs computed independently.
#include <gtest/gtest.h>

#include <cstring>

#include "fingerprint/feature_extractor.h"
#include "fingerprint/fixtures.h"
#include "kivo/afp_generator.h"

namespace {

using kivo::test::readAfp;
using kivo::test::readPcm;

std::vector<uint64_t> words(const kivo::Bytes& afp) {
  std::vector<uint64_t> out(afp.size() / 8);
  std::memcpy(out.data(), afp.data(), out.size() * 8);
  return out;
}

std::vector<uint64_t> afpOf(const std::vector<int16_t>& pcm, size_t from, size_t count) {
  const auto afp = kivo::AFPFromSample(pcm.data() + from, int32_t(count * 2));
  EXPECT_TRUE(afp.has_value());
  return afp ? words(*afp) : std::vector<uint64_t>{};
}

// The extractor run with the reference table's filters instead of its own design.
std::vector<uint64_t> afpWithReferenceFilters(const std::vector<int16_t>& pcm, size_t from, size_t count) {
  static const auto reference = kivo::test::readReferenceFilters();
  std::array<kivo::dsp::BiquadCascade, 64> filters;
  for (size_t b = 0; b < 64; ++b) filters[b] = reference[b].cascade;
  const auto floats = kivo::test::toFloats({pcm.begin() + from, pcm.begin() + from + count});
  vorant::AFPFeatureExtractor extractor(16000, uint32_t(count / 1000), filters);
  extractor.feed(uint32_t(floats.size()), floats.data());
  std::vector<uint64_t> out;
  extractor.extract(out);
  return out;
}

struct Fixture {
  const char* pcm;
  const char* afp;
  size_t words;
};

constexpr Fixture kFixtures[] = {
    {"chirp-10s.raw", "chirp-10s.afp", 300},
    {"tone-826hz-5s.raw", "tone-826hz-5s.afp", 140},
    {"noise-then-silence.raw", "noise-then-silence.afp", 180},
};

TEST(AFPFixtures, ReferenceFiltersReproduceEveryFixtureExactly) {
  for (const auto& f : kFixtures) {
    SCOPED_TRACE(f.pcm);
    const auto pcm = readPcm(f.pcm);
    const auto want = readAfp(f.afp);
    ASSERT_EQ(want.size(), f.words);
    EXPECT_EQ(afpWithReferenceFilters(pcm, 0, pcm.size()), want);
  }
  const auto chirp = readPcm("chirp-10s.raw");
  std::vector<uint64_t> windows;
  for (size_t from = 0; from < chirp.size(); from += 34000) {
    const auto part = afpWithReferenceFilters(chirp, from, std::min<size_t>(34000, chirp.size() - from));
    windows.insert(windows.end(), part.begin(), part.end());
  }
  EXPECT_EQ(windows, readAfp("chirp-10s.windows-68000.afp"));
}

TEST(AFPFixtures, OwnDesignReproducesSoundExactly) {
  for (const auto& f : kFixtures) {
    SCOPED_TRACE(f.pcm);
    const auto pcm = readPcm(f.pcm);
    const auto want = readAfp(f.afp);
    const auto got = afpOf(pcm, 0, pcm.size());
    ASSERT_EQ(got.size(), f.words);
    if (std::string(f.pcm) == "noise-then-silence.raw") {
      // Steps 0 to 38 (words 0 to 77) still hold a noise frame in their window; after that the
      // filters ring down into digital silence, where the bits follow rounding noise.
      EXPECT_TRUE(std::equal(got.begin(), got.begin() + 78, want.begin()));
    } else {
      EXPECT_EQ(got, want);
    }
  }
}

TEST(AFPFixtures, ConsecutiveWindowsMatchReference) {
  const auto chirp = readPcm("chirp-10s.raw");
  std::vector<uint64_t> windows;
  for (size_t from = 0; from < chirp.size(); from += 34000) {
    const auto part = afpOf(chirp, from, std::min<size_t>(34000, chirp.size() - from));
    windows.insert(windows.end(), part.begin(), part.end());
  }
  EXPECT_EQ(windows.size(), 4u * 48 + 28);
  EXPECT_EQ(windows, readAfp("chirp-10s.windows-68000.afp"));
}

}  // namespace
