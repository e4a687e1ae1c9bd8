// Noise waveforms: white, averaged ("Gaussian"), sample-and-hold at the
// cycle and shape points, a randomly jittered sine, and a one-sided noise.
// Each object draws from its own generator, seeded by its owner.
#pragma once

#include <cmath>

#include "dsp/oscillators/base_oscillator.h"
#include "dsp/oscillators/formula_oscillators.h"
#include "dsp/oscillators/random_source.h"

template <class Derived>
class TNoiseOscillator : public TWaveformRunners<Derived> {
 public:
  // One draw, without gain; the phase is not stepped.
  void Tick() override { this->OutputSample = this->Self().Draw(); }
  void SetRandomSeed(std::uint64_t seed) override { Random.Seed(seed); }
  // One millisecond in place: draw x gain, then one phase step.
  void ProcessBuffer(float* buffer) override {
    const std::int32_t n = this->Settings->SamplesPerMs;
    for (std::int32_t i = 0; i < n; ++i) {
      buffer[i] = this->Self().Draw() * this->Gain;
      this->StepPhase(this->Increment);
    }
  }

 protected:
  TRandomSource Random;
};

// 28 "Noise": uniform in [-1, 1).
class TNoiseOsc1 final : public TNoiseOscillator<TNoiseOsc1> {
 public:
  float Draw() { return 2.0f * Random.Next() - 1.0f; }
  // The block of draws x gain; the phase does not move.
  void ProcessBlock() override;
  // The draws without gain or amplitude input.
  void ProcessBlockControl() override;
  void ProcessOneSample() override;
};

// 29 "Gaussian": the mean of eight draws, scaled to [-1, 1).
class TGaussianNoiseOsc1 final : public TNoiseOscillator<TGaussianNoiseOsc1> {
 public:
  float Draw() {
    float sum = 0;
    for (int k = 0; k < 8; ++k) sum += Random.Next();
    return sum / 8.0f * 2.0f - 1.0f;
  }
};

// 31 "PNoise1": a value drawn at the cycle start and at the shape point and
// held in between.
class TNoiseOsc2 final : public TNoiseOscillator<TNoiseOsc2> {
 public:
  float Draw() {
    const std::int8_t sign = FracTrunc(Phase) > Shape ? 1 : -1;
    if (sign != HeldSign) {
      HeldValue = 2.0f * Random.Next() - 1.0f;
      HeldSign = sign;
    }
    return HeldValue;
  }
  float HeldValue = 0;
  std::int8_t HeldSign = 0;  // half-cycle sign of the last draw
};

// 43 "Noise4": a sine whose phase takes a random step every sample (the
// jitter accumulates in the phase).
class TNoiseOsc4 final : public TNoiseOscillator<TNoiseOsc4> {
 public:
  float Draw() {
    const float a = Random.Next();
    const float b = Random.Next();
    Phase += (b - 0.5f) * 0.2f * (2.0f * a - 1.0f);
    return static_cast<float>(std::sin(static_cast<double>(kTwoPiF) * Phase));
  }
};

// 44 "Noise5": (2 - r) r, in [0, 1).
class TNoiseOsc5 final : public TNoiseOscillator<TNoiseOsc5> {
 public:
  float Draw() {
    const float r = Random.Next();
    return (2.0f - r) * r;
  }
};
