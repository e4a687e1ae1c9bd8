// The plug-in's editor without a display: the tree the descriptors give,
// the window's size and pixels, mouse gestures reaching the parameters and
// the host, changes from the host reaching the controls, and the lifetime
// of windows, posted calls and plug-ins.
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>

#include "gui/controls/plugin_gui.h"
#include "tests/gui/controls/editor_test_support.h"
#include "tests/gui/support/contact_sheet.h"

namespace {

using namespace editor_test;
using plugin_test::Dispatch;

// The centre of a control in window pixels.
TPoint Centre(const TSPThemeGUIControl* c) { return {c->Left + c->Width / 2, c->Top + c->Height / 2}; }

class PluginEditorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    TEditorHost::Reset();
    PumpPostBacks();
    Plugin = MakeEditorPlugin();
    Effect = Plugin->GetEffect();
  }
  void TearDown() override {
    if (Plugin) Dispatch(Effect, kEffClose);
    Plugin.release();  // freed by the close request
  }
  // Opens the editor as a host does and lets it idle once.
  TStubPlatformWindow& Open() {
    EXPECT_EQ(Dispatch(Effect, kEffEditOpen, 0, 0, HostWindow()), 1);
    EXPECT_NE(Plugin->OpenWindow(), nullptr);
    Idle();
    return *Plugin->OpenWindow();
  }
  void Idle() { Dispatch(Effect, kEffEditIdle); }
  // A vertical drag on a control: press at its centre, moves by dys, release.
  void Drag(const TSPThemeGUIControl* c, std::initializer_list<int> dys, bool release = true) {
    TStubPlatformWindow& w = *Plugin->OpenWindow();
    const TPoint p = Centre(c);
    w.Press(p.X, p.Y);
    for (int dy : dys) w.Move(p.X, p.Y + dy);
    if (release) w.Release(p.X, p.Y + (dys.size() ? *(dys.end() - 1) : 0));
  }
  bool WindowShowsFront() {
    TStubPlatformWindow& w = *Plugin->OpenWindow();
    const TBitmap& front = *Plugin->GuiBody()->Front;
    for (int y = 0; y < w.H; ++y)
      for (int x = 0; x < w.W; ++x)
        if (w.At(x, y) != (front.ScanLine(y)[x] & 0xFFFFFFu)) return false;
    return true;
  }

  std::unique_ptr<TEditorTestPlugin> Plugin;
  TVstEffect* Effect = nullptr;
};

TEST_F(PluginEditorTest, EveryParameterWithAControlKindGetsItsControlOnItsPanel) {
  using P = TEditorTestPlugin;
  ASSERT_EQ(Plugin->GuiPanelCount(), 3);
  EXPECT_EQ(Plugin->GuiPanel(0), Plugin->GuiBody());
  TSPThemeGUIControl* header = Plugin->GuiPanel(1);
  EXPECT_EQ(header->Width, P::kWidth - 4);
  EXPECT_EQ(header->Height, 32);
  EXPECT_EQ(Plugin->NameLabel->Caption, "EditorTest");
  EXPECT_EQ(Plugin->NameLabel->Left, 551);
  // The core's three on the header.
  EXPECT_NE(Plugin->ControlOf<TSPThemeGUIFader>(TDSPPluginX::kParamVolume), nullptr);
  EXPECT_NE(Plugin->ControlOf<TSPThemeGUIFader>(TDSPPluginX::kParamPan), nullptr);
  auto* mute = Plugin->ControlOf<TSPThemeGUISwitch>(TDSPPluginX::kParamMute);
  ASSERT_NE(mute, nullptr);
  EXPECT_EQ(mute->Parent, header);
  EXPECT_EQ(mute->Caption, "MUTE");
  EXPECT_EQ(mute->Left, header->Left + 120);
  // Ours.
  auto* knob = Plugin->ControlOf<TSPThemeGUIFader>(P::kKnob);
  ASSERT_NE(knob, nullptr);
  EXPECT_EQ(knob->Parent, Plugin->GuiPanel(Plugin->ControlsPanel));
  EXPECT_EQ(knob->Top, 40 + 20);
  EXPECT_EQ(knob->Left, 2 + 20);
  EXPECT_EQ(knob->ParamIndex, P::kKnob);
  EXPECT_EQ(knob->Caption, "Knob");
  EXPECT_FLOAT_EQ(knob->Step, 0.01f);
  EXPECT_FLOAT_EQ(Plugin->GuiControlOf(P::kVSlider)->Step, 0.01f) << "10 of 1000";
  EXPECT_NE(Plugin->ControlOf<TSPThemeGUIVUMeter>(P::kLED), nullptr);
  EXPECT_TRUE(Plugin->GuiControlOf(P::kValueMenu)->ValueMenu);
  EXPECT_EQ(Plugin->GuiControlOf(P::kNoKind), nullptr);
  EXPECT_EQ(Plugin->GuiControlOf(P::kNoPanel), nullptr);
}

