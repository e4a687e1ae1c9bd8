#include "gui/theme/default_theme.h"

#include <string>

namespace {

constexpr const char* kPrefix = "SPTHEMESILVER_";

void LoadSkin(TSPThemeControlStyle& style, const char* name) { style.LoadImage(std::string(kPrefix) + name, "gif"); }

// Sets a style's font face and size, keeping its colour and style bits.
void SetFace(TSPThemeControlStyle& style, const char* name, std::int32_t size) {
  TThemeFont f = style.Font;
  f.Name = name;
  f.Size = size;
  style.SetFont(f);
}

void AddSurfaces(TSPTheme& t) {
  struct TRow {
    const char* Name;
    const char* Picture;
    TColor Light, Dark, Fill, Text;
  };
  static constexpr TRow kRows[] = {
      {"Default Surface", nullptr, 0x444444, 0x222222, 0x333333, 0xCCCCCC},
      {"Lighter Surface", nullptr, 0x555555, 0x333333, 0x444444, 0xDDDDDD},
      {"Darker Surface", nullptr, 0x222222, 0, 0x111111, 0xDDDDDD},
      {"Medium Gray Tiles", "SURFACEDEFAULT", 0x444444, 0x222222, 0x333333, 0xCCCCCC},
      {"Lighter Gray Tiles", "SURFACELIGHT", 0x555555, 0x333333, 0x444444, 0xDDDDDD},
      {"Darker Gray Tiles", "SURFACEDARK", 0x222222, 0, 0x111111, 0xDDDDDD},
      {"Medium Light", nullptr, 0x757575, 0x595959, 0x6E6767, 0xEEEEEE},
      {"Lighter Light", nullptr, 0x898989, 0x696969, 0x787878, 0},
      {"Darker Surface", nullptr, 0x656565, 0x555555, 0x575757, 0xEEEEEE},
  };
  for (const TRow& row : kRows) {
    TSPThemeSurface* e = t.Surfaces.Add();
    e->Name = row.Name;
    TSPThemeControlStyle& c = e->CaptionStyle;
    c.BeginUpdate();
    c.SetFrameWidth(1);
    c.SetTileH(1);
    c.SetTileV(1);
    c.SetFrameOnly(0);
    c.SetFrameLight(row.Light);
    c.SetFrameDark(row.Dark);
    c.SetFillColor(row.Fill);
    if (row.Picture != nullptr) LoadSkin(c, row.Picture);
    c.EndUpdate();
    e->ValueStyle.SetFont(MakeThemeFont("Trebuchet Ms", 9, row.Text, 1));
  }
}

void AddKnobs(TSPTheme& t) {
  struct TRow {
    const char* Name;
    const char* Picture;
    const char* Face;
    std::int32_t Size;
  };
  static constexpr TRow kRows[] = {
      {"Small Default Knob", "KNOBDEFAULTSMALL", "Small Fonts", 7},
      {"Default Knob", "KNOBDEFAULT", "Trebuchet Ms", 8},
      {"Big Default Knob", "KNOBDEFAULTBIG", "Trebuchet Ms", 8},
  };
  for (const TRow& row : kRows) {
    TSPThemeFader* e = t.Knobs.Add();
    e->Name = row.Name;
    e->Kind = 0;
    e->PointerColor = 0xDDDDDD;
    e->PointerWidth = 2;
    e->CaptionStyle.BeginUpdate();
    LoadSkin(e->CaptionStyle, row.Picture);
    e->CaptionStyle.SetFrames(48);
    e->CaptionStyle.SetFont(MakeThemeFont(row.Face, row.Size, 0xCCCCCC));
    e->CaptionStyle.EndUpdate();
    SetFace(e->ValueStyle, row.Face, row.Size);
  }
}

void AddSliders(TSPTheme& t, TSPThemeFaders& list, bool horizontal) {
  struct TRow {
    const char* Name;
    const char* CaptionFace;
    std::int32_t CaptionSize;
    const char* ValueFace;
    std::int32_t ValueSize;
    const char* Picture;
    const char* PictureH;
  };
  static constexpr TRow kRows[] = {
      {"Small Default Fader", "Small Fonts", 7, "Small Fonts", 7, "SLIDERDEFAULTVSMALL", "SLIDERDEFAULTHSMALL"},
      {"Medium Default Fader", "Arial", 8, "Small Fonts", 7, "SLIDERDEFAULTV", "SLIDERDEFAULTH"},
      {"Big Default Fader", "Arial", 8, "Arial", 8, "SLIDERDEFAULTVBIG", "SLIDERDEFAULTHBIG"},
  };
  (void)t;
  for (const TRow& row : kRows) {
    TSPThemeFader* e = list.Add();
    e->Name = row.Name;
    e->Kind = 1;
    e->SetDefaults();  // the slider's defaults now that Kind says so
    e->Horizontal = horizontal ? 1 : 0;
    TSPThemeControlStyle& c = e->CaptionStyle;
    c.BeginUpdate();
    LoadSkin(c, horizontal ? row.PictureH : row.Picture);
    c.SetFrames(48);
    SetFace(c, row.CaptionFace, row.CaptionSize);
    if (horizontal) {
      c.SetHAlign(0);
      c.SetVAlign(1);
    }
    c.EndUpdate();
    TSPThemeControlStyle& v = e->ValueStyle;
    v.BeginUpdate();
    SetFace(v, row.ValueFace, row.ValueSize);
    if (horizontal) {
      v.SetHAlign(2);
      v.SetVAlign(1);
    }
    v.EndUpdate();
  }
}

// An entry with an "off" (caption style) and an "on" (value style) picture.
template <typename TList>
auto* AddPair(TList& list, const char* name, const char* off, const char* on, const char* valueFace,
              std::int32_t valueSize, const char* captionFace, std::int32_t captionSize) {
  auto* e = list.Add();
  e->Name = name;
  e->CaptionStyle.BeginUpdate();
  LoadSkin(e->CaptionStyle, off);
  SetFace(e->CaptionStyle, captionFace, captionSize);
  e->CaptionStyle.EndUpdate();
  e->ValueStyle.BeginUpdate();
  LoadSkin(e->ValueStyle, on);
  SetFace(e->ValueStyle, valueFace, valueSize);
  e->ValueStyle.EndUpdate();
  return e;
}

void AddValueEdit(TSPTheme& t, const char* name, const char* suffix, const char* valueFace, std::int32_t valueSize,
                  TColor valueColor, const char* captionFace, std::int32_t captionSize, TColor captionColor,
                  TColor offText) {
  const std::string off = std::string("VALUEEDITDEFAULTOFF") + suffix, on = std::string("VALUEEDITDEFAULTON") + suffix;
  auto* e = AddPair(t.ValueEdits, name, off.c_str(), on.c_str(), valueFace, valueSize, captionFace, captionSize);
  e->ValueStyle.SetFont(MakeThemeFont(valueFace, valueSize, valueColor));
  e->ValueStyle.SetOffTextColor(offText);
  e->CaptionStyle.SetFont(MakeThemeFont(captionFace, captionSize, captionColor));
}

void AddMeters(TSPThemeVUMeters& list, const char* const names[3], const char* const pictures[3], std::int32_t frames) {
  static constexpr const char* kFaces[3] = {"Small Fonts", "Arial", "Trebuchet Ms"};
  static constexpr std::int32_t kSizes[3] = {7, 8, 9};
  for (int i = 0; i < 3; ++i) {
    TSPThemeVUMeter* e = list.Add();
    e->Name = names[i];
    e->Blend = 0;
    e->CaptionStyle.BeginUpdate();
    LoadSkin(e->CaptionStyle, pictures[i]);
    e->CaptionStyle.SetFrames(frames);
    e->CaptionStyle.SetFont(MakeThemeFont(kFaces[i], kSizes[i], 0xFFFFFF));
    e->CaptionStyle.EndUpdate();
    e->ValueStyle.SetFont(MakeThemeFont(kFaces[i], kSizes[i], 0xFFFFFF));
  }
}

}  // namespace

