// The host callback and the renderer's timing, with plug-ins linked into the
// test and the test instrument loaded from its module.
#include "tools/host/vst_host.h"

#include <gtest/gtest.h>

#include <cstring>

#include "tests/support/test_support.h"
#include "tests/tools/host_process.h"
#include "tools/host/renderer.h"

namespace {

// A plug-in of the test itself that records what it is given and asks the
// host questions through the callback it received.
struct TProbe {
  TVstEffect Effect{};
  TVstHostCallback Host = nullptr;
  std::intptr_t VersionAtEntry = 0;
  std::vector<std::pair<int, int>> Events;  // (block, deltaFrames)
  std::vector<double> PpqAtBlock;
  int Block = 0;
};
TProbe* Probe = nullptr;

std::intptr_t ProbeDispatch(TVstEffect*, std::int32_t opcode, std::int32_t, std::intptr_t, void* ptr, float) {
  if (opcode == kEffProcessEvents) {
    const auto* list = static_cast<const TVstEvents*>(ptr);
    TVstEvent* const* events = VstEventSlots(*list);
    for (int i = 0; i < list->numEvents; ++i) Probe->Events.push_back({Probe->Block, events[i]->deltaFrames});
  }
  return 0;
}
void ProbeProcess(TVstEffect* e, float**, float** out, std::int32_t frames) {
  const auto* t = reinterpret_cast<const TVstTimeInfo*>(Probe->Host(e, kHostGetTime, 0, 0, nullptr, 0));
  Probe->PpqAtBlock.push_back(t->ppqPos);
  for (int c = 0; c < 2; ++c) std::fill_n(out[c], frames, 0.0f);
  ++Probe->Block;
}
void ProbeSet(TVstEffect*, std::int32_t, float) {}
float ProbeGet(TVstEffect*, std::int32_t) { return 0; }

TVstEffect* ProbeEntry(TVstHostCallback host) {
  Probe->Host = host;
  Probe->VersionAtEntry = host(nullptr, kHostVersion, 0, 0, nullptr, 0);
  TVstEffect& e = Probe->Effect;
  e.magic = kVstEffectMagic;
  e.dispatcher = ProbeDispatch;
  e.setParameter = ProbeSet;
  e.getParameter = ProbeGet;
  e.processReplacing = ProbeProcess;
  e.numOutputs = 2;
  e.flags = kVstFlagCanReplacing | kVstFlagIsSynth;
  return &e;
}

class VstHostTest : public ::testing::Test {
 protected:
  void SetUp() override { Probe = &State; }
  void TearDown() override { Probe = nullptr; }
  TProbe State;
};

TEST_F(VstHostTest, CallbackAnswersWhatPlugInsAsk) {
  std::string error;
  auto p = TVstPlugin::OpenEntry(ProbeEntry, error, 48000, 256);
  ASSERT_TRUE(p) << error;
  EXPECT_EQ(State.VersionAtEntry, 2400);
  TVstEffect* e = p->Effect();
  EXPECT_EQ(State.Host(e, kHostGetSampleRate, 0, 0, nullptr, 0), 48000);
  EXPECT_EQ(State.Host(e, kHostGetBlockSize, 0, 0, nullptr, 0), 256);
  char yes[] = "sendVstTimeInfo", no[] = "offline";
  EXPECT_EQ(State.Host(e, kHostCanDo, 0, 0, yes, 0), 1);
  EXPECT_EQ(State.Host(e, kHostCanDo, 0, 0, no, 0), 0);
  EXPECT_EQ(State.Host(e, kHostCanDo, 0, 0, nullptr, 0), 0);
  EXPECT_EQ(State.Host(e, kHostIdle, 0, 0, nullptr, 0), 0);
  EXPECT_EQ(p->UnansweredRequests(), 1u);

  State.Host(e, kHostAutomate, 7, 0, nullptr, 0.25f);
  State.Host(e, kHostAutomate, 3, 0, nullptr, 1.0f);
  ASSERT_EQ(p->AutomationLog().size(), 2u);
  EXPECT_EQ(p->AutomationLog()[0].Index, 7);
  EXPECT_EQ(p->AutomationLog()[1].Value, 1.0f);

  TVstTransport t;
  t.SamplePos = 96000;
  t.PpqPos = 4.0;
  t.Tempo = 120;
  t.BarStartPos = 4.0;
  t.TimeSigNumerator = 7;
  t.TimeSigDenominator = 8;
  t.Playing = true;
  p->SetTransport(t);
  const auto* info = reinterpret_cast<const TVstTimeInfo*>(State.Host(e, kHostGetTime, 0, 0, nullptr, 0));
  ASSERT_NE(info, nullptr);
  EXPECT_EQ(info->samplePos, 96000);
  EXPECT_EQ(info->sampleRate, 48000);
  EXPECT_EQ(info->ppqPos, 4.0);
  EXPECT_EQ(info->timeSigNumerator, 7);
  EXPECT_EQ(info->timeSigDenominator, 8);
  const int wanted = kVstTransportPlaying | kVstPpqPosValid | kVstTempoValid | kVstBarsValid | kVstTimeSigValid;
  EXPECT_EQ(info->flags & wanted, wanted);
  EXPECT_EQ(State.Host(e, kHostTempoAt, 0, 0, nullptr, 0), 1200000) << "beats per minute x 10000";
  EXPECT_EQ(p->UnansweredRequests(), 1u);
}

TEST_F(VstHostTest, EventsArriveAtTheirSampleOffsetsInEveryBlock) {
  std::string error;
  auto p = TVstPlugin::OpenEntry(ProbeEntry, error);
  ASSERT_TRUE(p) << error;
  TMidiSong song = DemoSong();
  TRenderSettings settings;
  settings.SampleRate = 44100;
  settings.BlockSize = 100;
  settings.TailSeconds = 0;
  TRenderStats stats;
  ASSERT_TRUE(RenderSong(*p, song, settings, nullptr, stats, {}, error)) << error;
  // processEvents before every block, events where the song puts them.
  ASSERT_EQ(State.Events.size(), song.Events.size());
  for (std::size_t i = 0; i < song.Events.size(); ++i) {
    const std::int64_t frame = EventFrame(song.Events[i], 44100);
    EXPECT_EQ(State.Events[i].first, frame / 100);
    EXPECT_EQ(State.Events[i].second, frame % 100);
  }
  // The transport follows 120 BPM: 1 beat = 22050 frames.
  EXPECT_EQ(State.PpqAtBlock[0], 0.0);
  EXPECT_DOUBLE_EQ(State.PpqAtBlock[441], 2.0);
  EXPECT_EQ(stats.Frames, 9 * 44100 + 1);  // up to and including the last note-off
}

TEST(Renderer, TransportBarsFollowTimeSignatureChanges) {
  TMidiSong song;
  song.TicksPerQuarter = 480;
  song.TimeSignatures = {{0, 3, 4}, {2880, 6, 8}};  // two bars of 3/4, then 6/8
  song.Tempos = {{0, 0, 1000000}};                  // 60 BPM: one beat per second
  ApplyTempoMap(song);
  const TVstTransport a = TransportAt(song, 4 * 1000, 1000);  // beat 4: bar 2 starts at beat 3
  EXPECT_DOUBLE_EQ(a.PpqPos, 4.0);
  EXPECT_DOUBLE_EQ(a.BarStartPos, 3.0);
  EXPECT_EQ(a.TimeSigNumerator, 3);
  const TVstTransport b = TransportAt(song, 10 * 1000, 1000);  // 6/8 bars of 3 beats from beat 6
  EXPECT_DOUBLE_EQ(b.BarStartPos, 9.0);
  EXPECT_EQ(b.TimeSigNumerator, 6);
  EXPECT_EQ(b.TimeSigDenominator, 8);
  EXPECT_DOUBLE_EQ(b.Tempo, 60.0);
}

TEST(Renderer, TestInstrumentRendersEventsAtExactFrames) {
  TVstModule module;
  std::string error;
  ASSERT_TRUE(module.Load(TestSynthPath(), error)) << error;
  auto p = TVstPlugin::Open(module, error);
  ASSERT_TRUE(p) << error;
  const TMidiSong song = DemoSong();
  TRenderSettings settings;
  settings.BlockSize = 64;
  settings.TailSeconds = 0.1;
  TMemorySink sink(2);
  TRenderStats stats;
  ASSERT_TRUE(RenderSong(*p, song, settings, &sink, stats, {}, error)) << error;
  const std::int64_t first = EventFrame(song.Events[0], 44100);
  EXPECT_EQ(first, 0);
  // A sine that starts at phase 0: the first sample is 0, the next is not.
  EXPECT_EQ(sink.Data[0][0], 0.0f);
  EXPECT_NE(sink.Data[0][1], 0.0f);
  EXPECT_EQ(sink.Data[0], sink.Data[1]);
  EXPECT_NEAR(stats.Peak, testing_support::Peak(sink.Data[0]), 1e-9);
  EXPECT_GT(stats.Rms, 0.05);
  EXPECT_EQ(stats.NonFinite, 0);
}

}  // namespace
