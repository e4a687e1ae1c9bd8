#include "framework/vst/dsp_vst_base.h"

#include <dlfcn.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>

namespace {
std::string ModuleFilePath() {
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&ModuleFilePath), &info) == 0 || info.dli_fname == nullptr) return {};
  return TrimText(info.dli_fname);
}
}  // namespace

TDSPVSTBase::TDSPVSTBase()
    : MidiHandler(std::make_unique<TMidiMessageHandler>(
          TMidiMessageHandler::TOwnerCallback::Bind<&TDSPVSTBase::OnMidiMessage>(this))),
      PluginFilePath(ModuleFilePath()) {
  MidiQueue.reserve(kMidiQueueCapacity);
  ForeignMidi.reserve(kMidiQueueCapacity);
  MidiWindow.resize(kMidiQueueCapacity);
}

TDSPVSTBase::~TDSPVSTBase() = default;

void TDSPVSTBase::InitPlugin(TVstHostCallback host) { InitEffect(host, 0, 0); }

void TDSPVSTBase::SetNumInputs(std::int32_t inputs) {
  AudioEffectX::SetNumInputs(std::max(0, inputs));
  AllocRings();
}

void TDSPVSTBase::SetNumOutputs(std::int32_t outputs) {
  AudioEffectX::SetNumOutputs(std::max(0, outputs));
  AllocRings();
}

void TDSPVSTBase::ClearPrograms() {
  AudioEffectX::ClearPrograms();
  Effect.numPrograms = 0;
}

std::int32_t TDSPVSTBase::ProcessEvents(const TVstEvents* events) {
  if (events == nullptr) return 0;
  // Hosts send events on their audio thread, before its process call: that
  // queue is the thread's own and takes no lock. Another thread's events
  // wait for the next process call in a list of their own, under its own
  // lock (never the instance lock: the audio thread would miss a call).
  const bool audio = OnAudioThread();
  std::unique_lock<std::mutex> guard(ForeignMidiLock, std::defer_lock);
  if (!audio) guard.lock();
  std::vector<TQueuedMidi>& queue = audio ? MidiQueue : ForeignMidi;
  TVstEvent* const* list = VstEventSlots(*events);
  for (std::int32_t i = 0; i < events->numEvents; ++i) {
    const TVstEvent* e = list[i];
    if (e == nullptr || e->type != kVstMidiEventType) continue;
    TVstMidiEvent event;
    std::memcpy(&event, e, sizeof(TVstMidiEvent));
    if (!QueueMidi(queue, MakeQueued(event))) CountDroppedMidi();
  }
  return 1;
}

TDSPVSTBase::TNoteKind TDSPVSTBase::NoteKindOf(const std::uint8_t* data, std::uint8_t& key) {
  const TMidiMessageRec m = TMidiMessageHandler::DecodeBytes(data[0], data[1], data[2]);
  key = 0;
  if (m.Status != kMidiNoteOn && m.Status != kMidiNoteOff) return TNoteKind::kOther;
  key = static_cast<std::uint8_t>(m.Data1);
  return m.Status == kMidiNoteOn ? TNoteKind::kOn : TNoteKind::kOff;
}

TDSPVSTBase::TQueuedMidi TDSPVSTBase::MakeQueued(const TVstMidiEvent& event) {
  TQueuedMidi queued{};
  queued.Event = event;
  queued.Due = kNotScheduled;
  queued.Kind = NoteKindOf(queued.Event.midiData, queued.Key);
  return queued;
}

bool TDSPVSTBase::QueueMidi(std::vector<TQueuedMidi>& queue, const TQueuedMidi& event) {
  const std::size_t room =
      event.Kind == TNoteKind::kOff ? kMidiQueueCapacity : kMidiQueueCapacity - kMidiNoteOffReserve;
  if (queue.size() >= room) return false;
  queue.push_back(event);
  return true;
}

void TDSPVSTBase::TakeForeignMidi() {
  // Only tried: while another thread adds to the list, its events wait for
  // the next call.
  std::unique_lock<std::mutex> guard(ForeignMidiLock, std::try_to_lock);
  if (!guard.owns_lock() || ForeignMidi.empty()) return;
  for (const TQueuedMidi& q : ForeignMidi)
    if (!QueueMidi(MidiQueue, q)) CountDroppedMidi();
  ForeignMidi.clear();
}

void TDSPVSTBase::SetSampleRate(float rate) {
  if (!std::isfinite(rate) || rate < static_cast<float>(kMinSampleRate) || rate > static_cast<float>(kMaxSampleRate))
    return;
  const bool force = !SampleRateApplied;
  SampleRateApplied = true;
  ApplySampleRate(static_cast<std::int32_t>(std::lrint(rate)), force);
}

void TDSPVSTBase::Suspend() { Suspended.store(true); }

void TDSPVSTBase::Resume() {
  // A host that never gave a rate we take (none, or only refused ones) gets
  // the record's 44100 Hz prepared here rather than silence.
  if (!SampleRateApplied) {
    SampleRateApplied = true;
    ApplySampleRate(Settings->SampleRate, true);
  }
  Suspended.store(false);
  TimeInfoRead.store(false);
  WantEvents(1);
}

void TDSPVSTBase::ApplySampleRate(std::int32_t rate, bool force) {
  if (rate < kMinSampleRate || rate > kMaxSampleRate) return;
  // No build of this instance reads the settings while they change.
  std::lock_guard<std::recursive_mutex> building(Changes().BuildLock());
  TPluginLockGuard guard(*this);
  if (!force && rate == Settings->SampleRate) return;
  SamplesPerMs = rate / 1000;
  SetRateAndBlockSize(rate, rate / 1000);
}

