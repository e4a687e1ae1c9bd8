// The effects rack's parameter table: the 290 FX parameters with their
// descriptors, the action each change takes, their channel links and editor
// controls; the rack's modulation targets, sub-preset groups and editor
// pages. The rows are generated at build time from engines/data/*.tsv
// (tools/paramtable); this header adds the lookups the rack layer needs.
//
// Everything here is constant data and pure functions: safe from any thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "engines/fx_param_table_data.h"
#include "framework/core/param_info.h"

// FX indexes 0..289. FX index i is plug-in parameter kFxFirstParamId + i.
inline constexpr int kFxParamCount = 290;
inline constexpr int kFxFirstParamId = 374;
// The modulation slots: slot n (1..16) is MSrc at kFxFirstSlotParam + 3(n - 1),
// then MDst, then MAmt.
inline constexpr int kFxModSlotCount = 16;
inline constexpr int kFxFirstSlotParam = 242;
// MDst values 1..kFxModTargetCount - 1 select a target; 0 and anything past
// the table select none.
inline constexpr int kFxModTargetCount = static_cast<int>(FxModTargetTableCount);
// The seven effects, in the order of TFxUnit after Rack.
inline constexpr int kFxEffectCount = 7;

static_assert(FxParamTableCount == kFxParamCount);
static_assert(kFxFirstSlotParam + 3 * kFxModSlotCount == kFxParamCount);

// The row of an FX index; fx must be 0..kFxParamCount - 1.
inline const TFxParamRow& FxParamRow(int fx) { return FxParamTable[fx]; }

// Target t of the modulation matrix, null when t selects no target
// (t <= 0 or past the table).
const TFxModTargetRow* FindFxModTarget(int t);

// The sub-preset group with that number (10..17), null for any other.
const TFxSubPresetGroupRow* FindFxSubPresetGroup(int group);
// The FX indexes a sub-preset group holds, in FX order; empty for an unknown
// group. The rack registers FX map[fx] for each.
std::vector<int> FxSubPresetGroupParams(int group);
// The FX range of an effect's own group (Distortion 35..73, ...): the range
// whose modulation targets a channel-mode change re-applies. False for Rack.
bool FxEffectRange(TFxUnit unit, int& first, int& last);

// The editor page row of a panel, null for TFxPanel::None.
const TFxPanelRow* FindFxPanel(TFxPanel panel);

// The rack's own value text of a row (order, clip mode, clip type, channel
// mode, modulation source and target): the entry RoundF(value) of the row's
// Texts, an empty text for values past the list. False, text untouched, when
// the row has no list of its own and the display kind's text applies.
bool FxOwnValueText(const TFxParamRow& row, float value, std::string& text);

// Fills a descriptor from a generated row of any layer's table (the columns
// Name, Kind, Min, Max, Step, Default, Flags, Description and the Gui
// columns). guiPanel is the plug-in's panel index of the row's page, -1
// when the plug-in has no editor or the row no control.
template <class TRow>
void InitParamInfoFromRow(const TRow& row, TParamInfoRec& info, std::int32_t guiPanel) {
  InitIntParamInfoEx(row.Kind, info, row.Name, row.Flags, row.Default, row.Min, row.Max, row.Step, row.Description);
  InitParamInfoExtra(info, row.GuiKind, row.GuiKind < 0 ? -1 : guiPanel, row.GuiTop, row.GuiLeft, row.GuiTag,
                     row.GuiCaption, row.GuiFlags);
}

// The plug-in's panel index of each page, by TFxPanel (-1 where none exists).
using TFxPanelIndexes = std::array<std::int32_t, TFxPanelCount>;

// Fills the descriptor of FX index fx from its row, with the panel index of
// its page taken from panels.
void InitFxParamInfo(int fx, TParamInfoRec& info, const TFxPanelIndexes& panels);
