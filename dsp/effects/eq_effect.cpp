#include "dsp/effects/eq_effect.h"

TDSPXEq::TDSPXEq() = default;

TDSPXEq::~TDSPXEq() = default;

void TDSPXEq::SetAudioSettings(TAudioSettingsRec* rec) {
  TDSPStereoEffect::SetAudioSettings(rec);
  Left.SetAudioSettings(Settings);
  Right.SetAudioSettings(Settings);
}

void TDSPXEq::ClearState() {
  Left.Reset();
  Right.Reset();
}

void TDSPXEq::ProcessStereo(float* left, float* right) {
  const std::int32_t n = SubBlockLength();
  if (n <= 0) return;
  const float* noise = NextDenormalNoise(n);
  float* wetL = WetBufferLeft();
  float* wetR = WetBufferRight();
  for (std::int32_t i = 0; i < n; ++i) {
    left[i] = FiniteOrZero(left[i] + noise[i]);
    right[i] = FiniteOrZero(right[i] + noise[i]);
    wetL[i] = Left.Step(left[i]);
    wetR[i] = Right.Step(right[i]);
  }
  if (SilenceRunaway(wetL, n)) Left.Reset();
  if (SilenceRunaway(wetR, n)) Right.Reset();
  const float lw = LeftWetOut, ld = LeftDryOut, rw = RightWetOut, rd = RightDryOut;
  for (std::int32_t i = 0; i < n; ++i) {
    left[i] = wetL[i] * lw + left[i] * ld;
    right[i] = wetR[i] * rw + right[i] * rd;
  }
}
