#include "dsp/oscillators/phase_trig.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>

#include "dsp/oscillators/formula_oscillators.h"

namespace {

// Units in the last place of a double between a and b.
double UlpDistance(double a, double b) {
  const double ulp = std::fabs(std::nextafter(a, std::numeric_limits<double>::infinity()) - a);
  return std::fabs(a - b) / ulp;
}

// What the formula waveforms pass: 2 pi, pi (as floats) or 5 times a float
// phase over their ranges, and any double of either sign.
double FormulaArgument(std::mt19937_64& g, int kind) {
  std::uniform_real_distribution<float> phase(0.0f, 96.0f);
  std::uniform_real_distribution<double> any(-3000.0, 3000.0);
  switch (kind) {
    case 0:
      return static_cast<double>(kTwoPiF) * phase(g);
    case 1:
      return static_cast<double>(kPiF) * phase(g);
    case 2:
      return 5.0 * static_cast<double>(phase(g));
    default:
      return any(g);
  }
}

}  // namespace

TEST(PhaseTrig, GivesTheLibraryFloatOverTheFormulaArguments) {
  std::mt19937_64 g(20261207);
  double worst = 0.0;
  for (int i = 0; i < 400000; ++i) {
    const double x = FormulaArgument(g, i % 4);
    ASSERT_EQ(static_cast<float>(PhaseSin(x)), static_cast<float>(std::sin(x))) << x;
    ASSERT_EQ(static_cast<float>(PhaseCos(x)), static_cast<float>(std::cos(x))) << x;
    worst = std::max({worst, UlpDistance(std::sin(x), PhaseSin(x)), UlpDistance(std::cos(x), PhaseCos(x))});
  }
  EXPECT_LE(worst, 2.0);
}

TEST(PhaseTrig, QuarterTurnsAndSmallArgumentsKeepTheirPrecision) {
  // Next to the multiples of pi/2 the result is tiny and only an exact
  // reduction keeps it; the float phases that come closest are the test.
  for (int k = -400; k <= 400; ++k) {
    const double target = k * (3.14159265358979323846 / 2.0);
    for (double x : {target, std::nextafter(target, 1e9), std::nextafter(target, -1e9),
                     static_cast<double>(kTwoPiF) * static_cast<float>(target / static_cast<double>(kTwoPiF))}) {
      EXPECT_EQ(static_cast<float>(PhaseSin(x)), static_cast<float>(std::sin(x))) << x;
      EXPECT_EQ(static_cast<float>(PhaseCos(x)), static_cast<float>(std::cos(x))) << x;
    }
  }
  for (double x : {0.0, -0.0, 1e-300, 1e-8, -1e-8, 0.785398, -0.785398}) {
    EXPECT_EQ(PhaseSin(x), std::sin(x)) << x;
    EXPECT_EQ(static_cast<float>(PhaseCos(x)), static_cast<float>(std::cos(x))) << x;
  }
  EXPECT_TRUE(std::signbit(PhaseSin(-0.0)));
  EXPECT_TRUE(std::signbit(PhaseSin(-1e-300)));
}

TEST(PhaseTrig, LargeAndNonFiniteArgumentsGoToTheLibrary) {
  for (double x : {kPhaseTrigLimit, -kPhaseTrigLimit, 1e22, -3e9}) {
    EXPECT_EQ(PhaseSin(x), std::sin(x)) << x;
    EXPECT_EQ(PhaseCos(x), std::cos(x)) << x;
  }
  const double inf = std::numeric_limits<double>::infinity();
  for (double x : {inf, -inf, std::numeric_limits<double>::quiet_NaN()}) {
    EXPECT_TRUE(std::isnan(PhaseSin(x))) << x;
    EXPECT_TRUE(std::isnan(PhaseCos(x))) << x;
  }
}
