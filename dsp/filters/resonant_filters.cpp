#include "dsp/filters/resonant_filters.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "dsp/filters/section_state.h"
#include "framework/base/base_math.h"

T24DBResonantLPFilter1::T24DBResonantLPFilter1() {
  BindSteps<T24DBResonantLPFilter1>();
  SetRanges(0.1f, 1.0f, 0.001, 3.999f);
  Reset();
  Update();
}

void T24DBResonantLPFilter1::Reset() {
  TDSPFilter::Reset();
  O1 = O2 = O3 = O4 = I1 = I2 = I3 = I4 = 0;
}

void T24DBResonantLPFilter1::UpdateCoefficients() {
  const float top = static_cast<float>(kFilterDesignRate) * 0.24f;
  const float c = MapRange(CutoffShare() * top, 0.001f, top, 0.1f, 1.0f);
  InternalCutoff = c;
  // Each stage's pole 1 - f keeps its time constant at every rate; the
  // feedback stays the design rate's.
  const float designF = 1.16f * c;
  const float f = AtDesignRate() ? designF : 1 - MatchPole(1 - designF);
  if (f != F && F != 0) {
    // Each stage's gain at DC is 1.3 / F, made up by the input gain F^4:
    // stage k holds its signal scaled by F^-k. Rescale the stages to the new F
    // so the ladder goes on at the same level (a jump to a lower cutoff would
    // otherwise find every stage (F / F')^k too hot).
    const float r = f / F;
    const float r2 = r * r, r3 = r2 * r, r4 = r2 * r2;
    O1 *= r3;
    O2 *= r2;
    O3 *= r;
    I1 *= r4;
    I2 *= r3;
    I3 *= r2;
    I4 *= r;
  }
  F = f;
  Gain = 0.35013f * (F * F) * (F * F);
  Feedback = (1 - 0.15f * designF * designF) * InternalResonance;
}

T24DBResonantFilter2::T24DBResonantFilter2(TOutput output) : Output(output) {
  switch (output) {
    case kLowPass:
      BindSteps<T24DBResonantFilter2, &T24DBResonantFilter2::Step<kLowPass>>();
      BindBuffer(&StepBuffer<kLowPass>);
      break;
    case kHighPass:
      BindSteps<T24DBResonantFilter2, &T24DBResonantFilter2::Step<kHighPass>>();
      BindBuffer(&StepBuffer<kHighPass>);
      break;
    case kBandPass:
      BindSteps<T24DBResonantFilter2, &T24DBResonantFilter2::Step<kBandPass>>();
      BindBuffer(&StepBuffer<kBandPass>);
      break;
  }
  SetRanges(0.001f, 1.0f, 0.001, 0.88f);
  Reset();
  Update();
}

void T24DBResonantFilter2::Reset() {
  TDSPFilter::Reset();
  B0 = B1 = B2 = B3 = B4 = 0;
}

void T24DBResonantFilter2::UpdateCoefficients() {
  // At f = 1 each stage's pole sits on -1: a half-rate ringing, once in the
  // state, never decays and feeds the resonance. Held just inside.
  // Designed at the design rate, then carried to the rate in use.
  const float f = std::clamp(CutoffShare(), kMinCutoffShare, kMaxCutoffShare);
  const float q = 1 - f;
  P = f + 0.8f * f * q;
  Feedback = InternalResonance * (1 + 0.5f * q * (1 - q + 5.6f * q * q));
  if (!AtDesignRate()) {
    constexpr float kMaxShareQ = 1 - kMaxCutoffShare;
    constexpr float kMaxP = kMaxCutoffShare + 0.8f * kMaxCutoffShare * kMaxShareQ;
    const TLadderDesign d = MatchLadderToRate(P, Feedback, Resonance, kMaxP, Settings->SampleRate);
    P = d.P;
    Feedback = d.Feedback;
  }
  K = 2 * P - 1;
}

T24DBResonantFilter3::T24DBResonantFilter3() {
  BindSteps<T24DBResonantFilter3>();
  SetRanges(10.001f, 16384.0f, 0.001, 1.0f);
  Reset();
  Update();
}

void T24DBResonantFilter3::Reset() {
  TDSPFilter::Reset();
  Y1 = Y2 = Y3 = Y4 = OldU = OldY1 = OldY2 = OldY3 = 0;
}

void T24DBResonantFilter3::UpdateCoefficients() {
  // Designed at the design rate (cutoff up to 0.12 of it); the bilinear
  // stages then keep their analog frequency at the rate in use.
  constexpr float kDesignRateF = static_cast<float>(kFilterDesignRate);
  const float top = 0.12f * kDesignRateF;
  float c = CutoffShare() * top;
  ClampFloat(c, kLadderMinCutoffHz, top);
  InternalCutoff = c;
  const float f = c * (2.0f / kDesignRateF);
  K = 3.6f * f - 1.6f * f * f - 1;
  P = (K + 1) * 0.5f;
  const float scale = f > 0 ? PowerOf(f, (1 - P) * 1.386249f) : 0.0f;
  Feedback = InternalResonance * scale;
  if (!AtDesignRate()) {
    const TLadderDesign d = MatchLadderToRate(P, Feedback, Resonance, 0.999f, Settings->SampleRate);
    P = d.P;
    Feedback = d.Feedback;
    K = 2 * P - 1;
  }
}

