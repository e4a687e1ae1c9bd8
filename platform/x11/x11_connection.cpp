#include "platform/x11/x11_connection.h"

#include <dlfcn.h>
#include <poll.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {

// Xlib, Cairo and the libraries below Cairo (fontconfig, pixman, freetype)
// keep what their initialisation allocates until the process ends. Loaded
// and unloaded with this module each time a host reloads it, they would
// leave that behind every time (about 12 KB a load): they stay resident from
// the first load on. This module itself still unloads.
[[maybe_unused]] const bool kDisplayLibrariesResident = [] {
  for (const char* name : {"libX11.so.6", "libcairo.so.2"}) (void)dlopen(name, RTLD_NOW | RTLD_NOLOAD | RTLD_NODELETE);
  return true;
}();

// ---- the error trap --------------------------------------------------------
// Xlib has one error handler and one I/O error handler per process. Ours
// answers for our own connections and hands every other connection's errors
// to the handler installed before it, so a host's X code behaves as if we
// were not there. It is installed while any of our connections is open.
//
// The lists below live on the heap while they hold anything: an editor that
// a host closes after this module's statics were destroyed (from an exit
// handler of its own) still finds them. The mutexes and pointers are
// trivially destructible, so they stay usable until the process ends.

std::mutex TrapMutex;
std::vector<TX11Connection*>* Trapped = nullptr;
XErrorHandler PreviousErrorHandler = nullptr;
XIOErrorHandler PreviousIOErrorHandler = nullptr;
bool TrapInstalled = false;

TX11Connection* TrappedConnection(Display* display) {
  if (Trapped)
    for (TX11Connection* c : *Trapped)
      if (c->Dpy() == display) return c;
  return nullptr;
}

int TrapError(Display* display, XErrorEvent* error) {
  XErrorHandler previous = nullptr;
  {
    std::lock_guard<std::mutex> lock(TrapMutex);
    if (TX11Connection* c = TrappedConnection(display)) {
      c->RecordError(*error);
      return 0;
    }
    previous = PreviousErrorHandler;
  }
  return previous ? previous(display, error) : 0;
}

int TrapIOError(Display* display) {
  XIOErrorHandler previous = nullptr;
  {
    std::lock_guard<std::mutex> lock(TrapMutex);
    if (TX11Connection* c = TrappedConnection(display)) {
      c->MarkLost();
      return 0;
    }
    previous = PreviousIOErrorHandler;
  }
  return previous ? previous(display) : 0;
}

// After an I/O error Xlib ends the process unless the connection's exit
// handler returns: ours does, and the connection stays marked lost.
void KeepProcessOnLostConnection(Display*, void*) {}

void AddToTrap(TX11Connection* connection) {
  std::lock_guard<std::mutex> lock(TrapMutex);
  if (!TrapInstalled) {
    PreviousErrorHandler = XSetErrorHandler(&TrapError);
    PreviousIOErrorHandler = XSetIOErrorHandler(&TrapIOError);
    TrapInstalled = true;
  }
  if (!Trapped) Trapped = new std::vector<TX11Connection*>;
  Trapped->push_back(connection);
  XSetIOErrorExitHandler(connection->Dpy(), &KeepProcessOnLostConnection, nullptr);
}

void RemoveFromTrap(TX11Connection* connection) {
  std::lock_guard<std::mutex> lock(TrapMutex);
  if (!Trapped) return;
  std::erase(*Trapped, connection);
  if (!Trapped->empty()) return;
  delete Trapped;
  Trapped = nullptr;
  if (!TrapInstalled) return;
  // Put the previous handlers back, unless someone installed theirs after
  // ours: theirs may hand errors on to ours, so ours stays (it forwards
  // everything now) and is taken out at the next chance.
  const XErrorHandler current = XSetErrorHandler(PreviousErrorHandler);
  const XIOErrorHandler currentIO = XSetIOErrorHandler(PreviousIOErrorHandler);
  if (current == &TrapError && currentIO == &TrapIOError) {
    TrapInstalled = false;
    return;
  }
  XSetErrorHandler(current);
  XSetIOErrorHandler(currentIO);
}

// ---- orphans -----------------------------------------------------------------

