#include "dsp/filters/multi_filter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <typeinfo>
#include <vector>

#include "dsp/filters/biquad_filters.h"
#include "dsp/filters/butterworth_filters.h"
#include "dsp/filters/resonant_filters.h"
#include "dsp/filters/simple_filters.h"
#include "tests/dsp/filters/filter_measure.h"
#include "tests/support/signal_measure.h"
#include "tests/support/test_support.h"

using testing_support::Noise;

TEST(MultiFilter, TypeValuesRoundAndClampToTheirClass) {
  TDSPMultiFilter m;
  EXPECT_EQ(typeid(m.Filter()), typeid(TButterworthFilter1LP));
  m.SetFilterType(36.6f);
  EXPECT_EQ(m.GetFilterIndex(), 37);
  EXPECT_EQ(typeid(m.Filter()), typeid(TPinkNoiseFilter));
  m.SetFilterType(37.4f);
  EXPECT_EQ(m.GetFilterIndex(), 37);
  m.SetFilterType(12);
  EXPECT_EQ(typeid(m.Filter()), typeid(TXResonantFilter1));
  m.SetFilterType(-3);
  EXPECT_EQ(m.GetFilterIndex(), 0);
  EXPECT_EQ(FilterTypeName(0), "BW LP");
  m.SetFilterType(50);
  EXPECT_EQ(typeid(m.Filter()), typeid(TButterworthFilter1LP));
  EXPECT_EQ(FilterTypeName(50), "");
  EXPECT_EQ(FilterTypeName(36), FilterTypeName(37 - 1));
  EXPECT_EQ(FilterTypeName(-1), "");
}

TEST(MultiFilter, SameTypeValueKeepsTheFilterAndItsStateWhileAClampedOneRebuilds) {
  TDSPMultiFilter m;
  m.SetFilterType(6);  // one-pole smoother: its output shows its state
  m.SetCutoff(11025);
  for (int i = 0; i < 10; ++i) m.ProcessSample(1.0f);
  const float settled = m.ProcessSample(1.0f);
  m.SetFilterType(6);
  EXPECT_GT(m.ProcessSample(1.0f), settled);  // the same filter went on

  m.SetFilterType(60);  // stored as 50
  for (int i = 0; i < 100; ++i) m.ProcessSample(1.0f);
  const float before = m.ProcessSample(0.0f);
  m.SetFilterType(60);  // 60 differs from the stored 50: a fresh filter
  EXPECT_NE(before, 0.0f);
  EXPECT_EQ(m.ProcessSample(0.0f), 0.0f);
}

TEST(MultiFilter, TypeChangeCarriesCutoffResonanceAndParam3) {
  TDSPMultiFilter m;
  m.SetCutoff(30000);
  EXPECT_EQ(m.Filter().GetCutoff(), 22050.0f);
  m.SetCutoff(1234);
  m.SetResonance(0.7f);
  m.SetParam3(0.2f);
  m.SetFilterType(22);
  EXPECT_EQ(m.Filter().GetCutoff(), 1234.0f);
  EXPECT_EQ(m.Filter().GetResonance(), 0.7f);
  EXPECT_EQ(m.Filter().GetParam3(), 0.2f);
  m.SetCutoff(std::nanf(""));  // ignored
  EXPECT_EQ(m.Filter().GetCutoff(), 1234.0f);
}

TEST(MultiFilter, RateChangeRecomputesTheCoefficients) {
  TAudioSettingsRec rate48 = MakeAudioSettings(48000, 48);
  TDSPMultiFilter m;
  m.SetFilterType(20);
  m.SetCutoff(5000);
  m.SetAudioSettings(&rate48);

  TDSPMultiFilter fresh;
  fresh.SetAudioSettings(&rate48);
  fresh.SetFilterType(20);
  fresh.SetCutoff(5000);
  const std::vector<float> in = Noise(500, 3);
  for (float x : in) ASSERT_EQ(m.ProcessSample(x), fresh.ProcessSample(x));
}

