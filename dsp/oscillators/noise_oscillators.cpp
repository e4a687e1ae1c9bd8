#include "dsp/oscillators/noise_oscillators.h"

void TNoiseOsc1::ProcessBlock() {
  if (!OutBuffer) return;
  const std::int32_t last = Settings->LastIndex;
  for (std::int32_t i = 0; i <= last; ++i) OutBuffer[i] = Draw() * Gain;
}

void TNoiseOsc1::ProcessBlockControl() {
  if (!OutBuffer) return;
  const std::int32_t last = Settings->LastIndex;
  for (std::int32_t i = 0; i <= last; ++i) OutBuffer[i] = Draw();
}

void TNoiseOsc1::ProcessOneSample() {
  if (!OutBuffer) return;
  OutBuffer[CurrentSampleIndex] = Draw();
}
