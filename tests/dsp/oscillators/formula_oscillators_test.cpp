#include "dsp/oscillators/formula_oscillators.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace {

template <class Osc>
float ValueAt(Osc& osc, float phase) {
  osc.Phase = phase;
  osc.Tick();
  return osc.OutputSample;
}

}  // namespace

TEST(FormulaOscillators, SquareFollowsItsShape) {
  TSquareOsc1 osc;
  EXPECT_EQ(osc.Shape, 0.5f);
  for (float u : {0.0f, 0.1f, 0.25f, 0.49f}) EXPECT_EQ(ValueAt(osc, 50.0f + u), 1.0f) << u;
  for (float u : {0.5f, 0.75f, 0.99f}) EXPECT_EQ(ValueAt(osc, 50.0f + u), -1.0f) << u;
  osc.Shape = 0.25f;
  EXPECT_EQ(ValueAt(osc, 50.3f), -1.0f);
  EXPECT_EQ(ValueAt(osc, 50.2f), 1.0f);
}

TEST(FormulaOscillators, PiecewiseShapesAtKnownPoints) {
  THexOsc1 smooth;
  EXPECT_FLOAT_EQ(ValueAt(smooth, 60.0625f), 0.5f);
  EXPECT_FLOAT_EQ(ValueAt(smooth, 60.5f), 0.0f);
  TMultiOsc1 mixed;
  EXPECT_NEAR(ValueAt(mixed, 0.7f), 1.68f, 1e-5f);
  TParabolaOsc1 para;
  EXPECT_EQ(ValueAt(para, 1.0f), 1.0f);
  EXPECT_EQ(ValueAt(para, -1.0f), -1.0f);
  TSawOsc1 saw;
  EXPECT_EQ(ValueAt(saw, 0.25f), -0.5f);
  TTriangleOsc1 tri;
  EXPECT_EQ(ValueAt(tri, 49.0f + 0.125f), -0.5f);
  EXPECT_EQ(ValueAt(tri, 49.75f), 0.0f);
}

TEST(FormulaOscillators, GlassShapesAreContinuousAcrossTheirSegments) {
  TAltBumpsOsc1 glass3;
  TAltBumpsOsc2 glass4;
  TSquareBumpsOsc1 squareGlass;
  for (int k = 1; k < 6; ++k) {
    const float edge = 50.0f + static_cast<float>(k) / 6.0f;
    EXPECT_NEAR(ValueAt(glass3, edge - 1e-4f), ValueAt(glass3, edge + 1e-4f), 2e-3f) << k;
    EXPECT_NEAR(ValueAt(glass4, edge - 1e-4f), ValueAt(glass4, edge + 1e-4f), 2e-3f) << k;
    EXPECT_NEAR(ValueAt(squareGlass, edge - 1e-4f), ValueAt(squareGlass, edge + 1e-4f), 2e-3f) << k;
  }
}

TEST(FormulaOscillators, TanExpStaysWithinHalf) {
  TTanExpOsc1 osc;
  osc.SetPitch(60.0f);
  for (int i = 0; i < 20000; ++i) {
    osc.Tick();
    ASSERT_LE(std::fabs(osc.OutputSample), 0.5f);
    osc.AdvanceSample();
  }
  std::vector<float> buffer(44);
  osc.SetGain(1.0f);
  osc.ProcessBuffer(buffer.data());
  for (float v : buffer) EXPECT_LE(std::fabs(v), 0.5f);
}

TEST(FormulaOscillators, SinExpRepeatsEveryRangeOfOnePointFive) {
  TSinExpOsc1 osc;
  EXPECT_EQ(osc.PhaseLimit, 1.5f);
  EXPECT_EQ(osc.PitchOffset, 7.0f);
  for (float p : {0.1f, 0.7f, 1.2f}) {
    const float a = ValueAt(osc, p);
    osc.Phase = p;
    osc.StepPhase(1.5f);  // one range later wraps back onto the same phase
    EXPECT_NEAR(osc.Phase, p, 1e-6f);
    osc.Tick();
    EXPECT_NEAR(osc.OutputSample, a, 1e-5f);
  }
}

TEST(FormulaOscillators, BufferValuesApplyTheGainAsDescribed) {
  TAltSawOsc1 xsaw;  // the gain scales the ramp, not the constant 1
  xsaw.SetGain(0.5f);
  xsaw.Phase = 50.75f;
  xsaw.Increment = 0.0f;
  std::vector<float> buffer(44);
  xsaw.ProcessBuffer(buffer.data());
  EXPECT_FLOAT_EQ(buffer[0], 1.0f - 2.0f * 0.75f * 0.5f);

  TCosExpOsc1 cosExp;
  cosExp.SetGain(2.0f);
  cosExp.Phase = 1.0f;
  cosExp.Increment = 0.0f;
  cosExp.ProcessBuffer(buffer.data());
  EXPECT_FLOAT_EQ(buffer[0], ValueAt(cosExp, 1.0f) * 0.6f * 2.0f);

  TSqrtTanOsc1 sqrtTan;  // clamped to [-3, 3] in the buffer
  sqrtTan.SetGain(1000.0f);
  sqrtTan.SetPitch(40.0f);
  for (int block = 0; block < 50; ++block) {
    sqrtTan.ProcessBuffer(buffer.data());
    for (float v : buffer) ASSERT_LE(std::fabs(v), 3.0f);
  }
}

TEST(FormulaOscillators, ProcessBufferStepsOncePerSample) {
  TSineOsc1 osc;
  osc.SetGain(0.5f);
  osc.SetPitch(60.0f);
  TSineOsc1 reference;
  reference.SetPitch(60.0f);
  std::vector<float> buffer(44);
  osc.ProcessBuffer(buffer.data());
  for (float v : buffer) {
    reference.Tick();
    EXPECT_FLOAT_EQ(v, reference.OutputSample * 0.5f);
    reference.StepPhase(reference.Increment);
  }
}
