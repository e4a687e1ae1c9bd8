#include "dsp/filters/biquad_filters.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "dsp/filters/section_state.h"

namespace {
constexpr double kPi = std::numbers::pi;
}  // namespace

TBiquadFilter1Base::TBiquadFilter1Base() {
  BindSteps<TBiquadFilter1Base>();
  SetRanges(0.01f, 256.0f, 0.01, 265.0f);
  FrequencyScale = 0.2f * static_cast<float>(kFilterDesignRate);
  UpperFrequency = 0.4f * SampleRate();
}

void TBiquadFilter1Base::StoreSection(double b0, double b1, double b2, double a1, double a2) {
  float a1f = static_cast<float>(a1), a2f = static_cast<float>(a2);
  KeepPolesInside(a1f, a2f);
  ChangeSection(*this, static_cast<float>(b0), static_cast<float>(b1), static_cast<float>(b2), a1f, a2f, SampleRate());
}

void TBiquadFilter1Base::Reset() {
  TDSPFilter::Reset();
  X1 = X2 = Y1 = Y2 = 0;
}

void TBiquadFilter1Base::SetAudioSettings(TAudioSettingsRec* rec) {
  BeginUpdate();
  TDSPFilter::SetAudioSettings(rec);
  FrequencyScale = 0.2f * static_cast<float>(kFilterDesignRate);
  UpperFrequency = 0.4f * SampleRate();
  EndUpdate();
}

double TBiquadFilter1Base::PrewarpTan(double f) const {
  return std::tan(std::min(f, static_cast<double>(UpperFrequency)) * kPi / SampleRate());
}

double TBiquadFilter1Base::PrewarpCot(double f) const { return std::tan(kPi / 2 - f * kPi / SampleRate()); }

void TBiquadFilter1Base::BilinearTransform(double d2, double d1, double d0, double u2, double u1, double u0) {
  const double k = 1 / (d2 + d1 + d0);
  StoreSection((u2 + u1 + u0) * k, 2 * (u0 - u2) * k, (u2 - u1 + u0) * k, 2 * (d0 - d2) * k, (d2 - d1 + d0) * k);
}

void TBiquadFilter1Base::HighShelf(double g, double q, double f) {
  const double k = std::tan(kPi * f / SampleRate());
  const double n = 1 / (k / q + 1 + k * k);
  const double r = std::sqrt(2 * g) * k;
  StoreSection((r + 1 + g * k * k) * n, 2 * (g * k * k - 1) * n, (1 - r + g * k * k) * n, 2 * (k * k - 1) * n,
               (1 - k / q + k * k) * n);
}

void TBiquadFilter1Base::LowShelf(double g, double q, double f) {
  const double k = std::tan((kPi - 2 * kPi * f / SampleRate()) / 2);
  const double n = 1 / (k / q + 1 + k * k);
  const double r = std::sqrt(2 * g) * k;
  StoreSection((r + 1 + g * k * k) * n, -2 * (g * k * k - 1) * n, (1 - r + g * k * k) * n, -2 * (k * k - 1) * n,
               (1 - k / q + k * k) * n);
}

void TBiquadFilter1Base::Peak(double g, double b, double q, double f) {
  const double k = PrewarpTan(f);
  const double n = 1 / (k / q + 1 + k * k);
  StoreSection((1 + b * k / q + k * k) * g * n, 2 * (k * k - 1) * g * n, (1 - b * k / q + k * k) * g * n,
               2 * (k * k - 1) * n, (1 - k / q + k * k) * n);
}

float FormantFrequency(float high, float mid, float low, float x) {
  if (x >= 120) return (high - mid) * (x - 120) / 120 + mid;
  return (mid - low) * x / 120 + low;
}

namespace {
// The cutoff's share of half the design rate (Hz at every rate), at least 33 Hz.
double FourPoleFrequency(float cutoff) {
  return std::max(static_cast<double>(cutoff) / kFilterCutoffMax * kFilterDesignRate / 2, 33.0);
}
}  // namespace

TBiquadFilter14PoleLP::TBiquadFilter14PoleLP() {
  Reset();
  Update();
}

void TBiquadFilter14PoleLP::UpdateCoefficients() {
  const double fs = SampleRate();
  const double f = std::min(FourPoleFrequency(Cutoff), fs / 2);
  const double q = std::sqrt(1.01 + 14 * InternalResonance / 240.0);
  const double k = 1 / std::tan(f * kPi / fs);
  const double d = std::sqrt(q * q - 1) / q * k;
  const double e = q * k * k;
  const double n = 1 / (1 + d + e);
  StoreSection(n, 2 * n, n, (2 - 2 * e) * n, (1 - d + e) * n);
}

TBiquadFilter14PoleEQ1::TBiquadFilter14PoleEQ1() {
  Reset();
  Update();
}

void TBiquadFilter14PoleEQ1::UpdateCoefficients() {
  const double fs = SampleRate();
  const double f =
      std::max(std::min(static_cast<double>(Cutoff) / kFilterCutoffMax * kFilterDesignRate / 2, fs / 2), 33.0);
  const double r = InternalResonance;
  Peak(0.4 / ((240 - r) / 120 + 1), r / 30 + 6, r / 12 + 1, f);
}

TBiquadFilter14PoleEQ2::TBiquadFilter14PoleEQ2() {
  Reset();
  Update();
}

void TBiquadFilter14PoleEQ2::UpdateCoefficients() {
  const double fs = SampleRate();
  const double f =
      std::max(std::min(static_cast<double>(Cutoff) / kFilterCutoffMax * kFilterDesignRate / 2, fs / 2), 33.0);
  Peak(0.5, 9, 8, f);
}

void TBiquadFilter1::FormantPeak(float highFormant, double boostDivisor, double qualityDivisor) {
  const float x = CutoffShare() * FrequencyScale;
  const double r = InternalResonance;
  Peak(0.3, r / boostDivisor + 6, r / qualityDivisor + 2, FormantFrequency(highFormant, 400, 270, x));
}

TBiquadFilter1Vocal1::TBiquadFilter1Vocal1() {
  SetRanges(0.01f, 6000.0f, 0.01, 5000.0f);
  Reset();
  Update();
}

void TBiquadFilter1Vocal1::UpdateCoefficients() { FormantPeak(800, 24, 48); }

TBiquadFilter1Vocal2::TBiquadFilter1Vocal2() {
  SetRanges(0.01f, 8192.0f, 0.01, 5000.0f);
  Reset();
  Update();
}

void TBiquadFilter1Vocal2::UpdateCoefficients() { FormantPeak(650, 16, 56); }
