// Sub-preset groups of the plug-in core: declaring groups, storing and
// applying sub-presets, and reading and writing their records and files.
//
// Readers parse the whole record first and without the instance lock; a
// refusal or a damaged record is reported (the message routines, outside the
// lock: a dialog when the editor's menu asked, stderr otherwise) and changes
// nothing. Only the change of a group's list, and applying, hold the
// lock. Group names and parameter lists are fixed once the plug-in is built,
// so they are read without it.
#include <algorithm>

#include "framework/base/messages.h"
#include "framework/core/dsp_plugin_x.h"

namespace {

constexpr const char* kNotThisGroupItem = "That sub-preset file is not for this sub-preset group.";
constexpr const char* kNotThisGroupBank = "The sub-preset bank is not for this sub-preset group.";

std::string ClampGroupText(std::string_view text) {
  return std::string(text.substr(0, std::min(text.size(), kSubPresetGroupNameMax)));
}

// The file's bytes in memory when it is a file of that kind, at most
// maxBytes long; false with a message otherwise (nothing more is read than
// its magic, or nothing).
bool ReadWholeFile(const std::string& path, std::string_view magic, std::string_view kind, std::int64_t maxBytes,
                   TMemoryStream& bytes) {
  const TFileLoadResult r = LoadFileBounded(path, maxBytes, magic, bytes);
  if (r.Ok()) return true;
  ShowMessage(TMessageKind::Error, FileLoadMessage(path, r, kind, maxBytes));
  return false;
}

// Written beside the target and renamed into place: a failed write leaves
// the file that was there.
bool WriteWholeFile(const std::string& path, const TMemoryStream& bytes) {
  if (bytes.SaveToFile(path)) return true;
  ShowMessage(TMessageKind::Error, "The file \"" + path + "\" could not be written.");
  return false;
}

}  // namespace

void TDSPPluginX::AddSubPresetGroup(std::int32_t id, std::string_view name) {
  auto group = std::make_unique<TSubPresetGroupRec>();
  group->Id = id;
  group->Name = ClampGroupText(name);
  TProgramDataGuard guard(*this);
  SubPresetGroups.push_back(std::move(group));
}

void TDSPPluginX::AddSubPresetToGroup(std::int32_t groupId, std::int32_t param) {
  TProgramDataGuard guard(*this);
  if (TSubPresetGroupRec* group = FindSubPresetGroup(groupId)) group->Params.push_back(param);
}

TSubPresetGroupRec* TDSPPluginX::FindSubPresetGroup(std::int32_t id) {
  for (const auto& group : SubPresetGroups)
    if (group->Id == id) return group.get();
  return nullptr;
}

void TDSPPluginX::ApplySubPreset(std::int32_t groupId, std::int32_t index) {
  TPluginLockGuard guard(*this);
  TProgramDataGuard data(*this);
  TSubPresetGroupRec* group = FindSubPresetGroup(groupId);
  if (group == nullptr || index < 0 || index >= static_cast<std::int32_t>(group->SubPresets.size())) return;
  const TSubPresetRec& preset = group->SubPresets[static_cast<std::size_t>(index)];
  group->CurrentName = preset.Name;
  const std::size_t count = std::min(group->Params.size(), preset.Values.size());
  for (std::size_t k = 0; k < count; ++k) SetParameterValue(group->Params[k], preset.Values[k]);
}

std::int32_t TDSPPluginX::StoreSubPreset(std::int32_t groupId) {
  std::string name;
  {
    TProgramDataGuard guard(*this);
    const TSubPresetGroupRec* group = FindSubPresetGroup(groupId);
    if (group == nullptr) return -1;
    name = group->CurrentName;
  }
  if (!AskText("Save Sub Preset", "Name...", name)) return -1;
  return StoreSubPresetAs(groupId, name);
}

