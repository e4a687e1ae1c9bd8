// The effects rack's chain: shift stages, order, pass-through, idle counter
// and tails.
#include "engines/voicerack_gfx_synth.h"
#include "engines/fx_chain_order.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <span>
#include <vector>

#include "framework/modules/prepared_change.h"
#include "tests/engines/rack_test_plugin.h"
#include "tests/support/alloc_trap.h"
#include "tests/support/test_support.h"

namespace {

using namespace rack_test;
using plugin_test::Dispatch;
using plugin_test::TStereoBuffers;
using TChain = std::array<TFxUnit, kFxEffectCount>;

struct TStream2 {
  std::vector<float> Left;
  std::vector<float> Right;
};

// Blocks rendered straight through RenderVoices, de-interleaved.
TStream2 RenderBlocks(TRackTestPlugin& p, int blocks) {
  TStream2 s;
  const std::int32_t n = p.Settings->BlockSize;
  for (int b = 0; b < blocks; ++b) {
    const float* out = p.RenderBlock();
    for (std::int32_t i = 0; i < n; ++i) {
      s.Left.push_back(out[2 * i]);
      s.Right.push_back(out[2 * i + 1]);
    }
  }
  return s;
}

// Index of the first sample above level, -1 when none.
std::int64_t FirstAbove(const std::vector<float>& x, float level, std::size_t from = 0) {
  for (std::size_t i = from; i < x.size(); ++i)
    if (std::fabs(x[i]) > level) return static_cast<std::int64_t>(i);
  return -1;
}

std::vector<float> Impulse(std::size_t length) {
  std::vector<float> x(length, 0.0f);
  x[0] = 1.0f;
  return x;
}

TEST(RackShift, PreShiftDelaysOneChannelByTheShiftAndTheOtherByOneSample) {
  auto p = MakeRack();
  p->SetFx(kFxOn, 1);
  struct TCase {
    float Value;
    std::int64_t Left;
    std::int64_t Right;
  };
  // -10 is -1.0 ms: 44 samples at 44.1 kHz on the left, one on the right.
  for (const TCase c : {TCase{-10, 44, 1}, TCase{10, 1, 44}}) {
    for (int stage : {kFxPreShift, kFxPostShift}) {
      p->SetFx(kFxPreShift, 0);
      p->SetFx(kFxPostShift, 0);
      p->SetFx(stage, c.Value);
      p->Feed(Impulse(200), Impulse(200));
      const TStream2 s = RenderBlocks(*p, 4);
      EXPECT_EQ(FirstAbove(s.Left, 0.5f), c.Left) << c.Value << " stage " << stage;
      EXPECT_EQ(FirstAbove(s.Right, 0.5f), c.Right) << c.Value << " stage " << stage;
      RenderBlocks(*p, 260);  // the rings play out
    }
  }
  // No shift: both channels pass untouched.
  p->SetFx(kFxPreShift, 0);
  p->SetFx(kFxPostShift, 0);
  p->Feed(Impulse(200), Impulse(200));
  const TStream2 s = RenderBlocks(*p, 2);
  EXPECT_EQ(FirstAbove(s.Left, 0.5f), 0);
  EXPECT_EQ(FirstAbove(s.Right, 0.5f), 0);
}

TEST(RackShift, LargestShiftIsTheRingCapacityLessOne) {
  auto p = MakeRack();
  p->SetFx(kFxPreShift, 2550);
  EXPECT_EQ(p->ShiftLength(TVoicerackGFXSynth::kPreShift, 1), 11219);
  EXPECT_EQ(p->ShiftLength(TVoicerackGFXSynth::kPreShift, 0), 1);
  p->SetFx(kFxPreShift, -2550);
  EXPECT_EQ(p->ShiftLength(TVoicerackGFXSynth::kPreShift, 0), 11219);
  EXPECT_EQ(p->ShiftLength(TVoicerackGFXSynth::kPreShift, 1), 1);
  // Below 0.05 ms counts as no shift.
  p->SetFx(kFxPreShift, 0);
  EXPECT_EQ(p->ShiftLength(TVoicerackGFXSynth::kPreShift, 0), 1);
  EXPECT_EQ(p->ShiftLength(TVoicerackGFXSynth::kPreShift, 1), 1);
}

TEST(RackShift, RingLengthsFollowARateChangeInsteadOfOverrunningTheNewRings) {
  auto p = MakeRack(96000.0f);
  p->SetFx(kFxOn, 1);
  p->SetFx(kFxPostShift, 2550);
  EXPECT_EQ(p->ShiftLength(TVoicerackGFXSynth::kPostShift, 1), 255 * 96 - 1);
  p->Feed(std::vector<float>(960, 0.25f), std::vector<float>(960, 0.25f));
  RenderBlocks(*p, 300);

  Dispatch(p->GetEffect(), kEffSetSampleRate, 0, 0, nullptr, 44100.0f);
  ASSERT_EQ(p->Settings->SamplesPerMs, 44);
  EXPECT_EQ(p->ShiftLength(TVoicerackGFXSynth::kPostShift, 1), 11219);
  EXPECT_LT(p->ShiftLength(TVoicerackGFXSynth::kPostShift, 1), p->ShiftCapacity());
  // The new ring is clean and the shift is the 44.1 kHz one.
  p->Feed(Impulse(100), Impulse(100));
  const TStream2 s = RenderBlocks(*p, 260);
  EXPECT_EQ(FirstAbove(s.Left, 0.5f), 1);
  EXPECT_EQ(FirstAbove(s.Right, 0.1f), 11219);
}

// ---- order

const TChain kDocumentedOrder = {TFxUnit::Distortion, TFxUnit::Phaser, TFxUnit::XFilter, TFxUnit::Chorus,
                                 TFxUnit::Delay,      TFxUnit::Reverb, TFxUnit::EQ};
const std::array<int, 7> kOrderFx = {kRvbIdx, kDistIdx, kPhsIdx, kDlyIdx, kCrsIdx, kXfltIdx, kEqIdx};

bool IsPermutation(TChain chain) {
  std::sort(chain.begin(), chain.end());
  for (int i = 0; i < kFxEffectCount; ++i)
    if (chain[static_cast<std::size_t>(i)] != static_cast<TFxUnit>(i + 1)) return false;
  return true;
}

TFxOrderValues StoredOrder(TRackTestPlugin& p) {
  TFxOrderValues v{};
  for (int k = 0; k < kFxEffectCount; ++k) v[static_cast<std::size_t>(k)] = RoundF(p.GetFx(FxOrderTurnParam(k)));
  return v;
}

TEST(RackOrder, DefaultValuesGiveTheDocumentedOrderAndStayAsTheyAre) {
  auto p = MakeRack();
  EXPECT_EQ(p->CurrentChain(), kDocumentedOrder);
  const TFxOrderValues defaults = {5, 0, 2, 4, 3, 1, 6};
  EXPECT_EQ(StoredOrder(*p), defaults) << "applying a program does not rewrite its values";
  p->SelectProgram(0);
  EXPECT_EQ(p->CurrentChain(), kDocumentedOrder);
}

TEST(RackOrder, AnEditSwapsWithTheOccupant) {
  auto p = MakeRack();
  p->SetFx(kRvbIdx, 0);
  const TChain expected = {TFxUnit::Reverb, TFxUnit::Phaser,     TFxUnit::XFilter, TFxUnit::Chorus,
                           TFxUnit::Delay,  TFxUnit::Distortion, TFxUnit::EQ};
  EXPECT_EQ(p->CurrentChain(), expected);
  EXPECT_EQ(RoundF(p->GetFx(kRvbIdx)), 0) << "the edited value stays";
  EXPECT_EQ(ReplayFxOrder(StoredOrder(*p)), expected) << "the stored values rebuild the chain";
  // 7..12 name no position: the chain stays.
  for (int v = 7; v <= 12; ++v) {
    p->SetFx(kEqIdx, static_cast<float>(v));
    EXPECT_EQ(p->CurrentChain(), expected) << v;
  }
  // Passing every parameter through again changes nothing.
  p->ResendParameters(false);
  EXPECT_EQ(p->CurrentChain(), expected);
}

TEST(RackOrder, AnySequenceOfEditsSwapsAndKeepsValuesThatRebuildTheChain) {
  auto p = MakeRack();
  std::mt19937 rng(7);
  for (int k = 0; k < 2000; ++k) {
    const int fx = kOrderFx[rng() % 7];
    const auto v = static_cast<int>(rng() % 13);
    const TFxUnit unit = FxParamRow(fx).Unit;
    TChain expected = p->CurrentChain();
    if (v < kFxEffectCount) {
      const auto from = std::find(expected.begin(), expected.end(), unit);
      std::swap(*from, expected[static_cast<std::size_t>(v)]);
    }
    p->SetFx(fx, static_cast<float>(v));
    ASSERT_EQ(p->CurrentChain(), expected) << k;
    ASSERT_TRUE(IsPermutation(p->CurrentChain())) << k;
    if (v < kFxEffectCount) {
      ASSERT_EQ(RoundF(p->GetFx(fx)), v) << k;
    }
    ASSERT_EQ(ReplayFxOrder(StoredOrder(*p)), expected) << k;
  }
}

// Writes order values into a program directly, as a loaded bank does.
void StoreOrder(TRackTestPlugin& p, int program, const std::array<int, 7>& values) {
  for (int k = 0; k < 7; ++k) {
    const std::int32_t id = p.FxParamIndex(kOrderFx[static_cast<std::size_t>(k)]);
    p.Programs[static_cast<std::size_t>(program)].Values[static_cast<std::size_t>(id)] =
        p.ParamInfo[static_cast<std::size_t>(id)].NormFromReal(static_cast<float>(values[static_cast<std::size_t>(k)]));
  }
}

std::array<int, 7> RandomOrderValues(std::mt19937& rng) {
  std::array<int, 7> v{};
  for (int& x : v) x = static_cast<int>(rng() % 13);
  return v;
}

TEST(RackOrder, AProgramGivesTheSameChainAfterAnyOtherProgram) {
  std::mt19937 rng(11);
  for (int round = 0; round < 40; ++round) {
    const auto a = RandomOrderValues(rng);
    const auto b = RandomOrderValues(rng);
    auto fresh = MakeRack();
    StoreOrder(*fresh, 3, b);
    fresh->SelectProgram(3);
    const TChain expected = fresh->CurrentChain();
    ASSERT_TRUE(IsPermutation(expected));

    auto used = MakeRack();
    StoreOrder(*used, 2, a);
    StoreOrder(*used, 3, b);
    for (int k = 0; k < 5; ++k) used->SetFx(kOrderFx[rng() % 7], static_cast<float>(rng() % 7));
    used->SelectProgram(2);
    used->SelectProgram(3);
    EXPECT_EQ(used->CurrentChain(), expected) << round;
    // The program reads the same afterwards in both.
    for (int fx : kOrderFx) EXPECT_EQ(used->GetFx(fx), fresh->GetFx(fx)) << round << " fx " << fx;
  }
}

TEST(RackOrder, AUserOrderSurvivesSaveAndLoadIntoAFreshInstance) {
  std::mt19937 rng(5);
  for (int round = 0; round < 20; ++round) {
    auto a = MakeRack();
    StoreOrder(*a, 0, RandomOrderValues(rng));
    a->SelectProgram(0);
    for (int k = 0; k < 12; ++k) a->SetFx(kOrderFx[rng() % 7], static_cast<float>(rng() % 13));
    const TChain chain = a->CurrentChain();
    void* data = nullptr;
    const auto size = Dispatch(a->GetEffect(), kEffGetChunk, 0, 0, &data);
    ASSERT_GT(size, 0);
    const std::vector<std::uint8_t> chunk(static_cast<std::uint8_t*>(data), static_cast<std::uint8_t*>(data) + size);

    auto b = MakeRack();
    ASSERT_EQ(Dispatch(b->GetEffect(), kEffSetChunk, 0, size, const_cast<std::uint8_t*>(chunk.data())), size);
    TStereoBuffers out(64);
    b->ProcessReplacing(nullptr, out.Pointers, 64);
    EXPECT_EQ(b->CurrentChain(), chain) << round;
  }
}

TEST(RackOrder, TheWholeRackSubPresetRestoresItsChainFromAnyState) {
  auto p = MakeRack();
  std::mt19937 rng(3);
  p->SetFx(kDlyIdx, 0);
  p->SetFx(kEqIdx, 1);
  const TChain stored = p->CurrentChain();
  const std::int32_t index = p->StoreSubPresetAs(17, "Order");
  ASSERT_GE(index, 0);
  for (int round = 0; round < 20; ++round) {
    for (int k = 0; k < 6; ++k) p->SetFx(kOrderFx[rng() % 7], static_cast<float>(rng() % 7));
    p->ApplySubPreset(17, index);
    EXPECT_EQ(p->CurrentChain(), stored) << round;
  }
  // A single effect's group does not hold the order.
  const TChain before = p->CurrentChain();
  const std::int32_t reverb = p->StoreSubPresetAs(10, "Rvb");
  p->SetFx(kRvbIdx, 6);
  const TChain moved = p->CurrentChain();
  EXPECT_NE(moved, before);
  p->ApplySubPreset(10, reverb);
  EXPECT_EQ(p->CurrentChain(), moved);
}

TEST(RackGroups, TheRackGroupsExistWithoutAnEditor) {
  auto p = MakeRack();
  ASSERT_FALSE(p->HasGui());
  for (int group = 10; group <= 17; ++group) {
    const TSubPresetGroupRec* g = p->FindSubPresetGroup(group);
    ASSERT_NE(g, nullptr) << group;
    const TFxSubPresetGroupRow* row = FindFxSubPresetGroup(group);
    ASSERT_EQ(g->Params.size(), static_cast<std::size_t>(row->Last - row->First + 1));
    EXPECT_EQ(g->Name, row->Name);
    EXPECT_EQ(g->Params.front(), kFxFirstParamId + row->First);
    EXPECT_EQ(g->Params.back(), kFxFirstParamId + row->Last);
  }
}

// ---- signal path

TEST(RackSignal, WithTheRackOffTheVoicesPassBitForBit) {
  auto p = MakeRack();
  // Everything on, then the master switch off.
  for (int fx : {kRvbOn, kDistOn, kPhsOn, kDlyOn, kChrsOn, kXfltOn, kEqOn}) p->SetFx(fx, 1);
  p->SetFx(kFxPreShift, 100);
  p->SetFx(kFxPostShift, -300);
  p->SetFx(kFxOn, 0);
  std::mt19937 rng(1);
  std::uniform_real_distribution<float> noise(-1.0f, 1.0f);
  std::vector<float> l(44100), r(44100);
  for (std::size_t i = 0; i < l.size(); ++i) {
    l[i] = noise(rng);
    r[i] = noise(rng);
  }
  p->Feed(l, r);
  TStream2 s;
  {
    testing_support::TAudioThreadGuard audio("rack off");
    const std::int32_t n = p->Settings->BlockSize;
    for (int b = 0; b < 1000; ++b) {
      const float* out = p->RenderBlock();
      for (std::int32_t i = 0; i < n; ++i) {
        const std::size_t k = static_cast<std::size_t>(b * n + i);
        ASSERT_EQ(out[2 * i], l[k]) << k;
        ASSERT_EQ(out[2 * i + 1], r[k]) << k;
      }
    }
  }
}

TEST(RackSignal, AnEmptyRackWithoutShiftsAlsoPassesBitForBit) {
  auto p = MakeRack();
  p->SetFx(kFxOn, 1);
  std::vector<float> l(4410), r(4410);
  for (std::size_t i = 0; i < l.size(); ++i) {
    l[i] = std::sin(0.01f * static_cast<float>(i));
    r[i] = std::cos(0.013f * static_cast<float>(i));
  }
  p->Feed(l, r);
  const TStream2 s = RenderBlocks(*p, 100);
  for (std::size_t i = 0; i < s.Left.size(); ++i) {
    ASSERT_EQ(s.Left[i], l[i]) << i;
    ASSERT_EQ(s.Right[i], r[i]) << i;
  }
}

TEST(RackIdle, TheIdleCounterAdvancesOncePerBlockAndStopsTheRackAfterTheMargin) {
  auto p = MakeRack();
  p->SetFx(kFxOn, 1);
  p->Feed(std::vector<float>(44, 0.5f), std::vector<float>(44, 0.5f));
  RenderBlocks(*p, 1);
  EXPECT_TRUE(p->IsRackRunning());
  RenderBlocks(*p, 10);
  EXPECT_EQ(p->IdleSamples(), 11 * 44);
  RenderBlocks(*p, 488);
  EXPECT_TRUE(p->IsRackRunning());
  RenderBlocks(*p, 2);
  EXPECT_FALSE(p->IsRackRunning()) << "nothing enabled: 500 ms of silence stop the rack";
  // Signal from the voices starts it again in the same block.
  p->Feed(std::vector<float>(44, 0.5f), std::vector<float>(44, 0.5f));
  RenderBlocks(*p, 1);
  EXPECT_TRUE(p->IsRackRunning());
}

// Silent blocks rendered from a fresh rack until it stops; the idle count
// at the start of the block in which it stopped.
std::int64_t IdleWhenTheRackStops(TRackTestPlugin& p) {
  for (int b = 0; b < 10000 && p.IsFxOn(); ++b) {
    RenderBlocks(p, 1);
    if (!p.IsRackRunning()) return p.IdleSamples() - p.Settings->BlockSize;
  }
  return -1;
}

TEST(RackIdle, TheRackRunsOnForItsShiftAndTheTailsOfItsEnabledEffects) {
  auto p = MakeRack();
  p->SetFx(kFxOn, 1);
  p->SetFx(kFxPreShift, 100);  // 440 samples
  for (int fx : {kRvbOn, kDistOn, kPhsOn, kDlyOn, kChrsOn, kXfltOn, kEqOn}) p->SetFx(fx, 1);
  p->SetFx(kRvbMode, 2);
  p->SetFx(kDlyLengthUnit, 0);
  p->SetFx(kDlyL, 300);
  p->SetFx(kDlyR, 700);        // 30800 samples
  p->SetFx(kPhsShift, 250);    // 1100 samples
  p->SetFx(kXfltShift, -400);  // 1760 samples
  // The 500 ms margin (22000), the shift, the delay, phaser and cross
  // filter lines (56100 together), the reverb's pre-delay and longest path
  // and the chorus line (the rest), up to a whole block: the count the rack
  // stopped at when it read the effects' lines itself.
  EXPECT_EQ(IdleWhenTheRackStops(*p), 103180);
  // A switched-off effect's lines do not count.
  auto q = MakeRack();
  q->SetFx(kFxOn, 1);
  q->SetFx(kDlyOn, 0);
  q->SetFx(kDlyLengthUnit, 0);
  q->SetFx(kDlyR, 700);
  q->SetFx(kPhsOn, 1);
  q->SetFx(kPhsShift, 250);
  EXPECT_EQ(IdleWhenTheRackStops(*q), 22000 + 1100);
}

// The rack's line floats that are not zero, and all of them.
struct TLineCount final : TLineVisitor {
  void Run(float* data, std::size_t floats) override {
    Floats += floats;
    NonZero += static_cast<std::size_t>(std::count_if(data, data + floats, [](float x) { return x != 0.0f; }));
  }
  std::size_t Floats = 0, NonZero = 0;
};

TLineCount CountLines(const TRackTestPlugin& p) {
  TLineCount count;
  p.VisitRackLines(count);
  return count;
}

// Every effect's lines and both shift stages full of sound.
std::unique_ptr<TRackTestPlugin> FilledRack() {
  auto p = MakeRack();
  p->SetFx(kFxOn, 1);
  p->SetFx(kFxPreShift, 100);
  p->SetFx(kFxPostShift, -100);
  for (int fx : {kRvbOn, kPhsOn, kDlyOn, kChrsOn, kXfltOn}) p->SetFx(fx, 1);
  p->SetFx(kDlyLengthUnit, 0);
  p->SetFx(kDlyL, 4000);
  p->SetFx(kDlyR, 4000);
  p->SetFx(kPhsShift, 250);
  p->SetFx(kXfltShift, -400);
  std::vector<float> noise(44 * 4200);
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> u(-0.5f, 0.5f);
  for (float& x : noise) x = u(rng);
  p->Feed(noise, noise);
  RenderBlocks(*p, 4200);
  return p;
}

// Where the rack's requests go while a test renders: collected, as the
// module's audio thread queues them for its worker, and run when the test
// says (RunPreparedChangeNow: the worker's build, the audio thread's swap).
class TDeferredBuilds final : public TBuildSink {
 public:
  TDeferredBuilds() { Queued.reserve(16); }
  TBuildMode Mode() const override { return TBuildMode::Realtime; }
  void Queue(TPreparedChange& change) override {
    if (std::find(Queued.begin(), Queued.end(), &change) == Queued.end()) Queued.push_back(&change);
  }
  const void* Owner() const override { return this; }
  std::vector<TPreparedChange*> Queued;
};

// Blocks rendered while the rack's requests wait in `builds`.
void RenderDeferred(TRackTestPlugin& p, TDeferredBuilds& builds, int blocks) {
  TBuildSinkScope scope(&builds);
  for (int b = 0; b < blocks; ++b) p.RenderBlock();
}

// A rack that stops zeroes none of its lines (megabytes) on the audio
// thread and allocates nothing there: it asks once for fresh zeroed lines,
// which replace all of them. Started again, before or after they came, it
// plays nothing of the old sound; fresh lines that come after it started
// again leave what it plays now alone.
TEST(RackTail, AStoppedRackGetsFreshLinesAndStartedAgainPlaysNothingOld) {
  for (const bool freshFirst : {true, false}) {
    for (const int stopped : {1, 10}) {
      SCOPED_TRACE(testing::Message() << (freshFirst ? "fresh lines first" : "started first") << ", " << stopped);
      auto p = FilledRack();
      const TLineCount full = CountLines(*p);
      ASSERT_GT(full.NonZero, full.Floats / 2) << "the lines hold sound";
      p->Feed({}, {});
      p->SetFx(kFxOn, 0);
      TDeferredBuilds builds;
      {
        testing_support::TAudioThreadGuard audio("the rack that stops");
        RenderDeferred(*p, builds, stopped);
      }
      EXPECT_TRUE(p->RackLinesToClear());
      EXPECT_EQ(CountLines(*p).NonZero, full.NonZero) << "the audio thread zeroed line memory";
      ASSERT_EQ(builds.Queued.size(), 1u) << "fresh lines are asked for once";
      if (freshFirst) {
        RunPreparedChangeNow(*builds.Queued[0]);
        EXPECT_FALSE(p->RackLinesToClear());
        const TLineCount fresh = CountLines(*p);
        EXPECT_EQ(fresh.Floats, full.Floats);
        EXPECT_EQ(fresh.NonZero, 0u) << "line floats left with sound";
      }
      p->SetFx(kFxOn, 1);
      // A quiet input starts it; the lines give back only what it brings.
      p->Feed(std::vector<float>(44, 1e-3f), std::vector<float>(44, 1e-3f));
      TStream2 s = RenderBlocks(*p, 1);
      EXPECT_EQ(p->LineFloatsZeroedInPlace(), freshFirst ? 0u : full.Floats);
      if (!freshFirst) {
        RunPreparedChangeNow(*builds.Queued[0]);
        EXPECT_GT(CountLines(*p).NonZero, 0u) << "late fresh lines replaced the ones in use";
      }
      const TStream2 rest = RenderBlocks(*p, 4200);
      s.Left.insert(s.Left.end(), rest.Left.begin(), rest.Left.end());
      s.Right.insert(s.Right.end(), rest.Right.begin(), rest.Right.end());
      EXPECT_TRUE(p->IsRackRunning());
      EXPECT_LT(testing_support::Peak(s.Left), 0.01f) << "the old sound came back";
      EXPECT_LT(testing_support::Peak(s.Right), 0.01f) << "the old sound came back";
    }
  }
}

// Fresh lines built for sizes a line no longer has (a new reverb network
// came meanwhile) are not swapped in: the stopped rack asks again.
TEST(RackIdle, FreshLinesForSizesThatChangedAreAskedForAgain) {
  auto p = FilledRack();
  p->Feed({}, {});
  p->SetFx(kFxOn, 0);
  TDeferredBuilds builds;
  RenderDeferred(*p, builds, 1);
  ASSERT_EQ(builds.Queued.size(), 1u);
  TPreparedChange& fresh = *builds.Queued[0];
  ASSERT_TRUE(fresh.TakeRequest());
  fresh.Build();
  p->SetFx(kRvbSize, p->GetFx(kRvbSize) + 20);
  fresh.Install();
  fresh.Release();
  EXPECT_TRUE(p->RackLinesToClear());
  EXPECT_GT(CountLines(*p).NonZero, 0u);
  builds.Queued.clear();
  RenderDeferred(*p, builds, 1);
  ASSERT_EQ(builds.Queued.size(), 1u) << "fresh lines asked for again";
  RunPreparedChangeNow(*builds.Queued[0]);
  EXPECT_FALSE(p->RackLinesToClear());
  EXPECT_EQ(CountLines(*p).NonZero, 0u);
  EXPECT_EQ(p->LineFloatsZeroedInPlace(), 0u);
}

// Host-side rendering with a note at the start: left channel.
std::vector<float> RenderNote(TRackTestPlugin& p, double seconds) {
  TVstEffect* e = p.GetEffect();
  plugin_test::TEventList events;
  events.Add(0, 0x90, 60, 100);
  Dispatch(e, kEffProcessEvents, 0, 0, const_cast<TVstEvents*>(events.Build()));
  std::vector<float> left;
  TStereoBuffers out(512);
  const auto total = static_cast<std::size_t>(seconds * 44100.0);
  while (left.size() < total) {
    e->processReplacing(e, nullptr, out.Pointers, 512);
    left.insert(left.end(), out.Left.begin(), out.Left.end());
  }
  return left;
}

void SetUpDelay(TRackTestPlugin& p, float unit, float length) {
  p.SetFx(kFxOn, 1);
  p.SetFx(kDlyOn, 1);
  p.SetFx(kDlyLengthUnit, unit);
  p.SetFx(kDlyL, length);
  p.SetFx(kDlyR, length);
  p.SetFx(kDlyLFBK, 100);  // 0.5: the input enters the line at half level
  p.SetFx(kDlyRFBK, 100);
}

// Samples from a note's onset to its first echo; -1 when none came.
std::int64_t EchoDelay(TRackTestPlugin& p, double seconds) {
  const std::vector<float> left = RenderNote(p, seconds);
  const std::int64_t onset = FirstAbove(left, 0.01f);
  if (onset < 0) return -1;
  const std::int64_t echo = FirstAbove(left, 0.01f, static_cast<std::size_t>(onset + 4410));
  return echo < 0 ? -1 : echo - onset;
}

TEST(RackTail, AOneSecondEchoOfAShortNoteSurvivesTheSilenceBeforeIt) {
  auto p = MakeRack();
  SetUpDelay(*p, 0, 1000);
  // Delay lengths count SamplesPerMs (44) samples per millisecond; -1 would
  // be an echo cut off.
  EXPECT_NEAR(static_cast<double>(EchoDelay(*p, 1.6)), 1000.0 * 44.0, 3.0);
}

TEST(RackTail, AnEchoLaterThanTheCoreSilenceGateStillComes) {
  auto p = MakeRack();
  // 840 ticks at 120 beats per minute are 3.5 s (ticks keep real time).
  SetUpDelay(*p, 1, 840);
  EXPECT_NEAR(static_cast<double>(EchoDelay(*p, 3.8)), 3.5 * 44100.0, 3.0);
}

TEST(RackTail, ANoteAfterSilenceNeverPlaysAStaleEcho) {
  auto p = MakeRack();
  SetUpDelay(*p, 0, 500);
  // A long recirculation that cannot be heard: the wet path is muted.
  p->SetFx(kDlyLFBK, 190);
  p->SetFx(kDlyRFBK, 190);
  p->SetFx(kDlyGain, 0);
  RenderNote(*p, 3.0);
  EXPECT_FALSE(p->IsRackRunning());
  p->SetFx(kDlyGain, 1000);
  const std::vector<float> left = RenderNote(*p, 0.6);
  const std::int64_t onset = FirstAbove(left, 0.01f);
  ASSERT_GE(onset, 0);
  // Between the burst and its own echo the line has nothing to give.
  const auto burstEnd = static_cast<std::size_t>(onset + 0.025 * 44100.0);
  const auto echo = static_cast<std::size_t>(onset + 500 * 44 - 10);
  const std::vector<float> gap(left.begin() + static_cast<std::ptrdiff_t>(burstEnd),
                               left.begin() + static_cast<std::ptrdiff_t>(echo));
  EXPECT_LT(testing_support::Peak(gap), 1e-4f) << "the line still held the old note";
  EXPECT_GT(testing_support::Peak(std::span<const float>(left).subspan(echo, 1000)), 0.01f) << "the new echo";
}

}  // namespace
