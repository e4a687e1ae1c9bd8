// The biquad base's textbook designs against the magnitude of their analog
// prototypes, measured by running tones through the section.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <functional>
#include <numbers>
#include <string>

#include "dsp/filters/biquad_filters.h"
#include "tests/support/signal_measure.h"

using testing_support::GainAt;

namespace {

constexpr double kRate = 44100;
using TComplex = std::complex<double>;

// A section whose coefficients only the designs set.
class TDesigned final : public TBiquadFilter1Base {
 public:
  using TBiquadFilter1Base::AllPass;
  using TBiquadFilter1Base::BandPassPeak;
  using TBiquadFilter1Base::BandPassSkirt;
  using TBiquadFilter1Base::HighPass1;
  using TBiquadFilter1Base::HighPass2;
  using TBiquadFilter1Base::HighShelf2;
  using TBiquadFilter1Base::LowPass1;
  using TBiquadFilter1Base::LowPass2;
  using TBiquadFilter1Base::LowShelf2;
  using TBiquadFilter1Base::Notch;
};

// |H(s)| of a prototype at the bilinear image of freq, for a corner at f.
double Analytic(const std::function<TComplex(TComplex)>& h, double f, double freq) {
  const double w = std::tan(std::numbers::pi * freq / kRate);
  const double k = std::tan(std::numbers::pi * f / kRate);
  return std::abs(h(TComplex(0, w / k)));
}

double Db(double gain) { return 20 * std::log10(std::max(gain, 1e-12)); }

struct TCase {
  const char* Name;
  std::function<void(TDesigned&)> Design;
  std::function<TComplex(TComplex)> Prototype;
};

constexpr double kCorner = 1000;
constexpr double kQ = 2.0;
constexpr double kShelfDb = 9.0;
const double kA = std::pow(10.0, kShelfDb / 40);
const double kM = std::sqrt(kA) / kQ;

const TCase kCases[] = {
    {"LowPass1", [](TDesigned& d) { d.LowPass1(kCorner); }, [](TComplex s) { return 1.0 / (s + 1.0); }},
    {"HighPass1", [](TDesigned& d) { d.HighPass1(kCorner); }, [](TComplex s) { return s / (s + 1.0); }},
    {"LowPass2", [](TDesigned& d) { d.LowPass2(kCorner, kQ); },
     [](TComplex s) { return 1.0 / (s * s + s / kQ + 1.0); }},
    {"HighPass2", [](TDesigned& d) { d.HighPass2(kCorner, kQ); },
     [](TComplex s) { return s * s / (s * s + s / kQ + 1.0); }},
    {"BandPassSkirt", [](TDesigned& d) { d.BandPassSkirt(kCorner, kQ); },
     [](TComplex s) { return s / (s * s + s / kQ + 1.0); }},
    {"BandPassPeak", [](TDesigned& d) { d.BandPassPeak(kCorner, kQ); },
     [](TComplex s) { return (s / kQ) / (s * s + s / kQ + 1.0); }},
    {"Notch", [](TDesigned& d) { d.Notch(kCorner, kQ); },
     [](TComplex s) { return (s * s + 1.0) / (s * s + s / kQ + 1.0); }},
    {"AllPass", [](TDesigned& d) { d.AllPass(kCorner, kQ); },
     [](TComplex s) { return (s * s - s / kQ + 1.0) / (s * s + s / kQ + 1.0); }},
    {"LowShelf2", [](TDesigned& d) { d.LowShelf2(kCorner, kQ, kShelfDb); },
     [](TComplex s) { return kA * (s * s + kM * s + kA) / (kA * s * s + kM * s + 1.0); }},
    {"HighShelf2", [](TDesigned& d) { d.HighShelf2(kCorner, kQ, kShelfDb); },
     [](TComplex s) { return kA * (kA * s * s + kM * s + 1.0) / (s * s + kM * s + kA); }},
};

}  // namespace

TEST(BiquadPrototypes, EachDesignMeasuresItsAnalogPrototypeAtTheWarpedFrequency) {
  for (const TCase& c : kCases) {
    TDesigned filter;
    c.Design(filter);
    for (double freq : {50.0, 300.0, 700.0, 1000.0, 1500.0, 4000.0, 12000.0}) {
      const double expected = Analytic(c.Prototype, kCorner, freq);
      const double measured = GainAt(filter, freq, kRate);
      if (expected < 1e-3) {
        EXPECT_LT(measured, 2e-3) << c.Name << " at " << freq << " Hz";
      } else {
        EXPECT_NEAR(Db(measured), Db(expected), 0.02) << c.Name << " at " << freq << " Hz";
      }
    }
  }
}

TEST(BiquadPrototypes, FirstOrderDesignsKeepNoPoleOnTheUnitCircleAndShelvesReachTheirGain) {
  // The first-order section's a2 and b2 vanish, so DC and Nyquist settle.
  TDesigned lp;
  lp.LowPass1(kCorner);
  EXPECT_NEAR(lp.A2, 0.0f, 1e-7f);
  EXPECT_NEAR(lp.B2, 0.0f, 1e-7f);
  EXPECT_NEAR(GainAt(lp, 0, kRate), 1.0, 1e-4);
  EXPECT_NEAR(GainAt(lp, kRate / 2, kRate), 0.0, 1e-4);
  TDesigned low, high;
  low.LowShelf2(kCorner, kQ, kShelfDb);
  high.HighShelf2(kCorner, kQ, -kShelfDb);
  EXPECT_NEAR(Db(GainAt(low, 0, kRate)), kShelfDb, 0.01);
  EXPECT_NEAR(Db(GainAt(low, kRate / 2, kRate)), 0.0, 0.01);
  EXPECT_NEAR(Db(GainAt(high, kRate / 2, kRate)), -kShelfDb, 0.01);
  EXPECT_NEAR(Db(GainAt(high, 0, kRate)), 0.0, 0.01);
}

TEST(BiquadPrototypes, CornersAboveTheUpperFrequencyAreHeldThereAndAZeroQStaysFinite) {
  // 0.4 of the rate bounds the prewarping: a corner beyond it designs the
  // same section as one at the bound.
  TDesigned high, bound;
  high.LowPass2(21000, kQ);
  bound.LowPass2(0.4 * kRate, kQ);
  EXPECT_EQ(high.B0, bound.B0);
  EXPECT_EQ(high.A1, bound.A1);
  EXPECT_EQ(high.A2, bound.A2);
  TDesigned zeroQ;
  zeroQ.BandPassPeak(kCorner, 0.0);
  for (float c : {zeroQ.B0, zeroQ.B1, zeroQ.B2, zeroQ.A1, zeroQ.A2}) EXPECT_TRUE(std::isfinite(c));
  EXPECT_LT(GainAt(zeroQ, 5000, kRate), 1.01);
}
