// Name lists: the display names of the choices a parameter can take, by
// index, for value texts and the editor's value menus; the list of
// {name, value} pairs those menus are filled from; and the key and scale
// helpers of diatonic tuning.
//
// The framework defines the lists that belong to it. Lists whose contents
// belong to the signal-processing classes (waveforms, filter types, ...)
// are defined there and registered here by identity, so value texts can show
// them without the framework depending on those classes. Out-of-range
// indices never fail: each list answers its default or an empty text.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// A name list: index -> display text. Must be callable from any thread.
using TNameListFunc = std::string (*)(std::int32_t index);

// The lists defined outside the framework, by identity.
enum class TNameListId : std::uint8_t {
  Waveform,         // waveform names by waveform index
  FilterType,       // filter names by filter type
  Shaper,           // shaper names by shaper type
  CurveLaw,         // curve law names
  DistortionCurve,  // distortion curve names (1..15)
  OctaveMode,       // sequencer octave modes (0..10)
  Interpolation,    // sample interpolation modes (0..4)
};
inline constexpr int kNameListIdCount = 7;

// Installs (or, with null, removes) the list for id. Normally done once
// while the binary is loaded, by the code that defines the list; safe from
// any thread at any time.
void RegisterNameList(TNameListId id, TNameListFunc list);
// The registered list, null when none is.
TNameListFunc RegisteredNameList(TNameListId id);
// The text of index in the registered list; false (text untouched) when no
// list is registered for id.
bool NameListText(TNameListId id, std::int32_t index, std::string& text);

// Registers a list when constructed: a namespace-scope object of this type
// in the .cpp that defines the list registers it at load time.
struct TNameListRegistration {
  TNameListRegistration(TNameListId id, TNameListFunc list) { RegisterNameList(id, list); }
};

// The framework's own lists.
// 0..3: "O(M(M(M)))", "O(M(M+M))", "O(M+M+M)", "O(M+M(M))"; other "None".
std::string GetFMAlgorithmName(std::int32_t index);
// Keys -7..7 (flats negative, sharps positive): "C-Flat" .. "C" .. "C-Sharp";
// other "Unknown".
std::string GetKeyName(std::int32_t key);
// 0 "To-Vel", 1 "To-1"; other empty.
std::string GetScaleByName(std::int32_t index);
// 0 "None", 1 "Default", 2 "Linear"; other empty.
std::string GetInterpModeName(std::int32_t index);
// 0..6: "Big1", "Big2", "Medium1", "Medium2", "Medium3", "Medium4", "Small";
// other empty.
std::string GetReverbModeName(std::int32_t index);
// 0 "Lvl", 1 "Oct", 2 "Lvl+Oct", 3 "None"; other empty.
std::string GetSequencerTargetModeName(std::int32_t index);

// {name, value} pairs in insertion order, filled from a parameter's choices
// for the editor's value menus.
struct TStrValueItem {
  std::string Name;
  std::int32_t Value = 0;
};

class TStrValueList {
 public:
  void AddValue(std::string_view name, std::int32_t value) { Items.push_back({std::string(name), value}); }
  // Item i; throws std::out_of_range outside 0..Count()-1.
  const TStrValueItem& GetItem(std::int32_t i) const;
  void Clear() { Items.clear(); }
  std::int32_t Count() const { return static_cast<std::int32_t>(Items.size()); }

 private:
  std::vector<TStrValueItem> Items;
};

// Keys and scales. A key is -7..7: the number of sharps, negative for flats.
// Pitch classes are 0..11 with 0 = C.

// Pitch class of the key's major tonic; keys outside -7..7 give 0 (C).
std::int32_t KeyRoot(std::int32_t key);
// The seven pitch classes of the key's major scale, from the tonic up.
void ScaleNotes(std::int32_t key, std::array<std::int32_t, 7>& notes);
// Whether the note's pitch class (negative notes included) is pitchClass.
bool NoteHasPitchClass(std::int32_t note, std::int32_t pitchClass);
bool IsNoteInScale(std::int32_t note, std::int32_t key);
// Semitones from note to the note `steps` scale degrees above it (below for
// negative steps), counting only notes of the key's scale and not the start
// note itself; 0 for steps = 0.
std::int32_t DiatonicOffset(std::int32_t key, std::int32_t steps, std::int32_t note);
