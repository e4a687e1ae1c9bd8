#include "platform/draw/bitmap.h"

#include <cairo.h>

#include <algorithm>
#include <cstring>
#include <utility>

#include "platform/draw/canvas.h"

namespace {
cairo_format_t CairoFormat(TPixelFormat format) {
  return format == TPixelFormat::pf32bit ? CAIRO_FORMAT_ARGB32 : CAIRO_FORMAT_RGB24;
}
}  // namespace

TBitmap::TBitmap() = default;

TBitmap::TBitmap(std::int32_t width, std::int32_t height, TPixelFormat format) { Allocate(width, height, format); }

TBitmap::~TBitmap() {
  CanvasObj.reset();
  Release();
}

TBitmap::TBitmap(const TBitmap& other) { *this = other; }

TBitmap& TBitmap::operator=(const TBitmap& other) {
  if (this == &other) return *this;
  Allocate(other.W, other.H, other.Format);
  for (std::int32_t y = 0; y < H; ++y) std::memcpy(ScanLine(y), other.ScanLine(y), static_cast<std::size_t>(W) * 4);
  Transparent = other.Transparent;
  ExplicitKey = other.ExplicitKey;
  Key = other.Key;
  return *this;
}

TBitmap::TBitmap(TBitmap&& other) noexcept { *this = std::move(other); }

TBitmap& TBitmap::operator=(TBitmap&& other) noexcept {
  if (this == &other) return *this;
  Release();
  std::swap(Surf, other.Surf);
  std::swap(W, other.W);
  std::swap(H, other.H);
  Format = other.Format;
  Transparent = other.Transparent;
  ExplicitKey = other.ExplicitKey;
  Key = other.Key;
  PixelsTouched = other.PixelsTouched;
  ++other.Gen;
  return *this;
}

void TBitmap::Release() {
  if (Surf != nullptr) cairo_surface_destroy(Surf);
  Surf = nullptr;
  W = H = 0;
  ++Gen;
}

void TBitmap::Allocate(std::int32_t width, std::int32_t height, TPixelFormat format) {
  Release();
  width = std::clamp(width, 0, kMaxSide);
  height = std::clamp(height, 0, kMaxSide);
  if (static_cast<std::int64_t>(width) * height > kMaxPixels) height = static_cast<std::int32_t>(kMaxPixels / width);
  Format = format;
  if (width <= 0 || height <= 0) return;
  cairo_surface_t* s = cairo_image_surface_create(CairoFormat(format), width, height);
  if (cairo_surface_status(s) != CAIRO_STATUS_SUCCESS) {
    cairo_surface_destroy(s);
    return;
  }
  Surf = s;
  W = width;
  H = height;
  if (format == TPixelFormat::pf24bit) {
    for (std::int32_t y = 0; y < H; ++y) std::fill_n(ScanLine(y), W, 0xFFFFFFFFu);
  }
  // pf32bit surfaces start fully transparent (zeroed).
}

void TBitmap::SetSize(std::int32_t width, std::int32_t height) {
  if (width == W && height == H) return;
  TBitmap old;
  std::swap(old.Surf, Surf);
  std::swap(old.W, W);
  std::swap(old.H, H);
  Allocate(width, height, Format);
  const std::int32_t rows = std::min(H, old.H);
  const std::int32_t cols = std::min(W, old.W);
  for (std::int32_t y = 0; y < rows; ++y) std::memcpy(ScanLine(y), old.ScanLine(y), static_cast<std::size_t>(cols) * 4);
}

void TBitmap::SetPixelFormat(TPixelFormat format) {
  if (format == Format) return;
  TBitmap old(*this);
  Allocate(old.W, old.H, format);
  for (std::int32_t y = 0; y < H; ++y) {
    const std::uint32_t* src = old.ScanLine(y);
    std::uint32_t* dst = ScanLine(y);
    // Premultiplied values are the picture composited over black.
    for (std::int32_t x = 0; x < W; ++x) dst[x] = src[x] | 0xFF000000u;
  }
}

std::uint32_t* TBitmap::ScanLine(std::int32_t y) {
  if (Surf == nullptr || y < 0 || y >= H) return nullptr;
  cairo_surface_flush(Surf);
  PixelsTouched = true;
  return reinterpret_cast<std::uint32_t*>(cairo_image_surface_get_data(Surf) +
                                          static_cast<std::ptrdiff_t>(y) * cairo_image_surface_get_stride(Surf));
}

const std::uint32_t* TBitmap::ScanLine(std::int32_t y) const {
  if (Surf == nullptr || y < 0 || y >= H) return nullptr;
  cairo_surface_flush(Surf);
  return reinterpret_cast<const std::uint32_t*>(cairo_image_surface_get_data(Surf) +
                                                static_cast<std::ptrdiff_t>(y) * cairo_image_surface_get_stride(Surf));
}

std::int32_t TBitmap::Stride() const { return Surf != nullptr ? cairo_image_surface_get_stride(Surf) : 0; }

TBitmapPixels TBitmap::Pixels() const {
  TBitmapPixels p;
  if (Surf == nullptr) return p;
  p.Data = ScanLine(0);
  p.Width = W;
  p.Height = H;
  p.StrideBytes = Stride();
  p.Opaque = Format == TPixelFormat::pf24bit;
  return p;
}

TColor TBitmap::PixelColor(std::int32_t x, std::int32_t y) const {
  if (x < 0 || x >= W || y < 0 || y >= H) return clBlack;
  return PixelToColor(ScanLine(y)[x]);
}

std::uint8_t TBitmap::PixelAlpha(std::int32_t x, std::int32_t y) const {
  if (x < 0 || x >= W || y < 0 || y >= H) return 0;
  if (Format == TPixelFormat::pf24bit) return 255;
  return static_cast<std::uint8_t>(ScanLine(y)[x] >> 24);
}

TColor TBitmap::TransparentColor() const {
  if (ExplicitKey) return Key;
  return PixelColor(0, H - 1);
}

void TBitmap::SetTransparentColor(TColor rgb) {
  ExplicitKey = true;
  Key = ColorToRGB(rgb);
}

void TBitmap::SetTransparentColorAuto() { ExplicitKey = false; }

TCanvas& TBitmap::Canvas() {
  if (!CanvasObj) CanvasObj = std::make_unique<TCanvas>(*this);
  return *CanvasObj;
}

void TBitmap::BeginCairo() {
  if (Surf != nullptr && PixelsTouched) cairo_surface_mark_dirty(Surf);
  PixelsTouched = false;
}

void TBitmap::EndCairo() const {
  if (Surf != nullptr) cairo_surface_flush(Surf);
}

bool TBitmap::SaveToPngFile(const std::string& path) const {
  if (Surf == nullptr) return false;
  if (PixelsTouched) cairo_surface_mark_dirty(Surf);
  PixelsTouched = false;
  return cairo_surface_write_to_png(Surf, path.c_str()) == CAIRO_STATUS_SUCCESS;
}
