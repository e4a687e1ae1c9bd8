#include "dsp/effects/cross_filter.h"

#include <algorithm>
#include <cmath>
#include <utility>

#include "framework/base/global_lock.h"

namespace {
std::array<float, kXFilterWindowSteps + 1> MakeWindowTable() {
  std::array<float, kXFilterWindowSteps + 1> table{};
  for (std::int32_t i = 0; i <= kXFilterWindowSteps; ++i) {
    const double r = static_cast<double>(kXFilterWindowSteps - i) / kXFilterWindowSteps;
    table[static_cast<std::size_t>(i)] = static_cast<float>(1.0 - r * r * r * r * r);
  }
  return table;
}

// Longest tap of one stage, in samples: four of them still add up within
// the 32-bit range.
constexpr std::int32_t kMaxTapSamples = 1 << 28;

enum : int { kModeSum = 0, kModeShaped = 1, kModePlain = 2 };
}  // namespace

const std::array<float, kXFilterWindowSteps + 1> XFilterWindowTable = MakeWindowTable();

TDSPXXFilter::TDSPXXFilter() {
  TDSPXXFilter::ReallocBuffers();
  UpdateStages();
}

TDSPXXFilter::~TDSPXXFilter() = default;

void TDSPXXFilter::SetAudioSettings(TAudioSettingsRec* rec) {
  TDSPStereoEffect::SetAudioSettings(rec);
  for (auto& side : Stages)
    for (auto& stage : side) stage.Filter.SetAudioSettings(Settings);
  UpdateStages();
}

void TDSPXXFilter::ReallocBuffers() {
  TDSPStereoEffect::ReallocBuffers();
  Shift.Allocate(Settings->SamplesPerMs, 0);
  const std::int32_t floats = 3 * BufferFloats();
  std::unique_ptr<float[]> scratch(new float[static_cast<std::size_t>(floats)]());
  TGlobalLockGuard lock;
  std::swap(Scratch, scratch);
  ScratchFloats = floats;
}

void TDSPXXFilter::ReleaseBuffers() {
  TDSPStereoEffect::ReleaseBuffers();
  Shift.Release();
  std::unique_ptr<float[]> scratch;
  TGlobalLockGuard lock;
  std::swap(Scratch, scratch);
  ScratchFloats = 0;
}

void TDSPXXFilter::ClearState() {
  TGlobalLockGuard lock;
  Shift.Clear();
  for (auto& side : Stages)
    for (auto& stage : side) stage.Filter.Filter().Reset();
}

void TDSPXXFilter::Update() {
  TGlobalLockGuard lock;
  TDSPStereoEffect::Update();
  Shift.SetShift(RightShift, Settings->SamplesPerMs);
}

void TDSPXXFilter::UpdateTickLength() {
  TDSPStereoEffect::UpdateTickLength();
  UpdateStages();
}

void TDSPXXFilter::UpdateStages() {
  TGlobalLockGuard lock;
  Update();
  LayOutStages();
}

void TDSPXXFilter::LayOutStages() {
  const auto spm = static_cast<float>(Settings->SamplesPerMs);
  for (std::size_t side = 0; side < 2; ++side) {
    auto& stages = Stages[side];
    float sumMs = 0;
    for (std::int32_t i = 0; i < StageCount; ++i) {
      TStage& stage = stages[static_cast<std::size_t>(i)];
      stage.TapLength = LengthMs(static_cast<float>(stage.TapSetting));
      stage.TapSamples = SampleCount(spm * stage.TapLength, 0, kMaxTapSamples);
      sumMs += stage.TapLength;
    }
    CyclePeriod[side] = SampleCount(spm * sumMs, 1, 4 * kMaxTapSamples);
    WindowRate[side] = 1.0f / static_cast<float>(CyclePeriod[side]);
    float start = 0;
    for (std::int32_t i = 0; i < StageCount; ++i) {
      TStage& stage = stages[static_cast<std::size_t>(i)];
      stage.Width = static_cast<float>(stage.TapSamples) / static_cast<float>(CyclePeriod[side]);
      stage.Start = start;
      start += stage.Width;
      stage.Centre = stage.Width * 0.5f + stage.Start;
      stage.Phase = 0.5f - stage.Centre;
      if (stage.Phase < 0) stage.Phase += 1.0f;
    }
  }
}

