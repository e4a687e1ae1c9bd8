// The synthesis layer's per-voice control stages: the LFOs with their
// delay / attack / hold / release cycle, the voice modulation matrix "VMod",
// the modulated shaper amounts, LFO gains and rates and sequencer factors,
// the filter blocks' cutoff, Q and bandwidth, and the modulated pitch.
//
// Audio thread, once per voice per control period (one millisecond of
// samples), inside the render loop: nothing here allocates or locks.
#include <algorithm>
#include <bit>
#include <cmath>

#include "dsp/filters/multi_filter.h"
#include "dsp/voices/synth_voice.h"
#include "engines/voicerack_kwp_synth.h"
#include "framework/base/base_math.h"

namespace {

// x clamped to 0..1; NaN gives 0.
float Clamp01(float x) {
  if (!(x > 0.0f)) return 0.0f;
  return x > 1.0f ? 1.0f : x;
}

// True when a filter setting that stores `value` clamped to min..max (and
// ignores a value that is not finite) leaves `stored` as it is.
bool Keeps(float stored, float value, float min, float max) {
  if (!std::isfinite(value)) return true;
  TDSPBaseControl::ClampFloat(value, min, max);
  return value == stored;
}

}  // namespace

void TVoicerackKWPSynth::DecodeMatrix() {
  const auto accumCount = static_cast<std::int32_t>(Accum.size());
  for (std::int32_t n = 0; n < kVModSlotCount; ++n) {
    const std::int32_t local = kKwpFirstSlotLocal + 3 * n;
    TVModSlot& slot = Slots[static_cast<std::size_t>(n)];
    slot.Source = IntOf(local);
    slot.Amount = NormToAmp60(RealOf(local + 2) * 0.001f);
    // A slot feeds an accumulator only with a source that has a value and a
    // target entry (not "---") whose id lies among the parameters.
    const std::int32_t id = VoiceModTargetId(IntOf(local + 1));
    const bool active = Ready && slot.Source > kSrcNone && slot.Source < kVModSourceCount && id >= 0 && id < accumCount;
    slot.Accum = active ? id : -1;
  }
  ControlInputsChanged();
  // Only the accumulators of active slots are written from now on: every
  // other one stays 0 until the next decode.
  std::fill(Accum.begin(), Accum.end(), 0.0f);
  FedCount = 0;
  ActiveSlotCount = 0;
  for (const TVModSlot& slot : Slots) {
    if (slot.Accum < 0) continue;
    ActiveSlots[static_cast<std::size_t>(ActiveSlotCount++)] = slot;
    const auto end = FedIds.begin() + FedCount;
    if (std::find(FedIds.begin(), end, slot.Accum) == end) FedIds[static_cast<std::size_t>(FedCount++)] = slot.Accum;
  }
  // The accumulators the levels stage and the filter blocks read that may
  // hold anything but 0 (see TVoiceControlPlan).
  const bool seqPitch = static_cast<std::uint32_t>(SeqPitchTargetId) < AccumCount;
  auto fed = [&](std::int32_t id) {
    if (seqPitch && id == SeqPitchTargetId) return true;
    return std::find(FedIds.begin(), FedIds.begin() + FedCount, id) != FedIds.begin() + FedCount;
  };
  LevelIdsFed = false;
  for (std::int32_t id : ShapeAmountIds) LevelIdsFed = LevelIdsFed || fed(id);
  for (std::size_t k = 0; k < kKwpLfoCount; ++k)
    LevelIdsFed = LevelIdsFed || fed(LfoAmpIds[k]) || fed(LfoFrequencyIds[k]);
  for (const auto& ids : SeqFactorIds)
    for (std::int32_t id : ids) LevelIdsFed = LevelIdsFed || fed(id);
  FilterIdsFed = false;
  for (const auto& block : FilterIds) {
    for (const TFilterSideIds& side : block) {
      for (std::int32_t id :
           {side.Cutoff, side.Q, side.Bandwidth, side.Env[0], side.Env[1], side.Lfo[0], side.Lfo[1], side.Lfo[2]})
        FilterIdsFed = FilterIdsFed || fed(id);
    }
  }
}

