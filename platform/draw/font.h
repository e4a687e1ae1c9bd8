// Fonts of the drawing layer. A font is described as the editor asks for it
// (face name, height in pixels, weight, italic, underline, strike-out,
// character set) and drawn with a Debian font of close metrics: the face
// alias table maps the names the skin uses to installed families. The screen
// has a fixed 96 pixels per logical inch, so a skin measures the same on
// every machine and without a display.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

typedef struct _cairo_font_face cairo_font_face_t;
typedef struct _cairo_scaled_font cairo_scaled_font_t;

inline constexpr int kScreenPixelsPerInch = 96;

// What a font is asked for. Height < 0: the character height (em size) in
// pixels; > 0: the cell height (ascent + descent) in pixels; 0: a default
// of 12 pixels em size.
struct TLogFont {
  std::int32_t Height = 0;
  std::int32_t Weight = 400;  // 400 regular, 700 bold
  bool Italic = false;
  bool Underline = false;
  bool StrikeOut = false;
  std::uint8_t CharSet = 1;
  std::string FaceName;
};

// A created font: the request and the family that draws it. Immutable and
// shared: a canvas keeps the font it draws with alive.
class TFont {
 public:
  explicit TFont(const TLogFont& request);
  ~TFont();
  TFont(const TFont&) = delete;
  TFont& operator=(const TFont&) = delete;

  const TLogFont& Request() const { return Log; }
  // The installed family that draws this face.
  const std::string& Family() const { return FamilyName; }
  // The em size in pixels (for a positive cell height: the em size whose
  // cell has that height).
  double EmPixels() const { return Em; }
  bool Bold() const { return Log.Weight >= 600; }
  cairo_font_face_t* Face() const { return CairoFace; }
  // The font at its pixel size, for drawing and measuring.
  cairo_scaled_font_t* ScaledFont() const { return Scaled; }

 private:
  TLogFont Log;
  std::string FamilyName;
  double Em = 12;
  cairo_font_face_t* CairoFace = nullptr;
  cairo_scaled_font_t* Scaled = nullptr;
};

using TFontHandle = std::shared_ptr<const TFont>;

TFontHandle CreateFontIndirect(const TLogFont& request);

// The family drawing a face name: "Arial" and "MS Sans Serif" -> Liberation
// Sans, "Tahoma" and "Small Fonts" -> DejaVu Sans Condensed, "Verdana" ->
// DejaVu Sans, "Trebuchet MS" -> Open Sans; case does not matter; any other
// name -> Liberation Sans.
std::string ResolveFontFamily(std::string_view faceName);

// True when fontconfig has the family itself (not a substitute).
bool FontFamilyInstalled(std::string_view family);

// Vertical metrics in whole pixels, as text is laid out: the cell of a line
// is Ascent + Descent high, its top at the y given to TextOut.
struct TTextMetrics {
  std::int32_t Ascent = 0;
  std::int32_t Descent = 0;
  std::int32_t Height = 0;  // Ascent + Descent
};
TTextMetrics GetTextMetrics(const TFont& font);
