#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <typeinfo>
#include <vector>

#include "dsp/shapers/multi_shaper.h"
#include "tests/dsp/filters/filter_measure.h"
#include "tests/support/signal_measure.h"
#include "tests/support/test_support.h"

using testing_support::Noise;

namespace {
std::unique_ptr<TDSPMultiShaper1> ShaperOf(float shape, float amount) {
  auto m = std::make_unique<TDSPMultiShaper1>();
  m->SetAmount(amount);
  m->SetShape(shape);
  return m;
}

}  // namespace

TEST(Shaper, AmountSetsTheDepthAroundOneHalf) {
  TDSPNullShaper s;
  s.SetAmount(0.5f);
  EXPECT_FLOAT_EQ(s.Depth, 0.001f);
  s.SetAmount(0);
  EXPECT_FLOAT_EQ(s.Amount, 0.001f);
  EXPECT_FLOAT_EQ(s.Depth, 0.998f);
  s.SetAmount(1);
  EXPECT_FLOAT_EQ(s.Depth, 0.998f);
  s.SetAmount(0.75f);
  EXPECT_FLOAT_EQ(s.Depth, 0.5f);
  EXPECT_FLOAT_EQ(s.Scale, 200.0f);
}

TEST(Shaper, ClippingShapersFollowTheirThresholds) {
  auto square3 = ShaperOf(5, 0.4f);  // "Square3"
  EXPECT_FLOAT_EQ(square3->ProcessSample(0.9f), 0.3f);
  EXPECT_FLOAT_EQ(square3->ProcessSample(-0.9f), -0.3f);
  EXPECT_FLOAT_EQ(square3->ProcessSample(0.2f), 0.2f);

  auto invert = ShaperOf(26, 0.25f);  // the second "PeakInv"
  EXPECT_FLOAT_EQ(invert->ProcessSample(0.2f), 0.3f);
  EXPECT_FLOAT_EQ(invert->ProcessSample(-0.1f), -0.15f);
  EXPECT_FLOAT_EQ(invert->ProcessSample(0.8f), 0.4f);

  // The first "PeakInv", amount 0.25: depth 0.5, scale 200, c0 -0.1, c1 0.2.
  auto invert1 = ShaperOf(14, 0.25f);
  EXPECT_FLOAT_EQ(invert1->ProcessSample(0.3f), 0.3f);  // below the depth: unchanged
  EXPECT_NEAR(invert1->ProcessSample(0.8f), (0.8f * 200 * -30 * 0.2f - 0.1f) * 0.001f, 1e-5f);
  EXPECT_EQ(ShaperTypeName(14), ShaperTypeName(26));
}

TEST(Shaper, QuantizeRoundsInFloatEvenForHugeInputs) {
  auto q = ShaperOf(7, 0.1f);
  EXPECT_FLOAT_EQ(q->ProcessSample(0.26f), 0.3f);
  EXPECT_FLOAT_EQ(q->ProcessSample(-0.26f), -0.3f);
  EXPECT_FLOAT_EQ(q->ProcessSample(0.25f), 0.2f);  // 2.5 rounds to even
  const float huge = q->ProcessSample(3e12f);
  EXPECT_NEAR(huge, 3e12f, 1e6f);
}

TEST(Shaper, LogarithmicShapersKeepTheirOutputAtZero) {
  auto ln = ShaperOf(18, 0.5f);  // "Ln1"
  EXPECT_EQ(ln->ProcessSample(0.0f), 0.0f);
  const float y = ln->ProcessSample(0.5f);
  EXPECT_FLOAT_EQ(y, std::log(0.5f) * 0.5f);
  EXPECT_EQ(ln->ProcessSample(0.0f), y);
  EXPECT_FLOAT_EQ(ln->ProcessSample(-0.5f), -y);
}

TEST(Shaper, Fuzz5UsesTheMagnitudeForNegativeInputs) {
  auto fuzz = ShaperOf(34, 0.3f);  // k = 3
  const float k = 3;
  // Where the curve stays within its bound it is the curve.
  const float x = 1.2f;
  const float original = (x + k) * x / std::exp(2 * std::log(x)) + x * (k - 1) + 1;
  EXPECT_NEAR(fuzz->ProcessSample(x), original, 1e-4f * std::fabs(original));
  for (float m : {0.5f, 0.9f}) {
    const float negative = fuzz->ProcessSample(-m);
    EXPECT_TRUE(std::isfinite(negative));
    EXPECT_NEAR(negative, -(m + k) / m + m * (k - 1) + 1, 1e-4f * std::fabs(negative));
  }
  EXPECT_EQ(fuzz->ProcessSample(0.0f), 0.0f);
  EXPECT_EQ(fuzz->ProcessSample(-1e-40f), 0.0f);
}

