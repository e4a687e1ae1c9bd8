// Measured responses of the filter types with a closed-form expectation.
#include <gtest/gtest.h>

#include <vector>

#include "dsp/filters/biquad_filters.h"
#include "dsp/filters/butterworth_filters.h"
#include "dsp/filters/multi_filter.h"
#include "dsp/filters/rbj_filters.h"
#include "dsp/filters/simple_filters.h"
#include "tests/support/signal_measure.h"

using testing_support::GainAt;

namespace {
constexpr double kRate = 44100;
}  // namespace

TEST(FilterResponse, ButterworthLowPassHasUnityDcNoNyquistAndResonantCutoff) {
  for (float resonance : {0.001f, 0.3f, 0.6f, 0.9f}) {
    TButterworthFilter1LP lp;
    lp.SetCutoff(1000);
    lp.SetResonance(resonance);
    const double atCutoff = 1 / (1.3 - lp.InternalResonance);
    EXPECT_NEAR(GainAt(lp, 0, kRate), 1.0, 1e-3) << resonance;
    EXPECT_NEAR(GainAt(lp, kRate / 2, kRate), 0.0, 1e-3) << resonance;
    EXPECT_NEAR(GainAt(lp, 1000, kRate), atCutoff, 0.01 * atCutoff) << resonance;
  }
}

TEST(FilterResponse, ButterworthHighPassMirrorsTheLowPass) {
  for (float resonance : {0.001f, 0.3f, 0.6f, 0.9f}) {
    TButterworthFilter1HP hp;
    hp.SetCutoff(3000);
    hp.SetResonance(resonance);
    const double atCutoff = 1 / (1.3 - hp.InternalResonance);
    EXPECT_NEAR(GainAt(hp, 0, kRate), 0.0, 1e-3) << resonance;
    EXPECT_NEAR(GainAt(hp, kRate / 2, kRate), 1.0, 1e-3) << resonance;
    EXPECT_NEAR(GainAt(hp, 3000, kRate), atCutoff, 0.01 * atCutoff) << resonance;
  }
}

TEST(FilterResponse, ButterworthAtTheTopCutoffKeepsItsFrequencyLimits) {
  // The low-pass designs on 22050 - cutoff, raised to 40 Hz; the high-pass is
  // held at 22050 - 5 ms worth of samples.
  TButterworthFilter1LP lpTop, lpLimit;
  lpTop.SetCutoff(22050);
  lpLimit.SetCutoff(22010);
  EXPECT_EQ(lpTop.B0, lpLimit.B0);
  EXPECT_EQ(lpTop.A1, lpLimit.A1);
  TButterworthFilter1HP hpTop, hpLimit;
  hpTop.SetCutoff(22050);
  hpLimit.SetCutoff(21830);
  EXPECT_EQ(hpTop.B0, hpLimit.B0);
  EXPECT_EQ(hpTop.A2, hpLimit.A2);
}

TEST(FilterResponse, CookbookSkirtBandPassPeaksAtTheResonance) {
  for (float resonance : {0.2f, 0.5f, 0.9f}) {
    TRBJFilterBPFS bp;
    bp.SetCutoff(4000);  // centre 4000 / 22050 * 0.245 * 44100 = 1960 Hz
    bp.SetResonance(resonance);
    bp.SetParam3(0.3f);
    EXPECT_NEAR(GainAt(bp, 1960, kRate), bp.InternalResonance, 0.01) << resonance;
    EXPECT_LT(GainAt(bp, 500, kRate), bp.InternalResonance);
  }
}

TEST(FilterResponse, AllPassesKeepUnityGainEverywhere) {
  TRBJFilterAPF apf;
  apf.SetCutoff(3000);
  apf.SetParam3(0.2f);
  TCFilterXPhaser phaser;
  phaser.SetCutoff(2500);
  phaser.SetResonance(0.8f);
  for (double f : {0.0, 60.0, 440.0, 1470.0, 2500.0, 6000.0, 15000.0, 22050.0}) {
    EXPECT_NEAR(GainAt(apf, f, kRate), 1.0, 0.01) << f;
    EXPECT_NEAR(GainAt(phaser, f, kRate), 1.0, 0.01) << f;
  }
}

TEST(FilterResponse, FixedFourPolePeakHasHalfGainAtTheEndsAndFourAndAHalfAtTheCentre) {
  TBiquadFilter14PoleEQ2 eq;
  eq.SetCutoff(2000);  // centre 2000 Hz at 44100
  EXPECT_NEAR(GainAt(eq, 0, kRate), 0.5, 1e-3);
  EXPECT_NEAR(GainAt(eq, kRate / 2, kRate), 0.5, 1e-3);
  EXPECT_NEAR(GainAt(eq, 2000, kRate), 4.5, 0.05);
}

TEST(FilterResponse, VocalFormantGlidesThroughItsThreeCentres) {
  struct TCase {
    float x;  // the formant position 0..240
    double centre;
  };
  for (TCase c : {TCase{0, 270}, TCase{120, 400}, TCase{240, 800}}) {
    TBiquadFilter1Vocal1 vocal;
    vocal.SetCutoff(c.x / vocal.FrequencyScale * 22050);
    vocal.SetResonance(0.2f);
    double best = 0, bestGain = 0;
    for (double f = 150; f <= 1200; f += 5) {
      const double g = GainAt(vocal, f, kRate);
      if (g > bestGain) best = f, bestGain = g;
    }
    EXPECT_NEAR(best, c.centre, 5.1) << c.x;
  }
}

TEST(FilterResponse, LowPassResponsesNeverRiseAboveTheirCutoff) {
  struct TCase {
    std::int32_t type;
    float cutoff;
    double cutoffHz;  // where the design puts the cutoff at 44100 Hz
  };
  for (TCase c : {TCase{0, 2000, 2000}, TCase{2, 2000, 2000}, TCase{20, 4000, 1960}, TCase{33, 4000, 4000}}) {
    for (float resonance : {0.001f, 0.5f, 0.999f}) {
      TDSPMultiFilter m;
      m.SetFilterType(static_cast<float>(c.type));
      m.SetCutoff(c.cutoff);
      m.SetResonance(resonance);
      double previous = GainAt(m.Filter(), c.cutoffHz, kRate);
      for (double f = c.cutoffHz * 1.25; f < kRate / 2; f *= 1.25) {
        const double g = GainAt(m.Filter(), f, kRate);
        EXPECT_LE(g, previous * 1.001 + 1e-6) << FilterTypeName(c.type) << " r " << resonance << " at " << f;
        previous = g;
      }
    }
  }
}
