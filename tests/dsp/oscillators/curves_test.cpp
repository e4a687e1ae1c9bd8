#include "dsp/oscillators/curves.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <vector>

#include "dsp/oscillators/curve_data.h"

namespace {
// Programs store curve-law indexes: none may change.
static_assert(kLawLinear == 0 && kLawDbLog == 1 && kLawPlusCurve2 == 2 && kLawPlusCurve6 == 6 && kLawMinusCurve2 == 7 &&
              kLawMinusCurve6 == 11 && kLawPlusCurveX == 12 && kLawPlusGrad == 13 && kLawMinusGrad == 14 &&
              kLawLoHi1 == 15 && kLawHiLo1 == 18 && kLawHiLo3 == 20 && kLawLoHiFine == 21 && kLawThreePhase1 == 22 &&
              kLawThreePhase3 == 24 && kLawRipple1 == 25 && kLawRipple6 == 30 && kLawMinusRipple == 31 &&
              kLawPlusRipple == 32);

float Apply(std::int32_t law, float x) {
  GetCurveFunction(law)(x);
  return x;
}

}  // namespace

TEST(CurveFunctions, IndicesOutsideTheLawsPassValuesUnchanged) {
  for (std::int32_t index : {0, 33, -1, 1000}) {
    EXPECT_EQ(GetCurveFunction(index), static_cast<TCurveFunction>(&NullProc)) << index;
    EXPECT_EQ(Apply(index, 0.37f), 0.37f);
    EXPECT_TRUE(CurveTable(index).empty());
  }
  for (std::int32_t index = 1; index <= kCurveLawCount; ++index) {
    EXPECT_NE(GetCurveFunction(index), static_cast<TCurveFunction>(&NullProc)) << index;
    EXPECT_EQ(CurveTable(index).size(), static_cast<std::size_t>(kCurveTableSize));
  }
}

TEST(CurveFunctions, KnownValuesOfTheLaws) {
  EXPECT_NEAR(Apply(1, 0.0f), 0.001f, 1e-7f);   // "DB Log"
  EXPECT_FLOAT_EQ(Apply(2, 0.5f), 0.75f);       // "+Curve2"
  EXPECT_FLOAT_EQ(Apply(7, 0.5f), 0.25f);       // "-Curve2"
  EXPECT_NEAR(Apply(18, 0.25f), 0.45f, 1e-6f);  // "HiLo1"
  EXPECT_FLOAT_EQ(Apply(8, 0.5f), 0.125f);      // "-Curve3"
  EXPECT_NEAR(Apply(32, 0.5f), 1.0 - CurveLaw(31, 0.5L), 1e-6);
}

TEST(CurveFunctions, EveryLawReadsItsOwnFormulaAtTheTablePoints) {
  for (std::int32_t law = 1; law <= kCurveLawCount; ++law) {
    for (int i : {0, 1, 1000, 8192, 12345, 16383}) {
      const float x = static_cast<float>(i) / 16384.0f;
      EXPECT_EQ(Apply(law, x), static_cast<float>(CurveLaw(law, x))) << "law " << law << " i " << i;
    }
  }
}

TEST(CurveFunctions, GuardsAroundTheTable) {
  for (std::int32_t law = 1; law <= kCurveLawCount; ++law) {
    const float last = static_cast<float>(CurveLaw(law, 16383.0L / 16384.0L));
    // x = 1.0 reads the first trailing guard: law(16383/16384), not law(1).
    EXPECT_EQ(Apply(law, 1.0f), last) << law;
    EXPECT_EQ(Apply(law, 1.0f + 398.0f / 16384.0f), last) << law;
    // Slightly below 0 reads the leading guard, whatever the law.
    EXPECT_EQ(Apply(law, -1.0f / 16384.0f), 0.0f) << law;
    EXPECT_EQ(Apply(law, -400.0f / 16384.0f), 0.0f) << law;
    const auto table = CurveTable(law);
    EXPECT_EQ(table.back(), 0.0f);
    EXPECT_EQ(table[kCurveGuard + kCurvePoints + kCurveGuard - 2], last);
  }
  EXPECT_NEAR(Apply(7, 1.0f), 0.99988, 1e-5);
}

TEST(CurveFunctions, InputsFarOutsideTheGuardsStayInsideTheTable) {
  for (std::int32_t law = 1; law <= kCurveLawCount; ++law) {
    const float last = static_cast<float>(CurveLaw(law, 16383.0L / 16384.0L));
    EXPECT_EQ(Apply(law, -5.0f), 0.0f);
    EXPECT_EQ(Apply(law, 7.0f), last);
    EXPECT_EQ(Apply(law, std::numeric_limits<float>::infinity()), last);
    EXPECT_EQ(Apply(law, -std::numeric_limits<float>::infinity()), 0.0f);
    EXPECT_EQ(Apply(law, std::numeric_limits<float>::quiet_NaN()), 0.0f);
  }
}

