// The render loop at its edges: the output limiter on every sample (also
// the ones after the last group of four), the silence gate held open by
// loud output in host blocks of any length, a program change's fade of
// exactly its length followed at once by the MIDI held meanwhile, and the
// store for that MIDI at its capacity.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <limits>
#include <thread>
#include <vector>

#include "tests/framework/core/plugin_test_support.h"

namespace {

using namespace plugin_test;

// The sine test instrument with voices that end when the sound is reset, as
// an instrument's do after a program change.
class TStoppingPlugin : public TSineTestPlugin {
 public:
  TStoppingPlugin() { RenderDc = true; }
  void ResetSound() override {
    for (TVoice& v : Voices) v.Note = -1;
    TSineTestPlugin::ResetSound();
  }
};

struct RenderEdges : ::testing::Test {
  void SetUp() override { TTestHost::Reset(); }
};
// Tests with a second thread (the worker, a host thread), which the
// sanitizer stage for threads runs.
using RenderEdgesStress = RenderEdges;

TEventList Events(std::initializer_list<std::array<std::uint8_t, 3>> bytes, std::int32_t offset = 0) {
  TEventList list;
  for (const auto& b : bytes) list.Add(offset, b[0], b[1], b[2]);
  return list;
}

// At 11025 Hz a block holds 11 stereo frames: 22 samples, the last two past
// the groups of four. NaN leaves as 0 and the ceiling holds on every one.
TEST_F(RenderEdges, TheLimiterHoldsEverySampleAtRatesWhoseBlocksAreNotMultiplesOfFour) {
  for (float rate : {11025.0f, 22050.0f, 44100.0f, 45000.0f}) {
    SCOPED_TRACE(rate);
    auto p = MakePlugin(rate);
    p->RenderDc = true;
    Call(*p, 512, Events({{0x90, 60, 100}}));
    p->DcLevel = std::numeric_limits<float>::quiet_NaN();
    Call(*p, 512);
    std::vector<float> out = Call(*p, 512);
    EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](float x) { return x == 0.0f; })) << "NaN leaves as 0";
    p->DcLevel = 1e30f;
    Call(*p, 512);
    out = Call(*p, 512);
    EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](float x) { return x == TDSPPluginX::kOutputCeiling; }));
  }
}

// A held note keeps the gate open however the host slices its blocks: after
// more than the gate's 2048 ms the note still sounds.
TEST_F(RenderEdges, LoudOutputKeepsTheGateOpenInHostBlocksOfAnyLength) {
  for (std::int32_t frames : {1, 3, 5, 64}) {
    SCOPED_TRACE(frames);
    auto p = MakePlugin();
    p->RenderDc = true;
    Call(*p, frames, Events({{0x90, 60, 100}}));
    const std::int32_t calls = static_cast<std::int32_t>(2.2 * 44100) / frames;
    std::vector<float> out;
    for (std::int32_t k = 0; k < calls; ++k) out = Call(*p, frames);
    EXPECT_EQ(out.back(), 0.5f);
  }
}

// A program change while the instrument sounds fades the old sound out over
// exactly kProgramFadeMs; the note sent with the change sounds from the
// very next sample, in the new program.
TEST_F(RenderEdges, AProgramChangeFadesForExactlyItsLengthAndTheHeldNotePlaysRightAfter) {
  auto p = MakePlugin<TStoppingPlugin>();
  Call(*p, 512, Events({{0x90, 60, 100}}));
  std::vector<float> out = Call(*p, 512);
  ASSERT_EQ(out.back(), 0.5f);
  out = Call(*p, 512, Events({{0xC0, 3, 0}, {0x90, 64, 100}}, 100));
  for (int k = 0; k < 3; ++k) {
    const std::vector<float> more = Call(*p, 512);
    out.insert(out.end(), more.begin(), more.end());
  }
  EXPECT_EQ(p->CurrentProgram(), 3);
  // The fade's first sample has gain 1, the next ones fall.
  const auto firstLower = std::find_if(out.begin(), out.end(), [](float x) { return x < 0.5f; });
  ASSERT_NE(firstLower, out.end());
  const std::ptrdiff_t start = firstLower - out.begin() - 1;
  const std::ptrdiff_t length = TDSPPluginX::kProgramFadeMs * 44;
  ASSERT_LE(start + length + 44, static_cast<std::ptrdiff_t>(out.size()));
  EXPECT_TRUE(std::is_sorted(out.begin() + start, out.begin() + start + length, std::greater<float>()));
  EXPECT_LT(out[static_cast<std::size_t>(start + length - 1)], 0.001f) << "faded out at its end";
  for (std::ptrdiff_t i = start + length; i < start + length + 44; ++i)
    ASSERT_EQ(out[static_cast<std::size_t>(i)], 0.5f) << "the held note from the fade's end on, sample " << i - start;
  ASSERT_FALSE(p->Voices.empty());
  EXPECT_EQ(p->Voices[0].Note, 64);
}