bool TVoicerackKWPSynth::MatrixDrawsRandom() {
  if (MatrixDirty.exchange(false, std::memory_order_acq_rel)) DecodeMatrix();
  if (!Values.ModOn) return false;
  for (std::int32_t k = 0; k < ActiveSlotCount; ++k)
    if (ActiveSlots[static_cast<std::size_t>(k)].Source == kSrcRandom) return true;
  return false;
}

void TVoicerackKWPSynth::PlanVoiceControl(const std::array<bool, kKwpLfoCount>& lfoReadAbove) {
  if (MatrixDirty.exchange(false, std::memory_order_acq_rel)) DecodeMatrix();
  TVoiceControlPlan plan;
  plan.Planned = true;
  for (std::size_t k = 0; k < kKwpLfoCount; ++k) {
    bool read = lfoReadAbove[k];
    for (std::size_t b = 0; b < 2; ++b) {
      if (!Values.FilterOn[b]) continue;
      const std::size_t sides = Values.FilterChannelMode[b] == 0 ? 2 : 1;
      for (std::size_t side = 0; side < sides; ++side) read |= Values.Filter[b][side].DepthLfo[k] != 0.0f;
    }
    plan.LfoRead[k] = read;
  }
  const bool seqPitch = SeqPitchTargetId >= 0 && SeqPitchTargetId < static_cast<std::int32_t>(Accum.size());
  for (int s = 0; s < 2; ++s) plan.SeqRead[static_cast<std::size_t>(s)] = seqPitch && SeqPitchAmount(s) != 0.0f;
  if (Values.ModOn) {
    for (std::int32_t n = 0; n < ActiveSlotCount; ++n) {
      const std::int32_t source = ActiveSlots[static_cast<std::size_t>(n)].Source;
      if (source >= kSrcLfo1 && source <= kSrcLfo3) plan.LfoRead[static_cast<std::size_t>(source - kSrcLfo1)] = true;
      if (source >= kSrcSeq1Level && source <= kSrcSeq2Env)
        plan.SeqRead[static_cast<std::size_t>((source - kSrcSeq1Level) / 4)] = true;
    }
  }
  plan.LevelIdsFed = LevelIdsFed;
  plan.FilterIdsFed = FilterIdsFed;
  Plan = plan;
}

inline void TVoicerackKWPSynth::StepLfo(TDSPSynthVoice& voice, int k) {
  const auto i = static_cast<std::size_t>(k);
  const TKwpLfoSettings& lfo = Values.Lfo[i];
  std::int64_t& n = voice.LfoCounter[i];
  std::int32_t& cycles = voice.LfoCycles[i];
  const std::int64_t spm = Settings->SamplesPerMs;
  const std::int64_t delay = lfo.Delay;
  const std::int64_t attack = lfo.Attack;
  const std::int64_t hold = lfo.Hold;
  const std::int64_t release = lfo.Release;
  float value = 0.0f;
  if (n >= delay && !(lfo.Cycles > 0 && cycles >= lfo.Cycles)) {
    TDSPOscillator& osc = voice.Lfo[i];
    osc.Tick();
    value = osc.OutputSample;
    if (attack > 0 && n < delay + attack) {
      value *= static_cast<float>(n - delay) / static_cast<float>(attack);
    } else if (hold > 0 && n > delay + attack + hold && release > 0) {
      const std::int64_t r = n - (delay + attack + hold);
      if (r < release) {
        value *= 1.0f - static_cast<float>(r) / static_cast<float>(release);
      } else {
        // The cycle ends: silent now, and the next step starts it again.
        value = 0.0f;
        ++cycles;
        n = -spm;
      }
    }
  }
  n += spm;
  LfoValues[i] = value;
}

