#include "dsp/effects/eq_effect.h"

#include <gtest/gtest.h>

#include "tests/dsp/effects/effect_test_support.h"
#include "tests/support/signal_measure.h"
#include "tests/support/test_support.h"

TEST(EqEffect, ZeroDecibelsIsTheIdentity) {
  for (std::int32_t rate : {22050, 44100, 48000}) {
    effect_test::TEffectAt<TDSPXEq> at(rate);
    TDSPXEq& fx = at.Fx;
    effect_test::AllWet(fx);
    for (TDSP3BandEQ* eq : {&fx.EqLeft(), &fx.EqRight()}) {
      eq->SetLowGain(0);
      eq->SetMidGain(0);
      eq->SetHighGain(0);
      eq->SetFrequency(800);
      eq->SetQ(0.5f);
    }
    const auto left = testing_support::Noise(static_cast<std::size_t>(rate) / 10, 1);
    const auto right = testing_support::Noise(static_cast<std::size_t>(rate) / 10, 2);
    const auto out = effect_test::Run(fx, left, right);
    for (std::size_t i = 0; i < out.Left.size(); ++i) {
      ASSERT_NEAR(out.Left[i], left[i], 1e-5f) << rate << " " << i;
      ASSERT_NEAR(out.Right[i], right[i], 1e-5f) << rate << " " << i;
    }
  }
}

TEST(EqEffect, LowGainLiftsDcOnOneSide) {
  effect_test::TEffectAt<TDSPXEq> at(44100);
  TDSPXEq& fx = at.Fx;
  effect_test::AllWet(fx);
  fx.EqLeft().SetLowGain(12);
  fx.EqRight().SetLowGain(0);
  fx.EqRight().SetMidGain(0);
  fx.EqRight().SetHighGain(0);
  const std::vector<float> dc(44100, 0.5f);
  const auto out = effect_test::Run(fx, dc, dc);
  EXPECT_NEAR(out.Left.back(), 0.5f * 4.0f, 1e-3f);  // +6 dB doubles
  EXPECT_NEAR(out.Right.back(), 0.5f, 1e-4f);
}
