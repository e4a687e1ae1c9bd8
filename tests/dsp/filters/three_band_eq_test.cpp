#include "dsp/filters/three_band_eq.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <vector>

namespace {
// Gain of the EQ for a unit cosine at freq after one second of settling
// (DC and Nyquist read from the settled output).
double EqGain(TDSP3BandEQ& eq, double freq, double rate = 44100) {
  eq.Reset();
  const double w = 2 * std::numbers::pi * freq / rate;
  double y = 0, peak = 0;
  for (int n = 0; n < 2 * rate; ++n) {
    y = eq.Step(static_cast<float>(std::cos(w * n)));
    if (n >= rate) peak = std::max(peak, std::fabs(y));
  }
  return freq <= 0 || freq >= rate / 2 ? std::fabs(y) : peak;
}
}  // namespace

TEST(ThreeBandEQ, FlatGainsAreTheIdentity) {
  TDSP3BandEQ eq;
  eq.SetLowGain(0);
  eq.SetMidGain(0);
  eq.SetHighGain(0);
  EXPECT_FLOAT_EQ(eq.B0, 1.0f);
  EXPECT_FLOAT_EQ(eq.B1, eq.A1);
  EXPECT_FLOAT_EQ(eq.B2, eq.A2);
  for (float x : {0.5f, -0.25f, 1.0f, 0.125f}) EXPECT_NEAR(eq.Step(x), x, 1e-6f);
}

TEST(ThreeBandEQ, EachBandTakesItsGainAtItsFrequency) {
  TDSP3BandEQ eq;
  eq.SetFrequency(1000);
  eq.SetQ(0.5f);
  eq.SetLowGain(0);
  eq.SetMidGain(-15);
  eq.SetHighGain(0);
  EXPECT_NEAR(EqGain(eq, 1000), 0.1768, 1e-3);
  eq.SetLowGain(6);
  EXPECT_NEAR(EqGain(eq, 0), 2.0, 1e-3);
  EXPECT_NEAR(EqGain(eq, 22050), 1.0, 1e-3);
  eq.SetHighGain(-15);
  EXPECT_NEAR(EqGain(eq, 22050), 0.1768, 1e-3);
}

TEST(ThreeBandEQ, ClampsFrequencyAndQ) {
  TDSP3BandEQ a, b;
  a.SetFrequency(30000);  // designed at 44100 / 2.01
  b.SetFrequency(44100 / 2.01f);
  EXPECT_FLOAT_EQ(a.B0, b.B0);
  EXPECT_FLOAT_EQ(a.A1, b.A1);
  EXPECT_EQ(a.Frequency, 30000.0f);
  a.SetQ(0);
  EXPECT_EQ(a.Q, 0.01f);
  a.SetLowGain(40);
  EXPECT_EQ(a.LowGain, 15.0f);
  a.SetMidGain(std::nanf(""));
  EXPECT_EQ(a.MidGain, 2.0f);
}

TEST(ThreeBandEQ, RateChangeRedesignsTheSection) {
  TAudioSettingsRec rate96 = MakeAudioSettings(96000, 96);
  TDSP3BandEQ eq;
  eq.SetMidGain(6);
  eq.SetQ(0.7f);
  eq.SetAudioSettings(&rate96);
  EXPECT_NEAR(EqGain(eq, 1000, 96000), 2.0, 0.01);
}

// Two equalisers stepped together give exactly what each gives on its own,
// history included (a second buffer continues from it).
TEST(ThreeBandEQ, TwoStepTogetherAsEachAlone) {
  TDSP3BandEQ a, b, soloA, soloB;
  for (TDSP3BandEQ* e : {&a, &soloA}) {
    e->SetLowGain(6);
    e->SetFrequency(300);
    e->SetQ(0.4f);
  }
  for (TDSP3BandEQ* e : {&b, &soloB}) {
    e->SetHighGain(-9);
    e->SetMidGain(4);
    e->SetFrequency(2500);
  }
  std::vector<float> x(101), y(101);
  for (std::size_t i = 0; i < x.size(); ++i) {
    x[i] = std::sin(0.05f * static_cast<float>(i)) + (i % 7 == 0 ? 0.5f : 0.0f);
    y[i] = std::cos(0.31f * static_cast<float>(i));
  }
  std::vector<float> outA(x.size()), outB(x.size()), expA(x.size()), expB(x.size());
  for (int round = 0; round < 2; ++round) {
    TDSP3BandEQ::StepBuffers(a, x.data(), outA.data(), b, y.data(), outB.data(), 101);
    soloA.StepBuffer(x.data(), expA.data(), 101);
    soloB.StepBuffer(y.data(), expB.data(), 101);
    for (std::size_t i = 0; i < x.size(); ++i) {
      ASSERT_EQ(outA[i], expA[i]) << i;
      ASSERT_EQ(outB[i], expB[i]) << i;
    }
  }
}
