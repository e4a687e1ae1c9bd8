// Designs voiced at 44.1 kHz carried to the rate in use: each conversion
// keeps its frequency in Hz (a pole's time constant, an allpass's break
// frequency, a ladder stage's cutoff), is the identity at the design rate
// and for what it does not convert, and stays a stable design where the
// frequency lies beyond the new half rate.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

#include "dsp/filters/design_rate.h"

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr std::int32_t kRates[] = {8000, 11025, 22050, 32000, 48000, 88200, 96000, 192000};

// Break frequency (Hz) of the allpass (z^-1 - c) / (1 - c z^-1) at rate:
// c = (1 - t) / (1 + t), t = tan(pi f / rate).
double AllpassBreakHz(double c, double rate) { return rate / kPi * std::atan((1 - c) / (1 + c)); }

// Cutoff (Hz) of the bilinear stage p (1 + z^-1) / (1 + (2p - 1) z^-1):
// tan(pi f / rate) = p / (1 - p).
double StageHz(double p, double rate) { return rate / kPi * std::atan(p / (1 - p)); }

TEST(DesignRate, AtTheDesignRateEveryConversionIsTheIdentityBitForBit) {
  for (float x = 0.001f; x < 1.0f; x += 0.0131f) {
    EXPECT_EQ(MatchPoleToRate(x, kFilterDesignRate), x);
    EXPECT_EQ(MatchAllpassToRate(x, kFilterDesignRate), x);
    for (float resonance : {0.0f, 0.3f, 1.0f}) {
      const TLadderDesign d = MatchLadderToRate(x, 3.7f, resonance, 0.5f, kFilterDesignRate);
      EXPECT_EQ(d.P, x) << resonance;
      EXPECT_EQ(d.Feedback, 3.7f) << resonance;
    }
  }
}

// Values a conversion does not convert (0, 1 and beyond, NaN) and rates of
// 0 or less come back as they were.
TEST(DesignRate, ValuesOutsideTheOpenUnitRangeAndRatesOfZeroOrLessAreLeftAsTheyAre) {
  for (std::int32_t rate : {0, -1, -48000, 48000}) {
    for (float v : {0.0f, 1.0f, -0.5f, 1.5f}) {
      EXPECT_EQ(MatchPoleToRate(v, rate), v) << rate;
      EXPECT_EQ(MatchAllpassToRate(v, rate), v) << rate;
      const TLadderDesign d = MatchLadderToRate(v, 2.0f, 0.5f, 0.9f, rate);
      EXPECT_EQ(d.P, v) << rate;
      EXPECT_EQ(d.Feedback, 2.0f) << rate;
    }
    EXPECT_TRUE(std::isnan(MatchPoleToRate(std::numeric_limits<float>::quiet_NaN(), rate)));
  }
  for (std::int32_t rate : {0, -1, -48000}) {
    EXPECT_EQ(MatchPoleToRate(0.5f, rate), 0.5f) << rate;
    EXPECT_EQ(MatchAllpassToRate(0.5f, rate), 0.5f) << rate;
    const TLadderDesign d = MatchLadderToRate(0.3f, 2.0f, 0.5f, 0.9f, rate);
    EXPECT_EQ(d.P, 0.3f) << rate;
    EXPECT_EQ(d.Feedback, 2.0f) << rate;
  }
}

TEST(DesignRate, APoleKeepsItsTimeConstantInSeconds) {
  for (std::int32_t rate : kRates) {
    for (float pole : {0.5f, 0.9f, 0.99f, 0.999f}) {
      const double design = -1.0 / (kFilterDesignRate * std::log(static_cast<double>(pole)));
      const double matched = MatchPoleToRate(pole, rate);
      ASSERT_GT(matched, 0.0);
      ASSERT_LT(matched, 1.0);
      EXPECT_NEAR(-1.0 / (rate * std::log(matched)) / design, 1.0, 1e-3) << rate << " " << pole;
    }
  }
}

// The break frequency stays where it was in Hz; one beyond the new half rate
// is held just below it, and the allpass stays stable (|c| < 1).
TEST(DesignRate, AnAllpassKeepsItsBreakFrequencyAndIsHeldBelowTheNewHalfRate) {
  for (std::int32_t rate : kRates) {
    for (double c = 0.005; c < 1.0; c += 0.0213) {
      const double wanted = std::min(AllpassBreakHz(c, kFilterDesignRate), 0.499 * rate);
      const float matched = MatchAllpassToRate(static_cast<float>(c), rate);
      ASSERT_GT(matched, -1.0f) << rate << " " << c;
      ASSERT_LT(matched, 1.0f) << rate << " " << c;
      EXPECT_NEAR(AllpassBreakHz(matched, rate), wanted, 2e-3 * wanted + 0.5) << rate << " " << c;
    }
  }
}

// Without resonance a ladder stage keeps its cutoff in Hz.
TEST(DesignRate, ALadderStageKeepsItsCutoffWhileTheResonanceIsLow) {
  for (std::int32_t rate : kRates) {
    for (double p : {0.005, 0.02, 0.05, 0.1, 0.2, 0.3}) {
      const double hz = StageHz(p, kFilterDesignRate);
      if (hz > 0.45 * rate) continue;
      const TLadderDesign d = MatchLadderToRate(static_cast<float>(p), 1.0f, 0.0f, 0.999f, rate);
      EXPECT_NEAR(StageHz(d.P, rate), hz, 1e-3 * hz) << rate << " " << p;
    }
  }
}

// Any stage, resonance and rate gives a finite design with the stage in
// (0, pMax]; a resonance below 0 (or NaN) counts as 0, one above 1 as 1.
TEST(DesignRate, ALadderIsFiniteAndHeldAtItsLargestStageForEverySetting) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  for (std::int32_t rate : kRates) {
    for (float p = 0.002f; p < 1.0f; p += 0.0173f) {
      for (float pMax : {0.5f, 0.999f}) {
        for (float resonance : {0.0f, 0.4f, 1.0f}) {
          const TLadderDesign d = MatchLadderToRate(p, 2.0f, resonance, pMax, rate);
          ASSERT_TRUE(std::isfinite(d.P) && std::isfinite(d.Feedback)) << rate << " " << p << " " << resonance;
          ASSERT_GT(d.P, 0.0f) << rate << " " << p;
          ASSERT_LE(d.P, pMax) << rate << " " << p << " " << resonance;
        }
        const TLadderDesign low = MatchLadderToRate(p, 2.0f, 0.0f, pMax, rate);
        const TLadderDesign high = MatchLadderToRate(p, 2.0f, 1.0f, pMax, rate);
        for (float below : {-0.5f, -3.0f, nan}) {
          const TLadderDesign d = MatchLadderToRate(p, 2.0f, below, pMax, rate);
          EXPECT_EQ(d.P, low.P) << rate << " " << p << " " << below;
          EXPECT_EQ(d.Feedback, low.Feedback) << rate << " " << p << " " << below;
        }
        const TLadderDesign above = MatchLadderToRate(p, 2.0f, 2.5f, pMax, rate);
        EXPECT_EQ(above.P, high.P) << rate << " " << p;
        EXPECT_EQ(above.Feedback, high.Feedback) << rate << " " << p;
      }
    }
  }
}

}  // namespace
