#include "dsp/filters/filter_lanes.h"

#include <immintrin.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <type_traits>

#include "dsp/filters/direct_form_filter.h"
#include "dsp/filters/resonant_filters.h"
#include "platform/cpu_features.h"

namespace {

using TLaneKind = TDSPFilter::TLaneKind;

// Zero or denormal (exponent bits all clear) becomes +0, as FlushTiny.
inline __m128 Flush(__m128 v) {
  const __m128i exponent = _mm_set1_epi32(0x7F800000);
  const __m128i tiny = _mm_cmpeq_epi32(_mm_and_si128(_mm_castps_si128(v), exponent), _mm_setzero_si128());
  return _mm_andnot_ps(_mm_castsi128_ps(tiny), v);
}

// All bits set in the lanes of v that are not finite.
inline __m128 NotFinite(__m128 v) {
  const __m128i exponent = _mm_set1_epi32(0x7F800000);
  return _mm_castsi128_ps(_mm_cmpeq_epi32(_mm_and_si128(_mm_castps_si128(v), exponent), exponent));
}

// Gathers one field of four filters (a null filter gives 0).
template <class F, class Get>
__m128 Gather(F* const* f, Get get) {
  alignas(16) float v[4];
  for (int l = 0; l < 4; ++l) v[l] = f[l] != nullptr ? get(*f[l]) : 0.0f;
  return _mm_load_ps(v);
}

template <class F, class Set>
void Scatter(F* const* f, __m128 value, Set set) {
  alignas(16) float v[4];
  _mm_store_ps(v, value);
  for (int l = 0; l < 4; ++l)
    if (f[l] != nullptr) set(*f[l], v[l]);
}

// TDSPDirectFormFilter::Step in four lanes, each with its own input.
struct TDirectFormKernel {
  using TFilter = TDSPDirectFormFilter;
  struct TState {
    __m128 B0, B1, B2, A1, A2, X1, X2, Y1, Y2;
  };
  static TFilter* Cast(TDSPFilter& f) { return f.AsDirectForm(); }
  static TState Load(TFilter* const* f) {
    return {Gather(f, [](TFilter& d) { return d.B0; }), Gather(f, [](TFilter& d) { return d.B1; }),
            Gather(f, [](TFilter& d) { return d.B2; }), Gather(f, [](TFilter& d) { return d.A1; }),
            Gather(f, [](TFilter& d) { return d.A2; }), Gather(f, [](TFilter& d) { return d.X1; }),
            Gather(f, [](TFilter& d) { return d.X2; }), Gather(f, [](TFilter& d) { return d.Y1; }),
            Gather(f, [](TFilter& d) { return d.Y2; })};
  }
  static void Store(TFilter* const* f, const TState& s) {
    Scatter(f, s.X1, [](TFilter& d, float v) { d.X1 = v; });
    Scatter(f, s.X2, [](TFilter& d, float v) { d.X2 = v; });
    Scatter(f, s.Y1, [](TFilter& d, float v) { d.Y1 = v; });
    Scatter(f, s.Y2, [](TFilter& d, float v) { d.Y2 = v; });
  }
  static bool MetTiny(const TState&, int) { return false; }
  // FlushTiny(((((B0 x + B1 X1) + B2 X2) - A1 Y1) - A2 Y2).
  static __m128 Step(TState& s, __m128 x) {
    __m128 t = _mm_add_ps(_mm_mul_ps(s.B0, x), _mm_mul_ps(s.B1, s.X1));
    t = _mm_add_ps(t, _mm_mul_ps(s.B2, s.X2));
    t = _mm_sub_ps(t, _mm_mul_ps(s.A1, s.Y1));
    t = _mm_sub_ps(t, _mm_mul_ps(s.A2, s.Y2));
    const __m128 y = Flush(t);
    s.X2 = s.X1;
    s.X1 = x;
    s.Y2 = s.Y1;
    s.Y1 = y;
    return y;
  }
};

alignas(16) const float kSilence[kMaxLaneSamples] = {};
// Filters per group: four registers of four lanes.
constexpr std::int32_t kGroup = 16;

// One group of up to sixteen filters of one kernel's class (banks of four
// lanes). Outputs go to scratch first: a group with a non-finite output
// leaves filters and buffers as they were and answers false.
template <class K, int Banks>
bool RunGroup(TDSPFilter* const* filters, float* const* buffers, std::int32_t count, std::int32_t n) {
  using TFilter = typename K::TFilter;
  alignas(16) float out[4 * Banks][kMaxLaneSamples];
  TFilter* f[4 * Banks];
  const float* in[4 * Banks];
  for (std::int32_t l = 0; l < 4 * Banks; ++l) {
    f[l] = l < count ? K::Cast(*filters[l]) : nullptr;
    in[l] = l < count ? buffers[l] : kSilence;
  }
  typename K::TState s[Banks];
  for (int b = 0; b < Banks; ++b) s[b] = K::Load(f + 4 * b);
  __m128 bad = _mm_setzero_ps();
  std::int32_t i = 0;
  for (; i + 4 <= n; i += 4) {
    for (int b = 0; b < Banks; ++b) {
      const float* const* src = in + 4 * b;
      __m128 x0 = _mm_loadu_ps(src[0] + i), x1 = _mm_loadu_ps(src[1] + i);
      __m128 x2 = _mm_loadu_ps(src[2] + i), x3 = _mm_loadu_ps(src[3] + i);
      _MM_TRANSPOSE4_PS(x0, x1, x2, x3);  // x_k: sample i + k of the four lanes
      __m128 y0 = K::Step(s[b], x0);
      __m128 y1 = K::Step(s[b], x1);
      __m128 y2 = K::Step(s[b], x2);
      __m128 y3 = K::Step(s[b], x3);
      bad = _mm_or_ps(bad, _mm_or_ps(_mm_or_ps(NotFinite(y0), NotFinite(y1)), _mm_or_ps(NotFinite(y2), NotFinite(y3))));
      _MM_TRANSPOSE4_PS(y0, y1, y2, y3);
      _mm_store_ps(out[4 * b] + i, y0);
      _mm_store_ps(out[4 * b + 1] + i, y1);
      _mm_store_ps(out[4 * b + 2] + i, y2);
      _mm_store_ps(out[4 * b + 3] + i, y3);
    }
  }
  for (; i < n; ++i) {
    for (int b = 0; b < Banks; ++b) {
      const float* const* src = in + 4 * b;
      const __m128 y = K::Step(s[b], _mm_setr_ps(src[0][i], src[1][i], src[2][i], src[3][i]));
      bad = _mm_or_ps(bad, NotFinite(y));
      alignas(16) float v[4];
      _mm_store_ps(v, y);
      for (int l = 0; l < 4; ++l) out[4 * b + l][i] = v[l];
    }
  }
  if (_mm_movemask_ps(bad) != 0) return false;
  for (int b = 0; b < Banks; ++b) {
    const std::int32_t used = std::clamp(count - 4 * b, 0, 4);
    if (K::MetTiny(s[b], (1 << used) - 1)) return false;
  }
  for (int b = 0; b < Banks; ++b) K::Store(f + 4 * b, s[b]);
  for (std::int32_t l = 0; l < count; ++l) std::memcpy(buffers[l], out[l], sizeof(float) * static_cast<std::size_t>(n));
  return true;
}

template <class K>
bool RunBanks(TDSPFilter* const* filters, float* const* buffers, std::int32_t count, std::int32_t n) {
  switch ((count + 3) / 4) {
    case 1:
      return RunGroup<K, 1>(filters, buffers, count, n);
    case 2:
      return RunGroup<K, 2>(filters, buffers, count, n);
    case 3:
      return RunGroup<K, 3>(filters, buffers, count, n);
    default:
      return RunGroup<K, 4>(filters, buffers, count, n);
  }
}

// Groups of up to sixteen (four registers whose recursions interleave). A
// group that answers false runs through Exact (the form that is exact in
// every case), and when that fails too, one filter at a time.
template <class K, class Exact = K>
void RunKind(TDSPFilter* const* filters, float* const* buffers, std::int32_t count, std::int32_t n) {
  for (std::int32_t first = 0; first < count; first += kGroup) {
    const std::int32_t group = std::min<std::int32_t>(kGroup, count - first);
    if (RunBanks<K>(filters + first, buffers + first, group, n)) continue;
    if constexpr (!std::is_same_v<K, Exact>) {
      if (RunBanks<Exact>(filters + first, buffers + first, group, n)) continue;
    }
    for (std::int32_t j = first; j < first + group; ++j) filters[j]->ProcessSamples(buffers[j], n);
  }
}

// ---- The ladder in lanes of each vector width

// The widest group any width takes.
constexpr std::int32_t kMaxLadderGroup = 32;

// SSE2 (every x86-64 processor): four lanes, four registers interleaved.
namespace sse {
struct V {
  using T = __m128;
  using TMask = __m128;  // all bits set in the marked lanes
  static constexpr int kLanes = 4;
  static constexpr int kBanks = 4;
  static T Set1(float a) { return _mm_set1_ps(a); }
  static T Add(T a, T b) { return _mm_add_ps(a, b); }
  static T Sub(T a, T b) { return _mm_sub_ps(a, b); }
  static T Mul(T a, T b) { return _mm_mul_ps(a, b); }
  static T Flush(T v) { return ::Flush(v); }
  static TMask NoMask() { return _mm_setzero_ps(); }
  // min(|v|, m): a NaN v leaves m.
  static T MinAbs(T m, T v) { return _mm_min_ps(_mm_and_ps(v, _mm_castsi128_ps(_mm_set1_epi32(0x7FFFFFFF))), m); }
  static unsigned BitsBelow(T v, float c) { return static_cast<unsigned>(_mm_movemask_ps(_mm_cmplt_ps(v, Set1(c)))); }
  static TMask OrNotFinite(TMask m, T v) { return _mm_or_ps(m, NotFinite(v)); }
  static unsigned Bits(TMask m) { return static_cast<unsigned>(_mm_movemask_ps(m)); }
  static T Combine(const __m128* q) { return q[0]; }
  static void Split(T v, __m128* q) { q[0] = v; }
};
#include "dsp/filters/filter_lanes.inc"
}  // namespace sse

// Eight lanes of AVX2 registers, chosen at run time. Compiled twice: for
// AVX2 (sixteen registers: two banks interleaved, as four would not stay in
// them) and for AVX-512 processors, whose thirty-two registers hold four
// banks (the same eight-lane operations, only more registers).
#define RUMBLEON_LADDER_AVX_V(BANKS)                                                                                 \
  struct V {                                                                                                         \
    using T = __m256;                                                                                                \
    using TMask = __m256;                                                                                            \
    static constexpr int kLanes = 8;                                                                                 \
    static constexpr int kBanks = BANKS;                                                                             \
    static T Set1(float a) { return _mm256_set1_ps(a); }                                                             \
    static T Add(T a, T b) { return _mm256_add_ps(a, b); }                                                           \
    static T Sub(T a, T b) { return _mm256_sub_ps(a, b); }                                                           \
    static T Mul(T a, T b) { return _mm256_mul_ps(a, b); }                                                           \
    static __m256 Tiny(T v) {                                                                                        \
      const __m256i exponent = _mm256_set1_epi32(0x7F800000);                                                        \
      return _mm256_castsi256_ps(                                                                                    \
          _mm256_cmpeq_epi32(_mm256_and_si256(_mm256_castps_si256(v), exponent), _mm256_setzero_si256()));           \
    }                                                                                                                \
    static T Flush(T v) { return _mm256_andnot_ps(Tiny(v), v); }                                                     \
    static TMask NoMask() { return _mm256_setzero_ps(); }                                                            \
    static T MinAbs(T m, T v) {                                                                                      \
      return _mm256_min_ps(_mm256_and_ps(v, _mm256_castsi256_ps(_mm256_set1_epi32(0x7FFFFFFF))), m);                 \
    }                                                                                                                \
    static unsigned BitsBelow(T v, float c) {                                                                        \
      return static_cast<unsigned>(_mm256_movemask_ps(_mm256_cmp_ps(v, Set1(c), _CMP_LT_OQ)));                       \
    }                                                                                                                \
    static TMask OrNotFinite(TMask m, T v) {                                                                         \
      const __m256i exponent = _mm256_set1_epi32(0x7F800000);                                                        \
      return _mm256_or_ps(                                                                                           \
          m, _mm256_castsi256_ps(_mm256_cmpeq_epi32(_mm256_and_si256(_mm256_castps_si256(v), exponent), exponent))); \
    }                                                                                                                \
    static unsigned Bits(TMask m) { return static_cast<unsigned>(_mm256_movemask_ps(m)); }                           \
    static T Combine(const __m128* q) { return _mm256_set_m128(q[1], q[0]); }                                        \
    static void Split(T v, __m128* q) {                                                                              \
      q[0] = _mm256_castps256_ps128(v);                                                                              \
      q[1] = _mm256_extractf128_ps(v, 1);                                                                            \
    }                                                                                                                \
  };

// The wider forms are compiled for their instruction sets (clang takes the
// target as an attribute on every function of the region).
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#else
#pragma GCC push_options
#pragma GCC target("avx2")
#endif
namespace avx2 {
RUMBLEON_LADDER_AVX_V(2)
#include "dsp/filters/filter_lanes.inc"
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
RUMBLEON_LADDER_AVX_V(4)
#include "dsp/filters/filter_lanes.inc"
}  // namespace avx512
#if defined(__clang__)
#pragma clang attribute pop
#else
#pragma GCC pop_options
#endif

#undef RUMBLEON_LADDER_AVX_V

using TLadderRun = bool (*)(float* const* rows, std::int32_t count, const float* const* in,
                            float (*out)[kMaxLaneSamples], std::int32_t n);
struct TLadderWidth {
  std::int32_t Group;  // filters per call
  TLadderRun Run[3];   // by output: low, high, band pass
};

#define RUMBLEON_LADDER_WIDTH(W)                                                                       \
  TLadderWidth {                                                                                       \
    W::V::kLanes *W::V::kBanks, {                                                                      \
      &W::RunLadders<T24DBResonantFilter2::kLowPass>, &W::RunLadders<T24DBResonantFilter2::kHighPass>, \
          &W::RunLadders<T24DBResonantFilter2::kBandPass>                                              \
    }                                                                                                  \
  }
const TLadderWidth kLadderWidths[3] = {RUMBLEON_LADDER_WIDTH(sse), RUMBLEON_LADDER_WIDTH(avx2),
                                       RUMBLEON_LADDER_WIDTH(avx512)};
#undef RUMBLEON_LADDER_WIDTH

bool HasLaneWidth(TLaneWidth width) {
  switch (width) {
    case TLaneWidth::kAvx2:
      return CpuFeatures().Avx2;
    case TLaneWidth::kAvx512:
      return CpuFeatures().Avx512;
    default:
      return true;
  }
}

TLaneWidth WidestLaneWidth() {
  if (HasLaneWidth(TLaneWidth::kAvx512)) return TLaneWidth::kAvx512;
  if (HasLaneWidth(TLaneWidth::kAvx2)) return TLaneWidth::kAvx2;
  return TLaneWidth::kSse;
}

// The width in use: SSE2 until the load-time choice below puts the widest
// in place (all widths give the same results); tests switch it.
const TLadderWidth* Ladder = &kLadderWidths[0];
const bool kLadderWidthChosen = [] {
  Ladder = &kLadderWidths[static_cast<int>(WidestLaneWidth())];
  return true;
}();

// Ladders of one output type in groups of the width's size. A group the
// lanes refuse (a non-finite output) runs one by one, each filter's own
// recovery.
void RunLadderKind(TDSPFilter* const* filters, float* const* buffers, std::int32_t count, std::int32_t n, int output) {
  // Four filters or fewer (one voice's pair) fill one SSE register: a wider
  // one would carry empty lanes through every transpose.
  const TLadderWidth& w = count <= 4 ? kLadderWidths[0] : *Ladder;
  alignas(16) float out[kMaxLadderGroup][kMaxLaneSamples];
  float unused[kMaxLadderGroup][8];
  float* rows[kMaxLadderGroup];
  const float* in[kMaxLadderGroup];
  for (std::int32_t first = 0; first < count; first += w.Group) {
    const std::int32_t group = std::min(w.Group, count - first);
    for (std::int32_t l = 0; l < w.Group; ++l) {
      if (l < group) {
        rows[l] = static_cast<T24DBResonantFilter2*>(filters[first + l])->LaneRow();
        in[l] = buffers[first + l];
      } else {
        std::fill_n(unused[l], 8, 0.0f);
        rows[l] = unused[l];
        in[l] = kSilence;
      }
    }
    if (w.Run[output](rows, group, in, out, n)) {
      // (A copy loop: the library's copy of these short rows starts slowly.)
      for (std::int32_t l = 0; l < group; ++l) {
        float* b = buffers[first + l];
        std::int32_t i = 0;
        for (; i + 4 <= n; i += 4) _mm_storeu_ps(b + i, _mm_load_ps(out[l] + i));
        for (; i < n; ++i) b[i] = out[l][i];
      }
      continue;
    }
    for (std::int32_t j = first; j < first + group; ++j) filters[j]->ProcessSamples(buffers[j], n);
  }
}

}  // namespace

