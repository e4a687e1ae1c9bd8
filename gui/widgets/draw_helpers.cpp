#include "gui/widgets/draw_helpers.h"

#include <cairo.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <initializer_list>

#include "platform/resources.h"

std::unique_ptr<TGraphic> LoadGraphicResource(std::string_view name, std::string_view kind) {
  try {
    const auto bytes = FindResourceBytes(name);
    if (bytes.empty()) return nullptr;
    return DecodeGraphic(bytes, kind);
  } catch (...) {
    return nullptr;  // out of memory while decoding: no picture
  }
}

int ScreenPixelsPerInch() { return kScreenPixelsPerInch; }

TFontHandle CreateFontEx(std::string_view name, int size, std::uint32_t styleBits, std::uint8_t charset) {
  TLogFont lf;
  lf.Height = -(size * ScreenPixelsPerInch() / 72);
  lf.Weight = (styleBits & kFontBold) != 0 ? 700 : 400;
  lf.Italic = (styleBits & kFontItalic) != 0;
  lf.Underline = (styleBits & kFontUnderline) != 0;
  lf.StrikeOut = (styleBits & kFontStrikeOut) != 0;
  lf.CharSet = charset;
  lf.FaceName = std::string(name);
  return CreateFontIndirect(lf);
}

std::unique_ptr<TBitmap> CreateWhiteBitmap() {
  auto bitmap = std::make_unique<TBitmap>(100, 100, TPixelFormat::pf24bit);
  bitmap->Canvas().Brush.Color = clWhite;
  bitmap->Canvas().FillRect(bitmap->ClientRect());
  return bitmap;
}

void DrawFrame3D(TCanvas& dc, const TRect& rect, TColor topLeft, int width, TColor bottomRight) {
  for (int i = 0; i < width; ++i) {
    const std::int32_t l = rect.Left + i, t = rect.Top + i, r = rect.Right - i, b = rect.Bottom - i;
    if (r - l < 1 || b - t < 1) break;
    dc.FillRectColor({l, t, r - 1, t + 1}, topLeft);      // top, up to the last pixel
    dc.FillRectColor({l, t, l + 1, b - 1}, topLeft);      // left, down to the last pixel
    dc.FillRectColor({r - 1, t, r, b - 1}, bottomRight);  // right, from the top-right corner
    dc.FillRectColor({l, b - 1, r, b}, bottomRight);      // bottom, from the bottom-left corner
  }
}

namespace {
std::uint8_t ClampChannel(double v) { return static_cast<std::uint8_t>(std::clamp(std::nearbyint(v), 0.0, 255.0)); }
}  // namespace

TColor ScaleColor(TColor color, double factor) {
  const TColor rgb = ColorToRGB(color);
  return RGBColor(ClampChannel(GetRValue(rgb) * factor), ClampChannel(GetGValue(rgb) * factor),
                  ClampChannel(GetBValue(rgb) * factor));
}

void BrightenBitmap(TBitmap& bitmap, double factorR, double factorG, double factorB) {
  for (std::int32_t y = 0; y < bitmap.Height(); ++y) {
    std::uint32_t* row = bitmap.ScanLine(y);
    for (std::int32_t x = 0; x < bitmap.Width(); ++x) {
      const std::uint32_t p = row[x];
      const double r = (p >> 16) & 0xFF, g = (p >> 8) & 0xFF, b = p & 0xFF;
      row[x] = (p & 0xFF000000u) | (std::uint32_t{ClampChannel(r + r * factorR)} << 16) |
               (std::uint32_t{ClampChannel(g + g * factorG)} << 8) | ClampChannel(b + b * factorB);
    }
  }
}

void DarkenBitmap(TBitmap& bitmap) { BrightenBitmap(bitmap, -0.4, -0.4, -0.4); }

TColorComponents ColorComponents(TColor from, TColor to) {
  const TColor a = ColorToRGB(from), b = ColorToRGB(to);
  TColorComponents c;
  c.R = GetRValue(a);
  c.G = GetGValue(a);
  c.B = GetBValue(a);
  c.DR = GetRValue(b) - c.R;
  c.DG = GetGValue(b) - c.G;
  c.DB = GetBValue(b) - c.B;
  return c;
}

std::uint32_t ColorToARGB(TColor color) { return ColorToPixel(ColorToRGB(color)); }

void FillRectAA(TCanvas& canvas, const TRect& rect) { canvas.FillRect(rect); }

namespace {

// The colour of band i (0..255): start + difference * i / 255 per channel,
// by integer multiply-divide, so band 255 is exactly the end colour.
TColor BandColor(const TColorComponents& c, int i) {
  return RGBColor(static_cast<std::uint8_t>(c.R + c.DR * i / 255), static_cast<std::uint8_t>(c.G + c.DG * i / 255),
                  static_cast<std::uint8_t>(c.B + c.DB * i / 255));
}

class TGradient {
 public:
  TGradient(TCanvas& canvas, const TRect& rect, TColor start, TColor end)
      : Canvas(canvas), R(rect), C(ColorComponents(start, end)) {}

