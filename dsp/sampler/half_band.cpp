#include "dsp/sampler/half_band.h"

#include <emmintrin.h>

#include <array>
#include <cmath>
#include <cstring>
#include <numbers>

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

// The chains and the final sum over the frames. Each section:
// y = (x' + a x) - a y' (x', y': its last input and output). The halving of
// the sum is in the gains (a power of two: the same bits as halving after).
template <bool Two>
void Run(float (*state)[4], const float* a, __m128 ga, const float* b, __m128 gb, float* left, float* right,
         std::int32_t frames) {
  static_assert(THalfBandDecimator::kSections == 3);
  __m128 s0 = _mm_load_ps(state[0]), s1 = _mm_load_ps(state[1]);
  __m128 s2 = _mm_load_ps(state[2]), s3 = _mm_load_ps(state[3]);
  const __m128 c0 = _mm_load_ps(kLanes.Lane[0]), c1 = _mm_load_ps(kLanes.Lane[1]);
  const __m128 c2 = _mm_load_ps(kLanes.Lane[2]);
  // Input frames 2m and 2m + 1 -> output frame m in lanes 0 (left) and 1.
  auto step = [&](std::int32_t m) {
    __m128 x = _mm_mul_ps(ga, _mm_loadu_ps(a + 4 * m));
    if constexpr (Two) x = _mm_add_ps(x, _mm_mul_ps(gb, _mm_loadu_ps(b + 4 * m)));
    const __m128 y0 = _mm_sub_ps(_mm_add_ps(s0, _mm_mul_ps(c0, x)), _mm_mul_ps(c0, s1));
    s0 = x;
    const __m128 y1 = _mm_sub_ps(_mm_add_ps(s1, _mm_mul_ps(c1, y0)), _mm_mul_ps(c1, s2));
    s1 = y0;
    const __m128 y2 = _mm_sub_ps(_mm_add_ps(s2, _mm_mul_ps(c2, y1)), _mm_mul_ps(c2, s3));
    s2 = y1;
    s3 = y2;
    return _mm_add_ps(y2, _mm_movehl_ps(y2, y2));
  };
  std::int32_t m = 0;
  for (; m + 4 <= frames; m += 4) {
    const __m128 o0 = step(m), o1 = step(m + 1), o2 = step(m + 2), o3 = step(m + 3);
    const __m128 f01 = _mm_movelh_ps(o0, o1), f23 = _mm_movelh_ps(o2, o3);
    _mm_storeu_ps(left + m, _mm_shuffle_ps(f01, f23, _MM_SHUFFLE(2, 0, 2, 0)));
    _mm_storeu_ps(right + m, _mm_shuffle_ps(f01, f23, _MM_SHUFFLE(3, 1, 3, 1)));
  }
  for (; m < frames; ++m) {
    const __m128 o = step(m);
    _mm_store_ss(left + m, o);
    _mm_store_ss(right + m, _mm_shuffle_ps(o, o, _MM_SHUFFLE(1, 1, 1, 1)));
  }
  // Tiny states to 0 (all four lanes of a register at once).
  const __m128 tiny = _mm_set1_ps(kTiny);
  const __m128 magnitude = _mm_castsi128_ps(_mm_set1_epi32(0x7FFFFFFF));
  auto flush = [&](__m128 v) { return _mm_and_ps(v, _mm_cmpge_ps(_mm_and_ps(v, magnitude), tiny)); };
  _mm_store_ps(state[0], flush(s0));
  _mm_store_ps(state[1], flush(s1));
  _mm_store_ps(state[2], flush(s2));
  _mm_store_ps(state[3], flush(s3));
}

}  // namespace

void THalfBandDecimator::Clear() { std::memset(State, 0, sizeof State); }

void THalfBandDecimator::Process(const float* in, float* left, float* right, std::int32_t frames) {
  MixProcess(in, 1.0f, 1.0f, nullptr, 0.0f, 0.0f, left, right, frames);
}

void THalfBandDecimator::MixProcess(const float* a, float aLeft, float aRight, const float* b, float bLeft,
                                    float bRight, float* left, float* right, std::int32_t frames) {
  if (frames <= 0) return;
  const __m128 ga = _mm_setr_ps(0.5f * aLeft, 0.5f * aRight, 0.5f * aLeft, 0.5f * aRight);
  if (b == nullptr) {
    Run<false>(State, a, ga, nullptr, ga, left, right, frames);
  } else {
    const __m128 gb = _mm_setr_ps(0.5f * bLeft, 0.5f * bRight, 0.5f * bLeft, 0.5f * bRight);
    Run<true>(State, a, ga, b, gb, left, right, frames);
  }
}

const double* THalfBandDecimator::Coefficients() { return kDesign.data(); }