void TDSPXXFilter::SetFilterCount(std::int32_t count) {
  count = std::clamp(count, 0, kMaxStages);
  if (count == StageCount) return;
  TGlobalLockGuard lock;
  StageCount = count;
  UpdateStages();
}

void TDSPXXFilter::SetTapLength(bool right, std::int32_t stage, std::int32_t length) {
  if (stage < 0 || stage >= kMaxStages) return;
  length = std::max(length, 0);
  TStage& s = Stages[right ? 1 : 0][static_cast<std::size_t>(stage)];
  if (length == s.TapSetting) return;
  TGlobalLockGuard lock;
  s.TapSetting = length;
  UpdateStages();
}

void TDSPXXFilter::SetRightShift(float ms) {
  if (!std::isfinite(ms) || ms == RightShift) return;
  TGlobalLockGuard lock;
  RightShift = ms;
  Update();
}

template <int Mode>
void TDSPXXFilter::RunSide(int side, const float* x, float* sum, float* scratch, std::int32_t n) {
  std::fill(sum, sum + n, 0.0f);
  const float rate = WindowRate[static_cast<std::size_t>(side)];
  const std::int32_t count = std::clamp(StageCount, 0, kMaxStages);
  for (std::int32_t st = 0; st < count; ++st) {
    TStage& stage = Stages[static_cast<std::size_t>(side)][static_cast<std::size_t>(st)];
    std::copy(x, x + n, scratch);
    stage.Filter.ProcessSamples(scratch, n);
    if constexpr (Mode == kModeSum) {
      for (std::int32_t i = 0; i < n; ++i) sum[i] += scratch[i];
    } else {
      const float a = std::min(2.0f * stage.Width, 1.0f);
      float phase = stage.Phase;
      for (std::int32_t i = 0; i < n; ++i) {
        float w = phase < 0.5f ? 2.0f * phase : 2.0f * (1.0f - phase);
        if constexpr (Mode == kModeShaped) {
          const long index = std::clamp(std::lrint(w * static_cast<float>(kXFilterWindowSteps)), 0L,
                                        static_cast<long>(kXFilterWindowSteps));
          w = XFilterWindowTable[static_cast<std::size_t>(index)];
        }
        const float level = (1.0f - (1.0f - w) * a) * w;
        phase += rate;
        if (phase > 1.0f) phase -= 1.0f;
        sum[i] += scratch[i] * level;
      }
      stage.Phase = phase;
    }
  }
}

void TDSPXXFilter::ProcessStereo(float* left, float* right) {
  const std::int32_t n = SubBlockLength();
  if (!Shift.IsAllocated() || !Scratch || n <= 0) return;
  const float* noise = NextDenormalNoise(n);
  float* xL = Scratch.get();
  float* xR = xL + n;
  float* stageOut = xR + n;
  for (std::int32_t i = 0; i < n; ++i) {
    xL[i] = FiniteOrZero(left[i] + noise[i]);
    xR[i] = FiniteOrZero(right[i] + noise[i]);
  }
  float* sumL = WetBufferLeft();
  float* sumR = WetBufferRight();
  switch (WindowMode) {
    case kModeSum:
      RunSide<kModeSum>(0, xL, sumL, stageOut, n);
      RunSide<kModeSum>(1, xR, sumR, stageOut, n);
      break;
    case kModeShaped:
      RunSide<kModeShaped>(0, xL, sumL, stageOut, n);
      RunSide<kModeShaped>(1, xR, sumR, stageOut, n);
      break;
    default:
      RunSide<kModePlain>(0, xL, sumL, stageOut, n);
      RunSide<kModePlain>(1, xR, sumR, stageOut, n);
      break;
  }
  for (int side = 0; side < 2; ++side) {
    if (SilenceRunaway(side == 0 ? sumL : sumR, n))
      for (auto& stage : Stages[static_cast<std::size_t>(side)]) stage.Filter.Filter().Reset();
  }
  const float lw = LeftWetOut, ld = LeftDryOut, rw = RightWetOut, rd = RightDryOut;
  for (std::int32_t i = 0; i < n; ++i) {
    left[i] = Shift.Exchange(0, sumL[i] * lw + xL[i] * ld + noise[i]);
    right[i] = Shift.Exchange(1, sumR[i] * rw + xR[i] * rd + noise[i]);
  }
}
