#include "dsp/oscillators/base_oscillator.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <utility>
#include <vector>

#include "dsp/oscillators/formula_oscillators.h"

namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

}  // namespace

TEST(BaseOscillator, PitchToFrequencyAndIncrement) {
  TSawOsc1 osc;
  osc.SetAudioSettings(&DefaultAudioSettings);
  osc.SetPitch(69.0f);
  EXPECT_NEAR(osc.Frequency, 440.0f, 1e-3f);
  EXPECT_FLOAT_EQ(osc.Increment, osc.Frequency / 44100.0f);
  EXPECT_EQ(osc.Pitch, 69.0f);
  EXPECT_EQ(osc.EffectivePitch, 69.0f);

  // Far below the range: the frequency of pitch -128, the pitch kept as given.
  osc.SetPitch(-500.0f);
  EXPECT_FLOAT_EQ(osc.Frequency, TDSPBaseControl::PitchToFreq(-128.0f));
  EXPECT_EQ(osc.EffectivePitch, -500.0f);
  osc.SetPitch(400.0f);
  EXPECT_FLOAT_EQ(osc.Frequency, TDSPBaseControl::PitchToFreq(256.0f));

  // A NaN pitch is ignored instead of poisoning the increment.
  osc.SetPitch(69.0f);
  osc.SetPitch(kNaN);
  EXPECT_NEAR(osc.Frequency, 440.0f, 1e-3f);
}

TEST(BaseOscillator, PitchOffsetIsAddedBeforeConversion) {
  TParabolaOsc1 osc;  // offset 24 semitones
  osc.SetPitch(45.0f);
  EXPECT_EQ(osc.EffectivePitch, 69.0f);
  EXPECT_NEAR(osc.Frequency, 440.0f, 1e-3f);
}

TEST(BaseOscillator, FrequencyIsClampedAndUnchangedValuesDoNothing) {
  TSawOsc1 osc;
  osc.SetFrequency(0.0f);
  EXPECT_EQ(osc.Frequency, 1e-9f);
  osc.SetFrequency(1e6f);
  EXPECT_EQ(osc.Frequency, 600000.0f);
  osc.SetFrequency(kInf);
  EXPECT_EQ(osc.Frequency, 600000.0f);
  osc.SetFrequency(kNaN);
  EXPECT_EQ(osc.Frequency, 600000.0f);

  osc.SetFrequency(1000.0f);
  EXPECT_NEAR(osc.EffectivePitch, TDSPBaseControl::FreqToPitch(1000.0f), 1e-4f);
  const float increment = osc.Increment;
  TAudioSettingsRec rate48 = MakeAudioSettings(48000, 48);
  osc.SetAudioSettings(&rate48);
  osc.SetFrequency(1000.0f);  // same value: nothing is recomputed
  EXPECT_EQ(osc.Increment, increment);
  osc.SetFrequency(1001.0f);
  EXPECT_FLOAT_EQ(osc.Increment, 1001.0f / 48000.0f);
}

TEST(BaseOscillator, SetPhasePlacesThePhaseWithOneWrap) {
  TSawOsc1 osc;
  osc.ResetPhase();
  EXPECT_EQ(osc.Phase, 0.001f);
  // Past the limit or below the minimum: one wrap of 48 and no more. Phases
  // that are not finite restart.
  const std::pair<float, float> cases[] = {{100.0f, 52.0f}, {200.0f, 104.0f}, {-150.0f, -102.0f},
                                           {12.5f, 12.5f},  {kNaN, 0.001f},   {-kInf, 0.001f}};
  for (const auto& [set, expected] : cases) {
    osc.SetPhase(set);
    EXPECT_EQ(osc.Phase, expected) << set;
  }
}

TEST(BaseOscillator, SetPhaseOnARangeWhoseMinimumIsItsLimitStaysFinite) {
  TRoseCurveOsc1 osc;  // minimum = limit = 2 pi: the one-wrap formula would divide by zero
  osc.SetPhase(1.0f);
  EXPECT_TRUE(std::isfinite(osc.Phase));
  EXPECT_NEAR(osc.Phase, 1.0f + kTwoPiF, 1e-5f);
}

TEST(BaseOscillator, PhaseStepWrapsOnceAndRecoversFromBadPhases) {
  TSawOsc1 osc;
  osc.Phase = 95.9f;
  osc.StepPhase(0.1f);  // exactly at the limit: the per-sample step keeps it
  EXPECT_FLOAT_EQ(osc.Phase, 96.0f);
  osc.StepPhaseAtLimit(0.0f);  // the runners' step wraps already here
  EXPECT_FLOAT_EQ(osc.Phase, 48.0f);

  // An increment beyond the wrap length cannot make the phase grow without end.
  osc.Phase = 50.0f;
  for (int i = 0; i < 1000; ++i) osc.StepPhase(1000.25f);
  EXPECT_GE(osc.Phase, 48.0f);
  EXPECT_LE(osc.Phase, 96.0f);
  EXPECT_NEAR(std::fmod(osc.Phase, 1.0f), std::fmod(50.0f + 1000 * 0.25f, 1.0f), 1e-3f);

  osc.Phase = kNaN;
  osc.StepPhase(0.01f);
  EXPECT_EQ(osc.Phase, 0.001f);
  osc.Phase = kInf;
  osc.StepPhaseAtLimit(0.01f);
  EXPECT_EQ(osc.Phase, 0.001f);
}

