// The curve laws' tables and attack shapes, exactly as the lookups read
// them. They are constant: tools/curvegen computes the record at build time
// with ComputeCurveData and writes its bytes, and the library embeds them
// (read-only data, nothing to compute when the module loads). Computing all
// of it takes some 550 million instructions, most of them the extended
// precision sines of the laws.
#pragma once

#include <cstdint>
#include <type_traits>

#include "dsp/oscillators/curves.h"

struct TCurveData {
  // Law 1..32 at index law - 1: kCurveGuard entries of 0, data entry i
  // holding law(i / kCurvePoints), then copies of the last data entry and
  // a final 0 (curves.h).
  float Tables[kCurveLawCount][kCurveTableSize];
  // The attack shapes (CurveAttackShape) of "Linear" (0) and laws 1..32;
  // all 0 for a law without one.
  float AttackShapes[kCurveLawCount + 1][kCurvePoints + 1];
  // 1 where the law has an attack shape, else 0.
  std::uint8_t HasAttackShape[kCurveLawCount + 1];
};
static_assert(std::is_trivially_copyable_v<TCurveData> && std::is_standard_layout_v<TCurveData>);

// Fills `data` from the formulas (CurveLaw). Deterministic: every build
// computes the same bytes. About 4.3 MB: keep it off the stack.
void ComputeCurveData(TCurveData& data);

// The record the library embeds (the build's output of ComputeCurveData).
const TCurveData& EmbeddedCurveData();
