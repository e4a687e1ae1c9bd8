// The plug-in's editor without a display: the tree its descriptors give,
// the window's size and pixels, gestures reaching the parameters and the
// host, plug-in-side changes reaching the controls, and the lifetime of
// windows, posted calls and plug-ins.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

#include "tests/gui/controls/editor_test_support.h"
#include "tests/gui/support/contact_sheet.h"

namespace {

using namespace editor_test;
using plugin_test::Dispatch;
using P = TEditorTestPlugin;

class PluginEditorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    plugin_test::TTestHost::Reset();
    PumpPostBacks();
    Plugin = MakeEditorPlugin();
    Effect = Plugin->GetEffect();
  }
  void TearDown() override {
    if (Plugin) Dispatch(Effect, kEffClose);
    Plugin.release();  // freed by the close request
  }
  TStubPlatformWindow& Open() {
    EXPECT_EQ(Dispatch(Effect, kEffEditOpen, 0, 0, HostWindow()), 1);
    Idle();
    return *Plugin->OpenWindow();
  }
  void Idle() { Dispatch(Effect, kEffEditIdle); }
  void Process() {
    plugin_test::TStereoBuffers out(64);
    Effect->processReplacing(Effect, nullptr, out.Pointers, 64);
  }
  // A vertical drag on a parameter's control: press at its centre, moves by dys.
  void Drag(std::int32_t param, std::initializer_list<int> dys, bool release = true) {
    TStubPlatformWindow& w = *Plugin->OpenWindow();
    const TPoint p = Centre(Plugin->GuiControlOf(param));
    w.Press(p.X, p.Y);
    for (int dy : dys) w.Move(p.X, p.Y + dy);
    if (release) w.Release(p.X, p.Y);
  }
  bool WindowShowsFront() {
    const TStubPlatformWindow& w = *Plugin->OpenWindow();
    const TBitmap& front = *Plugin->GuiBody()->Front;
    for (int y = 0; y < w.H; ++y)
      for (int x = 0; x < w.W; ++x)
        if (w.At(x, y) != (front.ScanLine(y)[x] & 0xFFFFFFu)) return false;
    return true;
  }

  std::unique_ptr<P> Plugin;
  TVstEffect* Effect = nullptr;
};

TEST_F(PluginEditorTest, EveryParameterWithAControlKindGetsItsControlOnItsPanel) {
  ASSERT_EQ(Plugin->GuiPanelCount(), 3);
  EXPECT_EQ(Plugin->GuiPanel(0), Plugin->GuiBody());
  TSPThemeGUIControl* header = Plugin->GuiPanel(1);
  EXPECT_EQ(std::tuple(header->Left, header->Top, header->Width, header->Height), std::tuple(1, 1, P::kWidth - 4, 32));
  EXPECT_EQ(Plugin->NameLabel->Caption, "EditorTest");
  EXPECT_EQ(Plugin->NameLabel->Left, 551);
  TSPThemeGUIControl* mute = Plugin->GuiControlOf(TDSPPluginX::kParamMute);
  ASSERT_NE(dynamic_cast<TSPThemeGUISwitch*>(mute), nullptr);
  EXPECT_EQ(std::tuple(mute->Parent, mute->Caption, mute->Left), std::tuple(header, std::string("MUTE"), 197));
  TSPThemeGUIControl* knob = Plugin->GuiControlOf(P::kKnob);
  ASSERT_NE(dynamic_cast<TSPThemeGUIFader*>(knob), nullptr);
  EXPECT_EQ(std::tuple(knob->Parent, knob->Top, knob->Left, knob->ParamIndex, knob->Caption),
            std::tuple(Plugin->GuiPanel(Plugin->ControlsPanel), 60, 22, P::kKnob, std::string("Knob")));
  EXPECT_FLOAT_EQ(knob->Step, 0.01f);
  EXPECT_FLOAT_EQ(Plugin->GuiControlOf(P::kVSlider)->Step, 0.01f) << "10 of 1000";
  EXPECT_EQ(Plugin->GuiControlOf(P::kNoKind), nullptr);
  EXPECT_EQ(Plugin->GuiControlOf(P::kNoPanel), nullptr);
  EXPECT_EQ(Plugin->ParamsWithoutPanel(), std::vector<std::int32_t>{P::kNoPanel}) << "reported, not silently lost";

  // Without the has-GUI flag nothing of the editor is made or opened.
  struct TNoGui : P {
    TNoGui() { HasGuiFlag = false; }
  };
  auto bare = MakeEditorPlugin<TNoGui>();
  EXPECT_EQ(std::tuple(bare->GuiBody(), bare->GuiPanelCount(), bare->GuiControlOf(P::kKnob)),
            std::tuple(nullptr, 0, nullptr));
  EXPECT_EQ(Dispatch(bare->GetEffect(), kEffEditOpen, 0, 0, HostWindow()), 0);
}

