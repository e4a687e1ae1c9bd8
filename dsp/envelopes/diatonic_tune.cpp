#include "dsp/envelopes/diatonic_tune.h"

#include <cmath>

#include "framework/core/name_lists.h"

namespace {
// Transpositions beyond any use; keeps the conversions to integers defined.
constexpr float kMaxSteps = 1000.0f;
constexpr float kMaxNote = 1e6f;
}  // namespace

void TDSPDiatonicTune1::SetTranspose(float value) {
  if (value != Transpose) Transpose = value;
}

void TDSPDiatonicTune1::SetKey(float value) {
  if (value == KeyValue) return;
  KeyValue = value;
  ClampFloat(KeyValue, -7.0f, 7.0f);
  if (std::isfinite(KeyValue)) Key = static_cast<std::int8_t>(RoundInt(KeyValue));
}

void TDSPDiatonicTune1::SetDiatonic(float value) {
  if (value == DiatonicValue) return;
  DiatonicValue = value;
  DiatonicOn = value > 0;
}

void TDSPDiatonicTune1::SetOffset(float value) {
  if (value != Offset) Offset = value;
}

float TDSPDiatonicTune1::StepDiatonic(float pitch) const {
  float steps = RoundInt(Transpose);
  ClampFloat(steps, -kMaxSteps, kMaxSteps);
  float note = RoundInt(pitch);
  ClampFloat(note, -kMaxNote, kMaxNote);
  if (!std::isfinite(steps) || !std::isfinite(note)) return pitch + Offset;
  const auto offset = DiatonicOffset(Key, static_cast<std::int32_t>(steps), static_cast<std::int32_t>(note));
  return static_cast<float>(offset) + pitch + Offset;
}
