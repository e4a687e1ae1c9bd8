// The drawing layer's pixel rules: what each primitive covers, copies with
// and without a key colour, clipping, text placement and fonts.
#include <gtest/gtest.h>

#include "platform/draw/bitmap.h"
#include "platform/draw/canvas.h"
#include "platform/draw/colors.h"
#include "platform/draw/font.h"

namespace {

constexpr TColor kRed = RGBColor(255, 0, 0);
constexpr TColor kBlue = RGBColor(0, 0, 255);

// Pixels of a colour inside r and outside it.
int CountIn(const TBitmap& b, const TRect& r, TColor c) {
  int n = 0;
  for (int y = r.Top; y < r.Bottom; ++y)
    for (int x = r.Left; x < r.Right; ++x) n += b.PixelColor(x, y) == c;
  return n;
}
int Count(const TBitmap& b, TColor c) { return CountIn(b, b.ClientRect(), c); }

TEST(DrawCanvas, ColoursAreBgrWordsAndSystemColoursComeFromTheTable) {
  EXPECT_EQ(RGBColor(0x12, 0x34, 0x56), 0x563412u);
  EXPECT_EQ(ColorToPixel(0x563412), 0xFF123456u);
  EXPECT_EQ(PixelToColor(0xFF123456u), 0x563412u);
  EXPECT_EQ(ColorToRGB(clBtnHighlight), clWhite);
  EXPECT_NE(ColorToRGB(clBtnShadow), ColorToRGB(clBtnFace));
  EXPECT_EQ(ColorToRGB(kSystemColorFlag | 200), clBlack);  // beyond the table
  EXPECT_EQ(ColorToRGB(0x7F123456), 0x123456u);
}

TEST(DrawCanvas, NewBitmapsAreWhiteAndResizingKeepsTheOverlap) {
  TBitmap b(4, 3);
  EXPECT_EQ(Count(b, clWhite), 12);
  b.Canvas().FillRectColor({0, 0, 4, 3}, kRed);
  b.SetSize(6, 5);
  EXPECT_EQ(CountIn(b, {0, 0, 4, 3}, kRed), 12);
  EXPECT_EQ(Count(b, clWhite), 30 - 12);
  // A request beyond the limits is clamped instead of exhausting memory.
  TBitmap huge(1 << 20, 1 << 20);
  EXPECT_LE(static_cast<std::int64_t>(huge.Width()) * huge.Height(), TBitmap::kMaxPixels);
}

TEST(DrawCanvas, RectanglesLinesAndEllipsesCoverTheirPixelsExactly) {
  TBitmap b(20, 20);
  TCanvas& c = b.Canvas();
  c.Brush.Color = kBlue;
  c.FillRect({2, 3, 7, 9});
  EXPECT_EQ(Count(b, kBlue), 5 * 6);
  EXPECT_EQ(CountIn(b, {2, 3, 7, 9}, kBlue), 30);

  TBitmap r(20, 20);
  r.Canvas().Pen.Color = kRed;
  r.Canvas().Brush.Color = kBlue;
  r.Canvas().Rectangle(1, 1, 11, 6);  // outline on columns 1..10 and rows 1..5
  EXPECT_EQ(Count(r, kRed), 2 * 10 + 2 * 3);
  EXPECT_EQ(Count(r, kBlue), 8 * 3);
  EXPECT_EQ(r.PixelColor(10, 5), kRed);
  EXPECT_EQ(r.PixelColor(11, 5), clWhite);

  // A line leaves out its end point; horizontal, vertical and diagonal.
  TBitmap l(20, 20);
  l.Canvas().Pen.Color = kRed;
  l.Canvas().MoveTo(2, 4);
  l.Canvas().LineTo(12, 4);
  EXPECT_EQ(Count(l, kRed), 10);
  EXPECT_EQ(l.PixelColor(2, 4), kRed);
  EXPECT_EQ(l.PixelColor(12, 4), clWhite);
  EXPECT_EQ(l.Canvas().PenPos(), (TPoint{12, 4}));
  l.Canvas().LineTo(12, 14);
  EXPECT_EQ(Count(l, kRed), 20);
  TBitmap d(20, 20);
  d.Canvas().Pen.Color = kRed;
  d.Canvas().MoveTo(0, 0);
  d.Canvas().LineTo(10, 10);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(d.PixelColor(i, i), kRed) << i;
  EXPECT_EQ(Count(d, kRed), 10);

  // The ellipse stays inside its box and reaches each side's middle.
  TBitmap e(40, 40);
  e.Canvas().Pen.Color = kRed;
  e.Canvas().Brush.Color = kBlue;
  e.Canvas().Ellipse(5, 10, 35, 30);
  EXPECT_EQ(Count(e, kRed) + Count(e, kBlue), CountIn(e, {5, 10, 35, 30}, kRed) + CountIn(e, {5, 10, 35, 30}, kBlue));
  EXPECT_EQ(e.PixelColor(5, 20), kRed);
  EXPECT_EQ(e.PixelColor(34, 20), kRed);
  EXPECT_EQ(e.PixelColor(20, 10), kRed);
  EXPECT_EQ(e.PixelColor(20, 29), kRed);
  EXPECT_EQ(e.PixelColor(20, 20), kBlue);
  EXPECT_EQ(e.PixelColor(5, 10), clWhite);  // corners stay free
  EXPECT_EQ(e.PixelColor(34, 29), clWhite);
}

TEST(DrawCanvas, PolygonsFillInsideAndOutlineThroughTheirVertices) {
  TBitmap b(20, 20);
  b.Canvas().Pen.Style = TPenStyle::psClear;
  b.Canvas().Brush.Color = kBlue;
  const TPoint square[] = {{2, 2}, {12, 2}, {12, 12}, {2, 12}};
  b.Canvas().Polygon(square);
  EXPECT_EQ(Count(b, kBlue), 100);
  b.Canvas().Pen.Style = TPenStyle::psSolid;
  b.Canvas().Pen.Color = kRed;
  b.Canvas().Polygon(square);
  EXPECT_EQ(b.PixelColor(12, 12), kRed);
  EXPECT_EQ(b.PixelColor(2, 2), kRed);
  EXPECT_EQ(b.PixelColor(7, 7), kBlue);
}

TEST(DrawCanvas, ClipRectKeepsDrawingInsideAndStateRestores) {
  TBitmap b(20, 20);
  TCanvas& c = b.Canvas();
  c.SaveState();
  c.SetClipRect({5, 5, 10, 10});
  c.Brush.Color = kRed;
  c.FillRect({0, 0, 20, 20});
  c.SetPixel(0, 0, kRed);
  c.RestoreState();
  EXPECT_EQ(Count(b, kRed), 25);
  EXPECT_EQ(c.Brush.Color, clWhite);
  c.Brush.Color = kBlue;
  c.FillRect({0, 0, 20, 20});  // the clip went with the restored state
  EXPECT_EQ(Count(b, kBlue), 400);
}

TEST(DrawCanvas, KeyedCopiesLeaveOutTheKeyAndClipAtEveryEdge) {
  TBitmap src(4, 4);
  src.Canvas().FillRectColor({0, 0, 4, 4}, kRed);
  src.Canvas().FillRectColor({0, 0, 2, 4}, RGBColor(0, 255, 0));
  TBitmap dst(10, 10);
  dst.Canvas().CopyRectKeyed(1, 1, src, src.ClientRect(), RGBColor(0, 255, 0));
  EXPECT_EQ(Count(dst, kRed), 8);
  EXPECT_EQ(Count(dst, RGBColor(0, 255, 0)), 0);
  dst.Canvas().CopyRect(-2, -2, src, src.ClientRect());  // only the bottom-right quarter lands
  EXPECT_EQ(dst.PixelColor(0, 0), kRed);
  // A source rectangle reaching beyond the source: its origin stays at the
  // destination point, only the existing pixels are copied.
  dst.Canvas().CopyRect(3, 3, src, {-5, -5, 100, 100});
  EXPECT_EQ(dst.PixelColor(9, 9), RGBColor(0, 255, 0));
  EXPECT_EQ(dst.PixelColor(7, 7), clWhite);
  // Transparent drawing keys on the bottom-left pixel unless told otherwise.
  src.Transparent = true;
  TBitmap t(4, 4);
  t.Canvas().Draw(0, 0, src);
  EXPECT_EQ(Count(t, RGBColor(0, 255, 0)), 0);
  src.SetTransparentColor(kRed);
  t.Canvas().Draw(0, 0, src);
  EXPECT_EQ(Count(t, RGBColor(0, 255, 0)), 8);
}

TEST(DrawCanvas, AlphaPicturesBlendOverTheTarget) {
  TBitmap src(2, 1, TPixelFormat::pf32bit);
  src.ScanLine(0)[0] = 0x80800000u;  // red at half coverage, premultiplied
  src.ScanLine(0)[1] = 0x00000000u;  // fully transparent
  TBitmap dst(2, 1);
  dst.Canvas().FillRectColor({0, 0, 2, 1}, clBlack);
  dst.Canvas().CopyRect(0, 0, src, src.ClientRect());
  EXPECT_EQ(dst.PixelColor(0, 0), RGBColor(128, 0, 0));
  EXPECT_EQ(dst.PixelColor(1, 0), clBlack);
  // The window layer reads the same pixels as ARGB rows.
  const TBitmapPixels p = dst.Pixels();
  EXPECT_EQ(p.Width, 2);
  EXPECT_TRUE(p.Opaque);
  EXPECT_EQ(p.Data[0] & 0xFFFFFF, 0x800000u);
}

TEST(DrawCanvas, EveryFaceOfTheSkinHasItsFamilyInstalled) {
  for (const char* face : {"Arial", "Tahoma", "Verdana", "Trebuchet MS", "MS Sans Serif", "Small Fonts"}) {
    const std::string family = ResolveFontFamily(face);
    EXPECT_TRUE(FontFamilyInstalled(family)) << face << " -> " << family;
  }
  EXPECT_EQ(ResolveFontFamily("trebuchet ms "), ResolveFontFamily("Trebuchet MS"));
  EXPECT_EQ(ResolveFontFamily("No Such Face"), "Liberation Sans");
  EXPECT_FALSE(FontFamilyInstalled("No Such Family 123"));
}

TEST(DrawCanvas, TextLandsInsideItsCellAndStylesChangeIt) {
  TLogFont lf;
  lf.FaceName = "Arial";
  lf.Height = -10;
  TBitmap b(80, 20);
  TCanvas& c = b.Canvas();
  c.SetFont(CreateFontIndirect(lf));
  c.TransparentText = true;
  c.TextColor = clBlack;
  const TSize extent = c.TextExtent("Cutoff");
  EXPECT_GT(extent.Width, 20);
  EXPECT_LT(extent.Width, 40);
  EXPECT_GE(extent.Height, 10);
  EXPECT_LE(extent.Height, 13);
  c.TextOut(5, 4, "Cutoff");
  int inked = 0, outside = 0;
  for (int y = 0; y < 20; ++y)
    for (int x = 0; x < 80; ++x) {
      const bool ink = b.PixelColor(x, y) != clWhite;
      const bool inCell = x >= 5 && x < 5 + extent.Width && y >= 4 && y < 4 + extent.Height;
      inked += ink && inCell;
      outside += ink && !inCell;
    }
  EXPECT_GT(inked, 20);
  EXPECT_EQ(outside, 0);
  // Bold text is wider; an empty text has no width but a line's height.
  lf.Weight = 700;
  c.SetFont(CreateFontIndirect(lf));
  const std::string longer = "Resonance Cutoff Frequency";
  const std::int32_t boldWidth = c.TextWidth(longer);
  lf.Weight = 400;
  c.SetFont(CreateFontIndirect(lf));
  EXPECT_GT(boldWidth, c.TextWidth(longer));
  EXPECT_EQ(c.TextExtent("").Width, 0);
  // Bytes that are not UTF-8 are drawn as Latin-1 instead of breaking the canvas.
  c.TextOut(0, 0, std::string("\xE9t\xE9\xFF", 4));
  c.FillRectColor({0, 0, 1, 1}, kRed);
  EXPECT_EQ(b.PixelColor(0, 0), kRed);
  // Underline adds a line under the text.
  TBitmap u(80, 20), p(80, 20);
  lf.Weight = 400;
  u.Canvas().SetFont(CreateFontIndirect(lf));
  p.Canvas().SetFont(CreateFontIndirect(lf));
  lf.Underline = true;
  u.Canvas().SetFont(CreateFontIndirect(lf));
  u.Canvas().TextOut(0, 0, "ab");
  p.Canvas().TextOut(0, 0, "ab");
  EXPECT_GT(80 * 20 - Count(u, clWhite), 80 * 20 - Count(p, clWhite));
}

TEST(DrawCanvas, OpaqueTextFillsItsCell) {
  TBitmap b(60, 20);
  TCanvas& c = b.Canvas();
  c.BackColor = kBlue;
  c.TextOut(0, 0, "Hi");
  const TSize e = c.TextExtent("Hi");
  EXPECT_EQ(b.PixelColor(0, e.Height - 1), kBlue);
  EXPECT_EQ(b.PixelColor(e.Width, 0), clWhite);
}

}  // namespace
