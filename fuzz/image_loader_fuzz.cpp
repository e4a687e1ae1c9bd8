// The image loader over damaged files: the first byte picks the format
// (GIF, PNG, JPEG, BMP), the rest is the file. Any input must give a
// picture within the size limits or none, and a picture must draw.
#include <cairo.h>

#include <algorithm>

#include <cstdio>
#include <cstring>
#include <string_view>
// jpeglib.h needs FILE and size_t declared first.
#include <jpeglib.h>

#include "fuzz/support/fuzz_support.h"
#include "platform/draw/bitmap.h"
#include "platform/draw/canvas.h"
#include "platform/draw/graphic.h"
#include "platform/resources.h"

namespace {
constexpr const char* kKinds[4] = {"gif", "png", "jpg", "bmp"};
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  auto graphic = DecodeGraphic(std::span<const std::uint8_t>(data + 1, size - 1), kKinds[data[0] % 4]);
  if (graphic) {
    if (static_cast<std::int64_t>(graphic->Width()) * graphic->Height() > TBitmap::kMaxPixels) __builtin_trap();
    TBitmap target(16, 16);
    graphic->Draw(target.Canvas(), -3, -3);
  }
  return 0;
}

namespace {

std::vector<std::uint8_t> Tagged(std::uint8_t kind, std::span<const std::uint8_t> bytes) {
  std::vector<std::uint8_t> v(bytes.size() + 1);
  v[0] = kind;
  std::copy(bytes.begin(), bytes.end(), v.begin() + 1);
  return v;
}

cairo_status_t Append(void* closure, const unsigned char* data, unsigned int length) {
  auto* out = static_cast<std::vector<std::uint8_t>*>(closure);
  out->insert(out->end(), data, data + length);
  return CAIRO_STATUS_SUCCESS;
}

std::vector<std::uint8_t> Jpeg(const TBitmap& b, bool progressive) {
  jpeg_compress_struct cinfo;
  jpeg_error_mgr err;
  cinfo.err = jpeg_std_error(&err);
  jpeg_create_compress(&cinfo);
  unsigned char* mem = nullptr;
  unsigned long size = 0;
  jpeg_mem_dest(&cinfo, &mem, &size);
  cinfo.image_width = static_cast<JDIMENSION>(b.Width());
  cinfo.image_height = static_cast<JDIMENSION>(b.Height());
  cinfo.input_components = 3;
  cinfo.in_color_space = JCS_RGB;
  jpeg_set_defaults(&cinfo);
  if (progressive) jpeg_simple_progression(&cinfo);
  jpeg_start_compress(&cinfo, TRUE);
  std::vector<JSAMPLE> row(static_cast<std::size_t>(b.Width()) * 3);
  while (cinfo.next_scanline < cinfo.image_height) {
    const std::uint32_t* in = b.ScanLine(static_cast<int>(cinfo.next_scanline));
    for (int x = 0; x < b.Width(); ++x) {
      row[x * 3] = static_cast<JSAMPLE>(in[x] >> 16);
      row[x * 3 + 1] = static_cast<JSAMPLE>(in[x] >> 8);
      row[x * 3 + 2] = static_cast<JSAMPLE>(in[x]);
    }
    JSAMPROW rows[1] = {row.data()};
    jpeg_write_scanlines(&cinfo, rows, 1);
  }
  jpeg_finish_compress(&cinfo);
  jpeg_destroy_compress(&cinfo);
  std::vector<std::uint8_t> out(mem, mem + size);
  std::free(mem);
  return out;
}

std::vector<std::uint8_t> Bmp24(const TBitmap& b) {
  const std::uint32_t w = static_cast<std::uint32_t>(b.Width()), h = static_cast<std::uint32_t>(b.Height());
  const std::uint32_t stride = (w * 3 + 3) / 4 * 4;
  std::vector<std::uint8_t> v(54 + stride * h, 0);
  auto put32 = [&](std::size_t at, std::uint32_t x) { std::memcpy(&v[at], &x, 4); };
  v[0] = 'B';
  v[1] = 'M';
  put32(2, static_cast<std::uint32_t>(v.size()));
  put32(10, 54);
  put32(14, 40);
  put32(18, w);
  put32(22, h);
  v[26] = 1;
  v[28] = 24;
  for (std::uint32_t y = 0; y < h; ++y) {
    const std::uint32_t* in = b.ScanLine(static_cast<int>(h - 1 - y));
    for (std::uint32_t x = 0; x < w; ++x) std::memcpy(&v[54 + y * stride + x * 3], &in[x], 3);
  }
  return v;
}

}  // namespace

// Seeds: the skin's own GIF files, and one of its pictures as PNG, JPEG
// (baseline and progressive) and BMP.
TFuzzSeeds RumbleonFuzzSeeds() {
  TFuzzSeeds seeds;
  std::size_t count = 0;
  const TResourceEntry* table = RumbleonResourceTable(&count);
  std::unique_ptr<TGraphic> sample;
  for (std::size_t i = 0; i < count; ++i) {
    if (table[i].Name == nullptr || std::string_view(table[i].Name).rfind("SPTHEMESILVER_", 0) != 0) continue;
    const std::span<const std::uint8_t> bytes(table[i].Begin, static_cast<std::size_t>(table[i].End - table[i].Begin));
    seeds.push_back(Tagged(0, bytes));
    // The smallest picture of the skin becomes the other formats' seed.
    auto decoded = DecodeGif(bytes);
    if (decoded && (!sample || sample->Width() * sample->Height() > decoded->Width() * decoded->Height())) {
      sample = std::move(decoded);
    }
  }
  TBitmap picture(12, 9, TPixelFormat::pf32bit);
  if (sample) picture = sample->Image;
  for (int y = 0; !sample && y < picture.Height(); ++y)
    for (int x = 0; x < picture.Width(); ++x)
      picture.ScanLine(y)[x] = 0xFF000000u | static_cast<std::uint32_t>(x * 20 << 16 | y * 25);
  std::vector<std::uint8_t> png;
  picture.BeginCairo();
  cairo_surface_write_to_png_stream(picture.Surface(), Append, &png);
  seeds.push_back(Tagged(1, png));
  TBitmap opaque(picture);
  opaque.SetPixelFormat(TPixelFormat::pf24bit);
  seeds.push_back(Tagged(2, Jpeg(opaque, false)));
  seeds.push_back(Tagged(2, Jpeg(opaque, true)));
  seeds.push_back(Tagged(3, Bmp24(opaque)));
  return seeds;
}
