// rumbleon-skingen OUTDIR: draws the editor's skin and writes one GIF file
// per image into OUTDIR (NAME.gif for the resource SPTHEMESILVER_NAME).
//
// One dark skin: charcoal surfaces with a fine grain, machined knobs with an
// amber value arc and a white pointer line, switches with an amber lamp that
// is dark when off, silver keys that light amber when pressed, dark display
// boxes with green figures (small ones light), and dark label strips. Sizes
// and frame counts are the ones the built-in theme reads: knob strips of 48
// frames in three sizes, pairs of off/on pictures, tiles for labels and
// surfaces. Everything is deterministic: the same build makes the same bytes.
#include <cairo.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "tools/skingen/gif_writer.h"

namespace {

constexpr double kPi = 3.14159265358979323846;

// Colours as 0xRRGGBB.
struct TRgb {
  double R, G, B;
};
constexpr TRgb Hex(std::uint32_t c) {
  return {((c >> 16) & 0xFF) / 255.0, ((c >> 8) & 0xFF) / 255.0, (c & 0xFF) / 255.0};
}

constexpr TRgb kAmber = Hex(0xFFA630);
constexpr TRgb kAmberHot = Hex(0xFFD27A);
constexpr std::uint32_t kPanel = 0x444444;  // what the knobs and switches sit on

void Source(cairo_t* cr, TRgb c, double a = 1) { cairo_set_source_rgba(cr, c.R, c.G, c.B, a); }

struct TCanvasImage {
  cairo_surface_t* Surface;
  cairo_t* Cr;
  int Width, Height;
  TCanvasImage(int w, int h) : Width(w), Height(h) {
    Surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, w, h);
    Cr = cairo_create(Surface);
  }
  ~TCanvasImage() {
    cairo_destroy(Cr);
    cairo_surface_destroy(Surface);
  }
  TCanvasImage(const TCanvasImage&) = delete;
  TCanvasImage& operator=(const TCanvasImage&) = delete;
};

bool WriteGif(const std::string& dir, const std::string& name, TCanvasImage& img, std::uint32_t matte) {
  cairo_surface_flush(img.Surface);
  const auto* pixels = reinterpret_cast<const std::uint32_t*>(cairo_image_surface_get_data(img.Surface));
  const TIndexedImage indexed =
      QuantizeImage(pixels, img.Width, img.Height, cairo_image_surface_get_stride(img.Surface), matte);
  const std::vector<std::uint8_t> bytes = EncodeGif(indexed);
  const std::string path = dir + "/" + name + ".gif";
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr || bytes.empty()) {
    if (f != nullptr) std::fclose(f);
    std::fprintf(stderr, "rumbleon-skingen: cannot write %s\n", path.c_str());
    return false;
  }
  const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && ok;
}

void RoundedRect(cairo_t* cr, double x, double y, double w, double h, double r) {
  r = std::min(r, std::min(w, h) / 2);
  cairo_new_sub_path(cr);
  cairo_arc(cr, x + w - r, y + r, r, -kPi / 2, 0);
  cairo_arc(cr, x + w - r, y + h - r, r, 0, kPi / 2);
  cairo_arc(cr, x + r, y + h - r, r, kPi / 2, kPi);
  cairo_arc(cr, x + r, y + r, r, kPi, 3 * kPi / 2);
  cairo_close_path(cr);
}

void VerticalGradient(cairo_t* cr, double y0, double y1, TRgb top, TRgb bottom) {
  cairo_pattern_t* p = cairo_pattern_create_linear(0, y0, 0, y1);
  cairo_pattern_add_color_stop_rgb(p, 0, top.R, top.G, top.B);
  cairo_pattern_add_color_stop_rgb(p, 1, bottom.R, bottom.G, bottom.B);
  cairo_set_source(cr, p);
  cairo_pattern_destroy(p);
}

// ---- knobs

// Angle of value v in Cairo's terms (0 = 3 o'clock, clockwise): 300 degrees
// of travel from 7 o'clock (v 0) over 12 (v 0.5) to 5 o'clock (v 1).
double KnobAngle(double v) { return (-150 + 300 * v - 90) * kPi / 180; }

