#include "framework/core/sub_preset_format.h"

#include <algorithm>
#include <cctype>

#include "framework/base/file_names.h"

namespace {

// Smallest whole records, for bounding the counts before reading:
// "sPsT" + version + id + an empty name (u16 1, u8 0) + value count.
constexpr std::int64_t kMinItemBytes = 4 + 2 + 2 + 3 + 4;
// "SpGp" + version + id + count.
constexpr std::int64_t kMinGroupBytes = 4 + 2 + 2 + 4;

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

TReadResult Fail(TStream& s, std::int64_t start, std::string& error, std::string why) {
  s.SetPosition(start);
  error = std::move(why);
  return TReadResult::Damaged;
}

}  // namespace

std::int64_t WriteSubPresetItemRecord(TStream& s, std::int32_t groupId, const TSubPresetRec& item) {
  std::int64_t n = WriteMagic(s, kSubPresetItemMagic);
  n += WriteInt16(s, kSubPresetRecordVersion);
  n += WriteInt16(s, static_cast<std::int16_t>(groupId));
  n += WriteShortStr(s, ClampSubPresetName(item.Name));
  n += WriteInt32(s, static_cast<std::int32_t>(item.Values.size()));
  n += WriteValues(s, item.Values, false);
  return n;
}

std::int64_t WriteSubPresetGroupRecord(TStream& s, const TSubPresetGroupRec& group) {
  std::int64_t n = WriteMagic(s, kSubPresetGroupMagic);
  n += WriteInt16(s, kSubPresetRecordVersion);
  n += WriteInt16(s, static_cast<std::int16_t>(group.Id));
  n += WriteInt32(s, static_cast<std::int32_t>(group.SubPresets.size()));
  for (const TSubPresetRec& item : group.SubPresets) n += WriteSubPresetItemRecord(s, group.Id, item);
  return n;
}

std::int64_t WriteSubPresetBlock(TStream& s, const std::vector<std::unique_ptr<TSubPresetGroupRec>>& groups) {
  std::int64_t n = WriteMagic(s, kSubPresetBlockMagic);
  n += WriteInt16(s, kSubPresetRecordVersion);
  // The count is 16 bits wide; a plug-in has a handful of groups.
  const std::size_t count = std::min<std::size_t>(groups.size(), 0xFFFF);
  n += WriteInt16(s, static_cast<std::int16_t>(static_cast<std::uint16_t>(count)));
  for (std::size_t i = 0; i < count; ++i) n += WriteSubPresetGroupRecord(s, *groups[i]);
  return n;
}

TReadResult ParseSubPresetItem(TStream& s, TSubPresetItemImage& item, std::string& error) {
  const std::int64_t start = s.Position();
  if (!ReadMagic(s, kSubPresetItemMagic)) return TReadResult::Absent;
  std::int16_t version = 0, groupId = 0;
  std::string name;
  std::int32_t count = 0;
  if (!ReadInt16(s, version) || !ReadInt16(s, groupId)) return Fail(s, start, error, "a sub-preset ends early");
  if (!ReadShortStr(s, name)) return Fail(s, start, error, "a sub-preset's name is damaged");
  if (!ReadInt32(s, count)) return Fail(s, start, error, "a sub-preset ends early");
  TSubPresetItemImage read;
  std::string why;
  if (!ReadLoadedValues(s, count, false, read.Values, why))
    return Fail(s, start, error, "sub-preset \"" + name + "\": " + why);
  read.GroupId = groupId;
  read.Name = ClampSubPresetName(name);
  item = std::move(read);
  return TReadResult::Read;
}

TReadResult ParseSubPresetGroup(TStream& s, TSubPresetGroupImage& group, std::string& error) {
  const std::int64_t start = s.Position();
  if (!ReadMagic(s, kSubPresetGroupMagic)) return TReadResult::Absent;
  std::int16_t version = 0, groupId = 0;
  std::int32_t count = 0;
  if (!ReadInt16(s, version) || !ReadInt16(s, groupId) || !ReadInt32(s, count))
    return Fail(s, start, error, "a sub-preset group ends early");
  if (!CountFits(s, count, kMinItemBytes))
    return Fail(s, start, error,
                "sub-preset group " + std::to_string(groupId) + " declares " + std::to_string(count) +
                    " sub-presets, more than the bytes that remain hold");
  TSubPresetGroupImage read;
  read.GroupId = groupId;
  read.Items.resize(static_cast<std::size_t>(count));
  for (TSubPresetItemImage& item : read.Items) {
    std::string why;
    const TReadResult r = ParseSubPresetItem(s, item, why);
    if (r == TReadResult::Absent) why = "a sub-preset record is missing";
    if (r != TReadResult::Read)
      return Fail(s, start, error, "sub-preset group " + std::to_string(groupId) + ": " + why);
  }
  group = std::move(read);
  return TReadResult::Read;
}

TReadResult ParseSubPresetBlock(TStream& s, TSubPresetBlockImage& block, std::string& error) {
  const std::int64_t start = s.Position();
  if (!ReadMagic(s, kSubPresetBlockMagic)) return TReadResult::Absent;
  std::int16_t version = 0;
  std::uint16_t count = 0;
  if (!ReadInt16(s, version) || !ReadUInt16(s, count)) return Fail(s, start, error, "the sub-preset block ends early");
  if (!CountFits(s, count, kMinGroupBytes))
    return Fail(
        s, start, error,
        "the sub-preset block declares " + std::to_string(count) + " groups, more than the bytes that remain hold");
  TSubPresetBlockImage read;
  read.Groups.resize(count);
  for (TSubPresetGroupImage& group : read.Groups) {
    std::string why;
    const TReadResult r = ParseSubPresetGroup(s, group, why);
    if (r == TReadResult::Absent) why = "a sub-preset group record is missing";
    if (r != TReadResult::Read) return Fail(s, start, error, why);
  }
  block = std::move(read);
  return TReadResult::Read;
}

std::string ClampSubPresetName(std::string_view name) {
  std::string out = TrimText(name);
  if (out.size() > kSubPresetNameMax) out = TrimText(std::string_view(out).substr(0, kSubPresetNameMax));
  return out;
}

bool SameSubPresetName(std::string_view a, std::string_view b) { return Lower(TrimText(a)) == Lower(TrimText(b)); }

bool SubPresetGroupsInterchangeable(std::string_view a, std::string_view b) {
  auto sequencer = [](std::string_view name) {
    const std::string n = Lower(TrimText(name));
    return n == "sequencer1" || n == "sequencer2";
  };
  return sequencer(a) && sequencer(b);
}

std::string SubPresetSafeFileName(std::string_view name) { return SanitizeFileName(name); }
