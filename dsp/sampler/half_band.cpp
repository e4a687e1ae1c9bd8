#include "dsp/sampler/half_band.h"

#include <emmintrin.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <numbers>

namespace {

constexpr std::int32_t kCentre = THalfBandDecimator::kTaps / 2;  // 31
constexpr std::int32_t kOddTaps = kCentre + 1;                     // 32 taps of even index

double BesselI0(double x) {
  double sum = 1, term = 1;
  for (int k = 1; k < 40; ++k) {
    term *= (x / (2 * k)) * (x / (2 * k));
    sum += term;
  }
  return sum;
}

// The taps h[2j] (j = 0..31), those at odd distance from the centre; the
// centre tap is 0.5 and the others are zero. Normalised to unity at DC.
std::array<float, kOddTaps> MakeTaps() {
  constexpr double kBeta = 8.0;
  std::array<double, THalfBandDecimator::kTaps> h{};
  double sum = 0;
  for (std::int32_t k = 0; k < THalfBandDecimator::kTaps; ++k) {
    const double d = k - kCentre;
    const double sinc = d == 0 ? 1.0 : std::sin(std::numbers::pi * d / 2) / (std::numbers::pi * d / 2);
    const double r = d / kCentre;
    const double window = BesselI0(kBeta * std::sqrt(std::max(0.0, 1 - r * r))) / BesselI0(kBeta);
    h[static_cast<std::size_t>(k)] = 0.5 * sinc * window;
    sum += h[static_cast<std::size_t>(k)];
  }
  std::array<float, kOddTaps> taps{};
  for (std::int32_t j = 0; j < kOddTaps; ++j) taps[static_cast<std::size_t>(j)] = static_cast<float>(h[static_cast<std::size_t>(2 * j)] / sum);
  return taps;
}

const std::array<float, kOddTaps> kTapsEven = MakeTaps();
// The same taps, each in all four lanes (the vector loop's operands).
struct alignas(16) TTapLanes {
  float Lane[kOddTaps][4];
};
const TTapLanes kTapLanes = [] {
  TTapLanes t{};
  for (std::int32_t j = 0; j < kOddTaps; ++j)
    for (float& v : t.Lane[j]) v = kTapsEven[static_cast<std::size_t>(j)];
  return t;
}();
const float kCentreTap = [] {
  // 0.5 of the same normalisation.
  double sum = 0;
  for (float t : kTapsEven) sum += t;
  return static_cast<float>(1.0 - sum);
}();

}  // namespace

// Per channel two lines, the inputs of odd index (the 32 even taps read only
// those: input 2m + 1 - 2j) and of even index (the centre tap's input
// 2m + 1 - 31), each with its history in front.
namespace {
constexpr std::int32_t kOddHistory = kOddTaps - 1;  // 31 odd-index inputs kept
constexpr std::int32_t kEvenHistory = 16;            // input 2m - 30: 15 frames back, and one spare
}  // namespace

void THalfBandDecimator::Allocate(std::int32_t maxOutputFrames) {
  MaxFrames = maxOutputFrames > 0 ? maxOutputFrames : 1;
  const auto length = static_cast<std::size_t>(kOddHistory + MaxFrames + 4);
  for (auto& line : Line) line.reset(new float[2 * length]());
}

void THalfBandDecimator::Clear() {
  if (!Line[0]) return;
  const auto length = static_cast<std::size_t>(kOddHistory + MaxFrames + 4);
  for (auto& line : Line) std::memset(line.get(), 0, 2 * length * sizeof(float));
}

void THalfBandDecimator::Process(const float* in, float* out, std::int32_t frames) {
  if (!Line[0] || frames <= 0) return;
  if (frames > MaxFrames) frames = MaxFrames;
  const auto length = static_cast<std::size_t>(kOddHistory + MaxFrames + 4);
  for (int c = 0; c < 2; ++c) {
    float* odd = Line[c].get();
    float* even = odd + length;
    // Input 2m + 1 at odd[kOddHistory + m], input 2m at even[kEvenHistory + m].
    for (std::int32_t m = 0; m < frames; ++m) {
      even[kEvenHistory + m] = in[4 * m + c];
      odd[kOddHistory + m] = in[4 * m + 2 + c];
    }
    // y[m] = sum_j h[2j] x[2m + 1 - 2j] + h[31] x[2m - 30]; four outputs at
    // a time.
    const float* o = odd + kOddHistory;
    const float* e = even + kEvenHistory - 15;
    std::int32_t m = 0;
    const __m128 centre = _mm_set1_ps(kCentreTap);
    for (; m + 4 <= frames; m += 4) {
      __m128 acc = _mm_setzero_ps();
#pragma GCC unroll 32
      for (std::int32_t j = 0; j < kOddTaps; ++j)
        acc = _mm_add_ps(acc, _mm_mul_ps(_mm_load_ps(kTapLanes.Lane[j]), _mm_loadu_ps(o + m - j)));
      acc = _mm_add_ps(acc, _mm_mul_ps(centre, _mm_loadu_ps(e + m)));
      alignas(16) float y[4];
      _mm_store_ps(y, acc);
      for (int k = 0; k < 4; ++k) out[2 * (m + k) + c] = y[k];
    }
    for (; m < frames; ++m) {
      float acc = 0;
      for (std::int32_t j = 0; j < kOddTaps; ++j) acc += kTapsEven[static_cast<std::size_t>(j)] * o[m - j];
      out[2 * m + c] = acc + kCentreTap * e[m];
    }
    std::memmove(odd, odd + frames, static_cast<std::size_t>(kOddHistory) * sizeof(float));
    std::memmove(even, even + frames, static_cast<std::size_t>(kEvenHistory) * sizeof(float));
  }
}