TEST_F(PluginEditorTest, TheEditorOpensAtItsSizeAndShowsTheTree) {
  TVstRect* rect = nullptr;
  ASSERT_EQ(Dispatch(Effect, kEffEditGetRect, 0, 0, &rect), 1);
  EXPECT_EQ(rect->right, TEditorTestPlugin::kWidth) << "known before the first open";
  EXPECT_EQ(rect->bottom, TEditorTestPlugin::kHeight);
  TStubPlatformWindow& w = Open();
  EXPECT_EQ(w.W, TEditorTestPlugin::kWidth);
  EXPECT_EQ(w.H, TEditorTestPlugin::kHeight);
  EXPECT_TRUE(Plugin->GuiBody()->Attached);
  EXPECT_TRUE(WindowShowsFront()) << "the first paint shows the whole composed body";
  ASSERT_TRUE(Plugin->GuiBody()->Front->SaveToPngFile(TestOutputPath("editor-test-plugin.png")));
  // The knob drew itself (its picture differs from the panel behind it).
  const TSPThemeGUIControl* knob = Plugin->GuiControlOf(TEditorTestPlugin::kKnob);
  EXPECT_GT(knob->Width, 8);
  EXPECT_FALSE(knob->PaintedRect.IsEmpty());
}

TEST_F(PluginEditorTest, OpenRequestsThatCannotBeServedAnswerZeroAndLeaveThePluginWorking) {
  EXPECT_EQ(Dispatch(Effect, kEffEditOpen, 0, 0, nullptr), 0);
  EXPECT_FALSE(Plugin->LastEditorError().empty());
  EXPECT_EQ(Plugin->EditorWindow(), nullptr);
  EXPECT_FALSE(Plugin->GuiBody()->Attached);
  Idle();
  EXPECT_EQ(Dispatch(Effect, kEffEditClose), 0);
  plugin_test::TStereoBuffers out(256);
  Effect->processReplacing(Effect, nullptr, out.Pointers, 256);
  Open();
  EXPECT_TRUE(WindowShowsFront());
}

TEST_F(PluginEditorTest, OpeningTwiceKeepsOneWindowAndClosingTwiceAnswersOneThenZero) {
  TStubPlatformWindow* first = &Open();
  EXPECT_EQ(Dispatch(Effect, kEffEditOpen, 0, 0, HostWindow()), 1);
  EXPECT_EQ(Plugin->OpenWindow(), first);
  EXPECT_EQ(Dispatch(Effect, kEffEditClose), 1);
  EXPECT_FALSE(Plugin->GuiBody()->Attached);
  EXPECT_EQ(Dispatch(Effect, kEffEditClose), 0);
}

TEST_F(PluginEditorTest, AWindowThatWentWithTheHostsWindowIsReplacedAtTheNextOpen) {
  TStubPlatformWindow* first = &Open();
  first->Open = false;  // destroyed with its parent
  Idle();
  EXPECT_EQ(Dispatch(Effect, kEffEditOpen, 0, 0, HostWindow()), 1);
  ASSERT_NE(Plugin->OpenWindow(), nullptr);
  EXPECT_TRUE(Plugin->OpenWindow()->Open);
  Idle();
  EXPECT_TRUE(WindowShowsFront());
}

