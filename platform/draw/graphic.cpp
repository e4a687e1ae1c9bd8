#include "platform/draw/graphic.h"

#include <gif_lib.h>
#include <png.h>

#include <csetjmp>
#include <cstdio>
#include <cstring>
// jpeglib.h needs FILE and size_t declared first.
#include <jpeglib.h>

#include <algorithm>
#include <cctype>

#include "platform/draw/canvas.h"

namespace {

// Pictures of a skin are small: 16 M pixels (64 MB decoded) is far beyond
// any of them, and keeps a damaged header from claiming the bitmap limit.
constexpr std::int64_t kMaxPicturePixels = std::int64_t{1} << 24;

bool SizeAllowed(std::int64_t w, std::int64_t h) {
  return w > 0 && h > 0 && w <= TBitmap::kMaxSide && h <= TBitmap::kMaxSide && w * h <= kMaxPicturePixels;
}

std::unique_ptr<TGraphic> NewGraphic(std::string_view kind, std::span<const std::uint8_t> bytes, std::int32_t w,
                                     std::int32_t h) {
  auto g = std::make_unique<TGraphic>();
  g->Kind = std::string(kind);
  g->Image = TBitmap(w, h, TPixelFormat::pf32bit);
  if (g->Image.Width() != w || g->Image.Height() != h) return nullptr;
  g->Source.assign(bytes.begin(), bytes.end());
  return g;
}

constexpr std::uint32_t Premultiply(std::uint8_t r, std::uint8_t g, std::uint8_t b, std::uint8_t a) {
  if (a == 255) return 0xFF000000u | (std::uint32_t{r} << 16) | (std::uint32_t{g} << 8) | b;
  auto mul = [a](std::uint8_t c) { return (std::uint32_t{c} * a + 127) / 255; };
  return (std::uint32_t{a} << 24) | (mul(r) << 16) | (mul(g) << 8) | mul(b);
}

// ---- GIF

struct TGifSource {
  const std::uint8_t* Data;
  std::size_t Size;
  std::size_t Pos;
};

int GifRead(GifFileType* gif, GifByteType* into, int want) {
  auto* src = static_cast<TGifSource*>(gif->UserData);
  if (want <= 0) return 0;
  const std::size_t n = std::min<std::size_t>(static_cast<std::size_t>(want), src->Size - src->Pos);
  std::memcpy(into, src->Data + src->Pos, n);
  src->Pos += n;
  return static_cast<int>(n);
}

struct TGifCloser {
  void operator()(GifFileType* gif) const {
    int error = 0;
    DGifCloseFile(gif, &error);
  }
};

}  // namespace

// The first image of the file, composed onto its logical screen (pixels the
// image does not cover are transparent). Reads record by record, so a file
// can never make the reader hold more than one image.
std::unique_ptr<TGraphic> DecodeGif(std::span<const std::uint8_t> bytes) {
  TGifSource src{bytes.data(), bytes.size(), 0};
  int error = 0;
  std::unique_ptr<GifFileType, TGifCloser> gif(DGifOpen(&src, GifRead, &error));
  if (!gif) return nullptr;
  int transparentIndex = NO_TRANSPARENT_COLOR;
  for (;;) {
    GifRecordType record;
    if (DGifGetRecordType(gif.get(), &record) == GIF_ERROR) return nullptr;
    if (record == TERMINATE_RECORD_TYPE) return nullptr;  // no image at all
    if (record == EXTENSION_RECORD_TYPE) {
      int code = 0;
      GifByteType* block = nullptr;
      if (DGifGetExtension(gif.get(), &code, &block) == GIF_ERROR) return nullptr;
      if (code == GRAPHICS_EXT_FUNC_CODE && block != nullptr && block[0] >= 4) {
        GraphicsControlBlock gcb;
        if (DGifExtensionToGCB(block[0], block + 1, &gcb) == GIF_OK) transparentIndex = gcb.TransparentColor;
      }
      while (block != nullptr) {
        if (DGifGetExtensionNext(gif.get(), &block) == GIF_ERROR) return nullptr;
      }
      continue;
    }
    if (record != IMAGE_DESC_RECORD_TYPE) continue;
    if (DGifGetImageDesc(gif.get()) == GIF_ERROR) return nullptr;
    const GifImageDesc& desc = gif->Image;
    const ColorMapObject* map = desc.ColorMap != nullptr ? desc.ColorMap : gif->SColorMap;
    if (map == nullptr || map->Colors == nullptr || !SizeAllowed(desc.Width, desc.Height)) return nullptr;
    std::int32_t screenW = gif->SWidth, screenH = gif->SHeight;
    if (!SizeAllowed(screenW, screenH)) {
      // A missing or absurd logical screen: the image's own extent.
      screenW = desc.Left + desc.Width;
      screenH = desc.Top + desc.Height;
      if (!SizeAllowed(screenW, screenH)) return nullptr;
    }
    auto g = NewGraphic("gif", bytes, screenW, screenH);
    if (!g) return nullptr;
    if (transparentIndex >= 0 && transparentIndex < map->ColorCount) {
      const GifColorType& c = map->Colors[transparentIndex];
      g->HasTransparentColor = true;
      g->TransparentColor = RGBColor(c.Red, c.Green, c.Blue);
    }
    std::vector<GifByteType> line(static_cast<std::size_t>(desc.Width));
    // Interlaced images store rows in four passes.
    static constexpr int kStart[4] = {0, 4, 2, 1};
    static constexpr int kStep[4] = {8, 8, 4, 2};
    const int passes = desc.Interlace ? 4 : 1;
    for (int pass = 0; pass < passes; ++pass) {
      const int start = desc.Interlace ? kStart[pass] : 0;
      const int step = desc.Interlace ? kStep[pass] : 1;
      for (int row = start; row < desc.Height; row += step) {
        if (DGifGetLine(gif.get(), line.data(), desc.Width) == GIF_ERROR) return nullptr;
        const std::int32_t y = desc.Top + row;
        if (y < 0 || y >= screenH) continue;
        std::uint32_t* out = g->Image.ScanLine(y);
        for (int col = 0; col < desc.Width; ++col) {
          const std::int32_t x = desc.Left + col;
          if (x < 0 || x >= screenW) continue;
          const int index = line[static_cast<std::size_t>(col)];
          if (index == transparentIndex || index >= map->ColorCount) continue;  // stays transparent
          const GifColorType& c = map->Colors[index];
          out[x] = Premultiply(c.Red, c.Green, c.Blue, 255);
        }
      }
    }
    return g;
  }
}

