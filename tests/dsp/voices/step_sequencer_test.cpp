#include "dsp/voices/step_sequencer.h"

#include <gtest/gtest.h>
#include <algorithm>

#include <atomic>
#include <cmath>
#include <limits>
#include <memory>
#include <random>
#include <set>
#include <span>
#include <thread>
#include <vector>

#include "tests/support/owner_lock.h"
#include "tests/support/test_support.h"

namespace {
// Programs store octave modes and sources by number: none may change.
static_assert(kOctaveModeUp == 0 && kOctaveModeDown == 1 && kOctaveModeUpDown == 2 && kOctaveModeDownUp == 3 &&
              kOctaveModeUpDownUp == 4 && kOctaveModeDownUpDown == 5 && kOctaveModeUpDownPlus == 6 &&
              kOctaveModeDownUpPlus == 7 && kOctaveModeUpPlusDownPlus == 8 && kOctaveModeDownPlusUpPlus == 9 &&
              kOctaveModeRandom == 10);
static_assert(kSeqSourceStepValue == 0 && kSeqSourceOctaveOffset == 1 && kSeqSourceStepPlusOctave == 2 &&
              kSeqSourceNone == 3);

constexpr std::int32_t kBlock = 44;  // samples per millisecond at 44100 Hz

// A sequencer with its work buffers, at 44100 Hz with one-millisecond blocks.
std::unique_ptr<TDSPSequencer> MakeSequencer() {
  auto seq = std::make_unique<TDSPSequencer>();
  seq->SetUsesBuffers(true);
  seq->SetAudioSettings(&DefaultAudioSettings);
  seq->SetFixedSeed(1234);
  return seq;
}

// Settings under which the output gain equals the gate level.
void ProbeGate(TDSPSequencer& seq) {
  seq.SetGateAmount(1.0f);
  seq.SetGateEnvBase(1.0f);
  seq.SetGateEnvAmount(0.0f);
  seq.SetLevelAmount(0.0f);
}

// Straight steps of `ms` milliseconds, clocked in milliseconds.
void MillisecondSteps(TDSPSequencer& seq, float ms) {
  seq.SetTimeUnit(0);
  seq.SetStepLength(ms);
  seq.SetSwing(0.5f);
}

std::span<const float> Output(const TDSPSequencer& seq) { return {seq.OutBuffer, static_cast<std::size_t>(kBlock)}; }

// Blocks until the step index changes (at most `limit`).
std::int32_t BlocksUntilNextStep(TDSPSequencer& seq, std::int32_t limit = 100000) {
  const std::int32_t start = seq.StepIndex();
  std::int32_t blocks = 0;
  while (seq.StepIndex() == start && blocks < limit) {
    seq.Tick();
    ++blocks;
  }
  return blocks;
}

}  // namespace

namespace {

// A sequencer at `rate` with one-millisecond blocks (rate div 1000 samples).
std::unique_ptr<TDSPSequencer> MakeSequencerAt(std::int32_t rate) {
  auto seq = MakeSequencer();
  seq->SetRateAndBlockSize(rate, -1);
  return seq;
}

// The block each of the next `steps` steps starts at, counted in blocks from
// the first block after the restart (the step change a Tick makes shows from
// the next block on).
std::vector<std::int64_t> StepStartBlocks(TDSPSequencer& seq, int steps) {
  std::vector<std::int64_t> starts;
  std::int64_t blocks = 0;
  std::int32_t index = seq.StepIndex();
  while (static_cast<int>(starts.size()) < steps && blocks < 100000000) {
    seq.Tick();
    ++blocks;
    if (seq.StepIndex() != index) {
      index = seq.StepIndex();
      starts.push_back(blocks);
    }
  }
  return starts;
}

// The block whose start lies nearest `samples` (the earlier one at a tie).
std::int64_t NearestBlock(double samples, std::int32_t block) {
  return static_cast<std::int64_t>(std::ceil(samples / block - 0.5 - 1e-9));
}

}  // namespace

TEST(StepSequencerTiming, ThirtyTickStepAt120BpmLasts125Ms) {
  auto seq = MakeSequencer();
  seq->SetTempo(120.0);
  seq->SetSwing(0.5f);
  EXPECT_NEAR(seq->MsPerTick(), 4.1667, 1e-4);
  // 44 samples a block at 44100 Hz: 0.2395 ticks, 125 ms in 125.28 blocks.
  EXPECT_NEAR(seq->UnitsPerBlock(), 44.0 / 44.1 / (60000.0 / 120.0 / 120.0), 1e-12);
  seq->Restart();
  const std::vector<std::int64_t> starts = StepStartBlocks(*seq, 10);
  for (int step = 1; step <= 10; ++step)
    EXPECT_EQ(starts[step - 1], NearestBlock(step * 0.125 * 44100, kBlock)) << "step " << step;
}

