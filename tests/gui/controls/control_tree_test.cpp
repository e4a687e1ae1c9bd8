// The control tree on its own: repaint requests and what they copy to the
// window, visibility of nested and notebook panels, the full redraw's
// layers, and the lifetime of posted repaints.
#include "gui/controls/gui_control.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

#include "gui/controls/gui_leaf_controls.h"
#include "tests/gui/controls/editor_test_support.h"

namespace {

using editor_test::TStubGuiWindow;

TSPThemeGUIFader* MakeKnob(TSPThemeGUIControl* parent, int top, int left) {
  auto* f = new TSPThemeGUIFader(parent);
  f->RelTop = top;
  f->RelLeft = left;
  f->Step = 0.01f;
  f->Caption = "Knob";
  f->UpdateLayout();
  return f;
}

TSPThemeGUIPanel* MakePanel(TSPThemeGUIControl* parent, int left, int top, int width, int height) {
  auto* p = new TSPThemeGUIPanel(parent, "Panel");
  p->Left = left;
  p->Top = top;
  p->Width = width;
  p->Height = height;
  p->UpdateLayout();
  return p;
}

// Pixels of a rectangle of a bitmap, row by row.
std::vector<std::uint32_t> Region(const TBitmap& b, const TRect& r) {
  std::vector<std::uint32_t> out;
  for (int y = r.Top; y < r.Bottom; ++y)
    for (int x = r.Left; x < r.Right; ++x) out.push_back(b.ScanLine(y)[x] & 0xFFFFFFu);
  return out;
}

class ControlTreeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    PumpPostBacks();  // whatever earlier tests left
    Body = std::make_unique<TSPThemeGUIBody>();
    Body->Width = 320;
    Body->Height = 200;
    Body->StyleIndex = 5;
    Body->UpdateLayout();
    Window.Attach(*Body);
    Body->OnInvalidate = TSPThemeGUIControl::TNotifyEvent::Bind<&ControlTreeTest::Invalidated>(this);
  }
  void Invalidated(TSPThemeGUIControl* /*sender*/) { ++Invalidations; }

  TStubGuiWindow Window;
  std::unique_ptr<TSPThemeGUIBody> Body;
  int Invalidations = 0;
};

TEST_F(ControlTreeTest, TenValueChangesBeforeThePumpGiveOneRepaintAndAnEqualValueNone) {
  TSPThemeGUIFader* knob = MakeKnob(Body.get(), 20, 20);
  Body->FrontDC();  // composed once
  int told = 0;
  struct TCounter {
    int* Count;
    void Told(TSPThemeGUIControl*) { ++*Count; }
  } counter{&told};
  knob->OnValueChanged = TSPThemeGUIControl::TNotifyEvent::Bind<&TCounter::Told>(&counter);
  knob->Notify = true;
  knob->SetValue(0.5f);  // the value it has
  EXPECT_EQ(PumpPostBacks(), 0u);
  EXPECT_EQ(told, 0);
  for (int i = 1; i <= 10; ++i) knob->SetValue(static_cast<float>(i) / 10.0f);
  EXPECT_EQ(told, 10);
  EXPECT_EQ(PumpPostBacks(), 1u);
  ASSERT_EQ(Window.Shown.size(), 1u);
  EXPECT_EQ(PumpPostBacks(), 0u);
  // The repaint shows the last value: the front holds what a fresh paint at 1.0 gives.
  EXPECT_EQ(knob->Value, 1.0f);
}