TEST(MultiFilter, UpdateBracketRecomputesOnlyAtTheOutermostEnd) {
  TButterworthFilter1HP f;
  const float before = f.B0;
  f.BeginUpdate();
  f.BeginUpdate();
  f.SetCutoff(100);
  f.EndUpdate();
  EXPECT_EQ(f.B0, before);
  f.EndUpdate();
  EXPECT_NE(f.B0, before);
}

TEST(MultiFilter, ModulationRunnersFlushDenormalOutputs) {
  TDSPOnePoleFilterLP f;  // cutoff 0.001: passes the input almost unchanged
  f.SetCutoff(0);
  f.SetUsesBuffers(true);
  f.SetAudioSettings(f.Settings);
  std::vector<float> in(f.Settings->BufferLength, 1e-39f);
  std::vector<float> cutoff(f.Settings->BufferLength, 0.0f);
  f.Inputs[0] = in.data();
  f.Inputs[1] = cutoff.data();
  f.ProcessBlockModCutoff();
  for (int i = 0; i < f.Settings->BlockSize; ++i) EXPECT_EQ(f.OutBuffer[i], 0.0f) << i;
  CurrentSampleIndex = 3;
  f.ProcessSampleModCutoff();
  EXPECT_EQ(f.OutBuffer[3], 0.0f);
  CurrentSampleIndex = 0;
}

TEST(MultiFilter, NotchLimitsItsOutputButKeepsTheTrueState) {
  TIIRNotchFilter1 notch;
  notch.SetCutoff(100);
  float peak = 0, x = 1e6f;  // at the Nyquist end the notch passes the input
  for (int i = 0; i < 100; ++i, x = -x) peak = std::max(peak, std::fabs(notch.ProcessSample(x)));
  EXPECT_LE(peak, 32768.0f);
  EXPECT_GT(std::fabs(notch.Y1), 32768.0f);
}

// Every type, over cutoffs up to and beyond 22050, the whole resonance range
// and four rates, filters a second of noise without a non-finite sample.
// "LP1" diverged above about 0.24 of the rate; a float-rounded cookbook
// design at a near-zero frequency put a pole outside the unit circle.
TEST(FilterStability, EveryTypeStaysFiniteOverTheParameterGrid) {
  const float cutoffs[] = {0.001f, 10, 100, 1000, 5000, 10600, 15000, 21200, 22050, 30000};
  const float resonances[] = {0.001f, 0.25f, 0.5f, 0.75f, 0.999f};
  for (std::int32_t rate : {22050, 44100, 48000, 96000}) {
    TAudioSettingsRec settings = MakeAudioSettings(rate, rate / 1000);
    const std::vector<float> noise = Noise(static_cast<std::size_t>(rate), 7);
    std::vector<float> buffer(noise.size());
    for (std::int32_t type = 0; type <= kFilterTypeCount; ++type) {
      for (float cutoff : cutoffs) {
        for (float resonance : resonances) {
          TDSPMultiFilter m;
          m.SetAudioSettings(&settings);
          m.SetFilterType(static_cast<float>(type));
          m.SetCutoff(cutoff);
          m.SetResonance(resonance);
          m.SetParam3(1 - resonance);
          buffer = noise;
          m.ProcessSamples(buffer.data(), static_cast<std::int32_t>(buffer.size()));
          ASSERT_TRUE(testing_support::AllFinite(buffer))
              << FilterTypeName(type) << " rate " << rate << " cutoff " << cutoff << " resonance " << resonance;
        }
      }
    }
  }
}

