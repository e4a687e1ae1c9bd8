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

std::int32_t RunSse2(const std::int16_t* data, float scale, double& position, double increment, double limit,
                     float* out, std::int32_t count) {
  double step = 0, binadeEnd = 0;
  const double p = position;
  if (!ExactStep(p, increment, step, binadeEnd)) return 0;
  const double bound = limit < binadeEnd ? limit : binadeEnd;
  const __m128d step4 = _mm_set1_pd(4.0 * step);
  __m128d p01 = _mm_setr_pd(p, p + step);
  __m128d p23 = _mm_setr_pd(p + 2.0 * step, p + 3.0 * step);
  const __m128 s = _mm_set1_ps(scale);
  std::int32_t k = 0;
  for (; k + 4 <= count; k += 4) {
    const __m128d next = _mm_add_pd(p01, step4);
    if (!(_mm_cvtsd_f64(next) < bound)) break;
    _mm_storeu_ps(out + k, LinearMonoFour(data, s, p01, p23));
    p01 = next;
    p23 = _mm_add_pd(p23, step4);
  }
  position = _mm_cvtsd_f64(p01);
  return k;
}

__attribute__((target("avx2"))) std::int32_t RunAvx2(const std::int16_t* data, float scale, double& position,
                                                     double increment, double limit, float* out,
                                                     std::int32_t count) {
  double step = 0, binadeEnd = 0;
  const double p = position;
  if (!ExactStep(p, increment, step, binadeEnd)) return 0;
  const double bound = limit < binadeEnd ? limit : binadeEnd;
  const __m256d step4 = _mm256_set1_pd(4.0 * step);
  __m256d q = _mm256_setr_pd(p, p + step, p + 2.0 * step, p + 3.0 * step);
  const __m256d half = _mm256_set1_pd(0.5);
  const __m128 s = _mm_set1_ps(scale);
  const __m128 one = _mm_set1_ps(1.0f);
  std::int32_t k = 0;
  // Eight per step while they last (the halves' work shared in wide
  // registers), then four.
  const __m256d step8 = _mm256_set1_pd(8.0 * step);
  const __m256 s8 = _mm256_set1_ps(scale);
  const __m256 one8 = _mm256_set1_ps(1.0f);
  __m256d r = _mm256_add_pd(q, step4);
  for (; k + 8 <= count; k += 8) {
    const __m256d next = _mm256_add_pd(q, step8);
    if (!(_mm256_cvtsd_f64(next) < bound)) break;
    const __m128i i0 = _mm256_cvtpd_epi32(_mm256_sub_pd(q, half));
    const __m128i i1 = _mm256_cvtpd_epi32(_mm256_sub_pd(r, half));
    const __m256 f = _mm256_set_m128(_mm256_cvtpd_ps(_mm256_sub_pd(r, _mm256_cvtepi32_pd(i1))),
                                     _mm256_cvtpd_ps(_mm256_sub_pd(q, _mm256_cvtepi32_pd(i0))));
    const __m128i w0 = LinearMonoPairs(data, _mm_cvtsi128_si64(i0), _mm_extract_epi64(i0, 1));
    const __m128i w1 = LinearMonoPairs(data, _mm_cvtsi128_si64(i1), _mm_extract_epi64(i1, 1));
    const __m256i w = _mm256_set_m128i(w1, w0);
    const __m256 d0 = _mm256_cvtepi32_ps(_mm256_srai_epi32(_mm256_slli_epi32(w, 16), 16));
    const __m256 d1 = _mm256_cvtepi32_ps(_mm256_srai_epi32(w, 16));
    _mm256_storeu_ps(out + k, _mm256_mul_ps(_mm256_add_ps(_mm256_mul_ps(_mm256_sub_ps(one8, f), d0),
                                                          _mm256_mul_ps(f, d1)),
                                            s8));
    q = next;
    r = _mm256_add_pd(r, step8);
  }
  for (; k + 4 <= count; k += 4) {
    const __m256d next = _mm256_add_pd(q, step4);
    if (!(_mm256_cvtsd_f64(next) < bound)) break;
    const __m128i i = _mm256_cvtpd_epi32(_mm256_sub_pd(q, half));
    const __m128 f = _mm256_cvtpd_ps(_mm256_sub_pd(q, _mm256_cvtepi32_pd(i)));
    // Frames i and i + 1 of each lane in one 32-bit element (loads one by
    // one: a gather instruction is slower on current processors).
    const __m128i w = LinearMonoPairs(data, _mm_cvtsi128_si64(i), _mm_extract_epi64(i, 1));
    const __m128 d0 = _mm_cvtepi32_ps(_mm_srai_epi32(_mm_slli_epi32(w, 16), 16));
    const __m128 d1 = _mm_cvtepi32_ps(_mm_srai_epi32(w, 16));
    _mm_storeu_ps(out + k, _mm_mul_ps(_mm_add_ps(_mm_mul_ps(_mm_sub_ps(one, f), d0), _mm_mul_ps(f, d1)), s));
    q = next;
  }
  position = _mm256_cvtsd_f64(q);
  return k;
}

bool HasAvx2() { return CpuFeatures().Avx2; }

}  // namespace

// SSE2 until the load-time choice puts AVX2 in place where the processor
// has it (both give the same results).
TLinearMonoRun ReadLinearMonoRun = &RunSse2;
namespace {
const bool kLinearMonoRunChosen = [] {
  if (HasAvx2()) ReadLinearMonoRun = &RunAvx2;
  return true;
}();
}  // namespace

TLinearMonoRun LinearMonoRunSse2() { return &RunSse2; }
TLinearMonoRun LinearMonoRunAvx2() { return HasAvx2() ? &RunAvx2 : nullptr; }
