#include "dsp/effects/delay.h"

#include <gtest/gtest.h>

#include <vector>

#include "tests/dsp/effects/effect_test_support.h"
#include "tests/support/signal_measure.h"
#include "tests/support/test_support.h"

using effect_test::FirstAbove;

TEST(Delay, LineLengthsFromMillisecondsAndTicks) {
  effect_test::TEffectAt<TDSPXDelay> at(44100);
  TDSPXDelay& fx = at.Fx;
  EXPECT_EQ(fx.GetLengthUnit(), 1);
  fx.SetTempo(120);
  fx.SetLengthLeft(100);  // 100 ticks at 120 BPM = 416.7 ms, at 44.1 samples a millisecond
  EXPECT_EQ(fx.GetLineLength(0), 18375);
  fx.SetTempo(60);
  EXPECT_EQ(fx.GetLineLength(0), 36750);
  fx.SetLengthUnit(0);
  fx.SetLengthLeft(0);
  EXPECT_EQ(fx.GetLineLength(0), 1);
  fx.SetLengthRight(5000);  // cut to the capacity of 4100 ms less one sample
  EXPECT_EQ(fx.GetLineLength(1), 4100 * 44 - 1);
  EXPECT_EQ(fx.GetLineLength(1), 180399);
  fx.SetLengthRight(-5);
  EXPECT_EQ(fx.GetLineLength(1), 1);
  fx.SetTempo(1e-30f);  // absurd host tempo: lengths stay within the line
  fx.SetLengthUnit(1);
  EXPECT_EQ(fx.GetLineLength(0), 1);
  fx.SetLengthLeft(3);
  EXPECT_EQ(fx.GetLineLength(0), 180399);
}

// Lengths in ticks follow the host's tempo in real time at every rate: an
// eighth note's echo comes within half a sample of the eighth (a control
// block's rate div 1000 samples are not a millisecond).
TEST(Delay, TickLengthsKeepTheHostsTempoAtEveryRate) {
  for (const std::int32_t rate : {22050, 44100, 48000, 96000, 192000}) {
    for (const float bpm : {60.0f, 97.0f, 120.0f, 140.0f, 174.0f, 200.0f}) {
      effect_test::TEffectAt<TDSPXDelay> at(rate);
      TDSPXDelay& fx = at.Fx;
      fx.SetTempo(bpm);
      fx.SetLengthLeft(60);
      const double eighth = 30.0 / bpm * rate;
      EXPECT_LE(std::fabs(fx.GetLineLength(0) - eighth), 0.501) << rate << " Hz, " << bpm << " BPM";
    }
  }
}

TEST(Delay, EchoesScaleByTheFeedback) {
  effect_test::TEffectAt<TDSPXDelay> at(44100);
  TDSPXDelay& fx = at.Fx;
  effect_test::AllWet(fx);
  fx.SetLengthUnit(0);
  fx.SetLengthLeft(10);  // 440 samples
  fx.SetLengthRight(10);
  fx.SetFeedbackLeft(0.5f);
  fx.SetFeedbackRight(0.5f);
  const auto out = effect_test::RunImpulse(fx, 1400, true, false);
  EXPECT_EQ(FirstAbove(out.Left, 1e-6f), 440u);
  EXPECT_NEAR(out.Left[440], 0.5f, 1e-6f);
  EXPECT_NEAR(out.Left[880], 0.25f, 1e-6f);
  EXPECT_NEAR(out.Left[1320], 0.125f, 1e-6f);
  EXPECT_LT(testing_support::Peak(out.Right), 1e-6f);
}

TEST(Delay, ZeroLengthPlaysWithOneSampleLine) {
  effect_test::TEffectAt<TDSPXDelay> at(44100);
  TDSPXDelay& fx = at.Fx;
  effect_test::AllWet(fx);
  fx.SetLengthUnit(0);
  fx.SetLengthLeft(0);
  fx.SetFeedbackLeft(0.5f);
  const auto out = effect_test::RunImpulse(fx, 44, true, false);
  EXPECT_EQ(FirstAbove(out.Left, 1e-6f), 1u);
  EXPECT_NEAR(out.Left[1], 0.5f, 1e-6f);
  EXPECT_NEAR(out.Left[2], 0.25f, 1e-6f);
}

