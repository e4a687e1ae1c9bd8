// The editor's control tree. Controls are plain objects, not windows: a
// root TSPThemeGUIBody, panels (TSPThemeGUIPanel) that own their children,
// and the leaf controls of gui_leaf_controls.h. The body keeps two bitmaps
// of its whole area: Background (surfaces, captions, labels, buttons) and
// Front (Background plus the value controls). One real window, the editor
// panel (editor_window.h), shows Front and passes the mouse into the tree.
//
// The plug-in builds the tree once at set-up, before any window exists, and
// keeps it for its whole life; an editor window only attaches to it.
//
// Threads: the tree is built on the loading thread; afterwards every call
// (values, painting, mouse) comes on the window thread, the host's editor
// thread. Other threads reach a control only through posted calls
// (framework/core/postback.h). Drawing holds GuiLock (process-wide,
// re-entrant; taken before the theme painters' ThemeLock).
//
// Coordinates: Top/Left are absolute, in body (bitmap and window) pixels;
// RelTop/RelLeft of a leaf are relative to its parent. Rectangles hold the
// pixels from (Left, Top) up to but not including (Right, Bottom).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "framework/base/method.h"
#include "framework/core/postback.h"
#include "platform/draw/bitmap.h"
#include "platform/draw/canvas.h"
#include "platform/draw/geometry.h"
#include "platform/x11/window_types.h"

class TSPThemeControl;
class TSPThemeGUIBody;
class TSPThemeGUIControl;
class TSPThemeGUIPanel;
class TGuiPopupMenu;

// The editor's drawing lock (process-wide, re-entrant): held while a
// control, a panel or the body draws, and while Front is copied to a window.
std::recursive_mutex& GuiLock();

enum class TMouseButton { mbLeft, mbRight, mbMiddle };
// Modifier keys and held buttons, as the window reports them (kModShift, ...
// of window_types.h). Nothing in the tree reads them.
using TShiftState = unsigned;

// What the tree asks of the window that shows it (the editor panel). Window
// thread only.
class TGuiWindow {
 public:
  virtual ~TGuiWindow() = default;
  // Copies that area of the body's Front bitmap to the screen.
  virtual void ShowArea(const TRect& area) = 0;
  virtual bool ClientToScreen(const TPoint& client, TPoint& screen) = 0;
  virtual bool GetCursorScreenPos(TPoint& screen) = 0;
  virtual void SetCursorScreenPos(const TPoint& screen) = 0;
  // The empty cursor (hidden) or the default cursor.
  virtual void SetCursorHidden(bool hidden) = 0;
  // Shows the menu with its top-left corner at a screen position and waits
  // for a choice (posted calls keep running meanwhile). Answers the chosen
  // item's index, kMenuCancelled, or kMenuClosed when the window went away.
  virtual int PopupMenu(const std::vector<TMenuItem>& items, const TPoint& screen) = 0;
};

// One entry of a popup menu. OnClick runs when it is chosen.
struct TGuiMenuItem {
  std::string Caption;
  std::int32_t Tag = 0;
  bool Checked = false;
  bool Enabled = true;
  bool BarBreak = false;  // starts a new column
  TMethod<void(TGuiMenuItem* sender)> OnClick;
};

// A popup menu: a flat list of items (the menu's root item's children) and
// a Tag of the menu's own.
class TGuiPopupMenu {
 public:
  std::int32_t Tag = 0;
  TGuiMenuItem* Add() {
    Items.push_back(std::make_unique<TGuiMenuItem>());
    return Items.back().get();
  }
  void Clear() { Items.clear(); }
  std::int32_t Count() const { return static_cast<std::int32_t>(Items.size()); }
  TGuiMenuItem* Item(std::int32_t i) const { return Items.at(static_cast<std::size_t>(i)).get(); }
  // Shows the menu on window at a screen position; the chosen item's
  // OnClick runs before it returns. Answers what TGuiWindow::PopupMenu
  // answered. Nothing is shown for an empty menu or without a window.
  int Popup(TGuiWindow* window, const TPoint& screen);

 private:
  std::vector<std::unique_ptr<TGuiMenuItem>> Items;
};

class TSPThemeGUIControl {
 public:
  using TNotifyEvent = TMethod<void(TSPThemeGUIControl* sender)>;
  using TGetTextEvent = TMethod<void(TSPThemeGUIControl* sender, std::string& text, float value)>;
  // Strings: one short string (at most 255 characters) per value, in value
  // order; count: how many of them the menu shows.
  using TGetValueStringsEvent =
      TMethod<void(TSPThemeGUIControl* sender, std::vector<std::string>& strings, std::int32_t& count)>;
  // A gesture (press to release, or a menu choice) begins or ends: the
  // plug-in brackets the host's automation with it.
  using TGestureEvent = TMethod<void(TSPThemeGUIControl* sender, bool begin)>;

  // Posted-call code of a repaint request.
  static constexpr std::int32_t kPostRepaint = 1000;
  static constexpr std::int32_t kLayerPanel = -1;

