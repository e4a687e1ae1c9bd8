// The rack's modulation: the FX LFOs, the 16-slot matrix, the targets'
// bases and apply operations, and the setter dispatch every FX parameter
// and modulation target ends in.
//
// Threads: everything here runs under the instance lock (the audio
// thread's ProcessFX, or a parameter change); the setters called are the
// effects' plain setters or their lock-taking rebuilds.
#include <algorithm>

#include "engines/voicerack_gfx_synth.h"
#include "framework/base/base_math.h"

namespace {

// Sources: 1..6 are the FX LFOs; 7 and above select a source that gives 0.
constexpr int kFxLfoSources = 6;

void ApplyFilterSetter(TDSPMultiFilter& filter, TFxSetter setter, float x) {
  switch (setter) {
    case TFxSetter::SetFilterType:
      filter.SetFilterType(x);
      return;
    case TFxSetter::SetCutoff:
      filter.SetCutoff(x);
      return;
    case TFxSetter::SetResonance:
      filter.SetResonance(x);
      return;
    case TFxSetter::SetParam3:
      filter.SetParam3(x);
      return;
    default:
      return;
  }
}

void ApplyLfoSetter(TDSPOscillator& lfo, TFxSetter setter, float x) {
  switch (setter) {
    case TFxSetter::SetWaveform:
      lfo.SetWaveform(x);
      return;
    case TFxSetter::SetFrequency:
      lfo.SetFrequency(x);
      return;
    case TFxSetter::SetGain:
      lfo.SetGain(x);
      return;
    default:
      return;
  }
}

void ApplyEqSetter(TDSP3BandEQ& eq, TFxSetter setter, float x) {
  switch (setter) {
    case TFxSetter::SetLowGain:
      eq.SetLowGain(x);
      return;
    case TFxSetter::SetMidGain:
      eq.SetMidGain(x);
      return;
    case TFxSetter::SetHighGain:
      eq.SetHighGain(x);
      return;
    case TFxSetter::SetFrequency:
      eq.SetFrequency(x);
      return;
    case TFxSetter::SetQ:
      eq.SetQ(x);
      return;
    default:
      return;
  }
}

// The setters every effect has; false for any other.
bool ApplyCommonSetter(TDSPStereoEffect& e, TFxSetter setter, float x) {
  switch (setter) {
    case TFxSetter::SetMix:
      e.SetMix(x);
      return true;
    case TFxSetter::SetPan:
      e.SetPan(x);
      return true;
    case TFxSetter::SetWetGain:
      e.SetWetGain(x);
      return true;
    case TFxSetter::SetDryGain:
      e.SetDryGain(x);
      return true;
    case TFxSetter::SetInvertLeft:
      e.SetInvertLeft(x != 0.0f);
      return true;
    case TFxSetter::SetInvertRight:
      e.SetInvertRight(x != 0.0f);
      return true;
    case TFxSetter::SetLengthUnit:
      e.SetLengthUnit(x != 0.0f ? 1 : 0);
      return true;
    default:
      return false;
  }
}

void ApplyReverbSetter(TDSPReverbX& e, TFxSetter setter, float x) {
  switch (setter) {
    case TFxSetter::SetTime:
      e.SetTime(x);
      return;
    case TFxSetter::SetDamping:
      e.SetDamping(x);
      return;
    case TFxSetter::SetPreDelay:
      e.SetPreDelay(x);
      return;
    case TFxSetter::SetPreDelayFeedback:
      e.SetPreDelayFeedback(x);
      return;
    case TFxSetter::SetRoomType:
      e.SetRoomType(RoundF(x));
      return;
    case TFxSetter::SetSize:
      e.SetSize(x);
      return;
    case TFxSetter::SetFilter1On:
      e.SetFilter1On(x != 0.0f);
      return;
    case TFxSetter::SetFilter2On:
      e.SetFilter2On(x != 0.0f);
      return;
    default:
      return;
  }
}

void ApplyDistortionSetter(TDSPXDistortion& e, TFxSetter setter, float x) {
  switch (setter) {
    case TFxSetter::SetSurround:
      e.SetSurround(x);
      return;
    case TFxSetter::SetDriveLeft:
      e.SetDriveLeft(x);
      return;
    case TFxSetter::SetDriveRight:
      e.SetDriveRight(x);
      return;
    case TFxSetter::SetInputAdjust:
      e.SetInputAdjust(x != 0.0f);
      return;
    case TFxSetter::SetPreFilter:
      e.SetPreFilter(x != 0.0f);
      return;
    case TFxSetter::SetTypeLeft:
      e.SetTypeLeft(RoundF(x));
      return;
    case TFxSetter::SetTypeRight:
      e.SetTypeRight(RoundF(x));
      return;
    case TFxSetter::SetClipThreshold:
      e.SetClipThreshold(x);
      return;
    case TFxSetter::SetClipLevel:
      e.SetClipLevel(x);
      return;
    case TFxSetter::SetClipMode:
      e.SetClipMode(RoundF(x));
      return;
    case TFxSetter::SetClipType:
      e.SetClipType(RoundF(x));
      return;
    case TFxSetter::SetFilterL1On:
      e.SetFilterL1On(x != 0.0f);
      return;
    case TFxSetter::SetFilterL2On:
      e.SetFilterL2On(x != 0.0f);
      return;
    case TFxSetter::SetFilterR1On:
      e.SetFilterR1On(x != 0.0f);
      return;
    case TFxSetter::SetFilterR2On:
      e.SetFilterR2On(x != 0.0f);
      return;
    default:
      return;
  }
}

void ApplyChorusSetter(TDSPXChorus& e, TFxSetter setter, float x) {
  switch (setter) {
    case TFxSetter::SetLengthLeft:
      e.SetLengthLeft(x);
      return;
    case TFxSetter::SetLengthRight:
      e.SetLengthRight(x);
      return;
    case TFxSetter::SetSizeLeft:
      e.SetSizeLeft(x);
      return;
    case TFxSetter::SetSizeRight:
      e.SetSizeRight(x);
      return;
    case TFxSetter::SetFeedbackLeft:
      e.SetFeedbackLeft(x);
      return;
    case TFxSetter::SetFeedbackRight:
      e.SetFeedbackRight(x);
      return;
    case TFxSetter::SetCrossLeftToRight:
      e.SetCrossLeftToRight(x);
      return;
    case TFxSetter::SetCrossRightToLeft:
      e.SetCrossRightToLeft(x);
      return;
    default:
      return;
  }
}

void ApplyDelaySetter(TDSPXDelay& e, TFxSetter setter, float x) {
  switch (setter) {
    case TFxSetter::SetLengthLeft:
      e.SetLengthLeft(RoundF(x));
      return;
    case TFxSetter::SetLengthRight:
      e.SetLengthRight(RoundF(x));
      return;
    case TFxSetter::SetFeedbackLeft:
      e.SetFeedbackLeft(x);
      return;
    case TFxSetter::SetFeedbackRight:
      e.SetFeedbackRight(x);
      return;
    case TFxSetter::SetCrossLeftToRight:
      e.SetCrossLeftToRight(x);
      return;
    case TFxSetter::SetCrossRightToLeft:
      e.SetCrossRightToLeft(x);
      return;
    case TFxSetter::SetFilterLeftOn:
      e.SetFilterLeftOn(x != 0.0f);
      return;
    case TFxSetter::SetFilterRightOn:
      e.SetFilterRightOn(x != 0.0f);
      return;
    default:
      return;
  }
}

void ApplyXFilterSetter(TDSPXXFilter& e, TFxSetter setter, float x) {
  switch (setter) {
    case TFxSetter::SetFilterCount:
      e.SetFilterCount(RoundF(x));
      return;
    case TFxSetter::SetRightShift:
      e.SetRightShift(x);
      return;
    case TFxSetter::SetInterpolation:
      e.SetInterpolation(RoundF(x));
      return;
    default:
      return;
  }
}

void ApplyPhaserSetter(TDSPXPhaser& e, TFxSetter setter, float x) {
  switch (setter) {
    case TFxSetter::SetStagesLeft:
      e.SetStagesLeft(RoundF(x));
      return;
    case TFxSetter::SetStagesRight:
      e.SetStagesRight(RoundF(x));
      return;
    case TFxSetter::SetFeedbackLeft:
      e.SetFeedbackLeft(x);
      return;
    case TFxSetter::SetFeedbackRight:
      e.SetFeedbackRight(x);
      return;
    case TFxSetter::SetCrossLeftToRight:
      e.SetCrossLeftToRight(x);
      return;
    case TFxSetter::SetCrossRightToLeft:
      e.SetCrossRightToLeft(x);
      return;
    case TFxSetter::SetPhaseLeft:
      e.SetPhaseLeft(x);
      return;
    case TFxSetter::SetPhaseRight:
      e.SetPhaseRight(x);
      return;
    case TFxSetter::SetDepthLeft:
      e.SetDepthLeft(x);
      return;
    case TFxSetter::SetDepthRight:
      e.SetDepthRight(x);
      return;
    case TFxSetter::SetShift:
      e.SetShift(x);
      return;
    default:
      return;
  }
}

}  // namespace

