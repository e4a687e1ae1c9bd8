// The leaf controls: the classes and flags each control kind makes, the
// theme list each class draws from, and what they paint.
#include "gui/controls/gui_leaf_controls.h"

#include <gtest/gtest.h>

#include <memory>

#include "gui/theme/default_theme.h"
#include "gui/theme/theme_painters.h"
#include "tests/gui/controls/editor_test_support.h"

namespace {

using editor_test::TStubGuiWindow;

bool SamePixels(const TBitmap& a, const TBitmap& b) {
  if (a.Width() != b.Width() || a.Height() != b.Height()) return false;
  for (int y = 0; y < a.Height(); ++y)
    for (int x = 0; x < a.Width(); ++x)
      if ((a.ScanLine(y)[x] & 0xFFFFFFu) != (b.ScanLine(y)[x] & 0xFFFFFFu)) return false;
  return true;
}

TBitmap Blank() {
  TBitmap b(200, 120);
  b.Canvas().FillRectColor(b.ClientRect(), 0x202020);
  return b;
}

class LeafTest : public ::testing::Test {
 protected:
  void SetUp() override {
    PumpPostBacks();
    Body = std::make_unique<TSPThemeGUIBody>();
    Body->Width = 200;
    Body->Height = 120;
    Body->UpdateLayout();
    Window.Attach(*Body);
  }
  template <typename T>
  T* Make(std::int32_t kind) {
    auto* c = dynamic_cast<T*>(CreateGuiControlByKind(kind, Body.get()));
    EXPECT_NE(c, nullptr) << kind;
    if (c == nullptr) return nullptr;
    c->RelTop = 20;
    c->RelLeft = 30;
    c->Caption = "Cap";
    c->UpdateLayout();
    return c;
  }
  TSPTheme& Theme() { return Themes().ThemeByIndex(0); }

