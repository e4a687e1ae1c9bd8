// The voice classes: one voice is one playing note of the instrument. The
// chain adds, class by class, the objects that make and shape the note's
// sound; the note operations (ResetVoice .. SetTempo) are refined on the way:
//
//   TDSPXVoice              note state: held / released / free, age, note, glide
//   TDSPEnvVoice            + two ADSR envelopes (legato hand-over)
//   TDSPSynthVoice          + three LFOs, four filters, two shapers, two sequencers
//   TDSPSynthVoice1/2       + an oscillator and a diatonic tuner per sound source
//   TDSPSamplerVoice1/2     + a sampler per sound source (synth_voice.h,
//   TDSPSamplerInstrVoice2    sampler_voice.h)
//
// Who does what:
//   - the voice manager (engines/voicerack_synth_base) calls the note
//     operations and writes State, Age, Velocity, Note, Channel,
//     GlideStartPitch, LastNote, VoiceIndex, VoiceCount, Owner and
//     ControlCounter;
//   - the renderer of the layers above reads those fields, advances Age and
//     ReleaseTime, stores LastNote at each control update, drives the owned
//     DSP objects and sets State back to kFree when both envelopes finished.
//
// Threads: everything runs on the audio thread inside the render loop, or
// under the owner's plug-in lock (voice-array rebuilds, parameter dispatch);
// a voice takes no lock of its own and allocates nothing in its note
// operations.
#pragma once

#include <cstdint>

#include "dsp/envelopes/envelope.h"
#include "framework/modules/dsp_control.h"

class TDSPXVoice : public TDSPControl {
 public:
  // Voice states.
  enum : std::uint8_t { kHeld = 0, kReleased = 1, kFree = 2 };
  // LastNote value meaning "no previous note": the next note does not glide.
  static constexpr float kNoLastNote = -1000.0f;

  TDSPXVoice() = default;

  // A settings change asks the renderer for a control update at once.
  void SetAudioSettings(TAudioSettingsRec* rec) override;

  // ---- note operations (audio thread, owner's lock held)
  // Back to free and silent, as a new voice: age, release time 0; note,
  // glide start and last note 48; whatever the voice's parts still hold of
  // the sound they played is cleared (the next note sounds as a new voice's
  // first one).
  virtual void ResetVoice();
  // Note-off: release time 0, state released.
  virtual void Release();
  // A legato note taking over from `previous` (a held voice of the same
  // class). retrigger false: this voice was claimed while still sounding
  // its release, so its own level fades out before it joins the phrase.
  virtual void LegatoNoteOn(TDSPXVoice& /*previous*/, bool /*retrigger*/) {}
  // A legato note on a stolen held voice: the phrase goes on.
  virtual void LegatoContinue() {}
  // A fresh note: envelopes, sequencers, LFOs and sound sources start (and
  // the renderer is asked to smooth the restart, see RestartPending).
  virtual void Trigger() { RestartPending = true; }
  // After the manager stored Note, Velocity and GlideStartPitch.
  virtual void StartNote() {}
  // Host tempo in beats per minute.
  virtual void SetTempo(double /*bpm*/) {}
  // Seeds every random source the voice owns (each at a place of its own)
  // from `seed`. Under its owner's lock or on the audio thread.
  virtual void SetRandomSeed(std::uint64_t /*seed*/) {}
  // A spare voice taking the place of `voice` (a voice of the same class,
  // whose sound fades out as a tail): what runs on from note to note on one
  // voice (the modulation sources) continues from where `voice` has it, so
  // the next note sounds as it would on `voice`. Before the note operation.
  virtual void ContinueFrom(const TDSPXVoice& /*voice*/) {}

  bool IsFree() const { return State == kFree; }
  bool IsHeld() const { return State == kHeld; }
  bool IsReleased() const { return State == kReleased; }

  float VoiceLevel = 1.0f;       // multiplies the velocity into the sound sources' level
  std::int32_t VoiceCount = 0;   // voices of the owner
  std::uint8_t State = kFree;    // kHeld, kReleased or kFree
  std::int32_t Age = 0;          // samples since the note started
  float Velocity = 0.0f;         // MIDI velocity / 127
  std::int32_t Note = 0;         // MIDI note
  std::int32_t Channel = 0;      // MIDI channel
  float GlideStartPitch = 0.0f;  // semitones the renderer glides from to Note
  float LastNote = 0.0f;         // Note at the last control update; kNoLastNote: none
  std::int32_t VoiceIndex = 0;   // slot in the owner's voice array
  // Order of note-ons (the manager counts them): a note-off ends the oldest
  // held note of its pitch.
  std::uint64_t NoteSerial = 0;
  // Note-offs of this voice's pitch still to come for notes that this voice
  // took over while they were held (a steal or a legato hand-over): they end
  // those notes, not this one.
  std::int32_t OwedNoteOffs = 0;
  std::int32_t ReleaseTime = 0;  // samples since the release
  // Samples since the renderer's last control update; -1 asks for one at once.
  std::int32_t ControlCounter = -1;
  // The plug-in that owns the voice (not owned).
  TDSPBaseControl* Owner = nullptr;

