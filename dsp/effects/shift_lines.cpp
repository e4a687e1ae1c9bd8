#include "dsp/effects/shift_lines.h"

#include <algorithm>
#include <cmath>
#include <cstring>

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

namespace {
// The samples ExchangeBlock keeps aside at once.
constexpr std::int32_t kExchangeChunk = 256;

// count samples of a circular line from position pos (wrapping at length)
// into dst, or from src into the line.
void ReadRing(const float* line, std::int32_t length, std::int32_t pos, float* dst, std::int32_t count) {
  const std::int32_t first = std::min(count, length - pos);
  std::memcpy(dst, line + pos, sizeof(float) * static_cast<std::size_t>(first));
  std::memcpy(dst + first, line, sizeof(float) * static_cast<std::size_t>(count - first));
}
void WriteRing(float* line, std::int32_t length, std::int32_t pos, const float* src, std::int32_t count) {
  const std::int32_t first = std::min(count, length - pos);
  std::memcpy(line + pos, src, sizeof(float) * static_cast<std::size_t>(first));
  std::memcpy(line, src + first, sizeof(float) * static_cast<std::size_t>(count - first));
}
}  // namespace

void TShiftLines::ExchangeBlock(int side, const float* in, float* out, std::int32_t n) {
  if (n <= 0) return;
  float* line = Lines.Line(side);
  const std::int32_t length = Length[side];
  std::int32_t& pos = Position[side];
  float held[kExchangeChunk];
  if (length >= n) {
    // Sample i comes out of position pos + i (wrapped) and takes its place;
    // no position is met twice.
    for (std::int32_t done = 0; done < n; done += kExchangeChunk) {
      const std::int32_t m = std::min(n - done, kExchangeChunk);
      const std::int32_t at = (pos + done) % length;
      ReadRing(line, length, at, held, m);
      WriteRing(line, length, at, in + done, m);
      std::memcpy(out + done, held, sizeof(float) * static_cast<std::size_t>(m));
    }
  } else if (length <= kExchangeChunk) {
    // The line's samples come out first, then the run's own, length later;
    // the line keeps the run's last length samples.
    ReadRing(line, length, pos, held, length);
    WriteRing(line, length, (pos + n - length) % length, in + n - length, length);
    std::memmove(out + length, in, sizeof(float) * static_cast<std::size_t>(n - length));
    std::memcpy(out, held, sizeof(float) * static_cast<std::size_t>(length));
  } else {
    for (std::int32_t i = 0; i < n; ++i) out[i] = Exchange(side, in[i]);
    return;
  }
  pos = (pos + n) % length;
}
