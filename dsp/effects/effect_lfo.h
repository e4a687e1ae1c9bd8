// The modulation LFOs of the chorus and the phaser: oscillators on the
// control-rate record (10000 Hz), ticked once per one-millisecond sub-block,
// so a frequency of ten times the wanted rate gives that many cycles per
// second. The rack sets waveform, frequency and gain on them directly.
#pragma once

#include <memory>

#include "dsp/oscillators/oscillator.h"

// A new LFO on ControlAudioSettings.
std::unique_ptr<TDSPOscillator> CreateEffectLfo();
// Puts the LFO back on ControlAudioSettings if it was moved off it (an LFO
// already there is not rebuilt).
void KeepOnControlRate(TDSPOscillator& lfo);
// One tick of the LFO and its modulation value: gain + 0.25 x output, limited
// to -limit..limit; a non-finite value gives 0.
float TickModulation(TDSPOscillator& lfo, float limit);