struct TOrphan {
  std::shared_ptr<TX11Connection> Connection;
  std::unique_ptr<TX11EventTarget> Window;
};
std::mutex OrphanMutex;
std::vector<TOrphan>* Orphans = nullptr;

// The position and width of a colour mask's bits.
struct TChannel {
  int Shift = 0;
  int Bits = 0;
};
TChannel ChannelOf(unsigned long mask) {
  if (mask == 0) return {};
  return {std::countr_zero(mask), std::popcount(mask)};
}
unsigned long Scale(std::uint32_t value8, TChannel c) {
  if (c.Bits <= 0) return 0;
  const unsigned long v = c.Bits >= 8 ? (static_cast<unsigned long>(value8) << (c.Bits - 8))
                                      : (static_cast<unsigned long>(value8) >> (8 - c.Bits));
  return v << c.Shift;
}

}  // namespace

std::shared_ptr<TX11Connection> TX11Connection::Open(const char* displayName, std::string* why) {
  ReapOrphans();
  auto fail = [&](const std::string& reason) {
    if (why) *why = reason;
    return std::shared_ptr<TX11Connection>();
  };
  const char* name = displayName ? displayName : std::getenv("DISPLAY");
  if (!name || !*name) return fail("no display (DISPLAY is not set)");
  Display* display = XOpenDisplay(name);
  if (!display) return fail(std::string("cannot connect to display '") + name + "'");
  std::shared_ptr<TX11Connection> c(new TX11Connection());
  c->D = display;
  c->Owner = std::this_thread::get_id();
  c->ScreenNumber = DefaultScreen(display);
  c->RootWindow = RootWindow(display, c->ScreenNumber);
  AddToTrap(c.get());
  if (!c->ChooseVisual(why)) return nullptr;
  return c;
}

bool TX11Connection::ChooseVisual(std::string* why) {
  // Depth 24 true colour: the default visual nearly everywhere. A 32-bit
  // visual would read our pixels' unused top byte as alpha.
  Visual* visual = DefaultVisual(D, ScreenNumber);
  int depth = DefaultDepth(D, ScreenNumber);
  XVisualInfo info;
  if (!(visual->c_class == TrueColor && depth == 24)) {
    if (XMatchVisualInfo(D, ScreenNumber, 24, TrueColor, &info)) {
      visual = info.visual;
      depth = 24;
    } else if (!(visual->c_class == TrueColor && depth >= 15)) {
      if (why) *why = "the screen has no true-colour visual";
      return false;
    }
  }
  VisualUsed = visual;
  DepthUsed = depth;
  if (visual == DefaultVisual(D, ScreenNumber)) {
    ColormapUsed = DefaultColormap(D, ScreenNumber);
  } else {
    ColormapUsed = XCreateColormap(D, RootWindow, visual, AllocNone);
    OwnColormap = true;
  }
  int bitsPerPixel = 0, count = 0;
  if (XPixmapFormatValues* formats = XListPixmapFormats(D, &count)) {
    for (int i = 0; i < count; ++i)
      if (formats[i].depth == depth) bitsPerPixel = formats[i].bits_per_pixel;
    XFree(formats);
  }
  FastPixels = bitsPerPixel == 32 && visual->red_mask == 0xFF0000 && visual->green_mask == 0xFF00 &&
               visual->blue_mask == 0xFF &&
               ImageByteOrder(D) == (std::endian::native == std::endian::little ? LSBFirst : MSBFirst);
  return true;
}

TX11Connection::~TX11Connection() {
  if (!D) return;
  if (!IsLost()) {
    if (Blank) XFreeCursor(D, Blank);
    if (OwnColormap) XFreeColormap(D, ColormapUsed);
  }
  // Closing flushes and reads what is pending: errors still come to us.
  XCloseDisplay(D);
  RemoveFromTrap(this);
}

int TX11Connection::ScreenWidth() const { return DisplayWidth(D, ScreenNumber); }
int TX11Connection::ScreenHeight() const { return DisplayHeight(D, ScreenNumber); }