  TStubGuiWindow Window;
  std::unique_ptr<TSPThemeGUIBody> Body;
};

TEST_F(LeafTest, EachKindCodeMakesItsClassWithItsFlags) {
  struct TRow {
    std::int32_t Kind;
    bool Fader, Switch, Meter, Slider, Horizontal, ButtonMode, ValueMenu;
  };
  const TRow rows[] = {
      {kGuiKnob, true, false, false, false, false, false, false},
      {kGuiVSlider, true, false, false, true, false, false, false},
      {kGuiHSlider, true, false, false, true, true, false, false},
      {kGuiVVUMeter, false, false, true, true, false, false, false},
      {kGuiHVUMeter, false, false, true, true, true, false, false},
      {kGuiLED, false, false, true, false, false, false, false},
      {kGuiSwitch, false, true, false, true, true, false, false},
      {kGuiValueEdit, true, false, false, false, false, true, false},
      {kGuiButtonSwitch, false, true, false, true, true, true, false},
      {kGuiValueEditMenu, true, false, false, false, false, true, true},
      {kGuiButtonSwitchMenu, false, true, false, true, true, true, true},
  };
  for (const TRow& r : rows) {
    TSPThemeGUIControl* c = CreateGuiControlByKind(r.Kind, Body.get());
    ASSERT_NE(c, nullptr) << r.Kind;
    EXPECT_EQ(dynamic_cast<TSPThemeGUIFader*>(c) != nullptr, r.Fader) << r.Kind;
    EXPECT_EQ(dynamic_cast<TSPThemeGUISwitch*>(c) != nullptr, r.Switch) << r.Kind;
    EXPECT_EQ(dynamic_cast<TSPThemeGUIVUMeter*>(c) != nullptr, r.Meter) << r.Kind;
    EXPECT_EQ(c->Slider, r.Slider) << r.Kind;
    EXPECT_EQ(c->Horizontal, r.Horizontal) << r.Kind;
    EXPECT_EQ(c->ButtonMode, r.ButtonMode) << r.Kind;
    EXPECT_EQ(c->ValueMenu, r.ValueMenu) << r.Kind;
    EXPECT_EQ(c->Layer, 2) << r.Kind;
    if (r.Switch) {
      EXPECT_EQ(c->Step, 1.0f);
      EXPECT_EQ(c->Max, 2.0f);
    }
  }
  for (std::int32_t kind : {-1, 0, 2, 3, 12, 20, 21, 27, 100})
    EXPECT_EQ(CreateGuiControlByKind(kind, Body.get()), nullptr) << kind;
  EXPECT_EQ(Body->Children().size(), std::size(rows));
}

TEST_F(LeafTest, EachClassDrawsFromItsThemeList) {
  EXPECT_EQ(Make<TSPThemeGUIFader>(kGuiKnob)->Style, Theme().Knobs.StyleByIndex(1));
  EXPECT_EQ(Make<TSPThemeGUIFader>(kGuiVSlider)->Style, Theme().VSliders.StyleByIndex(1));
  EXPECT_EQ(Make<TSPThemeGUIFader>(kGuiHSlider)->Style, Theme().HSliders.StyleByIndex(1));
  EXPECT_EQ(Make<TSPThemeGUIFader>(kGuiValueEdit)->Style, Theme().ValueEdits.StyleByIndex(1));
  EXPECT_EQ(Make<TSPThemeGUIVUMeter>(kGuiVVUMeter)->Style, Theme().VVUMeters.StyleByIndex(1));
  EXPECT_EQ(Make<TSPThemeGUIVUMeter>(kGuiHVUMeter)->Style, Theme().HVUMeters.StyleByIndex(1));
  EXPECT_EQ(Make<TSPThemeGUIVUMeter>(kGuiLED)->Style, Theme().LEDs.StyleByIndex(1));
  EXPECT_EQ(Make<TSPThemeGUISwitch>(kGuiSwitch)->Style, Theme().Switches.StyleByIndex(0));
  TSPThemeGUISwitch* button = Make<TSPThemeGUISwitch>(kGuiButtonSwitch);
  EXPECT_EQ(button->Style, Theme().ValueEdits.StyleByIndex(0));
  EXPECT_TRUE(button->ShowValue);
  auto* label = new TSPThemeGUILabel(Body.get());
  label->UpdateLayout();
  EXPECT_EQ(label->Style, Theme().Labels.StyleByIndex(0));
  EXPECT_EQ(label->Width, 210);
  EXPECT_EQ(label->Layer, 1);
  auto* nb = new TSPThemeGUINoteBookButton(Body.get());
  nb->UpdateLayout();
  EXPECT_EQ(nb->Style, Theme().Buttons.StyleByIndex(1));
  // Faders hide the cursor while dragging, switches not.
  EXPECT_TRUE(Make<TSPThemeGUIFader>(kGuiKnob)->HideCursor);
  EXPECT_FALSE(Make<TSPThemeGUISwitch>(kGuiSwitch)->HideCursor);
}

TEST_F(LeafTest, AKnobPaintsItsPercentAndTakesTheFrameSize) {
  TSPThemeGUIFader* knob = Make<TSPThemeGUIFader>(kGuiKnob);
  knob->Value = 0.25f;
  TBitmap drawn = Blank(), expected = Blank();
  knob->Paint(drawn.Canvas());
  TRect r = Bounds(30, 20, 8, 8), thumb{}, painted{};
  DrawThemeFader(knob->Style, expected.Canvas(), r, thumb, 0.25, "0.25", "Cap", painted);
  EXPECT_TRUE(SamePixels(drawn, expected));
  EXPECT_EQ(knob->PaintedRect, painted);
  EXPECT_EQ(knob->Width, r.Width()) << "the control adopts the size of its picture";
  EXPECT_EQ(knob->Height, r.Height());
  EXPECT_GT(knob->Width, 8);
}

TEST_F(LeafTest, AValueEditShowsItsValueWithTwoDecimalsAndAlwaysTheOffPicture) {
  TSPThemeGUIFader* edit = Make<TSPThemeGUIFader>(kGuiValueEdit);
  edit->Value = 0.25f;
  TBitmap drawn = Blank(), expected = Blank();
  edit->Paint(drawn.Canvas());
  TRect r = Bounds(30, 20, 8, 8), painted{};
  DrawThemeButton(edit->Style, expected.Canvas(), r, false, "Cap", "0.25", painted);
  EXPECT_TRUE(SamePixels(drawn, expected));
  // Without its texts the box looks the same at any value.
  edit->ShowValue = false;
  edit->ShowCaption = false;
  TBitmap at0 = Blank(), at1 = Blank();
  edit->Value = 0.0f;
  edit->Paint(at0.Canvas());
  edit->Value = 1.0f;
  edit->Paint(at1.Canvas());
  EXPECT_TRUE(SamePixels(at0, at1));
}

TEST_F(LeafTest, ASwitchIsOffUpToAHalfAndItsButtonFormNamesTheOtherState) {
  TSPThemeGUISwitch* sw = Make<TSPThemeGUISwitch>(kGuiSwitch);
  for (float v : {0.0f, 0.5f, 0.3f}) {
    sw->Value = v;
    EXPECT_TRUE(sw->IsOff()) << v;
  }
  for (float v : {0.51f, 1.0f, 1.5f, 2.0f, 2.5f}) {
    sw->Value = v;
    EXPECT_FALSE(sw->IsOff()) << v;
  }
  TBitmap half = Blank(), zero = Blank(), one = Blank();
  sw->Value = 0.5f;
  sw->Paint(half.Canvas());
  sw->Value = 0.0f;
  sw->Paint(zero.Canvas());
  sw->Value = 1.0f;
  sw->Paint(one.Canvas());
  EXPECT_TRUE(SamePixels(half, zero));
  EXPECT_FALSE(SamePixels(one, zero));

  TSPThemeGUISwitch* button = Make<TSPThemeGUISwitch>(kGuiButtonSwitch);
  button->Value = 0.0f;
  TBitmap drawn = Blank(), expected = Blank();
  button->Paint(drawn.Canvas());
  TRect r = Bounds(30, 20, 8, 8), painted{};
  DrawThemeButton(button->Style, expected.Canvas(), r, false, "Cap", "On", painted);
  EXPECT_TRUE(SamePixels(drawn, expected));
}

TEST_F(LeafTest, DescriptorFlagsPlaceTheCaptionAndHideTheValue) {
  TSPThemeGUIFader f(nullptr);
  ApplyGuiFlags(f, 0x06);
  EXPECT_EQ(f.CaptionHAlign, 0) << "left wins over right";
  TSPThemeGUIFader g(nullptr);
  ApplyGuiFlags(g, 0x04 | 0x20);
  EXPECT_EQ(g.CaptionHAlign, 2);
  EXPECT_EQ(g.CaptionVAlign, 1);
  EXPECT_TRUE(g.ShowValue);
  ApplyGuiFlags(g, 0x80);
  EXPECT_FALSE(g.ShowValue);
  // The placement applies for the control's paint only: the shared style is as before.
  TSPThemeGUIFader* knob = Make<TSPThemeGUIFader>(kGuiKnob);
  knob->CaptionHAlign = 0;
  const std::uint8_t before = knob->Style->CaptionStyle.HAlign;
  TBitmap b = Blank();
  knob->Paint(b.Canvas());
  EXPECT_EQ(knob->Style->CaptionStyle.HAlign, before);
}

TEST_F(LeafTest, TheNotebookButtonOfTheShownPageIsDrawnOn) {
  auto* nb = new TSPThemeGUINoteBookButton(Body.get());
  nb->Caption = "Page";
  nb->NoteBookGroup = 10;
  nb->NoteBookPage = 5;
  nb->ActivePage = 5;
  nb->RelTop = 10;
  nb->RelLeft = 10;
  nb->UpdateLayout();
  auto* page = new TSPThemeGUIPanel(Body.get(), "P");
  page->NoteBookGroup = 10;
  page->NoteBookPage = 5;
  page->ActivePage = 5;
  TBitmap on = Blank(), expected = Blank();
  nb->Paint(on.Canvas());
  TRect r = Bounds(10, 10, 8, 8), painted{};
  DrawThemeButton(nb->Style, expected.Canvas(), r, true, "", "Page", painted);
  EXPECT_TRUE(SamePixels(on, expected));
  // A click on the button of page 6 shows that page: the first button goes
  // off, its page hides.
  auto* other = new TSPThemeGUINoteBookButton(Body.get());
  other->NoteBookGroup = 10;
  other->NoteBookPage = 6;
  other->ActivePage = 5;
  other->RelTop = 60;
  other->RelLeft = 10;
  other->UpdateLayout();
  bool handled = false;
  Body->MouseDown(TMouseButton::mbLeft, 0, 12, 62, handled);
  ASSERT_TRUE(handled);
  Body->MouseUp(TMouseButton::mbLeft, 0, 12, 62, handled);
  EXPECT_EQ(nb->ActivePage, 6);
  EXPECT_EQ(other->ActivePage, 6);
  EXPECT_FALSE(page->IsShowing());
  TBitmap off = Blank(), expectedOff = Blank();
  nb->Paint(off.Canvas());
  r = Bounds(10, 10, 8, 8);
  DrawThemeButton(nb->Style, expectedOff.Canvas(), r, false, "", "Page", painted);
  EXPECT_TRUE(SamePixels(off, expectedOff));
}

TEST_F(LeafTest, MetersTakePartInLayoutAndCaptureButPaintNothing) {
  for (std::int32_t kind : {kGuiVVUMeter, kGuiHVUMeter, kGuiLED}) {
    auto* meter = Make<TSPThemeGUIVUMeter>(kind);
    EXPECT_EQ(meter->Left, 30);
    EXPECT_EQ(meter->Top, 20);
    TBitmap drawn = Blank();
    const TBitmap before = drawn;
    meter->Paint(drawn.Canvas());
    EXPECT_TRUE(SamePixels(drawn, before)) << kind;
    bool handled = false;
    Body->MouseDown(TMouseButton::mbLeft, 0, 31, 21, handled);
    EXPECT_TRUE(handled);
    EXPECT_EQ(Body->CapturedControl, meter);
    Body->MouseUp(TMouseButton::mbLeft, 0, 31, 21, handled);
    EXPECT_EQ(Body->CapturedControl, nullptr);
    delete meter;
  }
}

TEST_F(LeafTest, AControlWithoutThemeEntryDrawsThePlaceholderAndKeepsItsSize) {
  TSPThemeGUIFader* knob = Make<TSPThemeGUIFader>(kGuiKnob);
  knob->Style = nullptr;
  knob->Width = 60;
  knob->Height = 40;
  TBitmap drawn = Blank(), expected = Blank();
  knob->Paint(drawn.Canvas());
  DrawNoThemeControl(expected.Canvas(), Bounds(30, 20, 60, 40));
  EXPECT_TRUE(SamePixels(drawn, expected));
  EXPECT_EQ(knob->Width, 60);
  EXPECT_EQ(knob->PaintedRect, Bounds(30, 20, 60, 40));
}

TEST_F(LeafTest, ASubPresetButtonPopsUpTheMenuItsOwnerFills) {
  auto* button = new TSPThemeGUISubPresetsButton(Body.get());
  button->RelTop = 10;
  button->RelLeft = 40;
  button->SubPresetGroup = 12;
  button->UpdateLayout();
  button->Width = 40;
  button->Height = 16;
  struct TFiller {
    int Group = 0;
    bool Left = false;
    int Chosen = -1;
    void Fill(TSPThemeGUIControl* sender, TGuiPopupMenu& menu, bool left) {
      Group = static_cast<TSPThemeGUISubPresetsButton*>(sender)->SubPresetGroup;
      Left = left;
      for (int i = 0; i < 3; ++i) {
        TGuiMenuItem* item = menu.Add();
        item->Caption = "Preset " + std::to_string(i);
        item->Tag = i;
        item->OnClick = TMethod<void(TGuiMenuItem*)>::Bind<&TFiller::Picked>(this);
      }
    }
    void Picked(TGuiMenuItem* item) { Chosen = item->Tag; }
  } filler;
  button->OnFillMenu = TSPThemeGUISubPresetsButton::TFillMenuEvent::Bind<&TFiller::Fill>(&filler);
  Window.Chooser = [](const std::vector<TMenuItem>&) { return 2; };
  bool handled = false;
  Body->MouseDown(TMouseButton::mbRight, 0, 45, 15, handled);
  Body->MouseUp(TMouseButton::mbRight, 0, 45, 15, handled);
  EXPECT_EQ(filler.Group, 12);
  EXPECT_FALSE(filler.Left);
  EXPECT_EQ(filler.Chosen, 2);
  EXPECT_EQ(Window.MenuAt, (TPoint{140, 60}));
}

}  // namespace
