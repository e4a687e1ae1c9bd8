// Parameter keys and values as the preset sources write them.
//
// A key names one of the instrument's parameters by its short name, the name
// the host shows. Many short names repeat (every filter has a "Cutoff"), so a
// key may carry the section the parameter belongs to, and a repeat inside a
// section its number:
//   "Seq1Steps"            a name no other parameter has
//   "Filter1L.Cutoff"      the one "Cutoff" of section Filter1L
//   "XFilter.Cutoff[3]"    the third "Cutoff" of section XFilter
// Case does not matter. `ListKeys` prints every parameter with the shortest
// key that names it.
//
// A value is written in the units the parameter's display text shows: a
// choice by its text ("BW LP", "Sine Bass", "Off"), a number in the unit of
// the text ("4.10 khz" or "4100 hz", "0.056" for a time shown in seconds,
// "50%"). TParamKeys finds the normalised value whose text shows it by
// asking the plug-in for texts, so the sources follow whatever the
// instrument displays.
#pragma once

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

class TDSPPluginX;

class TParamKeys {
 public:
  // Indexes the plug-in's parameter names (the plug-in must be built).
  explicit TParamKeys(TDSPPluginX& plugin);

  // The parameter a key names, or nullopt (error says why: unknown or
  // ambiguous, with the keys that would name the candidates).
  std::optional<std::int32_t> Find(std::string_view key, std::string& error) const;
  // The shortest key that names parameter id.
  std::string KeyOf(std::int32_t id) const;
  // The section parameter id belongs to ("" for none).
  std::string_view SectionOf(std::int32_t id) const;

  // The normalised value whose display text shows `value`, or nullopt (error
  // says why: no such choice, out of range, not a value the text can show).
  std::optional<float> ValueFor(std::int32_t id, std::string_view value, std::string& error) const;
  // The display text of a normalised value of parameter id.
  std::string TextOf(std::int32_t id, float normalised) const;

  // One line per named parameter: id, key, default text, range texts.
  void ListKeys(std::ostream& out) const;
  // The text of every whole value of parameter id (up to 2049 of them).
  void ListValues(std::int32_t id, std::ostream& out) const;

 private:
  struct TEntry {
    std::string Name;      // the short name, lower case
    std::int32_t Section;  // index into the section table, -1 for none
    std::int32_t Repeat;   // 1 for the first of its name in its section
  };
  std::string TextOfReal(std::int32_t id, float real) const;

  TDSPPluginX& Plugin;
  std::vector<TEntry> Entries;  // by parameter id
};

// "  Sine  Bass " -> "sine bass": lower case, blanks trimmed and single.
std::string FoldText(std::string_view text);