// StepLfo for an LFO whose value nothing reads: the counters and the
// waveform's state move as StepLfo moves them, the value is 0.
[[gnu::always_inline]] inline void TVoicerackKWPSynth::PassLfo(TDSPSynthVoice& voice, int k) {
  const auto i = static_cast<std::size_t>(k);
  const TKwpLfoSettings& lfo = Values.Lfo[i];
  std::int64_t& n = voice.LfoCounter[i];
  std::int32_t& cycles = voice.LfoCycles[i];
  LfoValues[i] = 0.0f;
  if (n >= lfo.Delay && !(lfo.Cycles > 0 && cycles >= lfo.Cycles)) {
    TDSPBaseOscillator& wave = voice.Lfo[i].CurrentWaveform();
    if (wave.TickOnlyReads()) {
      wave.StepPhase(wave.Increment);  // Tick's phase step
    } else {
      voice.Lfo[i].Tick();
    }
    const std::int64_t fadeEnd = static_cast<std::int64_t>(lfo.Delay) + lfo.Attack;
    const std::int64_t holdEnd = fadeEnd + lfo.Hold;
    if (!(lfo.Attack > 0 && n < fadeEnd) && lfo.Hold > 0 && lfo.Release > 0 && n > holdEnd &&
        n - holdEnd >= lfo.Release) {
      ++cycles;
      n = -static_cast<std::int64_t>(Settings->SamplesPerMs);
    }
  }
  n += Settings->SamplesPerMs;
}

[[gnu::always_inline]] inline void TVoicerackKWPSynth::TickSequencer(TDSPSynthVoice& voice, int s) {
  TDSPSequencer& seq = voice.Sequencer(s);
  const auto slot = static_cast<std::size_t>(voice.VoiceIndex);
  const bool slotKnown = slot < SeqRestStamp.size();
  const std::uint32_t rest = ParamChanges + 1;
  // A note start (the first update, counter -1) may have restarted it.
  if (slotKnown && !Plan.SeqRead[static_cast<std::size_t>(s)] && !seq.Power() && voice.ControlCounter != -1 &&
      SeqRestStamp[slot][static_cast<std::size_t>(s)] == rest)
    return;
  seq.Tick();
  if (slotKnown) SeqRestStamp[slot][static_cast<std::size_t>(s)] = !seq.Power() && !seq.GainsWhileOff ? rest : 0;
}

