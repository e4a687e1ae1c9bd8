#include "platform/x11/popup_menu.h"

#include <X11/keysym.h>
#include <cairo.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "platform/x11/x11_connection.h"

namespace {

constexpr int kBorder = 2;  // outline and padding around the columns
constexpr int kItemHeight = 20;
constexpr int kSeparatorHeight = 9;
constexpr int kCheckMargin = 22;  // left of the text: room for the check mark
constexpr int kTextMargin = 18;   // right of the text
constexpr int kMinColumnWidth = 60;
constexpr int kBarWidth = 3;        // the line between columns
constexpr double kFontSize = 11.0;  // pixels: a desktop's 8-point menu font at 96 dpi
const char kFontFace[] = "DejaVu Sans";

// Colours as 0xRRGGBB.
constexpr std::uint32_t kFace = 0xF0F0F0, kOutline = 0x979797, kText = 0x000000, kDisabledText = 0x6D6D6D,
                        kHighlight = 0x3399FF, kHighlightText = 0xFFFFFF, kEtchDark = 0xA0A0A0, kEtchLight = 0xFFFFFF;

bool IsSeparator(const TMenuItem& item) { return item.Text == "-"; }
bool Selectable(const TMenuItem& item) { return item.Enabled && !IsSeparator(item); }

void SetColour(cairo_t* cr, std::uint32_t rgb) {
  cairo_set_source_rgb(cr, ((rgb >> 16) & 0xFF) / 255.0, ((rgb >> 8) & 0xFF) / 255.0, (rgb & 0xFF) / 255.0);
}

void SetFont(cairo_t* cr) {
  cairo_select_font_face(cr, kFontFace, CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_NORMAL);
  cairo_set_font_size(cr, kFontSize);
}

// A pixel-exact line (anti-aliasing off, centred on the pixel row/column).
void Line(cairo_t* cr, double x0, double y0, double x1, double y1, std::uint32_t rgb) {
  SetColour(cr, rgb);
  cairo_move_to(cr, x0 + 0.5, y0 + 0.5);
  cairo_line_to(cr, x1 + 0.5, y1 + 0.5);
  cairo_stroke(cr);
}

// Valid UTF-8 (no overlong forms, no surrogates, at most U+10FFFF).
bool ValidUtf8(const std::string& s) {
  std::size_t i = 0;
  while (i < s.size()) {
    const auto c = static_cast<unsigned char>(s[i]);
    int extra = 0;
    std::uint32_t cp = 0;
    if (c < 0x80) {
      ++i;
      continue;
    } else if ((c & 0xE0) == 0xC0) {
      extra = 1;
      cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
      extra = 2;
      cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
      extra = 3;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (i + static_cast<std::size_t>(extra) >= s.size()) return false;
    for (int k = 1; k <= extra; ++k) {
      const auto cc = static_cast<unsigned char>(s[i + static_cast<std::size_t>(k)]);
      if ((cc & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (cc & 0x3F);
    }
    static const std::uint32_t kMinimum[] = {0, 0x80, 0x800, 0x10000};
    if (cp < kMinimum[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    i += static_cast<std::size_t>(extra) + 1;
  }
  return true;
}

}  // namespace

std::string MenuTextAsUtf8(const std::string& text) {
  if (ValidUtf8(text)) return text;
  std::string out;
  for (char ch : text) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x80) {
      out += ch;
    } else {
      out += static_cast<char>(0xC0 | (c >> 6));
      out += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

int MenuTextWidth(const std::string& text) {
  cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, 1, 1);
  cairo_t* cr = cairo_create(surface);
  SetFont(cr);
  cairo_text_extents_t extents;
  cairo_text_extents(cr, MenuTextAsUtf8(text).c_str(), &extents);
  cairo_destroy(cr);
  cairo_surface_destroy(surface);
  return static_cast<int>(extents.x_advance + 0.999);
}

TMenuLayout LayoutMenu(const std::vector<TMenuItem>& items, const TTextWidth& textWidth) {
  TMenuLayout layout;
  layout.Items.resize(items.size());
  std::size_t first = 0;
  int x = kBorder, bottom = kBorder;
  while (first < items.size()) {
    std::size_t end = first + 1;
    while (end < items.size() && !items[end].BarBreak) ++end;
    int width = kMinColumnWidth;
    for (std::size_t i = first; i < end; ++i)
      if (!IsSeparator(items[i])) width = std::max(width, kCheckMargin + textWidth(items[i].Text) + kTextMargin);
    int y = kBorder;
    for (std::size_t i = first; i < end; ++i) {
      const int h = IsSeparator(items[i]) ? kSeparatorHeight : kItemHeight;
      layout.Items[i] = {x, y, width, h};
      y += h;
    }
    bottom = std::max(bottom, y);
    x += width;
    first = end;
    if (first < items.size()) {
      layout.ColumnBreaks.push_back(x);
      x += kBarWidth;
    }
  }
  layout.Width = x + kBorder;
  layout.Height = bottom + kBorder;
  return layout;
}

std::vector<std::uint32_t> RenderMenu(const std::vector<TMenuItem>& items, const TMenuLayout& layout, int highlight) {
  std::vector<std::uint32_t> pixels(static_cast<std::size_t>(layout.Width) * static_cast<std::size_t>(layout.Height));
  if (pixels.empty()) return pixels;
  cairo_surface_t* surface =
      cairo_image_surface_create_for_data(reinterpret_cast<unsigned char*>(pixels.data()), CAIRO_FORMAT_RGB24,
                                          layout.Width, layout.Height, layout.Width * 4);
  cairo_t* cr = cairo_create(surface);
  cairo_set_antialias(cr, CAIRO_ANTIALIAS_NONE);
  cairo_set_line_width(cr, 1.0);
  SetColour(cr, kFace);
  cairo_paint(cr);
  SetColour(cr, kOutline);
  cairo_rectangle(cr, 0.5, 0.5, layout.Width - 1, layout.Height - 1);
  cairo_stroke(cr);
  for (int x : layout.ColumnBreaks) {
    Line(cr, x + 1, kBorder, x + 1, layout.Height - kBorder - 1, kEtchDark);
  }
  SetFont(cr);
  cairo_font_options_t* options = cairo_font_options_create();
  cairo_font_options_set_antialias(options, CAIRO_ANTIALIAS_GRAY);
  cairo_font_options_set_hint_style(options, CAIRO_HINT_STYLE_SLIGHT);
  cairo_set_font_options(cr, options);
  cairo_font_options_destroy(options);
  cairo_font_extents_t font;
  cairo_font_extents(cr, &font);
  for (std::size_t i = 0; i < items.size() && i < layout.Items.size(); ++i) {
    const TMenuItem& item = items[i];
    const TWindowRect& r = layout.Items[i];
    if (IsSeparator(item)) {
      const int y = r.Top + r.Height / 2 - 1;
      Line(cr, r.Left + 2, y, r.Right() - 3, y, kEtchDark);
      Line(cr, r.Left + 2, y + 1, r.Right() - 3, y + 1, kEtchLight);
      continue;
    }
    const bool lit = static_cast<int>(i) == highlight && Selectable(item);
    if (lit) {
      SetColour(cr, kHighlight);
      cairo_rectangle(cr, r.Left, r.Top, r.Width, r.Height);
      cairo_fill(cr);
    }
    const std::uint32_t ink = lit ? kHighlightText : item.Enabled ? kText : kDisabledText;
    if (item.Checked) {
      cairo_save(cr);
      cairo_set_antialias(cr, CAIRO_ANTIALIAS_DEFAULT);
      cairo_set_line_width(cr, 2.0);
      SetColour(cr, ink);
      cairo_move_to(cr, r.Left + 6, r.Top + 10);
      cairo_line_to(cr, r.Left + 9, r.Top + 13);
      cairo_line_to(cr, r.Left + 15, r.Top + 6);
      cairo_stroke(cr);
      cairo_restore(cr);
    }
    SetColour(cr, ink);
    const double baseline = r.Top + (r.Height + font.ascent - font.descent) / 2.0;
    cairo_move_to(cr, r.Left + kCheckMargin, static_cast<int>(baseline));
    cairo_show_text(cr, MenuTextAsUtf8(item.Text).c_str());
  }
  cairo_destroy(cr);
  cairo_surface_flush(surface);
  cairo_surface_destroy(surface);
  return pixels;
}

namespace {

// One shown menu: its window, its grab and what the user did so far.
class TMenuWindow : public TX11EventTarget {
 public:
  TMenuWindow(std::shared_ptr<TX11Connection> connection, const std::vector<TMenuItem>& items)
      : Conn(std::move(connection)), Items(items), Layout(LayoutMenu(items, &MenuTextWidth)) {}

  ~TMenuWindow() override {
    if (!Win) return;
    Conn->Unregister(Win);
    Display* d = Conn->Dpy();
    if (Gc) XFreeGC(d, Gc);  // also on a lost connection: the memory is ours
    if (!Conn->Usable()) return;
    XUngrabPointer(d, CurrentTime);
    XUngrabKeyboard(d, CurrentTime);
    XDestroyWindow(d, Win);
    // A round trip: once the menu has returned, the pointer is free.
    XSync(d, False);
  }

  // Shows the menu at the screen position, kept on the screen, and takes
  // pointer and keyboard. False when the pointer cannot be had: a menu that
  // could not see a press outside it would never close.
  bool Show(int x, int y) {
    x = std::max(0, std::min(x, Conn->ScreenWidth() - Layout.Width));
    y = std::max(0, std::min(y, Conn->ScreenHeight() - Layout.Height));
    const long events = ExposureMask | ButtonPressMask | ButtonReleaseMask | PointerMotionMask | KeyPressMask;
    Win = Conn->CreateWindow(Conn->Root(), x, y, Layout.Width, Layout.Height, events, true);
    if (!Win) return false;
    Display* d = Conn->Dpy();
    XGCValues values;
    std::memset(&values, 0, sizeof values);
    Gc = XCreateGC(d, Win, GCGraphicsExposures, &values);
    Conn->Register(Win, this);
    XMapRaised(d, Win);
    XSync(d, False);
    Pixels = RenderMenu(Items, Layout, Highlight);
    Paint();
    const unsigned pointerEvents = ButtonPressMask | ButtonReleaseMask | PointerMotionMask;
    bool pointer = false, keyboard = false;
    // Another client's grab (or the map still on its way) can refuse for a
    // moment: try for up to half a second.
    for (int attempt = 0; attempt < 50 && !(pointer && keyboard); ++attempt) {
      if (!pointer)
        pointer = XGrabPointer(d, Win, False, pointerEvents, GrabModeAsync, GrabModeAsync, None, None, CurrentTime) ==
                  GrabSuccess;
      if (!keyboard) keyboard = XGrabKeyboard(d, Win, False, GrabModeAsync, GrabModeAsync, CurrentTime) == GrabSuccess;
      if (pointer && (keyboard || attempt >= 10)) break;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (!pointer) return false;
    Window root = 0, child = 0;
    int wx = 0, wy = 0;
    unsigned mask = 0;
    XQueryPointer(d, Win, &root, &child, &StartX, &StartY, &wx, &wy, &mask);
    return true;
  }

  void HandleEvent(XEvent& e) override {
    switch (e.type) {
      case Expose:
        if (e.xexpose.count == 0) Paint();
        return;
      case MotionNotify:
        if (e.xmotion.x_root != StartX || e.xmotion.y_root != StartY) Armed = true;
        SetHighlight(ItemAt(e.xmotion.x, e.xmotion.y));
        return;
      case ButtonPress:
        if (e.xbutton.button >= 4 && e.xbutton.button <= 7) return;  // the wheel does nothing here
        if (Inside(e.xbutton.x, e.xbutton.y)) {
          Armed = true;
        } else {
          Finish(kMenuCancelled);
        }
        return;
      case ButtonRelease: {
        if (e.xbutton.button >= 4 && e.xbutton.button <= 7) return;
        const int item = ItemAt(e.xbutton.x, e.xbutton.y);
        if (Armed && item >= 0) Finish(item);
        return;
      }
      case KeyPress: {
        const KeySym sym = XLookupKeysym(&e.xkey, 0);
        if (sym == XK_Escape) Finish(kMenuCancelled);
        else if (sym == XK_Up) Step(-1);
        else if (sym == XK_Down) Step(1);
        else if ((sym == XK_Return || sym == XK_KP_Enter || sym == XK_space) && Highlight >= 0) Finish(Highlight);
        return;
      }
      default:
        return;
    }
  }

  bool Done = false;
  int Result = kMenuCancelled;

 private:
  bool Inside(int x, int y) const { return x >= 0 && y >= 0 && x < Layout.Width && y < Layout.Height; }

  int ItemAt(int x, int y) const {
    for (std::size_t i = 0; i < Items.size(); ++i)
      if (Layout.Items[i].Contains(x, y) && Selectable(Items[i])) return static_cast<int>(i);
    return -1;
  }

  void Step(int direction) {
    const int n = static_cast<int>(Items.size());
    int i = Highlight;
    for (int k = 0; k < n; ++k) {
      i = i < 0 ? (direction > 0 ? 0 : n - 1) : (i + direction + n) % n;
      if (Selectable(Items[static_cast<std::size_t>(i)])) {
        SetHighlight(i);
        return;
      }
    }
  }

  void SetHighlight(int item) {
    if (item == Highlight) return;
    Highlight = item;
    Pixels = RenderMenu(Items, Layout, Highlight);
    Paint();
  }

  void Paint() {
    const TPixelView view{Pixels.data(), Layout.Width, Layout.Height, Layout.Width * 4};
    Conn->PutPixels(Win, Gc, view, {0, 0, Layout.Width, Layout.Height}, {0, 0, Layout.Width, Layout.Height});
  }

  void Finish(int result) {
    Result = result;
    Done = true;
  }

  std::shared_ptr<TX11Connection> Conn;
  const std::vector<TMenuItem>& Items;
  TMenuLayout Layout;
  std::vector<std::uint32_t> Pixels;
  Window Win = 0;
  GC Gc = nullptr;
  int Highlight = -1;
  bool Armed = false;  // the pointer moved, or a press came inside the menu
  int StartX = 0;
  int StartY = 0;
};

}  // namespace

int RunPopupMenu(const std::shared_ptr<TX11Connection>& connection, const std::vector<TMenuItem>& items, int screenX,
                 int screenY, const std::function<void()>& drain) {
  if (!connection || !connection->Usable() || items.empty()) return kMenuCancelled;
  const std::uint64_t stops = connection->StopCount();
  TMenuWindow menu(connection, items);
  if (!menu.Show(screenX, screenY)) return kMenuCancelled;
  auto closed = [&] { return connection->IsLost() || connection->StopCount() != stops; };
  for (;;) {
    connection->Pump();
    if (menu.Done) return menu.Result;
    if (closed()) return kMenuClosed;
    if (drain) drain();
    if (closed()) return kMenuClosed;
    connection->Wait(10);
  }
}

#if defined(RUMBLEON_SANITIZED)
// Cairo's toy font faces keep one fontconfig pattern per face that
// LeakSanitizer cannot reach at exit: the library's, a fixed amount, not
// ours. Weak: the drawing layer states the same for binaries that link both.
extern "C" __attribute__((weak, visibility("default"))) const char* __lsan_default_suppressions() {
  return "leak:libfontconfig.so\n";
}
#endif
