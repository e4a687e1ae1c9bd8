#include "dsp/sampler/linear_reads.h"

#include <immintrin.h>

#include <bit>

#include "platform/cpu_features.h"

namespace {

// The step every position of the binade of p takes, and the binade's upper
// end; false when the chain has to stay serial (see the header). Inlined:
// a call from the wide runs into this (legacy SSE) code, with the upper
// halves of the wide registers in use, costs a state transition each time.
[[gnu::always_inline]] inline bool ExactStep(double p, double increment, double& step, double& binadeEnd) {
  if (!(p > 0.0)) return false;
  const std::uint64_t exponent = std::bit_cast<std::uint64_t>(p) >> 52;
  // The unit 2^(e - 52) must be a normal number; an infinite p has none.
  if (exponent <= 52 || exponent >= 2047) return false;
  const double unit = std::bit_cast<double>((exponent - 52) << 52);
  binadeEnd = std::bit_cast<double>((exponent + 1) << 52);
  step = (p + increment) - p;
  // increment - step is exact (both multiples of increment's unit, at most
  // half of u apart); exactly half of u is the tie, regular from an even
  // multiple of u (the sums round to even multiples, the steps are even).
  const double off = 2.0 * (increment - step);
  return (off != unit && off != -unit) || (std::bit_cast<std::uint64_t>(p) & 1) == 0;
}

struct TLinearFour {
  static constexpr double kLowest = 0.0;  // any position the chain may take
  static __m128 Four(const std::int16_t* data, __m128 scale, __m128d p01, __m128d p23) {
    return LinearMonoFour(data, scale, p01, p23);
  }
};

struct TCubicFour {
  static constexpr double kLowest = 1.5;  // frame i - 1 is frame 0 or later
  static __m128 Four(const std::int16_t* data, __m128 scale, __m128d p01, __m128d p23) {
    return CubicMonoFour(data, scale, p01, p23);
  }
};

template <class Read>
std::int32_t RunSse2(const std::int16_t* data, float scale, double& position, double increment, double limit,
                     double /*loopLength*/, float* out, std::int32_t count) {
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

// The eight-wide reads and their runs, for AVX2 and for AVX-512 (clang takes
// the target as an attribute on every function of the region).
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2")
#endif
namespace avx2 {
#include "dsp/sampler/linear_reads_wide.inc"
}  // namespace avx2
#if defined(__clang__)
#pragma clang attribute pop
#pragma clang attribute push(__attribute__((target("avx2,avx512f,avx512vl"))), apply_to = function)
#else
#pragma GCC pop_options
#pragma GCC push_options
#pragma GCC target("avx2,avx512f,avx512vl")
#endif
namespace avx512 {
#define RUMBLEON_LINEAR_READS_WIDE
#include "dsp/sampler/linear_reads_wide.inc"
#undef RUMBLEON_LINEAR_READS_WIDE
}  // namespace avx512
#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

bool HasAvx2() { return CpuFeatures().Avx2; }
bool HasAvx512() { return CpuFeatures().Avx512; }

}  // namespace

// SSE2 until the load-time choice puts AVX2 (for the cubic reads AVX-512)
// in place where the processor has it (all give the same results).
TLinearMonoRun ReadLinearMonoRun = &RunSse2<TLinearFour>;
TLinearMonoRun ReadCubicMonoRun = &RunSse2<TCubicFour>;
namespace {
const bool kMonoRunsChosen = [] {
  if (HasAvx2()) {
    ReadLinearMonoRun = &avx2::RunAvx2<avx2::TLinear>;
    ReadCubicMonoRun = HasAvx512() ? &avx512::RunAvx2<avx512::TCubic> : &avx2::RunAvx2<avx2::TCubic>;
  }
  return true;
}();
}  // namespace

TLinearMonoRun LinearMonoRunSse2() { return &RunSse2<TLinearFour>; }
TLinearMonoRun LinearMonoRunAvx2() { return HasAvx2() ? &avx2::RunAvx2<avx2::TLinear> : nullptr; }
TLinearMonoRun CubicMonoRunSse2() { return &RunSse2<TCubicFour>; }
TLinearMonoRun CubicMonoRunAvx2() { return HasAvx2() ? &avx2::RunAvx2<avx2::TCubic> : nullptr; }
TLinearMonoRun CubicMonoRunAvx512() { return HasAvx512() ? &avx512::RunAvx2<avx512::TCubic> : nullptr; }