// Held for 64 bars of sixteenths, straight and swung, at every tempo and
// rate: each step starts on the block whose start lies nearest its place on
// the host's grid, so no step is ever more than half a block (half a
// millisecond) off, however long the key is held.
TEST(StepSequencerTiming, SixtyFourBarsOfStepsStayOnTheHostGridAtEveryTempoAndRate) {
  constexpr int kSteps = 64 * 16;
  for (const std::int32_t rate : {22050, 44100, 48000, 96000, 192000}) {
    for (const double bpm : {60.0, 97.0, 120.0, 133.0, 140.0, 174.0, 200.0}) {
      for (const float swing : {0.5f, 0.62f}) {
        auto seq = MakeSequencerAt(rate);
        seq->SetTempo(bpm);
        seq->SetSwing(swing);
        seq->Restart();
        const std::int32_t block = rate / 1000;
        const double samplesPerTick = 60.0 / bpm / 120.0 * rate;
        const std::vector<std::int64_t> starts = StepStartBlocks(*seq, kSteps);
        ASSERT_EQ(starts.size(), static_cast<std::size_t>(kSteps));
        int off = 0;
        double worstMs = 0;
        for (int k = 1; k <= kSteps; ++k) {
          // The step's place: whole pairs, then the swung first of a pair.
          const double ticks = (k / 2) * 60.0 + (k % 2) * 60.0 * static_cast<double>(swing);
          const double place = ticks * samplesPerTick;
          const std::int64_t got = starts[static_cast<std::size_t>(k - 1)];
          if (got != NearestBlock(place, block)) ++off;
          worstMs = std::max(worstMs, std::fabs(static_cast<double>(got * block) - place) / rate * 1000.0);
        }
        EXPECT_EQ(off, 0) << rate << " Hz, " << bpm << " BPM, swing " << swing << ": worst " << worstMs << " ms";
        EXPECT_LE(worstMs, 0.5) << rate << " Hz, " << bpm << " BPM, swing " << swing;
      }
    }
  }
}

TEST(StepSequencerTiming, TempoZeroOrBelowGivesOneMicrosecondTicks) {
  auto seq = MakeSequencer();
  for (double bpm : {0.0, -40.0, std::numeric_limits<double>::quiet_NaN()}) {
    seq->SetTempo(120.0);
    seq->SetTempo(bpm);
    EXPECT_DOUBLE_EQ(seq->MsPerTick(), 0.001) << bpm;
    EXPECT_DOUBLE_EQ(seq->TickFactor(), 1000.0) << bpm;
  }
  seq->SetSwing(0.5f);
  seq->Restart();
  EXPECT_EQ(BlocksUntilNextStep(*seq), 1);  // 30 ticks of 1 us pass within one block
}

TEST(StepSequencerTiming, MillisecondUnitIgnoresTempo) {
  auto seq = MakeSequencer();
  seq->SetTempo(97.0);
  MillisecondSteps(*seq, 50.0f);
  EXPECT_DOUBLE_EQ(seq->TickFactor(), 1.0);
  seq->Restart();
  EXPECT_EQ(BlocksUntilNextStep(*seq), 50);
  EXPECT_EQ(BlocksUntilNextStep(*seq), 50);
  // A fraction of a millisecond is carried from step to step, not dropped.
  seq->SetStepLength(50.4f);
  seq->Restart();
  const std::vector<std::int64_t> starts = StepStartBlocks(*seq, 10);
  for (int step = 1; step <= 10; ++step)
    EXPECT_EQ(starts[step - 1], NearestBlock(step * static_cast<double>(50.4f), 1)) << step;
}

TEST(StepSequencerSwing, HalfKeepsStepsEqualThreeQuartersLengthensEvenSteps) {
  auto seq = MakeSequencer();
  MillisecondSteps(*seq, 100.0f);
  for (int k = 0; k < 8; ++k) EXPECT_DOUBLE_EQ(seq->Step(k).Duration, 100.0) << k;
  seq->SetSwing(0.75f);
  for (int k = 0; k < 8; ++k) EXPECT_DOUBLE_EQ(seq->Step(k).Duration, k % 2 == 0 ? 150.0 : 50.0) << k;
  seq->Restart();
  EXPECT_EQ(BlocksUntilNextStep(*seq), 150);
  EXPECT_EQ(BlocksUntilNextStep(*seq), 50);
  EXPECT_EQ(BlocksUntilNextStep(*seq), 150);
  seq->SetSwing(7.0f);  // beyond 1: clamped, no negative durations
  EXPECT_DOUBLE_EQ(seq->Step(1).Duration, 0.0);
  EXPECT_DOUBLE_EQ(seq->Step(0).Duration, 200.0);
}