void DrawKnobFrame(cairo_t* cr, double x0, double size, double v) {
  const double c = size / 2, cx = x0 + c, cy = c;
  const double ring = std::max(1.6, size * 0.085);  // width of the value ring
  const double ringR = c - ring / 2 - 0.6;
  const double bodyR = ringR - ring / 2 - std::max(1.0, size * 0.05);
  cairo_set_line_cap(cr, CAIRO_LINE_CAP_BUTT);
  // The groove of the whole travel.
  cairo_set_line_width(cr, ring);
  Source(cr, Hex(0x161616));
  cairo_arc(cr, cx, cy, ringR, KnobAngle(0), KnobAngle(1));
  cairo_stroke(cr);
  // The value arc in amber, a brighter core on the larger sizes.
  if (v > 0.0005) {
    Source(cr, kAmber);
    cairo_arc(cr, cx, cy, ringR, KnobAngle(0), KnobAngle(v));
    cairo_stroke(cr);
    if (size >= 30) {
      cairo_set_line_width(cr, ring * 0.35);
      Source(cr, kAmberHot, 0.8);
      cairo_arc(cr, cx, cy, ringR, KnobAngle(0), KnobAngle(v));
      cairo_stroke(cr);
    }
  }
  // Body: a dark skirt, then the machined cap lit from above.
  Source(cr, Hex(0x0C0C0C));
  cairo_arc(cr, cx, cy + size * 0.02, bodyR + 0.8, 0, 2 * kPi);
  cairo_fill(cr);
  cairo_pattern_t* cap = cairo_pattern_create_linear(0, cy - bodyR, 0, cy + bodyR);
  const TRgb top = Hex(0x6A6A6A), bottom = Hex(0x262626);
  cairo_pattern_add_color_stop_rgb(cap, 0, top.R, top.G, top.B);
  cairo_pattern_add_color_stop_rgb(cap, 1, bottom.R, bottom.G, bottom.B);
  cairo_set_source(cr, cap);
  cairo_arc(cr, cx, cy, bodyR, 0, 2 * kPi);
  cairo_fill(cr);
  cairo_pattern_destroy(cap);
  // The flat top face, slightly inset, with a soft sheen.
  const double faceR = bodyR * 0.80;
  cairo_pattern_t* face = cairo_pattern_create_radial(cx - faceR * 0.3, cy - faceR * 0.45, faceR * 0.1, cx, cy, faceR);
  const TRgb hi = Hex(0x545454), lo = Hex(0x303030);
  cairo_pattern_add_color_stop_rgb(face, 0, hi.R, hi.G, hi.B);
  cairo_pattern_add_color_stop_rgb(face, 1, lo.R, lo.G, lo.B);
  cairo_set_source(cr, face);
  cairo_arc(cr, cx, cy, faceR, 0, 2 * kPi);
  cairo_fill(cr);
  cairo_pattern_destroy(face);
  if (size >= 30) {
    cairo_set_line_width(cr, 1);
    Source(cr, Hex(0x7A7A7A), 0.55);
    cairo_arc(cr, cx, cy, faceR - 0.5, KnobAngle(-0.05), KnobAngle(0.4) - 0.6);
    cairo_stroke(cr);
  }
  // The pointer: a white line from near the centre to the rim of the cap.
  const double a = KnobAngle(v);
  const double inner = size >= 30 ? bodyR * 0.30 : bodyR * 0.15, outer = bodyR * 0.98;
  cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND);
  cairo_set_line_width(cr, std::max(1.5, size * 0.075));
  Source(cr, Hex(0xF4F4F4));
  cairo_move_to(cr, cx + inner * std::cos(a), cy + inner * std::sin(a));
  cairo_line_to(cr, cx + outer * std::cos(a), cy + outer * std::sin(a));
  cairo_stroke(cr);
}

bool Knob(const std::string& dir, const std::string& name, int size) {
  constexpr int kFrames = 48;
  TCanvasImage img(size * kFrames, size);
  for (int i = 0; i < kFrames; ++i) DrawKnobFrame(img.Cr, i * size, size, i / double(kFrames - 1));
  return WriteGif(dir, name, img, kPanel);
}

// ---- switches: a square key with a lamp