TEST_F(PluginEditorTest, OnlyARealWindowOpensTheEditorAtItsSizeShowingTheTree) {
  TVstRect* rect = nullptr;
  ASSERT_EQ(Dispatch(Effect, kEffEditGetRect, 0, 0, &rect), 1);
  EXPECT_EQ(std::tuple(rect->right, rect->bottom), std::tuple(P::kWidth, P::kHeight)) << "known before opening";
  EXPECT_EQ(Dispatch(Effect, kEffEditOpen, 0, 0, nullptr), 0);
  EXPECT_FALSE(Plugin->LastEditorError().empty());
  EXPECT_FALSE(Plugin->GuiBody()->Attached);
  EXPECT_EQ(Dispatch(Effect, kEffEditClose), 0);
  Process();  // still working headless

  TStubPlatformWindow* w = &Open();
  EXPECT_EQ(std::tuple(w->W, w->H), std::tuple(P::kWidth, P::kHeight));
  EXPECT_TRUE(WindowShowsFront()) << "the first paint shows the whole composed body";
  ASSERT_TRUE(Plugin->GuiBody()->Front->SaveToPngFile(TestOutputPath("editor-test-plugin.png")));
  EXPECT_EQ(Dispatch(Effect, kEffEditOpen, 0, 0, HostWindow()), 1);
  EXPECT_EQ(Plugin->OpenWindow(), w) << "a second open shows the same window";
  w->Open = false;  // destroyed with the host's window
  EXPECT_EQ(Dispatch(Effect, kEffEditOpen, 0, 0, HostWindow()), 1);
  EXPECT_TRUE(Plugin->OpenWindow()->Open) << "replaced by a new window";
  EXPECT_EQ(Dispatch(Effect, kEffEditClose), 1);
  EXPECT_EQ(Dispatch(Effect, kEffEditClose), 0);
  // The posted open call opens on the thread that pumps.
  Plugin->PostOpenEditor(HostWindow());
  EXPECT_EQ(Plugin->EditorWindow(), nullptr);
  PumpPostBacks();
  ASSERT_NE(Plugin->OpenWindow(), nullptr);
  Idle();
  EXPECT_TRUE(WindowShowsFront());
}

TEST_F(PluginEditorTest, GesturesReachTheParameterAndTheHostAsTheStoredValue) {
  TStubPlatformWindow& w = Open();
  const auto before = w.Pixels;
  Drag(P::kKnob, {-5, -10, -20});
  EXPECT_EQ(TakeEdits(), "[aaa]");
  const float value = Plugin->GetParameterValue(P::kKnob);
  EXPECT_GT(value, 0.0f);
  EXPECT_EQ(Plugin->GuiControlOf(P::kKnob)->Value, value);
  EXPECT_EQ(LastAutomated(), value);
  Idle();
  EXPECT_NE(w.Pixels, before);
  EXPECT_TRUE(WindowShowsFront());
  EXPECT_FALSE(w.Captured || w.Hidden);

  const TPoint e = Centre(Plugin->GuiControlOf(P::kValueEdit));
  w.Press(e.X, e.Y);
  w.Release(e.X, e.Y);
  EXPECT_EQ(TakeEdits(), "[a]");
  EXPECT_FLOAT_EQ(Plugin->GetParameterValue(P::kValueEdit), 0.01f);

  w.Chooser = [](const std::vector<TMenuItem>& items) { return items[2].Text == "Sine" ? 2 : kMenuCancelled; };
  const TPoint m = Centre(Plugin->GuiControlOf(P::kValueMenu));
  w.Press(m.X, m.Y);
  w.Release(m.X, m.Y);
  EXPECT_EQ(w.MenuItems.size(), 5u);
  EXPECT_EQ(Plugin->GetParameterValue(P::kValueMenu), 0.5f);
  EXPECT_EQ(TakeEdits(), "[a]");

  // The host hears the value as stored: clamped.
  Plugin->OnGuiControlChange(P::kKnob, 1.7f, true);
  EXPECT_EQ(LastAutomated(), 1.0f);
}