TEST(StepSequencerSettings, StepLengthOfTenthOrLessIsStoredAsTenth) {
  auto seq = MakeSequencer();
  for (float v : {0.0f, -5.0f, 0.1f, std::numeric_limits<float>::quiet_NaN()}) {
    seq->SetStepLength(30.0f);
    seq->SetStepLength(v);
    EXPECT_FLOAT_EQ(seq->StepLength(), 0.1f) << v;
  }
  seq->SetStepLength(0.2f);
  EXPECT_FLOAT_EQ(seq->StepLength(), 0.2f);
  seq->SetStepCount(0);
  EXPECT_EQ(seq->StepCount(), 1);
  seq->SetStepCount(99);
  EXPECT_EQ(seq->StepCount(), 32);
}

TEST(StepSequencerGate, GateClosesAfterItsTimeAndRampsWithinOneBlock) {
  auto seq = MakeSequencer();
  ProbeGate(*seq);
  MillisecondSteps(*seq, 20.0f);
  seq->SetGateLength(0.5f);
  seq->Restart();
  std::vector<std::vector<float>> blocks;
  for (int j = 0; j < 41; ++j) {
    seq->Tick();
    blocks.emplace_back(Output(*seq).begin(), Output(*seq).end());
  }
  // Open for 10 ms, closed for 10 ms, open again at the next step.
  for (int j = 1; j < 10; ++j) EXPECT_EQ(testing_support::Peak(blocks[j]), 1.0f) << j;
  for (int j = 11; j < 20; ++j) EXPECT_EQ(testing_support::Peak(blocks[j]), 0.0f) << j;
  for (int j = 21; j < 30; ++j) EXPECT_EQ(blocks[j][0], 1.0f) << j;
  // Each change is a straight ramp across its block: no click.
  for (int i = 0; i < kBlock; ++i) {
    EXPECT_NEAR(blocks[10][i], 1.0f - static_cast<float>(i) / kBlock, 1e-6f) << i;
    EXPECT_NEAR(blocks[20][i], static_cast<float>(i) / kBlock, 1e-6f) << i;
  }
}

TEST(StepSequencerGate, FullGateLengthNeverCloses) {
  auto seq = MakeSequencer();
  ProbeGate(*seq);
  seq->SetTempo(133.0);
  seq->SetSwing(0.7f);
  seq->SetGateLength(1.0f);
  seq->Restart();
  seq->Tick();  // the first block ramps up from rest
  for (int j = 0; j < 2000; ++j) {
    seq->Tick();
    for (float g : Output(*seq)) ASSERT_EQ(g, 1.0f) << "block " << j;
  }
}

TEST(StepSequencerTie, TieHoldsPitchLevelAndGate) {
  auto seq = MakeSequencer();
  ProbeGate(*seq);
  MillisecondSteps(*seq, 10.0f);
  seq->SetGlideFactor(0.0f);
  seq->SetGateLength(0.5f);
  seq->SetStepCount(3);
  seq->SetStepNote(0, 5);
  seq->SetStepNote(1, kSequencerTie);
  seq->SetStepNote(2, 7);
  EXPECT_DOUBLE_EQ(seq->Step(0).GateTime, 10.0);
  EXPECT_EQ(seq->Step(0).GateOffLevel, seq->Step(0).GateOnLevel);
  seq->Restart();
  seq->Tick();
  for (int j = 1; j < 15; ++j) {  // step 0 and the first half of the tie
    seq->Tick();
    EXPECT_EQ(seq->PitchValue(), 5.0f) << j;
    EXPECT_EQ(seq->LevelValue(), 5.0f) << j;
    EXPECT_EQ(testing_support::Peak(Output(*seq)), 1.0f) << j;
    EXPECT_EQ(Output(*seq)[0], 1.0f) << j;
  }
  for (int j = 15; j < 20; ++j) seq->Tick();  // the tie's own gate closes after 5 ms
  EXPECT_EQ(seq->GateLevel(), 0.0f);
  EXPECT_EQ(seq->PitchValue(), 5.0f);
  seq->Tick();
  EXPECT_EQ(seq->StepIndex(), 2);
  EXPECT_EQ(seq->PitchValue(), 7.0f);
}

