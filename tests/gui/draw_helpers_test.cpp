// The shared drawing helpers: fonts by points, the 3-D frame, colour
// scaling, brightening, and the gradient fills in every direction.
#include <gtest/gtest.h>

#include <set>

#include "gui/widgets/draw_helpers.h"

namespace {

constexpr TColor kLight = RGBColor(220, 210, 200);
constexpr TColor kDark = RGBColor(40, 50, 60);

TEST(DrawHelpers, CreateFontExGivesPixelHeightAndWeight) {
  EXPECT_EQ(ScreenPixelsPerInch(), 96);
  const TFontHandle bold = CreateFontEx("Arial", 8, kFontBold, 0);
  EXPECT_EQ(bold->Request().Height, -10);
  EXPECT_EQ(bold->Request().Weight, 700);
  EXPECT_EQ(bold->Request().FaceName, "Arial");
  EXPECT_DOUBLE_EQ(bold->EmPixels(), 10.0);
  const TFontHandle styled = CreateFontEx("Tahoma", 7, kFontItalic | kFontUnderline | kFontStrikeOut, 1);
  EXPECT_EQ(styled->Request().Height, -9);  // 7 * 96 / 72 = 9.33, cut to 9
  EXPECT_EQ(styled->Request().Weight, 400);
  EXPECT_TRUE(styled->Request().Italic);
  EXPECT_TRUE(styled->Request().Underline);
  EXPECT_TRUE(styled->Request().StrikeOut);
  EXPECT_EQ(styled->Request().CharSet, 1);
}

TEST(DrawHelpers, Frame3DDrawsNestedOutlinesWithTheDarkCorners) {
  auto b = CreateWhiteBitmap();
  EXPECT_EQ(b->Width(), 100);
  EXPECT_EQ(b->Height(), 100);
  EXPECT_EQ(b->PixelColor(50, 50), clWhite);
  TCanvas& c = b->Canvas();
  DrawFrame3D(c, {10, 10, 20, 16}, kLight, 0, kDark);
  for (int y = 0; y < 100; ++y)
    for (int x = 0; x < 100; ++x) ASSERT_EQ(b->PixelColor(x, y), clWhite);
  DrawFrame3D(c, {10, 10, 20, 16}, kLight, 2, kDark);
  // Outer outline.
  EXPECT_EQ(b->PixelColor(10, 10), kLight);  // top-left
  EXPECT_EQ(b->PixelColor(18, 10), kLight);  // top edge
  EXPECT_EQ(b->PixelColor(19, 10), kDark);   // top-right corner belongs to the dark side
  EXPECT_EQ(b->PixelColor(10, 14), kLight);  // left edge
  EXPECT_EQ(b->PixelColor(10, 15), kDark);   // bottom-left corner too
  EXPECT_EQ(b->PixelColor(19, 15), kDark);
  // Inner outline, inset by one.
  EXPECT_EQ(b->PixelColor(11, 11), kLight);
  EXPECT_EQ(b->PixelColor(18, 11), kDark);
  EXPECT_EQ(b->PixelColor(11, 14), kDark);
  // Inside and outside untouched.
  EXPECT_EQ(b->PixelColor(14, 13), clWhite);
  EXPECT_EQ(b->PixelColor(20, 10), clWhite);
  EXPECT_EQ(b->PixelColor(10, 16), clWhite);
}

TEST(DrawHelpers, ScaleColorRoundsAndClampsEachChannel) {
  EXPECT_EQ(ScaleColor(RGBColor(200, 200, 200), 0.8), RGBColor(160, 160, 160));
  EXPECT_EQ(ScaleColor(RGBColor(200, 200, 200), 1.2), RGBColor(240, 240, 240));
  EXPECT_EQ(ScaleColor(RGBColor(250, 250, 250), 1.2), RGBColor(255, 255, 255));
  EXPECT_EQ(ScaleColor(RGBColor(10, 100, 201), 0.5), RGBColor(5, 50, 100));  // 100.5 to even
  EXPECT_EQ(ScaleColor(clBtnHighlight, 0.5), RGBColor(128, 128, 128));       // system colour resolved, 127.5 to even
  EXPECT_EQ(ColorToARGB(RGBColor(1, 2, 3)), 0xFF010203u);
}

TEST(DrawHelpers, BrightenUsesEachFactorOnItsChannelAndDarkenTakesFortyPercent) {
  TBitmap b(2, 1);
  b.Canvas().SetPixel(0, 0, RGBColor(100, 50, 200));
  b.Canvas().SetPixel(1, 0, RGBColor(10, 20, 30));
  BrightenBitmap(b, 0.5, 0.0, -1.0);
  EXPECT_EQ(b.PixelColor(0, 0), RGBColor(150, 50, 0));
  BrightenBitmap(b, 1.0, 1.0, 1.0);
  EXPECT_EQ(b.PixelColor(0, 0), RGBColor(255, 100, 0));  // red clamped
  DarkenBitmap(b);
  EXPECT_EQ(b.PixelColor(0, 0), RGBColor(153, 60, 0));
  EXPECT_EQ(b.PixelColor(1, 0), RGBColor(18, 24, 0));  // (10, 20, 30) -> (15, 20, 0) -> (30, 40, 0) -> * 0.6
  const TColorComponents c = ColorComponents(RGBColor(10, 200, 30), RGBColor(20, 100, 30));
  EXPECT_EQ(c.R, 10);
  EXPECT_EQ(c.DR, 10);
  EXPECT_EQ(c.DG, -100);
  EXPECT_EQ(c.DB, 0);
  EXPECT_EQ(RectToXYWH({3, 4, 10, 20}).Width, 7);
  EXPECT_EQ(RectHeight({3, 4, 10, 20}), 16);
}

TEST(DrawHelpers, VerticalGradientHasExactEndBandsAndASteadyMiddle) {
  TBitmap b(10, 256);
  TCanvas& c = b.Canvas();
  c.Brush.Color = kLight;
  GradientFill(c, {0, 0, 10, 256}, fdUp, kDark);
  EXPECT_EQ(b.PixelColor(5, 0), kLight);
  EXPECT_EQ(b.PixelColor(5, 255), kDark);
  EXPECT_EQ(c.Brush.Color, kLight);  // restored
  const TColor mid = b.PixelColor(5, 128);
  EXPECT_NEAR(GetRValue(mid), (220 + 40) / 2, 2);
  EXPECT_NEAR(GetGValue(mid), (210 + 50) / 2, 2);
  EXPECT_NEAR(GetBValue(mid), (200 + 60) / 2, 2);
  for (int y = 1; y < 256; ++y) {
    EXPECT_LE(GetRValue(b.PixelColor(5, y)), GetRValue(b.PixelColor(5, y - 1))) << y;  // steady, no wrap
  }
  // fdDown runs the other way; fdNone is one plain colour.
  GradientFill(c, {0, 0, 10, 256}, fdDown, kDark);
  EXPECT_EQ(b.PixelColor(5, 0), kDark);
  EXPECT_EQ(b.PixelColor(5, 255), kLight);
  GradientFill(c, {0, 0, 10, 256}, fdNone, kDark);
  EXPECT_EQ(b.PixelColor(5, 0), kLight);
  EXPECT_EQ(b.PixelColor(5, 255), kLight);
}

// Every direction covers its whole rectangle (no pixel keeps the colour
// that was there), uses only colours between the two ends, leaves every
// pixel outside alone, and shows both end colours somewhere.
TEST(DrawHelpers, EveryGradientDirectionCoversItsRectangleOnly) {
  const TColor before = RGBColor(255, 0, 255);  // outside both colours' range
  const TRect area{7, 5, 7 + 61, 5 + 43};
  for (int d = 0; d < kFillDirectionCount; ++d) {
    TBitmap b(80, 60);
    TCanvas& c = b.Canvas();
    c.FillRectColor(b.ClientRect(), before);
    c.Brush.Color = kLight;
    GradientFill(c, area, static_cast<TFillDirection>(d), kDark);
    std::set<TColor> seen;
    for (int y = 0; y < 60; ++y)
      for (int x = 0; x < 80; ++x) {
        const TColor p = b.PixelColor(x, y);
        const bool inside = x >= area.Left && x < area.Right && y >= area.Top && y < area.Bottom;
        if (!inside) {
          ASSERT_EQ(p, before) << "direction " << d << " at " << x << "," << y;
          continue;
        }
        ASSERT_NE(p, before) << "direction " << d << " left " << x << "," << y;
        ASSERT_LE(GetRValue(p), 220) << d;
        ASSERT_GE(GetRValue(p), 40) << d;
        ASSERT_GE(GetGValue(p), 50) << d;
        ASSERT_LE(GetBValue(p), 200) << d;
        seen.insert(p);
      }
    if (d == fdNone) {
      EXPECT_EQ(seen.size(), 1u);
      continue;
    }
    EXPECT_GT(seen.size(), 20u) << "direction " << d;
  }
}

TEST(DrawHelpers, GradientDirectionsPutTheirColoursWhereTheirNamesSay) {
  const TRect r{0, 0, 64, 48};
  auto fill = [&](TFillDirection d) {
    auto b = std::make_unique<TBitmap>(64, 48);
    b->Canvas().Brush.Color = kLight;
    GradientFill(b->Canvas(), r, d, kDark);
    return b;
  };
  // With fewer pixels than the 256 bands, a few bands at each end fall on
  // no pixel: the edges show colours within a few steps of the ends.
  auto nearColor = [](TColor a, TColor b) { return std::abs(GetRValue(a) - GetRValue(b)) <= 8; };
  auto b = fill(fdRight);  // from color on the left to the brush colour on the right
  EXPECT_TRUE(nearColor(b->PixelColor(0, 20), kDark));
  EXPECT_TRUE(nearColor(b->PixelColor(63, 20), kLight));
  b = fill(fdRectOut);  // color at the edges, brush colour in the middle
  EXPECT_TRUE(nearColor(b->PixelColor(0, 0), kDark));
  EXPECT_TRUE(nearColor(b->PixelColor(32, 24), kLight));
  b = fill(fdCircIn);
  EXPECT_TRUE(nearColor(b->PixelColor(0, 0), kLight));
  EXPECT_TRUE(nearColor(b->PixelColor(32, 24), kDark));
  b = fill(fdNWSE);
  EXPECT_TRUE(nearColor(b->PixelColor(0, 0), kLight));
  EXPECT_TRUE(nearColor(b->PixelColor(63, 47), kDark));
  b = fill(fdSWNE);
  EXPECT_TRUE(nearColor(b->PixelColor(0, 47), kLight));
  EXPECT_TRUE(nearColor(b->PixelColor(63, 0), kDark));
  b = fill(fdLNW);  // start along the right and bottom edges, end in the top-left corner
  EXPECT_TRUE(nearColor(b->PixelColor(63, 0), kLight));
  EXPECT_TRUE(nearColor(b->PixelColor(0, 47), kLight));
  EXPECT_TRUE(nearColor(b->PixelColor(0, 0), kDark));
  b = fill(fdLNE);
  EXPECT_TRUE(nearColor(b->PixelColor(0, 0), kLight));
  EXPECT_TRUE(nearColor(b->PixelColor(63, 0), kDark));
  b = fill(fdUpDown);  // edges start, middle ends
  EXPECT_TRUE(nearColor(b->PixelColor(10, 0), kLight));
  EXPECT_TRUE(nearColor(b->PixelColor(10, 47), kLight));
  EXPECT_TRUE(nearColor(b->PixelColor(10, 23), kDark));
  b = fill(fdHorizCenter);  // middle starts, edges end
  EXPECT_TRUE(nearColor(b->PixelColor(10, 0), kDark));
  EXPECT_TRUE(nearColor(b->PixelColor(10, 23), kLight));
  b = fill(fdUright);  // a U opening to the right: the left edge starts, the right middle ends
  EXPECT_TRUE(nearColor(b->PixelColor(0, 24), kLight));
  EXPECT_TRUE(nearColor(b->PixelColor(63, 24), kDark));
}

TEST(DrawHelpers, LoadGraphicResourceOfAMissingNameGivesNothing) {
  EXPECT_FALSE(LoadGraphicResource("NO_SUCH_RESOURCE", "gif"));
  EXPECT_FALSE(LoadGraphicResource("", "png"));
}

}  // namespace
