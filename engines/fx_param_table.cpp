#include "engines/fx_param_table.h"

#include <string_view>

#include "framework/base/base_math.h"

namespace {

// The rows are generated in FX order: row i must be FX index i, and every
// target row must point back at the parameter that feeds it.
consteval bool RowsAreInFxOrder() {
  for (std::size_t i = 0; i < FxParamTableCount; ++i) {
    if (FxParamTable[i].Fx != static_cast<int>(i)) return false;
  }
  for (std::size_t t = 0; t < FxModTargetTableCount; ++t) {
    const TFxModTargetRow& target = FxModTargetTable[t];
    if (target.Target != static_cast<int>(t)) return false;
    if (t > 0 && FxParamTable[target.Fx].ModTarget != target.Target) return false;
  }
  return true;
}
static_assert(RowsAreInFxOrder(), "fx_parameters.tsv / fx_mod_targets.tsv are out of order");

// The entry `index` of a '|'-separated list; false past its end.
bool ListEntry(std::string_view list, int index, std::string& text) {
  if (index < 0) return false;
  std::size_t start = 0;
  for (int i = 0; i < index; ++i) {
    const std::size_t bar = list.find('|', start);
    if (bar == std::string_view::npos) return false;
    start = bar + 1;
  }
  const std::size_t end = list.find('|', start);
  text.assign(list.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start));
  return true;
}

}  // namespace

const TFxModTargetRow* FindFxModTarget(int t) {
  if (t <= 0 || t >= kFxModTargetCount) return nullptr;
  return &FxModTargetTable[t];
}

const TFxSubPresetGroupRow* FindFxSubPresetGroup(int group) {
  for (const TFxSubPresetGroupRow& row : FxSubPresetGroupTable) {
    if (row.Group == group) return &row;
  }
  return nullptr;
}

std::vector<int> FxSubPresetGroupParams(int group) {
  std::vector<int> fx;
  if (const TFxSubPresetGroupRow* row = FindFxSubPresetGroup(group)) {
    for (int i = row->First; i <= row->Last; ++i) fx.push_back(i);
  }
  return fx;
}

bool FxEffectRange(TFxUnit unit, int& first, int& last) {
  if (unit == TFxUnit::Rack) return false;
  for (const TFxSubPresetGroupRow& row : FxSubPresetGroupTable) {
    if (row.Unit == unit) {
      first = row.First;
      last = row.Last;
      return true;
    }
  }
  return false;
}

const TFxPanelRow* FindFxPanel(TFxPanel panel) {
  for (const TFxPanelRow& row : FxPanelTable) {
    if (row.Panel == panel) return &row;
  }
  return nullptr;
}

bool FxOwnValueText(const TFxParamRow& row, float value, std::string& text) {
  const std::string_view texts = row.Texts;
  if (texts.empty()) return false;
  const std::int32_t index = RoundF(value);
  if (texts == "@targets") {
    // Target 0 is "---": every MDst value from 0 to the last target has a name.
    if (index >= 0 && index < kFxModTargetCount) {
      text = FxModTargetTable[index].Name;
    } else {
      text.clear();
    }
    return true;
  }
  if (!ListEntry(texts, index, text)) text.clear();
  return true;
}

void InitFxParamInfo(int fx, TParamInfoRec& info, const TFxPanelIndexes& panels) {
  const TFxParamRow& row = FxParamRow(fx);
  const std::int32_t panel = row.GuiPanel == TFxPanel::None ? -1 : panels[static_cast<std::size_t>(row.GuiPanel)];
  InitParamInfoFromRow(row, info, panel);
}