TEST_F(ControlTreeTest, ASingleRepaintErasesTheOldPictureAndShowsTheUnionOfOldAndNew) {
  TSPThemeGUIFader* knob = MakeKnob(Body.get(), 60, 60);
  std::string text = "a long value text";
  struct TText {
    std::string* Text;
    void Get(TSPThemeGUIControl*, std::string& t, float) { t = *Text; }
  } supplier{&text};
  knob->OnGetText = TSPThemeGUIControl::TGetTextEvent::Bind<&TText::Get>(&supplier);
  Body->FrontDC();
  const TRect wide = knob->PaintedRect;
  ASSERT_FALSE(wide.IsEmpty());
  text = "1";
  knob->SetValue(0.9f);
  PumpPostBacks();
  const TRect narrow = knob->PaintedRect;
  ASSERT_LT(narrow.Width(), wide.Width());
  ASSERT_EQ(Window.Shown.size(), 1u);
  EXPECT_EQ(Window.Shown[0], UnionRect(wide, narrow)) << "the window must lose the old text too";
  // Where only the old text was, the front is the background again.
  int differing = 0, outside = 0;
  for (int y = wide.Top; y < wide.Bottom; ++y)
    for (int x = wide.Left; x < wide.Right; ++x) {
      if (x >= narrow.Left && x < narrow.Right && y >= narrow.Top && y < narrow.Bottom) continue;
      ++outside;
      if ((Body->Front->ScanLine(y)[x] & 0xFFFFFFu) != (Body->Background->ScanLine(y)[x] & 0xFFFFFFu)) ++differing;
    }
  EXPECT_GT(outside, 0);
  EXPECT_EQ(differing, 0);
}

TEST_F(ControlTreeTest, TheFirstSingleRepaintOfANeverPaintedControlReachesTheWindow) {
  TSPThemeGUIFader* knob = MakeKnob(Body.get(), 20, 20);
  ASSERT_TRUE(knob->PaintedRect.IsEmpty());
  Body->NeedsRedraw = false;  // as if composed before the control existed
  knob->SetValue(0.2f);
  PumpPostBacks();
  ASSERT_EQ(Window.Shown.size(), 1u);
  EXPECT_EQ(Window.Shown[0], knob->PaintedRect);
  EXPECT_FALSE(knob->PaintedRect.IsEmpty());
}

TEST_F(ControlTreeTest, AControlInsideAHiddenPanelNeverRepaints) {
  // The outer panel hides; the inner one is visible and on no notebook.
  TSPThemeGUIPanel* outer = MakePanel(Body.get(), 10, 10, 300, 180);
  TSPThemeGUIPanel* inner = MakePanel(outer, 20, 20, 200, 120);
  TSPThemeGUIFader* knob = MakeKnob(inner, 10, 10);
  Body->FrontDC();
  outer->Visible = false;
  EXPECT_FALSE(inner->IsShowing());
  knob->SetValue(0.9f);
  PumpPostBacks();
  EXPECT_TRUE(Window.Shown.empty());
  outer->Visible = true;
  knob->SetValue(0.1f);
  PumpPostBacks();
  EXPECT_EQ(Window.Shown.size(), 1u);
}

TEST_F(ControlTreeTest, ANotebookPageShowsOnlyAfterShowPageWhichRecomposesAndAsksTheWindow) {
  TSPThemeGUIPanel* page = MakePanel(Body.get(), 10, 40, 300, 150);
  page->NoteBookGroup = 10;
  page->NoteBookPage = 5;
  TSPThemeGUIFader* knob = MakeKnob(page, 10, 10);
  Body->FrontDC();
  EXPECT_FALSE(page->IsShowing());
  EXPECT_TRUE(knob->PaintedRect.IsEmpty()) << "a hidden page draws nothing";
  Body->CapturedControl = knob;
  Body->ShowPage(10, 5);
  EXPECT_TRUE(page->IsShowing());
  EXPECT_FALSE(Body->NeedsRedraw) << "recomposed before ShowPage returns";
  EXPECT_FALSE(knob->PaintedRect.IsEmpty());
  EXPECT_EQ(Invalidations, 1);
  EXPECT_EQ(Body->CapturedControl, nullptr);
  // A notebook group below 1 never shows.
  page->NoteBookGroup = -1;
  EXPECT_FALSE(page->IsShowing());
}

TEST_F(ControlTreeTest, BeforeAWindowAttachesValuesAreKeptAndPostedRepaintsDrawNothing) {
  TSPThemeGUIFader* knob = MakeKnob(Body.get(), 20, 20);
  Body->Attached = false;
  knob->SetValue(0.8f);
  EXPECT_EQ(knob->Value, 0.8f);
  EXPECT_EQ(PumpPostBacks(), 1u);
  EXPECT_TRUE(Window.Shown.empty());
  EXPECT_TRUE(knob->PaintedRect.IsEmpty());
  EXPECT_TRUE(knob->RepaintAllowed) << "the next change may ask again";
}

