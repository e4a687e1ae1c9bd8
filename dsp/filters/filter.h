// Base of every filter: the three user parameters all filters share (cutoff,
// resonance and a third parameter whose meaning is per class), their mapping
// into each class's own internal ranges, deferred recomputation while an owner
// changes several parameters, and runners that take the parameters from
// modulation inputs.
//
// Per-sample work never goes through a virtual call: each concrete class has
// a non-virtual inline Step and binds two plain routines to it at
// construction (one sample, and a whole buffer in place). Tick, the block
// runners and the multi-filter call those routines. (The one exception is the
// reset after a non-finite output, see BindSteps.)
#pragma once

#include <cmath>
#include <cstdint>

#include "dsp/filters/design_rate.h"
#include "dsp/filters/step_routines.h"
#include "framework/modules/dsp_control.h"

class TDSPFilter;
class TDSPDirectFormFilter;
using TFilterRoutines = TStepRoutines<TDSPFilter>;

// Limits of the stored parameters. The cutoff's top is also its full scale:
// the designs read the cutoff as a share of it (CutoffShare), and it is half
// the design rate, so a share means the same Hz at every rate.
inline constexpr float kFilterCutoffMin = 0.001f;
inline constexpr float kFilterCutoffMax = 22050.0f;
static_assert(kFilterCutoffMax == kFilterDesignRate / 2, "the cutoff's full scale is half the design rate");
inline constexpr float kFilterParamMin = 0.001f;
inline constexpr float kFilterParamMax = 0.999f;

class TDSPFilter : public TDSPControl {
 public:
  TDSPFilter();

  // Setters: a non-finite value is ignored; otherwise, when it differs from
  // the stored one, it is stored, clamped and the coefficients recomputed.
  // Any thread that may touch the filter (the owner serialises them).
  void SetParam3(float value);     // 0.001..0.999, meaning per class
  void SetResonance(float value);  // 0.001..0.999
  void SetCutoff(float value);     // Hz, kFilterCutoffMin..kFilterCutoffMax

  float GetCutoff() const { return Cutoff; }
  float GetResonance() const { return Resonance; }
  float GetParam3() const { return Param3; }

  // Brackets several parameter changes: the coefficients are recomputed once,
  // at the outermost EndUpdate.
  void BeginUpdate() { ++UpdateLock; }
  void EndUpdate();

  // Modulation runners. Input 0 is the signal, input 1 the cutoff (Hz) and
  // input 2 the resonance or third parameter. The block forms read the
  // modulation once, from the first sample of its buffer, then filter input 0
  // into the output buffer with denormal flush; the sample forms read it at
  // CurrentSampleIndex and filter that one sample.
  void ProcessBlockModCutoff();
  void ProcessBlockModResonance();
  void ProcessBlockModCutoffResonance();
  void ProcessBlockModParam3();
  void ProcessBlockModCutoffParam3();
  void ProcessSampleModCutoff();
  void ProcessSampleModResonance();
  void ProcessSampleModCutoffResonance();
  void ProcessSampleModParam3();
  void ProcessSampleModCutoffParam3();

  // One sample through the concrete recursion (no virtual call).
  float ProcessSample(float x) { return Routines.Sample(*this, x); }
  // count samples in place through the concrete recursion.
  void ProcessSamples(float* buffer, std::int32_t count) { Routines.Buffer(*this, buffer, count); }
  const TFilterRoutines& GetRoutines() const { return Routines; }
  // The filter as a direct-form section when it is one (owners that step
  // several sections together), else null.
  virtual TDSPDirectFormFilter* AsDirectForm() { return nullptr; }
  // The vector form that steps the filter together with others of its kind
  // (filter_lanes.h); kNone for a class without one.
  enum class TLaneKind : std::uint8_t { kNone, kDirectForm, kLadderLowPass, kLadderHighPass, kLadderBandPass };
  virtual TLaneKind LaneKind() const { return TLaneKind::kNone; }

  // Recomputes the per-rate constants and the coefficients: a rate change
  // takes effect at once, not only at the next parameter change.
  void SetAudioSettings(TAudioSettingsRec* rec) override;
  // Own input buffer -> output buffer, with flush.
  void ProcessBlock() override;
  // Input 0 -> output buffer, without flush.
  void ProcessBlockControl() override;
  // Input 0 at CurrentSampleIndex -> output buffer, without flush.
  void ProcessOneSample() override;
  void Tick() override { OutputSample = Routines.Sample(*this, InputSample); }
  // One millisecond in place.
  void ProcessBuffer(float* buffer) override { Routines.Buffer(*this, buffer, Settings->SamplesPerMs); }
  // Maps cutoff, resonance and param3 into the internal ranges and
  // recomputes the coefficients; nothing while an update bracket is open.
  void Update() final;

