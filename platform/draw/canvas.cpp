#include "platform/draw/canvas.h"

#include <cairo.h>

#include <algorithm>
#include <cmath>

#include "platform/draw/bitmap.h"

namespace {

void SetSourceColor(cairo_t* cr, TColor color) {
  const TColor rgb = ColorToRGB(color);
  cairo_set_source_rgb(cr, GetRValue(rgb) / 255.0, GetGValue(rgb) / 255.0, GetBValue(rgb) / 255.0);
}

// Cairo takes UTF-8 only (any other byte sequence would put the context into
// an error state): valid UTF-8 passes, any other byte is read as Latin-1.
std::string ToUtf8(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    const auto c = static_cast<unsigned char>(text[i]);
    std::size_t len = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
    bool valid = len > 0 && i + len <= text.size();
    for (std::size_t k = 1; valid && k < len; ++k) valid = (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
    if (valid && len == 2 && c < 0xC2) valid = false;  // overlong
    if (valid && c == 0) valid = false;                // cairo stops at NUL
    if (valid) {
      out.append(text.substr(i, len));
      i += len;
    } else {
      if (c == 0) {
        out.push_back(' ');
      } else {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
      }
      ++i;
    }
  }
  return out;
}

const TFontHandle& DefaultFont() {
  static const TFontHandle font = [] {
    TLogFont lf;
    lf.Height = -12;
    lf.FaceName = "Arial";
    return CreateFontIndirect(lf);
  }();
  return font;
}

}  // namespace

TCanvas::TCanvas(TBitmap& target) : Bitmap(target) {}

TCanvas::~TCanvas() {
  if (Cr != nullptr) cairo_destroy(Cr);
}

const TFontHandle& TCanvas::GetFont() const { return Font ? Font : DefaultFont(); }

void TCanvas::SaveState() {
  Saved.push_back({Pen, Brush, Font, TextColor, TransparentText, BackColor, Pos, HasClip, Clip});
}

void TCanvas::RestoreState() {
  if (Saved.empty()) return;
  const TState& s = Saved.back();
  Pen = s.Pen;
  Brush = s.Brush;
  Font = s.Font;
  TextColor = s.TextColor;
  TransparentText = s.TransparentText;
  BackColor = s.BackColor;
  Pos = s.Pos;
  HasClip = s.Clipped;
  Clip = s.Clip;
  Saved.pop_back();
}

void TCanvas::SetClipRect(const TRect& r) {
  HasClip = true;
  Clip = r;
}

void TCanvas::ClearClip() { HasClip = false; }

cairo_t* TCanvas::Context() {
  if (Bitmap.Surface() == nullptr) return nullptr;
  if (Cr != nullptr && (CrGeneration != Bitmap.Generation() || cairo_status(Cr) != CAIRO_STATUS_SUCCESS)) {
    cairo_destroy(Cr);
    Cr = nullptr;
  }
  if (Cr == nullptr) {
    Cr = cairo_create(Bitmap.Surface());
    CrGeneration = Bitmap.Generation();
  }
  Bitmap.BeginCairo();
  cairo_reset_clip(Cr);
  cairo_new_path(Cr);
  cairo_identity_matrix(Cr);
  cairo_set_operator(Cr, CAIRO_OPERATOR_OVER);
  cairo_set_antialias(Cr, CAIRO_ANTIALIAS_NONE);
  cairo_set_fill_rule(Cr, CAIRO_FILL_RULE_EVEN_ODD);
  if (HasClip) {
    cairo_rectangle(Cr, Clip.Left, Clip.Top, std::max(0, Clip.Width()), std::max(0, Clip.Height()));
    cairo_clip(Cr);
  }
  return Cr;
}

void TCanvas::Done() {
  if (Cr != nullptr) cairo_new_path(Cr);
  Bitmap.EndCairo();
}

void TCanvas::FillRectColor(const TRect& r, TColor color) {
  if (r.IsEmpty()) return;
  cairo_t* cr = Context();
  if (cr == nullptr) return;
  SetSourceColor(cr, color);
  cairo_rectangle(cr, r.Left, r.Top, r.Width(), r.Height());
  cairo_fill(cr);
  Done();
}

void TCanvas::FillRect(const TRect& r) { FillRectColor(r, Brush.Color); }

void TCanvas::FrameRectColor(const TRect& r, TColor color) {
  if (r.IsEmpty()) return;
  FillRectColor({r.Left, r.Top, r.Right, r.Top + 1}, color);
  FillRectColor({r.Left, r.Bottom - 1, r.Right, r.Bottom}, color);
  FillRectColor({r.Left, r.Top, r.Left + 1, r.Bottom}, color);
  FillRectColor({r.Right - 1, r.Top, r.Right, r.Bottom}, color);
}