TSPTheme& BuildDefaultTheme(TSPThemes& themes) {
  auto theme = std::make_unique<TSPTheme>();
  TSPTheme& t = *theme;
  t.Name = "Quilm SP Theme";
  AddSurfaces(t);
  AddKnobs(t);
  AddSliders(t, t.VSliders, false);
  AddSliders(t, t.HSliders, true);

  AddPair(t.Switches, "Small Default Switch", "SWITCHDEFAULTOFFSMALL", "SWITCHDEFAULTONSMALL", "Small Fonts", 7,
          "Small Fonts", 7);
  AddPair(t.Switches, "Medium Default Switch", "SWITCHDEFAULTOFF", "SWITCHDEFAULTON", "Arial", 8, "Trebuchet Ms", 8);
  AddPair(t.Switches, "Big Default Switch", "SWITCHDEFAULTOFFBIG", "SWITCHDEFAULTONBIG", "Verdana", 9, "Arial", 9);

  AddValueEdit(t, "Small ValueEdit", "SMALL", "Tahoma", 8, 0x111111, "Arial", 8, 0xEEDDDD, 0);
  AddValueEdit(t, "Wide Small ValueEdit", "WIDESMALL", "Tahoma", 8, 0x111111, "Arial", 8, 0xEEDDDD, 0);
  AddValueEdit(t, "Medium ValueEdit", "", "Arial", 8, 0xFFFFFF, "Trebuchet Ms", 8, 0xEEEEEE, 0x008800);
  AddValueEdit(t, "Wide Medium ValueEdit", "WIDE", "Arial", 8, 0xFFFFFF, "Trebuchet Ms", 8, 0xEEEEEE, 0x008800);
  AddValueEdit(t, "Big ValueEdit", "BIG", "Verdana", 9, 0xFFFFFF, "Arial", 9, 0xEEEEEE, 0x008800);
  AddValueEdit(t, "Wide Big ValueEdit", "WIDEBIG", "Verdana", 9, 0xFFFFFF, "Arial", 9, 0xEEEEEE, 0x008800);

  AddPair(t.Buttons, "Small Default Button", "BUTTONDEFAULTOFFSMALL", "BUTTONDEFAULTONSMALL", "Small Fonts", 7,
          "Small Fonts", 7);
  AddPair(t.Buttons, "Medium Default Button", "BUTTONDEFAULTOFF", "BUTTONDEFAULTON", "Arial", 8, "Trebuchet Ms", 8);
  AddPair(t.Buttons, "Big Default Button", "BUTTONDEFAULTOFFBIG", "BUTTONDEFAULTONBIG", "Verdana", 9, "Arial", 9);

  struct TLabelRow {
    const char* Name;
    const char* Picture;
    std::int32_t Size;
  };
  static constexpr TLabelRow kLabels[] = {{"Default Small Label", "LABELDEFAULTSMALL", 9},
                                          {"Default Label", "LABELDEFAULT", 14},
                                          {"Default Big Label", "LABELDEFAULTBIG", 22}};
  for (const TLabelRow& row : kLabels) {
    TSPThemeLabel* e = t.Labels.Add();
    e->Name = row.Name;
    TSPThemeControlStyle& c = e->CaptionStyle;
    c.BeginUpdate();
    LoadSkin(c, row.Picture);
    c.SetTileH(1);
    c.SetTileV(1);
    c.EndUpdate();
    e->ValueStyle.SetFont(MakeThemeFont("Trebuchet Ms", row.Size, 0xCCCCCC));
  }

  static constexpr const char* kLedNames[3] = {"Small Default Led", "Medium Default Led", "Big Default Led"};
  static constexpr const char* kLedPictures[3] = {"LEDDEFAULTSMALL", "LEDDEFAULT", "LEDDEFAULTBIG"};
  AddMeters(t.LEDs, kLedNames, kLedPictures, 10);
  static constexpr const char* kVuNames[3] = {"Small Default VU", "Medium Default VU", "Big Default VU"};
  static constexpr const char* kVuV[3] = {"VUDEFAULTVSMALL", "VUDEFAULTV", "VUDEFAULTVBIG"};
  static constexpr const char* kVuH[3] = {"VUDEFAULTHSMALL", "VUDEFAULTH", "VUDEFAULTHBIG"};
  AddMeters(t.VVUMeters, kVuNames, kVuV, 25);
  AddMeters(t.HVUMeters, kVuNames, kVuH, 25);
  return themes.Add(std::move(theme));
}

