#include "dsp/effects/stereo_effect.h"

#include <emmintrin.h>

#include <algorithm>
#include <utility>

#include "framework/base/constant_buffers.h"

namespace {
struct TZeroLines final : TLineVisitor {
  void Run(float* data, std::size_t floats) override { std::fill_n(data, floats, 0.0f); }
};
}  // namespace

void TDSPStereoEffect::ClearState() {
  ClearSmallState();
  TZeroLines zero;
  VisitLines(zero);
}

std::int32_t SampleCount(float samples, std::int32_t lo, std::int32_t hi) {
  if (!(samples > static_cast<float>(lo))) return lo;
  if (samples >= static_cast<float>(hi)) return hi;
  return std::clamp(static_cast<std::int32_t>(std::nearbyint(samples)), lo, hi);
}

bool SilenceRunaway(float* buffer, std::int32_t n) {
  // Four per register: a lane is good while |x| < limit (false for NaN).
  const __m128 magnitude = _mm_castsi128_ps(_mm_set1_epi32(0x7FFFFFFF));
  const __m128 limit = _mm_set1_ps(kRunawayLimit);
  __m128 good = _mm_castsi128_ps(_mm_set1_epi32(-1));
  std::int32_t i = 0;
  for (; i + 4 <= n; i += 4)
    good = _mm_and_ps(good, _mm_cmplt_ps(_mm_and_ps(_mm_loadu_ps(buffer + i), magnitude), limit));
  bool bad = _mm_movemask_ps(good) != 0xF;
  for (; i < n; ++i) bad |= !(std::fabs(buffer[i]) < kRunawayLimit);
  if (bad) std::fill(buffer, buffer + n, 0.0f);
  return bad;
}

void AddNoiseFinite(const float* x, const float* noise, float* out, std::int32_t n) {
  std::int32_t i = 0;
  for (; i + 4 <= n; i += 4) {
    const __m128 y = _mm_add_ps(_mm_loadu_ps(x + i), _mm_loadu_ps(noise + i));
    // y - y is 0 for a finite y, NaN otherwise.
    _mm_storeu_ps(out + i, _mm_and_ps(_mm_cmpeq_ps(_mm_sub_ps(y, y), _mm_setzero_ps()), y));
  }
  for (; i < n; ++i) out[i] = FiniteOrZero(x[i] + noise[i]);
}

void MixWetDry(const float* wet, const float* dry, const float* noise, float w, float d, float* out, std::int32_t n) {
  const __m128 vw = _mm_set1_ps(w), vd = _mm_set1_ps(d);
  std::int32_t i = 0;
  if (noise != nullptr) {
    for (; i + 4 <= n; i += 4) {
      const __m128 y = _mm_add_ps(_mm_mul_ps(_mm_loadu_ps(wet + i), vw), _mm_mul_ps(_mm_loadu_ps(dry + i), vd));
      _mm_storeu_ps(out + i, _mm_add_ps(y, _mm_loadu_ps(noise + i)));
    }
    for (; i < n; ++i) out[i] = wet[i] * w + dry[i] * d + noise[i];
  } else {
    for (; i + 4 <= n; i += 4)
      _mm_storeu_ps(out + i, _mm_add_ps(_mm_mul_ps(_mm_loadu_ps(wet + i), vw), _mm_mul_ps(_mm_loadu_ps(dry + i), vd)));
    for (; i < n; ++i) out[i] = wet[i] * w + dry[i] * d;
  }
}

TDSPStereoEffect::TDSPStereoEffect() {
  SetUsesBuffers(false);
  ComputeMsPerTick();
  UpdateCoefficients();
  TDSPStereoEffect::ReallocBuffers();
}

TDSPStereoEffect::~TDSPStereoEffect() = default;

std::int32_t TDSPStereoEffect::BufferFloats() const {
  return std::max(Settings->BlockSize, Settings->SamplesPerMs) + 16;
}

std::int32_t TDSPStereoEffect::SubBlockLength() const {
  return std::min({Settings->SamplesPerMs, WetCapacity, kMaxSubBlock});
}

