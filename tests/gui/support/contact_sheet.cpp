#include "tests/gui/support/contact_sheet.h"

#include <cstdlib>
#include <filesystem>

#include "gui/theme/theme_painters.h"
#include "gui/widgets/draw_helpers.h"

namespace {

void Heading(TCanvas& dc, int x, int y, const std::string& text) {
  dc.SetFont(CreateFontEx("Arial", 9, kFontBold, 1));
  dc.TextColor = RGBColor(0xFF, 0xA6, 0x30);
  dc.TransparentText = true;
  dc.TextOut(x, y, text);
}

}  // namespace

std::string TestOutputPath(const std::string& fileName) {
  const char* dir = std::getenv("RUMBLEON_BINARY_DIR");
  if (dir != nullptr && *dir != '\0') return std::string(dir) + "/" + fileName;
  // Run by hand: beside the test program (inside the build folder), never
  // in the current folder, which may be the source tree.
  std::error_code error;
  const auto self = std::filesystem::read_symlink("/proc/self/exe", error);
  if (!error) return (self.parent_path() / fileName).string();
  return (std::filesystem::temp_directory_path() / fileName).string();
}

std::unique_ptr<TBitmap> DrawContactSheet(const TSPTheme& theme) {
  auto sheet = std::make_unique<TBitmap>(1100, 770);
  TCanvas& dc = sheet->Canvas();
  // The body's tiled surface behind everything, panels on it.
  TRect body = sheet->ClientRect();
  DrawThemeLabel(theme.Surfaces.StyleByIndex(5), dc, body, "");
  auto panel = [&](const TRect& r, const char* title) {
    TRect p = r;
    theme.Surfaces.StyleByIndex(1)->PaintLabel(dc, p, "");
    TRect c = p;
    DrawThemeCaption(theme.Surfaces.StyleByIndex(1), dc, c, title);
  };

  // Knobs: three sizes at 0, 0.5 and 1.
  panel({10, 10, 640, 190}, "Knobs");
  const char* values[3] = {"0.00", "0.50", "1.00"};
  int x = 30;
  for (int size = 0; size < 3; ++size) {
    for (int i = 0; i < 3; ++i) {
      TRect r = Bounds(x, 60, 48, 48), thumb, painted;
      DrawThemeFader(theme.Knobs.StyleByIndex(size), dc, r, thumb, i * 0.5, values[i], "Cutoff", painted);
      x += size == 0 ? 40 : size == 1 ? 50 : 62;
    }
    x += 14;
  }
  // The vector knob (a knob entry without picture) beside them.
  Heading(dc, 30, 140, "vector knob:");
  for (int i = 0; i < 3; ++i) {
    TSPThemeFader vector;
    vector.Create();
    vector.Kind = 0;
    vector.Assign(*theme.Knobs.StyleByIndex(1));
    vector.CaptionStyle.ClearPicture();
    vector.CaptionStyle.RebuildCache();
    TRect r = Bounds(130 + i * 50, 135, 30, 30), thumb, painted;
    DrawThemeFader(&vector, dc, r, thumb, i * 0.5, "", "", painted);
  }

  // Switches off and on.
  panel({650, 10, 1090, 190}, "Switches");
  x = 670;
  for (int i = 0; i < theme.Switches.Count(); ++i) {
    for (bool off : {true, false}) {
      TRect r = Bounds(x, 60, 30, 30), thumb, painted;
      DrawThemeSwitch(theme.Switches.StyleByIndex(i), dc, r, true, thumb, 0, off, off ? "Off" : "On", {}, painted);
      x += 65;
    }
  }
  // Buttons off and on, with inside texts.
  Heading(dc, 670, 110, "buttons:");
  x = 670;
  for (int i = 0; i < theme.Buttons.Count(); ++i) {
    for (bool pressed : {false, true}) {
      TRect r = Bounds(x, 135 + i * 0, 56, 16), painted;
      DrawThemeButton(theme.Buttons.StyleByIndex(i), dc, r, pressed, "", pressed ? "Filter" : "Seq 1", painted);
      x += r.Width() + 6;
    }
  }

  // Value edits: off (a fader's box) and on (a pressed button switch).
  panel({10, 200, 1090, 300}, "Value edits");
  x = 30;
  for (int i = 0; i < theme.ValueEdits.Count(); ++i) {
    for (bool pressed : {false, true}) {
      TRect r = Bounds(x, 245, 40, 16), painted;
      DrawThemeButton(theme.ValueEdits.StyleByIndex(i), dc, r, pressed, "Glide", pressed ? "Mono" : "120.0", painted);
      x += r.Width() + 14;
    }
    x += 16;
  }

  // Labels and surfaces.
  panel({10, 310, 470, 520}, "Labels");
  for (int i = 0; i < theme.Labels.Count(); ++i) {
    TRect r = Bounds(30, 350 + i * 52, 420, i == 2 ? 60 : 40);
    if (i == 0) r = Bounds(30, 350, 210, 28);
    DrawThemeLabel(theme.Labels.StyleByIndex(i), dc, r, i == 0 ? "Rumbleon Deluxe" : "Sub Bass 1");
  }
  panel({480, 310, 1090, 520}, "Surfaces");
  for (int i = 0; i < theme.Surfaces.Count(); ++i) {
    TRect r = Bounds(500 + (i % 3) * 195, 345 + (i / 3) * 58, 185, 52);
    const TSPThemeControl* s = theme.Surfaces.StyleByIndex(i);
    DrawStyleBackground(s->CaptionStyle, dc, r);
    TRect c = r;
    DrawThemeCaption(s, dc, c, s->Name);
  }

  // Sliders (vector: the skin has no slider images), meters, placeholder.
  panel({10, 530, 1090, 760}, "Sliders, meters, placeholder");
  x = 40;
  for (int i = 0; i < theme.VSliders.Count(); ++i) {
    for (double v : {0.25, 0.8}) {
      TRect r = Bounds(x, 580, 12, 120), thumb, painted;
      DrawThemeFader(theme.VSliders.StyleByIndex(i), dc, r, thumb, v, "0.25", "Level", painted);
      x += 50;
    }
  }
  for (int i = 0; i < theme.HSliders.Count(); ++i) {
    TRect r = Bounds(400, 585 + i * 40, 160, 12), thumb, painted;
    DrawThemeFader(theme.HSliders.StyleByIndex(i), dc, r, thumb, 0.3 + 0.3 * i, "0.60", "Pan", painted);
  }
  // Meters draw only their frames: show them on the darkest surface.
  TRect dark = {640, 570, 1070, 650};
  theme.Surfaces.StyleByIndex(2)->PaintLabel(dc, dark, "");
  x = 660;
  const TSPThemeVUMeters* meters[3] = {&theme.LEDs, &theme.VVUMeters, &theme.HVUMeters};
  for (const TSPThemeVUMeters* list : meters) {
    for (int i = 0; i < list->Count(); ++i) {
      TRect r = list == &theme.HVUMeters ? Bounds(x, 585, 50, 10) : Bounds(x, 585, 12, list == &theme.LEDs ? 12 : 50);
      DrawStyleBackground(list->StyleByIndex(i)->CaptionStyle, dc, r);
      DrawStyleBackground(list->StyleByIndex(i)->ValueStyle, dc, InflateRect(r, -2, -2));
      x += r.Width() + 8;
    }
  }
  DrawNoThemeControl(dc, Bounds(660, 675, 120, 40));
  return sheet;
}