float TVoicerackGFXSynth::ConvertFxValue(const TFxParamRow& row, float real) {
  switch (row.Convert) {
    case TFxConvert::None:
    case TFxConvert::Real:
      return real;
    case TFxConvert::Bool:
      return RoundF(real) == 1 ? 1.0f : 0.0f;
    case TFxConvert::Int:
      return static_cast<float>(RoundF(real));
    case TFxConvert::Scale:
      return real * row.Factor;
    case TFxConvert::Divide:
      return real / row.Factor;
    case TFxConvert::Gain:
      // 1000 is unity, -1000 inverts, 1502 is about 32.
      return NormToAmp60(real * 0.001f);
    case TFxConvert::LfoHz:
      // Ticked once per millisecond against a 10000 Hz record, the LFO
      // cycles PitchToFreq(real) times per second.
      return PitchToFreq(real) * 10.0f;
  }
  return real;
}

void TVoicerackGFXSynth::ApplyFxSetter(const TFxParamRow& row, float x) {
  const bool right = row.Side == TFxSide::Right;
  const int k = std::max(0, row.Num - 1);
  switch (row.Object) {
    case TFxObject::Slot:
      return;
    case TFxObject::Filter:
      switch (row.Unit) {
        case TFxUnit::Reverb:
          ApplyFilterSetter(k == 0 ? ReverbFx->ToneFilter1() : ReverbFx->ToneFilter2(), row.Setter, x);
          return;
        case TFxUnit::Distortion:
          ApplyFilterSetter(DistortionFx->ToneFilter((right ? 2 : 0) + k), row.Setter, x);
          return;
        case TFxUnit::Delay:
          ApplyFilterSetter(right ? DelayFx->FeedbackFilterRight() : DelayFx->FeedbackFilterLeft(), row.Setter, x);
          return;
        case TFxUnit::XFilter:
          ApplyFilterSetter(XFilterFx->StageFilter(right, k), row.Setter, x);
          return;
        default:
          return;
      }
    case TFxObject::Lfo:
      switch (row.Unit) {
        case TFxUnit::Rack:
          if (k < kFxLfoCount) ApplyLfoSetter(FxLfo(k), row.Setter, x);
          return;
        case TFxUnit::Phaser:
          ApplyLfoSetter(right ? PhaserFx->LfoRight() : PhaserFx->LfoLeft(), row.Setter, x);
          return;
        case TFxUnit::Chorus:
          ApplyLfoSetter(ChorusFx->Lfo((right ? 2 : 0) + k), row.Setter, x);
          return;
        default:
          return;
      }
    case TFxObject::Equaliser:
      ApplyEqSetter(right ? EqFx->EqRight() : EqFx->EqLeft(), row.Setter, x);
      return;
    case TFxObject::Tap:
      XFilterFx->SetTapLength(right, k, RoundF(x));
      return;
    case TFxObject::None:
      break;
  }
  if (row.Unit == TFxUnit::Rack) return;
  if (ApplyCommonSetter(Effect(row.Unit), row.Setter, x)) return;
  switch (row.Unit) {
    case TFxUnit::Reverb:
      ApplyReverbSetter(*ReverbFx, row.Setter, x);
      return;
    case TFxUnit::Distortion:
      ApplyDistortionSetter(*DistortionFx, row.Setter, x);
      return;
    case TFxUnit::Chorus:
      ApplyChorusSetter(*ChorusFx, row.Setter, x);
      return;
    case TFxUnit::XFilter:
      ApplyXFilterSetter(*XFilterFx, row.Setter, x);
      return;
    case TFxUnit::Delay:
      ApplyDelaySetter(*DelayFx, row.Setter, x);
      return;
    case TFxUnit::Phaser:
      ApplyPhaserSetter(*PhaserFx, row.Setter, x);
      return;
    default:
      return;
  }
}

