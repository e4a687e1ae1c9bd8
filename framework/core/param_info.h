// Parameter descriptors: what the plug-in knows about each of its
// parameters besides the value itself (display kind, range, default, MIDI
// mapping, names and where its editor control sits), and the builders the
// instrument layers fill them with.
//
// Values travel normalised (0..1); a normalised v stands for the real value
// Min + (Max - Min) * v.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

class TSPThemeGUIControl;

// Names, descriptions and help texts are short strings: at most 255
// characters (longer texts are cut by the builders).
inline constexpr std::size_t kShortStringMax = 255;

// MidiKind values: how MIDI reaches a parameter.
inline constexpr std::uint8_t kParamMidiController = 176;
inline constexpr std::uint8_t kParamMidiRpn = 20;

struct TParamInfoRec {
  std::uint16_t Kind = 0;   // display kind: selects the rule of FormatParamValue
  std::int32_t IntMin = 0;  // the range as integers
  std::int32_t IntMax = 0;
  float Min = 0.0f;  // the real range
  float Max = 1.0f;
  float Unit = 1.0f;
  float Step = 1.0f;          // real step of one editor click (1 for integers)
  float DefaultValue = 0.0f;  // normalised default
  float Value = 0.0f;         // normalised current value (used by global parameters)
  std::uint8_t Flags = 0;     // stored for the layers; nothing here reads it
  std::uint8_t MidiKind = 0;  // kParamMidiController or kParamMidiRpn
  std::uint16_t MidiNumber = 0;
  std::string Name;                  // short name, given to the host as the parameter's name
  std::string Description;           // longer name or value legend
  bool IsGlobal = false;             // the value lives in Value, the same in every program
  std::uint8_t PatchConversion = 0;  // how the design-patch import converts a stored value
  std::int32_t GuiLeft = -1;         // position of the editor control on its panel, -1 for none
  std::int32_t GuiTop = -1;
  std::int32_t GuiPanel = -1;                // editor panel index, -1 for none
  TSPThemeGUIControl* GuiControl = nullptr;  // the control bound to the parameter (not owned)
  std::int32_t GuiKind = -1;                 // editor control kind, -1 for none
  std::int32_t GuiTag = 0;                   // number handed to the editor control (its style index)
  std::string HelpText;                      // the control's hint / caption
  std::int32_t GuiFlags = 0;                 // option bits for the editor control

  // The normalised value of a real one, not clamped (0 for a degenerate range).
  float NormFromReal(float real) const;
  float RealFromNorm(float norm) const { return Min + (Max - Min) * norm; }
};

// (real - min) / (max - min), not clamped. A degenerate range (max = min)
// gives 0 instead of dividing by zero: every value of such a parameter is its
// one real value, and 0 keeps infinities and NaN out of programs and chunks.
float NormaliseParamValue(float real, float min, float max);

// Kind, name, flags, range (as integers and as floats), step, patch
// conversion and description; Unit := 1; DefaultValue and Value := the
// normalised default. Other fields are left as they are.
void InitFloatParamInfo(std::uint16_t kind, TParamInfoRec& info, std::string_view name, std::uint8_t flags,
                        std::int32_t defaultValue, std::int32_t intMin, std::int32_t intMax, float min, float max,
                        float step, std::uint8_t patchConversion, std::string_view description);

// An integer parameter: Min/Max are the integer range, Step 1, PatchConversion 0.
void InitIntParamInfo(std::uint16_t kind, TParamInfoRec& info, std::string_view name, std::uint8_t flags,
                      std::int32_t defaultValue, std::int32_t min, std::int32_t max, std::string_view description);

// InitIntParamInfo with a step of its own (for example 0.1 for a length in ticks).
void InitIntParamInfoEx(std::uint16_t kind, TParamInfoRec& info, std::string_view name, std::uint8_t flags,
                        std::int32_t defaultValue, std::int32_t min, std::int32_t max, float step,
                        std::string_view description);

// The editor fields: control kind, panel, position, tag, help text and flags.
void InitParamInfoExtra(TParamInfoRec& info, std::int32_t guiKind, std::int32_t guiPanel, std::int32_t guiTop,
                        std::int32_t guiLeft, std::int32_t guiTag, std::string_view helpText, std::int32_t guiFlags);

// The first kShortStringMax characters of text.
std::string ShortString(std::string_view text);
