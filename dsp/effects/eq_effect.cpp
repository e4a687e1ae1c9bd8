#include "dsp/effects/eq_effect.h"

TDSPXEq::TDSPXEq() = default;

TDSPXEq::~TDSPXEq() = default;

void TDSPXEq::SetAudioSettings(TAudioSettingsRec* rec) {
  TDSPStereoEffect::SetAudioSettings(rec);
  Left.SetAudioSettings(Settings);
  Right.SetAudioSettings(Settings);
}

void TDSPXEq::ClearSmallState() {
  Left.Reset();
  Right.Reset();
}

void TDSPXEq::ProcessStereo(float* left, float* right) {
  const std::int32_t n = SubBlockLength();
  if (n <= 0) return;
  const float* noise = NextDenormalNoise(n);
  float* wetL = WetBufferLeft();
  float* wetR = WetBufferRight();
  AddNoiseFinite(left, noise, left, n);
  AddNoiseFinite(right, noise, right, n);
  TDSP3BandEQ::StepBuffers(Left, left, wetL, Right, right, wetR, n);
  if (SilenceRunaway(wetL, n)) Left.Reset();
  if (SilenceRunaway(wetR, n)) Right.Reset();
  MixWetDry(wetL, left, nullptr, LeftWetOut, LeftDryOut, left, n);
  MixWetDry(wetR, right, nullptr, RightWetOut, RightDryOut, right, n);
}
