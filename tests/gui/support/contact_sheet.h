// A picture of every entry of a theme, drawn through the painters: knobs at
// 0, 0.5 and 1, switches off and on, value edits off and on, buttons,
// labels, surfaces, sliders, meters and the placeholder.
#pragma once

#include <memory>
#include <string>

#include "gui/theme/theme.h"
#include "platform/draw/bitmap.h"

std::unique_ptr<TBitmap> DrawContactSheet(const TSPTheme& theme);
// Where test pictures go: the build folder (RUMBLEON_BINARY_DIR), else the
// test program's own folder.
std::string TestOutputPath(const std::string& fileName);
