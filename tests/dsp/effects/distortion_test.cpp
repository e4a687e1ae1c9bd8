#include "dsp/effects/distortion.h"

#include <gtest/gtest.h>

#include <cmath>
#include <utility>
#include <vector>

#include "tests/dsp/effects/effect_test_support.h"
#include "tests/support/signal_measure.h"

namespace {
// Programs store curve numbers: none may change.
static_assert(kDistortionOldValves == 1 && kDistortionTubeScream1 == 2 && kDistortionSynthValve == 3 &&
              kDistortionGrunge == 4 && kDistortionFbkValve == 5 && kDistortionTubeScream2 == 6 &&
              kDistortionFbkScream == 7 && kDistortionBass1 == 8 && kDistortionRain == 9 && kDistortionBass2 == 10 &&
              kDistortionBass3 == 11 && kDistortionRock == 12 && kDistortionSynDist == 13 &&
              kDistortionSynDist2 == 14 && kDistortionSynDist3 == 15 && kDistortionCubicWindow == 16);

float Curve(std::int32_t type, float d, float x) {
  TDSPXDistortion::ApplyCurve(&x, 1, type, d);
  return x;
}

// One sample through the effect (left and right the same), left output.
struct TOneSample {
  float Left;
  float Right;
};
TOneSample Through(TDSPXDistortion& fx, float left, float right) {
  std::vector<float> l(44, left), r(44, right);
  fx.ProcessStereo(l.data(), r.data());
  return {l[43], r[43]};
}
}  // namespace

TEST(Distortion, CurveNamesAndTypes) {
  EXPECT_EQ(GetDistortionCurveName(1), "OldValves");
  EXPECT_EQ(GetDistortionCurveName(8), "Bass1");
  EXPECT_EQ(GetDistortionCurveName(15), "SynDist3");
  EXPECT_EQ(GetDistortionCurveName(0), "");
  EXPECT_EQ(GetDistortionCurveName(16), "");
  TDSPXDistortion fx;
  fx.SetTypeLeft(0);
  EXPECT_EQ(fx.GetTypeLeft(), 1);
  fx.SetTypeRight(64);
  EXPECT_EQ(fx.GetTypeRight(), 64);
  fx.SetDriveLeft(3);
  EXPECT_EQ(fx.GetDriveLeft(), 1.0f);
  fx.SetSurround(-1);
  EXPECT_EQ(fx.GetSurround(), 0.0f);
}

TEST(Distortion, CurveValues) {
  // OldValves at d = 0.5: limit 0.25, slope 4 inside.
  EXPECT_NEAR(Curve(1, 0.5f, 0.1f), 0.4f, 1e-6f);
  EXPECT_EQ(Curve(1, 0.5f, 0.3f), 1.0f);
  EXPECT_EQ(Curve(1, 0.5f, -0.3f), -1.0f);
  // Grunge: steps of d^2.
  EXPECT_NEAR(Curve(4, 0.5f, 0.3f), 0.25f, 1e-5f);
  // Bass1 passes 2x above -T and holds -T below.
  EXPECT_NEAR(Curve(8, 0.0f, 0.3f), 0.6f, 1e-6f);
  EXPECT_EQ(Curve(8, 0.0f, -3.0f), -1.0f);
  // Bass3 outside its window.
  EXPECT_EQ(Curve(11, 1.0f, -1.0f), -2.0f);
  EXPECT_EQ(Curve(11, 1.0f, 1.0f), -1.0f);
  // Rock: a dead zone that is empty at d = 0.
  EXPECT_EQ(Curve(12, 0.0f, 0.3f), 0.3f);
  EXPECT_EQ(Curve(12, 1.0f, 0.5f), 0.0f);
  // Curve 16 is silent where |k x| >= 1.
  EXPECT_EQ(Curve(16, 1.0f, 0.5f), 0.0f);
  // The logistic curve saturates symmetrically and is nearly linear at d = 0.
  EXPECT_NEAR(Curve(40, 1.0f, 5.0f), std::tanh(5.0f), 1e-5f);
  EXPECT_NEAR(Curve(40, 1.0f, -5.0f), -std::tanh(5.0f), 1e-5f);
  EXPECT_NEAR(Curve(17, 0.0f, 0.5f), 0.5f, 1e-4f);
}

// Curve 1 runs four samples per register: exactly the scalar formula, on
// both sides of and at the limit, at several drives.
TEST(Distortion, HardLimitRunsGiveExactlyTheScalarCurve) {
  for (float d : {0.0f, 0.3f, 0.5f, 1.0f}) {
    const float t = std::exp2(-8.0f * d * d);
    std::vector<float> b;
    for (int i = -300; i <= 300; ++i) b.push_back(static_cast<float>(i) * 0.00731f);
    b.push_back(t);
    b.push_back(-t);
    b.push_back(-0.0f);
    std::vector<float> got = b;
    TDSPXDistortion::ApplyCurve(got.data(), static_cast<std::int32_t>(got.size()), 1, d);
    for (std::size_t i = 0; i < b.size(); ++i) {
      const float x = b[i];
      const float expected = std::fabs(x) > t ? (x >= 0 ? 1.0f : -1.0f) : x / t;
      ASSERT_EQ(std::signbit(got[i]), std::signbit(expected)) << d << " " << x;
      ASSERT_EQ(got[i], expected) << d << " " << x;
    }
  }
}

