#include "dsp/filters/butterworth_filters.h"

#include <cmath>
#include <numbers>

namespace {
constexpr double kPi = std::numbers::pi;
constexpr double kSqrt2 = std::numbers::sqrt2;
}  // namespace

TButterworthFilter1::TButterworthFilter1(std::int32_t mode) : Mode(mode) {
  SetRanges(40.0f, kFilterCutoffMax, 0.001, 1.3f);
  Reset();
  Update();
}

void TButterworthFilter1::UpdateCoefficients() {
  const double fs = SampleRate();
  double f = StandardCutoff();
  if (Mode == kLowPass) f = fs / 2 - f;
  const double top = fs / 2 - 5.0 * Settings->SamplesPerMs;
  if (f < 40) f = 40;
  if (f > top) f = top;
  const double q = 1.3 - InternalResonance;
  const double t = std::tan(f * kPi / fs);
  const double a0 = 1 + q * t + t * t, a2 = 1 - q * t + t * t;
  if (Mode == kHighPass) NormalizeCoefficients(1, -2, 1, a0, 2 * (t * t - 1), a2);
  else NormalizeCoefficients(1, 2, 1, a0, 2 * (1 - t * t), a2);
}

void TButterworthFilter1::ProcessBlockControl() {
  SetCutoff(Inputs[1][0]);
  SetResonance(Inputs[2][0]);
  TDSPFilter::ProcessBlockControl();
}

TButterworthFilter2::TButterworthFilter2(TKind kind) : Kind(kind) {
  SetRanges(0.001f, kFilterCutoffMax, 0.001, 0.999f);
  SetParam3Range(0.001f, kFilterCutoffMax);
  Reset();
  Update();
}

double TButterworthFilter2::BandwidthHz(double fs) const {
  // A share of half the design rate, held below half the rate in use.
  const double w = kFilterDesignRate / 2.0 * Param3;
  const double top = fs / 2 * kFilterParamMax;
  return w < top ? w : top;
}

void TButterworthFilter2::UpdateCoefficients() {
  const double fs = SampleRate();
  const double f = StandardCutoff();
  switch (Kind) {
    case kLowPass: {
      const double c = 1 / std::tan(f * kPi / fs);
      NormalizeCoefficients(1, 2, 1, 1 + kSqrt2 * c + c * c, 2 * (1 - c * c), 1 - kSqrt2 * c + c * c);
      break;
    }
    case kHighPass: {
      const double c = std::tan(f * kPi / fs);
      NormalizeCoefficients(1, -2, 1, 1 + kSqrt2 * c + c * c, 2 * (c * c - 1), 1 - kSqrt2 * c + c * c);
      break;
    }
    case kBandPass: {
      const double w = BandwidthHz(fs);
      const double c = 1 / std::tan(w * kPi / fs);
      const double d = 2 * std::cos(f * 2 * kPi / fs);
      NormalizeCoefficients(1, 0, -1, 1 + c, -c * d, c - 1);
      break;
    }
    case kBandReject: {
      const double w = BandwidthHz(fs);
      const double c = std::tan(w * kPi / fs);
      const double d = 2 * std::cos(f * 2 * kPi / fs);
      NormalizeCoefficients(1, -d, 1, 1 + c, -d, 1 - c);
      break;
    }
  }
}