void TDSPVSTBase::OnMidiMessage(const TMidiMessageRec& m) {
  TMidiEventRec e;
  e.Status = static_cast<std::int16_t>(m.Status);
  e.Data1 = static_cast<std::int16_t>(m.Data1);
  e.Data2 = static_cast<std::int16_t>(m.Data2);
  e.Channel = static_cast<std::int16_t>(m.Channel);
  HandleMidi(e);
}

std::int32_t TDSPVSTBase::ClampedOffset(const TVstMidiEvent& e, std::int32_t hostFrames) {
  return std::clamp(e.deltaFrames, 0, std::max(0, hostFrames - 1));
}

void TDSPVSTBase::ScheduleQueuedMidi(std::int32_t start, std::int32_t length, std::int32_t hostFrames,
                                     std::int32_t shift) {
  for (TQueuedMidi& q : MidiQueue) {
    const std::int32_t offset = ClampedOffset(q.Event, hostFrames);
    // A host call of no frames still decodes its events.
    if (offset >= start && (offset - start < length || length == 0)) q.Due = offset - start + shift;
  }
}

void TDSPVSTBase::SendQueuedMidi(std::int32_t from, std::int32_t to) {
  auto due = [from, to](const TQueuedMidi& q) { return q.Due != kNotScheduled && q.Due >= from && q.Due < to; };
  // The window's events sorted by position, queue order within one: each
  // position's events lie together, the later ones after each.
  std::size_t count = 0;
  for (std::size_t i = 0; i < MidiQueue.size(); ++i)
    if (due(MidiQueue[i])) MidiWindow[count++] = {MidiQueue[i].Due, static_cast<std::uint32_t>(i)};
  if (count == 0) return;
  std::sort(MidiWindow.begin(), MidiWindow.begin() + static_cast<std::ptrdiff_t>(count));
  for (std::size_t k = 0; k < count; ++k) MidiQueue[MidiWindow[k].second].Slot = static_cast<std::uint32_t>(k);

  // Index loops: decoding appends nothing, but keeps no iterator across
  // calls into the layers.
  for (std::size_t i = 0; i < MidiQueue.size(); ++i) {
    TQueuedMidi& q = MidiQueue[i];
    if (!due(q)) continue;
    if (q.Kind == TNoteKind::kOn && !q.PositionSorted) {
      // The position's first note-on: the note-offs listed after it that
      // end notes begun before it go first. Each position is scanned once.
      for (std::size_t k = q.Slot + 1; k < count && MidiWindow[k].first == q.Due; ++k) {
        TQueuedMidi& later = MidiQueue[MidiWindow[k].second];
        later.PositionSorted = true;
        if (later.Kind == TNoteKind::kOff && SoundingNotes[later.Key] > 0) OfferQueuedMidi(later);
      }
    }
    OfferQueuedMidi(q);
  }
}

void TDSPVSTBase::OfferQueuedMidi(TQueuedMidi& q) {
  q.Due = kNotScheduled;
  q.Offered = true;
  // A held event counts when it is decoded at last.
  if (HoldMidi(q.Event)) return;
  DecodeMidi(q.Event.midiData, q.Kind, q.Key);
  q.Decoded = true;
}

void TDSPVSTBase::DecodeMidi(const std::uint8_t* data) {
  std::uint8_t key = 0;
  const TNoteKind kind = NoteKindOf(data, key);
  DecodeMidi(data, kind, key);
}

void TDSPVSTBase::DecodeMidi(const std::uint8_t* data, TNoteKind kind, std::uint8_t key) {
  std::uint16_t& sounding = SoundingNotes[key & 0x7F];
  if (kind == TNoteKind::kOn && sounding < UINT16_MAX) ++sounding;
  if (kind == TNoteKind::kOff && sounding > 0) --sounding;
  MidiHandler->HandleBytes(data[0], data[1], data[2]);
}

void TDSPVSTBase::UncountDecoded(TNoteKind kind, std::uint8_t key) {
  std::uint16_t& sounding = SoundingNotes[key & 0x7F];
  if (kind == TNoteKind::kOn && sounding > 0) --sounding;
  if (kind == TNoteKind::kOff && sounding < UINT16_MAX) ++sounding;
}

void TDSPVSTBase::ClearMidiQueue() {
  for (const TQueuedMidi& q : MidiQueue) {
    std::uint16_t& sounding = SoundingNotes[q.Key & 0x7F];
    if (!q.Offered && q.Kind == TNoteKind::kOff && sounding > 0) --sounding;
  }
  MidiQueue.clear();
}

void TDSPVSTBase::AllocRings() {
  InputRings.assign(std::max(0, Effect.numInputs), TRing{});
  OutputRings.assign(std::max(0, Effect.numOutputs), TRing{});
  for (TRing& r : InputRings) r.Samples.assign(kRingLength, 0.0f);
  for (TRing& r : OutputRings) r.Samples.assign(kRingLength, 0.0f);
  ResetRings();
}

void TDSPVSTBase::ResetRings() {
  const std::int32_t block = Settings->BlockSize;
  for (TRing& r : InputRings) {
    std::fill(r.Samples.begin(), r.Samples.end(), 0.0f);
    r.WriteIndex = 0;
    r.ReadIndex = 0;
  }
  for (TRing& r : OutputRings) {
    std::fill(r.Samples.begin(), r.Samples.end(), 0.0f);
    r.WriteIndex = 0;
    // With inputs, the output lags them by one internal block.
    r.ReadIndex = InputRings.empty() ? 0 : kRingLength - block;
  }
  RingFill = 0;
  RingBlock = std::max(1, block);
}