TEST_F(PluginEditorTest, ADragTellsTheHostTheStoredValuesInsideOneGesture) {
  Open();
  auto* knob = Plugin->ControlOf<TSPThemeGUIFader>(TEditorTestPlugin::kKnob);
  const auto before = Plugin->OpenWindow()->Pixels;
  Drag(knob, {-5, -10, -20});
  EXPECT_EQ(TEditorHost::Take(), "[aaa]");
  const float value = Plugin->GetParameterValue(TEditorTestPlugin::kKnob);
  EXPECT_EQ(value, knob->Value);
  EXPECT_GT(value, 0.0f);
  ASSERT_EQ(TEditorHost::Automated.size(), 3u);
  EXPECT_EQ(TEditorHost::Automated.back(), std::make_pair(std::int32_t{TEditorTestPlugin::kKnob}, value));
  Idle();
  EXPECT_NE(Plugin->OpenWindow()->Pixels, before) << "the knob shows its new value";
  EXPECT_TRUE(WindowShowsFront());
  EXPECT_FALSE(Plugin->OpenWindow()->Captured);
  EXPECT_FALSE(Plugin->OpenWindow()->Hidden);
}

TEST_F(PluginEditorTest, ClicksAndMenuChoicesAreGesturesToo) {
  TStubPlatformWindow& w = Open();
  auto* edit = Plugin->GuiControlOf(TEditorTestPlugin::kValueEdit);
  const TPoint e = Centre(edit);
  w.Press(e.X, e.Y);
  w.Release(e.X, e.Y);
  EXPECT_EQ(TEditorHost::Take(), "[a]");
  EXPECT_FLOAT_EQ(Plugin->GetParameterValue(TEditorTestPlugin::kValueEdit), 0.01f);

  auto* menu = Plugin->GuiControlOf(TEditorTestPlugin::kValueMenu);
  w.Chooser = [](const std::vector<TMenuItem>& items) {
    for (std::size_t i = 0; i < items.size(); ++i)
      if (items[i].Text == "Sine") return static_cast<int>(i);
    return static_cast<int>(kMenuCancelled);
  };
  const TPoint m = Centre(menu);
  w.Press(m.X, m.Y);
  w.Release(m.X, m.Y);
  ASSERT_EQ(w.MenuItems.size(), 5u);
  EXPECT_EQ(w.MenuItems[0].Text, "Saw");
  EXPECT_EQ(w.MenuItems[4].Text, "Pulse");
  EXPECT_EQ(Plugin->GetParameterValue(TEditorTestPlugin::kValueMenu), 0.5f);
  EXPECT_EQ(TEditorHost::Take(), "[a]");
  // The box shows the parameter's text.
  std::string text;
  menu->OnGetText(menu, text, 0.0f);
  EXPECT_EQ(text, "Sine");
}

TEST_F(PluginEditorTest, ChangesFromTheHostReachTheControlsWithoutEchoAndTenGiveOneRepaint) {
  TStubPlatformWindow& w = Open();
  auto* knob = Plugin->GuiControlOf(TEditorTestPlugin::kKnob);
  const std::int32_t changedBefore = Plugin->ChangedCount;
  const std::size_t presented = w.Presented.size();
  for (int i = 1; i <= 10; ++i) Effect->setParameter(Effect, TEditorTestPlugin::kKnob, static_cast<float>(i) / 20);
  Idle();
  EXPECT_EQ(knob->Value, 0.5f);
  EXPECT_EQ(w.Presented.size(), presented + 1) << "one repaint for ten changes";
  EXPECT_EQ(Plugin->ChangedCount, changedBefore + 10) << "the control stored nothing back";
  EXPECT_EQ(TEditorHost::Take(), "");
  EXPECT_TRUE(WindowShowsFront());
  // A program change reaches every control the same way (once processing
  // has begun, programs apply at once).
  plugin_test::TStereoBuffers out(64);
  Effect->processReplacing(Effect, nullptr, out.Pointers, 64);
  Plugin->Programs[3].Values[TEditorTestPlugin::kKnob] = 0.25f;
  Dispatch(Effect, kEffSetProgram, 0, 3);
  Idle();
  EXPECT_EQ(knob->Value, 0.25f);
  EXPECT_EQ(TEditorHost::Take(), "");
}

TEST_F(PluginEditorTest, ReopeningShowsValuesChangedWhileTheEditorWasClosed) {
  Open();
  auto* knob = Plugin->GuiControlOf(TEditorTestPlugin::kKnob);
  const TRect area = knob->PaintedRect;
  auto pixelsOf = [&] {
    std::vector<std::uint32_t> out;
    for (int y = area.Top; y < area.Bottom; ++y)
      for (int x = area.Left; x < area.Right; ++x) out.push_back(Plugin->OpenWindow()->At(x, y));
    return out;
  };
  const auto atZero = pixelsOf();
  Dispatch(Effect, kEffEditClose);
  Effect->setParameter(Effect, TEditorTestPlugin::kKnob, 0.8f);
  Open();
  EXPECT_EQ(knob->Value, 0.8f);
  EXPECT_NE(pixelsOf(), atZero);
  Dispatch(Effect, kEffEditClose);
  Effect->setParameter(Effect, TEditorTestPlugin::kKnob, 0.0f);
  Open();
  EXPECT_EQ(pixelsOf(), atZero);
}

