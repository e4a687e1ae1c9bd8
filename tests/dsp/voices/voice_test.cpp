// The voice classes: note state, the envelopes' legato hand-over, the
// sequencer and LFO restarts, and the sampler voices' note flow.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "dsp/voices/sampler_voice.h"
#include "tests/dsp/sampler/instrument_rig.h"
#include "tests/support/alloc_trap.h"
#include "tests/support/owner_lock.h"

namespace {

constexpr std::uint32_t kSamplesPerMs = 44;  // DefaultAudioSettings

// Attack 10 ms, decay 20 ms to 0.5, release 30 ms on both envelopes.
void ShapeEnvelopes(TDSPEnvVoice& voice) {
  for (TDSPADSR* env : {&voice.Env1, &voice.Env2}) {
    env->SetAttack(10);
    env->SetDecay(20);
    env->SetSustain(0.5f);
    env->SetRelease(30);
  }
}

void StartVoice(TDSPXVoice& voice, float velocity) {
  voice.Velocity = velocity;
  voice.Trigger();
  voice.State = TDSPXVoice::kHeld;
}

// n samples of both envelopes.
void RunEnvelopes(TDSPEnvVoice& voice, std::int32_t n) {
  for (std::int32_t i = 0; i < n; ++i) {
    voice.Env1.Step();
    voice.Env2.Step();
  }
}

std::vector<float> Levels(TDSPADSR& env, std::int32_t n) {
  std::vector<float> out;
  for (std::int32_t i = 0; i < n; ++i) {
    env.Step();
    out.push_back(env.Level);
  }
  return out;
}

TEST(Voice, NewVoiceIsFreeWithAgeZeroAndUnitLevel) {
  TDSPSamplerInstrVoice2 voice;
  EXPECT_EQ(voice.State, TDSPXVoice::kFree);
  EXPECT_EQ(voice.Age, 0);
  EXPECT_EQ(voice.VoiceLevel, 1.0f);
  EXPECT_EQ(voice.ControlCounter, -1);
  EXPECT_EQ(voice.Sampler1->State, TDSPSamplerControl::kFinished);
  EXPECT_EQ(voice.Sampler2->State, TDSPSamplerControl::kFinished);
  // The sequencers' gain buffers exist for the renderer to read.
  EXPECT_NE(voice.Seq1.OutBuffer, nullptr);
  EXPECT_NE(voice.Seq2.OutBuffer, nullptr);
}

TEST(Voice, ResetFreesTheVoiceAndForgetsItsNote) {
  TDSPSamplerInstrVoice2 voice;
  ShapeEnvelopes(voice);
  voice.Note = 70;
  StartVoice(voice, 1.0f);
  voice.Age = 5000;
  voice.ReleaseTime = 40;
  voice.LfoCounter[1] = 900;
  voice.LfoCycles[1] = 2;
  voice.Sampler1->LegatoStartPitch = 62;
  voice.ResetVoice();
  EXPECT_EQ(voice.State, TDSPXVoice::kFree);
  EXPECT_EQ(voice.Age, 0);
  EXPECT_EQ(voice.ReleaseTime, 0);
  EXPECT_EQ(voice.Note, 48);
  EXPECT_EQ(voice.GlideStartPitch, 48.0f);
  EXPECT_EQ(voice.LastNote, 48.0f);
  EXPECT_EQ(voice.Env1.Gate, 0.0f);
  EXPECT_EQ(voice.Env2.Gate, 0.0f);
  EXPECT_EQ(voice.LfoCounter[1], 0);
  EXPECT_EQ(voice.LfoCycles[1], 0);
  EXPECT_EQ(voice.Sampler1->State, TDSPSamplerControl::kFinished);
  EXPECT_EQ(voice.Sampler2->State, TDSPSamplerControl::kFinished);
  EXPECT_EQ(voice.Sampler1->LegatoStartPitch, 0.0f);
}

TEST(Voice, ReleaseClosesBothEnvelopesAndFallsFromTheHeldLevel) {
  TDSPEnvVoice voice;
  ShapeEnvelopes(voice);
  StartVoice(voice, 1.0f);
  RunEnvelopes(voice, 200);   // in the attack
  voice.Env1.Retrigger(200);  // the renderer feeds the age
  voice.Env2.Retrigger(200);
  const float held = voice.Env1.Level;
  voice.Release();
  EXPECT_EQ(voice.State, TDSPXVoice::kReleased);
  EXPECT_EQ(voice.ReleaseTime, 0);
  const std::vector<float> release = Levels(voice.Env1, 30 * kSamplesPerMs + 1);
  EXPECT_FLOAT_EQ(release.front(), held);
  EXPECT_NEAR(release[15 * kSamplesPerMs], 0.5f * held, 1e-5f);
  EXPECT_EQ(release.back(), 0.0f);
  EXPECT_TRUE(voice.Env1.Finished);
}

// The previous voice A and the voice B that takes over, with the same
// envelope settings.
struct LegatoPair {
  LegatoPair() {
    ShapeEnvelopes(A);
    ShapeEnvelopes(B);
    ShapeEnvelopes(Twin);
  }
  TDSPEnvVoice A, B;
  TDSPEnvVoice Twin;  // runs as A runs: what A would do next
};

TEST(Voice, LegatoWithOneVoiceContinuesTheEnvelopesExactly) {
  for (std::int32_t position : {200, 700, 2000}) {  // attack, decay, sustain
    SCOPED_TRACE(position);
    LegatoPair p;
    StartVoice(p.A, 0.8f);
    RunEnvelopes(p.A, position);
    p.B.VoiceCount = 1;
    p.B.Velocity = 0.8f;
    p.B.LegatoNoteOn(p.A, true);
    for (std::int32_t i = 0; i < 3000; ++i) {
      ASSERT_EQ(p.B.Env1.Step(), p.A.Env1.Step()) << "sample " << i;
      ASSERT_EQ(p.B.Env2.Step(), p.A.Env2.Step()) << "sample " << i;
    }
  }
}

TEST(Voice, LegatoWithOneVoiceTakesOverARunningRampToo) {
  LegatoPair p;
  StartVoice(p.A, 1.0f);
  RunEnvelopes(p.A, 2000);
  p.A.Env1.RampActive = true;  // A itself in the middle of a legato ramp
  p.A.Env1.RampCounter = 100;
  p.A.Env1.RampLength = 528;
  p.A.Env1.RampTarget = 0.7f;
  p.B.Env1.RampActive = true;  // and B with a leftover ramp of its own
  p.B.Env1.RampCounter = 3;
  p.B.Env1.RampLength = 1000;
  p.B.Env1.RampTarget = 0.1f;
  p.B.VoiceCount = 1;
  p.B.Velocity = 1.0f;
  p.B.LegatoNoteOn(p.A, false);
  for (std::int32_t i = 0; i < 1000; ++i) ASSERT_EQ(p.B.Env1.Step(), p.A.Env1.Step()) << "sample " << i;
}

TEST(Voice, LegatoClaimingASoundingVoiceFadesItOutThenRampsToThePhrase) {
  LegatoPair p;
  // B sounds its release; A holds, in its decay.
  StartVoice(p.B, 1.0f);
  RunEnvelopes(p.B, 2000);
  p.B.Env1.Retrigger(2000);
  p.B.Env2.Retrigger(2000);
  p.B.Release();
  RunEnvelopes(p.B, 10 * kSamplesPerMs);
  const float own = p.B.Env1.Level;
  ASSERT_GT(own, 0.1f);
  StartVoice(p.A, 1.0f);
  StartVoice(p.Twin, 1.0f);
  RunEnvelopes(p.A, 700);
  RunEnvelopes(p.Twin, 700);
  const float target1 = p.A.Env1.Level;

  p.B.VoiceCount = 2;
  p.B.Velocity = 0.5f;
  p.B.LegatoNoteOn(p.A, false);
  EXPECT_EQ(p.B.Env1.OutputScale, 0.5f);
  EXPECT_FALSE(p.B.Env1.Finished);

  constexpr std::int32_t fade = 24 * kSamplesPerMs, ramp = 12 * kSamplesPerMs;
  const std::vector<float> level = Levels(p.B.Env1, fade + ramp + 200);
  // 24 ms of linear fade from its own level...
  EXPECT_FLOAT_EQ(level[0], own);
  EXPECT_NEAR(level[fade / 2], 0.5f * own, 1e-5f);
  EXPECT_NEAR(level[fade - 1], own / fade, 1e-5f);
  for (std::int32_t i = 1; i < fade; ++i) ASSERT_LT(level[i], level[i - 1]);
  // ...12 ms rising from 0 to A's level...
  EXPECT_EQ(level[fade], 0.0f);
  EXPECT_NEAR(level[fade + ramp / 2], 0.5f * target1, 1e-5f);
  for (std::int32_t i = fade + 1; i < fade + ramp; ++i) ASSERT_GT(level[i], level[i - 1]);
  // ...then on from A's position, as A would have gone on.
  for (std::int32_t i = fade + ramp; i < fade + ramp + 200; ++i) {
    p.Twin.Env1.Step();
    ASSERT_FLOAT_EQ(level[i], p.Twin.Env1.Level) << "sample " << i;
  }
}

TEST(Voice, LegatoOnAFreshVoiceRampsFromZeroAndEnvelope2ToTheHeldLevel) {
  LegatoPair p;
  StartVoice(p.A, 1.0f);
  RunEnvelopes(p.A, 2000);  // sustain
  p.A.Env2.Retrigger(2000);
  p.A.Env2.SetGate(0);  // envelope 2 released: its held level is what the ramp aims at
  p.A.Env2.Retrigger(0);
  RunEnvelopes(p.A, 100);
  const float held2 = p.A.Env2.HeldLevel;
  ASSERT_GT(held2, p.A.Env2.Level);
  p.B.VoiceCount = 4;
  p.B.Velocity = 1.0f;
  p.B.LegatoNoteOn(p.A, true);
  constexpr std::int32_t ramp = 12 * kSamplesPerMs;
  const std::vector<float> level1 = Levels(p.B.Env1, ramp + 1);
  const std::vector<float> level2 = Levels(p.B.Env2, ramp);
  EXPECT_EQ(level1[0], 0.0f);
  EXPECT_NEAR(level1[ramp - 1], 0.5f * (ramp - 1) / ramp, 1e-5f);
  EXPECT_FLOAT_EQ(level1[ramp], 0.5f);  // sustain, A's position
  EXPECT_NEAR(level2[ramp / 2], 0.5f * held2, 1e-5f);
}

// ---- sequencers and LFOs

TEST(Voice, TriggerRestartsSequencersThatResetAndMarkedLfos) {
  TDSPSynthVoice2 voice;
  for (TDSPSequencer* seq : {&voice.Seq1, &voice.Seq2}) {
    seq->SetFixedSeed(7);
    seq->SetTimeUnit(0);
    seq->SetStepLength(2);
    seq->SetSwing(0.5f);
  }
  voice.Seq2.SetResetOnNewNote(0);
  voice.LfoReset = {true, false, false};
  voice.LfoCounter = {500, 500, 500};
  voice.LfoCycles = {1, 1, 1};
  for (int b = 0; b < 5; ++b) {
    voice.Seq1.Tick();
    voice.Seq2.Tick();
  }
  ASSERT_NE(voice.Seq1.StepIndex(), 0);
  ASSERT_NE(voice.Seq2.StepIndex(), 0);
  StartVoice(voice, 1.0f);
  EXPECT_EQ(voice.Seq1.StepIndex(), 0);
  EXPECT_NE(voice.Seq2.StepIndex(), 0);
  EXPECT_EQ(voice.LfoCounter[0], 0);
  EXPECT_EQ(voice.LfoCycles[0], 0);
  EXPECT_EQ(voice.LfoCounter[1], 500);
  EXPECT_EQ(voice.LfoCycles[2], 1);
}

TEST(Voice, LegatoRestartsSequencersByRetriggerAndAlwaysRetrigger) {
  struct Case {
    bool Retrigger;
    bool Always;
    bool Legato;  // LegatoNoteOn, else LegatoContinue
    bool Restarts;
    bool LfoRestarts;
  };
  for (const Case c : {Case{true, false, true, true, true}, Case{false, false, true, false, false},
                       Case{false, true, true, true, false}, Case{false, false, false, false, false},
                       Case{false, true, false, true, false}}) {
    SCOPED_TRACE(::testing::Message() << c.Retrigger << c.Always << c.Legato);
    TDSPSynthVoice previous, voice;
    voice.Seq1.SetTimeUnit(0);
    voice.Seq1.SetStepLength(2);
    voice.Seq1.SetSwing(0.5f);
    voice.Seq1.SetAlwaysRetrigger(c.Always ? 1 : 0);
    voice.LfoReset[2] = true;
    voice.LfoCounter[2] = 77;
    for (int b = 0; b < 5; ++b) voice.Seq1.Tick();
    voice.VoiceCount = 2;
    if (c.Legato) {
      voice.LegatoNoteOn(previous, c.Retrigger);
    } else {
      voice.LegatoContinue();
    }
    EXPECT_EQ(voice.Seq1.StepIndex() == 0, c.Restarts);
    EXPECT_EQ(voice.LfoCounter[2] == 0, c.LfoRestarts);
  }
}

TEST(Voice, SettingsReachEveryObjectButTheLfosStayAtTheControlRate) {
  TAudioSettingsRec settings = MakeAudioSettings(96000, 96);
  TDSPSamplerInstrVoice2 voice;
  voice.ControlCounter = 12;
  voice.SetAudioSettings(&settings);
  EXPECT_EQ(voice.ControlCounter, -1);
  for (TDSPControl* c : std::initializer_list<TDSPControl*>{
           &voice.Env1, &voice.Env2, &voice.Seq1, &voice.Seq2, &voice.Filter1[0], &voice.Filter1[1], &voice.Filter2[0],
           &voice.Filter2[1], &voice.Shaper[0], &voice.Shaper[1], &voice.Osc1, &voice.Osc2})
    EXPECT_EQ(c->Settings->SampleRate, 96000);
  // At 96 kHz the sample players keep the voice's rate; at 48 kHz they
  // render twice the voice's block at twice its rate.
  for (TDSPControl* c : std::initializer_list<TDSPControl*>{voice.Sampler1.get(), voice.Sampler2.get()})
    EXPECT_EQ(c->Settings->SampleRate, 96000);
  for (const TDSPOscillator& lfo : voice.Lfo) EXPECT_EQ(lfo.Settings, &ControlAudioSettings);
  EXPECT_EQ(voice.Env1.AttackSamples, 0.0f);
  voice.Env1.SetAttack(10);
  EXPECT_EQ(voice.Env1.AttackSamples, 960.0f);
  voice.SetTempo(90.0);
  EXPECT_EQ(voice.Seq1.Tempo(), 90.0);
  EXPECT_EQ(voice.Seq2.Tempo(), 90.0);
  TAudioSettingsRec settings48 = MakeAudioSettings(48000, 48);
  voice.SetAudioSettings(&settings48);
  for (TDSPControl* c : std::initializer_list<TDSPControl*>{voice.Sampler1.get(), voice.Sampler2.get()}) {
    EXPECT_EQ(c->Settings->SampleRate, 96000);
    EXPECT_EQ(c->Settings->BlockSize, 96);
  }
}

// ---- sampler voices

sampler_test::TInstrumentRig& Bank() {
  static sampler_test::TInstrumentRig rig([] {
    TBankSpec bank;
    bank.Samples.push_back(sampler_test::SineSample(1, 1, 4000, 100, kLoopForward, 0, 4000));
    bank.Programs.push_back(TBankProgramSpec{0, "One", false, {}, {sampler_test::PlainZone(1)}});
    return bank;
  }());
  return rig;
}

std::unique_ptr<TDSPSamplerInstrVoice2> MakeSamplerVoice() {
  auto voice = std::make_unique<TDSPSamplerInstrVoice2>();
  testing_support::TOwnerLockGuard lock;
  for (TDSPSamplerInstr* p : {&voice->Player1(), &voice->Player2()}) {
    p->SetStore(&Bank().Store);
    p->SetProgram(0, 0);
  }
  return voice;
}

TEST(SamplerVoice, NoteFlowStartsReleasesAndResetsBothSamplers) {
  auto voice = MakeSamplerVoice();
  testing_support::TOwnerLockGuard lock;
  {
    testing_support::TAudioThreadGuard audio("the sampler voice's note operations");
    voice->Note = 57;
    voice->Velocity = 0.5f;
    voice->VoiceLevel = 0.8f;
    voice->Trigger();
    EXPECT_TRUE(voice->Sampler1Pending);
    EXPECT_TRUE(voice->Sampler2Pending);
    voice->StartNote();
    voice->Player1().RenderBlock();
    voice->Player2().RenderBlock();
  }
  for (TDSPSamplerControl* s : {voice->Sampler1.get(), voice->Sampler2.get()}) {
    EXPECT_EQ(s->State, TDSPSamplerControl::kPlaying);
    EXPECT_EQ(s->Note, 57);
    EXPECT_FLOAT_EQ(s->Level, 0.4f);
  }
  EXPECT_FALSE(voice->Sampler1Pending);
  EXPECT_FALSE(voice->Sampler2Pending);

  // A later StartNote without a new start keeps the samplers' note.
  voice->Note = 60;
  voice->Velocity = 1.0f;
  voice->StartNote();
  EXPECT_EQ(voice->Sampler1->Note, 57);
  EXPECT_FLOAT_EQ(voice->Sampler1->Level, 0.8f);

  voice->Release();
  EXPECT_EQ(voice->State, TDSPXVoice::kReleased);
  EXPECT_EQ(voice->Sampler1->State, TDSPSamplerControl::kReleased);
  EXPECT_EQ(voice->Sampler2->State, TDSPSamplerControl::kReleased);

  voice->ResetVoice();
  EXPECT_EQ(voice->Sampler1->State, TDSPSamplerControl::kFinished);
  EXPECT_EQ(voice->Sampler2->State, TDSPSamplerControl::kFinished);
}

TEST(SamplerVoice, LegatoContinuesThePreviousVoicesSamplers) {
  auto previous = MakeSamplerVoice();
  auto voice = MakeSamplerVoice();
  testing_support::TOwnerLockGuard lock;
  previous->Note = 50;
  previous->Velocity = 1.0f;
  previous->Trigger();
  previous->StartNote();
  for (int b = 0; b < 20; ++b) previous->Player1().RenderBlock();
  previous->Player1().SetPitch(50.0f);
  voice->Note = 55;
  voice->Velocity = 1.0f;
  voice->VoiceCount = 2;
  {
    testing_support::TAudioThreadGuard audio("a legato note");
    voice->LegatoNoteOn(*previous, true);
    voice->StartNote();
  }
  EXPECT_EQ(voice->Sampler1->State, TDSPSamplerControl::kPlaying);
  EXPECT_EQ(voice->Sampler1->PhraseTime, previous->Sampler1->PhraseTime);
  EXPECT_EQ(voice->Sampler1->LegatoStartPitch, 50.0f);
  EXPECT_EQ(voice->Sampler1->Note, 55);
  EXPECT_EQ(voice->Sampler2->Note, 55);
}

}  // namespace