  // Sets Parent and joins parent's children (parent owns the new control)
  // before Body is found by following Parent up. Without a parent the
  // control stands alone (Body null) unless it is a body.
  explicit TSPThemeGUIControl(TSPThemeGUIControl* parent);
  // Cancels this control's posted repaints (waiting for one that runs on
  // another thread), gives up the mouse and leaves the parent's list.
  virtual ~TSPThemeGUIControl();
  TSPThemeGUIControl(const TSPThemeGUIControl&) = delete;
  TSPThemeGUIControl& operator=(const TSPThemeGUIControl&) = delete;

  // ---- tree
  virtual void AddControl(TSPThemeGUIControl* /*control*/) {}
  virtual void RemoveControl(TSPThemeGUIControl* /*control*/) {}
  virtual TSPThemeGUIPanel* AsPanel() { return nullptr; }
  TSPThemeGUIControl* GetRoot();

  // ---- drawing
  // Draws the control into dc (a bitmap in body coordinates) and sets
  // PaintedRect. Nothing in the base.
  virtual void Paint(TCanvas& /*dc*/) {}
  // Resolves Style (SetStyleIndex) and, for leaves, the absolute position.
  virtual void UpdateLayout() {}
  virtual void SetStyleIndex(std::int32_t index) { StyleIndex = index; }
  // Whether the control can be seen: a panel's own visibility and notebook
  // page, the parents', and an attached window.
  virtual bool IsShowing();
  // Asks for a repaint through a posted call (at most one waits per
  // control): Full recomposes the whole body, else only this control.
  void RequestRepaint(bool full);
  // The posted call: RepaintNow on the window thread.
  void DoPostedRepaint(const TPostBackRec& record);
  // Full: the body recomposes and the window repaints later. Else, when
  // showing: the control's last painted area is restored from Background,
  // the control paints into Front, and the union of the old and the new
  // painted area goes to the window.
  void RepaintNow(bool full);

  // ---- mouse (body coordinates; the caller clears handled first)
  virtual void Click(TMouseButton /*button*/) {}
  virtual void MouseDown(TMouseButton button, TShiftState shift, int x, int y, bool& handled);
  virtual void MouseMove(TShiftState shift, int x, int y, bool& handled);
  virtual void MouseUp(TMouseButton button, TShiftState shift, int x, int y, bool& handled);
  // The window lost the mouse in the middle of a gesture (closed or
  // destroyed): the gesture ends where it is, nothing is clicked.
  virtual void CancelGesture();
  bool HitTest(int x, int y) const { return x >= Left && x < Left + Width && y >= Top && y < Top + Height; }

  // ---- value
  // Stores v when it differs from Value (a value that is not a number is
  // ignored): tells OnValueChanged while Notify is set, then asks for a
  // repaint.
  void SetValue(float v);
  // SetValue that never tells OnValueChanged: values that come from the
  // plug-in side must not echo back into it.
  void SetValueFromPlugin(float v);
  void SetStep(float s) {
    if (s != Step) Step = s;
  }
  // (Value - Min) * 100 / (Max - Min); 0 for an empty range.
  float GetPercent() const;
  bool IsUpdating() const { return UpdateCount != 0; }
  // Gesture bracket: the outermost BeginUpdate clears Notify and tells
  // OnGesture; the outermost EndUpdate sets Notify and tells OnGesture.
  void BeginUpdate();
  void EndUpdate();

  // ---- geometry
  std::int32_t Bottom() const { return Top + Height; }
  std::int32_t Right() const { return Left + Width; }
  TRect ClientRect() const { return {0, 0, Width, Height}; }
  TRect BoundsRect() const { return Bounds(Left, Top, Width, Height); }
  // Top/Left := the parent's plus RelTop/RelLeft (or RelTop/RelLeft alone).
  void UpdateAbsolutePosition();

  TGetValueStringsEvent OnGetValueStrings;
  std::int32_t LastY = 0;
  std::int32_t PressY = 0;
  std::int32_t PressX = 0;
  TPoint SavedCursorPos{-1, -1};  // (-1, -1) while a value menu is open
  bool Pressed = false;
  bool Moved = false;
  bool HideCursor = false;  // hide the cursor while dragging, put it back at release
  bool Notify = false;      // SetValue tells OnValueChanged only while set
  std::int32_t UpdateCount = 0;
  TRect PaintedRect{};         // what the last Paint covered (body coordinates)
  bool RepaintAllowed = true;  // no repaint request of this control waits
  TSPThemeGUIBody* Body = nullptr;
  TSPThemeGUIControl* Parent = nullptr;
  TSPThemeControl* Style = nullptr;  // null draws the placeholder
  TNotifyEvent OnValueChanged;
  TGetTextEvent OnGetText;
  TGestureEvent OnGesture;
  float Max = 1.0f;
  float Min = 0.0f;
  float Step = 0.1f;
  float Value = 0.5f;
  bool Visible = true;
  bool Down = false;
  std::int32_t Layer = 0;  // -1 panels, 0 and 1 background controls, 2 value controls
  std::int32_t Width = 8;
  std::int32_t Height = 8;
  std::int32_t Top = 0;
  std::int32_t Left = 0;
  std::int32_t RelTop = 0;
  std::int32_t RelLeft = 0;
  std::int32_t ThemeIndex = 0;
  std::int32_t StyleIndex = 1;
  bool ButtonMode = false;
  bool Slider = false;
  bool Horizontal = false;
  std::string Caption;
  bool ShowCaption = false;
  bool ShowValue = false;
  bool ValueMenu = false;  // a press opens the value menu instead of a drag
  std::int32_t ParamIndex = -1;
  std::int32_t NoteBookGroup = 0;
  std::int32_t NoteBookPage = 0;
  std::int32_t ActivePage = 0;
  std::uint8_t CaptionHAlign = 3;  // 3 keeps the caption style's placement
  std::uint8_t CaptionVAlign = 3;

