// The synthesis layer's construction, id map, descriptors, the dispatch of a
// changed value to the instrument fields and the voices, and value texts.
// The per-voice control stages are in voice_mod.cpp.
#include "engines/voicerack_kwp_synth.h"

#include <algorithm>

#include "dsp/effects/distortion.h"
#include "dsp/filters/multi_filter.h"
#include "dsp/sampler/sample_interpolation.h"
#include "dsp/shapers/multi_shaper.h"
#include "dsp/voices/synth_voice.h"
#include "framework/base/base_math.h"
#include "framework/core/name_lists.h"
#include "framework/core/value_text.h"

namespace {

// The type lists of the DSP classes, for the value texts of the parameters
// that choose them (this layer's filter and shaper types, the sequencers'
// octave modes, the rack's distortion curves, the sampler's interpolation).
std::string FilterTypeText(std::int32_t i) { return std::string(FilterTypeName(i)); }
std::string DistortionCurveText(std::int32_t i) { return std::string(GetDistortionCurveName(i)); }
const TNameListRegistration gFilterTypeNames(TNameListId::FilterType, &FilterTypeText);
const TNameListRegistration gShaperNames(TNameListId::Shaper, &GetShaperName);
const TNameListRegistration gOctaveModeNames(TNameListId::OctaveMode, &GetOctaveModeName);
const TNameListRegistration gDistortionCurveNames(TNameListId::DistortionCurve, &DistortionCurveText);
const TNameListRegistration gInterpolationNames(TNameListId::Interpolation, &GetInterpolationName);

// Matrix target names are short strings of at most this many characters.
constexpr std::size_t kTargetNameMax = 24;

// The order in which the sections are mapped.
constexpr TKwpSection kSectionOrder[] = {
    TKwpSection::Lfo1,    TKwpSection::Lfo2,    TKwpSection::Lfo3,   TKwpSection::Env1, TKwpSection::Env2,
    TKwpSection::Filter1, TKwpSection::Filter2, TKwpSection::Shaper, TKwpSection::VMod, TKwpSection::Master};
static_assert(std::size(kSectionOrder) == TKwpSectionCount);

// Locals the dispatch needs by name.
constexpr std::int32_t kTuneLocal = KwpLocalOf(TKwpOp::Tune);
constexpr std::int32_t kShaperOnLocal = KwpLocalOf(TKwpOp::ShaperOn);
constexpr std::int32_t kShaperModeLocal = KwpLocalOf(TKwpOp::ShaperChannelMode);
static_assert(kTuneLocal == 1 && KwpParamTable[kTuneLocal + 1].Op == TKwpOp::Tune);
static_assert(kShaperOnLocal == 76 && kShaperModeLocal == 83);
static_assert(KwpLocalOf(TKwpOp::ModOn) == kKwpModOnLocal);
static_assert(KwpLocalOf(TKwpOp::SlotSource, 1) == kKwpFirstSlotLocal);

// Sequencer-layer locals (within one sequencer) whose ids key the matrix's
// sequencer level, gate and pitch factor targets.
constexpr std::int32_t kSeqFactorLocals[3] = {6, 5, 8};

// A time parameter (cents relative to one second) in milliseconds; the
// floor -13160 and below stand for no time at all.
float FlooredMs(float cents) { return cents <= static_cast<float>(kCentsFloor) ? 0.0f : CentsToLin1000F(cents); }
// An LFO stage length in samples: whole milliseconds; the floor is 0.
std::int32_t LfoStageSamples(float cents, std::int32_t samplesPerMs) {
  if (cents <= static_cast<float>(kCentsFloor)) return 0;
  return CentsToLin1000(std::min(cents, 12000.0f)) * samplesPerMs;
}

bool IsLinked(std::int32_t channelMode) { return channelMode != 0; }
int SideIndex(TKwpSide side) { return side == TKwpSide::Right ? 1 : 0; }

}  // namespace

TVoicerackKWPSynth::TVoicerackKWPSynth() {
  EditorWidth = 774;
  Map.fill(-1);
  KwpPanels.fill(-1);
  AddVoiceModTarget(-1, "---");
  Random.Seed(MatrixSeed());
}

