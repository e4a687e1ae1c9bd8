// Drawing routines shared by the theme, the control tree and the dialogs:
// the resource image loader, font creation, white scratch bitmaps, the 3-D
// frame, colour scaling and brightening, rectangle helpers, filled
// rectangles and the gradient fills. All run on the thread that draws (the
// editor's window thread) except LoadGraphicResource and CreateFontEx,
// which any thread may call.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

#include "platform/draw/bitmap.h"
#include "platform/draw/canvas.h"
#include "platform/draw/colors.h"
#include "platform/draw/font.h"
#include "platform/draw/geometry.h"
#include "platform/draw/graphic.h"

// Stored by value in dialog settings: never renumber.
enum TFillDirection : std::uint8_t {
  fdUp,
  fdDown,
  fdLeft,
  fdRight,
  fdRectOut,
  fdRectIn,
  fdHorizCenter,
  fdVertCenter,
  fdCircOut,
  fdCircIn,
  fdNWSE,
  fdNESW,
  fdSENW,
  fdSWNE,
  fdUright,
  fdULeft,
  fdUUp,
  fdUDown,
  fdRCMix,
  fdRCModulo,
  fdQuatro,
  fdDuo,
  fdLNE,
  fdLNW,
  fdUpDown,
  fdLeftRight,
  fdNone,
};
inline constexpr int kFillDirectionCount = fdNone + 1;

// The embedded resource Name decoded as Kind ("jpg", "gif", "png", anything
// else a BMP file). Null for a missing or empty resource or any decoding
// failure; never throws. The caller owns the picture.
std::unique_ptr<TGraphic> LoadGraphicResource(std::string_view name, std::string_view kind);

// Vertical pixels per logical inch of the screen: fixed at 96.
int ScreenPixelsPerInch();

// Style bits of CreateFontEx.
inline constexpr std::uint32_t kFontBold = 1, kFontItalic = 2, kFontUnderline = 4, kFontStrikeOut = 8;
// A font of Size points: height -(Size * pixels per inch / 72) by integer
// division (so 8 points are -10 pixels at 96 dpi), weight 700 with kFontBold
// else 400, the other bits as named.
TFontHandle CreateFontEx(std::string_view name, int size, std::uint32_t styleBits, std::uint8_t charset);

// A new 100 x 100 opaque bitmap, white, its canvas brush white.
std::unique_ptr<TBitmap> CreateWhiteBitmap();

// Width nested one-pixel outlines of rect, the i-th inset by i: top and left
// edges in topLeft, right and bottom edges in bottomRight (which takes the
// top-right and bottom-left corner pixels). Nothing for a width below 1.
void DrawFrame3D(TCanvas& dc, const TRect& rect, TColor topLeft, int width, TColor bottomRight);

// Each channel (system colours resolved) times factor, rounded, clamped to 0..255.
TColor ScaleColor(TColor color, double factor);
// Every pixel's channel c := round(c + c * factor), clamped (red by factorR,
// green by factorG, blue by factorB).
void BrightenBitmap(TBitmap& bitmap, double factorR, double factorG, double factorB);
// Brightens by -0.4 on every channel.
void DarkenBitmap(TBitmap& bitmap);

// The start of every gradient: From's channels and To - From per channel.
struct TColorComponents {
  int R = 0, G = 0, B = 0;
  int DR = 0, DG = 0, DB = 0;
};
TColorComponents ColorComponents(TColor from, TColor to);

inline std::int32_t RectWidth(const TRect& r) { return r.Right - r.Left; }
inline std::int32_t RectHeight(const TRect& r) { return r.Bottom - r.Top; }
struct TRectXYWH {
  std::int32_t X = 0, Y = 0, Width = 0, Height = 0;
};
inline TRectXYWH RectToXYWH(const TRect& r) { return {r.Left, r.Top, RectWidth(r), RectHeight(r)}; }

// An opaque 0xAARRGGBB word of the colour.
std::uint32_t ColorToARGB(TColor color);

// Fills rect with the canvas's brush colour.
void FillRectAA(TCanvas& canvas, const TRect& rect);

// Fills rect with a gradient between the canvas's brush colour and color:
// from color to the brush colour for fdDown, fdRight, fdRectOut and
// fdCircOut, from the brush colour to color otherwise; fdNone fills with the
// brush colour. Band i of 256 has, per channel, start + (end - start) * i /
// 255. The pen is left solid; the brush colour is restored.
void GradientFill(TCanvas& canvas, const TRect& rect, TFillDirection direction, TColor color);
