// The readable preset sources of the factory bank (resources/presets/*.txt).
//
//   # A comment runs from '#' (at the start or after a blank) to the line end.
//   [Deep Sub]                  a program: its name (at most 24 characters)
//   from = Plain Sine           start from a template or an earlier program
//   use = Reverb: Small Room    apply a sub-preset (in a sub-preset too, when
//                               its group's parameters all belong there)
//   OSC1 Patch = Sub Bass       a parameter by key, its value in display units
//
//   [Reverb: Small Room]        a sub-preset of the group "Reverb"
//   RvbTime = 0.40
//
//   [Template: Mono Acid]       settings that programs start from ("from"),
//                               not a program of its own
//
// A header "[Group: Name]" names a sub-preset when Group is one of the
// instrument's sub-preset groups ("Sequencers" stores one into both
// sequencer groups); "[Template: Name]" a template; every other header names
// a program. Programs, templates and sub-presets start from the parameters'
// defaults. Keys and values are
// explained in param_keys.h.
#pragma once

#include <string>
#include <vector>

struct TPresetLine {
  std::string Key;
  std::string Value;
  std::string Where;  // "file:line", for messages
};

struct TPresetItem {
  std::string Header;  // the text between the brackets, trimmed
  std::string Where;
  std::vector<TPresetLine> Lines;
};

// Appends the items of one source file; false (error says where and why)
// when the file cannot be read or a line is neither a header nor "key = value".
bool ParsePresetFile(const std::string& path, std::vector<TPresetItem>& items, std::string& error);
// The same for text already read (name is used in messages).
bool ParsePresetText(const std::string& text, const std::string& name, std::vector<TPresetItem>& items,
                     std::string& error);
