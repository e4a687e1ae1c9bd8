// The inter-channel shift that ends the cross filter and the phaser: one
// short delay line per side. A positive shift (ms) delays the right channel,
// a negative one the left; the other side, and both sides of a shift of
// 0.05 ms or less, get a line of one sample, which delays by exactly one
// sample.
//
// Threads: the owner allocates on a settings change (build, then swap under
// its owner's lock); SetShift and Clear run under its owner's lock; Exchange
// runs on the audio thread.
#pragma once

#include <array>
#include <cstdint>
#include <memory>

#include "dsp/effects/line_pair.h"

class TShiftLines {
 public:
  // Lines for 255 ms at samplesPerMs (plus `spare` samples), zeroed. The
  // longest usable line is 255 * samplesPerMs - 1 samples. Takes the global
  // lock for the swap; lengths and positions beyond the new capacity are cut.
  void Allocate(std::int32_t samplesPerMs, std::int32_t spare);
  // Frees both lines (under its owner's lock); Exchange must not run after.
  void Release();
  // Line lengths for a shift of `ms` (caller holds its owner's lock).
  void SetShift(float ms, std::int32_t samplesPerMs);
  // Zeroes both lines (caller holds its owner's lock).
  void Clear();
  // Both lines' memory, to the visitor (caller holds its owner's lock).
  void Visit(TLineVisitor& visitor) const { Lines.Visit(visitor); }
  // Both lines' memory, in the order Visit gives it (the same lock).
  void Exchange(TLineExchange& exchange) { Lines.Exchange(exchange); }
  bool IsAllocated() const { return Lines.IsAllocated(); }

  // The sample `Length[side]` samples old out, `in` into its place.
  float Exchange(int side, float in) {
    float* line = Lines.Line(side);
    std::int32_t& pos = Position[side];
    const float out = line[pos];
    line[pos] = in;
    if (++pos >= Length[side]) pos = 0;
    return out;
  }

  // n samples through Exchange, in[i] going in and the result going to
  // out[i] (out may be in). The same data moves, in a few copies.
  void ExchangeBlock(int side, const float* in, float* out, std::int32_t n);

  std::int32_t GetLength(int side) const { return Length[side]; }
  std::int32_t GetCapacity() const { return Capacity; }

 private:
  void CutToCapacity();

  TLinePair Lines;
  std::array<std::int32_t, 2> Length{1, 1};
  std::array<std::int32_t, 2> Position{0, 0};
  std::int32_t Capacity = 0;  // 255 ms of samples
};
