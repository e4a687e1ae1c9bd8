// The host side of a plug-in's editor on X11, as a Linux host does it: a
// top-level window of ours whose id goes to the editor-open request, sized
// from the editor rectangle, and editor-idle at about 25 Hz on the thread
// that opened the editor. Input comes through the XTest extension from a
// second thread with a connection of its own, so that a plug-in sitting in
// a modal loop (a popup menu) inside an idle call can still be given the
// click or key that ends it.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <iosfwd>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "tools/host/png_file.h"
#include "tools/host/vst_host.h"

struct TChildWindow {
  int X = 0;
  int Y = 0;
  int Width = 0;
  int Height = 0;
  bool Mapped = false;
};

class TEditorInput;

class TEditorHost {
 public:
  // Connects to $DISPLAY for the host's window; null with error when there is
  // no display. X errors of the host's own connections are counted, never
  // fatal.
  static std::unique_ptr<TEditorHost> Connect(std::string& error);
  // Sends the close request if the editor is open, destroys the window.
  ~TEditorHost();
  TEditorHost(const TEditorHost&) = delete;
  TEditorHost& operator=(const TEditorHost&) = delete;

  // Opens the plug-in's editor in a new window of ours: the rectangle asked
  // before the open sizes the window (640 x 480 without one), the window's id
  // goes to the open request, the rectangle asked after it resizes the
  // window when it differs. False with error when the plug-in has no editor,
  // answers the request with 0, or reports no size.
  bool Open(TVstPlugin& plugin, std::string& error);
  bool IsOpen() const { return Plugin != nullptr; }
  // The close request (our window stays until DestroyWindow or the next
  // Open). Answers the plug-in's answer.
  std::intptr_t CloseEditor();
  // Destroys our window, before or after the close request.
  void DestroyWindow();

  // One editor-idle call (while open) and our window's own events.
  void Idle();
  // Idles at 25 Hz for that long.
  void IdleFor(int milliseconds);
  // Idles at 25 Hz until done() holds (asked after every idle call) or
  // timeoutSeconds passed; answers done()'s last answer. For what a test or
  // check awaits: a slow or busy machine only makes it take longer.
  bool IdleUntil(const std::function<bool()>& done, double timeoutSeconds = 30);
  // Runs actions on an input thread while this thread idles the editor at
  // 25 Hz and runs what the actions hand it (TEditorInput::OnHostThread).
  void RunWithInput(const std::function<void(TEditorInput&)>& actions);
  // Called on this thread after every idle call.
  void SetAfterIdle(std::function<void()> afterIdle) { AfterIdle = std::move(afterIdle); }

  unsigned long Window() const { return Win.load(); }
  int Width() const { return W; }
  int Height() const { return H; }
  const TVstRect& RectBeforeOpen() const { return Before; }
  const TVstRect& RectAfterOpen() const { return After; }
  std::uint64_t IdleCount() const { return Idles.load(); }
  // The window manager's close button was pressed.
  bool CloseRequested() const { return CloseAsked; }
  // X errors on the host's own connections since Connect.
  static std::uint64_t XErrors();
  // The windows the plug-in put into ours.
  std::vector<TChildWindow> PluginWindows();
  // Our window's pixels (the plug-in's included).
  bool Capture(TRgbImage& image, std::string& error);
  // The same once the editor has stopped changing them: captures between
  // idle calls until two in a row agree (at most 30 s).
  bool CaptureSettled(TRgbImage& image, std::string& error);

 private:
  friend class TEditorInput;
  TEditorHost() = default;
  void RunHostRequests();

  void* D = nullptr;                  // Display*, used on the thread that connected only
  std::atomic<unsigned long> Win{0};  // read by the input thread
  unsigned long WmDelete = 0;
  int W = 0;
  int H = 0;
  TVstPlugin* Plugin = nullptr;
  TVstRect Before{};
  TVstRect After{};
  bool CloseAsked = false;
  std::string DisplayName;
  std::atomic<std::uint64_t> Idles{0};      // idle calls begun
  std::atomic<std::uint64_t> IdlesDone{0};  // idle calls finished
  std::function<void()> AfterIdle;
  // Calls handed over by the input thread.
  std::mutex RequestLock;
  std::condition_variable RequestDone;
  std::deque<std::function<void()>> Requests;
  std::uint64_t RequestsRun = 0;
};

// The input thread's view: its own connection, XTest input at window
// pixels of the host's window, and calls run on the host thread.
class TEditorInput {
 public:
  explicit TEditorInput(TEditorHost& host);
  ~TEditorInput();
  TEditorInput(const TEditorInput&) = delete;
  TEditorInput& operator=(const TEditorInput&) = delete;

  // False (with the reason) when the display or XTest is not available.
  bool Ready() const { return D != nullptr; }
  const std::string& Error() const { return Why; }

  bool MoveTo(int x, int y);
  bool Press(int button) { return Button(button, true); }
  bool Release(int button) { return Button(button, false); }
  // Presses and releases the key with this X name ("Escape", "a").
  bool Key(const std::string& name);
  // Waits until an idle call that began after the last input has finished,
  // so that the editor has read it, however long a busy machine takes (up
  // to 30 s). One idle call still running after 3 s is taken for a modal
  // loop of the plug-in (a menu), which reads the input itself: then it
  // waits no longer.
  void Settle();
  // Waits as Settle does for an idle call that begins from now on.
  void SettleIdle();
  void Wait(int milliseconds);
  // Runs call on the host thread between idle calls and waits for it.
  void OnHostThread(const std::function<void()>& call);

  bool Capture(TRgbImage& image, std::string& error);
  // Where the pointer is, in pixels of the host's window.
  bool PointerPosition(int& x, int& y);
  // Another client holds the pointer (our grab attempt is refused).
  bool PointerGrabbed();
  // Opaque pixels of the cursor on the screen now; -1 when unknown.
  int CursorOpaquePixels();
  // The window's pixels once the editor has stopped changing them: captures
  // after whole idle calls until two in a row agree (at most 30 s).
  bool CaptureSettled(TRgbImage& image, std::string& error);

 private:
  bool Button(int button, bool down);
  void Sent();

  TEditorHost& Host;
  void* D = nullptr;  // Display* of this thread
  std::string Why;
  std::uint64_t IdlesAtInput = 0;
};

// rumbleon-host editor MODULE.so [--program N] [--screenshot FILE.png]
// [--script FILE]: exit status 0, 1 for failures, 2 for bad usage.
int EditorCommand(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);
