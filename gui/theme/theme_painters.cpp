#include "gui/theme/theme_painters.h"

#include <algorithm>
#include <cmath>

#include "gui/widgets/draw_helpers.h"

namespace {

// Halves that round toward zero, as the layout rules use them.
constexpr int Half(int v) { return v / 2; }
int RoundEven(double v) { return static_cast<int>(std::nearbyint(v)); }

double ClampUnit(double v) {
  if (!(v >= 0)) return 0;  // also not a number
  return std::min(v, 1.0);
}

// The canvas's state around one painter.
class TCanvasState {
 public:
  explicit TCanvasState(TCanvas& c) : Canvas(c) { Canvas.SaveState(); }
  ~TCanvasState() { Canvas.RestoreState(); }
  TCanvasState(const TCanvasState&) = delete;
  TCanvasState& operator=(const TCanvasState&) = delete;

 private:
  TCanvas& Canvas;
};

void UseFont(TCanvas& dc, const TThemeFont& font, TColor color) {
  dc.SetFont(font.Create());
  dc.TextColor = color;
}

int PlaceX(int align, const TRect& r, int width) {
  if (align == 0) return r.Left;
  if (align == 2) return r.Right - width;
  return r.Left + Half(r.Width() - width);
}
int PlaceY(int align, const TRect& r, int height) {
  if (align == 0) return r.Top;
  if (align == 2) return r.Bottom - height;
  return r.Top + Half(r.Height() - height);
}

// The cache, or the part src of it, at (x, y) with the style's transparency.
void DrawCache(TCanvas& dc, const TBitmap& cache, int x, int y, const TRect& src) {
  if (cache.Transparent) dc.CopyRectKeyed(x, y, cache, src, cache.TransparentColor());
  else dc.CopyRect(x, y, cache, src);
}

// The common part of the two-state painters: r takes the "off" picture's
// size, the state's picture (or its background) is drawn there, and the
// painted area is r grown by the caption beside it.
void DrawStateAndCaption(const TSPThemeControl& e, TCanvas& dc, TRect& r, bool on, std::string_view caption,
                         TRect& painted) {
  const TSPThemeControlStyle& c = e.CaptionStyle;
  if (c.Cache) r = Bounds(r.Left, r.Top, c.Cache->Width(), c.Cache->Height());
  const TSPThemeControlStyle& shown = on ? e.ValueStyle : c;
  if (shown.Cache) {
    std::lock_guard<std::recursive_mutex> guard(ThemeLock());
    DrawCache(dc, *shown.Cache, r.Left, r.Top, shown.Cache->ClientRect());
  } else {
    DrawStyleBackground(shown, dc, r);
  }
  // The painted area starts from the control itself, with or without caption.
  painted = r;
  if (!caption.empty()) {
    UseFont(dc, c.Font, c.Font.Color);
    TRect t = painted;
    DrawFittedText(dc, t, false, c.VAlign, c.HAlign, caption);
    painted = UnionRect(painted, t);
  }
}

}  // namespace

std::recursive_mutex& ThemeLock() {
  static std::recursive_mutex lock;
  return lock;
}

TBitmap& ThemeScratchBitmap() {
  static const std::unique_ptr<TBitmap> scratch = CreateWhiteBitmap();
  return *scratch;
}