void TVoicerackKWPSynth::UpdateVoiceLevels(TDSPSynthVoice& voice) {
  // A planned block decoded a changed matrix when it was planned.
  if (!Plan.Planned && MatrixDirty.exchange(false, std::memory_order_acq_rel)) DecodeMatrix();
  // A note's first update computes everything.
  if (voice.ControlCounter == -1) voice.ForgetSettledInputs();

  // 1. The LFOs.
  for (int k = 0; k < kKwpLfoCount; ++k) {
    if (Plan.LfoRead[static_cast<std::size_t>(k)]) {
      StepLfo(voice, k);
    } else {
      PassLfo(voice, k);
    }
  }

  // 2. The sequencers, and the source values. A sequencer's values carry the
  // factors of the previous update.
  TickSequencer(voice, 0);
  TickSequencer(voice, 1);
  float* acc = AccumData;
  const bool seqPitch = static_cast<std::uint32_t>(SeqPitchTargetId) < AccumCount;
  const bool matrix = Values.ModOn && ActiveSlotCount > 0;
  // In a planned block only the sources something reads: the matrix's, or
  // the sequencers' pitch for the pitch target.
  auto seqPitchSource = [&](int s) {
    const TDSPSequencer& seq = voice.Sequencer(s);
    Sources[static_cast<std::size_t>(kSrcSeq1Pitch + 4 * s)] = seq.PitchOutput * seq.PitchFactor;
  };
  if (matrix || !Plan.Planned) {
    Sources[kSrcNone] = 0.0f;
    for (int k = 0; k < kKwpLfoCount; ++k)
      Sources[static_cast<std::size_t>(kSrcLfo1 + k)] = LfoValues[static_cast<std::size_t>(k)];
    for (int s = 0; s < 2; ++s) {
      const TDSPSequencer& seq = voice.Sequencer(s);
      const auto first = static_cast<std::size_t>(kSrcSeq1Level + 4 * s);
      Sources[first] = seq.LevelOutput * seq.LevelFactor;
      Sources[first + 1] = seq.GateOutput * seq.GateFactor;
      seqPitchSource(s);
      Sources[first + 3] = seq.EnvOutput;
    }
    Sources[kSrcEnv1] = voice.Env1.OutputSample;
    Sources[kSrcEnv2] = voice.Env2.OutputSample;
    Sources[kSrcPitch] = (static_cast<float>(std::clamp(voice.Note, 0, 127)) * (1.0f / 127.0f) - 0.5f) * 2.0f;
  } else if (seqPitch) {
    seqPitchSource(0);
    seqPitchSource(1);
  }

  // 3. The accumulators start from 0 (those of the active slots and the
  // sequencer pitch target are the only ones ever written).
  for (std::int32_t k = 0; k < FedCount; ++k) acc[FedIds[static_cast<std::size_t>(k)]] = 0.0f;
  if (seqPitch) acc[SeqPitchTargetId] = 0.0f;

  // 4. The matrix: its active slots in order (those that name no source or
  // no target were left out when decoded).
  if (matrix) {
    for (std::int32_t k = 0; k < ActiveSlotCount; ++k) {
      const TVModSlot& slot = ActiveSlots[static_cast<std::size_t>(k)];
      float source;
      if (slot.Source == kSrcRandom) {
        source = Random.Next() * 2.0f - 1.0f;
        Sources[kSrcRandom] = source;
      } else {
        source = Sources[static_cast<std::size_t>(slot.Source)];
      }
      acc[slot.Accum] += slot.Amount * source;
    }
  }

  // 5. The sequencers' pitch.
  if (seqPitch) {
    acc[SeqPitchTargetId] += Sources[kSrcSeq1Pitch] * SeqPitchAmount(0) + Sources[kSrcSeq2Pitch] * SeqPitchAmount(1);
  }

  // 6.-8. depend on the parameters and the accumulators of their ids only:
  // while none of those can be fed, what the voice's last update set in
  // this generation holds.
  const bool settles = KeepSettledControl && Plan.Planned && !Plan.LevelIdsFed;
  if (settles && voice.SettledLevels == Generation) return;
  voice.SettledLevels = settles ? Generation : 0;

  // 6. Shaper amounts (for this update's shaping: nothing to keep while the
  // shapers are off).
  if (Values.ShaperOn || !Plan.Planned) {
    const float left = Clamp01(ModFactor(ShapeAmountIds[0]) * Values.ShaperAmount[0]);
    const float right =
        Values.ShaperChannelMode != 0 ? left : Clamp01(ModFactor(ShapeAmountIds[1]) * Values.ShaperAmount[1]);
    voice.Shaper[0].SetAmount(left);
    voice.Shaper[1].SetAmount(right);
  }

  // 7. LFO gains, then rates, for the next step.
  for (int k = 0; k < kKwpLfoCount; ++k) {
    const auto i = static_cast<std::size_t>(k);
    voice.Lfo[i].SetGain(ModFactor(LfoAmpIds[i]) * Values.Lfo[i].BaseAmplitude);
    voice.Lfo[i].SetFrequency(ModFactor(LfoFrequencyIds[i]) * Values.Lfo[i].BaseFrequency);
  }

  // 8. Sequencer factors.
  for (int s = 0; s < 2; ++s) {
    TDSPSequencer& seq = voice.Sequencer(s);
    const auto& ids = SeqFactorIds[static_cast<std::size_t>(s)];
    seq.LevelFactor = ModFactor(ids[0]);
    seq.GateFactor = ModFactor(ids[1]);
    seq.PitchFactor = ModFactor(ids[2]);
  }
}

