// The sampler voices: the two sound sources of the synth voice played by
// samplers. TDSPSamplerInstrVoice2 is the instrument's voice class: both
// samplers are TDSPSamplerInstr sample players.
//
// Note flow (audio thread, owner's lock held):
//   Trigger          sampler Start, pending-note flag set
//   LegatoNoteOn     sampler LegatoStart from the previous voice's sampler,
//                    pending-note flag set
//   LegatoContinue   the phrase goes on: the samplers keep their level
//   StartNote        sampler Level := Velocity x VoiceLevel (unless the phrase
//                    goes on); when the flag is set: sampler note := Note,
//                    flag cleared, PrepareNote
//   Release          sampler Release (state released)
//   ResetVoice       sampler state finished, no legato start pitch
// The renderer gives each sampler its store (SetStore), its program
// (SetProgram) and its pitch, and renders it (RenderBlock).
#pragma once

#include <memory>

#include "dsp/sampler/half_band.h"
#include "dsp/sampler/sampler_instrument.h"
#include "dsp/voices/synth_voice.h"

class TDSPSamplerVoice1 : public TDSPSynthVoice2 {
 public:
  TDSPSamplerVoice1();
  ~TDSPSamplerVoice1() override;

  void SetAudioSettings(TAudioSettingsRec* rec) override;
  void ResetVoice() override;
  void Release() override;
  void LegatoNoteOn(TDSPXVoice& previous, bool retrigger) override;
  // Inherited; the samplers keep the phrase's level (not the new velocity).
  void LegatoContinue() override;
  void Trigger() override;
  void StartNote() override;
  void SetRandomSeed(std::uint64_t seed) override;

  // Sound source 1; made by the class that knows the sampler's kind (null
  // until then: every operation skips a missing sampler).
  std::unique_ptr<TDSPSamplerControl> Sampler1;
  // The sampler takes the voice's note at the next StartNote.
  bool Sampler1Pending = false;
  // The note continues a legato phrase on this voice (LegatoContinue): its
  // samplers keep their level.
  bool ContinuingPhrase = false;

 protected:
  // The note operations' part for one sampler of this voice and its
  // counterpart in the previous voice.
  void ResetSampler(TDSPSamplerControl* sampler);
  void LegatoSampler(TDSPSamplerControl* sampler, TDSPSamplerControl* previous, bool& pending);
  void StartSamplerNote(TDSPSamplerControl* sampler, bool& pending);
};

class TDSPSamplerVoice2 : public TDSPSamplerVoice1 {
 public:
  TDSPSamplerVoice2();
  ~TDSPSamplerVoice2() override;

  void SetAudioSettings(TAudioSettingsRec* rec) override;
  void ResetVoice() override;
  void Release() override;
  void LegatoNoteOn(TDSPXVoice& previous, bool retrigger) override;
  void Trigger() override;
  void StartNote() override;
  void SetRandomSeed(std::uint64_t seed) override;

  // Sound source 2, as Sampler1.
  std::unique_ptr<TDSPSamplerControl> Sampler2;
  bool Sampler2Pending = false;
};

// The instrument's voice: both sound sources are sample players. Below
// kOversampleBelowRate the players render at twice the voice's rate and
// block; the voice mixes them there with their gains and halves the sum
// through one half-band low-pass: the images their reads leave between the
// voice's half rate and 0.27 of the doubled one (a sample's top octave read
// at another pitch) go, instead of folding into the audible band. At 88.2
// kHz and above those images lie above the audible band already and fold
// back only above it.
class TDSPSamplerInstrVoice2 final : public TDSPSamplerVoice2 {
 public:
  TDSPSamplerInstrVoice2();

  static constexpr std::int32_t kOversampleBelowRate = 64000;  // Hz
  // The voice's record, and below kOversampleBelowRate the players' record
  // at twice its rate and block.
  void SetAudioSettings(TAudioSettingsRec* rec) override;

  TDSPSamplerInstr& Player1() { return static_cast<TDSPSamplerInstr&>(*Sampler1); }
  TDSPSamplerInstr& Player2() { return static_cast<TDSPSamplerInstr&>(*Sampler2); }
  // The players render at twice the voice's rate.
  bool Oversampled() const { return PlayersOversampled; }
  // Oversampled: frames voice frames from 2 x frames of the players'
  // interleaved output (A: player 1's, B: player 2's or null), each with its
  // gains, halved into Left and Right. Audio thread.
  using TPlayerMix = THalfBandDecimator::TMix;
  void MixPlayersDown(const TPlayerMix& mix, std::int32_t frames) { Decimator.MixProcess(mix, frames); }
  // The same for two voices side by side (the same bits).
  static void MixPlayersDown(TDSPSamplerInstrVoice2& x, const TPlayerMix& mx, TDSPSamplerInstrVoice2& y,
                             const TPlayerMix& my, std::int32_t frames) {
    THalfBandDecimator::MixProcessPair(x.Decimator, mx, y.Decimator, my, frames);
  }
  // A new attack (not a legato continuation): the half-band filter forgets
  // the previous note, whose last samples would otherwise open the new one.
  void Trigger() override;

 private:
  TAudioSettingsRec PlayerSettings = MakeAudioSettings(88200, 88);
  THalfBandDecimator Decimator;
  bool PlayersOversampled = false;
};
