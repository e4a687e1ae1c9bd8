// Equaliser effect: one three-band equaliser per side, mixed with the dry
// signal through the common output coefficients. The rack sets gains,
// frequency and Q on the two equalisers directly.
#pragma once

#include "dsp/effects/stereo_effect.h"
#include "dsp/filters/three_band_eq.h"

class TDSPXEq : public TDSPStereoEffect {
 public:
  TDSPXEq();
  ~TDSPXEq() override;

  void ProcessStereo(float* left, float* right) override;
  // Zeroes both equalisers' memories.
  void ClearSmallState() override;
  // Inherited, then both equalisers follow the record (and redesign).
  void SetAudioSettings(TAudioSettingsRec* rec) override;

  TDSP3BandEQ& EqLeft() { return Left; }
  TDSP3BandEQ& EqRight() { return Right; }

 private:
  TDSP3BandEQ Left;
  TDSP3BandEQ Right;
};
