#include "dsp/filters/direct_form_lanes.h"

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
    TDirectFormBank a(*banks[0]);
    TDirectFormBank b(*banks[1]);
    const float* xa = x[0];
    const float* xb = x[1];
    float* oa = out[0];
    float* ob = out[1];
    for (std::int32_t i = 0; i < n; ++i) {
      _mm_store_ps(oa + 4 * i, a.Step(_mm_set1_ps(xa[i])));
      _mm_store_ps(ob + 4 * i, b.Step(_mm_set1_ps(xb[i])));
    }
    if (!a.LastFinite(banks[0]->Count) || !b.LastFinite(banks[1]->Count)) return false;
    a.Store(*banks[0]);
    b.Store(*banks[1]);
    return true;
  }
  if (bankCount != 1) return false;
  TDirectFormBank a(*banks[0]);
  const float* xa = x[0];
  float* oa = out[0];
  for (std::int32_t i = 0; i < n; ++i) _mm_store_ps(oa + 4 * i, a.Step(_mm_set1_ps(xa[i])));
  if (!a.LastFinite(banks[0]->Count)) return false;
  a.Store(*banks[0]);
  return true;
}
