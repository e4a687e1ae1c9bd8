// Stand-ins that let the editor run without a display: a platform window
// that keeps what was presented as its pixels and records capture, cursor
// and menus; a window for bare trees; a plug-in with one parameter of every
// control kind.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "gui/controls/plugin_gui.h"
#include "tests/framework/core/plugin_test_support.h"

namespace editor_test {

// Answers the index of the menu item to choose (or kMenuCancelled).
using TMenuChooser = std::function<int(const std::vector<TMenuItem>& items)>;

class TStubPlatformWindow : public TEditorPlatformWindow {
 public:
  TStubPlatformWindow(int w, int h, TWindowListener* listener)
      : W(w), H(h), Listener(listener), Pixels(static_cast<std::size_t>(w) * h, 0xFF00FFu) {}
  // As the X11 window: closing during a gesture tells the listener.
  void Close() override {
    if (Open && (Captured || ButtonDown)) Listener->OnCaptureLost();
    Open = Captured = ButtonDown = Hidden = false;
  }
  bool IsOpen() const override { return Open; }
  bool OnOwnerThread() const override { return OwnerThread; }
  int Width() const override { return W; }
  int Height() const override { return H; }
  int Pump() override {
    // Input "arriving" now, delivered as the window layer would: inside the
    // host's editor-idle call.
    if (OnPump) std::exchange(OnPump, {})();
    Update();
    return 0;
  }
  void Invalidate() override { Dirty = true; }
  void Update() override {
    if (Open && Dirty) Listener->OnPaint({0, 0, W, H});
    Dirty = false;
  }
  bool Present(const TPixelView& view, const TWindowRect& area) override {
    if (!Open || !view.Valid()) return false;
    const TWindowRect r = area.Intersect({0, 0, std::min(W, view.Width), std::min(H, view.Height)});
    for (int y = r.Top; y < r.Bottom(); ++y)
      for (int x = r.Left; x < r.Right(); ++x)
        Pixels[static_cast<std::size_t>(y) * W + x] = view.Data[y * (view.Stride / 4) + x] & 0xFFFFFFu;
    Presented.push_back(r);
    return true;
  }
  bool SetCapture() override { return Captured = Open; }
  void ReleaseCapture() override { Captured = false; }
  bool HasCapture() const override { return Captured; }
  void SetCursorHidden(bool hidden) override { Hidden = hidden; }
  bool CursorHidden() const override { return Hidden; }
  bool ClientToScreen(int x, int y, int& sx, int& sy) const override {
    sx = x + 100, sy = y + 50;
    return Open;
  }
  bool GetCursorScreenPos(int& sx, int& sy) const override {
    sx = Cursor.X, sy = Cursor.Y;
    return Open;
  }
  bool SetCursorScreenPos(int sx, int sy) override {
    Cursor = {sx, sy};
    return Open;
  }
  int PopupMenu(const std::vector<TMenuItem>& items, int, int, const std::function<void()>& drain) override {
    MenuItems = items;
    drain();
    return Chooser ? Chooser(items) : kMenuCancelled;
  }

  std::uint32_t At(int x, int y) const { return Pixels[static_cast<std::size_t>(y) * W + x]; }
  // Mouse input in window pixels, as the window layer delivers it.
  void Press(int x, int y, int button = kMouseLeft) {
    Cursor = {x + 100, y + 50};
    ButtonDown = true;
    Listener->OnMouseDown({x, y, x + 100, y + 50, button, 0});
  }
  void Move(int x, int y) {
    Cursor = {x + 100, y + 50};
    Listener->OnMouseMove({x, y, x + 100, y + 50, 0, ButtonDown ? kModLeftButton : 0u});
  }
  void Release(int x, int y, int button = kMouseLeft) {
    ButtonDown = false;
    Listener->OnMouseUp({x, y, x + 100, y + 50, button, button == kMouseLeft ? kModLeftButton : kModRightButton});
  }

  int W, H;
  TWindowListener* Listener;
  std::vector<std::uint32_t> Pixels;
  std::vector<TWindowRect> Presented;
  bool Open = true, OwnerThread = true, Dirty = false, Captured = false, ButtonDown = false, Hidden = false;
  TPoint Cursor{};
  std::vector<TMenuItem> MenuItems;
  TMenuChooser Chooser;
  std::function<void()> OnPump;  // runs once, at the next Pump
};

// The window of a bare tree: remembers what it was asked to show.
class TStubGuiWindow : public TGuiWindow {
 public:
  void ShowArea(const TRect& area) override { Shown.push_back(area); }
  bool ClientToScreen(const TPoint& c, TPoint& s) override {
    s = {c.X + 100, c.Y + 50};
    return true;
  }
  bool GetCursorScreenPos(TPoint& s) override {
    s = Cursor;
    return true;
  }
  void SetCursorScreenPos(const TPoint& s) override { Cursor = s, ++Warps; }
  void SetCursorHidden(bool hidden) override { Hidden = hidden, ++CursorCalls; }
  int PopupMenu(const std::vector<TMenuItem>& items, const TPoint& screen) override {
    MenuItems = items, MenuAt = screen, ++Menus;
    return Chooser ? Chooser(items) : kMenuCancelled;
  }
  void Attach(TSPThemeGUIBody& body) {
    body.OnGetWindow = TSPThemeGUIBody::TGetWindowEvent::Bind<&TStubGuiWindow::Get>(this);
    body.Attached = true;
  }
  void Get(TSPThemeGUIBody*, TGuiWindow*& window) { window = this; }

