#include "framework/core/name_lists.h"

#include <atomic>
#include <stdexcept>

namespace {

// Registered lists. Atomic so a registration racing a value text on another
// thread is well defined; in practice they are written while loading.
std::atomic<TNameListFunc> RegisteredLists[kNameListIdCount];

// Text i of a fixed list, or fallback outside it.
template <std::size_t N>
std::string Pick(const char* const (&names)[N], std::int32_t i, const char* fallback) {
  if (i < 0 || static_cast<std::size_t>(i) >= N) return fallback;
  return names[i];
}

}  // namespace

void RegisterNameList(TNameListId id, TNameListFunc list) {
  const auto i = static_cast<std::size_t>(id);
  if (i < static_cast<std::size_t>(kNameListIdCount)) RegisteredLists[i].store(list, std::memory_order_release);
}

TNameListFunc RegisteredNameList(TNameListId id) {
  const auto i = static_cast<std::size_t>(id);
  if (i >= static_cast<std::size_t>(kNameListIdCount)) return nullptr;
  return RegisteredLists[i].load(std::memory_order_acquire);
}

bool NameListText(TNameListId id, std::int32_t index, std::string& text) {
  const TNameListFunc list = RegisteredNameList(id);
  if (!list) return false;
  text = list(index);
  return true;
}

std::string GetFMAlgorithmName(std::int32_t index) {
  static const char* const kNames[] = {"O(M(M(M)))", "O(M(M+M))", "O(M+M+M)", "O(M+M(M))"};
  return Pick(kNames, index, "None");
}

std::string GetKeyName(std::int32_t key) {
  static const char* const kNames[] = {"C-Flat", "G-Flat", "D-Flat", "A-Flat", "E-Flat", "B-Flat",  "F",      "C",
                                       "G",      "D",      "A",      "E",      "B",      "F-Sharp", "C-Sharp"};
  if (key < -7 || key > 7) return "Unknown";
  return kNames[key + 7];
}

std::string GetScaleByName(std::int32_t index) {
  static const char* const kNames[] = {"To-Vel", "To-1"};
  return Pick(kNames, index, "");
}

std::string GetInterpModeName(std::int32_t index) {
  static const char* const kNames[] = {"None", "Default", "Linear"};
  return Pick(kNames, index, "");
}

std::string GetReverbModeName(std::int32_t index) {
  static const char* const kNames[] = {"Big1", "Big2", "Medium1", "Medium2", "Medium3", "Medium4", "Small"};
  return Pick(kNames, index, "");
}

std::string GetSequencerTargetModeName(std::int32_t index) {
  static const char* const kNames[] = {"Lvl", "Oct", "Lvl+Oct", "None"};
  return Pick(kNames, index, "");
}

const TStrValueItem& TStrValueList::GetItem(std::int32_t i) const {
  if (i < 0 || i >= Count()) throw std::out_of_range("List index out of bounds (" + std::to_string(i) + ")");
  return Items[static_cast<std::size_t>(i)];
}

std::int32_t KeyRoot(std::int32_t key) {
  // Tonics by the circle of fifths: 0..7 sharps, then 1..7 flats.
  static const std::int32_t kSharps[] = {0, 7, 2, 9, 4, 11, 6, 1};
  static const std::int32_t kFlats[] = {5, 10, 3, 8, 1, 6, 11};
  if (key >= 0 && key <= 7) return kSharps[key];
  if (key >= -7 && key < 0) return kFlats[-key - 1];
  return 0;
}

void ScaleNotes(std::int32_t key, std::array<std::int32_t, 7>& notes) {
  static const std::int32_t kMajorSteps[] = {0, 2, 4, 5, 7, 9, 11};
  const std::int32_t root = KeyRoot(key);
  for (std::size_t i = 0; i < notes.size(); ++i) {
    std::int32_t n = root + kMajorSteps[i];
    if (n > 11) n -= 12;
    notes[i] = n;
  }
}

bool NoteHasPitchClass(std::int32_t note, std::int32_t pitchClass) { return ((note % 12) + 12) % 12 == pitchClass; }

bool IsNoteInScale(std::int32_t note, std::int32_t key) {
  std::array<std::int32_t, 7> notes;
  ScaleNotes(key, notes);
  for (const std::int32_t n : notes)
    if (NoteHasPitchClass(note, n)) return true;
  return false;
}

std::int32_t DiatonicOffset(std::int32_t key, std::int32_t steps, std::int32_t note) {
  if (steps == 0) return 0;
  const std::int64_t direction = steps > 0 ? 1 : -1;
  const std::int64_t target = steps > 0 ? std::int64_t{steps} : -std::int64_t{steps};
  std::array<std::int32_t, 7> scale;
  ScaleNotes(key, scale);
  auto inScale = [&scale](std::int64_t n) {
    const std::int64_t pc = ((n % 12) + 12) % 12;
    for (const std::int32_t s : scale)
      if (s == pc) return true;
    return false;
  };
  // Every octave holds exactly seven scale notes, so whole octaves are
  // skipped at once; the walk covers the last one at most.
  const std::int64_t octaves = (target - 1) / 7;
  std::int64_t d = direction * 12 * octaves;
  std::int64_t count = 7 * octaves;
  while (count < target) {
    d += direction;
    if (inScale(std::int64_t{note} + d)) ++count;
  }
  return static_cast<std::int32_t>(d);
}
