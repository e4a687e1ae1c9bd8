#include "dsp/sampler/sample_interpolation.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace {

// Mono data with spare zeros after it, as the store allocates it.
std::vector<std::int16_t> Padded(std::vector<std::int16_t> values) {
  values.resize(values.size() + 96, 0);
  return values;
}

float Mono(TSampleInterpolator f, const std::vector<std::int16_t>& data, float p, float scale = 1.0f) {
  float l = -1e9f, r = 1e9f;
  f(data.data(), p, scale, l, r);
  EXPECT_EQ(l, r) << "a mono routine writes the same value to both channels";
  return l;
}

TEST(SampleInterpolation, NoneRoundsMonoAndTruncatesStereo) {
  const auto mono = Padded({0, 10, 20, 30, 40});
  EXPECT_EQ(Mono(InterpolateNoneMono, mono, 2.4f), 20.0f);
  EXPECT_EQ(Mono(InterpolateNoneMono, mono, 2.6f), 30.0f);
  // Interleaved frames: left k*10, right -(k*10).
  const auto stereo = Padded({0, 0, 10, -10, 20, -20, 30, -30, 40, -40});
  float l, r;
  InterpolateNoneStereo(stereo.data(), 2.6f, 1.0f, l, r);
  EXPECT_EQ(l, 20.0f);
  EXPECT_EQ(r, -20.0f);
}

TEST(SampleInterpolation, FrameBeforeTheStartReadsFrameZero) {
  // p = 0: frame -1 is frame 0, so a constant start gives that constant.
  const auto data = Padded({100, 100, 100, 100});
  EXPECT_FLOAT_EQ(Mono(Interpolate4PointMono, data, 0.0f), 100.0f);
  EXPECT_FLOAT_EQ(Mono(InterpolateCubicMono, data, 0.0f), 100.0f);
  EXPECT_FLOAT_EQ(Mono(InterpolateCubicMono, data, 0.3f), 100.0f);
  const auto stereo = Padded({100, -50, 100, -50, 100, -50, 100, -50});
  float l, r;
  InterpolateCubicStereo(stereo.data(), 0.0f, 1.0f, l, r);
  EXPECT_FLOAT_EQ(l, 100.0f);
  EXPECT_FLOAT_EQ(r, -50.0f);
  Interpolate4PointStereo(stereo.data(), 0.25f, 1.0f, l, r);
  EXPECT_FLOAT_EQ(l, 100.0f);
  EXPECT_FLOAT_EQ(r, -50.0f);
}

TEST(SampleInterpolation, TwoPointAndLinearAgreeAndFollowARamp) {
  std::vector<std::int16_t> ramp;
  for (int k = 0; k < 64; ++k) ramp.push_back(static_cast<std::int16_t>(7 * k - 100));
  ramp = Padded(ramp);
  for (float p = 0.0f; p < 60.0f; p += 0.37f) {
    const float a = Mono(Interpolate2PointMono, ramp, p);
    const float b = Mono(InterpolateLinearMono, ramp, p);
    EXPECT_NEAR(a, b, 1e-3f);
    EXPECT_NEAR(a, 7.0f * p - 100.0f, 2e-3f) << p;
  }
}

TEST(SampleInterpolation, CubicPassesThroughFramesAndReproducesQuadratics) {
  std::vector<std::int16_t> q;
  for (int k = 0; k < 40; ++k) q.push_back(static_cast<std::int16_t>(k * k - 20 * k));
  q = Padded(q);
  for (int k = 1; k < 37; ++k) {
    EXPECT_FLOAT_EQ(Mono(InterpolateCubicMono, q, static_cast<float>(k)), q[k]);
  }
  // Catmull-Rom is exact for second-order polynomials away from the start.
  for (float p = 1.0f; p < 36.0f; p += 0.29f) {
    EXPECT_NEAR(Mono(InterpolateCubicMono, q, p), p * p - 20.0f * p, 2e-3f) << p;
  }
}

TEST(SampleInterpolation, FourPointSmoothsWithWeightsThatSumToOne) {
  const auto data = Padded({0, 0, 400, 0, 0, 0});
  // Half way between frames 1 and 2: 0*0.125 + 0*0.375 + 400*0.375 + 0*0.125.
  EXPECT_FLOAT_EQ(Mono(Interpolate4PointMono, data, 1.5f), 150.0f);
  const auto flat = Padded({-300, -300, -300, -300, -300, -300});
  for (float p = 0.0f; p < 3.0f; p += 0.1f) EXPECT_FLOAT_EQ(Mono(Interpolate4PointMono, flat, p), -300.0f);
}

TEST(SampleInterpolation, WholePositionsPlayTheirFrameInEveryInterpolatingMode) {
  // Frame k is (1000 (k + 1), -1000 (k + 1)); scale 0.5. Odd positions
  // reach their frame through f = 1 of the frame below.
  const auto stereo = Padded({1000, -1000, 2000, -2000, 3000, -3000, 4000, -4000, 5000, -5000});
  const auto mono = Padded({1000, 2000, 3000, 4000, 5000});
  for (std::int32_t mode : {0, 1, 3, 4, 7}) {
    for (int k = 1; k <= 3; ++k) {
      float l, r;
      SelectInterpolator(mode, 2)(stereo.data(), static_cast<float>(k), 0.5f, l, r);
      EXPECT_FLOAT_EQ(l, 500.0f * (k + 1)) << "mode " << mode << " frame " << k;
      EXPECT_FLOAT_EQ(r, -500.0f * (k + 1)) << "mode " << mode << " frame " << k;
      EXPECT_FLOAT_EQ(Mono(SelectInterpolator(mode, 1), mono, static_cast<float>(k), 0.5f), 500.0f * (k + 1))
          << "mode " << mode << " frame " << k;
    }
  }
}

TEST(SampleInterpolation, SelectionByModeAndChannels) {
  EXPECT_EQ(SelectInterpolator(0, 1), &InterpolateNoneMono);
  EXPECT_EQ(SelectInterpolator(1, 2), &Interpolate2PointStereo);
  EXPECT_EQ(SelectInterpolator(2, 1), &Interpolate4PointMono);
  EXPECT_EQ(SelectInterpolator(3, 2), &InterpolateLinearStereo);
  EXPECT_EQ(SelectInterpolator(4, 1), &InterpolateCubicMono);
  EXPECT_EQ(SelectInterpolator(9, 1), &InterpolateCubicMono) << "modes above 4 behave as 4";
  EXPECT_EQ(kInterpolationModeNames[2], "4 Point");
}

}  // namespace
