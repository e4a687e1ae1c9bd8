#include "tools/factorybank/bank_builder.h"

#include <algorithm>

#include "framework/core/dsp_plugin_x.h"

namespace {

constexpr std::int32_t kMaxGroupId = 255;
constexpr std::size_t kMaxSubPresetName = 36;
// The header that stores a sub-preset into both sequencer groups, and the
// one of a template.
constexpr std::string_view kBothSequencers = "sequencers";
constexpr std::string_view kTemplate = "template";

std::string GroupPart(const std::string& header) {
  const std::size_t colon = header.find(':');
  return colon == std::string::npos ? std::string() : FoldText(std::string_view(header).substr(0, colon));
}

std::string NamePart(const std::string& header) {
  const std::size_t colon = header.find(':');
  const std::string_view rest = std::string_view(header).substr(colon + 1);
  const std::size_t b = rest.find_first_not_of(' ');
  return b == std::string_view::npos ? std::string() : std::string(rest.substr(b));
}

}  // namespace

TBankBuilder::TBankBuilder(TDSPPluginX& plugin) : Plugin(plugin), ParamKeys(plugin) {}

std::int32_t TBankBuilder::GroupId(const std::string& name) const {
  for (std::int32_t id = 0; id <= kMaxGroupId; ++id)
    if (const TSubPresetGroupRec* g = Plugin.FindSubPresetGroup(id); g != nullptr && FoldText(g->Name) == name)
      return id;
  return -1;
}

TBankBuilder::TTarget TBankBuilder::Classify(const TPresetItem& item) const {
  const std::string group = GroupPart(item.Header);
  if (group == kTemplate) return {{}, NamePart(item.Header), true};
  if (group == kBothSequencers) {
    const std::int32_t a = GroupId("sequencer1"), b = GroupId("sequencer2");
    if (a >= 0 && b >= 0) return {{a, b}, NamePart(item.Header), false};
  } else if (!group.empty()) {
    if (const std::int32_t id = GroupId(group); id >= 0) return {{id}, NamePart(item.Header), false};
  }
  return {{}, item.Header, false};
}

void TBankBuilder::ResetParams(const std::vector<std::int32_t>& params) {
  for (const std::int32_t p : params)
    Plugin.SetParameterValue(p, Plugin.ParamInfo[static_cast<std::size_t>(p)].DefaultValue);
}

bool TBankBuilder::Set(const TPresetLine& line, const std::vector<std::int32_t>* allowed,
                       std::vector<std::string>& errors) {
  std::string error;
  const std::optional<std::int32_t> id = ParamKeys.Find(line.Key, error);
  if (!id) {
    errors.push_back(line.Where + ": " + error);
    return false;
  }
  if (*id < TDSPPluginX::kBaseParamCount) {
    errors.push_back(line.Where + ": " + ParamKeys.KeyOf(*id) + " is a base parameter, the same in every program");
    return false;
  }
  if (allowed != nullptr && std::find(allowed->begin(), allowed->end(), *id) == allowed->end()) {
    errors.push_back(line.Where + ": " + ParamKeys.KeyOf(*id) + " is not in this sub-preset group");
    return false;
  }
  const std::optional<float> value = ParamKeys.ValueFor(*id, line.Value, error);
  if (!value) {
    errors.push_back(line.Where + ": " + error);
    return false;
  }
  Plugin.SetParameterValue(*id, *value);
  return true;
}

bool TBankBuilder::ApplySubPreset(const TPresetLine& line, const std::vector<std::int32_t>* allowed,
                                  std::vector<std::string>& errors) {
  const std::string group = GroupPart(line.Value);
  const std::string name = FoldText(NamePart(line.Value));
  const std::int32_t id = group.empty() ? -1 : GroupId(group);
  const TSubPresetGroupRec* g = id < 0 ? nullptr : Plugin.FindSubPresetGroup(id);
  if (g == nullptr) {
    errors.push_back(line.Where + ": \"" + line.Value + "\" does not name a sub-preset group (\"Group: Name\")");
    return false;
  }
  if (allowed != nullptr) {
    for (const std::int32_t p : g->Params) {
      if (std::find(allowed->begin(), allowed->end(), p) != allowed->end()) continue;
      errors.push_back(line.Where + ": group " + g->Name + " has parameters outside this sub-preset's group");
      return false;
    }
  }
  for (const TSubPresetRec& s : g->SubPresets) {
    if (FoldText(s.Name) != name) continue;
    for (std::size_t k = 0; k < g->Params.size() && k < s.Values.size(); ++k)
      Plugin.SetParameterValue(g->Params[k], s.Values[k]);
    return true;
  }
  errors.push_back(line.Where + ": group " + g->Name + " has no sub-preset \"" + NamePart(line.Value) + "\"");
  return false;
}

