#include "tools/host/editor_host.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/extensions/Xfixes.h>

#include <bit>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

namespace {

using TClock = std::chrono::steady_clock;
constexpr auto kIdlePeriod = std::chrono::milliseconds(40);  // 25 Hz, as hosts idle editors
// How long input may take to reach the editor on a busy machine before the
// host gives up waiting, and how long one idle call may go on before it is
// taken for a modal loop.
constexpr auto kSettleTimeout = std::chrono::seconds(30);
constexpr auto kModalGrace = std::chrono::seconds(3);

Display* Dpy(void* d) { return static_cast<Display*>(d); }

// The host's X errors: counted, never fatal. Installed with the first
// connection of ours; the plug-in's own handler may sit on top of it and
// hand us the errors of our connections.
std::atomic<std::uint64_t> HostErrors{0};
std::mutex HandlerLock;
int HandlerUsers = 0;
XErrorHandler HandlerBefore = nullptr;

int CountHostError(Display*, XErrorEvent*) {
  HostErrors.fetch_add(1);
  return 0;
}

void UseHandler() {
  std::lock_guard<std::mutex> lock(HandlerLock);
  if (HandlerUsers++ == 0) HandlerBefore = XSetErrorHandler(&CountHostError);
}

void DropHandler() {
  std::lock_guard<std::mutex> lock(HandlerLock);
  if (--HandlerUsers > 0) return;
  const XErrorHandler current = XSetErrorHandler(HandlerBefore);
  // Someone installed theirs after ours: leave theirs in place.
  if (current != &CountHostError) XSetErrorHandler(current);
}

bool CaptureWindow(Display* d, Window w, TRgbImage& image, std::string& error) {
  XWindowAttributes a;
  if (!w || !XGetWindowAttributes(d, w, &a)) {
    error = "the window is gone";
    return false;
  }
  XImage* x =
      XGetImage(d, w, 0, 0, static_cast<unsigned>(a.width), static_cast<unsigned>(a.height), AllPlanes, ZPixmap);
  if (!x) {
    error = "cannot read the window's pixels (is it on the screen?)";
    return false;
  }
  auto channel = [](unsigned long pixel, unsigned long mask) -> std::uint32_t {
    if (!mask) return 0;
    const int shift = std::countr_zero(mask), bits = std::popcount(mask);
    const unsigned long v = (pixel & mask) >> shift;
    return static_cast<std::uint32_t>(bits >= 8 ? v >> (bits - 8) : (v * 255) / ((1ul << bits) - 1));
  };
  image.Width = a.width;
  image.Height = a.height;
  image.Pixels.resize(static_cast<std::size_t>(a.width) * static_cast<std::size_t>(a.height));
  for (int y = 0; y < a.height; ++y)
    for (int xx = 0; xx < a.width; ++xx) {
      const unsigned long p = XGetPixel(x, xx, y);
      image.Pixels[static_cast<std::size_t>(y) * static_cast<std::size_t>(a.width) + static_cast<std::size_t>(xx)] =
          (channel(p, x->red_mask) << 16) | (channel(p, x->green_mask) << 8) | channel(p, x->blue_mask);
    }
  XDestroyImage(x);
  return true;
}

}  // namespace

std::uint64_t TEditorHost::XErrors() { return HostErrors.load(); }

std::unique_ptr<TEditorHost> TEditorHost::Connect(std::string& error) {
  const char* name = std::getenv("DISPLAY");
  if (!name || !*name) {
    error = "no display (DISPLAY is not set)";
    return nullptr;
  }
  Display* d = XOpenDisplay(name);
  if (!d) {
    error = std::string("cannot open display ") + name;
    return nullptr;
  }
  UseHandler();
  std::unique_ptr<TEditorHost> host(new TEditorHost());
  host->D = d;
  host->DisplayName = name;
  host->WmDelete = XInternAtom(d, "WM_DELETE_WINDOW", False);
  return host;
}

TEditorHost::~TEditorHost() {
  if (Plugin) CloseEditor();
  DestroyWindow();
  XCloseDisplay(Dpy(D));
  DropHandler();
}

