// Stereo chorus: per side a delay line read by two taps whose delay is the
// side's base delay plus a millisecond amount driven by an LFO, with
// feedback into the same line and cross-feed between the two lines.
//
// The four LFOs (left 1, left 2, right 1, right 2) run at the control-rate
// record (10000 Hz) and tick once per sub-block, so an LFO frequency of ten
// times the wanted rate gives that many cycles per second. Each LFO's
// modulation value in ms is its gain + 0.25 x its output; within a sub-block
// it moves linearly from the previous value to the new one. The rack sets
// waveform, frequency and gain on the LFOs directly.
//
// Lines are allocated at their capacity (1050 ms) on a settings change;
// length and size changes only move indexes (under its owner's lock).
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>

#include "dsp/effects/line_pair.h"
#include "dsp/effects/stereo_effect.h"
#include "dsp/oscillators/oscillator.h"

class TDSPXChorus : public TDSPStereoEffect {
 public:
  static constexpr std::int32_t kCapacityMs = 1050;

  TDSPXChorus();
  ~TDSPXChorus() override;

  // Runs of samples whose taps all lie behind what the run writes (the usual
  // case: base delays beyond a sub-block) go in two passes, the taps and then
  // the outputs and line writes, four samples per register; the result is
  // the same as ProcessStereoOneByOne's, bit for bit.
  void ProcessStereo(float* left, float* right) override;
  // Every sample in turn: the reference the two-pass form is checked against.
  void ProcessStereoOneByOne(float* left, float* right);
  // Zeroes both lines.
  void VisitLines(TLineVisitor& visitor) const override { Lines.Visit(visitor); }
  void ExchangeLines(TLineExchange& exchange) override { Lines.Exchange(exchange); }
  void SetRandomSeed(std::uint64_t seed) override;
  // Inherited tick length, then the line lengths and base delays.
  void UpdateTickLength() override;
  // Inherited coefficients, then the line lengths and base delays.
  void Update() override;
  void SetAudioSettings(TAudioSettingsRec* rec) override;
  // Lines of the capacity (built, then swapped in under the lock), cleared.
  void ReallocBuffers() override;
  void ReleaseBuffers() override;

  // Line length of a side in ms or ticks (the length unit); cut to the
  // capacity, at least 2 samples. Recomputed at once (under its owner's lock).
  void SetLengthLeft(float length);
  void SetLengthRight(float length);
  // Base delay of a side in ms or ticks; at most line length - 1 samples.
  // Recomputed at once (under its owner's lock).
  void SetSizeLeft(float size);
  void SetSizeRight(float size);
  // -1..1; plain stores, used from the next sample.
  void SetFeedbackLeft(float value);
  void SetFeedbackRight(float value);
  void SetCrossLeftToRight(float value);
  void SetCrossRightToLeft(float value);

  // LFO k: 0 left 1, 1 left 2, 2 right 1, 3 right 2.
  TDSPOscillator& Lfo(int k) { return *Lfos[static_cast<std::size_t>(k & 3)]; }

  float GetFeedbackLeft() const { return FeedbackLeft; }
  float GetFeedbackRight() const { return FeedbackRight; }
  float GetCrossLeftToRight() const { return CrossLeftToRight; }
  float GetCrossRightToLeft() const { return CrossRightToLeft; }
  // Line lengths and base delays in samples.
  std::int32_t GetLineLength(int side) const { return LineLength[static_cast<std::size_t>(side & 1)]; }
  // The longer of the two lines.
  std::int64_t TailSamples() const override { return std::max(LineLength[0], LineLength[1]); }
  float GetBaseDelay(int side) const { return BaseDelay[static_cast<std::size_t>(side & 1)]; }
  std::int32_t GetCapacity() const { return Lines.Size(); }

 private:
  void Process(float* left, float* right, bool twoPass);
  void UpdateLengths();
  void UpdateModulation();
  void LockedUpdateLengths();

  float CrossLeftToRight = 0.1f;
  float CrossRightToLeft = 0.1f;
  float FeedbackLeft = 0.1f;
  float FeedbackRight = 0.1f;
  std::array<float, 4> Previous{};          // modulation values (ms) at the last sub-block's end
  std::array<float, 4> Target{};            // modulation values (ms) at this sub-block's end
  std::array<float, 2> Length{5.0f, 5.0f};  // ms or ticks
  std::array<float, 2> SizeValue{0, 0};     // ms or ticks
  std::array<std::int32_t, 2> LineLength{2, 2};
  std::array<std::int32_t, 2> WritePosition{0, 0};
  std::array<float, 2> BaseDelay{0, 0};  // samples
  TLinePair Lines;                       // 1050 ms each
  std::array<std::unique_ptr<TDSPOscillator>, 4> Lfos;
  bool FirstBlock = true;
};
