// The MIDI queue between the host's process-events call and the render
// loop: host lists of any length, its bounded room, and the order of the
// events at one sample position.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/framework/core/plugin_test_support.h"
#include "tests/support/alloc_trap.h"

namespace {

using namespace plugin_test;

struct TEvent {
  std::int32_t Offset;
  std::uint8_t B0, B1, B2;
};

TEventList ListOf(const std::vector<TEvent>& events) {
  TEventList list;
  for (const TEvent& e : events) list.Add(e.Offset, e.B0, e.B1, e.B2);
  return list;
}

struct MidiQueueTest : ::testing::Test {
  void SetUp() override {
    TTestHost::Reset();
    Plugin = MakePlugin();
    Effect = Plugin->GetEffect();
  }
  void Send(TEventList& events) { Dispatch(Effect, kEffProcessEvents, 0, 0, const_cast<TVstEvents*>(events.Build())); }
  void Call(std::int32_t frames, TEventList events = {}) {
    if (!events.Empty()) Send(events);
    TStereoBuffers out(frames);
    Effect->processReplacing(Effect, nullptr, out.Pointers, frames);
  }
  // What reached the layers since the last call, as "+60" (note-on),
  // "-60" (note-off) and "c7" (controller 7).
  std::string Decoded() {
    std::string text;
    for (const TMidiEventRec& e : Plugin->Received) {
      if (!text.empty()) text += ' ';
      if (e.Status == kMidiNoteOn) text += '+' + std::to_string(e.Data1);
      if (e.Status == kMidiNoteOff) text += '-' + std::to_string(e.Data1);
      if (e.Status == kMidiController) text += 'c' + std::to_string(e.Data1);
    }
    Plugin->Received.clear();
    return text;
  }

