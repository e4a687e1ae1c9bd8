// The drawing surface of a bitmap (what the editor calls a DC): a pen, a
// brush, a font, a text colour, a background mode, a current position and a
// clip rectangle, with the primitives the editor draws with. Shapes follow
// the pixel rules of the platform the skin was made for, without
// anti-aliasing: a rectangle (l, t, r, b) covers columns l..r-1 and rows
// t..b-1, a line from A to B leaves out B, an ellipse fills its bounding
// rectangle's inscribed ellipse. Text is anti-aliased, with hinted, whole-pixel
// metrics. Owned by its bitmap; one thread draws at a time.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/draw/colors.h"
#include "platform/draw/font.h"
#include "platform/draw/geometry.h"

typedef struct _cairo cairo_t;
class TBitmap;

enum class TPenStyle { psSolid, psClear };
enum class TBrushStyle { bsSolid, bsClear };

struct TPen {
  TColor Color = clBlack;
  std::int32_t Width = 1;  // pixels; below 1 counts as 1
  TPenStyle Style = TPenStyle::psSolid;
};

struct TBrush {
  TColor Color = clWhite;
  TBrushStyle Style = TBrushStyle::bsSolid;
};

class TCanvas {
 public:
  explicit TCanvas(TBitmap& target);
  ~TCanvas();
  TCanvas(const TCanvas&) = delete;
  TCanvas& operator=(const TCanvas&) = delete;

  TBitmap& Target() { return Bitmap; }

  TPen Pen;
  TBrush Brush;
  TColor TextColor = clBlack;
  // Transparent: text is drawn without filling its cell with BackColor.
  bool TransparentText = false;
  TColor BackColor = clWhite;
  // The font text is drawn with; a 12-pixel Liberation Sans when none is set.
  void SetFont(TFontHandle font) { Font = std::move(font); }
  const TFontHandle& GetFont() const;

  // SaveDC / RestoreDC: pen, brush, font, text colours, mode, position, clip.
  void SaveState();
  void RestoreState();

  // Drawing outside the clip rectangle changes nothing. No clip: the bitmap.
  void SetClipRect(const TRect& r);
  void ClearClip();

  // Fills r with the brush colour (whatever the brush style).
  void FillRect(const TRect& r);
  // Fills r with a colour, leaving pen and brush alone.
  void FillRectColor(const TRect& r, TColor color);
  // A one-pixel outline of r in the given colour.
  void FrameRectColor(const TRect& r, TColor color);
  // Outline with the pen, inside with the brush.
  void Rectangle(std::int32_t l, std::int32_t t, std::int32_t r, std::int32_t b);
  void Ellipse(std::int32_t l, std::int32_t t, std::int32_t r, std::int32_t b);
  // A closed polygon: inside (alternate rule) with the brush, edges with the pen.
  void Polygon(std::span<const TPoint> points);
  void MoveTo(std::int32_t x, std::int32_t y);
  // A line with the pen from the current position to (x, y), (x, y) left out;
  // the position moves there.
  void LineTo(std::int32_t x, std::int32_t y);
  TPoint PenPos() const { return Pos; }
  void SetPixel(std::int32_t x, std::int32_t y, TColor color);
  TColor GetPixel(std::int32_t x, std::int32_t y) const;

  // Text with its cell's top-left corner at (x, y).
  void TextOut(std::int32_t x, std::int32_t y, std::string_view text);
  // Width (advance) and cell height of one line of text in the current font.
  TSize TextExtent(std::string_view text);
  std::int32_t TextWidth(std::string_view text) { return TextExtent(text).Width; }
  std::int32_t TextHeight(std::string_view text) { return TextExtent(text).Height; }

  // Copies: the pixels of src's rectangle to (x, y), clipped to both
  // bitmaps. Opaque copies every pixel; the key copy leaves out the pixels
  // equal to key (RGB). A pf32bit source is blended over the target.
  void CopyRect(std::int32_t x, std::int32_t y, const TBitmap& src, const TRect& srcRect);
  void CopyRectKeyed(std::int32_t x, std::int32_t y, const TBitmap& src, const TRect& srcRect, TColor key);
  // The whole bitmap at (x, y), keyed by its transparent colour when its
  // Transparent flag is set.
  void Draw(std::int32_t x, std::int32_t y, const TBitmap& src);

  // The Cairo context, ready for drawing on the bitmap with the clip set
  // (for the drawing layer's own routines).
  cairo_t* Context();
  void Done();

 private:
  struct TState {
    TPen Pen;
    TBrush Brush;
    TFontHandle Font;
    TColor TextColor;
    bool TransparentText;
    TColor BackColor;
    TPoint Pos;
    bool Clipped;
    TRect Clip;
  };
  void StrokeLine(double x1, double y1, double x2, double y2);
  TRect Clipped(const TRect& r) const;
  void BlitRect(std::int32_t x, std::int32_t y, const TBitmap& src, const TRect& srcRect, bool keyed, TColor key);

  TBitmap& Bitmap;
  TFontHandle Font;
  TPoint Pos;
  bool HasClip = false;
  TRect Clip;
  std::vector<TState> Saved;
  cairo_t* Cr = nullptr;
  std::uint32_t CrGeneration = 0;
};