TEST(StepSequencerTie, StepsBeforeTiesAndRestsFollowLengthAndSwing) {
  auto seq = MakeSequencer();
  MillisecondSteps(*seq, 10.0f);
  seq->SetStepNote(2, kSequencerTie);
  seq->SetStepNote(4, kSequencerRest);
  seq->SetStepNote(7, kSequencerRest);
  seq->SetSwing(0.75f);
  EXPECT_DOUBLE_EQ(seq->Step(1).Duration, 5.0);   // before the tie
  EXPECT_DOUBLE_EQ(seq->Step(4).Duration, 15.0);  // a rest
  seq->SetStepLength(20.0f);
  EXPECT_DOUBLE_EQ(seq->Step(1).Duration, 10.0);
  EXPECT_DOUBLE_EQ(seq->Step(1).GateTime, 20.0);  // held for the unswung length
  EXPECT_DOUBLE_EQ(seq->Step(7).Duration, 10.0);
  // The tie search skips rests and wraps: step 6 is followed (past the rest
  // at 7) by step 0, no tie; step 3 by the rest at 4, then 5.
  seq->SetStepNote(0, kSequencerTie);
  EXPECT_EQ(seq->Step(6).GateOffLevel, seq->Step(6).GateOnLevel);
  EXPECT_NE(seq->Step(3).GateOffLevel, seq->Step(3).GateOnLevel);
}

TEST(StepSequencerRest, RestPlaysTheOffStepGateAndKeepsPitch) {
  auto seq = MakeSequencer();
  ProbeGate(*seq);
  MillisecondSteps(*seq, 10.0f);
  seq->SetGlideFactor(0.0f);
  seq->SetGateLength(1.0f);
  seq->SetOffStepGate(0.25f);
  seq->SetStepNote(0, 3);
  seq->SetStepNote(1, kSequencerRest);
  seq->Restart();
  for (int j = 0; j < 12; ++j) seq->Tick();
  EXPECT_EQ(seq->StepIndex(), 1);
  EXPECT_EQ(seq->GateLevel(), 0.25f);
  EXPECT_EQ(seq->PitchValue(), 3.0f);
  EXPECT_NEAR(Output(*seq)[kBlock - 1], 0.25f, 1e-6f);
}

TEST(StepSequencerGlide, PitchMovesLinearlyOverTheGlideTime) {
  auto seq = MakeSequencer();
  MillisecondSteps(*seq, 20.0f);
  seq->SetGlideFactor(0.5f);  // 10 ms
  seq->SetStepNote(1, 10);
  seq->Restart();
  for (int j = 0; j < 20; ++j) seq->Tick();
  std::vector<float> pitch;
  for (int j = 0; j < 12; ++j) {
    seq->Tick();
    pitch.push_back(seq->PitchValue());
  }
  for (int j = 0; j < 10; ++j) EXPECT_NEAR(pitch[j], static_cast<float>(j), 1e-5f) << j;
  EXPECT_EQ(pitch[10], 10.0f);
  EXPECT_EQ(pitch[11], 10.0f);
}

// A step that starts within the next block has not begun to glide: the
// pitch stays between the two steps' values.
TEST(StepSequencerGlide, StepsThatStartWithinABlockGlideBetweenTheirValues) {
  auto seq = MakeSequencer();
  seq->SetTempo(97.0);  // steps end at every place within a block
  seq->SetSwing(0.5f);
  seq->SetGlideFactor(0.5f);
  for (int k = 0; k < 8; k += 2) seq->SetStepNote(k + 1, 12);
  seq->Restart();
  for (int j = 0; j < 20000; ++j) {
    seq->Tick();
    ASSERT_GE(seq->PitchValue(), 0.0f) << j;
    ASSERT_LE(seq->PitchValue(), 12.0f) << j;
  }
}

