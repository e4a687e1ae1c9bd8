#include "gui/controls/editor_window.h"

#include <cstdint>

#include "gui/controls/plugin_gui.h"
#include "platform/x11/platform_window.h"

// ---- X11

namespace {

class TX11EditorPlatformWindow final : public TEditorPlatformWindow {
 public:
  explicit TX11EditorPlatformWindow(std::unique_ptr<TEditorWindow> window) : W(std::move(window)) {}
  ~TX11EditorPlatformWindow() override { W->Close(); }
  void Close() override { W->Close(); }
  bool IsOpen() const override { return W->IsOpen(); }
  bool OnOwnerThread() const override { return W->OnOwnerThread(); }
  int Width() const override { return W->Width(); }
  int Height() const override { return W->Height(); }
  int Pump() override { return W->Pump(); }
  void Invalidate() override { W->Invalidate(); }
  void Update() override { W->Update(); }
  bool Present(const TPixelView& pixels, const TWindowRect& area) override { return W->Present(pixels, area); }
  bool SetCapture() override { return W->SetCapture(); }
  void ReleaseCapture() override { W->ReleaseCapture(); }
  bool HasCapture() const override { return W->HasCapture(); }
  void SetCursorHidden(bool hidden) override { W->SetCursorHidden(hidden); }
  bool CursorHidden() const override { return W->CursorHidden(); }
  bool ClientToScreen(int x, int y, int& sx, int& sy) const override { return W->ClientToScreen(x, y, sx, sy); }
  bool GetCursorScreenPos(int& sx, int& sy) const override { return W->GetCursorScreenPos(sx, sy); }
  bool SetCursorScreenPos(int sx, int sy) override { return W->SetCursorScreenPos(sx, sy); }
  int PopupMenu(const std::vector<TMenuItem>& items, int sx, int sy, const std::function<void()>& drain) override {
    return W->PopupMenu(items, sx, sy, drain);
  }
  TEditorWindow* NativeWindow() override { return W.get(); }

 private:
  std::unique_ptr<TEditorWindow> W;
};

TWindowRect ToWindowRect(const TRect& r) { return {r.Left, r.Top, r.Width(), r.Height()}; }

// Window button numbers to the tree's buttons; false for any other button.
bool ToMouseButton(int button, TMouseButton& out) {
  switch (button) {
    case kMouseLeft:
      out = TMouseButton::mbLeft;
      return true;
    case kMouseRight:
      out = TMouseButton::mbRight;
      return true;
    case kMouseMiddle:
      out = TMouseButton::mbMiddle;
      return true;
    default:
      return false;
  }
}

unsigned ButtonModifier(int button) {
  switch (button) {
    case kMouseLeft:
      return kModLeftButton;
    case kMouseRight:
      return kModRightButton;
    case kMouseMiddle:
      return kModMiddleButton;
    default:
      return 0;
  }
}

}  // namespace

std::unique_ptr<TEditorPlatformWindow> OpenX11EditorWindow(unsigned long parent, int width, int height,
                                                           TWindowListener* listener, std::string* why) {
  std::unique_ptr<TEditorWindow> window = TEditorWindow::Open(parent, width, height, listener, why);
  if (!window) return nullptr;
  return std::make_unique<TX11EditorPlatformWindow>(std::move(window));
}

// ---- panel

TDSPEditorPanel::~TDSPEditorPanel() {
  Destroying = true;
  DetachPlugin();
}

TSPThemeGUIBody* TDSPEditorPanel::Body() const { return Plugin != nullptr ? Plugin->GuiBody() : nullptr; }

bool TDSPEditorPanel::Usable() const { return !Destroying && Window != nullptr && Window->IsOpen(); }

bool TDSPEditorPanel::InputBlocked() const {
  // A modal dialog of the plug-in is up: the editor waits for it, as an
  // owner window does.
  return Destroying || (Plugin != nullptr && Plugin->ModalDialogShowing());
}

