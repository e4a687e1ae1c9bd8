#include "dsp/oscillators/curves.h"

#include <immintrin.h>

#include <cmath>
#include <mutex>
#include <numbers>
#include <utility>

#include "framework/core/name_lists.h"
#include "platform/cpu_features.h"

namespace {

constexpr long double kTwoPiL = 2.0L * std::numbers::pi_v<long double>;

// 32 x 17184 floats (2.2 MB), written once at load, read-only afterwards.
alignas(64) float gCurveTables[kCurveLawCount][kCurveTableSize];
// The attack shapes of "Linear" and the laws, written with the tables; only
// the laws that have one are filled.
alignas(64) float gAttackShapes[kCurveLawCount + 1][kCurvePoints + 1];
bool gHasAttackShape[kCurveLawCount + 1] = {};
std::once_flag gCurvesBuilt;

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

template <int N>
void CurveTableLookup(float& x) {
  float position = x * static_cast<float>(kCurvePoints);
  // Keep the read inside the guards; a NaN takes the leading guard.
  if (!(position >= -static_cast<float>(kCurveGuard))) {
    position = -static_cast<float>(kCurveGuard);
  } else if (position > static_cast<float>(kCurvePoints + kCurveGuard - 2)) {
    position = static_cast<float>(kCurvePoints + kCurveGuard - 2);
  }
  x = gCurveTables[N - 1][kCurveGuard + static_cast<int>(std::lrint(position))];
}

template <std::size_t... I>
constexpr std::array<TCurveFunction, sizeof...(I)> MakeLookups(std::index_sequence<I...>) {
  return {&CurveTableLookup<static_cast<int>(I) + 1>...};
}

constexpr std::array<TCurveFunction, kCurveLawCount> kLookups = MakeLookups(std::make_index_sequence<kCurveLawCount>{});

// CurveTableLookup over a run, `table` the law's whole array: the same
// clamps (a NaN takes the leading guard: the maximum answers its second
// operand for a NaN) and the same rounding (the conversion rounds in the
// current mode, as lrint does).
void LookupRunTail(const float* table, float* x, std::int32_t from, std::int32_t n) {
  for (std::int32_t k = from; k < n; ++k) {
    float position = x[k] * static_cast<float>(kCurvePoints);
    if (!(position >= -static_cast<float>(kCurveGuard))) {
      position = -static_cast<float>(kCurveGuard);
    } else if (position > static_cast<float>(kCurvePoints + kCurveGuard - 2)) {
      position = static_cast<float>(kCurvePoints + kCurveGuard - 2);
    }
    x[k] = table[kCurveGuard + static_cast<int>(std::lrint(position))];
  }
}

void LookupRunSse2(const float* table, float* x, std::int32_t n) {
  const __m128 points = _mm_set1_ps(static_cast<float>(kCurvePoints));
  const __m128 low = _mm_set1_ps(-static_cast<float>(kCurveGuard));
  const __m128 high = _mm_set1_ps(static_cast<float>(kCurvePoints + kCurveGuard - 2));
  const __m128i guard = _mm_set1_epi32(kCurveGuard);
  alignas(16) std::int32_t at[4];
  std::int32_t k = 0;
  for (; k + 4 <= n; k += 4) {
    const __m128 position = _mm_min_ps(_mm_max_ps(_mm_mul_ps(_mm_loadu_ps(x + k), points), low), high);
    _mm_store_si128(reinterpret_cast<__m128i*>(at), _mm_add_epi32(_mm_cvtps_epi32(position), guard));
    x[k] = table[at[0]];
    x[k + 1] = table[at[1]];
    x[k + 2] = table[at[2]];
    x[k + 3] = table[at[3]];
  }
  LookupRunTail(table, x, k, n);
}

__attribute__((target("avx2"))) void LookupRunAvx2(const float* table, float* x, std::int32_t n) {
  const __m256 points = _mm256_set1_ps(static_cast<float>(kCurvePoints));
  const __m256 low = _mm256_set1_ps(-static_cast<float>(kCurveGuard));
  const __m256 high = _mm256_set1_ps(static_cast<float>(kCurvePoints + kCurveGuard - 2));
  const __m256i guard = _mm256_set1_epi32(kCurveGuard);
  std::int32_t k = 0;
  for (; k + 8 <= n; k += 8) {
    const __m256 position = _mm256_min_ps(_mm256_max_ps(_mm256_mul_ps(_mm256_loadu_ps(x + k), points), low), high);
    const __m256i at = _mm256_add_epi32(_mm256_cvtps_epi32(position), guard);
    _mm256_storeu_ps(x + k, _mm256_i32gather_ps(table, at, 4));
  }
  LookupRunTail(table, x, k, n);
}

using TLookupRun = void (*)(const float* table, float* x, std::int32_t n);
TLookupRun LookupRun = CpuFeatures().Avx2 ? &LookupRunAvx2 : &LookupRunSse2;

template <int N>
void CurveTableRun(float* x, std::int32_t n) {
  LookupRun(gCurveTables[N - 1], x, n);
}

template <std::size_t... I>
constexpr std::array<TCurveRun, sizeof...(I)> MakeRuns(std::index_sequence<I...>) {
  return {&CurveTableRun<static_cast<int>(I) + 1>...};
}

constexpr std::array<TCurveRun, kCurveLawCount> kRuns = MakeRuns(std::make_index_sequence<kCurveLawCount>{});

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
void FillAttackShape(int law) {
  constexpr int n = kCurvePoints;
  float* shape = gAttackShapes[law];
  const float* table = law > 0 ? gCurveTables[law - 1] + kCurveGuard : nullptr;
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
  gHasAttackShape[law] = true;
}

void FillCurveTables() {
  for (auto& table : gCurveTables)
    for (float& v : table) v = 0.0f;
  for (int law = 1; law <= kCurveLawCount; ++law) {
    float* table = gCurveTables[law - 1];
    for (int i = 0; i < kCurvePoints; ++i) {
      const float x = static_cast<float>(i) / static_cast<float>(kCurvePoints);
      table[kCurveGuard + i] = static_cast<float>(CurveLaw(law, x));
    }
    // Trailing guard: copies of the last data entry, the final entry stays 0.
    const float last = table[kCurveGuard + kCurvePoints - 1];
    for (int k = 0; k < kCurveGuard - 1; ++k) table[kCurveGuard + kCurvePoints + k] = last;
    FillAttackShape(law);
  }
  FillAttackShape(0);
}

// Built while the module loads, before any plug-in object exists.
[[maybe_unused]] const bool gBuiltAtLoad = (BuildCurveTables(), true);

// The curve-law parameters' value texts read this list.
const TNameListRegistration gCurveLawNames(TNameListId::CurveLaw, &GetCurveLawName);

}  // namespace

