#include "fingerprint/chebyshev.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <numbers>

#include "fingerprint/feature_extractor.h"
#include "fingerprint/fixtures.h"
#include "kivo/afp.h"

namespace {

using kivo::dsp::BiquadCascade;
using kivo::dsp::chebyshevBandPass;

constexpr double kRate = 16000;

BiquadCascade designBand(unsigned b) {
  const double centre = AFPGeneratorBands[2 * b];
  const int order = 2 + 2 * int(vorant::AFPFeatureExtractor::kindFor(centre, kRate));
  return chebyshevBandPass(order, kRate, centre, AFPGeneratorBands[2 * b + 1], 0.5);
}

double gainDb(const BiquadCascade& c, double hz) {
  return 20 * std::log10(std::abs(kivo::dsp::response(c, 2 * std::numbers::pi * hz / kRate)));
}

TEST(ChebyshevBandPass, DesignMatchesReferenceTable) {
  const auto reference = kivo::test::readReferenceFilters();
  for (unsigned b = 0; b < 64; ++b) {
    SCOPED_TRACE("band " + std::to_string(b));
    const auto& want = reference[b];
    EXPECT_EQ(vorant::AFPFeatureExtractor::kindFor(AFPGeneratorBands[2 * b], kRate), want.kind);
    const BiquadCascade got = designBand(b);
    ASSERT_EQ(got.count, want.cascade.count);
    for (size_t s = 0; s < got.count; ++s) {
      const auto& g = got.stages[s];
      const auto& w = want.cascade.stages[s];
      EXPECT_LE(std::abs(g.a1 - w.a1), 1e-14) << "stage " << s;
      EXPECT_LE(std::abs(g.a2 - w.a2), 1e-14) << "stage " << s;
      const double sign = s % 2 == 0 ? 2.0 : -2.0;
      if (s == 0) {
        EXPECT_LE(std::abs(g.b0 - w.b0) / w.b0, 1e-12);
        EXPECT_EQ(g.b1, sign * g.b0);
        EXPECT_EQ(g.b2, g.b0);
      } else {
        EXPECT_EQ(g.b0, 1.0);
        EXPECT_EQ(g.b1, sign);
        EXPECT_EQ(g.b2, 1.0);
      }
      EXPECT_EQ(g.b1 / g.b0, w.b1 / w.b0);
    }
  }
}

TEST(ChebyshevBandPass, EveryBandIsStableFlatInsideAndSteepOutside) {
  double weakest[2] = {-1e9, -1e9};  // by filter kind
  for (unsigned b = 0; b < 64; ++b) {
    SCOPED_TRACE("band " + std::to_string(b));
    const BiquadCascade c = designBand(b);
    for (size_t s = 0; s < c.count; ++s) {
      const auto& q = c.stages[s];
      EXPECT_LT(q.a2, 1.0);                     // |pole|^2
      EXPECT_LT(std::abs(q.a1), 1.0 + q.a2);    // inside the stability triangle
    }
    const double centre = AFPGeneratorBands[2 * b], width = AFPGeneratorBands[2 * b + 1];
    const double lo = centre - width / 2, hi = centre + width / 2;
    for (int i = 0; i <= 200; ++i) {
      const double db = gainDb(c, lo + (hi - lo) * i / 200);
      EXPECT_GE(db, -0.5 - 1e-6);
      EXPECT_LE(db, 1e-6);
    }
    const double below = gainDb(c, lo - width), above = gainDb(c, hi + width);
    double& w = weakest[c.count == 2 ? 0 : 1];
    w = std::max({w, below, above});
  }
  // One band-width beyond either edge: order-2 designs fall by about 15 dB, order-4 ones by about 40 dB.
  std::printf("weakest response one band-width outside the pass band: %.2f dB (order 2), %.2f dB (order 4)\n",
              weakest[0], weakest[1]);
  EXPECT_LT(weakest[0], -14.5);
  EXPECT_LT(weakest[1], -35.0);
}

}  // namespace
