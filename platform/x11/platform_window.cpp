#include "platform/x11/platform_window.h"

#include <X11/Xatom.h>
#include <X11/keysym.h>

#include <atomic>
#include <cstring>

#include "platform/x11/popup_menu.h"
#include "platform/x11/x11_connection.h"

namespace {

constexpr int kMaxWindowSize = 16384;

constexpr long kWindowEvents = ExposureMask | ButtonPressMask | ButtonReleaseMask | PointerMotionMask |
                               EnterWindowMask | LeaveWindowMask | KeyPressMask | KeyReleaseMask | StructureNotifyMask;
constexpr unsigned kCaptureEvents =
    ButtonPressMask | ButtonReleaseMask | PointerMotionMask | EnterWindowMask | LeaveWindowMask;

unsigned ModifiersOf(unsigned state) {
  unsigned m = 0;
  if (state & ShiftMask) m |= kModShift;
  if (state & ControlMask) m |= kModControl;
  if (state & Mod1Mask) m |= kModAlt;
  if (state & Button1Mask) m |= kModLeftButton;
  if (state & Button2Mask) m |= kModMiddleButton;
  if (state & Button3Mask) m |= kModRightButton;
  return m;
}

bool IsWheelButton(unsigned button) { return button >= 4 && button <= 7; }

}  // namespace

// The X side of one of our windows: its id, its drawing context and what
// the events have told so far. Lives on the owner thread (a window closed
// elsewhere waits, detached from its listener, until that thread reaps it).
class TX11WindowState : public TX11EventTarget {
 public:
  TX11WindowState(std::shared_ptr<TX11Connection> connection, TWindowListener* listener)
      : Conn(std::move(connection)), Listener(listener) {}
  ~TX11WindowState() override {
    if (Conn->OnOwnerThread()) Teardown(false);
  }

  bool Create(Window parent, int width, int height, bool overrideRedirect) {
    Win = Conn->CreateWindow(parent, 0, 0, width, height, kWindowEvents, overrideRedirect);
    if (!Win) return false;
    XGCValues values;
    std::memset(&values, 0, sizeof values);
    values.graphics_exposures = False;
    Gc = XCreateGC(Conn->Dpy(), Win, GCGraphicsExposures, &values);
    W = width;
    H = height;
    Conn->Register(Win, this);
    return true;
  }

  bool Live() const { return Win != 0 && Conn->Usable(); }

  // Ends the window: capture, hidden cursor, the window itself. With notify
  // the listener hears OnCaptureLost when a gesture was under way. Nothing
  // of this object is touched after that call.
  void Teardown(bool notify) {
    const bool gesture = Captured || ButtonsDown != 0;
    const Window w = Win;
    Win = 0;
    if (w) {
      Conn->Unregister(w);
      if (Conn->Usable()) {
        if (Captured) XUngrabPointer(Conn->Dpy(), CurrentTime);
        XDestroyWindow(Conn->Dpy(), w);
      }
    }
    // Also on a lost connection: the drawing context's memory is ours.
    if (Gc && Conn->OnOwnerThread()) XFreeGC(Conn->Dpy(), Gc);
    Gc = nullptr;
    // Errors of a window that was already gone arrive now, and are ours.
    if (w && Conn->Usable()) XSync(Conn->Dpy(), False);
    Captured = false;
    Hidden = false;
    ButtonsDown = 0;
    TWindowListener* listener = Listener.exchange(nullptr);
    if (notify && gesture && listener) listener->OnCaptureLost();
  }