void TVoicerackGFXSynth::BuildModTargets() {
  ReverseMap.assign(static_cast<std::size_t>(std::max(ParamCount, kRackParamCount)), -1);
  for (int fx = 0; fx < kFxParamCount; ++fx) {
    const std::int32_t id = FxMap[static_cast<std::size_t>(fx)];
    if (id >= 0 && id < static_cast<std::int32_t>(ReverseMap.size()))
      ReverseMap[static_cast<std::size_t>(id)] = static_cast<std::int16_t>(fx);
  }
  // Target 0 is "---", no target.
  Accum.fill(0.0f);
  Active.fill(false);
  WasActive.fill(false);
  for (int t = 1; t < kFxModTargetCount; ++t) AddModTarget(t);
  SlotTarget.fill(0);
  FxMatrixDirty.store(true);
}

void TVoicerackGFXSynth::AddModTarget(int target) {
  const auto t = static_cast<std::size_t>(target);
  // Until a program sets it, the base is that of the default.
  const TFxParamRow& row = FxParamRow(FxModTargetTable[t].Fx);
  Base[t] = ConvertFxValue(row, static_cast<float>(row.Default));
  Accum[t] = 0.0f;
  Active[t] = false;
  WasActive[t] = false;
}

void TVoicerackGFXSynth::ApplyModTarget(int target, float m) {
  if (FindFxModTarget(target) == nullptr) return;
  const TFxModTargetRow& t = FxModTargetTable[target];
  const TFxParamRow& row = FxParamRow(t.Fx);
  const std::int32_t mode = ChannelMode(row.Unit);
  float base = Base[static_cast<std::size_t>(target)];
  if ((t.Link == TFxLink::Follower && mode != 0) || (t.Link == TFxLink::FollowerMode1 && mode == 1))
    base = Base[static_cast<std::size_t>(t.Partner)];
  ApplyFxSetter(row, base * (1.0f + m));
  if (t.Link == TFxLink::Leader && mode == 1) ApplyModTarget(t.Partner, m);
}

