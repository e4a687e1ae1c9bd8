// The editor's only real windows: the editor window (TDSPVSTEditorWnd), a
// borderless child of the host's window that the plug-in opens on the
// host's editor-open request, and the editor panel (TDSPEditorPanel) that
// fills it: it shows the control tree's Front bitmap and passes the mouse
// into the tree. The tree belongs to the plug-in and outlives every window;
// a window only attaches to it.
//
// The platform window underneath is reached through TEditorPlatformWindow:
// on X11 it is a TEditorWindow (platform/x11), in tests a stand-in.
//
// Threads: everything here runs on the thread that opened the window (the
// host's editor thread): open, idle, close, paints and mouse events.
// Repaints that posted calls run on another thread are kept and shown at
// the window thread's next idle.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "gui/controls/gui_control.h"
#include "platform/x11/window_types.h"

class TDSPPluginGui;
class TEditorWindow;

// What the editor needs of a platform window (the calls of TPlatformWindow
// it uses); see platform/x11/platform_window.h for their meaning.
class TEditorPlatformWindow {
 public:
  virtual ~TEditorPlatformWindow() = default;
  virtual void Close() = 0;
  virtual bool IsOpen() const = 0;
  virtual bool OnOwnerThread() const = 0;
  virtual int Width() const = 0;
  virtual int Height() const = 0;
  virtual int Pump() = 0;
  virtual void Invalidate() = 0;
  virtual void Update() = 0;
  virtual bool Present(const TPixelView& pixels, const TWindowRect& area) = 0;
  virtual bool SetCapture() = 0;
  virtual void ReleaseCapture() = 0;
  virtual bool HasCapture() const = 0;
  virtual void SetCursorHidden(bool hidden) = 0;
  virtual bool CursorHidden() const = 0;
  virtual bool ClientToScreen(int x, int y, int& screenX, int& screenY) const = 0;
  virtual bool GetCursorScreenPos(int& screenX, int& screenY) const = 0;
  virtual bool SetCursorScreenPos(int screenX, int screenY) = 0;
  virtual int PopupMenu(const std::vector<TMenuItem>& items, int screenX, int screenY,
                        const std::function<void()>& drain) = 0;
  // The X11 window underneath, which dialogs belong to; null for stand-ins.
  virtual TEditorWindow* NativeWindow() { return nullptr; }
};

// The X11 editor window: a child of parent (the host's window id) at (0, 0)
// of width x height, on a display connection of its own. Null, with the
// reason in why, without a display, with a bad parent or a failed
// connection.
std::unique_ptr<TEditorPlatformWindow> OpenX11EditorWindow(unsigned long parent, int width, int height,
                                                           TWindowListener* listener, std::string* why);

// Fills the editor window: paints the body's Front bitmap and passes press,
// move and release (window pixels = body pixels) to the body.
class TDSPEditorPanel : public TWindowListener, public TGuiWindow {
 public:
  TDSPEditorPanel() = default;
  // Detaches the body (its window callbacks and its Attached flag).
  ~TDSPEditorPanel() override;
  TDSPEditorPanel(const TDSPEditorPanel&) = delete;
  TDSPEditorPanel& operator=(const TDSPEditorPanel&) = delete;

  // Takes the plug-in's editor size and attaches the body: its window is
  // this panel and its pictures show here from now on.
  void AttachPlugin();
  void DetachPlugin();
  void SetWindow(TEditorPlatformWindow* window) { Window = window; }
  TEditorPlatformWindow* PlatformWindow() const { return Window; }
  // Window events, then the repaints that came from other threads.
  void Idle();

  // The body's callbacks.
  void BodyGetWindow(TSPThemeGUIBody* sender, TGuiWindow*& window);
  void BodyInvalidate(TSPThemeGUIControl* sender);

  // TWindowListener
  void OnPaint(const TWindowRect& area) override;
  void OnMouseDown(const TMouseEvent& event) override;
  void OnMouseMove(const TMouseEvent& event) override;
  void OnMouseUp(const TMouseEvent& event) override;
  void OnCaptureLost() override;

  // TGuiWindow
  void ShowArea(const TRect& area) override;
  bool ClientToScreen(const TPoint& client, TPoint& screen) override;
  bool GetCursorScreenPos(TPoint& screen) override;
  void SetCursorScreenPos(const TPoint& screen) override;
  void SetCursorHidden(bool hidden) override;
  int PopupMenu(const std::vector<TMenuItem>& items, const TPoint& screen) override;

  TDSPPluginGui* Plugin = nullptr;
  std::int32_t Width = 0;
  std::int32_t Height = 0;

 private:
  TSPThemeGUIBody* Body() const;
  // Mouse input is ignored: closing, or a modal dialog is up.
  bool InputBlocked() const;
  // Copies that area of Front to the window (window thread).
  void Present(const TRect& area);
  bool Usable() const;

  TEditorPlatformWindow* Window = nullptr;
  bool Destroying = false;
  // Areas repainted by calls off the window's thread; GuiLock.
  TRect PendingArea{};
};

// The editor window: the platform window and the panel in it.
class TDSPVSTEditorWnd {
 public:
  TDSPVSTEditorWnd();
  // Closes the window (ending a gesture in progress) and frees the panel.
  ~TDSPVSTEditorWnd();
  TDSPVSTEditorWnd(const TDSPVSTEditorWnd&) = delete;
  TDSPVSTEditorWnd& operator=(const TDSPVSTEditorWnd&) = delete;

  // Opens the platform window (Plugin's factory) as a child of parent at
  // (0, 0), width x height. False, with the reason in why, when it cannot.
  bool Open(void* parent, std::int32_t width, std::int32_t height, std::string* why);
  // The panel takes the plug-in and attaches its body. The plug-in calls it
  // under its lock.
  void AttachPlugin();
  // Closes the platform window and detaches the body; safe to call twice.
  void Close();
  // False once closed, or destroyed from outside (the host's window went).
  bool IsOpen() const;
  void Idle();
  // The X11 window dialogs belong to (null for stand-ins or when closed).
  TEditorWindow* NativeWindow() const;

  bool Attached = false;
  std::unique_ptr<TDSPEditorPanel> Panel;
  TDSPPluginGui* Plugin = nullptr;

 private:
  std::unique_ptr<TEditorPlatformWindow> PlatformWindow;
};
