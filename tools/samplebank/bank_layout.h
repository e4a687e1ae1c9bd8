// The layout of the built-in bass bank: its programs in program-number
// order and the zone roots every program is sampled at. The generator builds
// the bank from it and the tests check the loaded bank against it.
#pragma once

#include <cstdint>
#include <iterator>
#include <string>

struct TBankProgramName {
  const char* Name;   // program name (at most 47 characters)
  const char* Short;  // sample-name prefix (at most 11 characters)
};

inline constexpr TBankProgramName kBankPrograms[] = {
    {"Sine Bass", "Sine"},
    {"Sub Bass", "Sub"},
    {"Boom Sub", "Boom"},
    {"Triangle Bass", "Triangle"},
    {"Saw Bass", "Saw"},
    {"Square Bass", "Square"},
    {"Pulse Bass 25%", "Pulse25"},
    {"Pulse Bass 12%", "Pulse12"},
    {"Analog Resonant Bass", "AnalogRes"},
    {"Acid Saw", "AcidSaw"},
    {"Acid Square", "AcidSquare"},
    {"Acid Squelch", "Squelch"},
    {"Reese Bass", "Reese"},
    {"Dark Reese", "DarkReese"},
    {"FM Bell Bass", "FMBell"},
    {"FM Slap Bass", "FMSlap"},
    {"FM Tine Bass", "FMTine"},
    {"Picked Electric Bass", "Picked"},
    {"Fingered Electric Bass", "Fingered"},
    {"Muted Electric Bass", "Muted"},
    {"Slap Electric Bass", "Slap"},
    {"Upright Bass", "Upright"},
    {"Organ Bass", "Organ"},
    {"Growl Bass", "Growl"},
    {"Distorted Bass", "Distorted"},
    {"Fuzz Bass", "Fuzz"},
    {"Sync Bass", "Sync"},
    {"Synth Pluck Bass", "SynthPluck"},
    {"Vowel Bass", "Vowel"},
    {"Brass Bass", "Brass"},
};
inline constexpr std::int32_t kBankProgramCount = static_cast<std::int32_t>(std::size(kBankPrograms));

// Root keys: every 5 semitones through the bass range, every 6 above it.
inline constexpr std::int32_t kBankZoneRoots[] = {25, 30, 35, 40, 45, 50,  55,  60,  66,
                                                  72, 78, 84, 90, 96, 102, 108, 114, 120};
inline constexpr std::int32_t kBankZoneCount = static_cast<std::int32_t>(std::size(kBankZoneRoots));
inline constexpr std::int32_t kBankSampleCount = kBankProgramCount * kBankZoneCount;

// Key ranges tile 0..127: each zone reaches 2 semitones above its root and
// down to the key after the zone below.
constexpr std::int32_t BankZoneHighKey(std::int32_t zone) {
  return zone + 1 == kBankZoneCount ? 127
                                    : kBankZoneRoots[zone] + (kBankZoneRoots[zone + 1] - kBankZoneRoots[zone] - 1) / 2;
}
constexpr std::int32_t BankZoneLowKey(std::int32_t zone) { return zone == 0 ? 0 : BankZoneHighKey(zone - 1) + 1; }

// "C#1" style note names, 60 = C4.
inline std::string BankNoteName(std::int32_t key) {
  static const char* const kNames[12] = {"C", "C#", "D", "D#", "E", "F", "F#", "G", "G#", "A", "A#", "B"};
  return std::string(kNames[key % 12]) + std::to_string(key / 12 - 1);
}
