// Stereo phaser: per side a chain of first-order allpass stages (an even
// number from 2 to 64) whose coefficient follows an LFO, with feedback of
// each side's output into its input and cross-feed between the sides,
// followed by the inter-channel shift.
//
// Coefficient of a side, once per sub-block, from the LFO's value
// m = gain + 0.25 x output:
//   a = (e^(2m) - 1) / (e^2 - 1)
//   c = 1 - (1 - depth) * phase - (1 - phase) * a * depth, limited to 0..1
// and moved linearly across the sub-block from the previous value. With
// depth 0 and phase 1 every stage is a one-sample delay.
//
// The two LFOs (left, right) run at the control-rate record (10000 Hz) and
// tick once per sub-block; the rack sets waveform, frequency and gain on them
// directly.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>

#include "dsp/effects/shift_lines.h"
#include "dsp/effects/stereo_effect.h"
#include "dsp/oscillators/oscillator.h"

class TDSPXPhaser : public TDSPStereoEffect {
 public:
  static constexpr std::int32_t kMaxStages = 64;

  TDSPXPhaser();
  ~TDSPXPhaser() override;

  // Equal stage counts up to 16 on both sides run both chains as lanes of
  // one register in a rearranged but equivalent form (see phaser.cpp); any
  // other layout runs ProcessStereoOneByOne.
  void ProcessStereo(float* left, float* right) override;
  // The same sub-block stage by stage, side by side: the reference the
  // lane form is checked against.
  void ProcessStereoOneByOne(float* left, float* right);
  // The lane form uses AVX-512's larger register set where the processor
  // has it (same bits). For tests: false keeps every phaser on the plain
  // SSE build, true goes back; returns whether the wide build is now used.
  static bool SetWideRegisters(bool on);
  // Zeroes every allpass state of both sides, the previous coefficients, the
  // feedback samples and both shift lines.
  void ClearSmallState() override { ClearAll(); }
  void VisitLines(TLineVisitor& visitor) const override { Shift.Visit(visitor); }
  void ExchangeLines(TLineExchange& exchange) override { Shift.Exchange(exchange); }
  void SetRandomSeed(std::uint64_t seed) override;
  // Inherited coefficients, then the shift line lengths (under the lock).
  void Update() override;
  // Inherited, cleared, the LFOs on the control-rate record, Update.
  void SetAudioSettings(TAudioSettingsRec* rec) override;
  // Shift lines for the new rate (built, then swapped in under the lock).
  void ReallocBuffers() override;
  void ReleaseBuffers() override;

  // Stage count from the low byte of the value: at most 64, lowered to an
  // even number, at least 2. A changed count clears the state (under the
  // owner's lock).
  void SetStagesLeft(std::int32_t value);
  void SetStagesRight(std::int32_t value);
  // -1..1; plain stores.
  void SetFeedbackLeft(float value);
  void SetFeedbackRight(float value);
  void SetCrossLeftToRight(float value);
  void SetCrossRightToLeft(float value);
  // 0..1; plain stores, used from the next sub-block.
  void SetPhaseLeft(float value);
  void SetPhaseRight(float value);
  void SetDepthLeft(float value);
  void SetDepthRight(float value);
  // ms, -254.5..254.5: positive delays the right channel. Recomputes the
  // shift lines at once (under its owner's lock).
  void SetShift(float ms);

  TDSPOscillator& LfoLeft() { return *Lfos[0]; }
  TDSPOscillator& LfoRight() { return *Lfos[1]; }

  std::int32_t GetStagesLeft() const { return Stages[0]; }
  std::int32_t GetStagesRight() const { return Stages[1]; }
  float GetPhaseLeft() const { return Phase[0]; }
  float GetPhaseRight() const { return Phase[1]; }
  float GetDepthLeft() const { return Depth[0]; }
  float GetDepthRight() const { return Depth[1]; }
  float GetFeedbackLeft() const { return Feedback[0]; }
  float GetFeedbackRight() const { return Feedback[1]; }
  float GetCrossLeftToRight() const { return CrossLeftToRight; }
  float GetCrossRightToLeft() const { return CrossRightToLeft; }
  float GetShift() const { return RightShift; }
  std::int32_t GetShiftLength(int side) const { return Shift.GetLength(side); }
  // The longer of the two shift lines.
  std::int64_t TailSamples() const override { return std::max(Shift.GetLength(0), Shift.GetLength(1)); }

 private:
  // What both forms share: the sub-block's length (0: nothing to do), its
  // noise and the coefficients at its end.
  struct TBlock {
    std::int32_t Length = 0;
    const float* Noise = nullptr;
    std::array<float, 2> Coefficient{0, 0};
  };
  TBlock BeginBlock();
  // Shift lines, coefficients for the next sub-block, runaway check.
  void EndBlock(const TBlock& b, float* left, float* right, bool bad);
  // Samples first .. first + count - 1 of the sub-block stage by stage,
  // from and to State and FeedbackSample; sets `bad` on a runaway feedback.
  void RunOneByOne(const TBlock& b, float* left, float* right, std::int32_t first, std::int32_t count, bool& bad);
  void SetStages(std::size_t side, std::int32_t value);
  void UpdateModulation();
  void ClearAll();

  std::array<float, 2> Phase{0.9f, 0.9f};
  std::array<float, 2> Depth{0.9f, 0.9f};
  std::array<float, 2> PreviousCoefficient{0, 0};
  std::array<float, 2> FeedbackSample{0, 0};
  float CrossLeftToRight = 0.1f;
  float CrossRightToLeft = 0.1f;
  std::array<float, 2> Feedback{0.1f, 0.1f};
  std::array<std::int32_t, 2> Stages{4, 4};
  // Allpass states as (left, right) pairs, stage by stage.
  std::array<float, 2 * kMaxStages> State{};
  std::array<float, 2> Modulation{0, 0};  // LFO values m of the last tick
  float RightShift = 0;
  TShiftLines Shift;
  std::array<std::unique_ptr<TDSPOscillator>, 2> Lfos;
  bool FirstBlock = true;
};
