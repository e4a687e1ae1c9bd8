#include "dsp/effects/shift_lines.h"

#include <algorithm>
#include <cmath>

#include "dsp/effects/stereo_effect.h"

void TShiftLines::Allocate(std::int32_t samplesPerMs, std::int32_t spare) {
  const std::int32_t capacity = std::max(2, 255 * samplesPerMs);
  Lines.Allocate(capacity + std::max(0, spare), [this, capacity] {
    Capacity = capacity;
    CutToCapacity();
  });
}

void TShiftLines::Release() { Lines.Release(); }

void TShiftLines::CutToCapacity() {
  for (int side = 0; side < 2; ++side) {
    if (Capacity > 0 && Length[side] >= Capacity) Length[side] = Capacity - 1;
    if (Length[side] < 1) Length[side] = 1;
    if (Position[side] >= Length[side]) Position[side] = 0;
  }
}

void TShiftLines::SetShift(float ms, std::int32_t samplesPerMs) {
  if (!std::isfinite(ms)) ms = 0;
  Length = {1, 1};
  if (std::fabs(ms) > 0.05f) {
    const int side = ms > 0 ? 1 : 0;
    Length[side] = SampleCount(std::fabs(ms) * static_cast<float>(samplesPerMs), 1, 1 << 30);
  }
  CutToCapacity();
}

void TShiftLines::Clear() { Lines.Clear(); }
