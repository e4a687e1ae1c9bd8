// The editor window inside a host's window: opening and its failures,
// exact size, pixels, paints, input, capture, cursor, closing in every
// state, and the X error trap.
#include "tests/x11/x11_test_support.h"

#include <X11/keysym.h>
#include <unistd.h>

#include <atomic>

namespace {

std::vector<std::uint32_t> Gradient(int w, int h) {
  std::vector<std::uint32_t> p(static_cast<std::size_t>(w) * h);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      p[static_cast<std::size_t>(y) * w + x] = 0xFF000000u | (static_cast<std::uint32_t>(x & 0xFF) << 16) |
                                               (static_cast<std::uint32_t>(y & 0xFF) << 8) | 0x5A;
  return p;
}

int CountingHandlerCalls = 0;
int CountingHandler(Display*, XErrorEvent*) {
  ++CountingHandlerCalls;
  return 0;
}

TEST_F(X11Test, OpenFailsCleanlyWithoutDisplayParentOrConnection) {
  TRecorder r;
  std::string why;
  CountingHandlerCalls = 0;
  const XErrorHandler before = XSetErrorHandler(&CountingHandler);
  EXPECT_EQ(TEditorWindow::Open(0, 100, 100, &r, &why), nullptr);
  EXPECT_EQ(why, "no parent window");
  // A window id that names nothing: refused, and the error never reaches
  // the host's handler.
  EXPECT_EQ(TEditorWindow::Open(0x7ffffff, 100, 100, &r, &why), nullptr);
  EXPECT_NE(why.find("does not exist"), std::string::npos) << why;
  EXPECT_EQ(TEditorWindow::Open(Parent, 0, 100, &r, &why), nullptr);
  EXPECT_EQ(TEditorWindow::Open(Parent, 100, 20000, &r, &why), nullptr);
  EXPECT_EQ(TEditorWindow::Open(Parent, 100, 100, &r, &why, ":4711"), nullptr);
  EXPECT_NE(why.find("cannot connect"), std::string::npos) << why;
  unsetenv("DISPLAY");
  EXPECT_EQ(TEditorWindow::Open(Parent, 100, 100, &r, &why), nullptr);
  EXPECT_EQ(why, "no display (DISPLAY is not set)");
  Server.Export();
  EXPECT_EQ(CountingHandlerCalls, 0);
  // Every connection closed again: the host's handler is back in place.
  EXPECT_EQ(XSetErrorHandler(before), &CountingHandler);
  EXPECT_TRUE(r.Paints.empty() && r.CaptureLost == 0);
}

TEST_F(X11Test, ChildOfTheParentWithExactlyTheEditorSize) {
  TRecorder r;
  auto w = TEditorWindow::Open(Parent, 774, 498, &r);
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(w->ParentHandle(), Parent);
  EXPECT_EQ(w->TopLevelHandle(), Parent);  // no window manager: the highest ancestor
  Window root, parent, *children = nullptr;
  unsigned count = 0;
  XQueryTree(Host, Parent, &root, &parent, &children, &count);
  ASSERT_EQ(count, 1u);
  EXPECT_EQ(children[0], w->Handle());
  XFree(children);
  XWindowAttributes a;
  XGetWindowAttributes(Host, w->Handle(), &a);
  EXPECT_EQ(a.x, 0);
  EXPECT_EQ(a.y, 0);
  EXPECT_EQ(a.width, 774);
  EXPECT_EQ(a.height, 498);
  EXPECT_EQ(a.map_state, IsViewable);
  // The first expose asks for the whole window.
  ASSERT_TRUE(PumpUntil(*w, [&] { return !r.Paints.empty(); }));
  const TWindowRect area = r.Paints.back();
  EXPECT_TRUE(area.Left == 0 && area.Top == 0 && area.Width == 774 && area.Height == 498);
  w->Close();
  XQueryTree(Host, Parent, &root, &parent, &children, &count);
  EXPECT_EQ(count, 0u);
  if (children) XFree(children);
  EXPECT_FALSE(w->IsOpen());
  EXPECT_EQ(w->XErrorCount(), 0u);
}

TEST_F(X11Test, PresentShowsExactPixelsOfTheAreaOnly) {
  TRecorder r;
  auto w = TEditorWindow::Open(Parent, 300, 200, &r);
  ASSERT_NE(w, nullptr);
  // A view with padding at each row's end (stride > 4 x width).
  const int stride = 320 * 4;
  std::vector<std::uint32_t> black(320 * 200, 0xFF000000u);
  ASSERT_TRUE(w->Present({black.data(), 300, 200, stride}, {0, 0, 300, 200}));
  std::vector<std::uint32_t> padded(320 * 200, 0);
  const auto g = Gradient(300, 200);
  for (int y = 0; y < 200; ++y)
    std::copy_n(&g[static_cast<std::size_t>(y) * 300], 300, &padded[static_cast<std::size_t>(y) * 320]);
  ASSERT_TRUE(w->Present({padded.data(), 300, 200, stride}, {100, 50, 40, 30}));
  const std::uint32_t corner = g[79 * 300 + 139] & 0xFFFFFF;
  EXPECT_EQ(PixelBecomes(w->Handle(), 139, 79, corner), corner);
  EXPECT_EQ(PixelAt(w->Handle(), 100, 50), g[50 * 300 + 100] & 0xFFFFFF);
  EXPECT_EQ(PixelAt(w->Handle(), 140, 79), 0u);  // outside the area
  EXPECT_EQ(PixelAt(w->Handle(), 99, 50), 0u);
  // Areas beyond the pixels or the window are clipped, not refused.
  EXPECT_TRUE(w->Present({padded.data(), 300, 200, stride}, {250, 150, 500, 500}));
  const std::uint32_t last = g[199 * 300 + 299] & 0xFFFFFF;
  EXPECT_EQ(PixelBecomes(w->Handle(), 299, 199, last), last);
  EXPECT_FALSE(w->Present({padded.data(), 300, 200, 100}, {0, 0, 10, 10}));  // stride too small
  EXPECT_FALSE(w->Present({nullptr, 300, 200, stride}, {0, 0, 10, 10}));
  EXPECT_EQ(w->XErrorCount(), 0u);
}

TEST_F(X11Test, InvalidatedAreasArriveAsOnePaintAtTheNextPumpOrUpdate) {
  TRecorder r;
  auto w = TEditorWindow::Open(Parent, 200, 100, &r);
  ASSERT_NE(w, nullptr);
  ASSERT_TRUE(PumpUntil(*w, [&] { return !r.Paints.empty(); }));
  r.Paints.clear();
  w->Invalidate({10, 10, 5, 5});
  w->Invalidate({50, 20, 10, 10});
  w->Invalidate({190, 90, 50, 50});  // partly outside: clipped to the window
  EXPECT_TRUE(r.Paints.empty());
  w->Pump();
  ASSERT_EQ(r.Paints.size(), 1u);
  const TWindowRect a = r.Paints[0];
  EXPECT_TRUE(a.Left == 10 && a.Top == 10 && a.Right() == 200 && a.Bottom() == 100);
  w->Invalidate();
  w->Update();
  ASSERT_EQ(r.Paints.size(), 2u);
  EXPECT_EQ(r.Paints[1].Width, 200);
  w->Pump();
  EXPECT_EQ(r.Paints.size(), 2u);  // nothing left pending
}

TEST_F(X11Test, PointerAndKeysReachTheListenerInWindowPixels) {
  TRecorder r;
  XMoveWindow(Host, Parent, 40, 30);
  XSync(Host, False);
  auto w = TEditorWindow::Open(Parent, 200, 150, &r);
  ASSERT_NE(w, nullptr);
  MoveTo(5, 5);
  int sx = 0, sy = 0;
  ASSERT_TRUE(w->ClientToScreen(10, 20, sx, sy));
  EXPECT_EQ(sx, 50);
  EXPECT_EQ(sy, 50);
  MoveTo(sx, sy);
  ASSERT_TRUE(PumpUntil(*w, [&] { return !r.Enters.empty(); }));
  Button(1, true);
  Button(1, false);
  Button(3, true);
  Button(3, false);
  Button(4, true);
  Button(4, false);
  Button(5, true);
  Button(5, false);
  ASSERT_TRUE(PumpUntil(*w, [&] { return r.Ups.size() == 2 && r.Wheels.size() == 2; }));
  EXPECT_EQ(r.Downs.size(), 2u);  // wheel steps are not presses
  EXPECT_EQ(r.Downs[0].Button, kMouseLeft);
  EXPECT_EQ(r.Downs[0].X, 10);
  EXPECT_EQ(r.Downs[0].Y, 20);
  EXPECT_EQ(r.Downs[0].ScreenX, 50);
  EXPECT_EQ(r.Downs[1].Button, kMouseRight);
  EXPECT_EQ(r.Ups[0].Modifiers & kModLeftButton, kModLeftButton);  // held until this release
  EXPECT_EQ(r.Wheels[0].DeltaY, 1);
  EXPECT_EQ(r.Wheels[1].DeltaY, -1);
  // Moves waiting together arrive as the last of them.
  r.Moves.clear();
  MoveTo(sx + 5, sy);
  MoveTo(sx + 6, sy);
  MoveTo(sx + 7, sy + 3);
  usleep(20000);
  w->Pump();
  ASSERT_EQ(r.Moves.size(), 1u);
  EXPECT_EQ(r.Moves[0].X, 17);
  EXPECT_EQ(r.Moves[0].Y, 23);
  // Keys come while the pointer is over the window and its top-level has
  // the focus.
  XSetInputFocus(Host, Parent, RevertToParent, CurrentTime);
  XSync(Host, False);
  Key(XK_a);
  ASSERT_TRUE(PumpUntil(*w, [&] { return !r.Keys.empty(); }));
  EXPECT_EQ(r.Keys[0].KeySym, static_cast<std::uint32_t>(XK_a));
  EXPECT_EQ(r.Keys[0].Text, "a");
  MoveTo(600, 500);
  ASSERT_TRUE(PumpUntil(*w, [&] { return !r.Leaves.empty(); }));
}

TEST_F(X11Test, CaptureHiddenCursorAndWarpDuringADrag) {
  TRecorder r;
  auto w = StartDrag(r, true);
  ASSERT_NE(w, nullptr);
  EXPECT_TRUE(w->HasCapture());
  w->SetCursorHidden(true);
  XSync(Host, False);
  EXPECT_EQ(CursorOpaquePixels(), 0);
  // Outside the window, still ours.
  MoveTo(500, 400);
  ASSERT_TRUE(PumpUntil(*w, [&] { return !r.Moves.empty() && r.Moves.back().X == 500; }));
  EXPECT_EQ(r.Moves.back().Y, 400);
  EXPECT_EQ(CursorOpaquePixels(), 0);
  Button(1, false);
  ASSERT_TRUE(PumpUntil(*w, [&] { return !r.Ups.empty(); }));
  EXPECT_EQ(r.Ups[0].X, 500);
  EXPECT_FALSE(PointerFree());  // the explicit capture outlives the release
  w->ReleaseCapture();
  w->SetCursorHidden(false);
  EXPECT_TRUE(PointerFree());
  ASSERT_TRUE(w->SetCursorScreenPos(100, 100));
  int x = 0, y = 0;
  PointerAt(x, y);
  EXPECT_EQ(x, 100);
  EXPECT_EQ(y, 100);
  ASSERT_TRUE(w->GetCursorScreenPos(x, y));
  EXPECT_EQ(x, 100);
  EXPECT_GT(CursorOpaquePixels(), 0);
  EXPECT_EQ(r.CaptureLost, 0);
}

TEST_F(X11Test, ClosingDuringADragEndsTheGestureAndFreesPointerAndCursor) {
  for (bool explicitCapture : {true, false}) {
    TRecorder r;
    auto w = StartDrag(r, explicitCapture);
    ASSERT_NE(w, nullptr);
    w->SetCursorHidden(true);
    MoveTo(100, 60);
    ASSERT_TRUE(PumpUntil(*w, [&] { return !r.Moves.empty(); }));
    EXPECT_EQ(CursorOpaquePixels(), 0);
    w->Close();
    EXPECT_EQ(r.CaptureLost, 1) << explicitCapture;
    EXPECT_TRUE(PointerFree()) << explicitCapture;
    EXPECT_GT(CursorOpaquePixels(), 0) << explicitCapture;
    Button(1, false);
    w->Close();  // twice: nothing more
    EXPECT_EQ(r.CaptureLost, 1);
  }
}

TEST_F(X11Test, ParentDestroyedBeforeTheCloseRequestIsSurvived) {
  TRecorder r;
  auto w = StartDrag(r, true);
  ASSERT_NE(w, nullptr);
  XDestroyWindow(Host, Parent);
  XSync(Host, False);
  // Calls before the news arrives fail on the server: the errors are ours.
  std::vector<std::uint32_t> pixels(200 * 150, 0);
  w->Present({pixels.data(), 200, 150, 800}, {0, 0, 200, 150});
  ASSERT_TRUE(PumpUntil(*w, [&] { return r.Destroyed == 1; }));
  EXPECT_EQ(r.CaptureLost, 1);
  EXPECT_FALSE(w->IsOpen());
  EXPECT_FALSE(w->HasCapture());
  EXPECT_FALSE(w->Present({pixels.data(), 200, 150, 800}, {0, 0, 200, 150}));
  EXPECT_EQ(w->Pump(), 0);
  w->Close();
  EXPECT_EQ(r.CaptureLost, 1);
  EXPECT_TRUE(PointerFree());
  Button(1, false);
}

TEST_F(X11Test, ErrorsOfOtherConnectionsStillReachTheirHandler) {
  CountingHandlerCalls = 0;
  const XErrorHandler before = XSetErrorHandler(&CountingHandler);
  TRecorder r;
  auto w = TEditorWindow::Open(Parent, 100, 100, &r);
  ASSERT_NE(w, nullptr);
  // The host's own mistake: its handler sees it, as without us.
  XMapWindow(Host, 0x7ffffff);
  XSync(Host, False);
  EXPECT_EQ(CountingHandlerCalls, 1);
  // Ours: trapped, counted on our connection, unseen by the host.
  XDestroyWindow(Host, Parent);
  XSync(Host, False);
  std::vector<std::uint32_t> pixels(100 * 100, 0);
  w->Present({pixels.data(), 100, 100, 400}, {0, 0, 100, 100});
  EXPECT_TRUE(PumpUntil(*w, [&] { return w->XErrorCount() >= 1; }));
  w->Close();
  EXPECT_EQ(CountingHandlerCalls, 1);
  EXPECT_EQ(XSetErrorHandler(before), &CountingHandler);
}

TEST_F(X11Test, CallsFromAnotherThreadAreRefusedAndACloseThereIsFinishedByTheOwner) {
  TRecorder r;
  auto w = TEditorWindow::Open(Parent, 100, 100, &r);
  ASSERT_NE(w, nullptr);
  EXPECT_TRUE(w->OnOwnerThread());
  std::vector<std::uint32_t> pixels(100 * 100, 0);
  std::atomic<bool> presented{true}, captured{true}, owner{true};
  std::atomic<int> pumped{-1};
  std::thread other([&] {
    owner = w->OnOwnerThread();
    presented = w->Present({pixels.data(), 100, 100, 400}, {0, 0, 100, 100});
    captured = w->SetCapture();
    pumped = w->Pump();
    w->Close();  // detached: the owner finishes it
  });
  other.join();
  EXPECT_FALSE(owner);
  EXPECT_FALSE(presented);
  EXPECT_FALSE(captured);
  EXPECT_EQ(pumped, 0);
  EXPECT_EQ(w->Handle(), 0u);
  // The owner thread's next call into the layer destroys the window there.
  TRecorder r2;
  auto second = TEditorWindow::Open(Parent, 50, 50, &r2);
  ASSERT_NE(second, nullptr);
  Window root, parent, *children = nullptr;
  unsigned count = 0;
  XQueryTree(Host, Parent, &root, &parent, &children, &count);
  ASSERT_EQ(count, 1u);
  EXPECT_EQ(children[0], second->Handle());
  XFree(children);
  EXPECT_EQ(r.CaptureLost, 0);
}

TEST_F(X11Test, AListenerMayCloseItsWindowFromInsideAnEvent) {
  TRecorder r;
  std::unique_ptr<TEditorWindow> w = TEditorWindow::Open(Parent, 100, 100, &r);
  ASSERT_NE(w, nullptr);
  r.OnDown = [&](const TMouseEvent&) { w.reset(); };
  MoveTo(50, 50);
  Button(1, true);
  Button(1, false);
  const auto end = std::chrono::steady_clock::now() + kAwait;
  while (w && std::chrono::steady_clock::now() < end) {
    w->Pump();
    usleep(2000);
  }
  EXPECT_EQ(w, nullptr);
  EXPECT_EQ(r.Downs.size(), 1u);
  EXPECT_TRUE(r.Ups.empty());   // nothing after the window went
  EXPECT_EQ(r.CaptureLost, 1);  // it went with the button down
  EXPECT_TRUE(PointerFree());
}

TEST(X11Server, ALostConnectionNeitherEndsTheProcessNorBreaksLaterCalls) {
  testing_support::TVirtualDisplay server;
  if (!server.Running()) GTEST_SKIP() << server.Error();
  Display* host = XOpenDisplay(server.Name().c_str());
  ASSERT_NE(host, nullptr);
  // The parent outlives the host connection, which must be gone before the
  // server is (its own loss would end the test by Xlib's default).
  XSetCloseDownMode(host, RetainPermanent);
  const Window parent = XCreateSimpleWindow(host, DefaultRootWindow(host), 0, 0, 300, 200, 0, 0, 0);
  XMapWindow(host, parent);
  XSync(host, False);
  XCloseDisplay(host);
  TRecorder r;
  auto w = TEditorWindow::Open(parent, 100, 100, &r, nullptr, server.Name().c_str());
  ASSERT_NE(w, nullptr);
  server.Stop();
  for (int i = 0; i < 5; ++i) w->Pump();
  std::vector<std::uint32_t> pixels(100 * 100, 0);
  EXPECT_FALSE(w->Present({pixels.data(), 100, 100, 400}, {0, 0, 100, 100}));
  EXPECT_FALSE(w->SetCapture());
  EXPECT_FALSE(w->IsOpen());
  w->Close();
  w.reset();
}

TEST(X11Server, SixteenBitScreensGetConvertedPixels) {
  testing_support::TVirtualDisplay server(16);
  if (!server.Running()) GTEST_SKIP() << server.Error();
  Display* host = XOpenDisplay(server.Name().c_str());
  ASSERT_NE(host, nullptr);
  ASSERT_EQ(DefaultDepth(host, DefaultScreen(host)), 16);
  const Window parent = XCreateSimpleWindow(host, DefaultRootWindow(host), 0, 0, 300, 200, 0, 0, 0);
  XMapWindow(host, parent);
  XSync(host, False);
  TRecorder r;
  auto w = TEditorWindow::Open(parent, 64, 64, &r, nullptr, server.Name().c_str());
  ASSERT_NE(w, nullptr);
  const auto g = Gradient(64, 64);
  ASSERT_TRUE(w->Present({g.data(), 64, 64, 256}, {0, 0, 64, 64}));
  XImage* image = XGetImage(host, w->Handle(), 0, 0, 64, 64, AllPlanes, ZPixmap);
  ASSERT_NE(image, nullptr);
  for (int y = 0; y < 64; y += 7)
    for (int x = 0; x < 64; x += 5) {
      const unsigned long p = XGetPixel(image, x, y);
      const std::uint32_t want = g[static_cast<std::size_t>(y) * 64 + x];
      // 5-6-5 bits: the top bits of each channel.
      EXPECT_EQ((p >> 11) & 0x1F, ((want >> 16) & 0xFF) >> 3) << x << "," << y;
      EXPECT_EQ((p >> 5) & 0x3F, ((want >> 8) & 0xFF) >> 2) << x << "," << y;
      EXPECT_EQ(p & 0x1F, (want & 0xFF) >> 3) << x << "," << y;
    }
  XDestroyImage(image);
  w->Close();
  XCloseDisplay(host);
}

}  // namespace
