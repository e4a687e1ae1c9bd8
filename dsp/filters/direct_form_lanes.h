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

// Steps `banks` (1 or 2) sets of lanes over n samples: bank k reads x[k][i]
// in every lane and writes its four outputs to out[k][4 i .. 4 i + 3]
// (out 16-byte aligned). Two banks interleave two independent recursions.
// Answers false, with every section left as it was, when a lane's output
// went non-finite; true after storing the new history into the sections.
bool RunDirectFormLanes(TDirectFormLanes* const* banks, int bankCount, const float* const* x, float* const* out,
                        std::int32_t n);
