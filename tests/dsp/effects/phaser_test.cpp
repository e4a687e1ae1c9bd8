#include "dsp/effects/phaser.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <utility>
#include <vector>

#include "tests/dsp/effects/effect_test_support.h"
#include "tests/support/signal_measure.h"
#include "tests/support/test_support.h"

using effect_test::FirstAbove;
using effect_test::PluginRecord;

namespace {
// Coefficient 0 on both sides (depth 0, phase 1), no feedback or cross-feed:
// every stage is a one-sample delay.
void PureDelay(TDSPXPhaser& fx) {
  effect_test::AllWet(fx);
  fx.SetDepthLeft(0);
  fx.SetDepthRight(0);
  fx.SetPhaseLeft(1);
  fx.SetPhaseRight(1);
  fx.SetFeedbackLeft(0);
  fx.SetFeedbackRight(0);
  fx.SetCrossLeftToRight(0);
  fx.SetCrossRightToLeft(0);
}

float WorstDifference(const std::vector<float>& a, const std::vector<float>& b) {
  float worst = a.size() == b.size() ? 0.0f : 1e30f;
  for (std::size_t i = 0; i < std::min(a.size(), b.size()); ++i) worst = std::max(worst, std::fabs(a[i] - b[i]));
  return worst;
}
}  // namespace

// Each side has its own stages, depth, phase and feedback: with different
// settings on the two sides (no cross-feed), each sounds as a phaser with its
// settings on both. Equal stage counts run the lane form, unequal ones the
// stage-by-stage form: both are checked.
TEST(Phaser, EachSideHasItsOwnStagesDepthPhaseAndFeedback) {
  struct TSide {
    std::int32_t Stages;
    float Depth, Phase, Feedback;
  };
  auto set = [](TDSPXPhaser& fx, TSide l, TSide r) {
    effect_test::AllWet(fx);
    fx.SetCrossLeftToRight(0);
    fx.SetCrossRightToLeft(0);
    fx.SetStagesLeft(l.Stages);
    fx.SetStagesRight(r.Stages);
    fx.SetDepthLeft(l.Depth);
    fx.SetDepthRight(r.Depth);
    fx.SetPhaseLeft(l.Phase);
    fx.SetPhaseRight(r.Phase);
    fx.SetFeedbackLeft(l.Feedback);
    fx.SetFeedbackRight(r.Feedback);
    for (TDSPOscillator* lfo : {&fx.LfoLeft(), &fx.LfoRight()}) {
      lfo->SetFrequency(20);
      lfo->SetGain(0.5f);
    }
  };
  const auto noise = testing_support::Noise(4400, 12);
  for (const auto& [l, r] : {std::pair{TSide{4, 0.3f, 0.2f, 0.3f}, TSide{4, 0.8f, 0.6f, -0.5f}},
                             std::pair{TSide{4, 0.5f, 0.5f, 0.2f}, TSide{10, 0.5f, 0.5f, 0.2f}},
                             std::pair{TSide{10, 0.7f, 0.1f, 0.0f}, TSide{2, 0.2f, 0.9f, 0.6f}}}) {
    effect_test::TEffectAt<TDSPXPhaser> both(44100), onlyL(44100), onlyR(44100);
    set(both.Fx, l, r);
    set(onlyL.Fx, l, l);
    set(onlyR.Fx, r, r);
    const auto out = effect_test::Run(both.Fx, noise, noise);
    const auto refL = effect_test::Run(onlyL.Fx, noise, noise), refR = effect_test::Run(onlyR.Fx, noise, noise);
    // The two forms agree within rounding (the lane form is rearranged).
    EXPECT_LT(WorstDifference(out.Left, refL.Left), 2e-5f) << l.Stages << " and " << r.Stages << " stages";
    EXPECT_LT(WorstDifference(out.Right, refR.Right), 2e-5f) << l.Stages << " and " << r.Stages << " stages";
    EXPECT_GT(WorstDifference(out.Left, out.Right), 0.1f);
  }
}

TEST(Phaser, StageCountsAreEvenAndBounded) {
  TDSPXPhaser fx;
  EXPECT_EQ(fx.GetStagesLeft(), 4);
  fx.SetStagesLeft(7);
  EXPECT_EQ(fx.GetStagesLeft(), 6);
  fx.SetStagesLeft(1);
  EXPECT_EQ(fx.GetStagesLeft(), 2);
  fx.SetStagesRight(200);
  EXPECT_EQ(fx.GetStagesRight(), 64);
  fx.SetStagesRight(0x102);  // low byte 2
  EXPECT_EQ(fx.GetStagesRight(), 2);
  fx.SetShift(300);
  EXPECT_EQ(fx.GetShift(), 254.5f);
  fx.SetDepthLeft(2);
  fx.SetFeedbackRight(-5);
  EXPECT_EQ(fx.GetDepthLeft(), 1.0f);
  EXPECT_EQ(fx.GetFeedbackRight(), -1.0f);
}

