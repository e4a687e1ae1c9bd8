#include "dsp/filters/filter_lanes.h"

#include <emmintrin.h>

#include <algorithm>
#include <cstring>
#include <type_traits>

#include "dsp/filters/direct_form_filter.h"
#include "dsp/filters/resonant_filters.h"

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

// All bits set in the lanes of v that are zero or denormal (what Flush
// changes).
inline __m128 Tiny(__m128 v) {
  const __m128i exponent = _mm_set1_epi32(0x7F800000);
  return _mm_castsi128_ps(_mm_cmpeq_epi32(_mm_and_si128(_mm_castps_si128(v), exponent), _mm_setzero_si128()));
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

// T24DBResonantFilter2::Step<Output> in four lanes. Without Flushing the
// flushes are left out of the recursion (they lie on its critical path) and
// every value they would have looked at is checked instead: when none was
// zero or denormal, each flush was the identity and the result is exact;
// otherwise Tiny tells the caller to run the flushing form.
template <T24DBResonantFilter2::TOutput Output, bool Flushing>
struct TLadderKernel {
  using TFilter = T24DBResonantFilter2;
  struct TState {
    __m128 P, K, Feedback, B0, B1, B2, B3, B4;
    __m128 Tiny;  // all bits set in lanes that met a zero or denormal
  };
  static TFilter* Cast(TDSPFilter& f) { return static_cast<TFilter*>(&f); }
  static TState Load(TFilter* const* f) {
    return {Gather(f, [](TFilter& d) { return d.P; }),  Gather(f, [](TFilter& d) { return d.K; }),
            Gather(f, [](TFilter& d) { return d.Feedback; }), Gather(f, [](TFilter& d) { return d.B0; }),
            Gather(f, [](TFilter& d) { return d.B1; }), Gather(f, [](TFilter& d) { return d.B2; }),
            Gather(f, [](TFilter& d) { return d.B3; }), Gather(f, [](TFilter& d) { return d.B4; }),
            _mm_setzero_ps()};
  }
  static void Store(TFilter* const* f, const TState& s) {
    Scatter(f, s.B0, [](TFilter& d, float v) { d.B0 = v; });
    Scatter(f, s.B1, [](TFilter& d, float v) { d.B1 = v; });
    Scatter(f, s.B2, [](TFilter& d, float v) { d.B2 = v; });
    Scatter(f, s.B3, [](TFilter& d, float v) { d.B3 = v; });
    Scatter(f, s.B4, [](TFilter& d, float v) { d.B4 = v; });
  }
  static __m128 Flushed(TState& s, __m128 v) {
    if constexpr (Flushing) {
      return Flush(v);
    } else {
      s.Tiny = _mm_or_ps(s.Tiny, Tiny(v));
      return v;
    }
  }
  // lanes: the bits of the lanes in use.
  static bool MetTiny(const TState& s, int lanes) { return (_mm_movemask_ps(s.Tiny) & lanes) != 0; }
  static __m128 Step(TState& s, __m128 x) {
    const __m128 u = _mm_sub_ps(_mm_mul_ps(_mm_set1_ps(0.001f), x), _mm_mul_ps(s.Feedback, s.B4));
    __m128 t1 = s.B1;
    s.B1 = Flushed(s, _mm_sub_ps(_mm_mul_ps(_mm_add_ps(u, s.B0), s.P), _mm_mul_ps(s.B1, s.K)));
    const __m128 t2 = s.B2;
    s.B2 = Flushed(s, _mm_sub_ps(_mm_mul_ps(_mm_add_ps(s.B1, t1), s.P), _mm_mul_ps(s.B2, s.K)));
    t1 = s.B3;
    s.B3 = Flushed(s, _mm_sub_ps(_mm_mul_ps(_mm_add_ps(s.B2, t2), s.P), _mm_mul_ps(s.B3, s.K)));
    __m128 b4 = _mm_sub_ps(_mm_mul_ps(_mm_add_ps(s.B3, t1), s.P), _mm_mul_ps(s.B4, s.K));
    // b4 - ((b4 b4) b4) 0.166667
    b4 = Flushed(s, _mm_sub_ps(b4, _mm_mul_ps(_mm_mul_ps(_mm_mul_ps(b4, b4), b4), _mm_set1_ps(0.166667f))));
    s.B4 = b4;
    s.B0 = u;
    if constexpr (Output == TFilter::kLowPass) return _mm_mul_ps(_mm_set1_ps(1000.0f), b4);
    if constexpr (Output == TFilter::kHighPass) return _mm_mul_ps(_mm_set1_ps(1000.0f), _mm_sub_ps(u, b4));
    return _mm_mul_ps(_mm_set1_ps(1000.0f * 3.0f), _mm_sub_ps(s.B3, b4));
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
  using TOut = T24DBResonantFilter2;
  RunKind<TDirectFormKernel>(byKind[static_cast<int>(TLaneKind::kDirectForm)],
                             bufferByKind[static_cast<int>(TLaneKind::kDirectForm)],
                             counts[static_cast<int>(TLaneKind::kDirectForm)], n);
  RunKind<TLadderKernel<TOut::kLowPass, false>, TLadderKernel<TOut::kLowPass, true>>(byKind[static_cast<int>(TLaneKind::kLadderLowPass)],
                                         bufferByKind[static_cast<int>(TLaneKind::kLadderLowPass)],
                                         counts[static_cast<int>(TLaneKind::kLadderLowPass)], n);
  RunKind<TLadderKernel<TOut::kHighPass, false>, TLadderKernel<TOut::kHighPass, true>>(byKind[static_cast<int>(TLaneKind::kLadderHighPass)],
                                          bufferByKind[static_cast<int>(TLaneKind::kLadderHighPass)],
                                          counts[static_cast<int>(TLaneKind::kLadderHighPass)], n);
  RunKind<TLadderKernel<TOut::kBandPass, false>, TLadderKernel<TOut::kBandPass, true>>(byKind[static_cast<int>(TLaneKind::kLadderBandPass)],
                                          bufferByKind[static_cast<int>(TLaneKind::kLadderBandPass)],
                                          counts[static_cast<int>(TLaneKind::kLadderBandPass)], n);
}
