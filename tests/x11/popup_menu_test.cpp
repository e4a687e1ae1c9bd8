// Popup menus (layout, drawing, choosing, every way they end) and top-level
// windows for dialogs.
#include "tests/x11/x11_test_support.h"

#include <X11/Xatom.h>
#include <X11/keysym.h>

#include "platform/x11/popup_menu.h"

namespace {

std::vector<TMenuItem> Numbered(int n) {
  std::vector<TMenuItem> items;
  for (int i = 0; i < n; ++i) items.push_back({"Item " + std::to_string(i), i, false, true, i > 0 && i % 16 == 0});
  return items;
}

int FixedWidth(const std::string& text) { return 7 * static_cast<int>(text.size()); }

TEST(MenuLayout, ColumnsStartAtBarBreaksAndSeparatorsAreLow) {
  const TMenuLayout forty = LayoutMenu(Numbered(40), &FixedWidth);
  ASSERT_EQ(forty.ColumnBreaks.size(), 2u);  // 16, 16 and 8 items
  EXPECT_EQ(forty.Items[15].Left, forty.Items[0].Left);
  EXPECT_GT(forty.Items[16].Left, forty.Items[15].Right());
  EXPECT_EQ(forty.Items[16].Top, forty.Items[0].Top);
  EXPECT_EQ(forty.Items[32].Top, forty.Items[0].Top);
  EXPECT_EQ(forty.Height, forty.Items[15].Bottom() + 2);  // the tallest column
  EXPECT_EQ(forty.Width, forty.Items[39].Right() + 2);
  std::vector<TMenuItem> mixed = {{"Short"}, {"-"}, {"A much longer entry"}, {"x"}};
  const TMenuLayout m = LayoutMenu(mixed, &FixedWidth);
  EXPECT_LT(m.Items[1].Height, m.Items[0].Height);
  // One column: every item as wide as the widest text needs.
  EXPECT_GE(m.Items[0].Width, FixedWidth("A much longer entry"));
  EXPECT_EQ(m.Items[0].Width, m.Items[3].Width);
  for (std::size_t i = 1; i < m.Items.size(); ++i) EXPECT_EQ(m.Items[i].Top, m.Items[i - 1].Bottom());
}

TEST(MenuLayout, TextsThatAreNotUtf8AreReadAsLatin1) {
  EXPECT_EQ(MenuTextAsUtf8("Caf\xc3\xa9"), "Caf\xc3\xa9");                // valid UTF-8 stays
  EXPECT_EQ(MenuTextAsUtf8("Caf\xe9"), "Caf\xc3\xa9");                    // Latin-1 e acute
  EXPECT_EQ(MenuTextAsUtf8("\xc3"), "\xc3\x83");                          // a cut sequence
  EXPECT_EQ(MenuTextAsUtf8("\xed\xa0\x80"), "\xc3\xad\xc2\xa0\xc2\x80");  // a surrogate
  EXPECT_EQ(MenuTextAsUtf8("\xc0\xaf"), "\xc3\x80\xc2\xaf");              // overlong
  // Drawing any of them leaves the menu drawable (a bad string would stop
  // the drawing context).
  std::vector<TMenuItem> items = {{"Caf\xe9"}, {"\xff\xfe"}, {"after"}};
  const TMenuLayout layout = LayoutMenu(items, &MenuTextWidth);
  const auto pixels = RenderMenu(items, layout, 2);
  const TWindowRect last = layout.Items[2];
  EXPECT_EQ(pixels[static_cast<std::size_t>(last.Top + 1) * layout.Width + last.Left + 1] & 0xFFFFFF, 0x3399FFu);
}

TEST(MenuLayout, HighlightAndCheckMarkAreDrawn) {
  std::vector<TMenuItem> items = {{"One", 0, true}, {"Two"}, {"Three", 0, false, false}};
  const TMenuLayout layout = LayoutMenu(items, &MenuTextWidth);
  auto at = [&](const std::vector<std::uint32_t>& p, int x, int y) {
    return p[static_cast<std::size_t>(y) * layout.Width + x] & 0xFFFFFF;
  };
  const auto plain = RenderMenu(items, layout, -1);
  const auto lit = RenderMenu(items, layout, 1);
  const TWindowRect two = layout.Items[1];
  EXPECT_EQ(at(plain, two.Left + 2, two.Top + 2), 0xF0F0F0u);
  EXPECT_EQ(at(lit, two.Left + 2, two.Top + 2), 0x3399FFu);
  // A disabled item is never highlighted.
  const auto disabled = RenderMenu(items, layout, 2);
  EXPECT_EQ(at(disabled, layout.Items[2].Left + 2, layout.Items[2].Top + 2), 0xF0F0F0u);
  // The check mark darkens the margin of the first item only.
  auto darkInMargin = [&](const TWindowRect& r) {
    int n = 0;
    for (int y = r.Top; y < r.Bottom(); ++y)
      for (int x = r.Left + 4; x < r.Left + 18; ++x) n += (at(plain, x, y) & 0xFF) < 0x80;
    return n;
  };
  EXPECT_GT(darkInMargin(layout.Items[0]), 5);
  EXPECT_EQ(darkInMargin(layout.Items[1]), 0);
}

class PopupMenuTest : public X11Test {
 protected:
  void SetUp() override {
    X11Test::SetUp();
    if (IsSkipped()) return;
    Editor = TEditorWindow::Open(Parent, 400, 300, &Recorder);
    ASSERT_NE(Editor, nullptr);
  }
  // Runs the menu at (x, y) while drain plays the steps, one per drain call.
  int Run(const std::vector<TMenuItem>& items, int x, int y, std::vector<std::function<void()>> steps) {
    std::size_t next = 0;
    Drains = 0;
    return Editor->PopupMenu(items, x, y, [&] {
      ++Drains;
      if (next < steps.size()) steps[next++]();
    });
  }
  // The screen centre of an item of a menu shown at (x, y).
  void ItemCentre(const std::vector<TMenuItem>& items, int index, int x, int y, int& cx, int& cy) {
    const TMenuLayout layout = LayoutMenu(items, &MenuTextWidth);
    const TWindowRect r = layout.Items[static_cast<std::size_t>(index)];
    cx = x + r.Left + r.Width / 2;
    cy = y + r.Top + r.Height / 2;
  }

