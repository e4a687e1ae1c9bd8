// Common base of the 93 waveform generators: a phase accumulator, pitch and
// frequency to phase increment, an output gain, a shape value some waveforms
// read, and block runners that combine the per-sample waveform value with
// amplitude, increment, phase-modulation, hard-sync and shape inputs.
//
// A waveform class supplies Tick (the raw value at the current phase, left
// in OutputSample; the phase is not stepped except by the table waveforms)
// and ProcessBuffer. Concrete waveforms derive through TWaveformRunners,
// which instantiates every runner for the concrete (final) class, so the
// per-sample loops call the waveform's Tick directly, without a virtual call.
//
// Threads: an oscillator is driven by the thread that renders its owner (the
// audio thread, under its owner's plug-in lock); setters are plain stores.
#pragma once

#include <cmath>
#include <cstdint>
#include <memory>

#include "framework/modules/dsp_control.h"

class TDSPBaseOscillator : public TDSPControl {
 public:
  // The phase that ResetPhase restores and a new object starts at.
  static constexpr float kStartPhase = 0.001f;
  // Bits of InputMode that select the optional block buffers.
  static constexpr std::uint32_t kSyncBufferBits = 0x40000;
  static constexpr std::uint32_t kPhaseModBufferBits = 0x30000;
  static constexpr std::uint32_t kSyncPhaseBufferBits = 0x50000;
  static constexpr std::uint32_t kShapeBufferBits = 0x60000;

  TDSPBaseOscillator();
  ~TDSPBaseOscillator() override;

  void ReallocBuffers() override;
  void ReleaseBuffers() override;
  void ClearBufferPointers() override;
  // Tick; out[i] := output x AmplitudeBuffer[i]; phase += IncrementBuffer[i].
  void ProcessBlock() override { RunBlock(*this); }
  // Pitch from input 0 (checked once per block), amplitude from input 1.
  void ProcessBlockControl() override { RunBlockControl(*this); }
  void ProcessOneSample() override { RunOneSample(*this); }

  // The table waveforms override it; here it only stores the length.
  virtual void InitTable(std::int16_t length) { TableLength = length; }
  // hz is clamped to 1e-9..600000; an unchanged or NaN value does nothing.
  virtual void SetFrequency(float hz);
  // Semitones on the MIDI scale (69 = 440 Hz) plus PitchOffset, clamped to
  // -128..256 for the conversion; a NaN does nothing.
  virtual void SetPitch(float pitch);
  virtual void SetGain(float gain) { Gain = gain; }
  virtual void ResetPhase() { Phase = kStartPhase; }
  // Fraction of a table; only the table waveforms move.
  virtual void AddPhase(float /*fraction*/) {}
  virtual void SetPhaseDrift(float v) { PhaseDrift = static_cast<float>(TableLength) * v; }
  // The noise waveforms draw from a generator seeded here; the others draw
  // nothing.
  virtual void SetRandomSeed(std::uint64_t /*seed*/) {}
  // Goes on where `other`, a waveform of the same class, is: its phase and
  // what its owner set last (rate, gain, shape); a class with state of its
  // own adds it. Audio thread.
  virtual void ContinueFrom(const TDSPBaseOscillator& other);
  // True when Tick only computes the value at the phase and changes no state
  // (the formula waveforms): an owner that needs no value may step the phase
  // alone (StepPhase(Increment)) and is where ticking would have left it.
  virtual bool TickOnlyReads() const { return false; }
  // Phase modulation (PhaseModBuffer) and hard sync (SyncBuffer, jumping to
  // SyncPhaseBuffer on a rising edge through zero).
  virtual void ProcessBlockPMSync() { RunBlockPMSync<false>(*this); }
  virtual void ProcessBlockPMSyncShape() { RunBlockPMSync<true>(*this); }
  // Per-sample shape, amplitude and increment buffers.
  virtual void ProcessBlockShape() { RunBlockShape(*this); }
  // Pitch and amplitude inputs, per-sample increments from IncrementBuffer.
  virtual void ProcessBlockControlInc() { RunBlockControlInc(*this); }
  // Pitch, amplitude and shape (input 2) inputs, fixed increment.
  virtual void ProcessBlockControlShape() { RunBlockControlShape(*this); }
  virtual void ProcessOneSampleShape() { RunOneSampleShape(*this); }