void DrawStyleBackground(const TSPThemeControlStyle& s, TCanvas& dc, const TRect& r) {
  if (s.FrameOnly == 0) {
    dc.FillRectColor(r, s.FillColor);
    if (s.Cache && !s.Cache->Empty() && !r.IsEmpty()) {
      const TBitmap& pic = *s.Cache;
      const int pw = pic.Width(), ph = pic.Height();
      std::lock_guard<std::recursive_mutex> guard(ThemeLock());
      if (s.TileH != 0 && s.TileV != 0) {
        dc.SaveState();
        dc.SetClipRect(r);  // the last column and row are cut to the rectangle
        for (int y = r.Top; y < r.Bottom; y += ph)
          for (int x = r.Left; x < r.Right; x += pw) DrawCache(dc, pic, x, y, pic.ClientRect());
        dc.RestoreState();
      } else if (s.TileH != 0) {
        const int y = PlaceY(s.VAlign, r, ph);
        for (int x = r.Left; x < r.Right; x += pw) DrawCache(dc, pic, x, y, pic.ClientRect());
      } else if (s.TileV != 0) {
        const int x = PlaceX(s.HAlign, r, pw);
        for (int y = r.Top; y < r.Bottom; y += ph) DrawCache(dc, pic, x, y, pic.ClientRect());
      } else if (s.Piecewise == 1) {
        // The four quadrants into the four corners.
        const int hw = Half(pw), hh = Half(ph);
        DrawCache(dc, pic, r.Left, r.Top, {0, 0, hw, hh});
        DrawCache(dc, pic, r.Right - (pw - hw), r.Top, {hw, 0, pw, hh});
        DrawCache(dc, pic, r.Left, r.Bottom - (ph - hh), {0, hh, hw, ph});
        DrawCache(dc, pic, r.Right - (pw - hw), r.Bottom - (ph - hh), {hw, hh, pw, ph});
      } else if (s.Piecewise == 2) {
        // Left and right halves at the two ends, at the vertical placement.
        const int hw = Half(pw), y = PlaceY(s.VAlign, r, ph);
        DrawCache(dc, pic, r.Left, y, {0, 0, hw, ph});
        DrawCache(dc, pic, r.Right - (pw - hw), y, {hw, 0, pw, ph});
      } else if (s.Piecewise == 3) {
        // Top and bottom halves at the two ends, at the horizontal placement.
        const int hh = Half(ph), x = PlaceX(s.HAlign, r, pw);
        DrawCache(dc, pic, x, r.Top, {0, 0, pw, hh});
        DrawCache(dc, pic, x, r.Bottom - (ph - hh), {0, hh, pw, ph});
      } else {
        DrawCache(dc, pic, PlaceX(s.HAlign, r, pw), PlaceY(s.VAlign, r, ph), pic.ClientRect());
      }
    }
  }
  DrawFrame3D(dc, r, s.FrameLight, s.FrameWidth, s.FrameDark);
}

void DrawFittedText(TCanvas& dc, TRect& r, bool inside, int vPlace, int hPlace, std::string_view text) {
  if (text.empty()) return;
  std::string t(text);
  TSize size = dc.TextExtent(t);
  int x, y;
  if (inside) {
    // Drop characters from the end (whole UTF-8 sequences) while too wide.
    while (size.Width > r.Width() && size.Width >= 1 && t.size() >= 2) {
      std::size_t cut = t.size() - 1;
      while (cut > 0 && (static_cast<unsigned char>(t[cut]) & 0xC0) == 0x80) --cut;
      if (cut == 0) break;
      t.erase(cut);
      size = dc.TextExtent(t);
    }
    x = hPlace == 0 ? r.Left : hPlace == 2 ? r.Right - size.Width : r.Left + Half(r.Width() - size.Width);
    y = vPlace == 0   ? r.Top
        : vPlace == 2 ? r.Bottom - size.Height
                      : r.Top + RoundEven((r.Height() - size.Height) / 2.0);
  } else {
    x = hPlace == 0 ? r.Left - 2 - size.Width : hPlace == 2 ? r.Right + 2 : r.Left + Half(r.Width() - size.Width);
    y = vPlace == 0 ? r.Top - size.Height : vPlace == 2 ? r.Bottom : r.Top + Half(r.Height() - size.Height);
  }
  const bool transparent = dc.TransparentText;
  dc.TransparentText = true;
  dc.TextOut(x, y, t);
  dc.TransparentText = transparent;
  r = UnionRect(r, Bounds(x, y, size.Width, size.Height));
}

void DrawNoThemeControl(TCanvas& dc, const TRect& r) {
  std::lock_guard<std::recursive_mutex> guard(ThemeLock());
  TCanvasState state(dc);
  dc.Brush.Color = clWhite;
  dc.Brush.Style = TBrushStyle::bsSolid;
  dc.Pen.Color = clBlack;
  dc.Pen.Style = TPenStyle::psSolid;
  dc.Pen.Width = 1;
  dc.Rectangle(r.Left, r.Top, r.Right, r.Bottom);
  dc.SetFont(CreateFontEx("MS Sans Serif", 8, 0, 1));
  dc.TextColor = clBlack;
  dc.TransparentText = true;
  dc.TextOut(r.Left + 2, r.Top + 2, "No Theme Control");
}

void DrawThemeLabel(const TSPThemeControl* e, TCanvas& dc, TRect& r, std::string_view text) {
  if (e == nullptr) {
    DrawNoThemeControl(dc, r);
    return;
  }
  TCanvasState state(dc);
  DrawStyleBackground(e->CaptionStyle, dc, r);
  if (text.empty()) return;
  UseFont(dc, e->ValueStyle.Font, e->ValueStyle.Font.Color);
  TRect inner = InflateRect(r, -3, -3);
  DrawFittedText(dc, inner, true, e->ValueStyle.VAlign, e->ValueStyle.HAlign, text);
  r = UnionRect(r, inner);
}

