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
// kOversampleBelowRate the players can render at twice the voice's rate and
// block; the voice then mixes them there with their gains and halves the
// sum through one half-band low-pass: the images their reads leave between
// the voice's half rate and 0.27 of the doubled one (a sample's top octave
// read at another pitch) go, instead of folding into the audible band. At
// 88.2 kHz and above those images lie above the audible band already and
// fold back only above it.
//
// The doubled rate costs twice the reads and the filter, and it is only
// heard where the folded images would be loud enough to matter: with cubic
// reads the images of a zone's content are 50 dB and more below it up to a
// tenth of the sample's frame rate, so they matter only for zones whose
// harmonics reach high into their sample's band: the higher pitches. Below
// kDoubleFromPitch (and while every sounding zone reads cubically without
// per-sample stages) the players take every other sample of their own
// timing (frame stride 2) at the voice's rate instead: measured over the
// factory programs, their folded images then stay below -65 dBc up to
// G3, against -45 dBc at A4 on the brightest. A pitch that crosses the
// limit during a note (glide, pitch modulation) switches without a step:
// rising, the filter warms up on the doubled players for kWarmFrames while
// the voice still takes every other frame, then the voice crossfades to the
// filter's output over one block; falling, it crossfades back over one
// block. A hysteresis of a semitone keeps a vibrato from toggling.
class TDSPSamplerInstrVoice2 final : public TDSPSamplerVoice2 {
 public:
  TDSPSamplerInstrVoice2();

  static constexpr std::int32_t kOversampleBelowRate = 64000;  // Hz
  // The pitches (MIDI note numbers) of the switch: doubled from the first
  // up, back at the voice's rate below the second.
  static constexpr float kDoubleFromPitch = 56.0f;   // G#3
  static constexpr float kSingleBelowPitch = 55.0f;  // G3
  // The half-band filter's slowest section decays by 80 dB in 136 output
  // samples; these warm it up before its output is heard.
  static constexpr std::int32_t kWarmFrames = 96;
  // The switch's pitches of this voice (tests move them).
  float DoubleFromPitch = kDoubleFromPitch;
  float SingleBelowPitch = kSingleBelowPitch;

  // The voice's record, and below kOversampleBelowRate the players' record
  // at twice its rate and block.
  void SetAudioSettings(TAudioSettingsRec* rec) override;

  TDSPSamplerInstr& Player1() { return static_cast<TDSPSamplerInstr&>(*Sampler1); }
  TDSPSamplerInstr& Player2() { return static_cast<TDSPSamplerInstr&>(*Sampler2); }
  // The players run at twice the voice's rate when their images call for
  // it (below kOversampleBelowRate).
  bool Oversampled() const { return PlayersOversampled; }

  // How this block's players render and reach the voice's buffers.
  enum class TPlayerRate : std::uint8_t {
    Voice,    // at the voice's rate (every other sample below kOversampleBelowRate)
    Doubled,  // at twice it, halved through the filter
    Warming,  // doubled; the filter warms up, the voice takes every other frame
    Rising,   // doubled; the voice fades from every other frame to the filter
    Falling,  // doubled; the voice fades from the filter to every other frame
  };
  // Chooses this block's rate from the players' sounding zones, after their
  // BeginBlock (player 2 counts only when it renders), and sets the
  // players' frame stride. Audio thread, once per block.
  void ChoosePlayerRate(bool player2);
  TPlayerRate PlayerRate() const { return Rate; }
  // The filter's output is (part of) the voice's signal this block.
  bool FilterHeard() const {
    return Rate == TPlayerRate::Doubled || Rate == TPlayerRate::Rising || Rate == TPlayerRate::Falling;
  }
  // Floats of the players' interleaved output per voice frame: 2 at the
  // voice's rate, 4 doubled.
  std::int32_t PlayerFloatsPerFrame() const { return Rate == TPlayerRate::Voice ? 2 : 4; }

  // Doubled: frames voice frames from 2 x frames of the players'
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
  // the previous note, whose last samples would otherwise open the new one,
  // and the note's first block takes its rate at once.
  void Trigger() override;

 private:
  TAudioSettingsRec PlayerSettings = MakeAudioSettings(88200, 88);
  THalfBandDecimator Decimator;
  bool PlayersOversampled = false;
  TPlayerRate Rate = TPlayerRate::Voice;
  bool FreshNote = true;
  std::int32_t WarmBlocks = 0;  // Warming blocks still to come
};
