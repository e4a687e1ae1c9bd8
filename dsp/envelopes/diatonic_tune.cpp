#include "dsp/envelopes/diatonic_tune.h"

#include <array>
#include <cmath>

namespace {
// Pitch class of the major tonic for -7..7 sharps.
constexpr std::array<std::int32_t, 15> kKeyRoot = {11, 6, 1, 8, 3, 10, 5, 0, 7, 2, 9, 4, 11, 6, 1};
constexpr std::array<std::int32_t, 7> kMajorSteps = {0, 2, 4, 5, 7, 9, 11};

bool InScale(std::int32_t note, std::int32_t root) {
  const std::int32_t pitchClass = ((note - root) % 12 + 12) % 12;
  for (std::int32_t step : kMajorSteps)
    if (pitchClass == step) return true;
  return false;
}

// Transpositions beyond any use; keeps the walk and the conversion bounded.
constexpr float kMaxSteps = 1000.0f;

// The semitone distance from note to the steps-th note of the key's major
// scale above it (steps > 0) or below it (steps < 0), the note itself not
// counted; 0 for steps 0.
std::int32_t ScaleStepOffset(std::int32_t key, std::int32_t steps, std::int32_t note) {
  if (steps == 0) return 0;
  const std::int32_t root = key >= -7 && key <= 7 ? kKeyRoot[static_cast<std::size_t>(key + 7)] : 0;
  const std::int32_t direction = steps > 0 ? 1 : -1;
  std::int32_t remaining = steps * direction;
  // Seven scale steps always span one octave, from any starting note.
  std::int32_t offset = (remaining - 1) / 7 * 12 * direction;
  remaining -= (remaining - 1) / 7 * 7;
  while (remaining > 0) {
    offset += direction;
    if (InScale(note + offset, root)) --remaining;
  }
  return offset;
}
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

float TDSPDiatonicTune1::Step(float pitch) const {
  if (!DiatonicOn) return pitch + Transpose + Offset;
  float steps = RoundInt(Transpose);
  ClampFloat(steps, -kMaxSteps, kMaxSteps);
  float note = RoundInt(pitch);
  ClampFloat(note, -1e6f, 1e6f);
  if (!std::isfinite(steps) || !std::isfinite(note)) return pitch + Offset;
  const auto offset = ScaleStepOffset(Key, static_cast<std::int32_t>(steps), static_cast<std::int32_t>(note));
  return static_cast<float>(offset) + pitch + Offset;
}
