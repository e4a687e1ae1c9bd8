#include "engines/voicerack_synth_base.h"

#include <algorithm>
#include <cmath>

#include "framework/base/base_math.h"
#include "framework/vst/midi_message_handler.h"

TVoicerackSynthBase::TVoicerackSynthBase() = default;

TVoicerackSynthBase::~TVoicerackSynthBase() {
  // No change of this instance may be built while its parts go.
  Changes().Detach();
  TPluginLockGuard lock(*this);
  FreeVoices();
}

// ---- plug-in chain

void TVoicerackSynthBase::SetAudioSettings(TAudioSettingsRec* rec) {
  TVoicerackGFXSynth::SetAudioSettings(rec);
  PassSettingsToVoices();
  PassTempoToVoices();
}

void TVoicerackSynthBase::TempoChanged() {
  TVoicerackGFXSynth::TempoChanged();
  PassTempoToVoices();
}

void TVoicerackSynthBase::ResetEngine() {
  TVoicerackGFXSynth::ResetEngine();
  // The audio thread already holds the lock; a reset from anywhere else
  // must not meet a render.
  TPluginLockGuard lock(*this);
  ResetVoices();
}

void TVoicerackSynthBase::ReseedRandomSources() {
  TVoicerackGFXSynth::ReseedRandomSources();
  ForEachVoice([](TDSPXVoice& v) { v.SetRandomSeed(VoiceSeed(v.VoiceIndex)); });
}

std::uint64_t TVoicerackSynthBase::VoiceSeed(std::int32_t index) {
  // Places from 64 on, clear of the rack's.
  return MixSeed(kRandomSeed, 64 + static_cast<std::uint64_t>(index));
}

void TVoicerackSynthBase::BuildPlugin() {
  TVoicerackGFXSynth::BuildPlugin();
  if (!InputChannels.empty()) InputChannels.front().Active = false;
}

// ---- notes

std::int32_t TVoicerackSynthBase::FirstVoiceInState(std::uint8_t state) const {
  for (std::size_t i = 0; i < Voices.size(); ++i) {
    if (Voices[i] && Voices[i]->State == state) return static_cast<std::int32_t>(i);
  }
  return -1;
}

namespace {

// The channel-mode controller that ends every held note.
constexpr std::int32_t kAllNotesOff = 123;

// The manager's view of a voice: the pending note of a voice that fades
// for a steal, otherwise the voice's own note.
std::uint8_t NoteState(const TDSPXVoice& v) {
  if (!v.Pending.Active) return v.State;
  return v.Pending.Released ? TDSPXVoice::kReleased : TDSPXVoice::kHeld;
}
std::int32_t NoteKey(const TDSPXVoice& v) { return v.Pending.Active ? v.Pending.Note : v.Note; }
std::uint64_t NoteSerialOf(const TDSPXVoice& v) { return v.Pending.Active ? v.Pending.NoteSerial : v.NoteSerial; }
std::int32_t& OwedOffs(TDSPXVoice& v) { return v.Pending.Active ? v.Pending.OwedNoteOffs : v.OwedNoteOffs; }
// A note that has not started yet is the youngest.
std::int32_t NoteAge(const TDSPXVoice& v) { return v.Pending.Active ? 0 : v.Age; }
// The note the next note glides from.
float GlideSource(const TDSPXVoice& v) { return v.Pending.Active ? static_cast<float>(v.Pending.Note) : v.LastNote; }

// A voice taking a note: what its note operation reads first (the voice
// counts as free meanwhile), and the note's fields after the operation.
void BeforeNoteStart(TDSPXVoice& v, const TDSPXVoice::TPendingNote& note) {
  v.State = TDSPXVoice::kFree;
  v.Velocity = note.Velocity;
  v.Channel = note.Channel;
}
void AfterNoteStart(TDSPXVoice& v, const TDSPXVoice::TPendingNote& note) {
  v.State = TDSPXVoice::kHeld;
  v.GlideStartPitch = note.GlideStartPitch;
  v.Note = note.Note;
  // The renderer stores the note at the voice's first control update; stored
  // now, a second note in the same block glides from this one rather than
  // from whatever the voice played before.
  v.LastNote = static_cast<float>(note.Note);
  v.Age = 0;
  v.ControlCounter = -1;
  v.NoteSerial = note.NoteSerial;
  v.OwedNoteOffs = note.OwedNoteOffs;
}

}  // namespace

