// The theme's stream form over damaged input: the first byte picks the
// entry class and the format version, the rest is read as entries until a
// record fails. Whatever loads is then painted, so odd field values (frame
// counts, frame widths, placements, fonts) go through the painters too.
#include <algorithm>

#include "fuzz/support/fuzz_support.h"
#include "gui/theme/default_theme.h"
#include "gui/theme/theme.h"
#include "gui/theme/theme_painters.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::uint8_t plan = data[0];
  TMemoryStream s(std::span<const std::uint8_t>(data + 1, size - 1));
  TSPTheme theme;
  TSPThemeControl* entry = nullptr;
  switch (plan % 3) {
    case 0:
      entry = theme.Knobs.Add();
      break;
    case 1:
      entry = theme.LEDs.Add();
      break;
    default:
      entry = theme.Buttons.Add();
      break;
  }
  const std::int32_t version = (plan & 0x80) != 0 ? 2 : kThemeStreamVersion;
  for (int i = 0; i < 8 && entry->LoadFromStream(s, version); ++i) {
    TBitmap dc(64, 48);
    TRect r = Bounds(8, 8, 40, 30), thumb, painted;
    if (auto* fader = dynamic_cast<TSPThemeFader*>(entry)) {
      DrawThemeFader(fader, dc.Canvas(), r, thumb, (plan >> 2) / 31.0, "0.5", "Cut", painted);
    } else {
      DrawThemeButton(entry, dc.Canvas(), r, (plan & 4) != 0, "Out", "In", painted);
      r = Bounds(4, 4, 50, 30);
      DrawThemeLabel(entry, dc.Canvas(), r, "Label");
      r = Bounds(4, 4, 50, 30);
      DrawThemeCaption(entry, dc.Canvas(), r, "Caption");
    }
  }
  return 0;
}

// Seeds: every entry of the built-in theme in its stream form (the skin's
// own pictures inside), for each class the first byte can pick.
TFuzzSeeds RumbleonFuzzSeeds() {
  TFuzzSeeds seeds;
  const TSPTheme& t = Themes().ThemeByIndex(0);
  auto add = [&seeds](const TSPThemeControlList& list, std::uint8_t plan) {
    for (int i = 0; i < list.Count(); ++i) {
      TMemoryStream s;
      s.Write(&plan, 1);
      list.Item(i)->SaveToStream(s);
      seeds.emplace_back(s.Bytes().begin(), s.Bytes().end());
    }
  };
  add(t.Knobs, 0 + 3 * 5);  // knobs at v 15/31
  add(t.VSliders, 3);
  add(t.LEDs, 1);
  add(t.Buttons, 2);
  add(t.ValueEdits, 5);
  add(t.Switches, 2);
  add(t.Labels, 2);
  add(t.Surfaces, 2);
  return seeds;
}
