// Curve laws: 32 fixed formulas that bend a control value in 0..1 (an
// envelope level, a sequencer gate level) before it is used as an amplitude
// or modulation amount. Each law is evaluated once into a table of 16384
// points; at run time an owner fetches the law's lookup routine once with
// GetCurveFunction and calls it per value (one multiply, one rounding, one
// table read).
//
// The tables are computed at build time and embedded read-only
// (curve_data.h): any thread may use the routines without a lock, at any
// time, even while the module's static objects are still being built.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

inline constexpr int kCurveLawCount = 32;
// The curve laws by index (CurveLawNames gives each one's shown name).
// Programs store the index, so a law never changes its number.
enum TCurveLaw : std::int32_t {
  kLawLinear = 0,
  kLawDbLog = 1,         // "DB Log"
  kLawPlusCurve2 = 2,    // "+Curve2"
  kLawPlusCurve3 = 3,    // "+Curve3"
  kLawPlusCurve4 = 4,    // "+Curve4"
  kLawPlusCurve5 = 5,    // "+Curve5"
  kLawPlusCurve6 = 6,    // "+Curve6"
  kLawMinusCurve2 = 7,   // "-Curve2"
  kLawMinusCurve3 = 8,   // "-Curve3"
  kLawMinusCurve4 = 9,   // "-Curve4"
  kLawMinusCurve5 = 10,  // "-Curve5"
  kLawMinusCurve6 = 11,  // "-Curve6"
  kLawPlusCurveX = 12,   // "+CurveX"
  kLawPlusGrad = 13,     // "+Grad"
  kLawMinusGrad = 14,    // "-Grad"
  kLawLoHi1 = 15,
  kLawLoHi2 = 16,
  kLawLoHi3 = 17,
  kLawHiLo1 = 18,
  kLawHiLo2 = 19,
  kLawHiLo3 = 20,
  kLawLoHiFine = 21,
  kLawThreePhase1 = 22,  // "3Phase1"
  kLawThreePhase2 = 23,  // "3Phase2"
  kLawThreePhase3 = 24,  // "3Phase3"
  kLawRipple1 = 25,
  kLawRipple2 = 26,
  kLawRipple3 = 27,
  kLawRipple4 = 28,
  kLawRipple5 = 29,
  kLawRipple6 = 30,
  kLawMinusRipple = 31,  // "-Ripple"
  kLawPlusRipple = 32,   // "+Ripple"
};
static_assert(kLawPlusRipple == kCurveLawCount);

// Data points per law: entry i holds law(i / 16384).
inline constexpr int kCurvePoints = 16384;
// Guard entries on each side of the data, so inputs slightly outside 0..1
// need no range check: the leading guard reads 0, the trailing guard repeats
// the last data entry (the final entry of the array is 0).
inline constexpr int kCurveGuard = 400;
inline constexpr int kCurveTableSize = kCurveGuard + kCurvePoints + kCurveGuard;

// A curve routine replaces x in place.
using TCurveFunction = void (*)(float& x);

// The routine that stands for "no curve": x passes unchanged.
void NullProc(float& x);

// Law `index` (1..32) of x, evaluated directly in extended precision (the
// wave tables of the table waveforms are filled from these). Any other index
// returns x.
long double CurveLaw(std::int32_t index, long double x);

// The lookup routine (CurveTableLookup of the law's table) of law 1..32;
// any other index (0 = "Linear" included) gives NullProc. The routine stays
// valid for the life of the module.
// Inputs below -400/16384 read 0, inputs above 1 + 398/16384 read the last
// data entry, a NaN reads 0: a lookup never leaves the table.
TCurveFunction GetCurveFunction(std::int32_t index);

// A curve over a run of values in place: x[k] becomes what the law's lookup
// routine makes of it (the same bits), n values at a time without a call
// per value (eight per step with AVX2, four otherwise).
using TCurveRun = void (*)(float* x, std::int32_t n);
// The run routine of law 1..32; null for any other index (no curve).
TCurveRun GetCurveRun(std::int32_t index);
// Tests turn the AVX2 form of the runs off to compare the SSE2 one; answers
// whether the AVX2 form is in use now. Not while a run runs.
bool SetCurveRunAvx2(bool on);

// The attack shape of law `index` for a voice, whose oscillators follow the
// envelope's level x and whose amplitude factor is the law's value at x:
// entry j (0..kCurvePoints) is the level at which x times law(x) gives
// 0.5 - 0.5 cos(pi j / kCurvePoints), so an envelope whose attack follows
// it makes an amplitude that leaves 0 and reaches 1 smoothly: without the
// corners of a linear ramp, and not in its last few samples as a ramp
// through "DB Log" does. "Linear" (and any index without a law) uses x
// times x. Null for the laws that do not rise steadily from 0 (or nearly)
// to 1 (the ripples); their attacks stay linear. Valid for the life of the
// module.
const float* CurveAttackShape(std::int32_t index);

// The whole array of law 1..32 (guards included; data entry i is element
// kCurveGuard + i). Empty for any other index.
std::span<const float> CurveTable(std::int32_t index);

// Display names of the curve-law parameter values, index 0 ("Linear") to 32.
extern const std::array<std::string_view, kCurveLawCount + 1> CurveLawNames;
// The name of index 0..32; empty for any other index.
std::string GetCurveLawName(std::int32_t index);
