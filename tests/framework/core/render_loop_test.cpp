// The render loop: internal blocks, rings, MIDI timing, gates and gains.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>

#include "tests/framework/core/plugin_test_support.h"

namespace {

using namespace plugin_test;

// Feeds a MIDI script (events at absolute sample times) to a plug-in in host
// blocks of a fixed length and collects the left output.
struct TScriptedRun {
  struct TEvent {
    std::int64_t Time;
    std::uint8_t B0, B1, B2;
  };
  std::vector<TEvent> Events;

  std::vector<float> Render(TSineTestPlugin& plugin, std::int64_t total, std::int32_t hostBlock) const {
    TVstEffect* e = plugin.GetEffect();
    std::vector<float> out;
    out.reserve(total);
    std::size_t next = 0;
    for (std::int64_t t = 0; t < total; t += hostBlock) {
      const auto n = static_cast<std::int32_t>(std::min<std::int64_t>(hostBlock, total - t));
      TEventList list;
      while (next < Events.size() && Events[next].Time < t + n) {
        const TEvent& ev = Events[next++];
        list.Add(static_cast<std::int32_t>(ev.Time - t), ev.B0, ev.B1, ev.B2);
      }
      if (!list.Empty()) Dispatch(e, kEffProcessEvents, 0, 0, const_cast<TVstEvents*>(list.Build()));
      TStereoBuffers buffers(n, 9.0f);
      e->processReplacing(e, nullptr, buffers.Pointers, n);
      out.insert(out.end(), buffers.Left.begin(), buffers.Left.end());
    }
    return out;
  }
};

struct RenderLoopTest : ::testing::Test {
  void SetUp() override {
    TTestHost::Reset();
    Plugin = MakePlugin();
    Effect = Plugin->GetEffect();
  }
  // One host call; events given as (offset, bytes).
  std::vector<float> Call(std::int32_t frames, TEventList events = {}, bool replace = true, float fill = 0.0f) {
    if (!events.Empty()) Dispatch(Effect, kEffProcessEvents, 0, 0, const_cast<TVstEvents*>(events.Build()));
    TStereoBuffers out(frames, fill);
    if (replace) Effect->processReplacing(Effect, nullptr, out.Pointers, frames);
    else Effect->process(Effect, nullptr, out.Pointers, frames);
    LastRight = out.Right;
    return out.Left;
  }
  static TEventList Note(std::int32_t offset, std::uint8_t note, std::uint8_t velocity) {
    TEventList list;
    list.Add(offset, 0x90, note, velocity);
    return list;
  }

