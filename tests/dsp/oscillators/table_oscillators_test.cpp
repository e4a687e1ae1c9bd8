#include "dsp/oscillators/table_oscillators.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "dsp/oscillators/formula_oscillators.h"

TEST(TableOscillators, SineTableHoldsTheScaledSine) {
  TSineOsc2 osc;
  ASSERT_EQ(osc.TableLength, 256);
  float peak = 0;
  for (int i = 0; i < 256; ++i) {
    const double expected = std::sin(static_cast<double>(kTwoPiF) * i / 256.0) * 32767.0 / 16383.0;
    EXPECT_NEAR(osc.Table[i], expected, 1e-6) << i;
    peak = std::max(peak, osc.Table[i]);
  }
  EXPECT_NEAR(peak, 2.0001f, 1e-4f);
}

TEST(TableOscillators, PitchUsesTheOffsetButStoresThePitchWithoutIt) {
  TSineOsc2 osc;
  osc.SetAudioSettings(&DefaultAudioSettings);
  osc.SetPitch(69.0f);
  EXPECT_NEAR(osc.Frequency, 440.763f, 1e-3f);
  EXPECT_NEAR(osc.Increment, 2.55862f, 1e-5f);
  EXPECT_EQ(osc.EffectivePitch, 69.0f);
  osc.SetFrequency(0.0f);
  EXPECT_EQ(osc.Frequency, 1e-7f);
  osc.SetFrequency(440.0f);  // no offset here
  EXPECT_FLOAT_EQ(osc.Increment, 440.0f * 256.0f / 44100.0f);
}

TEST(TableOscillators, ReadsInterpolateAndWrapAtTheTableEnd) {
  TSineOsc2 osc;
  osc.Increment = 0;
  osc.Phase = 255.6f;
  osc.Tick();
  EXPECT_NEAR(osc.OutputSample, 0.4f * osc.Table[255] + 0.6f * osc.Table[0], 1e-6f);

  // Positions at or beyond the length, below zero, or not finite never read
  // the slack past the table.
  const float cases[] = {256.0f, 256.0f - 1e-5f, -1e-8f, -0.5f, 1e9f, -1e9f};
  for (float p : cases) {
    osc.Phase = p;
    osc.Tick();
    EXPECT_TRUE(std::isfinite(osc.OutputSample)) << p;
    EXPECT_LE(std::fabs(osc.OutputSample), 2.001f) << p;
    EXPECT_GE(osc.Phase, 0.0f) << p;
    EXPECT_LE(osc.Phase, 256.0f) << p;
  }
  osc.Phase = std::numeric_limits<float>::quiet_NaN();
  osc.Tick();
  EXPECT_EQ(osc.OutputSample, osc.Table[0]);
  osc.Phase = std::numeric_limits<float>::infinity();
  osc.Tick();
  EXPECT_EQ(osc.OutputSample, osc.Table[0]);
}

TEST(TableOscillators, AddPhaseWrapsWithinTheTable) {
  TSineOsc2 osc;
  osc.Phase = 10.0f;
  osc.AddPhase(-0.25f);
  EXPECT_EQ(osc.Phase, 202.0f);
  osc.Phase = 10.0f;
  osc.AddPhase(1.5f);
  EXPECT_EQ(osc.Phase, 138.0f);
  osc.SetPhaseDrift(0.5f);
  EXPECT_EQ(osc.PhaseDrift, 128.0f);
}

TEST(TableOscillators, TablesAreSharedAndIdenticalRecipesMatch) {
  TSmoothSquare3Osc a;
  TSmoothSquare3Osc b;
  EXPECT_EQ(a.Table, b.Table);  // one table for the module
  TSmoothSquare4Osc c;
  for (int i = 0; i < 256; ++i) EXPECT_EQ(a.Table[i], c.Table[i]) << i;
  for (int i = 256; i < 266; ++i) EXPECT_EQ(c.Table[i], 0.0f);
}

TEST(TableOscillators, NoiseTableOfFiveHundredTwelveEntries) {
  TNoiseOsc3 osc;
  EXPECT_EQ(osc.TableLength, 512);
  EXPECT_EQ(osc.PhaseLimit, 512.0f);
  EXPECT_EQ(osc.Table[0], NoiseBuffer[52]);
  EXPECT_EQ(osc.Table[511], NoiseBuffer[52 + 511]);
  // One step per entry: repeats every 512 steps.
  osc.Increment = 1.0f;
  osc.Phase = 0.0f;
  std::vector<float> first(512);
  for (float& v : first) {
    osc.Tick();
    v = osc.OutputSample;
  }
  for (float v : first) {
    osc.Tick();
    EXPECT_EQ(osc.OutputSample, v);
  }
}

TEST(TableOscillators, SmoothingPassIsCircularAndOrdered) {
  float t[4] = {1, 0, 0, 0};
  SmoothWaveTable(t, 4, 1);
  EXPECT_FLOAT_EQ(t[0], 0.8101f);
  EXPECT_FLOAT_EQ(t[1], 0.09f);
  EXPECT_FLOAT_EQ(t[2], 0.009f);
  EXPECT_FLOAT_EQ(t[3], 0.0909f);
  EXPECT_NEAR(t[0] + t[1] + t[2] + t[3], 1.0f, 1e-6f);
}

TEST(TableOscillators, SmoothedTablesLoseTheirEdges) {
  // More passes round the square more: the largest step between entries shrinks.
  auto largestStep = [](const float* t) {
    float m = 0;
    for (int i = 0; i < 256; ++i) m = std::max(m, std::fabs(t[(i + 1) % 256] - t[i]));
    return m;
  };
  TSmoothSquare1Osc s1;
  TSmoothSquare8Osc s8;
  EXPECT_GT(largestStep(s1.Table), largestStep(s8.Table));
  EXPECT_LT(largestStep(s1.Table), 2.0f);
}

TEST(TableOscillators, ProcessBufferStepsOnceTickLeavesTheCallersStepToo) {
  TSineOsc2 osc;
  osc.SetAudioSettings(&DefaultAudioSettings);
  osc.SetPitch(60.0f);
  osc.SetGain(0.5f);
  std::vector<float> buffer(44);
  osc.Phase = 0.0f;
  osc.ProcessBuffer(buffer.data());
  EXPECT_NEAR(osc.Phase, 44 * osc.Increment, 1e-3f);
  // Tick then AdvanceSample: two steps per sample.
  osc.Phase = 0.0f;
  osc.Tick();
  osc.AdvanceSample();
  EXPECT_NEAR(osc.Phase, 2 * osc.Increment, 1e-6f);
  EXPECT_FLOAT_EQ(osc.OutputSample, osc.Table[0] * 0.5f);
}

TEST(TableOscillators, EveryTableIsFiniteAndBounded) {
  for (int index = 33; index <= 92; ++index) {
    const float* table = SharedWaveTable(index);
    if (!table) continue;
    const int n = WaveTableLength(index);
    for (int i = 0; i < n; ++i) {
      ASSERT_TRUE(std::isfinite(table[i])) << index << " " << i;
      ASSERT_LT(std::fabs(table[i]), 20.0f) << index << " " << i;
    }
  }
  EXPECT_EQ(SharedWaveTable(38), nullptr);  // "Saw AA" is no table waveform
  EXPECT_EQ(SharedWaveTable(0), nullptr);
}