std::uint64_t TVoicerackKWPSynth::MatrixSeed() {
  // Place 48, clear of the rack's and the voices'.
  return MixSeed(kRandomSeed, 48);
}

void TVoicerackKWPSynth::ReseedRandomSources() {
  TVoicerackArpSynth::ReseedRandomSources();
  Random.Seed(MatrixSeed());
}

TVoicerackKWPSynth::~TVoicerackKWPSynth() = default;

// ---- id map

void TVoicerackKWPSynth::AssignParameterIds() {
  TVoicerackArpSynth::AssignParameterIds();
  for (TKwpSection section : kSectionOrder) MapSection(section);
  Ready = true;
  BuildKwpReverseMap();

  for (int b = 0; b < 2; ++b) {
    for (int s = 0; s < 2; ++s) {
      const TKwpSide side = s == 0 ? TKwpSide::Left : TKwpSide::Right;
      TFilterSideIds& ids = FilterIds[static_cast<std::size_t>(b)][static_cast<std::size_t>(s)];
      ids.Cutoff = KwpParamIndex(KwpLocalOf(TKwpOp::Cutoff, b + 1, side));
      ids.Q = KwpParamIndex(KwpLocalOf(TKwpOp::Q, b + 1, side));
      ids.Bandwidth = KwpParamIndex(KwpLocalOf(TKwpOp::Bandwidth, b + 1, side));
      for (int e = 0; e < 2; ++e)
        ids.Env[static_cast<std::size_t>(e)] = KwpParamIndex(KwpLocalOf(TKwpOp::CutoffEnv, b + 1, side, e + 1));
      for (int k = 0; k < kKwpLfoCount; ++k)
        ids.Lfo[static_cast<std::size_t>(k)] = KwpParamIndex(KwpLocalOf(TKwpOp::CutoffLfo, b + 1, side, k + 1));
    }
  }
  ShapeAmountIds = {KwpParamIndex(KwpLocalOf(TKwpOp::ShapeAmount, 0, TKwpSide::Left)),
                    KwpParamIndex(KwpLocalOf(TKwpOp::ShapeAmount, 0, TKwpSide::Right))};
  for (int k = 0; k < kKwpLfoCount; ++k) {
    LfoAmpIds[static_cast<std::size_t>(k)] = KwpParamIndex(KwpLocalOf(TKwpOp::LfoAmp, k + 1));
    LfoFrequencyIds[static_cast<std::size_t>(k)] = KwpParamIndex(KwpLocalOf(TKwpOp::LfoFrequency, k + 1));
  }
  for (int s = 0; s < 2; ++s) {
    for (int f = 0; f < 3; ++f)
      SeqFactorIds[static_cast<std::size_t>(s)][static_cast<std::size_t>(f)] =
          SeqParamIndex(s * kSeqParamsPerSequencer + kSeqFactorLocals[f]);
  }
  MatrixDirty.store(true);
}

void TVoicerackKWPSynth::MapSection(TKwpSection section) {
  bool& mapped = SectionMapped[static_cast<std::size_t>(section)];
  if (mapped) return;
  mapped = true;
  for (std::int32_t l = 0; l < kKwpParamCount; ++l) {
    const TKwpParamRow& row = KwpParamRow(l);
    if (row.Section == section) Map[static_cast<std::size_t>(l)] = row.Id;
  }
}

void TVoicerackKWPSynth::BuildKwpReverseMap() {
  ReverseMap.assign(static_cast<std::size_t>(std::max<std::int32_t>(ParamCount, 0)), -1);
  for (std::int32_t l = 0; l < kKwpParamCount; ++l) {
    const std::int32_t id = Map[static_cast<std::size_t>(l)];
    if (id >= 0 && id < static_cast<std::int32_t>(ReverseMap.size()))
      ReverseMap[static_cast<std::size_t>(id)] = static_cast<std::int16_t>(l);
  }
}

std::int32_t TVoicerackKWPSynth::KwpParamIndex(std::int32_t local) const {
  if (local < 0 || local >= kKwpParamCount) return -1;
  return Map[static_cast<std::size_t>(local)];
}

std::int32_t TVoicerackKWPSynth::KwpLocalOfParam(std::int32_t id) const {
  if (id < 0 || id >= static_cast<std::int32_t>(ReverseMap.size())) return -1;
  return ReverseMap[static_cast<std::size_t>(id)];
}

