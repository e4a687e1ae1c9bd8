#include "framework/modules/dsp_control.h"

#include <cstring>

TDSPControl::TDSPControl() {
  AdoptsSettings = true;
  for (auto& input : Inputs) input = ZeroBuffer;
  BlockRunner = TMethod<void()>::Bind<&TDSPControl::ProcessBlockControl>(this);
  SampleRunner = TMethod<void()>::Bind<&TDSPControl::ProcessOneSample>(this);
}

TDSPControl::~TDSPControl() { TDSPControl::ReleaseBuffers(); }

void TDSPControl::ReallocBuffers() {
  ReleaseBuffers();
  AllocBuffers();
}

void TDSPControl::ReleaseBuffers() {
  FreeBuffers();
  ClearBufferPointers();
}

void TDSPControl::ProcessBlock() {
  const std::int32_t last = Settings->LastIndex;
  for (std::int32_t i = 0; i <= last; ++i) {
    InputSample = InBuffer[i];
    Tick();
    OutBuffer[i] = OutputSample;
  }
}

void TDSPControl::ProcessAt(std::int32_t& i) {
  InputSample = InBuffer[i];
  Tick();
  InBuffer[i] = 0;
}

namespace {
template <typename T>
void Advance(T& count, std::int64_t limit) {
  const std::int64_t next = static_cast<std::int64_t>(count) + 1;
  count = next >= limit ? 0 : static_cast<T>(next);
}
}  // namespace

void TDSPControl::AdvanceCounterB() { Advance(CounterB, CounterBLimit); }
void TDSPControl::AdvanceCounterA() { Advance(CounterA, CounterALimit); }

void TDSPControl::AdvanceCounter(std::int32_t i) {
  if (i < 0 || static_cast<std::size_t>(i) >= Counters.size()) return;
  Advance(Counters[static_cast<std::size_t>(i)].Count, Counters[static_cast<std::size_t>(i)].Limit);
}

void TDSPControl::CopyInput(const float* source) {
  std::memcpy(InBuffer, source, static_cast<std::size_t>(Settings->BufferBytes));
}

void TDSPControl::FillInput(float v) {
  InputSample = v;
  FillBuffer(InBuffer, v);
}

void TDSPControl::FillBuffer(float* buffer, float v) {
  const std::int32_t n = Settings->BufferLength;
  for (std::int32_t i = 0; i < n; ++i) buffer[i] = v;
}

void TDSPControl::ProcessBlockControl() {
  const std::int32_t last = Settings->LastIndex;
  const float* in = Inputs[0];
  for (std::int32_t i = 0; i <= last; ++i) {
    InputSample = in[i];
    Tick();
    OutBuffer[i] = OutputSample;
  }
}

void TDSPControl::ProcessOneSample() {
  const std::int32_t i = CurrentSampleIndex;
  InputSample = Inputs[0][i];
  Tick();
  OutBuffer[i] = OutputSample;
}

void TDSPControl::ProcessBuffer(float* buffer) {
  const std::int32_t n = Settings->SamplesPerMs;
  for (std::int32_t i = 0; i < n; ++i) {
    InputSample = buffer[i];
    Tick();
    buffer[i] = OutputSample;
  }
}
