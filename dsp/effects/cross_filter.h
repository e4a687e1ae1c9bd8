// Stereo cross filter: per side up to four filters run in parallel and take
// turns through overlapping triangular windows. Each stage has a tap length
// (ms or ticks); the lengths of a side add up to its cycle, and each stage's
// window peaks once per cycle for its share of it, one after another. The
// sum then passes the inter-channel shift.
//
// Window modes: 0 plain sum of the stages (no windows), 1 windows shaped by
// XFilterWindowTable, any other value plain triangular windows.
//
// The eight stage filters exist from construction on; the stage count only
// selects how many run. The rack sets each stage filter's type, cutoff,
// resonance and param3 directly.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>

#include "dsp/effects/shift_lines.h"
#include "dsp/effects/stereo_effect.h"
#include "dsp/filters/multi_filter.h"

// 1 - ((4000 - i) / 4000)^5 for i = 0..4000: the window shape of mode 1.
inline constexpr std::int32_t kXFilterWindowSteps = 4000;
extern const std::array<float, kXFilterWindowSteps + 1> XFilterWindowTable;

// The cross filter's one-pass stage loop runs both sides in AVX registers
// where the CPU has AVX2 (chosen once at start-up), otherwise in SSE ones;
// both give the same bits. Tests turn AVX2 off to compare the two; answers
// whether it is in use now. Not while a cross filter processes.
bool SetCrossFilterAvx2(bool on);

class TDSPXXFilter : public TDSPStereoEffect {
 public:
  static constexpr std::int32_t kMaxStages = 4;

  TDSPXXFilter();
  ~TDSPXXFilter() override;

  void ProcessStereo(float* left, float* right) override;
  // Zeroes the shift lines and the stage filters' memories.
  void ClearSmallState() override;
  void VisitLines(TLineVisitor& visitor) const override { Shift.Visit(visitor); }
  void ExchangeLines(TLineExchange& exchange) override { Shift.Exchange(exchange); }
  // Inherited coefficients, then the shift line lengths (under the lock).
  void Update() override;
  // Inherited tick length, then the stage layout.
  void UpdateTickLength() override;
  // Inherited, each stage filter follows the record, then the stage layout.
  void SetAudioSettings(TAudioSettingsRec* rec) override;
  // Shift lines for the new rate, built then swapped in under the lock.
  void ReallocBuffers() override;
  void ReleaseBuffers() override;

  // Number of running stages per side, 0..4 (larger values give 4). A
  // changed value lays the stages out again (under its owner's lock).
  void SetFilterCount(std::int32_t count);
  // Tap length of stage 0..3 of one side in ms or ticks (at least 0). A
  // changed value lays the stages out again (under its owner's lock).
  void SetTapLength(bool right, std::int32_t stage, std::int32_t length);
  // ms, positive delays the right channel, negative the left. A changed value
  // recomputes the shift lines at once (under its owner's lock).
  void SetRightShift(float ms);
  // Window mode (0 sum, 1 shaped, other plain); used from the next sub-block.
  void SetInterpolation(std::int32_t mode) { WindowMode = mode; }

  TDSPMultiFilter& StageFilter(bool right, std::int32_t stage) {
    return Stages[right ? 1 : 0][static_cast<std::size_t>(stage & 3)].Filter;
  }

  std::int32_t GetFilterCount() const { return StageCount; }
  std::int32_t GetWindowMode() const { return WindowMode; }
  float GetRightShift() const { return RightShift; }
  std::int32_t GetTapLength(bool right, std::int32_t stage) const {
    return Stages[right ? 1 : 0][static_cast<std::size_t>(stage & 3)].TapSetting;
  }
  // Layout of a side, in samples and fractions of the cycle. The cycle's
  // exact length: the period in milliseconds, to the fraction of a sample in
  // ticks (the windows keep the host's tempo).
  std::int32_t GetCyclePeriod(bool right) const { return CyclePeriod[right ? 1 : 0]; }
  double GetCycleSamples(bool right) const { return CycleSamples[right ? 1 : 0]; }
  float GetWindowWidth(bool right, std::int32_t stage) const {
    return Stages[right ? 1 : 0][static_cast<std::size_t>(stage & 3)].Width;
  }
  float GetWindowPhase(bool right, std::int32_t stage) const {
    return Stages[right ? 1 : 0][static_cast<std::size_t>(stage & 3)].Phase;
  }
  std::int32_t GetShiftLength(int side) const { return Shift.GetLength(side); }
  // The longer of the two shift lines.
  std::int64_t TailSamples() const override { return std::max(Shift.GetLength(0), Shift.GetLength(1)); }

 private:
  struct TStage {
    TDSPMultiFilter Filter;
    float Width = 0;       // fraction of the cycle
    float Phase = 0;       // 0..1, the window peaks at 0.5
    float StartPhase = 0;  // at the layout (the cycle's start)
    float Centre = 0;
    float Start = 0;
    std::int32_t TapSamples = 0;
    float TapLength = 0;           // in ms
    std::int32_t TapSetting = 90;  // ms or ticks
  };

  // The stage filters are members, built with the effect: what is left to
  // build at construction is their window layout.
  void BuildStages();
  void UpdateStages();
  void LayOutStages();
  // The running stages of both sides over their inputs x[side] (n samples)
  // into out[side], four lanes per sample: out[side][4 i + stage]. Sides
  // whose stages are all direct-form sections step them together
  // (direct_form_lanes.h), other sides one stage at a time through scratch.
  void FilterStages(std::int32_t count, const float* const* x, float* const* out, float* scratch, std::int32_t n);
  void FilterSideOneByOne(int side, std::int32_t count, const float* x, float* out, float* scratch, std::int32_t n);
  // Both sides' stage outputs (lanes as above) windowed in place and summed
  // in stage order into sums[side].
  template <int Mode>
  void WindowSides(std::int32_t count, float* const* lanes, float* const* sums, std::int32_t n);
  // Both sides' stages filtered, windowed and added into sums[side] in one
  // pass, exactly as FilterStages and WindowSides would, when every running
  // stage is a direct-form section. The window phases run without their
  // wrap: false, with nothing changed, when a phase passed 1 within the
  // sub-block, an output went non-finite or a stage is of another kind (the
  // caller then takes those two passes).
  template <int Mode>
  bool FusedStages(std::int32_t count, const float* const* x, float* const* sums, std::int32_t n);
  // The window phases and shapes (min(2 width, 1)) of a side's running
  // stages, lane st for stage st (0 beyond count); and the phases back.
  void LoadWindows(int side, std::int32_t count, float* phase, float* shape) const;
  void StoreWindows(int side, std::int32_t count, const float* phase);
  // Each running stage's phase from the place in its side's cycle; the
  // places after n samples.
  void PlaceWindows(std::int32_t count);
  void AdvanceCycles(std::int32_t n);

  std::int32_t WindowMode = 1;
  float RightShift = 0;
  std::int32_t StageCount = 4;
  std::array<std::int32_t, 2> CyclePeriod{1, 1};
  std::array<float, 2> WindowRate{1, 1};
  std::array<double, 2> CycleSamples{1, 1};
  std::array<double, 2> CyclePosition{0, 0};  // samples into the cycle since the layout
  std::array<std::array<TStage, kMaxStages>, 2> Stages;
  TShiftLines Shift;
  // x left, x right, one stage's output (LaneStride floats each), then the
  // stage outputs of each side (4 LaneStride floats each), 16-byte aligned.
  std::unique_ptr<float[]> Scratch;
  std::int32_t ScratchFloats = 0;
  std::int32_t LaneStride = 0;
};
