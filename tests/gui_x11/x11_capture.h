// What the dialog tests read back from the X server: our top-level windows
// by title (no window manager: they are children of the root) and their
// pixels, saved as PNG pictures.
#pragma once

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <string>

#include "platform/draw/bitmap.h"

// The test's own connections look at windows that other connections make
// and destroy at any moment: a window gone between two requests is no
// failure of the test (the default handler would end the process).
inline void TolerateVanishedWindows() {
  XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });
}

// The mapped top-level window titled title, with its screen position.
inline bool FindTopLevel(Display* d, const std::string& title, Window& found, int& x, int& y) {
  Window root = 0, parent = 0, *children = nullptr;
  unsigned count = 0;
  if (!XQueryTree(d, DefaultRootWindow(d), &root, &parent, &children, &count)) return false;
  bool ok = false;
  for (unsigned i = count; i-- > 0 && !ok;) {
    XWindowAttributes a;
    if (!XGetWindowAttributes(d, children[i], &a) || a.map_state != IsViewable) continue;
    char* name = nullptr;
    if (XFetchName(d, children[i], &name) && name) {
      ok = title == name;
      XFree(name);
    }
    if (ok) found = children[i], x = a.x, y = a.y;
  }
  if (children) XFree(children);
  return ok;
}

// The keyboard goes to w.
inline bool HasFocus(Display* d, Window w) {
  Window focus = 0;
  int revert = 0;
  XGetInputFocus(d, &focus, &revert);
  return focus == w;
}

// Another client holds the pointer (our grab is refused; one that succeeds
// is let go at once).
inline bool PointerHeld(Display* d) {
  if (XGrabPointer(d, DefaultRootWindow(d), False, ButtonPressMask, GrabModeAsync, GrabModeAsync, None, None,
                   CurrentTime) != GrabSuccess)
    return true;
  XUngrabPointer(d, CurrentTime);
  XSync(d, False);
  return false;
}

// The first mapped override-redirect window (a popup menu) and its area.
inline bool FindMenu(Display* d, Window& found, XWindowAttributes& area) {
  Window root = 0, parent = 0, *children = nullptr;
  unsigned count = 0;
  if (!XQueryTree(d, DefaultRootWindow(d), &root, &parent, &children, &count)) return false;
  bool ok = false;
  for (unsigned i = 0; i < count && !ok; ++i)
    if (XGetWindowAttributes(d, children[i], &area) && area.override_redirect && area.map_state == IsViewable)
      ok = true, found = children[i];
  if (children) XFree(children);
  return ok;
}

// A rectangle of a drawable's pixels as a bitmap.
inline TBitmap CaptureArea(Display* d, Drawable w, int x, int y, int width, int height) {
  TBitmap out(width, height);
  XImage* image =
      XGetImage(d, w, x, y, static_cast<unsigned>(width), static_cast<unsigned>(height), AllPlanes, ZPixmap);
  if (!image) return out;
  for (int row = 0; row < height; ++row) {
    std::uint32_t* line = out.ScanLine(row);
    for (int col = 0; col < width; ++col) line[col] = 0xFF000000u | (XGetPixel(image, col, row) & 0xFFFFFF);
  }
  XDestroyImage(image);
  return out;
}

inline bool CaptureWindowPng(Display* d, Window w, const std::string& path) {
  XWindowAttributes a;
  if (!XGetWindowAttributes(d, w, &a)) return false;
  return CaptureArea(d, w, 0, 0, a.width, a.height).SaveToPngFile(path);
}