void TX11Connection::RecordError(const XErrorEvent& error) {
  Errors.fetch_add(1);
  LastError.store(error.error_code);
  unsigned long seen = LastErrorSerial.load();
  while (error.serial > seen && !LastErrorSerial.compare_exchange_weak(seen, error.serial)) {
  }
}

bool TX11Connection::SyncFailed(unsigned long firstSerial) {
  if (!Usable()) return true;
  XSync(D, False);
  return IsLost() || (Errors.load() > 0 && LastErrorSerial.load() >= firstSerial);
}

void TX11Connection::Register(Window window, TX11EventTarget* target) {
  if (window) Targets.emplace_back(window, target);
}

void TX11Connection::Unregister(Window window) {
  std::erase_if(Targets, [&](const auto& t) { return t.first == window; });
}

TX11EventTarget* TX11Connection::Find(Window window) const {
  for (const auto& [w, target] : Targets)
    if (w == window) return target;
  return nullptr;
}

int TX11Connection::Pump() {
  if (!Usable()) return 0;
  ReapOrphans();
  // A listener may close the last window, which would free this object.
  const std::shared_ptr<TX11Connection> keep = shared_from_this();
  // Bounded: a flood of events cannot hold the host's thread forever.
  constexpr int kMaxEvents = 2000;
  int count = 0;
  while (count < kMaxEvents && !IsLost() && XPending(D) > 0) {
    XEvent event;
    XNextEvent(D, &event);
    ++count;
    if (event.type == MotionNotify) {
      while (XEventsQueued(D, QueuedAlready) > 0) {
        XEvent next;
        XPeekEvent(D, &next);
        if (next.type != MotionNotify || next.xmotion.window != event.xmotion.window) break;
        XNextEvent(D, &event);
        ++count;
      }
    }
    if (TX11EventTarget* target = Find(event.xany.window)) target->HandleEvent(event);
  }
  std::vector<Window> windows;
  for (const auto& t : Targets) windows.push_back(t.first);
  for (Window w : windows)
    if (TX11EventTarget* target = Find(w)) target->AfterEvents();
  if (Usable()) XFlush(D);
  return count;
}

void TX11Connection::Wait(int timeoutMs) {
  if (!Usable()) return;
  XFlush(D);
  if (XEventsQueued(D, QueuedAlready) > 0) return;
  pollfd fd = {ConnectionNumber(D), POLLIN, 0};
  while (poll(&fd, 1, timeoutMs) < 0 && errno == EINTR) {
  }
}

Cursor TX11Connection::BlankCursor() {
  if (Blank || !Usable()) return Blank;
  static const char kNoBits[8] = {};
  const Pixmap bits = XCreateBitmapFromData(D, RootWindow, kNoBits, 8, 8);
  if (!bits) return 0;
  XColor black;
  std::memset(&black, 0, sizeof black);
  Blank = XCreatePixmapCursor(D, bits, bits, &black, &black, 0, 0);
  XFreePixmap(D, bits);
  return Blank;
}

Window TX11Connection::CreateWindow(Window parent, int x, int y, int width, int height, long eventMask,
                                    bool overrideRedirect) {
  if (!Usable() || !parent || width <= 0 || height <= 0) return 0;
  XSetWindowAttributes attributes;
  std::memset(&attributes, 0, sizeof attributes);
  // No background: every pixel is ours to paint, so nothing is erased
  // before a paint (no flicker). Border and colour map are given so that a
  // parent of another visual still accepts the window.
  attributes.background_pixmap = None;
  attributes.border_pixel = 0;
  attributes.colormap = ColormapUsed;
  attributes.event_mask = eventMask;
  attributes.override_redirect = overrideRedirect ? True : False;
  attributes.save_under = overrideRedirect ? True : False;
  const unsigned long mask = CWBackPixmap | CWBorderPixel | CWColormap | CWEventMask | CWOverrideRedirect | CWSaveUnder;
  const unsigned long serial = NextSerial();
  const Window window = XCreateWindow(D, parent, x, y, static_cast<unsigned>(width), static_cast<unsigned>(height), 0,
                                      DepthUsed, InputOutput, VisualUsed, mask, &attributes);
  if (!window || SyncFailed(serial)) {
    if (window && !IsLost()) {
      XDestroyWindow(D, window);
      XSync(D, False);
    }
    return 0;
  }
  return window;
}