TSPThemes& Themes() {
  static TSPThemes* const themes = [] {
    static TSPThemes list;
    BuildDefaultTheme(list);
    return &list;
  }();
  return *themes;
}

const std::vector<TSkinImageName>& SkinImageNames() {
  static const std::vector<TSkinImageName> names = [] {
    std::vector<TSkinImageName> v;
    auto add = [&v](const char* name, bool provided) { v.push_back({name, provided}); };
    for (const char* n : {"SURFACEDEFAULT",
                          "SURFACELIGHT",
                          "SURFACEDARK",
                          "KNOBDEFAULTSMALL",
                          "KNOBDEFAULT",
                          "KNOBDEFAULTBIG",
                          "SWITCHDEFAULTOFFSMALL",
                          "SWITCHDEFAULTONSMALL",
                          "SWITCHDEFAULTOFF",
                          "SWITCHDEFAULTON",
                          "VALUEEDITDEFAULTOFFSMALL",
                          "VALUEEDITDEFAULTONSMALL",
                          "VALUEEDITDEFAULTOFFWIDESMALL",
                          "VALUEEDITDEFAULTONWIDESMALL",
                          "VALUEEDITDEFAULTOFF",
                          "VALUEEDITDEFAULTON",
                          "VALUEEDITDEFAULTOFFWIDE",
                          "VALUEEDITDEFAULTONWIDE",
                          "VALUEEDITDEFAULTOFFBIG",
                          "VALUEEDITDEFAULTONBIG",
                          "VALUEEDITDEFAULTOFFWIDEBIG",
                          "VALUEEDITDEFAULTONWIDEBIG",
                          "BUTTONDEFAULTOFFSMALL",
                          "BUTTONDEFAULTONSMALL",
                          "BUTTONDEFAULTOFF",
                          "BUTTONDEFAULTON",
                          "BUTTONDEFAULTOFFBIG",
                          "BUTTONDEFAULTONBIG",
                          "LABELDEFAULTSMALL",
                          "LABELDEFAULT",
                          "LABELDEFAULTBIG"}) {
      add(n, true);
    }
    for (const char* n : {"SLIDERDEFAULTVSMALL", "SLIDERDEFAULTV", "SLIDERDEFAULTVBIG", "SLIDERDEFAULTHSMALL",
                          "SLIDERDEFAULTH", "SLIDERDEFAULTHBIG", "SWITCHDEFAULTOFFBIG", "SWITCHDEFAULTONBIG",
                          "LEDDEFAULTSMALL", "LEDDEFAULT", "LEDDEFAULTBIG", "VUDEFAULTVSMALL", "VUDEFAULTV",
                          "VUDEFAULTVBIG", "VUDEFAULTHSMALL", "VUDEFAULTH", "VUDEFAULTHBIG"}) {
      add(n, false);
    }
    return v;
  }();
  return names;
}