TEST_F(PluginEditorTest, ClosingDuringADragEndsTheGestureAndFreesTheMouse) {
  Open();
  auto* knob = Plugin->GuiControlOf(TEditorTestPlugin::kKnob);
  Drag(knob, {-10, -20}, false);
  TStubPlatformWindow* w = Plugin->OpenWindow();
  EXPECT_TRUE(w->Captured);
  EXPECT_TRUE(w->Hidden);
  EXPECT_EQ(Dispatch(Effect, kEffEditClose), 1);
  EXPECT_EQ(TEditorHost::Take(), "[aa]");
  EXPECT_FALSE(knob->Pressed);
  EXPECT_FALSE(knob->IsUpdating());
  EXPECT_EQ(Plugin->GuiBody()->CapturedControl, nullptr);
  // The next session starts clean.
  TStubPlatformWindow& again = Open();
  const TPoint p = Centre(knob);
  again.Press(p.X, p.Y);
  again.Release(p.X, p.Y);
  EXPECT_EQ(TEditorHost::Take(), "[a]");
}

TEST_F(PluginEditorTest, RepaintsRunOffTheWindowsThreadShowAtTheNextIdle) {
  TStubPlatformWindow& w = Open();
  auto* knob = Plugin->GuiControlOf(TEditorTestPlugin::kKnob);
  w.OwnerThread = false;
  knob->SetValue(0.9f);
  PumpPostBacks();  // as a host's idle on another thread would
  const std::size_t presented = w.Presented.size();
  w.OwnerThread = true;
  Plugin->OpenWindow()->Presented.clear();
  Idle();
  ASSERT_FALSE(w.Presented.empty());
  EXPECT_EQ(w.Presented[0].Left, knob->PaintedRect.Left);
  (void)presented;
  EXPECT_TRUE(WindowShowsFront());
}

TEST_F(PluginEditorTest, ThePluginDestroyedWithRepaintsAndUpdatesPendingLeavesNothingToRun) {
  Open();
  for (int i = 0; i < 5; ++i) Effect->setParameter(Effect, TEditorTestPlugin::kKnob + i, 0.3f);
  PumpPostBacks();  // the controls' repaint requests now wait
  Effect->setParameter(Effect, TEditorTestPlugin::kKnob, 0.6f);  // and a value update
  Dispatch(Effect, kEffClose);
  Plugin.release();
  EXPECT_EQ(PumpPostBacks(), 0u);
}

TEST_F(PluginEditorTest, TheHostHearsTheStoredClampedValue) {
  Plugin->OnGuiControlChange(TEditorTestPlugin::kKnob, 1.7f, true);
  Plugin->OnGuiControlChange(TEditorTestPlugin::kKnob, -3.0f, true);
  ASSERT_EQ(TEditorHost::Automated.size(), 2u);
  EXPECT_EQ(TEditorHost::Automated[0].second, 1.0f);
  EXPECT_EQ(TEditorHost::Automated[1].second, 0.0f);
  Plugin->OnGuiControlChange(TEditorTestPlugin::kKnob, 0.5f, false);
  EXPECT_EQ(TEditorHost::Automated.size(), 2u) << "outside a gesture nothing is automated";
  EXPECT_EQ(Plugin->GetParameterValue(TEditorTestPlugin::kKnob), 0.5f);
}

TEST_F(PluginEditorTest, ValueMenusListEveryWholeValueOfTheParameter) {
  std::vector<std::string> strings;
  std::int32_t count = 0;
  TSPThemeGUIControl* menu = Plugin->GuiControlOf(TEditorTestPlugin::kValueMenu);
  Plugin->GetGuiValueStrings(menu, strings, count);
  EXPECT_EQ(count, 5);
  EXPECT_EQ(strings, (std::vector<std::string>{"Saw", "Square", "Sine", "Noise", "Pulse"}));
  // A huge range is cut to a menu one can use.
  strings.clear();
  count = 0;
  Plugin->ParamInfo[TEditorTestPlugin::kValueMenu].Max = 1e9f;
  Plugin->GetGuiValueStrings(menu, strings, count);
  EXPECT_EQ(count, TSPThemeGUIController::kMaxValueMenuEntries);
}

