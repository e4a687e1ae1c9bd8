// Plain numeric helpers: rounding, powers, logarithms, decibel and cent
// conversions with their floors, range mapping and denormal flushing.
//
// "rint" below is round to nearest with ties to even (the default rounding
// mode, which every host entry installs). The floor/ceil/trunc forms round
// through rint after an offset of 0.5, so at exact halves they follow
// ties-to-even: FloorF(3.0) is 2. Callers rely on that; do not "fix" it.
#pragma once

#include <cstdint>
#include <string>

// Time values of the synthesis layers travel as cents relative to one second;
// this floor stands for zero or less (about 0.5 ms).
inline constexpr std::int32_t kCentsFloor = -13160;

// rint to a 32-bit integer; out-of-range and NaN give INT32_MIN, like the
// processor's own conversion.
std::int32_t RoundD(double x);
inline std::int32_t RoundF(float x) { return RoundD(x); }
std::int32_t TruncToInt(double x);
std::int32_t FloorF(double x);
std::int32_t TruncF(double x);
std::int32_t CeilF(double x);
float FracF(double x);
std::int32_t FloorExt(long double x);
inline float SignF(float x) { return x > 0.0f ? 1.0f : -1.0f; }

float IntPower(std::int32_t n, float base);
float PowerF(float base, float exponent);
float PowerOf(float base, float exponent);
long double Log10Ext(long double x);
float Log10Of(float x);
float Log2Of(float x);
float Cotangent(float x);
void SinCosOf(float x, float& sine, float& cosine);

float AmpToDb(float x);
float DbToAmp(float db);
float NormToAmp60(float x);
float CentsToRatio(float cents);
float CentsToLin1000F(float cents);
std::int32_t CentsToLin1000(float cents);
float RatioToCents(float x);
float LinToCents1000F(float ms);
std::int32_t LinToCents1000(float ms);
float MapRange(float x, float inLow, float inHigh, float outLow, float outHigh);
float SafeReciprocal(float x);
// Sample k of a fade from 1 to 0 over `length` samples along a raised
// cosine (no corner at either end): 1 at 0, 0 from length on.
float FallingCosineGain(std::int32_t k, std::int32_t length);
// A float whose exponent bits are all zero (zero or denormal) becomes +0.0.
void FlushDenormal(float& x);
inline bool IsDenormalOrZero(float x) {
  std::uint32_t bits = __builtin_bit_cast(std::uint32_t, x);
  return (bits & 0x7F800000u) == 0;
}
std::int32_t Midi14Bit(std::int32_t low, std::int32_t high);
std::uint64_t ReadTimeStamp();
inline void NullProc() {}

// Folder of the running program file, with its trailing separator; empty when
// the path has none. Computed once.
const std::string& ProgramFolder();
// The folder part of a path up to and including its last '/', '\' or ':'.
std::string FolderOfPath(const std::string& path);