  void Fill(TFillDirection direction);

 private:
  void Band(const TRect& r, int i) {
    if (r.IsEmpty()) return;
    Canvas.Brush.Color = BandColor(C, i);
    FillRectAA(Canvas, r);
  }
  // 256 bands across the height (width), band 0 at the top (left); mirrored:
  // over half of it, the same bands also counted from the other edge.
  void Vertical(bool mirrored);
  void Horizontal(bool mirrored);
  void Nested(int i, double insetL, double insetT, double insetR, double insetB);
  void Polygon(std::initializer_list<std::array<double, 2>> points, int i);
  void Diagonal(bool fromRight, bool fromBottom);
  void Ellipses(double scale, bool modulo);
  void Quadrants(int columns, int rows);

  TCanvas& Canvas;
  TRect R;
  TColorComponents C;
};

void TGradient::Vertical(bool mirrored) {
  const int h = mirrored ? (R.Height() + 1) / 2 : R.Height();
  for (int i = 0; i < 256; ++i) {
    const int y0 = h * i / 256, y1 = h * (i + 1) / 256;
    Band({R.Left, R.Top + y0, R.Right, R.Top + y1}, i);
    if (mirrored) Band({R.Left, R.Bottom - y1, R.Right, R.Bottom - y0}, i);
  }
}

void TGradient::Horizontal(bool mirrored) {
  const int w = mirrored ? (R.Width() + 1) / 2 : R.Width();
  for (int i = 0; i < 256; ++i) {
    const int x0 = w * i / 256, x1 = w * (i + 1) / 256;
    Band({R.Left + x0, R.Top, R.Left + x1, R.Bottom}, i);
    if (mirrored) Band({R.Right - x1, R.Top, R.Right - x0, R.Bottom}, i);
  }
}

// Band i of a family of nested rectangles: inset from each side by the
// given share of the width or height times i / 256. Drawn from band 0 (the
// whole rectangle) inwards, each band leaves the ring outside the next one.
void TGradient::Nested(int i, double insetL, double insetT, double insetR, double insetB) {
  const double w = R.Width(), h = R.Height();
  const TRect b{R.Left + static_cast<int>(w * insetL * i / 256), R.Top + static_cast<int>(h * insetT * i / 256),
                R.Right - static_cast<int>(w * insetR * i / 256), R.Bottom - static_cast<int>(h * insetB * i / 256)};
  Band(b, i);
}

void TGradient::Polygon(std::initializer_list<std::array<double, 2>> points, int i) {
  cairo_t* cr = Canvas.Context();
  if (cr == nullptr) return;
  const TColor color = BandColor(C, i);
  cairo_rectangle(cr, R.Left, R.Top, R.Width(), R.Height());
  cairo_clip(cr);
  cairo_set_source_rgb(cr, GetRValue(color) / 255.0, GetGValue(color) / 255.0, GetBValue(color) / 255.0);
  bool first = true;
  for (const auto& p : points) {
    if (first) cairo_move_to(cr, p[0], p[1]);
    else cairo_line_to(cr, p[0], p[1]);
    first = false;
  }
  cairo_close_path(cr);
  cairo_fill(cr);
  Canvas.Done();
}

// 255 bands across the diagonal from one corner to the opposite one. Each
// band's polygon reaches past the far corner, and later bands cover earlier
// ones, so every pixel gets exactly the band its centre lies in.
void TGradient::Diagonal(bool fromRight, bool fromBottom) {
  const double w = R.Width(), h = R.Height();
  const double x0 = fromRight ? R.Right : R.Left, y0 = fromBottom ? R.Bottom : R.Top;
  const double sx = fromRight ? -1 : 1, sy = fromBottom ? -1 : 1;
  for (int i = 0; i < 255; ++i) {
    // The line where the band starts: x/w + y/h = 2 * i / 255 from the corner.
    const double t = i == 0 ? -1.0 : 2.0 * i / 255;
    const double far = 3.0;
    Polygon({{x0 + sx * t * w, y0}, {x0 + sx * far * w, y0}, {x0, y0 + sy * far * h}, {x0, y0 + sy * t * h}},
            i * 255 / 254);
  }
}

void TGradient::Ellipses(double scale, bool modulo) {
  Band(R, 0);
  cairo_t* cr = nullptr;
  const double cx = (R.Left + R.Right) / 2.0, cy = (R.Top + R.Bottom) / 2.0;
  const double rx = R.Width() / 2.0 * scale, ry = R.Height() / 2.0 * scale;
  for (int i = 0; i < 256; ++i) {
    const double k = 1.0 - i / 256.0;
    if (rx * k < 0.5 || ry * k < 0.5) break;
    cr = Canvas.Context();
    if (cr == nullptr) return;
    cairo_rectangle(cr, R.Left, R.Top, R.Width(), R.Height());
    cairo_clip(cr);
    const TColor color = BandColor(C, modulo ? (i * 4) % 256 : i);
    cairo_set_source_rgb(cr, GetRValue(color) / 255.0, GetGValue(color) / 255.0, GetBValue(color) / 255.0);
    cairo_save(cr);
    cairo_translate(cr, cx, cy);
    cairo_scale(cr, rx * k, ry * k);
    cairo_arc(cr, 0, 0, 1, 0, 2 * M_PI);
    cairo_restore(cr);
    cairo_fill(cr);
    Canvas.Done();
  }
}

// Concentric rectangles in each cell of a columns x rows split.
void TGradient::Quadrants(int columns, int rows) {
  const TRect whole = R;
  for (int cx = 0; cx < columns; ++cx) {
    for (int cy = 0; cy < rows; ++cy) {
      R = {whole.Left + whole.Width() * cx / columns, whole.Top + whole.Height() * cy / rows,
           whole.Left + whole.Width() * (cx + 1) / columns, whole.Top + whole.Height() * (cy + 1) / rows};
      for (int i = 0; i < 256; ++i) Nested(i, 0.5, 0.5, 0.5, 0.5);
    }
  }
  R = whole;
}

void TGradient::Fill(TFillDirection direction) {
  switch (direction) {
    case fdUp:
    case fdDown:
      Vertical(false);
      break;
    case fdLeft:
    case fdRight:
      Horizontal(false);
      break;
    case fdUpDown:
      Vertical(true);
      break;
    case fdLeftRight:
      Horizontal(true);
      break;
    case fdHorizCenter:
      // Start colour along the horizontal centre line: the mirrored halves
      // counted from the middle.
      C = ColorComponents(BandColor(C, 255), BandColor(C, 0));
      Vertical(true);
      break;
    case fdVertCenter:
      C = ColorComponents(BandColor(C, 255), BandColor(C, 0));
      Horizontal(true);
      break;
    case fdRectOut:
    case fdRectIn:
      for (int i = 0; i < 256; ++i) Nested(i, 0.5, 0.5, 0.5, 0.5);
      break;
    case fdCircOut:
    case fdCircIn:
      Ellipses(1.0, false);
      break;
    case fdNWSE:
      Diagonal(false, false);
      break;
    case fdNESW:
      Diagonal(true, false);
      break;
    case fdSENW:
      Diagonal(true, true);
      break;
    case fdSWNE:
      Diagonal(false, true);
      break;
    case fdUright:  // open to the right
      for (int i = 0; i < 256; ++i) Nested(i, 1.0, 0.5, 0.0, 0.5);
      break;
    case fdULeft:
      for (int i = 0; i < 256; ++i) Nested(i, 0.0, 0.5, 1.0, 0.5);
      break;
    case fdUUp:
      for (int i = 0; i < 256; ++i) Nested(i, 0.5, 0.0, 0.5, 1.0);
      break;
    case fdUDown:
      for (int i = 0; i < 256; ++i) Nested(i, 0.5, 1.0, 0.5, 0.0);
      break;
    case fdRCMix:
      Ellipses(M_SQRT2, false);
      break;
    case fdRCModulo:
      Ellipses(M_SQRT2, true);
      break;
    case fdQuatro:
      Quadrants(2, 2);
      break;
    case fdDuo:
      Quadrants(2, 1);
      break;
    case fdLNW:
    case fdLNE: {
      // L-shaped bands (width + 1) / 255 wide and (height + 1) / 255 high,
      // band 0 along the bottom edge and the side away from the corner they
      // close in on (top-left for fdLNW, top-right for fdLNE).
      const double bw = (R.Width() + 1) / 255.0, bh = (R.Height() + 1) / 255.0;
      for (int i = 0; i < 256; ++i) {
        const int dx = static_cast<int>(std::lround(i * bw)), dy = static_cast<int>(std::lround(i * bh));
        if (direction == fdLNW) Band({R.Left, R.Top, R.Right - dx, R.Bottom - dy}, i);
        else Band({R.Left + dx, R.Top, R.Right, R.Bottom - dy}, i);
      }
      break;
    }
    case fdNone:
      break;
  }
}

}  // namespace

void GradientFill(TCanvas& canvas, const TRect& rect, TFillDirection direction, TColor color) {
  const TColor brush = canvas.Brush.Color;
  canvas.Pen.Style = TPenStyle::psSolid;
  if (rect.IsEmpty()) return;
  if (direction == fdNone || direction >= kFillDirectionCount) {
    FillRectAA(canvas, rect);
    return;
  }
  const bool fromColor =
      direction == fdDown || direction == fdRight || direction == fdRectOut || direction == fdCircOut;
  TGradient g(canvas, rect, fromColor ? color : brush, fromColor ? brush : color);
  g.Fill(direction);
  canvas.Brush.Color = brush;
}