// A host thread selects a program while the audio thread streams and the
// instrument sounds: the audio thread applies it after the fade, so the
// sound never steps to silence. (Should the audio thread stall long enough,
// the host's thread applies the program itself, without a fade: a busy
// machine that holds this thread up for two blocks and the grace does that,
// and then there is no fade to judge.)
TEST_F(RenderEdgesStress, AProgramSelectedByAHostThreadWhileSoundingEndsTheSoundWithTheFade) {
  auto p = MakePlugin<TStoppingPlugin>();
  TVstEffect* e = p->GetEffect();
  Call(*p, 64, Events({{0x90, 60, 100}}));
  for (int k = 0; k < 10; ++k) Call(*p, 64);
  // The gaps between the starts of the audio thread's calls, from the last
  // call before the host's thread starts on.
  using TClock = std::chrono::steady_clock;
  auto last = TClock::now();
  ASSERT_EQ(Call(*p, 64).back(), 0.5f);
  double longestGap = 0;
  std::atomic<bool> done{false};
  std::thread host([&] {
    Dispatch(e, kEffSetProgram, 0, 3);
    done = true;
  });
  std::vector<float> out = Call(*p, 64);
  while (!done.load() || out.size() < 2048) {
    const auto now = TClock::now();
    longestGap = std::max(longestGap, std::chrono::duration<double>(now - last).count());
    last = now;
    const std::vector<float> more = Call(*p, 64);
    out.insert(out.end(), more.begin(), more.end());
  }
  host.join();
  EXPECT_EQ(p->CurrentProgram(), 3);
  // With a margin: the plug-in reads its clock inside the calls.
  if (longestGap > 0.8 * (2 * 64 / 44100.0 + TDSPPluginX::kAudioThreadGraceSeconds)) return;
  float step = 0.0f;
  for (std::size_t i = 1; i < out.size(); ++i) step = std::max(step, std::fabs(out[i] - out[i - 1]));
  EXPECT_LT(step, 0.05f) << "the sound stepped";
}

// Up to kHeldMidiCapacity events wait for the fade's end; one more lets
// them all through, in their order, with it. Every event arrives exactly
// once and in order, also over several changes.
TEST_F(RenderEdges, MidiHeldDuringFadesArrivesOnceEachUpToTheStoresCapacityAndBeyond) {
  auto p = MakePlugin<TStoppingPlugin>();
  const auto controllers = [&p] {
    return std::count_if(p->Received.begin(), p->Received.end(),
                         [](const TMidiEventRec& e) { return e.Status == kMidiController; });
  };
  std::int64_t sent = 0;
  for (std::size_t count : {TDSPPluginX::kHeldMidiCapacity - 1, TDSPPluginX::kHeldMidiCapacity,
                            TDSPPluginX::kHeldMidiCapacity + 1, TDSPPluginX::kHeldMidiCapacity + 40}) {
    SCOPED_TRACE(count);
    Call(*p, 512, Events({{0x90, 60, 100}}));
    Call(*p, 512);
    ASSERT_EQ(Call(*p, 512).back(), 0.5f) << "sounding before the change";
    TEventList events;
    events.Add(0, 0xC0, static_cast<std::uint8_t>(1 + count % 5), 0);
    // In a later internal block than the change: decoded during the fade.
    for (std::size_t k = 0; k < count; ++k) events.Add(60, 0xB0, 20, static_cast<std::uint8_t>(k % 128));
    Call(*p, 512, events);
    Call(*p, 512);
    sent += static_cast<std::int64_t>(count);
    EXPECT_EQ(controllers(), sent);
    EXPECT_FLOAT_EQ(p->GetParameterValue(10), static_cast<float>((count - 1) % 128) / 127.0f)
        << "in their order: the last value sent is the one that stays";
  }
}

// A note played and released during a fade whose store fills between its
// note-on and note-off does not hang on after the change.
TEST_F(RenderEdges, ANoteReleasedAfterTheHeldMidiStoreFilledDoesNotHang) {
  auto p = MakePlugin<TStoppingPlugin>();
  Call(*p, 512, Events({{0x90, 60, 100}}));
  ASSERT_EQ(Call(*p, 512).back(), 0.5f);
  TEventList events;
  events.Add(0, 0xC0, 2, 0);
  events.Add(60, 0x80, 60, 0);
  events.Add(60, 0x90, 64, 100);
  for (std::size_t k = 1; k < TDSPPluginX::kHeldMidiCapacity; ++k) events.Add(60, 0xB0, 20, 1);
  events.Add(60, 0x80, 64, 0);
  Call(*p, 512, events);
  for (int k = 0; k < 4; ++k) Call(*p, 512);
  for (const auto& v : p->Voices) EXPECT_NE(v.Note, 64) << "the released note sounds on";
  EXPECT_EQ(Call(*p, 512).back(), 0.0f);
}

// Muted at the moment of the change: nothing sounds that a fade could end,
// so the program is applied at the next block and the note sent with it is
// taken at once.
TEST_F(RenderEdges, AProgramChangedWhileMutedIsAppliedAtOnce) {
  auto p = MakePlugin<TStoppingPlugin>();
  TVstEffect* e = p->GetEffect();
  Call(*p, 512, Events({{0x90, 60, 100}}));
  ASSERT_EQ(Call(*p, 512).back(), 0.5f);
  e->setParameter(e, TDSPPluginX::kParamBypass, 1.0f);
  const std::int32_t changes = p->Changed[15];
  Call(*p, 512, Events({{0xC0, 3, 0}, {0x90, 64, 100}}));
  EXPECT_EQ(p->CurrentProgram(), 3);
  EXPECT_FALSE(p->IsProgramPending());
  EXPECT_GT(p->Changed[15], changes) << "the program's values were applied";
  EXPECT_EQ(p->Voices[0].Note, 64) << "the note sent with the change";
  e->setParameter(e, TDSPPluginX::kParamBypass, 0.0f);
  Call(*p, 512);
  EXPECT_EQ(Call(*p, 512).back(), 0.5f);
}

}  // namespace
