// Stereo delay with feedback, cross-feedback and an optional filter in each
// feedback path. The input enters each line scaled by that side's feedback:
//   out  = x * dry + line[w] * wet
//   f    = (line[w] + x) * feedback    (then the side's filter when on)
//   line[w] := f + f_other * cross_other_to_this
//
// Lines are allocated at their capacity (4100 ms) on a settings change; a
// length change only moves indexes (under its owner's lock). Lengths are in
// ticks (120 per quarter note) after construction.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>

#include "dsp/effects/line_pair.h"
#include "dsp/effects/stereo_effect.h"
#include "dsp/filters/multi_filter.h"

class TDSPXDelay : public TDSPStereoEffect {
 public:
  static constexpr std::int32_t kCapacityMs = 4100;

  TDSPXDelay();
  ~TDSPXDelay() override;

  void ProcessStereo(float* left, float* right) override;
  // Zeroes both lines and the feedback filters' memories.
  void ClearSmallState() override;
  void VisitLines(TLineVisitor& visitor) const override { Lines.Visit(visitor); }
  void ExchangeLines(TLineExchange& exchange) override { Lines.Exchange(exchange); }
  // Inherited coefficients, then the line lengths (under its owner's lock).
  void Update() override;
  // Inherited tick length, then Update.
  void UpdateTickLength() override;
  // Inherited (lines for the new rate), the feedback filters follow the
  // record, then Update.
  void SetAudioSettings(TAudioSettingsRec* rec) override;
  // Lines of the capacity, built then swapped in under the lock.
  void ReallocBuffers() override;
  void ReleaseBuffers() override;

  // Length in ms or ticks (the length unit); the line is 1..capacity - 1
  // samples. A changed value recomputes at once (under its owner's lock).
  void SetLengthLeft(std::int32_t length);
  void SetLengthRight(std::int32_t length);
  // Cross-feedback gains (the rack passes -1..1); a changed value runs Update.
  void SetCrossLeftToRight(float value);
  void SetCrossRightToLeft(float value);
  // Feedback gains, not clamped (the rack passes -1..1). Plain stores.
  void SetFeedbackLeft(float value);
  void SetFeedbackRight(float value);
  void SetFilterLeftOn(bool on) { FilterLeftOn = on; }
  void SetFilterRightOn(bool on) { FilterRightOn = on; }

  // The feedback filters: the rack sets type, cutoff, resonance and param3
  // on them directly.
  TDSPMultiFilter& FeedbackFilterLeft() { return FilterLeft; }
  TDSPMultiFilter& FeedbackFilterRight() { return FilterRight; }

  std::int32_t GetLengthLeft() const { return Length[0]; }
  std::int32_t GetLengthRight() const { return Length[1]; }
  // Line lengths in samples.
  std::int32_t GetLineLength(int side) const { return LineLength[static_cast<std::size_t>(side & 1)]; }
  std::int32_t GetCapacity() const { return Lines.Size(); }
  // The longer of the two lines.
  std::int64_t TailSamples() const override { return std::max(LineLength[0], LineLength[1]); }
  float GetFeedbackLeft() const { return FeedbackLeft; }
  float GetFeedbackRight() const { return FeedbackRight; }
  float GetCrossLeftToRight() const { return CrossLeftToRight; }
  float GetCrossRightToLeft() const { return CrossRightToLeft; }

 private:
  void UpdateLineLengths();
  template <bool FilterL, bool FilterR>
  void Run(float* left, float* right, const float* noise, std::int32_t n);

  float CrossLeftToRight = 0;
  float CrossRightToLeft = 0;
  bool FilterRightOn = false;
  bool FilterLeftOn = false;
  std::array<std::int32_t, 2> LineLength{1, 1};
  std::array<std::int32_t, 2> Length{100, 100};  // ms or ticks
  TLinePair Lines;                               // 4100 ms each
  std::array<std::int32_t, 2> WritePosition{0, 0};
  float FeedbackLeft = 0.1f;
  float FeedbackRight = 0.1f;
  TDSPMultiFilter FilterLeft;
  TDSPMultiFilter FilterRight;
};