TEST(StepSequencerOctave, PatternsOfEveryMode) {
  using P = std::vector<int>;
  auto pattern = [](TDSPSequencer& seq, int mode, int range) {
    seq.SetOctaveMode(mode);
    seq.SetOctaveRange(range);
    auto p = seq.OctavePattern();
    return P(p.begin(), p.end());
  };
  auto seq = MakeSequencer();
  EXPECT_EQ(pattern(*seq, 2, 1), (P{0, 1}));
  EXPECT_EQ(pattern(*seq, 2, 3), (P{0, 1, 2, 3, 2, 1}));
  const std::vector<P> range2 = {
      {0, 1, 2},                       // Up
      {0, -1, -2},                     // Down
      {0, 1, 2, 1},                    // UpDown
      {2, 1, 0, 1},                    // DownUp
      {0, 1, 2, 1, 0, 1, 2},           // UpDownUp
      {2, 1, 0, 1, 2, 1, 0},           // DwnUpDwn
      {0, 1, 2, 1, 0, 2, 1, 0},        // UpDown+
      {2, 1, 0, 1, 0, 1, 2},           // DownUp+
      {0, 1, 2, 0, 1, 2, 1, 2, 1, 0},  // Up+Down+
      {2, 1, 0, 2, 1, 0, 1, 0, 1, 2},  // Down+Up+
      {0},                             // RND
      {0, 0, 0},                       // no name: flat
  };
  for (int mode = 0; mode < static_cast<int>(range2.size()); ++mode)
    EXPECT_EQ(pattern(*seq, mode, 2), range2[static_cast<std::size_t>(mode)]) << OctaveModeNames[std::min(mode, 10)];
  // The widest patterns stay inside the range and the pattern store.
  for (int mode : {8, 9}) {
    const P p = pattern(*seq, mode, 99);
    EXPECT_EQ(p.size(), 50u);
    for (int v : p) EXPECT_TRUE(v >= 0 && v <= kMaxOctaveRange);
  }
}

TEST(StepSequencerOctave, OctaveOffsetAdvancesWithTheSteps) {
  auto seq = MakeSequencer();
  MillisecondSteps(*seq, 5.0f);
  seq->SetGlideFactor(0.0f);
  seq->SetPitchSource(2);  // step value + octave
  seq->SetLevelSource(1);  // octave only
  seq->SetOctaveMode(2);   // UpDown
  seq->SetOctaveRange(2);
  for (int k = 0; k < 8; ++k) seq->SetStepNote(k, k);
  seq->Restart();
  const std::vector<float> octaves = {0, 12, 24, 12, 0, 12, 24, 12, 0};
  for (std::size_t s = 0; s < octaves.size(); ++s) {
    seq->Tick();
    const auto k = static_cast<float>(s % 8);
    EXPECT_EQ(seq->PitchValue(), k + octaves[s]) << s;
    EXPECT_EQ(seq->LevelValue(), octaves[s]) << s;
    for (int j = 1; j < 5; ++j) seq->Tick();
  }
}

TEST(StepSequencerOctave, RandomModeDrawsFromTheInjectedSource) {
  auto seq = MakeSequencer();
  MillisecondSteps(*seq, 1.0f);
  seq->SetOctaveMode(kOctaveModeRandom);
  seq->SetOctaveRange(3);
  seq->SetFixedSeed(42);
  TSequencerRandom expected;
  expected.Seed(42);
  seq->Restart();
  std::set<float> seen;
  for (int s = 0; s < 300; ++s) {
    const auto octave = static_cast<std::int32_t>(expected.Next() * 4.0f);
    ASSERT_EQ(seq->OctaveOffset(), static_cast<float>(octave * 12)) << s;
    seen.insert(seq->OctaveOffset());
    seq->Tick();
  }
  EXPECT_EQ(seen, (std::set<float>{0, 12, 24, 36}));
  seq->SetOctaveRange(0);
  seq->Tick();
  EXPECT_EQ(seq->OctaveOffset(), 0.0f);
}

// The octaves a random-mode sequencer plays over `notes` restarts of 20 steps.
std::vector<float> RandomOctaves(std::uint64_t seed, int notes) {
  auto seq = MakeSequencer();
  seq->ClearFixedSeed();
  seq->SetRandomSeed(seed);
  MillisecondSteps(*seq, 1.0f);
  seq->SetOctaveMode(kOctaveModeRandom);
  seq->SetOctaveRange(3);
  std::vector<float> octaves;
  for (int n = 0; n < notes; ++n) {
    seq->Restart();
    for (int s = 0; s < 20; ++s) {
      octaves.push_back(seq->OctaveOffset());
      seq->Tick();
    }
  }
  return octaves;
}

TEST(StepSequencerOctave, TheSameSeedPlaysTheSameRandomOctavesAndEachNoteNewOnes) {
  const std::vector<float> a = RandomOctaves(99, 3);
  EXPECT_EQ(a, RandomOctaves(99, 3)) << "no clock in the draws";
  EXPECT_NE(a, RandomOctaves(100, 3));
  EXPECT_FALSE(std::equal(a.begin(), a.begin() + 20, a.begin() + 20)) << "a new note draws new octaves";
}

