// Stand-ins for the editor's windows, so the control tree, the editor panel
// and the plug-in's editor run without a display: a platform window that
// keeps what was presented as its pixels and records capture, cursor and
// menu calls, a tree-level window for bare trees, and a small plug-in with
// one parameter of every control kind.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "gui/controls/editor_window.h"
#include "gui/controls/gui_control.h"
#include "gui/controls/gui_leaf_controls.h"
#include "gui/controls/plugin_gui.h"
#include "tests/framework/core/plugin_test_support.h"

namespace editor_test {

// Chooses menu entries for the stand-in windows: answers the index to
// choose (or kMenuCancelled) given the items shown.
using TMenuChooser = std::function<int(const std::vector<TMenuItem>& items)>;

// A platform window of its own pixels.
class TStubPlatformWindow : public TEditorPlatformWindow {
 public:
  TStubPlatformWindow(int width, int height, TWindowListener* listener)
      : W(width), H(height), Listener(listener), Pixels(static_cast<std::size_t>(width) * height, 0xFF00FFu) {}

  void Close() override {
    if (!Open) return;
    if (Captured || ButtonDown) {
      Captured = false;
      ButtonDown = false;
      Hidden = false;
      Listener->OnCaptureLost();
    }
    Captured = false;
    Hidden = false;
    Open = false;
  }
  bool IsOpen() const override { return Open; }
  bool OnOwnerThread() const override { return OwnerThread; }
  int Width() const override { return W; }
  int Height() const override { return H; }
  int Pump() override {
    ++Pumps;
    Update();
    return 0;
  }
  void Invalidate() override { Dirty = TWindowRect{0, 0, W, H}; }
  void Update() override {
    if (!Open || Dirty.Empty()) return;
    const TWindowRect area = Dirty;
    Dirty = {};
    Listener->OnPaint(area);
  }
  bool Present(const TPixelView& view, const TWindowRect& area) override {
    if (!Open || !view.Valid()) return false;
    const TWindowRect r = area.Intersect({0, 0, std::min(W, view.Width), std::min(H, view.Height)});
    for (int y = r.Top; y < r.Bottom(); ++y) {
      const auto* row = reinterpret_cast<const std::uint32_t*>(reinterpret_cast<const std::uint8_t*>(view.Data) +
                                                               static_cast<std::ptrdiff_t>(y) * view.Stride);
      for (int x = r.Left; x < r.Right(); ++x) Pixels[static_cast<std::size_t>(y) * W + x] = row[x] & 0xFFFFFFu;
    }
    Presented.push_back(r);
    return true;
  }
  bool SetCapture() override {
    Captured = Open;
    return Captured;
  }
  void ReleaseCapture() override { Captured = false; }
  bool HasCapture() const override { return Captured; }
  void SetCursorHidden(bool hidden) override {
    Hidden = hidden;
    ++CursorCalls;
  }
  bool CursorHidden() const override { return Hidden; }
  bool ClientToScreen(int x, int y, int& sx, int& sy) const override {
    sx = x + ScreenX;
    sy = y + ScreenY;
    return Open;
  }
  bool GetCursorScreenPos(int& sx, int& sy) const override {
    sx = CursorX;
    sy = CursorY;
    return Open;
  }
  bool SetCursorScreenPos(int sx, int sy) override {
    CursorX = sx;
    CursorY = sy;
    Warps.push_back({sx, sy});
    return Open;
  }
  int PopupMenu(const std::vector<TMenuItem>& items, int sx, int sy, const std::function<void()>& drain) override {
    MenuItems = items;
    MenuAt = {sx, sy};
    ++Menus;
    if (drain) drain();
    return Chooser ? Chooser(items) : kMenuCancelled;
  }

  // The pixel the window shows at (x, y), 0x00RRGGBB.
  std::uint32_t At(int x, int y) const { return Pixels[static_cast<std::size_t>(y) * W + x]; }

  // Mouse input as the window layer delivers it, in window pixels; the
  // cursor follows.
  void Press(int x, int y, int button = kMouseLeft) {
    MoveCursor(x, y);
    ButtonDown = true;
    Listener->OnMouseDown({x, y, x + ScreenX, y + ScreenY, button, 0});
  }
  void Move(int x, int y) {
    MoveCursor(x, y);
    Listener->OnMouseMove({x, y, x + ScreenX, y + ScreenY, 0, ButtonDown ? kModLeftButton : 0u});
  }
  void Release(int x, int y, int button = kMouseLeft) {
    MoveCursor(x, y);
    ButtonDown = false;
    const unsigned held = button == kMouseLeft ? kModLeftButton : button == kMouseRight ? kModRightButton
                                                                                       : kModMiddleButton;
    Listener->OnMouseUp({x, y, x + ScreenX, y + ScreenY, button, held});
  }
  void MoveCursor(int x, int y) {
    CursorX = x + ScreenX;
    CursorY = y + ScreenY;
  }