TEST(Delay, CrossFeedbackCarriesLeftIntoRight) {
  effect_test::TEffectAt<TDSPXDelay> at(44100);
  TDSPXDelay& fx = at.Fx;
  effect_test::AllWet(fx);
  fx.SetLengthUnit(0);
  fx.SetLengthLeft(10);
  fx.SetLengthRight(5);  // 220 samples
  fx.SetFeedbackLeft(0.5f);
  fx.SetFeedbackRight(0.0f);
  fx.SetCrossLeftToRight(0.8f);
  const auto out = effect_test::RunImpulse(fx, 880, true, false);
  EXPECT_EQ(FirstAbove(out.Right, 1e-6f), 220u);
  EXPECT_NEAR(out.Right[220], 0.4f, 1e-6f);
  EXPECT_NEAR(out.Left[440], 0.5f, 1e-6f);
}

// Feedback and cross-feedback of 1 on both sides make a loop gain of 2:
// the lines restart from silence instead of growing to infinity.
TEST(Delay, RunawayLoopStaysFiniteAndRecovers) {
  effect_test::TEffectAt<TDSPXDelay> at(48000);
  TDSPXDelay& fx = at.Fx;
  effect_test::AllWet(fx);
  fx.SetLengthUnit(0);
  fx.SetLengthLeft(1);
  fx.SetLengthRight(2);
  for (float g : {1.0f, -1.0f}) {
    fx.SetFeedbackLeft(g);
    fx.SetFeedbackRight(g);
    fx.SetCrossLeftToRight(1);
    fx.SetCrossRightToLeft(1);
    const auto noise = testing_support::Noise(96000, 11);
    const auto out = effect_test::Run(fx, noise, noise);
    EXPECT_TRUE(testing_support::AllFinite(out.Left));
    EXPECT_LT(testing_support::Peak(out.Right), 1e7f);
  }
  fx.SetFeedbackLeft(0);
  fx.SetFeedbackRight(0);
  const auto quiet = effect_test::Run(fx, std::vector<float>(4800, 0.0f), std::vector<float>(4800, 0.0f));
  EXPECT_LT(testing_support::Peak({quiet.Left.data() + 200, 4600}), 1e-12f);
}

TEST(Delay, FeedbackFilterShapesTheEchoes) {
  effect_test::TEffectAt<TDSPXDelay> at(44100);
  TDSPXDelay& fx = at.Fx;
  effect_test::AllWet(fx);
  fx.SetLengthUnit(0);
  fx.SetLengthLeft(2);
  fx.SetFeedbackLeft(0.9f);
  const auto noise = testing_support::Noise(8800, 2);
  const auto plain = effect_test::Run(fx, noise, noise);
  fx.ClearState();
  fx.FeedbackFilterLeft().SetFilterType(0);  // "BW LP"
  fx.FeedbackFilterLeft().SetCutoff(200);
  fx.SetFilterLeftOn(true);
  const auto filtered = effect_test::Run(fx, noise, noise);
  EXPECT_LT(testing_support::Rms(filtered.Left), 0.5 * testing_support::Rms(plain.Left));
}

// Each side's feedback filter switch filters that side's echoes only: the
// other side sounds exactly as with no filter at all. Both ways round.
TEST(Delay, EachSideFiltersOnlyItsOwnEchoes) {
  const auto noise = testing_support::Noise(8800, 2);
  auto run = [&](bool filterLeft, bool filterRight) {
    effect_test::TEffectAt<TDSPXDelay> at(44100);
    TDSPXDelay& fx = at.Fx;
    effect_test::AllWet(fx);
    fx.SetLengthUnit(0);
    fx.SetLengthLeft(2);
    fx.SetLengthRight(3);
    fx.SetFeedbackLeft(0.9f);
    fx.SetFeedbackRight(0.8f);
    for (TDSPMultiFilter* f : {&fx.FeedbackFilterLeft(), &fx.FeedbackFilterRight()}) {
      f->SetFilterType(0);  // "BW LP"
      f->SetCutoff(200);
    }
    fx.SetFilterLeftOn(filterLeft);
    fx.SetFilterRightOn(filterRight);
    return effect_test::Run(fx, noise, noise);
  };
  const auto plain = run(false, false), left = run(true, false), right = run(false, true);
  EXPECT_EQ(left.Right, plain.Right);
  EXPECT_LT(testing_support::Rms(left.Left), 0.5 * testing_support::Rms(plain.Left));
  EXPECT_EQ(right.Left, plain.Left);
  EXPECT_LT(testing_support::Rms(right.Right), 0.5 * testing_support::Rms(plain.Right));
}

