#include "dsp/filters/simple_filters.h"

#include <cmath>
#include <numbers>

#include "dsp/filters/section_state.h"

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
  const float newR = static_cast<float>(r), newK = static_cast<float>(k);
  const float newG = static_cast<float>((1 - r) * (1 - r) / (2 * (std::fabs(k) + 1)) + r);
  CarrySectionHistory(Section(K, G, R), Section(newK, newG, newR), X1, X2, Y1, Y2, true, SampleRate());
  R = newR;
  K = newK;
  G = newG;
}

TSectionCoefficients TIIRNotchFilter1::Section(float k, float g, float r) {
  // As the recursion forms them, in single precision.
  return {g, -(2 * k * g), g, -(2 * k * r), r * r};
}

TResonatorFilter2::TResonatorFilter2() {
  BindSteps<TResonatorFilter2>();
  SetRanges(0.001f, kFilterCutoffMax, 0.001, 0.999f);
  SetParam3Range(1.0f, kFilterCutoffMax);
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
  const float newQ = static_cast<float>(q), newA1 = static_cast<float>(a1);
  const float newB0 = static_cast<float>(std::sqrt(1 - a1 * a1 / (4 * q)) * (1 - q));
  float noInputs[2] = {0, 0};
  CarrySectionHistory({B0, 0, 0, A1, Q}, {newB0, 0, 0, newA1, newQ}, noInputs[0], noInputs[1], Y1, Y2, false, fs);
  Q = newQ;
  A1 = newA1;
  B0 = newB0;
}

TCFilterX::TCFilterX() { SetRanges(0.001f, kFilterCutoffMax, 1.0, 255.0f); }

void TCFilterX::Reset() {
  TDSPFilter::Reset();
  X1 = X2 = Y1 = Y2 = 0;
}

void TCFilterX::ChangeCoefficients(float b0, float b1, float b2, float a1, float a2, bool inputHistory) {
  // The recursion adds A1 y1 + A2 y2: the section's A1 and A2 with their signs turned.
  CarrySectionHistory({B0, B1, B2, -A1, -A2}, {b0, b1, b2, -a1, -a2}, X1, X2, Y1, Y2, inputHistory, SampleRate());
  B0 = b0;
  B1 = b1;
  B2 = b2;
  A1 = a1;
  A2 = a2;
}

void TCFilterX::UpdateCoefficients() {
  const double w = StandardCutoff() * kTwoPi / SampleRate();
  // The pole radius keeps its time constant (the band's width in Hz) at
  // every rate.
  Rho = MatchPole(InternalResonance / 256.0f);
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
  ChangeCoefficients(static_cast<float>(std::sqrt((rho - 4 * c * c + 2) * rho + 1) * (1 - rho)), 0, 0,
                     static_cast<float>(2 * c * rho), static_cast<float>(-rho * rho), false);
}

TCFilterXPhaser::TCFilterXPhaser() {
  BindSteps<TCFilterXPhaser>();
  Reset();
  Update();
}

void TCFilterXPhaser::UpdateCoefficients() {
  TCFilterX::UpdateCoefficients();
  const double rho = Rho, c = CosW, s = SinW;
  ChangeCoefficients(static_cast<float>(rho * rho), static_cast<float>(-2 * c * rho),
                     static_cast<float>(((c / rho) * (c / rho) + (s / rho) * (s / rho)) * rho * rho),
                     static_cast<float>(2 * rho * c),
                     static_cast<float>(-(rho * s) * (rho * s) - (rho * c) * (rho * c)), true);
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

void TPinkNoiseFilter::UpdateCoefficients() {
  G = CutoffShare() * 4.0f;
  // The three sections keep their poles' time constants and their gains at
  // DC at every rate.
  const float poles[3] = {0.99765f, 0.963f, 0.57f};
  const float gains[3] = {0.0990460f, 0.2965164f, 1.0526913f};
  for (int i = 0; i < 3; ++i) {
    const float pole = MatchPole(poles[i]);
    Poles[i] = pole;
    Gains[i] = AtDesignRate() ? gains[i] : gains[i] * (1 - pole) / (1 - poles[i]);
  }
}

TDSPOnePoleFilter::TDSPOnePoleFilter() {
  BindSteps<TDSPOnePoleFilter>();
  Reset();
  Update();
}

void TDSPOnePoleFilter::Reset() {
  TDSPFilter::Reset();
  Y = 0;
}

void TDSPOnePoleFilter::UpdateCoefficients() {
  // The pole at the cutoff's share keeps its time constant at every rate.
  A = AtDesignRate() ? 1 - CutoffShare() : 1 - MatchPole(CutoffShare());
}