  std::unique_ptr<TSineTestPlugin> Plugin;
  TVstEffect* Effect = nullptr;
  std::vector<float> LastRight;
};

TEST_F(RenderLoopTest, HostBlocksAreServedFromOneMillisecondBlocksWithOneInReserve) {
  Call(512);
  EXPECT_EQ(Plugin->RenderedBlocks, 13) << "ceil((512 + 44) / 44) blocks at the first call";
  EXPECT_EQ(Plugin->GetRingFill(), 60);
  Call(512);
  EXPECT_EQ(Plugin->RenderedBlocks, 25) << "60 + 12 x 44 = 588 >= 556";
  EXPECT_EQ(Plugin->GetRingFill(), 76);
}

TEST_F(RenderLoopTest, EventsAreDecodedOneBlockAfterTheBlockTheirTimeFallsIn) {
  Call(512, Note(100, 60, 100));
  ASSERT_EQ(Plugin->NoteOnBlocks.size(), 1u);
  // Sample 100 lies in block 88..131; the first block never rendered ahead
  // of any host call that could carry it starts at 176.
  EXPECT_EQ(Plugin->NoteOnBlocks[0], 4);
  Call(512, Note(100, 62, 100));
  ASSERT_EQ(Plugin->NoteOnBlocks.size(), 2u);
  // Second call: the rings start with 60 samples, so the blocks of this
  // call cover 0..43, 44..87, 88..131: the event at 100 comes before the third.
  EXPECT_EQ(Plugin->NoteOnBlocks[1], 13 + 2);
}

TEST_F(RenderLoopTest, OutputDoesNotDependOnTheHostBlockLength) {
  TScriptedRun run;
  run.Events = {
      {0, 0x90, 45, 100},    {1000, 0x90, 52, 90}, {2999, 0xB0, 7, 30},   {5003, 0xE0, 0x00, 0x60},
      {7000, 0x80, 45, 0},   {9001, 0xB0, 10, 10}, {12000, 0x90, 52, 0},  {15043, 0x90, 40, 127},
      {15044, 0xB0, 7, 127}, {19999, 0x80, 40, 0}, {20100, 0x90, 57, 80}, {26000, 0x80, 57, 64},
  };
  const std::int64_t total = 30000;
  std::vector<float> reference;
  for (std::int32_t block : {512, 1, 21, 100, 300, 8192, 30000}) {
    TTestHost::Reset();
    auto plugin = MakePlugin();
    const std::vector<float> out = run.Render(*plugin, total, block);
    ASSERT_EQ(out.size(), static_cast<std::size_t>(total));
    if (reference.empty()) {
      reference = out;
      EXPECT_GT(*std::max_element(out.begin(), out.end()), 0.2f) << "the script must sound";
      continue;
    }
    std::int64_t firstDiff = -1;
    for (std::int64_t i = 0; i < total && firstDiff < 0; ++i)
      if (out[i] != reference[i]) firstDiff = i;
    EXPECT_EQ(firstDiff, -1) << "host block " << block;
  }
}

TEST_F(RenderLoopTest, LongHostBlocksAreRenderedInPieces) {
  Plugin->RenderDc = true;
  const std::vector<float> out = Call(30000, Note(0, 60, 100));
  EXPECT_LE(Plugin->GetRingFill(), TDSPVSTBase::kRingLength);
  for (std::int32_t i = 0; i < 44; ++i) ASSERT_EQ(out[i], 0.0f) << i;
  for (std::int32_t i = 44; i < 30000; ++i) ASSERT_EQ(out[i], 0.5f) << "sample " << i;
}

TEST_F(RenderLoopTest, ReplacingOverwritesAndAccumulatingAdds) {
  Plugin->RenderDc = true;
  std::vector<float> out = Call(512, Note(0, 60, 100), true, 1.0f);
  EXPECT_EQ(out[0], 0.0f);
  EXPECT_EQ(out[100], 0.5f);
  out = Call(512, {}, false, 1.0f);
  EXPECT_EQ(out[0], 1.5f);
  EXPECT_EQ(LastRight[511], 1.5f);
}

TEST_F(RenderLoopTest, MuteWritesZerosAndKeepsTheLatency) {
  Plugin->RenderDc = true;
  std::vector<float> out = Call(512, Note(0, 60, 100));
  EXPECT_EQ(out[43], 0.0f);
  EXPECT_EQ(out[44], 0.5f);
  Effect->setParameter(Effect, TDSPPluginX::kParamBypass, 1.0f);
  Call(512);  // what the rings held already still plays
  for (int k = 0; k < 4; ++k) {
    out = Call(512);
    EXPECT_EQ(*std::max_element(out.begin(), out.end()), 0.0f);
  }
  Effect->setParameter(Effect, TDSPPluginX::kParamBypass, 0.0f);
  // Note off and on again at the start of the next call: the onset moves by
  // as much as before, B * (ceil(t / B) + 1) - t with t = 6 x 512.
  TEventList retrigger;
  retrigger.Add(0, 0x80, 60, 0);
  retrigger.Add(0, 0x90, 61, 100);
  out = Call(512, retrigger);
  const std::int64_t t = 6 * 512;
  const std::int64_t onset = 44 * ((t + 43) / 44 + 1) - t;
  EXPECT_EQ(out[onset - 1], 0.0f);
  EXPECT_EQ(out[onset], 0.5f);
}

TEST_F(RenderLoopTest, AfterTwoSecondsOfSilenceNothingRendersUntilANote) {
  const std::int32_t frames = 441;
  std::int64_t rendered = 0;
  for (int k = 0; k < 2048 * 44 / frames + 3; ++k) {
    Call(frames);
    rendered = Plugin->RenderedBlocks;
  }
  EXPECT_EQ(rendered, 2048) << "rendering stops after 2048 silent milliseconds";
  Call(frames);
  EXPECT_EQ(Plugin->RenderedBlocks, 2048);
  std::vector<float> out = Call(frames, Note(0, 69, 100));
  EXPECT_GT(Plugin->RenderedBlocks, 2048) << "a note wakes the instrument";
  out = Call(frames);
  EXPECT_GT(*std::max_element(out.begin(), out.end()), 0.1f);
}

TEST_F(RenderLoopTest, VolumeHalfIsUnityAndItsRampLastsFourMilliseconds) {
  Plugin->RenderDc = true;
  std::vector<float> out = Call(512, Note(0, 60, 100));
  EXPECT_EQ(out[200], 0.5f) << "volume 0.5 and pan 0.5 are unity gain";
  EXPECT_EQ(Plugin->GetParameterInt(TDSPPluginX::kParamVolume), 64);
  Effect->setParameter(Effect, TDSPPluginX::kParamVolume, 0.0f);
  std::vector<float> all;
  for (int k = 0; k < 3; ++k) {
    out = Call(512);
    all.insert(all.end(), out.begin(), out.end());
  }
  const auto firstLower = std::find_if(all.begin(), all.end(), [](float x) { return x < 0.5f; });
  const auto firstZero = std::find(all.begin(), all.end(), 0.0f);
  ASSERT_NE(firstZero, all.end());
  EXPECT_EQ(firstZero - firstLower + 1, 176) << "4 ms at 44.1 kHz";
  EXPECT_TRUE(std::is_sorted(firstLower, firstZero, std::greater<float>()));
  EXPECT_NEAR(firstLower[87], 0.25f, 0.004f);
}

TEST_F(RenderLoopTest, PanMovesTheGainBetweenTheSides) {
  Plugin->RenderDc = true;
  Call(512, Note(0, 60, 100));
  Effect->setParameter(Effect, TDSPPluginX::kParamPan, 0.0f);
  Call(512);
  const std::vector<float> out = Call(512);
  EXPECT_EQ(out[500], 1.0f) << "hard left doubles the left side";
  EXPECT_EQ(LastRight[500], 0.0f);
}

// Whatever the layers render, nothing above +24 dBFS and no NaN reaches the
// host; what lies below passes bit for bit.
TEST_F(RenderLoopTest, TheOutputIsHeldToTheCeilingAndNaNLeavesAsZero) {
  Plugin->RenderDc = true;
  Plugin->DcLevel = 0.3f;
  Call(512, Note(0, 60, 100));
  std::vector<float> out = Call(512);
  const float unity = out[500];
  EXPECT_EQ(unity, 0.3f * Plugin->LeftGainNow());
  Plugin->DcLevel = 1e30f;
  Call(512);
  out = Call(512);
  EXPECT_EQ(*std::max_element(out.begin(), out.end()), TDSPPluginX::kOutputCeiling);
  Plugin->DcLevel = -std::numeric_limits<float>::infinity();
  Call(512);
  out = Call(512);
  EXPECT_EQ(out[500], -TDSPPluginX::kOutputCeiling);
  Plugin->DcLevel = std::nanf("");
  Call(512);
  out = Call(512);
  EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](float x) { return x == 0.0f; }));
  EXPECT_EQ(20 * std::log10(TDSPPluginX::kOutputCeiling), 24.0f);
}

