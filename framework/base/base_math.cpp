#include "framework/base/base_math.h"

#include <unistd.h>
#include <x86intrin.h>
#include <climits>
#include <cmath>
#include <numbers>

#include "platform/time_stamp.h"

std::int32_t RoundD(double x) {
  const double r = std::nearbyint(x);
  if (!(r >= -2147483648.0 && r <= 2147483647.0)) return INT32_MIN;
  return static_cast<std::int32_t>(r);
}

std::int32_t TruncToInt(double x) {
  std::int32_t r = RoundD(x);
  if (r >= 0 && r > x) return r - 1;
  if (r < 0 && r < x) return r + 1;
  return r;
}

std::int32_t FloorF(double x) { return RoundD(x - 0.5); }

std::int32_t TruncF(double x) { return x >= 0 ? RoundD(x - 0.5) : RoundD(x + 0.5); }

std::int32_t CeilF(double x) { return x >= 0 ? RoundD(x + 0.5) : RoundD(x - 0.5); }

float FracF(double x) {
  const double r = x >= 0 ? std::nearbyint(x - 0.5) : std::nearbyint(x + 0.5);
  return static_cast<float>(x - r);
}

std::int32_t FloorExt(long double x) {
  std::int32_t t = TruncF(static_cast<double>(x));
  return FracF(static_cast<double>(x)) < 0 ? t - 1 : t;
}

float IntPower(std::int32_t n, float base) {
  // Square and multiply over |n|, in extended precision like the original.
  std::uint32_t m = n < 0 ? 0u - static_cast<std::uint32_t>(n) : static_cast<std::uint32_t>(n);
  long double b = base;
  long double result = 1.0L;
  while (m > 0) {
    if (m & 1u) result *= b;
    m >>= 1;
    b *= b;
  }
  return static_cast<float>(n < 0 ? 1.0L / result : result);
}

float PowerF(float base, float exponent) {
  if (exponent == 0.0f) return 1.0f;
  if (base == 0.0f && exponent > 0.0f) return 0.0f;
  // An integral exponent takes the integer path, so negative bases work.
  // (The truncating helpers misjudge odd integers at exact halves; a plain
  // integrality test keeps PowerF(-2, 3) = -8.)
  if (std::fabs(exponent) <= 2147483647.0f && std::trunc(exponent) == exponent) {
    return IntPower(static_cast<std::int32_t>(exponent), base);
  }
  return static_cast<float>(std::exp(static_cast<double>(exponent) * std::log(static_cast<double>(base))));
}

float PowerOf(float base, float exponent) {
  if (exponent == 0.0f) return 1.0f;
  if (base == 0.0f && exponent > 0.0f) return 0.0f;
  return static_cast<float>(std::exp(static_cast<double>(exponent) * std::log(static_cast<double>(base))));
}

long double Log10Ext(long double x) { return std::log10(x); }
float Log10Of(float x) { return static_cast<float>(std::log10(static_cast<double>(x))); }
float Log2Of(float x) { return static_cast<float>(std::log2(static_cast<double>(x))); }
float Cotangent(float x) { return static_cast<float>(1.0 / std::tan(static_cast<double>(x))); }

void SinCosOf(float x, float& sine, float& cosine) {
  sine = static_cast<float>(std::sin(static_cast<double>(x)));
  cosine = static_cast<float>(std::cos(static_cast<double>(x)));
}

float AmpToDb(float x) {
  if (x == 0.0f) return -60.0f;
  return static_cast<float>(20.0 * std::log10(static_cast<double>(x)));
}

float DbToAmp(float db) { return static_cast<float>(std::exp(static_cast<double>(db) * 0.05 * std::numbers::ln10)); }

float NormToAmp60(float x) {
  const float a = std::fabs(x);
  if (a < 0.000999f) return 0.0f;
  const float amp = DbToAmp(a * 60.0f - 60.0f);
  return x < 0 ? -amp : amp;
}

float CentsToRatio(float cents) { return PowerF(2.0f, cents * 0.00083333335f); }
float CentsToLin1000F(float cents) { return 1000.0f * CentsToRatio(cents); }
std::int32_t CentsToLin1000(float cents) { return RoundF(CentsToLin1000F(cents)); }

float RatioToCents(float x) {
  if (x <= 0.0f) return static_cast<float>(kCentsFloor);
  return static_cast<float>(1200.0 * std::log2(static_cast<double>(x)));
}

float LinToCents1000F(float ms) {
  if (ms <= 0.0f) return static_cast<float>(kCentsFloor);
  return RatioToCents(ms / 1000.0f);
}

std::int32_t LinToCents1000(float ms) { return RoundF(LinToCents1000F(ms)); }

float MapRange(float x, float inLow, float inHigh, float outLow, float outHigh) {
  if (inHigh == inLow) return outLow;
  return outLow + (x - inLow) / (inHigh - inLow) * (outHigh - outLow);
}

float FallingCosineGain(std::int32_t k, std::int32_t length) {
  if (k >= length) return 0.0f;
  const double step = std::numbers::pi / static_cast<double>(length);
  return static_cast<float>(0.5 + 0.5 * std::cos(step * static_cast<double>(k)));
}

float SafeReciprocal(float x) { return x == 0.0f ? 0.0f : 1.0f / x; }

void FlushDenormal(float& x) {
  if (IsDenormalOrZero(x)) x = 0.0f;
}

std::int32_t Midi14Bit(std::int32_t low, std::int32_t high) { return ((high & 255) * 128) | (low & 255); }

std::uint64_t ReadTimeStamp() { return ReadTimeStampCounter(); }

std::string FolderOfPath(const std::string& path) {
  const auto pos = path.find_last_of("/\\:");
  if (pos == std::string::npos) return {};
  std::string folder = path.substr(0, pos + 1);
  if (folder.size() > 255) folder.resize(255);
  return folder;
}

const std::string& ProgramFolder() {
  static const std::string folder = [] {
    char buffer[4096];
    const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    return n > 0 ? FolderOfPath(std::string(buffer, static_cast<std::size_t>(n))) : std::string();
  }();
  return folder;
}
