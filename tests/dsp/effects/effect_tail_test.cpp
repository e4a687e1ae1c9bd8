// How long each effect rings: the samples its longest path of lines takes,
// which the rack waits for before it stops on silence.
#include <gtest/gtest.h>

#include "dsp/effects/chorus.h"
#include "dsp/effects/cross_filter.h"
#include "dsp/effects/delay.h"
#include "dsp/effects/distortion.h"
#include "dsp/effects/eq_effect.h"
#include "dsp/effects/phaser.h"
#include "dsp/effects/reverb.h"
#include "tests/dsp/effects/effect_test_support.h"

using effect_test::FirstAbove;
using effect_test::TEffectAt;

TEST(EffectTail, LineEffectsRingForTheirLongerSideWhicheverItIs) {
  TEffectAt<TDSPXDelay> delay(44100);
  delay.Fx.SetLengthUnit(0);
  delay.Fx.SetLengthLeft(10);
  delay.Fx.SetLengthRight(30);
  EXPECT_EQ(delay.Fx.TailSamples(), 30 * 44);
  // The longer line's echo is the last thing an impulse brings back.
  effect_test::AllWet(delay.Fx);
  const auto out = effect_test::RunImpulse(delay.Fx, 1500, false, true);
  EXPECT_EQ(FirstAbove(out.Right, 1e-6f), static_cast<std::size_t>(delay.Fx.TailSamples()));
  delay.Fx.SetLengthLeft(40);
  EXPECT_EQ(delay.Fx.TailSamples(), 40 * 44);

  TEffectAt<TDSPXChorus> chorus(44100);
  chorus.Fx.SetLengthLeft(5);
  chorus.Fx.SetLengthRight(20);
  const std::int64_t right = chorus.Fx.GetLineLength(1);
  EXPECT_GT(right, chorus.Fx.GetLineLength(0));
  EXPECT_EQ(chorus.Fx.TailSamples(), right);
  chorus.Fx.SetLengthLeft(40);
  EXPECT_EQ(chorus.Fx.TailSamples(), chorus.Fx.GetLineLength(0));

  TEffectAt<TDSPXXFilter> xfilter(44100);
  xfilter.Fx.SetRightShift(-10);  // the left side 440 samples late
  EXPECT_EQ(xfilter.Fx.TailSamples(), 440);
  xfilter.Fx.SetRightShift(20);
  EXPECT_EQ(xfilter.Fx.TailSamples(), 880);

  TEffectAt<TDSPXPhaser> phaser(44100);
  phaser.Fx.SetShift(1.0f);
  EXPECT_EQ(phaser.Fx.TailSamples(), 44);
  phaser.Fx.SetShift(-2.0f);
  EXPECT_EQ(phaser.Fx.TailSamples(), 88);
}

TEST(EffectTail, TheReverbRingsThroughPreDelayLongestCombAndAllpassChain) {
  TEffectAt<TDSPReverbX> at(44100);
  TDSPReverbX& fx = at.Fx;
  fx.SetRoomType(2);
  fx.SetSize(64);
  fx.SetPreDelay(1);  // no pre-delay line
  // The right side is 23 samples longer per line: comb 1617 + 23, allpasses
  // 225 + 341 + 441 + 556 + 4 x 23.
  EXPECT_EQ(fx.TailSamples(), 1640 + 1655);
  fx.SetPreDelay(20);  // 2690 samples
  EXPECT_EQ(fx.TailSamples(), 2690 + 1640 + 1655);
}

TEST(EffectTail, EffectsWithoutLinesStopAtOnce) {
  TEffectAt<TDSPXDistortion> distortion(44100);
  EXPECT_EQ(distortion.Fx.TailSamples(), 0);
  TEffectAt<TDSPXEq> eq(44100);
  EXPECT_EQ(eq.Fx.TailSamples(), 0);
}
