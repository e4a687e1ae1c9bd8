#include "dsp/envelopes/envelope.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

namespace {
// An envelope at 44100 Hz (44 samples per millisecond), gate turned on as
// for a voice's first note.
void Start(TDSPADSR& env, float attackMs, float decayMs, float sustain, float releaseMs) {
  env.SetAttack(attackMs);
  env.SetDecay(decayMs);
  env.SetSustain(sustain);
  env.SetRelease(releaseMs);
  env.NoteOn(1.0f);
}

void Release(TDSPADSR& env) {
  env.Retrigger(7);
  env.SetGate(0);
  env.Retrigger(0);
}
}  // namespace

TEST(Envelope, NewEnvelopeIsFinishedAtLevelZero) {
  TDSPADSR env;
  EXPECT_EQ(env.Step(), 0.0f);
  EXPECT_TRUE(env.Finished);
}

TEST(Envelope, ZeroAttackAndDecayReachSustainOnTheFirstSample) {
  TDSPADSR env;
  Start(env, 0, 0, 0.6f, 100);
  EXPECT_FLOAT_EQ(env.Step(), 0.6f);
  EXPECT_FALSE(env.Finished);
}

TEST(Envelope, AttackAndDecayAreLinearInSamples) {
  TDSPADSR env;
  Start(env, 10, 10, 0.5f, 100);  // 440 samples each
  std::vector<float> out(1000);
  for (float& v : out) v = env.Step();
  EXPECT_FLOAT_EQ(out[0], 0.0f);
  EXPECT_FLOAT_EQ(out[220], 0.5f);
  EXPECT_FLOAT_EQ(out[440], 1.0f);
  EXPECT_FLOAT_EQ(out[660], 0.75f);
  EXPECT_FLOAT_EQ(out[880], 0.5f);
  EXPECT_FLOAT_EQ(out[999], 0.5f);
}

TEST(Envelope, RetriggerFadesOverTwoMillisecondsThenAttacksFromZero) {
  TDSPADSR env;
  Start(env, 0, 0, 0.8f, 100);
  env.Step();
  env.Retrigger(44);
  env.Retrigger(0);
  env.SetAttack(10);
  std::vector<float> out(89);
  for (float& v : out) v = env.Step();
  EXPECT_FLOAT_EQ(out[0], 0.8f);
  for (int i = 1; i < 88; ++i) EXPECT_NEAR(out[i], 0.8f * (1 - i / 88.0f), 1e-6f) << i;
  EXPECT_EQ(out[88], 0.0f);  // the attack starts from 0
  EXPECT_FLOAT_EQ(env.Step(), 1 / 440.0f);
  env.Retrigger(0);  // the same position again: nothing changes
  EXPECT_FALSE(env.FadeActive);
}

TEST(Envelope, RetriggerFromSilenceSkipsTheFadeInOneSample) {
  TDSPADSR env;
  env.Retrigger(500);  // a voice that played before
  Start(env, 1, 0, 1, 100);
  env.Retrigger(0);
  EXPECT_TRUE(env.FadeActive);
  EXPECT_EQ(env.Step(), 0.0f);
  EXPECT_FALSE(env.FadeActive);
  EXPECT_EQ(env.Step(), 0.0f);
  EXPECT_FLOAT_EQ(env.Step(), 1 / 44.0f);
}

TEST(Envelope, ReleaseFallsLinearlyFromWhereTheGateOffFoundIt) {
  TDSPADSR env;
  Start(env, 10, 0, 1, 1);                    // release 44 samples
  for (int i = 0; i <= 132; ++i) env.Step();  // the attack reaches 132 / 440 = 0.3
  Release(env);
  for (int i = 0; i < 44; ++i) {
    EXPECT_NEAR(env.Step(), 0.3f * (1 - i / 44.0f), 1e-6f) << i;
    EXPECT_FALSE(env.Finished) << i;
  }
  EXPECT_EQ(env.Step(), 0.0f);
  EXPECT_TRUE(env.Finished);
}

TEST(Envelope, CurvedOutputFollowsTheLogLaw) {
  EXPECT_NEAR(TDSPEnvelope::CurvedLevel(0.5f), 0.2596f, 1e-4f);
  EXPECT_EQ(TDSPEnvelope::CurvedLevel(0.0f), 0.0f);
  EXPECT_FLOAT_EQ(TDSPEnvelope::CurvedLevel(1.0f), 1.0f);
  TDSPADSR env;
  Start(env, 0, 0, 0.5f, 100);
  env.NoteOn(0.5f);
  env.TickCurved();
  EXPECT_NEAR(env.OutputSample, 0.5f * 0.2596f, 1e-4f);
}

