// The leaves of the control tree: value controllers (faders for knobs,
// sliders and value-edit boxes; switches and button switches), meters and
// LEDs, labels, buttons, notebook (page) buttons and sub-preset buttons.
// Each chooses its theme list in SetStyleIndex, lays itself out in
// UpdateLayout and paints through one of the theme painters.
//
// A controller's value is its parameter's normalised value. The mouse edits
// it: a press and vertical drag steps it (255 pixels cover the whole range;
// every move that changes y moves at least one step), a click adds a step
// (left button) or takes one away (right and middle), a switch toggles on
// release, and a value-menu control opens a popup menu of every value's
// text (in columns of 16). Each press-to-release, or a menu choice, is one
// gesture: BeginUpdate ... EndUpdate, which the plug-in reports to the host.
//
// Window thread only (gui_control.h).
#pragma once

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "gui/controls/gui_control.h"

// Editor control kinds of the parameter descriptors (GuiKind). Stored in
// the descriptor tables: never renumber. Any other code makes no control.
enum TGuiControlKind : std::int32_t {
  kGuiNone = -1,
  kGuiKnob = 1,
  kGuiVSlider = 4,
  kGuiHSlider = 7,
  kGuiVVUMeter = 13,
  kGuiHVUMeter = 16,
  kGuiLED = 19,
  kGuiSwitch = 22,
  kGuiValueEdit = 23,
  kGuiButtonSwitch = 24,
  kGuiValueEditMenu = 25,
  kGuiButtonSwitchMenu = 26,
};

// Descriptor flag bits that change a control's look (GuiFlags).
inline constexpr std::int32_t kGuiFlagCaptionLeft = 0x02;    // caption placed left (wins over right)
inline constexpr std::int32_t kGuiFlagCaptionRight = 0x04;   // caption placed right
inline constexpr std::int32_t kGuiFlagCaptionMiddle = 0x20;  // caption centred vertically
inline constexpr std::int32_t kGuiFlagNoValue = 0x80;        // no value text

class TSPThemeGUIController : public TSPThemeGUIControl {
 public:
  // A value menu holds at most this many entries (a range of thousands of
  // whole values would make a menu nobody can use).
  static constexpr std::int32_t kMaxValueMenuEntries = 1024;
  static constexpr std::int32_t kValueMenuColumn = 16;

  explicit TSPThemeGUIController(TSPThemeGUIControl* parent);

  void MouseDown(TMouseButton button, TShiftState shift, int x, int y, bool& handled) override;
  void MouseMove(TShiftState shift, int x, int y, bool& handled) override;
  void MouseUp(TMouseButton button, TShiftState shift, int x, int y, bool& handled) override;
  void CancelGesture() override;

  // Fills the body's popup menu from OnGetValueStrings; false (and the menu
  // untouched) without a supplier.
  bool BuildValueMenu();
  // A value-menu entry was chosen: entry i of n sets i / (n - 1) as one
  // gesture.
  void ValueMenuClick(TGuiMenuItem* sender);
  // The value a drag from LastY to y gives (clamped to Min..Max).
  float DragValue(int y) const;
  // Drags and clicks need a step that is a finite number other than 0.
  bool StepUsable() const { return std::isfinite(Step) && Step != 0.0f; }

 protected:
  // Switches toggle on every release instead of stepping on a click.
  virtual bool TogglesOnRelease() const { return false; }
  // Ends a gesture left open (its host bracket too) before a new one.
  void EndOpenGesture();
};

// Knobs, sliders and value-edit boxes; range 0..1.
class TSPThemeGUIFader : public TSPThemeGUIController {
 public:
  explicit TSPThemeGUIFader(TSPThemeGUIControl* parent);
  void Paint(TCanvas& dc) override;
  void UpdateLayout() override;
  void SetStyleIndex(std::int32_t index) override;
};

// Switches and button switches; range 0..2, step 1.
class TSPThemeGUISwitch : public TSPThemeGUIController {
 public:
  explicit TSPThemeGUISwitch(TSPThemeGUIControl* parent);
  void Paint(TCanvas& dc) override;
  void UpdateLayout() override;
  void SetStyleIndex(std::int32_t index) override;
  // Off while the value rounds (ties to even) to 0: 0.5 is off.
  bool IsOff() const;

 protected:
  bool TogglesOnRelease() const override { return true; }
};

// Meters and LEDs: they take part in layout and mouse capture but draw
// nothing.
class TSPThemeGUIVUMeter : public TSPThemeGUIControl {
 public:
  explicit TSPThemeGUIVUMeter(TSPThemeGUIControl* parent);
  void UpdateLayout() override;
  void SetStyleIndex(std::int32_t index) override;
};

class TSPThemeGUILabel : public TSPThemeGUIControl {
 public:
  explicit TSPThemeGUILabel(TSPThemeGUIControl* parent);
  void Paint(TCanvas& dc) override;
  void UpdateLayout() override;
  void SetStyleIndex(std::int32_t index) override;
};

class TSPThemeGUIButton : public TSPThemeGUIControl {
 public:
  explicit TSPThemeGUIButton(TSPThemeGUIControl* parent);
  void Paint(TCanvas& dc) override;
  void UpdateLayout() override;
  void SetStyleIndex(std::int32_t index) override;

 protected:
  // Drawn with the "on" picture.
  virtual bool ShowsPressed() const { return false; }
};

// Shows page NoteBookPage of notebook group NoteBookGroup of its parent
// panel when clicked; drawn pressed while that page shows. It must sit on
// the panel that holds the pages it switches.
class TSPThemeGUINoteBookButton : public TSPThemeGUIButton {
 public:
  using TSPThemeGUIButton::TSPThemeGUIButton;
  void Click(TMouseButton button) override;

 protected:
  bool ShowsPressed() const override { return NoteBookPage == ActivePage; }
};

// Opens a menu that OnFillMenu fills (the sub-presets of group
// SubPresetGroup) at the button's top-left corner.
class TSPThemeGUISubPresetsButton : public TSPThemeGUIButton {
 public:
  using TFillMenuEvent = TMethod<void(TSPThemeGUIControl* sender, TGuiPopupMenu& menu, bool leftButton)>;
  using TSPThemeGUIButton::TSPThemeGUIButton;
  void Click(TMouseButton button) override;

  std::int32_t SubPresetGroup = 0;
  TFillMenuEvent OnFillMenu;
};

// A new control on parent for a descriptor's control kind, with the class
// and flags the kind stands for; null (nothing made) for any other kind.
TSPThemeGUIControl* CreateGuiControlByKind(std::int32_t kind, TSPThemeGUIControl* parent);
// The caption placement and value display that descriptor flag bits ask for.
void ApplyGuiFlags(TSPThemeGUIControl& control, std::int32_t flags);
