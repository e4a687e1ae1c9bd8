// The image decoders: each format decodes to the pixels that were encoded,
// a GIF keeps its transparent colour, and damaged files give no picture.
#include <gtest/gtest.h>

#include <cairo.h>

#include <cstdio>
// jpeglib.h needs FILE and size_t declared first.
#include <jpeglib.h>

#include "platform/draw/bitmap.h"
#include "platform/draw/graphic.h"
#include "tools/skingen/gif_writer.h"

namespace {

// A 6 x 4 test picture: left half red, right half blue, top-left pixel
// transparent (alpha 0) when withHole.
TBitmap TestPicture(bool withHole) {
  TBitmap b(6, 4, TPixelFormat::pf32bit);
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 6; ++x) b.ScanLine(y)[x] = x < 3 ? 0xFFFF0000u : 0xFF0000FFu;
  if (withHole) b.ScanLine(0)[0] = 0;
  return b;
}

std::vector<std::uint8_t> GifOf(const TBitmap& b) {
  return EncodeGif(QuantizeImage(b.ScanLine(0), b.Width(), b.Height(), b.Stride(), 0));
}

cairo_status_t AppendBytes(void* closure, const unsigned char* data, unsigned int length) {
  auto* out = static_cast<std::vector<std::uint8_t>*>(closure);
  out->insert(out->end(), data, data + length);
  return CAIRO_STATUS_SUCCESS;
}

std::vector<std::uint8_t> PngOf(TBitmap& b) {
  std::vector<std::uint8_t> out;
  b.BeginCairo();
  cairo_surface_write_to_png_stream(b.Surface(), AppendBytes, &out);
  return out;
}

