#include "dsp/effects/chorus.h"

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
  bool bad = false;
  for (std::int32_t i = 0; i < n; ++i) {
    const auto t = static_cast<float>(i);
    const float m0 = Previous[0] + step[0] * t;
    const float m1 = Previous[1] + step[1] * t;
    const float m2 = Previous[2] + step[2] * t;
    const float m3 = Previous[3] + step[3] * t;
    const float xL = left[i] + noise[i];
    const float xR = right[i] + noise[i];
    const auto posL = static_cast<float>(wL);
    const auto posR = static_cast<float>(wR);
    const float a =
        (ReadTap(lineL, lenL, posL - (spm * m0 + baseL)) + ReadTap(lineL, lenL, posL - (spm * m1 + baseL))) * 0.5f;
    const float b =
        (ReadTap(lineR, lenR, posR - (spm * m2 + baseR)) + ReadTap(lineR, lenR, posR - (spm * m3 + baseR))) * 0.5f;
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
