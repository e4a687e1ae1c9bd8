// Reads of a mono 16-bit sample by 2-point or cubic interpolation along a
// run of positions, four or eight at a time, without the serial chain of
// position additions: the same values as
//   for (k = 0; k < count; ++k) { out[k] = Mono2PointAt(data, p, scale); p += increment; }
// (MonoCubicAt for the cubic runs) bit for bit, positions included.
//
// Why the chain can go: while p stays inside one binade [2^e, 2^(e+1)) every
// sum p + increment rounds to a multiple of the binade's unit u, so each
// step adds the same amount s = (p + increment) - p (exact). Where
// increment lies exactly halfway between two multiples of u, each sum rounds
// to the even multiple (ties to even): from a p that is an even multiple
// every sum is even again and the step is the same even amount, so the
// chain is as regular (from an odd p the first step is left to the caller).
// Inside the binade p + k s is exact, so the positions of a run are p0 + k s,
// computed side by side.
//
// Audio thread; allocates nothing. Chosen at load time: an AVX2 form where
// the processor has it, SSE2 otherwise (both give the same results).
#pragma once

#include <emmintrin.h>

#include <cstdint>
#include <cstring>

// Reads groups of four while the position after each group stays below
// `limit` (and inside the starting position's binade), at most `count`
// samples (a multiple of four) into out. Answers the samples read (a
// multiple of four, maybe 0: a group that would cross the limit or the
// binade, a zero or non-normal position, or an increment halfway between
// units from an odd multiple, is left to the caller's serial step; so is a cubic run starting
// below frame 1.5, whose frame i - 1 would be clamped) and moves position
// past them. increment: finite and >= 0. loopLength > 0: a forward loop
// ends at limit, and a position that reaches it goes back by loopLength
// (as WrapForward; one that would still lie past the limit is left to the
// caller); the AVX2 forms then read on across the wrap and across binades,
// the SSE2 forms stop there as without a loop. The cubic runs load whole windows
// of frames: data must be readable up to frame limit + kReadableBeyond - 1
// (a sample keeps spare zero frames after its end; what lies past frame
// limit + 1 never reaches a result).
constexpr std::int32_t kReadableBeyond = 32;
using TLinearMonoRun = std::int32_t (*)(const std::int16_t* data, float scale, double& position, double increment,
                                        double limit, double loopLength, float* out, std::int32_t count);

extern TLinearMonoRun ReadLinearMonoRun;
extern TLinearMonoRun ReadCubicMonoRun;

// The forms, for the tests: SSE2 always, AVX2 and AVX-512 (null without it).
TLinearMonoRun LinearMonoRunSse2();
TLinearMonoRun LinearMonoRunAvx2();
TLinearMonoRun CubicMonoRunSse2();
TLinearMonoRun CubicMonoRunAvx2();
TLinearMonoRun CubicMonoRunAvx512();

// Frames i and i + 1 in the low 32 bits (little-endian: frame i low).
inline __m128i LinearMonoPair(const std::int16_t* data, std::int32_t i) {
  std::int32_t v;
  std::memcpy(&v, data + i, sizeof v);
  return _mm_cvtsi32_si128(v);
}

// The frame pairs of four indices (two per 64-bit value, the first low).
inline __m128i LinearMonoPairs(const std::int16_t* data, std::int64_t k01, std::int64_t k23) {
  return _mm_unpacklo_epi64(_mm_unpacklo_epi32(LinearMonoPair(data, static_cast<std::int32_t>(k01)),
                                               LinearMonoPair(data, static_cast<std::int32_t>(k01 >> 32))),
                            _mm_unpacklo_epi32(LinearMonoPair(data, static_cast<std::int32_t>(k23)),
                                               LinearMonoPair(data, static_cast<std::int32_t>(k23 >> 32))));
}

