// Mouse editing of the value controls: drag steps, clicks, switch toggles,
// value menus in columns of 16, cursor hiding and putting back, gestures,
// and controls that cannot be edited.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "gui/controls/gui_control.h"
#include "gui/controls/gui_leaf_controls.h"
#include "tests/gui/controls/editor_test_support.h"

namespace {

using editor_test::TStubGuiWindow;

// What a control tells its owner: value changes (with the gesture state)
// and gesture brackets, as text: "[" begin, "v" value, "]" end.
struct TRecorder {
  std::string Events;
  std::vector<float> Values;
  void Changed(TSPThemeGUIControl* c) {
    Events += c->IsUpdating() ? 'v' : 'x';
    Values.push_back(c->Value);
  }
  void Gesture(TSPThemeGUIControl*, bool begin) { Events += begin ? '[' : ']'; }
  void Bind(TSPThemeGUIControl& c) {
    c.OnValueChanged = TSPThemeGUIControl::TNotifyEvent::Bind<&TRecorder::Changed>(this);
    c.OnGesture = TSPThemeGUIControl::TGestureEvent::Bind<&TRecorder::Gesture>(this);
  }
};

// Supplies a fixed list of value texts.
struct TStrings {
  std::vector<std::string> Texts;
  void Get(TSPThemeGUIControl*, std::vector<std::string>& out, std::int32_t& count) {
    for (const std::string& t : Texts) {
      out.push_back(t);
      ++count;
    }
  }
};

class MouseTest : public ::testing::Test {
 protected:
  void SetUp() override {
    PumpPostBacks();
    Body = std::make_unique<TSPThemeGUIBody>();
    Body->Width = 400;
    Body->Height = 300;
    Body->UpdateLayout();
    Window.Attach(*Body);
  }
  TSPThemeGUIFader* Knob(float value, float step) {
    auto* f = new TSPThemeGUIFader(Body.get());
    f->RelTop = 100;
    f->RelLeft = 100;
    f->UpdateLayout();
    f->Width = 30;
    f->Height = 30;
    f->Value = value;
    f->Step = step;
    Recorder.Bind(*f);
    return f;
  }
  TSPThemeGUISwitch* Switch(float value) {
    auto* s = new TSPThemeGUISwitch(Body.get());
    s->RelTop = 200;
    s->RelLeft = 200;
    s->UpdateLayout();
    s->Width = 20;
    s->Height = 20;
    s->Value = value;
    Recorder.Bind(*s);
    return s;
  }
  void Press(int x, int y, TMouseButton b = TMouseButton::mbLeft) {
    bool handled = false;
    Body->MouseDown(b, 0, x, y, handled);
  }
  void Move(int x, int y) {
    bool handled = false;
    Body->MouseMove(0, x, y, handled);
  }
  void Release(int x, int y, TMouseButton b = TMouseButton::mbLeft) {
    bool handled = false;
    Body->MouseUp(b, 0, x, y, handled);
  }
  // A value menu control with these texts; the window chooses `choice`.
  TSPThemeGUIFader* MenuControl(std::vector<std::string> texts, int choiceIndex) {
    Strings.Texts = std::move(texts);
    TSPThemeGUIFader* f = Knob(0.0f, 0.1f);
    f->ValueMenu = true;
    f->OnGetValueStrings = TSPThemeGUIControl::TGetValueStringsEvent::Bind<&TStrings::Get>(&Strings);
    Window.Chooser = [choiceIndex](const std::vector<TMenuItem>&) { return choiceIndex; };
    return f;
  }

