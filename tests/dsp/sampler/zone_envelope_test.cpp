#include "dsp/sampler/zone_envelope.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

// An envelope with stage lengths in samples (attack, hold, decay, first
// sustain, rise, fall, second sustain), sustain level and release.
TZoneEnvelope Make(std::vector<std::int32_t> stages, float sustain, std::int32_t release, bool table = false,
                   std::int32_t curve = 0, bool autoRelease = false) {
  TZoneEnvelope e;
  auto set = [](std::int32_t length, std::int32_t& field, float* slope) {
    field = length;
    if (slope) *slope = length > 0 ? 1.0f / static_cast<float>(length) : 0.0f;
  };
  stages.resize(7, 0);
  set(stages[0], e.AttackLength, &e.AttackSlope);
  set(stages[1], e.HoldLength, nullptr);
  set(stages[2], e.DecayLength, &e.DecaySlope);
  set(stages[3], e.Sustain1Length, nullptr);
  set(stages[4], e.RiseLength, &e.RiseSlope);
  set(stages[5], e.FallLength, &e.FallSlope);
  set(stages[6], e.Sustain2Length, nullptr);
  set(release, e.ReleaseLength, &e.ReleaseSlope);
  e.Sustain = sustain;
  e.OneMinusSustain = 1.0f - sustain;
  e.SelectStages(table, curve, autoRelease);
  e.ComputeStageEnds(0, 0.0f, 0.0f);
  e.State = TZoneEnvelope::kRunning;
  e.Restart();
  return e;
}

// The values of n samples, the counter advancing by stride after each.
std::vector<float> Step(TZoneEnvelope& e, int n, std::int32_t stride = 1) {
  std::vector<float> values;
  for (int i = 0; i < n; ++i) {
    e.Run();
    values.push_back(e.Value);
    e.Counter += stride;
  }
  return values;
}

TEST(ZoneEnvelope, ZeroStageTimesGiveTheSustainLevelAtOnce) {
  TZoneEnvelope e = Make({}, 0.4f, 10);
  EXPECT_EQ(Step(e, 3), (std::vector<float>{0.4f, 0.4f, 0.4f}));
}

TEST(ZoneEnvelope, StagesRunInOrderAndHoldUntilTheRelease) {
  // Attack 4, hold 2, decay 4 to 0.5, sustain 2, rise 2, fall 2, sustain 2.
  TZoneEnvelope e = Make({4, 2, 4, 2, 2, 2, 2}, 0.5f, 4);
  const std::vector<float> v = Step(e, 24);
  const std::vector<float> expected = {0,    0.25f, 0.5f, 0.75f, 1,    1,    1,    0.875f, 0.75f, 0.625f, 0.5f, 0.5f,
                                       0.5f, 0.75f, 1,    0.75f, 0.5f, 0.5f, 0.5f, 0.5f,   0.5f,  0.5f,   0.5f, 0.5f};
  for (std::size_t i = 0; i < expected.size(); ++i) EXPECT_FLOAT_EQ(v[i], expected[i]) << i;
  EXPECT_EQ(e.State, TZoneEnvelope::kRunning);
}

TEST(ZoneEnvelope, ReleaseFallsFromWhereTheEnvelopeWas) {
  TZoneEnvelope e = Make({10}, 1.0f, 4);
  Step(e, 4);  // attack at 0.3
  e.StartRelease();
  const std::vector<float> v = Step(e, 6);
  EXPECT_FLOAT_EQ(v[0], 0.3f);
  EXPECT_FLOAT_EQ(v[1], 0.225f);
  EXPECT_FLOAT_EQ(v[3], 0.075f);
  EXPECT_EQ(e.State, TZoneEnvelope::kDone);
  EXPECT_FLOAT_EQ(v[5], 0.075f) << "a finished envelope keeps its last value";
  e.StartRelease();
  EXPECT_EQ(e.State, TZoneEnvelope::kDone) << "only a running envelope releases";
}

TEST(ZoneEnvelope, TableBeforeCurve) {
  TZoneEnvelope cubed = Make({}, 0.5f, 4, false, 2);
  EXPECT_FLOAT_EQ(Step(cubed, 1)[0], 0.125f);
  TZoneEnvelope table = Make({}, 0.5f, 4, true, 0);
  const float looked = Step(table, 1)[0];
  TZoneEnvelope both = Make({}, 0.5f, 4, true, 2);
  EXPECT_FLOAT_EQ(Step(both, 1)[0], looked * looked * looked);
  EXPECT_FLOAT_EQ(both.Linear, 0.5f) << "the linear value stays unbent";
}

TEST(ZoneEnvelope, AutoReleaseEndsAfterTheTimedStages) {
  TZoneEnvelope e = Make({2, 0, 0, 3}, 0.8f, 4, false, 0, true);
  const std::vector<float> v = Step(e, 12);
  EXPECT_FLOAT_EQ(v[4], 0.8f);
  EXPECT_FLOAT_EQ(v[5], 0.8f) << "release starts from the sustain level";
  EXPECT_FLOAT_EQ(v[6], 0.6f);
  EXPECT_EQ(e.State, TZoneEnvelope::kDone);
}

