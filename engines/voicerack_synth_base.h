// The voice manager: the instrument layer on the effects rack that owns the
// voices. It allocates one voice per note-on (a free one, else a released
// one that is old enough, else the oldest held one is stolen; a taken voice
// that sounds fades its sound out, see StealFadeSamples), releases
// voices on note-off, decides between a fresh start and a legato hand-over,
// sets each note's glide start, rebuilds the voice array when the voice
// count changes, and passes the audio settings and the host tempo to every
// voice. It renders nothing: the renderer of a layer above updates, renders
// and ages the voices and frees those whose envelopes have finished.
//
// Slots and spares: the notes live in VoiceCount() slots, each holding one
// voice object. When the renderer fades stolen voices, as many spare voice
// objects are made with the slots (off the audio thread, with the voice
// set): a note that takes a sounding voice (not a legato hand-over) puts a
// free spare into the slot and starts on it at once, while the voice it
// replaces plays its sound on as a fading tail outside the slots and, once
// silent, serves as a spare. Only with no spare free does the note wait for
// the fade (TDSPXVoice::Pending). Every voice object keeps its index
// (VoiceIndex: 0 .. VoiceObjectCount() - 1, those made for the slots
// first, then the spares) for the layers' per-object scratch. The note
// bookkeeping (note-off, All Notes Off, owed note-offs, legato,
// ActiveVoiceCount) sees the slots only.
//
// For the layers above:
//   - Voices are made by CreateVoice(i), which the final class overrides to
//     store a new voice object with index i (SetVoice). An index may stay
//     empty; every scan skips empty ones.
//   - Reaching voices: VoiceCount(), Voice(i) (the object in slot i, null
//     for an empty one), VoiceAs<T>(i) (null unless the voice is a T), or
//     ForEachVoice<T>(fn) for every voice object of class T, spares and tails
//     included (per-voice settings go to all of them). Only under the
//     instance lock or on the audio thread inside the render loop (both
//     hold the lock).
//   - The synthesis layer's parameters reach the manager through
//     RequestVoiceCount (the "Voices" parameter), SetLegato ("Use note first
//     envelope") and SetEnv1CurveLaw / SetEnv2CurveLaw.
//   - The renderer (RenderVoices of a layer above) calls ApplyVoiceCount
//     first in every internal block, renders every voice object that is
//     not free, skips its voice loop while ActiveVoiceCount() and
//     FadingTailCount() are 0, calls StealFadeEnded(voice) when a voice's
//     steal fade is done and frees a voice whose envelopes both finished
//     with VoiceFinished(voice).
//   - Overrides call the inherited operation first.
//
// Threads: NoteOn, NoteOff, ApplyVoiceCount and ResetVoices run on the audio
// thread inside the process call, which holds the instance lock;
// NoteOn, TriggerVoice, ResetEngine and the voice-array rebuild take it
// again themselves (it is re-entrant). The parameter dispatch that writes per-voice settings
// runs under the same lock (the host's parameter entry, program application
// and editor changes take it), so it never overlaps a rebuild. The requested
// count, its request flag and the legato flag are atomics: they may be set
// from any thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "dsp/oscillators/curves.h"
#include "dsp/voices/voice.h"
#include "engines/voicerack_gfx_synth.h"
#include "framework/modules/prepared_change.h"

class TVoicerackSynthBase : public TVoicerackGFXSynth {
 public:
  // The most voices the "Voices" parameter can ask for.
  static constexpr std::int32_t kMaxVoices = 16;

  TVoicerackSynthBase();
  // Frees the voices under the lock.
  ~TVoicerackSynthBase() override;

  // ---- plug-in chain
  // Inherited, then every voice gets the plug-in's settings and tempo.
  void SetAudioSettings(TAudioSettingsRec* rec) override;
  void TempoChanged() override;
  // Inherited, then every voice is reset and the last note forgotten (the
  // next note starts without glide).
  void ResetEngine() override;
  // Inherited, then the first input channel (if any) is marked inactive.
  void BuildPlugin() override;
  // Inherited, then each voice from its index.
  void ReseedRandomSources() override;

  // ---- notes (audio thread, instance lock held)
  // Allocates and starts a voice. A voice-count change still pending is
  // applied first, so a note decoded at the start of a block is never
  // dropped by the rebuild of that same block.
  void NoteOn(const TMidiEventRec& e) override;
  // Ends the oldest note of that pitch still held: releases its voice, or,
  // when that voice took the note over from an earlier one of the same pitch
  // whose note-off is still due, counts that note-off instead. So a note-on
  // that arrives before the previous note's note-off at the same moment
  // keeps sounding.
  void NoteOff(const TMidiEventRec& e) override;
  // All Notes Off (controller 123, on any channel: the notes of every
  // channel are one set, as for NoteOff) releases every held note, the
  // note-offs still due to them included; then the inherited handling.
  void HandleMidi(const TMidiEventRec& e) override;