void TVoicerackSynthBase::NoteOn(const TMidiEventRec& e) {
  ApplyVoiceCount();
  if (VoiceCount() <= 0) return;
  TPluginLockGuard lock(*this);
  const auto count = static_cast<std::int32_t>(Voices.size());

  // One scan: the oldest sounding voice (among equal ages the later index)
  // up to the first free one, the last released voice that was the oldest
  // so far when the scan reached it, and whether any voice is held.
  std::int32_t bestAge = 0;
  std::int32_t candidate = -1;
  std::int32_t releasedCandidate = -1;
  bool freeFound = false;
  bool noneHeld = true;
  for (std::int32_t i = 0; i < count; ++i) {
    const TDSPXVoice* v = Voices[static_cast<std::size_t>(i)].get();
    if (v == nullptr) continue;
    const std::uint8_t state = NoteState(*v);
    if (state == TDSPXVoice::kFree) {
      candidate = -1;
      freeFound = true;
      continue;
    }
    if (!freeFound && NoteAge(*v) >= bestAge) {
      bestAge = NoteAge(*v);
      candidate = i;
      if (state == TDSPXVoice::kReleased) releasedCandidate = i;
    }
    if (state == TDSPXVoice::kHeld) noneHeld = false;
  }

  bool retrigger = true;
  bool stoleHeld = false;
  // A held note whose voice is taken: the note-offs still due to it.
  std::int32_t orphanNote = -1;
  std::int32_t orphanOffs = 0;
  std::uint64_t orphanSerial = 0;
  std::int32_t target = -1;
  if (!freeFound) {
    if (releasedCandidate >= 0) {
      // A released voice is claimed: it still sounds, so a legato note
      // fades it out instead of starting from silence.
      retrigger = false;
      target = releasedCandidate;
    } else {
      // No sounding voice had a non-negative age: the lowest-indexed one goes.
      for (std::int32_t i = 0; candidate < 0 && i < count; ++i) {
        if (Voices[static_cast<std::size_t>(i)]) candidate = i;
      }
      if (candidate < 0) return;  // only empty slots
      stoleHeld = true;
      target = candidate;
      TDSPXVoice& victim = *Voices[static_cast<std::size_t>(candidate)];
      if (NoteState(victim) == TDSPXVoice::kHeld) {
        orphanNote = NoteKey(victim);
        orphanOffs = OwedOffs(victim) + 1;
        orphanSerial = NoteSerialOf(victim);
      }
    }
  } else {
    target = FirstVoiceInState(TDSPXVoice::kFree);
    if (target < 0) return;
  }
  TDSPXVoice& voice = *Voices[static_cast<std::size_t>(target)];

  // How the note starts: a legato hand-over from the first held voice that
  // sounds its own note (not the taken one), the phrase going on, or a
  // fresh start.
  TDSPXVoice* previous = nullptr;
  bool fresh = true;
  if (IsLegato() && !noneHeld) {
    fresh = false;
    if (!stoleHeld) {
      for (const std::unique_ptr<TDSPXVoice>& v : Voices) {
        if (v && v.get() != &voice && v->State == TDSPXVoice::kHeld && !v->Pending.Active) {
          previous = v.get();
          break;
        }
      }
      fresh = previous == nullptr;
    }
  }
  // The new note glides from the note of the voice started before it.
  TDSPXVoice::TPendingNote note;
  note.Active = true;
  note.Note = e.Data1;
  note.Channel = e.Channel;
  note.Velocity = static_cast<float>(e.Data2) * (1.0f / 127.0f);
  note.GlideStartPitch = LastVoicePtr != nullptr ? GlideSource(*LastVoicePtr) : TDSPXVoice::kNoLastNote;
  if (note.GlideStartPitch == TDSPXVoice::kNoLastNote) {
    note.GlideStartPitch = static_cast<float>(e.Data1);
    if (LastVoicePtr != nullptr) LastVoicePtr->LastNote = static_cast<float>(e.Data1);
  }
  note.NoteSerial = ++NoteSerialCount;

  // A fresh start on a voice that still sounds fades the voice's sound out:
  // a free spare takes the slot and starts the note at once while the voice
  // fades as a tail; without one the note waits for the fade (a voice
  // already fading takes the note as its pending one).
  const std::int32_t fade = freeFound ? 0 : StealFadeSamples();
  bool waits = fade > 0 && (fresh || voice.Pending.Active);
  TDSPXVoice* started = &voice;
  if (waits && !voice.Pending.Active) {
    voice.StealFadeLength = fade;
    voice.StealFadeDone = 0;
    if (const std::int32_t spare = FreeSpare(); spare >= 0) {
      std::unique_ptr<TDSPXVoice>& slot = Voices[static_cast<std::size_t>(target)];
      std::unique_ptr<TDSPXVoice>& free = Spares[static_cast<std::size_t>(spare)];
      free->ContinueFrom(voice);
      slot.swap(free);
      started = slot.get();
      ++Tails;
      waits = false;
    }
  }
  if (waits) {
    voice.Pending = note;
  } else {
    BeforeNoteStart(*started, note);
    if (fresh) {
      TriggerVoice(target);
    } else if (stoleHeld) {
      started->LegatoContinue();
    } else {
      started->LegatoNoteOn(*previous, retrigger);
    }
    AfterNoteStart(*started, note);
  }
  PassOwedNoteOffs(orphanNote, orphanOffs, orphanSerial);
  if (!waits) StartVoiceNote(target);
  LastVoicePtr = started;
  // Counted, not incremented: a claimed or stolen voice was sounding before.
  ActiveVoices = CountSoundingVoices();
}