  void HandleEvent(XEvent& e) override {
    TWindowListener* listener = Listener.load();
    switch (e.type) {
      case Expose:
        Exposed = Exposed.Union({e.xexpose.x, e.xexpose.y, e.xexpose.width, e.xexpose.height});
        if (e.xexpose.count == 0) {
          PendingPaint = PendingPaint.Union(Exposed);
          Exposed = {};
        }
        return;
      case ButtonPress:
      case ButtonRelease: {
        const unsigned button = e.xbutton.button;
        if (IsWheelButton(button)) {
          if (e.type == ButtonRelease) return;
          TWheelEvent wheel;
          wheel.X = e.xbutton.x;
          wheel.Y = e.xbutton.y;
          wheel.DeltaY = button == 4 ? 1 : button == 5 ? -1 : 0;
          wheel.DeltaX = button == 6 ? -1 : button == 7 ? 1 : 0;
          wheel.Modifiers = ModifiersOf(e.xbutton.state);
          if (listener) listener->OnWheel(wheel);
          return;
        }
        TMouseEvent m;
        m.X = e.xbutton.x;
        m.Y = e.xbutton.y;
        m.ScreenX = e.xbutton.x_root;
        m.ScreenY = e.xbutton.y_root;
        m.Button = static_cast<int>(button);
        m.Modifiers = ModifiersOf(e.xbutton.state);
        const unsigned bit = button < 32 ? 1u << button : 0;
        if (e.type == ButtonPress) {
          ButtonsDown |= bit;
          if (listener) listener->OnMouseDown(m);
        } else {
          ButtonsDown &= ~bit;
          if (listener) listener->OnMouseUp(m);
        }
        return;
      }
      case MotionNotify: {
        TMouseEvent m;
        m.X = e.xmotion.x;
        m.Y = e.xmotion.y;
        m.ScreenX = e.xmotion.x_root;
        m.ScreenY = e.xmotion.y_root;
        m.Modifiers = ModifiersOf(e.xmotion.state);
        if (listener) listener->OnMouseMove(m);
        return;
      }
      case EnterNotify:
      case LeaveNotify: {
        // Crossings caused by grabs are not the pointer entering or leaving.
        if (e.xcrossing.mode != NotifyNormal) return;
        TMouseEvent m;
        m.X = e.xcrossing.x;
        m.Y = e.xcrossing.y;
        m.ScreenX = e.xcrossing.x_root;
        m.ScreenY = e.xcrossing.y_root;
        m.Modifiers = ModifiersOf(e.xcrossing.state);
        if (!listener) return;
        if (e.type == EnterNotify) listener->OnMouseEnter(m);
        else listener->OnMouseLeave(m);
        return;
      }
      case KeyPress:
      case KeyRelease: {
        char text[16] = {};
        KeySym sym = NoSymbol;
        const int n = XLookupString(&e.xkey, text, sizeof text - 1, &sym, nullptr);
        TKeyEvent k;
        k.KeySym = static_cast<std::uint32_t>(sym);
        k.Text.assign(text, static_cast<std::size_t>(n > 0 ? n : 0));
        k.Modifiers = ModifiersOf(e.xkey.state);
        if (!listener) return;
        if (e.type == KeyPress) listener->OnKeyDown(k);
        else listener->OnKeyUp(k);
        return;
      }
      case MapNotify:
        // Only a viewable window can take the focus.
        if (FocusOnMap && e.xmap.window == Win) {
          FocusOnMap = false;
          XSetInputFocus(Conn->Dpy(), Win, RevertToParent, CurrentTime);
        }
        return;
      case ConfigureNotify:
        if (e.xconfigure.window == Win) {
          W = e.xconfigure.width;
          H = e.xconfigure.height;
        }
        return;
      case ClientMessage:
        if (WmDelete && static_cast<Atom>(e.xclient.data.l[0]) == WmDelete && listener) listener->OnCloseRequest();
        return;
      case DestroyNotify: {
        if (e.xdestroywindow.window != Win) return;
        // Destroyed from outside: the host destroyed our parent. The server
        // has ended any grab of the window with it.
        const bool gesture = Captured || ButtonsDown != 0;
        Conn->Unregister(Win);
        Conn->RequestStop();
        Win = 0;
        Captured = false;
        Hidden = false;
        ButtonsDown = 0;
        Listener.store(nullptr);
        if (listener && gesture) listener->OnCaptureLost();
        if (listener) listener->OnDestroyed();
        return;
      }
      default:
        return;
    }
  }

  void AfterEvents() override { DeliverPaint(); }

  void DeliverPaint() {
    TWindowListener* listener = Listener.load();
    const TWindowRect area = PendingPaint.Intersect({0, 0, W, H});
    PendingPaint = {};
    if (listener && !area.Empty() && Live()) listener->OnPaint(area);
  }

  std::shared_ptr<TX11Connection> Conn;
  std::atomic<TWindowListener*> Listener;
  Window Win = 0;
  Window Parent = 0;
  GC Gc = nullptr;
  int W = 0;
  int H = 0;
  Atom WmDelete = 0;
  bool Captured = false;
  bool Hidden = false;
  bool FocusOnMap = false;
  unsigned ButtonsDown = 0;  // bit n: button n is down
  TWindowRect Exposed;       // expose rectangles of the sequence being read
  TWindowRect PendingPaint;
};

