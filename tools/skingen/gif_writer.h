// GIF89a files from pixels: a palette of at most 256 colours chosen by
// median cut (exact when the picture has fewer colours), one transparent
// palette entry for the pixels that are mostly transparent. Deterministic:
// the same pixels give the same bytes.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

struct TIndexedImage {
  std::int32_t Width = 0;
  std::int32_t Height = 0;
  std::vector<std::uint8_t> Indexes;                 // Width * Height, top row first
  std::vector<std::array<std::uint8_t, 3>> Palette;  // R, G, B; at most 256
  int TransparentIndex = -1;                         // -1: none
};

// Pixels are premultiplied 0xAARRGGBB words (a Cairo ARGB32 surface), rows
// strideBytes apart. Pixels with alpha below 128 become transparent (when
// any exist); the others are composited over matte (0xRRGGBB) first, so
// anti-aliased edges blend into the colour they will be shown on.
TIndexedImage QuantizeImage(const std::uint32_t* pixels, std::int32_t width, std::int32_t height,
                            std::int32_t strideBytes, std::uint32_t matte, int maxColors = 256);

// The GIF89a file of the image; empty when the image is not valid.
std::vector<std::uint8_t> EncodeGif(const TIndexedImage& image);
