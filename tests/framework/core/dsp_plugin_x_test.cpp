// The plug-in core: base parameters, MIDI routing, messages, display texts
// and the parameter flow between threads.
#include "framework/core/dsp_plugin_x.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <stdexcept>
#include <thread>

#include "framework/vst/plugin_entry.h"
#include "tests/framework/core/plugin_test_support.h"

namespace {

using namespace plugin_test;

// Collects what the plug-in sends to its message sink.
struct TSinkRecorder {
  std::vector<std::pair<std::int32_t, float>> Messages;
  std::intptr_t Take(TDSPPluginX* /*sender*/, std::int32_t code, void* /*ptr*/, float a, float /*b*/, float /*c*/) {
    Messages.emplace_back(code, a);
    return 1;
  }
};

struct PluginCoreTest : ::testing::Test {
  void SetUp() override {
    TTestHost::Reset();
    Plugin = MakePlugin();
    Effect = Plugin->GetEffect();
    Plugin->MessageSink = TDSPPluginX::TMessageSink::Bind<&TSinkRecorder::Take>(&Sink);
    Process(64);
  }
  std::vector<float> Process(std::int32_t frames, TEventList events = {}) {
    if (!events.Empty()) Dispatch(Effect, kEffProcessEvents, 0, 0, const_cast<TVstEvents*>(events.Build()));
    TStereoBuffers out(frames, 3.0f);
    Effect->processReplacing(Effect, nullptr, out.Pointers, frames);
    return out.Left;
  }
  // Sends the bytes and processes long enough for them to be decoded.
  void Send(std::initializer_list<std::array<std::uint8_t, 3>> messages) {
    TEventList list;
    for (const auto& m : messages) list.Add(0, m[0], m[1], m[2]);
    Process(128, std::move(list));
  }

