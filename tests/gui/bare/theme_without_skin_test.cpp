// The built-in theme in a binary that carries none of the skin images:
// building never fails, no entry has a picture, and every painter draws its
// vector form (the contact sheet of that look goes to the build folder).
#include <gtest/gtest.h>

#include "gui/theme/default_theme.h"
#include "gui/theme/theme_painters.h"
#include "gui/widgets/draw_helpers.h"
#include "tests/gui/support/contact_sheet.h"

namespace {

TEST(BuiltInThemeWithoutImages, BuildsWithVectorFallbacksEverywhere) {
  for (const TSkinImageName& n : SkinImageNames()) {
    EXPECT_FALSE(LoadGraphicResource(std::string("SPTHEMESILVER_") + n.Name, "gif")) << n.Name;
  }
  const TSPTheme& t = Themes().ThemeByIndex(0);
  const TSPThemeControlList* lists[] = {&t.Switches, &t.HSliders,  &t.Knobs,    &t.VSliders, &t.Labels,    &t.HVUMeters,
                                        &t.LEDs,     &t.VVUMeters, &t.Surfaces, &t.Buttons,  &t.ValueEdits};
  int entries = 0;
  for (const TSPThemeControlList* list : lists) {
    for (int i = 0; i < list->Count(); ++i, ++entries) {
      const TSPThemeControl* e = list->Item(i);
      EXPECT_TRUE(e->CaptionStyle.Picture.Empty()) << e->Name;
      EXPECT_FALSE(e->CaptionStyle.Cache) << e->Name;
      EXPECT_FALSE(e->ValueStyle.Cache) << e->Name;
      EXPECT_TRUE(e->CaptionStyle.ImageName.empty()) << e->Name;
    }
  }
  EXPECT_EQ(entries, 9 + 3 * 9 + 6);
  EXPECT_EQ(t.Knobs.StyleByIndex(1)->CaptionStyle.Frames, 48);
}

TEST(BuiltInThemeWithoutImages, KnobsBecomeDialsWithPointersAndControlsKeepTheirSize) {
  const TSPTheme& t = Themes().ThemeByIndex(0);
  TBitmap dc(60, 60);
  dc.Canvas().FillRectColor(dc.ClientRect(), 0x444444);
  TRect r = Bounds(10, 10, 30, 30), thumb, painted;
  DrawThemeFader(t.Knobs.StyleByIndex(1), dc.Canvas(), r, thumb, 0.5, "", "", painted);
  EXPECT_EQ(r, Bounds(10, 10, 30, 30));
  EXPECT_EQ(dc.PixelColor(25, 15), TColor(0xDDDDDD));  // the pointer, straight up
  EXPECT_EQ(dc.PixelColor(25, 32), t.Knobs.StyleByIndex(1)->CaptionStyle.FillColor);
  // A button without picture fills the control's own rectangle.
  TRect b = Bounds(5, 5, 40, 14);
  DrawThemeButton(t.Buttons.StyleByIndex(1), dc.Canvas(), b, false, "", "Osc", painted);
  EXPECT_EQ(b, Bounds(5, 5, 40, 14));
  auto sheet = DrawContactSheet(t);
  EXPECT_TRUE(sheet->SaveToPngFile(TestOutputPath("gui-contact-sheet-vector.png")));
}

}  // namespace
