// The painters: film-strip frame choice, the vector pointer, fitted text,
// tiles and 3-D frames, the switch's painted area, placeholders, and the
// contact sheet of the built-in skin (written to the build folder).
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "gui/theme/default_theme.h"
#include "gui/theme/theme_painters.h"
#include "gui/widgets/draw_helpers.h"
#include "tests/gui/support/contact_sheet.h"

namespace {

const TSPTheme& Skin() { return Themes().ThemeByIndex(0); }

TEST(ThemePainters, FilmStripFrameFollowsTheValueAndStaysInTheStrip) {
  auto f = FilmStripFrame(1440, 30, 48, 0.0);
  EXPECT_EQ(f.Index, 0);
  EXPECT_EQ(f.Source, (TRect{0, 0, 30, 30}));
  f = FilmStripFrame(1440, 30, 48, 1.0);
  EXPECT_EQ(f.Index, 47);
  EXPECT_EQ(f.Source, (TRect{1410, 0, 1440, 30}));
  f = FilmStripFrame(1440, 30, 48, 0.5);  // round(23.5) = 24, ties to even
  EXPECT_EQ(f.Index, 24);
  EXPECT_EQ(f.Source, (TRect{720, 0, 750, 30}));
  f = FilmStripFrame(20, 200, 10, 1.0);  // vertical strip
  EXPECT_EQ(f.Source, (TRect{0, 180, 20, 200}));
  // Values outside 0..1 (or not numbers) stay inside the strip.
  EXPECT_EQ(FilmStripFrame(1440, 30, 48, 7.0).Index, 47);
  EXPECT_EQ(FilmStripFrame(1440, 30, 48, -3.0).Index, 0);
  EXPECT_EQ(FilmStripFrame(1440, 30, 48, std::numeric_limits<double>::quiet_NaN()).Index, 0);
  // A strip narrower than its frame count, or no frames: nothing to copy.
  EXPECT_TRUE(FilmStripFrame(30, 20, 48, 0.5).Source.IsEmpty());
  EXPECT_TRUE(FilmStripFrame(1440, 30, 0, 0.5).Source.IsEmpty());
  EXPECT_TRUE(FilmStripFrame(1440, 30, -5, 0.5).Source.IsEmpty());
}

TEST(ThemePainters, KnobDrawsTheChosenFrameOfItsStrip) {
  const TSPThemeControl* knob = Skin().Knobs.StyleByIndex(1);
  const TBitmap& strip = *knob->CaptionStyle.Cache;
  for (double v : {0.0, 0.5, 1.0}) {
    TBitmap dc(60, 60);
    dc.Canvas().FillRectColor(dc.ClientRect(), 0x444444);
    TRect r = Bounds(10, 10, 50, 50), thumb, painted;
    DrawThemeFader(knob, dc.Canvas(), r, thumb, v, "", "", painted);
    EXPECT_EQ(r, Bounds(10, 10, 30, 30)) << "the control takes the frame's size";
    EXPECT_EQ(painted, r);
    const TStripFrame f = FilmStripFrame(strip.Width(), strip.Height(), 48, v);
    int differing = 0;
    for (int y = 0; y < 30; ++y)
      for (int x = 0; x < 30; ++x) {
        const TColor src = strip.PixelColor(f.Source.Left + x, y);
        const TColor want = src == strip.TransparentColor() ? TColor(0x444444) : src;
        differing += dc.PixelColor(10 + x, 10 + y) != want;
      }
    EXPECT_EQ(differing, 0) << v;
  }
}

TEST(ThemePainters, BrokenStripsDrawNothingInsteadOfDividingByZero) {
  TSPThemeFader knob;
  knob.Create();
  knob.Kind = 0;
  knob.CaptionStyle.LoadImage("SPTHEMESILVER_KNOBDEFAULTSMALL", "gif");
  knob.CaptionStyle.SetFrames(5000);  // wider than the strip: frame width 0
  TBitmap dc(40, 40);
  TRect r = Bounds(5, 5, 20, 20), thumb, painted;
  DrawThemeFader(&knob, dc.Canvas(), r, thumb, 0.7, "", "", painted);
  EXPECT_EQ(r, Bounds(5, 5, 20, 20));
  for (int y = 0; y < 40; ++y)
    for (int x = 0; x < 40; ++x) ASSERT_EQ(dc.PixelColor(x, y), clWhite);
}

TEST(ThemePainters, VectorPointerEndsWhereTheValueSays) {
  const TRect r = Bounds(0, 0, 30, 30);
  EXPECT_EQ(KnobPointerTip(r, 0.0), (TPoint{9, 25}));   // 7 o'clock
  EXPECT_EQ(KnobPointerTip(r, 0.5), (TPoint{15, 3}));   // 12 o'clock
  EXPECT_EQ(KnobPointerTip(r, 1.0), (TPoint{21, 25}));  // 5 o'clock
  EXPECT_EQ(KnobPointerTip(Bounds(100, 50, 30, 30), 0.5), (TPoint{115, 53}));

  // Drawn: a knob entry without picture draws the dial and a line pointer.
  TSPThemeFader knob;
  knob.Create();
  knob.Kind = 0;
  knob.PointerColor = RGBColor(255, 0, 0);
  knob.PointerWidth = 2;
  auto pointerPixels = [&](double v, int x, int y) {
    TBitmap dc(30, 30);
    TRect rr = r, thumb, painted;
    DrawThemeFader(&knob, dc.Canvas(), rr, thumb, v, "", "", painted);
    return dc.PixelColor(x, y) == knob.PointerColor;
  };
  EXPECT_TRUE(pointerPixels(0.5, 15, 5));
  EXPECT_FALSE(pointerPixels(0.0, 15, 5));
  EXPECT_TRUE(pointerPixels(0.0, 11, 22));
  EXPECT_TRUE(pointerPixels(1.0, 19, 22));
  EXPECT_FALSE(pointerPixels(0.5, 15, 25));
  // Pointer 2 draws none; pointer 0 a dot at the tip.
  knob.Pointer = 2;
  EXPECT_FALSE(pointerPixels(0.5, 15, 5));
  knob.Pointer = 0;
  EXPECT_TRUE(pointerPixels(0.5, 16, 4));
  EXPECT_FALSE(pointerPixels(0.5, 15, 8));
}

TEST(ThemePainters, FittedTextCutsFromTheEndAndPlacesInsideOrBeside) {
  TBitmap b(200, 100);
  TCanvas& dc = b.Canvas();
  dc.SetFont(CreateFontEx("Arial", 8, 0, 1));
  const int wide = dc.TextWidth("Resonance");
  const int w = dc.TextWidth("W");
  // Fits: the rectangle stays as it is.
  TRect r = Bounds(50, 40, wide + 10, 20);
  DrawFittedText(dc, r, true, 1, 1, "Resonance");
  EXPECT_EQ(r, Bounds(50, 40, wide + 10, 20));
  // Too wide: characters drop from the end down to one character.
  r = Bounds(50, 40, 3, 20);
  DrawFittedText(dc, r, true, 0, 0, "WWWW");
  EXPECT_EQ(r.Right, 50 + w);
  r = Bounds(50, 40, dc.TextWidth("Reso") + 1, 20);
  TBitmap cut(200, 100);
  cut.Canvas().SetFont(dc.GetFont());
  cut.Canvas().TextOut(0, 0, "Reso");
  TBitmap fitted(200, 100);
  fitted.Canvas().SetFont(dc.GetFont());
  TRect fr = Bounds(0, 0, r.Width(), 20);
  DrawFittedText(fitted.Canvas(), fr, true, 0, 0, "Resonance");
  for (int y = 0; y < 20; ++y)
    for (int x = 0; x < 60; ++x) ASSERT_EQ(fitted.PixelColor(x, y), cut.PixelColor(x, y)) << x << "," << y;
  // Right-aligned inside: the ink ends at the right edge.
  r = Bounds(0, 60, 120, 20);
  DrawFittedText(dc, r, true, 1, 2, "Bass");
  int lastInk = -1;
  for (int x = 0; x < 200; ++x)
    for (int y = 60; y < 80; ++y)
      if (b.PixelColor(x, y) != clWhite) lastInk = x;
  EXPECT_GE(lastInk, 115);
  EXPECT_LT(lastInk, 120);
  // Beside: above, below, left and right of the rectangle.
  const int th = dc.TextHeight("Bass"), tw = dc.TextWidth("Bass");
  r = Bounds(80, 40, 30, 30);
  DrawFittedText(dc, r, false, 0, 1, "Bass");
  EXPECT_EQ(r.Top, 40 - th);
  r = Bounds(80, 40, 30, 30);
  DrawFittedText(dc, r, false, 2, 1, "Bass");
  EXPECT_EQ(r.Bottom, 70 + th);
  r = Bounds(80, 40, 30, 30);
  DrawFittedText(dc, r, false, 1, 0, "Bass");
  EXPECT_EQ(r.Left, 80 - 2 - tw);
  r = Bounds(80, 40, 30, 30);
  DrawFittedText(dc, r, false, 1, 2, "Bass");
  EXPECT_EQ(r.Right, 110 + 2 + tw);
  // An empty text draws nothing and keeps the rectangle.
  r = Bounds(1, 1, 5, 5);
  DrawFittedText(dc, r, true, 1, 1, "");
  EXPECT_EQ(r, Bounds(1, 1, 5, 5));
}

TEST(ThemePainters, BodySurfaceIsTiledFromItsCornerAndFramedInItsColours) {
  const TSPThemeControl* body = Skin().Surfaces.StyleByIndex(5);
  const TBitmap& tile = *body->CaptionStyle.Cache;
  TBitmap dc(400, 300);
  TRect r = Bounds(3, 4, 390, 290);
  DrawThemeLabel(body, dc.Canvas(), r, "");
  EXPECT_EQ(r, Bounds(3, 4, 390, 290)) << "an empty text does not grow the label";
  EXPECT_EQ(dc.PixelColor(3, 4), TColor(0x222222));       // light: top and left
  EXPECT_EQ(dc.PixelColor(3 + 389, 4 + 100), TColor(0));  // dark: right
  EXPECT_EQ(dc.PixelColor(3 + 100, 4 + 289), TColor(0));  // and bottom
  for (int y : {1, 159, 160, 200, 285})
    for (int x : {1, 100, 160, 161, 380}) {
      EXPECT_EQ(dc.PixelColor(3 + x, 4 + y), tile.PixelColor(x % 160, y % 160)) << x << "," << y;
    }
  EXPECT_EQ(dc.PixelColor(0, 0), clWhite);  // nothing outside
  EXPECT_EQ(dc.PixelColor(395, 150), clWhite);
}

TEST(ThemePainters, ButtonsAndSwitchesReportWhatTheyPainted) {
  // A button without picture keeps the control's rectangle and its colours.
  TSPThemeButton plain;
  plain.Create();
  TBitmap dc(120, 60);
  TRect r = Bounds(10, 10, 40, 20), painted;
  DrawThemeButton(&plain, dc.Canvas(), r, false, "", "", painted);
  EXPECT_EQ(r, Bounds(10, 10, 40, 20));
  EXPECT_EQ(painted, r);
  EXPECT_EQ(dc.PixelColor(25, 18), plain.CaptionStyle.FillColor);
  // With pictures: the off picture's size, and the pressed look differs.
  const TSPThemeControl* button = Skin().Buttons.StyleByIndex(1);
  TBitmap up(120, 60), down(120, 60);
  r = Bounds(10, 10, 90, 40);
  DrawThemeButton(button, up.Canvas(), r, false, "", "Osc", painted);
  EXPECT_EQ(r, Bounds(10, 10, 56, 16));
  r = Bounds(10, 10, 90, 40);
  DrawThemeButton(button, down.Canvas(), r, true, "", "Osc", painted);
  int differ = 0;
  for (int y = 10; y < 26; ++y)
    for (int x = 10; x < 66; ++x) differ += up.PixelColor(x, y) != down.PixelColor(x, y);
  EXPECT_GT(differ, 56 * 16 / 2);

  // A switch without caption still reports its own rectangle.
  const TSPThemeControl* sw = Skin().Switches.StyleByIndex(1);
  TRect thumb;
  r = Bounds(20, 20, 50, 50);
  painted = {};
  DrawThemeSwitch(sw, dc.Canvas(), r, true, thumb, 0, true, "", {}, painted);
  EXPECT_EQ(r, Bounds(20, 20, 30, 30));
  EXPECT_EQ(painted, r);
  EXPECT_EQ(thumb, Bounds(0, 0, 30, 30));
  r = Bounds(20, 20, 50, 50);
  DrawThemeSwitch(sw, dc.Canvas(), r, true, thumb, 0, false, "Mono", {}, painted);
  EXPECT_LT(painted.Top, r.Top);  // the caption above the switch
  EXPECT_EQ(painted.Bottom, r.Bottom);
}

TEST(ThemePainters, MissingEntriesDrawThePlaceholder) {
  TBitmap dc(200, 60);
  TRect r = Bounds(10, 10, 150, 30), thumb, painted;
  DrawThemeFader(nullptr, dc.Canvas(), r, thumb, 0.5, "1", "x", painted);
  EXPECT_EQ(dc.PixelColor(10, 10), clBlack);  // the box's outline
  EXPECT_EQ(dc.PixelColor(159, 39), clBlack);
  int ink = 0;
  for (int y = 12; y < 38; ++y)
    for (int x = 12; x < 158; ++x) ink += dc.PixelColor(x, y) != clWhite;
  EXPECT_GT(ink, 30);  // "No Theme Control"
  TBitmap other(200, 60);
  TRect r2 = Bounds(10, 10, 150, 30);
  DrawThemeButton(nullptr, other.Canvas(), r2, false, "", "", painted);
  DrawThemeSwitch(nullptr, other.Canvas(), r2, true, thumb, 0, true, "", {}, painted);
  DrawThemeLabel(nullptr, other.Canvas(), r2, "x");
  for (int y = 0; y < 60; ++y)
    for (int x = 0; x < 200; ++x) ASSERT_EQ(other.PixelColor(x, y), dc.PixelColor(x, y));
  // A fader painter given an entry of another kind cannot read its fields.
  DrawThemeFader(Skin().Labels.StyleByIndex(0), other.Canvas(), r2, thumb, 0.5, "", "", painted);
  EXPECT_EQ(other.PixelColor(10, 10), clBlack);
}

TEST(ThemePainters, VectorSlidersDrawTrackAndThumb) {
  const TSPThemeControl* slider = Skin().VSliders.StyleByIndex(1);
  for (double v : {0.0, 1.0}) {
    TBitmap dc(60, 160);
    TRect r = Bounds(20, 20, 12, 120), thumb, painted;
    DrawThemeFader(slider, dc.Canvas(), r, thumb, v, "", "", painted);
    EXPECT_EQ(thumb.Left, 18);
    EXPECT_EQ(thumb.Right, 34);
    EXPECT_EQ(thumb.Height(), 10);
    if (v == 0.0) EXPECT_EQ(thumb.Bottom, 140);
    else EXPECT_EQ(thumb.Top, 20);
  }
  const TSPThemeControl* h = Skin().HSliders.StyleByIndex(1);
  TBitmap dc(200, 60);
  TRect r = Bounds(40, 20, 100, 12), thumb, painted;
  DrawThemeFader(h, dc.Canvas(), r, thumb, 0.5, "0.50", "Pan", painted);
  EXPECT_EQ(thumb, Bounds(90, 21, 10, 10));
  EXPECT_LT(painted.Left, 40);    // caption at the left
  EXPECT_GT(painted.Right, 140);  // value at the right
}

TEST(ThemePainters, ContactSheetOfTheSkin) {
  auto sheet = DrawContactSheet(Skin());
  const std::string path = TestOutputPath("gui-contact-sheet.png");
  ASSERT_TRUE(sheet->SaveToPngFile(path)) << path;
  std::printf("contact sheet: %s\n", path.c_str());
}

}  // namespace
