// Resonant low-pass ladders ("24DB LP", "24DB LP2", "24DB LP3" with its
// high- and band-pass outputs), the one-stage resonant low-pass "LP1" and the
// double-sampled state-variable filter with its five outputs.
#pragma once

#include <cstddef>
#include <type_traits>

#include "dsp/filters/filter.h"
#include "dsp/filters/section_state.h"

// The least frequency (Hz) the bilinear ladders run at, the lowest a voice's
// cutoff parameter offers: "24DB LP3/HP/BP" hold their cutoff there, "24DB
// LP2" its corner (0.24 of its cutoff, so 10 Hz would leave it at 2.4 Hz,
// where its state takes a quarter of a second to decay). Modulation takes a
// cutoff on down to 0 or below (the setter holds it at 0.001 Hz), where each
// stage's pole rounds onto 1 in single precision: the stages stopped, and the
// ladder held the value it last had as a DC output for as long as the cutoff
// stayed there. From the floor its state decays within tens of ms.
inline constexpr float kLadderMinCutoffHz = 10.0f;

// Four one-pole stages with a zero at -0.3 each and global feedback
// (internal resonance 0.001..3.999). A change of cutoff rescales the stages.
class T24DBResonantLPFilter1 final : public TDSPFilter {
 public:
  T24DBResonantLPFilter1();
  float Step(float x) {
    const float u = (x - Feedback * O4) * Gain;
    const float k = 1 - F;
    O1 = FlushTiny(u + 0.3f * I1 + k * O1);
    I1 = u;
    O2 = FlushTiny(O1 + 0.3f * I2 + k * O2);
    I2 = O1;
    O3 = FlushTiny(O2 + 0.3f * I3 + k * O3);
    I3 = O2;
    O4 = FlushTiny(O3 + 0.3f * I4 + k * O4);
    I4 = O3;
    return O4;
  }
  void Reset() override;

  float F = 0, Gain = 0, Feedback = 0;
  float O1 = 0, O2 = 0, O3 = 0, O4 = 0, I1 = 0, I2 = 0, I3 = 0, I4 = 0;

 protected:
  void UpdateCoefficients() override;
};

// The coefficients and state of "24DB LP3/HP/BP" in the order the vector
// lanes load and store them, as one row of eight floats (filter_lanes.cpp).
struct TLadderRow {
  float P = 0, K = 0, Feedback = 0;
  float B0 = 0, B1 = 0, B2 = 0, B3 = 0, B4 = 0;
};
static_assert(std::is_standard_layout_v<TLadderRow> && sizeof(TLadderRow) == 8 * sizeof(float));
static_assert(offsetof(TLadderRow, K) == 1 * sizeof(float) && offsetof(TLadderRow, Feedback) == 2 * sizeof(float) &&
              offsetof(TLadderRow, B0) == 3 * sizeof(float) && offsetof(TLadderRow, B4) == 7 * sizeof(float));

// Four bilinear stages with cubic soft clipping of the last; the input is
// scaled down by 1000 and the output up by 1000 so the clipper only acts on
// hot resonance. Output low-, high- or band-pass by subclass. The cutoff
// share is held within kMinCutoffShare .. kMaxCutoffShare, where each stage's
// pole is 0.998 .. -0.996.
class T24DBResonantFilter2 : public TDSPFilter, public TLadderRow {
 public:
  enum TOutput : std::int32_t { kLowPass, kHighPass, kBandPass };
  // The cutoff's share of its full scale is held within these.
  static constexpr float kMinCutoffShare = kLadderMinCutoffHz / kFilterCutoffMax;
  static constexpr float kMaxCutoffShare = 0.99f;
  explicit T24DBResonantFilter2(TOutput output);

