// The control tree on its own: repaint requests and what reaches the
// window, hidden panels and notebook pages, control lifetime, the leaves'
// kinds and pictures, and mouse editing (drags, clicks, switches, cursor,
// value menus).
#include <gtest/gtest.h>

#include <cstdlib>
#include <limits>
#include <memory>

#include "gui/theme/theme_painters.h"
#include "tests/gui/controls/editor_test_support.h"

namespace {

using editor_test::TStubGuiWindow;

std::vector<std::uint32_t> Region(const TBitmap& b, const TRect& r) {
  std::vector<std::uint32_t> out;
  for (int y = r.Top; y < r.Bottom; ++y)
    for (int x = r.Left; x < r.Right; ++x) out.push_back(b.ScanLine(y)[x] & 0xFFFFFFu);
  return out;
}

std::vector<std::uint32_t> All(const TBitmap& b) { return Region(b, b.ClientRect()); }

// Records value changes ("v" inside a gesture, "x" outside) and gesture brackets.
struct TRecorder {
  std::string Events;
  void Changed(TSPThemeGUIControl* c) { Events += c->IsUpdating() ? 'v' : 'x'; }
  void Gesture(TSPThemeGUIControl*, bool begin) { Events += begin ? '[' : ']'; }
};

struct TStrings {
  std::vector<std::string> Texts;
  void Get(TSPThemeGUIControl*, std::vector<std::string>& out, std::int32_t& count) {
    out = Texts;
    count = static_cast<std::int32_t>(Texts.size());
  }
};

class TreeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    PumpPostBacks();  // whatever earlier tests left
    Body = std::make_unique<TSPThemeGUIBody>();
    Body->Width = 320;
    Body->Height = 200;
    Body->UpdateLayout();
    Window.Attach(*Body);
  }
  template <typename T = TSPThemeGUIFader>
  T* Make(std::int32_t kind, TSPThemeGUIControl* parent, int top, int left, float value) {
    auto* c = dynamic_cast<T*>(CreateGuiControlByKind(kind, parent));
    c->RelTop = top, c->RelLeft = left, c->Caption = "Cap";
    c->UpdateLayout();
    c->Value = value;
    c->Step = kind == kGuiSwitch ? 1.0f : 0.01f;
    c->OnValueChanged = TSPThemeGUIControl::TNotifyEvent::Bind<&TRecorder::Changed>(&Recorder);
    c->OnGesture = TSPThemeGUIControl::TGestureEvent::Bind<&TRecorder::Gesture>(&Recorder);
    return c;
  }
  TSPThemeGUIPanel* Panel(TSPThemeGUIControl* parent) {
    auto* p = new TSPThemeGUIPanel(parent, "Panel");
    p->Left = 10, p->Top = 10, p->Width = 300, p->Height = 180;
    p->UpdateLayout();
    return p;
  }
  void Press(int x, int y, TMouseButton b = TMouseButton::mbLeft) {
    bool handled = false;
    Body->MouseDown(b, 0, x, y, handled);
  }
  void Move(int x, int y) {
    bool handled = false;
    Body->MouseMove(0, x, y, handled);
  }
  void Click(int x, int y, TMouseButton b = TMouseButton::mbLeft) {
    Press(x, y, b);
    bool handled = false;
    Body->MouseUp(b, 0, x, y, handled);
  }
  // What a control paints on a plain bitmap, and what a painter call gives.
  static TBitmap Plain() {
    TBitmap b(320, 200);
    b.Canvas().FillRectColor(b.ClientRect(), 0x202020);
    return b;
  }
  static TBitmap PaintOf(TSPThemeGUIControl* c) {
    TBitmap b = Plain();
    c->Paint(b.Canvas());
    return b;
  }

  TStubGuiWindow Window;
  std::unique_ptr<TSPThemeGUIBody> Body;
  TRecorder Recorder;
  TStrings Strings;
};

