// The editor's windows on X11: the editor window that lives inside the
// host's window, top-level windows for dialogs, and popup menus.
//
// Threads: a window belongs to the thread that opened it. It opens its own
// connection to the X server there (the host's connection is never used),
// and every Xlib call on that connection happens on that thread: calls from
// any other thread are refused without touching X (they answer false, 0 or
// nothing). There is no thread of our own: events are read when the owner
// calls Pump (the host's editor-idle), inside a popup menu's or a dialog's
// loop, and by Update.
//
// X protocol errors on our connections never reach the host: they are
// counted and the call concerned answers failure. Errors of every other
// connection in the process go to the handler that was installed before
// ours, so the host's own X code sees what it saw without us. If the X
// server goes away, our connection is marked lost and every call answers
// failure; the process is not ended on our account.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/x11/window_types.h"

class TX11Connection;
class TX11WindowState;

// What the editor window and top-level windows share.
class TPlatformWindow {
 public:
  virtual ~TPlatformWindow();
  TPlatformWindow(const TPlatformWindow&) = delete;
  TPlatformWindow& operator=(const TPlatformWindow&) = delete;

  // Ends any gesture (the listener hears OnCaptureLost when the window held
  // the capture or a button was down), releases capture and hidden cursor,
  // destroys the window and, with the last window of the connection, closes
  // the connection. A popup menu or dialog loop running below this call
  // ends with kMenuClosed. Safe to call twice, after the window was destroyed
  // from outside, and from inside a listener call. From another thread it
  // only detaches the window: the connection is closed by the owner thread's
  // next call into this layer.
  void Close();
  // False once closed or destroyed from outside.
  bool IsOpen() const;
  bool OnOwnerThread() const;
  // The X window id; 0 once closed.
  unsigned long Handle() const;
  int Width() const;
  int Height() const;

  // Reads every event waiting on this window's connection and delivers it
  // (to this window and to any other window on the connection), then the
  // pending paints. Answers the number of events read.
  int Pump();
  // Asks for OnPaint of the area (or the whole window) at the end of the next
  // Pump or at Update.
  void Invalidate();
  void Invalidate(const TWindowRect& area);
  // Delivers the pending paints now.
  void Update();
  // Copies the area of the pixels to the same place in the window (pixel
  // (x, y) lands on window pixel (x, y)), clipped to both. Answers false when
  // nothing could be shown (closed, refused, bad view).
  bool Present(const TPixelView& pixels, const TWindowRect& area);

  // Pointer capture: every pointer event comes to this window until
  // ReleaseCapture, wherever the pointer is. Answers false when another
  // client holds the pointer.
  bool SetCapture();
  void ReleaseCapture();
  bool HasCapture() const;
  // The empty cursor over this window and, while captured, everywhere.
  void SetCursorHidden(bool hidden);
  bool CursorHidden() const;
  // Window pixels to screen pixels.
  bool ClientToScreen(int x, int y, int& screenX, int& screenY) const;
  // The size of the screen the window is on, in pixels.
  bool ScreenSize(int& width, int& height) const;
  bool GetCursorScreenPos(int& screenX, int& screenY) const;
  // Moves the pointer (warps it) to a screen position.
  bool SetCursorScreenPos(int screenX, int screenY);

  // Shows a popup menu with its top-left corner at the screen position
  // (moved to stay on the screen) and waits for a choice: a release over an
  // enabled item after the pointer moved or a press inside the menu, or
  // Return on the highlighted item. Escape, a press outside the menu and
  // the window's closing end it without one. While it waits, drain runs
  // about every 10 ms (it keeps the posted calls flowing) and the events of
  // every window of the connection are delivered. Answers the chosen item's
  // index, kMenuCancelled or kMenuClosed; after kMenuClosed this object may
  // already be gone, so the caller must not touch it.
  int PopupMenu(const std::vector<TMenuItem>& items, int screenX, int screenY, const std::function<void()>& drain);

  // Runs events and drain (as a popup menu does) until done answers true,
  // the window closes or is destroyed. Answers false when it ended because
  // of the window. For modal dialogs.
  bool RunModalLoop(const std::function<bool()>& done, const std::function<void()>& drain);

  // X protocol errors trapped on this window's connection so far.
  std::uint64_t XErrorCount() const;

 protected:
  TPlatformWindow();
  std::shared_ptr<TX11Connection> Connection;
  std::unique_ptr<TX11WindowState> State;
};

// The editor inside the host's window: a borderless child window of the
// window id the host passed to the editor-open request.
class TEditorWindow : public TPlatformWindow {
 public:
  // Opens a connection to the display (displayName, or $DISPLAY when null)
  // on the calling thread and shows a child window of parent at (0, 0),
  // width x height pixels (1 to 16384). Answers null, with the reason in
  // why, when there is no display, the connection fails, parent is 0 or not
  // a window, or the window cannot be made; nothing is left behind.
  static std::unique_ptr<TEditorWindow> Open(unsigned long parent, int width, int height, TWindowListener* listener,
                                             std::string* why = nullptr, const char* displayName = nullptr);
  ~TEditorWindow() override;
  unsigned long ParentHandle() const;
  // The host's top-level window that holds the editor (dialogs are
  // transient for it); 0 when it cannot be found.
  unsigned long TopLevelHandle() const;

 private:
  TEditorWindow() = default;
  friend class TTopLevelWindow;
};

// A window of its own for dialogs: managed by the window manager, with a
// title and a fixed size, transient for the editor's top-level window so
// that it stays above it. It takes the keyboard focus once it shows (a
// window manager gives it to a new dialog anyway; without one nobody
// would).
class TTopLevelWindow : public TPlatformWindow {
 public:
  // On owner's connection when owner is given (owner's thread), else on a
  // connection of its own. Answers null (with why) as TEditorWindow::Open.
  static std::unique_ptr<TTopLevelWindow> Open(TEditorWindow* owner, int width, int height, const std::string& title,
                                               TWindowListener* listener, std::string* why = nullptr,
                                               const char* displayName = nullptr);
  ~TTopLevelWindow() override;
  // Places the window at a screen position (before or after it is shown).
  void MoveTo(int screenX, int screenY);

 private:
  TTopLevelWindow() = default;
};