  int W, H;
  TWindowListener* Listener;
  std::vector<std::uint32_t> Pixels;
  std::vector<TWindowRect> Presented;
  TWindowRect Dirty{};
  bool Open = true;
  bool OwnerThread = true;
  bool Captured = false;
  bool ButtonDown = false;
  bool Hidden = false;
  int CursorCalls = 0;
  int Pumps = 0;
  int ScreenX = 100;  // where the window sits on the screen
  int ScreenY = 50;
  int CursorX = 0;
  int CursorY = 0;
  std::vector<TPoint> Warps;
  std::vector<TMenuItem> MenuItems;
  TPoint MenuAt{};
  int Menus = 0;
  TMenuChooser Chooser;
};

// A window for a bare tree (no plug-in): remembers what was asked of it.
class TStubGuiWindow : public TGuiWindow {
 public:
  void ShowArea(const TRect& area) override { Shown.push_back(area); }
  bool ClientToScreen(const TPoint& client, TPoint& screen) override {
    screen = {client.X + 100, client.Y + 50};
    return true;
  }
  bool GetCursorScreenPos(TPoint& screen) override {
    screen = Cursor;
    return true;
  }
  void SetCursorScreenPos(const TPoint& screen) override {
    Cursor = screen;
    Warps.push_back(screen);
  }
  void SetCursorHidden(bool hidden) override {
    Hidden = hidden;
    ++CursorCalls;
  }
  int PopupMenu(const std::vector<TMenuItem>& items, const TPoint& screen) override {
    MenuItems = items;
    MenuAt = screen;
    ++Menus;
    return Chooser ? Chooser(items) : kMenuCancelled;
  }
  // Attaches body to this window.
  void Attach(TSPThemeGUIBody& body) {
    body.OnGetWindow = TSPThemeGUIBody::TGetWindowEvent::Bind<&TStubGuiWindow::GetWindow>(this);
    body.Attached = true;
  }
  void GetWindow(TSPThemeGUIBody* /*sender*/, TGuiWindow*& window) { window = this; }

  std::vector<TRect> Shown;
  TPoint Cursor{300, 200};
  std::vector<TPoint> Warps;
  bool Hidden = false;
  int CursorCalls = 0;
  std::vector<TMenuItem> MenuItems;
  TPoint MenuAt{};
  int Menus = 0;
  TMenuChooser Chooser;
};

// A plug-in with an editor: the core's VOL, PAN and MUTE in the header, and
// on a panel of its own one parameter of each control kind, one of kind 2
// (no control) and one on a panel that does not exist.
class TEditorTestPlugin : public TDSPPluginGui {
 public:
  enum : std::int32_t {
    kKnob = 10,      // 0..100, step 1
    kVSlider,        // 0..1000, step 10
    kHSlider,        // 0..100
    kVVUMeter,
    kHVUMeter,
    kLED,
    kSwitch,         // 0..1
    kValueEdit,      // 0..100
    kButtonSwitch,   // 0..1
    kValueMenu,      // 0..4: five texts
    kButtonSwitchMenu,
    kNoKind,         // kind 2: no control
    kNoPanel,        // a panel that does not exist
    kFlat,           // an empty range: its step is not a number
    kParamCount,
  };
  static constexpr int kWidth = 480;
  static constexpr int kHeight = 300;

  TEditorTestPlugin() {
    EffectName = "EditorTest";
    SetUniqueIDChars('E', 'd', 'T', 's');
    ParamCount = kParamCount;
    HasGuiFlag = true;
    EditorWidth = kWidth;
    EditorHeight = kHeight;
  }

