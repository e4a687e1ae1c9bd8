#include "dsp/filters/filter.h"

#include <cmath>
#include <cstring>

#include "framework/base/base_math.h"

namespace {
float PassThrough(TDSPFilter& /*filter*/, float x) { return x; }
void PassThroughBuffer(TDSPFilter& /*filter*/, float* /*buffer*/, std::int32_t /*count*/) {}

// Stores value when it is finite and differs from the stored one; answers
// whether it did.
bool StoreClamped(float& stored, float value, float min, float max) {
  if (!std::isfinite(value) || value == stored) return false;
  stored = value;
  TDSPBaseControl::ClampFloat(stored, min, max);
  return true;
}
}  // namespace

TDSPFilter::TDSPFilter() : Routines{&PassThrough, &PassThroughBuffer} {
  Inputs[1] = OneBuffer;
  Inputs[2] = ZeroBuffer;
  Reset();
}

void TDSPFilter::SetParam3(float value) {
  if (StoreClamped(Param3, value, kFilterParamMin, kFilterParamMax)) Update();
}

void TDSPFilter::SetResonance(float value) {
  if (StoreClamped(Resonance, value, kFilterParamMin, kFilterParamMax)) Update();
}

void TDSPFilter::SetCutoff(float value) {
  if (StoreClamped(Cutoff, value, kFilterCutoffMin, kFilterCutoffMax)) Update();
}

void TDSPFilter::EndUpdate() {
  if (UpdateLock > 0) --UpdateLock;
  if (UpdateLock == 0) Update();
}

void TDSPFilter::SetAudioSettings(TAudioSettingsRec* rec) {
  TDSPControl::SetAudioSettings(rec);
  Update();
}

void TDSPFilter::Update() {
  if (UpdateLock != 0) return;
  MapCutoff();
  MapResonance();
  MapParam3();
  UpdateCoefficients();
}

void TDSPFilter::MapCutoff() {
  // The share of half the design rate, so the internal cutoff means the same
  // Hz at every rate.
  InternalCutoff = MapRange(Cutoff, 0.0f, static_cast<float>(kFilterDesignRate / 2), CutoffRangeLow, CutoffRangeHigh);
  ClampFloat(InternalCutoff, CutoffRangeLow, CutoffRangeHigh);
}

void TDSPFilter::MapResonance() {
  const float low = static_cast<float>(ResonanceRangeLow);
  InternalResonance = MapRange(Resonance, 0.0f, 1.0f, low, ResonanceRangeHigh);
  ClampFloat(InternalResonance, low, ResonanceRangeHigh);
}

void TDSPFilter::MapParam3() {
  InternalParam3 = MapRange(Param3, 0.0f, 1.0f, Param3RangeLow, Param3RangeHigh);
  ClampFloat(InternalParam3, Param3RangeLow, Param3RangeHigh);
}

void TDSPFilter::ProcessBlock() { RunBlock(InBuffer, true); }

void TDSPFilter::ProcessBlockControl() { RunBlock(Inputs[0], false); }

void TDSPFilter::ProcessOneSample() { RunOneSample(false); }

void TDSPFilter::RunBlock(const float* input, bool flush) {
  const std::int32_t n = Settings->BlockSize;
  if (input != OutBuffer) std::memcpy(OutBuffer, input, sizeof(float) * static_cast<std::size_t>(n));
  Routines.Buffer(*this, OutBuffer, n);
  if (flush)
    for (std::int32_t i = 0; i < n; ++i) OutBuffer[i] = FlushTiny(OutBuffer[i]);
  OutputSample = OutBuffer[n - 1];
}

void TDSPFilter::RunOneSample(bool flush) {
  const std::int32_t i = CurrentSampleIndex;
  const float y = Routines.Sample(*this, Inputs[0][i]);
  OutputSample = flush ? FlushTiny(y) : y;
  OutBuffer[i] = OutputSample;
}

void TDSPFilter::ProcessBlockModCutoff() {
  SetCutoff(Inputs[1][0]);
  RunBlock(Inputs[0], true);
}

void TDSPFilter::ProcessBlockModResonance() {
  SetResonance(Inputs[2][0]);
  RunBlock(Inputs[0], true);
}

void TDSPFilter::ProcessBlockModCutoffResonance() {
  SetCutoff(Inputs[1][0]);
  SetResonance(Inputs[2][0]);
  RunBlock(Inputs[0], true);
}

void TDSPFilter::ProcessBlockModParam3() {
  SetParam3(Inputs[2][0]);
  RunBlock(Inputs[0], true);
}

void TDSPFilter::ProcessBlockModCutoffParam3() {
  SetCutoff(Inputs[1][0]);
  SetParam3(Inputs[2][0]);
  RunBlock(Inputs[0], true);
}

void TDSPFilter::ProcessSampleModCutoff() {
  SetCutoff(Inputs[1][CurrentSampleIndex]);
  RunOneSample(true);
}

void TDSPFilter::ProcessSampleModResonance() {
  SetResonance(Inputs[2][CurrentSampleIndex]);
  RunOneSample(true);
}

void TDSPFilter::ProcessSampleModCutoffResonance() {
  SetCutoff(Inputs[1][CurrentSampleIndex]);
  SetResonance(Inputs[2][CurrentSampleIndex]);
  RunOneSample(true);
}

void TDSPFilter::ProcessSampleModParam3() {
  SetParam3(Inputs[2][CurrentSampleIndex]);
  RunOneSample(true);
}

void TDSPFilter::ProcessSampleModCutoffParam3() {
  SetParam3(Inputs[2][CurrentSampleIndex]);
  SetCutoff(Inputs[1][CurrentSampleIndex]);
  RunOneSample(true);
}

void KeepPolesInside(float& a1, float& a2) {
  if (!std::isfinite(a1) || !std::isfinite(a2)) return;
  constexpr float kBelowOne = 1.0f - 1.0f / 16777216.0f;  // the largest float below 1
  if (a2 > kBelowOne) a2 = kBelowOne;
  if (a2 < -kBelowOne) a2 = -kBelowOne;
  // The triangle 1 - |a1| + a2 > 0, evaluated in double in both orders: a
  // margin below the double's resolution at 1 (a pole on DC or the half rate
  // to within rounding) counts as none.
  auto inside = [&] {
    const double m = std::fabs(static_cast<double>(a1));
    return 1.0 - m + a2 > 0 && m < 1.0 + a2;
  };
  while (!inside()) a1 = std::nextafter(a1, 0.0f);
}