bool Switch(const std::string& dir, const std::string& name, int size, bool on) {
  TCanvasImage img(size, size);
  cairo_t* cr = img.Cr;
  const double inset = 0.5, r = size * 0.18;
  RoundedRect(cr, inset, inset, size - 2 * inset, size - 2 * inset, r);
  Source(cr, Hex(0x0D0D0D));
  cairo_fill(cr);
  const double b = std::max(1.5, size * 0.07);
  RoundedRect(cr, b, b, size - 2 * b, size - 2 * b, r * 0.8);
  if (on) VerticalGradient(cr, b, size - b, Hex(0x2C2C2C), Hex(0x3A3A3A));  // pressed in
  else VerticalGradient(cr, b, size - b, Hex(0x5A5A5A), Hex(0x2E2E2E));     // raised
  cairo_fill(cr);
  if (!on) {
    cairo_set_line_width(cr, 1);
    Source(cr, Hex(0x8A8A8A), 0.45);
    cairo_move_to(cr, b + r * 0.6, b + 0.5);
    cairo_line_to(cr, size - b - r * 0.6, b + 0.5);
    cairo_stroke(cr);
  }
  // The lamp.
  const double cx = size / 2.0, cy = size / 2.0, lr = size * 0.2;
  if (on) {
    cairo_pattern_t* glow = cairo_pattern_create_radial(cx, cy, lr * 0.5, cx, cy, lr * 2.3);
    cairo_pattern_add_color_stop_rgba(glow, 0, kAmber.R, kAmber.G, kAmber.B, 0.55);
    cairo_pattern_add_color_stop_rgba(glow, 1, kAmber.R, kAmber.G, kAmber.B, 0);
    cairo_set_source(cr, glow);
    RoundedRect(cr, b, b, size - 2 * b, size - 2 * b, r * 0.8);
    cairo_fill(cr);
    cairo_pattern_destroy(glow);
  }
  Source(cr, Hex(0x080808));
  cairo_arc(cr, cx, cy, lr + std::max(0.8, size * 0.035), 0, 2 * kPi);
  cairo_fill(cr);
  cairo_pattern_t* lamp = cairo_pattern_create_radial(cx - lr * 0.3, cy - lr * 0.35, lr * 0.1, cx, cy, lr);
  const TRgb c0 = on ? Hex(0xFFF0C8) : Hex(0x5A4030), c1 = on ? kAmber : Hex(0x2A1C14);
  cairo_pattern_add_color_stop_rgb(lamp, 0, c0.R, c0.G, c0.B);
  cairo_pattern_add_color_stop_rgb(lamp, 1, c1.R, c1.G, c1.B);
  cairo_set_source(cr, lamp);
  cairo_arc(cr, cx, cy, lr, 0, 2 * kPi);
  cairo_fill(cr);
  cairo_pattern_destroy(lamp);
  return WriteGif(dir, name, img, kPanel);
}

// ---- value-edit boxes: display windows; drawn opaque

void Box(cairo_t* cr, int w, int h, TRgb top, TRgb bottom, TRgb rim) {
  Source(cr, Hex(0x0A0A0A));
  cairo_rectangle(cr, 0, 0, w, h);
  cairo_fill(cr);
  VerticalGradient(cr, 1, h - 1, top, bottom);
  cairo_rectangle(cr, 1, 1, w - 2, h - 2);
  cairo_fill(cr);
  // An inner shadow along the top, a faint lit rim along the bottom.
  Source(cr, Hex(0x000000), 0.35);
  cairo_rectangle(cr, 1, 1, w - 2, 1);
  cairo_fill(cr);
  Source(cr, rim, 0.5);
  cairo_rectangle(cr, 1, h - 2, w - 2, 1);
  cairo_fill(cr);
}

