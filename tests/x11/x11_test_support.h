// What the window-layer tests share: a virtual display of their own, a
// "host" connection with a parent window, XTest input and a listener that
// records what the window reports.
#pragma once

// gtest first: Xlib's macros (None, Bool, ...) would break its headers.
#include <gtest/gtest.h>

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/extensions/Xfixes.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/x11/platform_window.h"
#include "tests/support/virtual_display.h"

struct TRecorder : TWindowListener {
  std::vector<TWindowRect> Paints;
  std::vector<TMouseEvent> Downs, Ups, Moves, Enters, Leaves;
  std::vector<TWheelEvent> Wheels;
  std::vector<TKeyEvent> Keys;
  int CaptureLost = 0;
  int Destroyed = 0;
  int CloseRequests = 0;
  std::function<void(const TMouseEvent&)> OnDown;  // optional reaction to a press

  void OnPaint(const TWindowRect& area) override { Paints.push_back(area); }
  void OnMouseDown(const TMouseEvent& e) override {
    Downs.push_back(e);
    if (OnDown) OnDown(e);
  }
  void OnMouseUp(const TMouseEvent& e) override { Ups.push_back(e); }
  void OnMouseMove(const TMouseEvent& e) override { Moves.push_back(e); }
  void OnMouseEnter(const TMouseEvent& e) override { Enters.push_back(e); }
  void OnMouseLeave(const TMouseEvent& e) override { Leaves.push_back(e); }
  void OnWheel(const TWheelEvent& e) override { Wheels.push_back(e); }
  void OnKeyDown(const TKeyEvent& e) override { Keys.push_back(e); }
  void OnCaptureLost() override { ++CaptureLost; }
  void OnDestroyed() override { ++Destroyed; }
  void OnCloseRequest() override { ++CloseRequests; }
};

class X11Test : public ::testing::Test {
 protected:
  static constexpr int kParentWidth = 900;
  static constexpr int kParentHeight = 600;

  void SetUp() override {
    if (!Server.Running()) GTEST_SKIP() << Server.Error();
    Server.Export();
    Host = XOpenDisplay(Server.Name().c_str());
    ASSERT_NE(Host, nullptr);
    Parent = NewParent();
  }
  void TearDown() override {
    if (Host) XCloseDisplay(Host);
  }

  // A mapped top-level window of the host connection at (0, 0).
  Window NewParent() {
    const Window w = XCreateSimpleWindow(Host, DefaultRootWindow(Host), 0, 0, kParentWidth, kParentHeight, 0, 0, 0);
    XSelectInput(Host, w, StructureNotifyMask);
    XMapWindow(Host, w);
    XEvent e;
    XWindowEvent(Host, w, StructureNotifyMask, &e);
    while (e.type != MapNotify) XWindowEvent(Host, w, StructureNotifyMask, &e);
    return w;
  }

  // How long what a test awaits may take on a busy machine.
  static constexpr auto kAwait = std::chrono::seconds(30);

  // Pumps the window until done() holds or kAwait passed.
  static bool PumpUntil(TPlatformWindow& window, const std::function<bool()>& done) {
    const auto end = std::chrono::steady_clock::now() + kAwait;
    while (std::chrono::steady_clock::now() < end) {
      window.Pump();
      if (done()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return done();
  }

  // An editor window with a drag begun at (100, 100): button 1 held, the
  // press delivered, and (with capture) the pointer captured.
  std::unique_ptr<TEditorWindow> StartDrag(TRecorder& r, bool capture) {
    auto w = TEditorWindow::Open(Parent, 200, 150, &r);
    if (!w) return nullptr;
    MoveTo(100, 100);
    Button(1, true);
    if (!PumpUntil(*w, [&] { return !r.Downs.empty(); })) return nullptr;
    if (capture && !w->SetCapture()) return nullptr;
    return w;
  }

  // Input at screen pixels, through the host connection. Two round trips:
  // after the first the server has made the events, after the second it has
  // also written them to the window's connection (it does so before it
  // waits for more requests), so the window's next pump finds them.
  void Delivered() {
    XSync(Host, False);
    XSync(Host, False);
  }
  void MoveTo(int x, int y) {
    XTestFakeMotionEvent(Host, -1, x, y, CurrentTime);
    Delivered();
  }
  void Button(int button, bool down) {
    XTestFakeButtonEvent(Host, static_cast<unsigned>(button), down ? True : False, CurrentTime);
    Delivered();
  }
  void Key(KeySym sym) {
    const KeyCode code = XKeysymToKeycode(Host, sym);
    XTestFakeKeyEvent(Host, code, True, CurrentTime);
    XTestFakeKeyEvent(Host, code, False, CurrentTime);
    Delivered();
  }
  void PointerAt(int& x, int& y) {
    Window root, child;
    int wx, wy;
    unsigned mask;
    XQueryPointer(Host, DefaultRootWindow(Host), &root, &child, &x, &y, &wx, &wy, &mask);
  }
  // Another client (the host) can take the pointer: nobody holds it.
  bool PointerFree() {
    const int r = XGrabPointer(Host, DefaultRootWindow(Host), False, ButtonPressMask, GrabModeAsync, GrabModeAsync,
                               None, None, CurrentTime);
    if (r != GrabSuccess) return false;
    XUngrabPointer(Host, CurrentTime);
    XSync(Host, False);
    return true;
  }
  // Opaque pixels of the cursor on the screen now.
  int CursorOpaquePixels() {
    XFixesCursorImage* c = XFixesGetCursorImage(Host);
    if (!c) return -1;
    int n = 0;
    for (int i = 0; i < c->width * c->height; ++i) n += ((c->pixels[i] >> 24) & 0xFF) != 0;
    XFree(c);
    return n;
  }
  // The window's pixel at (x, y), read by the host, as 0xRRGGBB.
  std::uint32_t PixelAt(Window w, int x, int y) {
    XImage* image = XGetImage(Host, w, x, y, 1, 1, AllPlanes, ZPixmap);
    if (!image) return 0xFFFFFFFFu;
    const unsigned long p = XGetPixel(image, 0, 0);
    XDestroyImage(image);
    return static_cast<std::uint32_t>(p & 0xFFFFFF);
  }

  // The same once the pixel became expected (another connection drew it,
  // and the server serves connections in its own order), or after kAwait.
  std::uint32_t PixelBecomes(Window w, int x, int y, std::uint32_t expected) {
    const auto end = std::chrono::steady_clock::now() + kAwait;
    std::uint32_t p = PixelAt(w, x, y);
    while (p != expected && std::chrono::steady_clock::now() < end) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      p = PixelAt(w, x, y);
    }
    return p;
  }

  testing_support::TVirtualDisplay Server;
  Display* Host = nullptr;
  Window Parent = 0;
};
