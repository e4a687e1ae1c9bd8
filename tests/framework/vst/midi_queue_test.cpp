// The MIDI queue between the host's process-events call and the render
// loop: host lists of any length and its bounded room.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/framework/core/plugin_test_support.h"
#include "tests/support/alloc_trap.h"

namespace {

using namespace plugin_test;

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

}  // namespace
