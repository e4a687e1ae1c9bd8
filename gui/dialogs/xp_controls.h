// The plug-in's own dialog windows, used outside the skinned editor (preset,
// bank and sub-preset operations): a form that paints a gradient background
// (TXPForm), a flat, hover-aware push button (TXPSpeedButton), a label, a
// one-line edit box and the message icons, and the process-wide hover list
// that tells controls when the mouse enters and leaves them.
//
// A form draws itself and its controls into a bitmap of its client size and
// takes its input in client pixels, so everything here works without a
// display; ShowModal puts the form into a top-level X11 window
// (platform/x11), transient for the editor's window, and runs a loop until a
// button or key ends it.
//
// Threads: a form and its controls belong to the thread that made them (the
// host's editor thread); the hover list has a lock of its own.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "gui/widgets/draw_helpers.h"
#include "platform/draw/bitmap.h"
#include "platform/draw/canvas.h"
#include "platform/draw/font.h"
#include "platform/x11/window_types.h"

class TEditorWindow;
class TTopLevelWindow;

// How a modal form ended. Stored in buttons' ModalResult; never renumber.
enum TModalResult : std::int32_t {
  mrNone = 0,
  mrOk = 1,
  mrCancel = 2,
  mrAbort = 3,
  mrRetry = 4,
  mrIgnore = 5,
  mrYes = 6,
  mrNo = 7,
  mrAll = 8,
  mrNoToAll = 9,
  mrYesToAll = 10,
};
// ShowModal could not show the form at all (no display, no window).
inline constexpr std::int32_t kModalNotShown = -1;

// What a modal dialog needs of the editor it belongs to.
struct TDialogOwner {
  // The editor's window: the dialog shares its display connection and stays
  // above its top-level window. Null: a connection of the dialog's own to
  // $DISPLAY.
  TEditorWindow* Window = nullptr;
  // Runs about every 10 ms while the dialog waits (the posted calls that
  // keep the editor's controls current).
  std::function<void()> Drain;
  // True: end the dialog now, as cancelled (the editor is closing).
  std::function<bool()> Cancelled;
};

// Process-wide switches, both clear in normal use: with gradients off,
// buttons and forms fill plainly; with hover registration suspended, no
// control is added to the hover list.
void SetGradientsDisabled(bool disabled);
bool GradientsDisabled();
void SetHoverRegistrationSuspended(bool suspended);
bool HoverRegistrationSuspended();

// What the hover list notifies.
class THoverTarget {
 public:
  virtual ~THoverTarget() = default;
  virtual void MouseEnter() {}
  virtual void MouseLeave() {}
};

// Called for every mouse message a control (or form) of this thread
// receives: when target is not null and not yet in the list, every other
// entry of the calling thread hears MouseLeave and leaves the list, then
// (unless registration is suspended) target joins it and hears MouseEnter.
// So moving from one button to another, the first hears its leave before
// the second its enter.
void RegisterHoverControl(THoverTarget* target);
// Takes target out of the list (without a notification); controls call it
// when they are destroyed.
void UnregisterHoverControl(THoverTarget* target);
// Whether target is in the list now.
bool IsHoverControl(const THoverTarget* target);

class TXPForm;

// A control of a form: a rectangle in the form's client pixels.
class TXPControl : public THoverTarget {
 public:
  explicit TXPControl(TXPForm& form);
  ~TXPControl() override;
  TXPControl(const TXPControl&) = delete;
  TXPControl& operator=(const TXPControl&) = delete;

  TXPForm& Form() const { return Owner; }
  void SetBounds(std::int32_t left, std::int32_t top, std::int32_t width, std::int32_t height);
  TRect BoundsRect() const { return Bounds(Left, Top, Width, Height); }
  bool Contains(std::int32_t x, std::int32_t y) const;
  // The control's font, or the form's when it has none.
  TFontHandle EffectiveFont() const;
  bool Focused() const;
  bool CanFocus() const { return Visible && Enabled && TabStop; }
  // Draws the control again, in the form's bitmap and its window.
  void Repaint();

  // Draws into the form's bitmap (dc is its canvas; form pixels).
  virtual void Paint(TCanvas& dc) = 0;
  // Mouse input in form pixels; the control pressed gets the moves and the
  // release wherever the pointer goes.
  virtual void MouseDown(const TMouseEvent& /*event*/) {}
  virtual void MouseMove(const TMouseEvent& /*event*/) {}
  virtual void MouseUp(const TMouseEvent& /*event*/) {}
  // A key while this control has the focus; true when it used it.
  virtual bool KeyDown(const TKeyEvent& /*event*/) { return false; }
  // True for controls that take typed characters (an edit box).
  virtual bool WantsCharacters() const { return false; }
  // A typed character that no focused control took: true when it is this
  // control's accelerator and the control acted on it.
  virtual bool DialogChar(char /*c*/) { return false; }