TEST(Phaser, DepthZeroIsAPureDelayOfStagesPlusOne) {
  TAudioSettingsRec rec = PluginRecord(44100);
  for (std::int32_t stages : {2, 6, 64}) {
    TDSPXPhaser fx;
    fx.SetAudioSettings(&rec);
    PureDelay(fx);
    fx.SetStagesLeft(stages);
    fx.SetStagesRight(stages);
    const auto out = effect_test::RunImpulse(fx, 176);
    const auto delay = static_cast<std::size_t>(stages + 1);
    EXPECT_EQ(FirstAbove(out.Left, 1e-6f), delay) << stages;
    EXPECT_NEAR(out.Left[delay], 1.0f, 1e-6f) << stages;
    EXPECT_NEAR(out.Right[delay], 1.0f, 1e-6f) << stages;
    const std::vector<float> rest(out.Left.begin() + static_cast<std::ptrdiff_t>(delay) + 1, out.Left.end());
    EXPECT_EQ(FirstAbove(rest, 1e-6f), rest.size()) << stages;
  }
}

TEST(Phaser, ShiftAddsToTheDelay) {
  effect_test::TEffectAt<TDSPXPhaser> at(44100);
  TDSPXPhaser& fx = at.Fx;
  PureDelay(fx);
  fx.SetStagesLeft(2);
  fx.SetStagesRight(2);
  fx.SetShift(1.0f);  // the right channel 44 samples late
  EXPECT_EQ(fx.GetShiftLength(1), 44);
  const auto out = effect_test::RunImpulse(fx, 176);
  EXPECT_EQ(FirstAbove(out.Left, 1e-6f), 3u);
  EXPECT_EQ(FirstAbove(out.Right, 1e-6f), 2u + 44u);
}

// The clear reaches every one of the 64 stages: afterwards silence in gives
// silence out.
TEST(Phaser, ClearResetsAllStages) {
  effect_test::TEffectAt<TDSPXPhaser> at(44100);
  TDSPXPhaser& fx = at.Fx;
  effect_test::AllWet(fx);
  fx.SetStagesLeft(64);
  fx.SetStagesRight(64);
  fx.SetDepthLeft(0.5f);
  fx.SetPhaseLeft(0.5f);
  fx.SetFeedbackLeft(0.5f);
  const auto noise = testing_support::Noise(4400, 6);
  effect_test::Run(fx, noise, noise);
  fx.ClearState();
  const auto out = effect_test::Run(fx, std::vector<float>(4400, 0.0f), std::vector<float>(4400, 0.0f));
  EXPECT_LT(testing_support::Peak(out.Left), 1e-12f);
  EXPECT_LT(testing_support::Peak(out.Right), 1e-12f);
}

TEST(Phaser, RunawayFeedbackStaysFinite) {
  effect_test::TEffectAt<TDSPXPhaser> at(22050);
  TDSPXPhaser& fx = at.Fx;
  effect_test::AllWet(fx);
  fx.SetStagesLeft(64);
  fx.SetStagesRight(2);
  fx.SetDepthLeft(0);
  fx.SetPhaseLeft(0);  // coefficient 1: the stages integrate
  fx.SetFeedbackLeft(1);
  fx.SetFeedbackRight(-1);
  fx.SetCrossLeftToRight(1);
  fx.SetCrossRightToLeft(1);
  fx.LfoLeft().SetGain(32);
  fx.LfoRight().SetGain(-32);
  const auto noise = testing_support::Noise(22050 * 4, 8);
  const auto out = effect_test::Run(fx, noise, noise);
  EXPECT_TRUE(testing_support::AllFinite(out.Left));
  EXPECT_TRUE(testing_support::AllFinite(out.Right));
  EXPECT_LT(testing_support::Peak(out.Left), 1e8f);
}