  // Internal ranges: each class sets its own in its constructor.
  float Param3RangeLow = 0.001f;
  float Param3RangeHigh = kFilterCutoffMax;
  double ResonanceRangeLow = 0.001;
  float ResonanceRangeHigh = 0.999f;
  float CutoffRangeLow = 10.001f;
  float CutoffRangeHigh = 16384.0f;
  // Mapped values, computed by Update.
  float InternalCutoff = 0;
  float InternalResonance = 0;
  float InternalParam3 = 0;

 protected:
  // The class's own coefficients from the stored and mapped parameters.
  virtual void UpdateCoefficients() {}
  // Binds the two routines to a non-virtual step of the concrete class
  // (D::Step unless another is named); every concrete class calls it in its
  // constructor, then Reset and Update.
  //
  // Both routines watch the output: a sample that comes out non-finite (a
  // NaN or infinite input, or a state that overflowed) resets the filter and
  // is replaced by 0, so the filter recovers at once instead of spreading
  // NaN through a voice or the whole output. Every concrete recursion feeds
  // its state into its output, so a non-finite state shows there within a
  // sample or two.
  template <class D, float (D::*StepFn)(float) = &D::Step>
  void BindSteps() {
    Routines = {[](TDSPFilter& filter, float x) -> float {
                  D& d = static_cast<D&>(filter);
                  const float y = (d.*StepFn)(x);
                  if (!std::isfinite(y)) [[unlikely]]
                    return d.Recover();
                  return y;
                },
                [](TDSPFilter& filter, float* buffer, std::int32_t count) {
                  D& d = static_cast<D&>(filter);
                  for (std::int32_t i = 0; i < count; ++i) {
                    const float y = (d.*StepFn)(buffer[i]);
                    buffer[i] = std::isfinite(y) ? y : d.Recover();
                  }
                }};
  }
  // Replaces the buffer routine BindSteps bound by one of the class's own
  // with the same results (and the same recovery).
  void BindBuffer(TFilterRoutines::TBuffer buffer) { Routines.Buffer = buffer; }
  // Internal ranges: cutoff (low, high) and resonance (low, high).
  void SetRanges(float cutoffLow, float cutoffHigh, double resonanceLow, float resonanceHigh) {
    CutoffRangeLow = cutoffLow;
    CutoffRangeHigh = cutoffHigh;
    ResonanceRangeLow = resonanceLow;
    ResonanceRangeHigh = resonanceHigh;
  }
  void SetParam3Range(float low, float high) {
    Param3RangeLow = low;
    Param3RangeHigh = high;
  }
  // The stored cutoff as a share of its full scale, 0..1.
  float CutoffShare() const { return Cutoff / kFilterCutoffMax; }
  // The standard cutoff in Hz at every rate, held at most half the rate: the
  // cutoff's share times half the design rate (written so, the designs
  // compute at the design rate exactly as they always have).
  float StandardCutoff() const {
    const float hz = CutoffShare() * static_cast<float>(kFilterDesignRate / 2);
    const float half = static_cast<float>(Settings->HalfRate);
    return hz < half ? hz : half;
  }
  float SampleRate() const { return static_cast<float>(Settings->SampleRate); }

  // A design made at kFilterDesignRate carried to the rate in use
  // (design_rate.h); each is the identity at the design rate.
  bool AtDesignRate() const { return Settings->SampleRate == kFilterDesignRate; }
  float MatchPole(float pole) const { return MatchPoleToRate(pole, Settings->SampleRate); }

  // Clears a state that went non-finite; answers the sample to emit instead.
  float Recover() {
    Reset();
    return 0.0f;
  }

  float Cutoff = 8000.0f;
  float Resonance = 0.001f;
  float Param3 = 0.5f;
  std::int32_t UpdateLock = 0;

 private:
  void MapCutoff();
  void MapResonance();
  void MapParam3();
  // Input -> output buffer over one block through the buffer routine.
  void RunBlock(const float* input, bool flush);
  void RunOneSample(bool flush);

  TFilterRoutines Routines;
};

// Keeps the poles of 1 + a1 z^-1 + a2 z^-2 inside the unit circle once the
// coefficients are rounded to single precision: a design at a very low
// frequency, exact in double, can round onto or past the circle and then
// grow without bound. Moves a1 and a2 by the few units of the last place
// needed; a stable pair is left unchanged.
void KeepPolesInside(float& a1, float& a2);

// Zero or denormal (all exponent bits clear) becomes +0.0. Inline: it runs in
// every recursion that can decay into denormals.
inline float FlushTiny(float x) { return IsDenormalOrZero(x) ? 0.0f : x; }
