// Sub-presets: named sets of values for one group of parameters (one effect,
// the effects rack as a whole, one sequencer), their records and the files
// they travel in. Little-endian, each record with a 16-bit version (2) after
// its magic:
//
//   "sPsT" sub-preset (also the whole of a ".spi" file)
//     "sPsT" | i16 version | i16 group id | u16 n = name length + 1, u8 name
//     length, name characters (the trimmed name) | i32 value count | value
//     count floats (normalised, in the group's parameter order)
//   "SpGp" group (also the whole of a ".spf" file)
//     "SpGp" | i16 version | i16 group id | i32 sub-preset count | that many
//     "sPsT" records
//   "SuBpRe" block (after the programs of a bank chunk)
//     "SuBpRe" | i16 version | u16 group count | that many "SpGp" records
//
// The parsers here only read: they check every count against the bytes that
// remain and give an image of what they read, which the plug-in applies once
// the whole input has proved sound.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "framework/base/streams.h"
#include "framework/core/chunk_reading.h"

inline constexpr std::string_view kSubPresetItemMagic = "sPsT";
inline constexpr std::string_view kSubPresetGroupMagic = "SpGp";
inline constexpr std::string_view kSubPresetBlockMagic = "SuBpRe";
inline constexpr std::int16_t kSubPresetRecordVersion = 2;
// Names are kept to this many characters (a 40-byte field in the stored form
// of older versions).
inline constexpr std::size_t kSubPresetNameMax = 36;
// Group and current names are short strings.
inline constexpr std::size_t kSubPresetGroupNameMax = 255;
// The largest files the loaders take; anything longer is refused before it
// is read. A sub-preset file holds one value per parameter of its group (the
// whole effects rack, the largest group of our instruments, is a few hundred
// values: under 3 KB); a bank file one group's sub-presets, a few hundred
// of those at most. Files of the other plug-ins of the family are alike.
inline constexpr std::int64_t kSubPresetFileMax = std::int64_t{1} << 20;       // ".spi": 1 MiB
inline constexpr std::int64_t kSubPresetBankFileMax = std::int64_t{64} << 20;  // ".spf": 64 MiB

// One sub-preset: its name and one normalised value per group parameter.
struct TSubPresetRec {
  std::string Name;
  std::vector<float> Values;
};

// A group: the parameters its sub-presets cover, in the order they were
// added, and the sub-presets. CurrentName is the name last applied or stored,
// offered when the next one is stored.
struct TSubPresetGroupRec {
  std::int32_t Id = 0;
  std::string Name;
  std::vector<std::int32_t> Params;
  std::vector<TSubPresetRec> SubPresets;
  std::string CurrentName;
};

// What a "sPsT" record holds: the group id it names, its name (trimmed, at
// most 36 characters) and every value it carries (clamped to 0..1).
struct TSubPresetItemImage {
  std::int32_t GroupId = 0;
  std::string Name;
  std::vector<float> Values;
};

struct TSubPresetGroupImage {
  std::int32_t GroupId = 0;
  std::vector<TSubPresetItemImage> Items;
};

struct TSubPresetBlockImage {
  std::vector<TSubPresetGroupImage> Groups;
};

// Writers; each answers the bytes written.
std::int64_t WriteSubPresetItemRecord(TStream& s, std::int32_t groupId, const TSubPresetRec& item);
std::int64_t WriteSubPresetGroupRecord(TStream& s, const TSubPresetGroupRec& group);
std::int64_t WriteSubPresetBlock(TStream& s, const std::vector<std::unique_ptr<TSubPresetGroupRec>>& groups);

// Readers. Absent: the magic is not at the stream's position (the stream
// stays there). Damaged: error says why; the stream is back where the record
// began. Surplus values of a record are read with it, so the next record
// follows in step.
TReadResult ParseSubPresetItem(TStream& s, TSubPresetItemImage& item, std::string& error);
TReadResult ParseSubPresetGroup(TStream& s, TSubPresetGroupImage& group, std::string& error);
TReadResult ParseSubPresetBlock(TStream& s, TSubPresetBlockImage& block, std::string& error);

// The name as sub-presets keep it: trimmed, at most 36 characters.
std::string ClampSubPresetName(std::string_view name);
// Trimmed names equal ignoring case.
bool SameSubPresetName(std::string_view a, std::string_view b);
// The two sequencers' groups take each other's banks: true when both names,
// trimmed and in lower case, are "sequencer1" or "sequencer2".
bool SubPresetGroupsInterchangeable(std::string_view a, std::string_view b);
// A proposed file name: each of ? \ / : * " < > | replaced by "_".
std::string SubPresetSafeFileName(std::string_view name);