void ProcessFiltersTogether(TDSPFilter* const* filters, float* const* buffers, std::int32_t count, std::int32_t n) {
  if (count <= 0 || n <= 0) return;
  if (n > kMaxLaneSamples || count > kMaxLaneFilters) {
    for (std::int32_t j = 0; j < count; ++j) filters[j]->ProcessSamples(buffers[j], n);
    return;
  }
  // Sorted by kind (the order between filters does not matter: each has its
  // own state and buffer).
  constexpr int kKinds = 5;
  TDSPFilter* byKind[kKinds][kMaxLaneFilters];
  float* bufferByKind[kKinds][kMaxLaneFilters];
  std::int32_t counts[kKinds] = {};
  for (std::int32_t j = 0; j < count; ++j) {
    const auto kind = static_cast<int>(filters[j]->LaneKind());
    byKind[kind][counts[kind]] = filters[j];
    bufferByKind[kind][counts[kind]++] = buffers[j];
  }
  for (std::int32_t j = 0; j < counts[0]; ++j) byKind[0][j]->ProcessSamples(bufferByKind[0][j], n);
  RunKind<TDirectFormKernel>(byKind[static_cast<int>(TLaneKind::kDirectForm)],
                             bufferByKind[static_cast<int>(TLaneKind::kDirectForm)],
                             counts[static_cast<int>(TLaneKind::kDirectForm)], n);
  const TLaneKind ladders[3] = {TLaneKind::kLadderLowPass, TLaneKind::kLadderHighPass, TLaneKind::kLadderBandPass};
  for (int output = 0; output < 3; ++output) {
    const auto kind = static_cast<int>(ladders[output]);
    RunLadderKind(byKind[kind], bufferByKind[kind], counts[kind], n, output);
  }
}

bool SelectLaneWidth(TLaneWidth width) {
  if (!HasLaneWidth(width)) return false;
  Ladder = &kLadderWidths[static_cast<int>(width)];
  return true;
}

TLaneWidth WidestLaneWidthHere() { return WidestLaneWidth(); }
