#include "dsp/effects/chorus.h"

#include <emmintrin.h>

#include <algorithm>
#include <cmath>

#include "dsp/effects/effect_lfo.h"
#include "framework/base/global_lock.h"

namespace {
// Modulation values (ms) beyond this come only from a broken LFO; they are
// cut so the tap arithmetic stays finite. Any value beyond the line wraps.
constexpr float kMaxModulationMs = 2000.0f;

// Linear interpolation in a circular line at position p (samples, any
// finite value), brought into [0, length) with a bounded modulo.
inline float ReadTap(const float* line, std::int32_t length, float p) {
  const auto len = static_cast<float>(length);
  p -= len * std::floor(p / len);
  if (!(p >= 0.0f) || p >= len) p = 0.0f;  // rounding at the edges
  const auto i0 = static_cast<std::int32_t>(p);
  const float frac = p - static_cast<float>(i0);
  const std::int32_t i1 = i0 + 1 >= length ? 0 : i0 + 1;
  return line[i0] + (line[i1] - line[i0]) * frac;
}

bool StoreSigned(float& field, float value) {
  if (!std::isfinite(value)) return false;
  field = std::clamp(value, -1.0f, 1.0f);
  return true;
}
}  // namespace

TDSPXChorus::TDSPXChorus() {
  for (auto& lfo : Lfos) lfo = CreateEffectLfo();
  TDSPXChorus::ReallocBuffers();
  TDSPXChorus::Update();
}

TDSPXChorus::~TDSPXChorus() = default;

void TDSPXChorus::SetAudioSettings(TAudioSettingsRec* rec) {
  TDSPStereoEffect::SetAudioSettings(rec);
  for (auto& lfo : Lfos) KeepOnControlRate(*lfo);
  Update();
}

void TDSPXChorus::ReallocBuffers() {
  TDSPStereoEffect::ReallocBuffers();
  Lines.Allocate(std::max(2, kCapacityMs * Settings->SamplesPerMs), [this] { UpdateLengths(); });
}

void TDSPXChorus::ReleaseBuffers() {
  TDSPStereoEffect::ReleaseBuffers();
  Lines.Release();
}

void TDSPXChorus::ClearState() {
  TGlobalLockGuard lock;
  Lines.Clear();
}

void TDSPXChorus::UpdateLengths() {
  const auto spm = static_cast<float>(Settings->SamplesPerMs);
  const std::int32_t capacity = std::max(2, Lines.Size());
  for (std::size_t s = 0; s < 2; ++s) {
    const std::int32_t length = SampleCount(spm * LengthMs(Length[s]), 2, capacity);
    LineLength[s] = length;
    BaseDelay[s] = static_cast<float>(SampleCount(spm * LengthMs(SizeValue[s]), 0, length - 1));
    if (WritePosition[s] >= length) WritePosition[s] = 0;
  }
}

void TDSPXChorus::LockedUpdateLengths() {
  TGlobalLockGuard lock;
  UpdateLengths();
}

void TDSPXChorus::Update() {
  TGlobalLockGuard lock;
  TDSPStereoEffect::Update();
  UpdateLengths();
}

void TDSPXChorus::UpdateTickLength() {
  TDSPStereoEffect::UpdateTickLength();
  Update();
}

void TDSPXChorus::SetLengthLeft(float length) {
  if (!std::isfinite(length)) return;
  Length[0] = length;
  LockedUpdateLengths();
}

void TDSPXChorus::SetLengthRight(float length) {
  if (!std::isfinite(length)) return;
  Length[1] = length;
  LockedUpdateLengths();
}

void TDSPXChorus::SetSizeLeft(float size) {
  if (!std::isfinite(size)) return;
  SizeValue[0] = size;
  LockedUpdateLengths();
}

void TDSPXChorus::SetSizeRight(float size) {
  if (!std::isfinite(size)) return;
  SizeValue[1] = size;
  LockedUpdateLengths();
}

void TDSPXChorus::SetFeedbackLeft(float value) { StoreSigned(FeedbackLeft, value); }
void TDSPXChorus::SetFeedbackRight(float value) { StoreSigned(FeedbackRight, value); }
void TDSPXChorus::SetCrossLeftToRight(float value) { StoreSigned(CrossLeftToRight, value); }
void TDSPXChorus::SetCrossRightToLeft(float value) { StoreSigned(CrossRightToLeft, value); }

void TDSPXChorus::UpdateModulation() {
  for (std::size_t k = 0; k < 4; ++k) Target[k] = TickModulation(*Lfos[k], kMaxModulationMs);
}