std::int32_t TDSPPluginX::StoreSubPresetAs(std::int32_t groupId, std::string_view name) {
  const std::string stored = ClampSubPresetName(name);
  if (stored.empty()) return -1;
  TProgramDataGuard guard(*this);
  TSubPresetGroupRec* group = FindSubPresetGroup(groupId);
  if (group == nullptr) return -1;
  auto& list = group->SubPresets;
  auto it =
      std::find_if(list.begin(), list.end(), [&](const TSubPresetRec& p) { return SameSubPresetName(p.Name, stored); });
  if (it == list.end()) it = list.insert(list.end(), TSubPresetRec{});
  it->Name = stored;
  it->Values.resize(group->Params.size());
  for (std::size_t k = 0; k < group->Params.size(); ++k) it->Values[k] = GetParameterValue(group->Params[k]);
  group->CurrentName = ClampGroupText(TrimText(name));
  return static_cast<std::int32_t>(it - list.begin());
}

std::int64_t TDSPPluginX::WriteSubPresets(TStream& stream) {
  TProgramDataGuard guard(*this);
  return WriteSubPresetBlock(stream, SubPresetGroups);
}

std::int64_t TDSPPluginX::WriteSubPresetGroup(TStream& stream, std::int32_t groupId) {
  TProgramDataGuard guard(*this);
  const TSubPresetGroupRec* group = FindSubPresetGroup(groupId);
  return group != nullptr ? WriteSubPresetGroupRecord(stream, *group) : 0;
}

std::int64_t TDSPPluginX::WriteSubPresetItem(TStream& stream, std::int32_t groupId, std::int32_t index) {
  TProgramDataGuard guard(*this);
  const TSubPresetGroupRec* group = FindSubPresetGroup(groupId);
  if (group == nullptr || index < 0 || index >= static_cast<std::int32_t>(group->SubPresets.size())) return 0;
  return WriteSubPresetItemRecord(stream, group->Id, group->SubPresets[static_cast<std::size_t>(index)]);
}

TSubPresetRec TDSPPluginX::MakeSubPreset(const TSubPresetGroupRec& group, const TSubPresetItemImage& item) {
  TSubPresetRec preset;
  preset.Name = item.Name;
  preset.Values.resize(group.Params.size());
  for (std::size_t k = 0; k < group.Params.size(); ++k)
    preset.Values[k] = k < item.Values.size() ? item.Values[k] : GetParameterValue(group.Params[k]);
  return preset;
}

void TDSPPluginX::ApplySubPresetBlock(const TSubPresetBlockImage& block, bool clear) {
  TProgramDataGuard guard(*this);
  for (const TSubPresetGroupImage& image : block.Groups) {
    // A group this plug-in does not have: its records were read and are dropped.
    TSubPresetGroupRec* group = FindSubPresetGroup(image.GroupId);
    if (group == nullptr) continue;
    if (clear) group->SubPresets.clear();
    for (const TSubPresetItemImage& item : image.Items) group->SubPresets.push_back(MakeSubPreset(*group, item));
  }
}

bool TDSPPluginX::ReadSubPresets(TStream& stream, bool clear) {
  TSubPresetBlockImage block;
  std::string error;
  const TReadResult r = ParseSubPresetBlock(stream, block, error);
  if (r == TReadResult::Damaged)
    ShowMessage(TMessageKind::Error, "The sub-presets could not be loaded: " + error + ".");
  if (r != TReadResult::Read) return false;
  ApplySubPresetBlock(block, clear);
  return true;
}

const TSubPresetGroupRec* TDSPPluginX::SubPresetBankTarget(const TSubPresetGroupImage& image, std::int32_t target,
                                                           bool checkNames) {
  const TSubPresetGroupRec* source = FindSubPresetGroup(image.GroupId);
  const TSubPresetGroupRec* into = target == -1 || target == image.GroupId ? source : FindSubPresetGroup(target);
  const bool refused =
      into == nullptr || (checkNames && into != source &&
                          (source == nullptr || !SubPresetGroupsInterchangeable(source->Name, into->Name)));
  if (!refused) return into;
  if (checkNames && into != nullptr) ShowMessageText(kNotThisGroupBank);
  return nullptr;
}