// ---- TPlatformWindow --------------------------------------------------------

TPlatformWindow::TPlatformWindow() = default;

TPlatformWindow::~TPlatformWindow() { Close(); }

void TPlatformWindow::Close() {
  if (!State) return;
  if (!Connection->OnOwnerThread()) {
    // Not ours to touch: the owner thread destroys it when it comes back.
    State->Listener.store(nullptr);
    TX11Connection::Orphan(std::move(Connection), std::move(State));
    return;
  }
  // Moved out first: calls from the listener during teardown see a closed
  // window.
  std::unique_ptr<TX11WindowState> state = std::move(State);
  std::shared_ptr<TX11Connection> connection = std::move(Connection);
  connection->RequestStop();
  state->Teardown(true);
  state.reset();
  connection.reset();
}

bool TPlatformWindow::IsOpen() const { return State && State->Live(); }

bool TPlatformWindow::OnOwnerThread() const { return Connection && Connection->OnOwnerThread(); }

unsigned long TPlatformWindow::Handle() const { return State ? State->Win : 0; }

int TPlatformWindow::Width() const { return State ? State->W : 0; }

int TPlatformWindow::Height() const { return State ? State->H : 0; }

int TPlatformWindow::Pump() {
  if (!State || !Connection->Usable()) {
    TX11Connection::ReapOrphans();
    return 0;
  }
  // The connection outlives this call even if a listener closes us.
  const std::shared_ptr<TX11Connection> connection = Connection;
  return connection->Pump();
}

void TPlatformWindow::Invalidate() {
  if (State) Invalidate({0, 0, State->W, State->H});
}

void TPlatformWindow::Invalidate(const TWindowRect& area) {
  if (State && Connection->OnOwnerThread()) State->PendingPaint = State->PendingPaint.Union(area);
}

void TPlatformWindow::Update() {
  if (State && Connection->Usable()) State->DeliverPaint();
}

bool TPlatformWindow::Present(const TPixelView& pixels, const TWindowRect& area) {
  if (!IsOpen()) return false;
  return Connection->PutPixels(State->Win, State->Gc, pixels, area, {0, 0, State->W, State->H});
}

bool TPlatformWindow::SetCapture() {
  if (!IsOpen()) return false;
  if (State->Captured) return true;
  const Cursor cursor = State->Hidden ? Connection->BlankCursor() : None;
  const int r = XGrabPointer(Connection->Dpy(), State->Win, False, kCaptureEvents, GrabModeAsync, GrabModeAsync, None,
                             cursor, CurrentTime);
  State->Captured = r == GrabSuccess;
  return State->Captured;
}

void TPlatformWindow::ReleaseCapture() {
  if (!IsOpen() || !State->Captured) return;
  // A round trip: once this returns, the pointer is free for everyone.
  XUngrabPointer(Connection->Dpy(), CurrentTime);
  XSync(Connection->Dpy(), False);
  State->Captured = false;
}

bool TPlatformWindow::HasCapture() const { return State && State->Captured; }

void TPlatformWindow::SetCursorHidden(bool hidden) {
  if (!IsOpen() || State->Hidden == hidden) return;
  Display* d = Connection->Dpy();
  const Cursor blank = hidden ? Connection->BlankCursor() : None;
  if (hidden) XDefineCursor(d, State->Win, blank);
  else XUndefineCursor(d, State->Win);
  if (State->Captured) XChangeActivePointerGrab(d, kCaptureEvents, blank, CurrentTime);
  XFlush(d);
  State->Hidden = hidden;
}

bool TPlatformWindow::CursorHidden() const { return State && State->Hidden; }

bool TPlatformWindow::ClientToScreen(int x, int y, int& screenX, int& screenY) const {
  if (!IsOpen()) return false;
  Window child = 0;
  return XTranslateCoordinates(Connection->Dpy(), State->Win, Connection->Root(), x, y, &screenX, &screenY, &child) !=
         0;
}

bool TPlatformWindow::ScreenSize(int& width, int& height) const {
  if (!IsOpen()) return false;
  width = Connection->ScreenWidth();
  height = Connection->ScreenHeight();
  return width > 0 && height > 0;
}