 protected:
  // The window that shows the tree, or null.
  TGuiWindow* Window() const;
  // A press at (x, y): true (and the mouse taken, handled set) on a hit
  // while the control did not hold the mouse yet; a press while it holds it
  // is handled and answers false.
  bool TakeMouse(int x, int y, bool& handled);
  // The control that holds the mouse (the body's; none without a body).
  TSPThemeGUIControl* Captured() const;
  void SetCaptured(TSPThemeGUIControl* control) const;
  // Set by a panel while it frees its children, so they do not leave the
  // list being walked.
  bool Detached = false;
  friend class TSPThemeGUIPanel;
};

class TSPThemeGUIPanel : public TSPThemeGUIControl {
 public:
  TSPThemeGUIPanel(TSPThemeGUIControl* parent, std::string caption);
  // Frees every child.
  ~TSPThemeGUIPanel() override;

  void AddControl(TSPThemeGUIControl* control) override;
  void RemoveControl(TSPThemeGUIControl* control) override;
  TSPThemeGUIPanel* AsPanel() override { return this; }
  const std::vector<TSPThemeGUIControl*>& Children() const { return ChildList; }
  // Every control below this panel, depth first, in list order.
  void ForEachControl(const std::function<void(TSPThemeGUIControl*)>& visit);

  // The surface entry of the theme (SetStyleIndex).
  void UpdateLayout() override;
  void SetStyleIndex(std::int32_t index) override;
  bool IsShowing() override;
  // Surface, caption, the layer-0 then layer-1 children, then the child
  // panels' backgrounds.
  virtual void PaintBackground(TCanvas& dc);
  // The foreground: the child panels' foregrounds, then the layer-2 children.
  void Paint(TCanvas& dc) override;
  // Every direct child of that notebook group shows page; the mouse is
  // released; the body recomposes and repaints now.
  void ShowPage(std::int32_t group, std::int32_t page);

  void MouseDown(TMouseButton button, TShiftState shift, int x, int y, bool& handled) override;
  void MouseMove(TShiftState shift, int x, int y, bool& handled) override;
  void MouseUp(TMouseButton button, TShiftState shift, int x, int y, bool& handled) override;

 protected:
  void FreeChildren();
  // Whether a child takes part in mouse routing.
  static bool TakesMouse(TSPThemeGUIControl* child);

 private:
  std::vector<TSPThemeGUIControl*> ChildList;  // owned
};

class TSPThemeGUIBody : public TSPThemeGUIPanel {
 public:
  using TGetWindowEvent = TMethod<void(TSPThemeGUIBody* sender, TGuiWindow*& window)>;

  explicit TSPThemeGUIBody(TSPThemeGUIControl* parent = nullptr, std::string caption = {});
  ~TSPThemeGUIBody() override;

  // Mark: the bitmaps need recomposing. Call: Now recomposes at once, then
  // OnInvalidate asks the window to repaint.
  void Invalidate(bool call, bool mark, bool now);
  // The bitmaps' canvases, recomposed first when needed.
  TCanvas& BackgroundDC();
  TCanvas& FrontDC();
  const TBitmap& FrontBitmap();
  // Recomposes both bitmaps when NeedsRedraw is set: the background, then a
  // copy of it with the foreground on top.
  void FullRedraw();
  // The window that shows the body (OnGetWindow), or null.
  TGuiWindow* WindowHandle();
  // A new empty popup menu in place of the current one.
  TGuiPopupMenu& NewPopupMenu();
  // The current popup menu, kept alive by the caller while it is shown.
  std::shared_ptr<TGuiPopupMenu> CurrentPopupMenu() const { return PopupMenu; }

  TGetWindowEvent OnGetWindow;
  TNotifyEvent OnInvalidate;
  bool NeedsRedraw = true;
  std::unique_ptr<TBitmap> Front;
  std::unique_ptr<TBitmap> Background;
  std::shared_ptr<TGuiPopupMenu> PopupMenu;
  bool Attached = false;  // a window shows the body
  // The control that holds the mouse: one per tree, so editors of two
  // plug-ins never take each other's mouse.
  TSPThemeGUIControl* CapturedControl = nullptr;
};

// Formats v with two decimals and '.' (the value text of a fader without a
// text supplier).
std::string FormatValue00(float v);