bool TDSPPluginX::ReadSubPresetGroup(TStream& stream, std::int32_t target, bool clear, bool checkNames) {
  const std::int64_t start = stream.Position();
  TSubPresetBlockImage block;
  block.Groups.resize(1);
  TSubPresetGroupImage& image = block.Groups[0];
  std::string error;
  const TReadResult r = ParseSubPresetGroup(stream, image, error);
  if (r == TReadResult::Damaged)
    ShowMessage(TMessageKind::Error, "The sub-preset bank could not be loaded: " + error + ".");
  if (r != TReadResult::Read) return false;
  const TSubPresetGroupRec* into = SubPresetBankTarget(image, target, checkNames);
  if (into == nullptr) {
    stream.SetPosition(start);
    return false;
  }
  image.GroupId = into->Id;
  ApplySubPresetBlock(block, clear);
  return true;
}

std::int32_t TDSPPluginX::ReadSubPresetItem(TStream& stream, std::int32_t groupId, bool replaceByName,
                                            bool checkGroup) {
  const std::int64_t start = stream.Position();
  TSubPresetItemImage item;
  std::string error;
  const TReadResult r = ParseSubPresetItem(stream, item, error);
  if (r == TReadResult::Damaged) ShowMessage(TMessageKind::Error, "The sub-preset could not be loaded: " + error + ".");
  if (r != TReadResult::Read) return -1;
  if (FindSubPresetGroup(groupId) == nullptr || (checkGroup && item.GroupId != groupId)) {
    stream.SetPosition(start);
    if (checkGroup) ShowMessageText(kNotThisGroupItem);
    return -1;
  }
  TProgramDataGuard guard(*this);
  TSubPresetGroupRec* group = FindSubPresetGroup(groupId);
  auto& list = group->SubPresets;
  auto it = list.end();
  if (replaceByName)
    it = std::find_if(list.begin(), list.end(),
                      [&](const TSubPresetRec& p) { return SameSubPresetName(p.Name, item.Name); });
  if (it == list.end()) it = list.insert(list.end(), TSubPresetRec{});
  *it = MakeSubPreset(*group, item);
  return static_cast<std::int32_t>(it - list.begin());
}

bool TDSPPluginX::SaveSubPresetBankFile(std::int32_t groupId, const std::string& path) {
  TMemoryStream bytes;
  return WriteSubPresetGroup(bytes, groupId) > 0 && WriteWholeFile(path, bytes);
}

bool TDSPPluginX::LoadSubPresetBankFile(std::int32_t groupId, const std::string& path, bool clear) {
  TSubPresetGroupImage image;
  if (!ReadSubPresetBankFile(groupId, path, image)) return false;
  ApplySubPresetBank(image, clear);
  return true;
}

bool TDSPPluginX::ReadSubPresetBankFile(std::int32_t groupId, const std::string& path, TSubPresetGroupImage& image) {
  TMemoryStream bytes;
  if (!ReadWholeFile(path, kSubPresetGroupMagic, "a sub-preset bank", kSubPresetBankFileMax, bytes)) return false;
  std::string error;
  if (ParseSubPresetGroup(bytes, image, error) != TReadResult::Read) {
    ShowMessage(TMessageKind::Error, "The sub-preset bank could not be loaded: " + error + ".");
    return false;
  }
  const TSubPresetGroupRec* into = SubPresetBankTarget(image, groupId, true);
  if (into == nullptr) return false;
  image.GroupId = into->Id;
  return true;
}

void TDSPPluginX::ApplySubPresetBank(const TSubPresetGroupImage& image, bool clear) {
  TSubPresetBlockImage block;
  block.Groups.push_back(image);
  ApplySubPresetBlock(block, clear);
}

bool TDSPPluginX::SaveSubPresetFile(std::int32_t groupId, std::int32_t index, const std::string& path) {
  TMemoryStream bytes;
  return WriteSubPresetItem(bytes, groupId, index) > 0 && WriteWholeFile(path, bytes);
}

std::int32_t TDSPPluginX::LoadSubPresetFile(std::int32_t groupId, const std::string& path) {
  TMemoryStream bytes;
  if (!ReadWholeFile(path, kSubPresetItemMagic, "a sub-preset file", kSubPresetFileMax, bytes)) return -1;
  const std::int32_t index = ReadSubPresetItem(bytes, groupId, true, true);
  if (index >= 0) ApplySubPreset(groupId, index);
  return index;
}