bool TPlatformWindow::GetCursorScreenPos(int& screenX, int& screenY) const {
  if (!IsOpen()) return false;
  Window root = 0, child = 0;
  int wx = 0, wy = 0;
  unsigned mask = 0;
  return XQueryPointer(Connection->Dpy(), Connection->Root(), &root, &child, &screenX, &screenY, &wx, &wy, &mask) != 0;
}

bool TPlatformWindow::SetCursorScreenPos(int screenX, int screenY) {
  if (!IsOpen()) return false;
  XWarpPointer(Connection->Dpy(), None, Connection->Root(), 0, 0, 0, 0, screenX, screenY);
  XSync(Connection->Dpy(), False);
  return true;
}

int TPlatformWindow::PopupMenu(const std::vector<TMenuItem>& items, int screenX, int screenY,
                               const std::function<void()>& drain) {
  if (!IsOpen()) return kMenuCancelled;
  // The menu takes the pointer: the press that opened it ends in the menu,
  // and any capture of ours ends with the menu's grab.
  State->Captured = false;
  State->ButtonsDown = 0;
  const std::shared_ptr<TX11Connection> connection = Connection;
  // From here on this object may be closed and freed by what the loop runs.
  return RunPopupMenu(connection, items, screenX, screenY, drain);
}

bool TPlatformWindow::RunModalLoop(const std::function<bool()>& done, const std::function<void()>& drain) {
  if (!IsOpen()) return false;
  const std::shared_ptr<TX11Connection> connection = Connection;
  const std::uint64_t stops = connection->StopCount();
  // From here on this object may be closed and freed by what the loop runs.
  for (;;) {
    if (done && done()) return true;
    if (connection->IsLost() || connection->StopCount() != stops) return false;
    connection->Pump();
    if (done && done()) return true;
    if (connection->IsLost() || connection->StopCount() != stops) return false;
    if (drain) drain();
    connection->Wait(10);
  }
}

std::uint64_t TPlatformWindow::XErrorCount() const { return Connection ? Connection->ErrorCount() : 0; }

// ---- TEditorWindow ----------------------------------------------------------

std::unique_ptr<TEditorWindow> TEditorWindow::Open(unsigned long parent, int width, int height,
                                                   TWindowListener* listener, std::string* why,
                                                   const char* displayName) {
  auto fail = [&](const std::string& reason) {
    if (why) *why = reason;
    return std::unique_ptr<TEditorWindow>();
  };
  if (parent == 0) return fail("no parent window");
  if (width < 1 || height < 1 || width > kMaxWindowSize || height > kMaxWindowSize)
    return fail("editor size " + std::to_string(width) + " x " + std::to_string(height) + " out of range");
  std::shared_ptr<TX11Connection> connection = TX11Connection::Open(displayName, why);
  if (!connection) return nullptr;
  Display* d = connection->Dpy();
  XWindowAttributes attributes;
  const unsigned long serial = connection->NextSerial();
  if (!XGetWindowAttributes(d, parent, &attributes) || connection->SyncFailed(serial)) {
    char text[64];
    std::snprintf(text, sizeof text, "window 0x%lx does not exist", parent);
    return fail(text);
  }
  auto state = std::make_unique<TX11WindowState>(connection, listener);
  if (!state->Create(parent, width, height, false)) return fail("cannot create the editor window");
  state->Parent = parent;
  XMapWindow(d, state->Win);
  // Shown on the server once Open returns.
  XSync(d, False);
  std::unique_ptr<TEditorWindow> window(new TEditorWindow());
  window->Connection = std::move(connection);
  window->State = std::move(state);
  return window;
}

TEditorWindow::~TEditorWindow() = default;

unsigned long TEditorWindow::ParentHandle() const { return State ? State->Parent : 0; }