// ---- PNG (libpng's simplified reader: its errors end in a failed call,
// never in the process ending)

std::unique_ptr<TGraphic> DecodePng(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < 8) return nullptr;
  png_image image;
  std::memset(&image, 0, sizeof(image));
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_memory(&image, bytes.data(), bytes.size())) return nullptr;
  if (!SizeAllowed(image.width, image.height)) {
    png_image_free(&image);
    return nullptr;
  }
  image.format = PNG_FORMAT_BGRA;
  std::vector<std::uint8_t> pixels(PNG_IMAGE_SIZE(image));
  if (!png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr)) {
    png_image_free(&image);
    return nullptr;
  }
  const auto w = static_cast<std::int32_t>(image.width), h = static_cast<std::int32_t>(image.height);
  png_image_free(&image);
  auto g = NewGraphic("png", bytes, w, h);
  if (!g) return nullptr;
  for (std::int32_t y = 0; y < h; ++y) {
    const std::uint8_t* in = pixels.data() + static_cast<std::size_t>(y) * w * 4;
    std::uint32_t* out = g->Image.ScanLine(y);
    for (std::int32_t x = 0; x < w; ++x, in += 4) out[x] = Premultiply(in[2], in[1], in[0], in[3]);
  }
  return g;
}

// ---- JPEG (errors jump back to the decoder instead of ending the process)

