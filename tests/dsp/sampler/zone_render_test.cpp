// The zone renderers: each specialised one is the general renderer on its
// case, the choice follows the zone, and every loop mode keeps the position
// where the data is.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "tests/dsp/sampler/instrument_rig.h"
#include "tests/support/owner_lock.h"
#include "tests/support/test_support.h"

namespace {

using sampler_test::PlainZone;
using sampler_test::SineSample;
using sampler_test::TInstrumentRig;

struct TRenderCase {
  std::string Name;
  std::uint16_t Channels;
  std::int32_t Interpolation;
  std::uint8_t LoopMode;
  bool Env2AndStages;
  TZoneRender Expected;
  float PitchOffset = 0;  // semitones above the root
  std::int32_t Frames = 4000;
  std::int32_t LoopStart = 1000, LoopEnd = 3000;
};

// A zone that moves: envelope with curve, two LFOs on level, pan and pitch
// (one in semitones, one on the increment), a pitch sweep; optionally
// envelope 2 with its level and pitch share and all five stages.
TBankSpec CaseBank(const TRenderCase& c) {
  TBankSpec bank;
  bank.Name = "Case";
  bank.Samples.push_back(
      SineSample(1, c.Channels, c.Frames, 40.0 * c.Frames / 4000, c.LoopMode, c.LoopStart, c.LoopEnd));
  TSampleZoneRec z = PlainZone(1);
  z.Env1AttackMs = 5;
  z.Env1DecayMs = 20;
  z.Env1SustainLevel = 0.6f;
  z.Env1ReleaseMs = 30;
  z.Env1Curve = 2;
  z.Lfo[0].On = 1;
  z.Lfo[0].Rate = 60.0f;  // about 26 Hz
  z.GainLfo[0] = 0.3f;
  z.PanLfo[0] = 0.2f;
  z.PitchLfo[0] = 0.05f;
  z.Lfo[1].On = 1;
  z.Lfo[1].Rate = 50.0f;
  z.Lfo[1].DelayMs = 30.0f;
  z.LfoPitchMode[1] = 1;
  z.PitchLfo[1] = 0.02f;
  z.PitchSweepOn = 1;
  z.PitchSweepStart = -2.0f;
  z.PitchSweepMs = 40.0f;
  if (c.Env2AndStages) {
    z.Env2On = 1;
    z.Env2AttackMs = 3;
    z.Env2DecayMs = 10;
    z.Env2SustainLevel = 0.5f;
    z.Env2ReleaseMs = 15;
    z.Env2LevelAmount = 0.5f;
    z.Env2PitchSemis = 1;
    z.Filter1On = z.Filter2On = 1;
    z.Filter1Type = 3;
    z.Filter1Cutoff = 3000.0f;
    z.Filter1Env[0] = 0.2f;
    z.Filter2Cutoff = 5000.0f;
    z.Filter2RangeHz = 1;
    z.Filter2Lfo[0] = 0.1f;
    z.Shaper[0].On = z.Shaper[1].On = 1;
    z.Shaper[0].Type = 5;
    z.Shaper[1].Type = 20;
    z.DistOn = 1;
    z.DistMix = 0.3f;
  }
  bank.Programs.push_back(TBankProgramSpec{0, "Case", false, {}, {z}});
  return bank;
}

std::vector<float> Play(TInstrumentRig& rig, const TRenderCase& c, bool general) {
  rig.Sampler.SetInterpolation(c.Interpolation);
  rig.NoteOn(60, 60.0f + c.PitchOffset);
  TZonePlayState& zone = rig.Sampler.Zone(0);
  if (general) zone.Render = RenderZoneGeneral(zone.LoopMode, false);
  std::vector<float> out = rig.Render(120);
  rig.Release();
  const std::vector<float> tail = rig.Render(80);
  out.insert(out.end(), tail.begin(), tail.end());
  return out;
}

// One case per specialised renderer.
std::vector<TRenderCase> SpecialisedCases() {
  return {
      {"stereo 2 Point loop", 2, 1, kLoopForward, false, &RenderZoneLoop},
      {"mono 4 Point loop", 1, 2, kLoopForward, false, &RenderZoneLoop},
      {"mono 2 Point loop", 1, 1, kLoopForward, false, &RenderZoneLoopLinearMono},
      {"increment beyond the loop", 1, 1, kLoopForward, false, &RenderZoneLoopLinearMono, 30.0f, 400, 100, 102},
      {"mono Cubic loop", 1, 4, kLoopForward, false, &RenderZoneLoopCubicMono},
      {"mono 2 Point loop, envelope 2 and stages", 1, 1, kLoopForward, true, &RenderZoneLoopLinearMonoEnv2},
      {"stereo Cubic one shot", 2, 4, kLoopNone, false, &RenderZoneOneShot, 7.0f, 3000},
      {"mono 2 Point one shot", 1, 1, kLoopNone, false, &RenderZoneOneShotLinearMono, 5.0f, 3000},
      {"mono Cubic one shot", 1, 4, kLoopNone, false, &RenderZoneOneShotCubicMono, 5.0f, 3000},
  };
}

TEST(ZoneRender, EachSpecialisedRendererEqualsTheGeneralOne) {
  for (const TRenderCase& c : SpecialisedCases()) {
    SCOPED_TRACE(c.Name);
    const TBankSpec bank = CaseBank(c);
    TInstrumentRig special(bank), general(bank);
    const std::vector<float> a = Play(special, c, false);
    const std::vector<float> b = Play(general, c, true);
    EXPECT_EQ(special.Sampler.Zone(0).Render, c.Expected);
    ASSERT_EQ(a.size(), b.size());
    float largest = 0, peak = 0;
    for (std::size_t i = 0; i < a.size(); ++i) {
      largest = std::max(largest, std::fabs(a[i] - b[i]));
      peak = std::max(peak, std::fabs(b[i]));
    }
    EXPECT_EQ(largest, 0.0f) << "the same computation";
    EXPECT_GT(peak, 0.05f) << "the case sounds";
    EXPECT_TRUE(testing_support::AllFinite(a));
  }
}

// At a frame stride of 2 (a voice playing its players at its own rate) a
// zone gives every other frame of what it gives in full: its position,
// envelope, LFOs, pitch sweep and release keep their own timing. The
// renderers with per-sample stages run in full and are picked from.
TEST(ZoneRender, AtFrameStrideTwoEveryRendererGivesEveryOtherFrame) {
  for (const TRenderCase& c : SpecialisedCases()) {
    SCOPED_TRACE(c.Name);
    const TBankSpec bank = CaseBank(c);
    std::vector<float> out[2];
    for (int stride = 1; stride <= 2; ++stride) {
      TInstrumentRig rig(bank);
      // A voice's players at 44.1 kHz: twice the rate and block.
      rig.Settings = MakeAudioSettings(88200, 88);
      rig.Sampler.SetAudioSettings(&rig.Settings);
      rig.Sampler.SetInterpolation(c.Interpolation);
      rig.NoteOn(60, 60.0f + c.PitchOffset);
      testing_support::TOwnerLockGuard lock;
      rig.Sampler.SetFrameStride(stride);
      ASSERT_EQ(rig.Sampler.Zone(0).Strides, c.Expected != &RenderZoneLoopLinearMonoEnv2);
      for (int b = 0; b < 200; ++b) {
        if (b == 120) rig.Sampler.Release();
        rig.Sampler.RenderBlock();
        const float* o = rig.Sampler.Output();
        for (std::int32_t m = 0; m < rig.Settings.BlockSize / stride; ++m) {
          out[stride - 1].push_back(o[2 * m]);
          out[stride - 1].push_back(o[2 * m + 1]);
        }
      }
    }
    ASSERT_EQ(out[0].size(), 2 * out[1].size());
    float largest = 0, peak = 0;
    for (std::size_t m = 0; 2 * m < out[1].size(); ++m) {
      for (std::size_t side = 0; side < 2; ++side) {
        largest = std::max(largest, std::fabs(out[1][2 * m + side] - out[0][4 * m + side]));
        peak = std::max(peak, std::fabs(out[0][4 * m + side]));
      }
    }
    EXPECT_GT(peak, 0.05f) << "the case sounds";
    // (The positions move by twice the step instead of the step twice: they
    // differ by rounding.)
    EXPECT_LT(largest, 1e-4f * peak);
  }
}

TEST(ZoneRender, ChoiceFollowsTheZone) {
  TBankSpec bank;
  bank.Samples.push_back(SineSample(1, 1, 400, 4, kLoopForward, 100, 300));
  bank.Samples.push_back(SineSample(2, 2, 400, 4, kLoopForward, 100, 300));
  TSampleZoneRec filtered = PlainZone(1);
  filtered.Filter1On = 1;
  TSampleZoneRec noEnv1 = PlainZone(1);
  noEnv1.Env1On = 0;
  TSampleZoneRec pingPong = PlainZone(1);
  pingPong.LoopModeOverride = 1;
  pingPong.LoopMode = kLoopAlternating;
  TSampleZoneRec modEnv = PlainZone(1);
  modEnv.ModEnvOn = 1;
  bank.Programs.push_back(
      TBankProgramSpec{0, "Choice", false, {}, {PlainZone(1), PlainZone(2), filtered, noEnv1, pingPong, modEnv}});
  TInstrumentRig rig(bank);
  auto chosen = [&](std::int32_t interpolation, std::int32_t zone) {
    rig.Sampler.SetInterpolation(interpolation);
    rig.NoteOn(60, 60.0f);
    return rig.Sampler.Zone(zone).Render;
  };
  EXPECT_EQ(chosen(4, 0), &RenderZoneLoopCubicMono);
  EXPECT_EQ(chosen(4, 1), &RenderZoneLoop) << "Cubic on a stereo sample";
  EXPECT_EQ(chosen(9, 0), &RenderZoneLoop) << "a mode above 4 is not the in-place cubic";
  EXPECT_EQ(chosen(1, 2), RenderZoneGeneral(kLoopForward, false)) << "a stage without envelope 2";
  EXPECT_EQ(chosen(1, 3), RenderZoneGeneral(kLoopForward, false)) << "envelope 1 not in use";
  EXPECT_EQ(chosen(1, 4), RenderZoneGeneral(kLoopAlternating, false));
  EXPECT_EQ(chosen(1, 5), RenderZoneGeneral(kLoopForward, true));
}

// Plays a zone with the general renderer and records the position after
// every block.
struct TLoopRun {
  std::vector<double> Positions;
  std::vector<double> Directions;
  std::vector<std::int32_t> Env1Counters;
  std::vector<float> Out;
};
TLoopRun RunLoop(std::uint8_t loopMode, float pitch, std::int32_t blocks, bool modEnv = false) {
  TBankSpec bank;
  bank.Samples.push_back(SineSample(1, 1, 1000, 10, loopMode, 300, 700));
  TSampleZoneRec z = PlainZone(1);
  z.ModEnvOn = modEnv;
  z.ModEnvHold = 0;
  bank.Programs.push_back(TBankProgramSpec{0, "Loop", false, {}, {z}});
  TInstrumentRig rig(bank);
  rig.NoteOn(60, pitch);
  TLoopRun run;
  for (std::int32_t b = 0; b < blocks; ++b) {
    const std::vector<float> out = rig.Render(1);
    run.Out.insert(run.Out.end(), out.begin(), out.end());
    run.Positions.push_back(rig.Sampler.Zone(0).Position);
    run.Directions.push_back(rig.Sampler.Zone(0).Direction);
    run.Env1Counters.push_back(rig.Sampler.Zone(0).Env1.Counter);
  }
  return run;
}

TEST(ZoneRender, LoopsKeepThePositionInsideEvenWithHugeIncrements) {
  // Up to 115 semitones up: 772 frames a sample against a loop of 400.
  for (std::uint8_t mode : {kLoopForward, kLoopForwardReverse, kLoopAlternating}) {
    for (float pitch : {60.0f, 108.0f, 150.0f, 175.0f}) {
      SCOPED_TRACE(::testing::Message() << "mode " << int(mode) << " pitch " << pitch);
      const TLoopRun run = RunLoop(mode, pitch, 60);
      // From the start through the loop start, then inside the loop (the
      // forward-reverse turn may stay past the loop end, within the data).
      for (std::size_t b = 20; b < run.Positions.size(); ++b) {
        EXPECT_GE(run.Positions[b], 300.0);
        EXPECT_LE(run.Positions[b], 1000.0);
      }
      EXPECT_TRUE(testing_support::AllFinite(run.Out));
      // (The alternating loop turning on a step longer than the loop stays
      // on one frame.)
      if (pitch < 170.0f) {
        EXPECT_GT(testing_support::Peak(run.Out), 0.1f) << "still sounding";
      }
    }
  }
  const TLoopRun forward = RunLoop(kLoopForward, 175.0f, 30);
  for (double p : forward.Positions) EXPECT_LT(p, 700.0) << "folded into the loop, not left past its end";
}

TEST(ZoneRender, ForwardThenReversePlaysBackwardAfterTheFirstEnd) {
  const TLoopRun run = RunLoop(kLoopForwardReverse, 60.0f, 60);
  // 400 frames of loop plus 300 before it: the end is reached after 16 ms.
  EXPECT_EQ(run.Directions[10], 1.0);
  for (std::size_t b = 20; b < run.Directions.size(); ++b) EXPECT_EQ(run.Directions[b], -1.0) << b;
}

TEST(ZoneRender, PositionModulationStaysInTheLoopAndResetsEnvelope1) {
  const TLoopRun run = RunLoop(kLoopForward, 60.0f, 200, true);
  for (double p : run.Positions) {
    EXPECT_GE(p, 300.0);
    EXPECT_LT(p, 700.0);
  }
  EXPECT_TRUE(testing_support::AllFinite(run.Out));
  // Attack 50 ms and decay 100 ms with the hold clear: envelope 1 counts
  // again from 0 after 150 ms.
  EXPECT_EQ(run.Env1Counters[139], 140 * 44);
  EXPECT_LT(run.Env1Counters[199], 60 * 44);
}

}  // namespace
