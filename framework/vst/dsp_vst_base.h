// The host binding of the plug-in chain: the set-up operation, the sample
// rate and suspend state, the queue that holds the host's MIDI events until
// the next process call, the MIDI decoder, and the output rings that
// decouple one-millisecond internal blocks from host blocks of any length.
#pragma once

#include <array>
#include <atomic>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "framework/vst/audio_effect_x.h"
#include "framework/vst/midi_message_handler.h"

class TDSPVSTBase : public AudioEffectX {
 public:
  // Samples per output ring (not 8192).
  static constexpr std::int32_t kRingLength = 8096;
  // Rates the internal block and the rings can serve, in Hz.
  static constexpr std::int32_t kMaxSampleRate = 1000000;
  // Events the MIDI queue holds until the next process call, its room taken
  // at construction: far more than any host sends for one block (a MIDI
  // cable carries about three a millisecond). The last kMidiNoteOffReserve
  // places take only note-offs, so a flood of other events cannot cost a
  // note its end.
  static constexpr std::size_t kMidiQueueCapacity = 8192;
  static constexpr std::size_t kMidiNoteOffReserve = 1024;

  TDSPVSTBase();
  ~TDSPVSTBase() override;

  // The set-up operation `main` runs once after construction, on the
  // host's loading thread, before any other entry can be called.
  virtual void InitPlugin(TVstHostCallback host);

  void SetNumInputs(std::int32_t inputs) override;
  void SetNumOutputs(std::int32_t outputs) override;
  void ClearPrograms() override;
  // Copies the MIDI events (type 1) of the list into the queue; other event
  // types (SysEx) are skipped. Events that find the queue full are dropped
  // and counted; the queue never grows, so this allocates nothing. Any
  // thread: on the audio thread (where hosts call it) into that thread's own
  // queue without a lock (it never waits), on another one into a queue of
  // their own (its own small lock, never the instance lock) that the next
  // process call takes over.
  std::int32_t ProcessEvents(const TVstEvents* events) override;
  // MIDI events dropped since construction because the queue was full.
  // Any thread.
  std::uint64_t DroppedMidiEvents() const { return MidiDropped.load(std::memory_order_relaxed); }
  // Rates below 1000 Hz, above kMaxSampleRate or not finite keep the
  // previous settings. The first request always applies.
  void SetSampleRate(float rate) override;
  void Suspend() override;
  // Without a rate taken before, prepares the record's (44100 Hz).
  void Resume() override;
  // Under the instance lock: the internal block becomes one millisecond of
  // the rate, and every owned object gets the new settings.
  virtual void ApplySampleRate(std::int32_t rate, bool force);
  // The decoder hands every message here; packs it and calls HandleMidi.
  virtual void OnMidiMessage(const TMidiMessageRec& m);

  bool IsSuspended() const { return Suspended.load(); }
  std::int32_t GetRingFill() const { return RingFill; }
  // Folder and file of the module this code was loaded from.
  const std::string& GetPluginFilePath() const { return PluginFilePath; }

 protected:
  // Positions of queued events in the stream of rendered samples, relative
  // to the first sample rendered by the current host call (or piece).
  static constexpr std::int32_t kNotScheduled = INT_MIN;
  static constexpr std::int32_t kEarliest = INT_MIN + 1;

  // What the decoder will make of a queued event, as far as ordering goes.
  enum class TNoteKind : std::uint8_t { kOther, kOn, kOff };
  struct TQueuedMidi {
    TVstMidiEvent Event;
    std::int32_t Due;  // render position before which it is decoded
    TNoteKind Kind;
    std::uint8_t Key;     // the note's number, for note-ons and note-offs
    bool Offered;         // decoded, or taken by HoldMidi
    bool Decoded;         // decoded in its own call
    bool PositionSorted;  // its position's note-offs were already moved ahead
    std::uint32_t Slot;   // its place in the sorted window (SendQueuedMidi)
  };
  struct TRing {
    std::vector<float> Samples;
    std::int32_t WriteIndex = 0;
    std::int32_t ReadIndex = 0;
  };