void TDSPXChorus::ProcessStereo(float* left, float* right) {
  const std::int32_t n = SubBlockLength();
  if (!Lines.IsAllocated() || n <= 0) return;
  const float* noise = NextDenormalNoise(n);
  if (FirstBlock) {
    UpdateModulation();
    FirstBlock = false;
  }
  Previous = Target;
  UpdateModulation();

  float* lineL = Lines.Line(0);
  float* lineR = Lines.Line(1);
  const std::int32_t lenL = LineLength[0], lenR = LineLength[1];
  std::int32_t wL = WritePosition[0], wR = WritePosition[1];
  const float baseL = BaseDelay[0], baseR = BaseDelay[1];
  const auto spm = static_cast<float>(Settings->SamplesPerMs);
  const float fbL = FeedbackLeft, fbR = FeedbackRight;
  const float crossLR = CrossLeftToRight, crossRL = CrossRightToLeft;
  const float lw = LeftWetOut, ld = LeftDryOut, rw = RightWetOut, rd = RightDryOut;
  std::array<float, 4> step;
  for (std::size_t k = 0; k < 4; ++k) step[k] = (Target[k] - Previous[k]) / static_cast<float>(n);
  // The four taps in the lanes of one register (left 1, left 2, right 1,
  // right 2). A tap position p within -length..length needs no division:
  // the bounded modulo gives p for p >= 0 and p + length below (its
  // quotient rounds into [-1, 0) there), so the lanes compute exactly what
  // ReadTap computes; any other position takes ReadTap itself.
  const __m128 previous = _mm_loadu_ps(Previous.data());
  const __m128 slope = _mm_loadu_ps(step.data());
  const __m128 samplesPerMs = _mm_set1_ps(spm);
  const __m128 base = _mm_setr_ps(baseL, baseL, baseR, baseR);
  const __m128 length = _mm_setr_ps(static_cast<float>(lenL), static_cast<float>(lenL), static_cast<float>(lenR),
                                    static_cast<float>(lenR));
  const __m128 minusLength = _mm_sub_ps(_mm_setzero_ps(), length);
  const __m128i lengthInt = _mm_setr_epi32(lenL, lenL, lenR, lenR);
  const __m128i oneInt = _mm_set1_epi32(1);
  bool bad = false;
  for (std::int32_t i = 0; i < n; ++i) {
    const auto t = static_cast<float>(i);
    const float xL = left[i] + noise[i];
    const float xR = right[i] + noise[i];
    const auto posL = static_cast<float>(wL);
    const auto posR = static_cast<float>(wR);
    const __m128 m = _mm_add_ps(previous, _mm_mul_ps(slope, _mm_set1_ps(t)));
    const __m128 p = _mm_sub_ps(_mm_setr_ps(posL, posL, posR, posR), _mm_add_ps(_mm_mul_ps(samplesPerMs, m), base));
    const __m128 inRange = _mm_and_ps(_mm_cmpge_ps(p, minusLength), _mm_cmplt_ps(p, length));
    alignas(16) float tap[4];
    if (_mm_movemask_ps(inRange) == 0xF) [[likely]] {
      __m128 q = _mm_add_ps(p, _mm_and_ps(_mm_cmplt_ps(p, _mm_setzero_ps()), length));
      q = _mm_andnot_ps(_mm_cmpge_ps(q, length), q);  // p + length rounded up to length: 0, as ReadTap
      const __m128i i0 = _mm_cvttps_epi32(q);
      const __m128 frac = _mm_sub_ps(q, _mm_cvtepi32_ps(i0));
      __m128i i1 = _mm_add_epi32(i0, oneInt);
      i1 = _mm_andnot_si128(_mm_cmpgt_epi32(i1, _mm_sub_epi32(lengthInt, oneInt)), i1);  // i0 + 1 >= length: 0
      alignas(16) std::int32_t k0[4], k1[4];
      _mm_store_si128(reinterpret_cast<__m128i*>(k0), i0);
      _mm_store_si128(reinterpret_cast<__m128i*>(k1), i1);
      const __m128 y0 = _mm_setr_ps(lineL[k0[0]], lineL[k0[1]], lineR[k0[2]], lineR[k0[3]]);
      const __m128 y1 = _mm_setr_ps(lineL[k1[0]], lineL[k1[1]], lineR[k1[2]], lineR[k1[3]]);
      _mm_store_ps(tap, _mm_add_ps(y0, _mm_mul_ps(_mm_sub_ps(y1, y0), frac)));
    } else {
      alignas(16) float position[4];
      _mm_store_ps(position, p);
      tap[0] = ReadTap(lineL, lenL, position[0]);
      tap[1] = ReadTap(lineL, lenL, position[1]);
      tap[2] = ReadTap(lineR, lenR, position[2]);
      tap[3] = ReadTap(lineR, lenR, position[3]);
    }
    const float a = (tap[0] + tap[1]) * 0.5f;
    const float b = (tap[2] + tap[3]) * 0.5f;
    const float writeL = a * fbL + xL;
    const float writeR = b * fbR + xR;
    left[i] = a * lw + left[i] * ld;
    right[i] = b * rw + right[i] * rd;
    // Cross-feed on the values just written.
    lineL[wL] = KeepBounded(writeL + writeR * crossRL, bad);
    lineR[wR] = KeepBounded(writeR + writeL * crossLR, bad);
    if (++wL >= lenL) wL = 0;
    if (++wR >= lenR) wR = 0;
  }
  WritePosition[0] = wL;
  WritePosition[1] = wR;
  // A runaway loop (feedback plus cross-feed above 1) restarts from silence.
  if (bad) ClearState();
}
