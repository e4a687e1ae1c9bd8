// Butterworth sections: "BW LP"/"BW HP" (a resonant two-pole section whose
// damping falls with the resonance) and "BW LP2"/"BW HP2"/"BW BP2"/"BW BR2"
// (fixed Butterworth damping; band-pass and band-reject with a bandwidth).
#pragma once

#include "dsp/filters/direct_form_filter.h"

// Resonance maps to 0.001..1.3 and the damping is 1.3 minus it, so the gain
// at the cutoff is 1 / (1.3 - internal resonance). The low-pass designs on
// the mirrored frequency (half the rate minus the cutoff), kept within
// 40 Hz .. half the rate - 5 ms worth of samples.
class TButterworthFilter1 : public TDSPDirectFormFilter {
 public:
  enum : std::int32_t { kLowPass = 0, kHighPass = 1 };
  explicit TButterworthFilter1(std::int32_t mode);
  // Sets cutoff and resonance from the first samples of inputs 1 and 2, then
  // filters input 0 into the output buffer.
  void ProcessBlockControl() override;

  std::int32_t Mode;

 protected:
  void UpdateCoefficients() override;
};

class TButterworthFilter1LP final : public TButterworthFilter1 {
 public:
  TButterworthFilter1LP() : TButterworthFilter1(kLowPass) {}
};

class TButterworthFilter1HP final : public TButterworthFilter1 {
 public:
  TButterworthFilter1HP() : TButterworthFilter1(kHighPass) {}
};

// Param3 is the bandwidth of the band forms as a share of half the rate.
class TButterworthFilter2 : public TDSPDirectFormFilter {
 public:
  enum TKind : std::int32_t { kLowPass, kHighPass, kBandPass, kBandReject };
  explicit TButterworthFilter2(TKind kind);

  TKind Kind;

 protected:
  void UpdateCoefficients() override;

 private:
  // The band-pass and band-reject width in Hz (param3 of half the design rate).
  double BandwidthHz(double fs) const;
};

class TButterworthFilter2LP final : public TButterworthFilter2 {
 public:
  TButterworthFilter2LP() : TButterworthFilter2(kLowPass) {}
};

class TButterworthFilter2HP final : public TButterworthFilter2 {
 public:
  TButterworthFilter2HP() : TButterworthFilter2(kHighPass) {}
};

class TButterworthFilter2BP final : public TButterworthFilter2 {
 public:
  TButterworthFilter2BP() : TButterworthFilter2(kBandPass) {}
};

class TButterworthFilter2BR final : public TButterworthFilter2 {
 public:
  TButterworthFilter2BR() : TButterworthFilter2(kBandReject) {}
};