void TVoicerackGFXSynth::SlotChanged(int slot) {
  if (slot < 1 || slot > kFxModSlotCount) return;
  const int src = kFxFirstSlotParam + 3 * (slot - 1);
  // A slot without a source or without a valid target feeds nothing.
  const std::int32_t source = GetParameterInt(FxParamIndex(src));
  const std::int32_t target = GetParameterInt(FxParamIndex(src + 1));
  const std::int32_t now = source > 0 && FindFxModTarget(target) != nullptr ? target : 0;
  std::int32_t& before = SlotTarget[static_cast<std::size_t>(slot)];
  if (before == now) return;
  // The target this slot no longer feeds gets its plain base back at once.
  if (before > 0) ApplyModTarget(before, 0.0f);
  before = now;
}

void TVoicerackGFXSynth::DecodeFxMatrix() {
  MatrixProgram = CurrentProgram();
  MatrixOn = GetParameterInt(FxParamIndex(kFxModOnIndex)) != 0;
  FeedingSlotCount = 0;
  FedTargetCount = 0;
  for (int slot = 1; slot <= kFxModSlotCount; ++slot) {
    const int src = kFxFirstSlotParam + 3 * (slot - 1);
    const std::int32_t source = GetParameterInt(FxParamIndex(src));
    if (source <= 0) continue;
    const std::int32_t target = GetParameterInt(FxParamIndex(src + 1));
    // Targets past the table (the parameter reaches 256) select nothing.
    if (FindFxModTarget(target) == nullptr) continue;
    TFxModSlot& s = FeedingSlots[static_cast<std::size_t>(FeedingSlotCount++)];
    s.Source = source;
    s.Target = target;
    s.Amount = NormToAmp60(GetParameterReal(FxParamIndex(src + 2)) * 0.001f);
    const auto end = FedTargets.begin() + FedTargetCount;
    if (std::find(FedTargets.begin(), end, target) == end)
      FedTargets[static_cast<std::size_t>(FedTargetCount++)] = target;
  }
  std::sort(FedTargets.begin(), FedTargets.begin() + FedTargetCount);
  FedTargetsSettled = false;
}

