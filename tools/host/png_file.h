// PNG files of 8-bit RGB images (the editor's screenshots).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Pixels are 0x00RRGGBB, row by row, width x height of them.
struct TRgbImage {
  int Width = 0;
  int Height = 0;
  std::vector<std::uint32_t> Pixels;

  std::uint32_t At(int x, int y) const {
    return Pixels[static_cast<std::size_t>(y) * static_cast<std::size_t>(Width) + static_cast<std::size_t>(x)];
  }
};

bool WritePng(const std::string& path, const TRgbImage& image, std::string& error);
// Reads an 8-bit RGB or RGBA PNG (alpha dropped), as WritePng writes them.
bool ReadPng(const std::string& path, TRgbImage& image, std::string& error);