// Every curve at every drive over -4..4: finite and bounded, no division by
// a zero normaliser.
TEST(Distortion, EveryCurveIsFiniteAndBounded) {
  for (std::int32_t type = 0; type <= 18; ++type) {
    for (int di = 0; di <= 20; ++di) {
      const float d = static_cast<float>(di) / 20.0f;
      std::vector<float> x(801);
      for (std::size_t i = 0; i < x.size(); ++i) x[i] = -4.0f + 0.01f * static_cast<float>(i);
      TDSPXDistortion::ApplyCurve(x.data(), static_cast<std::int32_t>(x.size()), type, d);
      for (float y : x) {
        ASSERT_TRUE(std::isfinite(y)) << type << " " << d;
        ASSERT_LT(std::fabs(y), 2000.0f) << type << " " << d;
      }
    }
  }
}

TEST(Distortion, ClipBeforeTheCurveTakesThePositiveLevel) {
  effect_test::TEffectAt<TDSPXDistortion> at(44100);
  TDSPXDistortion& fx = at.Fx;
  effect_test::AllWet(fx);
  fx.SetSurround(0);
  fx.SetDriveLeft(0);  // gain 5^(-32/127)
  fx.SetDriveRight(0);
  fx.SetTypeLeft(9);  // Rain: 2 min(x, 1) at d = 0
  fx.SetTypeRight(9);
  fx.SetClipMode(TDSPXDistortion::kClipBeforeCurve);
  fx.SetClipThreshold(10);
  fx.SetClipLevel(0.5f);
  const float in = -12.0f / std::pow(5.0f, -32.0f / 127.0f);  // -12 after the drive
  EXPECT_NEAR(Through(fx, in, in).Left, 1.0f, 1e-5f);
  fx.SetClipMode(TDSPXDistortion::kClipNone);
  EXPECT_NEAR(Through(fx, in, in).Left, -24.0f, 1e-3f);
}

// Each side drives its own curve by its own amount: with different settings
// on the two sides (and no surround blending them), each sounds as a
// distortion with its settings on both.
TEST(Distortion, EachSideHasItsOwnDriveAndCurve) {
  struct TSide {
    float Drive;
    std::int32_t Type;
  };
  auto set = [](TDSPXDistortion& fx, TSide l, TSide r) {
    effect_test::AllWet(fx);
    fx.SetSurround(0);
    fx.SetDriveLeft(l.Drive);
    fx.SetTypeLeft(l.Type);
    fx.SetDriveRight(r.Drive);
    fx.SetTypeRight(r.Type);
  };
  const TSide a{0.1f, 1}, b{0.8f, 8};
  for (const auto& [l, r] : {std::pair{a, b}, std::pair{b, a}}) {
    effect_test::TEffectAt<TDSPXDistortion> both(44100), onlyL(44100), onlyR(44100);
    set(both.Fx, l, r);
    set(onlyL.Fx, l, l);
    set(onlyR.Fx, r, r);
    const auto noise = testing_support::Noise(4400, 9);
    std::vector<float> half(noise);
    for (float& v : half) v *= 0.5f;
    const auto out = effect_test::Run(both.Fx, half, half);
    const auto refL = effect_test::Run(onlyL.Fx, half, half);
    const auto refR = effect_test::Run(onlyR.Fx, half, half);
    EXPECT_EQ(out.Left, refL.Left) << "left drive " << l.Drive;
    EXPECT_EQ(out.Right, refR.Right) << "right drive " << r.Drive;
    EXPECT_NE(out.Left, out.Right);
  }
}

TEST(Distortion, SurroundOneSwapsTheWetSides) {
  effect_test::TEffectAt<TDSPXDistortion> at(44100);
  TDSPXDistortion& fx = at.Fx;
  effect_test::AllWet(fx);
  fx.SetDriveLeft(0);
  fx.SetDriveRight(0);
  fx.SetTypeLeft(8);  // Bass1: 2x for x >= -1 at d = 0
  fx.SetTypeRight(8);
  const float g = 2.0f * std::pow(5.0f, -32.0f / 127.0f);
  fx.SetSurround(0);
  auto out = Through(fx, 0.25f, 0.0f);
  EXPECT_NEAR(out.Left, 0.25f * g, 1e-6f);
  EXPECT_NEAR(out.Right, 0.0f, 1e-6f);
  fx.SetSurround(1);
  out = Through(fx, 0.25f, 0.0f);
  EXPECT_NEAR(out.Left, 0.0f, 1e-6f);
  EXPECT_NEAR(out.Right, 0.25f * g, 1e-6f);
  fx.SetSurround(0);
  fx.SetInputAdjust(true);  // negated drive: Bass1 holds -T = -1 below
  EXPECT_NEAR(Through(fx, 0.25f, 0.0f).Left, -2.0f * std::pow(5.0f, -32.0f / 127.0f) * 0.25f, 1e-6f);
}