void TDSPEditorPanel::AttachPlugin() {
  TSPThemeGUIBody* body = Body();
  if (body == nullptr) return;
  Width = Plugin->EditorWidth;
  Height = Plugin->EditorHeight;
  std::lock_guard<std::recursive_mutex> guard(GuiLock());
  body->OnGetWindow = TSPThemeGUIBody::TGetWindowEvent::Bind<&TDSPEditorPanel::BodyGetWindow>(this);
  body->OnInvalidate = TSPThemeGUIControl::TNotifyEvent::Bind<&TDSPEditorPanel::BodyInvalidate>(this);
  body->CapturedControl = nullptr;
  body->Attached = true;
}

void TDSPEditorPanel::DetachPlugin() {
  TSPThemeGUIBody* body = Body();
  if (body == nullptr) return;
  std::lock_guard<std::recursive_mutex> guard(GuiLock());
  if (body->OnGetWindow.Data != this) return;  // attached to another window meanwhile
  body->Attached = false;
  body->OnGetWindow = {};
  body->OnInvalidate = {};
  body->CapturedControl = nullptr;
}

void TDSPEditorPanel::BodyGetWindow(TSPThemeGUIBody* /*sender*/, TGuiWindow*& window) {
  window = Destroying ? nullptr : this;
}

void TDSPEditorPanel::BodyInvalidate(TSPThemeGUIControl* /*sender*/) {
  if (!Usable()) return;
  if (Window->OnOwnerThread()) {
    Window->Invalidate();
    Window->Update();  // repainted before the call returns
  } else {
    std::lock_guard<std::recursive_mutex> guard(GuiLock());
    PendingArea = Bounds(0, 0, Width, Height);
  }
}

void TDSPEditorPanel::Present(const TRect& area) {
  TSPThemeGUIBody* body = Body();
  if (body == nullptr || !Usable() || area.IsEmpty()) return;
  std::lock_guard<std::recursive_mutex> guard(GuiLock());
  const TBitmapPixels p = body->FrontBitmap().Pixels();  // recomposed first when marked
  Window->Present({p.Data, p.Width, p.Height, p.StrideBytes}, ToWindowRect(area));
}

void TDSPEditorPanel::Idle() {
  if (!Usable()) return;
  Window->Pump();
  TRect pending;
  {
    std::lock_guard<std::recursive_mutex> guard(GuiLock());
    pending = PendingArea;
    PendingArea = {};
  }
  Present(pending);
}

void TDSPEditorPanel::OnPaint(const TWindowRect& area) {
  Present(Bounds(area.Left, area.Top, area.Width, area.Height));
}

void TDSPEditorPanel::OnMouseDown(const TMouseEvent& event) {
  TSPThemeGUIBody* body = Body();
  TMouseButton button;
  if (body == nullptr || InputBlocked() || !ToMouseButton(event.Button, button)) return;
  bool handled = false;
  body->MouseDown(button, event.Modifiers, event.X, event.Y, handled);
  // A press no control took frees the mouse, so a lost release cannot
  // keep a control captured for the next press.
  if (!handled) body->CapturedControl = nullptr;
  // The captured control gets every move and the release, wherever the
  // pointer goes.
  if (body->CapturedControl != nullptr && Usable() && !Window->HasCapture()) Window->SetCapture();
}

void TDSPEditorPanel::OnMouseMove(const TMouseEvent& event) {
  TSPThemeGUIBody* body = Body();
  if (body == nullptr || InputBlocked()) return;
  bool handled = false;
  body->MouseMove(event.Modifiers, event.X, event.Y, handled);
}

