#include "dsp/sampler/zone_envelope.h"

#include <emmintrin.h>

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

// PowerCurve over a run, four at a time (the same products in the same
// order).
template <int Power>
void PowerRun(float* x, std::int32_t n) {
  std::int32_t k = 0;
  for (; k + 4 <= n; k += 4) {
    const __m128 v = _mm_loadu_ps(x + k);
    __m128 y = v;
    for (int i = 1; i < Power; ++i) y = _mm_mul_ps(y, v);
    _mm_storeu_ps(x + k, y);
  }
  for (; k < n; ++k) PowerCurve<Power>(x[k]);
}

constexpr TCurveRun kPowerRuns[9] = {nullptr,      &PowerRun<2>, &PowerRun<3>, &PowerRun<4>, &PowerRun<5>,
                                     &PowerRun<6>, &PowerRun<7>, &PowerRun<8>, &PowerRun<9>};

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
  TableRun = tableOn ? GetCurveRun(kLawDbLog) : nullptr;
  CurveRun = curveOn ? kPowerRuns[curve] : nullptr;
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

namespace {

// Frames j = 0 .. n - 1 whose counter c + j x stride lies below end.
std::int32_t FramesBefore(std::int32_t c, std::int32_t end, std::int32_t stride, std::int32_t n) {
  if (end <= c) return 0;
  const std::int64_t frames = (static_cast<std::int64_t>(end) - c + stride - 1) / stride;
  return frames < n ? static_cast<std::int32_t>(frames) : n;
}

// A stage's linear course over frames j = 0 .. n - 1: with d = float(c + j
// x stride - from) x slope (x depth where Deep), out[j] = d (Base 0), a + d
// (Base 1) or a - d (Base -1); four at a time, the stage routines'
// operations in their order.
template <int Base, bool Deep>
void Course(float* out, std::int32_t n, std::int32_t c, std::int32_t from, std::int32_t stride, float a, float slope,
            float depth) {
  const __m128i lanes = _mm_setr_epi32(0, stride, 2 * stride, 3 * stride);
  const __m128 va = _mm_set1_ps(a), vs = _mm_set1_ps(slope), vd = _mm_set1_ps(depth);
  auto combine = [](auto x, auto d, auto add, auto sub) {
    if constexpr (Base == 0) return d;
    if constexpr (Base > 0) return add(x, d);
    if constexpr (Base < 0) return sub(x, d);
  };
  std::int32_t j = 0;
  for (; j + 4 <= n; j += 4) {
    const __m128 t = _mm_cvtepi32_ps(_mm_add_epi32(_mm_set1_epi32(c + j * stride - from), lanes));
    __m128 d = _mm_mul_ps(t, vs);
    if constexpr (Deep) d = _mm_mul_ps(d, vd);
    _mm_storeu_ps(out + j, combine(va, d, _mm_add_ps, _mm_sub_ps));
  }
  for (; j < n; ++j) {
    float d = static_cast<float>(c + j * stride - from) * slope;
    if constexpr (Deep) d = d * depth;
    out[j] = combine(
        a, d, [](float x, float y) { return x + y; }, [](float x, float y) { return x - y; });
  }
}

}  // namespace

void TZoneEnvelope::RunSpan(float* levels, std::int32_t count, std::int32_t stride) {
  const TStageSet& set = *Stages;
  std::int32_t i = 0;
  while (i < count) {
    if (Stage == set.Final && (set.FinalHolds || State != kRunning)) {
      if (!set.FinalHolds) {
        // (Not reached: a final stage that releases only runs while running.)
        Stage(*this);
        levels[i++] = Value;
        Counter += stride;
        continue;
      }
      // Every sample of the hold emits the same value and clamps the
      // counter before the owner advances it.
      Stage(*this);
      std::fill(levels + i, levels + count, Value);
      Counter = std::min(std::min(Counter, kCounterLimit) + (count - i) * stride, kCounterLimit + stride);
      return;
    }
    if (Stage == set.Final) {
      // Auto-release: the release starts at this sample.
      StartRelease();
      continue;
    }
    float* out = levels + i;
    const std::int32_t left = count - i;
    const std::int32_t c = Counter;
    std::int32_t run = 0;
    TRoutine next = nullptr;
    // The run's linear values out[0 .. run - 1] bent into levels, as each
    // sample's stage routine emits them.
    auto emit = [&](bool release) {
      if (run == 0) return;
      Linear = out[run - 1];
      if (!release) ReleaseLevel = Linear;
      if (TableRun != nullptr) TableRun(out, run);
      if (CurveRun != nullptr) CurveRun(out, run);
      Value = out[run - 1];
      Counter = c + run * stride;
      i += run;
    };
    // The stage's linear values over its run of this span: a level it
    // holds, or its linear course.
    auto level = [&](std::int32_t end, float v, TRoutine after) {
      run = FramesBefore(c, end, stride, left);
      std::fill(out, out + run, v);
      next = after;
    };
    auto course = [&]<int Base, bool Deep>(std::int32_t end, std::int32_t from, float a, float slope, TRoutine after) {
      run = FramesBefore(c, end, stride, left);
      Course<Base, Deep>(out, run, c, from, stride, a, slope, OneMinusSustain);
      next = after;
    };
    if (Stage == set.Delay) {
      level(DelayEnd, 0.0f, set.Attack);
    } else if (Stage == set.Attack) {
      course.operator()<0, false>(AttackEnd, DelayEnd, 0.0f, AttackSlope, set.Hold);
    } else if (Stage == set.Hold) {
      level(HoldEnd, 1.0f, set.Decay);
    } else if (Stage == set.Decay) {
      course.operator()<-1, true>(DecayEnd, HoldEnd, 1.0f, DecaySlope, set.Sustain1);
      for (std::int32_t j = 0; j < run; ++j) out[j] = std::max(out[j], 0.0f);
    } else if (Stage == set.Sustain1) {
      level(Sustain1End, Sustain, set.Rise);
    } else if (Stage == set.Rise) {
      course.operator()<1, true>(RiseEnd, Sustain1End, Sustain, RiseSlope, set.Fall);
    } else if (Stage == set.Fall) {
      course.operator()<-1, true>(FallEnd, RiseEnd, 1.0f, FallSlope, set.Sustain2);
    } else if (Stage == set.Sustain2) {
      level(Sustain2End, Sustain, set.Final);
    } else if (Stage == set.Release) {
      // Falling from the release level while the counter is below the
      // release's length; the first level at or below 0 is the last.
      course.operator()<-1, false>(ReleaseLength, 0, 1.0f, ReleaseSlope, nullptr);
      for (std::int32_t j = 0; j < run; ++j) {
        out[j] *= ReleaseLevel;
        if (!(out[j] > 0.0f)) run = j + 1;
      }
      emit(true);
      // At 0, or past the length (the value keeps its last result): done.
      if (run < left || !(Linear > 0.0f)) End();
      continue;
    } else {
      // Idle: the value stays.
      std::fill(out, out + left, Value);
      Counter = c + left * stride;
      return;
    }
    emit(false);
    if (run < left) Stage = next;
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