  // Output x gain, then one phase step (the wrapper's per-sample path).
  void AdvanceSample() {
    OutputSample *= Gain;
    StepPhase(Increment);
  }
  // Places the phase in range with one subtraction or addition of PhaseWrap
  // (a value far outside can stay outside until the next step). A value that
  // is not finite restarts the phase.
  void SetPhase(float x);
  // AmplitudeBuffer := Gain and IncrementBuffer := Increment (buffers used).
  void FillInputBuffers();

  // Phase step of AdvanceSample and of the waveforms' ProcessBuffer: wraps
  // when the phase is strictly above PhaseLimit.
  void StepPhase(float increment) {
    Phase += increment;
    if (!(Phase <= PhaseLimit)) {  // above the limit, or not a number
      Phase -= PhaseWrap;
      if (!(Phase <= PhaseLimit)) RecoverPhase();
    }
  }
  // Phase step of the block runners: wraps already at PhaseLimit.
  void StepPhaseAtLimit(float increment) {
    Phase += increment;
    if (!(Phase < PhaseLimit)) {
      Phase -= PhaseWrap;
      if (!(Phase < PhaseLimit)) RecoverPhase();
    }
  }
  // A phase still beyond the limit after one wrap (an increment larger than
  // the wrap) is folded into range by whole wraps, which leaves the sound of
  // a periodic waveform unchanged; a phase that is not finite restarts.
  void RecoverPhase();

  std::uint32_t InputMode = 0x20000;
  std::int16_t TableLength = 0;
  std::uint8_t SyncArmed = 1;
  float PhaseDrift = 0;  // extra phase per sample (table waveforms)
  float* PhaseModBuffer = nullptr;
  float PhaseMin = -100.0f;   // lower bound used by SetPhase
  float PhaseLimit = 96.0f;   // the phase wraps beyond this value
  float PhaseWrap = 48.0f;    // subtracted on a wrap: whole cycles
  float Phase = kStartPhase;  // cycles for the formula waveforms
  float Frequency = 1.0f;     // Hz
  float Increment = 0.02f;    // phase per sample
  float* IncrementBuffer = nullptr;
  float PitchOffset = 0;         // semitones added to every pitch
  float EffectivePitch = 0.05f;  // the pitch the current frequency stands for
  float Pitch = 1.0f;            // the last pitch given to SetPitch
  float* SpareBuffer = nullptr;
  float Gain = 1.0f;
  float* AmplitudeBuffer = nullptr;
  float* SyncPhaseBuffer = nullptr;
  float* SyncBuffer = nullptr;
  float Shape = 0.5f;  // shape or pulse width, read by some waveforms
  float* ShapeBuffer = nullptr;