  // ---- voices
  // Every voice object's ResetVoice (tails end; the renderer only resets
  // when the output is silent anyway); then the last voice forgets its note.
  virtual void ResetVoices();
  // A voice-count change is a prepared change (prepared_change.h): the new
  // voices are made, given the settings and what the layers above need
  // (PrepareNewVoices), outside the lock; under it they replace the old
  // ones, get the tempo, and every parameter but mute and solo is passed
  // through ParameterChanged again; the old voices are freed after. A host
  // thread's change is in place before its call returns; one asked for on
  // the audio thread is made by the worker, the old voices playing on
  // meanwhile. Without either (set-up, a plug-in not yet resumed, the class
  // in a test) the request waits for ApplyVoiceCount.
  //
  // Applies a requested voice count in that last case (the renderer calls
  // it at the start of every internal block): when the request flag is set
  // it is cleared, and when the requested count differs from the current
  // one the change runs at once.
  virtual void ApplyVoiceCount();
  // Builds VoiceCount() slots (and their spares) through CreateVoice and
  // makes them the voices.
  virtual void CreateVoices();
  // Frees every voice; the count becomes -1.
  virtual void FreeVoices();
  virtual void PassSettingsToVoices();
  // Stores a new voice object with index `index` (SetVoice); nothing here.
  // Called while a new voice set is made, without the lock: it may only
  // read what does not change meanwhile (the sample store, constants).
  virtual void CreateVoice(std::int32_t /*index*/) {}
  // Under the lock, when a voice change is taken: the layers above read
  // what new voices need (their patches).
  virtual void TakeVoiceSetup() {}
  // Without the lock: new voices (slots, then spares) get what
  // TakeVoiceSetup read.
  virtual void PrepareNewVoices(std::vector<std::unique_ptr<TDSPXVoice>>& /*voices*/) {}
  // Under the lock: the new voices are now the voices.
  virtual void VoicesInstalled() {}
  // The voice's StartNote.
  virtual void StartVoiceNote(std::int32_t index);
  // The voice's Trigger, under the (re-entered) lock.
  virtual void TriggerVoice(std::int32_t index);
  virtual void PassTempoToVoices();

  // ---- requests from the parameters (any thread)
  // The "Voices" value: clamp(round(value), 1, kMaxVoices), applied at the
  // next ApplyVoiceCount. Non-finite values are ignored.
  void RequestVoiceCount(float value);
  std::int32_t RequestedVoiceCount() const { return RequestedCount.load(std::memory_order_relaxed); }
  bool IsVoiceCountRequested() const { return CountRequested.load(std::memory_order_acquire); }
  void SetLegato(bool on) { Legato.store(on, std::memory_order_relaxed); }
  bool IsLegato() const { return Legato.load(std::memory_order_relaxed); }
  // Curve laws the renderer applies to the two envelopes' outputs (index as
  // GetCurveFunction: 1..32 a curve, anything else none).
  void SetEnv1CurveLaw(std::int32_t index);
  void SetEnv2CurveLaw(std::int32_t index);
  TCurveFunction Env1CurveLaw() const { return Env1Curve.load(std::memory_order_relaxed); }
  TCurveFunction Env2CurveLaw() const { return Env2Curve.load(std::memory_order_relaxed); }
  // The same laws over runs of levels (null: no law).
  TCurveRun Env1CurveRun() const { return Env1Run.load(std::memory_order_relaxed); }
  TCurveRun Env2CurveRun() const { return Env2Run.load(std::memory_order_relaxed); }
  // The attack shapes that make each law's attack rise linearly
  // (CurveAttackShape; null for none), for the envelopes' AttackShape.
  const float* Env1AttackShape() const { return Env1Shape.load(std::memory_order_relaxed); }
  const float* Env2AttackShape() const { return Env2Shape.load(std::memory_order_relaxed); }

  // ---- voice access (instance lock held, or the audio thread)
  // Slots; -1 after FreeVoices, 0 before the first build.
  std::int32_t VoiceCount() const { return VoiceCountValue.load(std::memory_order_relaxed); }
  // Voice objects: the slots' and the spares'.
  std::int32_t VoiceObjectCount() const { return static_cast<std::int32_t>(Voices.size() + Spares.size()); }
  TDSPXVoice* Voice(std::int32_t i) const {
    return i >= 0 && i < static_cast<std::int32_t>(Voices.size()) ? Voices[static_cast<std::size_t>(i)].get() : nullptr;
  }
  template <class TVoice>
  TVoice* VoiceAs(std::int32_t i) const {
    return dynamic_cast<TVoice*>(Voice(i));
  }
  // fn(voice) for every voice object of class TVoice: the slots' in slot
  // order, then the spares' (tails included).
  template <class TVoice = TDSPXVoice, class TFn>
  void ForEachVoice(TFn&& fn) const {
    for (const auto* set : {&Voices, &Spares}) {
      for (const std::unique_ptr<TDSPXVoice>& object : *set) {
        if (auto* voice = dynamic_cast<TVoice*>(object.get())) fn(*voice);
      }
    }
  }
  // The voice most recently started (voice 0 right after a build).
  TDSPXVoice* LastVoice() const { return LastVoicePtr; }
  // The slots' voices that sound (held or released): recounted at every
  // note-on and reset, -1 at every VoiceFinished of a slot's voice.
  std::int32_t ActiveVoiceCount() const { return ActiveVoices; }
  // The tails: voices outside the slots fading a stolen note's sound.
  std::int32_t FadingTailCount() const { return Tails; }
  // The renderer found both envelopes of the voice finished: free it (a
  // voice fading for a steal ends its fade, StealFadeEnded).
  void VoiceFinished(TDSPXVoice& voice);
  // Samples over which a sounding voice that a new note takes (a held note
  // stolen, a release cut short) fades its own sound out; a legato
  // hand-over keeps the voice. 0 here: the note starts on the voice at once
  // and the renderer smooths the restart (RestartPending). A renderer that
  // fades answers the length, applies the fade (StealFadeLength,
  // StealFadeDone) to every voice object that has one and calls
  // StealFadeEnded when it is done; the manager then keeps spare voices.
  virtual std::int32_t StealFadeSamples() const { return 0; }
  // The voice's steal fade is done (its sound is silent): a tail becomes a
  // free spare, as a new voice (ResetVoice); a voice with a pending note
  // starts it as on a free voice (and ends it at once when its note-off
  // came meanwhile). Nothing for a voice without a steal fade.
  void StealFadeEnded(TDSPXVoice& voice);