  std::unique_ptr<TSineTestPlugin> Plugin;
  TVstEffect* Effect = nullptr;
  TSinkRecorder Sink;
};

TEST_F(PluginCoreTest, TheTenBaseParametersAreGlobalAndMappedToControllers) {
  const char* names[] = {"Volume", "Pan", "Mute", "Solo", "Bypass", "Rsvd", "Rsvd", "Rsvd", "Rsvd", "Rsvd"};
  const int controllers[] = {7, 10, 18, 19, 110, 111, 112, 113, 114, 115};
  for (int i = 0; i < 10; ++i) {
    const TParamInfoRec& info = Plugin->ParamInfo[i];
    EXPECT_EQ(info.Name, names[i]);
    EXPECT_TRUE(info.IsGlobal) << i;
    EXPECT_EQ(info.MidiKind, kParamMidiController);
    EXPECT_EQ(Plugin->MidiCCMap[controllers[i]], i);
  }
  EXPECT_EQ(Plugin->ParamInfo[0].Description, "0=NO SOUND;127=FULL BLAST");
  EXPECT_FLOAT_EQ(Plugin->GetParameterValue(0), 0.5f);
  EXPECT_FLOAT_EQ(Plugin->GetParameterValue(1), 0.5f);
  EXPECT_EQ(Plugin->ParamInfo[2].HelpText, "MUTE");
  // A layer's parameter without its own mapping answers to RPN index - 6.
  EXPECT_EQ(Plugin->RpnMap[18 - 6], 18);
  EXPECT_EQ(Plugin->ParamInfo[23].MidiNumber, 17);
}

TEST_F(PluginCoreTest, MuteBypassAndSoloFollowTheirRules) {
  Plugin->RenderDc = true;
  Process(512, [] {
    TEventList l;
    l.Add(0, 0x90, 60, 100);
    return l;
  }());
  EXPECT_EQ(Process(512)[300], 0.5f);

  Effect->setParameter(Effect, TDSPPluginX::kParamBypass, 1.0f);
  EXPECT_TRUE(Plugin->IsMuted());
  Process(512);
  EXPECT_EQ(Process(512)[300], 0.0f) << "bypass gives zeros";
  Effect->setParameter(Effect, TDSPPluginX::kParamBypass, 0.0f);
  Process(512);
  EXPECT_EQ(Process(512)[300], 0.5f);

  const std::int64_t before = Plugin->RenderedBlocks;
  Effect->setParameter(Effect, TDSPPluginX::kParamMute, 1.0f);
  EXPECT_FALSE(Plugin->IsActive());
  const std::vector<float> out = Process(512);
  EXPECT_EQ(Plugin->RenderedBlocks, before) << "an inactive plug-in processes nothing";
  EXPECT_EQ(*std::max_element(out.begin(), out.end()), 0.0f);
  Effect->setParameter(Effect, TDSPPluginX::kParamMute, 0.0f);
  EXPECT_TRUE(Plugin->IsActive());

  Effect->setParameter(Effect, TDSPPluginX::kParamSolo, 0.0f);
  EXPECT_EQ(Effect->getParameter(Effect, TDSPPluginX::kParamSolo), 1.0f);
}

// What the mute parameter says and what the instrument does agree at every
// moment: the controller that mutes can unmute it, and a state or program
// with mute off sounds again.
TEST_F(PluginCoreTest, MutedThePluginStillTakesTheControllerStateAndProgramThatUnmuteIt) {
  Plugin->RenderDc = true;
  TEventList note;
  note.Add(0, 0x90, 60, 100);
  Process(512, std::move(note));
  EXPECT_EQ(Process(512)[300], 0.5f);

  Send({{0xB0, 18, 127}});  // controller 18 is Mute
  EXPECT_FALSE(Plugin->IsActive());
  EXPECT_EQ(Process(512)[300], 0.0f);
  Send({{0xB0, 18, 0}});
  EXPECT_TRUE(Plugin->IsActive()) << "the controller that muted reaches a muted plug-in";
  Process(512);
  EXPECT_EQ(Process(512)[300], 0.5f);

  // A muted state, then a good one: the good one is heard.
  Effect->setParameter(Effect, TDSPPluginX::kParamMute, 0.0f);
  void* data = nullptr;
  const auto size = Dispatch(Effect, kEffGetChunk, 0, 0, &data);
  const std::vector<std::uint8_t> good(static_cast<std::uint8_t*>(data), static_cast<std::uint8_t*>(data) + size);
  Effect->setParameter(Effect, TDSPPluginX::kParamMute, 1.0f);
  data = nullptr;
  const auto mutedSize = Dispatch(Effect, kEffGetChunk, 0, 0, &data);
  std::vector<std::uint8_t> muted(static_cast<std::uint8_t*>(data), static_cast<std::uint8_t*>(data) + mutedSize);
  Process(512);
  std::vector<std::uint8_t> copy = good;
  ASSERT_EQ(Dispatch(Effect, kEffSetChunk, 0, size, copy.data()), size);
  EXPECT_EQ(Effect->getParameter(Effect, TDSPPluginX::kParamMute), 0.0f);
  EXPECT_TRUE(Plugin->IsActive()) << "the parameter reads unmuted, so the instrument is";
  Process(512);
  EXPECT_EQ(Process(512)[300], 0.5f);

  // The same when the muted state arrives while the host is suspended.
  Dispatch(Effect, kEffSetChunk, 0, mutedSize, muted.data());
  EXPECT_FALSE(Plugin->IsActive());
  Dispatch(Effect, kEffMainsChanged, 0, 0);
  copy = good;
  Dispatch(Effect, kEffSetChunk, 0, size, copy.data());
  Dispatch(Effect, kEffMainsChanged, 0, 1);
  EXPECT_TRUE(Plugin->IsActive());
}

TEST_F(PluginCoreTest, ControllersReachTheirParametersThroughTheMap) {
  Send({{0xB3, 7, 127}});
  EXPECT_EQ(Plugin->GetParameterValue(0), 1.0f);
  Send({{0xB0, 7, 0}});
  EXPECT_EQ(Plugin->GetParameterValue(0), 0.0f);
  Send({{0xB0, 20, 127}, {0xB0, 22, 127}});
  EXPECT_EQ(Plugin->GetParameterValue(10), 1.0f) << "controller 20 names parameter 10";
  EXPECT_EQ(Plugin->GetParameterValue(11), 1.0f)
      << "a controller parameter without a number takes slot 11 + controller parameters before it";
  Send({{0xB0, 21, 127}, {0xB0, 5, 127}});  // unmapped controllers
  ASSERT_GE(Sink.Messages.size(), 4u);
  EXPECT_EQ(std::count_if(Sink.Messages.begin(), Sink.Messages.end(),
                          [](const auto& m) { return m.first == TDSPPluginX::kMsgParamByMidi; }),
            4);
  EXPECT_EQ(Sink.Messages.back().second, 11.0f);
}

TEST_F(PluginCoreTest, RpnDataEntrySetsTheMappedParameterOnAnyChannel) {
  Send({{0xBA, 101, 0}, {0xBA, 100, 12}, {0xBA, 6, 64}, {0xBA, 38, 0}});
  EXPECT_FLOAT_EQ(Plugin->GetParameterValue(18), 8192.0f / 16383.0f);
  // A controller-mapped parameter is not reached by its RPN number.
  Plugin->ParamInfo[18].MidiKind = kParamMidiController;
  Send({{0xB0, 101, 0}, {0xB0, 100, 12}, {0xB0, 6, 0}, {0xB0, 38, 0}});
  EXPECT_FLOAT_EQ(Plugin->GetParameterValue(18), 8192.0f / 16383.0f);
}

TEST_F(PluginCoreTest, ProgramChangeAndPitchBend) {
  Send({{0xC5, 7, 0}});
  EXPECT_EQ(Plugin->CurrentProgram(), 7);
  Plugin->AcceptProgramChange = false;
  Send({{0xC0, 9, 0}});
  EXPECT_EQ(Plugin->CurrentProgram(), 7);

  Send({{0xE0, 0x00, 0x40}});
  EXPECT_EQ(Plugin->GetPitchBendAmount(), 0.0f) << "the centre is exactly no bend";
  Send({{0xE0, 0x7F, 0x7F}});
  EXPECT_EQ(Plugin->GetPitchBendAmount(), 2.0f);
  Send({{0xE0, 0x00, 0x00}});
  EXPECT_EQ(Plugin->GetPitchBendAmount(), -2.0f);
}

TEST_F(PluginCoreTest, AParameterChangedRequestPassesTheParameterOn) {
  std::fill(Plugin->Changed.begin(), Plugin->Changed.end(), 0);
  TMidiEventRec e;
  e.Status = kMidiParameterChangedRequest;
  e.Data1 = 15;
  Plugin->HandleMidi(e);
  e.Data1 = 999;
  Plugin->HandleMidi(e);
  EXPECT_EQ(Plugin->Changed[15], 1);
}

TEST_F(PluginCoreTest, DisplayTextsShowRealValues) {
  char text[64] = "untouched";
  Dispatch(Effect, kEffGetParamDisplay, 0, 0, text);
  EXPECT_STREQ(text, "1.00") << "volume 0.5 is shown as unity";
  Dispatch(Effect, kEffGetParamDisplay, 1, 0, text);
  EXPECT_STREQ(text, "0.00 L");
  Plugin->SetParameterValue(12, 0.25f);
  Dispatch(Effect, kEffGetParamDisplay, 12, 0, text);
  EXPECT_STREQ(text, "25");
  std::strcpy(text, "untouched");
  Dispatch(Effect, kEffGetParamDisplay, TSineTestPlugin::kTestParamCount, 0, text);
  EXPECT_STREQ(text, "untouched");

  EXPECT_EQ(Plugin->GetParamDisplayText(TDSPPluginX::kQueryController, 99, 64), "Unknown");
  EXPECT_EQ(Plugin->GetParamDisplayText(TDSPPluginX::kQueryRpn, 2999, 64), "Unknown");
  EXPECT_EQ(Plugin->GetParamDisplayText(TDSPPluginX::kQueryController, 18, 127), "On");
  EXPECT_EQ(Plugin->GetParamDisplayText(TDSPPluginX::kQueryRpn, 6, 16383), "100");
  EXPECT_EQ(Plugin->GetParamDisplayText(TDSPPluginX::kQueryParam, 4, 0.0f), "Off");
}

TEST_F(PluginCoreTest, PluginMessages) {
  EXPECT_EQ(Plugin->HandlePluginMessage(TDSPPluginX::kMsgQueryGui, nullptr, 0, 0, 0), 0);
  Plugin->HasGuiFlag = true;
  EXPECT_EQ(Plugin->HandlePluginMessage(TDSPPluginX::kMsgQueryGui, nullptr, 0, 0, 0), 2);
  Plugin->HasGuiFlag = false;

  std::string text;
  Plugin->HandlePluginMessage(TDSPPluginX::kMsgBankName, &text, 0, 0, 0);
  EXPECT_EQ(text, "Default Bank");
  Plugin->SetProgramNameAt(4, "Four");
  Plugin->HandlePluginMessage(TDSPPluginX::kMsgProgramName, &text, 0, 4.2f, 0);
  EXPECT_EQ(text, "Four");
  TStringList list;
  Plugin->HandlePluginMessage(TDSPPluginX::kMsgProgramList, &list, 0, 0, 0);
  EXPECT_EQ(list[4], "4-Four");

  Sink.Messages.clear();
  EXPECT_EQ(Plugin->HandlePluginMessage(TDSPPluginX::kMsgNotifyChanged, nullptr, 0, 0, 0), 1);
  EXPECT_EQ(Plugin->HandlePluginMessage(TDSPPluginX::kMsgForward8049, nullptr, 5, 0, 0), 1);
  EXPECT_EQ(Plugin->HandlePluginMessage(12345, nullptr, 0, 0, 0), 1);
  ASSERT_EQ(Sink.Messages.size(), 2u);
  EXPECT_EQ(Sink.Messages[0].first, TDSPPluginX::kMsgChanged);
  EXPECT_EQ(Sink.Messages[1].first, TDSPPluginX::kMsgForward8048);
  EXPECT_EQ(Sink.Messages[1].second, 5.0f);
}

TEST_F(PluginCoreTest, TheDefaultSinkTellsTheHostOfAnIoChangeAfterTheLock) {
  Plugin->MessageSink = TDSPPluginX::TMessageSink::Bind<&TDSPPluginX::OnSinkMessage>(Plugin.get());
  TTestHost::CheckLock = true;
  Plugin->Lock();
  Plugin->OnSinkMessage(Plugin.get(), TDSPPluginX::kMsgIoChanged, nullptr, 0, 0, 0);
  Plugin->Unlock();
  EXPECT_EQ(TTestHost::IoChangedCount, 0);
  Process(64);
  TTestHost::CheckLock = false;
  EXPECT_EQ(TTestHost::IoChangedCount, 1);
  EXPECT_FALSE(TTestHost::LockHeldDuringCall.load());
}

// With a GUI, changes reach the editor through posted calls, which run on
// the thread that pumps them; a destroyed plug-in's calls never run.
class TGuiRecorder : public TSineTestPlugin {
 public:
  TGuiRecorder() { HasGuiFlag = true; }
  void UpdateGuiControlNow(std::int32_t index) override { Updated.push_back(index); }
  std::vector<std::int32_t> Updated;
};

TEST(PluginCoreGui, ParameterChangesArePostedToTheEditorAndCancelledOnDestruction) {
  TTestHost::Reset();
  PumpPostBacks();
  auto plugin = MakePlugin<TGuiRecorder>();
  TVstEffect* e = plugin->GetEffect();
  PumpPostBacks();
  plugin->Updated.clear();
  e->setParameter(e, 12, 0.3f);
  e->setParameter(e, 12, 0.4f);
  EXPECT_TRUE(plugin->Updated.empty()) << "nothing runs before the GUI thread pumps";
  Dispatch(e, kEffEditIdle);
  ASSERT_EQ(plugin->Updated.size(), 1u) << "identical posts still queued are delivered once";
  EXPECT_EQ(plugin->Updated[0], 12);

  e->setParameter(e, 13, 0.3f);
  Dispatch(e, kEffClose);
  plugin.release();  // closed and freed by the close request
  EXPECT_EQ(PumpPostBacks(), 0u);
}

TEST(PluginCoreEditor, TheRectangleIsTheEditorSizeBeforeOpening) {
  TTestHost::Reset();
  auto plugin = MakePlugin();
  plugin->EditorWidth = 774;
  plugin->EditorHeight = 498;
  TVstRect* rect = nullptr;
  EXPECT_EQ(Dispatch(plugin->GetEffect(), kEffEditGetRect, 0, 0, &rect), 1);
  ASSERT_NE(rect, nullptr);
  EXPECT_EQ(rect->top, 0);
  EXPECT_EQ(rect->left, 0);
  EXPECT_EQ(rect->bottom, 498);
  EXPECT_EQ(rect->right, 774);
  EXPECT_EQ(Dispatch(plugin->GetEffect(), kEffEditClose), 0) << "no window to close";
}

// A render thread and a host thread that changes parameters, programs,
// events and chunks at the same time (run under ThreadSanitizer).
TEST(PluginCoreThreads, RenderingAndParameterChangesRunTogether) {
  TTestHost::Reset();
  auto plugin = MakePlugin();
  TVstEffect* e = plugin->GetEffect();
  std::atomic<bool> stop{false};
  std::thread render([&] {
    TStereoBuffers out(256);
    for (int k = 0; k < 400; ++k) {
      TEventList list;
      list.Add(k % 256, 0x90, static_cast<std::uint8_t>(40 + k % 30), 100);
      list.Add((k * 7) % 256, 0x80, static_cast<std::uint8_t>(40 + (k + 15) % 30), 0);
      list.Add(3, 0xB0, 7, static_cast<std::uint8_t>(k % 128));
      Dispatch(e, kEffProcessEvents, 0, 0, const_cast<TVstEvents*>(list.Build()));
      e->processReplacing(e, nullptr, out.Pointers, 256);
    }
    stop = true;
  });
  std::int32_t k = 0;
  char text[64];
  while (!stop.load()) {
    e->setParameter(e, k % 40 - 5, static_cast<float>(k % 11) / 10.0f);  // out-of-range indexes too
    (void)e->getParameter(e, k % 30);
    Dispatch(e, kEffGetParamDisplay, k % 24, 0, text);
    Dispatch(e, kEffGetProgramName, 0, 0, text);
    if (k % 25 == 0) Dispatch(e, kEffSetProgram, 0, k % 130);
    if (k % 40 == 0) {
      void* chunk = nullptr;
      const auto size = Dispatch(e, kEffGetChunk, 0, 0, &chunk);
      if (size > 0) Dispatch(e, kEffSetChunk, 0, size, chunk);
    }
    if (k % 10 == 0) Dispatch(e, kEffEditIdle);
    plugin->OnGuiControlChange(12, 0.5f, k % 2 == 0);
    ++k;
  }
  render.join();
  EXPECT_GT(k, 0);
}

}  // namespace