  template <TOutput Output>
  float Step(float x) {
    return Ladder<Output>(x, P, K, Feedback, B0, B1, B2, B3, B4);
  }
  void Reset() override;
  TLaneKind LaneKind() const override {
    return Output == kLowPass    ? TLaneKind::kLadderLowPass
           : Output == kHighPass ? TLaneKind::kLadderHighPass
                                 : TLaneKind::kLadderBandPass;
  }

  TOutput Output;
  float* LaneRow() { return &static_cast<TLadderRow&>(*this).P; }

 protected:
  void UpdateCoefficients() override;

  // One sample of the four poles on the state b0 .. b4 (b0 holds the last
  // input), with the cubic soft limit on the last pole; the tap of Out.
  template <TOutput Out>
  static float Ladder(float x, float p, float k, float feedback, float& b0, float& b1, float& b2, float& b3,
                      float& b4) {
    const float u = 0.001f * x - feedback * b4;
    float t1 = b1;
    b1 = FlushTiny((u + b0) * p - b1 * k);
    const float t2 = b2;
    b2 = FlushTiny((b1 + t1) * p - b2 * k);
    t1 = b3;
    b3 = FlushTiny((b2 + t2) * p - b3 * k);
    b4 = (b3 + t1) * p - b4 * k;
    b4 = FlushTiny(b4 - b4 * b4 * b4 * 0.166667f);
    b0 = u;
    if constexpr (Out == kLowPass) return 1000.0f * b4;
    if constexpr (Out == kHighPass) return 1000.0f * (u - b4);
    return 1000.0f * 3.0f * (b3 - b4);
  }

  // The buffer routine: Step<Output> over the buffer with coefficients and
  // state in locals (the buffer could alias the members otherwise, which
  // keeps them in memory on the recursion's path), the recovery of
  // BindSteps.
  template <TOutput Out>
  static void StepBuffer(TDSPFilter& filter, float* buffer, std::int32_t count) {
    auto& d = static_cast<T24DBResonantFilter2&>(filter);
    const float p = d.P, k = d.K, feedback = d.Feedback;
    float b0 = d.B0, b1 = d.B1, b2 = d.B2, b3 = d.B3, b4 = d.B4;
    for (std::int32_t i = 0; i < count; ++i) {
      float y = Ladder<Out>(buffer[i], p, k, feedback, b0, b1, b2, b3, b4);
      if (!std::isfinite(y)) [[unlikely]] {
        y = d.Recover();
        b0 = d.B0;
        b1 = d.B1;
        b2 = d.B2;
        b3 = d.B3;
        b4 = d.B4;
      }
      buffer[i] = y;
    }
    d.B0 = b0;
    d.B1 = b1;
    d.B2 = b2;
    d.B3 = b3;
    d.B4 = b4;
  }
};

class T24DBResonantFilter2LP final : public T24DBResonantFilter2 {
 public:
  T24DBResonantFilter2LP() : T24DBResonantFilter2(kLowPass) {}
};

class T24DBResonantFilter2HP final : public T24DBResonantFilter2 {
 public:
  T24DBResonantFilter2HP() : T24DBResonantFilter2(kHighPass) {}
};

class T24DBResonantFilter2BP final : public T24DBResonantFilter2 {
 public:
  T24DBResonantFilter2BP() : T24DBResonantFilter2(kBandPass) {}
};

// Four bilinear stages with global feedback, cutoff kLadderMinCutoffHz up to
// 0.12 of the rate.
class T24DBResonantFilter3 final : public TDSPFilter {
 public:
  T24DBResonantFilter3();
  float Step(float x) {
    const float u = x - Feedback * Y4;
    Y1 = FlushTiny((u + OldU) * P - K * Y1);
    Y2 = FlushTiny((Y1 + OldY1) * P - K * Y2);
    Y3 = FlushTiny((Y2 + OldY2) * P - K * Y3);
    Y4 = FlushTiny((Y3 + OldY3) * P - K * Y4);
    OldU = u;
    OldY1 = Y1;
    OldY2 = Y2;
    OldY3 = Y3;
    return Y4;
  }
  void Reset() override;

