#include "dsp/sampler/linear_reads.h"

#include <immintrin.h>

#include <bit>

#include "platform/cpu_features.h"

namespace {

// The step every position of the binade of p takes, and the binade's upper
// end; false when the chain has to stay serial (see the header).
bool ExactStep(double p, double increment, double& step, double& binadeEnd) {
  if (!(p > 0.0)) return false;
  const std::uint64_t exponent = std::bit_cast<std::uint64_t>(p) >> 52;
  // The unit 2^(e - 52) must be a normal number; an infinite p has none.
  if (exponent <= 52 || exponent >= 2047) return false;
  const double unit = std::bit_cast<double>((exponent - 52) << 52);
  binadeEnd = std::bit_cast<double>((exponent + 1) << 52);
  step = (p + increment) - p;
  // increment - step is exact (both multiples of increment's unit, at most
  // half of u apart); exactly half of u is the tie.
  const double off = 2.0 * (increment - step);
  return off != unit && off != -unit;
}

#define RUMBLEON_AVX2 __attribute__((target("avx2")))

// The frames i of eight positions (q: the first four, r: the next), rounded
// as SampleFloor, and their fractions (in double, then float).
RUMBLEON_AVX2 inline __m256 EightFrames(__m256d q, __m256d r, __m128i& i0, __m128i& i1) {
  const __m256d half = _mm256_set1_pd(0.5);
  i0 = _mm256_cvtpd_epi32(_mm256_sub_pd(q, half));
  i1 = _mm256_cvtpd_epi32(_mm256_sub_pd(r, half));
  return _mm256_set_m128(_mm256_cvtpd_ps(_mm256_sub_pd(r, _mm256_cvtepi32_pd(i1))),
                         _mm256_cvtpd_ps(_mm256_sub_pd(q, _mm256_cvtepi32_pd(i0))));
}

// The two reads, four lanes (SSE2) and eight (AVX2), each lane as the serial
// read computes it.
struct TLinear {
  static constexpr double kLowest = 0.0;  // any position the chain may take
  static __m128 Four(const std::int16_t* data, __m128 scale, __m128d p01, __m128d p23) {
    return LinearMonoFour(data, scale, p01, p23);
  }
  RUMBLEON_AVX2 static __m256 Eight(const std::int16_t* data, __m256 scale, __m256d q, __m256d r) {
    __m128i i0, i1;
    const __m256 f = EightFrames(q, r, i0, i1);
    // Frames i and i + 1 of each lane in one 32-bit element (loads one by
    // one: a gather instruction is slower on current processors).
    const __m128i w0 = LinearMonoPairs(data, _mm_cvtsi128_si64(i0), _mm_extract_epi64(i0, 1));
    const __m128i w1 = LinearMonoPairs(data, _mm_cvtsi128_si64(i1), _mm_extract_epi64(i1, 1));
    const __m256i w = _mm256_set_m128i(w1, w0);
    const __m256 d0 = _mm256_cvtepi32_ps(_mm256_srai_epi32(_mm256_slli_epi32(w, 16), 16));
    const __m256 d1 = _mm256_cvtepi32_ps(_mm256_srai_epi32(w, 16));
    return _mm256_mul_ps(_mm256_add_ps(_mm256_mul_ps(_mm256_sub_ps(_mm256_set1_ps(1.0f), f), d0),
                                       _mm256_mul_ps(f, d1)),
                         scale);
  }
};

struct TCubic {
  static constexpr double kLowest = 1.5;  // frame i - 1 is frame 0 or later
  static __m128 Four(const std::int16_t* data, __m128 scale, __m128d p01, __m128d p23) {
    return CubicMonoFour(data, scale, p01, p23);
  }
  // CubicHermite of frames x0..x3 at f, operation by operation, times scale.
  RUMBLEON_AVX2 static __m256 Hermite(__m256 x0, __m256 x1, __m256 x2, __m256 x3, __m256 f, __m256 scale) {
    const __m256 h = _mm256_set1_ps(0.5f);
    const __m256 a = _mm256_mul_ps(
        _mm256_add_ps(_mm256_sub_ps(_mm256_mul_ps(_mm256_set1_ps(3.0f), _mm256_sub_ps(x1, x2)), x0), x3), h);
    const __m256 b = _mm256_sub_ps(_mm256_add_ps(_mm256_mul_ps(_mm256_set1_ps(2.0f), x2), x0),
                                   _mm256_mul_ps(_mm256_add_ps(_mm256_mul_ps(_mm256_set1_ps(5.0f), x1), x3), h));
    const __m256 c = _mm256_mul_ps(_mm256_sub_ps(x2, x0), h);
    const __m256 f2 = _mm256_mul_ps(f, f);
    const __m256 y = _mm256_add_ps(
        _mm256_add_ps(_mm256_add_ps(_mm256_mul_ps(_mm256_mul_ps(a, f2), f), _mm256_mul_ps(b, f2)),
                      _mm256_mul_ps(c, f)),
        x1);
    return _mm256_mul_ps(y, scale);
  }
  RUMBLEON_AVX2 static __m256 Eight(const std::int16_t* data, __m256 scale, __m256d q, __m256d r) {
    __m128i i0, i1;
    const __m256 f = EightFrames(q, r, i0, i1);
    // Frames i - 1 .. i + 2 of each lane (one 64-bit load), then one register
    // per frame offset.
    auto four = [data](std::int32_t i) RUMBLEON_AVX2 {
      std::int64_t v;
      std::memcpy(&v, data + i - 1, sizeof v);
      return _mm_cvtsi64_si128(v);
    };
    auto rows = [&four](__m128i i, __m128i& lo, __m128i& hi) RUMBLEON_AVX2 {
      const __m128i ab = _mm_unpacklo_epi16(four(_mm_cvtsi128_si32(i)), four(_mm_extract_epi32(i, 1)));
      const __m128i cd = _mm_unpacklo_epi16(four(_mm_extract_epi32(i, 2)), four(_mm_extract_epi32(i, 3)));
      lo = _mm_unpacklo_epi32(ab, cd);  // frames i - 1 and i of the four lanes
      hi = _mm_unpackhi_epi32(ab, cd);  // frames i + 1 and i + 2
    };
    __m128i lo0, hi0, lo1, hi1;
    rows(i0, lo0, hi0);
    rows(i1, lo1, hi1);
    const __m256 x0 = _mm256_cvtepi32_ps(_mm256_cvtepi16_epi32(_mm_unpacklo_epi64(lo0, lo1)));
    const __m256 x1 = _mm256_cvtepi32_ps(_mm256_cvtepi16_epi32(_mm_unpackhi_epi64(lo0, lo1)));
    const __m256 x2 = _mm256_cvtepi32_ps(_mm256_cvtepi16_epi32(_mm_unpacklo_epi64(hi0, hi1)));
    const __m256 x3 = _mm256_cvtepi32_ps(_mm256_cvtepi16_epi32(_mm_unpackhi_epi64(hi0, hi1)));
    return Hermite(x0, x1, x2, x3, f, scale);
  }
  // Eight reads whose frames i - 1 .. i + 2 all lie within the sixteen from
  // the first lane's frame i - 1 (increments up to 11/7 frames): one load of
  // those sixteen, each lane's four picked from them in registers.
  RUMBLEON_AVX2 static __m256 EightInWindow(const std::int16_t* data, __m256 scale, __m256d q, __m256d r) {
    __m128i i0, i1;
    const __m256 f = EightFrames(q, r, i0, i1);
    const std::int32_t first = _mm_cvtsi128_si32(i0);
    const __m256i rel = _mm256_sub_epi32(_mm256_set_m128i(i1, i0), _mm256_set1_epi32(first));  // 0..12
    __m256i w;
    std::memcpy(&w, data + first - 1, sizeof w);
    const __m256 low = _mm256_cvtepi32_ps(_mm256_cvtepi16_epi32(_mm256_castsi256_si128(w)));
    const __m256 high = _mm256_cvtepi32_ps(_mm256_cvtepi16_epi32(_mm256_extracti128_si256(w, 1)));
    const __m256i seven = _mm256_set1_epi32(7);
    // Window value rel + k of each lane (the permutes read the index's low
    // three bits).
    auto pick = [&](int k) RUMBLEON_AVX2 {
      const __m256i at = _mm256_add_epi32(rel, _mm256_set1_epi32(k));
      return _mm256_blendv_ps(_mm256_permutevar8x32_ps(low, at), _mm256_permutevar8x32_ps(high, at),
                              _mm256_castsi256_ps(_mm256_cmpgt_epi32(at, seven)));
    };
    return Hermite(pick(0), pick(1), pick(2), pick(3), f, scale);
  }
};

template <class Read>
std::int32_t RunSse2(const std::int16_t* data, float scale, double& position, double increment, double limit,
                     float* out, std::int32_t count) {
  double step = 0, binadeEnd = 0;
  const double p = position;
  if (!(p >= Read::kLowest) || !ExactStep(p, increment, step, binadeEnd)) return 0;
  const double bound = limit < binadeEnd ? limit : binadeEnd;
  const __m128d step4 = _mm_set1_pd(4.0 * step);
  __m128d p01 = _mm_setr_pd(p, p + step);
  __m128d p23 = _mm_setr_pd(p + 2.0 * step, p + 3.0 * step);
  const __m128 s = _mm_set1_ps(scale);
  std::int32_t k = 0;
  for (; k + 4 <= count; k += 4) {
    const __m128d next = _mm_add_pd(p01, step4);
    if (!(_mm_cvtsd_f64(next) < bound)) break;
    _mm_storeu_ps(out + k, Read::Four(data, s, p01, p23));
    p01 = next;
    p23 = _mm_add_pd(p23, step4);
  }
  position = _mm_cvtsd_f64(p01);
  return k;
}

template <class Read>
RUMBLEON_AVX2 std::int32_t RunAvx2(const std::int16_t* data, float scale, double& position, double increment,
                                   double limit, float* out, std::int32_t count) {
  double step = 0, binadeEnd = 0;
  const double p = position;
  if (!(p >= Read::kLowest) || !ExactStep(p, increment, step, binadeEnd)) return 0;
  const double bound = limit < binadeEnd ? limit : binadeEnd;
  const __m256d step4 = _mm256_set1_pd(4.0 * step);
  __m256d q = _mm256_setr_pd(p, p + step, p + 2.0 * step, p + 3.0 * step);
  const __m128 s = _mm_set1_ps(scale);
  std::int32_t k = 0;
  // Eight per step while they last (the halves' work shared in wide
  // registers), then four.
  const __m256d step8 = _mm256_set1_pd(8.0 * step);
  const __m256 s8 = _mm256_set1_ps(scale);
  __m256d r = _mm256_add_pd(q, step4);
  if constexpr (requires { Read::EightInWindow(data, s8, q, r); }) {
    // While a group's frames fit one window that ends at most at frame
    // limit + 1 (the serial reads' last).
    if (7.0 * step <= 11.0) {
      const double windowBound = limit - 14.0;
      for (; k + 8 <= count; k += 8) {
        const __m256d next = _mm256_add_pd(q, step8);
        if (!(_mm256_cvtsd_f64(next) < bound) || !(_mm256_cvtsd_f64(q) < windowBound)) break;
        _mm256_storeu_ps(out + k, Read::EightInWindow(data, s8, q, r));
        q = next;
        r = _mm256_add_pd(r, step8);
      }
    }
  }
  for (; k + 8 <= count; k += 8) {
    const __m256d next = _mm256_add_pd(q, step8);
    if (!(_mm256_cvtsd_f64(next) < bound)) break;
    _mm256_storeu_ps(out + k, Read::Eight(data, s8, q, r));
    q = next;
    r = _mm256_add_pd(r, step8);
  }
  for (; k + 4 <= count; k += 4) {
    const __m256d next = _mm256_add_pd(q, step4);
    if (!(_mm256_cvtsd_f64(next) < bound)) break;
    _mm_storeu_ps(out + k, Read::Four(data, s, _mm256_castpd256_pd128(q), _mm256_extractf128_pd(q, 1)));
    q = next;
  }
  position = _mm256_cvtsd_f64(q);
  return k;
}

#undef RUMBLEON_AVX2

bool HasAvx2() { return CpuFeatures().Avx2; }

}  // namespace

// SSE2 until the load-time choice puts AVX2 in place where the processor
// has it (both give the same results).
TLinearMonoRun ReadLinearMonoRun = &RunSse2<TLinear>;
TLinearMonoRun ReadCubicMonoRun = &RunSse2<TCubic>;
namespace {
const bool kMonoRunsChosen = [] {
  if (HasAvx2()) {
    ReadLinearMonoRun = &RunAvx2<TLinear>;
    ReadCubicMonoRun = &RunAvx2<TCubic>;
  }
  return true;
}();
}  // namespace

TLinearMonoRun LinearMonoRunSse2() { return &RunSse2<TLinear>; }
TLinearMonoRun LinearMonoRunAvx2() { return HasAvx2() ? &RunAvx2<TLinear> : nullptr; }
TLinearMonoRun CubicMonoRunSse2() { return &RunSse2<TCubic>; }
TLinearMonoRun CubicMonoRunAvx2() { return HasAvx2() ? &RunAvx2<TCubic> : nullptr; }
