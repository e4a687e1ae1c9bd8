// Per-sample DSP component: the base of every oscillator, filter, shaper,
// envelope, effect, sequencer and voice. The owner writes InputSample, calls
// Tick and reads OutputSample; around that core sit block loops over the work
// buffers, sixteen input pointers that read zeros until connected, wrapping
// counters, and two runners through which an owner drives the component
// without knowing its class.
#pragma once

#include <cstdint>
#include <vector>

#include "framework/base/constant_buffers.h"
#include "framework/base/method.h"
#include "framework/modules/dsp_base_control.h"

// Index inside the current block of the sample being computed when
// components run one sample at a time. Per thread: two plug-in instances
// rendering on two threads never share it.
inline thread_local std::int16_t CurrentSampleIndex = 0;

class TDSPControl : public TDSPBaseControl {
 public:
  static constexpr int kInputCount = 16;
  struct TCounter {
    std::int32_t Count = 0;
    std::int32_t Limit = 0;
  };

  TDSPControl();
  ~TDSPControl() override;

  void SetAudioSettings(TAudioSettingsRec* rec) override { TDSPBaseControl::SetAudioSettings(rec); }
  void ReallocBuffers() override;
  void ReleaseBuffers() override;

  virtual void ControlHook() {}
  virtual void SetOutput(float& v) { OutputSample = v; }
  // InBuffer -> Tick -> OutBuffer over one block.
  virtual void ProcessBlock();
  // Ticks InBuffer[i] and clears it; the result stays in OutputSample.
  virtual void ProcessAt(std::int32_t& i);
  // The per-sample operation every component overrides.
  virtual void Tick() { OutputSample = 0; }
  virtual void TickInPlace(float& x) {
    InputSample = x;
    Tick();
    x = OutputSample;
  }
  virtual void Reset() {
    InputSample = 0;
    OutputSample = 0;
  }
  // Recomputes derived values after a parameter change.
  virtual void Update() {}
  virtual void AdvanceCounterB();
  virtual void AdvanceCounterA();
  virtual void AdvanceCounter(std::int32_t i);
  virtual void SetInput(float v) { InputSample = v; }
  // Copies BufferLength floats from source into InBuffer.
  virtual void CopyInput(const float* source);
  virtual void FillInput(float v);
  virtual void SetInputAt(float& v, std::int32_t& i) {
    InputSample = v;
    InBuffer[i] = v;
  }
  virtual void BlockHook() {}
  // The first BufferLength floats of buffer := v.
  virtual void FillBuffer(float* buffer, float v);
  // Inputs[0] -> Tick -> OutBuffer over one block.
  virtual void ProcessBlockControl();
  // Inputs[0][CurrentSampleIndex] -> Tick -> OutBuffer[CurrentSampleIndex].
  virtual void ProcessOneSample();
  // One millisecond (SamplesPerMs samples) in place.
  virtual void ProcessBuffer(float* buffer);
  virtual void TickStereo(float& /*left*/, float& /*right*/) {}
  // Asked by the module graph whether this component runs a following chain
  // in one call; the base answers no (count -1, no method).
  virtual void QueryFusion(void* /*chain*/, std::int32_t& count, TMethod<void()>& method) {
    count = -1;
    method = {};
  }

  void SetControlFlag(std::uint8_t b) { ControlFlag = b; }
  // The same store under the name the oscillator wrapper's rebuild uses when
  // it hands the option byte on to a new waveform.
  void SetFlag48(std::uint8_t b) { SetControlFlag(b); }
  float FreqToIncrement(float freq) const { return freq * Settings->InvSampleRate; }

  std::uint8_t ControlFlag = 0;
  std::uint16_t ControlWord = 0;
  float InputSample = 0;
  float OutputSample = 0;
  // Signal inputs; each reads ZeroBuffer until an owner connects a signal.
  const float* Inputs[kInputCount];
  std::uint8_t StateFlags[3] = {0, 0, 0};
  void* Link1 = nullptr;
  void* Link2 = nullptr;
  float HalfDefault = 0.5f;
  float UnitDefault = 1.0f;
  std::vector<TCounter> Counters;
  std::uint16_t CounterA = 0, CounterALimit = 0;
  std::uint16_t CounterB = 0, CounterBLimit = 0;
  // Plain fields: an owner may replace them with a fused chain's method.
  TMethod<void()> BlockRunner;
  TMethod<void()> SampleRunner;
};
