// The menu of a sub-preset group's "Preset" button and its actions: apply
// and store sub-presets, save and load ".spi" files (one sub-preset) and
// ".spf" files (the whole group), and the help text.
//
// Every action runs on the editor thread from a menu choice, without the
// plug-in's lock: files are read and checked before anything changes, the
// questions come after that, and only then does the core store under its
// lock. A cancelled dialog (or the editor closing meanwhile) ends the action
// with nothing changed.
#include <algorithm>

#include "framework/base/file_names.h"
#include "gui/controls/plugin_gui.h"

namespace {

constexpr std::int32_t kMenuColumnLength = 16;
constexpr const char* kNoPresets = "No Presets...";
constexpr const char* kSaveHere = "Save Sub-Preset Here";
constexpr const char* kSaveToDisk = "Save Sub-Preset To Disk";
constexpr const char* kLoadItem = "Load Sub-Preset";
constexpr const char* kLoadBank = "Load Sub-Preset Bank";
constexpr const char* kSaveBank = "Save Sub-Preset Bank";
constexpr const char* kWhatsThis = "Whats this?";
constexpr const char* kHelpText =
    "Sub-Presets for each effect group and also one for the effects combined.\r\n\r\n"
    "You can edit or create your own and also save and re-load them in the other Quilm SP plugins"
    " that use Sub Presets.";
constexpr const char* kClearQuestion = "Clear existing sub-presets for the group?";
constexpr const char* kBankFilter = "Quilm SP Sub-Presets(*.spf)|*.spf";
constexpr const char* kItemFilter = "Quilm SP Sub-Preset(*.spi)|*.spi";

}  // namespace

void TDSPPluginGui::FillSubPresetMenu(std::int32_t group, TGuiPopupMenu& menu) {
  menu.Clear();
  menu.Tag = group;
  SubPresetMenuGroup = group;
  std::vector<std::string> names;
  {
    TPluginLockGuard guard(*this);
    if (const TSubPresetGroupRec* rec = FindSubPresetGroup(group))
      for (const TSubPresetRec& preset : rec->SubPresets) names.push_back(preset.Name);
  }
  using TClick = TMethod<void(TGuiMenuItem*)>;
  for (std::size_t i = 0; i < names.size(); ++i) {
    TGuiMenuItem* item = menu.Add();
    item->Caption = names[i];
    item->Tag = static_cast<std::int32_t>(i);
    item->BarBreak = i > 0 && i % kMenuColumnLength == 0;
    item->OnClick = TClick::Bind<&TDSPPluginGui::OnSubPresetChosen>(this);
  }
  if (names.empty()) {
    TGuiMenuItem* none = menu.Add();
    none->Caption = kNoPresets;
    none->Enabled = false;
  }
  auto add = [&](const char* caption, TClick click) {
    TGuiMenuItem* item = menu.Add();
    item->Caption = caption;
    item->Tag = group;
    item->OnClick = click;
  };
  add("-", {});
  add(kSaveHere, TClick::Bind<&TDSPPluginGui::OnSaveSubPresetHere>(this));
  add("-", {});
  add(kSaveToDisk, TClick::Bind<&TDSPPluginGui::OnSaveSubPresetToDisk>(this));
  add(kLoadItem, TClick::Bind<&TDSPPluginGui::OnLoadSubPreset>(this));
  add(kLoadBank, TClick::Bind<&TDSPPluginGui::OnLoadSubPresetBank>(this));
  add(kSaveBank, TClick::Bind<&TDSPPluginGui::OnSaveSubPresetBank>(this));
  add(kWhatsThis, TClick::Bind<&TDSPPluginGui::OnSubPresetHelp>(this));
}