TEST_F(RenderLoopTest, WhileGatedTheReplacingCallWritesZerosAndNoteOffsStillRelease) {
  Plugin->RenderDc = true;
  Call(512, Note(0, 60, 100));
  ASSERT_EQ(Plugin->Voices[0].Note, 60);
  Dispatch(Effect, kEffMainsChanged, 0, 0);
  TEventList off;
  off.Add(10, 0x90, 60, 0);
  off.Add(20, 0x90, 64, 100);
  std::vector<float> out = Call(512, off, true, 7.0f);
  EXPECT_EQ(*std::max_element(out.begin(), out.end()), 0.0f) << "no stale host audio";
  EXPECT_EQ(Plugin->Voices[0].Note, -1) << "the note-off queued while suspended released the note";
  EXPECT_EQ(Plugin->NoteOns, 1) << "note-ons are dropped while gated";
  out = Call(512, {}, false, 7.0f);
  EXPECT_EQ(out[0], 7.0f) << "the accumulating call leaves the buffer alone";

  Dispatch(Effect, kEffMainsChanged, 0, 1);
  Call(512);
  out = Call(512);
  EXPECT_EQ(*std::max_element(out.begin(), out.end()), 0.0f);
}

TEST_F(RenderLoopTest, OffsetsOutsideTheBlockAreClampedIntoItAndSysExIsSkipped) {
  TEventList events;
  events.Add(900, 0x90, 60, 100);  // beyond the 512-frame block
  events.Add(-30, 0x90, 62, 100);
  TVstMidiSysexEvent sysex{};
  sysex.type = kVstSysExEventType;
  sysex.byteSize = sizeof(sysex);
  sysex.resvd1 = 0x7F3C90;  // where a MIDI event's bytes lie: a note-on if taken for MIDI
  events.Add(reinterpret_cast<const TVstEvent&>(sysex));
  Call(512, events);
  EXPECT_EQ(Plugin->NoteOns, 2) << "both notes decoded in this call, the SysEx not at all";
  EXPECT_EQ(Plugin->Received.size(), 2u);
  Call(0, Note(0, 64, 100));
  EXPECT_EQ(Plugin->NoteOns, 3) << "a call of no frames still takes its events";
}