// Its 1/m term made a quiet input enormous (+118 dBFS from a voice): every
// input gives at most the curve's full-scale value 2k + 1, at every amount.
TEST(Shaper, Fuzz5IsBoundedByItsFullScaleValue) {
  auto fuzz = ShaperOf(34, 0.3f);
  EXPECT_EQ(fuzz->ProcessSample(1.0f), 7.0f);
  EXPECT_EQ(fuzz->ProcessSample(1e-20f), 7.0f);
  EXPECT_EQ(fuzz->ProcessSample(0.01f), 7.0f);
  EXPECT_EQ(fuzz->ProcessSample(-0.01f), -7.0f);
  EXPECT_EQ(fuzz->ProcessSample(3e30f), 7.0f);
  for (float amount = 0.0f; amount <= 1.0f; amount += 0.05f) {
    auto s = ShaperOf(34, amount);
    const float bound = 2 * 10 * std::clamp(amount, 0.001f, 0.999f) + 1;
    for (float m = 1e-29f; m < 1e4f; m *= 1.7f) {
      for (float v : {m, -m}) {
        const float y = s->ProcessSample(v);
        ASSERT_TRUE(std::isfinite(y)) << amount << " " << v;
        ASSERT_LE(std::fabs(y), bound * (1 + 1e-6f)) << amount << " " << v;
      }
    }
  }
}

TEST(MultiShaper, GapIndicesKeepTheCurrentShaperAndTheTopSlotIsTheTestShaper) {
  auto m = ShaperOf(8, 0.5f);
  const std::type_info& minimum = typeid(m->Shaper());
  m->SetShape(13.2f);  // "Random3": no class
  EXPECT_EQ(m->ShapeIndex, 13);
  EXPECT_EQ(typeid(m->Shaper()), minimum);
  m->SetShape(29);
  EXPECT_EQ(typeid(m->Shaper()), minimum);
  EXPECT_EQ(ShaperTypeName(29), "");
  m->SetShape(60);  // clamped to 50: the test shaper leaves the output at 0
  EXPECT_EQ(m->ShapeIndex, 50);
  EXPECT_EQ(m->ProcessSample(0.7f), 0.0f);
  m->SetShape(std::nanf(""));
  EXPECT_EQ(m->ShapeIndex, 50);
}

TEST(MultiShaper, AmountReachesTheInnerShaperAcrossShapeChanges) {
  TDSPMultiShaper1 m;
  EXPECT_EQ(m.ProcessSample(0.3f), 0.3f);  // "Shape Off" after construction
  m.SetAmount(0.2f);
  m.SetShape(8);
  EXPECT_FLOAT_EQ(m.Shaper().Amount, 0.2f);
  m.SetAmount(0.6f);
  EXPECT_FLOAT_EQ(m.Shaper().Amount, 0.6f);
  EXPECT_FLOAT_EQ(m.ProcessSample(0.9f), 0.6f);
  // The amount it already holds (as every control period sets it): the
  // shaper stays as it is, and a new shape still starts from that amount.
  m.SetAmount(0.6f);
  m.SetAmount(2.0f);
  m.SetAmount(0.999f);
  m.SetShape(5);
  EXPECT_FLOAT_EQ(m.Shaper().Amount, 0.999f);
  EXPECT_FLOAT_EQ(m.Shaper().Depth, 0.998f);
}

// Every shaper at several amounts stays finite over noise and gives the
// same output through its buffer path as through its sample path.
TEST(MultiShaper, EveryShapeIsFiniteAndItsBufferPathMatchesItsSamplePath) {
  const std::vector<float> noise = Noise(44 * 20, 9);
  for (std::int32_t index = 0; index <= kShaperTypeMax; ++index) {
    if (!CreateShaper(index)) continue;
    for (float amount : {0.001f, 0.3f, 0.5f, 0.8f, 0.999f}) {
      auto a = ShaperOf(static_cast<float>(index), amount);
      auto b = ShaperOf(static_cast<float>(index), amount);
      std::vector<float> buffer = noise;
      for (std::size_t at = 0; at < buffer.size(); at += 44) b->ProcessBuffer(buffer.data() + at);
      ASSERT_TRUE(testing_support::AllFinite(buffer)) << ShaperTypeName(index) << " amount " << amount;
      for (std::size_t i = 0; i < noise.size(); ++i) {
        a->InputSample = noise[i];
        a->Tick();
        ASSERT_EQ(a->OutputSample, buffer[i]) << ShaperTypeName(index) << " amount " << amount << " at " << i;
      }
    }
  }
}

TEST(MultiShaperStress, SwitchWhileShaping) {
  TDSPMultiShaper1 m;
  m.SetAmount(0.4f);
  filter_test::ChangeWhileRendering(
      [&](std::vector<float>& block) {
        m.SetAmount(0.4f);
        m.ProcessSamples(block.data(), static_cast<std::int32_t>(block.size()));
      },
      [&](int i) { m.SetShape(static_cast<float>(i % 52)); });
  EXPECT_FLOAT_EQ(m.Shaper().Amount, 0.4f);
}