TXResonantFilter1::TXResonantFilter1() {
  BindSteps<TXResonantFilter1>();
  SetRanges(0.001f, 0.999f, 0.001, 0.999f);
  Reset();
  Update();
}

void TXResonantFilter1::Reset() {
  TDSPFilter::Reset();
  B0 = B1 = 0;
}

void TXResonantFilter1::UpdateCoefficients() {
  // Unheld, f reaches 1 near 0.24 of the rate (the feedback divides by zero)
  // and 2 near 0.48 (the stages diverge): cutoffs above 0.24 of the rate
  // keep the top coefficient.
  float f = MapRange(Cutoff, 0.001f, static_cast<float>(kFilterDesignRate) * 0.24f, 0.001f, 0.999f);
  ClampFloat(f, 0.001f, kMaxCoefficient);
  if (!AtDesignRate()) {
    // Each stage's pole 1 - f keeps the design rate's time constant.
    f = 1 - MatchPole(1 - f);
    ClampFloat(f, 0.001f, kMaxCoefficient);
  }
  InternalCutoff = f;
  const float feedback = InternalResonance + InternalResonance / (1 - f);
  if ((f != F || feedback != Feedback) && (B0 != 0 || B1 != 0)) {
    double s0 = B0, s1 = B1;
    CarryState2(StateSpace(F, Feedback), StateSpace(f, feedback), s0, s1, SampleRate());
    B0 = static_cast<float>(s0);
    B1 = static_cast<float>(s1);
  }
  F = f;
  Feedback = feedback;
}

TStateSpace2 TXResonantFilter1::StateSpace(double f, double feedback) {
  // b0' = (1 - f + f fb) b0 - f fb b1 + f x; b1' = b1 + f (b0' - b1).
  const double a = 1 - f + f * feedback;
  return {a, -f * feedback, f * a, 1 - f - f * f * feedback, f, f * f};
}

TStateVariableFilter1::TStateVariableFilter1(TMode mode) : Mode(mode) {
  switch (mode) {
    case kLowPass:
      BindSteps<TStateVariableFilter1, &TStateVariableFilter1::Step<kLowPass>>();
      break;
    case kHighPass:
      BindSteps<TStateVariableFilter1, &TStateVariableFilter1::Step<kHighPass>>();
      break;
    case kBandPass:
      BindSteps<TStateVariableFilter1, &TStateVariableFilter1::Step<kBandPass>>();
      break;
    case kNotch:
      BindSteps<TStateVariableFilter1, &TStateVariableFilter1::Step<kNotch>>();
      break;
    case kPeaking:
      BindSteps<TStateVariableFilter1, &TStateVariableFilter1::Step<kPeaking>>();
      break;
  }
  SetRanges(0.001f, 0.999f, 0.03, 0.999f);
}

void TStateVariableFilter1::Reset() {
  TDSPFilter::Reset();
  Low = Band = 0;
}

void TStateVariableFilter1::UpdateCoefficients() {
  const float fs = SampleRate();
  float c;
  if (Mode == kPeaking) {
    c = MapRange(Cutoff, 0.0f, 0.48f * fs, CutoffRangeLow, CutoffRangeHigh);
    c = c / (3 * fs) * 4e-6f * fs;
  } else {
    float k = 2.2e-5f;
    if (Mode == kHighPass) k = 4e-6f;
    if (Mode == kBandPass) k = 6e-6f;
    if (Mode == kNotch) k = 3.6e-6f;
    c = Cutoff / (2.8f * fs) * k * fs;
  }
  InternalCutoff = c;
  Damping = (static_cast<float>(ResonanceRangeLow) + ResonanceRangeHigh) - InternalResonance;
  constexpr float kSemitone = std::numbers::ln2_v<float> / 12.0f;
  float f0 = 0.01f * fs * std::exp((c * 0.0038758637f - 69.0f) * kSemitone);
  if (!(f0 > 0)) f0 = 0.001f;
  F = 2 * std::sin(std::numbers::pi_v<float> * fs / (2 * f0));
  const float a = 2 * std::cos(std::pow(Damping, 0.1f) * std::numbers::pi_v<float> / 2);
  InputGain = a == 0 ? 0.0f : std::sqrt(a * 0.5f + 0.01f);
}

TStateVariableFilter1LP::TStateVariableFilter1LP() : TStateVariableFilter1(kLowPass) {
  SetRanges(0.001f, 6000.0f, 0.03, 0.4f);
  Reset();
  Update();
}

TStateVariableFilter1HP::TStateVariableFilter1HP() : TStateVariableFilter1(kHighPass) {
  SetRanges(0.001f, 3100.0f, 0.33, 0.55f);
  Reset();
  Update();
}

TStateVariableFilter1BP::TStateVariableFilter1BP() : TStateVariableFilter1(kBandPass) {
  SetRanges(0.001f, 5000.0f, 0.395, 0.55f);
  Reset();
  Update();
}

TStateVariableFilter1NOTCH::TStateVariableFilter1NOTCH() : TStateVariableFilter1(kNotch) {
  SetRanges(0.0f, 3333.0f, 0.3, 0.65f);
  Reset();
  Update();
}

TStateVariableFilter1PEAKING::TStateVariableFilter1PEAKING() : TStateVariableFilter1(kPeaking) {
  SetRanges(3000.0f, 5000.0f, 0.7, 0.999f);
  Reset();
  Update();
}