  TRecorder Recorder;
  std::unique_ptr<TEditorWindow> Editor;
  int Drains = 0;
};

TEST_F(PopupMenuTest, AClickOnAnItemChoosesIt) {
  const auto items = Numbered(40);
  int x = 0, y = 0;
  ItemCentre(items, 21, 50, 40, x, y);  // second column
  const int chosen =
      Run(items, 50, 40, {[&] { MoveTo(x, y); }, [] {}, [&] { Button(1, true); }, [&] { Button(1, false); }});
  EXPECT_EQ(chosen, 21);
  EXPECT_GE(Drains, 4);
  EXPECT_TRUE(PointerFree());
  // Keys: down twice from nothing lit, then Return.
  EXPECT_EQ(Run(Numbered(5), 50, 40, {[&] { Key(XK_Down); }, [&] { Key(XK_Down); }, [&] { Key(XK_Return); }}), 1);
}

TEST_F(PopupMenuTest, TheReleaseOfThePressThatOpenedItChoosesNothing) {
  const auto items = Numbered(5);
  int x = 0, y = 0;
  ItemCentre(items, 0, 100, 100, x, y);
  MoveTo(x, y);
  Button(1, true);  // the press on the control that opens the menu
  const int chosen = Run(items, 100, 100, {[&] { Button(1, false); }, [] {}, [] {}, [&] { Key(XK_Escape); }});
  EXPECT_EQ(chosen, kMenuCancelled);
}

TEST_F(PopupMenuTest, SeparatorsAndDisabledItemsCannotBeChosen) {
  std::vector<TMenuItem> items = {{"No Presets...", 0, false, false}, {"-"}, {"Save"}};
  int dx = 0, dy = 0, sx = 0, sy = 0;
  ItemCentre(items, 0, 60, 60, dx, dy);
  ItemCentre(items, 1, 60, 60, sx, sy);
  const int chosen =
      Run(items, 60, 60,
          {[&] { MoveTo(dx, dy); }, [&] { Button(1, true); }, [&] { Button(1, false); }, [&] { MoveTo(sx, sy); },
           [&] { Button(1, true); }, [&] { Button(1, false); }, [&] { Key(XK_Escape); }});
  EXPECT_EQ(chosen, kMenuCancelled);
}

TEST_F(PopupMenuTest, EscapeAndAPressOutsideCancel) {
  EXPECT_EQ(Run(Numbered(3), 10, 10, {[&] { Key(XK_Escape); }}), kMenuCancelled);
  EXPECT_EQ(Run(Numbered(3), 10, 10, {[&] { MoveTo(700, 700); }, [&] { Button(1, true); }}), kMenuCancelled);
  Button(1, false);
  EXPECT_TRUE(PointerFree());
}

TEST_F(PopupMenuTest, StaysOnTheScreen) {
  const auto items = Numbered(3);
  const TMenuLayout layout = LayoutMenu(items, &MenuTextWidth);
  // Asked for beyond the bottom-right corner: shown inside it.
  const int x = 1280 - layout.Width, y = 1024 - layout.Height;
  int cx = 0, cy = 0;
  ItemCentre(items, 2, x, y, cx, cy);
  EXPECT_EQ(Run(items, 5000, 5000, {[&] { MoveTo(cx, cy); }, [&] { Button(1, true); }, [&] { Button(1, false); }}), 2);
}

TEST_F(PopupMenuTest, ClosingTheEditorFromTheLoopEndsTheMenu) {
  // The host's close request arriving through a posted call.
  const int result = Run(Numbered(3), 10, 10, {[] {}, [&] { Editor.reset(); }});
  EXPECT_EQ(result, kMenuClosed);
  EXPECT_EQ(Editor, nullptr);
  EXPECT_TRUE(PointerFree());
  Window root, parent, *children = nullptr;
  unsigned count = 0;
  XQueryTree(Host, DefaultRootWindow(Host), &root, &parent, &children, &count);
  for (unsigned i = 0; i < count; ++i) {
    XWindowAttributes a;
    XGetWindowAttributes(Host, children[i], &a);
    EXPECT_FALSE(a.override_redirect && a.map_state == IsViewable) << "a menu window stays";
  }
  if (children) XFree(children);
}

TEST_F(PopupMenuTest, TheParentDestroyedWhileTheMenuIsOpenEndsIt) {
  const int result = Run(Numbered(3), 10, 10, {[&] {
                           XDestroyWindow(Host, Parent);
                           XSync(Host, False);
                         }});
  EXPECT_EQ(result, kMenuClosed);
  EXPECT_EQ(Recorder.Destroyed, 1);
  EXPECT_TRUE(PointerFree());
}

TEST_F(PopupMenuTest, NoMenuWhileAnotherClientHoldsThePointer) {
  ASSERT_EQ(XGrabPointer(Host, DefaultRootWindow(Host), False, ButtonPressMask, GrabModeAsync, GrabModeAsync, None,
                         None, CurrentTime),
            GrabSuccess);
  XSync(Host, False);
  // It gives up (a menu that waited for the pointer would never return).
  EXPECT_EQ(Run(Numbered(3), 10, 10, {}), kMenuCancelled);
  XUngrabPointer(Host, CurrentTime);
  EXPECT_EQ(Run({}, 10, 10, {}), kMenuCancelled);  // nothing to show
}

TEST_F(PopupMenuTest, EditorEventsKeepFlowingWhileTheMenuIsOpen) {
  Recorder.Paints.clear();
  const int result = Run(Numbered(3), 500, 10,
                         {[&] {
                            Editor->Invalidate({1, 2, 3, 4});
                          },
                          [] {}, [&] { Key(XK_Escape); }});
  EXPECT_EQ(result, kMenuCancelled);
  ASSERT_FALSE(Recorder.Paints.empty());
  EXPECT_EQ(Recorder.Paints.back().Left, 1);
}

class TDialogListener : public TRecorder {};

TEST_F(PopupMenuTest, TopLevelWindowIsTransientForTheHostWindowAndModal) {
  TRecorder dialog;
  std::string why;
  auto top = TTopLevelWindow::Open(Editor.get(), 240, 120, "Save Sub Preset", &dialog, &why);
  ASSERT_NE(top, nullptr) << why;
  Window transient = 0;
  ASSERT_TRUE(XGetTransientForHint(Host, top->Handle(), &transient));
  EXPECT_EQ(transient, Parent);
  char* name = nullptr;
  ASSERT_TRUE(XFetchName(Host, top->Handle(), &name));
  EXPECT_STREQ(name, "Save Sub Preset");
  XFree(name);
  XWindowAttributes a;
  XGetWindowAttributes(Host, top->Handle(), &a);
  EXPECT_EQ(a.width, 240);
  EXPECT_EQ(a.height, 120);
  top->MoveTo(300, 200);
  // The window manager's close button, as a message.
  XEvent e{};
  e.xclient.type = ClientMessage;
  e.xclient.window = top->Handle();
  e.xclient.message_type = XInternAtom(Host, "WM_PROTOCOLS", False);
  e.xclient.format = 32;
  e.xclient.data.l[0] = static_cast<long>(XInternAtom(Host, "WM_DELETE_WINDOW", False));
  XSendEvent(Host, top->Handle(), False, NoEventMask, &e);
  XSync(Host, False);
  int drains = 0;
  EXPECT_TRUE(top->RunModalLoop([&] { return dialog.CloseRequests > 0; }, [&] { ++drains; }));
  // Closing the editor underneath ends a dialog's loop too.
  EXPECT_FALSE(top->RunModalLoop([] { return false; }, [&] { Editor.reset(); }));
  top->Close();
  // Without an owner: a connection of its own.
  auto alone = TTopLevelWindow::Open(nullptr, 100, 50, "Message", &dialog, &why);
  ASSERT_NE(alone, nullptr) << why;
  EXPECT_FALSE(XGetTransientForHint(Host, alone->Handle(), &transient));
}

}  // namespace