// Four reads at the positions p01, p23, as Mono2PointAt (SSE2): the index rounds as SampleFloor
// (in the current rounding mode), the fraction in double, then float.
inline __m128 LinearMonoFour(const std::int16_t* data, __m128 scale, __m128d p01, __m128d p23) {
  const __m128d half = _mm_set1_pd(0.5);
  const __m128i i01 = _mm_cvtpd_epi32(_mm_sub_pd(p01, half));
  const __m128i i23 = _mm_cvtpd_epi32(_mm_sub_pd(p23, half));
  const __m128 f = _mm_movelh_ps(_mm_cvtpd_ps(_mm_sub_pd(p01, _mm_cvtepi32_pd(i01))),
                                 _mm_cvtpd_ps(_mm_sub_pd(p23, _mm_cvtepi32_pd(i23))));
  const __m128i w = LinearMonoPairs(data, _mm_cvtsi128_si64(i01), _mm_cvtsi128_si64(i23));
  const __m128 d0 = _mm_cvtepi32_ps(_mm_srai_epi32(_mm_slli_epi32(w, 16), 16));
  const __m128 d1 = _mm_cvtepi32_ps(_mm_srai_epi32(w, 16));
  return _mm_mul_ps(_mm_add_ps(_mm_mul_ps(_mm_sub_ps(_mm_set1_ps(1.0f), f), d0), _mm_mul_ps(f, d1)), scale);
}

// Four "Cubic" reads of a mono sample at the positions p01, p23, as
// MonoCubicAt (SSE2, the same operations in the same order, so the same
// values bit for bit). Every position must be at least 1.5 (its frame i - 1
// is then frame 0 or later: the clamp of the first frame is left to the
// serial read).
inline __m128 CubicMonoFour(const std::int16_t* data, __m128 scale, __m128d p01, __m128d p23) {
  const __m128d half = _mm_set1_pd(0.5);
  const __m128i i01 = _mm_cvtpd_epi32(_mm_sub_pd(p01, half));
  const __m128i i23 = _mm_cvtpd_epi32(_mm_sub_pd(p23, half));
  const __m128 f = _mm_movelh_ps(_mm_cvtpd_ps(_mm_sub_pd(p01, _mm_cvtepi32_pd(i01))),
                                 _mm_cvtpd_ps(_mm_sub_pd(p23, _mm_cvtepi32_pd(i23))));
  // Frames i - 1 .. i + 2 of each lane, then one register per frame offset.
  auto four = [data](std::int32_t i) {
    std::int64_t v;
    std::memcpy(&v, data + i - 1, sizeof v);
    return _mm_cvtsi64_si128(v);
  };
  const __m128i ab = _mm_unpacklo_epi16(four(_mm_cvtsi128_si32(i01)), four(_mm_cvtsi128_si32(_mm_srli_si128(i01, 4))));
  const __m128i cd = _mm_unpacklo_epi16(four(_mm_cvtsi128_si32(i23)), four(_mm_cvtsi128_si32(_mm_srli_si128(i23, 4))));
  const __m128i lo = _mm_unpacklo_epi32(ab, cd);  // frames i - 1 and i of lanes 0..3
  const __m128i hi = _mm_unpackhi_epi32(ab, cd);  // frames i + 1 and i + 2
  const __m128 x0 = _mm_cvtepi32_ps(_mm_srai_epi32(_mm_unpacklo_epi16(lo, lo), 16));
  const __m128 x1 = _mm_cvtepi32_ps(_mm_srai_epi32(_mm_unpackhi_epi16(lo, lo), 16));
  const __m128 x2 = _mm_cvtepi32_ps(_mm_srai_epi32(_mm_unpacklo_epi16(hi, hi), 16));
  const __m128 x3 = _mm_cvtepi32_ps(_mm_srai_epi32(_mm_unpackhi_epi16(hi, hi), 16));
  const __m128 h = _mm_set1_ps(0.5f);
  const __m128 a = _mm_mul_ps(_mm_add_ps(_mm_sub_ps(_mm_mul_ps(_mm_set1_ps(3.0f), _mm_sub_ps(x1, x2)), x0), x3), h);
  const __m128 b = _mm_sub_ps(_mm_add_ps(_mm_mul_ps(_mm_set1_ps(2.0f), x2), x0),
                              _mm_mul_ps(_mm_add_ps(_mm_mul_ps(_mm_set1_ps(5.0f), x1), x3), h));
  const __m128 c = _mm_mul_ps(_mm_sub_ps(x2, x0), h);
  const __m128 f2 = _mm_mul_ps(f, f);
  const __m128 y =
      _mm_add_ps(_mm_add_ps(_mm_add_ps(_mm_mul_ps(_mm_mul_ps(a, f2), f), _mm_mul_ps(b, f2)), _mm_mul_ps(c, f)), x1);
  return _mm_mul_ps(y, scale);
}