  // Restart smoothing, kept by the renderer: a voice triggered while it
  // still sounds (claimed in its release) starts its sources and envelopes
  // from the top, and the step from its last output sample to the new first
  // one would click. The renderer fades that step out over DeclickLength
  // samples from the first block after the trigger.
  bool RestartPending = false;
  float LastOutput[2] = {0.0f, 0.0f};     // the voice's last sample into the mix, left and right
  float DeclickOffset[2] = {0.0f, 0.0f};  // the step being faded out
  std::int32_t DeclickRemaining = 0;      // samples of the fade still to go

  // Steal fade, kept by the manager and the renderer (when the renderer
  // asks for one, see TVoicerackSynthBase::StealFadeSamples): a voice that
  // a new note takes while it sounds (its held note stolen, its release
  // cut short) plays its own sound on, fading it out over StealFadeLength
  // samples. Restarting the sound sources and filters under a sounding
  // note instead would put a corner into the output that a listener hears
  // as a tick. The voice's note fields (Note, State, Age, ...) stay those
  // of the sound it fades, so the renderer goes on as before. Mostly the
  // voice leaves its slot for the fade (a tail, see the manager's spare
  // voices) and the new note starts at once on a spare; when no spare is
  // free the new note waits in Pending until the fade is done, and the
  // manager reads the pending note's fields instead of the voice's.
  struct TPendingNote {
    bool Active = false;    // a note waits for the fade
    bool Released = false;  // its note-off came meanwhile
    std::int32_t Note = 0;
    std::int32_t Channel = 0;
    float Velocity = 0.0f;
    float GlideStartPitch = 0.0f;
    std::uint64_t NoteSerial = 0;
    std::int32_t OwedNoteOffs = 0;
  };
  TPendingNote Pending;
  std::int32_t StealFadeLength = 0;  // samples; 0: no fade
  std::int32_t StealFadeDone = 0;    // samples of the fade rendered
  // The fade reached silence: whatever still rings in the voice's own
  // state (the envelopes' levels) is set to 0, so the pending note's
  // Trigger attacks from silence as on a free voice.
  virtual void FadedOut() {}
};

class TDSPEnvVoice : public TDSPXVoice {
 public:
  TDSPEnvVoice();

  void SetAudioSettings(TAudioSettingsRec* rec) override;
  // Inherited, then each envelope closes its gate and rests at level 0,
  // its counter at 0, without fade or ramp: as a new voice's (a level left
  // over would make the next note's attack fade in from it).
  void ResetVoice() override;
  // Inherited, then each envelope closes its gate and restarts its counter
  // for the release stage.
  void Release() override;
  // Envelope hand-over from the previous voice's envelopes (see HandOver).
  void LegatoNoteOn(TDSPXVoice& previous, bool retrigger) override;
  // Inherited, then each envelope: ramp off, gate on with the velocity,
  // counter restarted.
  void Trigger() override;
  // Both envelopes at level 0, without fade or ramp, their counters ready
  // for the next Trigger to restart them.
  void FadedOut() override;

  // One envelope's hand-over from the previous voice's envelope `source`,
  // ramping to `rampTarget` (envelope 1: the source's level; envelope 2: its
  // held level). With fewer than two voices the envelope continues exactly
  // where the source is. Otherwise (retrigger false) this voice's own level
  // fades out over 24 ms, or (retrigger true) starts from 0, then rises over
  // 12 ms to rampTarget; either way the stage counter continues at the
  // source's.
  void HandOver(TDSPADSR& env, const TDSPADSR& source, float rampTarget, bool retrigger);

  TDSPADSR Env1;
  TDSPADSR Env2;

  // Legato fade and ramp lengths.
  static constexpr std::int32_t kLegatoFadeMs = 24;
  static constexpr std::int32_t kLegatoRampMs = 12;

 private:
  // Level 0, no fade or ramp.
  static void Silence(TDSPADSR& env);
};
