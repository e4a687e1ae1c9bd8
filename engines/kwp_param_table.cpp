#include "engines/kwp_param_table.h"

const std::array<std::string_view, kVModSourceCount> VModSourceNames = {
    "---",     "LFO1",     "LFO2",      "LFO3",    "Seq1Lvl", "Seq1Gate", "Seq1Pitch", "Seq1Env",
    "Seq2Lvl", "Seq2Gate", "Seq2Pitch", "Seq2Env", "Env1",    "Env2",     "Pitch",     "RND",
};

std::string_view VModSourceName(std::int32_t s) {
  if (s < 0 || s >= kVModSourceCount) return {};
  return VModSourceNames[static_cast<std::size_t>(s)];
}

std::string_view KwpChannelModeName(std::int32_t mode) {
  switch (mode) {
    case 0:
      return "LR";
    case 1:
      return "Left";
    default:
      return {};
  }
}

const TKwpPanelRow* FindKwpPanel(TKwpPanel panel) {
  for (const TKwpPanelRow& row : KwpPanelTable) {
    if (row.Panel == panel && panel != TKwpPanel::None) return &row;
  }
  return nullptr;
}

void InitKwpParamInfo(const TKwpParamRow& row, TParamInfoRec& info, const TKwpPanelIndexes& panels,
                      std::int32_t maxVoices) {
  if (row.Builder == TKwpBuilder::Float) {
    const std::int32_t displayMax = row.Op == TKwpOp::Voices && maxVoices > 0 ? maxVoices : row.DisplayMax;
    InitFloatParamInfo(row.Kind, info, row.Name, row.Flags, row.Default, row.DisplayMin, displayMax,
                       static_cast<float>(row.Min), static_cast<float>(row.Max), row.Step, 0, row.Description);
  } else {
    InitIntParamInfoEx(row.Kind, info, row.Name, row.Flags, row.Default, row.Min, row.Max, row.Step, row.Description);
  }
  const std::int32_t panel = panels[static_cast<std::size_t>(row.GuiPanel)];
  InitParamInfoExtra(info, row.GuiKind, row.GuiKind < 0 ? -1 : panel, row.GuiTop, row.GuiLeft, row.GuiTag,
                     row.GuiCaption, row.GuiFlags);
}
