// Sine and cosine of a double for the formula waveforms, inline and without
// the library call: the argument is brought into [-pi/4, pi/4] by multiples
// of pi/2 (pi/2 split into three parts, so the reduction is exact to well
// below a double's rounding for every argument up to kPhaseTrigLimit), and
// the series of sin and cos are summed there to beyond double precision.
// The result is within about one unit in the last place of a double of the
// true value: rounded to float, as the waveforms use it, it is the float the
// library's sin and cos give, but for arguments whose true value lies within
// that unit of a rounding boundary between two floats.
//
// Arguments outside +-kPhaseTrigLimit (and NaN and infinities) go to the
// library. Any thread; no state.
#pragma once

#include <cmath>
#include <cstdint>

inline constexpr double kPhaseTrigLimit = 1.0e5;

// pi/2 = A + B + C; A and B have 33 significant bits, so k x A
// and k x B are exact for every k the limit allows.
inline constexpr double kPhaseTrigPio2A = 1.5707963267341256;
inline constexpr double kPhaseTrigPio2B = 6.077100506303966e-11;
inline constexpr double kPhaseTrigPio2C = 2.0222662487959506e-21;
inline constexpr double kPhaseTrigTwoOverPi = 0.6366197723675814;

// sin(r) and cos(r) for |r| <= pi/4 (a hair beyond is fine): the series to
// the terms below 2^-53 of the result.
inline double PhaseTrigSinSeries(double r) {
  if (r == 0.0) return r;  // keeps the sign of a zero
  const double z = r * r;
  const double p =
      -1.0 / 6.0 +
      z * (1.0 / 120.0 +
           z * (-1.0 / 5040.0 +
                z * (1.0 / 362880.0 +
                     z * (-1.0 / 39916800.0 +
                          z * (1.0 / 6227020800.0 + z * (-1.0 / 1307674368000.0 + z * (1.0 / 355687428096000.0)))))));
  return r + r * (z * p);
}

inline double PhaseTrigCosSeries(double r) {
  const double z = r * r;
  const double p =
      1.0 / 24.0 +
      z * (-1.0 / 720.0 +
           z * (1.0 / 40320.0 +
                z * (-1.0 / 3628800.0 +
                     z * (1.0 / 479001600.0 + z * (-1.0 / 87178291200.0 +
                                                   z * (1.0 / 20922789888000.0 + z * (-1.0 / 6402373705728000.0)))))));
  return 1.0 + (z * (-0.5) + (z * z) * p);
}

// sin(x + quarter x pi/2) for |x| < kPhaseTrigLimit.
inline double PhaseTrigShiftedSin(double x, std::int64_t quarter) {
  // Nearest whole number of quarter turns: adding and removing 1.5 x 2^52
  // rounds away the fraction (to nearest, as the FP environment does).
  const double kd = (x * kPhaseTrigTwoOverPi + 6755399441055744.0) - 6755399441055744.0;
  const double r = ((x - kd * kPhaseTrigPio2A) - kd * kPhaseTrigPio2B) - kd * kPhaseTrigPio2C;
  switch ((static_cast<std::int64_t>(kd) + quarter) & 3) {
    case 0:
      return PhaseTrigSinSeries(r);
    case 1:
      return PhaseTrigCosSeries(r);
    case 2:
      return -PhaseTrigSinSeries(r);
    default:
      return -PhaseTrigCosSeries(r);
  }
}

inline double PhaseSin(double x) {
  if (!(std::fabs(x) < kPhaseTrigLimit)) return std::sin(x);
  return PhaseTrigShiftedSin(x, 0);
}

inline double PhaseCos(double x) {
  if (!(std::fabs(x) < kPhaseTrigLimit)) return std::cos(x);
  return PhaseTrigShiftedSin(x, 1);
}
