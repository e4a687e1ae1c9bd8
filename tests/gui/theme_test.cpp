// The theme model: entry lookup, style changes and caches, blend strips,
// the stream form (round trip, versions, damaged records) and the built-in
// theme with the skin images present.
#include <gtest/gtest.h>

#include <stdexcept>

#include "gui/theme/default_theme.h"
#include "gui/theme/theme.h"
#include "gui/widgets/draw_helpers.h"
#include "platform/resources.h"
#include "tools/skingen/gif_writer.h"

namespace {

// A decoded 10 x 10 picture of one colour with a 2 x 2 square of another.
TPicture SquarePicture(std::uint32_t ground, std::uint32_t square) {
  TBitmap b(10, 10, TPixelFormat::pf32bit);
  for (int y = 0; y < 10; ++y)
    for (int x = 0; x < 10; ++x) b.ScanLine(y)[x] = (x >= 4 && x < 6 && y >= 4 && y < 6) ? square : ground;
  TPicture p;
  p.Set(DecodeGif(EncodeGif(QuantizeImage(b.ScanLine(0), 10, 10, b.Stride(), 0))));
  return p;
}

struct TChangeCounter {
  int Count = 0;
  void Changed(TSPThemeControlStyle*) { ++Count; }
};

TEST(ThemeModel, StyleByIndexWrapsAndNeverFails) {
  TSPTheme theme;
  EXPECT_EQ(theme.Knobs.StyleByIndex(0), nullptr);  // empty list
  for (int i = 0; i < 3; ++i) theme.Knobs.Add()->Name = "k" + std::to_string(i);
  EXPECT_EQ(theme.Knobs.StyleByIndex(5)->Name, "k2");
  EXPECT_EQ(theme.Knobs.StyleByIndex(1)->Name, "k1");
  EXPECT_EQ(theme.Knobs.StyleByIndex(-1), nullptr);
  TSPThemes themes;
  EXPECT_THROW(themes.ThemeByIndex(0), std::out_of_range);
}

TEST(ThemeModel, ChangesInsideAnUpdateRebuildTheCacheOnce) {
  TSPThemeControlStyle style;
  TChangeCounter counter;
  style.OnChange = TMethod<void(TSPThemeControlStyle*)>::Bind<&TChangeCounter::Changed>(&counter);
  style.Picture = SquarePicture(0xFF202020u, 0xFFFFFFFFu);
  style.BeginUpdate();
  style.SetFillColor(0x123456);
  style.SetFrameWidth(3);
  style.SetTileH(1);
  EXPECT_EQ(counter.Count, 0);
  EXPECT_FALSE(style.Cache);
  style.EndUpdate();
  EXPECT_EQ(counter.Count, 1);
  ASSERT_TRUE(style.Cache);
  EXPECT_EQ(style.Cache->Width(), 10);
  // Transparent only stores; a disabled style ignores changes.
  style.SetTransparent(1);
  EXPECT_EQ(counter.Count, 1);
  style.Enabled = 0;
  style.SetFillColor(0);
  EXPECT_EQ(counter.Count, 1);
  // Placement saved around a paint is restored without a change.
  style.Enabled = 1;
  style.HAlign = 1;
  style.SavePlacement();
  style.HAlign = 2;
  style.RestorePlacement();
  EXPECT_EQ(style.HAlign, 1);
  EXPECT_EQ(counter.Count, 1);
}

TEST(ThemeModel, BlendStripStartsAtTheOffPictureAndBlendsOnlyTheDifferences) {
  TSPThemeControlStyle style;
  const TPicture off = SquarePicture(0xFF202020u, 0xFF000000u);
  const TPicture on = SquarePicture(0xFF202020u, 0xFFF0F0F0u);
  style.BuildBlendStrip(off, on, 24);
  ASSERT_TRUE(style.Cache);
  EXPECT_EQ(style.Cache->Width(), 240);
  EXPECT_EQ(style.Cache->Height(), 10);
  EXPECT_EQ(style.CachedFrames, 24);
  for (int y = 0; y < 10; ++y)
    for (int x = 0; x < 10; ++x) EXPECT_EQ(style.Cache->PixelColor(x, y), off.Get()->Image.PixelColor(x, y));
  // Frame 12 has the differing square half way; the rest stays the off picture.
  EXPECT_EQ(style.Cache->PixelColor(12 * 10 + 4, 4), RGBColor(120, 120, 120));
  EXPECT_EQ(style.Cache->PixelColor(12 * 10 + 1, 1), RGBColor(0x20, 0x20, 0x20));
  // The last frame is not yet the on picture.
  EXPECT_EQ(style.Cache->PixelColor(23 * 10 + 4, 4), RGBColor(230, 230, 230));
}

TEST(ThemeModel, LoadImageOfAMissingResourceKeepsThePicture) {
  TSPThemeControlStyle style;
  ASSERT_TRUE(style.LoadImage("SPTHEMESILVER_KNOBDEFAULT", "gif"));
  EXPECT_EQ(style.ImageName, "SPTHEMESILVER_KNOBDEFAULT.gif");
  EXPECT_FALSE(style.LoadImage("SPTHEMESILVER_NOSUCHIMAGE", "gif"));
  EXPECT_EQ(style.ImageName, "SPTHEMESILVER_KNOBDEFAULT.gif");
  EXPECT_EQ(style.Picture.Width(), 1440);
  // Present bytes of the wrong kind do not decode either.
  EXPECT_FALSE(style.LoadImage("SPTHEMESILVER_KNOBDEFAULTSMALL", "png"));
  EXPECT_EQ(style.Picture.Width(), 1440);
}

TEST(ThemeModel, NewEntriesCarryTheirClassDefaults) {
  TSPTheme theme;
  TSPThemeFader* fader = theme.Knobs.Add();
  // Created as a slider, styled as a knob: the defaults ran before Kind was set.
  EXPECT_EQ(fader->Kind, 1);
  EXPECT_EQ(fader->CaptionStyle.FrameLight, 0x777777u);
  EXPECT_EQ(fader->ValueStyle.FillColor, 0xFFFFFFu);
  fader->SetDefaults();
  EXPECT_EQ(fader->CaptionStyle.FrameLight, 0u);
  EXPECT_EQ(fader->ValueStyle.FrameOnly, 1);
  TSPThemeSwitch* sw = theme.Switches.Add();
  EXPECT_EQ(sw->ValueStyle.Font.Style, kFontBold | kFontUnderline);
  EXPECT_EQ(sw->ValueStyle.HAlign, 2);
  TSPThemeValueEdit* edit = theme.ValueEdits.Add();
  EXPECT_EQ(edit->ValueStyle.OffTextColor, 0xEEEEEEu);
  EXPECT_EQ(edit->ValueStyle.VAlign, 1);
  TSPThemeVUMeter* meter = theme.LEDs.Add();
  EXPECT_EQ(meter->CaptionStyle.FrameDark, 0x444444u);
  EXPECT_EQ(meter->ValueStyle.VAlign, 2);
  // Reset and Clear empty the pictures.
  edit->CaptionStyle.LoadImage("SPTHEMESILVER_BUTTONDEFAULTOFF", "gif");
  edit->Reset();
  EXPECT_TRUE(edit->CaptionStyle.Picture.Empty());
  EXPECT_EQ(edit->CaptionStyle.Frames, -1);
  edit->Name = "x";
  edit->Clear();
  EXPECT_TRUE(edit->Name.empty());
}

TEST(ThemeModel, VUMeterWithBlendPreparesAStripFromItsTwoPictures) {
  TSPTheme theme;
  TSPThemeVUMeter* meter = theme.VVUMeters.Add();
  meter->Blend = 1;
  meter->ValueStyle.Picture = SquarePicture(0xFF101010u, 0xFF00FF00u);
  meter->CaptionStyle.BeginUpdate();
  meter->CaptionStyle.Picture = SquarePicture(0xFF101010u, 0xFF003000u);
  meter->CaptionStyle.Frames = 1;
  meter->CaptionStyle.EndUpdate();
  ASSERT_TRUE(meter->CaptionStyle.Cache);
  EXPECT_EQ(meter->CaptionStyle.CachedFrames, 24);
  EXPECT_EQ(meter->CaptionStyle.Cache->Width(), 240);
}

std::vector<std::uint8_t> Saved(const TSPThemeControl& e) {
  TMemoryStream s;
  e.SaveToStream(s);
  return std::vector<std::uint8_t>(s.Bytes().begin(), s.Bytes().end());
}

TEST(ThemeModel, EntriesSurviveTheirStreamForm) {
  TSPTheme theme;
  TSPThemeFader* knob = theme.Knobs.Add();
  knob->Name = "  My Knob ";
  knob->Kind = 0;
  knob->PointerColor = 0x123456;
  knob->PointerWidth = 3;
  knob->CaptionStyle.LoadImage("SPTHEMESILVER_KNOBDEFAULTSMALL", "gif");
  knob->CaptionStyle.SetFrames(48);
  knob->ValueStyle.SetOffTextColor(0x00AA00);
  TThemeFont font = knob->ValueStyle.Font;
  font.Style = kFontBold | kFontStrikeOut;
  knob->ValueStyle.SetFont(font);
  const auto bytes = Saved(*knob);
  TSPThemeFader* copy = theme.Knobs.Add();
  TMemoryStream in(bytes);
  ASSERT_TRUE(copy->LoadFromStream(in, kThemeStreamVersion));
  EXPECT_EQ(in.Remaining(), 0);
  EXPECT_EQ(copy->Name, "My Knob");
  EXPECT_EQ(copy->Kind, 0);
  EXPECT_EQ(copy->PointerColor, 0x123456u);
  EXPECT_EQ(copy->PointerWidth, 3);
  EXPECT_EQ(copy->CaptionStyle.Frames, 48);
  EXPECT_EQ(copy->CaptionStyle.ImageName, "SPTHEMESILVER_KNOBDEFAULTSMALL.gif");
  ASSERT_TRUE(copy->CaptionStyle.Cache);
  EXPECT_EQ(copy->CaptionStyle.Cache->Width(), 864);
  EXPECT_EQ(copy->ValueStyle.OffTextColor, 0x00AA00u);
  EXPECT_EQ(copy->ValueStyle.Font, knob->ValueStyle.Font);
  EXPECT_EQ(Saved(*copy), bytes);

  // Version 2 records have no OffTextColor: reading one leaves it alone.
  TSPThemeValueEdit* edit = theme.ValueEdits.Add();
  edit->ValueStyle.SetOffTextColor(0x0000FF);
  TSPThemeValueEdit* older = theme.ValueEdits.Add();
  older->ValueStyle.SetOffTextColor(0x00FF00);
  TMemoryStream v2;
  WriteShortStr(v2, "old");
  TSPThemeControlStyle plain;
  for (int i = 0; i < 2; ++i) {
    TMemoryStream one;
    plain.SaveToStream(one);
    v2.Write(one.Memory(), one.Size() - 4);  // without the trailing OffTextColor
  }
  v2.SetPosition(0);
  ASSERT_TRUE(older->LoadFromStream(v2, 2));
  EXPECT_EQ(older->ValueStyle.OffTextColor, 0x00FF00u);
  EXPECT_EQ(older->Name, "old");
}

TEST(ThemeModel, DamagedStreamsChangeNothingAndBadPicturesFallBackToVectors) {
  TSPTheme theme;
  TSPThemeFader* knob = theme.Knobs.Add();
  knob->CaptionStyle.LoadImage("SPTHEMESILVER_KNOBDEFAULTSMALL", "gif");
  const auto bytes = Saved(*knob);
  TSPThemeFader* target = theme.Knobs.Add();
  target->Name = "kept";
  const auto before = Saved(*target);
  // Every truncation fails and leaves the entry and the stream position as they were.
  for (std::size_t n = 0; n < bytes.size(); n += (n < 64 || bytes.size() - n < 64) ? 1 : 97) {
    TMemoryStream in(std::span(bytes.data(), n));
    EXPECT_FALSE(target->LoadFromStream(in, kThemeStreamVersion)) << n;
    EXPECT_EQ(in.Position(), 0) << n;
  }
  EXPECT_EQ(Saved(*target), before);
  // A picture size beyond the bytes remaining is refused before reading.
  TMemoryStream lying;
  WriteShortStr(lying, "x");
  lying.Write("KWPPICTX", 8);
  WriteShortStr(lying, "a.gif");
  WriteInt32(lying, 1 << 30);
  lying.Write("GIF89a", 6);
  lying.SetPosition(0);
  EXPECT_FALSE(target->LoadFromStream(lying, kThemeStreamVersion));
  EXPECT_EQ(Saved(*target), before);
  // A whole record whose picture bytes are damaged loads without picture.
  std::vector<std::uint8_t> damaged = bytes;
  const std::size_t gifAt = 3 + 8 + 2 + 1 + std::string("SPTHEMESILVER_KNOBDEFAULTSMALL.gif").size() + 4;
  ASSERT_EQ(damaged[gifAt], 'G');
  for (std::size_t i = gifAt; i < gifAt + 40; ++i) damaged[i] = 0xFF;
  TMemoryStream in(damaged);
  ASSERT_TRUE(target->LoadFromStream(in, kThemeStreamVersion));
  EXPECT_TRUE(target->CaptionStyle.Picture.Empty());
  EXPECT_FALSE(target->CaptionStyle.Cache);
  EXPECT_TRUE(target->CaptionStyle.ImageName.empty());
}

// The built-in theme with every skin image present.
TEST(BuiltInTheme, HasEveryListAndEveryProvidedImageAtItsSize) {
  const TSPTheme& t = Themes().ThemeByIndex(0);
  EXPECT_EQ(t.Name, "Quilm SP Theme");
  EXPECT_EQ(t.Surfaces.Count(), 9);
  EXPECT_EQ(t.Knobs.Count(), 3);
  EXPECT_EQ(t.VSliders.Count(), 3);
  EXPECT_EQ(t.HSliders.Count(), 3);
  EXPECT_EQ(t.Switches.Count(), 3);
  EXPECT_EQ(t.ValueEdits.Count(), 6);
  EXPECT_EQ(t.Buttons.Count(), 3);
  EXPECT_EQ(t.Labels.Count(), 3);
  EXPECT_EQ(t.LEDs.Count(), 3);
  EXPECT_EQ(t.VVUMeters.Count(), 3);
  EXPECT_EQ(t.HVUMeters.Count(), 3);
  EXPECT_EQ(t.Envelopes.Count(), 0);
  EXPECT_EQ(t.Scopes.Count(), 0);
  EXPECT_EQ(t.Knobs.StyleByIndex(1)->Name, "Default Knob");
  EXPECT_EQ(t.Knobs.StyleByIndex(4)->Name, "Default Knob");

  struct TSize2 {
    const char* Name;
    int W, H;
  };
  const TSize2 sizes[] = {
      {"SURFACEDEFAULT", 160, 160},
      {"SURFACELIGHT", 160, 160},
      {"SURFACEDARK", 160, 160},
      {"KNOBDEFAULTSMALL", 864, 18},
      {"KNOBDEFAULT", 1440, 30},
      {"KNOBDEFAULTBIG", 2304, 48},
      {"SWITCHDEFAULTOFFSMALL", 18, 18},
      {"SWITCHDEFAULTONSMALL", 18, 18},
      {"SWITCHDEFAULTOFF", 30, 30},
      {"SWITCHDEFAULTON", 30, 30},
      {"VALUEEDITDEFAULTOFFSMALL", 46, 12},
      {"VALUEEDITDEFAULTONSMALL", 46, 12},
      {"VALUEEDITDEFAULTOFFWIDESMALL", 60, 14},
      {"VALUEEDITDEFAULTONWIDESMALL", 60, 14},
      {"VALUEEDITDEFAULTOFF", 42, 18},
      {"VALUEEDITDEFAULTON", 42, 18},
      {"VALUEEDITDEFAULTOFFWIDE", 64, 18},
      {"VALUEEDITDEFAULTONWIDE", 64, 18},
      {"VALUEEDITDEFAULTOFFBIG", 60, 24},
      {"VALUEEDITDEFAULTONBIG", 60, 24},
      {"VALUEEDITDEFAULTOFFWIDEBIG", 80, 24},
      {"VALUEEDITDEFAULTONWIDEBIG", 80, 24},
      {"BUTTONDEFAULTOFFSMALL", 44, 14},
      {"BUTTONDEFAULTONSMALL", 44, 14},
      {"BUTTONDEFAULTOFF", 56, 16},
      {"BUTTONDEFAULTON", 56, 16},
      {"BUTTONDEFAULTOFFBIG", 80, 24},
      {"BUTTONDEFAULTONBIG", 80, 24},
      {"LABELDEFAULTSMALL", 10, 64},
      {"LABELDEFAULT", 7, 68},
      {"LABELDEFAULTBIG", 9, 104},
  };
  int provided = 0;
  for (const TSkinImageName& n : SkinImageNames()) {
    const std::string name = std::string("SPTHEMESILVER_") + n.Name;
    auto g = LoadGraphicResource(name, "gif");
    EXPECT_EQ(static_cast<bool>(g), n.Provided) << name;
    if (!g) continue;
    ++provided;
    bool found = false;
    for (const TSize2& s : sizes) {
      if (std::string(s.Name) != n.Name) continue;
      found = true;
      EXPECT_EQ(g->Width(), s.W) << name;
      EXPECT_EQ(g->Height(), s.H) << name;
    }
    EXPECT_TRUE(found) << name;
  }
  EXPECT_EQ(provided, 31);

  // Entries with images hold them in their caches; the others have none.
  EXPECT_EQ(t.Knobs.StyleByIndex(0)->CaptionStyle.Cache->Width(), 864);
  EXPECT_EQ(t.Knobs.StyleByIndex(0)->CaptionStyle.Frames, 48);
  EXPECT_TRUE(t.Knobs.StyleByIndex(0)->CaptionStyle.Cache->Transparent);
  EXPECT_TRUE(t.Switches.StyleByIndex(1)->ValueStyle.Cache);
  EXPECT_FALSE(t.Switches.StyleByIndex(2)->CaptionStyle.Cache);
  EXPECT_FALSE(t.VSliders.StyleByIndex(0)->CaptionStyle.Cache);
  EXPECT_EQ(t.VSliders.At(0)->Kind, 1);
  EXPECT_EQ(t.HSliders.At(0)->Horizontal, 1);
  EXPECT_EQ(t.HSliders.StyleByIndex(0)->CaptionStyle.HAlign, 0);
  EXPECT_EQ(t.HSliders.StyleByIndex(0)->ValueStyle.HAlign, 2);
  EXPECT_FALSE(t.LEDs.StyleByIndex(0)->CaptionStyle.Cache);
  EXPECT_EQ(t.LEDs.StyleByIndex(0)->CaptionStyle.Frames, 10);
  EXPECT_EQ(t.VVUMeters.StyleByIndex(0)->CaptionStyle.Frames, 25);
  EXPECT_EQ(t.ValueEdits.StyleByIndex(2)->ValueStyle.OffTextColor, 0x008800u);
  EXPECT_EQ(t.ValueEdits.StyleByIndex(0)->ValueStyle.Font.Color, 0x111111u);
  EXPECT_EQ(t.Surfaces.StyleByIndex(5)->CaptionStyle.Cache->Width(), 160);
  EXPECT_EQ(t.Labels.StyleByIndex(1)->ValueStyle.Font.Size, 14);
}

}  // namespace
