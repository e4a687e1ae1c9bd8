// Inside the X11 window layer: one connection to the X server, owned by the
// thread that opened it, with the process-wide trap for X errors and the
// registry that routes events to our windows. Not for use outside
// platform/x11 and its tests (it brings in Xlib's names).
#pragma once

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/x11/window_types.h"

// Receives the events of one X window of a connection.
class TX11EventTarget {
 public:
  virtual ~TX11EventTarget() = default;
  // One event of this target's window. A target may be unregistered (its
  // window closed) from inside; it must not touch itself after a listener
  // call that may have done so.
  virtual void HandleEvent(XEvent& event) = 0;
  // After each batch of events: deliver pending paints.
  virtual void AfterEvents() {}
};

class TX11Connection : public std::enable_shared_from_this<TX11Connection> {
 public:
  // Opens the display (displayName, or $DISPLAY when null) on the calling
  // thread, with X errors trapped. Null with the reason in why when there is
  // no display, the connection fails or the screen has no true-colour
  // visual.
  static std::shared_ptr<TX11Connection> Open(const char* displayName, std::string* why);
  // Owner thread: closes the display.
  ~TX11Connection();
  TX11Connection(const TX11Connection&) = delete;
  TX11Connection& operator=(const TX11Connection&) = delete;

  Display* Dpy() const { return D; }
  int Screen() const { return ScreenNumber; }
  Window Root() const { return RootWindow; }
  int ScreenWidth() const;
  int ScreenHeight() const;

  bool OnOwnerThread() const { return std::this_thread::get_id() == Owner; }
  // The server connection broke (I/O error): nothing may be asked of it.
  bool IsLost() const { return Lost.load(); }
  // Xlib may be called: owner thread, connection alive.
  bool Usable() const { return OnOwnerThread() && !IsLost(); }

  // Errors: the serial of the next request, and after XSync whether an error
  // arrived for a request from firstSerial on.
  unsigned long NextSerial() const { return NextRequest(D); }
  bool SyncFailed(unsigned long firstSerial);
  std::uint64_t ErrorCount() const { return Errors.load(); }
  int LastErrorCode() const { return LastError.load(); }

  void Register(Window window, TX11EventTarget* target);
  void Unregister(Window window);
  TX11EventTarget* Find(Window window) const;

  // Reads and delivers every waiting event (consecutive moves of one window
  // merged into the last, as a desktop's message queue does), then the
  // pending paints; flushes. Answers the number of events read.
  int Pump();
  // Sleeps until the server sends something or timeoutMs passed.
  void Wait(int timeoutMs);

  // Closing any window of the connection ends every popup-menu and modal
  // loop running at that moment: loops remember the count when they start.
  void RequestStop() { Stops.fetch_add(1); }
  std::uint64_t StopCount() const { return Stops.load(); }

  // The empty cursor (made on first use).
  Cursor BlankCursor();
  // A window of our visual; 0 on failure. Override-redirect for menus.
  Window CreateWindow(Window parent, int x, int y, int width, int height, long eventMask, bool overrideRedirect);
  // Copies area of pixels to the same position of the drawable, clipped to
  // the pixels and to limit. Flushes.
  bool PutPixels(Drawable drawable, GC gc, const TPixelView& pixels, const TWindowRect& area, const TWindowRect& limit);

  // A window closed on a thread that does not own its connection waits
  // here, with its connection, until the owner thread comes back into this
  // layer: then the window is destroyed and the connection released there.
  static void Orphan(std::shared_ptr<TX11Connection> connection, std::unique_ptr<TX11EventTarget> window);
  // Destroys the orphans that the calling thread owns.
  static void ReapOrphans();

  // Called by the error trap (any thread that reads this display).
  void RecordError(const XErrorEvent& error);
  void MarkLost() { Lost.store(true); }

 private:
  TX11Connection() = default;
  bool ChooseVisual(std::string* why);

  Display* D = nullptr;
  std::thread::id Owner;
  int ScreenNumber = 0;
  Window RootWindow = 0;
  Visual* VisualUsed = nullptr;
  int DepthUsed = 0;
  Colormap ColormapUsed = 0;
  bool OwnColormap = false;
  bool FastPixels = false;  // the visual takes our words as they are
  Cursor Blank = 0;
  std::atomic<bool> Lost{false};
  std::atomic<std::uint64_t> Errors{0};
  std::atomic<unsigned long> LastErrorSerial{0};
  std::atomic<int> LastError{0};
  std::atomic<std::uint64_t> Stops{0};
  std::vector<std::pair<Window, TX11EventTarget*>> Targets;
  std::vector<std::uint32_t> Scratch;  // converted pixels for visuals that need it
};
