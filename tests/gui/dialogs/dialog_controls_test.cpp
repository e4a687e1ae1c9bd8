// The dialog controls without a display: button faces, borders and picture
// frames, the hover list's order, the keyboard of forms and edit boxes, and
// the message dialog's and input query's layout (their pictures go to the
// build folder).
#include <gtest/gtest.h>

#include <X11/keysym.h>

#include <string>
#include <thread>
#include <vector>

#include "gui/dialogs/message_dialogs.h"
#include "tests/gui/support/contact_sheet.h"

namespace {

TKeyEvent Key(std::uint32_t sym, std::string text = {}, unsigned modifiers = 0) {
  return {sym, std::move(text), modifiers};
}
TMouseEvent Mouse(int x, int y, int button = kMouseLeft) { return {x, y, x, y, button, 0}; }

TColor At(const TBitmap& b, int x, int y) { return b.PixelColor(x, y); }

struct TRecordingButton : TXPSpeedButton {
  using TXPSpeedButton::TXPSpeedButton;
  void MouseEnter() override {
    Log->push_back("enter " + Caption);
    TXPSpeedButton::MouseEnter();
  }
  void MouseLeave() override {
    Log->push_back("leave " + Caption);
    TXPSpeedButton::MouseLeave();
  }
  std::vector<std::string>* Log = nullptr;
};

// A form with two buttons side by side: A (Default) and B (Cancel).
struct TwoButtons {
  TwoButtons() {
    form.ClientWidth = 200, form.ClientHeight = 60;
    a.Caption = "A", b.Caption = "B";
    a.Log = b.Log = &log;
    a.SetBounds(10, 10, 80, 30);
    b.SetBounds(110, 10, 80, 30);
    a.Default = true, a.ModalResult = mrOk;
    b.Cancel = true, b.ModalResult = mrCancel;
  }
  TXPForm form;
  std::vector<std::string> log;
  TRecordingButton& a = form.Add<TRecordingButton>();
  TRecordingButton& b = form.Add<TRecordingButton>();
};

TEST(SpeedButton, FaceColoursFollowPressAndHoverAndClampAtWhite) {
  TXPForm form;
  TXPSpeedButton& button = form.Add<TXPSpeedButton>();
  button.Color = RGBColor(200, 200, 200);
  EXPECT_EQ(button.FaceColor(), RGBColor(200, 200, 200));
  button.Hover = true;
  EXPECT_EQ(button.FaceColor(), RGBColor(240, 240, 240));
  button.Down = true;  // pressed wins over hovered
  EXPECT_EQ(button.FaceColor(), RGBColor(160, 160, 160));
  button.Down = false;
  button.Color = RGBColor(250, 250, 250);
  EXPECT_EQ(button.FaceColor(), RGBColor(255, 255, 255));
  // Without fading: the three fixed colours.
  button.FadeColorProp = false;
  EXPECT_EQ(button.FaceColor(), button.ColorMouseOver);
  button.Hover = false;
  EXPECT_EQ(button.FaceColor(), button.ColorMouseOut);
  button.Down = true;
  EXPECT_EQ(button.FaceColor(), button.ColorMouseDown);
}

TEST(SpeedButton, TheFaceGradientAndTheBorderAreDrawnAsTheStateSays) {
  TXPForm form;
  form.ClientWidth = 60, form.ClientHeight = 30;
  TXPSpeedButton& button = form.Add<TXPSpeedButton>();
  button.SetBounds(0, 0, 60, 30);
  button.Color = RGBColor(200, 200, 200);
  button.GradientStyle = fdLNW;
  button.BorderLight = RGBColor(255, 0, 0);
  button.BorderDark = RGBColor(0, 0, 255);
  button.Caption.clear();
  // fdLNW: the face colour along the right and bottom edges, white towards
  // the top-left corner.
  const TBitmap& plain = form.Render();
  EXPECT_NEAR(GetRValue(At(plain, 58, 28)), 200, 4);
  EXPECT_GE(GetRValue(At(plain, 1, 1)), 245);
  EXPECT_EQ(At(plain, 30, 0), RGBColor(255, 0, 0));   // top: light
  EXPECT_EQ(At(plain, 0, 15), RGBColor(255, 0, 0));   // left: light
  EXPECT_EQ(At(plain, 59, 15), RGBColor(0, 0, 255));  // right: dark
  EXPECT_EQ(At(plain, 30, 29), RGBColor(0, 0, 255));  // bottom: dark
  // Not solid: the four corner pixels keep the face.
  EXPECT_NE(At(plain, 0, 0), RGBColor(255, 0, 0));
  EXPECT_NE(At(plain, 59, 29), RGBColor(0, 0, 255));
  button.BorderSolid = true;
  const TBitmap& solid = form.Render();
  EXPECT_EQ(At(solid, 0, 0), RGBColor(255, 0, 0));
  EXPECT_EQ(At(solid, 59, 29), RGBColor(0, 0, 255));
  // Pressed: the dark edges take the face colour, and the face darkens.
  button.Down = true;
  const TBitmap& pressed = form.Render();
  EXPECT_EQ(At(pressed, 59, 15), RGBColor(160, 160, 160));
  EXPECT_NEAR(GetRValue(At(pressed, 58, 28)), 160, 3);
  // Gradients switched off: one plain face.
  button.Down = false;
  SetGradientsDisabled(true);
  const TBitmap& flat = form.Render();
  SetGradientsDisabled(false);
  EXPECT_EQ(At(flat, 5, 5), RGBColor(200, 200, 200));
}

TEST(SpeedButton, PictureFramesFollowTheStateAndOddCountsDrawFrameZero) {
  TXPForm form;
  TXPSpeedButton& button = form.Add<TXPSpeedButton>();
  button.Picture = TBitmap(10, 30);
  auto frameOf = [&] { return button.PictureFrameRect(button.PictureFrame()); };
  EXPECT_EQ(frameOf().Top, 0);
  button.Hover = true;
  EXPECT_EQ(frameOf().Top, 10);
  button.Down = true;
  EXPECT_EQ(frameOf().Top, 20);
  EXPECT_EQ(frameOf().Height(), 10);
  // Any other count: frame 0, however the button is.
  button.NumImages = 2;
  EXPECT_EQ(frameOf().Top, 0);
  EXPECT_EQ(frameOf().Height(), 15);
  for (int count : {0, -3}) {
    button.NumImages = count;
    const TRect r = frameOf();
    EXPECT_EQ(r.Top, 0) << count;
    EXPECT_EQ(r.Height(), 30) << "a count below 1 is the whole picture, never a division by zero";
  }
  button.NumImages = 100;  // more frames than rows
  EXPECT_EQ(frameOf().Height(), 30);
  // Side by side: the state's frame along the strip.
  button.NumImages = 3;
  button.ImagesVert = false;
  button.Picture = TBitmap(30, 10);
  EXPECT_EQ(frameOf().Left, 20);
  EXPECT_EQ(frameOf().Width(), 10);
  // The frame is what shows: paint a strip red/green/blue and look.
  button.ImagesVert = true;
  button.Picture = TBitmap(8, 24);
  const TColor colours[3] = {RGBColor(255, 0, 0), RGBColor(0, 255, 0), RGBColor(0, 0, 255)};
  for (int i = 0; i < 3; ++i) button.Picture.Canvas().FillRectColor(Bounds(0, i * 8, 8, 8), colours[i]);
  button.PictureTransparent = false;
  button.SetBounds(0, 0, 20, 20);
  form.ClientWidth = form.ClientHeight = 20;
  button.Hover = false, button.Down = false;
  EXPECT_EQ(At(form.Render(), 10, 10), colours[0]);
  button.Hover = true;
  EXPECT_EQ(At(form.Render(), 10, 10), colours[1]);
  button.Down = true;
  EXPECT_EQ(At(form.Render(), 10, 10), colours[2]);
  button.NumImages = 0;  // the whole strip, centred: its middle is green
  EXPECT_EQ(At(form.Render(), 10, 10), colours[1]);
}

TEST(HoverList, TheFirstButtonHearsItsLeaveBeforeTheSecondItsEnter) {
  TwoButtons t;
  t.form.OnMouseMove(Mouse(20, 20));
  t.form.OnMouseMove(Mouse(30, 20));  // still A: nothing new
  t.form.OnMouseMove(Mouse(120, 20));
  t.form.OnMouseMove(Mouse(100, 20));  // the background
  EXPECT_EQ(t.log, (std::vector<std::string>{"enter A", "leave A", "enter B", "leave B"}));
  EXPECT_FALSE(t.a.Hover);
  EXPECT_FALSE(t.b.Hover);
  t.form.OnMouseMove(Mouse(120, 20));
  EXPECT_TRUE(t.b.Hover);
  t.form.OnMouseLeave(Mouse(-1, 20));  // out of the window
  EXPECT_FALSE(t.b.Hover);
  // Suspended registration: leaves still go out, nothing enters.
  t.log.clear();
  SetHoverRegistrationSuspended(true);
  t.form.OnMouseMove(Mouse(20, 20));
  SetHoverRegistrationSuspended(false);
  EXPECT_TRUE(t.log.empty());
  EXPECT_FALSE(IsHoverControl(&t.a));
}

TEST(HoverList, ControlsOfAnotherThreadAreNeverTouchedAndDestroyedOnesLeaveTheList) {
  TwoButtons here;
  here.form.OnMouseMove(Mouse(20, 20));
  ASSERT_TRUE(here.a.Hover);
  std::thread other([] {
    TwoButtons there;
    there.form.OnMouseMove(Mouse(120, 20));
    EXPECT_TRUE(there.b.Hover);
  });
  other.join();
  EXPECT_TRUE(here.a.Hover) << "another thread's form took the hover away";
  EXPECT_EQ(here.log, (std::vector<std::string>{"enter A"}));
  {
    TXPForm form;
    TXPSpeedButton& gone = form.Add<TXPSpeedButton>();
    gone.SetBounds(0, 0, 10, 10);
    form.OnMouseMove(Mouse(5, 5));
    EXPECT_TRUE(IsHoverControl(&gone));
  }  // destroyed while hovered: the next registration must not call it
  here.form.OnMouseMove(Mouse(120, 20));
  EXPECT_TRUE(here.b.Hover);
}

TEST(XPForm, EnterEscapeTabAndAcceleratorsEndTheDialogAsButtonsSay) {
  {
    TwoButtons t;
    t.form.OnKeyDown(Key(XK_Return));
    EXPECT_EQ(t.form.ModalResult, mrOk) << "Enter: the default button";
  }
  {
    TwoButtons t;
    t.form.OnKeyDown(Key(XK_Escape));
    EXPECT_EQ(t.form.ModalResult, mrCancel) << "Escape: the cancel button";
  }
  {
    TwoButtons t;
    t.form.OnKeyDown(Key(XK_Escape, {}, kModControl));
    EXPECT_EQ(t.form.ModalResult, mrNone) << "a chord is no dialog key";
  }
  {
    TwoButtons t;
    t.form.SetFocus(&t.a);
    t.form.OnKeyDown(Key(XK_Tab));
    EXPECT_EQ(t.form.FocusedControl(), &t.b);
    t.form.OnKeyDown(Key(XK_Return));
    EXPECT_EQ(t.form.ModalResult, mrCancel) << "Enter on a focused button clicks that button";
  }
  {
    auto dialog = CreateMessageDialog("Go on?", TMsgDlgType::mtConfirmation, MsgButtons({mbYes, mbNo}));
    dialog->OnKeyDown(Key(XK_n, "n"));
    EXPECT_EQ(dialog->ModalResult, mrNo) << "the '&No' accelerator";
  }
  {
    TwoButtons t;
    t.form.OnCloseRequest();
    EXPECT_EQ(t.form.ModalResult, mrCancel) << "the window's close button";
  }
  {
    // A click needs press and release on the button.
    TwoButtons t;
    t.form.OnMouseDown(Mouse(20, 20));
    EXPECT_TRUE(t.a.Down);
    t.form.OnMouseUp(Mouse(150, 20));
    EXPECT_FALSE(t.a.Down);
    EXPECT_EQ(t.form.ModalResult, mrNone);
    t.form.OnMouseDown(Mouse(20, 20));
    t.form.OnMouseUp(Mouse(25, 25));
    EXPECT_EQ(t.form.ModalResult, mrOk);
  }
}

TEST(XPEdit, TypingReplacesTheSelectionAndEditingKeysWorkOnWholeCharacters) {
  auto form = CreateInputQueryForm("Save Sub Preset", "Name...", "Old name");
  TXPEdit& edit = *InputQueryEdit(*form);
  EXPECT_EQ(form->FocusedControl(), &edit);
  EXPECT_TRUE(edit.AllSelected());
  for (const char* c : {"H", "a", "l", "l"}) form->OnKeyDown(Key(c[0], c));
  EXPECT_EQ(edit.Text(), "Hall");
  form->OnKeyDown(Key(XK_eacute, "\xe9"));  // Latin-1 as typed
  EXPECT_EQ(edit.Text(), "Hall\xc3\xa9");
  form->OnKeyDown(Key(XK_Left));
  form->OnKeyDown(Key(XK_BackSpace));
  EXPECT_EQ(edit.Text(), "Hal\xc3\xa9");
  form->OnKeyDown(Key(XK_Delete));
  EXPECT_EQ(edit.Text(), "Hal");
  form->OnKeyDown(Key(XK_Home));
  form->OnKeyDown(Key(XK_D, "D"));
  EXPECT_EQ(edit.Text(), "DHal");
  form->OnKeyDown(Key(XK_a, "\x01", kModControl));
  form->OnKeyDown(Key(XK_BackSpace));
  EXPECT_EQ(edit.Text(), "");
  // Control characters are no text; Enter goes to the default button.
  form->OnKeyDown(Key(XK_x, "\x18", kModControl));
  EXPECT_EQ(edit.Text(), "");
  for (int i = 0; i < 260; ++i) form->OnKeyDown(Key(XK_z, "z"));
  EXPECT_EQ(edit.Text().size(), 255u) << "at most 255 characters";
  form->OnKeyDown(Key(XK_Return));
  EXPECT_EQ(form->ModalResult, mrOk);
}

TEST(MessageDialog, ButtonsLayoutAndTheWrappedMessageFollowTheDialogRules) {
  auto confirm = CreateMessageDialog("Clear existing sub-presets for the group?", TMsgDlgType::mtConfirmation,
                                     MsgButtons({mbYes, mbNo}));
  EXPECT_EQ(confirm->Caption, "Confirm");
  std::vector<TXPSpeedButton*> buttons;
  for (const auto& c : confirm->Controls())
    if (auto* b = dynamic_cast<TXPSpeedButton*>(c.get())) buttons.push_back(b);
  ASSERT_EQ(buttons.size(), 2u);
  EXPECT_EQ(buttons[0]->Caption, "&Yes");
  EXPECT_TRUE(buttons[0]->Default);
  EXPECT_TRUE(buttons[1]->Cancel);
  EXPECT_EQ(buttons[0]->GradientStyle, fdLNW);
  EXPECT_TRUE(buttons[0]->BorderSolid && buttons[0]->FontResize);
  EXPECT_TRUE(buttons[0]->EffectiveFont()->Bold());
  // The row is centred and inside the form.
  const int left = buttons[0]->Left, right = confirm->ClientWidth - buttons[1]->Left - buttons[1]->Width;
  EXPECT_LE(std::abs(left - right), 1);
  EXPECT_LE(buttons[1]->Top + buttons[1]->Height, confirm->ClientHeight);

  auto info = CreateMessageDialog("Done.", TMsgDlgType::mtInformation, MsgButtons({mbOK}));
  EXPECT_EQ(info->Caption, "Information");
  ASSERT_NE(info->DefaultButton(), nullptr);
  EXPECT_EQ(info->DefaultButton(), info->CancelButton()) << "OK answers Enter and Escape";

  // A long message wraps to half the screen; "\r\n" breaks a line.
  std::string longText;
  for (int i = 0; i < 60; ++i) longText += "word" + std::to_string(i) + " ";
  auto wide = CreateMessageDialog(longText + "\r\nlast", TMsgDlgType::mtInformation, MsgButtons({mbOK}), 800);
  EXPECT_LE(wide->ClientWidth, 400 + 32 + 80);
  EXPECT_GT(wide->ClientHeight, 3 * 14 + 40);

  const std::string help =
      "Sub-Presets for each effect group and also one for the effects combined.\r\n\r\nYou can edit or create "
      "your own and also save and re-load them in the other Quilm SP plugins that use Sub Presets.";
  auto picture = CreateMessageDialog(help, TMsgDlgType::mtInformation, MsgButtons({mbOK}));
  EXPECT_TRUE(picture->Render().SaveToPngFile(TestOutputPath("dialog-message.png")));
  auto query = CreateInputQueryForm("Save Sub Preset", "Name...", "Bass Room");
  EXPECT_TRUE(query->Render().SaveToPngFile(TestOutputPath("dialog-input-query.png")));
  // The query's background: the form colour in the bottom-right corner
  // (fdSENW), white towards the top-left.
  const TBitmap& q = query->Bitmap();
  EXPECT_EQ(At(q, 0, 0), RGBColor(255, 255, 255));
  EXPECT_EQ(At(q, q.Width() - 1, q.Height() - 1), ColorToRGB(clBtnFace));
}

}  // namespace
