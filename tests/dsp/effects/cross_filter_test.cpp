#include "dsp/effects/cross_filter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "tests/dsp/effects/effect_test_support.h"
#include "tests/support/signal_measure.h"
#include "tests/support/test_support.h"

using effect_test::FirstAbove;
using effect_test::PluginRecord;

TEST(CrossFilter, WindowTable) {
  EXPECT_EQ(XFilterWindowTable[0], 0.0f);
  EXPECT_EQ(XFilterWindowTable[4000], 1.0f);
  EXPECT_NEAR(XFilterWindowTable[2000], 1.0f - std::pow(0.5f, 5.0f), 1e-7f);
}

TEST(CrossFilter, EqualTapsShareTheCycle) {
  effect_test::TEffectAt<TDSPXXFilter> at(44100);
  TDSPXXFilter& fx = at.Fx;
  fx.SetLengthUnit(0);
  fx.SetFilterCount(6);
  EXPECT_EQ(fx.GetFilterCount(), 4);
  for (int st = 0; st < 4; ++st) fx.SetTapLength(false, st, 10);
  EXPECT_EQ(fx.GetCyclePeriod(false), 4 * 440);
  for (int st = 0; st < 4; ++st) EXPECT_FLOAT_EQ(fx.GetWindowWidth(false, st), 0.25f);
  // Phases 0.375, 0.125, 0.875, 0.625: the windows peak one quarter apart.
  const float expected[4] = {0.375f, 0.125f, 0.875f, 0.625f};
  for (int st = 0; st < 4; ++st) EXPECT_NEAR(fx.GetWindowPhase(false, st), expected[st], 1e-6f);
  fx.SetFilterCount(2);
  fx.SetTapLength(false, 0, 30);
  EXPECT_EQ(fx.GetCyclePeriod(false), 40 * 44);
  EXPECT_FLOAT_EQ(fx.GetWindowWidth(false, 0), 0.75f);
  fx.SetTapLength(false, 9, 10);  // no such stage: ignored
}

// Each side lays its stages out from its own tap lengths.
TEST(CrossFilter, EachSideLaysOutItsOwnTaps) {
  effect_test::TEffectAt<TDSPXXFilter> at(44100);
  TDSPXXFilter& fx = at.Fx;
  fx.SetLengthUnit(0);
  fx.SetFilterCount(2);
  fx.SetTapLength(false, 0, 10);
  fx.SetTapLength(false, 1, 10);
  fx.SetTapLength(true, 0, 30);
  fx.SetTapLength(true, 1, 10);
  EXPECT_EQ(fx.GetCyclePeriod(false), 20 * 44);
  EXPECT_EQ(fx.GetCyclePeriod(true), 40 * 44);
  EXPECT_FLOAT_EQ(fx.GetWindowWidth(false, 0), 0.5f);
  EXPECT_FLOAT_EQ(fx.GetWindowWidth(true, 0), 0.75f);
  EXPECT_FLOAT_EQ(fx.GetWindowWidth(true, 1), 0.25f);
  EXPECT_NEAR(fx.GetWindowPhase(false, 1), 0.75f, 1e-6f);
  EXPECT_NEAR(fx.GetWindowPhase(true, 1), 0.625f, 1e-6f);
}

// Taps in ticks follow the host's tempo: after 64 bars of a cycle of two
// eighths the windows are where the host's beat puts them, to well within a
// millisecond, at every rate.
TEST(CrossFilter, TickCycleKeepsTheHostsTempoOverSixtyFourBars) {
  struct TCase {
    std::int32_t Rate;
    float Bpm;
  };
  for (const TCase c : {TCase{22050, 174}, TCase{44100, 120}, TCase{48000, 97}, TCase{96000, 140}, TCase{192000, 60}}) {
    effect_test::TEffectAt<TDSPXXFilter> at(c.Rate);
    TDSPXXFilter& fx = at.Fx;
    fx.SetTempo(c.Bpm);
    fx.SetLengthUnit(1);
    fx.SetFilterCount(2);
    for (const bool right : {false, true})
      for (int st = 0; st < 2; ++st) fx.SetTapLength(right, st, 60);
    const float start = fx.GetWindowPhase(false, 0);
    const auto n = static_cast<std::size_t>(at.Record.SamplesPerMs);
    const double cycle = 60.0 / c.Bpm * c.Rate;  // a quarter note, in samples
    const auto blocks = static_cast<std::int64_t>(64 * 4 * cycle / static_cast<double>(n));
    std::vector<float> left(n), right(n);
    for (std::int64_t b = 0; b < blocks; ++b) {
      std::fill(left.begin(), left.end(), 0.0f);
      std::fill(right.begin(), right.end(), 0.0f);
      fx.ProcessStereo(left.data(), right.data());
    }
    const double cycles = static_cast<double>(blocks) * static_cast<double>(n) / cycle;
    double off = fx.GetWindowPhase(false, 0) - start - (cycles - std::floor(cycles));
    off -= std::nearbyint(off);
    const double offMs = off * cycle / c.Rate * 1000.0;
    EXPECT_LT(std::fabs(offMs), 0.1) << c.Rate << " Hz, " << c.Bpm << " BPM: " << offMs << " ms off the beat";
  }
}