bool ValueEdit(const std::string& dir, const std::string& name, int w, int h, bool light, bool on) {
  TCanvasImage img(w, h);
  if (light) {
    // Small boxes carry dark figures: a pale display, amber-lit when on.
    if (on) Box(img.Cr, w, h, Hex(0xFFC766), Hex(0xE8962E), Hex(0xFFE0A0));
    else Box(img.Cr, w, h, Hex(0xC9C7BF), Hex(0xA9A79F), Hex(0xE0DED6));
  } else {
    // Larger boxes carry green figures off and white figures on.
    if (on) Box(img.Cr, w, h, Hex(0x2E6B38), Hex(0x174222), Hex(0x5FAF6A));
    else Box(img.Cr, w, h, Hex(0x101A12), Hex(0x0A0F0B), Hex(0x2A3A2C));
    if (!on) {
      // A faint reflection across the upper half of the glass.
      Source(img.Cr, Hex(0xFFFFFF), 0.035);
      cairo_rectangle(img.Cr, 1, 2, w - 2, (h - 2) / 2.0 - 1);
      cairo_fill(img.Cr);
    }
  }
  return WriteGif(dir, name, img, 0);
}

// ---- buttons: silver keys (dark text) that light amber when pressed

bool Button(const std::string& dir, const std::string& name, int w, int h, bool on) {
  TCanvasImage img(w, h);
  cairo_t* cr = img.Cr;
  Source(cr, Hex(0x101010));
  cairo_rectangle(cr, 0, 0, w, h);
  cairo_fill(cr);
  if (on) {
    VerticalGradient(cr, 1, h - 1, Hex(0x1E1E1E), Hex(0x2C2C2C));
    cairo_rectangle(cr, 1, 1, w - 2, h - 2);
    cairo_fill(cr);
    const double bar = h >= 20 ? 3 : 2;
    Source(cr, kAmber);
    cairo_rectangle(cr, 2, h - 1 - bar, w - 4, bar);
    cairo_fill(cr);
    Source(cr, kAmber, 0.35);
    cairo_rectangle(cr, 1, 1, w - 2, h - 2);
    cairo_set_line_width(cr, 1);
    cairo_rectangle(cr, 1.5, 1.5, w - 3, h - 3);
    cairo_stroke(cr);
  } else {
    VerticalGradient(cr, 1, h - 1, Hex(0xD8D8D6), Hex(0x9C9C9A));
    cairo_rectangle(cr, 1, 1, w - 2, h - 2);
    cairo_fill(cr);
    Source(cr, Hex(0xF6F6F4), 0.9);
    cairo_rectangle(cr, 1, 1, w - 2, 1);
    cairo_fill(cr);
    Source(cr, Hex(0x6E6E6C), 0.8);
    cairo_rectangle(cr, 1, h - 2, w - 2, 1);
    cairo_fill(cr);
  }
  return WriteGif(dir, name, img, 0);
}

// ---- label strips: a dark display band, lighter at the top edge

bool Label(const std::string& dir, const std::string& name, int w, int h) {
  TCanvasImage img(w, h);
  cairo_t* cr = img.Cr;
  VerticalGradient(cr, 0, h, Hex(0x2A2A2A), Hex(0x141414));
  cairo_rectangle(cr, 0, 0, w, h);
  cairo_fill(cr);
  Source(cr, Hex(0x3C3C3C));
  cairo_rectangle(cr, 0, 0, w, 1);
  cairo_fill(cr);
  return WriteGif(dir, name, img, 0);
}

// ---- surface tiles: seamless grain around a base grey

std::uint32_t Hash(std::uint32_t x) {
  x ^= x >> 16;
  x *= 0x7FEB352Du;
  x ^= x >> 15;
  x *= 0x846CA68Bu;
  x ^= x >> 16;
  return x;
}
double Lattice(int x, int y, int periodX, int periodY, std::uint32_t seed) {
  x = ((x % periodX) + periodX) % periodX;
  y = ((y % periodY) + periodY) % periodY;
  return (Hash(static_cast<std::uint32_t>(x) * 73856093u ^ static_cast<std::uint32_t>(y) * 19349663u ^ seed) & 0xFFFF) /
             65535.0 * 2 -
         1;
}
// Smooth noise of cellsX x cellsY lattice cells over size x size pixels,
// repeating at the tile's edges.
double ValueNoise(double x, double y, int cellsX, int cellsY, int size, std::uint32_t seed) {
  const double fx = x * cellsX / size, fy = y * cellsY / size;
  const int ix = static_cast<int>(std::floor(fx)), iy = static_cast<int>(std::floor(fy));
  const double tx = fx - ix, ty = fy - iy;
  const double sx = tx * tx * (3 - 2 * tx), sy = ty * ty * (3 - 2 * ty);
  const double a = Lattice(ix, iy, cellsX, cellsY, seed), b = Lattice(ix + 1, iy, cellsX, cellsY, seed);
  const double c = Lattice(ix, iy + 1, cellsX, cellsY, seed), d = Lattice(ix + 1, iy + 1, cellsX, cellsY, seed);
  return (a + (b - a) * sx) * (1 - sy) + (c + (d - c) * sx) * sy;
}

