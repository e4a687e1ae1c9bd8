// The dialogs in real windows, on a virtual display of the test's own, with
// XTest input: yes/no questions answered with Enter and Escape, the input
// query with typed text and with Cancel, the faces of hovered and pressed
// buttons on the screen and the hover order between two buttons. The
// dialog runs its loop on the test thread; the test's input steps run from
// that loop's drain, one after the other (a check step repeats until it
// holds, or fails after 30 s: a busy machine only makes it take longer).
#include "tests/x11/x11_test_support.h"

#include <X11/keysym.h>

#include <cctype>

#include "gui/dialogs/message_dialogs.h"
#include "tests/gui/support/contact_sheet.h"
#include "tests/gui_x11/x11_capture.h"

namespace {

// A step runs on each drain until it answers true.
using TStep = std::function<bool()>;

class DialogsX11Test : public X11Test {
 protected:
  void SetUp() override {
    TolerateVanishedWindows();
    X11Test::SetUp();
    if (IsSkipped()) return;
    Editor = TEditorWindow::Open(Parent, 300, 200, &Recorder);
    ASSERT_NE(Editor, nullptr);
  }
  // The owner of the dialogs: the editor, with the steps in its drain.
  TDialogOwner Owner(std::vector<TStep> steps) {
    Steps = std::move(steps);
    Next = 0;
    StepStart = std::chrono::steady_clock::now();
    TDialogOwner owner;
    owner.Window = Editor.get();
    owner.Drain = [this] {
      if (Next >= Steps.size()) return;
      const bool late = std::chrono::steady_clock::now() - StepStart > kAwait;
      if (Steps[Next]() || late) {
        if (late) ADD_FAILURE() << "step " << Next << " did not hold within 30 s";
        ++Next;
        StepStart = std::chrono::steady_clock::now();
      }
    };
    return owner;
  }
  static TStep Do(std::function<void()> f) {
    return [f] {
      f();
      return true;
    };
  }
  // Waits until our dialog with that title shows and has the keyboard (it
  // takes it once the server reports it mapped), and notes where it is.
  TStep Shown(const std::string& title) {
    return [this, title] { return FindTopLevel(Host, title, Dialog, DialogX, DialogY) && HasFocus(Host, Dialog); };
  }
  TStep Type(const std::string& text) {
    return Do([this, text] {
      for (char c : text) {
        const bool upper = std::isupper(static_cast<unsigned char>(c)) != 0;
        const KeySym sym = c == ' ' ? XK_space : static_cast<KeySym>(std::tolower(static_cast<unsigned char>(c)));
        if (upper) XTestFakeKeyEvent(Host, XKeysymToKeycode(Host, XK_Shift_L), True, CurrentTime);
        Key(sym);
        if (upper) XTestFakeKeyEvent(Host, XKeysymToKeycode(Host, XK_Shift_L), False, CurrentTime);
      }
      XSync(Host, False);
    });
  }
  TStep PixelIs(int x, int y, std::uint32_t rgb) {
    return [this, x, y, rgb] { return PixelAt(Dialog, x, y) == rgb; };
  }

