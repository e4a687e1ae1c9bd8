#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <vector>

#include "dsp/oscillators/blit_oscillator.h"
#include "dsp/oscillators/noise_oscillators.h"
#include "dsp/oscillators/recursive_oscillators.h"
#include "tests/support/test_support.h"

using testing_support::AllFinite;

TEST(BlitOscillator, PeriodHarmonicsAndRolloffFollowThePitch) {
  TBlitSawOsc1 osc;
  osc.SetAudioSettings(&DefaultAudioSettings);
  osc.SetFrequency(441.0f);
  osc.Tick();
  EXPECT_NEAR(osc.BlitState.Period, 100.0f, 1e-3f);
  EXPECT_EQ(osc.BlitState.HarmonicCount, 51.0f);
  EXPECT_NEAR(osc.BlitState.RolloffPerHarmonic, std::pow(0.5, 0.02), 1e-6);
  EXPECT_NEAR(osc.BlitState.RolloffPowerM, std::pow(std::pow(0.5, 0.02), 51.0), 1e-5);
}

TEST(BlitOscillator, PitchChangesWaitForTheNextCycle) {
  TBlitSawOsc1 osc;
  osc.SetFrequency(441.0f);
  for (int i = 0; i < 30; ++i) osc.Tick();
  osc.SetFrequency(882.0f);
  int samples = 30;
  while (osc.BlitState.Period > 99.0f && samples < 200) {
    osc.Tick();
    ++samples;
  }
  // The new period starts with the next cycle (101st sample, give or take
  // the rounding of the summed position).
  EXPECT_NEAR(samples, 101, 1);
  EXPECT_NEAR(osc.BlitState.Period, 50.0f, 1e-3f);
}

TEST(BlitOscillator, ControlRunnerScalesByThreeTheOneSampleRunnerDoesNot) {
  TAudioSettingsRec settings = MakeAudioSettings(44100, 16);
  TBlitSawOsc1 block, single, reference;
  for (TBlitSawOsc1* osc : {&block, &single, &reference}) {
    osc->SetUsesBuffers(true);
    osc->SetAudioSettings(&settings);
  }
  // The amplitude input reads the shared 3.0 buffer, the pitch input 48.
  block.ProcessBlockControl();
  reference.SetPitch(48.0f);
  for (std::int16_t i = 0; i < 16; ++i) {
    CurrentSampleIndex = i;
    single.ProcessOneSample();
    reference.Tick();
    EXPECT_FLOAT_EQ(block.OutBuffer[i], reference.OutputSample * 9.0f) << i;
    EXPECT_FLOAT_EQ(single.OutBuffer[i], reference.OutputSample * 3.0f) << i;
  }
  CurrentSampleIndex = 0;
}

TEST(BlitOscillator, NearZeroRatesStayFiniteWithABoundedHarmonicCount) {
  for (float hz : {1e-9f, 1e-3f, 0.05f, 2.0f}) {
    TBlitSawOsc1 osc;
    osc.SetAudioSettings(&ControlAudioSettings);
    osc.SetFrequency(hz);
    std::vector<float> out(20000);
    for (float& v : out) {
      osc.Tick();
      v = osc.OutputSample;
    }
    EXPECT_TRUE(AllFinite(out)) << hz;
    EXPECT_LE(osc.BlitState.Period, TDSPBlitOscillator::kMaxPeriod) << hz;
    EXPECT_GT(osc.BlitState.HarmonicCount, 0.0f) << hz;
    EXPECT_LE(osc.BlitState.HarmonicCount, TDSPBlitOscillator::kMaxPeriod) << hz;
    EXPECT_LT(osc.BlitState.RolloffPerHarmonic, 1.0f) << hz;
  }
}

TEST(BlitOscillator, RatesAboveOneCyclePerSampleStayFinite) {
  TBlitSawOsc1 osc;
  osc.SetAudioSettings(&ControlAudioSettings);
  osc.SetFrequency(600000.0f);  // sixty cycles per sample
  std::vector<float> out(5000);
  for (float& v : out) {
    osc.Tick();
    v = osc.OutputSample;
  }
  EXPECT_TRUE(AllFinite(out));
  EXPECT_LT(osc.BlitState.Position, 61.0f);
}

TEST(BlitOscillator, IntegratedImpulsesMakeASawOfSteadyAmplitude) {
  TBlitSawOsc1 osc;
  osc.SetAudioSettings(&DefaultAudioSettings);
  osc.SetPitch(45.0f);
  std::vector<float> out(44100);
  for (float& v : out) {
    osc.Tick();
    v = osc.OutputSample;
  }
  const std::span<const float> tail(out.data() + 22050, 22050);
  const float peak = testing_support::Peak(tail);
  EXPECT_GT(peak, 0.1f);
  EXPECT_LT(peak, 1.0f);
  EXPECT_NEAR(testing_support::ZeroCrossingFrequency(tail, 44100), 110.0, 0.5);
}

TEST(RecursiveOscillators, SineSoundsFromConstructionAndRestartsOnReset) {
  TSineOsc3 osc;
  osc.SetAudioSettings(&DefaultAudioSettings);
  osc.SetPitch(69.0f);
  EXPECT_NEAR(osc.RecursionCoef, 2.0 * std::sin(std::numbers::pi * 440.0 / 44100.0), 1e-5);
  osc.Tick();
  EXPECT_FLOAT_EQ(osc.OutputSample, 0.5f);  // s = 0.5 - k * 0
  for (int i = 0; i < 500; ++i) osc.Tick();
  osc.ResetPhase();
  osc.Tick();
  EXPECT_FLOAT_EQ(osc.OutputSample, 0.5f);
  EXPECT_EQ(osc.SineState, 0.5f);
}