bool TBankBuilder::BuildSubPreset(const TPresetItem& item, const TTarget& target, std::vector<std::string>& errors) {
  const std::size_t before = errors.size();
  const TSubPresetGroupRec& group = *Plugin.FindSubPresetGroup(target.GroupIds.front());
  if (target.Name.empty() || target.Name.size() > kMaxSubPresetName) {
    errors.push_back(item.Where + ": a sub-preset name has 1 to 36 characters");
    return false;
  }
  for (const TSubPresetRec& s : group.SubPresets)
    if (FoldText(s.Name) == FoldText(target.Name))
      errors.push_back(item.Where + ": \"" + target.Name + "\" is stored twice");
  ResetParams(group.Params);
  for (const TPresetLine& line : item.Lines) {
    if (FoldText(line.Key) == "from") {
      ApplySubPreset(TPresetLine{line.Key, group.Name + ": " + line.Value, line.Where}, nullptr, errors);
    } else if (FoldText(line.Key) == "use") {
      // Another group's sub-preset, when all its parameters belong here too
      // (a whole rack made of effect sub-presets).
      ApplySubPreset(line, &group.Params, errors);
    } else {
      Set(line, &group.Params, errors);
    }
  }
  if (errors.size() != before) return false;
  Plugin.StoreSubPresetAs(group.Id, target.Name);
  // The same values into the other sequencer, parameter by parameter.
  for (std::size_t t = 1; t < target.GroupIds.size(); ++t) {
    const TSubPresetGroupRec& other = *Plugin.FindSubPresetGroup(target.GroupIds[t]);
    for (std::size_t k = 0; k < other.Params.size() && k < group.Params.size(); ++k)
      Plugin.SetParameterValue(other.Params[k], Plugin.GetParameterValue(group.Params[k]));
    Plugin.StoreSubPresetAs(other.Id, target.Name);
  }
  return true;
}

const std::vector<float>* TBankBuilder::FindSource(const std::string& name) const {
  const std::string folded = FoldText(name);
  for (std::size_t i = 0; i < ProgramNames.size(); ++i)
    if (FoldText(ProgramNames[i]) == folded) return &Plugin.Programs[i].Values;
  for (const auto& [templateName, values] : Templates)
    if (FoldText(templateName) == folded) return &values;
  return nullptr;
}

bool TBankBuilder::FillProgram(const TPresetItem& item, std::int32_t program, std::vector<std::string>& errors) {
  const std::size_t before = errors.size();
  Plugin.SelectProgram(program);
  const std::int32_t count = Plugin.GetParamCount();
  for (std::int32_t p = TDSPPluginX::kBaseParamCount; p < count; ++p)
    Plugin.SetParameterValue(p, Plugin.ParamInfo[static_cast<std::size_t>(p)].DefaultValue);
  for (const TPresetLine& line : item.Lines) {
    const std::string key = FoldText(line.Key);
    if (key == "from") {
      const std::vector<float>* values = FindSource(line.Value);
      if (values == nullptr) {
        errors.push_back(line.Where + ": no template or earlier program is named \"" + line.Value + "\"");
        continue;
      }
      for (std::int32_t p = TDSPPluginX::kBaseParamCount; p < count; ++p)
        Plugin.SetParameterValue(p, (*values)[static_cast<std::size_t>(p)]);
    } else if (key == "use") {
      ApplySubPreset(line, nullptr, errors);
    } else {
      Set(line, nullptr, errors);
    }
  }
  return errors.size() == before;
}

bool TBankBuilder::BuildTemplate(const TPresetItem& item, const std::string& name, std::vector<std::string>& errors) {
  if (FindSource(name) != nullptr) errors.push_back(item.Where + ": a second template named \"" + name + "\"");
  // Filled in program 0, which the first program overwrites afterwards.
  const bool ok = FillProgram(item, 0, errors);
  Templates.emplace_back(name, Plugin.Programs[0].Values);
  return ok;
}

bool TBankBuilder::BuildProgram(const TPresetItem& item, std::int32_t program, std::vector<std::string>& errors) {
  const std::string& name = item.Header;
  bool ok = true;
  if (name.empty() || name.size() > kMaxProgramName) {
    errors.push_back(item.Where + ": a program name has 1 to 24 characters");
    ok = false;
  }
  if (FindSource(name) != nullptr) {
    errors.push_back(item.Where + ": a second program or template named \"" + name + "\"");
    ok = false;
  }
  ok = FillProgram(item, program, errors) && ok;
  Plugin.SetProgramNameAt(program, name);
  ProgramNames.push_back(name);
  return ok;
}

bool TBankBuilder::Build(const std::vector<TPresetItem>& items, bool requireFull, std::vector<std::string>& errors) {
  for (std::int32_t p = 0; p < TDSPPluginX::kBaseParamCount; ++p) Plugin.SetParameterValue(p, kBaseValues[p]);
  // Sub-presets first, then templates, then programs, each in source order.
  std::vector<const TPresetItem*> programs;
  std::vector<std::pair<const TPresetItem*, std::string>> templates;
  for (const TPresetItem& item : items) {
    const TTarget target = Classify(item);
    if (target.Template) templates.emplace_back(&item, target.Name);
    else if (target.GroupIds.empty()) programs.push_back(&item);
    else BuildSubPreset(item, target, errors);
  }
  for (const auto& [item, name] : templates) BuildTemplate(*item, name, errors);
  const std::int32_t capacity = Plugin.GetProgramCount();
  if (static_cast<std::int32_t>(programs.size()) > capacity)
    errors.push_back("the sources hold " + std::to_string(programs.size()) + " programs; the bank has " +
                     std::to_string(capacity));
  else if (requireFull && static_cast<std::int32_t>(programs.size()) != capacity)
    errors.push_back("the sources hold " + std::to_string(programs.size()) + " programs; the bank needs " +
                     std::to_string(capacity));
  for (std::size_t i = 0; i < programs.size() && static_cast<std::int32_t>(i) < capacity; ++i)
    BuildProgram(*programs[i], static_cast<std::int32_t>(i), errors);
  Plugin.SelectProgram(0);
  return errors.empty();
}

std::vector<std::string> TBankBuilder::ProgramList() const {
  std::vector<std::string> lines;
  for (std::size_t i = 0; i < ProgramNames.size(); ++i) lines.push_back(std::to_string(i) + "\t" + ProgramNames[i]);
  return lines;
}