void TCanvas::Rectangle(std::int32_t l, std::int32_t t, std::int32_t r, std::int32_t b) {
  if (r <= l || b <= t) return;
  if (Brush.Style == TBrushStyle::bsSolid) FillRectColor({l, t, r, b}, Brush.Color);
  if (Pen.Style == TPenStyle::psClear) return;
  const std::int32_t w = std::max(1, Pen.Width);
  // The outline lies inside the rectangle, w pixels wide.
  for (std::int32_t i = 0; i < w && l + i < r - i && t + i < b - i; ++i) {
    FrameRectColor({l + i, t + i, r - i, b - i}, Pen.Color);
  }
}

void TCanvas::Ellipse(std::int32_t l, std::int32_t t, std::int32_t r, std::int32_t b) {
  if (r <= l || b <= t) return;
  cairo_t* cr = Context();
  if (cr == nullptr) return;
  const double cx = (l + r) / 2.0, cy = (t + b) / 2.0;
  const double rx = (r - l) / 2.0, ry = (b - t) / 2.0;
  auto path = [&](double ax, double ay) {
    cairo_new_path(cr);
    cairo_save(cr);
    cairo_translate(cr, cx, cy);
    cairo_scale(cr, std::max(ax, 0.01), std::max(ay, 0.01));
    cairo_arc(cr, 0, 0, 1, 0, 2 * M_PI);
    cairo_close_path(cr);
    cairo_restore(cr);
  };
  if (Brush.Style == TBrushStyle::bsSolid) {
    SetSourceColor(cr, Brush.Color);
    path(rx, ry);
    cairo_fill(cr);
  }
  if (Pen.Style == TPenStyle::psSolid) {
    const double w = std::max(1, Pen.Width);
    SetSourceColor(cr, Pen.Color);
    if (rx <= w || ry <= w) {
      // Too small for a ring: the pen fills it.
      path(rx, ry);
      cairo_fill(cr);
    } else {
      path(rx - w / 2, ry - w / 2);
      cairo_set_line_width(cr, w);
      cairo_stroke(cr);
    }
  }
  Done();
}

void TCanvas::Polygon(std::span<const TPoint> points) {
  if (points.size() < 2) return;
  cairo_t* cr = Context();
  if (cr == nullptr) return;
  if (Brush.Style == TBrushStyle::bsSolid && points.size() >= 3) {
    SetSourceColor(cr, Brush.Color);
    cairo_move_to(cr, points[0].X, points[0].Y);
    for (std::size_t i = 1; i < points.size(); ++i) cairo_line_to(cr, points[i].X, points[i].Y);
    cairo_close_path(cr);
    cairo_fill(cr);
  }
  if (Pen.Style == TPenStyle::psSolid) {
    SetSourceColor(cr, Pen.Color);
    cairo_set_line_width(cr, std::max(1, Pen.Width));
    cairo_set_line_join(cr, CAIRO_LINE_JOIN_MITER);
    cairo_move_to(cr, points[0].X + 0.5, points[0].Y + 0.5);
    for (std::size_t i = 1; i < points.size(); ++i) cairo_line_to(cr, points[i].X + 0.5, points[i].Y + 0.5);
    cairo_close_path(cr);
    cairo_stroke(cr);
  }
  Done();
}

void TCanvas::MoveTo(std::int32_t x, std::int32_t y) { Pos = {x, y}; }

void TCanvas::StrokeLine(double x1, double y1, double x2, double y2) {
  cairo_t* cr = Context();
  if (cr == nullptr) return;
  const std::int32_t w = std::max(1, Pen.Width);
  SetSourceColor(cr, Pen.Color);
  cairo_set_line_width(cr, w);
  // Thin lines end square at the last pixel before the end point; wide pens
  // have round ends.
  cairo_set_line_cap(cr, w > 1 ? CAIRO_LINE_CAP_ROUND : CAIRO_LINE_CAP_BUTT);
  if (w == 1 && x1 == x2 && y1 == y2) {
    Done();
    return;
  }
  if (w == 1) {
    // Run along the pixel centres; with butt ends the pixel of the end point
    // stays free and the start pixel is covered by half a pixel more.
    const double dx = x2 - x1, dy = y2 - y1;
    const double len = std::hypot(dx, dy);
    x1 -= dx / len * 0.5;
    y1 -= dy / len * 0.5;
    x2 -= dx / len * 0.5;
    y2 -= dy / len * 0.5;
  }
  cairo_move_to(cr, x1 + 0.5, y1 + 0.5);
  cairo_line_to(cr, x2 + 0.5, y2 + 0.5);
  cairo_stroke(cr);
  Done();
}

void TCanvas::LineTo(std::int32_t x, std::int32_t y) {
  if (Pen.Style == TPenStyle::psSolid) StrokeLine(Pos.X, Pos.Y, x, y);
  Pos = {x, y};
}

void TCanvas::SetPixel(std::int32_t x, std::int32_t y, TColor color) {
  if (x < 0 || y < 0 || x >= Bitmap.Width() || y >= Bitmap.Height()) return;
  if (HasClip && (x < Clip.Left || x >= Clip.Right || y < Clip.Top || y >= Clip.Bottom)) return;
  Bitmap.ScanLine(y)[x] = ColorToPixel(ColorToRGB(color));
}

