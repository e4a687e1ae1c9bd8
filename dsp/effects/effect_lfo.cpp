#include "dsp/effects/effect_lfo.h"

#include <algorithm>
#include <cmath>

std::unique_ptr<TDSPOscillator> CreateEffectLfo() {
  auto lfo = std::make_unique<TDSPOscillator>();
  lfo->SetAudioSettings(&ControlAudioSettings);
  return lfo;
}

void KeepOnControlRate(TDSPOscillator& lfo) {
  if (lfo.Settings != &ControlAudioSettings) lfo.SetAudioSettings(&ControlAudioSettings);
}

float TickModulation(TDSPOscillator& lfo, float limit) {
  lfo.TDSPOscillator::Tick();
  const float m = lfo.GetGain() + 0.25f * lfo.OutputSample;
  return std::isfinite(m) ? std::clamp(m, -limit, limit) : 0.0f;
}