namespace {

using namespace plugin_test;

class TFailingSetUp : public TSineTestPlugin {
 public:
  void InitParameterInfo() override { throw std::runtime_error("descriptor table broken"); }
};

std::unique_ptr<TDSPVSTBase> MakeSine() { return std::make_unique<TSineTestPlugin>(); }
std::unique_ptr<TDSPVSTBase> MakeFailing() { return std::make_unique<TFailingSetUp>(); }
std::unique_ptr<TDSPVSTBase> MakeNothing() { return nullptr; }

TEST(PluginEntry, MainCreatesSetsUpOrRefusesWithoutLeavingObjects) {
  TTestHost::Reset();
  const std::int32_t live = TDSPPluginX::LiveInstanceCount();
  TVstEffect* e = RunPluginMain(&TTestHost::Callback, &MakeSine);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(TDSPPluginX::LiveInstanceCount(), live + 1);
  EXPECT_EQ(e->numParams, TSineTestPlugin::kTestParamCount);
  EXPECT_EQ(e->uniqueID, PackFourBytes("SnTs"));
  EXPECT_EQ(Dispatch(e, kEffClose), 1);
  EXPECT_EQ(TDSPPluginX::LiveInstanceCount(), live) << "close destroys the object";

  TTestHost::Version = 0;
  EXPECT_EQ(RunPluginMain(&TTestHost::Callback, &MakeSine), nullptr);
  TTestHost::Version = 2400;
  EXPECT_EQ(RunPluginMain(&TTestHost::Callback, &MakeFailing), nullptr) << "the exception stays inside";
  EXPECT_EQ(RunPluginMain(&TTestHost::Callback, &MakeNothing), nullptr);
  EXPECT_EQ(RunPluginMain(nullptr, &MakeSine), nullptr);
  EXPECT_EQ(TDSPPluginX::LiveInstanceCount(), live);
}

}  // namespace
