#include "dsp/effects/delay.h"

#include <algorithm>
#include <cmath>

#include "framework/base/global_lock.h"

TDSPXDelay::TDSPXDelay() {
  LengthUnit = 1;
  TDSPXDelay::ReallocBuffers();
  TDSPXDelay::Update();
}

TDSPXDelay::~TDSPXDelay() = default;

void TDSPXDelay::SetAudioSettings(TAudioSettingsRec* rec) {
  TDSPStereoEffect::SetAudioSettings(rec);
  FilterLeft.SetAudioSettings(Settings);
  FilterRight.SetAudioSettings(Settings);
  Update();
}

void TDSPXDelay::ReallocBuffers() {
  TDSPStereoEffect::ReallocBuffers();
  Lines.Allocate(std::max(2, kCapacityMs * Settings->SamplesPerMs), [this] { UpdateLineLengths(); });
}

void TDSPXDelay::ReleaseBuffers() {
  TDSPStereoEffect::ReleaseBuffers();
  Lines.Release();
}

void TDSPXDelay::ClearState() {
  TGlobalLockGuard lock;
  Lines.Clear();
  FilterLeft.Filter().Reset();
  FilterRight.Filter().Reset();
}

void TDSPXDelay::UpdateLineLengths() {
  const auto spm = static_cast<float>(Settings->SamplesPerMs);
  const std::int32_t longest = std::max(1, Lines.Size() - 1);
  for (std::size_t s = 0; s < 2; ++s) {
    LineLength[s] = SampleCount(LengthMs(static_cast<float>(Length[s])) * spm, 1, longest);
    if (WritePosition[s] >= LineLength[s]) WritePosition[s] = 0;
  }
}

void TDSPXDelay::Update() {
  TGlobalLockGuard lock;
  TDSPStereoEffect::Update();
  UpdateLineLengths();
}

void TDSPXDelay::UpdateTickLength() {
  TDSPStereoEffect::UpdateTickLength();
  Update();
}

void TDSPXDelay::SetLengthLeft(std::int32_t length) {
  if (length == Length[0]) return;
  Length[0] = length;
  Update();
}

void TDSPXDelay::SetLengthRight(std::int32_t length) {
  if (length == Length[1]) return;
  Length[1] = length;
  Update();
}

void TDSPXDelay::SetCrossLeftToRight(float value) {
  if (!std::isfinite(value) || value == CrossLeftToRight) return;
  CrossLeftToRight = value;
  Update();
}

void TDSPXDelay::SetCrossRightToLeft(float value) {
  if (!std::isfinite(value) || value == CrossRightToLeft) return;
  CrossRightToLeft = value;
  Update();
}

void TDSPXDelay::SetFeedbackLeft(float value) {
  if (std::isfinite(value)) FeedbackLeft = value;
}

void TDSPXDelay::SetFeedbackRight(float value) {
  if (std::isfinite(value)) FeedbackRight = value;
}

template <bool FilterL, bool FilterR>
void TDSPXDelay::Run(float* left, float* right, const float* noise, std::int32_t n) {
  float* lineL = Lines.Line(0);
  float* lineR = Lines.Line(1);
  const std::int32_t lenL = LineLength[0], lenR = LineLength[1];
  std::int32_t wL = WritePosition[0], wR = WritePosition[1];
  const float fbL = FeedbackLeft, fbR = FeedbackRight;
  const float crossLR = CrossLeftToRight, crossRL = CrossRightToLeft;
  const float lw = LeftWetOut, ld = LeftDryOut, rw = RightWetOut, rd = RightDryOut;
  bool bad = false;
  for (std::int32_t i = 0; i < n; ++i) {
    const float xL = left[i] + noise[i];
    const float xR = right[i] + noise[i];
    const float dL = lineL[wL];
    float fL = (dL + xL) * fbL;
    left[i] = xL * ld + dL * lw;
    const float dR = lineR[wR];
    float fR = (dR + xR) * fbR;
    right[i] = xR * rd + dR * rw;
    if constexpr (FilterL) fL = FilterLeft.ProcessSample(fL);
    if constexpr (FilterR) fR = FilterRight.ProcessSample(fR);
    lineL[wL] = KeepBounded(fR * crossRL + fL, bad);
    lineR[wR] = KeepBounded(fL * crossLR + fR, bad);
    if (++wL >= lenL) wL = 0;
    if (++wR >= lenR) wR = 0;
  }
  WritePosition[0] = wL;
  WritePosition[1] = wR;
  // A runaway loop (feedback plus cross-feedback above 1), or a filter that
  // went non-finite, restarts from silence.
  if (bad) ClearState();
}

void TDSPXDelay::ProcessStereo(float* left, float* right) {
  const std::int32_t n = SubBlockLength();
  if (!Lines.IsAllocated() || n <= 0) return;
  const float* noise = NextDenormalNoise(n);
  if (FilterLeftOn) {
    if (FilterRightOn)
      Run<true, true>(left, right, noise, n);
    else
      Run<true, false>(left, right, noise, n);
  } else if (FilterRightOn) {
    Run<false, true>(left, right, noise, n);
  } else {
    Run<false, false>(left, right, noise, n);
  }
}