TEST(BaseOscillator, AdvanceSampleAppliesGainAndSteps) {
  TSawOsc1 osc;
  osc.SetGain(0.5f);
  osc.Phase = 0.25f;
  osc.Increment = 0.25f;
  osc.Tick();
  osc.AdvanceSample();
  EXPECT_FLOAT_EQ(osc.OutputSample, -0.25f);
  EXPECT_FLOAT_EQ(osc.Phase, 0.5f);
}

namespace {

// A saw with buffers at 44100 Hz, block 44.
struct BufferedSaw {
  TAudioSettingsRec settings = MakeAudioSettings(44100, 8);
  TSawOsc1 osc;
  BufferedSaw(std::uint32_t inputMode = 0x20000) {
    osc.InputMode = inputMode;
    osc.SetUsesBuffers(true);
    osc.SetAudioSettings(&settings);
  }
};

}  // namespace

TEST(BaseOscillator, InputModeSelectsTheOptionalBuffers) {
  BufferedSaw plain, sync(0x70000);
  EXPECT_NE(plain.osc.PhaseModBuffer, nullptr);
  EXPECT_EQ(plain.osc.SyncBuffer, nullptr);
  EXPECT_NE(sync.osc.SyncBuffer, nullptr);
  EXPECT_NE(sync.osc.SyncPhaseBuffer, nullptr);

  TSawOsc1 unbuffered;
  unbuffered.SetAudioSettings(&DefaultAudioSettings);
  unbuffered.ProcessBlock();  // no buffers: nothing to do, no crash
  unbuffered.ProcessBlockPMSync();
}

TEST(BaseOscillator, BlockRunnerMatchesTickAndStep) {
  BufferedSaw b;
  b.osc.SetPitch(60.0f);
  b.osc.SetGain(0.5f);
  b.osc.FillInputBuffers();
  TSawOsc1 reference;
  reference.SetPitch(60.0f);
  b.osc.ProcessBlock();
  for (int i = 0; i < 8; ++i) {
    reference.Tick();
    EXPECT_FLOAT_EQ(b.osc.OutBuffer[i], reference.OutputSample * 0.5f) << i;
    reference.StepPhaseAtLimit(reference.Increment);
  }
}

TEST(BaseOscillator, ControlRunnerFollowsThePitchInputOncePerBlock) {
  BufferedSaw b;
  std::vector<float> pitch(64, 69.0f);
  std::vector<float> amplitude(64, 2.0f);
  b.osc.Inputs[0] = pitch.data();
  b.osc.Inputs[1] = amplitude.data();
  b.osc.ProcessBlockControl();
  EXPECT_NEAR(b.osc.Frequency, 440.0f, 1e-3f);
  EXPECT_FLOAT_EQ(b.osc.OutBuffer[0], 2.0f * (2.0f * 0.001f - 1.0f));
}

TEST(BaseOscillator, HardSyncJumpsOnceOnARisingEdge) {
  BufferedSaw b(0x70000);
  b.osc.Phase = 10.0f;
  const float sync[8] = {-1, -1, 0.5f, 0.7f, 0.2f, 0.3f, 0.1f, 0.9f};
  for (int i = 0; i < 8; ++i) {
    b.osc.SyncBuffer[i] = sync[i];
    b.osc.SyncPhaseBuffer[i] = 70.0f + static_cast<float>(i);
    b.osc.IncrementBuffer[i] = 0.01f;
    b.osc.AmplitudeBuffer[i] = 1.0f;
    b.osc.PhaseModBuffer[i] = 0.0f;
  }
  b.osc.ProcessBlockPMSync();
  // One jump, at the third sample, to its sync phase, then five steps.
  EXPECT_NEAR(b.osc.Phase, 72.0f + 5 * 0.01f, 1e-4f);
  EXPECT_EQ(b.osc.SyncArmed, 0);
  // The jump shows from the next sample on.
  EXPECT_NEAR(b.osc.OutBuffer[3], 2.0f * TDSPBaseControl::FracTrunc(72.0f) - 1.0f, 1e-4f);
}

TEST(BaseOscillator, SyncThatNeverGoesNegativeJumpsOnlyWhileArmedFromConstruction) {
  BufferedSaw b(0x70000);
  for (int i = 0; i < 8; ++i) {
    b.osc.SyncBuffer[i] = 0.5f;
    b.osc.SyncPhaseBuffer[i] = 60.0f;
    b.osc.IncrementBuffer[i] = 0.01f;
  }
  b.osc.ProcessBlockPMSync();
  EXPECT_NEAR(b.osc.Phase, 60.0f + 7 * 0.01f, 1e-4f);
  b.osc.ProcessBlockPMSync();
  EXPECT_NEAR(b.osc.Phase, 60.0f + 15 * 0.01f, 1e-4f);
}

TEST(BaseOscillator, PhaseModulationMovesOnlyThePointRead) {
  BufferedSaw b;
  b.osc.Phase = 50.0f;
  for (int i = 0; i < 8; ++i) {
    b.osc.PhaseModBuffer[i] = 0.25f;
    b.osc.IncrementBuffer[i] = 0.0f;
    b.osc.AmplitudeBuffer[i] = 1.0f;
  }
  b.osc.ProcessBlockPMSync();
  EXPECT_EQ(b.osc.Phase, 50.0f);
  EXPECT_FLOAT_EQ(b.osc.OutBuffer[0], 2.0f * 0.25f - 1.0f);
}