TEST(ZoneEnvelope, KeyTrackedDecayKeepsTheUntrackedSlope) {
  // Decay of 8 samples to 0.5; key 12 above 60 with tracking 1/12 doubles
  // it: the same slope continues to 0 (not below), then the sustain level.
  TZoneEnvelope longer = Make({0, 0, 8}, 0.5f, 4);
  longer.ComputeStageEnds(12, 0.0f, 1.0f / 12.0f);
  const std::vector<float> v = Step(longer, 20);
  EXPECT_FLOAT_EQ(v[8], 0.5f);
  EXPECT_FLOAT_EQ(v[12], 0.25f);
  EXPECT_FLOAT_EQ(v[15], 0.0625f);
  EXPECT_FLOAT_EQ(v[16], 0.5f);
  TZoneEnvelope tripled = Make({0, 0, 8}, 0.5f, 4);
  tripled.ComputeStageEnds(24, 0.0f, 1.0f / 12.0f);
  EXPECT_FLOAT_EQ(Step(tripled, 21)[20], 0.0f);
  // Halved: jumps to the sustain level at its end.
  TZoneEnvelope shorter = Make({0, 0, 8}, 0.5f, 4);
  shorter.ComputeStageEnds(-6, 0.0f, 1.0f / 12.0f);
  const std::vector<float> w = Step(shorter, 6);
  EXPECT_FLOAT_EQ(w[3], 0.8125f);
  EXPECT_FLOAT_EQ(w[4], 0.5f);
}

// RunSpan computes each stage's run at once and takes the final hold in one
// step: every stage, the table and the curve, the auto-release, a decay
// tracked longer than its slope (clamped at 0), a counter at its limit and
// a stride of two must come out exactly as running sample by sample, in
// spans of any length, through the release.
TEST(ZoneEnvelope, SpansGiveExactlyTheSampleBySampleRun) {
  struct TCase {
    bool Table;
    std::int32_t Curve;
    bool AutoRelease;
    std::int32_t StartCounter;
    std::int32_t Stride;
    std::int32_t Scale;  // stage lengths x Scale
  };
  const TCase cases[] = {{false, 0, false, 0, 1, 1},
                         {true, 3, false, 0, 1, 1},
                         {false, 2, true, 0, 1, 1},
                         {false, 0, false, (1 << 30) - 5, 1, 1},
                         {true, 2, false, 0, 1, 9},
                         {true, 0, true, 0, 2, 9},
                         {false, 4, false, (1 << 30) - 99, 2, 7}};
  for (const TCase& c : cases) {
    TZoneEnvelope envelopes[2];
    for (TZoneEnvelope& e : envelopes) {
      e = Make({3 * c.Scale, 2 * c.Scale, 5 * c.Scale, 4 * c.Scale, 3 * c.Scale, 2 * c.Scale, 6 * c.Scale}, 0.6f,
               7 * c.Scale, c.Table, c.Curve, c.AutoRelease);
      e.DecayEnd += 4 * c.Scale;  // tracked longer: the decay goes on below the sustain, to 0
      e.Sustain1End += 4 * c.Scale;
      e.RiseEnd += 4 * c.Scale;
      e.FallEnd += 4 * c.Scale;
      e.Sustain2End += 4 * c.Scale;
      e.Counter = c.StartCounter;
    }
    TZoneEnvelope& spans = envelopes[0];
    TZoneEnvelope& single = envelopes[1];
    auto compare = [&](std::int32_t length) {
      std::vector<float> got(static_cast<std::size_t>(length));
      spans.RunSpan(got.data(), length, c.Stride);
      const std::vector<float> expected = Step(single, length, c.Stride);
      for (std::size_t i = 0; i < got.size(); ++i) ASSERT_EQ(got[i], expected[i]) << length << " " << i;
      ASSERT_EQ(spans.Counter, single.Counter);
      ASSERT_EQ(spans.Linear, single.Linear);
      ASSERT_EQ(spans.Value, single.Value);
      ASSERT_EQ(spans.ReleaseLevel, single.ReleaseLevel);
      ASSERT_EQ(spans.State, single.State);
    };
    for (std::int32_t length : {1, 4, 7, 13, 44, 3, 44, 44, 88, 88}) compare(length);
    spans.StartRelease();
    single.StartRelease();
    for (std::int32_t length : {12, 44, 44, 5}) compare(length);
  }
}

// A release that reaches 0 ends there, inside a span, and the span holds
// the last value.
TEST(ZoneEnvelope, ASpanEndsTheReleaseWhereItReachesZero) {
  TZoneEnvelope spans = Make({}, 0.5f, 10);
  TZoneEnvelope single = Make({}, 0.5f, 10);
  spans.ReleaseSlope = single.ReleaseSlope = 0.125f;  // 0 at sample 8, before the length
  spans.StartRelease();
  single.StartRelease();
  std::vector<float> got(20);
  spans.RunSpan(got.data(), 20);
  EXPECT_EQ(got, Step(single, 20));
  EXPECT_EQ(spans.State, TZoneEnvelope::kDone);
  EXPECT_EQ(spans.Counter, single.Counter);
}

}  // namespace