void DrawThemeCaption(const TSPThemeControl* e, TCanvas& dc, TRect& r, std::string_view text) {
  if (text.empty()) return;
  if (e == nullptr) {
    DrawNoThemeControl(dc, r);
    return;
  }
  TCanvasState state(dc);
  const TSPThemeControlStyle& v = e->ValueStyle;
  UseFont(dc, v.Font, v.Font.Color);
  const TSize size = dc.TextExtent(text);
  const TRect inner = InflateRect(r, -1, -1);
  const int w = size.Width + 2 * v.FrameWidth + 8, h = size.Height + 2 * v.FrameWidth + 2;
  const TRect box = Bounds(PlaceX(v.HAlign, inner, w), PlaceY(v.VAlign, inner, h), w, h);
  DrawStyleBackground(v, dc, box);
  TRect textRect = box;
  DrawFittedText(dc, textRect, true, 1, 1, text);
  r = UnionRect(r, box);
}

void DrawThemeButton(const TSPThemeControl* e, TCanvas& dc, TRect& r, bool pressed, std::string_view outside,
                     std::string_view inside, TRect& painted) {
  if (e == nullptr) {
    DrawNoThemeControl(dc, r);
    painted = r;
    return;
  }
  TCanvasState state(dc);
  const TSPThemeControlStyle& v = e->ValueStyle;
  DrawStateAndCaption(*e, dc, r, pressed, outside, painted);
  if (!inside.empty()) {
    UseFont(dc, v.Font, pressed ? v.Font.Color : v.OffTextColor);
    TRect t = r;
    DrawFittedText(dc, t, true, v.VAlign, v.HAlign, inside);
  }
}

void DrawThemeSwitch(const TSPThemeControl* e, TCanvas& dc, TRect& r, bool /*twoState*/, TRect& thumb, int /*rowCount*/,
                     bool off, std::string_view caption, const std::array<std::string, 3>& /*rowTexts*/,
                     TRect& painted) {
  if (e == nullptr) {
    DrawNoThemeControl(dc, r);
    painted = r;
    return;
  }
  TCanvasState state(dc);
  DrawStateAndCaption(*e, dc, r, !off, caption, painted);
  thumb = {0, 0, r.Width(), r.Height()};
}

TStripFrame FilmStripFrame(int stripWidth, int stripHeight, int frames, double v) {
  TStripFrame f;
  if (frames < 1 || stripWidth <= 0 || stripHeight <= 0) return f;
  f.Index = std::clamp(RoundEven((frames - 1) * ClampUnit(v)), 0, frames - 1);
  if (stripWidth > stripHeight) {
    const int fw = stripWidth / frames;
    if (fw > 0) f.Source = {f.Index * fw, 0, f.Index * fw + fw, stripHeight};
  } else {
    const int fh = stripHeight / frames;
    if (fh > 0) f.Source = {0, f.Index * fh, stripWidth, f.Index * fh + fh};
  }
  return f;
}

TPoint KnobPointerTip(const TRect& r, double v) {
  const double u = 1 - ClampUnit(v);
  const double a = (240 - 300 * u - 90) * M_PI / 180;
  const int cx = (r.Left + r.Right) / 2, cy = (r.Top + r.Bottom) / 2;
  return {RoundEven(cx + 0.4 * r.Width() * std::sin(a)), RoundEven(cy - 0.4 * r.Height() * std::cos(a))};
}

namespace {

void DrawVectorPointer(const TSPThemeFader& f, TCanvas& dc, const TRect& r, double v) {
  if (f.Pointer == 2) return;
  const TPoint tip = KnobPointerTip(r, v);
  if (f.Pointer == 1) {
    dc.Pen.Style = TPenStyle::psSolid;
    dc.Pen.Color = f.PointerColor;
    dc.Pen.Width = std::max(1, f.PointerWidth);
    dc.MoveTo((r.Left + r.Right) / 2, (r.Top + r.Bottom) / 2);
    dc.LineTo(tip.X, tip.Y);
  } else {
    dc.Pen.Style = TPenStyle::psSolid;
    dc.Pen.Width = 1;
    dc.Pen.Color = f.PointerColor;
    dc.Brush.Style = TBrushStyle::bsSolid;
    dc.Brush.Color = f.PointerColor;
    dc.Ellipse(tip.X, tip.Y, tip.X + 3, tip.Y + 3);
  }
}

TRect VectorThumb(const TSPThemeFader& f, const TRect& r, double v) {
  if (f.Horizontal != 0) {
    const int left = r.Left + RoundEven(r.Width() * v);
    return Bounds(left, r.Top + Half(r.Height() - 10), 10, 10);
  }
  const int th = r.Height() / 12;
  int top = (r.Bottom - th) - RoundEven((r.Bottom - th - r.Top) * v);
  top = std::max(top, r.Top - 2);
  int bottom = top + th;
  if (bottom > r.Bottom) {
    top -= bottom - r.Bottom;
    bottom = r.Bottom;
  }
  return {r.Left - 2, top, r.Right + 2, bottom};
}

// The value style's picture as the thumb, or the vector thumb without one.
void DrawSliderThumb(const TSPThemeFader& f, TCanvas& dc, const TRect& r, double v, TRect& thumb) {
  const TSPThemeControlStyle& vs = f.ValueStyle;
  if (!vs.Cache || vs.Cache->Empty()) {
    thumb = VectorThumb(f, r, v);
    DrawStyleBackground(vs, dc, thumb);
    return;
  }
  const int pw = vs.Cache->Width(), ph = vs.Cache->Height();
  thumb = f.Horizontal != 0
              ? Bounds(r.Left + RoundEven(r.Width() * v), r.Top + Half(r.Height() - ph), pw, ph)
              : Bounds(r.Left + Half(r.Width() - pw), (r.Bottom - ph) - RoundEven((r.Bottom - ph - r.Top) * v), pw, ph);
  std::lock_guard<std::recursive_mutex> guard(ThemeLock());
  DrawCache(dc, *vs.Cache, thumb.Left, thumb.Top, vs.Cache->ClientRect());
}

}  // namespace