namespace {

struct TJpegError {
  jpeg_error_mgr Pub;
  std::jmp_buf Jump;
};

[[noreturn]] void JpegErrorExit(j_common_ptr cinfo) {
  std::longjmp(reinterpret_cast<TJpegError*>(cinfo->err)->Jump, 1);
}
void JpegSilentMessage(j_common_ptr) {}

// A damaged progressive file can ask for thousands of scans: stop early.
void JpegProgress(j_common_ptr cinfo) {
  auto* d = reinterpret_cast<j_decompress_ptr>(cinfo);
  if (d->input_scan_number > 200) JpegErrorExit(cinfo);
}

// No C++ object with a destructor lives in this frame across the jump.
bool DecodeJpegPixels(const std::uint8_t* data, std::size_t size, TGraphic* out) {
  jpeg_decompress_struct cinfo;
  TJpegError err;
  jpeg_progress_mgr progress;
  cinfo.err = jpeg_std_error(&err.Pub);
  err.Pub.error_exit = JpegErrorExit;
  err.Pub.output_message = JpegSilentMessage;
  if (setjmp(err.Jump)) {
    jpeg_destroy_decompress(&cinfo);
    return false;
  }
  jpeg_create_decompress(&cinfo);
  cinfo.mem->max_memory_to_use = 256L << 20;
  progress.progress_monitor = JpegProgress;
  cinfo.progress = &progress;
  jpeg_mem_src(&cinfo, data, static_cast<unsigned long>(size));
  if (jpeg_read_header(&cinfo, TRUE) != JPEG_HEADER_OK || !SizeAllowed(cinfo.image_width, cinfo.image_height)) {
    jpeg_destroy_decompress(&cinfo);
    return false;
  }
  cinfo.out_color_space = JCS_RGB;
  jpeg_start_decompress(&cinfo);
  if (cinfo.output_components != 3 || !SizeAllowed(cinfo.output_width, cinfo.output_height)) {
    jpeg_destroy_decompress(&cinfo);
    return false;
  }
  out->Image = TBitmap(static_cast<std::int32_t>(cinfo.output_width), static_cast<std::int32_t>(cinfo.output_height),
                       TPixelFormat::pf32bit);
  if (out->Image.Width() != static_cast<std::int32_t>(cinfo.output_width)) {
    jpeg_destroy_decompress(&cinfo);
    return false;
  }
  JSAMPARRAY row =
      (*cinfo.mem->alloc_sarray)(reinterpret_cast<j_common_ptr>(&cinfo), JPOOL_IMAGE, cinfo.output_width * 3, 1);
  while (cinfo.output_scanline < cinfo.output_height) {
    const auto y = static_cast<std::int32_t>(cinfo.output_scanline);
    if (jpeg_read_scanlines(&cinfo, row, 1) != 1) break;
    std::uint32_t* line = out->Image.ScanLine(y);
    const JSAMPLE* in = row[0];
    for (JDIMENSION x = 0; x < cinfo.output_width; ++x, in += 3) line[x] = Premultiply(in[0], in[1], in[2], 255);
  }
  jpeg_finish_decompress(&cinfo);
  jpeg_destroy_decompress(&cinfo);
  return true;
}

}  // namespace

std::unique_ptr<TGraphic> DecodeJpeg(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < 4) return nullptr;
  auto g = std::make_unique<TGraphic>();
  g->Kind = "jpg";
  if (!DecodeJpegPixels(bytes.data(), bytes.size(), g.get())) return nullptr;
  g->Source.assign(bytes.begin(), bytes.end());
  return g;
}

// ---- BMP: uncompressed 1, 4, 8, 16, 24 and 32 bits per pixel, with or
// without bit-field masks, bottom-up or top-down. Compressed files (RLE,
// embedded JPEG or PNG) give no picture.

namespace {

std::uint32_t Le32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) | (std::uint32_t{p[3]} << 24);
}
std::uint16_t Le16(const std::uint8_t* p) { return static_cast<std::uint16_t>(p[0] | (p[1] << 8)); }

// A bit-field channel: shift and width of the mask, value scaled to 0..255.
struct TChannel {
  std::uint32_t Mask = 0;
  int Shift = 0;
  int Bits = 0;
  explicit TChannel(std::uint32_t mask) : Mask(mask) {
    if (mask == 0) return;
    while (((mask >> Shift) & 1) == 0) ++Shift;
    while (Shift + Bits < 32 && ((mask >> (Shift + Bits)) & 1) != 0) ++Bits;
  }
  std::uint8_t Get(std::uint32_t v) const {
    if (Bits == 0) return 0;
    const std::uint32_t c = (v & Mask) >> Shift;
    const std::uint32_t max = Bits >= 32 ? 0xFFFFFFFFu : (1u << Bits) - 1;
    return static_cast<std::uint8_t>((static_cast<std::uint64_t>(c) * 255 + max / 2) / max);
  }
};

}  // namespace