// The lane form (equal stage counts up to 16) against the stage-by-stage
// form: the rearranged arithmetic rounds differently, so the outputs agree
// to float precision, not bit for bit, also with strong feedback, cross-feed,
// a moving LFO and coefficients near 1.
TEST(Phaser, LaneFormMatchesStageByStage) {
  TAudioSettingsRec rec = PluginRecord(44100);
  const auto noise = testing_support::Noise(44100, 3);
  std::vector<float> in(noise.size());
  for (std::size_t i = 0; i < in.size(); ++i) in[i] = noise[i] + 0.5f * static_cast<float>(i % 300) / 300.0f;
  struct TCase {
    std::int32_t Stages;
    float Depth, Phase, Feedback, Cross;
  };
  for (const TCase& c :
       {TCase{2, 0.9f, 0.9f, 0.475f, 0.225f}, TCase{4, 0.5f, 0.2f, -0.7f, 0.25f}, TCase{6, 0.9f, 0.91f, 0.475f, 0.225f},
        TCase{8, 1.0f, 0.0f, 0.6f, -0.35f}, TCase{6, 0.05f, 0.99f, 0.9f, 0.05f}, TCase{12, 0.7f, 0.5f, 0.5f, 0.2f},
        TCase{16, 0.9f, 0.3f, -0.45f, 0.3f}}) {
    TDSPXPhaser lanes, single;
    for (TDSPXPhaser* fx : {&lanes, &single}) {
      fx->SetAudioSettings(&rec);
      fx->SetMix(0.5f);
      fx->SetStagesLeft(c.Stages);
      fx->SetStagesRight(c.Stages);
      fx->SetDepthLeft(c.Depth);
      fx->SetDepthRight(c.Depth * 0.9f);
      fx->SetPhaseLeft(c.Phase);
      fx->SetPhaseRight(c.Phase);
      fx->SetFeedbackLeft(c.Feedback);
      fx->SetFeedbackRight(-c.Feedback);
      fx->SetCrossLeftToRight(c.Cross);
      fx->SetCrossRightToLeft(c.Cross * 0.5f);
      fx->LfoLeft().SetFrequency(30.0f);
      fx->LfoLeft().SetGain(0.5f);
      fx->LfoRight().SetFrequency(7.0f);
    }
    std::vector<float> l1 = in, r1 = in, l2 = in, r2 = in;
    const auto n = static_cast<std::size_t>(rec.SamplesPerMs);
    for (std::size_t pos = 0; pos + n <= in.size(); pos += n) {
      lanes.ProcessStereo(l1.data() + pos, r1.data() + pos);
      single.ProcessStereoOneByOne(l2.data() + pos, r2.data() + pos);
    }
    float worst = 0;
    for (std::size_t i = 0; i < in.size(); ++i)
      worst = std::max({worst, std::fabs(l1[i] - l2[i]), std::fabs(r1[i] - r2[i])});
    EXPECT_LT(worst, 2e-5f * std::max(testing_support::Peak(l2), testing_support::Peak(r2))) << c.Stages;
    EXPECT_GT(testing_support::Peak(l2), 0.1f);
  }
}

// The lane form built for AVX-512's registers gives the same bits as its
// plain SSE build (where this processor has AVX-512; otherwise both runs
// take the SSE build).
TEST(Phaser, WideRegistersGiveTheSameBits) {
  TAudioSettingsRec rec = PluginRecord(48000);
  const auto noise = testing_support::Noise(24000, 5);
  for (std::int32_t stages : {2, 4, 6, 8, 10, 14}) {
    std::array<std::vector<float>, 2> left, right;
    for (int wide = 0; wide < 2; ++wide) {
      TDSPXPhaser::SetWideRegisters(wide == 1);
      TDSPXPhaser fx;
      fx.SetAudioSettings(&rec);
      fx.SetStagesLeft(stages);
      fx.SetStagesRight(stages);
      fx.SetFeedbackLeft(0.6f);
      fx.SetFeedbackRight(-0.4f);
      fx.SetCrossLeftToRight(0.3f);
      fx.LfoLeft().SetFrequency(40.0f);
      fx.LfoRight().SetFrequency(25.0f);
      left[wide] = noise;
      right[wide] = noise;
      std::reverse(right[wide].begin(), right[wide].end());
      const auto n = static_cast<std::size_t>(rec.SamplesPerMs);
      for (std::size_t pos = 0; pos + n <= noise.size(); pos += n)
        fx.ProcessStereo(left[wide].data() + pos, right[wide].data() + pos);
    }
    TDSPXPhaser::SetWideRegisters(true);
    EXPECT_EQ(std::memcmp(left[0].data(), left[1].data(), noise.size() * sizeof(float)), 0) << stages;
    EXPECT_EQ(std::memcmp(right[0].data(), right[1].data(), noise.size() * sizeof(float)), 0) << stages;
  }
}
