#include "dsp/sampler/half_band.h"

#include <immintrin.h>

#include <array>
#include <cmath>
#include <cstring>
#include <numbers>

#include "platform/cpu_features.h"

namespace {

constexpr int kCoefficients = 2 * THalfBandDecimator::kSections;
// The transition band, a share of the input rate, centred on a quarter of
// it: pass to 0.23, stop from 0.27.
constexpr double kTransition = 0.04;

// The elliptic half-band's allpass coefficients (Valenzuela and
// Constantinides, 1983): the modulus k of the transition, the nome q of its
// complementary modulus (a rapidly converging series), then each
// coefficient from the theta-function series of the elliptic sine at i / N
// of the quarter period (N = 2n + 1, the order). Rising.
std::array<double, kCoefficients> Design() {
  constexpr double pi = std::numbers::pi;
  const double t = std::tan((1 - 2 * kTransition) * pi / 4);
  const double k = t * t;
  const double kc = std::pow(1 - k * k, 0.25);
  const double e = 0.5 * (1 - kc) / (1 + kc);
  const double e4 = e * e * e * e;
  const double q = e * (1 + e4 * (2 + e4 * (15 + 150 * e4)));
  constexpr double order = 2 * kCoefficients + 1;
  std::array<double, kCoefficients> a{};
  for (int i = 1; i <= kCoefficients; ++i) {
    double num = 0, den = 0.5, term = 0;
    double sign = 1;
    for (int m = 0; m == 0 || std::fabs(term) > 1e-30; ++m, sign = -sign) {
      term = sign * std::pow(q, m * (m + 1)) * std::sin((2 * m + 1) * i * pi / order);
      num += term;
    }
    num *= std::pow(q, 0.25);
    sign = -1;
    for (int m = 1; m == 1 || std::fabs(term) > 1e-30; ++m, sign = -sign) {
      term = sign * std::pow(q, m * m) * std::cos(2 * m * i * pi / order);
      den += term;
    }
    const double w = num / den;
    const double w2 = w * w;
    const double x = std::sqrt((1 - w2 * k) * (1 - w2 / k)) / (1 + w2);
    a[static_cast<std::size_t>(i - 1)] = (1 - x) / (1 + x);
  }
  return a;
}

const std::array<double, kCoefficients> kDesign = Design();

// Section s of each chain in the lanes: the even input's chain A1 (odd
// entries) in lanes 0 and 1, the odd input's chain A0 in lanes 2 and 3.
struct alignas(16) TLanes {
  float Lane[THalfBandDecimator::kSections][4];
};
const TLanes kLanes = [] {
  TLanes l{};
  for (int s = 0; s < THalfBandDecimator::kSections; ++s) {
    const auto a0 = static_cast<float>(kDesign[static_cast<std::size_t>(2 * s)]);
    const auto a1 = static_cast<float>(kDesign[static_cast<std::size_t>(2 * s + 1)]);
    l.Lane[s][0] = l.Lane[s][1] = a1;
    l.Lane[s][2] = l.Lane[s][3] = a0;
  }
  return l;
}();

// Below this a state is silence: set to 0 after a call, it does not decay
// through the denormal range where nothing flushes them (the host entries
// flush to zero; tests and tools may not).
constexpr float kTiny = 1e-30f;

inline __m128 Flush(__m128 v) {
  const __m128 magnitude = _mm_castsi128_ps(_mm_set1_epi32(0x7FFFFFFF));
  return _mm_and_ps(v, _mm_cmpge_ps(_mm_and_ps(v, magnitude), _mm_set1_ps(kTiny)));
}

// The gains of one signal for the lanes (left, right, left, right), halved:
// the halving of the chains' sum is in them (a power of two: the same bits
// as halving after).
inline __m128 Gains(float left, float right) {
  return _mm_setr_ps(0.5f * left, 0.5f * right, 0.5f * left, 0.5f * right);
}

namespace sse {
#include "dsp/sampler/half_band_chains.inc"
}  // namespace sse

// The AVX encodings (three operands: no register copies), and two filters
// in one register (clang takes the target as an attribute on every function
// of the region).
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2")
#endif
namespace avx {
#define RUMBLEON_HALF_BAND_PAIR
#include "dsp/sampler/half_band_chains.inc"
#undef RUMBLEON_HALF_BAND_PAIR
}  // namespace avx
#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

bool HasAvx() { return CpuFeatures().Avx2; }
bool UseAvx = HasAvx();

}  // namespace

void THalfBandDecimator::Clear() { std::memset(State, 0, sizeof State); }

namespace {

// The routine for a call's kind: with a second signal (Two), with gains per
// frame (Varying).
using TOneRun = void (*)(float (*)[4], const THalfBandDecimator::TMix&, std::int32_t);
using TPairRun = void (*)(float (*)[4], const THalfBandDecimator::TMix&, float (*)[4], const THalfBandDecimator::TMix&,
                          std::int32_t);
int Kind(const THalfBandDecimator::TMix& mix) { return (mix.B != nullptr ? 1 : 0) + (mix.AGain != nullptr ? 2 : 0); }
constexpr TOneRun kSse[4] = {&sse::RunOne<false, false>, &sse::RunOne<true, false>, &sse::RunOne<false, true>,
                             &sse::RunOne<true, true>};
constexpr TOneRun kAvx[4] = {&avx::RunOne<false, false>, &avx::RunOne<true, false>, &avx::RunOne<false, true>,
                             &avx::RunOne<true, true>};
constexpr TPairRun kAvxPair[4] = {&avx::RunPair<false, false>, &avx::RunPair<true, false>, &avx::RunPair<false, true>,
                                  &avx::RunPair<true, true>};

}  // namespace

void THalfBandDecimator::MixProcess(const TMix& mix, std::int32_t frames) {
  if (frames <= 0) return;
  (UseAvx ? kAvx : kSse)[Kind(mix)](State, mix, frames);
}

void THalfBandDecimator::Process(const float* in, float* left, float* right, std::int32_t frames) {
  TMix mix;
  mix.A = in;
  mix.Left = left;
  mix.Right = right;
  MixProcess(mix, frames);
}

void THalfBandDecimator::MixProcessPair(THalfBandDecimator& x, const TMix& mx, THalfBandDecimator& y, const TMix& my,
                                        std::int32_t frames) {
  if (frames <= 0) return;
  const int kind = Kind(mx);
  if (!UseAvx || kind != Kind(my)) {
    x.MixProcess(mx, frames);
    y.MixProcess(my, frames);
    return;
  }
  kAvxPair[kind](x.State, mx, y.State, my, frames);
}

const double* THalfBandDecimator::Coefficients() { return kDesign.data(); }

bool THalfBandDecimator::SetAvx(bool on) {
  UseAvx = on && HasAvx();
  return UseAvx;
}