std::unique_ptr<TGraphic> DecodeBmp(std::span<const std::uint8_t> bytes) {
  const std::uint8_t* d = bytes.data();
  const std::size_t size = bytes.size();
  if (size < 26 || d[0] != 'B' || d[1] != 'M') return nullptr;
  const std::uint64_t offBits = Le32(d + 10);
  const std::uint32_t headerSize = Le32(d + 14);
  if (headerSize < 12 || 14 + std::uint64_t{headerSize} > size) return nullptr;
  const std::uint8_t* h = d + 14;
  std::int64_t width, height;
  std::uint32_t bpp, compression = 0, colorsUsed = 0;
  std::uint32_t masks[4] = {0, 0, 0, 0};
  std::size_t paletteEntry = 4;
  std::uint64_t pos = 14 + std::uint64_t{headerSize};
  if (headerSize == 12) {
    width = Le16(h + 4);
    height = static_cast<std::int16_t>(Le16(h + 6));
    bpp = Le16(h + 10);
    paletteEntry = 3;
  } else {
    if (headerSize < 40) return nullptr;
    width = static_cast<std::int32_t>(Le32(h + 4));
    height = static_cast<std::int32_t>(Le32(h + 8));
    bpp = Le16(h + 14);
    compression = Le32(h + 16);
    colorsUsed = Le32(h + 32);
    if (compression == 3 || compression == 6) {  // bit fields (with alpha: 6)
      const std::size_t count = compression == 6 ? 4 : 3;
      if (headerSize >= 40 + 4 * count) {
        for (std::size_t i = 0; i < count; ++i) masks[i] = Le32(h + 40 + 4 * i);
      } else {
        if (pos + 4 * count > size) return nullptr;
        for (std::size_t i = 0; i < count; ++i) masks[i] = Le32(d + pos + 4 * i);
        pos += 4 * count;
      }
      if (headerSize >= 56) masks[3] = Le32(h + 52);
    } else if (compression != 0) {
      return nullptr;
    }
  }
  const bool topDown = height < 0;
  if (topDown) height = -height;
  if (!SizeAllowed(width, height)) return nullptr;
  if (bpp != 1 && bpp != 4 && bpp != 8 && bpp != 16 && bpp != 24 && bpp != 32) return nullptr;
  if ((compression == 3 || compression == 6) && bpp != 16 && bpp != 32) return nullptr;
  // Palette for the indexed depths.
  std::vector<std::uint32_t> palette;
  if (bpp <= 8) {
    std::uint64_t count = colorsUsed != 0 ? colorsUsed : (1u << bpp);
    count = std::min<std::uint64_t>(count, 256);
    if (pos + count * paletteEntry > size) return nullptr;
    for (std::uint64_t i = 0; i < count; ++i) {
      const std::uint8_t* p = d + pos + i * paletteEntry;
      palette.push_back(Premultiply(p[2], p[1], p[0], 255));
    }
  }
  const std::uint64_t stride = (static_cast<std::uint64_t>(width) * bpp + 31) / 32 * 4;
  if (offBits > size || stride * static_cast<std::uint64_t>(height) > size - offBits) return nullptr;
  if (compression == 0) {
    if (bpp == 16) {
      masks[0] = 0x7C00;
      masks[1] = 0x03E0;
      masks[2] = 0x001F;
    } else if (bpp == 32) {
      masks[0] = 0x00FF0000;
      masks[1] = 0x0000FF00;
      masks[2] = 0x000000FF;
    }
  }
  const TChannel red(masks[0]), green(masks[1]), blue(masks[2]), alpha(masks[3]);
  auto g = NewGraphic("bmp", bytes, static_cast<std::int32_t>(width), static_cast<std::int32_t>(height));
  if (!g) return nullptr;
  for (std::int64_t row = 0; row < height; ++row) {
    const std::uint8_t* in = d + offBits + static_cast<std::uint64_t>(row) * stride;
    const auto y = static_cast<std::int32_t>(topDown ? row : height - 1 - row);
    std::uint32_t* out = g->Image.ScanLine(y);
    for (std::int64_t x = 0; x < width; ++x) {
      std::uint32_t pixel;
      if (bpp <= 8) {
        const std::uint64_t bit = static_cast<std::uint64_t>(x) * bpp;
        const std::uint32_t index = (in[bit / 8] >> (8 - bpp - bit % 8)) & ((1u << bpp) - 1);
        pixel = index < palette.size() ? palette[index] : 0xFF000000u;
      } else if (bpp == 24) {
        const std::uint8_t* p = in + x * 3;
        pixel = Premultiply(p[2], p[1], p[0], 255);
      } else {
        const std::uint32_t v = bpp == 16 ? Le16(in + x * 2) : Le32(in + x * 4);
        const std::uint8_t a = alpha.Bits != 0 ? alpha.Get(v) : 255;
        pixel = Premultiply(red.Get(v), green.Get(v), blue.Get(v), a);
      }
      out[x] = pixel;
    }
  }
  return g;
}

std::unique_ptr<TGraphic> DecodeGraphic(std::span<const std::uint8_t> bytes, std::string_view kind) {
  std::string k(kind);
  for (char& c : k) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (!k.empty() && k.front() == '.') k.erase(k.begin());
  if (bytes.empty()) return nullptr;
  if (k == "gif") return DecodeGif(bytes);
  if (k == "png") return DecodePng(bytes);
  if (k == "jpg" || k == "jpeg") return DecodeJpeg(bytes);
  return DecodeBmp(bytes);
}

void TGraphic::Draw(TCanvas& canvas, std::int32_t x, std::int32_t y) const {
  canvas.CopyRect(x, y, Image, Image.ClientRect());
}