  TStubGuiWindow Window;
  std::unique_ptr<TSPThemeGUIBody> Body;
  TRecorder Recorder;
  TStrings Strings;
};

TEST_F(MouseTest, OneMoveTenPixelsUpStepsPastThePixelDistance) {
  TSPThemeGUIFader* knob = Knob(0.5f, 0.01f);
  Press(110, 110);
  Move(110, 100);
  // round((0.5 + 10/255) / 0.01) x 0.01 + 0.01
  EXPECT_NEAR(knob->Value, 0.55f, 1e-6);
  // A slow drag still advances a step per event.
  Move(110, 99);
  EXPECT_NEAR(knob->Value, 0.56f, 1e-6);
  Move(110, 99);  // no change of y
  EXPECT_NEAR(knob->Value, 0.56f, 1e-6);
  Move(110, 300);  // far down: clamped
  EXPECT_EQ(knob->Value, 0.0f);
  Release(110, 300);
  EXPECT_EQ(Recorder.Events, "[vvv]") << "every change inside one gesture, none after the release";
}

TEST_F(MouseTest, ClicksStepUpWithTheLeftButtonAndDownWithTheOthersWithinTheRange) {
  TSPThemeGUIFader* knob = Knob(1.0f, 0.1f);
  Press(110, 110);
  Release(110, 110);
  EXPECT_EQ(knob->Value, 1.0f) << "at the maximum the left button changes nothing";
  Press(110, 110, TMouseButton::mbRight);
  Release(110, 110, TMouseButton::mbRight);
  EXPECT_NEAR(knob->Value, 0.9f, 1e-6);
  Press(110, 110, TMouseButton::mbMiddle);
  Release(110, 110, TMouseButton::mbMiddle);
  EXPECT_NEAR(knob->Value, 0.8f, 1e-6);
  EXPECT_EQ(Recorder.Events, "[][v][v]");
}

TEST_F(MouseTest, SwitchesToggleOnReleaseAfterAClickOrADrag) {
  TSPThemeGUISwitch* sw = Switch(0.0f);
  Press(205, 205);
  Release(205, 205);
  EXPECT_EQ(sw->Value, 1.0f);
  // A drag moves it by steps (its range is 0..2), the release toggles from there.
  sw->Value = 0.0f;
  Press(205, 205);
  Move(205, 203);
  EXPECT_EQ(sw->Value, 2.0f);
  Release(205, 203);
  EXPECT_EQ(sw->Value, 0.0f);
  // Never set (exactly 0.5): a click turns it off.
  sw->Value = 0.5f;
  Press(205, 205);
  Release(205, 205);
  EXPECT_EQ(sw->Value, 0.0f);
  EXPECT_FALSE(sw->HideCursor);
  EXPECT_TRUE(Window.Warps.empty()) << "a switch leaves the pointer where it is";
}

TEST_F(MouseTest, AFaderDragHidesTheCursorAndPutsItBackWhereThePressWas) {
  Knob(0.5f, 0.01f)->UpdateLayout();  // faders hide the cursor
  Window.Cursor = {210, 160};
  Press(110, 110);
  EXPECT_FALSE(Window.Hidden);
  Window.Cursor = {210, 120};
  Move(110, 70);
  EXPECT_TRUE(Window.Hidden);
  Release(110, 70);
  EXPECT_FALSE(Window.Hidden);
  ASSERT_EQ(Window.Warps.size(), 1u);
  EXPECT_EQ(Window.Warps[0], (TPoint{210, 160}));
}

TEST_F(MouseTest, MovingOverAControlWhileAnotherHoldsTheMouseChangesNothing) {
  TSPThemeGUIFader* knob = Knob(0.5f, 0.01f);
  TSPThemeGUISwitch* sw = Switch(0.0f);
  Press(205, 205);  // the switch holds the mouse
  const int calls = Window.CursorCalls;
  bool handled = false;
  knob->MouseMove(0, 110, 110, handled);
  EXPECT_FALSE(handled);
  EXPECT_EQ(Window.CursorCalls, calls);
  EXPECT_EQ(knob->Value, 0.5f);
  Release(205, 205);
  // Without a captured control, hovering sets the default cursor.
  const int released = Window.CursorCalls;
  handled = false;
  knob->MouseMove(0, 110, 110, handled);
  EXPECT_TRUE(handled);
  EXPECT_EQ(Window.CursorCalls, released + 1);
  EXPECT_FALSE(Window.Hidden);
  EXPECT_EQ(sw->Value, 1.0f);
}

TEST_F(MouseTest, ControlsWhoseStepIsZeroOrNotANumberCannotBeDraggedOrClicked) {
  const float steps[] = {0.0f, std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity()};
  for (float step : steps) {
    Recorder.Events.clear();
    TSPThemeGUIFader* knob = Knob(0.5f, step);
    Press(110, 110);
    Move(110, 60);
    Release(110, 60);
    Press(110, 110, TMouseButton::mbRight);
    Release(110, 110, TMouseButton::mbRight);
    EXPECT_EQ(knob->Value, 0.5f) << step;
    EXPECT_EQ(Recorder.Events, "") << step;
    EXPECT_EQ(Body->CapturedControl, nullptr);
    delete knob;
  }
}

TEST_F(MouseTest, AGestureLeftOpenIsEndedBeforeTheNextOneBegins) {
  TSPThemeGUIFader* knob = Knob(0.5f, 0.01f);
  Press(110, 110);
  Move(110, 100);
  // The release never arrives; the mouse is given up from outside.
  Body->CapturedControl = nullptr;
  knob->Pressed = false;
  Press(110, 110);
  Release(110, 110);
  EXPECT_EQ(Recorder.Events, "[v][v]");
  EXPECT_FALSE(knob->IsUpdating());
}

TEST_F(MouseTest, AValueMenuOfFortyTextsHasColumnsOfSixteen) {
  std::vector<std::string> texts;
  for (int i = 0; i < 40; ++i) texts.push_back("Value " + std::to_string(i));
  TSPThemeGUIFader* f = MenuControl(texts, kMenuCancelled);
  f->Value = 0.5f;
  Press(110, 110);
  ASSERT_EQ(Window.MenuItems.size(), 40u);
  std::vector<int> columns{0};
  for (const TMenuItem& item : Window.MenuItems) {
    if (item.BarBreak) columns.push_back(0);
    ++columns.back();
  }
  EXPECT_EQ(columns, (std::vector<int>{16, 16, 8}));
  // round(39 x 0.5) = 20 (ties to even) is checked.
  for (const TMenuItem& item : Window.MenuItems) EXPECT_EQ(item.Checked, item.Tag == 20) << item.Tag;
  EXPECT_EQ(Window.MenuAt, (TPoint{200, 150})) << "at the control's top-left corner on the screen";
  EXPECT_EQ(Body->CapturedControl, nullptr);
  EXPECT_EQ(f->Value, 0.5f) << "cancelled";
  EXPECT_EQ(Recorder.Events, "");
}

TEST_F(MouseTest, MenuEntryIOfNSetsIOverNMinusOne) {
  TSPThemeGUIFader* f = MenuControl({"a", "b", "c", "d", "e"}, 0);
  f->Value = 0.7f;
  Press(110, 110);
  EXPECT_EQ(f->Value, 0.0f);
  Window.Chooser = [](const std::vector<TMenuItem>&) { return 4; };
  Press(110, 110);
  EXPECT_EQ(f->Value, 1.0f);
  EXPECT_EQ(Recorder.Events, "[v][v]");
  // One text: the only entry sets 0.
  Strings.Texts = {"only"};
  f->Value = 0.7f;
  Window.Chooser = [](const std::vector<TMenuItem>&) { return 0; };
  Press(110, 110);
  EXPECT_EQ(f->Value, 0.0f);
}

TEST_F(MouseTest, BlankValueTextsAreLeftOutButKeepTheirValue) {
  TSPThemeGUIFader* f = MenuControl({"low", "   ", "high"}, 1);
  Press(110, 110);
  ASSERT_EQ(Window.MenuItems.size(), 2u);
  EXPECT_EQ(Window.MenuItems[1].Text, "high");
  EXPECT_EQ(f->Value, 1.0f);
}

TEST_F(MouseTest, AControlWithoutValueTextsOpensNoMenu) {
  TSPThemeGUIFader* f = MenuControl({"a", "b"}, 1);
  Press(110, 110);  // a menu is built and kept by the body
  f->OnGetValueStrings = {};
  Window.Menus = 0;
  Press(110, 110);
  EXPECT_EQ(Window.Menus, 0) << "the last menu must not come back";
  EXPECT_EQ(Body->CapturedControl, nullptr);
}

TEST_F(MouseTest, CancellingAGestureEndsItWithoutAClick) {
  TSPThemeGUIFader* knob = Knob(0.5f, 0.1f);
  Press(110, 110);
  knob->CancelGesture();
  EXPECT_FALSE(knob->Pressed);
  EXPECT_EQ(knob->Value, 0.5f);
  EXPECT_EQ(Recorder.Events, "[]");
}

}  // namespace
