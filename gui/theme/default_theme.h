// The built-in theme and the process-wide theme list. The list is built the
// first time it is asked for (once per process, from the skin images among
// the binary's resources; an absent image leaves its entry to vector
// drawing) and freed when the binary is unloaded.
#pragma once

#include <vector>

#include "gui/theme/theme.h"

// The process-wide list of themes; theme 0 is the built-in one.
TSPThemes& Themes();

// Builds "Quilm SP Theme" with every list filled in the order the controls'
// style indexes count on, and adds it to themes. Never fails for missing
// images.
TSPTheme& BuildDefaultTheme(TSPThemes& themes);

// The names of the skin images the built-in theme asks for, each with
// whether the skin provides it (the others are left to vector drawing).
struct TSkinImageName {
  const char* Name;
  bool Provided;
};
const std::vector<TSkinImageName>& SkinImageNames();
