// The synthesis layer's parameter table: its 167 parameters (local index ->
// plug-in id, descriptor, the action a change takes, editor control) and its
// editor panels. The rows are generated at build time from
// engines/data/kwp_parameters.tsv and kwp_panels.tsv (tools/paramtable);
// this header adds the lookups the layer needs.
//
// Everything here is constant data and pure functions: safe from any thread.
#pragma once

#include <array>
#include <cstdint>
#include <string_view>

#include "engines/kwp_param_table_data.h"
#include "framework/core/param_info.h"

inline constexpr std::int32_t kKwpParamCount = 167;
// The voice modulation matrix: "MOn", then slot n (1..22) is MSrc at local
// kKwpFirstSlotLocal + 3(n - 1), then MDst, then MAmt.
inline constexpr std::int32_t kVModSlotCount = 22;
inline constexpr std::int32_t kKwpModOnLocal = 100;
inline constexpr std::int32_t kKwpFirstSlotLocal = 101;
inline constexpr int kKwpLfoCount = 3;

static_assert(KwpParamTableCount == kKwpParamCount);
static_assert(kKwpFirstSlotLocal + 3 * kVModSlotCount == kKwpParamCount);

// The row of local l; l must be 0..166.
constexpr const TKwpParamRow& KwpParamRow(std::int32_t local) { return KwpParamTable[local]; }

// The local of the row that does `op` for unit, side and num (as the table's
// columns name them); -1 when no row does.
constexpr std::int32_t KwpLocalOf(TKwpOp op, int unit = 0, TKwpSide side = TKwpSide::None, int num = 0) {
  for (std::int32_t l = 0; l < kKwpParamCount; ++l) {
    const TKwpParamRow& row = KwpParamTable[l];
    if (row.Op == op && row.Unit == unit && row.Side == side && row.Num == num) return l;
  }
  return -1;
}
// The plug-in id of that row; -1 when no row does `op` there.
constexpr std::int32_t KwpIdOf(TKwpOp op, int unit = 0, TKwpSide side = TKwpSide::None, int num = 0) {
  const std::int32_t l = KwpLocalOf(op, unit, side, num);
  return l < 0 ? -1 : KwpParamTable[l].Id;
}

// The sixteen modulation sources of the matrix (MSrc values), in order:
// "---", "LFO1", "LFO2", "LFO3", "Seq1Lvl", "Seq1Gate", "Seq1Pitch",
// "Seq1Env", "Seq2Lvl", "Seq2Gate", "Seq2Pitch", "Seq2Env", "Env1", "Env2",
// "Pitch", "RND".
inline constexpr std::int32_t kVModSourceCount = 16;
extern const std::array<std::string_view, kVModSourceCount> VModSourceNames;
// The name of source s; empty outside 0..15.
std::string_view VModSourceName(std::int32_t s);

// The text of a channel-mode value ("Chn", "ShpChnMode"): "LR" for 0,
// "Left" for 1, empty otherwise.
std::string_view KwpChannelModeName(std::int32_t mode);

// The plug-in's panel index of each panel, by TKwpPanel (-1 where none exists).
using TKwpPanelIndexes = std::array<std::int32_t, TKwpPanelCount>;

// The record of a panel, null for TKwpPanel::None.
const TKwpPanelRow* FindKwpPanel(TKwpPanel panel);

// Fills the descriptor of a row, with the panel index of its control taken
// from panels. maxVoices: the display maximum of "Voices" (the row's own
// when not above 0).
void InitKwpParamInfo(const TKwpParamRow& row, TParamInfoRec& info, const TKwpPanelIndexes& panels,
                      std::int32_t maxVoices);
