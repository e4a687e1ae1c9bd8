#include "dsp/effects/chorus.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstring>
#include <memory>
#include <numbers>
#include <vector>

#include "dsp/effects/effect_lfo.h"
#include "tests/dsp/effects/effect_test_support.h"
#include "tests/support/signal_measure.h"
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
  fx.SetLengthUnit(1);  // ticks at 120 BPM: 4.1667 ms each, 10 of them 1837.5 samples
  EXPECT_EQ(fx.GetLineLength(0), 1837);
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

// Each side feeds its taps back into its own line by its own amount: echoes
// of an impulse at one and two base delays on the side with feedback, one
// echo on the other. Both ways round.
TEST(Chorus, EachSideFeedsBackByItsOwnAmount) {
  for (bool leftFeedsBack : {true, false}) {
    effect_test::TEffectAt<TDSPXChorus> at(44100);
    TDSPXChorus& fx = at.Fx;
    effect_test::AllWet(fx);
    StillTaps(fx);
    fx.SetLengthLeft(20);
    fx.SetLengthRight(20);
    fx.SetSizeLeft(5);   // 220 samples
    fx.SetSizeRight(2);  // 88 samples
    fx.SetFeedbackLeft(leftFeedsBack ? 0.5f : 0.0f);
    fx.SetFeedbackRight(leftFeedsBack ? 0.0f : -0.5f);
    const auto out = effect_test::RunImpulse(fx, 880);
    EXPECT_NEAR(out.Left[220], 1.0f, 1e-6f);
    EXPECT_NEAR(out.Left[440], leftFeedsBack ? 0.5f : 0.0f, 1e-6f);
    EXPECT_NEAR(out.Right[88], 1.0f, 1e-6f);
    EXPECT_NEAR(out.Right[176], leftFeedsBack ? 0.0f : -0.5f, 1e-6f);
  }
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
    const auto noise = testing_support::Noise(static_cast<std::size_t>(rate), 4);
    const auto out = effect_test::Run(fx, noise, noise);
    EXPECT_TRUE(testing_support::AllFinite(out.Left)) << rate;
    EXPECT_TRUE(testing_support::AllFinite(out.Right)) << rate;
    EXPECT_LT(testing_support::Peak(out.Left), 1e7f) << rate;
  }
}

// Each tap reads its line at the side's base delay plus the LFO's amount in
// ms, interpolated between samples, and wrapped into the line: a slow sine
// comes out delayed by exactly that. Left and right get different settings
// (a side that used the other's would be off by tens of samples), and both
// processing forms must give it. Three cases per side: a fractional delay,
// a delay a hair above zero (it wraps to the oldest sample, the line's
// whole length, and must not glitch where the write position wraps), and an
// amount far beyond the line (it wraps around the line's length).
TEST(Chorus, TapsDelayByBaseDelayPlusAmountWrappedIntoTheLine) {
  struct TSide {
    float LengthMs, SizeMs, Gain;  // the LFOs' gain: their amount is gain + 0.25 x output
  };
  struct TCase {
    TSide Left, Right;
  };
  const TCase cases[] = {
      {{10, 2, 0.51f}, {20, 5, 1.26f}},
      {{10, 0, 1e-7f}, {7, 0, 1e-7f}},
      {{10, 0, 32.01f}, {20, 3, 0.02f}},
  };
  constexpr double kHz = 150, kAmplitude = 0.5;
  constexpr std::size_t n = 44, kCount = 200 * n;  // 44 samples per ms at 44.1 kHz
  for (const TCase& c : cases) {
    for (bool oneByOne : {false, true}) {
      effect_test::TEffectAt<TDSPXChorus> at(44100);
      TDSPXChorus& fx = at.Fx;
      effect_test::AllWet(fx);
      StillTaps(fx);
      fx.SetLengthLeft(c.Left.LengthMs);
      fx.SetSizeLeft(c.Left.SizeMs);
      fx.SetLengthRight(c.Right.LengthMs);
      fx.SetSizeRight(c.Right.SizeMs);
      double delay[2];
      for (int side = 0; side < 2; ++side) {
        const TSide& s = side == 0 ? c.Left : c.Right;
        // The LFOs hardly move (1e-6 Hz): a twin gives their amount.
        const auto twin = CreateEffectLfo();
        twin->SetFrequency(1e-6f);
        twin->SetGain(s.Gain);
        const double amountMs = TickModulation(*twin, 2000);
        for (int k = 2 * side; k < 2 * side + 2; ++k) {
          fx.Lfo(k).SetFrequency(1e-6f);
          fx.Lfo(k).SetGain(s.Gain);
        }
        const double length = std::round(s.LengthMs * 44), base = std::round(s.SizeMs * 44);
        ASSERT_EQ(fx.GetLineLength(side), length);
        ASSERT_EQ(fx.GetBaseDelay(side), base);
        delay[side] = std::fmod(base + amountMs * 44, length);
        if (delay[side] < 1e-3) delay[side] = length;  // a hair behind the write position
      }
      std::vector<float> left(kCount), right(kCount);
      for (std::size_t i = 0; i < kCount; ++i)
        left[i] = right[i] =
            static_cast<float>(kAmplitude * std::sin(2 * std::numbers::pi * kHz * static_cast<double>(i) / 44100));
      for (std::size_t pos = 0; pos < kCount; pos += n) {
        if (oneByOne) fx.ProcessStereoOneByOne(left.data() + pos, right.data() + pos);
        else fx.ProcessStereo(left.data() + pos, right.data() + pos);
      }
      for (int side = 0; side < 2; ++side) {
        const std::vector<float>& out = side == 0 ? left : right;
        double worst = 0;
        // From 100 ms on, the lines hold only the sine.
        for (std::size_t i = 4400; i < kCount; ++i) {
          const double t = (static_cast<double>(i) - delay[side]) / 44100;
          worst = std::max(worst, std::fabs(out[i] - kAmplitude * std::sin(2 * std::numbers::pi * kHz * t)));
        }
        // Linear interpolation of this sine is within 3e-5 of it; a delay a
        // tenth of a sample off is 1e-3 away.
        EXPECT_LT(worst, 1e-4) << (side == 0 ? "left" : "right") << " delay " << delay[side]
                               << (oneByOne ? ", one by one" : ", two passes");
      }
    }
  }
}