TEST_F(PluginEditorTest, PluginSideChangesReachTheControlsWithoutEcho) {
  TStubPlatformWindow& w = Open();
  TSPThemeGUIControl* knob = Plugin->GuiControlOf(P::kKnob);
  const std::int32_t changed = Plugin->ChangedCount;
  const std::size_t presented = w.Presented.size();
  for (int i = 1; i <= 10; ++i) Effect->setParameter(Effect, P::kKnob, static_cast<float>(i) / 20);
  Idle();
  EXPECT_EQ(knob->Value, 0.5f);
  EXPECT_EQ(w.Presented.size(), presented + 1) << "one repaint for ten changes";
  EXPECT_EQ(Plugin->ChangedCount, changed + 10) << "nothing stored back";
  EXPECT_TRUE(WindowShowsFront());
  Process();  // programs apply at once from now on
  Plugin->Programs[3].Values[P::kKnob] = 0.25f;
  Dispatch(Effect, kEffSetProgram, 0, 3);
  plugin_test::TEventList cc;
  cc.Add(0, 0xB0, 7, 127);  // the volume, decoded on the audio thread
  Dispatch(Effect, kEffProcessEvents, 0, 0, const_cast<TVstEvents*>(cc.Build()));
  Process();
  Idle();
  EXPECT_EQ(knob->Value, 0.25f);
  EXPECT_EQ(Plugin->GuiControlOf(TDSPPluginX::kParamVolume)->Value, 1.0f);
  EXPECT_EQ(TakeEdits(), "");

  // Changed while no window was open: shown at the next open.
  const TRect area = knob->PaintedRect;
  auto pixels = [&] {
    std::vector<std::uint32_t> out;
    for (int y = area.Top; y < area.Bottom; ++y)
      for (int x = area.Left; x < area.Right; ++x) out.push_back(Plugin->OpenWindow()->At(x, y));
    return out;
  };
  const auto at025 = pixels();
  for (float v : {0.8f, 0.25f}) {
    Dispatch(Effect, kEffEditClose);
    Effect->setParameter(Effect, P::kKnob, v);
    Open();
    EXPECT_EQ(knob->Value, v);
    EXPECT_EQ(pixels() == at025, v == 0.25f) << v;
  }
}

TEST_F(PluginEditorTest, ClosingDuringADragEndsTheGestureAndFreesTheMouse) {
  Open();
  Drag(P::kKnob, {-10, -20}, false);
  TStubPlatformWindow* w = Plugin->OpenWindow();
  EXPECT_TRUE(w->Captured && w->Hidden);
  EXPECT_EQ(Dispatch(Effect, kEffEditClose), 1);
  EXPECT_EQ(TakeEdits(), "[aa]");
  EXPECT_FALSE(Plugin->GuiControlOf(P::kKnob)->IsUpdating());
  EXPECT_EQ(Plugin->GuiBody()->CapturedControl, nullptr);
  Open();
  Drag(P::kKnob, {});
  EXPECT_EQ(TakeEdits(), "[a]") << "the next session starts clean";
}

// A host that keeps its tempo per thread and sets a thread up only when that
// thread asks for its time or tempo, as Ardour 7 does: it places recorded
// automation with that tempo, so an edit notice from a thread that has not
// asked since its previous notice is one it cannot place (Ardour crashes on
// it in Touch, Latch and Write).
struct TPerThreadTempoHost {
  static inline std::atomic<int> Unplaced{0};
  static inline std::atomic<int> OffThread{0};
  static inline std::thread::id EditorThread;

