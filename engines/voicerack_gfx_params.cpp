// The rack's parameters: descriptors, the dispatch of a changed value to the
// effects, channel linking, display texts and the sub-preset groups.
#include <algorithm>

#include "engines/voicerack_gfx_synth.h"
#include "framework/base/base_math.h"

void TVoicerackGFXSynth::InitParameterInfo() {
  TDSPPluginGui::InitParameterInfo();
  if (!FxMapAssigned) return;
  // Without an editor no panel exists: the descriptors keep their control
  // fields for the editor, with no panel index.
  for (int fx = 0; fx < kFxParamCount; ++fx) {
    const std::int32_t id = FxParamIndex(fx);
    if (id >= 0 && id < ParamCountAllocated()) InitFxParamInfo(fx, ParamInfo[static_cast<std::size_t>(id)], FxPanels);
  }
}

void TVoicerackGFXSynth::AssignGroupRange(std::int32_t group, int lo, int hi) {
  for (int fx = lo; fx <= hi; ++fx) AddSubPresetToGroup(group, FxParamIndex(fx));
}

void TVoicerackGFXSynth::ParameterChanged(std::int32_t i) {
  TDSPPluginGui::ParameterChanged(i);
  if (!FxMapAssigned) return;
  const int fx = FxIndexOfParam(i);
  if (fx < 0) return;
  // The matrix rereads its switch and slots at the next update.
  if (fx == kFxModOnIndex || fx >= kFxFirstSlotParam) FxMatrixDirty.store(true);
  DispatchFxParameter(fx);
}

void TVoicerackGFXSynth::DispatchFxParameter(int fx) {
  const TFxParamRow& row = FxParamRow(fx);
  const std::int32_t id = FxParamIndex(fx);
  const float real = GetParameterReal(id);
  const std::int32_t mode = ChannelMode(row.Unit);
  switch (row.Op) {
    case TFxOp::None:
    case TFxOp::SlotAmount:
      return;
    case TFxOp::RackOn:
      FxOn.store(RoundF(real) == 1, std::memory_order_relaxed);
      return;
    case TFxOp::UpdateShifts:
      UpdateShifts();
      return;
    case TFxOp::MoveEffect:
      // The edit itself rewrote the values when it stored them: the chain
      // follows them, at once or, inside a program or sub-preset, from all
      // seven at the end.
      if (ParamBatchCount > 0) OrderDirty = true;
      else RebuildChain();
      return;
    case TFxOp::EffectOn:
      Effect(row.Unit).SetEnabled(RoundF(real) == 1);
      return;
    case TFxOp::Set: {
      // A right side linked to its left one takes the left's value.
      const bool follow = row.Link == TFxLink::Follower && mode == 1;
      const float v = follow ? GetParameterReal(FxParamIndex(row.Partner)) : real;
      ApplyFxSetter(row, ConvertFxValue(row, v));
      if (row.Link == TFxLink::Leader && mode == 1) DispatchFxParameter(row.Partner);
      return;
    }
    case TFxOp::Target:
      Base[static_cast<std::size_t>(row.ModTarget)] = ConvertFxValue(row, real);
      ApplyModTarget(row.ModTarget, 0.0f);
      return;
    case TFxOp::ChannelMode: {
      ChannelModes[static_cast<std::size_t>(row.Unit)] = RoundF(real);
      int first = 0;
      int last = -1;
      if (FxEffectRange(row.Unit, first, last)) ReapplyGroupTargets(first, last);
      return;
    }
    case TFxOp::SlotSource:
    case TFxOp::SlotTarget:
      SlotChanged(row.Num);
      return;
  }
}

void TVoicerackGFXSynth::ReapplyGroupTargets(int lo, int hi) {
  for (int t = 1; t < kFxModTargetCount; ++t) {
    const int fx = FxModTargetTable[t].Fx;
    if (fx >= lo && fx <= hi) DispatchFxParameter(fx);
  }
}

std::string TVoicerackGFXSynth::GetParamDisplayText(std::int32_t kind, std::int32_t number, float value) {
  std::int32_t param = -1;
  float real = 0.0f;
  if (!QueryParamText(kind, number, value, param, real)) return "---";
  return TDSPPluginGui::GetParamDisplayText(kind, number, value);
}

void TVoicerackGFXSynth::FormatParamValue(std::int32_t param, std::string& text, float real) {
  const int fx = FxMapAssigned ? FxIndexOfParam(param) : -1;
  if (fx >= 0 && FxOwnValueText(FxParamRow(fx), real, text)) return;
  TDSPPluginGui::FormatParamValue(param, text, real);
}
