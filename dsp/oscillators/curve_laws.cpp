// The formulas of the curve laws and the tables made of them. Nothing else
// of the library: tools/curvegen compiles this file on its own to compute
// the tables at build time.
#include "dsp/oscillators/curve_data.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numbers>

#include "dsp/oscillators/curves.h"

namespace {

constexpr long double kTwoPiL = 2.0L * std::numbers::pi_v<long double>;

// The triangle 0 -> 1 -> 0 over 0..1.
long double Tri(long double x) { return x < 0.5L ? 2.0L * x : 2.0L * (1.0L - x); }

long double Pow(long double x, int n) {
  long double r = 1.0L;
  for (int i = 0; i < n; ++i) r *= x;
  return r;
}

// "-Ripple", also the base of "+Ripple".
long double MinusRipple(long double x) {
  const long double t = Tri(x);
  return x * x * (x + 0.2L * t * (std::sin(40.0L * x) - 0.25L * std::cos(10.0L * x) + 0.9L * std::exp(x) * t * t));
}

// "3Phase1".."3Phase3": the scaled position is rounded to a float first.
long double ThreePhase(long double x, long double ripple) {
  const long double y = static_cast<float>(0.955L * x);
  return y + 0.06L * std::sin(kTwoPiL * (1.0L - y)) + ripple * std::sin(20.0L * y);
}

// The course of an attack's amplitude over t = 0..1: a raised cosine, which
// leaves 0 and arrives at 1 without a corner (a linear ramp's corners put a
// click into a fast attack).
double AttackCourse(double t) { return 0.5 - 0.5 * std::cos(std::numbers::pi * t); }

// The attack shape of law `law` (0: "Linear"): entry j is the level x
// (0..1) at which x times the law's value at x reaches the attack course
// at j / kCurvePoints: the inverse, interpolated between the law's points in
// its table, of the amplitude a voice makes of a level (its oscillators
// follow the level, and the law turns it into their amplitude factor). Only
// for a law that rises steadily from at most 0.01 to 1.
void FillAttackShape(TCurveData& data, int law) {
  constexpr int n = kCurvePoints;
  float* shape = data.AttackShapes[law];
  const float* table = law > 0 ? data.Tables[law - 1] + kCurveGuard : nullptr;
  const double end = law > 0 ? static_cast<double>(CurveLaw(law, 1.0L)) : 1.0;
  auto lawAt = [table, end](int i) {
    if (i >= n) return end;
    return table != nullptr ? static_cast<double>(table[i]) : static_cast<double>(i) / n;
  };
  if (lawAt(0) > 0.01 || std::fabs(end - 1.0) > 1e-6) return;
  for (int i = 0; i < n; ++i)
    if (!(lawAt(i + 1) >= lawAt(i))) return;
  auto at = [&lawAt](int i) { return static_cast<double>(i) / n * lawAt(i); };
  int i = 0;
  for (int j = 0; j <= n; ++j) {
    const double t = AttackCourse(static_cast<double>(j) / n);
    while (i < n && at(i + 1) < t) ++i;
    const double lo = at(i), hi = at(std::min(i + 1, n));
    const double frac = t <= lo ? 0.0 : (hi > lo ? std::min(1.0, (t - lo) / (hi - lo)) : 1.0);
    shape[j] = static_cast<float>((i + frac) / n);
  }
  data.HasAttackShape[law] = 1;
}

}  // namespace

void ComputeCurveData(TCurveData& data) {
  std::memset(&data, 0, sizeof data);
  for (int law = 1; law <= kCurveLawCount; ++law) {
    float* table = data.Tables[law - 1];
    for (int i = 0; i < kCurvePoints; ++i) {
      const float x = static_cast<float>(i) / static_cast<float>(kCurvePoints);
      table[kCurveGuard + i] = static_cast<float>(CurveLaw(law, x));
    }
    // Trailing guard: copies of the last data entry, the final entry stays 0.
    const float last = table[kCurveGuard + kCurvePoints - 1];
    for (int k = 0; k < kCurveGuard - 1; ++k) table[kCurveGuard + kCurvePoints + k] = last;
    FillAttackShape(data, law);
  }
  FillAttackShape(data, 0);
}

long double CurveLaw(std::int32_t index, long double x) {
  switch (index) {
    case kLawDbLog:
      return std::pow(10.0L, -3.0L * (1.0L - x));  // DbToAmp(-60 (1 - x))
    case kLawPlusCurve2:
      return 1.0L - Pow(1.0L - x, 2);
    case kLawPlusCurve3:
      return 1.0L - Pow(1.0L - x, 3);
    case kLawPlusCurve4:
      return 1.0L - Pow(1.0L - x, 4);
    case kLawPlusCurve5:
      return 1.0L - Pow(1.0L - x, 5);
    case kLawPlusCurve6:
      return 1.0L - Pow(1.0L - x, 6);
    case kLawMinusCurve2:
      return Pow(x, 2);
    case kLawMinusCurve3:
      return Pow(x, 3);
    case kLawMinusCurve4:
      return Pow(x, 4);
    case kLawMinusCurve5:
      return Pow(x, 5);
    case kLawMinusCurve6:
      return Pow(x, 6);
    case kLawPlusCurveX:
      return 2.0L * std::sin(x) * std::cos(x);
    case kLawPlusGrad: {
      const long double y = static_cast<float>(x / 4.0L);
      return 1.0L - (1.0L - std::sin(kTwoPiL * y));
    }
    case kLawMinusGrad: {
      const long double y = static_cast<float>(x / 4.0L);
      return 0.83L * y * std::exp(kTwoPiL * y);
    }
    case kLawLoHi1:
      return x + 0.075L * std::sin(kTwoPiL * (1.0L - x));
    case kLawLoHi2:
      return x + 0.1L * std::sin(kTwoPiL * (1.0L - x));
    case kLawLoHi3:
      return x + 0.15L * std::sin(kTwoPiL * (1.0L - x));
    case kLawHiLo1:
      return x + 0.2L * std::sin(kTwoPiL * x);
    case kLawHiLo2:
      return x + 0.4L * std::sin(kTwoPiL * x);
    case kLawHiLo3:
      return x + 0.6L * std::sin(kTwoPiL * x);
    case kLawLoHiFine:
      return 2.0L * std::sin(x) * std::cos(x) * x * x * 1.0995L;
    case kLawThreePhase1:
      return ThreePhase(x, 0.045L);
    case kLawThreePhase2:
      return ThreePhase(x, 0.075L);
    case kLawThreePhase3:
      return ThreePhase(x, 0.102L);
    case kLawRipple1:
      return x + 0.05L * std::sin(50.0L * x);
    case kLawRipple2:
      return x + 0.07L * std::sin(50.0L * x);
    case kLawRipple3:
      return x + 0.17L * std::sin(50.0L * x) * Tri(x);
    case kLawRipple4:
      return x + 0.4L * std::sin(50.0L * x) * Tri(x);
    case kLawRipple5:
      return x + 0.2L * (std::sin(30.0L * x) + 0.35L * std::cos(60.0L * x)) * Tri(x);
    case kLawRipple6: {
      const long double t = Tri(x);
      return x + 0.2L * t * (std::sin(70.0L * x) + 0.25L * std::cos(50.0L * x) - std::exp(x * x) * t);
    }
    case kLawMinusRipple:
      return MinusRipple(x);
    case kLawPlusRipple:
      return 1.0L - MinusRipple(1.0L - x);
    default:
      return x;
  }
}