  std::unique_ptr<TSineTestPlugin> Plugin;
  TVstEffect* Effect = nullptr;
};

// A host list is as long as its count says, not the two entries the layout
// declares: every one of 64 events in one list reaches the layers, in order
// (the sanitizer build stops on any read past the declared entries).
TEST_F(MidiQueueTest, EveryEventOfALongListIsDecodedInOrder) {
  TEventList events;
  for (int k = 0; k < 64; ++k) events.Add(k * 7, 0xB0, static_cast<std::uint8_t>(k % 2 == 0 ? 20 : 21), k);
  Call(512, events);
  ASSERT_EQ(Plugin->Received.size(), 64u);
  for (int k = 0; k < 64; ++k) EXPECT_EQ(Plugin->Received[static_cast<std::size_t>(k)].Data2, k);
}

// A host that sends far more than the queue holds before it processes
// (millions of events in real attacks) costs neither memory nor time: the
// queue keeps its room, allocates nothing on the calling (audio) thread,
// drops what does not fit and counts it. Note-offs keep a reserve of their
// own, so a flood cannot leave a note without its end.
TEST_F(MidiQueueTest, TheQueueIsBoundedCountsWhatItDropsAndKeepsRoomForNoteOffs) {
  constexpr std::size_t kCapacity = TDSPVSTBase::kMidiQueueCapacity;
  constexpr std::size_t kOthers = kCapacity - TDSPVSTBase::kMidiNoteOffReserve;
  TEventList controllers, offs;
  for (int k = 0; k < 1000; ++k) controllers.Add(k % 512, 0xB0, 20, 64);
  for (int k = 0; k < 2000; ++k) offs.Add(511, 0x80, 60, 0);
  const TVstEvents* controllerList = controllers.Build();
  const TVstEvents* offList = offs.Build();
  constexpr std::size_t kLists = 80;
  std::uint64_t droppedBeforeOffs = 0;
  {
    testing_support::TAudioThreadGuard audio("processEvents with a full queue");
    for (std::size_t k = 0; k < kLists; ++k)
      Dispatch(Effect, kEffProcessEvents, 0, 0, const_cast<TVstEvents*>(controllerList));
    droppedBeforeOffs = Plugin->DroppedMidiEvents();
    Dispatch(Effect, kEffProcessEvents, 0, 0, const_cast<TVstEvents*>(offList));
  }
  EXPECT_EQ(droppedBeforeOffs, kLists * 1000 - kOthers);
  EXPECT_EQ(Plugin->DroppedMidiEvents(), droppedBeforeOffs + 2000 - (kCapacity - kOthers));
  Call(512);
  EXPECT_EQ(Plugin->Received.size(), kCapacity) << "what fitted is decoded";
  EXPECT_EQ(Plugin->NoteOffs, static_cast<std::int32_t>(kCapacity - kOthers));
  const std::uint64_t dropped = Plugin->DroppedMidiEvents();
  Plugin->Received.clear();
  Call(512, controllers);
  EXPECT_EQ(Plugin->Received.size(), 1000u) << "the process call empties the queue";
  EXPECT_EQ(Plugin->DroppedMidiEvents(), dropped);
}

// The deferred records (any thread may add them) have the same bound: their
// room is taken at construction, and what does not fit is counted.
TEST_F(MidiQueueTest, DeferredRecordsAreBoundedToo) {
  constexpr std::size_t kCapacity = TDSPVSTBase::kMidiQueueCapacity;
  TMidiEventRec controller;
  controller.Status = kMidiController;
  controller.Data1 = 20;
  {
    testing_support::TAudioThreadGuard audio("deferring MIDI");
    for (std::size_t k = 0; k < kCapacity + 100; ++k) Plugin->DeferMidi(controller);
  }
  EXPECT_EQ(Plugin->DroppedMidiEvents(), 100u);
  Call(64);
  EXPECT_EQ(Plugin->Received.size(), kCapacity);
}

// Hosts list a note-on and a note-off at one sample position in either
// order. They never overlap: the note-offs that end notes begun earlier are
// decoded before the position's first note-on. A note that starts and ends
// at one position keeps its order (it must still end), and other events
// keep their place.
TEST_F(MidiQueueTest, AtOnePositionNoteOffsOfEarlierNotesComeBeforeNoteOns) {
  struct TCase {
    const char* What;
    std::vector<TEvent> Events;  // after key 60 was struck in the call before
    const char* Expected;
  };
  const TCase cases[] = {
      {"a repeat listed before the note-off", {{100, 0x90, 60, 90}, {100, 0x80, 60, 0}}, "-60 +60"},
      {"the same listed the other way", {{100, 0x80, 60, 0}, {100, 0x90, 60, 90}}, "-60 +60"},
      {"a note-off as a note-on of velocity 0", {{100, 0x91, 60, 90}, {100, 0x90, 60, 0}}, "-60 +60"},
      {"another key touching", {{100, 0x90, 62, 90}, {100, 0x80, 60, 0}}, "-60 +62"},
      {"a note that starts and ends at one position", {{100, 0x90, 64, 90}, {100, 0x80, 64, 0}}, "+64 -64"},
      {"a real overlap", {{100, 0x90, 62, 90}, {101, 0x80, 60, 0}}, "+62 -60"},
      {"a controller before the note-on keeps its place",
       {{100, 0xB0, 7, 1}, {100, 0x90, 60, 90}, {100, 0xB0, 7, 2}, {100, 0x80, 60, 0}},
       "c7 -60 +60 c7"},
      {"one position among others in one list",
       {{50, 0x90, 62, 90}, {100, 0x90, 60, 90}, {100, 0x80, 60, 0}, {120, 0x80, 62, 0}},
       "+62 -60 +60 -62"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.What);
    SetUp();
    Call(512, [] {
      TEventList on;
      on.Add(0, 0x90, 60, 90);
      return on;
    }());
    Plugin->Received.clear();
    Call(512, ListOf(c.Events));
    EXPECT_EQ(Decoded(), c.Expected);
  }
}

// The same through the sound: after the events of one position, the notes
// that should sound do, and no more. A note-off is moved ahead of the
// position's note-ons once, and only while an earlier note of its key
// sounds: a key played and released before is no longer sounding, and a
// second note-on at the position does not move the note-off again (it would
// end the new note).
TEST_F(MidiQueueTest, AtOnePositionTheNotesThatShouldSoundDoAndNoMore) {
  struct TCase {
    const char* What;
    std::vector<TEvent> Before;  // the call before
    std::vector<TEvent> At;      // at offset 100 of the next call
    int Sounding;                // notes sounding afterwards
  };
  const TCase cases[] = {
      {"a note that starts and ends at one position, on a key released before",
       {{0, 0x90, 60, 90}, {10, 0x80, 60, 0}},
       {{100, 0x90, 60, 90}, {100, 0x80, 60, 0}},
       0},
      {"the same, released by a note-on of velocity 0",
       {{0, 0x90, 60, 90}, {10, 0x90, 60, 0}},
       {{100, 0x90, 60, 90}, {100, 0x80, 60, 0}},
       0},
      {"a repeat of a sounding key listed before its note-off",
       {{0, 0x90, 60, 90}},
       {{100, 0x90, 60, 90}, {100, 0x80, 60, 0}},
       1},
      {"two note-ons and the note-off of a sounding key",
       {{0, 0x90, 60, 90}},
       {{100, 0x90, 60, 90}, {100, 0x90, 64, 90}, {100, 0x80, 60, 0}},
       2},
      {"the sounding key struck twice before its note-off",
       {{0, 0x90, 60, 90}},
       {{100, 0x90, 60, 90}, {100, 0x90, 60, 90}, {100, 0x80, 60, 0}},
       2},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.What);
    SetUp();
    Plugin->RenderDc = true;
    plugin_test::Call(*Plugin, 512, ListOf(c.Before));
    plugin_test::Call(*Plugin, 512, ListOf(c.At));
    // The next call, without events: every sample is 0.5 per sounding note.
    const std::vector<float> after = plugin_test::Call(*Plugin, 512);
    EXPECT_EQ(after.front(), 0.5f * static_cast<float>(c.Sounding));
    EXPECT_EQ(after.back(), 0.5f * static_cast<float>(c.Sounding));
  }
}

// Notes whose note-offs a gated call released (while suspended) no longer
// count as sounding: a note that starts and ends at one position afterwards
// still ends.
TEST_F(MidiQueueTest, NoteOffsReleasedWhileSuspendedEndTheirNotes) {
  Plugin->RenderDc = true;
  TEventList on, off, blip;
  on.Add(0, 0x90, 60, 90);
  off.Add(10, 0x80, 60, 0);
  blip.Add(100, 0x90, 60, 90);
  blip.Add(100, 0x80, 60, 0);
  Call(512, on);
  Dispatch(Effect, kEffMainsChanged, 0, 0);
  Call(512, off);
  Dispatch(Effect, kEffMainsChanged, 0, 1);
  Plugin->Received.clear();
  Call(512, blip);
  EXPECT_EQ(Decoded(), "+60 -60");
  EXPECT_EQ(Plugin->Voices[0].Note, -1) << "no note left sounding";
}

}  // namespace
