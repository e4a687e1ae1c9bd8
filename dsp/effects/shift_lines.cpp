#include "dsp/effects/shift_lines.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "dsp/effects/stereo_effect.h"
#include "framework/base/global_lock.h"

void TShiftLines::Allocate(std::int32_t samplesPerMs, std::int32_t spare) {
  const std::int32_t capacity = std::max(2, 255 * samplesPerMs);
  const std::int32_t floats = capacity + std::max(0, spare);
  std::array<std::unique_ptr<float[]>, 2> fresh;
  for (auto& line : fresh) line.reset(new float[static_cast<std::size_t>(floats)]());
  TGlobalLockGuard lock;
  std::swap(Line, fresh);
  Capacity = capacity;
  Allocated = floats;
  CutToCapacity();
}

void TShiftLines::Release() {
  std::array<std::unique_ptr<float[]>, 2> old;
  TGlobalLockGuard lock;
  std::swap(Line, old);
  Allocated = 0;
}

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

void TShiftLines::Clear() {
  for (auto& line : Line)
    if (line) std::fill(line.get(), line.get() + Allocated, 0.0f);
}