// Exact in double, a section at a near-zero frequency can round onto or past
// the unit circle in single precision and then grow without bound.
TEST(FilterStability, SectionsKeepTheirPolesInsideAfterRounding) {
  // The stability triangle, exact on the stored single-precision values.
  auto stable = [](double a1, double a2) { return std::fabs(a2) < 1 && std::fabs(a1) < 1 + a2; };
  for (std::int32_t rate : {22050, 44100, 96000}) {
    TAudioSettingsRec settings = MakeAudioSettings(rate, rate / 1000);
    for (std::int32_t type = 0; type < kFilterTypeCount; ++type) {
      for (float cutoff : {0.001f, 0.01f, 1.0f, 10.0f, 22050.0f}) {
        for (float resonance : {0.001f, 0.25f, 0.999f}) {
          TDSPMultiFilter m;
          m.SetAudioSettings(&settings);
          m.SetFilterType(static_cast<float>(type));
          m.SetCutoff(cutoff);
          m.SetResonance(resonance);
          m.SetParam3(resonance);
          if (auto* f = dynamic_cast<TDSPDirectFormFilter*>(&m.Filter())) {
            EXPECT_TRUE(stable(f->A1, f->A2))
                << FilterTypeName(type) << " " << rate << " " << cutoff << " " << resonance;
          }
          if (auto* f = dynamic_cast<TBiquadFilter1Base*>(&m.Filter())) {
            EXPECT_TRUE(stable(f->A1, f->A2))
                << FilterTypeName(type) << " " << rate << " " << cutoff << " " << resonance;
          }
        }
      }
    }
  }
  float a1 = -2.0f, a2 = 1.0f;  // a double pole on the circle at DC
  KeepPolesInside(a1, a2);
  EXPECT_TRUE(stable(a1, a2));
  EXPECT_NEAR(a1, -2.0f, 1e-6f);
}

TEST(FilterStability, BiquadGuardsZeroesTinyOutputsAndSaturatesUnstableOnes) {
  TBiquadFilter14PoleEQ2 f;
  f.B0 = 0.5f;
  f.B1 = f.B2 = f.A1 = f.A2 = 0;
  EXPECT_EQ(f.ProcessSample(1e-5f), 0.0f);  // 5e-6 is within the guard
  EXPECT_EQ(f.ProcessSample(1e-4f), 5e-5f);
  f.A1 = -2.5f;  // a pole at 2.5 (set directly: designs keep their poles inside)
  float y = 0;
  for (int i = 0; i < 100; ++i) y = f.ProcessSample(1.0f);
  EXPECT_EQ(y, TBiquadFilter1Base::kOutputLimit);
}

TEST(FilterStability, BufferAndSamplePathsGiveTheSameOutput) {
  const std::vector<float> noise = Noise(44 * 45, 11);
  for (std::int32_t type = 0; type < kFilterTypeCount; ++type) {
    TDSPMultiFilter a, b;
    for (TDSPMultiFilter* m : {&a, &b}) {
      m->SetFilterType(static_cast<float>(type));
      m->SetCutoff(3000);
      m->SetResonance(0.6f);
      m->SetParam3(0.3f);
    }
    std::vector<float> buffer = noise;
    for (std::size_t at = 0; at < buffer.size(); at += 44) b.ProcessBuffer(buffer.data() + at);
    for (std::size_t i = 0; i < noise.size(); ++i) {
      a.InputSample = noise[i];
      a.Tick();
      ASSERT_EQ(a.OutputSample, buffer[i]) << FilterTypeName(type) << " at " << i;
    }
  }
}

// A second thread switches the type (under the owner's lock, as the owner
// does) while the render thread, holding the lock per block as the audio
// thread does, filters blocks.
TEST(MultiFilterStress, SwitchWhileFiltering) {
  TDSPMultiFilter m;
  m.SetCutoff(2000);
  m.SetResonance(0.5f);
  filter_test::ChangeWhileRendering(
      [&](std::vector<float>& block) { m.ProcessSamples(block.data(), static_cast<std::int32_t>(block.size())); },
      [&](int i) { m.SetFilterType(static_cast<float>(i % 40)); });
  EXPECT_EQ(m.Filter().GetCutoff(), 2000.0f);
}