// The per-sample loop (taken whenever a feedback filter is on) against the
// register runs (no filter): with filters that pass their input ("12DB LP"
// at its lowest cutoff) both give the same echoes, with feedback and
// cross-feedback both ways, unequal sides, and line lengths that are not
// multiples of four (the runs' one-by-one tails).
TEST(Delay, FilteredLoopAndRegisterRunsGiveTheSameEchoes) {
  const auto left = testing_support::Noise(4400, 31), right = testing_support::Noise(4400, 32);
  auto run = [&](bool filters) {
    effect_test::TEffectAt<TDSPXDelay> at(44100);
    TDSPXDelay& fx = at.Fx;
    fx.SetMix(0.7f);
    fx.SetPan(0.3f);
    fx.SetTempo(120);  // ticks of 4.1667 ms
    fx.SetLengthLeft(3);
    fx.SetLengthRight(5);
    EXPECT_NE(fx.GetLineLength(0) % 4, 0);
    EXPECT_NE(fx.GetLineLength(1) % 4, 0);
    fx.SetFeedbackLeft(0.6f);
    fx.SetFeedbackRight(-0.4f);
    fx.SetCrossLeftToRight(0.3f);
    fx.SetCrossRightToLeft(0.2f);
    for (TDSPMultiFilter* f : {&fx.FeedbackFilterLeft(), &fx.FeedbackFilterRight()}) {
      f->SetFilterType(6);  // "12DB LP": y = a x + (1 - a) y, a = 1 - cutoff / 22050
      f->SetCutoff(0);
    }
    fx.SetFilterLeftOn(filters);
    fx.SetFilterRightOn(filters);
    return effect_test::Run(fx, left, right);
  };
  const auto loop = run(true), runs = run(false);
  ASSERT_EQ(loop.Left.size(), runs.Left.size());
  float worst = 0;
  for (std::size_t i = 0; i < loop.Left.size(); ++i) {
    worst = std::max(worst, std::fabs(loop.Left[i] - runs.Left[i]));
    worst = std::max(worst, std::fabs(loop.Right[i] - runs.Right[i]));
  }
  EXPECT_LT(worst, 1e-5f);
  EXPECT_GT(testing_support::Rms(runs.Left), 0.1);
}

// Lines that hold a sub-block run four samples per register; the result
// must be exactly the per-sample loop (here written out), with feedback and
// cross-feedback, lines of different lengths wrapping at different samples.
TEST(Delay, VectorRunsGiveExactlyThePerSampleLoop) {
  effect_test::TEffectAt<TDSPXDelay> at(44100);
  TDSPXDelay& fx = at.Fx;
  fx.SetMix(0.7f);
  fx.SetPan(0.3f);
  fx.SetLengthUnit(0);
  fx.SetLengthLeft(3);  // 132 samples
  fx.SetLengthRight(5);
  fx.SetFeedbackLeft(0.6f);
  fx.SetFeedbackRight(-0.45f);
  fx.SetCrossLeftToRight(0.3f);
  fx.SetCrossRightToLeft(0.2f);
  const std::int32_t n = at.Record.SamplesPerMs;
  ASSERT_GE(fx.GetLineLength(0), n);
  std::vector<float> left = testing_support::Noise(60 * static_cast<std::size_t>(n), 5);
  std::vector<float> right = testing_support::Noise(left.size(), 6);
  // Well above the anti-denormal noise, which then adds nothing.
  for (std::size_t i = 0; i < left.size(); ++i) {
    left[i] = 0.5f + 0.25f * left[i];
    right[i] = 0.5f - 0.25f * right[i];
  }
  std::vector<float> lineL(static_cast<std::size_t>(fx.GetLineLength(0)), 0.0f);
  std::vector<float> lineR(static_cast<std::size_t>(fx.GetLineLength(1)), 0.0f);
  std::vector<float> expected[2] = {left, right};
  std::size_t wL = 0, wR = 0;
  for (std::size_t i = 0; i < left.size(); ++i) {
    const float xL = left[i], xR = right[i];
    const float dL = lineL[wL], dR = lineR[wR];
    const float fL = (dL + xL) * 0.6f, fR = (dR + xR) * -0.45f;
    expected[0][i] = xL * fx.GetLeftDryOut() + dL * fx.GetLeftWetOut();
    expected[1][i] = xR * fx.GetRightDryOut() + dR * fx.GetRightWetOut();
    lineL[wL] = fR * 0.2f + fL;
    lineR[wR] = fL * 0.3f + fR;
    if (++wL == lineL.size()) wL = 0;
    if (++wR == lineR.size()) wR = 0;
  }
  const auto out = effect_test::Run(fx, left, right);
  for (std::size_t i = 0; i < out.Left.size(); ++i) {
    ASSERT_EQ(out.Left[i], expected[0][i]) << i;
    ASSERT_EQ(out.Right[i], expected[1][i]) << i;
  }
}
