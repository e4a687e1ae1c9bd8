#include "tools/host/png_file.h"

#include <png.h>

#include <cstdio>
#include <memory>

namespace {

struct TFileCloser {
  void operator()(std::FILE* f) const {
    if (f) std::fclose(f);
  }
};
using TFile = std::unique_ptr<std::FILE, TFileCloser>;

// libpng reports errors by longjmp; the message is kept for the caller.
void OnPngError(png_structp png, png_const_charp message) {
  auto* error = static_cast<std::string*>(png_get_error_ptr(png));
  if (error) *error = message ? message : "PNG error";
  png_longjmp(png, 1);
}
void OnPngWarning(png_structp, png_const_charp) {}

}  // namespace

bool WritePng(const std::string& path, const TRgbImage& image, std::string& error) {
  if (image.Width <= 0 || image.Height <= 0 ||
      image.Pixels.size() != static_cast<std::size_t>(image.Width) * static_cast<std::size_t>(image.Height)) {
    error = "no image to write";
    return false;
  }
  TFile file(std::fopen(path.c_str(), "wb"));
  if (!file) {
    error = "cannot write '" + path + "'";
    return false;
  }
  std::string pngError;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &pngError, &OnPngError, &OnPngWarning);
  png_infop info = png ? png_create_info_struct(png) : nullptr;
  if (!info) {
    png_destroy_write_struct(&png, nullptr);
    error = "out of memory";
    return false;
  }
  std::vector<png_byte> row(static_cast<std::size_t>(image.Width) * 3);
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    error = path + ": " + pngError;
    return false;
  }
  png_init_io(png, file.get());
  png_set_IHDR(png, info, static_cast<png_uint_32>(image.Width), static_cast<png_uint_32>(image.Height), 8,
               PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  for (int y = 0; y < image.Height; ++y) {
    for (int x = 0; x < image.Width; ++x) {
      const std::uint32_t p = image.At(x, y);
      row[static_cast<std::size_t>(x) * 3 + 0] = static_cast<png_byte>(p >> 16);
      row[static_cast<std::size_t>(x) * 3 + 1] = static_cast<png_byte>(p >> 8);
      row[static_cast<std::size_t>(x) * 3 + 2] = static_cast<png_byte>(p);
    }
    png_write_row(png, row.data());
  }
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  if (std::fflush(file.get()) != 0 || std::ferror(file.get())) {
    error = "cannot write '" + path + "'";
    return false;
  }
  return true;
}

bool ReadPng(const std::string& path, TRgbImage& image, std::string& error) {
  TFile file(std::fopen(path.c_str(), "rb"));
  if (!file) {
    error = "cannot open '" + path + "'";
    return false;
  }
  std::string pngError;
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &pngError, &OnPngError, &OnPngWarning);
  png_infop info = png ? png_create_info_struct(png) : nullptr;
  if (!info) {
    png_destroy_read_struct(&png, nullptr, nullptr);
    error = "out of memory";
    return false;
  }
  std::vector<png_byte> row;
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_read_struct(&png, &info, nullptr);
    error = path + ": " + pngError;
    return false;
  }
  png_init_io(png, file.get());
  png_read_info(png, info);
  const png_uint_32 width = png_get_image_width(png, info), height = png_get_image_height(png, info);
  const int type = png_get_color_type(png, info);
  if (png_get_bit_depth(png, info) != 8 || (type != PNG_COLOR_TYPE_RGB && type != PNG_COLOR_TYPE_RGBA) || width == 0 ||
      height == 0 || width > 65536 || height > 65536) {
    png_destroy_read_struct(&png, &info, nullptr);
    error = path + ": not an 8-bit RGB picture";
    return false;
  }
  const std::size_t channels = type == PNG_COLOR_TYPE_RGBA ? 4 : 3;
  row.resize(width * channels);
  image.Width = static_cast<int>(width);
  image.Height = static_cast<int>(height);
  image.Pixels.assign(static_cast<std::size_t>(width) * height, 0);
  for (png_uint_32 y = 0; y < height; ++y) {
    png_read_row(png, row.data(), nullptr);
    for (png_uint_32 x = 0; x < width; ++x) {
      const png_byte* p = &row[x * channels];
      image.Pixels[static_cast<std::size_t>(y) * width + x] =
          (static_cast<std::uint32_t>(p[0]) << 16) | (static_cast<std::uint32_t>(p[1]) << 8) | p[2];
    }
  }
  png_destroy_read_struct(&png, &info, nullptr);
  return true;
}
