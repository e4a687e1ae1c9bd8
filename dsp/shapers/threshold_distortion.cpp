#include "dsp/shapers/threshold_distortion.h"

void TDSPDistortion1::ProcessBuffer(float* buffer) {
  const std::int32_t n = Settings->SamplesPerMs;
  for (std::int32_t i = 0; i < n; ++i) buffer[i] = Step(buffer[i]);
}

void TDSPDistortion1::TakeInputsAt(std::int32_t i) {
  UpperThreshold = Inputs[1][i];
  LowerThreshold = Inputs[2][i];
  HighLevel = Inputs[3][i];
  LowLevel = Inputs[4][i];
  Mix = Inputs[5][i];
}

void TDSPDistortion1::ProcessBlockControl() {
  const std::int32_t last = Settings->LastIndex;
  for (std::int32_t i = 0; i <= last; ++i) {
    TakeInputsAt(i);
    OutBuffer[i] = OutputSample = Step(Inputs[0][i]);
  }
}

void TDSPDistortion1::ProcessOneSample() {
  const std::int32_t i = CurrentSampleIndex;
  TakeInputsAt(i);
  OutBuffer[i] = OutputSample = Step(Inputs[0][i]);
}
