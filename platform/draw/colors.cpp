#include "platform/draw/colors.h"

#include <array>

namespace {
// One fixed scheme: light neutral greys for dialogs, blue selection.
constexpr std::array<TColor, 31> kSystemColors = {
    RGBColor(200, 200, 200),  // scroll bar
    RGBColor(58, 110, 165),   // desktop
    RGBColor(10, 36, 106),    // active caption
    RGBColor(128, 128, 128),  // inactive caption
    RGBColor(240, 240, 240),  // menu
    RGBColor(255, 255, 255),  // window
    RGBColor(0, 0, 0),        // window frame
    RGBColor(0, 0, 0),        // menu text
    RGBColor(0, 0, 0),        // window text
    RGBColor(255, 255, 255),  // caption text
    RGBColor(212, 208, 200),  // active border
    RGBColor(212, 208, 200),  // inactive border
    RGBColor(128, 128, 128),  // application work space
    RGBColor(51, 153, 255),   // highlight
    RGBColor(255, 255, 255),  // highlight text
    RGBColor(236, 233, 216),  // button face
    RGBColor(172, 168, 153),  // button shadow
    RGBColor(109, 109, 109),  // grey text
    RGBColor(0, 0, 0),        // button text
    RGBColor(216, 228, 248),  // inactive caption text
    RGBColor(255, 255, 255),  // button highlight
    RGBColor(113, 111, 100),  // 3-D dark shadow
    RGBColor(241, 239, 226),  // 3-D light
    RGBColor(0, 0, 0),        // tooltip text
    RGBColor(255, 255, 225),  // tooltip background
    RGBColor(181, 181, 181),  // (unused)
    RGBColor(0, 102, 204),    // hot-tracking
    RGBColor(61, 149, 255),   // gradient active caption
    RGBColor(157, 185, 235),  // gradient inactive caption
    RGBColor(51, 153, 255),   // menu highlight
    RGBColor(236, 233, 216),  // menu bar
};
}  // namespace

TColor ColorToRGB(TColor color) {
  if ((color & kSystemColorFlag) != 0) {
    const std::uint32_t index = color & 0xFF;
    return index < kSystemColors.size() ? kSystemColors[index] : clBlack;
  }
  return color & 0x00FFFFFF;
}
