// Threshold distortion of the sampler zones: samples below the lower
// threshold become the low level, samples above the upper threshold the high
// level, and the result is mixed with the dry signal. All parameters are
// plain stored values (no clamp), 0 after construction (which passes the
// input unchanged).
#pragma once

#include "framework/modules/dsp_control.h"

class TDSPDistortion1 : public TDSPControl {
 public:
  void SetHighThreshold(float value) { UpperThreshold = value; }
  void SetLowThreshold(float value) { LowerThreshold = value; }
  void SetHighLevel(float value) { HighLevel = value; }
  void SetLowLevel(float value) { LowLevel = value; }
  void SetMix(float value) { Mix = value; }  // 0 dry .. 1 fully replaced

  // A sample exactly on a threshold passes unchanged.
  float Step(float x) const {
    float y = x;
    if (x < LowerThreshold) y = LowLevel;
    else if (x > UpperThreshold) y = HighLevel;
    return (1 - Mix) * x + Mix * y;
  }
  void Tick() override { OutputSample = Step(InputSample); }
  void ProcessBuffer(float* buffer) override;
  // Input 0 the signal, inputs 1..5 the upper threshold, lower threshold,
  // high level, low level and mix, all read per sample; into the output
  // buffer.
  void ProcessBlockControl() override;
  // The same for the sample at CurrentSampleIndex.
  void ProcessOneSample() override;

  float UpperThreshold = 0;
  float LowerThreshold = 0;
  float HighLevel = 0;
  float LowLevel = 0;
  float Mix = 0;

 private:
  void TakeInputsAt(std::int32_t i);
};