void NullProc(float& /*x*/) {}

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

void BuildCurveTables() { std::call_once(gCurvesBuilt, FillCurveTables); }

TCurveFunction GetCurveFunction(std::int32_t index) {
  if (index < 1 || index > kCurveLawCount) return &NullProc;
  // Normally built at load already; this only matters for a caller that runs
  // before the load-time initialisation of this unit.
  BuildCurveTables();
  return kLookups[static_cast<std::size_t>(index - 1)];
}

TCurveRun GetCurveRun(std::int32_t index) {
  if (index < 1 || index > kCurveLawCount) return nullptr;
  BuildCurveTables();
  return kRuns[static_cast<std::size_t>(index - 1)];
}

bool SetCurveRunAvx2(bool on) {
  const bool avx2 = on && CpuFeatures().Avx2;
  LookupRun = avx2 ? &LookupRunAvx2 : &LookupRunSse2;
  return avx2;
}

const float* CurveAttackShape(std::int32_t index) {
  // Any other index plays without a law, as "Linear".
  if (index < 1 || index > kCurveLawCount) index = 0;
  BuildCurveTables();
  return gHasAttackShape[index] ? gAttackShapes[index] : nullptr;
}

std::span<const float> CurveTable(std::int32_t index) {
  if (index < 1 || index > kCurveLawCount) return {};
  BuildCurveTables();
  return {gCurveTables[index - 1], static_cast<std::size_t>(kCurveTableSize)};
}

const std::array<std::string_view, kCurveLawCount + 1> CurveLawNames = {
    "Linear",  "DB Log",  "+Curve2", "+Curve3",  "+Curve4", "+Curve5", "+Curve6", "-Curve2", "-Curve3",
    "-Curve4", "-Curve5", "-Curve6", "+CurveX",  "+Grad",   "-Grad",   "LoHi1",   "LoHi2",   "LoHi3",
    "HiLo1",   "HiLo2",   "HiLo3",   "LoHiFine", "3Phase1", "3Phase2", "3Phase3", "Ripple1", "Ripple2",
    "Ripple3", "Ripple4", "Ripple5", "Ripple6",  "-Ripple", "+Ripple"};

std::string GetCurveLawName(std::int32_t index) {
  if (index < 0 || index > kCurveLawCount) return {};
  return std::string(CurveLawNames[static_cast<std::size_t>(index)]);
}