void DrawThemeFader(const TSPThemeControl* e, TCanvas& dc, TRect& r, TRect& thumb, double v, std::string_view valueText,
                    std::string_view caption, TRect& painted) {
  const auto* f = dynamic_cast<const TSPThemeFader*>(e);
  if (f == nullptr) {
    DrawNoThemeControl(dc, r);
    painted = r;
    return;
  }
  v = ClampUnit(v);
  TCanvasState state(dc);
  const TSPThemeControlStyle& c = f->CaptionStyle;
  const TSPThemeControlStyle& vs = f->ValueStyle;
  const bool knob = f->Kind == 0;
  const TBitmap* strip = c.Cache && !c.Cache->Empty() ? c.Cache.get() : nullptr;
  if (strip != nullptr) {
    if (c.Frames < 2) {
      r = Bounds(r.Left, r.Top, strip->Width(), strip->Height());
      std::lock_guard<std::recursive_mutex> guard(ThemeLock());
      DrawCache(dc, *strip, r.Left, r.Top, strip->ClientRect());
    } else {
      const TStripFrame frame = FilmStripFrame(strip->Width(), strip->Height(), c.Frames, v);
      if (!frame.Source.IsEmpty()) {
        r = Bounds(r.Left, r.Top, frame.Source.Width(), frame.Source.Height());
        std::lock_guard<std::recursive_mutex> guard(ThemeLock());
        TBitmap& scratch = ThemeScratchBitmap();
        scratch.SetSize(frame.Source.Width(), frame.Source.Height());
        scratch.Canvas().CopyRect(0, 0, *strip, frame.Source);
        scratch.Transparent = c.Transparent != 0;
        if (strip->HasExplicitTransparentColor()) scratch.SetTransparentColor(strip->TransparentColor());
        else scratch.SetTransparentColorAuto();
        dc.Draw(r.Left, r.Top, scratch);
      }
    }
    if (knob && c.Frames < 2) DrawVectorPointer(*f, dc, r, v);
    if (!knob && c.Frames < 2) DrawSliderThumb(*f, dc, r, v, thumb);
  } else if (knob) {
    dc.Brush.Style = TBrushStyle::bsSolid;
    dc.Brush.Color = c.FillColor;
    dc.Pen.Style = TPenStyle::psSolid;
    dc.Pen.Width = 1;
    dc.Pen.Color = c.FrameDark;
    const TRect outer = InflateRect(r, 1, 1);
    dc.Ellipse(outer.Left, outer.Top, outer.Right, outer.Bottom);
    dc.Pen.Color = c.FrameLight;
    dc.Ellipse(r.Left, r.Top, r.Right, r.Bottom);
    DrawVectorPointer(*f, dc, r, v);
  } else {
    DrawStyleBackground(c, dc, r);  // the track
    DrawSliderThumb(*f, dc, r, v, thumb);
  }
  painted = r;
  const TRect t = InflateRect(r, 1, 1);
  if (!caption.empty()) {
    UseFont(dc, c.Font, c.Font.Color);
    TRect tr = t;
    DrawFittedText(dc, tr, false, c.VAlign, c.HAlign, caption);
    painted = UnionRect(painted, tr);
  }
  if (!valueText.empty()) {
    UseFont(dc, vs.Font, vs.Font.Color);
    TRect tr = t;
    DrawFittedText(dc, tr, false, vs.VAlign, vs.HAlign, valueText);
    painted = UnionRect(painted, tr);
  }
}