std::vector<std::uint8_t> JpegOf(const TBitmap& b) {
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
  jpeg_set_quality(&cinfo, 100, TRUE);
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

void Put32(std::vector<std::uint8_t>& v, std::uint32_t x) {
  for (int i = 0; i < 4; ++i) v.push_back(static_cast<std::uint8_t>(x >> (8 * i)));
}
void Put16(std::vector<std::uint8_t>& v, std::uint16_t x) {
  v.push_back(static_cast<std::uint8_t>(x));
  v.push_back(static_cast<std::uint8_t>(x >> 8));
}

// A BMP file of the picture: bpp 24 (bottom-up) or 8 (top-down, palette).
std::vector<std::uint8_t> BmpOf(const TBitmap& b, int bpp) {
  const int w = b.Width(), h = b.Height();
  const int stride = (w * bpp + 31) / 32 * 4;
  const int paletteBytes = bpp == 8 ? 2 * 4 : 0;
  std::vector<std::uint8_t> v = {'B', 'M'};
  Put32(v, static_cast<std::uint32_t>(54 + paletteBytes + stride * h));
  Put32(v, 0);
  Put32(v, static_cast<std::uint32_t>(54 + paletteBytes));
  Put32(v, 40);
  Put32(v, static_cast<std::uint32_t>(w));
  Put32(v, static_cast<std::uint32_t>(bpp == 8 ? -h : h));
  Put16(v, 1);
  Put16(v, static_cast<std::uint16_t>(bpp));
  Put32(v, 0);
  Put32(v, static_cast<std::uint32_t>(stride * h));
  Put32(v, 2835);
  Put32(v, 2835);
  Put32(v, bpp == 8 ? 2 : 0);
  Put32(v, 0);
  if (bpp == 8) {
    Put32(v, 0x00FF0000);  // entry 0: red (B, G, R, 0 in the file)
    Put32(v, 0x000000FF);  // entry 1: blue
  }
  for (int row = 0; row < h; ++row) {
    const int y = bpp == 8 ? row : h - 1 - row;
    const std::uint32_t* in = b.ScanLine(y);
    std::vector<std::uint8_t> line(static_cast<std::size_t>(stride), 0);
    for (int x = 0; x < w; ++x) {
      if (bpp == 8) {
        line[x] = (in[x] & 0xFF) != 0 ? 1 : 0;
      } else {
        line[x * 3] = static_cast<std::uint8_t>(in[x]);
        line[x * 3 + 1] = static_cast<std::uint8_t>(in[x] >> 8);
        line[x * 3 + 2] = static_cast<std::uint8_t>(in[x] >> 16);
      }
    }
    v.insert(v.end(), line.begin(), line.end());
  }
  return v;
}

void ExpectRedBlue(const TGraphic& g, bool hole, int tolerance = 0) {
  ASSERT_EQ(g.Width(), 6);
  ASSERT_EQ(g.Height(), 4);
  for (int y = 0; y < 4; ++y)
    for (int x = 0; x < 6; ++x) {
      if (tolerance > 0 && (x == 2 || x == 3)) continue;  // lossy formats blur the edge
      if (hole && x == 0 && y == 0) {
        EXPECT_EQ(g.Image.PixelAlpha(0, 0), 0);
        continue;
      }
      const TColor c = g.Image.PixelColor(x, y);
      const TColor want = x < 3 ? RGBColor(255, 0, 0) : RGBColor(0, 0, 255);
      EXPECT_NEAR(GetRValue(c), GetRValue(want), tolerance) << x << "," << y;
      EXPECT_NEAR(GetBValue(c), GetBValue(want), tolerance) << x << "," << y;
      EXPECT_EQ(g.Image.PixelAlpha(x, y), 255);
    }
}

TEST(ImageDecoders, EachFormatDecodesItsPixels) {
  TBitmap picture = TestPicture(false);
  auto png = DecodeGraphic(PngOf(picture), "png");
  ASSERT_TRUE(png);
  EXPECT_EQ(png->Kind, "png");
  ExpectRedBlue(*png, false);
  auto gif = DecodeGraphic(GifOf(picture), "GIF");
  ASSERT_TRUE(gif);
  ExpectRedBlue(*gif, false);
  EXPECT_FALSE(gif->HasTransparentColor);
  auto jpg = DecodeGraphic(JpegOf(picture), "jpg");
  ASSERT_TRUE(jpg);
  ExpectRedBlue(*jpg, false, 40);
  for (int bpp : {8, 24}) {
    auto bmp = DecodeGraphic(BmpOf(picture, bpp), "bmp");
    ASSERT_TRUE(bmp) << bpp;
    EXPECT_EQ(bmp->Kind, "bmp");
    ExpectRedBlue(*bmp, false);
  }
  // Any other kind is read as a bitmap file; the source bytes are kept.
  const auto bytes = BmpOf(picture, 24);
  auto other = DecodeGraphic(bytes, "res");
  ASSERT_TRUE(other);
  EXPECT_EQ(other->Source, bytes);
  EXPECT_FALSE(DecodeGraphic(bytes, "png"));  // the kind decides, not the bytes
}

TEST(ImageDecoders, TransparentGifPixelsStayOutAndTheKeyColourIsKept) {
  TBitmap picture = TestPicture(true);
  auto gif = DecodeGif(GifOf(picture));
  ASSERT_TRUE(gif);
  ExpectRedBlue(*gif, true);
  EXPECT_TRUE(gif->HasTransparentColor);
  auto png = DecodePng(PngOf(picture));
  ASSERT_TRUE(png);
  ExpectRedBlue(*png, true);
  // Drawn onto a canvas the hole shows what was there.
  TBitmap target(6, 4);
  gif->Draw(target.Canvas(), 0, 0);
  EXPECT_EQ(target.PixelColor(0, 0), clWhite);
  EXPECT_EQ(target.PixelColor(1, 0), RGBColor(255, 0, 0));
}

TEST(ImageDecoders, DamagedFilesGiveNoPictureAtEveryCut) {
  TBitmap picture = TestPicture(true);
  const std::vector<std::pair<std::string, std::vector<std::uint8_t>>> files = {{"gif", GifOf(picture)},
                                                                                {"png", PngOf(picture)},
                                                                                {"jpg", JpegOf(picture)},
                                                                                {"bmp", BmpOf(picture, 24)},
                                                                                {"bmp", BmpOf(picture, 8)}};
  for (const auto& [kind, bytes] : files) {
    // Every truncation either decodes (a GIF or JPEG may end early and
    // still hold an image) or gives nothing; never a crash or a read past
    // the end (the sanitizer build checks that).
    for (std::size_t n = 0; n < bytes.size(); ++n) {
      auto g = DecodeGraphic(std::span(bytes.data(), n), kind);
      if (g) {
        EXPECT_EQ(g->Width(), 6) << kind << " cut at " << n;
        EXPECT_EQ(g->Height(), 4) << kind << " cut at " << n;
      }
    }
    // Flipped bytes through the whole file.
    for (std::size_t i = 0; i < bytes.size(); ++i) {
      std::vector<std::uint8_t> bad = bytes;
      bad[i] ^= 0xA5;
      auto g = DecodeGraphic(bad, kind);
      if (g) {
        EXPECT_LE(static_cast<std::int64_t>(g->Width()) * g->Height(), TBitmap::kMaxPixels);
      }
    }
  }
  // Headers that announce huge pictures are refused before any allocation.
  std::vector<std::uint8_t> bmp = BmpOf(picture, 24);
  bmp[18] = 0xFF;
  bmp[19] = 0xFF;
  bmp[20] = 0xFF;
  bmp[21] = 0x7F;
  EXPECT_FALSE(DecodeBmp(bmp));
  EXPECT_FALSE(DecodeGraphic({}, "gif"));
}

}  // namespace
