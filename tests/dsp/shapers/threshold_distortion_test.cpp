#include "dsp/shapers/threshold_distortion.h"

#include <gtest/gtest.h>

#include <vector>

TEST(ThresholdDistortion, ReplacesSamplesBeyondTheThresholdsAndMixes) {
  TDSPDistortion1 d;
  d.SetHighThreshold(0.5f);
  d.SetLowThreshold(-0.2f);
  d.SetHighLevel(0.8f);
  d.SetLowLevel(-0.9f);
  EXPECT_EQ(d.Step(0.7f), 0.7f);  // mix 0: dry
  d.SetMix(1);
  EXPECT_EQ(d.Step(0.5f), 0.5f);  // on the threshold: unchanged
  EXPECT_EQ(d.Step(0.6f), 0.8f);
  EXPECT_EQ(d.Step(-0.3f), -0.9f);
  EXPECT_EQ(d.Step(0.1f), 0.1f);
  d.SetMix(0.5f);
  EXPECT_FLOAT_EQ(d.Step(0.6f), 0.7f);
}

TEST(ThresholdDistortion, InputRunnerReadsEveryParameterPerSample) {
  TDSPDistortion1 d;
  d.SetUsesBuffers(true);
  d.SetAudioSettings(d.Settings);
  const std::size_t n = static_cast<std::size_t>(d.Settings->BufferLength);
  std::vector<float> signal(n, 0.6f), upper(n, 0.5f), lower(n, -0.5f), high(n, 1.0f), low(n, -1.0f), mix(n, 1.0f);
  upper[1] = 0.7f;  // sample 1 stays under its threshold
  mix[2] = 0;       // sample 2 is dry
  const float* inputs[] = {signal.data(), upper.data(), lower.data(), high.data(), low.data(), mix.data()};
  for (int i = 0; i < 6; ++i) d.Inputs[i] = inputs[i];
  d.ProcessBlockControl();
  EXPECT_EQ(d.OutBuffer[0], 1.0f);
  EXPECT_EQ(d.OutBuffer[1], 0.6f);
  EXPECT_EQ(d.OutBuffer[2], 0.6f);
  EXPECT_EQ(d.OutBuffer[3], 1.0f);
}