std::int32_t TVoicerackSynthBase::FreeSpare() const {
  for (std::size_t j = 0; j < Spares.size(); ++j)
    if (Spares[j] && Spares[j]->State == TDSPXVoice::kFree && Spares[j]->StealFadeLength == 0)
      return static_cast<std::int32_t>(j);
  return -1;
}

void TVoicerackSynthBase::StealFadeEnded(TDSPXVoice& voice) {
  if (voice.StealFadeLength <= 0) return;
  if (voice.Pending.Active) {
    StartPendingNote(voice);
    return;
  }
  // A tail: silent now, a spare again.
  voice.ResetVoice();
  if (Tails > 0) --Tails;
}

void TVoicerackSynthBase::StartPendingNote(TDSPXVoice& voice) {
  if (!voice.Pending.Active) return;
  const TDSPXVoice::TPendingNote note = voice.Pending;
  voice.Pending = TDSPXVoice::TPendingNote{};
  voice.StealFadeLength = 0;
  voice.StealFadeDone = 0;
  voice.FadedOut();
  BeforeNoteStart(voice, note);
  TriggerVoice(voice.VoiceIndex);
  AfterNoteStart(voice, note);
  StartVoiceNote(voice.VoiceIndex);
  // Its note-off came during the fade: it ends as it begins.
  if (note.Released) voice.Release();
  ActiveVoices = CountSoundingVoices();
}

std::int32_t TVoicerackSynthBase::CountSoundingVoices() const {
  std::int32_t count = 0;
  for (const std::unique_ptr<TDSPXVoice>& v : Voices) {
    if (v && v->State != TDSPXVoice::kFree) ++count;
  }
  return count;
}

TDSPXVoice* TVoicerackSynthBase::OldestHeld(std::int32_t note, std::uint64_t after) const {
  TDSPXVoice* oldest = nullptr;
  for (const std::unique_ptr<TDSPXVoice>& v : Voices) {
    if (!v || NoteState(*v) != TDSPXVoice::kHeld || NoteKey(*v) != note || (after != 0 && NoteSerialOf(*v) <= after))
      continue;
    if (oldest == nullptr || NoteSerialOf(*v) < NoteSerialOf(*oldest)) oldest = v.get();
  }
  return oldest;
}

