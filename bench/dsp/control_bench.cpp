// The per-millisecond control units of a voice and of the rack: an LFO tick
// at the control rate (the sine and cosine formula waveforms the factory
// programs use) and one millisecond of an envelope in its decay. Each
// iteration is one control period.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "dsp/envelopes/envelope.h"
#include "dsp/oscillators/oscillator.h"
#include "framework/modules/audio_settings.h"

namespace {

// waveform: 6 "Sine", 30 "Cosine".
void BM_ControlLfo(benchmark::State& state) {
  TDSPOscillator lfo;
  lfo.SetAudioSettings(&ControlAudioSettings);
  lfo.SetWaveform(static_cast<float>(state.range(0)));
  lfo.SetFrequency(TDSPBaseControl::PitchToFreq(-36.0f) * 10.0f);
  lfo.SetGain(1.0f);
  for (auto _ : state) {
    lfo.Tick();
    benchmark::DoNotOptimize(lfo.OutputSample);
  }
}
BENCHMARK(BM_ControlLfo)->Arg(6)->Arg(30)->Name("BM_Control/Lfo");

void BM_EnvelopeDecay(benchmark::State& state) {
  TAudioSettingsRec rec = MakeAudioSettings(44100, 44);
  TDSPADSR env;
  env.SetAudioSettings(&rec);
  env.SetAttack(1.0f);
  env.SetDecay(1.0e6f);  // stays in its decay for the whole run
  env.SetSustain(0.2f);
  env.NoteOn(1.0f);
  std::vector<float> buffer(static_cast<std::size_t>(rec.SamplesPerMs));
  for (auto _ : state) {
    env.ProcessBuffer(buffer.data());
    benchmark::DoNotOptimize(buffer[0]);
  }
}
BENCHMARK(BM_EnvelopeDecay)->Name("BM_Control/EnvelopeDecay");

}  // namespace
