#include "dsp/effects/chorus.h"

#include <gtest/gtest.h>

#include <vector>

#include "tests/dsp/effects/effect_test_support.h"
#include "tests/dsp/filters/filter_measure.h"
#include "tests/support/test_support.h"

using effect_test::FirstAbove;

namespace {
// LFOs silent (gain 0): the taps sit at the base delay.
void StillTaps(TDSPXChorus& fx) {
  for (int k = 0; k < 4; ++k) fx.Lfo(k).SetGain(0);
  fx.SetFeedbackLeft(0);
  fx.SetFeedbackRight(0);
  fx.SetCrossLeftToRight(0);
  fx.SetCrossRightToLeft(0);
}
}  // namespace

TEST(Chorus, LengthsAndBaseDelaysStayInsideTheLine) {
  effect_test::TEffectAt<TDSPXChorus> at(44100);
  TDSPXChorus& fx = at.Fx;
  EXPECT_EQ(fx.GetCapacity(), 1050 * 44);
  fx.SetLengthLeft(2000);  // cut to the capacity
  EXPECT_EQ(fx.GetLineLength(0), 1050 * 44);
  fx.SetLengthLeft(10);
  fx.SetSizeLeft(10);  // size at the length: base delay = length - 1
  EXPECT_EQ(fx.GetLineLength(0), 440);
  EXPECT_EQ(fx.GetBaseDelay(0), 439.0f);
  fx.SetSizeLeft(3);
  EXPECT_EQ(fx.GetBaseDelay(0), 132.0f);
  fx.SetLengthRight(0);  // never shorter than two samples
  EXPECT_EQ(fx.GetLineLength(1), 2);
  fx.SetLengthUnit(1);  // ticks at 120 BPM: 4.1667 ms each
  EXPECT_EQ(fx.GetLineLength(0), 1833);
  fx.SetFeedbackLeft(-3);
  fx.SetCrossRightToLeft(3);
  EXPECT_EQ(fx.GetFeedbackLeft(), -1.0f);
  EXPECT_EQ(fx.GetCrossRightToLeft(), 1.0f);
}

TEST(Chorus, StillTapsDelayByTheBaseDelay) {
  effect_test::TEffectAt<TDSPXChorus> at(44100);
  TDSPXChorus& fx = at.Fx;
  effect_test::AllWet(fx);
  StillTaps(fx);
  fx.SetLengthLeft(20);
  fx.SetLengthRight(20);
  fx.SetSizeLeft(5);   // 220 samples
  fx.SetSizeRight(2);  // 88 samples
  const auto out = effect_test::RunImpulse(fx, 880);
  EXPECT_EQ(FirstAbove(out.Left, 1e-6f), 220u);
  EXPECT_NEAR(out.Left[220], 1.0f, 1e-6f);
  EXPECT_EQ(FirstAbove(out.Right, 1e-6f), 88u);
  EXPECT_NEAR(out.Right[88], 1.0f, 1e-6f);
}

// The modulation moves the taps by gain + 0.25 x (LFO output) ms: an LFO
// of gain 2 that hardly moves (output within +-2) puts them 1.5..2.5 ms
// further out.
TEST(Chorus, LfoGainMovesTheTaps) {
  effect_test::TEffectAt<TDSPXChorus> at(44100);
  TDSPXChorus& fx = at.Fx;
  effect_test::AllWet(fx);
  StillTaps(fx);
  for (int k = 0; k < 4; ++k) {
    fx.Lfo(k).SetFrequency(1e-6f);
    fx.Lfo(k).SetGain(2.0f);
  }
  fx.SetLengthLeft(20);
  fx.SetSizeLeft(5);
  const auto out = effect_test::RunImpulse(fx, 880, true, false);
  const std::size_t first = FirstAbove(out.Left, 1e-6f);
  EXPECT_GE(first, 220u + 66u - 1u);
  EXPECT_LE(first, 220u + 110u + 1u);
}

// Sizes at or beyond the length, and the largest LFO gain, move the taps far
// beyond the line: every read stays inside it (checked by the sanitizers)
// and the output stays finite and bounded.
TEST(Chorus, ExtremeTapsStayInsideTheLine) {
  for (std::int32_t rate : {22050, 44100, 48000}) {
    effect_test::TEffectAt<TDSPXChorus> at(rate);
    TDSPXChorus& fx = at.Fx;
    effect_test::AllWet(fx);
    fx.SetLengthLeft(1);
    fx.SetSizeLeft(5);
    fx.SetLengthRight(0);
    fx.SetSizeRight(1000);
    for (int k = 0; k < 4; ++k) {
      fx.Lfo(k).SetWaveform(k * 7);
      fx.Lfo(k).SetFrequency(3000.0f + 500.0f * static_cast<float>(k));
      fx.Lfo(k).SetGain(k % 2 == 0 ? 32.0f : -32.0f);
    }
    fx.SetFeedbackLeft(1);
    fx.SetFeedbackRight(-1);
    fx.SetCrossLeftToRight(1);
    fx.SetCrossRightToLeft(1);
    const auto noise = filter_test::Noise(static_cast<std::size_t>(rate), 4);
    const auto out = effect_test::Run(fx, noise, noise);
    EXPECT_TRUE(testing_support::AllFinite(out.Left)) << rate;
    EXPECT_TRUE(testing_support::AllFinite(out.Right)) << rate;
    EXPECT_LT(testing_support::Peak(out.Left), 1e7f) << rate;
  }
}