  static std::intptr_t Callback(TVstEffect* effect, std::int32_t opcode, std::int32_t index, std::intptr_t value,
                                void* ptr, float opt) {
    static thread_local bool ready = false;
    if (opcode == kHostTempoAt || opcode == kHostGetTime) ready = true;
    if (opcode == kHostAutomate || opcode == kHostBeginEdit || opcode == kHostEndEdit) {
      if (!std::exchange(ready, false)) ++Unplaced;
      if (std::this_thread::get_id() != EditorThread) ++OffThread;
    }
    return plugin_test::TTestHost::Callback(effect, opcode, index, value, ptr, opt);
  }
};

// Every kind of gesture, each on an editor thread of its own that the host
// never set up (the thread opens, idles, handles the input and closes): the
// notices keep their order, come from that thread, never under the lock,
// and each follows a tempo request there.
TEST(EditorEditNotices, EveryNoticeFollowsATempoRequestOnItsThread) {
  using TGesture = std::function<void(P & plugin, TStubPlatformWindow & w)>;
  auto press = [](P& plugin, TStubPlatformWindow& w, std::int32_t param) {
    const TPoint p = Centre(plugin.GuiControlOf(param));
    w.Press(p.X, p.Y);
    w.Release(p.X, p.Y);
  };
  const struct {
    const char* Name;
    TGesture Gesture;
    const char* Edits;
  } cases[] = {
      {"drag",
       [](P& plugin, TStubPlatformWindow& w) {
         const TPoint p = Centre(plugin.GuiControlOf(P::kKnob));
         w.Press(p.X, p.Y);
         for (int dy : {-5, -10, -20}) w.Move(p.X, p.Y + dy);
         w.Release(p.X, p.Y - 20);
       },
       "[aaa]"},
      {"click", [&](P& plugin, TStubPlatformWindow& w) { press(plugin, w, P::kValueEdit); }, "[a]"},
      {"switch", [&](P& plugin, TStubPlatformWindow& w) { press(plugin, w, P::kSwitch); }, "[a]"},
      {"value menu",
       [&](P& plugin, TStubPlatformWindow& w) {
         w.Chooser = [](const std::vector<TMenuItem>&) { return 3; };
         press(plugin, w, P::kValueMenu);
       },
       "[a]"},
      {"closed during a drag",
       [](P& plugin, TStubPlatformWindow& w) {
         const TPoint p = Centre(plugin.GuiControlOf(P::kVSlider));
         w.Press(p.X, p.Y);
         w.Move(p.X, p.Y - 10);
         w.Move(p.X, p.Y - 30);
         Dispatch(plugin.GetEffect(), kEffEditClose);
       },
       "[aa]"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    plugin_test::TTestHost::Reset();
    PumpPostBacks();
    TPerThreadTempoHost::Unplaced = 0;
    TPerThreadTempoHost::OffThread = 0;
    auto plugin = MakeEditorPlugin(&TPerThreadTempoHost::Callback);
    TVstEffect* e = plugin->GetEffect();
    plugin_test::TTestHost::CheckLock = true;
    std::thread editor([&] {
      TPerThreadTempoHost::EditorThread = std::this_thread::get_id();
      ASSERT_EQ(Dispatch(e, kEffEditOpen, 0, 0, HostWindow()), 1);
      Dispatch(e, kEffEditIdle);
      c.Gesture(*plugin, *plugin->OpenWindow());
      Dispatch(e, kEffEditIdle);
      Dispatch(e, kEffEditClose);
    });
    editor.join();
    plugin_test::TTestHost::CheckLock = false;
    EXPECT_EQ(TakeEdits(), c.Edits);
    EXPECT_EQ(TPerThreadTempoHost::Unplaced.load(), 0) << "notices the host could not place";
    EXPECT_EQ(TPerThreadTempoHost::OffThread.load(), 0);
    EXPECT_FALSE(plugin_test::TTestHost::LockHeldDuringCall.load());
    Dispatch(e, kEffClose);
    plugin.release();
  }
}

TEST_F(PluginEditorTest, RepaintsRunOffTheWindowsThreadShowAtItsNextIdle) {
  TStubPlatformWindow& w = Open();
  TSPThemeGUIControl* knob = Plugin->GuiControlOf(P::kKnob);
  w.OwnerThread = false;
  knob->SetValue(0.9f);
  PumpPostBacks();  // a host's idle on another thread
  w.OwnerThread = true;
  w.Presented.clear();
  Idle();
  ASSERT_FALSE(w.Presented.empty());
  EXPECT_EQ(w.Presented[0].Left, knob->PaintedRect.Left);
  EXPECT_TRUE(WindowShowsFront());
}

TEST_F(PluginEditorTest, ThePluginDestroyedWithPostsPendingLeavesNothingToRun) {
  Open();
  for (int i = 0; i < 5; ++i) Effect->setParameter(Effect, P::kKnob + i, 0.3f);
  PumpPostBacks();                               // the controls' repaint requests wait now
  Effect->setParameter(Effect, P::kKnob, 0.6f);  // and a value update
  Dispatch(Effect, kEffClose);
  Plugin.release();
  EXPECT_EQ(PumpPostBacks(), 0u);
}

TEST_F(PluginEditorTest, ValueMenusListEveryWholeValueUpToALimit) {
  std::vector<std::string> strings;
  std::int32_t count = 0;
  TSPThemeGUIControl* menu = Plugin->GuiControlOf(P::kValueMenu);
  Plugin->GetGuiValueStrings(menu, strings, count);
  EXPECT_EQ(strings, (std::vector<std::string>{"Saw", "Square", "Sine", "Noise", "Pulse"}));
  EXPECT_EQ(count, 5);
  strings.clear(), count = 0;
  Plugin->ParamInfo[P::kValueMenu].Max = 1e9f;
  Plugin->GetGuiValueStrings(menu, strings, count);
  EXPECT_EQ(count, TSPThemeGUIController::kMaxValueMenuEntries);
}

// A host's audio thread renders all along while the editor thread opens,
// drags, idles and closes the editor (once in the middle of a drag) and a
// third thread automates parameters.
TEST(EditorStress, RenderingGoesOnWhileTheEditorIsUsed) {
  plugin_test::TTestHost::Reset();
  PumpPostBacks();
  auto plugin = MakeEditorPlugin();
  TVstEffect* e = plugin->GetEffect();
  plugin_test::TRenderThread render(e, 128, [](int block, plugin_test::TEventList& events) {
    if (block % 8 == 0) events.Add(0, 0x90, static_cast<std::uint8_t>(40 + block % 24), 100);
    if (block % 5 == 0) events.Add(1, 0xB0, 7, static_cast<std::uint8_t>(block % 128));
  });
  std::atomic<bool> stop{false};
  std::thread automation([&] {
    for (int k = 0; !stop.load(); ++k) {
      e->setParameter(e, P::kKnob + k % 8, static_cast<float>(k % 11) / 10.0f);
      std::this_thread::yield();
    }
  });
  for (int session = 0; session < 6; ++session) {
    ASSERT_EQ(Dispatch(e, kEffEditOpen, 0, 0, HostWindow()), 1);
    TStubPlatformWindow* w = plugin->OpenWindow();
    for (int round = 0; round < 10; ++round) {
      for (std::int32_t param : {P::kKnob, P::kVSlider, P::kSwitch}) {
        const TPoint p = Centre(plugin->GuiControlOf(param));
        w->Press(p.X, p.Y);
        w->Move(p.X, p.Y - 3 - round);
        Dispatch(e, kEffEditIdle);
        w->Release(p.X, p.Y - 3 - round);
      }
    }
    const int before = render.Blocks();
    render.WaitBlocks(2);
    EXPECT_GT(render.Blocks(), before);
    const TPoint p = Centre(plugin->GuiControlOf(P::kKnob));
    if (session % 2 == 0) w->Press(p.X, p.Y), w->Move(p.X, p.Y - 7);
    EXPECT_EQ(Dispatch(e, kEffEditClose), 1);
  }
  stop = true;
  automation.join();
  render.Stop();
  EXPECT_TRUE(render.AllFinite());
  int depth = 0;
  for (char c : TakeEdits()) {
    depth += c == '[' ? 1 : c == ']' ? -1 : 0;
    ASSERT_TRUE(depth == 0 || depth == 1);
  }
  EXPECT_EQ(depth, 0) << "every begin-edit ended";
  Dispatch(e, kEffClose);
  plugin.release();
}

}  // namespace
