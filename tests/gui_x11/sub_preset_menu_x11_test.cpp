// A plug-in's editor in a host's window on a virtual display, idled as a
// host idles it, while a second thread plays the user with XTest: the
// "Preset" button's menu opens (a picture of it is saved), "Whats this?"
// shows the message dialog (saved too) and Return closes it, "Save
// Sub-Preset Here" asks for a name that is typed in and stored.
#include <gtest/gtest.h>

#include <atomic>
#include <cctype>

// The plug-in's headers before Xlib's (whose macros, None and Status, would
// break them).
#include "platform/x11/popup_menu.h"
#include "tests/gui/controls/editor_test_support.h"
#include "tests/gui/support/contact_sheet.h"
#include "tests/gui_x11/x11_capture.h"
#include "tests/x11/x11_test_support.h"

#include <X11/keysym.h>

namespace {

using namespace editor_test;
using plugin_test::Dispatch;

constexpr std::int32_t kReverb = 10;
const char* const kRooms[] = {"Small Room", "Bass Room", "Studio",    "Chamber",   "Plate",     "Bright Plate",
                              "Spring",     "Hall",      "Dark Hall", "Cathedral", "Ambience",  "Tight Booth",
                              "Wide Room",  "Slap Room", "Long Tail", "Shimmer",   "Subtle Air"};

// The editor test plug-in in a real X11 window, with a Reverb group and its
// button.
class TX11SubPresetPlugin : public TEditorTestPlugin {
 public:
  void CreatePageButtons() override {
    TEditorTestPlugin::CreatePageButtons();
    AddSubPresetGroup(kReverb, "Reverb");
    AddSubPresetToGroup(kReverb, kKnob);
    AddSubPresetToGroup(kReverb, kVSlider);
    Button = CreateSubPresetButton("Preset", 190, 20, ControlsPanel, kReverb);
  }
  std::unique_ptr<TEditorPlatformWindow> CreatePlatformWindow(void* parent, std::int32_t w, std::int32_t h,
                                                              TWindowListener* listener, std::string* why) override {
    return TDSPPluginGui::CreatePlatformWindow(parent, w, h, listener, why);
  }
  TSPThemeGUISubPresetsButton* Button = nullptr;
};

class SubPresetMenuX11Test : public X11Test {
 protected:
  void SetUp() override {
    TolerateVanishedWindows();
    X11Test::SetUp();
  }
};

TEST_F(SubPresetMenuX11Test, TheMenuItsHelpMessageAndTheNameQueryWorkInRealWindows) {
  plugin_test::TTestHost::Reset();
  auto plugin = MakeEditorPlugin<TX11SubPresetPlugin>();
  for (const char* room : kRooms) plugin->StoreSubPresetAs(kReverb, room);
  TVstEffect* effect = plugin->GetEffect();
  ASSERT_EQ(Dispatch(effect, kEffEditOpen, 0, 0, reinterpret_cast<void*>(Parent)), 1) << plugin->LastEditorError();
  // Where the menu's items go (the window's position comes from the server).
  TGuiPopupMenu menu;
  plugin->FillSubPresetMenu(kReverb, menu);
  std::vector<TMenuItem> items;
  for (std::int32_t i = 0; i < menu.Count(); ++i)
    items.push_back({menu.Item(i)->Caption, 0, false, true, menu.Item(i)->BarBreak});
  const TMenuLayout layout = LayoutMenu(items, &MenuTextWidth);
  auto itemIndex = [&](const std::string& caption) {
    for (std::size_t i = 0; i < items.size(); ++i)
      if (items[i].Text == caption) return i;
    return items.size();
  };
  const TSPThemeGUIControl* button = plugin->Button;
  const int bx = button->Left + button->Width / 2, by = button->Top + button->Height / 2;

  std::atomic<bool> done{false};
  std::vector<std::string> failures;
  std::thread user([&] {
    Display* d = XOpenDisplay(Server.Name().c_str());
    auto fail = [&](const std::string& why) { failures.push_back(why); };
    auto until = [&](const std::function<bool()>& f) {
      // Generous: a busy machine only makes it take longer.
      const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(30);
      while (!f()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
      return true;
    };
    auto move = [&](int x, int y) {
      XTestFakeMotionEvent(d, -1, x, y, CurrentTime);
      XSync(d, False);
      std::this_thread::sleep_for(std::chrono::milliseconds(40));
    };
    auto click = [&](int x, int y) {
      move(x, y);
      XTestFakeButtonEvent(d, 1, True, CurrentTime);
      XSync(d, False);
      std::this_thread::sleep_for(std::chrono::milliseconds(40));
      XTestFakeButtonEvent(d, 1, False, CurrentTime);
      XSync(d, False);
    };
    auto key = [&](KeySym sym, bool shift = false) {
      const KeyCode shiftCode = XKeysymToKeycode(d, XK_Shift_L), code = XKeysymToKeycode(d, sym);
      if (shift) XTestFakeKeyEvent(d, shiftCode, True, CurrentTime);
      XTestFakeKeyEvent(d, code, True, CurrentTime);
      XTestFakeKeyEvent(d, code, False, CurrentTime);
      if (shift) XTestFakeKeyEvent(d, shiftCode, False, CurrentTime);
      XSync(d, False);
    };
    // Opens the menu and clicks the item with that caption.
    Window menuWindow = 0;
    XWindowAttributes menuArea{};
    auto choose = [&](const std::string& caption, const std::string& picture) {
      click(bx, by);
      // The menu takes the pointer once it shows: a click before that would
      // go past it.
      if (!until([&] { return FindMenu(d, menuWindow, menuArea) && PointerHeld(d); }))
        return fail("no menu for " + caption);
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      if (!picture.empty()) {
        const int w = std::max(TEditorTestPlugin::kWidth, menuArea.x + menuArea.width) + 8;
        const int h = std::max(TEditorTestPlugin::kHeight, menuArea.y + menuArea.height) + 8;
        if (!CaptureArea(d, DefaultRootWindow(d), 0, 0, w, h).SaveToPngFile(picture)) fail("no menu picture");
      }
      const TWindowRect r = layout.Items[itemIndex(caption)];
      click(menuArea.x + r.Left + r.Width / 2, menuArea.y + r.Top + r.Height / 2);
    };
    Window dialog = 0;
    int dx = 0, dy = 0;
    choose("Whats this?", TestOutputPath("editor-sub-preset-menu.png"));
    if (!until([&] { return FindTopLevel(d, "Information", dialog, dx, dy) && HasFocus(d, dialog); }))
      fail("no message dialog");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (!CaptureWindowPng(d, dialog, TestOutputPath("dialog-message-x11.png"))) fail("no message picture");
    key(XK_Return);
    if (!until([&] { return !FindTopLevel(d, "Information", dialog, dx, dy); })) fail("the message stayed");

    choose("Save Sub-Preset Here", "");
    if (!until([&] { return FindTopLevel(d, "Save Sub Preset", dialog, dx, dy) && HasFocus(d, dialog); }))
      fail("no name query");
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    for (char c : std::string("Night Hall")) {
      const bool upper = std::isupper(static_cast<unsigned char>(c)) != 0;
      key(c == ' ' ? XK_space : static_cast<KeySym>(std::tolower(static_cast<unsigned char>(c))), upper);
    }
    key(XK_Return);
    if (!until([&] { return !FindTopLevel(d, "Save Sub Preset", dialog, dx, dy); })) fail("the query stayed");
    XCloseDisplay(d);
    done = true;
  });
  // The user's thread ends by itself (each of its waits is bounded).
  while (!done) {
    Dispatch(effect, kEffEditIdle);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  user.join();
  EXPECT_TRUE(failures.empty()) << failures.front();
  const TSubPresetGroupRec* group = plugin->FindSubPresetGroup(kReverb);
  ASSERT_EQ(group->SubPresets.size(), std::size(kRooms) + 1);
  EXPECT_EQ(group->SubPresets.back().Name, "Night Hall");
  Dispatch(effect, kEffEditClose);
  EXPECT_TRUE(PointerFree());
  Dispatch(effect, kEffClose);
  plugin.release();
}

}  // namespace