void TVoicerackSynthBase::PassOwedNoteOffs(std::int32_t note, std::int32_t offs, std::uint64_t serial) {
  if (note < 0 || offs <= 0) return;
  // Note-offs of one pitch end its notes in the order they started: those
  // of the lost note come after the older notes' and before the younger
  // ones', so the next younger note of the pitch still held (the new one
  // included) takes them over. With none, they come after every held note
  // of that pitch has ended and find nothing to release.
  if (TDSPXVoice* heir = OldestHeld(note, serial)) OwedOffs(*heir) += offs;
}

void TVoicerackSynthBase::NoteOff(const TMidiEventRec& e) {
  TDSPXVoice* v = OldestHeld(e.Data1, 0);
  if (v == nullptr) return;
  if (OwedOffs(*v) > 0) {
    // It ends a note that this voice took over, not the voice's own.
    --OwedOffs(*v);
    return;
  }
  if (v->Pending.Active) {
    v->Pending.Released = true;
    return;
  }
  v->Release();
}

void TVoicerackSynthBase::HandleMidi(const TMidiEventRec& e) {
  if (e.Status == kMidiController && e.Data1 == kAllNotesOff) {
    for (const std::unique_ptr<TDSPXVoice>& v : Voices) {
      if (!v || NoteState(*v) != TDSPXVoice::kHeld) continue;
      OwedOffs(*v) = 0;
      if (v->Pending.Active) v->Pending.Released = true;
      else v->Release();
    }
  }
  TVoicerackGFXSynth::HandleMidi(e);
}

void TVoicerackSynthBase::VoiceFinished(TDSPXVoice& voice) {
  // The sound a steal fades ended by itself: so does the fade.
  if (voice.StealFadeLength > 0) {
    StealFadeEnded(voice);
    return;
  }
  if (voice.State != TDSPXVoice::kFree && ActiveVoices > 0) --ActiveVoices;
  voice.State = TDSPXVoice::kFree;
}

// ---- voices

void TVoicerackSynthBase::ResetVoices() {
  ForEachVoice([](TDSPXVoice& v) { v.ResetVoice(); });
  Tails = 0;
  ActiveVoices = CountSoundingVoices();
  if (LastVoicePtr != nullptr) LastVoicePtr->LastNote = TDSPXVoice::kNoLastNote;
}

void TVoicerackSynthBase::RequestVoiceCount(float value) {
  if (!std::isfinite(value)) return;
  RequestedCount.store(std::clamp(RoundF(std::clamp(value, -1e6f, 1e6f)), 1, kMaxVoices), std::memory_order_relaxed);
  ++RequestSequence;
  CountRequested.store(true, std::memory_order_release);
  // With a destination for prepared changes the change is asked for now;
  // without one ApplyVoiceCount runs it at the next block.
  if (CurrentBuildMode() != TBuildMode::Inline) RequestPreparedChange(VoiceSetChange);
}

void TVoicerackSynthBase::ApplyVoiceCount() {
  if (!CountRequested.load(std::memory_order_acquire)) return;
  if (CurrentBuildMode() != TBuildMode::Inline) {
    // Requested where nothing could build it (at set-up): the call's
    // destination takes it now.
    RequestPreparedChange(VoiceSetChange);
    return;
  }
  // A host thread may be running a change of this instance meanwhile.
  std::lock_guard<std::recursive_mutex> building(Changes().BuildLock());
  RunPreparedChangeNow(VoiceSetChange);
}

bool TVoicerackSynthBase::TVoiceSetChange::TakeRequest() {
  if (!Owner.CountRequested.exchange(false, std::memory_order_acq_rel)) return false;
  Count = Owner.RequestedCount.load(std::memory_order_relaxed);
  Sequence = Owner.RequestSequence;
  // A request that equals the current count is cleared without effect.
  if (Count == Owner.VoiceCount()) return false;
  Owner.TakeVoiceSetup();
  return true;
}

void TVoicerackSynthBase::TVoiceSetChange::Build() {
  Voices = Owner.MakeVoices(Count);
  Owner.PrepareNewVoices(Voices.Slots);
  Owner.PrepareNewVoices(Voices.Spares);
}

void TVoicerackSynthBase::TVoiceSetChange::Install() {
  // A later request supersedes this one: its own run follows.
  if (Sequence != Owner.RequestSequence) return;
  Owner.InstallVoices(Voices);
  Owner.PassTempoToVoices();
  // The new voices take every current setting.
  Owner.ResendParametersExceptState();
}

