// The synth voice: the envelope voice plus the per-voice shaping objects
// that the synthesis layer drives (three LFOs, two filter blocks of a left
// and a right filter, a left and a right shaper, two step sequencers), and
// the two sound-source levels of the chain (an oscillator and a diatonic
// tuner each).
//
// The layers above reach the objects directly: Lfo[k], Filter1[side],
// Filter2[side], Shaper[side] (side 0 left, 1 right), Seq1, Seq2 (or
// Sequencer(0/1)), Osc1/Tuner1, Osc2/Tuner2. Settings: the filters, shapers,
// sequencers and oscillators follow the voice's audio settings; the LFOs
// always run on ControlAudioSettings (ticked once per millisecond).
#pragma once

#include <array>
#include <cstdint>

#include "dsp/envelopes/diatonic_tune.h"
#include "dsp/filters/multi_filter.h"
#include "dsp/oscillators/oscillator.h"
#include "dsp/shapers/multi_shaper.h"
#include "dsp/voices/step_sequencer.h"
#include "dsp/voices/voice.h"

class TDSPSynthVoice : public TDSPEnvVoice {
 public:
  static constexpr int kLfoCount = 3;

  TDSPSynthVoice();

  void SetAudioSettings(TAudioSettingsRec* rec) override;
  // Inherited, then the LFOs restart their phases, counters and cycle
  // counts (an LFO with a cycle limit sounds again after an engine reset),
  // the sequencers rest, and the filters and shapers forget what they held.
  void ResetVoice() override;
  // The LFOs (phase, counter, cycle count) and both sequencers go on from
  // the other voice's.
  void ContinueFrom(const TDSPXVoice& voice) override;
  // Inherited; with retrigger every sequencer that resets on a new note
  // restarts and the LFOs marked for it restart their phase; without, only
  // the sequencers that also always retrigger restart.
  void LegatoNoteOn(TDSPXVoice& previous, bool retrigger) override;
  // The sequencers that reset on a new note and always retrigger restart.
  void LegatoContinue() override;
  // Inherited, then the filters forget the faded sound: what they still
  // held of it would sound under the next note's attack.
  void FadedOut() override;
  // Inherited, then the sequencers that reset on a new note restart and the
  // LFOs marked for it restart their phase.
  void Trigger() override;
  // Both sequencers follow the host tempo.
  void SetTempo(double bpm) override;
  // The LFOs and both sequencers.
  void SetRandomSeed(std::uint64_t seed) override;

  // The phase of every LFO whose reset flag is set restarts, with its
  // counter and cycle count.
  void ResetLfoPhases();
  // Sequencer 0 (Seq1) or 1 (Seq2).
  TDSPSequencer& Sequencer(int s) { return s == 0 ? Seq1 : Seq2; }

  std::array<TDSPOscillator, kLfoCount> Lfo;
  // Restart the LFO's phase at every new (or retriggered legato) note.
  std::array<bool, kLfoCount> LfoReset{};
  // The renderer's per-LFO state: samples since the LFO's cycle began (it
  // may set it negative to restart the cycle at the next step) and the
  // number of finished cycles.
  std::array<std::int64_t, kLfoCount> LfoCounter{};
  std::array<std::int32_t, kLfoCount> LfoCycles{};
  std::array<TDSPMultiFilter, 2> Filter1;  // filter block 1: left, right
  std::array<TDSPMultiFilter, 2> Filter2;  // filter block 2: left, right
  std::array<TDSPMultiShaper1, 2> Shaper;  // left, right
  TDSPSequencer Seq1;
  TDSPSequencer Seq2;

  // What the synthesis layer's control updates took their settled results
  // from: the layer's control generation and the bits of the inputs that
  // vary (a first element 0: nothing kept). An update whose inputs are the
  // kept ones leaves what it set as it is (see TVoicerackKWPSynth).
  // Levels: the shaper amounts, LFO gains and rates and sequencer factors;
  // Filters: both filter blocks' settings; Oscillators: each sound
  // source's gains and pitch.
  std::uint32_t SettledLevels = 0;
  std::array<std::uint32_t, 8> SettledFilters{};
  std::array<std::array<std::uint32_t, 16>, 2> SettledOscillators{};
  // Forgets every kept input (the next update computes all).
  void ForgetSettledInputs() {
    SettledLevels = 0;
    SettledFilters[0] = 0;
    SettledOscillators[0][0] = SettledOscillators[1][0] = 0;
  }

 private:
  // Every filter forgets the signal it held.
  void ResetFilters();
  // restartAll: every sequencer that resets on a new note; otherwise only
  // those that also always retrigger. freshNote: see TDSPSequencer::Restart.
  void RestartSequencers(bool restartAll, bool freshNote = false);
};

// The seed of a sample voice's sampler 1 or 2 under the voice's seed.
std::uint64_t VoiceSourceSeed(std::uint64_t seed, int sampler);

// Sound source 1 as an oscillator with its tuner.
class TDSPSynthVoice1 : public TDSPSynthVoice {
 public:
  TDSPSynthVoice1();
  void SetAudioSettings(TAudioSettingsRec* rec) override;
  // Inherited, then the oscillator's phase restarts.
  void Trigger() override;
  void SetRandomSeed(std::uint64_t seed) override;

  TDSPOscillator Osc1;
  TDSPDiatonicTune1 Tuner1;
};

// Sound source 2 as an oscillator with its tuner.
class TDSPSynthVoice2 : public TDSPSynthVoice1 {
 public:
  TDSPSynthVoice2();
  void SetAudioSettings(TAudioSettingsRec* rec) override;
  void Trigger() override;
  void SetRandomSeed(std::uint64_t seed) override;

  TDSPOscillator Osc2;
  TDSPDiatonicTune1 Tuner2;
};
