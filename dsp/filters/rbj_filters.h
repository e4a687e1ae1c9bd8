// The biquads of the published audio-EQ cookbook (R. Bristow-Johnson) in
// direct form I: "RBJ LP", "RBJ HP", "RBJ BPFS", "RBJ BPFP", "RBJ NOTCH",
// "RBJ APF", "PEAK-EQ", "LOWSHELF" and "HIGHSHELF".
//
// The centre frequency follows the cutoff over 0..0.245 of the rate. Low- and
// high-pass take the mapped resonance as Q (0.001..0.999); the band forms take
// the mapped param3 as bandwidth in octaves (times 10 for notch and all-pass),
// the constant-skirt band-pass has a peak gain equal to the resonance; the
// peaking and shelving forms take 78.7 dB times the resonance as gain, the
// shelves the stored param3 as slope.
#pragma once

#include "dsp/filters/direct_form_filter.h"

class TRBJFilter : public TDSPDirectFormFilter {
 public:
  enum TKind : std::int32_t {
    kLowPass,
    kHighPass,
    kBandPassSkirt,
    kBandPassPeak,
    kNotch,
    kAllPass,
    kPeakingEQ,
    kLowShelf,
    kHighShelf
  };
  explicit TRBJFilter(TKind kind);

  TKind Kind;
  float BandMultiplier;

 protected:
  void UpdateCoefficients() override;
};

// Low- and high-pass.
class TRBJFilterLH : public TRBJFilter {
 public:
  using TRBJFilter::TRBJFilter;
};

// Band forms: band-pass (skirt and peak gain), notch and all-pass.
class TRBJFilterBTP : public TRBJFilter {
 public:
  using TRBJFilter::TRBJFilter;
};

class TRBJFilterShelf : public TRBJFilter {
 public:
  using TRBJFilter::TRBJFilter;
};

class TRBJFilterLP final : public TRBJFilterLH {
 public:
  TRBJFilterLP() : TRBJFilterLH(kLowPass) {}
};

class TRBJFilterHP final : public TRBJFilterLH {
 public:
  TRBJFilterHP() : TRBJFilterLH(kHighPass) {}
};

class TRBJFilterBPFS final : public TRBJFilterBTP {
 public:
  TRBJFilterBPFS() : TRBJFilterBTP(kBandPassSkirt) {}
};

class TRBJFilterBPFP final : public TRBJFilterBTP {
 public:
  TRBJFilterBPFP() : TRBJFilterBTP(kBandPassPeak) {}
};

class TRBJFilterNotch final : public TRBJFilterBTP {
 public:
  TRBJFilterNotch() : TRBJFilterBTP(kNotch) {}
};

class TRBJFilterAPF final : public TRBJFilterBTP {
 public:
  TRBJFilterAPF() : TRBJFilterBTP(kAllPass) {}
};

class TRBJFilterPeakIngEQ final : public TRBJFilter {
 public:
  TRBJFilterPeakIngEQ() : TRBJFilter(kPeakingEQ) {}
};

class TRBJFilterLowShelf final : public TRBJFilterShelf {
 public:
  TRBJFilterLowShelf() : TRBJFilterShelf(kLowShelf) {}
};

class TRBJFilterHighShelf final : public TRBJFilterShelf {
 public:
  TRBJFilterHighShelf() : TRBJFilterShelf(kHighShelf) {}
};
