#include "dsp/effects/stereo_effect.h"

#include <gtest/gtest.h>

#include <limits>
#include <vector>

#include "dsp/effects/eq_effect.h"
#include "framework/base/constant_buffers.h"
#include "tests/dsp/effects/effect_test_support.h"

using effect_test::PluginRecord;

TEST(StereoEffect, CoefficientsExistFromConstruction) {
  TDSPXEq fx;  // mix 0.4, pan 0.4, wet gain 0.6, dry gain 1
  EXPECT_FLOAT_EQ(fx.GetLeftWetOut(), 0.4f * 0.6f * 2 * 0.4f);
  EXPECT_FLOAT_EQ(fx.GetRightWetOut(), 0.6f * 0.6f * 2 * 0.4f);
  EXPECT_FLOAT_EQ(fx.GetLeftDryOut(), 0.6f);
  EXPECT_FLOAT_EQ(fx.GetRightDryOut(), 0.6f);
  EXPECT_NEAR(fx.GetMsPerTick(), 60000.0f / 120 / 120, 1e-6f);
  EXPECT_TRUE(fx.IsEnabled());
}

TEST(StereoEffect, SettersClampAndInvert) {
  TDSPXEq fx;
  fx.SetWetGain(40);
  EXPECT_EQ(fx.GetWetGain(), 32.0f);
  fx.SetInvertLeft(true);
  fx.SetInvertRight(true);
  EXPECT_FLOAT_EQ(fx.GetWetLeft(), -0.4f * 2 * 32);
  EXPECT_FLOAT_EQ(fx.GetWetRight(), -0.6f * 2 * 32);
  fx.SetMix(3);
  fx.SetPan(-1);
  fx.SetDryGain(-100);
  EXPECT_EQ(fx.GetMix(), 1.0f);
  EXPECT_EQ(fx.GetPan(), 0.0f);
  EXPECT_EQ(fx.GetDryGain(), -32.0f);
  EXPECT_EQ(fx.GetLeftDryOut(), 0.0f);
  fx.SetMix(std::numeric_limits<float>::quiet_NaN());
  EXPECT_EQ(fx.GetMix(), 1.0f);
  fx.SetTempo(0);
  EXPECT_EQ(fx.GetMsPerTick(), 0.0001f);
  fx.SetTempo(60);
  EXPECT_FLOAT_EQ(fx.GetMsPerTick(), 60000.0f / 60 / 120);
}

// Each side's invert switch negates that side's wet signal only.
TEST(StereoEffect, EachSideInvertsOnlyItsOwnWetSignal) {
  TDSPXEq fx;  // pan 0.4: wet left 0.4, right 0.6 (times the wet gain)
  fx.SetInvertRight(true);
  EXPECT_GT(fx.GetWetLeft(), 0.0f);
  EXPECT_LT(fx.GetWetRight(), 0.0f);
  EXPECT_GT(fx.GetLeftWetOut(), 0.0f);
  EXPECT_LT(fx.GetRightWetOut(), 0.0f);
  fx.SetInvertRight(false);
  fx.SetInvertLeft(true);
  EXPECT_LT(fx.GetWetLeft(), 0.0f);
  EXPECT_GT(fx.GetWetRight(), 0.0f);
  EXPECT_LT(fx.GetLeftWetOut(), 0.0f);
  EXPECT_GT(fx.GetRightWetOut(), 0.0f);
}

