#include "dsp/sampler/sampler_instrument.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <iterator>
#include <limits>
#include <thread>
#include <vector>

#include "tests/dsp/sampler/instrument_rig.h"
#include "tests/dsp/sampler/pitch_measure.h"
#include "tests/support/alloc_trap.h"
#include "tests/support/owner_lock.h"
#include "tests/support/test_support.h"
#include "tools/samplebank/bank_layout.h"

namespace {

using sampler_test::PlainZone;
using sampler_test::SineSample;
using sampler_test::TInstrumentRig;
using testing_support::AllFinite;
using testing_support::Peak;

constexpr double kRate = 44100.0;

// The editor names zone settings by these numbers: none may change.
constexpr TZoneSettingId kPinnedZoneSettings[] = {kZoneTranspose,
                                                  kZoneEnv1Attack,
                                                  kZoneEnv1Decay,
                                                  kZoneEnv1Release,
                                                  kZoneFilter1Cutoff,
                                                  kZoneFilter1Resonance,
                                                  kZoneFilter1Type,
                                                  kZoneFilter1LfoAmount1,
                                                  kZoneFilter1LfoAmount2,
                                                  kZoneLfo1Waveform,
                                                  kZoneLfo1Rate,
                                                  kZoneLfo2Waveform,
                                                  kZoneLfo2Rate,
                                                  kZoneFilter2Cutoff,
                                                  kZoneFilter2Resonance,
                                                  kZoneFilter2LfoAmount1,
                                                  kZoneFilter2LfoAmount2,
                                                  kZoneDistortionMix,
                                                  kZoneDistortionHighThreshold,
                                                  kZoneDistortionLowThreshold,
                                                  kZoneDistortionHighLevel,
                                                  kZoneDistortionLowLevel,
                                                  kZoneShaper1Amount,
                                                  kZoneShaper2Amount,
                                                  kZoneShaper2Type,
                                                  kZoneLfo3Waveform,
                                                  kZoneLfo3Rate,
                                                  kZoneFilter1LfoAmount3,
                                                  kZoneFilter2LfoAmount3,
                                                  kZoneFilter1Param3,
                                                  kZoneFilter2Param3,
                                                  kZoneFilter2Type,
                                                  kZoneShaper1Type,
                                                  kZoneFineTune,
                                                  kZonePositionWaveform,
                                                  kZonePitchSweep,
                                                  kZonePitchRelease,
                                                  kZoneLegatoAttack,
                                                  kZoneLfo1Amount,
                                                  kZoneLfo2Amount,
                                                  kZoneLfo3Amount,
                                                  kZoneEnv2Attack,
                                                  kZoneEnv2Decay,
                                                  kZoneEnv2Release,
                                                  kZoneEnv1Sustain1,
                                                  kZoneEnv1Sustain2,
                                                  kZoneEnv1Rise,
                                                  kZoneEnv1Fall,
                                                  kZoneEnv2Sustain1,
                                                  kZoneEnv2Sustain2,
                                                  kZoneEnv2Rise,
                                                  kZoneEnv2Fall,
                                                  kZoneEnv1Delay,
                                                  kZoneEnv2Delay,
                                                  kZoneEnv1Hold,
                                                  kZoneEnv2Hold,
                                                  kZoneLfo1Delay,
                                                  kZoneLfo2Delay,
                                                  kZoneLfo3Delay,
                                                  kZoneFilter1LfoRange,
                                                  kZoneFilter2LfoRange,
                                                  kZoneEnv1PitchSemis,
                                                  kZoneEnv1PitchCents,
                                                  kZoneEnv2PitchSemis,
                                                  kZoneEnv2PitchCents,
                                                  kZonePitchTracking};
constexpr std::int32_t kPinnedZoneSettingNumbers[] = {
    53,  54,  55,  57,  90,  91,  92,  93,  94,  100, 101, 115, 116, 120, 121, 122, 123, 124, 125, 126, 127, 128,
    129, 130, 131, 135, 136, 140, 141, 155, 156, 157, 158, 160, 173, 182, 185, 187, 188, 189, 190, 197, 198, 199,
    204, 205, 206, 207, 208, 209, 210, 211, 220, 221, 222, 223, 230, 231, 232, 236, 237, 238, 239, 240, 241, 249};
constexpr bool ZoneSettingsKeepTheirNumbers() {
  static_assert(std::size(kPinnedZoneSettings) == std::size(kPinnedZoneSettingNumbers));
  for (std::size_t i = 0; i < std::size(kPinnedZoneSettings); ++i)
    if (kPinnedZoneSettings[i] != kPinnedZoneSettingNumbers[i]) return false;
  return kZoneSettingFirst == 53 && kZoneSettingLast == 249;
}
static_assert(ZoneSettingsKeepTheirNumbers());

// Samples 1 (100 periods in 4000 frames: 1102.5 Hz at root 60) and 2 (a
// stereo one an octave up); program 0 plays sample 1 on keys 40..80,
// program 1 sample 2 over all keys, program 2 has a zone without sample.
TBankSpec TwoPrograms() {
  TBankSpec bank;
  bank.Samples.push_back(SineSample(1, 1, 4000, 100, kLoopForward, 0, 4000));
  bank.Samples.push_back(SineSample(2, 2, 4000, 200, kLoopForward, 0, 4000));
  bank.Programs.push_back(TBankProgramSpec{0, "One", false, {}, {PlainZone(1, 40, 80)}});
  bank.Programs.push_back(TBankProgramSpec{1, "Two", false, {}, {PlainZone(2)}});
  bank.Programs.push_back(TBankProgramSpec{2, "Missing", false, {}, {PlainZone(99)}});
  return bank;
}

TEST(SamplerInstrument, SilentWhereNoZoneWithASampleHoldsTheKey) {
  TInstrumentRig rig(TwoPrograms());
  rig.NoteOn(60, 60.0f);
  EXPECT_GT(Peak(rig.Render(5)), 0.3f) << "half of the 0.8 sine on each side";
  for (std::int32_t note : {0, 39, 81, 127}) {
    rig.NoteOn(note, static_cast<float>(note));
    EXPECT_EQ(Peak(rig.Render(3)), 0.0f) << note;
    EXPECT_EQ(rig.Sampler.State, TDSPSamplerControl::kFinished) << "finished in the first block";
  }
  rig.NoteOn(60, 60.0f, 2);
  EXPECT_EQ(Peak(rig.Render(3)), 0.0f) << "a zone whose sample is missing";
  EXPECT_EQ(rig.Sampler.State, TDSPSamplerControl::kFinished);

  // A program that is not in use has no zones: silence, state untouched.
  rig.NoteOn(60, 60.0f, 7);
  EXPECT_FALSE(rig.Sampler.Playing);
  EXPECT_EQ(Peak(rig.Render(3)), 0.0f);
  EXPECT_EQ(rig.Sampler.State, TDSPSamplerControl::kPlaying);
}

TEST(SamplerInstrument, ReleaseFadesEveryZoneOverItsReleaseAndFinishes) {
  TInstrumentRig rig(TwoPrograms());
  rig.NoteOn(60, 60.0f);
  rig.Render(10);
  rig.Release();
  // 20 ms release: falling, then silent and finished within a block more.
  const std::vector<float> fade = rig.Render(22);
  EXPECT_GT(Peak({fade.data(), 88}), 0.3f);
  EXPECT_LT(Peak({fade.data() + 16 * 88, 88}), 0.12f);
  EXPECT_EQ(Peak(rig.Render(2)), 0.0f);
  EXPECT_EQ(rig.Sampler.State, TDSPSamplerControl::kFinished);
}

TEST(SamplerInstrument, BuiltinProgramsPlayTheirRootsAtTheRecordedPitch) {
  TDSPSamplerInstr sampler;
  TAudioSettingsRec settings = MakeAudioSettings(44100, 44);
  sampler.SetStore(&GlobalSampler());
  sampler.SetAudioSettings(&settings);
  testing_support::TOwnerLockGuard lock;
  for (std::int32_t p = 0; p < kBankProgramCount; ++p) {
    sampler.SetProgram(0, p);
    ASSERT_EQ(sampler.ZoneCount(), kBankZoneCount);
    for (std::int32_t root : kBankZoneRoots) {
      SCOPED_TRACE(::testing::Message() << kBankPrograms[p].Name << " root " << root);
      sampler.Start();
      sampler.SetNote(root);
      sampler.SetPitch(static_cast<float>(root));
      sampler.PrepareNote();
      // Past the attack into the loop, then whole loops: at least four and
      // at least a quarter second.
      const TZonePlayState* zone = nullptr;
      for (std::int32_t i = 0; i < sampler.ZoneCount(); ++i)
        if (sampler.Zone(i).Zone.LowKey <= root && root <= sampler.Zone(i).Zone.HighKey) zone = &sampler.Zone(i);
      ASSERT_NE(zone, nullptr);
      do sampler.RenderBlock();
      while (zone->Position < zone->LoopStart + 1);
      const double loopSamples = zone->LoopLength / zone->Increment;
      const double loops = std::max(4.0, std::ceil(0.25 * kRate / loopSamples));
      const auto wanted = static_cast<std::size_t>(std::lrint(loops * loopSamples));
      std::vector<float> left;
      while (left.size() < wanted) {
        sampler.RenderBlock();
        for (std::int32_t k = 0; k < settings.BlockSize; ++k) left.push_back(sampler.Output()[2 * k]);
      }
      left.resize(wanted);
      const double expected = sampler_test::KeyHz(root);
      const double measured = sampler_test::MeasureFrequency(left, expected, kRate);
      EXPECT_NEAR(measured / expected, 1.0, 0.001) << "measured " << measured << " Hz";
    }
  }
}

// A float position has 1/64 frame steps beyond 131072 frames: an increment
// of 0.94 frames then plays about 0.7 % off.
TEST(SamplerInstrument, LongSamplesPlayInTuneFarIntoTheSample) {
  TBankSpec bank;
  bank.Samples.push_back(SineSample(1, 1, 200000, 500, kLoopForward, 0, 200000));
  bank.Programs.push_back(TBankProgramSpec{0, "Long", false, {}, {PlainZone(1)}});
  TInstrumentRig rig(bank);
  rig.NoteOn(59, 59.0f);
  rig.Render(3400);
  ASSERT_GT(rig.Sampler.Zone(0).Position, 140000.0);
  const std::vector<float> y = rig.RenderLeft(300);
  const double expected = 500.0 * kRate / 200000.0 * std::pow(2.0, -1.0 / 12.0);
  EXPECT_NEAR(sampler_test::MeasureFrequency(y, expected, kRate) / expected, 1.0, 2e-4);
}

TEST(SamplerInstrument, DelayedLfoChangesNothingUntilItsDelay) {
  TBankSpec bank = TwoPrograms();
  TSampleZoneRec& z = bank.Programs[0].Zones[0];
  z.Lfo[0].On = 1;
  z.Lfo[0].Rate = 60.0f;
  z.Lfo[0].DelayMs = 20.0f;
  z.PitchLfo[0] = 0.1f;
  z.GainLfo[0] = 0.5f;
  TInstrumentRig rig(bank);
  rig.NoteOn(60, 60.0f);
  std::vector<double> increments;
  for (int b = 0; b < 40; ++b) {
    rig.Render(1);
    increments.push_back(rig.Sampler.Zone(0).Increment);
  }
  for (int b = 0; b < 19; ++b) EXPECT_EQ(increments[b], 1.0) << b;
  bool moved = false;
  for (int b = 21; b < 40; ++b) moved = moved || increments[b] != 1.0;
  EXPECT_TRUE(moved);
}

// Renders the same sequence with settled zone updates kept and with every
// update computed in full, and compares the two bit for bit.
void CompareSettledAndFullUpdates(const TBankSpec& bank) {
  TInstrumentRig kept(bank), full(bank);
  full.Sampler.KeepSettledZones = false;
  std::vector<float> out[2];
  TInstrumentRig* rigs[2] = {&kept, &full};
  for (int k = 0; k < 2; ++k) {
    TInstrumentRig& rig = *rigs[k];
    auto take = [&](std::int32_t blocks) {
      const std::vector<float> o = rig.Render(blocks);
      out[k].insert(out[k].end(), o.begin(), o.end());
    };
    rig.NoteOn(60, 60.0f);
    take(60);
    rig.Sampler.SetPitch(62.5f);
    take(10);
    rig.Sampler.Level = 0.5f;
    take(10);
    {
      testing_support::TOwnerLockGuard lock;
      rig.Sampler.Zone(0).Zone.FineTune = 0.3f;
      rig.Sampler.ApplyZoneSettings(kZoneFineTune);
    }
    take(10);
    rig.Release();
    take(40);
    rig.NoteOn(64, 63.0f);
    take(50);
  }
  ASSERT_GT(Peak(out[0]), 0.1f);
  ASSERT_EQ(out[0].size(), out[1].size());
  for (std::size_t i = 0; i < out[0].size(); ++i) ASSERT_EQ(out[0][i], out[1][i]) << i;
}

// A zone control update whose inputs are those of the zone's last one
// keeps its results where nothing timed moves them: the output must be
// exactly that of updates that compute everything, through held stretches,
// pitch and level changes, a pitch sweep (alone, and while envelope 1's
// pitch moves), a pitch release under way, a changed zone setting, a
// release and a new note.
TEST(SamplerInstrument, SettledZonesSoundExactlyAsFullUpdates) {
  for (std::int32_t attackMs : {0, 50}) {
    SCOPED_TRACE(attackMs);
    TBankSpec bank = TwoPrograms();
    TSampleZoneRec& z = bank.Programs[0].Zones[0];
    z.PitchSweepOn = 1;
    z.PitchSweepStart = -3.0f;
    z.PitchSweepEnd = 0.5f;
    z.PitchSweepMs = 30.0f;
    z.PitchReleaseOn = 1;
    z.PitchReleaseOffset = -2.0f;
    z.PitchReleaseMs = 15.0f;
    z.Env1ReleaseMs = 60;
    z.Env1AttackMs = attackMs;  // 50 outlasts the sweep
    z.Env1PitchSemis = 2;
    CompareSettledAndFullUpdates(bank);
  }
}

TEST(SamplerInstrument, NoPitchOrCutoffMakesNaN) {
  TBankSpec bank = TwoPrograms();
  TSampleZoneRec& z = bank.Programs[1].Zones[0];
  z.Filter1On = 1;
  z.Filter1Cutoff = 0.0f;  // no pitch: taken as the lowest cutoff
  z.Filter1KeyTrack = 1.0f;
  z.Filter2On = 1;
  z.Filter2Cutoff = -500.0f;
  z.Filter2RangeHz = 1;
  TInstrumentRig rig(bank);
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  for (float pitch : {nan, inf, -inf, 1e30f, -1e30f, 60.0f}) {
    rig.NoteOn(70, pitch, 1);
    const std::vector<float> out = rig.Render(20);
    EXPECT_TRUE(AllFinite(out)) << pitch;
    const double increment = rig.Sampler.Zone(0).Increment;
    EXPECT_TRUE(std::isfinite(increment) && increment >= 0.0) << pitch;
  }
}

TEST(SamplerInstrument, ProgramChangeStartsTheNewZonesAtTheNextBlock) {
  TInstrumentRig rig(TwoPrograms());
  rig.NoteOn(60, 60.0f, 0);
  rig.Render(20);
  {
    testing_support::TOwnerLockGuard lock;
    rig.Sampler.SetProgram(0, 1);
  }
  const std::vector<float> y = rig.RenderLeft(50);
  EXPECT_EQ(rig.Sampler.Zone(0).Sample->ID(), 2);
  EXPECT_GT(testing_support::ToneMagnitude(y, 2205.0, kRate), 0.3);
  EXPECT_LT(testing_support::ToneMagnitude(y, 1102.5, kRate), 0.01);

  // A released note moves to the new zones released: they fade and finish.
  rig.Release();
  rig.Render(5);
  {
    testing_support::TOwnerLockGuard lock;
    rig.Sampler.SetProgram(0, 0);
  }
  rig.Render(25);
  EXPECT_EQ(rig.Sampler.State, TDSPSamplerControl::kFinished);
}

TEST(SamplerInstrument, ReloadedBankGivesFreshPlayStates) {
  TInstrumentRig rig(TwoPrograms());
  rig.NoteOn(60, 60.0f, 1);
  rig.Render(10);
  // Another bank in the same slot: the held zones and samples are freed.
  TBankSpec other;
  other.Samples.push_back(SineSample(5, 1, 1000, 10, kLoopForward, 0, 1000));
  other.Programs.push_back(TBankProgramSpec{1, "Other", false, {}, {PlainZone(5), PlainZone(5)}});
  const std::vector<std::uint8_t> bytes = WriteSampleBank(other, "1.68");
  TMemoryStream stream(bytes);
  ASSERT_TRUE(rig.Store.LoadBankFromStream(stream, 0, ""));
  const std::vector<float> out = rig.Render(20);
  EXPECT_TRUE(AllFinite(out));
  ASSERT_EQ(rig.Sampler.ZoneCount(), 2);
  EXPECT_EQ(rig.Sampler.Zone(1).Sample->ID(), 5);
  EXPECT_GT(Peak(out), 0.5f) << "the sounding note moved to the new zones";
}

TEST(SamplerInstrument, LegatoStartTakesOverTheEnvelopesNotThePosition) {
  TBankSpec bank = TwoPrograms();
  TSampleZoneRec& z = bank.Programs[0].Zones[0];
  z.Env1AttackMs = 30;
  z.Env1SustainLevel = 0.5f;
  z.Env1DecayMs = 30;
  TInstrumentRig first(bank), second(bank);
  first.NoteOn(60, 60.0f);
  first.Render(100);
  {
    testing_support::TOwnerLockGuard lock;
    second.Sampler.SetProgram(0, 0);
    second.Sampler.LegatoStart(first.Sampler);
    second.Sampler.SetNote(62);
    second.Sampler.SetPitch(62.0f);
    second.Sampler.PrepareNote();
  }
  EXPECT_EQ(second.Sampler.Zone(0).Env1.Counter, first.Sampler.Zone(0).Env1.Counter);
  second.Render(1);
  EXPECT_FLOAT_EQ(second.Sampler.Zone(0).Env1.Value, 0.5f) << "no new attack";
  EXPECT_LT(second.Sampler.Zone(0).Position, 100.0) << "its own position, from the start";
}

// Zones with every object: filters, shapers, distortion, LFOs and the
// position modulation; a second copy of each zone.
TBankSpec EveryObject() {
  TBankSpec bank = TwoPrograms();
  for (TBankProgramSpec& p : bank.Programs) {
    for (TSampleZoneRec& z : p.Zones) {
      z.Filter1On = z.Filter2On = z.DistOn = z.Shaper[0].On = z.Shaper[1].On = z.ModEnvOn = 1;
      z.Env2On = 1;
      for (TSampleLfoRec& lfo : z.Lfo) lfo.On = 1;
    }
    p.Zones.push_back(p.Zones.front());
  }
  return bank;
}

TEST(SamplerInstrument, NotesAllocateNothingOnceTheProgramIsSet) {
  TInstrumentRig rig(EveryObject());
  for (std::int32_t program : {0, 1}) {
    rig.Sampler.SetProgram(0, program);
    for (std::int32_t interpolation = 0; interpolation < 5; ++interpolation) {
      rig.Sampler.SetInterpolation(interpolation);
      testing_support::TOwnerLockGuard lock;
      testing_support::TAudioThreadGuard audio("notes of a set program");
      for (std::int32_t note : {45, 60, 75}) {
        rig.Sampler.Start();
        rig.Sampler.SetNote(note);
        rig.Sampler.SetPitch(static_cast<float>(note));
        rig.Sampler.PrepareNote();
        for (int b = 0; b < 40; ++b) {
          if (b == 25) rig.Sampler.Release();
          rig.Sampler.RenderBlock();
        }
      }
    }
  }
}

TEST(SamplerInstrumentStress, ProgramSwitchWhileNotesPlay) {
  TInstrumentRig rig(EveryObject());
  // The render thread plays notes a block at a time under the owner's
  // lock, as the render loop does, and leaves the lock between blocks; this
  // thread switches programs (and interpolation) meanwhile, under the same
  // lock as the owner does.
  std::atomic<bool> done{false};
  std::thread render([&] {
    for (std::int32_t block = 0; block < 1500; ++block) {
      {
        testing_support::TOwnerLockGuard lock;
        if (block % 30 == 0) {
          rig.Sampler.Start();
          rig.Sampler.SetNote(50 + block % 20);
          rig.Sampler.SetPitch(50.0f + block % 20);
          rig.Sampler.PrepareNote();
        } else if (block % 30 == 20) {
          rig.Sampler.Release();
        }
        rig.Sampler.RenderBlock();
        EXPECT_TRUE(AllFinite({rig.Sampler.Output(), 88}));
      }
      std::this_thread::yield();
    }
    done.store(true);
  });
  int switches = 0;
  for (; !done.load() || switches < 200; ++switches) {
    testing_support::TOwnerLockGuard lock;  // as the owner changes it
    rig.Sampler.SetInterpolation(switches % 5);
    rig.Sampler.SetProgram(0, switches % 4);
  }
  render.join();
}

}  // namespace
