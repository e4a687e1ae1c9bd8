// The per-voice control stages of the synthesis layer: the voice modulation
// matrix (sources, targets, the default slot, MOn), the LFO cycle with its
// delay, fades and cycle limit, the modulated shaper, LFO and sequencer
// settings, the filter blocks' cutoff, the modulated pitch, and rendering
// with all of it active, without allocating and under a concurrent editor.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <limits>
#include <thread>
#include <vector>

#include "framework/base/base_math.h"
#include "tests/engines/kwp_test_plugin.h"
#include "tests/support/alloc_trap.h"
#include "tests/support/test_support.h"

namespace {

using namespace kwp_test;

class VoiceMod : public ::testing::Test {
 protected:
  void SetUp() override {
    plugin_test::TTestHost::Reset();
    p = MakeKwpPlugin();
    v = &p->SynthVoice(0);
    v->Note = 60;
  }
  // Slot n: source s, target entry of parameter id, amount (1000 = unit).
  void Slot(int n, int source, std::int32_t targetId, float amount = 1000.0f) {
    SetReal(*p, MSrc(n), static_cast<float>(source));
    SetReal(*p, MDst(n), static_cast<float>(TargetEntry(targetId)));
    SetReal(*p, MAmt(n), amount);
  }
  // LFO 1 as a constant of the given amplitude: a square far slower than
  // any test runs, with stage lengths in milliseconds (0: the floor).
  void ConstantLfo1(float delayMs, float attackMs, float holdMs, float releaseMs, int cycles) {
    SetReal(*p, kLfo1Wave, 5);     // "Square"
    SetReal(*p, kLfo1Freq, -128);  // about 0.005 Hz
    auto cents = [](float ms) { return ms > 0 ? static_cast<float>(LinToCents1000(ms)) : -13160.0f; };
    SetReal(*p, kLfo1Dly, cents(delayMs));
    SetReal(*p, kLfo1Atk, cents(attackMs));
    SetReal(*p, kLfo1Hold, cents(holdMs));
    SetReal(*p, kLfo1Rls, cents(releaseMs));
    SetReal(*p, kLfo1Cyc, static_cast<float>(cycles));
  }
  // |LFO 1| at each of n updates of voice 0.
  std::vector<float> LfoMagnitudes(int n) {
    std::vector<float> values;
    for (int i = 0; i < n; ++i) {
      p->UpdateVoiceLevels(*v);
      values.push_back(std::fabs(p->LfoValue(0)));
    }
    return values;
  }
  std::unique_ptr<TKwpTestPlugin> p;
  TDSPSynthVoice* v = nullptr;
};

TEST_F(VoiceMod, PitchSourceSpansMinusOneToPlusOne) {
  for (auto [note, expected] :
       {std::pair{127, 1.0f}, {0, -1.0f}, {64, (64.0f / 127.0f - 0.5f) * 2.0f}, {200, 1.0f}, {-5, -1.0f}}) {
    v->Note = note;
    p->UpdateVoiceLevels(*v);
    EXPECT_FLOAT_EQ(p->VModSourceValue(TVoicerackKWPSynth::kSrcPitch), expected) << note;
  }
}

TEST_F(VoiceMod, SlotsOnOneTargetAddAndMOnOffGivesNoModulation) {
  v->Note = 127;  // source "Pitch" = 1
  Slot(1, TVoicerackKWPSynth::kSrcPitch, 64);
  p->UpdateVoiceLevels(*v);
  EXPECT_FLOAT_EQ(p->ModAccum(64), 1.0f);  // amount 1000 is the unit amount
  Slot(2, TVoicerackKWPSynth::kSrcPitch, 64, 500);
  Slot(3, TVoicerackKWPSynth::kSrcPitch, 95, -1000);  // the left shaper amount
  Slot(4, TVoicerackKWPSynth::kSrcPitch, 84);         // LFO 1 gain
  p->UpdateVoiceLevels(*v);
  EXPECT_FLOAT_EQ(p->ModAccum(64), 1.0f + NormToAmp60(0.5f));
  EXPECT_FLOAT_EQ(p->ModFactor(95), 0.0f);
  EXPECT_FLOAT_EQ(v->Shaper[0].Amount, 0.001f);  // clamped 0, stored at its floor
  EXPECT_FLOAT_EQ(v->Lfo[0].GetGain(), 2.0f);

  SetReal(*p, kMOn, 0);
  p->UpdateVoiceLevels(*v);
  for (std::int32_t id = 0; id < p->GetParamCount(); ++id) ASSERT_EQ(p->ModAccum(id), 0.0f) << id;
  EXPECT_FLOAT_EQ(v->Shaper[0].Amount, 0.5f);  // the base amount
  EXPECT_FLOAT_EQ(v->Lfo[0].GetGain(), 1.0f);
}

TEST_F(VoiceMod, SlotsWithoutATargetWriteNothing) {
  v->Note = 127;
  // The default target "---" (entry 0, id -1), an entry past the list, and a
  // source outside the sixteen: none writes anywhere.
  Slot(1, TVoicerackKWPSynth::kSrcPitch, -1);
  SetReal(*p, MDst(1), 0);
  SetReal(*p, MSrc(2), TVoicerackKWPSynth::kSrcPitch);
  SetReal(*p, MDst(2), 200);
  SetReal(*p, MSrc(3), 40);
  SetReal(*p, MDst(3), static_cast<float>(TargetEntry(65)));
  for (int i = 0; i < 3; ++i) p->UpdateVoiceLevels(*v);
  for (std::int32_t id = -2; id < p->GetParamCount() + 2; ++id) ASSERT_EQ(p->ModAccum(id), 0.0f) << id;
}

TEST_F(VoiceMod, AccumulatorsStartFromZeroForEveryVoice) {
  Slot(1, TVoicerackKWPSynth::kSrcPitch, 30);
  TDSPSynthVoice& other = p->SynthVoice(1);
  v->Note = 127;
  other.Note = 0;
  p->UpdateVoiceLevels(*v);
  EXPECT_FLOAT_EQ(p->ModAccum(30), 1.0f);
  p->UpdateVoiceLevels(other);
  EXPECT_FLOAT_EQ(p->ModAccum(30), -1.0f);
}

TEST_F(VoiceMod, RandomSourceDrawsAtEveryEvaluation) {
  Slot(1, TVoicerackKWPSynth::kSrcRandom, 64);
  std::vector<float> draws;
  for (int i = 0; i < 200; ++i) {
    p->UpdateVoiceLevels(*v);
    draws.push_back(p->ModAccum(64));
  }
  float lo = 1, hi = -1;
  for (float d : draws) {
    ASSERT_GE(d, -1.0f);
    ASSERT_LT(d, 1.0f);
    lo = std::min(lo, d);
    hi = std::max(hi, d);
  }
  EXPECT_LT(lo, -0.5f);
  EXPECT_GT(hi, 0.5f);
}

TEST_F(VoiceMod, SequencerFactorsAndPitchTargetFollowTheMatrix) {
  v->Note = 127;
  Slot(1, TVoicerackKWPSynth::kSrcPitch, kSeq1LevelTarget);  // "Seq1Lvl"
  Slot(2, TVoicerackKWPSynth::kSrcPitch, 313, -1000);        // "Seq2Pitch"
  p->UpdateVoiceLevels(*v);
  EXPECT_FLOAT_EQ(v->Seq1.LevelFactor, 2.0f);
  EXPECT_FLOAT_EQ(v->Seq1.GateFactor, 1.0f);
  EXPECT_FLOAT_EQ(v->Seq2.PitchFactor, 0.0f);
  // The sequencer pitch target ("Tune") stays 0 while the sequencers are
  // silent, and a slot on it adds.
  EXPECT_EQ(p->ModAccum(11), v->Seq1.PitchOutput * v->Seq1.PitchFactor * p->SeqPitchAmount(0));
  Slot(3, TVoicerackKWPSynth::kSrcPitch, 11, 1000);
  p->UpdateVoiceLevels(*v);
  EXPECT_NEAR(p->ModAccum(11), 1.0f, 1e-6);
}

TEST_F(VoiceMod, LfoCycleFadesInHoldsFadesOutAndStopsAfterItsCycleLimit) {
  ConstantLfo1(2, 2, 2, 2, 2);  // 88 samples each at 44 per update
  const std::vector<float> values = LfoMagnitudes(60);
  const float full = values[4];
  ASSERT_GT(full, 0.5f);
  // One cycle: delay (2 updates), attack from 0 (2), hold (3), release (2).
  const float shape[] = {0, 0, 0, 0.5f, 1, 1, 1, 0.5f, 0};
  for (int cycle = 0; cycle < 2; ++cycle) {
    for (int i = 0; i < 9; ++i)
      EXPECT_NEAR(values[static_cast<std::size_t>(9 * cycle + i)], shape[i] * full, 1e-4) << cycle << " " << i;
  }
  for (std::size_t i = 18; i < values.size(); ++i) ASSERT_EQ(values[i], 0.0f) << i;
  EXPECT_EQ(v->LfoCycles[0], 2);
  // Until the voice is reset.
  v->ResetVoice();
  EXPECT_GT(LfoMagnitudes(6)[5], 0.5f * full);
}

// Ramps of four updates: with two, a ramp that steps by a fixed half or
// starts a step late gives the same values as the right one.
TEST_F(VoiceMod, LfoCycleRampsStepEvenlyOverTheirWholeLength) {
  ConstantLfo1(1, 4, 2, 4, 1);
  const std::vector<float> values = LfoMagnitudes(16);
  const float full = values[6];
  ASSERT_GT(full, 0.5f);
  // Delay (1 update), attack from 0 (4), hold (3), release (4), then no cycle.
  const float shape[] = {0, 0, 0.25f, 0.5f, 0.75f, 1, 1, 1, 0.75f, 0.5f, 0.25f, 0, 0, 0, 0, 0};
  for (std::size_t i = 0; i < values.size(); ++i) EXPECT_NEAR(values[i], shape[i] * full, 1e-4) << i;
  EXPECT_EQ(v->LfoCycles[0], 1);
}

TEST_F(VoiceMod, LfoWithoutHoldNeverFadesOutOrRestarts) {
  ConstantLfo1(0, 0, 0, 3, 1);
  const std::vector<float> values = LfoMagnitudes(200);
  for (float x : values) ASSERT_GT(x, 0.5f);
  EXPECT_EQ(v->LfoCycles[0], 0);
  // The default LFO (every stage at the floor) runs freely from the start.
  SetReal(*p, kLfo1Rls, -13160);
  EXPECT_GT(LfoMagnitudes(1)[0], 0.5f);
}

TEST_F(VoiceMod, FilterCutoffFollowsEnvelopesLfosAndTargets) {
  SetReal(*p, kFilter1, 1);
  SetReal(*p, kFlt1LCutoff, 1000);
  SetReal(*p, kFlt1RCutoff, 3000);
  auto cutoff = [&](int side) { return v->Filter1[static_cast<std::size_t>(side)].Filter().GetCutoff(); };
  p->UpdateVoiceLevels(*v);
  p->UpdateVoiceFilters(*v);
  EXPECT_FLOAT_EQ(cutoff(0), 1000.0f);
  EXPECT_FLOAT_EQ(cutoff(1), 1000.0f);  // channel mode 1: the right side takes the left values
  SetReal(*p, kFlt1Chn, 0);
  p->UpdateVoiceFilters(*v);
  EXPECT_FLOAT_EQ(cutoff(1), 3000.0f);

  // Envelope 1 below its scale pulls the cutoff down by half its distance.
  SetReal(*p, kFlt1LEnv1, 1000);
  v->Env1.OutputScale = 1.0f;
  v->Env1.OutputSample = 0.2f;
  p->UpdateVoiceFilters(*v);
  EXPECT_NEAR(cutoff(0), 1000.0f - 0.5f * 0.8f * 1000.0f, 1e-2);
  // An LFO adds its depth in Hz; a matrix target scales the result.
  SetReal(*p, kFlt1LEnv1, 0);
  ConstantLfo1(0, 0, 0, 0, 0);
  SetReal(*p, kFlt1LLfo1, 1000);
  v->Note = 127;
  Slot(1, TVoicerackKWPSynth::kSrcPitch, 64);  // Flt1-C
  p->UpdateVoiceLevels(*v);
  p->UpdateVoiceFilters(*v);
  EXPECT_NEAR(cutoff(0), 2.0f * (1000.0f + p->LfoValue(0)), 1e-2);
  // A block that is off keeps what it had.
  SetReal(*p, kFilter1, 0);
  SetReal(*p, kFlt1LCutoff, 50);
  p->UpdateVoiceFilters(*v);
  EXPECT_NEAR(cutoff(0), 2.0f * (1000.0f + p->LfoValue(0)), 1e-2);
}

TEST_F(VoiceMod, AFilterOfANewTypeTakesTheUnchangedSettingsAtTheNextUpdate) {
  SetReal(*p, kFilter1, 1);
  SetReal(*p, kFlt1LCutoff, 1234);
  p->UpdateVoiceLevels(*v);
  p->UpdateVoiceFilters(*v);
  const TDSPFilter* before = &v->Filter1[0].Filter();
  ASSERT_FLOAT_EQ(before->GetCutoff(), 1234.0f);
  // Nothing the block computes changes, but both sides get new filters with
  // their class defaults: the update must still hand them the settings.
  SetReal(*p, kFlt1LType, 3);
  ASSERT_NE(&v->Filter1[0].Filter(), before);
  p->UpdateVoiceFilters(*v);
  for (int s = 0; s < 2; ++s)
    EXPECT_FLOAT_EQ(v->Filter1[static_cast<std::size_t>(s)].Filter().GetCutoff(), 1234.0f) << s;
}

TEST_F(VoiceMod, ModulatedPitchStaysAFiniteNote) {
  // PM METHOD 1 adds semitones.
  EXPECT_FLOAT_EQ(p->ModulatedPitch(40.0f, 2.5f), 42.5f);
  SetReal(*p, kPmMethod, 0);
  // PM METHOD 0 adds 164 Hz per unit.
  EXPECT_NEAR(TDSPBaseControl::PitchToFreq(p->ModulatedPitch(69.0f, 1.0f)), 440.0f + 164.0f, 0.05f);
  EXPECT_NEAR(p->ModulatedPitch(69.0f, 0.0f), 69.0f, 1e-3);
  // A low note with a deep LFO would go to 0 Hz or below.
  const float low = p->ModulatedPitch(24.0f, -1.0f);
  EXPECT_TRUE(std::isfinite(low));
  EXPECT_NEAR(TDSPBaseControl::PitchToFreq(low), TVoicerackKWPSynth::kMinModulatedHz, 1e-4);
  // Pitches far outside hearing stay finite under both methods.
  const float inf = std::numeric_limits<float>::infinity();
  for (int method : {0, 1}) {
    SetReal(*p, kPmMethod, static_cast<float>(method));
    EXPECT_EQ(p->ModulatedPitch(1e7f, 0.0f), TVoicerackKWPSynth::kMaxVoicePitch) << method;
    EXPECT_EQ(p->ModulatedPitch(inf, 0.0f), TVoicerackKWPSynth::kMaxVoicePitch) << method;
    // NaN and minus infinity give the lowest pitch of the method.
    const float lowest = method == 0 ? low : TVoicerackKWPSynth::kMinVoicePitch;
    EXPECT_EQ(p->ModulatedPitch(std::nanf(""), 0.0f), lowest) << method;
    EXPECT_EQ(p->ModulatedPitch(-inf, 0.0f), lowest) << method;
    EXPECT_TRUE(std::isfinite(TDSPBaseControl::PitchToFreq(p->ModulatedPitch(1e7f, 1e7f))));
  }
}

// Everything modulated at once: LFOs on the cutoffs, the shaper and the
// pitch, the matrix on filters, shaper, LFOs and sequencers, both filter
// blocks, envelope 2 delayed. Rendering allocates nothing and stays finite.
void ModulateEverything(TKwpTestPlugin& p) {
  SetReal(p, kVoices, 4);
  SetReal(p, kFilter1, 1);
  SetReal(p, kFilter2, 1);
  SetReal(p, kFlt1LType, 3);
  SetReal(p, kFlt1Chn, 0);
  SetReal(p, kFlt1RType, 7);
  SetReal(p, kFlt2LType, 12);
  SetReal(p, kFlt1LLfo1, 1500);
  SetReal(p, kFlt1LEnv1, 800);
  SetReal(p, kShapeOn, 1);
  SetReal(p, kShapeTypeL, 4);
  SetReal(p, kShapeRouteL, 1);
  SetReal(p, kLfo1Freq, 20);
  SetReal(p, kLfo2Wave, 28);  // noise
  SetReal(p, kEnv2Delay, static_cast<float>(LinToCents1000(30)));
  SetReal(p, kPmMethod, 0);
  const int sources[] = {1, 2, 3, 12, 13, 14, 15, 4, 6, 8};
  const std::int32_t targets[] = {64, 65, 146, 74, 95, 165, 84, 86, 242, 311, 11, 124};
  for (int n = 1; n <= 22; ++n) {
    SetReal(p, MSrc(n), static_cast<float>(sources[n % std::size(sources)]));
    SetReal(p, MDst(n), static_cast<float>(TargetEntry(targets[n % std::size(targets)])));
    SetReal(p, MAmt(n), static_cast<float>((n * 137) % 1500 - 700));
  }
}

TEST_F(VoiceMod, RenderingWithEveryStageActiveAllocatesNothing) {
  ModulateEverything(*p);
  RenderBlock(*p);  // applies the voice count
  for (int note : {28, 40, 47, 52}) p->Play(note);
  RenderBlock(*p);
  std::vector<float> out;
  out.reserve(44 * 2 * 400);
  {
    testing_support::TAudioThreadGuard audio("rendering modulated voices");
    for (int block = 0; block < 400; ++block) {
      if (block == 200) {
        for (int note : {28, 40, 47, 52}) p->Play(note, 0);
      }
      const float* b = RenderBlock(*p);
      out.insert(out.end(), b, b + 2 * 44);
    }
  }
  EXPECT_TRUE(testing_support::AllFinite(out));
  EXPECT_TRUE(testing_support::NoDenormals(out));
  EXPECT_GT(testing_support::Peak(out), 0.01f);
  EXPECT_GT(p->ControlUpdates, 400);
}

// A render thread plays modulated voices while an editor thread changes
// filter types, shaper types, LFO waveforms, channel modes and the matrix
// slots through the host's parameter entry. Run under ThreadSanitizer.
TEST_F(VoiceMod, StressRenderWhileTypesWaveformsAndSlotsChange) {
  ModulateEverything(*p);
  RenderBlock(*p);
  for (int note : {30, 42, 49}) p->Play(note);
  std::atomic<bool> stop{false};
  std::atomic<bool> finite{true};
  std::thread render([&] {
    plugin_test::TStereoBuffers out(256);
    int blocks = 0;
    while (!stop.load() || blocks < 50) {
      if (blocks % 40 == 0) p->Play(30 + blocks % 24);
      p->ProcessReplacing(nullptr, out.Pointers, 256);
      if (!testing_support::AllFinite(out.Left) || !testing_support::AllFinite(out.Right)) finite = false;
      ++blocks;
    }
  });
  const std::int32_t typeParams[] = {kFlt1LType, kFlt1RType, kFlt2LType, kFlt2RType, kShapeTypeL, kShapeTypeR};
  for (int i = 0; i < 300; ++i) {
    SetReal(*p, typeParams[i % 6], static_cast<float>((i * 7) % 38));
    SetReal(*p, (i & 1) ? kLfo1Wave : kLfo2Wave, static_cast<float>((i * 11) % 93));
    const int n = 1 + i % 22;
    SetReal(*p, MSrc(n), static_cast<float>(i % 16));
    SetReal(*p, MDst(n), static_cast<float>(i % 60));
    SetReal(*p, MAmt(n), static_cast<float>((i * 31) % 3000 - 1500));
    if (i % 25 == 0) SetReal(*p, (i & 2) ? kFlt1Chn : kShpChnMode, static_cast<float>(i % 3));
    if (i % 50 == 0) SetReal(*p, kMOn, static_cast<float>((i / 50) % 2));
  }
  stop = true;
  render.join();
  EXPECT_TRUE(finite.load());
}

}  // namespace