  float P = 0, K = 0, Feedback = 0;
  float Y1 = 0, Y2 = 0, Y3 = 0, Y4 = 0, OldU = 0, OldY1 = 0, OldY2 = 0, OldY3 = 0;

 protected:
  void UpdateCoefficients() override;
};

// "LP1": two one-pole stages with resonance feedback fb = R + R / (1 - f).
// The coefficient f follows the cutoff over 0..0.24 of the rate and is held
// within 0.001..kMaxCoefficient, where the feedback stays finite. A change of
// coefficients carries the state over (section_state.h).
class TXResonantFilter1 final : public TDSPFilter {
 public:
  static constexpr float kMaxCoefficient = 0.999f;
  TXResonantFilter1();
  float Step(float x) {
    B0 = FlushTiny(B0 + F * (x - B0 + Feedback * (B0 - B1)));
    B1 = FlushTiny(B1 + F * (B0 - B1));
    return B1;
  }
  void Reset() override;

  float F = 0, Feedback = 0;
  float B0 = 0, B1 = 0;

 protected:
  void UpdateCoefficients() override;

 private:
  // The recursion in its own state (B0, B1) for coefficient f and feedback.
  static TStateSpace2 StateSpace(double f, double feedback);
};

// Chamberlin state-variable filter run twice per sample, with a cubic limit
// on the band state; the mode selects the output.
//
// The cubic b - b^3 / 1000 limits the band state only while |b| <= sqrt(2000):
// that interval it maps into itself, but beyond it the cubic grows faster
// than b, and one excursion past it (a loud input, or parameters jumping
// while the state rings) ran away to infinity within a few samples. The band
// state is therefore held within the interval before the cubic. Inside it
// nothing changes, and with the band state bounded the low state is too
// (its recursion contracts for every frequency coefficient the design
// produces, 0.80..1.36 < sqrt(2)).
class TStateVariableFilter1 : public TDSPFilter {
 public:
  enum TMode : std::int32_t { kLowPass, kHighPass, kBandPass, kNotch, kPeaking };
  static constexpr float kBandLimit = 44.72136f;  // sqrt(2000)
  explicit TStateVariableFilter1(TMode mode);

  template <TMode Mode>
  float Step(float x) {
    float s = InputGain * x;
    for (int pass = 0; pass < 2; ++pass) {
      s = FlushTiny(s);
      Low = FlushTiny(Low);
      // A NaN passes (and the filter is reset by its runner).
      if (Band > kBandLimit) Band = kBandLimit;
      if (Band < -kBandLimit) Band = -kBandLimit;
      Band = Band - Band * Band * Band * 0.001f;
      const float high = s - Low - Damping * Band;
      Band = F * high + Band;
      Low = F * Band + Low;
      if constexpr (Mode == kLowPass) s = Low;
      if constexpr (Mode == kHighPass) s = high;
      if constexpr (Mode == kBandPass) s = Band;
      if constexpr (Mode == kNotch) s = Low + high;
      if constexpr (Mode == kPeaking) s = Low - high;
    }
    return s;
  }
  void Reset() override;

  TMode Mode;
  float F = 0, Damping = 0, InputGain = 0;
  float Low = 0, Band = 0;

 protected:
  void UpdateCoefficients() override;
};

class TStateVariableFilter1LP final : public TStateVariableFilter1 {
 public:
  TStateVariableFilter1LP();
};

class TStateVariableFilter1HP final : public TStateVariableFilter1 {
 public:
  TStateVariableFilter1HP();
};

class TStateVariableFilter1BP final : public TStateVariableFilter1 {
 public:
  TStateVariableFilter1BP();
};

class TStateVariableFilter1NOTCH final : public TStateVariableFilter1 {
 public:
  TStateVariableFilter1NOTCH();
};

class TStateVariableFilter1PEAKING final : public TStateVariableFilter1 {
 public:
  TStateVariableFilter1PEAKING();
};
