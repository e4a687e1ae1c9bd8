#include "dsp/filters/direct_form_lanes.h"

#include <emmintrin.h>

namespace {

// The state of one bank in registers.
struct TBank {
  __m128 B0, B1, B2, A1, A2, X1, X2, Y1, Y2;
};

inline TBank LoadBank(const TDirectFormLanes& l) {
  return {_mm_load_ps(l.B0), _mm_load_ps(l.B1), _mm_load_ps(l.B2), _mm_load_ps(l.A1), _mm_load_ps(l.A2),
          _mm_load_ps(l.X1), _mm_load_ps(l.X2), _mm_load_ps(l.Y1), _mm_load_ps(l.Y2)};
}

// One sample of TDSPDirectFormFilter::Step in every lane:
// FlushTiny(((((B0 x + B1 X1) + B2 X2) - A1 Y1) - A2 Y2).
inline __m128 StepBank(TBank& b, __m128 x) {
  const __m128i exponent = _mm_set1_epi32(0x7F800000);
  __m128 t = _mm_add_ps(_mm_mul_ps(b.B0, x), _mm_mul_ps(b.B1, b.X1));
  t = _mm_add_ps(t, _mm_mul_ps(b.B2, b.X2));
  t = _mm_sub_ps(t, _mm_mul_ps(b.A1, b.Y1));
  t = _mm_sub_ps(t, _mm_mul_ps(b.A2, b.Y2));
  // Zero or denormal (exponent bits all clear) becomes +0.
  const __m128i tiny = _mm_cmpeq_epi32(_mm_and_si128(_mm_castps_si128(t), exponent), _mm_setzero_si128());
  const __m128 y = _mm_andnot_ps(_mm_castsi128_ps(tiny), t);
  b.X2 = b.X1;
  b.X1 = x;
  b.Y2 = b.Y1;
  b.Y1 = y;
  return y;
}

// True when every used lane of y is finite (exponent bits not all set).
inline bool AllFinite(__m128 y, int count) {
  const __m128i exponent = _mm_set1_epi32(0x7F800000);
  const __m128i top = _mm_cmpeq_epi32(_mm_and_si128(_mm_castps_si128(y), exponent), exponent);
  return (_mm_movemask_ps(_mm_castsi128_ps(top)) & ((1 << count) - 1)) == 0;
}

void StoreBank(const TBank& b, TDirectFormLanes& l) {
  _mm_store_ps(l.X1, b.X1);
  _mm_store_ps(l.X2, b.X2);
  _mm_store_ps(l.Y1, b.Y1);
  _mm_store_ps(l.Y2, b.Y2);
}

}  // namespace

void TDirectFormLanes::Load(TDSPDirectFormFilter* const* sections, int count) {
  Count = count < 0 ? 0 : (count > kLanes ? kLanes : count);
  for (int l = 0; l < kLanes; ++l) {
    TDSPDirectFormFilter* s = l < Count ? sections[l] : nullptr;
    Sections[l] = s;
    B0[l] = s ? s->B0 : 0.0f;
    B1[l] = s ? s->B1 : 0.0f;
    B2[l] = s ? s->B2 : 0.0f;
    A1[l] = s ? s->A1 : 0.0f;
    A2[l] = s ? s->A2 : 0.0f;
    X1[l] = s ? s->X1 : 0.0f;
    X2[l] = s ? s->X2 : 0.0f;
    Y1[l] = s ? s->Y1 : 0.0f;
    Y2[l] = s ? s->Y2 : 0.0f;
  }
}

void TDirectFormLanes::Store() const {
  for (int l = 0; l < Count; ++l) {
    TDSPDirectFormFilter& s = *Sections[l];
    s.X1 = X1[l];
    s.X2 = X2[l];
    s.Y1 = Y1[l];
    s.Y2 = Y2[l];
  }
}

bool RunDirectFormLanes(TDirectFormLanes* const* banks, int bankCount, const float* const* x, float* const* out,
                        std::int32_t n) {
  if (bankCount == 2) {
    TBank a = LoadBank(*banks[0]);
    TBank b = LoadBank(*banks[1]);
    const float* xa = x[0];
    const float* xb = x[1];
    float* oa = out[0];
    float* ob = out[1];
    for (std::int32_t i = 0; i < n; ++i) {
      _mm_store_ps(oa + 4 * i, StepBank(a, _mm_set1_ps(xa[i])));
      _mm_store_ps(ob + 4 * i, StepBank(b, _mm_set1_ps(xb[i])));
    }
    // A non-finite output stays non-finite in every later one (it feeds
    // back through A1 Y1), so the last output tells whether any went so.
    if (!AllFinite(a.Y1, banks[0]->Count) || !AllFinite(b.Y1, banks[1]->Count)) return false;
    StoreBank(a, *banks[0]);
    StoreBank(b, *banks[1]);
    banks[0]->Store();
    banks[1]->Store();
    return true;
  }
  if (bankCount != 1) return false;
  TBank a = LoadBank(*banks[0]);
  const float* xa = x[0];
  float* oa = out[0];
  for (std::int32_t i = 0; i < n; ++i) _mm_store_ps(oa + 4 * i, StepBank(a, _mm_set1_ps(xa[i])));
  if (!AllFinite(a.Y1, banks[0]->Count)) return false;
  StoreBank(a, *banks[0]);
  banks[0]->Store();
  return true;
}
