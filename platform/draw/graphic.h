// Pictures decoded from image files in memory: GIF (giflib), PNG (libpng),
// JPEG (libjpeg) and BMP (our own reader). A damaged, truncated or
// oversized file (more than 16 M pixels) gives no picture; no decoder ever ends the process or
// reads outside the bytes given.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/draw/bitmap.h"

class TCanvas;

class TGraphic {
 public:
  // "gif", "png", "jpg" or "bmp": the format the bytes were decoded as.
  std::string Kind;
  // The pixels: pf32bit, premultiplied; the transparent pixels of a GIF
  // have alpha 0.
  TBitmap Image;
  // A GIF's transparent colour (the RGB of its transparent palette entry).
  bool HasTransparentColor = false;
  TColor TransparentColor = 0;
  // The file's bytes, as decoded: what saving the picture writes back.
  std::vector<std::uint8_t> Source;

  std::int32_t Width() const { return Image.Width(); }
  std::int32_t Height() const { return Image.Height(); }
  // Blends the picture over the canvas with its top-left corner at (x, y).
  void Draw(TCanvas& canvas, std::int32_t x, std::int32_t y) const;
};

// Decodes bytes by kind: "gif", "png", "jpg" (also "jpeg"), any other kind
// as a BMP file; case does not matter. Null for anything it cannot decode.
std::unique_ptr<TGraphic> DecodeGraphic(std::span<const std::uint8_t> bytes, std::string_view kind);

std::unique_ptr<TGraphic> DecodeGif(std::span<const std::uint8_t> bytes);
std::unique_ptr<TGraphic> DecodePng(std::span<const std::uint8_t> bytes);
std::unique_ptr<TGraphic> DecodeJpeg(std::span<const std::uint8_t> bytes);
std::unique_ptr<TGraphic> DecodeBmp(std::span<const std::uint8_t> bytes);