// A fresh note on a sequence that rests on its first step is silent from
// its first sample (the gate does not ramp down from where the previous note
// left it); a legato restart ramps from the running gain.
TEST(StepSequencerRestart, AFreshNoteStartsAtItsFirstStepsGate) {
  auto seq = MakeSequencer();
  ProbeGate(*seq);
  MillisecondSteps(*seq, 20.0f);
  seq->SetStepNote(0, kSequencerRest);
  seq->SetStepNote(1, 0);
  seq->Restart(true);
  for (int j = 0; j < 25; ++j) seq->Tick();  // into step 1: the gate is open
  ASSERT_FLOAT_EQ(Output(*seq)[kBlock - 1], 1.0f);
  seq->Restart(true);
  seq->Tick();
  for (float g : Output(*seq)) EXPECT_EQ(g, 0.0f);
  for (int j = 0; j < 25; ++j) seq->Tick();
  seq->Restart(false);
  seq->Tick();
  EXPECT_GT(Output(*seq)[0], 0.9f) << "a legato restart leaves the running gain";
  EXPECT_NEAR(Output(*seq)[kBlock - 1], 1.0f / static_cast<float>(kBlock), 1e-6f) << "and ramps to the rest";
}

TEST(StepSequencerWrap, ShrinkingCountOrRangeWhileRunningWrapsAtOnce) {
  auto seq = MakeSequencer();
  MillisecondSteps(*seq, 1.0f);
  seq->SetStepCount(32);
  seq->SetOctaveRange(6);  // Up: 7 entries
  seq->Restart();
  for (int j = 0; j < 20; ++j) seq->Tick();
  ASSERT_EQ(seq->StepIndex(), 20);
  ASSERT_EQ(seq->OctavePatternPosition(), 6);
  seq->SetStepCount(4);
  seq->SetOctaveRange(1);
  seq->Tick();
  EXPECT_EQ(seq->StepIndex(), 0);
  EXPECT_EQ(seq->OctavePatternPosition(), 0);
  for (int j = 0; j < 50; ++j) {
    seq->Tick();
    ASSERT_LT(seq->StepIndex(), 4);
    ASSERT_LT(seq->OctavePatternPosition(), 2);
  }
}

TEST(StepSequencerEnvelope, AttackPeakReleaseSpaceAndCycleLimit) {
  auto seq = MakeSequencer();
  MillisecondSteps(*seq, 1000.0f);
  seq->SetGateLength(1.0f);
  seq->SetAttack(10.0f);
  seq->SetPeak(5.0f);
  seq->SetRelease(10.0f);
  seq->SetSpace(5.0f);
  seq->SetCycles(2.0f);
  seq->SetGateEnvAmount(1.0f);
  seq->SetGateAmount(1.0f);
  seq->Restart();
  for (int cycle = 0; cycle < 2; ++cycle) {
    for (int j = 0; j < 30; ++j) {
      EXPECT_EQ(seq->CycleCount(), cycle);
      seq->Tick();
      float expected = 0.0f;
      if (j < 10) expected = static_cast<float>(j) / 10.0f;
      else if (j < 15) expected = 1.0f;
      else if (j < 25) expected = 1.0f - static_cast<float>(j - 15) / 10.0f;
      // The space's first block falls from the release's last sample (1/440) to 0.
      const float tolerance = j == 25 ? 1.0f / 440.0f : 1e-5f;
      EXPECT_NEAR(seq->EnvOutput, expected, tolerance) << "cycle " << cycle << " block " << j;
      EXPECT_NEAR(seq->GateOutput, expected, tolerance);
      if (j == 26) {
        EXPECT_EQ(testing_support::Peak(Output(*seq)), 0.0f);
      }
      if (j == 3) {  // the attack rises per sample: 1/440 each
        for (int i = 0; i < kBlock; ++i)
          EXPECT_NEAR(Output(*seq)[i], (3.0f * kBlock + i) / (10.0f * kBlock), 1e-5f) << i;
      }
    }
  }
  // Two cycles done: stopped, the gain ramps to the open-gate gain and rests.
  EXPECT_EQ(seq->CycleCount(), 2);
  seq->Tick();
  EXPECT_EQ(Output(*seq)[kBlock - 1] > Output(*seq)[0], true);
  seq->Tick();
  for (float g : Output(*seq)) EXPECT_EQ(g, 1.0f);
  seq->Restart();  // a new note runs again
  seq->Tick();
  seq->Tick();
  EXPECT_NEAR(seq->EnvOutput, 0.1f, 1e-5f);
}