TColor TCanvas::GetPixel(std::int32_t x, std::int32_t y) const { return Bitmap.PixelColor(x, y); }

TSize TCanvas::TextExtent(std::string_view text) {
  const TFont& font = *GetFont();
  const TTextMetrics m = GetTextMetrics(font);
  if (text.empty()) return {0, m.Height};
  const std::string utf8 = ToUtf8(text);
  cairo_text_extents_t e;
  cairo_scaled_font_text_extents(font.ScaledFont(), utf8.c_str(), &e);
  return {static_cast<std::int32_t>(std::lround(e.x_advance)), m.Height};
}

void TCanvas::TextOut(std::int32_t x, std::int32_t y, std::string_view text) {
  if (text.empty()) return;
  const TFont& font = *GetFont();
  const TTextMetrics m = GetTextMetrics(font);
  const TSize extent = TextExtent(text);
  if (!TransparentText) FillRectColor(Bounds(x, y, extent.Width, extent.Height), BackColor);
  cairo_t* cr = Context();
  if (cr == nullptr) return;
  const std::string utf8 = ToUtf8(text);
  SetSourceColor(cr, TextColor);
  cairo_set_scaled_font(cr, font.ScaledFont());
  cairo_move_to(cr, x, y + m.Ascent);
  cairo_show_text(cr, utf8.c_str());
  cairo_new_path(cr);
  Done();
  // Underline and strike-out: lines of about a fourteenth of the em size.
  const std::int32_t thickness = std::max(1, static_cast<std::int32_t>(std::lround(font.EmPixels() / 14)));
  if (font.Request().Underline) {
    const std::int32_t top = y + m.Ascent + std::max(1, m.Descent / 2);
    FillRectColor(Bounds(x, top, extent.Width, thickness), TextColor);
  }
  if (font.Request().StrikeOut) {
    const std::int32_t top = y + m.Ascent - static_cast<std::int32_t>(std::lround(font.EmPixels() * 0.3));
    FillRectColor(Bounds(x, top, extent.Width, thickness), TextColor);
  }
}

TRect TCanvas::Clipped(const TRect& r) const {
  TRect out = IntersectRect(r, Bitmap.ClientRect());
  if (HasClip) out = IntersectRect(out, Clip);
  return out;
}

void TCanvas::BlitRect(std::int32_t x, std::int32_t y, const TBitmap& src, const TRect& srcRect, bool keyed,
                       TColor key) {
  // Source part inside the source bitmap, moved along with its destination.
  const TRect s = IntersectRect(srcRect, src.ClientRect());
  if (s.IsEmpty()) return;
  x += s.Left - srcRect.Left;
  y += s.Top - srcRect.Top;
  const TRect d = Clipped(Bounds(x, y, s.Width(), s.Height()));
  if (d.IsEmpty()) return;
  const std::uint32_t keyPixel = ColorToPixel(ColorToRGB(key)) & 0x00FFFFFF;
  const bool srcAlpha = src.PixelFormat() == TPixelFormat::pf32bit;
  const bool dstOpaque = Bitmap.PixelFormat() == TPixelFormat::pf24bit;
  for (std::int32_t row = d.Top; row < d.Bottom; ++row) {
    const std::uint32_t* in = src.ScanLine(s.Top + row - y) + (s.Left + d.Left - x);
    std::uint32_t* out = Bitmap.ScanLine(row) + d.Left;
    for (std::int32_t i = 0; i < d.Width(); ++i) {
      const std::uint32_t p = in[i];
      if (keyed && (p & 0x00FFFFFF) == keyPixel) continue;
      if (!srcAlpha) {
        out[i] = p | 0xFF000000u;
        continue;
      }
      const std::uint32_t a = p >> 24;
      if (a == 255) {
        out[i] = p;
      } else if (a != 0) {
        // Premultiplied "over": dst = src + dst * (255 - a) / 255, per byte.
        const std::uint32_t q = out[i];
        std::uint32_t result = 0;
        for (int shift = 0; shift < 32; shift += 8) {
          const std::uint32_t sc = (p >> shift) & 0xFF;
          const std::uint32_t dc = (q >> shift) & 0xFF;
          const std::uint32_t v = std::min<std::uint32_t>(255, sc + (dc * (255 - a) + 127) / 255);
          result |= v << shift;
        }
        out[i] = result;
      }
    }
    if (dstOpaque) {
      for (std::int32_t i = 0; i < d.Width(); ++i) out[i] |= 0xFF000000u;
    }
  }
}

void TCanvas::CopyRect(std::int32_t x, std::int32_t y, const TBitmap& src, const TRect& srcRect) {
  BlitRect(x, y, src, srcRect, false, 0);
}

void TCanvas::CopyRectKeyed(std::int32_t x, std::int32_t y, const TBitmap& src, const TRect& srcRect, TColor key) {
  BlitRect(x, y, src, srcRect, true, key);
}

void TCanvas::Draw(std::int32_t x, std::int32_t y, const TBitmap& src) {
  BlitRect(x, y, src, src.ClientRect(), src.Transparent, src.TransparentColor());
}
