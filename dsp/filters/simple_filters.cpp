#include "dsp/filters/simple_filters.h"

#include <cmath>
#include <numbers>

namespace {
constexpr double kTwoPi = 2 * std::numbers::pi;
}  // namespace

TIIRNotchFilter1::TIIRNotchFilter1() {
  BindSteps<TIIRNotchFilter1>();
  SetRanges(10.001f, 16384.0f, 0.001, 0.999f);
  Reset();
  Update();
}

void TIIRNotchFilter1::Reset() {
  TDSPFilter::Reset();
  X1 = X2 = Y1 = Y2 = 0;
}

void TIIRNotchFilter1::UpdateCoefficients() {
  const double r = InternalResonance;
  const double k = std::cos(StandardCutoff() * kTwoPi / SampleRate());
  R = static_cast<float>(r);
  K = static_cast<float>(k);
  G = static_cast<float>((1 - r) * (1 - r) / (2 * (std::fabs(k) + 1)) + r);
}

TResonatorFilter2::TResonatorFilter2() {
  BindSteps<TResonatorFilter2>();
  SetRanges(0.001f, 22050.0f, 0.001, 0.999f);
  SetParam3Range(1.0f, 22050.0f);
  Reset();
  Update();
}

void TResonatorFilter2::Reset() {
  TDSPFilter::Reset();
  Y1 = Y2 = 0;
}

void TResonatorFilter2::UpdateCoefficients() {
  const double fs = SampleRate();
  const double q = std::exp(-kTwoPi * InternalParam3 / fs);
  const double a1 = std::cos(StandardCutoff() * kTwoPi / fs) * (-4 * q / (1 + q));
  Q = static_cast<float>(q);
  A1 = static_cast<float>(a1);
  B0 = static_cast<float>(std::sqrt(1 - a1 * a1 / (4 * q)) * (1 - q));
}

TCFilterX::TCFilterX() { SetRanges(0.001f, 22050.0f, 1.0, 255.0f); }

void TCFilterX::Reset() {
  TDSPFilter::Reset();
  X1 = X2 = Y1 = Y2 = 0;
}

void TCFilterX::UpdateCoefficients() {
  const double w = StandardCutoff() * kTwoPi / SampleRate();
  Rho = InternalResonance / 256.0f;
  CosW = static_cast<float>(std::cos(w));
  SinW = static_cast<float>(std::sin(w));
}

TCFilterXBP::TCFilterXBP() {
  BindSteps<TCFilterXBP>();
  Reset();
  Update();
}

void TCFilterXBP::UpdateCoefficients() {
  TCFilterX::UpdateCoefficients();
  const double rho = Rho, c = CosW;
  B0 = static_cast<float>(std::sqrt((rho - 4 * c * c + 2) * rho + 1) * (1 - rho));
  A1 = static_cast<float>(2 * c * rho);
  A2 = static_cast<float>(-rho * rho);
}

TCFilterXPhaser::TCFilterXPhaser() {
  BindSteps<TCFilterXPhaser>();
  Reset();
  Update();
}

void TCFilterXPhaser::UpdateCoefficients() {
  TCFilterX::UpdateCoefficients();
  const double rho = Rho, c = CosW, s = SinW;
  B0 = static_cast<float>(rho * rho);
  B1 = static_cast<float>(-2 * c * rho);
  B2 = static_cast<float>(((c / rho) * (c / rho) + (s / rho) * (s / rho)) * rho * rho);
  A1 = static_cast<float>(2 * rho * c);
  A2 = static_cast<float>(-(rho * s) * (rho * s) - (rho * c) * (rho * c));
}

TPinkNoiseFilter::TPinkNoiseFilter() {
  BindSteps<TPinkNoiseFilter>();
  SetRanges(0.01f, 4.0f, 0.001, 0.999f);
  Reset();
  Update();
}

void TPinkNoiseFilter::Reset() {
  TDSPFilter::Reset();
  P0 = P1 = P2 = 0;
}

void TPinkNoiseFilter::UpdateCoefficients() { G = Cutoff / 22050.0f * 4.0f; }

TDSPOnePoleFilter::TDSPOnePoleFilter() {
  BindSteps<TDSPOnePoleFilter>();
  Reset();
  Update();
}

void TDSPOnePoleFilter::Reset() {
  TDSPFilter::Reset();
  Y = 0;
}

void TDSPOnePoleFilter::UpdateCoefficients() { A = 1 - Cutoff / 22050.0f; }