unsigned long TEditorWindow::TopLevelHandle() const {
  if (!IsOpen()) return 0;
  Display* d = Connection->Dpy();
  const Atom wmState = XInternAtom(d, "WM_STATE", False);
  // Up from our window: the first ancestor the window manager calls a
  // client (it has WM_STATE) is the host's top-level window; without a
  // window manager, the highest ancestor below the root.
  Window w = State->Win, highest = 0;
  for (int depth = 0; depth < 64; ++depth) {
    Window root = 0, parent = 0, *children = nullptr;
    unsigned count = 0;
    const unsigned long serial = Connection->NextSerial();
    if (!XQueryTree(d, w, &root, &parent, &children, &count) || Connection->SyncFailed(serial)) return 0;
    if (children) XFree(children);
    if (parent == 0 || parent == root) return highest;
    w = parent;
    highest = w;
    Atom type = None;
    int format = 0;
    unsigned long items = 0, after = 0;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(d, w, wmState, 0, 0, False, AnyPropertyType, &type, &format, &items, &after, &data) ==
            Success &&
        data)
      XFree(data);
    if (type != None) return w;
  }
  return highest;
}

// ---- TTopLevelWindow --------------------------------------------------------

std::unique_ptr<TTopLevelWindow> TTopLevelWindow::Open(TEditorWindow* owner, int width, int height,
                                                       const std::string& title, TWindowListener* listener,
                                                       std::string* why, const char* displayName) {
  auto fail = [&](const std::string& reason) {
    if (why) *why = reason;
    return std::unique_ptr<TTopLevelWindow>();
  };
  if (width < 1 || height < 1 || width > kMaxWindowSize || height > kMaxWindowSize)
    return fail("window size " + std::to_string(width) + " x " + std::to_string(height) + " out of range");
  std::shared_ptr<TX11Connection> connection;
  Window transientFor = 0;
  if (owner) {
    if (!owner->IsOpen() || !owner->Connection->Usable()) return fail("the owner window is not open on this thread");
    connection = owner->Connection;
    transientFor = owner->TopLevelHandle();
  } else {
    connection = TX11Connection::Open(displayName, why);
    if (!connection) return nullptr;
  }
  auto state = std::make_unique<TX11WindowState>(connection, listener);
  if (!state->Create(connection->Root(), width, height, false)) return fail("cannot create the window");
  Display* d = connection->Dpy();
  const Window w = state->Win;
  // Title (both the old and the UTF-8 property), fixed size, a dialog's
  // type, the close button as a message, and its owner.
  XStoreName(d, w, title.c_str());
  const Atom utf8 = XInternAtom(d, "UTF8_STRING", False);
  XChangeProperty(d, w, XInternAtom(d, "_NET_WM_NAME", False), utf8, 8, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(title.data()), static_cast<int>(title.size()));
  XSizeHints* hints = XAllocSizeHints();
  if (hints) {
    hints->flags = PMinSize | PMaxSize;
    hints->min_width = hints->max_width = width;
    hints->min_height = hints->max_height = height;
    XSetWMNormalHints(d, w, hints);
    XFree(hints);
  }
  const Atom dialogType = XInternAtom(d, "_NET_WM_WINDOW_TYPE_DIALOG", False);
  XChangeProperty(d, w, XInternAtom(d, "_NET_WM_WINDOW_TYPE", False), XA_ATOM, 32, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(&dialogType), 1);
  state->WmDelete = XInternAtom(d, "WM_DELETE_WINDOW", False);
  XSetWMProtocols(d, w, &state->WmDelete, 1);
  if (transientFor) XSetTransientForHint(d, w, transientFor);
  if (XWMHints* wmHints = XAllocWMHints()) {
    wmHints->flags = InputHint;
    wmHints->input = True;
    XSetWMHints(d, w, wmHints);
    XFree(wmHints);
  }
  state->FocusOnMap = true;
  state->Parent = connection->Root();
  XMapRaised(d, w);
  XSync(d, False);
  std::unique_ptr<TTopLevelWindow> window(new TTopLevelWindow());
  window->Connection = std::move(connection);
  window->State = std::move(state);
  return window;
}

TTopLevelWindow::~TTopLevelWindow() = default;

void TTopLevelWindow::MoveTo(int screenX, int screenY) {
  if (!IsOpen()) return;
  Display* d = Connection->Dpy();
  if (XSizeHints* hints = XAllocSizeHints()) {
    hints->flags = PMinSize | PMaxSize | USPosition;
    hints->min_width = hints->max_width = State->W;
    hints->min_height = hints->max_height = State->H;
    hints->x = screenX;
    hints->y = screenY;
    XSetWMNormalHints(d, State->Win, hints);
    XFree(hints);
  }
  XMoveWindow(d, State->Win, screenX, screenY);
  XFlush(d);
}