TEST_F(RenderLoopTest, HostTempoAndTimeSignatureReachTheLayers) {
  TTestHost::Time.tempo = 140;
  Call(64);
  EXPECT_FLOAT_EQ(Plugin->GetMsPerTick(), 60000.0f / 140.0f / 120.0f);
  EXPECT_EQ(Plugin->TempoChanges, 1);
  TTestHost::Time.tempo = 120;
  Call(64);
  EXPECT_NEAR(Plugin->GetMsPerTick(), 4.1667f, 1e-4f);
  Call(64);
  EXPECT_EQ(Plugin->TempoChanges, 2) << "an unchanged tempo calls nothing";
  TTestHost::Time.tempo = 0;
  Call(64);
  EXPECT_EQ(Plugin->GetMsPerTick(), 0.001f);
  TTestHost::Time.timeSigNumerator = 3;
  TTestHost::Time.timeSigDenominator = 8;
  Call(64);
  EXPECT_EQ(Plugin->SignatureChanges, 2) << "numerator and denominator each report a change";
  TTestHost::HasTime = false;
  Call(64);
  EXPECT_EQ(Plugin->GetMsPerTick(), 0.001f) << "a host without time info changes nothing";
}

TEST_F(RenderLoopTest, TheHostIsNeverCalledWhileTheGlobalLockIsHeld) {
  TTestHost::CheckLock = true;
  Call(512, Note(0, 60, 100));
  Plugin->OnGuiControlChange(12, 0.25f, true);
  Plugin->OnGuiControlChange(12, 0.5f, false);
  TTestHost::CheckLock = false;
  EXPECT_FALSE(TTestHost::LockHeldDuringCall.load());
  ASSERT_EQ(TTestHost::Automated.size(), 1u) << "only a drag is automated";
  EXPECT_EQ(TTestHost::Automated[0].first, 12);
  EXPECT_EQ(TTestHost::Automated[0].second, 0.25f);
  EXPECT_EQ(Plugin->GetParameterValue(12), 0.5f);
}

}  // namespace
