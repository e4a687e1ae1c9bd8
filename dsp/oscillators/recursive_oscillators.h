// Recursive sine and cosine: a coupled two-state recursion (s -= k c;
// c += k s) with k = 2 sin(pi x increment), two multiplications per sample.
// The amplitude follows from the start values: with s = 0.5 and c = 0 it is
// about 0.5 / cos(pi x increment).
#pragma once

#include <cmath>

#include "dsp/oscillators/base_oscillator.h"

class TSineCososc1 : public TDSPBaseOscillator {
 public:
  // Starts in the reset state, so a new object sounds without a ResetPhase.
  TSineCososc1() { TSineCososc1::ResetPhase(); }

  void SetPitch(float pitch) override {
    TDSPBaseOscillator::SetPitch(pitch);
    UpdateCoefficient();
  }
  // The rate follows a frequency too (the LFO owners set rates this way).
  void SetFrequency(float hz) override {
    TDSPBaseOscillator::SetFrequency(hz);
    UpdateCoefficient();
  }
  // Restarts the recursion; the base phase is left alone.
  void ResetPhase() override {
    SineState = 0.5f;
    CosineState = 0.0f;
  }
  void ContinueFrom(const TDSPBaseOscillator& other) override {
    TDSPBaseOscillator::ContinueFrom(other);
    const auto& from = static_cast<const TSineCososc1&>(other);
    RecursionCoef = from.RecursionCoef;
    SineState = from.SineState;
    CosineState = from.CosineState;
  }
  void Recurse() {
    SineState -= RecursionCoef * CosineState;
    CosineState += RecursionCoef * SineState;
  }

  float RecursionCoef = 0;
  float SineState = 0;
  float CosineState = 0;

 private:
  void UpdateCoefficient() {
    RecursionCoef = static_cast<float>(2.0 * std::sin(3.14159265358979323846 * static_cast<double>(Increment)));
  }
};

template <class Derived, bool Sine>
class TRecursiveOscillator : public TWaveformRunners<Derived, TSineCososc1> {
 public:
  // One recursion step; the output is without gain, like every other
  // waveform's Tick (the owner's gain is applied once, by the caller).
  void Tick() override {
    this->Recurse();
    this->OutputSample = State();
  }
  void ProcessBuffer(float* buffer) override {
    const std::int32_t n = this->Settings->SamplesPerMs;
    for (std::int32_t i = 0; i < n; ++i) {
      this->Recurse();
      buffer[i] = State() * this->Gain;
      this->StepPhase(this->Increment);
    }
  }

 private:
  float State() const { return Sine ? this->SineState : this->CosineState; }
};

// 46 "Sine3"
class TSineOsc3 final : public TRecursiveOscillator<TSineOsc3, true> {};
// 47 "Cosine2"
class TCosineOsc2 final : public TRecursiveOscillator<TCosineOsc2, false> {};