// The voice's half-band filter holds the last samples of a note; a new
// attack must not open with them (a click of the previous note): it sounds
// exactly as the same note on a fresh voice.
TEST(SamplerVoice, ANewAttackDoesNotOpenWithThePreviousNotesSamples) {
  testing_support::TOwnerLockGuard lock;
  auto start = [](TDSPSamplerInstrVoice2& v, int note) {
    v.Note = note;
    v.Velocity = 1.0f;
    v.VoiceLevel = 1.0f;
    v.Trigger();
    v.StartNote();
  };
  const std::int32_t frames = MakeSamplerVoice()->Settings->BlockSize;
  std::vector<float> left(static_cast<std::size_t>(frames)), right(left);
  // One block of player 1 halved into left and right.
  auto block = [&left, &right, frames](TDSPSamplerInstrVoice2& v) {
    v.Player1().RenderBlock();
    ASSERT_TRUE(v.Oversampled());
    TDSPSamplerInstrVoice2::TPlayerMix mix;
    mix.A = v.Player1().Output();
    mix.Left = left.data();
    mix.Right = right.data();
    v.MixPlayersDown(mix, frames);
  };
  auto used = MakeSamplerVoice();
  start(*used, 57);
  for (int b = 0; b < 20; ++b) block(*used);
  start(*used, 45);
  block(*used);
  const std::vector<float> a = left, aRight = right;
  auto fresh = MakeSamplerVoice();
  start(*fresh, 45);
  block(*fresh);
  EXPECT_EQ(a, left);
  EXPECT_EQ(aRight, right);
  float loudest = 0;
  for (float v : left) loudest = std::max(loudest, std::fabs(v));
  EXPECT_GT(loudest, 0.0f);
}
