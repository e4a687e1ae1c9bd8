#include "dsp/effects/phaser.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "dsp/effects/effect_lfo.h"
#include "framework/base/global_lock.h"

namespace {
// |m| of an LFO at the largest gain (32) and full output; beyond it e^(2m)
// would leave the float range.
constexpr float kMaxModulation = 40.0f;
const float kExpTwoMinusOne = std::exp(2.0f) - 1.0f;

bool StoreClamped(float& field, float value, float lo, float hi) {
  if (!std::isfinite(value)) return false;
  field = std::clamp(value, lo, hi);
  return true;
}
}  // namespace

TDSPXPhaser::TDSPXPhaser() {
  for (auto& lfo : Lfos) lfo = CreateEffectLfo();
  TDSPXPhaser::ReallocBuffers();
  TDSPXPhaser::Update();
}

TDSPXPhaser::~TDSPXPhaser() = default;

void TDSPXPhaser::SetAudioSettings(TAudioSettingsRec* rec) {
  TDSPStereoEffect::SetAudioSettings(rec);
  ClearState();
  for (auto& lfo : Lfos) KeepOnControlRate(*lfo);
  Update();
}

void TDSPXPhaser::ReallocBuffers() {
  TDSPStereoEffect::ReallocBuffers();
  Shift.Allocate(Settings->SamplesPerMs, 20);
  ClearState();
}

void TDSPXPhaser::ReleaseBuffers() {
  TDSPStereoEffect::ReleaseBuffers();
  Shift.Release();
}

void TDSPXPhaser::ClearAll() {
  for (auto& side : State) side.fill(0.0f);
  PreviousCoefficient = {0, 0};
  FeedbackSample = {0, 0};
}

void TDSPXPhaser::ClearState() {
  TGlobalLockGuard lock;
  ClearAll();
  Shift.Clear();
}

void TDSPXPhaser::Update() {
  TGlobalLockGuard lock;
  TDSPStereoEffect::Update();
  Shift.SetShift(RightShift, Settings->SamplesPerMs);
}

void TDSPXPhaser::SetStages(std::size_t side, std::int32_t value) {
  std::int32_t stages = value & 0xFF;
  stages = std::min(stages, kMaxStages) & ~1;
  stages = std::max(stages, 2);
  if (stages == Stages[side]) return;
  TGlobalLockGuard lock;
  Stages[side] = stages;
  ClearState();
}

void TDSPXPhaser::SetStagesLeft(std::int32_t value) { SetStages(0, value); }
void TDSPXPhaser::SetStagesRight(std::int32_t value) { SetStages(1, value); }
void TDSPXPhaser::SetFeedbackLeft(float value) { StoreClamped(Feedback[0], value, -1.0f, 1.0f); }
void TDSPXPhaser::SetFeedbackRight(float value) { StoreClamped(Feedback[1], value, -1.0f, 1.0f); }
void TDSPXPhaser::SetCrossLeftToRight(float value) { StoreClamped(CrossLeftToRight, value, -1.0f, 1.0f); }
void TDSPXPhaser::SetCrossRightToLeft(float value) { StoreClamped(CrossRightToLeft, value, -1.0f, 1.0f); }
void TDSPXPhaser::SetPhaseLeft(float value) { StoreClamped(Phase[0], value, 0.0f, 1.0f); }
void TDSPXPhaser::SetPhaseRight(float value) { StoreClamped(Phase[1], value, 0.0f, 1.0f); }
void TDSPXPhaser::SetDepthLeft(float value) { StoreClamped(Depth[0], value, 0.0f, 1.0f); }
void TDSPXPhaser::SetDepthRight(float value) { StoreClamped(Depth[1], value, 0.0f, 1.0f); }

void TDSPXPhaser::SetShift(float ms) {
  if (!std::isfinite(ms)) return;
  TGlobalLockGuard lock;
  RightShift = std::clamp(ms, -254.5f, 254.5f);
  Update();
}

void TDSPXPhaser::UpdateModulation() {
  for (std::size_t k = 0; k < 2; ++k) Modulation[k] = TickModulation(*Lfos[k], kMaxModulation);
}

void TDSPXPhaser::ProcessStereo(float* left, float* right) {
  const std::int32_t n = SubBlockLength();
  if (!Shift.IsAllocated() || n <= 0) return;
  const float* noise = NextDenormalNoise(n);
  if (FirstBlock) {
    UpdateModulation();
    FirstBlock = false;
  }
  UpdateModulation();
  std::array<float, 2> coefficient;
  for (std::size_t s = 0; s < 2; ++s) {
    const float a = (std::exp(2.0f * Modulation[s]) - 1.0f) / kExpTwoMinusOne;
    const float c = 1.0f - (1.0f - Depth[s]) * Phase[s] - (1.0f - Phase[s]) * a * Depth[s];
    coefficient[s] = c > 0.0f ? (c < 1.0f ? c : 1.0f) : 0.0f;  // NaN gives 0
  }
  const std::int32_t stagesL = std::clamp(Stages[0], 0, kMaxStages);
  const std::int32_t stagesR = std::clamp(Stages[1], 0, kMaxStages);
  float* stateL = State[0].data();
  float* stateR = State[1].data();
  const float fbL = Feedback[0], fbR = Feedback[1];
  const float crossLR = CrossLeftToRight, crossRL = CrossRightToLeft;
  const float lw = LeftWetOut, ld = LeftDryOut, rw = RightWetOut, rd = RightDryOut;
  const float prevL = PreviousCoefficient[0], prevR = PreviousCoefficient[1];
  const float invN = 1.0f / static_cast<float>(n);
  float feedbackL = FeedbackSample[0], feedbackR = FeedbackSample[1];
  bool bad = false;
  for (std::int32_t i = 0; i < n; ++i) {
    const float t = static_cast<float>(i) * invN;
    const float cL = coefficient[0] * t + prevL * (1.0f - t);
    const float cR = coefficient[1] * t + prevR * (1.0f - t);
    float xL = left[i] + feedbackL + noise[i];
    float xR = right[i] + feedbackR + noise[i];
    for (std::int32_t st = 0; st < stagesL; ++st) {
      const float s = stateL[st];
      const float y = cL * s + xL;
      xL = s - cL * y;
      stateL[st] = y;
    }
    for (std::int32_t st = 0; st < stagesR; ++st) {
      const float s = stateR[st];
      const float y = cR * s + xR;
      xR = s - cR * y;
      stateR[st] = y;
    }
    const float uL = xR * crossRL + xL;
    const float uR = xL * crossLR + xR;
    feedbackL = KeepBounded(uL * fbL, bad);
    feedbackR = KeepBounded(uR * fbR, bad);
    left[i] = left[i] * ld + uL * lw;
    right[i] = right[i] * rd + uR * rw;
  }
  Shift.ExchangeBlock(0, left, left, n);
  Shift.ExchangeBlock(1, right, right, n);
  FeedbackSample = {feedbackL, feedbackR};
  PreviousCoefficient = coefficient;
  for (std::int32_t st = 0; st < stagesL; ++st) bad |= !(std::fabs(stateL[st]) < kRunawayLimit);
  for (std::int32_t st = 0; st < stagesR; ++st) bad |= !(std::fabs(stateR[st]) < kRunawayLimit);
  // A runaway loop (feedback plus cross-feed above 1, or a stage integrating
  // at coefficient 1) restarts its stages from silence.
  if (bad) ClearAll();
}