  TRecorder Recorder;
  std::unique_ptr<TEditorWindow> Editor;
  std::vector<TStep> Steps;
  std::size_t Next = 0;
  std::chrono::steady_clock::time_point StepStart;
  Window Dialog = 0;
  int DialogX = 0, DialogY = 0;
};

TEST_F(DialogsX11Test, ConfirmYesNoAnswersEnterWithYesAndEscapeWithNo) {
  const std::string question = "Clear existing sub-presets for the group?";
  EXPECT_TRUE(ConfirmYesNo(Owner({Shown("Confirm"), Do([this] { Key(XK_Return); })}), question));
  EXPECT_EQ(Next, Steps.size());
  // It was a dialog of the editor's top-level window, and it is gone now.
  Window transientFor = 0;
  EXPECT_FALSE(FindTopLevel(Host, "Confirm", Dialog, DialogX, DialogY));
  EXPECT_FALSE(ConfirmYesNo(Owner({Shown("Confirm"),
                                   [this, &transientFor] {
                                     XGetTransientForHint(Host, Dialog, &transientFor);
                                     return true;
                                   },
                                   Do([this] { Key(XK_Escape); })}),
                            question));
  EXPECT_EQ(transientFor, Parent);
  // The window's close button is a No as well.
  EXPECT_FALSE(ConfirmYesNo(Owner({Shown("Confirm"), Do([this] {
                                     XEvent e{};
                                     e.xclient.type = ClientMessage;
                                     e.xclient.window = Dialog;
                                     e.xclient.message_type = XInternAtom(Host, "WM_PROTOCOLS", False);
                                     e.xclient.format = 32;
                                     e.xclient.data.l[0] =
                                         static_cast<long>(XInternAtom(Host, "WM_DELETE_WINDOW", False));
                                     XSendEvent(Host, Dialog, False, NoEventMask, &e);
                                     XSync(Host, False);
                                   })}),
                            question));
  EXPECT_TRUE(Recorder.CaptureLost == 0 && PointerFree());
}

TEST_F(DialogsX11Test, InputQueryTakesTypedTextAndCancelLeavesTheValueAsItWas) {
  std::string value = "Bass Room";
  const std::string shot = TestOutputPath("dialog-input-query-x11.png");
  EXPECT_TRUE(InputQuery(Owner({Shown("Save Sub Preset"), [&] { return CaptureWindowPng(Host, Dialog, shot); },
                                Type("Deep Hall"), Do([this] { Key(XK_Return); })}),
                         "Save Sub Preset", "Name...", value));
  EXPECT_EQ(value, "Deep Hall") << "typing replaced the selected text";

  // Typed, then the Cancel button clicked: the value stays.
  auto layout = CreateInputQueryForm("Save Sub Preset", "Name...", value);
  const TXPSpeedButton* cancel = layout->CancelButton();
  ASSERT_NE(cancel, nullptr);
  EXPECT_FALSE(InputQuery(Owner({Shown("Save Sub Preset"), Type("xyz"), Do([&] {
                                   MoveTo(DialogX + cancel->Left + cancel->Width / 2,
                                          DialogY + cancel->Top + cancel->Height / 2);
                                   Button(1, true);
                                   Button(1, false);
                                 })}),
                          "Save Sub Preset", "Name...", value));
  EXPECT_EQ(value, "Deep Hall");
  EXPECT_FALSE(InputQuery(Owner({Shown("Save Sub Preset"), Type("abc"), Do([this] { Key(XK_Escape); })}),
                          "Save Sub Preset", "Name...", value));
  EXPECT_EQ(value, "Deep Hall");
}

struct TLoggingButton : TXPSpeedButton {
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

TEST_F(DialogsX11Test, ButtonFacesOnTheScreenFollowHoverAndPressAndLeaveComesBeforeEnter) {
  TXPForm form;
  form.Caption = "Two Buttons";
  form.ClientWidth = 240;
  form.ClientHeight = 80;
  std::vector<std::string> log;
  TLoggingButton* buttons[2];
  for (int i = 0; i < 2; ++i) {
    TLoggingButton& b = form.Add<TLoggingButton>();
    b.Caption = i == 0 ? "A" : "B";
    b.Log = &log;
    b.Color = RGBColor(200, 200, 200);
    b.GradientStyle = fdNone;  // one face colour, to read it exactly
    b.SetBounds(20 + 110 * i, 20, 90, 40);
    b.ModalResult = i == 0 ? mrOk : mrCancel;
    buttons[i] = &b;
  }
  buttons[1]->Cancel = true;
  auto centre = [&](int i, int& x, int& y) {
    x = buttons[i]->Left + 10;  // clear of the caption
    y = buttons[i]->Top + buttons[i]->Height / 2;
  };
  int ax = 0, ay = 0, bx = 0, by = 0;
  centre(0, ax, ay);
  centre(1, bx, by);
  const std::uint32_t normal = 0xC8C8C8, hovered = 0xF0F0F0, pressed = 0xA0A0A0;
  const std::int32_t result = form.ShowModal(Owner({
      Shown("Two Buttons"),
      PixelIs(ax, ay, normal),
      Do([&] { MoveTo(DialogX + ax, DialogY + ay); }),
      PixelIs(ax, ay, hovered),
      Do([&] { MoveTo(DialogX + bx, DialogY + by); }),
      PixelIs(bx, by, hovered),
      PixelIs(ax, ay, normal),
      Do([&] { Button(1, true); }),
      PixelIs(bx, by, pressed),
      Do([&] { MoveTo(DialogX + 5, DialogY + 5); }),  // off the button, still pressed
      [&] { return PixelAt(Dialog, bx, by) == pressed && !buttons[1]->Hover; },
      Do([&] { Button(1, false); }),  // released outside: no click
      PixelIs(bx, by, normal),
      Do([&] { Key(XK_Escape); }),
  }));
  EXPECT_EQ(Next, Steps.size());
  EXPECT_EQ(result, mrCancel) << "Escape clicks the cancel button";
  EXPECT_EQ(log, (std::vector<std::string>{"enter A", "leave A", "enter B", "leave B"}));
}

}  // namespace