void TVoicerackSynthBase::TVoiceSetChange::Release() {
  Voices.Slots.clear();
  Voices.Spares.clear();
}

TVoicerackSynthBase::TVoiceSet TVoicerackSynthBase::MakeVoices(std::int32_t count) {
  count = std::max(0, count);
  // A spare per slot when stolen voices fade: every slot can hand a fading
  // sound over within one fade's time.
  const std::int32_t spares = StealFadeSamples() > 0 ? count : 0;
  std::vector<std::unique_ptr<TDSPXVoice>> made(static_cast<std::size_t>(count + spares));
  VoiceTarget = &made;
  for (std::int32_t i = 0; i < count + spares; ++i) {
    CreateVoice(i);
    if (TDSPXVoice* v = made[static_cast<std::size_t>(i)].get()) {
      v->VoiceIndex = i;
      v->VoiceCount = count;
      v->Owner = this;
      v->ControlCounter = -1;
      v->SetAudioSettings(Settings);
      v->SetRandomSeed(VoiceSeed(i));
    }
  }
  VoiceTarget = &Voices;
  TVoiceSet set;
  set.Spares.assign(std::make_move_iterator(made.begin() + count), std::make_move_iterator(made.end()));
  made.resize(static_cast<std::size_t>(count));
  set.Slots = std::move(made);
  return set;
}

void TVoicerackSynthBase::InstallVoices(TVoiceSet& made) {
  Voices.swap(made.Slots);
  Spares.swap(made.Spares);
  const auto count = static_cast<std::int32_t>(Voices.size());
  VoiceCountValue.store(count, std::memory_order_relaxed);
  // The voices that sounded are gone with the old ones.
  ActiveVoices = 0;
  Tails = 0;
  LastVoicePtr = count != 0 ? Voice(0) : nullptr;
  if (LastVoicePtr != nullptr) LastVoicePtr->LastNote = TDSPXVoice::kNoLastNote;
  VoicesInstalled();
}

void TVoicerackSynthBase::CreateVoices() {
  TVoiceSet made = MakeVoices(VoiceCount());
  InstallVoices(made);
}

void TVoicerackSynthBase::SetVoice(std::int32_t index, std::unique_ptr<TDSPXVoice> voice) {
  if (index < 0 || index >= static_cast<std::int32_t>(VoiceTarget->size())) return;
  (*VoiceTarget)[static_cast<std::size_t>(index)] = std::move(voice);
}

void TVoicerackSynthBase::FreeVoices() {
  LastVoicePtr = nullptr;
  Voices.clear();
  Spares.clear();
  // The voices that sounded are gone with them.
  ActiveVoices = 0;
  Tails = 0;
  VoiceCountValue.store(-1, std::memory_order_relaxed);
}

void TVoicerackSynthBase::PassSettingsToVoices() {
  ForEachVoice([this](TDSPXVoice& v) { v.SetAudioSettings(Settings); });
}

void TVoicerackSynthBase::PassTempoToVoices() {
  ForEachVoice([this](TDSPXVoice& v) { v.SetTempo(static_cast<double>(Tempo)); });
}

void TVoicerackSynthBase::StartVoiceNote(std::int32_t index) {
  if (TDSPXVoice* v = Voice(index)) v->StartNote();
}

void TVoicerackSynthBase::TriggerVoice(std::int32_t index) {
  TPluginLockGuard lock(*this);
  if (TDSPXVoice* v = Voice(index)) v->Trigger();
}

void TVoicerackSynthBase::SetEnv1CurveLaw(std::int32_t index) {
  Env1Curve.store(GetCurveFunction(index), std::memory_order_relaxed);
  Env1Run.store(GetCurveRun(index), std::memory_order_relaxed);
  Env1Shape.store(CurveAttackShape(index), std::memory_order_relaxed);
}

void TVoicerackSynthBase::SetEnv2CurveLaw(std::int32_t index) {
  Env2Curve.store(GetCurveFunction(index), std::memory_order_relaxed);
  Env2Run.store(GetCurveRun(index), std::memory_order_relaxed);
  Env2Shape.store(CurveAttackShape(index), std::memory_order_relaxed);
}
