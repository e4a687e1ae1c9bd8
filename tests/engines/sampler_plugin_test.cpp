// The sampler layers of the finished instrument: the sample-bank link (state
// block, program changes, messages, value texts), the oscillator parameters
// and the voice rendering.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "dsp/sampler/sampler.h"
#include "framework/base/base_math.h"
#include "framework/base/streams.h"
#include "tests/engines/sampler_test_plugin.h"
#include "tests/support/alloc_trap.h"
#include "tests/support/test_support.h"

namespace {

using namespace sampler_test;
using testing_support::AllFinite;
using testing_support::Peak;

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

// A used program of bank 0 other than 0, and an unused one (-1: none).
std::int32_t OtherUsedPatch() {
  for (std::int32_t p = 1; p < 128; ++p)
    if (GlobalSampler().Program(0, p) != nullptr) return p;
  return -1;
}
std::int32_t UnusedPatch() {
  for (std::int32_t p = 0; p < 128; ++p)
    if (GlobalSampler().Program(0, p) == nullptr) return p;
  return -1;
}

std::vector<std::uint8_t> SavedState(TRumbleon2& p) {
  TMemoryStream s;
  p.SaveState(s);
  return {s.Bytes().begin(), s.Bytes().end()};
}

// ---- the sample-bank link

TEST(SamplerBase, TheStateCarriesTheSampleBankFlagAndMidiProgramChangesStayRefused) {
  TInstrument a;
  EXPECT_TRUE(a.P().SampleBankFlag());
  const std::vector<std::uint8_t> state = SavedState(a.P());
  ASSERT_GT(state.size(), 7u);
  const std::vector<std::uint8_t> tail(state.end() - 7, state.end());
  EXPECT_EQ(tail, (std::vector<std::uint8_t>{'s', 'm', 'p', 'B', 1, 0, 1}));

  TInstrument b;
  b.P().SetSampleBankFlag(false);
  b.ProgramChange(5);
  b.Render(64);
  EXPECT_EQ(b.P().CurrentProgram(), 5) << "program changes pass while the flag is clear";
  TMemoryStream s(state);
  ASSERT_TRUE(b.P().LoadState(s));
  EXPECT_TRUE(b.P().SampleBankFlag());
  const std::int32_t program = b.P().CurrentProgram();
  b.ProgramChange(9);
  b.Render(64);
  EXPECT_EQ(b.P().CurrentProgram(), program) << "refused once the loaded state set the flag";
}

TEST(SamplerBase, AStateWithoutTheBlockLeavesTheFlagAndTheStreamWhereTheyWere) {
  TInstrument a;
  std::vector<std::uint8_t> state = SavedState(a.P());
  state.resize(state.size() - 7);
  const std::size_t end = state.size();
  for (char c : std::string("next..")) state.push_back(static_cast<std::uint8_t>(c));

  TInstrument b;
  b.P().SetSampleBankFlag(false);
  TMemoryStream s(state);
  TStateImage image;
  std::string error;
  ASSERT_TRUE(b.P().ReadState(s, image, error)) << error;
  EXPECT_EQ(s.Position(), static_cast<std::int64_t>(end)) << "what follows the state is left to its reader";
  {
    TPluginLockGuard lock(b.P());
    b.P().ApplyState(image);
  }
  EXPECT_FALSE(b.P().SampleBankFlag());

  // A block cut short fails the whole state: nothing changes.
  state.resize(end);
  for (std::uint8_t byte : std::vector<std::uint8_t>{'s', 'm', 'p', 'B', 1}) state.push_back(byte);
  TMemoryStream cut(state);
  EXPECT_FALSE(b.P().LoadState(cut));
  EXPECT_FALSE(b.P().SampleBankFlag());
}

struct TSinkSpy {
  std::intptr_t On(TDSPPluginX* /*sender*/, std::int32_t code, void* /*ptr*/, float, float, float) {
    Codes.push_back(code);
    return 1;
  }
  std::vector<std::int32_t> Codes;
};

TEST(SamplerBase, MessagesAnswerFromTheSampleStoreWhileTheFlagIsSet) {
  TInstrument inst;
  TRumbleon2& p = inst.P();
  const TSampler& store = GlobalSampler();
  std::string text = "x";
  EXPECT_EQ(p.HandlePluginMessage(8042, &text, 0, 0, 0), 1);
  EXPECT_EQ(text, store.GetBankName(0));
  EXPECT_FALSE(text.empty());
  EXPECT_EQ(p.HandlePluginMessage(8043, &text, 0, 0, 0), 1);
  EXPECT_EQ(text, store.GetProgramName(0, 0));
  TStringList list;
  EXPECT_EQ(p.HandlePluginMessage(8044, &list, 0, 0, 0), 1);
  ASSERT_EQ(list.size(), 128u);
  EXPECT_EQ(list[0], "0-" + store.GetBankName(0));
  EXPECT_EQ(p.HandlePluginMessage(8045, &list, 0, 0, 0), 1);
  ASSERT_EQ(list.size(), 128u);
  EXPECT_EQ(list[0], "0-" + store.GetProgramName(0, 0));

  // Indexes that name no bank or patch, and no text to fill: empty answers.
  for (float bad : {kNaN, -1.0f, 1e9f, 128.0f}) {
    text = "x";
    EXPECT_EQ(p.HandlePluginMessage(8042, &text, 0, 0, bad), 1);
    EXPECT_EQ(text, "");
    text = "x";
    EXPECT_EQ(p.HandlePluginMessage(8043, &text, 0, bad, 0), 1);
    EXPECT_EQ(text, "");
    EXPECT_EQ(p.HandlePluginMessage(8045, &list, 0, 0, bad), 1);
    EXPECT_EQ(list[0], "0-");
  }
  EXPECT_EQ(p.HandlePluginMessage(8043, nullptr, 0, 0, 0), 1);

  // With the flag clear the plug-in core answers with its own bank.
  p.SetSampleBankFlag(false);
  EXPECT_EQ(p.HandlePluginMessage(8042, &text, 0, 0, 0), 1);
  EXPECT_EQ(text, p.BankName);

  // 8022: the patch parameter is read and the sink hears 8010.
  TSinkSpy spy;
  p.MessageSink = TDSPPluginX::TMessageSink::Bind<&TSinkSpy::On>(&spy);
  // The stored value changes without passing ParameterChanged.
  p.Programs[static_cast<std::size_t>(p.CurrentProgram())].Values[kOsc1Patch] = p.ParamInfo[kOsc1Patch].NormFromReal(3);
  ASSERT_FALSE(p.IsOsc1PatchPending());
  EXPECT_EQ(p.HandlePluginMessage(8022, nullptr, 0, 0, 0), 1);
  EXPECT_EQ(p.Osc1Patch(), 3);
  EXPECT_TRUE(p.IsOsc1PatchPending());
  EXPECT_EQ(spy.Codes, (std::vector<std::int32_t>{8010}));
}

// A first sample player that counts the zone settings it is asked to apply.
class TZoneSpy : public TDSPSamplerInstr {
 public:
  void ApplyZoneSettings(std::int32_t id) override {
    ++Calls;
    LastId = id;
    TDSPSamplerInstr::ApplyZoneSettings(id);
  }
  int Calls = 0;
  std::int32_t LastId = -1;
};

TEST(SamplerBase, ZoneSettingMessagesReachTheCurrentPatchOfEveryVoiceOnly) {
  TInstrument inst;
  TRumbleon2& p = inst.P();
  std::vector<TZoneSpy*> spies;
  for (std::int32_t i = 0; i < p.VoiceCount(); ++i) {
    auto spy = std::make_unique<TZoneSpy>();
    spy->SetAudioSettings(p.Settings);
    spy->SetStore(&GlobalSampler());
    spy->SetProgram(0, 0);
    spies.push_back(spy.get());
    inst.Voice(i).Sampler1 = std::move(spy);
  }
  ASSERT_EQ(spies.size(), 3u);
  // Bank, patch or value given as anything but the current bank and patch.
  p.HandlePluginMessage(8021, nullptr, 60, 1, 0);
  p.HandlePluginMessage(8021, nullptr, 60, 0, 1);
  p.HandlePluginMessage(8021, nullptr, 60, kNaN, 0);
  p.HandlePluginMessage(8021, nullptr, 60, 0, 1e10f);
  for (TZoneSpy* spy : spies) EXPECT_EQ(spy->Calls, 0);

  EXPECT_EQ(p.HandlePluginMessage(8021, nullptr, 60.4f, 0, 0), 1);
  for (TZoneSpy* spy : spies) {
    EXPECT_EQ(spy->Calls, 1);
    EXPECT_EQ(spy->LastId, 60);
  }
}

TEST(SamplerBase, PatchBankAndSampleParametersShowTheStoreNames) {
  TInstrument inst;
  TRumbleon2& p = inst.P();
  const TSampler& store = GlobalSampler();
  EXPECT_EQ(p.GetParameterDisplay(kOsc1Patch), store.GetProgramShortName(0, 0));
  EXPECT_NE(p.GetParameterDisplay(kOsc1Patch), "");
  const std::int32_t unused = UnusedPatch();
  if (unused >= 0) {
    ASSERT_EQ(store.GetProgramShortName(0, unused), "Empty");
    inst.Set(kOsc2Patch, static_cast<float>(unused));
    EXPECT_EQ(p.GetParameterDisplay(kOsc2Patch), "") << "an empty patch shows no name";
  }
  // The bank and sample kinds, on a parameter of no other use.
  p.ParamInfo[18].Kind = TVRSamplerBase::kKindSampleBank;
  EXPECT_EQ(p.GetParameterDisplay(18), store.GetBankShortName(0));
  p.ParamInfo[18].Kind = TVRSamplerBase::kKindSampleName;
  EXPECT_EQ(p.GetParameterDisplay(18), store.GetSampleName(0, 0));
  EXPECT_EQ(p.GetParamDisplayText(TDSPPluginX::kQueryParam, 9999, 0), "Unknown");
  EXPECT_EQ(p.GetParamDisplayText(TDSPPluginX::kQueryParam, kOsc1Pan, 0), "-1.00 L");
}

// ---- oscillator parameters

TEST(SamplerOscParams, ValuesBecomeTheOscillatorSettings) {
  TInstrument inst;
  TRumbleon2& p = inst.P();
  const float spms = static_cast<float>(p.Settings->SamplesPerMs);
  const TOscSettings& o1 = p.Osc(0);
  EXPECT_FLOAT_EQ(o1.AmountGain, 1.0f);
  EXPECT_FLOAT_EQ(o1.PanPosition, 64.0f / 127.0f);
  EXPECT_FLOAT_EQ(o1.Env1Gain, 1.0f);
  EXPECT_FLOAT_EQ(o1.Env2Gain, 0.0f);
  EXPECT_FLOAT_EQ(o1.ScaleFactor, 1.0f);
  EXPECT_FLOAT_EQ(o1.RootKey, 64.0f);
  EXPECT_FLOAT_EQ(o1.AttackLength, 100.0f * spms) << "100 ms";
  EXPECT_FLOAT_EQ(o1.AttackRecip, 1.0f / (100.0f * spms));
  EXPECT_TRUE(p.IsOsc2Audible());

  inst.Set(kOsc1PattTime, -13160);  // the floor: no attack
  EXPECT_EQ(o1.AttackLength, 0.0f);
  EXPECT_EQ(o1.AttackRecip, 0.0f);
  inst.Set(kOsc1PrelTime, static_cast<float>(LinToCents1000(250)));
  EXPECT_FLOAT_EQ(p.Osc(0).ReleaseLength, 250.0f * spms);
  inst.Set(102, 100);  // OSC1 PITCH->ENV1
  EXPECT_FLOAT_EQ(o1.PitchEnv[0], 30.0f);
  inst.Set(kOsc1ScaleTune, 50);
  EXPECT_FLOAT_EQ(o1.ScaleFactor, 0.5f);
  inst.Set(kOsc1Amount, 0);
  EXPECT_EQ(o1.AmountGain, 0.0f);
  inst.Set(kOsc1Amount, -1000);
  EXPECT_FLOAT_EQ(o1.AmountGain, -1.0f);
  inst.Set(kOsc1PitchLfo1, 1000);
  EXPECT_FLOAT_EQ(o1.PitchLfo[0], 1.0f);

  // Osc 2 is audible above an amplitude of 0.002 (-54 dB: amount 100).
  inst.Set(kOsc2Amount, 100);
  EXPECT_LE(std::fabs(p.Osc(1).AmountGain), 0.002f);
  EXPECT_FALSE(p.IsOsc2Audible());
  inst.Set(kOsc2Amount, -100);
  EXPECT_FALSE(p.IsOsc2Audible());
  inst.Set(kOsc2Amount, 110);
  EXPECT_TRUE(p.IsOsc2Audible());

  // Lengths in samples follow a new rate.
  plugin_test::Dispatch(inst.Effect(), kEffSetSampleRate, 0, 0, nullptr, 48000.0f);
  EXPECT_FLOAT_EQ(p.Osc(0).ReleaseLength, 250.0f * 48.0f);

  inst.Set(kInterpolation, 3);
  for (std::int32_t i = 0; i < p.VoiceCount(); ++i) {
    EXPECT_EQ(inst.Voice(i).Player1().GetInterpolation(), 3);
    EXPECT_EQ(inst.Voice(i).Player2().GetInterpolation(), 3);
  }
}

TEST(SamplerOscParams, TuneAndFinetuneRetuneEveryVoicesTunerOfThatOscillator) {
  TInstrument inst;
  inst.NoteOn(40);
  inst.Render(64);
  inst.Set(kOsc1Tune, 5);
  inst.Set(kOsc1Fine, 50);
  TDSPSamplerInstrVoice2* v = inst.Playing(40);
  ASSERT_NE(v, nullptr);
  EXPECT_FLOAT_EQ(v->Tuner1.OutputSample, 45.5f);
  EXPECT_FLOAT_EQ(v->Tuner2.Transpose, 0.0f);
  for (std::int32_t i = 0; i < inst.P().VoiceCount(); ++i) {
    EXPECT_FLOAT_EQ(inst.Voice(i).Tuner1.Transpose, 5.0f);
    EXPECT_FLOAT_EQ(inst.Voice(i).Tuner1.Offset, 0.5f);
    EXPECT_FALSE(inst.Voice(i).Tuner1.DiatonicOn);
  }
  inst.Render(44);
  EXPECT_FLOAT_EQ(v->Player1().Pitch, 45.5f);
  EXPECT_FLOAT_EQ(v->Player2().Pitch, 40.0f);
}

// ---- control and rendering

TEST(SamplerRender, DefaultsPlayTheNoteAndScaleTuneZeroPlaysEveryKeyAtTheRootKey) {
  TInstrument inst;
  inst.Set(kGlideTime, -13160);
  for (int key : {30, 50, 70}) inst.NoteOn(key);
  inst.Render(64);
  for (int key : {30, 50, 70}) {
    TDSPSamplerInstrVoice2* v = inst.Playing(key);
    ASSERT_NE(v, nullptr) << key;
    EXPECT_FLOAT_EQ(v->Player1().Pitch, static_cast<float>(key));
    EXPECT_FLOAT_EQ(v->Player2().Pitch, static_cast<float>(key));
  }
  inst.Set(kOsc1ScaleTune, 0);
  inst.Set(kOsc2ScaleTune, 0);
  inst.Set(kOsc2RootKey, 70);
  inst.Render(88);
  for (int key : {30, 50, 70}) {
    TDSPSamplerInstrVoice2* v = inst.Playing(key);
    ASSERT_NE(v, nullptr);
    EXPECT_FLOAT_EQ(v->Player1().Pitch, 64.0f);
    EXPECT_FLOAT_EQ(v->Player2().Pitch, 70.0f);
  }
}

// Several voices go through a block side by side (their filters stepped
// together, their mix in one pass); the output must be exactly that of one
// voice after another: notes starting and ending at different times, more
// notes than voices (a sounding voice taken fades its step out), a shaper
// before the filters, host blocks of several sizes.
TEST(SamplerRender, VoicesSideBySideSoundExactlyAsOneAfterAnother) {
  TInstrument together, apart;
  apart.P().VoicesSideBySide = false;
  std::vector<float> left[2], right[2];
  TInstrument* inst[2] = {&together, &apart};
  for (int k = 0; k < 2; ++k) {
    inst[k]->Set(kVoices, 8);
    inst[k]->Set(kShape, 1);
    inst[k]->Set(kShapeType, 5);
    const int frames[] = {512, 100, 37, 1000, 256};
    for (int b = 0; b < 40; ++b) {
      if (b % 4 == 0) inst[k]->NoteOn(33 + 3 * (b / 4), 60 + b);
      if (b % 4 == 2) inst[k]->NoteOn(70 + b % 7, 90);
      if (b % 6 == 5) inst[k]->NoteOff(33 + 3 * (b / 8));
      inst[k]->RenderInto(frames[b % 5], left[k], right[k]);
    }
  }
  ASSERT_GT(together.SoundingVoices(), 2);
  ASSERT_GT(Peak(left[0]), 0.01f);
  ASSERT_EQ(left[0].size(), left[1].size());
  for (std::size_t i = 0; i < left[0].size(); ++i) {
    ASSERT_EQ(left[0][i], left[1][i]) << i;
    ASSERT_EQ(right[0][i], right[1][i]) << i;
  }
}

// A control update whose inputs repeat keeps what the voice's last update
// set (the filter settings, the oscillators' gains and pitch, the LFO and
// sequencer settings): the output must be exactly that of updates that
// compute everything. Held notes settle, then one change at a time of each
// kind the updates read: parameters of the filters and oscillators, a pitch
// bend, an LFO reaching a filter, matrix slots feeding and no longer
// feeding, notes starting and ending, a program change and a new rate.
TEST(SamplerRender, SettledControlSoundsExactlyAsFullUpdates) {
  TInstrument kept, full;
  full.P().KeepSettledControl = false;
  // The matrix entry of a target id (entry 0 is "---").
  auto entry = [](std::int32_t id) {
    for (std::size_t t = 0; t < std::size(VoiceModTargetTable); ++t)
      if (VoiceModTargetTable[t].first == id) return static_cast<float>(t + 1);
    return 0.0f;
  };
  constexpr std::int32_t kFlt1LCutoff = 64, kFlt1LEnv1 = 67, kFlt1LLfo1 = 69, kLfo1Freq = 82, kLfo1Amp = 84;
  constexpr std::int32_t kMSrc1 = 170, kMDst1 = 171, kMAmt1 = 172;
  constexpr float kSrcLfo1 = 1, kSrcRandom = 15;
  using TChange = std::function<void(TInstrument&)>;
  const TChange changes[] = {
      [](TInstrument& in) { in.Set(kFlt1LCutoff, 700); },
      [](TInstrument& in) { in.Set(kOsc1ScaleTune, 50); },
      [](TInstrument& in) { in.PitchBend(12000); },
      [](TInstrument& in) {
        in.Set(kLfo1Freq, 1000);
        in.Set(kFlt1LLfo1, 900);
      },
      [&](TInstrument& in) {
        in.Set(kMSrc1, kSrcLfo1);
        in.Set(kMDst1, entry(kLfo1Amp));
        in.Set(kMAmt1, 500);
      },
      [&](TInstrument& in) {
        in.Set(kFlt1LLfo1, 0);
        in.Set(kMSrc1, kSrcRandom);
        in.Set(kMDst1, entry(kFlt1LCutoff));
      },
      [&](TInstrument& in) { in.Set(kMDst1, entry(osc_param::kOsc1Amount)); },
      [](TInstrument& in) { in.Set(kMDst1, 0); },
      [](TInstrument& in) { in.Set(kOsc1Pan, 20); },
      [](TInstrument& in) {
        in.NoteOn(55);
        in.NoteOff(40);
      },
      [](TInstrument& in) { in.ProgramChange(5); },
      [](TInstrument& in) {
        in.NoteOn(43);
        in.NoteOn(59);
      },
      [](TInstrument& in) {
        plugin_test::Dispatch(in.Effect(), kEffSetSampleRate, 0, 0, nullptr, 48000.0f);
        in.NoteOn(50);
      },
      [](TInstrument& in) { in.PitchBend(8192); },
  };
  std::vector<float> left[2], right[2];
  TInstrument* inst[2] = {&kept, &full};
  for (int k = 0; k < 2; ++k) {
    TInstrument& in = *inst[k];
    in.Set(kVoices, 6);
    in.Set(kFilter1, 1);
    in.Set(kFlt1LEnv1, 500);
    for (int key : {40, 47, 52}) in.NoteOn(key, 90);
    in.RenderInto(8000, left[k], right[k]);
    for (const TChange& change : changes) {
      change(in);
      in.RenderInto(3000, left[k], right[k]);
    }
  }
  ASSERT_GT(Peak(left[0]), 0.01f);
  ASSERT_EQ(left[0].size(), left[1].size());
  for (std::size_t i = 0; i < left[0].size(); ++i) {
    ASSERT_EQ(left[0][i], left[1][i]) << i;
    ASSERT_EQ(right[0][i], right[1][i]) << i;
  }
}

TEST(SamplerRender, PanZeroSendsEverythingLeftAndPan127EverythingRight) {
  for (float pan : {0.0f, 127.0f}) {
    TInstrument inst;
    inst.Set(kOsc1Pan, pan);
    inst.Set(kOsc2Pan, pan);
    inst.NoteOn(45);
    std::vector<float> left, right;
    for (int i = 0; i < 10; ++i) inst.RenderInto(441, left, right);
    const std::vector<float>& silent = pan == 0 ? right : left;
    const std::vector<float>& loud = pan == 0 ? left : right;
    EXPECT_EQ(Peak(silent), 0.0f) << "pan " << pan;
    EXPECT_GT(Peak(loud), 0.05f) << "pan " << pan;
    TDSPSamplerInstrVoice2* v = inst.Playing(45);
    ASSERT_NE(v, nullptr);
    const int quiet = pan == 0 ? 1 : 0;
    EXPECT_EQ(inst.P().VoiceGain(v->VoiceIndex, 0, quiet), 0.0f);
    EXPECT_FLOAT_EQ(inst.P().VoiceGain(v->VoiceIndex, 0, 1 - quiet), 1.0f);
  }
}

TEST(SamplerRender, Osc2BelowTheAudibleGainIsSkippedAndResumesWhenRaised) {
  TInstrument inst;
  inst.NoteOn(45);
  inst.Render(441);
  TDSPSamplerInstrVoice2* v = inst.Playing(45);
  ASSERT_NE(v, nullptr);
  const std::int32_t t2 = v->Player2().TimeSinceStart;
  EXPECT_GT(t2, 0);
  inst.Set(kOsc2Amount, 100);
  const std::int32_t t1 = v->Player1().TimeSinceStart;
  inst.Render(441);
  EXPECT_GT(v->Player1().TimeSinceStart, t1);
  EXPECT_EQ(v->Player2().TimeSinceStart, t2) << "the second player does not render";
  inst.Set(kOsc2Amount, 110);
  inst.Render(44);
  EXPECT_GT(v->Player2().TimeSinceStart, t2) << "raised: it renders from the next block";
}

TEST(SamplerRender, AVoiceCountChangeFromTheHostIsInPlaceWhenItsCallReturns) {
  TInstrument inst;
  ASSERT_EQ(inst.P().VoiceCount(), 3);
  inst.Set(kVoices, 5);
  EXPECT_EQ(inst.P().VoiceCount(), 5);
  inst.RenderBlock();
  for (std::int32_t i = 0; i < 5; ++i) {
    ASSERT_NE(inst.P().InstrVoice(i), nullptr);
    EXPECT_EQ(inst.Voice(i).Player1().GetStore(), &GlobalSampler()) << "every voice plays the one store";
    EXPECT_EQ(inst.Voice(i).Player2().GetStore(), &GlobalSampler());
  }
  // New voices play: a note right after the change sounds.
  inst.NoteOn(40);
  std::vector<float> left, right;
  for (int i = 0; i < 5; ++i) inst.RenderInto(441, left, right);
  EXPECT_GT(Peak(left), 0.05f);
}

TEST(SamplerRender, WithoutVoicesTheEffectsStillRun) {
  TInstrument inst;
  inst.Set(kFxOn, 1);
  inst.Set(kDlyOn, 1);
  inst.Set(kEnv1Release, -13160);
  inst.Set(kEnv1Attack, -13160);
  inst.NoteOn(45);
  inst.Render(441);
  inst.NoteOff(45);
  std::vector<float> left, right;
  int blocks = 0;
  while (inst.SoundingVoices() > 0 && blocks < 100) {
    inst.Render(441);
    ++blocks;
  }
  ASSERT_EQ(inst.SoundingVoices(), 0);
  for (int i = 0; i < 100; ++i) inst.RenderInto(441, left, right);
  EXPECT_GT(Peak(left), 0.001f) << "the echo goes on after the voices ended";
  EXPECT_TRUE(AllFinite(left) && AllFinite(right));
}

TEST(SamplerRender, APatchChangeFromTheHostResetsSoundingVoicesWhenItsCallReturns) {
  const std::int32_t other = OtherUsedPatch();
  if (other < 0) GTEST_SKIP() << "the built-in bank has a single patch";
  TInstrument inst;
  inst.NoteOn(45);
  inst.Render(441);
  TDSPSamplerInstrVoice2* v = inst.Playing(45);
  ASSERT_NE(v, nullptr);

  // The same patch again (a program applied again) keeps the note.
  inst.Set(kOsc1Patch, 0);
  inst.Render(441);
  EXPECT_EQ(inst.Playing(45), v);

  // The zones are built on the host's thread and in place when its call
  // returns.
  inst.Set(kOsc1Patch, static_cast<float>(other));
  EXPECT_FALSE(inst.P().IsOsc1PatchPending());
  EXPECT_TRUE(v->IsFree()) << "the voices were reset";
  for (std::int32_t i = 0; i < inst.P().VoiceCount(); ++i) {
    EXPECT_EQ(inst.Voice(i).Player1().GetProgram(), other);
    EXPECT_EQ(inst.Voice(i).Player2().GetProgram(), 0);
  }

  // A note struck right after a new patch is not dropped.
  inst.Set(kOsc2Patch, static_cast<float>(other));
  inst.NoteOn(50);
  inst.Render(441);
  TDSPSamplerInstrVoice2* w = inst.Playing(50);
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(w->Player2().GetProgram(), other);
  EXPECT_GT(Peak(inst.Out->Left), 0.0f);
}

TEST(SamplerRender, PitchAttackAndReleaseMoveThePlayersPitch) {
  TInstrument inst;
  inst.Set(kOsc1PattStart, -12);
  inst.Set(kOsc1PattEnd, 0);
  inst.Set(kOsc1PattTime, static_cast<float>(LinToCents1000(100)));
  inst.Set(kOsc1PrelEnd, 12);
  inst.Set(kOsc1PrelTime, static_cast<float>(LinToCents1000(100)));
  inst.NoteOn(45);
  inst.Render(44);
  TDSPSamplerInstrVoice2* v = inst.Playing(45);
  ASSERT_NE(v, nullptr);
  EXPECT_NEAR(v->Player1().Pitch, 33.0f, 0.2f) << "the attack starts 12 semitones down";
  EXPECT_FLOAT_EQ(v->Player2().Pitch, 45.0f);
  inst.Render(44 * 50);
  EXPECT_NEAR(v->Player1().Pitch, 39.0f, 0.3f) << "half way";
  inst.Render(44 * 60);
  EXPECT_FLOAT_EQ(v->Player1().Pitch, 45.0f);
  inst.NoteOff(45);
  inst.Render(44 * 51);
  EXPECT_NEAR(v->Player1().Pitch, 51.0f, 0.3f) << "half way through the pitch release";
  inst.Render(44 * 60);
  if (!v->IsFree()) {
    EXPECT_FLOAT_EQ(v->Player1().Pitch, 57.0f);
  }
}

// Below 64 kHz a voice plays its players at twice its rate only from
// G#3 up. A pitch that sweeps across that limit during a note (up at one
// note's start, down at another's) changes the rate without a step: the
// switching voice's output stays as close, sample to sample, to that of a
// voice held at the doubled rate as it was before the change (a hard
// switch steps by the filter's delay times the signal's slope, about 4 % of
// the level for these notes).
TEST(SamplerRender, APitchSweepAcrossThePlayersRateLimitChangesItWithoutAStep) {
  using TRate = TDSPSamplerInstrVoice2::TPlayerRate;
  for (const float from : {0.0f, 10.0f}) {
    TInstrument switching, doubled;
    std::vector<float> out[2], right;
    TInstrument* inst[2] = {&switching, &doubled};
    std::vector<TRate> rates;
    for (int k = 0; k < 2; ++k) {
      inst[k]->Set(kFxOn, 0);
      inst[k]->Set(kInterpolation, kInterpolationCubic);
      inst[k]->Set(kOsc1Patch, 0);  // sine zones: a slope the step would show in
      inst[k]->Set(kOsc2Amount, -1502);
      inst[k]->Set(kOsc1PattStart, from);
      inst[k]->Set(kOsc1PattEnd, 10.0f - from);
      inst[k]->Set(kOsc1PattTime, static_cast<float>(LinToCents1000(300)));
      inst[k]->NoteOn(50);
      for (int b = 0; b < 400; ++b) {
        inst[k]->RenderInto(44, out[k], right);
        TDSPSamplerInstrVoice2* v = inst[k]->Playing(50);
        ASSERT_NE(v, nullptr);
        if (k == 1) {
          v->DoubleFromPitch = v->SingleBelowPitch = -1000.0f;
        } else {
          rates.push_back(v->PlayerRate());
        }
      }
    }
    // The voice went through the change it was meant to.
    ASSERT_EQ(rates.front(), from == 0.0f ? TRate::Voice : TRate::Doubled);
    ASSERT_EQ(rates.back(), from == 0.0f ? TRate::Doubled : TRate::Voice);
    const float peak = Peak(out[0]);
    ASSERT_GT(peak, 0.05f);
    float largest = 0.0f;
    std::size_t at = 0;
    // (From the second block on, when the held voice has its rate.)
    for (std::size_t i = 89; i < out[0].size(); ++i) {
      const float step = std::fabs((out[0][i] - out[1][i]) - (out[0][i - 1] - out[1][i - 1]));
      if (step > largest) {
        largest = step;
        at = i;
      }
    }
    EXPECT_LT(largest, 0.005f * peak) << "sweep from +" << from << ": a step at frame " << at;
  }
}

// The control update leaves out LFOs and sequencers whose values reach
// nothing; each must be where it would be when it starts to reach
// something. An LFO read from a voice's start and one read only from 300
// ms on (its delay, fades and cycle limit running meanwhile) give the same
// pitch from then on.
TEST(SamplerRender, AnLfoNothingReadsRunsOnAsIfItWereRead) {
  constexpr std::int32_t kLfo1Freq = 82, kLfo1Dly = 130, kLfo1Atk = 131, kLfo1Hold = 132, kLfo1Rls = 133,
                         kLfo1Cyc = 134;
  TInstrument read, unread;
  std::vector<float> pitch[2];
  TInstrument* inst[2] = {&read, &unread};
  for (int k = 0; k < 2; ++k) {
    inst[k]->Set(kVoices, 1);
    inst[k]->Set(kLfo1Freq, 10);
    inst[k]->Set(kLfo1Dly, static_cast<float>(LinToCents1000(20)));
    inst[k]->Set(kLfo1Atk, static_cast<float>(LinToCents1000(30)));
    inst[k]->Set(kLfo1Hold, static_cast<float>(LinToCents1000(50)));
    inst[k]->Set(kLfo1Rls, static_cast<float>(LinToCents1000(40)));
    inst[k]->Set(kLfo1Cyc, 4);
    if (k == 0) inst[k]->Set(kOsc1PitchLfo1, 500);
    inst[k]->NoteOn(45);
    for (int b = 0; b < 800; ++b) {
      if (k == 1 && b == 300) inst[k]->Set(kOsc1PitchLfo1, 500);
      inst[k]->Render(44);
      TDSPSamplerInstrVoice2* v = inst[k]->Playing(45);
      ASSERT_NE(v, nullptr);
      if (b >= 300) pitch[k].push_back(v->Player1().Pitch);
    }
  }
  EXPECT_EQ(pitch[0], pitch[1]);
  EXPECT_GT(*std::max_element(pitch[0].begin(), pitch[0].end()) - *std::min_element(pitch[0].begin(), pitch[0].end()),
            0.01f)
      << "the LFO moves the pitch";
}

// A sequencer that is off and read by nothing is not ticked once it rests;
// settings changed meanwhile (its gate's on level) must still
// shape the ramp it starts with when it is switched on: the voice sounds
// exactly as one whose sequencer a matrix slot reads (and so ticks every
// millisecond).
TEST(SamplerRender, ASequencerOffAndUnreadStartsAsIfItHadTicked) {
  constexpr std::int32_t kSeq1Power = 236, kSeq1GateOn = 241, kMSrc1 = 170, kLfo3AmpId = 92;
  TInstrument resting, ticking;
  std::vector<float> left[2], right;
  TInstrument* inst[2] = {&resting, &ticking};
  for (int k = 0; k < 2; ++k) {
    inst[k]->Set(kVoices, 1);
    inst[k]->Set(kSeq1Power, 0);
    if (k == 1) {
      // Sequencer 1's level into LFO 3's gain, which nothing hears.
      std::int32_t entry = 0;
      while (entry < inst[k]->P().VoiceModTargetCount() && inst[k]->P().VoiceModTargetId(entry) != kLfo3AmpId) ++entry;
      inst[k]->Set(kMSrc1, TVoicerackKWPSynth::kSrcSeq1Level);
      inst[k]->Set(kMSrc1 + 1, static_cast<float>(entry));
    }
    inst[k]->NoteOn(45);
    for (int b = 0; b < 120; ++b) {
      if (b == 40) inst[k]->Set(kSeq1GateOn, 40);
      if (b == 60) inst[k]->Set(kSeq1Power, 1);
      inst[k]->RenderInto(44, left[k], right);
    }
  }
  ASSERT_GT(Peak(left[0]), 0.01f);
  EXPECT_EQ(left[0], left[1]);
}

TEST(SamplerRender, AFrequencyModulatedLowNoteWithADeepLfoStaysFinite) {
  TInstrument inst;
  inst.Set(kPmMethod, 0);
  inst.Set(kOsc1PitchLfo1, 1502);
  inst.Set(kOsc2Amount, 0);
  inst.NoteOn(24);
  std::vector<float> left, right;
  float lowest = 1000.0f;
  for (int i = 0; i < 200; ++i) {
    inst.RenderInto(441, left, right);
    if (TDSPSamplerInstrVoice2* v = inst.Playing(24)) {
      ASSERT_TRUE(std::isfinite(v->Player1().Pitch));
      lowest = std::min(lowest, v->Player1().Pitch);
    }
  }
  EXPECT_TRUE(AllFinite(left) && AllFinite(right));
  EXPECT_LT(lowest, 0.0f) << "the LFO swung the frequency below the note's own";
}

TEST(SamplerRender, SteadyStateRenderingAllocatesNothing) {
  TInstrument inst;
  inst.Set(kVoices, 16);
  inst.Set(kFilter1, 1);
  inst.Set(kShape, 1);
  inst.Set(kShapeType, 3);
  inst.Set(kOsc1PitchLfo1, 200);
  inst.Set(kOsc1PattStart, -5);
  inst.Set(kFxOn, 1);
  inst.Set(kDlyOn, 1);
  inst.Render(64);
  for (int key = 30; key < 46; ++key) inst.NoteOn(key);
  inst.Render(512);
  std::vector<float> left, right;
  {
    testing_support::TAudioThreadGuard audio("rendering 16 voices");
    for (int block = 0; block < 200; ++block) {
      const TVstEvents* list = nullptr;
      {
        testing_support::TAllowAllocations prepare;
        inst.Events = plugin_test::TEventList();
        if (block % 10 == 0) {
          inst.NoteOff(30 + block / 10 % 16);
          inst.NoteOn(30 + (block / 10 + 3) % 16);
        }
        list = inst.Events.Build();
      }
      plugin_test::Dispatch(inst.Effect(), kEffProcessEvents, 0, 0, const_cast<TVstEvents*>(list));
      inst.Effect()->processReplacing(inst.Effect(), nullptr, inst.Out->Pointers, 512);
      testing_support::TAllowAllocations collect;
      left.insert(left.end(), inst.Out->Left.begin(), inst.Out->Left.end());
    }
  }
  EXPECT_TRUE(AllFinite(left));
  EXPECT_TRUE(testing_support::NoDenormals(left));
  EXPECT_GT(Peak(left), 0.05f);
}

}  // namespace