// The cycle envelope counted in ticks keeps to the steps: a cycle of two
// sixteenths ends within a block of every second step's start, however long
// the key is held.
TEST(StepSequencerEnvelope, CyclesInTicksKeepToTheSteps) {
  for (const std::int32_t rate : {22050, 44100, 48000}) {
    for (const double bpm : {97.0, 140.0, 174.0}) {
      auto seq = MakeSequencerAt(rate);
      seq->SetTempo(bpm);
      seq->SetSwing(0.5f);
      seq->SetAttack(29.0f);
      seq->SetPeak(1.0f);
      seq->SetRelease(30.0f);
      seq->Restart();
      std::vector<std::int64_t> stepStarts, cycleEnds;
      std::int32_t index = seq->StepIndex();
      for (std::int64_t b = 1; stepStarts.size() < 64 * 16 && b < 10000000; ++b) {
        seq->Tick();
        if (seq->StepIndex() != index) stepStarts.push_back(b);
        if (seq->CycleCount() > static_cast<std::int32_t>(cycleEnds.size())) cycleEnds.push_back(b);
        index = seq->StepIndex();
      }
      std::int64_t worst = 0;
      for (std::size_t k = 1; k < cycleEnds.size() && 2 * k <= stepStarts.size(); ++k)
        worst = std::max(worst, std::abs(cycleEnds[k - 1] - stepStarts[2 * k - 1]));
      EXPECT_GE(cycleEnds.size(), 500u);
      EXPECT_LE(worst, 1) << rate << " Hz, " << bpm << " BPM: blocks between a cycle's end and its step";
    }
  }
}

TEST(StepSequencerEnvelope, CurveLawBendsTheEnvelope) {
  auto seq = MakeSequencer();
  MillisecondSteps(*seq, 1000.0f);
  seq->SetAttack(10.0f);
  seq->SetGateEnvAmount(1.0f);
  seq->SetGateAmount(1.0f);
  seq->SetEnvelopeCurve(7);  // "-Curve2": x squared
  seq->Restart();
  for (int j = 0; j < 6; ++j) seq->Tick();
  EXPECT_NEAR(seq->EnvOutput, 0.25f, 1e-4f);
  EXPECT_NEAR(Output(*seq)[kBlock / 2], 0.55f * 0.55f, 1e-3f);  // per sample too
  seq->SetEnvelopeCurve(0);                                     // linear again
  seq->Tick();
  EXPECT_NEAR(seq->EnvOutput, 0.6f, 1e-5f);
}

TEST(StepSequencerEnvelope, RandomSpacingUsesTheInjectedSource) {
  auto seq = MakeSequencer();
  MillisecondSteps(*seq, 1000.0f);
  seq->SetPeak(1.0f);
  seq->SetSpace(10.0f);
  seq->SetRandomSpacing(1);
  seq->SetFixedSeed(7);
  TSequencerRandom expected;
  expected.Seed(7);
  const double space = 10.0 * (expected.Next() + 0.25);
  seq->Restart();
  int blocks = 0;
  while (seq->CycleCount() == 0 && blocks < 100) {
    seq->Tick();
    ++blocks;
  }
  EXPECT_EQ(blocks, static_cast<int>(std::ceil(1.0 + space)));
}

// A gate of 0.5 over 10 ms steps with a tenth of each step open, five
// blocks in: the gate is closed.
void GateFiveBlocksIn(TDSPSequencer& seq) {
  ProbeGate(seq);
  MillisecondSteps(seq, 10.0f);
  seq.SetGateOnLevel(0.5f);
  seq.SetGateOffLevel(0.0f);
  seq.SetGateLength(0.1f);
  seq.Restart();
  for (int j = 0; j < 5; ++j) seq.Tick();
}

TEST(StepSequencerPower, PowerOffRampsToOpenGateGainThenRests) {
  auto seq = MakeSequencer();
  GateFiveBlocksIn(*seq);
  ASSERT_EQ(Output(*seq)[kBlock - 1], 0.0f);
  seq->SetPower(0);
  seq->Tick();
  for (int i = 0; i < kBlock; ++i) EXPECT_NEAR(Output(*seq)[i], 0.5f * i / kBlock, 1e-6f) << i;
  const std::int32_t index = seq->StepIndex();
  for (int j = 0; j < 30; ++j) seq->Tick();
  EXPECT_EQ(seq->StepIndex(), index);  // the clock stands still
  for (float g : Output(*seq)) EXPECT_EQ(g, 0.5f);
  EXPECT_EQ(seq->LevelOutput, 0.0f);
}