  // Decodes every scheduled event with Due in [from, to), in queue order,
  // unless HoldMidi takes it; except that at one sample position note-offs
  // come before note-ons: a note that ends where the next one starts does
  // not overlap it, whichever the host listed first. A note-off is moved
  // ahead only when a note of its key sounds from an earlier position, so
  // a note that starts and ends at one position still ends.
  void SendQueuedMidi(std::int32_t from, std::int32_t to);
  // Offered each event before it is decoded: true keeps it from decoding
  // (the taker decodes it later itself, with DecodeMidi, or queues it again).
  virtual bool HoldMidi(const TVstMidiEvent& /*event*/) { return false; }
  // Decodes the three bytes of an event now, counted among the notes that
  // sound (the second form with what NoteKindOf made of them).
  void DecodeMidi(const std::uint8_t* bytes);
  void DecodeMidi(const std::uint8_t* bytes, TNoteKind kind, std::uint8_t key);
  // Takes back what decoding an event counted, before it is decoded again.
  void UncountDecoded(TNoteKind kind, std::uint8_t key);
  // Whether the bytes are a note-on, a note-off or another event, and the
  // note's key.
  static TNoteKind NoteKindOf(const std::uint8_t* bytes, std::uint8_t& key);
  // A queue record of the event (what ordering needs to know of it).
  static TQueuedMidi MakeQueued(const TVstMidiEvent& event);
  // Schedules the events whose offset (clamped into the host block of
  // hostFrames) lies in [start, start + length): Due := offset - start + shift.
  void ScheduleQueuedMidi(std::int32_t start, std::int32_t length, std::int32_t hostFrames, std::int32_t shift);
  // One more MIDI event dropped for want of room (any thread).
  void CountDroppedMidi() { MidiDropped.fetch_add(1, std::memory_order_relaxed); }
  // Empties the queue (keeping its room). Note-offs never decoded (a gated
  // call releases them itself) still end their notes in the count of
  // sounding notes.
  void ClearMidiQueue();
  // Appends the event when the queue has room for it (a queue holds
  // kMidiQueueCapacity; the last kMidiNoteOffReserve places take only
  // note-offs); false when it is dropped.
  static bool QueueMidi(std::vector<TQueuedMidi>& queue, const TQueuedMidi& event);
  // Audio thread, instance lock held: the events other threads sent join
  // the queue after those already in it.
  void TakeForeignMidi();
  // Sample offset of an event clamped into a host block: a note-off beyond
  // the block is still decoded in it (a lost note-off is a stuck note).
  static std::int32_t ClampedOffset(const TVstMidiEvent& e, std::int32_t hostFrames);

  // (Re)allocates zeroed rings for the channel counts of the record.
  void AllocRings();
  // Zeroes every ring and puts its indices and the fill at their start.
  void ResetRings();

  // Room for kMidiQueueCapacity events, never more: the audio thread's.
  std::vector<TQueuedMidi> MidiQueue;
  // Other threads' events until the next process call, with the same room
  // (ForeignMidiLock, which the audio thread only tries).
  std::mutex ForeignMidiLock;
  std::vector<TQueuedMidi> ForeignMidi;
  std::vector<TRing> InputRings;
  std::vector<TRing> OutputRings;
  std::int32_t RingFill = 0;  // rendered samples not yet handed to the host
  // The internal block the rings move by (samples): the settings' block as
  // the audio thread last rendered under the lock, so that a call without
  // the lock moves them on without reading the settings another thread may
  // be changing. Only the audio thread touches the rings once it streams
  // (set-up, under the lock, allocates and resets them).
  std::int32_t RingBlock = 1;
  std::unique_ptr<TMidiMessageHandler> MidiHandler;
  std::atomic<bool> Suspended{false};
  std::atomic<bool> TimeInfoRead{false};
  bool SampleRateApplied = false;
  std::string PluginFilePath;

 private:
  // Hands one queued event to HoldMidi or the decoder, and counts it.
  void OfferQueuedMidi(TQueuedMidi& q);

  // SendQueuedMidi's scratch: (Due, queue index) of the window's events.
  std::vector<std::pair<std::int32_t, std::uint32_t>> MidiWindow;
  // Per key, the notes that the decoded stream has started and not ended
  // (the layers end a key's notes whatever their channel).
  std::array<std::uint16_t, 128> SoundingNotes{};
  std::atomic<std::uint64_t> MidiDropped{0};
};