  std::int32_t Left = 0;
  std::int32_t Top = 0;
  std::int32_t Width = 0;
  std::int32_t Height = 0;
  std::string Caption;
  TFontHandle Font;
  bool Enabled = true;
  bool Visible = true;
  bool TabStop = false;

 protected:
  TXPForm& Owner;
};

// A flat push button: a gradient face that lightens while the mouse is over
// it and darkens while it is pressed, a one-pixel border, and either a
// caption (with an '&' accelerator) or a picture strip with a frame per
// state.
class TXPSpeedButton : public TXPControl {
 public:
  explicit TXPSpeedButton(TXPForm& form);

  TColor ColorMouseOver = RGBColor(245, 245, 245);
  TColor ColorMouseOut = RGBColor(235, 235, 235);
  TColor ColorMouseDown = RGBColor(100, 100, 100);
  // Frames of the picture: NumImages of them, stacked vertically
  // (ImagesVert) or side by side. Empty: the caption is drawn instead.
  TBitmap Picture;
  std::int32_t NumImages = 3;
  // Face colours scaled from Color (0.8 pressed, 1.2 hovered) instead of the
  // three fixed ones.
  bool FadeColorProp = true;
  // The caption two points larger while hovered.
  bool FontResize = false;
  TFillDirection GradientStyle = fdUp;
  bool PictureTransparent = true;
  // Escape clicks the Cancel button; Enter the Default one.
  bool Cancel = false;
  bool Default = false;
  // Given to the form when the button is clicked (mrNone: the form stays).
  std::int32_t ModalResult = mrNone;
  // Solid: the border's corner pixels are drawn too.
  bool BorderSolid = false;
  TColor BorderLight = clBtnHighlight;
  TColor BorderDark = clBtnShadow;
  bool ImagesVert = true;
  TColor Color = clBtnFace;
  // State: the mouse is over the button / the button is pressed.
  bool Hover = false;
  bool Down = false;
  // After the form's modal result is set.
  std::function<void()> OnClick;

  // The face colour of the current state.
  TColor FaceColor() const;
  // The picture's frame for the current state (0 for any strip that is not
  // of three frames) and its rectangle in the picture.
  std::int32_t PictureFrame() const;
  TRect PictureFrameRect(std::int32_t frame) const;
  // The caption's font now (raised while hovered when FontResize is set).
  TFontHandle CaptionFont() const;
  // The form's modal result := ModalResult, then OnClick.
  void Click();

  void Paint(TCanvas& dc) override;
  void MouseDown(const TMouseEvent& event) override;
  void MouseUp(const TMouseEvent& event) override;
  void MouseEnter() override;
  void MouseLeave() override;
  bool KeyDown(const TKeyEvent& event) override;
  bool DialogChar(char c) override;

  // The character after the caption's '&' in lower case, or 0.
  char Accelerator() const;

 private:
  TBitmap Face;  // the off-screen composition, client size
};

// Text on the form's background (transparent), one line or word-wrapped to
// the control's width; "\r\n" and "\n" break lines.
class TXPLabel : public TXPControl {
 public:
  using TXPControl::TXPControl;
  void Paint(TCanvas& dc) override;
  bool WordWrap = false;
  TColor TextColor = clWindowText;
};

// A one-line edit box: typed characters, Backspace, Delete, Left, Right,
// Home, End, Control+A (select all). The whole text is selected when the
// box takes the focus, so typing replaces it. Text is UTF-8; typed
// characters arrive as Latin-1 and are converted.
class TXPEdit : public TXPControl {
 public:
  explicit TXPEdit(TXPForm& form);
  void Paint(TCanvas& dc) override;
  void MouseDown(const TMouseEvent& event) override;
  bool KeyDown(const TKeyEvent& event) override;
  bool WantsCharacters() const override { return true; }

  const std::string& Text() const { return Value; }
  // Cut to MaxLength characters; the caret goes to the end, nothing selected.
  void SetText(std::string_view text);
  void SelectAll();
  bool AllSelected() const { return Selected && !Value.empty(); }
  std::size_t CaretPosition() const { return Caret; }
  // Characters (not bytes) at most.
  std::size_t MaxLength = 255;