bool Surface(const std::string& dir, const std::string& name, int base, bool weave, std::uint32_t seed) {
  constexpr int kSize = 160;
  TCanvasImage img(kSize, kSize);
  cairo_surface_flush(img.Surface);
  auto* data = cairo_image_surface_get_data(img.Surface);
  const int stride = cairo_image_surface_get_stride(img.Surface);
  for (int y = 0; y < kSize; ++y) {
    auto* row = reinterpret_cast<std::uint32_t*>(data + y * stride);
    for (int x = 0; x < kSize; ++x) {
      // Large soft clouds, fine grain and faint horizontal brushing (long
      // along x, fine across y).
      double v = base + 2.0 * ValueNoise(x, y, 4, 4, kSize, seed) + 1.0 * ValueNoise(x, y, 40, 40, kSize, seed + 1) +
                 1.4 * ValueNoise(x, y, 3, 80, kSize, seed + 2);
      if (weave) {
        // A twill of 4-pixel cells: alternate cells shade along their own axis.
        const int cx = x / 4, cy = y / 4;
        const bool across = ((cx + cy) & 1) == 0;
        const double t = across ? (x % 4) / 3.0 : (y % 4) / 3.0;
        v += (across ? 1.6 : -0.4) + 1.4 * std::sin(t * kPi);
      }
      const auto g = static_cast<std::uint32_t>(std::lround(std::fmin(255, std::fmax(0, v))));
      row[x] = 0xFF000000u | (g << 16) | (g << 8) | g;
    }
  }
  cairo_surface_mark_dirty(img.Surface);
  return WriteGif(dir, name, img, 0);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: rumbleon-skingen OUTDIR\n");
    return 2;
  }
  const std::string dir = argv[1];
  bool ok = true;
  ok &= Surface(dir, "SURFACEDEFAULT", 0x33, false, 11);
  ok &= Surface(dir, "SURFACELIGHT", 0x44, false, 23);
  ok &= Surface(dir, "SURFACEDARK", 0x11, true, 37);
  ok &= Knob(dir, "KNOBDEFAULTSMALL", 18);
  ok &= Knob(dir, "KNOBDEFAULT", 30);
  ok &= Knob(dir, "KNOBDEFAULTBIG", 48);
  for (bool on : {false, true}) {
    const std::string state = on ? "ON" : "OFF";
    ok &= Switch(dir, "SWITCHDEFAULT" + state + "SMALL", 18, on);
    ok &= Switch(dir, "SWITCHDEFAULT" + state, 30, on);
    ok &= ValueEdit(dir, "VALUEEDITDEFAULT" + state + "SMALL", 46, 12, true, on);
    ok &= ValueEdit(dir, "VALUEEDITDEFAULT" + state + "WIDESMALL", 60, 14, true, on);
    ok &= ValueEdit(dir, "VALUEEDITDEFAULT" + state, 42, 18, false, on);
    ok &= ValueEdit(dir, "VALUEEDITDEFAULT" + state + "WIDE", 64, 18, false, on);
    ok &= ValueEdit(dir, "VALUEEDITDEFAULT" + state + "BIG", 60, 24, false, on);
    ok &= ValueEdit(dir, "VALUEEDITDEFAULT" + state + "WIDEBIG", 80, 24, false, on);
    ok &= Button(dir, "BUTTONDEFAULT" + state + "SMALL", 44, 14, on);
    ok &= Button(dir, "BUTTONDEFAULT" + state, 56, 16, on);
    ok &= Button(dir, "BUTTONDEFAULT" + state + "BIG", 80, 24, on);
  }
  ok &= Label(dir, "LABELDEFAULTSMALL", 10, 64);
  ok &= Label(dir, "LABELDEFAULT", 7, 68);
  ok &= Label(dir, "LABELDEFAULTBIG", 9, 104);
  return ok ? 0 : 1;
}
