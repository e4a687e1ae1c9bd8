// Up to four direct-form I sections that read the same input, stepped
// together in the four lanes of SSE registers (SSE2, the x86-64 baseline).
// Each lane computes exactly what TDSPDirectFormFilter::Step computes: the
// same single-precision operations in the same order, no contraction, the
// same flush of zero and denormal results to +0. The outputs are therefore
// bit-identical to running the sections one after another; only the
// serial dependency of one section's recursion is shared by four.
//
// A section whose output goes non-finite needs the scalar path's recovery
// (the filter resets itself, see TDSPFilter::BindSteps): Run reports it and
// leaves the sections untouched, and the caller runs them one by one.
//
// Used on the audio thread by the effect that owns the sections.
#pragma once

#include <emmintrin.h>

#include <cstdint>

#include "dsp/filters/direct_form_filter.h"

struct TDirectFormLanes {
  static constexpr int kLanes = 4;

  // Lane l takes sections[l] for l < count (count 0..4); the other lanes run
  // a silent section (all zero). Copies coefficients and history.
  void Load(TDSPDirectFormFilter* const* sections, int count);
  // Writes the lanes' history back into the sections it was loaded from.
  void Store() const;

  alignas(16) float B0[kLanes], B1[kLanes], B2[kLanes], A1[kLanes], A2[kLanes];
  alignas(16) float X1[kLanes], X2[kLanes], Y1[kLanes], Y2[kLanes];
  TDSPDirectFormFilter* Sections[kLanes] = {};
  int Count = 0;
};

// A set of lanes with coefficients and history in registers, for loops
// that step it among other work (the caller checks LastFinite at the end
// and stores the history only then).
struct TDirectFormBank {
  explicit TDirectFormBank(const TDirectFormLanes& l)
      : B0(_mm_load_ps(l.B0)),
        B1(_mm_load_ps(l.B1)),
        B2(_mm_load_ps(l.B2)),
        A1(_mm_load_ps(l.A1)),
        A2(_mm_load_ps(l.A2)),
        X1(_mm_load_ps(l.X1)),
        X2(_mm_load_ps(l.X2)),
        Y1(_mm_load_ps(l.Y1)),
        Y2(_mm_load_ps(l.Y2)) {}

  // One sample of TDSPDirectFormFilter::Step in every lane:
  // FlushTiny(((((B0 x + B1 X1) + B2 X2) - A1 Y1) - A2 Y2).
  __m128 Step(__m128 x) {
    const __m128i exponent = _mm_set1_epi32(0x7F800000);
    __m128 t = _mm_add_ps(_mm_mul_ps(B0, x), _mm_mul_ps(B1, X1));
    t = _mm_add_ps(t, _mm_mul_ps(B2, X2));
    t = _mm_sub_ps(t, _mm_mul_ps(A1, Y1));
    t = _mm_sub_ps(t, _mm_mul_ps(A2, Y2));
    // Zero or denormal (exponent bits all clear) becomes +0.
    const __m128i tiny = _mm_cmpeq_epi32(_mm_and_si128(_mm_castps_si128(t), exponent), _mm_setzero_si128());
    const __m128 y = _mm_andnot_ps(_mm_castsi128_ps(tiny), t);
    X2 = X1;
    X1 = x;
    Y2 = Y1;
    Y1 = y;
    return y;
  }
  // True when the last output is finite in each of the first count lanes. A
  // non-finite output stays non-finite in every later one (it feeds back
  // through A1 Y1), so this tells whether any output of a run went so.
  bool LastFinite(int count) const {
    const __m128i exponent = _mm_set1_epi32(0x7F800000);
    const __m128i top = _mm_cmpeq_epi32(_mm_and_si128(_mm_castps_si128(Y1), exponent), exponent);
    return (_mm_movemask_ps(_mm_castsi128_ps(top)) & ((1 << count) - 1)) == 0;
  }
  // The history into the lanes, and from there into their sections.
  void Store(TDirectFormLanes& l) const {
    _mm_store_ps(l.X1, X1);
    _mm_store_ps(l.X2, X2);
    _mm_store_ps(l.Y1, Y1);
    _mm_store_ps(l.Y2, Y2);
    l.Store();
  }

  __m128 B0, B1, B2, A1, A2, X1, X2, Y1, Y2;
};

// Steps `banks` (1 or 2) sets of lanes over n samples: bank k reads x[k][i]
// in every lane and writes its four outputs to out[k][4 i .. 4 i + 3]
// (out 16-byte aligned). Two banks interleave two independent recursions.
// Answers false, with every section left as it was, when a lane's output
// went non-finite; true after storing the new history into the sections.
bool RunDirectFormLanes(TDirectFormLanes* const* banks, int bankCount, const float* const* x, float* const* out,
                        std::int32_t n);