void TVoicerackGFXSynth::UpdateFXModulation() {
  if (!FxMapAssigned) return;
  if (FxMatrixDirty.exchange(false, std::memory_order_acq_rel) || MatrixProgram != CurrentProgram()) DecodeFxMatrix();
  if (!MatrixOn) {
    // Switched off: every target the matrix moved returns to its base.
    if (ModWasOn) {
      for (int t = 1; t < kFxModTargetCount; ++t) {
        if (WasActive[static_cast<std::size_t>(t)]) ApplyModTarget(t, 0.0f);
      }
      WasActive.fill(false);
      ModWasOn = false;
    }
    FedTargetsSettled = false;
    return;
  }
  ModWasOn = true;
  for (auto& lfo : FxLfos) lfo->Tick();
  if (FedTargetsSettled) {
    // The same targets as at the last update: only theirs change.
    for (std::int32_t k = 0; k < FedTargetCount; ++k)
      Accum[static_cast<std::size_t>(FedTargets[static_cast<std::size_t>(k)])] = 0.0f;
  } else {
    Accum.fill(0.0f);
    Active.fill(false);
  }
  for (std::int32_t k = 0; k < FeedingSlotCount; ++k) {
    const TFxModSlot& slot = FeedingSlots[static_cast<std::size_t>(k)];
    const auto target = static_cast<std::size_t>(slot.Target);
    Active[target] = true;
    const float x =
        slot.Source <= kFxLfoSources ? FxLfos[static_cast<std::size_t>(slot.Source - 1)]->OutputSample : 0.0f;
    Accum[target] += x * slot.Amount;
  }
  if (FedTargetsSettled) {
    for (std::int32_t k = 0; k < FedTargetCount; ++k) {
      const std::int32_t t = FedTargets[static_cast<std::size_t>(k)];
      ApplyModTarget(t, Accum[static_cast<std::size_t>(t)]);
    }
    return;
  }
  for (int t = 1; t < kFxModTargetCount; ++t) {
    const auto i = static_cast<std::size_t>(t);
    // A target no slot feeds any more (its source or slot was removed)
    // returns to its base.
    if (Active[i]) {
      ApplyModTarget(t, Accum[i]);
    } else if (WasActive[i]) {
      ApplyModTarget(t, 0.0f);
    }
  }
  WasActive = Active;
  FedTargetsSettled = true;
}