// ---- modulation targets

void TVoicerackKWPSynth::AddVoiceModTarget(std::int32_t id, std::string_view name) {
  TargetIds.push_back(id);
  TargetNames.emplace_back(name.substr(0, std::min(name.size(), kTargetNameMax)));
  MatrixDirty.store(true);
}

std::int32_t TVoicerackKWPSynth::VoiceModTargetId(std::int32_t t) const {
  if (t < 0 || t >= VoiceModTargetCount()) return -1;
  return TargetIds[static_cast<std::size_t>(t)];
}

std::string_view TVoicerackKWPSynth::VoiceModTargetName(std::int32_t t) const {
  if (t < 0 || t >= VoiceModTargetCount()) return {};
  return TargetNames[static_cast<std::size_t>(t)];
}

// ---- descriptors

void TVoicerackKWPSynth::InitParameterInfo() {
  TVoicerackArpSynth::InitParameterInfo();
  Accum.assign(static_cast<std::size_t>(std::max<std::int32_t>(ParamCount, 0)), 0.0f);
  AccumData = Accum.data();
  AccumCount = static_cast<std::uint32_t>(Accum.size());
  MatrixDirty.store(true);
  if (MaxVoices < 0) ShowMessageText("Bad old max voices in " + EffectName);
  // The core's selector parameter is "Voices": message 8051 applies it again.
  const std::int32_t voices = KwpParamIndex(KwpLocalOf(TKwpOp::Voices));
  if (voices >= 0) ProgramSelectorParam = voices;
  for (std::int32_t l = 0; l < kKwpParamCount; ++l) {
    const TKwpParamRow& row = KwpParamRow(l);
    const std::int32_t id = KwpParamIndex(l);
    if (!SectionMapped[static_cast<std::size_t>(row.Section)] || id < 0 || id >= ParamCountAllocated()) continue;
    InitKwpParamInfo(row, ParamInfo[static_cast<std::size_t>(id)], KwpPanels, MaxVoices);
  }
}

// ---- settings

void TVoicerackKWPSynth::SetAudioSettings(TAudioSettingsRec* rec) {
  TVoicerackArpSynth::SetAudioSettings(rec);
  ControlInputsChanged();
  if (!Ready) return;
  for (std::int32_t l = 0; l < kKwpParamCount; ++l) {
    switch (KwpParamRow(l).Op) {
      case TKwpOp::Glide:
      case TKwpOp::Env2Delay:
      case TKwpOp::LfoDelay:
      case TKwpOp::LfoAttack:
      case TKwpOp::LfoHold:
      case TKwpOp::LfoRelease:
        DispatchKwpParameter(l);
        break;
      default:
        break;
    }
  }
}

// ---- dispatch

void TVoicerackKWPSynth::ParameterChanged(std::int32_t i) {
  TVoicerackArpSynth::ParameterChanged(i);
  ++ParamChanges;
  ControlInputsChanged();
  if (!Ready) return;
  const std::int32_t local = KwpLocalOfParam(i);
  if (local >= 0) DispatchKwpParameter(local);
}

void TVoicerackKWPSynth::ReapplyRange(std::int32_t lo, std::int32_t hi) {
  for (std::int32_t l = std::max(lo, 0); l <= std::min(hi, kKwpParamCount - 1); ++l) {
    if (KwpParamIndex(l) >= 0) DispatchKwpParameter(l);
  }
}

float TVoicerackKWPSynth::RealOf(std::int32_t local) { return GetParameterReal(KwpParamIndex(local)); }
std::int32_t TVoicerackKWPSynth::IntOf(std::int32_t local) { return GetParameterInt(KwpParamIndex(local)); }

void TVoicerackKWPSynth::SetFilterTypes(int block, int side, float type) {
  ForEachVoice<TDSPSynthVoice>([&](TDSPSynthVoice& voice) {
    auto& filters = block == 0 ? voice.Filter1 : voice.Filter2;
    filters[static_cast<std::size_t>(side)].SetFilterType(type);
  });
}

void TVoicerackKWPSynth::SetShapeTypes(int side, float type) {
  ForEachVoice<TDSPSynthVoice>(
      [&](TDSPSynthVoice& voice) { voice.Shaper[static_cast<std::size_t>(side)].SetShape(type); });
}

