#include "platform/draw/font.h"

#include <cairo.h>
#include <fontconfig/fontconfig.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cmath>
#include <mutex>

namespace {

struct TFaceAlias {
  const char* Face;
  const char* Family;
};

// Families of close metrics from Debian's font packages (fonts-liberation2,
// fonts-dejavu-core, fonts-dejavu-extra, fonts-open-sans).
constexpr std::array<TFaceAlias, 6> kFaceAliases = {{
    {"arial", "Liberation Sans"},
    {"ms sans serif", "Liberation Sans"},
    {"tahoma", "DejaVu Sans Condensed"},
    {"small fonts", "DejaVu Sans Condensed"},
    {"verdana", "DejaVu Sans"},
    {"trebuchet ms", "Open Sans"},
}};
constexpr const char* kDefaultFamily = "Liberation Sans";

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

cairo_font_options_t* TextOptions() {
  // Anti-aliased glyphs, hinted outlines, whole-pixel advances (so text
  // widths are integers, as the layout code expects).
  static cairo_font_options_t* options = [] {
    cairo_font_options_t* o = cairo_font_options_create();
    cairo_font_options_set_antialias(o, CAIRO_ANTIALIAS_GRAY);
    cairo_font_options_set_hint_style(o, CAIRO_HINT_STYLE_SLIGHT);
    cairo_font_options_set_hint_metrics(o, CAIRO_HINT_METRICS_ON);
    return o;
  }();
  return options;
}

}  // namespace

std::string ResolveFontFamily(std::string_view faceName) {
  std::string key = Lower(faceName);
  while (!key.empty() && key.back() == ' ') key.pop_back();
  while (!key.empty() && key.front() == ' ') key.erase(key.begin());
  for (const TFaceAlias& alias : kFaceAliases) {
    if (key == alias.Face) return alias.Family;
  }
  return kDefaultFamily;
}

bool FontFamilyInstalled(std::string_view family) {
  const std::string name(family);
  FcPattern* pattern = FcPatternCreate();
  FcPatternAddString(pattern, FC_FAMILY, reinterpret_cast<const FcChar8*>(name.c_str()));
  FcConfigSubstitute(nullptr, pattern, FcMatchPattern);
  FcDefaultSubstitute(pattern);
  FcResult result = FcResultNoMatch;
  FcPattern* match = FcFontMatch(nullptr, pattern, &result);
  bool found = false;
  if (match != nullptr) {
    FcChar8* value = nullptr;
    for (int i = 0; !found && FcPatternGetString(match, FC_FAMILY, i, &value) == FcResultMatch; ++i) {
      found = Lower(reinterpret_cast<const char*>(value)) == Lower(name);
    }
    FcPatternDestroy(match);
  }
  FcPatternDestroy(pattern);
  return found;
}

TFont::TFont(const TLogFont& request) : Log(request), FamilyName(ResolveFontFamily(request.FaceName)) {
  CairoFace =
      cairo_toy_font_face_create(FamilyName.c_str(), Log.Italic ? CAIRO_FONT_SLANT_ITALIC : CAIRO_FONT_SLANT_NORMAL,
                                 Bold() ? CAIRO_FONT_WEIGHT_BOLD : CAIRO_FONT_WEIGHT_NORMAL);
  if (Log.Height < 0) {
    Em = -static_cast<double>(Log.Height);
  } else if (Log.Height > 0) {
    // A cell height: the em size whose ascent + descent is that height.
    cairo_matrix_t m, identity;
    cairo_matrix_init_scale(&m, 100, 100);
    cairo_matrix_init_identity(&identity);
    cairo_scaled_font_t* probe = cairo_scaled_font_create(CairoFace, &m, &identity, TextOptions());
    cairo_font_extents_t e;
    cairo_scaled_font_extents(probe, &e);
    cairo_scaled_font_destroy(probe);
    const double cell = e.ascent + e.descent;
    Em = cell > 0 ? Log.Height * 100.0 / cell : Log.Height;
  } else {
    Em = 12;
  }
  Em = std::clamp(Em, 1.0, 1000.0);
  cairo_matrix_t m, identity;
  cairo_matrix_init_scale(&m, Em, Em);
  cairo_matrix_init_identity(&identity);
  Scaled = cairo_scaled_font_create(CairoFace, &m, &identity, TextOptions());
}

TFont::~TFont() {
  if (Scaled != nullptr) cairo_scaled_font_destroy(Scaled);
  if (CairoFace != nullptr) cairo_font_face_destroy(CairoFace);
}

TFontHandle CreateFontIndirect(const TLogFont& request) { return std::make_shared<const TFont>(request); }

TTextMetrics GetTextMetrics(const TFont& font) {
  cairo_font_extents_t e;
  cairo_scaled_font_extents(font.ScaledFont(), &e);
  TTextMetrics m;
  m.Ascent = static_cast<std::int32_t>(std::lround(e.ascent));
  m.Descent = static_cast<std::int32_t>(std::lround(e.descent));
  m.Height = m.Ascent + m.Descent;
  return m;
}

#if defined(RUMBLEON_SANITIZED)
// Cairo's toy font faces keep one fontconfig pattern per distinct face that
// LeakSanitizer cannot reach at exit (a fixed amount, not one per font made:
// a thousand fonts of four faces leave the same bytes as four). It is the
// library's, not ours: leave it out of the leak reports of every binary that
// draws text.
extern "C" __attribute__((visibility("default"))) const char* __lsan_default_suppressions() {
  return "leak:libfontconfig.so\n";
}
#endif