TEST(CrossFilter, ShiftDelaysOneChannel) {
  effect_test::TEffectAt<TDSPXXFilter> at(44100);
  TDSPXXFilter& fx = at.Fx;
  fx.SetMix(0);  // dry only
  fx.SetDryGain(1);
  fx.SetRightShift(0.04f);  // below 0.05 ms: one sample on both sides
  auto out = effect_test::RunImpulse(fx, 880);
  EXPECT_EQ(FirstAbove(out.Left, 1e-6f), 1u);
  EXPECT_EQ(FirstAbove(out.Right, 1e-6f), 1u);
  EXPECT_NEAR(out.Left[1], 1.0f, 1e-6f);
  fx.ClearState();
  fx.SetRightShift(-10);  // the left channel 440 samples late
  EXPECT_EQ(fx.GetShiftLength(0), 440);
  EXPECT_EQ(fx.GetShiftLength(1), 1);
  out = effect_test::RunImpulse(fx, 880);
  EXPECT_EQ(FirstAbove(out.Left, 1e-6f), 440u);
  EXPECT_EQ(FirstAbove(out.Right, 1e-6f), 1u);
  fx.SetRightShift(1e6f);  // cut to the line
  EXPECT_EQ(fx.GetShiftLength(1), 255 * 44 - 1);
}

// Two stages of 10 ms: a low-pass that passes DC and a high-pass that
// blocks it. Fed with DC, the output traces the low-pass stage's window: it
// peaks a quarter into each 880-sample cycle and vanishes at three quarters
// (plus the one sample of the shift). Without windows the stages just add.
TEST(CrossFilter, WindowsHandTheSignalFromStageToStage) {
  TAudioSettingsRec rec = PluginRecord(44100);
  for (std::int32_t mode : {0, 1, 2}) {
    TDSPXXFilter fx;
    fx.SetAudioSettings(&rec);
    effect_test::AllWet(fx);
    fx.SetLengthUnit(0);
    fx.SetInterpolation(mode);
    fx.SetFilterCount(2);
    for (bool right : {false, true}) {
      fx.SetTapLength(right, 0, 10);
      fx.SetTapLength(right, 1, 10);
      fx.StageFilter(right, 0).SetFilterType(0);  // "BW LP"
      fx.StageFilter(right, 0).SetCutoff(100);
      fx.StageFilter(right, 1).SetFilterType(1);  // "BW HP"
      fx.StageFilter(right, 1).SetCutoff(100);
    }
    const std::vector<float> dc(4 * 880, 1.0f);
    const auto out = effect_test::Run(fx, dc, dc);
    for (std::size_t cycle = 2; cycle < 4; ++cycle) {
      const std::size_t peak = cycle * 880 + 220 + 1, trough = cycle * 880 + 660 + 1;
      EXPECT_NEAR(out.Left[peak], 1.0f, 0.03f) << mode;
      EXPECT_NEAR(out.Right[peak], 1.0f, 0.03f) << mode;
      EXPECT_NEAR(out.Left[trough], mode == 0 ? 1.0f : 0.0f, 0.03f) << mode;
    }
  }
}