void TDSPEditorPanel::OnMouseUp(const TMouseEvent& event) {
  TSPThemeGUIBody* body = Body();
  TMouseButton button;
  if (body == nullptr || InputBlocked() || !ToMouseButton(event.Button, button)) return;
  bool handled = false;
  body->MouseUp(button, event.Modifiers, event.X, event.Y, handled);
  // The last button up: nothing can hold the mouse any more (a control that
  // stopped showing while pressed never released it).
  const unsigned held = event.Modifiers & (kModLeftButton | kModMiddleButton | kModRightButton);
  if ((held & ~ButtonModifier(event.Button)) == 0) {
    body->CapturedControl = nullptr;
    if (Usable() && Window->HasCapture()) Window->ReleaseCapture();
  }
}

void TDSPEditorPanel::OnCaptureLost() {
  TSPThemeGUIBody* body = Body();
  if (body == nullptr) return;
  if (TSPThemeGUIControl* captured = body->CapturedControl) {
    body->CapturedControl = nullptr;
    captured->CancelGesture();
  }
}

void TDSPEditorPanel::ShowArea(const TRect& area) {
  if (!Usable() || area.IsEmpty()) return;
  if (Window->OnOwnerThread()) {
    Present(area);
  } else {
    std::lock_guard<std::recursive_mutex> guard(GuiLock());
    PendingArea = UnionRect(PendingArea, area);
  }
}

bool TDSPEditorPanel::ClientToScreen(const TPoint& client, TPoint& screen) {
  if (!Usable()) return false;
  return Window->ClientToScreen(client.X, client.Y, screen.X, screen.Y);
}

bool TDSPEditorPanel::GetCursorScreenPos(TPoint& screen) {
  if (!Usable()) return false;
  return Window->GetCursorScreenPos(screen.X, screen.Y);
}

void TDSPEditorPanel::SetCursorScreenPos(const TPoint& screen) {
  if (Usable()) Window->SetCursorScreenPos(screen.X, screen.Y);
}

void TDSPEditorPanel::SetCursorHidden(bool hidden) {
  if (Usable() && Window->CursorHidden() != hidden) Window->SetCursorHidden(hidden);
}

int TDSPEditorPanel::PopupMenu(const std::vector<TMenuItem>& items, const TPoint& screen) {
  if (!Usable()) return kMenuCancelled;
  // Posted calls keep running while the menu waits (repaints, values).
  return Window->PopupMenu(items, screen.X, screen.Y, [] { PumpPostBacks(); });
}

// ---- editor window

TDSPVSTEditorWnd::TDSPVSTEditorWnd() : Panel(std::make_unique<TDSPEditorPanel>()) {}

TDSPVSTEditorWnd::~TDSPVSTEditorWnd() { Close(); }

bool TDSPVSTEditorWnd::Open(void* parent, std::int32_t width, std::int32_t height, std::string* why) {
  if (Plugin == nullptr || !Panel) return false;
  PlatformWindow = Plugin->CreatePlatformWindow(parent, width, height, Panel.get(), why);
  if (!PlatformWindow) return false;
  Panel->SetWindow(PlatformWindow.get());
  return true;
}

void TDSPVSTEditorWnd::AttachPlugin() {
  if (!Panel) return;
  Panel->Plugin = Plugin;
  Panel->AttachPlugin();
  Attached = true;
}

void TDSPVSTEditorWnd::Close() {
  // The window goes first: a drag in progress ends through the panel
  // (OnCaptureLost) while the body is still attached.
  if (PlatformWindow) PlatformWindow->Close();
  if (Panel) {
    Panel->DetachPlugin();
    Panel->SetWindow(nullptr);
    Panel.reset();
  }
  PlatformWindow.reset();
  Attached = false;
}

bool TDSPVSTEditorWnd::IsOpen() const { return PlatformWindow && PlatformWindow->IsOpen(); }

TEditorWindow* TDSPVSTEditorWnd::NativeWindow() const {
  return PlatformWindow ? PlatformWindow->NativeWindow() : nullptr;
}

void TDSPVSTEditorWnd::Idle() {
  if (Panel) Panel->Idle();
}