void TDSPStereoEffect::ReallocBuffers() {
  // No release first: the running buffers stay in use until the swap.
  AllocBuffers();
  const std::int32_t floats = BufferFloats();
  std::unique_ptr<float[]> left(new float[static_cast<std::size_t>(floats)]());
  std::unique_ptr<float[]> right(new float[static_cast<std::size_t>(floats)]());
  {
    std::swap(WetLeftBuffer, left);
    std::swap(WetRightBuffer, right);
    WetCapacity = floats;
  }
  // The old buffers are freed here, outside the lock.
}

void TDSPStereoEffect::ReleaseBuffers() {
  TDSPControl::ReleaseBuffers();
  std::unique_ptr<float[]> left, right;
  {
    std::swap(WetLeftBuffer, left);
    std::swap(WetRightBuffer, right);
    WetCapacity = 0;
  }
}

const float* TDSPStereoEffect::NextDenormalNoise(std::int32_t n) {
  if (DenormalOffset + n > kConstantBufferLength) DenormalOffset = 0;
  const float* noise = DenormalNoiseBuffer + DenormalOffset;
  DenormalOffset += n;
  if (DenormalOffset > kDenormalOffsetWrap) DenormalOffset = 0;
  return noise;
}

void TDSPStereoEffect::UpdateCoefficients() {
  WetLeft = Pan;
  WetRight = 1.0f - Pan;
  if (InvertLeft) WetLeft = -WetLeft;
  if (InvertRight) WetRight = -WetRight;
  WetLeft *= WetGain * 2.0f;
  WetRight *= WetGain * 2.0f;
  LeftWetOut = WetLeft * Mix;
  LeftDryOut = (1.0f - Mix) * DryGain;
  RightWetOut = WetRight * Mix;
  RightDryOut = (1.0f - Mix) * DryGain;
}

void TDSPStereoEffect::Update() { UpdateCoefficients(); }

void TDSPStereoEffect::ComputeMsPerTick() { MsPerTick = Tempo > 0 ? 60000.0f / Tempo / 120.0f : 0.0001f; }

void TDSPStereoEffect::UpdateTickLength() { ComputeMsPerTick(); }

double TDSPStereoEffect::LengthSamples(double length) const {
  if (LengthUnit == 1) return length * MsPerTick * 0.001 * Settings->SampleRate;
  return length * Settings->SamplesPerMs;
}

namespace {
// Stores a finite, changed value clamped to lo..hi; true when stored.
bool StoreClamped(float& field, float value, float lo, float hi) {
  if (!std::isfinite(value)) return false;
  value = std::clamp(value, lo, hi);
  if (value == field) return false;
  field = value;
  return true;
}
}  // namespace

void TDSPStereoEffect::SetMix(float value) {
  if (StoreClamped(Mix, value, 0.0f, 1.0f)) Update();
}

void TDSPStereoEffect::SetPan(float value) {
  if (StoreClamped(Pan, value, 0.0f, 1.0f)) Update();
}

void TDSPStereoEffect::SetWetGain(float value) {
  if (StoreClamped(WetGain, value, -32.0f, 32.0f)) Update();
}

void TDSPStereoEffect::SetDryGain(float value) {
  if (StoreClamped(DryGain, value, -32.0f, 32.0f)) Update();
}

void TDSPStereoEffect::SetInvertLeft(bool on) {
  if (on == InvertLeft) return;
  InvertLeft = on;
  Update();
}

void TDSPStereoEffect::SetInvertRight(bool on) {
  if (on == InvertRight) return;
  InvertRight = on;
  Update();
}

void TDSPStereoEffect::SetLengthUnit(std::uint8_t unit) {
  if (unit == LengthUnit) return;
  LengthUnit = unit;
  UpdateTickLength();
}

void TDSPStereoEffect::SetTempo(float bpm) {
  if (!std::isfinite(bpm) || bpm == Tempo) return;
  Tempo = bpm;
  UpdateTickLength();
}