 protected:
  // Voice object `index` := voice (the final class's CreateVoice).
  void SetVoice(std::int32_t index, std::unique_ptr<TDSPXVoice> voice);
  // The lowest-indexed voice in the state, or -1.
  std::int32_t FirstVoiceInState(std::uint8_t state) const;
  // Voices not free.
  std::int32_t CountSoundingVoices() const;
  // The seed of voice `index`'s random sources.
  static std::uint64_t VoiceSeed(std::int32_t index);

  // The slots' voices, and the spares (free ones and tails).
  std::vector<std::unique_ptr<TDSPXVoice>> Voices;
  std::vector<std::unique_ptr<TDSPXVoice>> Spares;

 private:
  // A voice set as it is made and swapped in.
  struct TVoiceSet {
    std::vector<std::unique_ptr<TDSPXVoice>> Slots, Spares;
  };
  // count slots' voices and their spares with their indexes, owner and the
  // plug-in's settings (no lock: nobody else sees them yet).
  TVoiceSet MakeVoices(std::int32_t count);
  // Lock held: the made voices become the voices; the old ones are left in
  // `made` for the caller to free.
  void InstallVoices(TVoiceSet& made);
  // The pending note of a voice whose steal fade is done starts.
  void StartPendingNote(TDSPXVoice& voice);
  // The first free spare, or -1.
  std::int32_t FreeSpare() const;

  class TVoiceSetChange final : public TPreparedChange {
   public:
    explicit TVoiceSetChange(TVoicerackSynthBase& owner) : Owner(owner) {}
    bool TakeRequest() override;
    void Build() override;
    void Install() override;
    void Release() override;
    // The new voices take every setting again (ResendParametersExceptState).
    bool InstallsWhileSilent() const override { return true; }

   private:
    TVoicerackSynthBase& Owner;
    std::int32_t Count = 0;
    std::uint64_t Sequence = 0;
    TVoiceSet Voices;  // the new ones, then the old ones
  };
  // Where SetVoice stores: the objects being made.
  std::vector<std::unique_ptr<TDSPXVoice>>* VoiceTarget = &Voices;
  std::uint64_t RequestSequence = 0;  // grows with every count request (lock held)
  TVoiceSetChange VoiceSetChange{*this};

  // The held voice playing the note that started first among those that
  // started after note-on number `after` (0: all); null when none.
  TDSPXVoice* OldestHeld(std::int32_t note, std::uint64_t after) const;
  // A held note of pitch `note`, note-on number `serial`, lost its voice
  // with `offs` note-offs still due to it: they go to the voice that will
  // receive them first.
  void PassOwedNoteOffs(std::int32_t note, std::int32_t offs, std::uint64_t serial);

  std::atomic<std::int32_t> VoiceCountValue{0};
  std::uint64_t NoteSerialCount = 0;  // note-ons so far
  std::int32_t ActiveVoices = 0;
  std::int32_t Tails = 0;
  TDSPXVoice* LastVoicePtr = nullptr;
  std::atomic<bool> Legato{false};
  std::atomic<std::int32_t> RequestedCount{0};
  std::atomic<bool> CountRequested{false};
  std::atomic<TCurveFunction> Env1Curve{NullProc};
  std::atomic<TCurveFunction> Env2Curve{NullProc};
  std::atomic<TCurveRun> Env1Run{nullptr};
  std::atomic<TCurveRun> Env2Run{nullptr};
  std::atomic<const float*> Env1Shape{nullptr};
  std::atomic<const float*> Env2Shape{nullptr};
};

// The pass-through layer between the voice manager and the sequencer layer.
class TVoicerackSynth : public TVoicerackSynthBase {
 public:
  TVoicerackSynth() = default;
};