void TDSPPluginGui::OnSubPresetChosen(TGuiMenuItem* item) {
  if (item != nullptr) ApplySubPreset(SubPresetMenuGroup, item->Tag);
}
void TDSPPluginGui::OnSaveSubPresetHere(TGuiMenuItem* item) {
  if (item != nullptr) StoreSubPreset(item->Tag);
}
void TDSPPluginGui::OnSaveSubPresetToDisk(TGuiMenuItem* item) {
  if (item != nullptr) SaveSubPresetToDisk(item->Tag);
}
void TDSPPluginGui::OnLoadSubPreset(TGuiMenuItem* item) {
  if (item != nullptr) LoadSubPresetFromDisk(item->Tag);
}
void TDSPPluginGui::OnLoadSubPresetBank(TGuiMenuItem* item) {
  if (item != nullptr) LoadSubPresetBankFromDisk(item->Tag);
}
void TDSPPluginGui::OnSaveSubPresetBank(TGuiMenuItem* item) {
  if (item != nullptr) SaveSubPresetBankToDisk(item->Tag);
}
void TDSPPluginGui::OnSubPresetHelp(TGuiMenuItem* /*item*/) { ShowSubPresetHelp(); }

std::string TDSPPluginGui::SubPresetFolder() const {
  const std::string& module = GetPluginFilePath();
  const std::size_t slash = module.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : module.substr(0, slash);
}

std::int32_t TDSPPluginGui::SaveSubPresetToDisk(std::int32_t group) {
  const std::int32_t index = StoreSubPreset(group);
  if (index < 0 || Dialogs().Cancelled()) return -1;
  std::string name;
  {
    TPluginLockGuard guard(*this);
    const TSubPresetGroupRec* rec = FindSubPresetGroup(group);
    if (rec == nullptr || index >= static_cast<std::int32_t>(rec->SubPresets.size())) return -1;
    name = rec->SubPresets[static_cast<std::size_t>(index)].Name;
  }
  TFileDialogOptions options;
  options.Save = true;
  options.Title = "Save Sub-Preset";
  options.DefaultExt = "spi";
  options.Filter = kItemFilter;
  options.InitialDir = SubPresetFolder();
  options.FileName = SanitizeFileName(name);
  options.OverwritePrompt = true;
  std::string path;
  if (!ExecuteFileDialog(Dialogs(), options, path)) return -1;
  return SaveSubPresetFile(group, index, path) ? index : -1;
}

bool TDSPPluginGui::LoadSubPresetFromDisk(std::int32_t group) {
  if (FindSubPresetGroup(group) == nullptr) return false;
  TFileDialogOptions options;
  options.Title = "Load Sub-Preset";
  options.DefaultExt = "spi";
  options.Filter = kItemFilter;
  options.InitialDir = SubPresetFolder();
  options.FileMustExist = true;
  std::string path;
  if (!ExecuteFileDialog(Dialogs(), options, path)) return false;
  return LoadSubPresetFile(group, path) >= 0;
}

bool TDSPPluginGui::LoadSubPresetBankFromDisk(std::int32_t group) {
  if (FindSubPresetGroup(group) == nullptr) return false;
  TFileDialogOptions options;
  options.Title = "Open Sub-Presets Bank";
  options.DefaultExt = "spf";
  options.Filter = kBankFilter;
  options.InitialDir = SubPresetFolder();
  options.FileMustExist = true;
  std::string path;
  if (!ExecuteFileDialog(Dialogs(), options, path)) return false;
  // Read and checked first: a file of another group is refused (with its
  // message) before anything is asked or changed.
  TSubPresetGroupImage image;
  if (!ReadSubPresetBankFile(group, path, image)) return false;
  const bool clear = Dialogs().ConfirmYesNo(kClearQuestion);
  if (Dialogs().Cancelled()) return false;
  ApplySubPresetBank(image, clear);
  return true;
}

bool TDSPPluginGui::SaveSubPresetBankToDisk(std::int32_t group) {
  const TSubPresetGroupRec* rec = FindSubPresetGroup(group);
  if (rec == nullptr) return false;
  TFileDialogOptions options;
  options.Save = true;
  options.Title = "Save Sub-Preset Bank";
  options.DefaultExt = "spf";
  options.Filter = kBankFilter;
  options.InitialDir = SubPresetFolder();
  options.FileName = SanitizeFileName(rec->Name);
  options.OverwritePrompt = true;
  std::string path;
  if (!ExecuteFileDialog(Dialogs(), options, path)) return false;
  return SaveSubPresetBankFile(group, path);
}

void TDSPPluginGui::ShowSubPresetHelp() { ShowMessageText(kHelpText); }
