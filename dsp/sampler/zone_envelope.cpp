#include "dsp/sampler/zone_envelope.h"

#include <algorithm>

#include "framework/base/base_math.h"

namespace {

// Longest stage, in milliseconds and in samples: eight of them still add up
// to less than the counter's range.
constexpr std::int32_t kMaxStageMs = 10'000'000;
constexpr std::int32_t kMaxStageSamples = 1 << 26;
// A counter that holds at the final stage stops growing here (a note held
// for many hours must not overflow it); every stage end lies below it.
constexpr std::int32_t kCounterLimit = 1 << 30;

template <int Power>
void PowerCurve(float& x) {
  float y = x;
  for (int i = 1; i < Power; ++i) y *= x;
  x = y;
}

constexpr TCurveFunction kPowerCurves[9] = {nullptr,        &PowerCurve<2>, &PowerCurve<3>,
                                            &PowerCurve<4>, &PowerCurve<5>, &PowerCurve<6>,
                                            &PowerCurve<7>, &PowerCurve<8>, &PowerCurve<9>};

void Idle(TZoneEnvelope& /*e*/) {}

// The stage routines for one combination of table, curve and final stage.
template <bool WithTable, bool WithCurve, bool AutoRelease>
struct TStages {
  // v is the linear value of the sample: kept for pitch modulation and as
  // the release's start, then bent into the level.
  static void Emit(TZoneEnvelope& e, float v) {
    e.Linear = v;
    e.ReleaseLevel = v;
    if constexpr (WithTable) e.Table(v);
    if constexpr (WithCurve) e.Curve(v);
    e.Value = v;
  }
  static void Delay(TZoneEnvelope& e) {
    if (e.Counter < e.DelayEnd) return Emit(e, 0.0f);
    e.Stage = &Attack;
    Attack(e);
  }
  static void Attack(TZoneEnvelope& e) {
    if (e.Counter < e.AttackEnd) return Emit(e, static_cast<float>(e.Counter - e.DelayEnd) * e.AttackSlope);
    e.Stage = &Hold;
    Hold(e);
  }
  static void Hold(TZoneEnvelope& e) {
    if (e.Counter < e.HoldEnd) return Emit(e, 1.0f);
    e.Stage = &Decay;
    Decay(e);
  }
  // The slope is that of the untracked decay: a key-tracked decay that is
  // longer goes on below the sustain level, but never below 0 (a level that
  // turned negative would invert the zone's sound).
  static void Decay(TZoneEnvelope& e) {
    if (e.Counter < e.DecayEnd) {
      const float v = 1.0f - static_cast<float>(e.Counter - e.HoldEnd) * e.DecaySlope * e.OneMinusSustain;
      return Emit(e, std::max(v, 0.0f));
    }
    e.Stage = &Sustain1;
    Sustain1(e);
  }
  static void Sustain1(TZoneEnvelope& e) {
    if (e.Counter < e.Sustain1End) return Emit(e, e.Sustain);
    e.Stage = &Rise;
    Rise(e);
  }
  static void Rise(TZoneEnvelope& e) {
    if (e.Counter < e.RiseEnd)
      return Emit(e, e.Sustain + static_cast<float>(e.Counter - e.Sustain1End) * e.RiseSlope * e.OneMinusSustain);
    e.Stage = &Fall;
    Fall(e);
  }
  static void Fall(TZoneEnvelope& e) {
    if (e.Counter < e.FallEnd)
      return Emit(e, 1.0f - static_cast<float>(e.Counter - e.RiseEnd) * e.FallSlope * e.OneMinusSustain);
    e.Stage = &Sustain2;
    Sustain2(e);
  }
  static void Sustain2(TZoneEnvelope& e) {
    if (e.Counter < e.Sustain2End) return Emit(e, e.Sustain);
    e.Stage = &Final;
    Final(e);
  }
  static void Final(TZoneEnvelope& e) {
    if constexpr (AutoRelease) {
      if (e.State == TZoneEnvelope::kRunning) {
        e.StartRelease();
        return Release(e);
      }
    }
    if (e.Counter > kCounterLimit) e.Counter = kCounterLimit;
    Emit(e, e.Sustain);
  }
  static void Release(TZoneEnvelope& e) {
    if (e.Counter < e.ReleaseLength) {
      float v = (1.0f - static_cast<float>(e.Counter) * e.ReleaseSlope) * e.ReleaseLevel;
      e.Linear = v;
      if constexpr (WithTable) e.Table(v);
      if constexpr (WithCurve) e.Curve(v);
      e.Value = v;
      if (v > 0.0f) return;
    }
    e.End();
  }
  static constexpr TZoneEnvelope::TStageSet Set = {&Delay, &Attack,   &Hold,  &Decay,   &Sustain1,   &Rise,
                                                   &Fall,  &Sustain2, &Final, &Release, !AutoRelease};
};

// Indexed by table, curve and auto-release bits.
constexpr const TZoneEnvelope::TStageSet* kStageSets[8] = {
    &TStages<false, false, false>::Set, &TStages<false, false, true>::Set, &TStages<false, true, false>::Set,
    &TStages<false, true, true>::Set,   &TStages<true, false, false>::Set, &TStages<true, false, true>::Set,
    &TStages<true, true, false>::Set,   &TStages<true, true, true>::Set};

std::int32_t TrackedLength(std::int32_t length, std::int32_t keyOffset, float tracking) {
  const float tracked =
      static_cast<float>(keyOffset) * tracking * static_cast<float>(length) + static_cast<float>(length);
  if (!(tracked > 0.0f)) return 0;  // negative or not a number
  return std::min(RoundF(std::min(tracked, static_cast<float>(kMaxStageSamples))), kMaxStageSamples);
}

}  // namespace

