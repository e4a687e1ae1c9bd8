// The oscillator that voices, the sampler's zone LFOs, the chorus and phaser
// LFOs, the effects rack LFOs and the synthesis layer's LFOs own: a component
// that holds one waveform object, one of the 93 waveforms of the factory
// list, and forwards to it. Choosing another waveform builds a new object of
// the chosen class and carries over the audio settings, buffer use, gain and
// pitch (not the phase, shape, drift or sync state).
//
// Typical LFO use (a control-rate record, ticked once per millisecond, so a
// frequency ten times the wanted rate):
//   TDSPOscillator lfo;
//   lfo.SetAudioSettings(&ControlAudioSettings);
//   lfo.SetWaveform(30);                       // "Cosine"
//   lfo.SetFrequency(PitchToFreq(rate) * 10);  // rate cycles per second
//   lfo.SetGain(amount);
//   each millisecond: lfo.Tick(); value = lfo.OutputSample;
//
// Threads: no lock of its own. The owner changes the waveform and the
// settings under its lock or on the audio thread that ticks it: a new
// waveform is built in the oscillator's own storage (made once, for the
// largest class), so a change allocates nothing. The plain setters
// (frequency, gain, phase) are single stores.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "dsp/oscillators/base_oscillator.h"
#include "dsp/oscillators/random_source.h"
#include "framework/base/in_place.h"

// Slots of the waveform parameter: 0..92 are waveforms, 93..127 play the
// fallback sine ("Sine", class TSineOsc1) and have no name.
inline constexpr std::int32_t kWaveformCount = 93;
inline constexpr std::int32_t kWaveformSlots = 128;
// The index of "Saw AA", the band-limited saw that stores three times its gain.
inline constexpr std::int32_t kBlitSawIndex = 38;

// Display names of the waveform parameter values; empty from 93 on.
extern const std::array<std::string_view, kWaveformSlots> WaveformNames;
std::string GetWaveformName(std::int32_t index);

// A new waveform object of the class of `index`; indices outside 0..92 give
// the fallback sine. Default settings, phase 0.001.
std::unique_ptr<TDSPBaseOscillator> CreateWaveform(std::int32_t index);

class TDSPOscillator : public TDSPControl {
 public:
  // Plays "Saw" (index 0) with gain 1 at the default settings (44100 Hz)
  // until the owner sets its own. Also builds the shared wave tables, so no
  // later waveform switch (on the audio thread) computes one.
  TDSPOscillator();
  ~TDSPOscillator() override;

  void SetUsesBuffers(bool flag) override;
  // The record in use (adopted), then a rebuild of the waveform for it.
  void SetAudioSettings(TAudioSettingsRec* rec) override;
  // The waveform's ProcessBlock (needs buffers), copied into OutBuffer.
  void ProcessBlock() override;
  // One sample: the waveform's value x gain, then one phase step; the result
  // is in OutputSample.
  void Tick() override {
    TDSPBaseOscillator& w = *Waveform;
    w.Tick();
    w.AdvanceSample();
    OutputSample = w.OutputSample;
  }
  // One millisecond (SamplesPerMs samples) of value x gain into buffer.
  void ProcessBuffer(float* buffer) override { Waveform->ProcessBuffer(buffer); }

  // Waveform index as a float (a parameter value): rounded to nearest even,
  // clamped to 0..127, then the waveform is rebuilt, also when the index is
  // unchanged (which restarts the phase).
  void SetWaveform(float value);
  // Hz; clamped by the waveform (1e-9, or 1e-7 for table waveforms, up to
  // 600000).
  void SetFrequency(float hz) { Waveform->SetFrequency(hz); }
  // The amplitude the owner wants (any sign).
  void SetGain(float gain) { Waveform->SetGain(gain); }
  // The waveform's stored gain ("Saw AA" stores three times the gain given).
  float GetGain() const { return Waveform->Gain; }
  void ResetPhase() { Waveform->ResetPhase(); }
  // The seed of the noise waveforms' draws, kept for every waveform built
  // later; the current one restarts its draws from it. Audio thread, or
  // under its owner's lock.
  void SetRandomSeed(std::uint64_t seed) {
    RandomSeed = seed;
    Waveform->SetRandomSeed(seed);
  }
  // Goes on where `other` is (TDSPBaseOscillator::ContinueFrom) when it
  // plays the same waveform; otherwise nothing. Audio thread.
  void ContinueFrom(const TDSPOscillator& other);
  // Moves the phase to `phase` (the waveform's own units) and returns the raw
  // value there, without gain.
  float GetValueAtPhase(float phase);

  std::int16_t GetWaveformIndex() const { return WaveformIndex; }
  // The current waveform object (pitch, shape, phase and the block runners).
  // Valid until the next SetWaveform or SetAudioSettings.
  TDSPBaseOscillator& CurrentWaveform() { return *Waveform; }
  const TDSPBaseOscillator& CurrentWaveform() const { return *Waveform; }
  // False while a rebuild runs.
  bool IsReady() const { return Ready.load(std::memory_order_acquire) != 0; }

 private:
  // Builds the waveform of WaveformIndex in the spare storage slot and makes
  // it current, carrying settings, gain and pitch over.
  void RebuildOscillator();

  TInPlacePair<TDSPBaseOscillator> Storage;
  TDSPBaseOscillator* Waveform = nullptr;
  std::int16_t WaveformIndex = 0;
  std::uint64_t RandomSeed = TRandomSource::kDefaultSeed;
  std::atomic<std::uint8_t> Ready{0};
};