bool TX11Connection::PutPixels(Drawable drawable, GC gc, const TPixelView& pixels, const TWindowRect& area,
                               const TWindowRect& limit) {
  if (!Usable() || !pixels.Valid()) return false;
  const TWindowRect r = area.Intersect({0, 0, pixels.Width, pixels.Height}).Intersect(limit);
  if (r.Empty()) return true;
  if (FastPixels) {
    XImage image;
    std::memset(&image, 0, sizeof image);
    image.width = pixels.Width;
    image.height = pixels.Height;
    image.format = ZPixmap;
    image.data = reinterpret_cast<char*>(const_cast<std::uint32_t*>(pixels.Data));
    image.byte_order = ImageByteOrder(D);
    image.bitmap_unit = 32;
    image.bitmap_bit_order = BitmapBitOrder(D);
    image.bitmap_pad = 32;
    image.depth = DepthUsed;
    image.bytes_per_line = pixels.Stride;
    image.bits_per_pixel = 32;
    image.red_mask = VisualUsed->red_mask;
    image.green_mask = VisualUsed->green_mask;
    image.blue_mask = VisualUsed->blue_mask;
    if (!XInitImage(&image)) return false;
    XPutImage(D, drawable, gc, &image, r.Left, r.Top, r.Left, r.Top, static_cast<unsigned>(r.Width),
              static_cast<unsigned>(r.Height));
  } else {
    // Any other true-colour layout: convert the area pixel by pixel.
    XImage* image = XCreateImage(D, VisualUsed, static_cast<unsigned>(DepthUsed), ZPixmap, 0, nullptr,
                                 static_cast<unsigned>(r.Width), static_cast<unsigned>(r.Height), 32, 0);
    if (!image) return false;
    Scratch.assign(static_cast<std::size_t>(image->bytes_per_line) * static_cast<std::size_t>(r.Height) / 4 + 1, 0);
    image->data = reinterpret_cast<char*>(Scratch.data());
    const TChannel red = ChannelOf(VisualUsed->red_mask), green = ChannelOf(VisualUsed->green_mask),
                   blue = ChannelOf(VisualUsed->blue_mask);
    for (int y = 0; y < r.Height; ++y) {
      const auto* row = reinterpret_cast<const std::uint32_t*>(reinterpret_cast<const char*>(pixels.Data) +
                                                               static_cast<std::ptrdiff_t>(r.Top + y) * pixels.Stride);
      for (int x = 0; x < r.Width; ++x) {
        const std::uint32_t p = row[r.Left + x];
        XPutPixel(image, x, y, Scale((p >> 16) & 0xFF, red) | Scale((p >> 8) & 0xFF, green) | Scale(p & 0xFF, blue));
      }
    }
    XPutImage(D, drawable, gc, image, 0, 0, r.Left, r.Top, static_cast<unsigned>(r.Width),
              static_cast<unsigned>(r.Height));
    image->data = nullptr;  // Scratch owns the bytes
    XDestroyImage(image);
  }
  XFlush(D);
  return true;
}

void TX11Connection::Orphan(std::shared_ptr<TX11Connection> connection, std::unique_ptr<TX11EventTarget> window) {
  if (!connection) return;
  connection->RequestStop();
  std::lock_guard<std::mutex> lock(OrphanMutex);
  if (!Orphans) Orphans = new std::vector<TOrphan>;
  Orphans->push_back({std::move(connection), std::move(window)});
}

void TX11Connection::ReapOrphans() {
  std::vector<TOrphan> mine;
  {
    std::lock_guard<std::mutex> lock(OrphanMutex);
    if (!Orphans) return;
    for (auto it = Orphans->begin(); it != Orphans->end();) {
      if (it->Connection->OnOwnerThread()) {
        mine.push_back(std::move(*it));
        it = Orphans->erase(it);
      } else {
        ++it;
      }
    }
    if (Orphans->empty()) {
      delete Orphans;
      Orphans = nullptr;
    }
  }
  // Each window first (its destructor destroys it on this, its thread), then
  // the connection.
  for (TOrphan& o : mine) {
    o.Window.reset();
    o.Connection.reset();
  }
}