  void CreatePanels() override {
    TDSPPluginGui::CreatePanels();
    if (!HasGui()) return;
    auto* panel = new TSPThemeGUIPanel(GuiBody(), "Controls");
    ControlsPanel = AddGuiPanel(panel);
  }
  void LayoutPanels() override {
    TDSPPluginGui::LayoutPanels();
    if (!HasGui()) return;
    TSPThemeGUIControl* panel = GuiPanel(ControlsPanel);
    panel->Left = 2;
    panel->Top = 40;
    panel->Width = kWidth - 4;
    panel->Height = kHeight - 44;
  }
  void InitParameterInfo() override {
    TDSPPluginGui::InitParameterInfo();
    auto param = [this](std::int32_t id, const char* name, std::int32_t max, std::int32_t kind, std::int32_t top,
                        std::int32_t left, std::int32_t tag, std::int32_t flags = 0) {
      InitIntParamInfo(10, ParamInfo[id], name, 0, 0, 0, max, name);
      InitParamInfoExtra(ParamInfo[id], kind, ControlsPanel, top, left, tag, name, flags);
    };
    param(kKnob, "Knob", 100, kGuiKnob, 20, 20, 1);
    param(kVSlider, "VSlider", 1000, kGuiVSlider, 20, 90, 1);
    ParamInfo[kVSlider].Step = 10.0f;
    param(kHSlider, "HSlider", 100, kGuiHSlider, 170, 20, 1);
    param(kVVUMeter, "VVU", 100, kGuiVVUMeter, 20, 400, 1);
    param(kHVUMeter, "HVU", 100, kGuiHVUMeter, 200, 300, 1);
    param(kLED, "LED", 1, kGuiLED, 100, 430, 1);
    param(kSwitch, "Switch", 1, kGuiSwitch, 20, 160, 1);
    param(kValueEdit, "Edit", 100, kGuiValueEdit, 20, 250, 1);
    param(kButtonSwitch, "BtnSw", 1, kGuiButtonSwitch, 60, 250, 1);
    param(kValueMenu, "Menu", 4, kGuiValueEditMenu, 100, 250, 1);
    param(kButtonSwitchMenu, "BtnMenu", 1, kGuiButtonSwitchMenu, 140, 250, 1);
    param(kNoKind, "NoKind", 1, 2, 200, 20, 1);
    param(kNoPanel, "NoPanel", 1, kGuiKnob, 200, 20, 1);
    ParamInfo[kNoPanel].GuiPanel = 7;
    param(kFlat, "Flat", 0, kGuiKnob, 100, 160, 0);
  }
  void FormatParamValue(std::int32_t param, std::string& text, float real) override {
    if (param == kValueMenu) {
      static const char* const names[] = {"Saw", "Square", "Sine", "Noise", "Pulse"};
      const int i = std::clamp(static_cast<int>(std::lrint(real)), 0, 4);
      text = names[i];
      return;
    }
    TDSPPluginGui::FormatParamValue(param, text, real);
  }
  void ParameterChanged(std::int32_t i) override {
    ++ChangedCount;
    TDSPPluginGui::ParameterChanged(i);
  }
  std::unique_ptr<TEditorPlatformWindow> CreatePlatformWindow(void* parent, std::int32_t width, std::int32_t height,
                                                              TWindowListener* listener, std::string* why) override {
    if (parent == nullptr) {
      if (why != nullptr) *why = "no parent window";
      return nullptr;
    }
    auto window = std::make_unique<TStubPlatformWindow>(width, height, listener);
    Window = window.get();
    return window;
  }

  // The window of the open editor (null when none is open).
  TStubPlatformWindow* OpenWindow() const { return EditorWindow() != nullptr ? Window : nullptr; }
  // The control of a parameter, as its class.
  template <typename T>
  T* ControlOf(std::int32_t param) const {
    return dynamic_cast<T*>(GuiControlOf(param));
  }

  std::int32_t ControlsPanel = -1;
  std::int32_t ChangedCount = 0;
  TStubPlatformWindow* Window = nullptr;
};

// Host calls the editor tests look at: automation, begin and end of edits,
// as one text ("[" begin, "a" automate, "]" end) and the automated values.
struct TEditorHost {
  static inline std::mutex Mutex;
  static inline std::string Notices;
  static inline std::vector<std::pair<std::int32_t, float>> Automated;

  static void Reset() {
    plugin_test::TTestHost::Reset();
    std::lock_guard<std::mutex> guard(Mutex);
    Notices.clear();
    Automated.clear();
  }
  static std::string Take() {
    std::lock_guard<std::mutex> guard(Mutex);
    std::string s;
    s.swap(Notices);
    return s;
  }
  static std::intptr_t Callback(TVstEffect* effect, std::int32_t opcode, std::int32_t index, std::intptr_t value,
                                void* ptr, float opt) {
    {
      std::lock_guard<std::mutex> guard(Mutex);
      if (opcode == kHostAutomate) {
        Notices += 'a';
        Automated.emplace_back(index, opt);
      } else if (opcode == kHostBeginEdit) {
        Notices += '[';
      } else if (opcode == kHostEndEdit) {
        Notices += ']';
      }
    }
    return plugin_test::TTestHost::Callback(effect, opcode, index, value, ptr, opt);
  }
};

// A plug-in set up as a host would, talking to TEditorHost.
template <typename T = TEditorTestPlugin>
std::unique_ptr<T> MakeEditorPlugin() {
  auto plugin = std::make_unique<T>();
  plugin->InitPlugin(&TEditorHost::Callback);
  TVstEffect* e = plugin->GetEffect();
  plugin_test::Dispatch(e, kEffSetSampleRate, 0, 0, nullptr, 44100.0f);
  plugin_test::Dispatch(e, kEffSetBlockSize, 0, 512);
  plugin_test::Dispatch(e, kEffMainsChanged, 0, 1);
  return plugin;
}

// A window id as a host passes it.
inline void* HostWindow() { return reinterpret_cast<void*>(static_cast<std::uintptr_t>(0x400001)); }

}  // namespace editor_test