TEST(RecursiveOscillators, FrequencySetsTheRateToo) {
  TCosineOsc2 osc;
  osc.SetAudioSettings(&DefaultAudioSettings);
  osc.SetFrequency(1000.0f);
  EXPECT_NEAR(osc.RecursionCoef, 2.0 * std::sin(std::numbers::pi * 1000.0 / 44100.0), 1e-5);
  std::vector<float> out(44100);
  for (float& v : out) {
    osc.Tick();
    v = osc.OutputSample;
  }
  EXPECT_NEAR(testing_support::ZeroCrossingFrequency(out, 44100), 1000.0, 1.0);
  // Amplitude about 0.5 / cos(pi x increment).
  EXPECT_NEAR(testing_support::Peak(out), 0.5 / std::cos(std::numbers::pi * 1000.0 / 44100.0), 0.01);
}

TEST(RecursiveOscillators, TickLeavesTheGainToTheCaller) {
  TSineOsc3 osc;
  osc.SetPitch(60.0f);
  osc.SetGain(-0.5f);
  osc.Tick();
  EXPECT_FLOAT_EQ(osc.OutputSample, 0.5f);
  osc.AdvanceSample();
  EXPECT_FLOAT_EQ(osc.OutputSample, -0.25f);  // the gain once, with its sign
  std::vector<float> buffer(44);
  osc.ResetPhase();
  osc.ProcessBuffer(buffer.data());
  EXPECT_FLOAT_EQ(buffer[0], -0.25f);
}

TEST(NoiseOscillators, RangesOfTheNoiseShapes) {
  TNoiseOsc1 white;
  TGaussianNoiseOsc1 gaussian;
  TNoiseOsc5 oneSided;
  double whiteSum = 0, gaussSquares = 0, whiteSquares = 0;
  for (int i = 0; i < 100000; ++i) {
    white.Tick();
    gaussian.Tick();
    oneSided.Tick();
    ASSERT_GE(white.OutputSample, -1.0f);
    ASSERT_LT(white.OutputSample, 1.0f);
    ASSERT_GE(gaussian.OutputSample, -1.0f);
    ASSERT_LT(gaussian.OutputSample, 1.0f);
    ASSERT_GE(oneSided.OutputSample, 0.0f);
    ASSERT_LE(oneSided.OutputSample, 1.0f);  // (2 - r) r rounds to 1 for the largest r
    whiteSum += white.OutputSample;
    whiteSquares += white.OutputSample * white.OutputSample;
    gaussSquares += gaussian.OutputSample * gaussian.OutputSample;
  }
  EXPECT_NEAR(whiteSum / 100000, 0.0, 0.02);
  // The mean of eight draws has an eighth of the variance.
  EXPECT_NEAR(gaussSquares / whiteSquares, 1.0 / 8.0, 0.02);
}

TEST(NoiseOscillators, WhiteNoiseBlockIsCentred) {
  TNoiseOsc1 osc;
  osc.SetUsesBuffers(true);
  osc.SetAudioSettings(&DefaultAudioSettings);
  osc.SetGain(1.0f);
  double sum = 0;
  for (int block = 0; block < 1000; ++block) {
    osc.ProcessBlock();
    for (int i = 0; i < 44; ++i) sum += osc.OutBuffer[i];
  }
  EXPECT_NEAR(sum / 44000, 0.0, 0.02);
}

TEST(NoiseOscillators, HeldNoiseDrawsAtTheShapePointAndTheCycleStart) {
  TNoiseOsc2 osc;
  osc.Phase = 50.1f;
  osc.Tick();
  const float first = osc.OutputSample;
  osc.Phase = 50.4f;
  osc.Tick();
  EXPECT_EQ(osc.OutputSample, first);  // same half: held
  osc.Phase = 50.6f;
  osc.Tick();
  const float second = osc.OutputSample;
  EXPECT_NE(second, first);  // past the shape point: a new draw
  osc.Phase = 50.9f;
  osc.Tick();
  EXPECT_EQ(osc.OutputSample, second);
  osc.Phase = 51.05f;
  osc.Tick();
  EXPECT_NE(osc.OutputSample, second);  // past the cycle start
}

TEST(NoiseOscillators, EachSeedDrawsItsOwnSequenceAndTheSameSeedTheSame) {
  TNoiseOsc1 a, b, c, fresh1, fresh2;
  a.SetRandomSeed(MixSeed(7, 0));
  b.SetRandomSeed(MixSeed(7, 1));
  c.SetRandomSeed(MixSeed(7, 0));
  int same = 0;
  for (int i = 0; i < 100; ++i) {
    a.Tick();
    b.Tick();
    c.Tick();
    fresh1.Tick();
    fresh2.Tick();
    if (a.OutputSample == b.OutputSample) ++same;
    ASSERT_EQ(a.OutputSample, c.OutputSample);
    ASSERT_EQ(fresh1.OutputSample, fresh2.OutputSample) << "no object starts from the process's history";
  }
  EXPECT_LT(same, 5);
}

TEST(NoiseOscillators, JitteredSineStaysASine) {
  TNoiseOsc4 osc;
  osc.SetAudioSettings(&DefaultAudioSettings);
  osc.SetPitch(57.0f);  // 220 Hz
  std::vector<float> out(44100);
  for (float& v : out) {
    osc.Tick();
    osc.AdvanceSample();
    v = osc.OutputSample;
  }
  EXPECT_TRUE(AllFinite(out));
  EXPECT_LE(testing_support::Peak(out), 1.0f);
  EXPECT_GT(testing_support::Peak(out), 0.99f);
}