// The two-pass form against every sample in turn, bit for bit: taps far
// behind the writes (two passes), taps that sweep through the current
// sub-block and the line's end (runs fall back), taps beyond the line's
// length that wrap into what the sub-block writes, a line shorter than a
// sub-block, feedback with cross-feed, and a runaway loop.
TEST(Chorus, TwoPassFormMatchesOneByOne) {
  struct TCase {
    float Length, SizeLeft, SizeRight, Gain, Feedback, Cross;
  };
  const auto noise = testing_support::Noise(48000, 11);
  for (const TCase& c : {TCase{30, 10, 12, 2.0f, 0.4f, 0.3f}, TCase{5, 0, 0.5f, 0.8f, -0.5f, 0.2f},
                         TCase{3, 2.5f, 1.0f, 1.5f, 0.3f, -0.3f}, TCase{0.04f, 0, 0, 0.5f, 0.2f, 0.1f},
                         TCase{100, 7, 11, 1.2f, 1.0f, 1.0f}, TCase{3, 3, 3, 1.0f, 0.3f, 0.2f}}) {
    for (std::int32_t rate : {44100, 48000, 22050}) {
      effect_test::TEffectAt<TDSPXChorus> a(rate), b(rate);
      for (TDSPXChorus* fx : {&a.Fx, &b.Fx}) {
        fx->SetMix(0.6f);
        fx->SetLengthLeft(c.Length);
        fx->SetLengthRight(c.Length * 0.9f);
        fx->SetSizeLeft(c.SizeLeft);
        fx->SetSizeRight(c.SizeRight);
        fx->SetFeedbackLeft(c.Feedback);
        fx->SetFeedbackRight(-c.Feedback);
        fx->SetCrossLeftToRight(c.Cross);
        fx->SetCrossRightToLeft(c.Cross);
        for (int k = 0; k < 4; ++k) {
          fx->Lfo(k).SetFrequency(40.0f + 13.0f * static_cast<float>(k));
          fx->Lfo(k).SetGain(c.Gain * (k % 2 == 0 ? 1.0f : 0.5f));
        }
      }
      std::vector<float> l1 = noise, r1 = noise, l2 = noise, r2 = noise;
      for (std::size_t i = 0; i < noise.size(); ++i) r1[i] = r2[i] = 0.5f * noise[(i * 7) % noise.size()];
      const auto n = static_cast<std::size_t>(a.Record.SamplesPerMs);
      for (std::size_t pos = 0; pos + n <= noise.size(); pos += n) {
        a.Fx.ProcessStereo(l1.data() + pos, r1.data() + pos);
        b.Fx.ProcessStereoOneByOne(l2.data() + pos, r2.data() + pos);
      }
      std::size_t firstDiff = noise.size();
      for (std::size_t i = 0; i < noise.size() && firstDiff == noise.size(); ++i)
        if (std::memcmp(&l1[i], &l2[i], sizeof(float)) != 0 || std::memcmp(&r1[i], &r2[i], sizeof(float)) != 0)
          firstDiff = i;
      EXPECT_EQ(firstDiff, noise.size()) << c.Length << " ms at " << rate;
      EXPECT_GT(testing_support::Peak(l2), 0.1f);
    }
  }
}
