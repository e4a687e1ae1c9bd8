#include "dsp/filters/rbj_filters.h"

#include <cmath>
#include <numbers>

TRBJFilter::TRBJFilter(TKind kind) : Kind(kind), BandMultiplier(kind == kNotch || kind == kAllPass ? 10.0f : 1.0f) {
  SetRanges(0.001f, 0.245f * SampleRate(), 0.001, 0.999f);
  SetParam3Range(0.001f, 0.999f);
  Reset();
  Update();
}

void TRBJFilter::UpdateCoefficients() {
  const double fs = SampleRate();
  CutoffRangeHigh = static_cast<float>(0.245 * fs);
  // The cutoff as a share of 0.245 of the design rate, in Hz at every rate.
  double f0 = static_cast<double>(Cutoff) / kFilterCutoffMax * 0.245 * kFilterDesignRate;
  if (f0 < 0.001) f0 = 0.001;
  if (f0 > 0.245 * fs) f0 = 0.245 * fs;
  InternalCutoff = static_cast<float>(f0);
  const double w0 = f0 * 2 * std::numbers::pi / fs;
  const double sn = std::sin(w0);
  const double cs = std::cos(w0);
  const double r = InternalResonance;
  // Bandwidth in octaves -> alpha (digital bandwidth from the analogue one).
  auto bandAlpha = [&](double octaves) { return sn * std::sinh(std::numbers::ln2 / 2 * octaves * w0 / sn); };
  switch (Kind) {
    case kLowPass: {
      const double alpha = sn / (2 * r);
      NormalizeCoefficients((1 - cs) / 2, 1 - cs, (1 - cs) / 2, 1 + alpha, -2 * cs, 1 - alpha);
      break;
    }
    case kHighPass: {
      const double alpha = sn / (2 * r);
      NormalizeCoefficients((1 + cs) / 2, -(1 + cs), (1 + cs) / 2, 1 + alpha, -2 * cs, 1 - alpha);
      break;
    }
    case kBandPassSkirt: {
      const double alpha = bandAlpha(InternalParam3 * BandMultiplier);
      NormalizeCoefficients(r * alpha, 0, -r * alpha, 1 + alpha, -2 * cs, 1 - alpha);
      break;
    }
    case kBandPassPeak: {
      const double alpha = bandAlpha(InternalParam3 * BandMultiplier);
      NormalizeCoefficients(alpha, 0, -alpha, 1 + alpha, -2 * cs, 1 - alpha);
      break;
    }
    case kNotch: {
      const double alpha = bandAlpha(InternalParam3 * BandMultiplier);
      NormalizeCoefficients(1, -2 * cs, 1, 1 + alpha, -2 * cs, 1 - alpha);
      break;
    }
    case kAllPass: {
      const double alpha = bandAlpha(InternalParam3 * BandMultiplier);
      NormalizeCoefficients(1 - alpha, -2 * cs, 1 + alpha, 1 + alpha, -2 * cs, 1 - alpha);
      break;
    }
    case kPeakingEQ: {
      const double a = std::pow(10.0, 78.7 * r / 40);
      const double alpha = bandAlpha(InternalParam3);
      NormalizeCoefficients(1 + alpha * a, -2 * cs, 1 - alpha * a, 1 + alpha / a, -2 * cs, 1 - alpha / a);
      break;
    }
    case kLowShelf:
    case kHighShelf: {
      double db = 78.7 * r;
      if (db < 0.001) db = 0.001;
      const double a = std::pow(10.0, db / 40);
      const double beta = std::sqrt((a * a + 1) / Param3 - (a - 1) * (a - 1));
      const double bs = beta * sn;
      if (Kind == kLowShelf) {
        NormalizeCoefficients(a * ((a + 1) - (a - 1) * cs + bs), 2 * a * ((a - 1) - (a + 1) * cs),
                              a * ((a + 1) - (a - 1) * cs - bs), (a + 1) + (a - 1) * cs + bs,
                              -2 * ((a - 1) + (a + 1) * cs), (a + 1) + (a - 1) * cs - bs);
      } else {
        NormalizeCoefficients(a * ((a + 1) + (a - 1) * cs + bs), -2 * a * ((a - 1) + (a + 1) * cs),
                              a * ((a + 1) + (a - 1) * cs - bs), (a + 1) - (a - 1) * cs + bs,
                              2 * ((a - 1) - (a + 1) * cs), (a + 1) - (a - 1) * cs - bs);
      }
      break;
    }
  }
}