TZoneEnvelope::TZoneEnvelope() : Stage(&Idle), Stages(kStageSets[0]) {}

void TZoneEnvelope::SelectStages(bool tableOn, std::int32_t curve, bool autoRelease) {
  const bool curveOn = curve >= 1 && curve <= 8;
  const auto none = static_cast<TCurveFunction>(&NullProc);
  // The stage table: CurveTableLookup of the "DB Log" curve table.
  Table = tableOn ? GetCurveFunction(kLawDbLog) : none;
  Curve = curveOn ? kPowerCurves[curve] : none;
  Stages = kStageSets[(tableOn ? 4 : 0) + (curveOn ? 2 : 0) + (autoRelease ? 1 : 0)];
}

void TZoneEnvelope::ComputeStageEnds(std::int32_t keyOffset, float holdTracking, float decayTracking) {
  DelayEnd = DelayLength;
  AttackEnd = DelayEnd + AttackLength;
  HoldEnd = AttackEnd + TrackedLength(HoldLength, keyOffset, holdTracking);
  DecayEnd = HoldEnd + TrackedLength(DecayLength, keyOffset, decayTracking);
  Sustain1End = DecayEnd + Sustain1Length;
  RiseEnd = Sustain1End + RiseLength;
  FallEnd = RiseEnd + FallLength;
  Sustain2End = FallEnd + Sustain2Length;
}

void TZoneEnvelope::RunSpan(float* levels, std::int32_t count, std::int32_t stride) {
  for (std::int32_t i = 0; i < count; ++i) {
    if (Stage == Stages->Final && Stages->FinalHolds) {
      // Every sample of the hold emits the same value and clamps the
      // counter before the owner advances it.
      Stage(*this);
      std::fill(levels + i, levels + count, Value);
      Counter = std::min(std::min(Counter, kCounterLimit) + (count - i) * stride, kCounterLimit + stride);
      return;
    }
    Stage(*this);
    levels[i] = Value;
    Counter += stride;
  }
}

bool TZoneEnvelope::RunSpanOrHold(float* levels, std::int32_t count, std::int32_t stride) {
  if (count > 0 && Stage == Stages->Final && Stages->FinalHolds) {
    // As RunSpan's hold from its first sample.
    Stage(*this);
    Counter = std::min(std::min(Counter, kCounterLimit) + count * stride, kCounterLimit + stride);
    return true;
  }
  RunSpan(levels, count, stride);
  return false;
}

void TZoneEnvelope::StartRelease() {
  if (State != kRunning) return;
  State = kReleasing;
  Counter = 0;
  Stage = Stages->Release;
}

void TZoneEnvelope::End() {
  State = kDone;
  Stage = &Idle;
}

void SetStageLength(std::int32_t ms, std::int32_t samplesPerMs, std::int32_t& length, float* slope) {
  const std::int64_t samples = static_cast<std::int64_t>(std::clamp(ms, 0, kMaxStageMs)) * std::max(samplesPerMs, 0);
  length = static_cast<std::int32_t>(std::min<std::int64_t>(samples, kMaxStageSamples));
  if (slope) *slope = length > 0 ? 1.0f / static_cast<float>(length) : 0.0f;
}
