#include "dsp/oscillators/blit_oscillator.h"

#include <numbers>

TDSPBlitOscillator::TDSPBlitOscillator() {
  // Integrator cutoff: 0.0001 of the sample rate.
  const double t = std::tan(std::numbers::pi * 0.0001);
  BlitState.FeedbackCoef = static_cast<float>(-(1.0 - t) / (1.0 + t));
  BlitState.InputCoef = 0.5f;
  BlitState.Rolloff = 0.5f;
  Inputs[1] = ThreeBuffer;  // amplitude control input
}

void TDSPBlitOscillator::StartCycle() {
  TBlitState& s = BlitState;
  if (s.Position >= 1.0f) {
    s.Position -= 1.0f;
    // More than one cycle per sample: keep only the place in the cycle.
    if (s.Position >= 1.0f) s.Position -= std::floor(s.Position);
  }
  s.CycleIncrement = Increment;
  if (!(s.CycleIncrement >= 1.0f / kMaxPeriod)) s.CycleIncrement = 1.0f / kMaxPeriod;
  s.Period = 1.0f / s.CycleIncrement;
  const float half = s.Period * 0.5f;
  s.HarmonicCount = static_cast<float>(TruncInt(half) + 1);
  s.RolloffPerHarmonic = PowerOf(s.Rolloff, 1.0f / half);            // 0.5^(2 / Period)
  s.RolloffPowerM = PowerOf(s.RolloffPerHarmonic, s.HarmonicCount);  // r^M
}

void TBlitSawOsc1::ProcessBlockControl() {
  if (!OutBuffer) return;
  RunBlockControl(*this);
  const std::int32_t last = Settings->LastIndex;
  for (std::int32_t i = 0; i <= last; ++i) OutBuffer[i] *= 3.0f;
}

void TBlitSawOsc1::ProcessBuffer(float* buffer) {
  const std::int32_t n = Settings->SamplesPerMs;
  for (std::int32_t i = 0; i < n; ++i) {
    buffer[i] = BlitSample() * Gain;
    StepPhase(Increment);
  }
}