TEST_F(ControlTreeTest, TheForegroundHoldsOnlyValueControlsAndTheBackgroundTheRest) {
  auto* label = new TSPThemeGUILabel(Body.get());
  label->RelTop = 120;
  label->RelLeft = 10;
  label->Caption = "Label";
  label->UpdateLayout();
  TSPThemeGUIFader* knob = MakeKnob(Body.get(), 20, 20);
  Body->FrontDC();
  // The body's Paint onto a plain bitmap: the knob appears, the label not.
  TBitmap plain(Body->Width, Body->Height);
  plain.Canvas().FillRectColor(plain.ClientRect(), 0x123456);
  const auto before = Region(plain, label->BoundsRect());
  Body->Paint(plain.Canvas());
  EXPECT_EQ(Region(plain, label->BoundsRect()), before);
  EXPECT_NE(Region(plain, knob->PaintedRect), Region(*Body->Background, knob->PaintedRect));
  // The label is part of the background, the knob is not.
  EXPECT_EQ(Region(*Body->Background, label->BoundsRect()), Region(*Body->Front, label->BoundsRect()));
}

TEST_F(ControlTreeTest, DestroyedControlsAndBodiesLeaveNoPostedRepaintBehind) {
  TSPThemeGUIFader* knob = MakeKnob(Body.get(), 20, 20);
  TSPThemeGUIFader* other = MakeKnob(Body.get(), 20, 80);
  knob->SetValue(0.1f);
  other->SetValue(0.2f);
  delete knob;  // leaves the body's list: no double free when the body goes
  EXPECT_EQ(Body->Children().size(), 1u);
  EXPECT_EQ(PumpPostBacks(), 1u) << "only the surviving control's repaint runs";
  other->SetValue(0.3f);
  Body.reset();
  EXPECT_EQ(PumpPostBacks(), 0u);
}

TEST_F(ControlTreeTest, ARepaintPostThatIsRefusedLeavesRepaintsAllowed) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  TSPThemeGUIFader* knob = MakeKnob(Body.get(), 20, 20);
  // The process-wide queue refuses everything once shut down: try it in a
  // child process.
  EXPECT_EXIT(
      {
        ShutdownPostBacks();
        knob->SetValue(0.7f);
        const bool allowed = knob->RepaintAllowed;
        knob->SetValue(0.6f);
        std::exit(allowed && knob->RepaintAllowed ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST_F(ControlTreeTest, PanelsRouteTheMouseToShowingControlsOfLayerOneAndAbove) {
  auto* label = new TSPThemeGUILabel(Body.get());  // layer 1: takes presses
  label->RelTop = 100;
  label->RelLeft = 10;
  label->UpdateLayout();
  auto* back = new TSPThemeGUIButton(Body.get());
  back->Layer = 0;  // a layer-0 leaf never gets the mouse
  back->RelTop = 150;
  back->RelLeft = 10;
  back->Width = 40;
  back->Height = 20;
  bool handled = false;
  Body->MouseDown(TMouseButton::mbLeft, 0, 5, 5, handled);
  EXPECT_FALSE(handled) << "nothing there";
  Body->MouseDown(TMouseButton::mbLeft, 0, 15, 155, handled);
  EXPECT_FALSE(handled);
  Body->MouseDown(TMouseButton::mbLeft, 0, 15, 105, handled);
  EXPECT_TRUE(handled);
  EXPECT_EQ(Body->CapturedControl, label);
  // While a control holds the mouse, a press anywhere is taken and changes nothing.
  handled = false;
  Body->MouseDown(TMouseButton::mbLeft, 0, 5, 5, handled);
  EXPECT_TRUE(handled);
  EXPECT_EQ(Body->CapturedControl, label);
  handled = false;
  Body->MouseUp(TMouseButton::mbLeft, 0, 300, 190, handled);  // released far away: still its release
  EXPECT_TRUE(handled);
  EXPECT_EQ(Body->CapturedControl, nullptr);
  EXPECT_FALSE(label->Pressed);
}

}  // namespace
