// What the editor's windows exchange with the code that draws into them:
// rectangles, pixel views, input events, the listener that receives them and
// popup-menu items. No X11 header is needed to use them.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>

// A rectangle in window pixels; Width or Height <= 0 is empty.
struct TWindowRect {
  int Left = 0;
  int Top = 0;
  int Width = 0;
  int Height = 0;

  int Right() const { return Left + Width; }
  int Bottom() const { return Top + Height; }
  bool Empty() const { return Width <= 0 || Height <= 0; }
  // The smallest rectangle holding both (an empty one adds nothing).
  TWindowRect Union(const TWindowRect& o) const {
    if (o.Empty()) return *this;
    if (Empty()) return o;
    const int l = std::min(Left, o.Left), t = std::min(Top, o.Top);
    return {l, t, std::max(Right(), o.Right()) - l, std::max(Bottom(), o.Bottom()) - t};
  }
  TWindowRect Intersect(const TWindowRect& o) const {
    const int l = std::max(Left, o.Left), t = std::max(Top, o.Top);
    const int r = std::min(Right(), o.Right()), b = std::min(Bottom(), o.Bottom());
    if (r <= l || b <= t) return {};
    return {l, t, r - l, b - t};
  }
  bool Contains(int x, int y) const { return x >= Left && x < Right() && y >= Top && y < Bottom(); }
};

// Read-only view of 32-bit pixels as the drawing layer's bitmaps and Cairo
// image surfaces hold them: one 0xAARRGGBB word per pixel in the machine's
// byte order, rows Stride bytes apart. Windows are opaque: the top byte is
// ignored.
struct TPixelView {
  const std::uint32_t* Data = nullptr;
  int Width = 0;
  int Height = 0;
  int Stride = 0;  // bytes from one row to the next, at least 4 x Width

  bool Valid() const { return Data && Width > 0 && Height > 0 && Stride >= Width * 4; }
};

// Button numbers as X numbers them: 1 left, 2 middle, 3 right, 8 and 9 the
// side buttons. Wheel steps arrive as TWheelEvent, never as buttons.
enum : int { kMouseLeft = 1, kMouseMiddle = 2, kMouseRight = 3 };

// Modifier keys and the buttons held, in TMouseEvent::Modifiers and
// TKeyEvent::Modifiers.
enum : unsigned {
  kModShift = 1u << 0,
  kModControl = 1u << 1,
  kModAlt = 1u << 2,
  kModLeftButton = 1u << 3,
  kModMiddleButton = 1u << 4,
  kModRightButton = 1u << 5,
};

struct TMouseEvent {
  int X = 0;  // window pixels (outside the window while the pointer is captured)
  int Y = 0;
  int ScreenX = 0;
  int ScreenY = 0;
  int Button = 0;          // the button pressed or released; 0 for moves, enter and leave
  unsigned Modifiers = 0;  // state before this event
};

struct TWheelEvent {
  int X = 0;
  int Y = 0;
  int DeltaX = 0;  // steps: +1 right, -1 left
  int DeltaY = 0;  // steps: +1 away from the user (up), -1 towards (down)
  unsigned Modifiers = 0;
};

struct TKeyEvent {
  std::uint32_t KeySym = 0;  // the X key symbol (XK_Escape, XK_a, ...)
  std::string Text;          // the characters the key types (Latin-1), often empty
  unsigned Modifiers = 0;
};

// Receives a window's events. Every call comes on the thread that opened the
// window, from inside its Pump, Update, a popup menu's loop or Close. A
// listener may close its window from inside a call.
class TWindowListener {
 public:
  virtual ~TWindowListener() = default;
  // Part of the window needs its pixels again (exposed, or invalidated).
  virtual void OnPaint(const TWindowRect& /*area*/) {}
  virtual void OnMouseDown(const TMouseEvent& /*event*/) {}
  virtual void OnMouseMove(const TMouseEvent& /*event*/) {}
  virtual void OnMouseUp(const TMouseEvent& /*event*/) {}
  virtual void OnMouseEnter(const TMouseEvent& /*event*/) {}
  virtual void OnMouseLeave(const TMouseEvent& /*event*/) {}
  virtual void OnWheel(const TWheelEvent& /*event*/) {}
  virtual void OnKeyDown(const TKeyEvent& /*event*/) {}
  virtual void OnKeyUp(const TKeyEvent& /*event*/) {}
  // A press-to-release gesture ended without its release reaching the
  // window: the window is being closed, or was destroyed with its parent,
  // while it held the capture or a button was down. Capture and hidden
  // cursor are already undone; end the gesture (the host's end-edit).
  virtual void OnCaptureLost() {}
  // Top-level windows: the window manager's close button.
  virtual void OnCloseRequest() {}
  // The window was destroyed from outside (the host destroyed its parent);
  // no further events come.
  virtual void OnDestroyed() {}
};

// One entry of a popup menu. An item whose text is "-" is a separator line.
struct TMenuItem {
  std::string Text;
  int Tag = 0;            // the caller's own value; the menu does not use it
  bool Checked = false;   // a check mark before the text
  bool Enabled = true;    // disabled items show grey and cannot be chosen
  bool BarBreak = false;  // starts a new column, with a line between the columns
};

// What PopupMenu answers besides the index of the chosen item.
enum : int {
  kMenuCancelled = -1,  // Escape, a press outside the menu, or no menu could be shown
  kMenuClosed = -2,     // the window was closed or destroyed while the menu was open
};