// An owner that reads the gains only while the sequencer is on may leave
// them unwritten while it is off; the sequencer must still follow its ramp,
// so that switching on again gives exactly what an always-writing one gives.
TEST(StepSequencerPower, OffWithoutGainsLeavesTheBufferAndKeepsTheRamp) {
  auto quiet = MakeSequencer();
  auto writing = MakeSequencer();
  quiet->GainsWhileOff = false;
  for (auto* seq : {quiet.get(), writing.get()}) {
    GateFiveBlocksIn(*seq);
    seq->SetPower(0);
  }
  std::fill_n(quiet->OutBuffer, kBlock, 7.0f);
  for (int j = 0; j < 3; ++j) {
    quiet->Tick();
    writing->Tick();
  }
  for (float g : Output(*quiet)) EXPECT_EQ(g, 7.0f);
  EXPECT_EQ(quiet->GateOutput, writing->GateOutput);
  for (auto* seq : {quiet.get(), writing.get()}) seq->SetPower(1);
  for (int j = 0; j < 4; ++j) {
    quiet->Tick();
    writing->Tick();
    for (int i = 0; i < kBlock; ++i) ASSERT_EQ(Output(*quiet)[i], Output(*writing)[i]) << j << " " << i;
  }
}

TEST(StepSequencerOutput, LevelOutputsScaleTheStepValue) {
  auto seq = MakeSequencer();
  MillisecondSteps(*seq, 10.0f);
  seq->SetGlideFactor(0.0f);
  seq->SetLevelEnvBase(1.0f);
  seq->SetLevelEnvAmount(0.0f);
  seq->SetLevelAmount(0.5f);
  seq->SetStepNote(0, 21);
  seq->Restart();
  seq->Tick();
  seq->Tick();
  EXPECT_EQ(seq->LevelOutput, 21.0f);
  EXPECT_NEAR(seq->LevelScaledOutput, 1.0f / 3.0f, 1e-6f);
  EXPECT_NEAR(seq->LevelScaledPlusOneOutput, 4.0f / 3.0f, 1e-6f);
  EXPECT_NEAR(seq->LevelScaledDoubleOutput, 2.0f / 3.0f, 1e-6f);
  for (float g : Output(*seq)) EXPECT_EQ(g, 21.0f * 0.5f + 1.0f);
}

// A render thread ticks (under the owner's lock, as the render loop does)
// while a second thread changes count, range, mode, length, swing, tempo and
// steps. Run under ThreadSanitizer and AddressSanitizer.
TEST(StepSequencerStress, EditWhileRunning) {
  auto seq = MakeSequencer();
  seq->SetTempo(100000.0);  // many steps per block sequence
  seq->SetPitchSource(2);
  std::atomic<bool> stop{false};
  std::atomic<bool> finite{true};
  std::atomic<int> edits{0};
  std::thread render([&] {
    for (int block = 0; block < 20000 || edits < 20000; ++block) {
      testing_support::TOwnerLockGuard lock;
      if (block % 997 == 0) seq->Restart();
      seq->Tick();
      if (!testing_support::AllFinite(Output(*seq))) finite = false;
      if (seq->StepIndex() >= kSequencerSteps || seq->OctavePatternPosition() >= kOctavePatternCapacity) finite = false;
    }
    stop = true;
  });
  std::thread editor([&] {
    std::mt19937 rng(99);
    std::uniform_int_distribution<int> pick(0, 7), count(-2, 40), range(-1, 20), mode(0, 130), note(-70, 70);
    std::uniform_real_distribution<float> unit(-0.2f, 1.2f);
    while (!stop) {
      testing_support::TOwnerLockGuard lock;  // as the owner changes it
      switch (pick(rng)) {
        case 0:
          seq->SetStepCount(count(rng));
          break;
        case 1:
          seq->SetOctaveRange(range(rng));
          break;
        case 2:
          seq->SetOctaveMode(mode(rng));
          break;
        case 3:
          seq->SetStepLength(unit(rng) * 40.0f);
          break;
        case 4:
          seq->SetSwing(unit(rng));
          break;
        case 5:
          seq->SetTempo(unit(rng) * 300000.0);
          break;
        case 6:
          seq->SetStepNote(count(rng), note(rng));
          break;
        default:
          seq->SetTimeUnit(pick(rng) & 1);
          break;
      }
      ++edits;
    }
  });
  render.join();
  editor.join();
  EXPECT_TRUE(finite);
}