  std::vector<TRect> Shown;
  TPoint Cursor{300, 200};
  bool Hidden = false;
  int Warps = 0, CursorCalls = 0, Menus = 0;
  std::vector<TMenuItem> MenuItems;
  TPoint MenuAt{};
  TMenuChooser Chooser;
};

// The core's VOL, PAN and MUTE on the header; on a panel of its own one
// parameter of each control kind, one of kind 2 (no control) and one on a
// panel that does not exist.
class TEditorTestPlugin : public TDSPPluginGui {
 public:
  enum : std::int32_t {
    kKnob = 10,
    kVSlider,
    kMeter,
    kLED,
    kSwitch,
    kValueEdit,
    kButtonSwitch,
    kValueMenu,
    kNoKind,
    kNoPanel,
    kParamCount
  };
  static constexpr int kWidth = 480, kHeight = 300;

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
    if (HasGui()) ControlsPanel = AddGuiPanel(new TSPThemeGUIPanel(GuiBody(), "Controls"));
  }
  void LayoutPanels() override {
    if (TSPThemeGUIControl* panel = GuiPanel(ControlsPanel)) {
      panel->Left = 2, panel->Top = 40, panel->Width = kWidth - 4, panel->Height = kHeight - 44;
    }
  }
  void InitParameterInfo() override {
    TDSPPluginGui::InitParameterInfo();
    struct TRow {
      std::int32_t Id, Max, Kind, Top, Left;
      const char* Name;
    };
    const TRow rows[] = {{kKnob, 100, kGuiKnob, 20, 20, "Knob"},
                         {kVSlider, 1000, kGuiVSlider, 20, 90, "VSlider"},
                         {kMeter, 100, kGuiVVUMeter, 20, 400, "Meter"},
                         {kLED, 1, kGuiLED, 100, 430, "LED"},
                         {kSwitch, 1, kGuiSwitch, 20, 160, "Switch"},
                         {kValueEdit, 100, kGuiValueEdit, 20, 250, "Edit"},
                         {kButtonSwitch, 1, kGuiButtonSwitch, 60, 250, "BtnSw"},
                         {kValueMenu, 4, kGuiValueEditMenu, 100, 250, "Menu"},
                         {kNoKind, 1, 2, 200, 20, "NoKind"},
                         {kNoPanel, 1, kGuiKnob, 200, 20, "NoPanel"}};
    for (const TRow& r : rows) {
      InitIntParamInfo(10, ParamInfo[r.Id], r.Name, 0, 0, 0, r.Max, r.Name);
      InitParamInfoExtra(ParamInfo[r.Id], r.Kind, r.Id == kNoPanel ? 7 : ControlsPanel, r.Top, r.Left, 1, r.Name, 0);
    }
    ParamInfo[kVSlider].Step = 10.0f;
  }
  void FormatParamValue(std::int32_t param, std::string& text, float real) override {
    static const char* const names[] = {"Saw", "Square", "Sine", "Noise", "Pulse"};
    if (param == kValueMenu) text = names[std::clamp(static_cast<int>(std::lrint(real)), 0, 4)];
    else TDSPPluginGui::FormatParamValue(param, text, real);
  }
  void ParameterChanged(std::int32_t i) override {
    ++ChangedCount;
    TDSPPluginGui::ParameterChanged(i);
  }
  std::unique_ptr<TEditorPlatformWindow> CreatePlatformWindow(void* parent, std::int32_t w, std::int32_t h,
                                                              TWindowListener* listener, std::string* why) override {
    if (parent == nullptr) {
      *why = "no parent window";
      return nullptr;
    }
    auto window = std::make_unique<TStubPlatformWindow>(w, h, listener);
    Window = window.get();
    return window;
  }
  // The core's open call, posted as code on another thread would.
  void PostOpenEditor(void* parent) { PostBack(kPostOpenEditor, 0, PostedCallTarget(), PostArgPointer(parent), 0); }
  TStubPlatformWindow* OpenWindow() const { return EditorWindow() != nullptr ? Window : nullptr; }

  std::int32_t ControlsPanel = -1;
  std::int32_t ChangedCount = 0;
  TStubPlatformWindow* Window = nullptr;
};

// The host's record of the editor's gestures since the last call.
inline std::string TakeEdits() {
  std::lock_guard<std::mutex> guard(plugin_test::TTestHost::Mutex);
  return std::exchange(plugin_test::TTestHost::Edits, {});
}
inline float LastAutomated() {
  std::lock_guard<std::mutex> guard(plugin_test::TTestHost::Mutex);
  return plugin_test::TTestHost::Automated.back().second;
}

template <typename T = TEditorTestPlugin>
std::unique_ptr<T> MakeEditorPlugin(TVstHostCallback host = &plugin_test::TTestHost::Callback) {
  auto plugin = std::make_unique<T>();
  plugin->InitPlugin(host);
  plugin_test::Dispatch(plugin->GetEffect(), kEffSetSampleRate, 0, 0, nullptr, 44100.0f);
  plugin_test::Dispatch(plugin->GetEffect(), kEffMainsChanged, 0, 1);
  return plugin;
}

// A window id as a host passes it.
inline void* HostWindow() { return reinterpret_cast<void*>(static_cast<std::uintptr_t>(0x400001)); }
// The centre of a control in window pixels.
inline TPoint Centre(const TSPThemeGUIControl* c) { return {c->Left + c->Width / 2, c->Top + c->Height / 2}; }

}  // namespace editor_test