namespace {
void CheckStagesAgainstOneStageForm() {
  TAudioSettingsRec rec = PluginRecord(44100);
  const std::int32_t n = rec.SamplesPerMs;
  const int typeSets[2][2][4] = {{{0, 20, 3, 27}, {1, 13, 26, 4}},  // the right side has an SVF
                                 {{0, 20, 3, 27}, {27, 3, 20, 0}}};
  for (std::int32_t mode : {0, 1, 2}) {
    for (std::int32_t count = 1; count <= 4; ++count) {
      for (const auto& types : typeSets) {
        TDSPXXFilter fx;
        fx.SetAudioSettings(&rec);
        effect_test::AllWet(fx);
        fx.SetLengthUnit(0);
        fx.SetInterpolation(mode);
        fx.SetFilterCount(count);
        TDSPMultiFilter reference[2][4];
        for (int side = 0; side < 2; ++side) {
          for (int st = 0; st < count; ++st) {
            fx.SetTapLength(side == 1, st, 3 + 2 * st + side);
            for (TDSPMultiFilter* f : {&fx.StageFilter(side == 1, st), &reference[side][st]}) {
              f->SetAudioSettings(&rec);
              f->SetFilterType(static_cast<float>(types[side][st]));
              f->SetCutoff(200.0f + 700.0f * static_cast<float>(st));
              f->SetResonance(0.5f);
              f->SetParam3(0.3f);
            }
          }
        }
        float phase[2][4];
        for (int side = 0; side < 2; ++side)
          for (int st = 0; st < count; ++st) phase[side][st] = fx.GetWindowPhase(side == 1, st);
        // Inputs well above the anti-denormal noise, which then adds nothing.
        std::vector<float> left = testing_support::Noise(40 * static_cast<std::size_t>(n), 3);
        std::vector<float> right = testing_support::Noise(40 * static_cast<std::size_t>(n), 4);
        for (float* x : {left.data(), right.data()})
          for (std::size_t i = 0; i < left.size(); ++i) x[i] = 0.25f + 0.5f * x[i];
        std::vector<float> expected[2];
        for (int side = 0; side < 2; ++side) {
          const std::vector<float>& in = side == 0 ? left : right;
          expected[side].assign(in.size(), 0.0f);
          const double cycle = fx.GetCycleSamples(side == 1);
          const auto rate = static_cast<float>(1.0 / cycle);
          for (int st = 0; st < count; ++st) {
            std::vector<float> y = in;
            for (std::size_t pos = 0; pos < y.size(); pos += static_cast<std::size_t>(n))
              reference[side][st].ProcessSamples(y.data() + pos, n);
            const float a = std::min(2.0f * fx.GetWindowWidth(side == 1, st), 1.0f);
            float p = phase[side][st];
            double place = 0;  // samples into the cycle
            for (std::size_t i = 0; i < y.size(); ++i) {
              float level = 1.0f;
              if (mode != 0 && i % static_cast<std::size_t>(n) == 0) {
                // Each sub-block starts where the cycle's place puts it.
                const double at = static_cast<double>(phase[side][st]) + place / cycle;
                p = static_cast<float>(at - std::floor(at));
                place = std::fmod(place + n, cycle);
              }
              if (mode != 0) {
                float w = p < 0.5f ? 2.0f * p : 2.0f * (1.0f - p);
                if (mode == 1) w = XFilterWindowTable[static_cast<std::size_t>(std::lrint(w * 4000.0f))];
                level = (1.0f - (1.0f - w) * a) * w;
                p += rate;
                if (p > 1.0f) p -= 1.0f;
              }
              expected[side][i] += mode != 0 ? y[i] * level : y[i];
            }
          }
        }
        const auto out = effect_test::Run(fx, left, right);
        for (int side = 0; side < 2; ++side) {
          const std::vector<float>& got = side == 0 ? out.Left : out.Right;
          // One sample of inter-channel shift.
          for (std::size_t i = 0; i + 1 < got.size(); ++i) {
            if (std::fabs(expected[side][i]) < 1e-6f) continue;  // the noise may show
            ASSERT_EQ(got[i + 1], expected[side][i])
                << "mode " << mode << " count " << count << " side " << side << " sample " << i;
          }
        }
      }
    }
  }
}
}  // namespace

// The stages run four at a time (direct-form sections in vector lanes, the
// windows likewise; with direct-form sections on both sides, filters,
// windows and sums in one pass until a window wraps); the result must be
// exactly that of each stage filtered and windowed on its own and the stages
// added in order: every window mode, every stage count, direct-form sides
// and a side that mixes in another type. The reference is that one-stage
// form, on filters of the same types and settings. The one-pass loop is
// checked with AVX2 (where the CPU has it) and without.
TEST(CrossFilter, StagesTogetherGiveExactlyTheOneStageForm) {
  for (bool avx2 : {true, false}) {
    SCOPED_TRACE(SetCrossFilterAvx2(avx2) ? "AVX2" : "SSE");
    CheckStagesAgainstOneStageForm();
  }
  SetCrossFilterAvx2(true);
}