 protected:
  // The runners, written once for any oscillator class. Instantiated with a
  // final class, o.Tick() is a direct call. Each returns at once when a
  // buffer it needs was not made (buffers not used, or InputMode left it out).
  template <class Osc>
  static void CheckPitch(Osc& o, float pitch) {
    if (o.Pitch != pitch) o.SetPitch(pitch);
  }
  // Samples first..last: optional shape from shape[i], Tick, output x
  // amplitude[i], then a step by increments[i] (or by the fixed Increment).
  template <bool WithShape, bool PerSampleIncrement, class Osc>
  static void RunSpan(Osc& o, std::int32_t first, std::int32_t last, const float* shape, const float* amplitude,
                      const float* increments) {
    for (std::int32_t i = first; i <= last; ++i) {
      if constexpr (WithShape) o.Shape = shape[i];
      o.Tick();
      o.OutBuffer[i] = o.OutputSample * amplitude[i];
      o.StepPhaseAtLimit(PerSampleIncrement ? increments[i] : o.Increment);
    }
  }
  template <class Osc>
  static void RunBlock(Osc& o) {
    if (!o.OutBuffer || !o.AmplitudeBuffer || !o.IncrementBuffer) return;
    RunSpan<false, true>(o, 0, o.Settings->LastIndex, nullptr, o.AmplitudeBuffer, o.IncrementBuffer);
  }
  template <class Osc>
  static void RunBlockControl(Osc& o) {
    if (!o.OutBuffer) return;
    CheckPitch(o, o.Inputs[0][0]);
    RunSpan<false, false>(o, 0, o.Settings->LastIndex, nullptr, o.Inputs[1], nullptr);
  }
  template <class Osc>
  static void RunOneSample(Osc& o) {
    if (!o.OutBuffer) return;
    const std::int32_t i = CurrentSampleIndex;
    CheckPitch(o, o.Inputs[0][i]);
    RunSpan<false, false>(o, i, i, nullptr, o.Inputs[1], nullptr);
  }
  template <class Osc>
  static void RunBlockControlInc(Osc& o) {
    if (!o.OutBuffer || !o.IncrementBuffer) return;
    CheckPitch(o, o.Inputs[0][0]);
    RunSpan<false, true>(o, 0, o.Settings->LastIndex, nullptr, o.Inputs[1], o.IncrementBuffer);
  }
  template <class Osc>
  static void RunBlockControlShape(Osc& o) {
    if (!o.OutBuffer) return;
    CheckPitch(o, o.Inputs[0][0]);
    RunSpan<true, false>(o, 0, o.Settings->LastIndex, o.Inputs[2], o.Inputs[1], nullptr);
  }
  template <class Osc>
  static void RunOneSampleShape(Osc& o) {
    if (!o.OutBuffer) return;
    const std::int32_t i = CurrentSampleIndex;
    CheckPitch(o, o.Inputs[0][i]);
    RunSpan<true, false>(o, i, i, o.Inputs[2], o.Inputs[1], nullptr);
  }
  template <class Osc>
  static void RunBlockShape(Osc& o) {
    if (!o.OutBuffer || !o.ShapeBuffer || !o.AmplitudeBuffer || !o.IncrementBuffer) return;
    RunSpan<true, true>(o, 0, o.Settings->LastIndex, o.ShapeBuffer, o.AmplitudeBuffer, o.IncrementBuffer);
  }
  template <bool WithShape, class Osc>
  static void RunBlockPMSync(Osc& o) {
    if (!o.OutBuffer || !o.PhaseModBuffer || !o.AmplitudeBuffer || !o.IncrementBuffer) return;
    if (WithShape && !o.ShapeBuffer) return;
    // Without the two sync buffers the block runs with phase modulation only.
    const bool sync = o.SyncBuffer && o.SyncPhaseBuffer;
    const std::int32_t last = o.Settings->LastIndex;
    for (std::int32_t i = 0; i <= last; ++i) {
      if constexpr (WithShape) o.Shape = o.ShapeBuffer[i];
      // Phase modulation moves only the point that is read.
      const float phase = o.Phase;
      o.StepPhaseAtLimit(o.PhaseModBuffer[i]);
      o.Tick();
      o.Phase = phase;
      o.OutBuffer[i] = o.OutputSample * o.AmplitudeBuffer[i];
      o.StepPhaseAtLimit(o.IncrementBuffer[i]);
      if (!sync) continue;
      // Hard sync: arm on a negative (or NaN) input, jump on the first
      // sample at or above zero after it; the jump shows from the next sample.
      if (!(o.SyncBuffer[i] >= 0.0f)) {
        o.SyncArmed = 1;
      } else if (o.SyncArmed) {
        o.Phase = o.SyncPhaseBuffer[i];
        o.SyncArmed = 0;
      }
    }
  }

 private:
  struct TBlockStore;
  std::unique_ptr<TBlockStore> Blocks;
};

// Instantiates every block runner for the concrete waveform class Derived
// (which must be final), so its loops call Derived's Tick directly.
template <class Derived, class Base = TDSPBaseOscillator>
class TWaveformRunners : public Base {
 public:
  using Base::Base;
  void ProcessBlock() override { Base::RunBlock(Self()); }
  void ProcessBlockControl() override { Base::RunBlockControl(Self()); }
  void ProcessOneSample() override { Base::RunOneSample(Self()); }
  void ProcessBlockPMSync() override { Base::template RunBlockPMSync<false>(Self()); }
  void ProcessBlockPMSyncShape() override { Base::template RunBlockPMSync<true>(Self()); }
  void ProcessBlockShape() override { Base::RunBlockShape(Self()); }
  void ProcessBlockControlInc() override { Base::RunBlockControlInc(Self()); }
  void ProcessBlockControlShape() override { Base::RunBlockControlShape(Self()); }
  void ProcessOneSampleShape() override { Base::RunOneSampleShape(Self()); }

 protected:
  Derived& Self() { return static_cast<Derived&>(*this); }
};