bool TEditorHost::Open(TVstPlugin& plugin, std::string& error) {
  if (Plugin) CloseEditor();
  DestroyWindow();
  if (!plugin.HasFlag(kVstFlagHasEditor)) {
    error = "the plug-in has no editor";
    return false;
  }
  Display* d = Dpy(D);
  TVstRect* rect = nullptr;
  plugin.Dispatch(kEffEditGetRect, 0, 0, &rect);
  Before = rect ? *rect : TVstRect{};
  const bool sized = Before.right > Before.left && Before.bottom > Before.top;
  W = sized ? Before.right - Before.left : 640;
  H = sized ? Before.bottom - Before.top : 480;
  const int screen = DefaultScreen(d);
  const ::Window w = XCreateSimpleWindow(d, RootWindow(d, screen), 0, 0, static_cast<unsigned>(W),
                                         static_cast<unsigned>(H), 0, BlackPixel(d, screen), BlackPixel(d, screen));
  char title[300];
  std::snprintf(title, sizeof title, "rumbleon-host: %s", plugin.Text(kEffGetEffectName).c_str());
  XStoreName(d, w, title);
  Atom wmDelete = WmDelete;
  XSetWMProtocols(d, w, &wmDelete, 1);
  XSelectInput(d, w, StructureNotifyMask);
  XMapWindow(d, w);
  // The plug-in gets a window that is on the screen.
  const auto deadline = TClock::now() + std::chrono::seconds(2);
  for (XEvent e; TClock::now() < deadline;) {
    if (XCheckTypedWindowEvent(d, w, MapNotify, &e)) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  Win = w;
  const std::intptr_t answer = plugin.Dispatch(kEffEditOpen, 0, 0, reinterpret_cast<void*>(w));
  if (answer == 0) {
    error = "the plug-in answered the editor-open request with 0";
    DestroyWindow();
    return false;
  }
  Plugin = &plugin;
  rect = nullptr;
  plugin.Dispatch(kEffEditGetRect, 0, 0, &rect);
  After = rect ? *rect : TVstRect{};
  if (After.right > After.left && After.bottom > After.top &&
      (After.right - After.left != W || After.bottom - After.top != H)) {
    W = After.right - After.left;
    H = After.bottom - After.top;
    XResizeWindow(d, w, static_cast<unsigned>(W), static_cast<unsigned>(H));
  }
  XSync(d, False);
  if (!(After.right > After.left && After.bottom > After.top)) {
    error = "the plug-in reports no editor size after opening";
    return false;
  }
  return true;
}

std::intptr_t TEditorHost::CloseEditor() {
  if (!Plugin) return 0;
  const std::intptr_t answer = Plugin->Dispatch(kEffEditClose);
  Plugin = nullptr;
  XSync(Dpy(D), False);
  return answer;
}

void TEditorHost::DestroyWindow() {
  const ::Window w = Win.exchange(0);
  if (!w) return;
  XDestroyWindow(Dpy(D), w);
  XSync(Dpy(D), False);
}

void TEditorHost::Idle() {
  Idles.fetch_add(1);
  if (Plugin) Plugin->Dispatch(kEffEditIdle);
  IdlesDone.fetch_add(1);
  Display* d = Dpy(D);
  while (XPending(d) > 0) {
    XEvent e;
    XNextEvent(d, &e);
    if (e.type == ClientMessage && static_cast<unsigned long>(e.xclient.data.l[0]) == WmDelete) CloseAsked = true;
  }
  if (AfterIdle) AfterIdle();
}

void TEditorHost::IdleFor(int milliseconds) {
  const auto end = TClock::now() + std::chrono::milliseconds(milliseconds);
  auto next = TClock::now();
  do {
    Idle();
    next += kIdlePeriod;
    std::this_thread::sleep_until(std::min(next, end));
  } while (TClock::now() < end);
}

bool TEditorHost::IdleUntil(const std::function<bool()>& done, double timeoutSeconds) {
  const auto end =
      TClock::now() + std::chrono::duration_cast<TClock::duration>(std::chrono::duration<double>(timeoutSeconds));
  auto next = TClock::now();
  for (;;) {
    Idle();
    if (done()) return true;
    if (TClock::now() >= end) return false;
    next += kIdlePeriod;
    std::this_thread::sleep_until(next);
  }
}

void TEditorHost::RunHostRequests() {
  for (;;) {
    std::function<void()> call;
    {
      std::lock_guard<std::mutex> lock(RequestLock);
      if (Requests.empty()) return;
      call = std::move(Requests.front());
      Requests.pop_front();
    }
    call();
    {
      std::lock_guard<std::mutex> lock(RequestLock);
      ++RequestsRun;
    }
    RequestDone.notify_all();
  }
}

void TEditorHost::RunWithInput(const std::function<void(TEditorInput&)>& actions) {
  std::atomic<bool> finished{false};
  std::thread input([&] {
    {
      TEditorInput in(*this);
      actions(in);
    }
    finished = true;
    RequestDone.notify_all();
  });
  auto next = TClock::now();
  while (!finished.load()) {
    RunHostRequests();
    Idle();
    next += kIdlePeriod;
    std::unique_lock<std::mutex> lock(RequestLock);
    // Woken early for a call handed over, or the end of the actions.
    RequestDone.wait_until(lock, next, [&] { return finished.load() || !Requests.empty(); });
  }
  input.join();
  RunHostRequests();
}

std::vector<TChildWindow> TEditorHost::PluginWindows() {
  std::vector<TChildWindow> found;
  Display* d = Dpy(D);
  ::Window root = 0, parent = 0, *children = nullptr;
  unsigned count = 0;
  if (!Win || !XQueryTree(d, Win, &root, &parent, &children, &count)) return found;
  for (unsigned i = 0; i < count; ++i) {
    XWindowAttributes a;
    if (!XGetWindowAttributes(d, children[i], &a)) continue;
    found.push_back({a.x, a.y, a.width, a.height, a.map_state != IsUnmapped});
  }
  if (children) XFree(children);
  return found;
}

bool TEditorHost::Capture(TRgbImage& image, std::string& error) {
  XSync(Dpy(D), False);
  return CaptureWindow(Dpy(D), Win, image, error);
}

bool TEditorHost::CaptureSettled(TRgbImage& image, std::string& error) {
  if (!Capture(image, error)) return false;
  TRgbImage again;
  bool gone = false;
  IdleUntil([&] {
    if (!Capture(again, error)) return gone = true;
    const bool same = again.Width == image.Width && again.Height == image.Height && again.Pixels == image.Pixels;
    image = std::move(again);
    return same;
  });
  return !gone;
}

// ---- TEditorInput -------------------------------------------------------------

TEditorInput::TEditorInput(TEditorHost& host) : Host(host) {
  Display* d = XOpenDisplay(host.DisplayName.c_str());
  if (!d) {
    Why = "cannot open display " + host.DisplayName;
    return;
  }
  int event = 0, error = 0, major = 0, minor = 0;
  if (!XTestQueryExtension(d, &event, &error, &major, &minor)) {
    Why = "the display has no XTest extension";
    XCloseDisplay(d);
    return;
  }
  D = d;
  UseHandler();
}

TEditorInput::~TEditorInput() {
  if (!D) return;
  XCloseDisplay(Dpy(D));
  DropHandler();
}

void TEditorInput::Sent() {
  // The first round trip: the server has made the events for the editor's
  // connection. The second: it has also written them out to that
  // connection, which it does on its way back to wait for more requests, so
  // the next idle call finds them whatever the load.
  XSync(Dpy(D), False);
  XSync(Dpy(D), False);
  IdlesAtInput = Host.Idles.load();
}

bool TEditorInput::MoveTo(int x, int y) {
  if (!D) return false;
  Display* d = Dpy(D);
  ::Window child = 0;
  int rx = 0, ry = 0;
  const ::Window w = Host.Win.load();
  if (!w || !XTranslateCoordinates(d, w, DefaultRootWindow(d), x, y, &rx, &ry, &child)) return false;
  XTestFakeMotionEvent(d, -1, rx, ry, CurrentTime);
  Sent();
  return true;
}

bool TEditorInput::Button(int button, bool down) {
  if (!D) return false;
  XTestFakeButtonEvent(Dpy(D), static_cast<unsigned>(button), down ? True : False, CurrentTime);
  Sent();
  return true;
}

bool TEditorInput::Key(const std::string& name) {
  if (!D) return false;
  Display* d = Dpy(D);
  const KeySym sym = XStringToKeysym(name.c_str());
  const KeyCode code = sym == NoSymbol ? 0 : XKeysymToKeycode(d, sym);
  if (!code) return false;
  XTestFakeKeyEvent(d, code, True, CurrentTime);
  XTestFakeKeyEvent(d, code, False, CurrentTime);
  Sent();
  return true;
}

void TEditorInput::Settle() {
  const auto deadline = TClock::now() + kSettleTimeout;
  std::uint64_t running = 0;  // the idle call seen running, and since when
  auto since = TClock::now();
  for (;;) {
    const std::uint64_t done = Host.IdlesDone.load(), begun = Host.Idles.load();
    if (done >= IdlesAtInput + 1) return;
    const auto now = TClock::now();
    if (now >= deadline) return;
    // One idle call that goes on and on is a modal loop of the plug-in (a
    // menu) that reads input itself and ends only on more of it.
    if (begun > done) {
      if (begun != running) running = begun, since = now;
      else if (now - since >= kModalGrace) return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

void TEditorInput::SettleIdle() {
  IdlesAtInput = Host.Idles.load();
  Settle();
}

void TEditorInput::Wait(int milliseconds) { std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds)); }

void TEditorInput::OnHostThread(const std::function<void()>& call) {
  std::unique_lock<std::mutex> lock(Host.RequestLock);
  Host.Requests.push_back(call);
  const std::uint64_t ticket = Host.RequestsRun + Host.Requests.size();
  Host.RequestDone.notify_all();
  Host.RequestDone.wait(lock, [&] { return Host.RequestsRun >= ticket; });
}

bool TEditorInput::Capture(TRgbImage& image, std::string& error) {
  if (!D) {
    error = Why;
    return false;
  }
  return CaptureWindow(Dpy(D), Host.Win.load(), image, error);
}

bool TEditorInput::CaptureSettled(TRgbImage& image, std::string& error) {
  // The editor draws on a connection of its own, and the server serves
  // connections in its own order: a picture counts once a whole idle call
  // (the editor's drawing of it flushed) left it as it was.
  if (!Capture(image, error)) return false;
  const auto deadline = TClock::now() + kSettleTimeout;
  while (TClock::now() < deadline) {
    SettleIdle();
    XSync(Dpy(D), False);
    TRgbImage again;
    if (!Capture(again, error)) return false;
    const bool same = again.Width == image.Width && again.Height == image.Height && again.Pixels == image.Pixels;
    image = std::move(again);
    if (same) return true;
  }
  return true;
}

bool TEditorInput::PointerPosition(int& x, int& y) {
  if (!D) return false;
  Display* d = Dpy(D);
  ::Window root = 0, child = 0;
  int rx = 0, ry = 0;
  unsigned mask = 0;
  const ::Window w = Host.Win.load();
  return w && XQueryPointer(d, w, &root, &child, &rx, &ry, &x, &y, &mask);
}

bool TEditorInput::PointerGrabbed() {
  if (!D) return false;
  Display* d = Dpy(D);
  const int r = XGrabPointer(d, DefaultRootWindow(d), False, ButtonPressMask, GrabModeAsync, GrabModeAsync, None, None,
                             CurrentTime);
  if (r == GrabSuccess) {
    XUngrabPointer(d, CurrentTime);
    XSync(d, False);
    return false;
  }
  return true;
}

int TEditorInput::CursorOpaquePixels() {
  if (!D) return -1;
  Display* d = Dpy(D);
  int event = 0, error = 0;
  if (!XFixesQueryExtension(d, &event, &error)) return -1;
  XFixesCursorImage* cursor = XFixesGetCursorImage(d);
  if (!cursor) return -1;
  int opaque = 0;
  for (int i = 0; i < cursor->width * cursor->height; ++i)
    if ((cursor->pixels[i] >> 24) & 0xFF) ++opaque;
  XFree(cursor);
  return opaque;
}
