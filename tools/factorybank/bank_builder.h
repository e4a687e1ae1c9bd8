// Fills a built instrument from the preset sources: the base parameters,
// every sub-preset and the programs, all through the plug-in's own parameter
// and sub-preset operations, so that the plug-in's bank writer can save the
// result. Runs before the plug-in's first process call (selecting a program
// only makes it current).
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "tools/factorybank/param_keys.h"
#include "tools/factorybank/preset_source.h"

class TDSPPluginX;

class TBankBuilder {
 public:
  // The values of the ten base parameters in every program: unity volume,
  // centre pan, active, not bypassed (solo always reads 1).
  static constexpr float kBaseValues[10] = {0.5f, 0.5f, 0.0f, 1.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f};
  static constexpr std::size_t kMaxProgramName = 24;

  explicit TBankBuilder(TDSPPluginX& plugin);

  // Sub-presets first, then templates, then the programs from program 0 on,
  // each in source order. False with the errors (file:line: reason) when any
  // item cannot be set; requireFull also asks for exactly every program.
  bool Build(const std::vector<TPresetItem>& items, bool requireFull, std::vector<std::string>& errors);

  const TParamKeys& Keys() const { return ParamKeys; }
  // "number  name" lines of the programs set, for the build log.
  std::vector<std::string> ProgramList() const;

 private:
  struct TTarget {
    std::vector<std::int32_t> GroupIds;  // empty: a program or a template
    std::string Name;
    bool Template = false;
  };
  TTarget Classify(const TPresetItem& item) const;
  // The group id of a group name (folded), -1 when none.
  std::int32_t GroupId(const std::string& name) const;
  void ResetParams(const std::vector<std::int32_t>& params);
  // Applies one setting; "from" and "use" are handled by the callers.
  bool Set(const TPresetLine& line, const std::vector<std::int32_t>* allowed, std::vector<std::string>& errors);
  // "Group: Name": sets the group's parameters to the sub-preset's values;
  // with allowed, only when every one of them is in that list.
  bool ApplySubPreset(const TPresetLine& line, const std::vector<std::int32_t>* allowed,
                      std::vector<std::string>& errors);
  bool BuildSubPreset(const TPresetItem& item, const TTarget& target, std::vector<std::string>& errors);
  // A template or an earlier program by name, or null.
  const std::vector<float>* FindSource(const std::string& name) const;
  // Program `program` from the defaults and the item's lines.
  bool FillProgram(const TPresetItem& item, std::int32_t program, std::vector<std::string>& errors);
  bool BuildTemplate(const TPresetItem& item, const std::string& name, std::vector<std::string>& errors);
  bool BuildProgram(const TPresetItem& item, std::int32_t program, std::vector<std::string>& errors);

  TDSPPluginX& Plugin;
  TParamKeys ParamKeys;
  std::vector<std::string> ProgramNames;
  // Templates: the values of every parameter, by name, in source order.
  std::vector<std::pair<std::string, std::vector<float>>> Templates;
};
