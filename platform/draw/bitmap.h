// Bitmaps of the drawing layer: Cairo image surfaces with scan-line access.
// Every pixel is a 32-bit word 0xAARRGGBB in native byte order (in memory
// B, G, R, A), rows Stride() bytes apart, top row first:
// - pf24bit: opaque; the A byte is not used (the editor's back and front
//   bitmaps, scratch bitmaps);
// - pf32bit: premultiplied alpha (decoded pictures with transparency).
// A bitmap can be drawn transparently: pixels of its transparent colour (by
// default the colour of its bottom-left pixel) are then left out.
// Not thread-safe: one thread draws on a bitmap at a time.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/draw/colors.h"
#include "platform/draw/geometry.h"

typedef struct _cairo_surface cairo_surface_t;
class TCanvas;

enum class TPixelFormat { pf24bit, pf32bit };

// The pixels as a window layer shows them, without knowing this class.
struct TBitmapPixels {
  const std::uint32_t* Data = nullptr;  // first row
  std::int32_t Width = 0;
  std::int32_t Height = 0;
  std::int32_t StrideBytes = 0;
  bool Opaque = true;  // pf24bit: ignore the A byte
};

class TBitmap {
 public:
  // The largest side and area a bitmap may have; larger requests are
  // clamped (a damaged picture must not exhaust memory).
  static constexpr std::int32_t kMaxSide = 16384;
  static constexpr std::int64_t kMaxPixels = 1 << 26;

  TBitmap();
  TBitmap(std::int32_t width, std::int32_t height, TPixelFormat format = TPixelFormat::pf24bit);
  ~TBitmap();
  TBitmap(const TBitmap& other);
  TBitmap& operator=(const TBitmap& other);
  TBitmap(TBitmap&& other) noexcept;
  TBitmap& operator=(TBitmap&& other) noexcept;

  std::int32_t Width() const { return W; }
  std::int32_t Height() const { return H; }
  TPixelFormat PixelFormat() const { return Format; }
  bool Empty() const { return W <= 0 || H <= 0; }
  TRect ClientRect() const { return {0, 0, W, H}; }

  // Keeps the pixels the old and the new size share; new pixels are white
  // (pf24bit) or fully transparent (pf32bit).
  void SetSize(std::int32_t width, std::int32_t height);
  // Converts the pixels (to pf24bit: composited over black, as a toolkit
  // bitmap drops its alpha).
  void SetPixelFormat(TPixelFormat format);

  // Row y (0 <= y < Height()); pending drawing is finished first. Write
  // through it freely: the next drawing sees the change.
  std::uint32_t* ScanLine(std::int32_t y);
  const std::uint32_t* ScanLine(std::int32_t y) const;
  std::int32_t Stride() const;
  TBitmapPixels Pixels() const;
  // One pixel as an RGB colour (premultiplied values for pf32bit); black
  // outside the bitmap.
  TColor PixelColor(std::int32_t x, std::int32_t y) const;
  std::uint8_t PixelAlpha(std::int32_t x, std::int32_t y) const;

  // Transparent drawing (Draw and the key copies of TCanvas).
  bool Transparent = false;
  // The key colour: the explicit one when set, else the bottom-left pixel.
  TColor TransparentColor() const;
  void SetTransparentColor(TColor rgb);
  void SetTransparentColorAuto();
  bool HasExplicitTransparentColor() const { return ExplicitKey; }

  TCanvas& Canvas();

  // Writes the bitmap as a PNG file; false when it could not be written.
  bool SaveToPngFile(const std::string& path) const;

  // The surface, for the drawing layer (null for an empty bitmap).
  cairo_surface_t* Surface() const { return Surf; }
  // Called by the drawing layer before Cairo draws and after it did.
  void BeginCairo();
  void EndCairo() const;
  // Increases whenever the surface is replaced (a canvas re-attaches).
  std::uint32_t Generation() const { return Gen; }

 private:
  void Allocate(std::int32_t width, std::int32_t height, TPixelFormat format);
  void Release();

  cairo_surface_t* Surf = nullptr;
  std::int32_t W = 0;
  std::int32_t H = 0;
  TPixelFormat Format = TPixelFormat::pf24bit;
  bool ExplicitKey = false;
  TColor Key = 0;
  mutable bool PixelsTouched = false;
  std::uint32_t Gen = 0;
  std::unique_ptr<TCanvas> CanvasObj;
};