// (Inlined into UpdateVoiceFilters.)
[[gnu::always_inline]] inline void TVoicerackKWPSynth::ComputeFilterSide(const TDSPSynthVoice& voice, int block,
                                                                         int side, float& cutoff, float& q,
                                                                         float& bandwidth) const {
  const TKwpFilterSide& f = Values.Filter[static_cast<std::size_t>(block)][static_cast<std::size_t>(side)];
  const TFilterSideIds& ids = FilterIds[static_cast<std::size_t>(block)][static_cast<std::size_t>(side)];
  const float c = f.Cutoff;
  // The envelopes pull the cutoff down by their distance from full level.
  float x = c - 0.5f * ((voice.Env1.OutputScale - voice.Env1.OutputSample) * c * ModFactor(ids.Env[0]) * f.DepthEnv[0] +
                        (voice.Env2.OutputScale - voice.Env2.OutputSample) * c * ModFactor(ids.Env[1]) * f.DepthEnv[1]);
  for (std::size_t k = 0; k < kKwpLfoCount; ++k) x += ModFactor(ids.Lfo[k]) * f.DepthLfo[k] * LfoValues[k];
  cutoff = ModFactor(ids.Cutoff) * x;
  q = ModFactor(ids.Q) * f.Q;
  bandwidth = ModFactor(ids.Bandwidth) * f.Bandwidth;
}

void TVoicerackKWPSynth::UpdateVoiceFilters(TDSPSynthVoice& voice) {
  // Without fed accumulators the settings follow the parameters, the
  // envelopes' outputs and the LFO values: the same ones as at the voice's
  // last update leave the filters as that update left them.
  if (KeepSettledControl && Plan.Planned && !Plan.FilterIdsFed) {
    const std::array<std::uint32_t, 8> inputs = {Generation,
                                                 std::bit_cast<std::uint32_t>(voice.Env1.OutputScale),
                                                 std::bit_cast<std::uint32_t>(voice.Env1.OutputSample),
                                                 std::bit_cast<std::uint32_t>(voice.Env2.OutputScale),
                                                 std::bit_cast<std::uint32_t>(voice.Env2.OutputSample),
                                                 std::bit_cast<std::uint32_t>(LfoValues[0]),
                                                 std::bit_cast<std::uint32_t>(LfoValues[1]),
                                                 std::bit_cast<std::uint32_t>(LfoValues[2])};
    if (inputs == voice.SettledFilters) return;
    voice.SettledFilters = inputs;
  } else {
    voice.SettledFilters[0] = 0;
  }
  for (int b = 0; b < 2; ++b) {
    if (!Values.FilterOn[static_cast<std::size_t>(b)]) continue;
    float cutoff[2], q[2], bandwidth[2];
    ComputeFilterSide(voice, b, 0, cutoff[0], q[0], bandwidth[0]);
    if (Values.FilterChannelMode[static_cast<std::size_t>(b)] == 0) {
      ComputeFilterSide(voice, b, 1, cutoff[1], q[1], bandwidth[1]);
    } else {
      cutoff[1] = cutoff[0];
      q[1] = q[0];
      bandwidth[1] = bandwidth[0];
    }
    auto& filters = b == 0 ? voice.Filter1 : voice.Filter2;
    for (int s = 0; s < 2; ++s) {
      TDSPMultiFilter& filter = filters[static_cast<std::size_t>(s)];
      // Settings the filter already holds would only recompute the
      // coefficients it has.
      const TDSPFilter& inner = filter.Filter();
      if (Keeps(inner.GetCutoff(), cutoff[s], kFilterCutoffMin, kFilterCutoffMax) &&
          Keeps(inner.GetResonance(), q[s], kFilterParamMin, kFilterParamMax) &&
          Keeps(inner.GetParam3(), bandwidth[s], kFilterParamMin, kFilterParamMax))
        continue;
      filter.BeginUpdate();
      filter.SetCutoff(cutoff[s]);
      filter.SetResonance(q[s]);
      filter.SetParam3(bandwidth[s]);
      filter.EndUpdate();
    }
  }
}

float TVoicerackKWPSynth::FrequencyModulatedPitch(float pitch, float m) const {
  // A deep LFO on a low note may push the frequency to 0 or below, whose
  // pitch does not exist: hold it at a tiny positive rate instead.
  float hz = PitchToFreq(pitch) + m * kFrequencyModHz;
  if (!(hz >= kMinModulatedHz)) hz = kMinModulatedHz;
  return FreqToPitch(hz);
}