// Without the has-GUI flag nothing of the editor is made.
class TNoGuiPlugin : public TEditorTestPlugin {
 public:
  TNoGuiPlugin() { HasGuiFlag = false; }
};

TEST(PluginEditorNoGui, APluginWithoutEditorMakesNoTreeAndOpensNothing) {
  TEditorHost::Reset();
  auto plugin = MakeEditorPlugin<TNoGuiPlugin>();
  EXPECT_EQ(plugin->GuiBody(), nullptr);
  EXPECT_EQ(plugin->GuiPanelCount(), 0);
  EXPECT_EQ(plugin->GuiControlOf(TEditorTestPlugin::kKnob), nullptr);
  EXPECT_EQ(Dispatch(plugin->GetEffect(), kEffEditOpen, 0, 0, HostWindow()), 0);
  plugin->GetEffect()->setParameter(plugin->GetEffect(), TEditorTestPlugin::kKnob, 0.4f);
  EXPECT_EQ(PumpPostBacks(), 0u);
}

// A host's audio thread renders all along while the editor thread opens,
// drags, clicks, idles and closes the editor and a third thread automates
// parameters: the render thread keeps going and nothing races.
TEST(EditorStress, RenderingGoesOnWhileTheEditorIsUsedFromAnotherThread) {
  TEditorHost::Reset();
  PumpPostBacks();
  auto plugin = MakeEditorPlugin();
  TVstEffect* e = plugin->GetEffect();
  plugin_test::TRenderThread render(e, 128, [](int block, plugin_test::TEventList& events) {
    if (block % 8 == 0) events.Add(0, 0x90, static_cast<std::uint8_t>(40 + block % 24), 100);
    if (block % 8 == 4) events.Add(0, 0x80, static_cast<std::uint8_t>(40 + (block - 4) % 24), 0);
    if (block % 5 == 0) events.Add(1, 0xB0, 7, static_cast<std::uint8_t>(block % 128));
  });
  std::atomic<bool> stop{false};
  std::thread automation([&] {
    for (int k = 0; !stop.load(); ++k) {
      e->setParameter(e, TEditorTestPlugin::kKnob + k % 8, static_cast<float>(k % 11) / 10.0f);
      std::this_thread::yield();
    }
  });
  int sessions = 0;
  for (int session = 0; session < 6; ++session) {
    ASSERT_EQ(Dispatch(e, kEffEditOpen, 0, 0, HostWindow()), 1);
    TStubPlatformWindow* w = plugin->OpenWindow();
    for (int round = 0; round < 10; ++round) {
      for (std::int32_t param : {TEditorTestPlugin::kKnob, TEditorTestPlugin::kVSlider, TEditorTestPlugin::kSwitch}) {
        const TSPThemeGUIControl* c = plugin->GuiControlOf(param);
        const TPoint p = Centre(c);
        w->Press(p.X, p.Y);
        w->Move(p.X, p.Y - 3 - round);
        Dispatch(e, kEffEditIdle);
        w->Release(p.X, p.Y - 3 - round);
      }
      Dispatch(e, kEffEditIdle);
    }
    const int before = render.Blocks();
    render.WaitBlocks(2);
    EXPECT_GT(render.Blocks(), before);
    if (session % 2 == 0) {
      // Closed in the middle of a drag.
      const TPoint p = Centre(plugin->GuiControlOf(TEditorTestPlugin::kKnob));
      w->Press(p.X, p.Y);
      w->Move(p.X, p.Y - 7);
    }
    EXPECT_EQ(Dispatch(e, kEffEditClose), 1);
    ++sessions;
  }
  stop = true;
  automation.join();
  render.Stop();
  EXPECT_TRUE(render.AllFinite());
  EXPECT_EQ(sessions, 6);
  // Every begin has its end.
  const std::string notices = TEditorHost::Take();
  int depth = 0;
  for (char c : notices) {
    if (c == '[') ++depth;
    if (c == ']') --depth;
    ASSERT_GE(depth, 0);
    ASSERT_LE(depth, 1);
  }
  EXPECT_EQ(depth, 0);
  Dispatch(e, kEffClose);
  plugin.release();
}

}  // namespace