TEST_F(TreeTest, RepaintRequestsCoalesceAndTheWindowGetsTheOldAndTheNewPicture) {
  Body->FrontDC();  // composed before the knob exists: it was never painted
  auto* knob = Make(kGuiKnob, Body.get(), 60, 60, 0.5f);
  std::string text = "a long value text";
  struct TText {
    std::string* Text;
    void Get(TSPThemeGUIControl*, std::string& t, float) { t = *Text; }
  } supplier{&text};
  knob->OnGetText = TSPThemeGUIControl::TGetTextEvent::Bind<&TText::Get>(&supplier);
  knob->SetValue(0.5f);  // the value it has: nothing
  EXPECT_EQ(PumpPostBacks(), 0u);
  for (int i = 1; i <= 10; ++i) knob->SetValue(static_cast<float>(i) / 10.0f);
  EXPECT_EQ(PumpPostBacks(), 1u) << "ten changes, one repaint";
  const TRect wide = knob->PaintedRect;
  ASSERT_EQ(Window.Shown.size(), 1u);
  EXPECT_EQ(Window.Shown[0], wide) << "the first repaint reaches the window too";
  text = "1";
  knob->SetValue(0.9f);
  PumpPostBacks();
  const TRect narrow = knob->PaintedRect;
  ASSERT_LT(narrow.Width(), wide.Width());
  ASSERT_EQ(Window.Shown.size(), 2u);
  EXPECT_EQ(Window.Shown[1], UnionRect(wide, narrow)) << "the window must lose the old text";
  int stale = 0;
  for (int y = wide.Top; y < wide.Bottom; ++y)
    for (int x = wide.Left; x < wide.Right; ++x)
      if ((x < narrow.Left || x >= narrow.Right || y < narrow.Top || y >= narrow.Bottom) &&
          (Body->Front->ScanLine(y)[x] & 0xFFFFFFu) != (Body->Background->ScanLine(y)[x] & 0xFFFFFFu))
        ++stale;
  EXPECT_EQ(stale, 0) << "where only the old picture was, the front is the background again";
  EXPECT_EQ(Recorder.Events, "") << "no gesture, Notify off: nobody is told";
}

TEST_F(TreeTest, HiddenPanelsPagesAndDetachedBodiesRepaintNothing) {
  TSPThemeGUIPanel* outer = Panel(Body.get());
  TSPThemeGUIPanel* inner = Panel(outer);  // visible itself, on no notebook
  auto* knob = Make(kGuiKnob, inner, 10, 10, 0.5f);
  TSPThemeGUIPanel* page = Panel(Body.get());
  page->NoteBookGroup = 10, page->NoteBookPage = 5;
  auto* paged = Make(kGuiKnob, page, 40, 40, 0.5f);
  auto* label = new TSPThemeGUILabel(Body.get());
  label->RelTop = 150, label->RelLeft = 10, label->Caption = "Label";
  label->UpdateLayout();
  Body->FrontDC();
  EXPECT_TRUE(paged->PaintedRect.IsEmpty()) << "a page not shown draws nothing";
  // A label is background: the foreground (and so a single repaint) never draws it.
  TBitmap plain = Plain();
  Body->Paint(plain.Canvas());
  EXPECT_EQ(Region(plain, label->BoundsRect()), Region(Plain(), label->BoundsRect()));
  EXPECT_NE(Region(plain, knob->PaintedRect), Region(Plain(), knob->PaintedRect));

  outer->Visible = false;
  knob->SetValue(0.9f);
  PumpPostBacks();
  EXPECT_TRUE(Window.Shown.empty()) << "a control in a panel inside a hidden panel";

  Body->CapturedControl = knob;
  int invalidations = 0;
  struct TCount {
    int* N;
    void Hit(TSPThemeGUIControl*) { ++*N; }
  } count{&invalidations};
  Body->OnInvalidate = TSPThemeGUIControl::TNotifyEvent::Bind<&TCount::Hit>(&count);
  Body->ShowPage(10, 5);
  EXPECT_TRUE(page->IsShowing());
  EXPECT_FALSE(Body->NeedsRedraw) << "recomposed before ShowPage returns";
  EXPECT_FALSE(paged->PaintedRect.IsEmpty());
  EXPECT_EQ(invalidations, 1);
  EXPECT_EQ(Body->CapturedControl, nullptr);
  page->NoteBookGroup = -1;
  EXPECT_FALSE(page->IsShowing()) << "a notebook group below 1 never shows";

  Body->Attached = false;
  paged->SetValue(0.2f);
  EXPECT_EQ(paged->Value, 0.2f) << "the value is kept";
  EXPECT_EQ(PumpPostBacks(), 1u);
  EXPECT_TRUE(Window.Shown.empty());
  EXPECT_TRUE(paged->RepaintAllowed);
}

