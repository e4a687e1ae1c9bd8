#include "dsp/oscillators/curves.h"

#include <cmath>
#include <utility>

#include "dsp/oscillators/curve_data.h"
#include "framework/core/name_lists.h"

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

// The curve-law parameters' value texts read this list.
const TNameListRegistration gCurveLawNames(TNameListId::CurveLaw, &GetCurveLawName);

}  // namespace

void NullProc(float& /*x*/) {}

TCurveFunction GetCurveFunction(std::int32_t index) {
  if (index < 1 || index > kCurveLawCount) return &NullProc;
  return kLookups[static_cast<std::size_t>(index - 1)];
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