// The run routines give each value exactly what the lookup routine gives
// it: inside the table, at the ties, in the guards, far outside and NaN, in
// runs of every length the vector forms split differently.
TEST(CurveFunctions, RunsGiveExactlyTheLookups) {
  constexpr float kInf = std::numeric_limits<float>::infinity();
  std::vector<float> inputs = {0.0f,
                               -0.0f,
                               1.0f,
                               0.5f / 16384.0f,
                               1.5f / 16384.0f,
                               -1.0f / 16384.0f,
                               -5.0f,
                               7.0f,
                               kInf,
                               -kInf,
                               std::numeric_limits<float>::quiet_NaN(),
                               0.37f,
                               0.99f,
                               1.01f,
                               -0.02f};
  for (int i = 0; i < 41; ++i) inputs.push_back(static_cast<float>(i) * 0.0317f - 0.1f);
  for (std::int32_t index : {0, 33, -1}) EXPECT_EQ(GetCurveRun(index), nullptr);
  // The SSE2 form, then the AVX2 one where the processor has it.
  for (bool avx2 : {false, true}) {
    if (SetCurveRunAvx2(avx2) != avx2) continue;
    for (std::int32_t law = 1; law <= kCurveLawCount; ++law) {
      const TCurveRun run = GetCurveRun(law);
      ASSERT_NE(run, nullptr);
      for (std::size_t n = 1; n <= inputs.size(); n += 6) {
        std::vector<float> x(inputs.begin(), inputs.begin() + static_cast<std::ptrdiff_t>(n));
        run(x.data(), static_cast<std::int32_t>(n));
        for (std::size_t k = 0; k < n; ++k)
          ASSERT_EQ(x[k], Apply(law, inputs[k])) << "avx2 " << avx2 << " law " << law << " value " << k;
      }
    }
  }
  SetCurveRunAvx2(true);
}

TEST(CurveFunctions, RoundingIsToNearestEven) {
  // 0.5 / 16384 lies halfway between entries 0 and 1: ties go to entry 0.
  EXPECT_EQ(Apply(2, 0.5f / 16384.0f), 0.0f);
  // 1.5 / 16384 lies halfway between entries 1 and 2: ties go to entry 2.
  EXPECT_EQ(Apply(2, 1.5f / 16384.0f), static_cast<float>(CurveLaw(2, 2.0L / 16384.0L)));
}

// An attack that follows a law's attack shape makes, as level x times the
// law's value at x, a raised cosine: no jump of its last decibels into a few
// samples, no corner.
TEST(CurveFunctions, AttackShapesInvertTheirLawsIntoARaisedCosine) {
  for (std::int32_t law : {0, 1, 2, 6, 7, 11}) {
    SCOPED_TRACE(law);
    const float* shape = CurveAttackShape(law);
    ASSERT_NE(shape, nullptr);
    for (int j = 0; j <= kCurvePoints; j += 512) {
      const double t = static_cast<double>(j) / kCurvePoints;
      const double course = 0.5 - 0.5 * std::cos(3.14159265358979323846 * t);
      const double x = shape[j];
      const double out = x * (law == 0 ? x : static_cast<double>(CurveLaw(law, x)));
      EXPECT_NEAR(out, course, 2e-3) << "t " << t;
      if (j > 0) {
        EXPECT_GE(shape[j], shape[j - 512]);
      }
    }
    EXPECT_EQ(shape[0], 0.0f);
    EXPECT_NEAR(shape[kCurvePoints], 1.0f, 1e-6f);
  }
  // The ripple laws do not rise steadily: their attacks stay linear.
  EXPECT_EQ(CurveAttackShape(25), nullptr);
  EXPECT_EQ(CurveAttackShape(12), nullptr);
  EXPECT_EQ(CurveAttackShape(-3), CurveAttackShape(0));
}

// The tables the library embeds (computed by the build's generator) are,
// bit for bit, what the formulas make in this build: every table entry,
// guard and attack shape. A generator out of step with the library, or a
// record laid out otherwise than it was written, fails here.
TEST(CurveFunctions, TheEmbeddedTablesAreWhatTheFormulasMake) {
  const auto fresh = std::make_unique<TCurveData>();
  ComputeCurveData(*fresh);
  const TCurveData& embedded = EmbeddedCurveData();
  EXPECT_EQ(reinterpret_cast<std::uintptr_t>(&embedded) % 64, 0u);
  for (std::int32_t law = 1; law <= kCurveLawCount; ++law) {
    const auto i = static_cast<std::size_t>(law - 1);
    EXPECT_EQ(std::memcmp(fresh->Tables[i], embedded.Tables[i], sizeof fresh->Tables[i]), 0) << "law " << law;
    EXPECT_EQ(CurveTable(law).data(), embedded.Tables[i]);
  }
  for (std::int32_t law = 0; law <= kCurveLawCount; ++law) {
    const auto i = static_cast<std::size_t>(law);
    EXPECT_EQ(fresh->HasAttackShape[i], embedded.HasAttackShape[i]) << "law " << law;
    EXPECT_EQ(std::memcmp(fresh->AttackShapes[i], embedded.AttackShapes[i], sizeof fresh->AttackShapes[i]), 0)
        << "law " << law;
  }
}
