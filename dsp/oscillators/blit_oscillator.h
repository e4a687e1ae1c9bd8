// Band-limited saw ("Saw AA"): a band-limited impulse train summed in closed
// form, (1/P) sum_{k=0..M-1} r^k cos(k theta), with a harmonic count M and a
// roll-off r that follow the period P, integrated by a leaky integrator into
// a saw without aliasing. Pitch changes take effect at the next cycle start.
// The base phase is stepped by the runners but never read.
#pragma once

#include <cmath>

#include "dsp/oscillators/base_oscillator.h"

class TDSPBlitOscillator : public TDSPBaseOscillator {
 public:
  // The longest cycle in samples: a near-zero rate plays this slowly, which
  // keeps the harmonic count in range and r below 1 (the closed form would
  // otherwise divide 0 by 0).
  static constexpr float kMaxPeriod = 1048576.0f;

  struct TBlitState {
    float Position = 0;        // place in the current cycle, 0..1
    float Rolloff = 0.5f;      // per-harmonic amplitude base
    float CycleIncrement = 0;  // cycles per sample of the current cycle
    float Period = 0;          // samples per cycle
    float X1 = 0;              // integrator: last input
    float Y1 = 0;              // integrator: last output
    float FeedbackCoef = 0;
    float InputCoef = 0.5f;
    float HarmonicCount = 0;       // cosines summed, the constant term included
    float RolloffPerHarmonic = 0;  // r
    float RolloffPowerM = 0;       // r^M
  };

  TDSPBlitOscillator();

  // Stores three times the gain (the wrapper divides by 3 when it replaces
  // this class, so the owner's loudness carries over).
  void SetGain(float gain) override { Gain = 3.0f * gain; }
  void Tick() override { OutputSample = BlitSample(); }
  void ContinueFrom(const TDSPBaseOscillator& other) override {
    TDSPBaseOscillator::ContinueFrom(other);
    BlitState = static_cast<const TDSPBlitOscillator&>(other).BlitState;
  }

  float BlitSample() {
    TBlitState& s = BlitState;
    if (s.Position >= 1.0f || s.CycleIncrement == 0.0f) StartCycle();
    const float theta = kTwoPi * s.Position;
    const double t = theta;
    const double mTheta = static_cast<double>(s.HarmonicCount) * t;
    const double c1 = std::cos(t);
    const double cM = std::cos(mTheta);
    const double cM1 = std::cos(mTheta - t);
    const double r = s.RolloffPerHarmonic;
    const double rM = s.RolloffPowerM;
    // Evaluated in double: near theta = 0 numerator and denominator are small
    // differences of numbers near 1.
    const double sum = (1.0 - rM * cM - (c1 - rM * cM1) * r) / ((1.0 - 2.0 * r * c1 + r * r) * s.Period);
    s.Position += s.CycleIncrement;
    const float x = static_cast<float>(sum) - s.CycleIncrement;  // mean removed
    float y = (x + s.X1) * s.InputCoef - s.FeedbackCoef * s.Y1;
    if (!std::isfinite(y)) {
      s.X1 = s.Y1 = 0;
      return 0;
    }
    s.X1 = x;
    s.Y1 = y;
    return y;
  }

  TBlitState BlitState;

 protected:
  static constexpr float kTwoPi = 6.28318530717958647692f;
  // At a cycle start: take the current increment, derive period, harmonic
  // count and roll-off.
  void StartCycle();
};

// 38 "Saw AA"
class TBlitSawOsc1 final : public TWaveformRunners<TBlitSawOsc1, TDSPBlitOscillator> {
 public:
  // The base runner with the amplitude input times 3 (the one-sample runner
  // stays without that factor).
  void ProcessBlockControl() override;
  // One millisecond in place: value x gain, then one phase step.
  void ProcessBuffer(float* buffer) override;
};