TEST(Envelope, GateEdgeActsOnlyOnAChangeOfSign) {
  TDSPADSR env;
  env.SetGateEdge(0.7f);
  EXPECT_TRUE(env.FadeActive);
  EXPECT_EQ(env.FadeLength, 88u);
  env.SetGateEdge(0.5f);
  EXPECT_EQ(env.Gate, 0.7f);
  env.FadeDisabled = true;
  env.SetGateEdge(0);
  env.SetGateEdge(0.4f);
  EXPECT_FALSE(env.FadeActive);
  EXPECT_EQ(env.OutputScale, 0.4f);
}

TEST(Envelope, UnconnectedInputsReadFiveHundredTwelve) {
  TDSPADSR env;
  env.SetUsesBuffers(true);
  env.SetAudioSettings(env.Settings);
  std::vector<float> gate(env.Settings->BufferLength, 1.0f);
  env.Inputs[0] = gate.data();
  env.ProcessBlockInputs();
  EXPECT_EQ(env.Sustain, 1.0f);
  EXPECT_EQ(env.Attack, 512.0f);
  EXPECT_FLOAT_EQ(env.AttackSamples, 512.0f * 44);
}

// The block forms compute each stage's run at once: with and without an
// attack shape, through a restart's fade, a release that ends inside a run
// and runs of any length, they give exactly what Step gives.
TEST(Envelope, BufferPathMatchesTheStepAndFollowsTheRate) {
  TAudioSettingsRec rate48 = MakeAudioSettings(48000, 48);
  std::vector<float> shape(kCurvePoints + 1);
  for (int j = 0; j <= kCurvePoints; ++j)
    shape[static_cast<std::size_t>(j)] = std::sqrt(static_cast<float>(j) / 9000.0f);
  for (const float* attackShape : {static_cast<const float*>(nullptr), static_cast<const float*>(shape.data())}) {
    TDSPADSR a, b;
    for (TDSPADSR* env : {&a, &b}) {
      env->SetAudioSettings(&rate48);
      env->AttackShape = attackShape;
      Start(*env, 3, 2, 0.4f, 5);
    }
    EXPECT_FLOAT_EQ(a.AttackSamples, 144.0f);
    std::vector<float> buffer(48);
    for (int ms = 0; ms < 30; ++ms) {
      if (ms == 6) {
        // A restart mid-decay: the fade, then a new attack.
        for (TDSPADSR* env : {&a, &b}) {
          env->Retrigger(5);
          env->Retrigger(0);
        }
      }
      if (ms == 14) {
        Release(a);
        Release(b);
      }
      // Whole milliseconds, and runs of other lengths.
      const int n = ms % 3 == 0 ? 48 : 7 + ms;
      if (n == 48) {
        b.ProcessBuffer(buffer.data());
      } else {
        b.Run(buffer.data(), n);
      }
      for (int i = 0; i < n; ++i) ASSERT_EQ(a.Step(), buffer[static_cast<std::size_t>(i)]) << ms << " " << i;
      // The state the next run starts from is the same too.
      ASSERT_EQ(a.Counter, b.Counter) << ms;
      ASSERT_EQ(a.Level, b.Level) << ms;
      ASSERT_EQ(a.HeldLevel, b.HeldLevel) << ms;
      ASSERT_EQ(a.OutputSample, b.OutputSample) << ms;
      ASSERT_EQ(a.Finished, b.Finished) << ms;
    }
    EXPECT_TRUE(b.Finished);
  }
}

// With an attack shape the attack follows it (the level at a fraction of
// the attack is the shape there), reaches 1 and decays as before; a release
// from the middle of the attack falls from where the attack was.
TEST(Envelope, AnAttackShapeBendsOnlyTheAttack) {
  std::vector<float> shape(kCurvePoints + 1);
  for (int j = 0; j <= kCurvePoints; ++j) {
    const float t = static_cast<float>(j) / kCurvePoints;
    shape[static_cast<std::size_t>(j)] = t * t;
  }
  TDSPADSR env;
  env.AttackShape = shape.data();
  Start(env, 10, 10, 0.5f, 100);  // 440 samples each
  std::vector<float> out;
  for (int i = 0; i < 900; ++i) out.push_back(env.Step());
  EXPECT_FLOAT_EQ(out[0], 0.0f);
  EXPECT_NEAR(out[220], 0.25f, 1e-3f) << "half the attack: the shape at 0.5";
  EXPECT_NEAR(out[439], 1.0f, 1e-2f);
  EXPECT_NEAR(out[440 + 220], 0.75f, 1e-3f) << "the decay is linear";
  TDSPADSR cut;
  cut.AttackShape = shape.data();
  Start(cut, 10, 10, 0.5f, 100);
  float last = 0;
  for (int i = 0; i < 300; ++i) last = cut.Step();
  Release(cut);
  EXPECT_NEAR(cut.Step(), last, 1e-3f);
}