void TVoicerackKWPSynth::DispatchKwpParameter(std::int32_t local) {
  ControlInputsChanged();
  const TKwpParamRow& row = KwpParamRow(local);
  const float v = RealOf(local);
  const std::int32_t spm = Settings->SamplesPerMs;
  const int unit = row.Unit;
  const auto u = static_cast<std::size_t>(unit > 0 ? unit - 1 : 0);  // 0-based envelope, block or LFO
  const int side = SideIndex(row.Side);
  const auto s = static_cast<std::size_t>(side);
  auto envelope = [unit](TDSPEnvVoice& voice) -> TDSPADSR& { return unit == 2 ? voice.Env2 : voice.Env1; };
  auto forEnvelopes = [&](auto fn) { ForEachVoice<TDSPEnvVoice>([&](TDSPEnvVoice& voice) { fn(envelope(voice)); }); };

  switch (row.Op) {
    case TKwpOp::Gain:
      Values.GainLevel = NormToAmp60(v * 0.001f);
      return;
    case TKwpOp::Tune:
      Values.TuneOffset = RealOf(kTuneLocal) + RealOf(kTuneLocal + 1) * 0.01f;
      return;
    case TKwpOp::Legato:
      SetLegato(v > 0.0f);
      return;
    case TKwpOp::Voices:
      // The selector parameter is this one (InitParameterInfo).
      RequestVoiceCount(GetSelectorValue());
      return;
    case TKwpOp::Glide:
      Values.GlideSamples = FlooredMs(v) * static_cast<float>(spm);
      Values.GlideReciprocal = SafeReciprocal(Values.GlideSamples);
      return;
    case TKwpOp::PitchBendRange:
      PitchBendRange = v;
      UpdatePitchBend();
      return;
    case TKwpOp::EnvAttack:
      forEnvelopes([ms = CentsToLin1000F(v)](TDSPADSR& env) { env.SetAttack(ms); });
      return;
    case TKwpOp::EnvDecay:
      forEnvelopes([ms = CentsToLin1000F(v)](TDSPADSR& env) { env.SetDecay(ms); });
      return;
    case TKwpOp::EnvSustain:
      forEnvelopes([level = v * (1.0f / 127.0f)](TDSPADSR& env) { env.SetSustain(level); });
      return;
    case TKwpOp::EnvRelease:
      forEnvelopes([ms = CentsToLin1000F(v)](TDSPADSR& env) { env.SetRelease(ms); });
      return;
    case TKwpOp::AmpToEnv:
      Values.AmpToEnv[u] = v * 0.01f;
      return;
    case TKwpOp::EnvCurve:
      if (unit == 2) SetEnv2CurveLaw(RoundF(v));
      else SetEnv1CurveLaw(RoundF(v));
      return;
    case TKwpOp::EnvScaleType:
      Values.EnvScaleType[u] = RoundF(v);
      return;
    case TKwpOp::EnvScaleTarget:
      Values.EnvScaleTarget[u] = v * 0.001f;
      return;
    case TKwpOp::Env2Delay:
      // The floor means no delay: envelope 2 starts with the note.
      Values.Env2DelaySamples = RoundF(FlooredMs(v) * static_cast<float>(spm));
      return;
    case TKwpOp::FilterOn:
      Values.FilterOn[u] = v > 0.0f;
      return;
    case TKwpOp::FilterType: {
      const bool linked = IsLinked(Values.FilterChannelMode[u]);
      if (side == 0) {
        SetFilterTypes(static_cast<int>(u), 0, v);
        if (linked) SetFilterTypes(static_cast<int>(u), 1, v);
      } else if (!linked) {
        SetFilterTypes(static_cast<int>(u), 1, v);
      }
      return;
    }
    case TKwpOp::Cutoff:
      Values.Filter[u][s].Cutoff = v;
      return;
    case TKwpOp::Q:
      Values.Filter[u][s].Q = v * 0.001f;
      return;
    case TKwpOp::Bandwidth:
      Values.Filter[u][s].Bandwidth = v * 0.001f;
      return;
    case TKwpOp::CutoffEnv:
      Values.Filter[u][s].DepthEnv[static_cast<std::size_t>(row.Num - 1)] = NormToAmp60(v * 0.001f);
      return;
    case TKwpOp::CutoffLfo:
      Values.Filter[u][s].DepthLfo[static_cast<std::size_t>(row.Num - 1)] = NormToAmp60(v * 0.001f);
      return;
    case TKwpOp::FilterChannelMode:
      Values.FilterChannelMode[u] = RoundF(v);
      // The block's rows lie from its switch to the row before "Chn".
      ReapplyRange(KwpLocalOf(TKwpOp::FilterOn, unit), local - 1);
      return;
    case TKwpOp::LfoFrequency:
      Values.Lfo[u].BaseFrequency = PitchToFreq(v) * 10.0f;
      return;
    case TKwpOp::LfoWaveform:
      ForEachVoice<TDSPSynthVoice>([&](TDSPSynthVoice& voice) { voice.Lfo[u].SetWaveform(v); });
      return;
    case TKwpOp::LfoAmp:
      Values.Lfo[u].BaseAmplitude = NormToAmp60(v * 0.001f);
      return;
    case TKwpOp::LfoReset:
      ForEachVoice<TDSPSynthVoice>([&](TDSPSynthVoice& voice) { voice.LfoReset[u] = v > 0.0f; });
      return;
    case TKwpOp::LfoDelay:
      Values.Lfo[u].Delay = LfoStageSamples(v, spm);
      return;
    case TKwpOp::LfoAttack:
      Values.Lfo[u].Attack = LfoStageSamples(v, spm);
      return;
    case TKwpOp::LfoHold:
      Values.Lfo[u].Hold = LfoStageSamples(v, spm);
      return;
    case TKwpOp::LfoRelease:
      Values.Lfo[u].Release = LfoStageSamples(v, spm);
      return;
    case TKwpOp::LfoCycles:
      Values.Lfo[u].Cycles = RoundF(v);
      return;
    case TKwpOp::ShaperOn:
      Values.ShaperOn = v > 0.0f;
      return;
    case TKwpOp::ShapeAmount:
      Values.ShaperAmount[s] = v * 0.001f;
      return;
    case TKwpOp::ShapeType: {
      const bool linked = IsLinked(Values.ShaperChannelMode);
      if (side == 0) {
        SetShapeTypes(0, v);
        if (linked) SetShapeTypes(1, v);
      } else {
        SetShapeTypes(1, linked ? RealOf(row.Partner) : v);
      }
      return;
    }
    case TKwpOp::ShapeRoute: {
      const bool linked = IsLinked(Values.ShaperChannelMode);
      if (side == 0) {
        Values.ShaperRoute[0] = RoundF(v);
        if (linked) Values.ShaperRoute[1] = RoundF(v);
      } else {
        Values.ShaperRoute[1] = RoundF(linked ? RealOf(row.Partner) : v);
      }
      return;
    }
    case TKwpOp::ShaperChannelMode:
      Values.ShaperChannelMode = RoundF(v);
      ReapplyRange(kShaperOnLocal, kShaperModeLocal - 1);
      return;
    case TKwpOp::PmMethod:
      Values.PmMethod = RoundF(v);
      return;
    case TKwpOp::ModOn:
      Values.ModOn = RoundF(v) == 1;
      return;
    case TKwpOp::SlotSource:
    case TKwpOp::SlotTarget:
    case TKwpOp::SlotAmount:
      // The matrix rereads its slots at the next update.
      MatrixDirty.store(true);
      return;
  }
}

// ---- value texts

void TVoicerackKWPSynth::FormatParamValue(std::int32_t param, std::string& text, float real) {
  const std::int32_t local = Ready ? KwpLocalOfParam(param) : -1;
  if (local >= 0) {
    const std::int32_t r = RoundF(real);
    switch (KwpParamRow(local).Op) {
      case TKwpOp::SlotSource:
        text = VModSourceName(r);
        return;
      case TKwpOp::SlotTarget:
        text = VoiceModTargetName(r).substr(0, kValueTextMax);
        return;
      case TKwpOp::FilterChannelMode:
      case TKwpOp::ShaperChannelMode:
        text = KwpChannelModeName(r);
        return;
      default:
        break;
    }
  }
  TVoicerackArpSynth::FormatParamValue(param, text, real);
}
