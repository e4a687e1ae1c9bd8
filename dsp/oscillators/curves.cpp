#include "dsp/oscillators/curves.h"

#include <immintrin.h>

#include <cmath>
#include <utility>

#include "dsp/oscillators/curve_data.h"
#include "framework/core/name_lists.h"
#include "platform/cpu_features.h"

// The tables, computed at build time and embedded by the build as read-only
// data (curve_data.h): loading the module computes nothing.
extern "C" const TCurveData rumbleon_curve_data;

namespace {

// 32 x 17184 floats (2.2 MB).
const auto& gCurveTables = rumbleon_curve_data.Tables;

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

// The curve-law parameters' value texts read this list.
const TNameListRegistration gCurveLawNames(TNameListId::CurveLaw, &GetCurveLawName);

}  // namespace

void NullProc(float& /*x*/) {}

TCurveFunction GetCurveFunction(std::int32_t index) {
  if (index < 1 || index > kCurveLawCount) return &NullProc;
  return kLookups[static_cast<std::size_t>(index - 1)];
}

TCurveRun GetCurveRun(std::int32_t index) {
  if (index < 1 || index > kCurveLawCount) return nullptr;
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
  const TCurveData& data = rumbleon_curve_data;
  return data.HasAttackShape[index] != 0 ? data.AttackShapes[index] : nullptr;
}

std::span<const float> CurveTable(std::int32_t index) {
  if (index < 1 || index > kCurveLawCount) return {};
  return {gCurveTables[index - 1], static_cast<std::size_t>(kCurveTableSize)};
}

const std::array<std::string_view, kCurveLawCount + 1> CurveLawNames = {
    "Linear",  "DB Log",  "+Curve2", "+Curve3",  "+Curve4", "+Curve5", "+Curve6", "-Curve2", "-Curve3",
    "-Curve4", "-Curve5", "-Curve6", "+CurveX",  "+Grad",   "-Grad",   "LoHi1",   "LoHi2",   "LoHi3",
    "HiLo1",   "HiLo2",   "HiLo3",   "LoHiFine", "3Phase1", "3Phase2", "3Phase3", "Ripple1", "Ripple2",
    "Ripple3", "Ripple4", "Ripple5", "Ripple6",  "-Ripple", "+Ripple"};

const TCurveData& EmbeddedCurveData() { return rumbleon_curve_data; }

std::string GetCurveLawName(std::int32_t index) {
  if (index < 0 || index > kCurveLawCount) return {};
  return std::string(CurveLawNames[static_cast<std::size_t>(index)]);
}