TEST_F(TreeTest, ControlsTakeTheirPostedRepaintsWithThemAndARefusedPostBlocksNothing) {
  auto* knob = Make(kGuiKnob, Body.get(), 20, 20, 0.5f);
  auto* other = Make(kGuiKnob, Body.get(), 20, 80, 0.5f);
  knob->SetValue(0.1f);
  other->SetValue(0.2f);
  delete knob;  // leaves the body's list: no double free when the body goes
  EXPECT_EQ(Body->Children().size(), 1u);
  EXPECT_EQ(PumpPostBacks(), 1u);
  // The process-wide queue refuses everything once shut down: in a child process.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        ShutdownPostBacks();
        other->SetValue(0.7f);
        std::exit(other->RepaintAllowed ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
  other->SetValue(0.3f);
  Body.reset();
  EXPECT_EQ(PumpPostBacks(), 0u);
}

TEST_F(TreeTest, LeavesPaintWhatTheirValueAndKindSay) {
  TSPThemeGUIFader* knob = Make(kGuiKnob, Body.get(), 20, 30, 0.25f);
  TBitmap expected = Plain();
  TRect r = Bounds(30, 20, 8, 8), thumb{}, painted{};
  DrawThemeFader(knob->Style, expected.Canvas(), r, thumb, 0.25, "0.25", "Cap", painted);
  EXPECT_EQ(All(PaintOf(knob)), All(expected));
  EXPECT_EQ(knob->PaintedRect, painted);
  EXPECT_EQ(knob->Width, r.Width()) << "the control takes its picture's size";
  EXPECT_GT(knob->Width, 8);

  // A value edit is always drawn with its "off" picture.
  TSPThemeGUIFader* edit = Make(kGuiValueEdit, Body.get(), 60, 30, 0.0f);
  edit->ShowValue = edit->ShowCaption = false;
  const TBitmap off = PaintOf(edit);
  edit->Value = 1.0f;
  EXPECT_EQ(All(PaintOf(edit)), All(off));

  // A switch at exactly 0.5 (never set) is off; its button form names the other state.
  auto* sw = Make<TSPThemeGUISwitch>(kGuiSwitch, Body.get(), 100, 30, 0.0f);
  const TBitmap swOff = PaintOf(sw);
  sw->Value = 0.5f;
  EXPECT_EQ(All(PaintOf(sw)), All(swOff));
  sw->Value = 1.0f;
  EXPECT_NE(All(PaintOf(sw)), All(swOff));
  auto* button = Make<TSPThemeGUISwitch>(kGuiButtonSwitch, Body.get(), 140, 30, 0.0f);
  expected = Plain();
  r = Bounds(30, 140, 8, 8);
  DrawThemeButton(button->Style, expected.Canvas(), r, false, "Cap", "On", painted);
  EXPECT_EQ(All(PaintOf(button)), All(expected));

  // Meters paint nothing; a control without theme entry paints the placeholder at its size.
  auto* meter = Make<TSPThemeGUIVUMeter>(kGuiLED, Body.get(), 20, 200, 0.0f);
  EXPECT_EQ(All(PaintOf(meter)), All(Plain()));
  knob->Style = nullptr;
  knob->Width = 60, knob->Height = 40;
  expected = Plain();
  DrawNoThemeControl(expected.Canvas(), Bounds(30, 20, 60, 40));
  EXPECT_EQ(All(PaintOf(knob)), All(expected));
  EXPECT_EQ(knob->Width, 60);

  // Descriptor flags: 0x02 wins over 0x04, 0x20 centres, 0x80 hides the value.
  ApplyGuiFlags(*edit, 0x06 | 0x20 | 0x80);
  EXPECT_EQ(std::tuple(edit->CaptionHAlign, edit->CaptionVAlign, edit->ShowValue), std::tuple(0, 1, false));
}

TEST_F(TreeTest, NotebookButtonsShowTheirPageAndTheShownPagesButtonIsOn) {
  TSPThemeGUIPanel* page5 = Panel(Body.get());
  page5->NoteBookGroup = 10, page5->NoteBookPage = 5, page5->ActivePage = 5;
  auto* b5 = new TSPThemeGUINoteBookButton(Body.get());
  auto* b6 = new TSPThemeGUINoteBookButton(Body.get());
  b5->NoteBookGroup = b6->NoteBookGroup = 10, b5->NoteBookPage = 5, b6->NoteBookPage = 6;
  b5->ActivePage = b6->ActivePage = 5, b5->RelTop = 10, b6->RelTop = 60;
  b5->UpdateLayout(), b6->UpdateLayout();
  auto button = [&](bool on) {
    TBitmap b = Plain();
    TRect r = b5->BoundsRect(), painted{};
    DrawThemeButton(b5->Style, b.Canvas(), r, on, "", "", painted);
    return All(b);
  };
  EXPECT_EQ(All(PaintOf(b5)), button(true));
  Click(2, 62);
  EXPECT_EQ(std::tuple(b5->ActivePage, b6->ActivePage, page5->ActivePage), std::tuple(6, 6, 6));
  EXPECT_FALSE(page5->IsShowing());
  EXPECT_EQ(All(PaintOf(b5)), button(false));
}

TEST_F(TreeTest, DragsStepPastThePixelDistanceAndClicksStepWithinTheRange) {
  auto* knob = Make(kGuiKnob, Body.get(), 100, 100, 0.5f);
  knob->Width = knob->Height = 30;
  Press(110, 110);
  Move(110, 100);
  EXPECT_NEAR(knob->Value, 0.55f, 1e-6) << "round((0.5 + 10/255) / 0.01) x 0.01 + 0.01";
  Move(110, 99);
  EXPECT_NEAR(knob->Value, 0.56f, 1e-6) << "one pixel still moves a step";
  Move(110, 99);
  Move(110, 400);
  EXPECT_EQ(knob->Value, 0.0f);
  Click(110, 400);  // the release of the drag: no click
  EXPECT_EQ(Recorder.Events, "[vvv]");
  knob->Value = 1.0f;
  Recorder.Events.clear();
  Click(110, 110);
  Click(110, 110, TMouseButton::mbRight);
  Click(110, 110, TMouseButton::mbMiddle);
  EXPECT_NEAR(knob->Value, 0.98f, 1e-6);
  EXPECT_EQ(Recorder.Events, "[][v][v]") << "at the maximum the left button changes nothing";
  // Routing: nothing takes a press on an empty area; a press while a control
  // holds the mouse is taken and does nothing.
  bool handled = false;
  Body->MouseDown(TMouseButton::mbLeft, 0, 5, 5, handled);
  EXPECT_FALSE(handled);
  Body->CapturedControl = knob;
  Body->MouseDown(TMouseButton::mbLeft, 0, 5, 5, handled);
  EXPECT_TRUE(handled);
}

TEST_F(TreeTest, SwitchesToggleOnEveryRelease) {
  auto* sw = Make<TSPThemeGUISwitch>(kGuiSwitch, Body.get(), 100, 100, 0.0f);
  sw->Width = sw->Height = 20;
  Click(105, 105);
  EXPECT_EQ(sw->Value, 1.0f);
  sw->Value = 0.0f;
  Press(105, 105);
  Move(105, 103);
  EXPECT_EQ(sw->Value, 2.0f) << "a drag steps through its range 0..2";
  Click(105, 103);
  EXPECT_EQ(sw->Value, 0.0f) << "toggled from where the drag left it";
  sw->Value = 0.5f;
  Click(105, 105);
  EXPECT_EQ(sw->Value, 0.0f);
  EXPECT_EQ(Window.Warps, 0) << "a switch leaves the pointer where it is";
}

TEST_F(TreeTest, AFaderDragHidesTheCursorAndPutsItBackAndOthersStayQuiet) {
  auto* knob = Make(kGuiKnob, Body.get(), 100, 100, 0.5f);
  knob->Width = knob->Height = 30;
  auto* sw = Make<TSPThemeGUISwitch>(kGuiSwitch, Body.get(), 10, 200, 0.0f);
  Window.Cursor = {210, 160};
  Press(110, 110);
  Window.Cursor = {210, 120};
  Move(110, 70);
  EXPECT_TRUE(Window.Hidden);
  // Moving over another control while this one holds the mouse changes nothing.
  bool handled = false;
  const int calls = Window.CursorCalls;
  sw->MouseMove(0, 205, 15, handled);
  EXPECT_FALSE(handled);
  EXPECT_EQ(Window.CursorCalls, calls);
  Click(110, 70);
  EXPECT_FALSE(Window.Hidden);
  EXPECT_EQ(Window.Cursor, (TPoint{210, 160}));
  // A gesture left open (its release lost) ends before the next begins.
  Recorder.Events.clear();
  Press(110, 110);
  Body->CapturedControl = nullptr;
  knob->Pressed = false;
  Click(110, 110);
  EXPECT_EQ(Recorder.Events, "[][v]");
  // Closing the window mid-gesture ends it without a click.
  Press(110, 110);
  knob->CancelGesture();
  EXPECT_EQ(Recorder.Events, "[][v][]");
}

TEST_F(TreeTest, StepsThatAreZeroOrNotNumbersLeaveTheControlAlone) {
  for (float step : {0.0f, std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity()}) {
    auto* knob = Make(kGuiKnob, Body.get(), 100, 100, 0.5f);
    knob->Width = knob->Height = 30;
    knob->Step = step;
    Press(110, 110);
    Move(110, 60);
    Click(110, 60, TMouseButton::mbRight);
    EXPECT_EQ(knob->Value, 0.5f) << step;
    EXPECT_EQ(Body->CapturedControl, nullptr);
    delete knob;
  }
  EXPECT_EQ(Recorder.Events, "");
}

TEST_F(TreeTest, ValueMenusShowColumnsOfSixteenAndSetIOverNMinusOne) {
  auto* f = Make(kGuiValueEditMenu, Body.get(), 100, 100, 0.5f);
  f->Width = f->Height = 30;
  f->OnGetValueStrings = TSPThemeGUIControl::TGetValueStringsEvent::Bind<&TStrings::Get>(&Strings);
  for (int i = 0; i < 40; ++i) Strings.Texts.push_back("Value " + std::to_string(i));
  Click(110, 110);
  std::vector<int> columns{0};
  for (const TMenuItem& item : Window.MenuItems) {
    if (item.BarBreak) columns.push_back(0);
    ++columns.back();
    EXPECT_EQ(item.Checked, item.Tag == 20) << "round(39 x 0.5), ties to even";
  }
  EXPECT_EQ(columns, (std::vector<int>{16, 16, 8}));
  EXPECT_EQ(Window.MenuAt, (TPoint{200, 150})) << "at the control's corner on the screen";
  EXPECT_EQ(f->Value, 0.5f) << "cancelled";
  auto choose = [&](std::vector<std::string> texts, int index) {
    Strings.Texts = std::move(texts);
    Window.Chooser = [index](const std::vector<TMenuItem>&) { return index; };
    Click(110, 110);
    return f->Value;
  };
  EXPECT_EQ(choose({"a", "b", "c", "d", "e"}, 0), 0.0f);
  EXPECT_EQ(choose({"a", "b", "c", "d", "e"}, 4), 1.0f);
  EXPECT_EQ(choose({"only"}, 0), 0.0f);
  EXPECT_EQ(choose({"low", "  ", "high"}, 1), 1.0f) << "the blank entry is not shown";
  EXPECT_EQ(Window.MenuItems.size(), 2u);
  EXPECT_EQ(Recorder.Events, "[v][v][v][v]") << "each choice is one gesture";
  f->OnGetValueStrings = {};
  const int menus = Window.Menus;
  Click(110, 110);
  EXPECT_EQ(Window.Menus, menus) << "without texts no menu, not the last one again";
  EXPECT_EQ(Body->CapturedControl, nullptr);
}

}  // namespace