 private:
  void Insert(std::string_view utf8);
  std::string Value;
  std::size_t Caret = 0;  // byte offset, on a character boundary
  bool Selected = false;
};

// The 32 x 32 icon of a message dialog.
enum class TMessageIcon { Warning, Error, Information, Confirmation };
class TXPImage : public TXPControl {
 public:
  using TXPControl::TXPControl;
  void Paint(TCanvas& dc) override;
  TMessageIcon Icon = TMessageIcon::Information;
};

// A form: caption, client size, a gradient from Color to white (or Color
// plainly), its controls (owned) and the keyboard focus.
class TXPForm : public TWindowListener, public THoverTarget {
 public:
  TXPForm();
  ~TXPForm() override;
  TXPForm(const TXPForm&) = delete;
  TXPForm& operator=(const TXPForm&) = delete;

  // A new control of type T owned by the form.
  template <typename T>
  T& Add() {
    auto control = std::make_unique<T>(*this);
    T& ref = *control;
    Children.push_back(std::move(control));
    return ref;
  }
  const std::vector<std::unique_ptr<TXPControl>>& Controls() const { return Children; }
  // The visible, enabled control at (x, y), the last added first; null
  // over the background.
  TXPControl* ControlAt(std::int32_t x, std::int32_t y) const;
  TXPControl* FocusedControl() const { return Focus; }
  void SetFocus(TXPControl* control);
  // Tab order is the order controls were added.
  void FocusNext(bool backwards);
  // The enabled, visible button with Default / Cancel set, or null.
  TXPSpeedButton* DefaultButton() const;
  TXPSpeedButton* CancelButton() const;

  // Draws the background and every visible control into the form's bitmap
  // (ClientWidth x ClientHeight) and answers it.
  TBitmap& Render();
  const TBitmap& Bitmap() const { return Buffer; }
  // Draws again and shows the result in the form's window, if it has one.
  void Repaint();

  // Shows the form in a top-level window (centred on the screen, with the
  // first focusable control or the default button focused) and waits until
  // ModalResult is set, the window is closed (mrCancel), the owner asks to
  // cancel (mrCancel) or the owner's window goes away (mrCancel). Answers
  // the modal result, or kModalNotShown (why in LastError) when no window
  // could be opened.
  std::int32_t ShowModal(const TDialogOwner& owner);
  // The window while ShowModal runs, else null.
  TTopLevelWindow* Window() const { return ModalWindow; }
  const std::string& LastError() const { return Error; }

  // Input in client pixels: what the window delivers, and what tests call.
  void OnPaint(const TWindowRect& area) override;
  void OnMouseDown(const TMouseEvent& event) override;
  void OnMouseMove(const TMouseEvent& event) override;
  void OnMouseUp(const TMouseEvent& event) override;
  void OnMouseLeave(const TMouseEvent& event) override;
  void OnKeyDown(const TKeyEvent& event) override;
  void OnCloseRequest() override;
  void OnDestroyed() override;

  std::string Caption;
  std::int32_t ClientWidth = 544;
  std::int32_t ClientHeight = 375;
  TColor Color = clBtnFace;
  bool PlainBackground = false;
  TFillDirection GradientDirection = fdSENW;
  TFontHandle Font;
  std::int32_t ModalResult = mrNone;

 private:
  friend class TXPControl;
  void PaintBackground(TCanvas& dc);
  void Forget(TXPControl* control);

  std::vector<std::unique_ptr<TXPControl>> Children;
  TXPControl* Focus = nullptr;
  TXPControl* Pressed = nullptr;
  TBitmap Buffer;
  TTopLevelWindow* ModalWindow = nullptr;
  bool WindowGone = false;
  std::string Error;
};

// A font by face name and point size (CreateFontEx at 96 dpi).
TFontHandle DialogFont(std::string_view face, int points, bool bold = false);
// The average width of the 52 letters and the line height of font: the
// dialog units that sizes in dialogs are multiplied by (x / 4, y / 8).
TSize DialogUnits(const TFontHandle& font);
// Text without '&' accelerators ("&&" is a literal '&') and the index of the
// accelerated character in the result (-1 for none).
std::string StripAccelerator(std::string_view caption, int* index = nullptr);
// The text broken into lines no wider than maxWidth (at blanks where it
// can, inside a word where one word is wider), at "\r\n" and "\n" always.
std::vector<std::string> WrapText(TCanvas& dc, std::string_view text, std::int32_t maxWidth);
