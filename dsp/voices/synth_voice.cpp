#include "dsp/voices/synth_voice.h"

// ---- TDSPSynthVoice ---------------------------------------------------------

TDSPSynthVoice::TDSPSynthVoice() {
  // The sequencers write their per-sample gain into their output buffers,
  // which the renderer reads as the voice's level signal.
  for (TDSPSequencer* seq : {&Seq1, &Seq2}) seq->SetUsesBuffers(true);
  TDSPSynthVoice::SetAudioSettings(Settings);
}

void TDSPSynthVoice::SetAudioSettings(TAudioSettingsRec* rec) {
  TDSPEnvVoice::SetAudioSettings(rec);
  for (TDSPOscillator& lfo : Lfo) lfo.SetAudioSettings(&ControlAudioSettings);
  for (TDSPSequencer* seq : {&Seq1, &Seq2}) seq->SetAudioSettings(Settings);
  for (TDSPMultiFilter& filter : Filter1) filter.SetAudioSettings(Settings);
  for (TDSPMultiFilter& filter : Filter2) filter.SetAudioSettings(Settings);
  for (TDSPMultiShaper1& shaper : Shaper) shaper.SetAudioSettings(Settings);
}

// Places of the voice's random sources under its seed.
namespace {
enum TSeedPlace : std::uint64_t {
  kSeedLfo = 0,
  kSeedSeq1 = 3,
  kSeedSeq2,
  kSeedOsc1,
  kSeedOsc2,
  kSeedSampler1,
  kSeedSampler2
};
}  // namespace

void TDSPSynthVoice::SetRandomSeed(std::uint64_t seed) {
  for (std::size_t k = 0; k < Lfo.size(); ++k) Lfo[k].SetRandomSeed(MixSeed(seed, kSeedLfo + k));
  Seq1.SetRandomSeed(MixSeed(seed, kSeedSeq1));
  Seq2.SetRandomSeed(MixSeed(seed, kSeedSeq2));
}

void TDSPSynthVoice1::SetRandomSeed(std::uint64_t seed) {
  TDSPSynthVoice::SetRandomSeed(seed);
  Osc1.SetRandomSeed(MixSeed(seed, kSeedOsc1));
}

void TDSPSynthVoice2::SetRandomSeed(std::uint64_t seed) {
  TDSPSynthVoice1::SetRandomSeed(seed);
  Osc2.SetRandomSeed(MixSeed(seed, kSeedOsc2));
}

std::uint64_t VoiceSourceSeed(std::uint64_t seed, int sampler) {
  return MixSeed(seed, sampler == 1 ? kSeedSampler1 : kSeedSampler2);
}

void TDSPSynthVoice::ResetVoice() {
  TDSPEnvVoice::ResetVoice();
  for (TDSPOscillator& lfo : Lfo) lfo.ResetPhase();
  LfoCounter.fill(0);
  LfoCycles.fill(0);
  ResetFilters();
  for (TDSPMultiShaper1& shaper : Shaper) shaper.Shaper().Reset();
  Seq1.Rest();
  Seq2.Rest();
}

void TDSPSynthVoice::ContinueFrom(const TDSPXVoice& voice) {
  TDSPEnvVoice::ContinueFrom(voice);
  const auto* from = dynamic_cast<const TDSPSynthVoice*>(&voice);
  if (from == nullptr || from == this) return;
  for (std::size_t k = 0; k < Lfo.size(); ++k) Lfo[k].ContinueFrom(from->Lfo[k]);
  LfoCounter = from->LfoCounter;
  LfoCycles = from->LfoCycles;
  Seq1.ContinueFrom(from->Seq1);
  Seq2.ContinueFrom(from->Seq2);
}

void TDSPSynthVoice::ResetFilters() {
  for (auto* block : {&Filter1, &Filter2})
    for (TDSPMultiFilter& filter : *block) filter.Filter().Reset();
}

void TDSPSynthVoice::RestartSequencers(bool restartAll, bool freshNote) {
  for (TDSPSequencer* seq : {&Seq1, &Seq2}) {
    if (seq->ResetOnNewNote() && (restartAll || seq->AlwaysRetrigger())) seq->Restart(freshNote);
  }
}

void TDSPSynthVoice::ResetLfoPhases() {
  for (int k = 0; k < kLfoCount; ++k) {
    if (!LfoReset[static_cast<std::size_t>(k)]) continue;
    Lfo[static_cast<std::size_t>(k)].ResetPhase();
    LfoCounter[static_cast<std::size_t>(k)] = 0;
    LfoCycles[static_cast<std::size_t>(k)] = 0;
  }
}

void TDSPSynthVoice::LegatoNoteOn(TDSPXVoice& previous, bool retrigger) {
  TDSPEnvVoice::LegatoNoteOn(previous, retrigger);
  RestartSequencers(retrigger);
  if (retrigger) ResetLfoPhases();
}

void TDSPSynthVoice::LegatoContinue() {
  TDSPEnvVoice::LegatoContinue();
  RestartSequencers(false);
}

void TDSPSynthVoice::FadedOut() {
  TDSPEnvVoice::FadedOut();
  ResetFilters();
}

void TDSPSynthVoice::Trigger() {
  TDSPEnvVoice::Trigger();
  RestartSequencers(true, true);
  ResetLfoPhases();
}

void TDSPSynthVoice::SetTempo(double bpm) {
  TDSPEnvVoice::SetTempo(bpm);
  Seq1.SetTempo(bpm);
  Seq2.SetTempo(bpm);
}

// ---- TDSPSynthVoice1 / TDSPSynthVoice2 --------------------------------------

TDSPSynthVoice1::TDSPSynthVoice1() { Osc1.SetAudioSettings(Settings); }

void TDSPSynthVoice1::SetAudioSettings(TAudioSettingsRec* rec) {
  TDSPSynthVoice::SetAudioSettings(rec);
  Osc1.SetAudioSettings(Settings);
}

void TDSPSynthVoice1::Trigger() {
  TDSPSynthVoice::Trigger();
  Osc1.ResetPhase();
}

TDSPSynthVoice2::TDSPSynthVoice2() { Osc2.SetAudioSettings(Settings); }

void TDSPSynthVoice2::SetAudioSettings(TAudioSettingsRec* rec) {
  TDSPSynthVoice1::SetAudioSettings(rec);
  Osc2.SetAudioSettings(Settings);
}

void TDSPSynthVoice2::Trigger() {
  TDSPSynthVoice1::Trigger();
  Osc2.ResetPhase();
}