// The block helpers run four samples per register and the rest one by one:
// every sample position, in the registers and in the tail (sub-blocks of 22
// samples at 22.05 kHz leave two), gets the same treatment.
TEST(StereoEffect, BlockHelpersTreatEverySampleAlikeIncludingTheTail) {
  const float inf = std::numeric_limits<float>::infinity(), nan = std::numeric_limits<float>::quiet_NaN();
  for (std::int32_t n = 1; n <= 11; ++n) {
    for (std::int32_t at = 0; at < n; ++at) {
      for (float bad : {inf, nan, kRunawayLimit, -2 * kRunawayLimit}) {
        std::vector<float> x(static_cast<std::size_t>(n), 0.5f);
        x[static_cast<std::size_t>(at)] = bad;
        EXPECT_TRUE(SilenceRunaway(x.data(), n)) << n << " " << at << " " << bad;
        EXPECT_EQ(x, std::vector<float>(static_cast<std::size_t>(n), 0.0f)) << n << " " << at;
      }
      std::vector<float> x(static_cast<std::size_t>(n)), noise(x.size()), out(x.size());
      for (std::size_t i = 0; i < x.size(); ++i) {
        x[i] = 0.25f * static_cast<float>(i + 1);
        noise[i] = 1e-3f * static_cast<float>(i + 1);
      }
      EXPECT_FALSE(SilenceRunaway(x.data(), n));
      x[static_cast<std::size_t>(at)] = nan;
      AddNoiseFinite(x.data(), noise.data(), out.data(), n);
      for (std::size_t i = 0; i < x.size(); ++i)
        EXPECT_EQ(out[i], i == static_cast<std::size_t>(at) ? 0.0f : x[i] + noise[i]) << n << " " << i;
      x[static_cast<std::size_t>(at)] = 2.0f;
      MixWetDry(x.data(), noise.data(), nullptr, 0.5f, 3.0f, out.data(), n);
      for (std::size_t i = 0; i < x.size(); ++i) EXPECT_EQ(out[i], x[i] * 0.5f + noise[i] * 3.0f) << n << " " << i;
      MixWetDry(x.data(), noise.data(), noise.data(), 0.5f, 3.0f, out.data(), n);
      for (std::size_t i = 0; i < x.size(); ++i)
        EXPECT_EQ(out[i], x[i] * 0.5f + noise[i] * 3.0f + noise[i]) << n << " " << i;
    }
  }
}

TEST(StereoEffect, SampleCountClampsBeforeConverting) {
  EXPECT_EQ(SampleCount(2.5f, 0, 10), 2);
  EXPECT_EQ(SampleCount(3.5f, 0, 10), 4);
  EXPECT_EQ(SampleCount(1e30f, 1, 7), 7);
  EXPECT_EQ(SampleCount(-1e30f, 1, 7), 1);
  EXPECT_EQ(SampleCount(std::numeric_limits<float>::quiet_NaN(), 1, 7), 1);
  EXPECT_EQ(SampleCount(std::numeric_limits<float>::infinity(), 1, 7), 7);
}

// The anti-denormal noise of an all-dry effect fed with silence is the
// table itself: consecutive sub-blocks read consecutive elements of it, per
// instance, wrapping after 4096.
TEST(StereoEffect, DenormalNoiseStepsByElementsPerInstance) {
  TAudioSettingsRec rec = PluginRecord(22050);
  TDSPXEq a, b;
  for (TDSPXEq* fx : {&a, &b}) {
    fx->SetAudioSettings(&rec);
    fx->SetMix(0);
    fx->SetDryGain(1);
  }
  const std::int32_t n = rec.SamplesPerMs;  // 22
  std::int32_t offset = 0;
  for (int block = 0; block < 400; ++block) {
    std::vector<float> l(static_cast<std::size_t>(n), 0.0f), r = l;
    a.ProcessStereo(l.data(), r.data());
    if (block % 3 == 0) {  // the other instance never moves this one's offset
      std::vector<float> l2 = l, r2 = r;
      b.ProcessStereo(l2.data(), r2.data());
    }
    for (std::int32_t i = 0; i < n; ++i) {
      ASSERT_EQ(l[static_cast<std::size_t>(i)], DenormalNoiseBuffer[offset + i]) << block << " " << i;
      ASSERT_EQ(r[static_cast<std::size_t>(i)], DenormalNoiseBuffer[offset + i]);
    }
    offset += n;
    if (offset > kDenormalOffsetWrap) offset = 0;
  }
}

TEST(StereoEffect, ReleasedBuffersPassTheSignalThrough) {
  TDSPXEq fx;
  fx.ReleaseBuffers();
  EXPECT_EQ(fx.SubBlockLength(), 0);
  std::vector<float> l(44, 0.25f), r(44, -0.25f);
  fx.ProcessStereo(l.data(), r.data());
  EXPECT_EQ(l[10], 0.25f);
  EXPECT_EQ(r[10], -0.25f);
  fx.ReallocBuffers();
  EXPECT_EQ(fx.SubBlockLength(), 44);
}
