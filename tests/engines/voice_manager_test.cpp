// The voice manager: allocation by age, stealing, legato, glide starts,
// note-off, voice-count changes and what reaches the voices.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "framework/vst/midi_message_handler.h"
#include "tests/engines/voice_test_plugin.h"
#include "tests/support/alloc_trap.h"
#include "tests/support/test_support.h"

namespace {

using namespace voice_test;

// A probe-voice instrument with `count` voices, all free.
std::unique_ptr<TVoiceTestPlugin> WithVoices(std::int32_t count) {
  auto p = MakeVoicePlugin();
  SetReal(*p, kVoicesParam, static_cast<float>(count));
  SetReal(*p, kLegatoParam, 0);
  p->ApplyVoiceCount();
  return p;
}

TProbeVoice& Probe(TVoiceTestPlugin& p, std::int32_t i) { return *p.VoiceAs<TProbeVoice>(i); }

// Puts voice i into a state with an age, as if it had played.
void Sounding(TVoiceTestPlugin& p, std::int32_t i, std::uint8_t state, std::int32_t age, std::int32_t note = 40) {
  TProbeVoice& v = Probe(p, i);
  v.State = state;
  v.Age = age;
  v.Note = note;
}

class VoiceManager : public ::testing::Test {
 protected:
  void SetUp() override { plugin_test::TTestHost::Reset(); }
  // Note-on as the MIDI decoder delivers it: on the audio thread, lock held.
  static void On(TVoiceTestPlugin& p, std::int32_t note, std::int32_t velocity = 100) {
    TPluginLockGuard lock(p);
    p.NoteOn(Note(note, velocity));
  }
  static void Off(TVoiceTestPlugin& p, std::int32_t note) {
    TPluginLockGuard lock(p);
    p.NoteOff(Note(note, 0));
  }
};

TEST_F(VoiceManager, AllFreeStartsTheLowestVoiceWithTrigger) {
  for (bool legato : {false, true}) {
    auto p = WithVoices(4);
    SetReal(*p, kLegatoParam, legato ? 1.0f : 0.0f);
    ASSERT_EQ(p->IsLegato(), legato);
    On(*p, 60, 127);
    TProbeVoice& v = Probe(*p, 0);
    EXPECT_EQ(v.LastOp, TProbeVoice::kTrigger);
    EXPECT_EQ(v.Starts, 1);
    EXPECT_EQ(v.State, TDSPXVoice::kHeld);
    EXPECT_EQ(v.Note, 60);
    EXPECT_EQ(v.Velocity, 1.0f);
    EXPECT_EQ(v.Age, 0);
    EXPECT_EQ(v.ControlCounter, -1);
    for (std::int32_t i = 1; i < 4; ++i) EXPECT_TRUE(Probe(*p, i).IsFree());
    EXPECT_EQ(p->LastVoice(), &v);
    EXPECT_EQ(p->ActiveVoiceCount(), 1);
  }
}

TEST_F(VoiceManager, EqualAgesStealTheHigherIndexWithLegatoContinue) {
  for (bool legato : {false, true}) {
    auto p = WithVoices(2);
    SetReal(*p, kLegatoParam, legato ? 1.0f : 0.0f);
    Sounding(*p, 0, TDSPXVoice::kHeld, 500, 40);
    Sounding(*p, 1, TDSPXVoice::kHeld, 500, 41);
    On(*p, 62);
    EXPECT_EQ(Probe(*p, 0).LastOp, TProbeVoice::kNone);
    EXPECT_EQ(Probe(*p, 0).Note, 40);
    EXPECT_EQ(Probe(*p, 1).LastOp, legato ? TProbeVoice::kLegatoContinue : TProbeVoice::kTrigger);
    EXPECT_EQ(Probe(*p, 1).Note, 62);
    EXPECT_EQ(Probe(*p, 1).Age, 0);
  }
}

TEST_F(VoiceManager, AnOlderReleasedVoiceIsClaimedBeforeAHeldOneIsStolen) {
  // Voice 0 released (age 10), voice 1 held (age 20): voice 0 was the oldest
  // when the scan reached it, so it is claimed, without retrigger.
  for (bool legato : {false, true}) {
    auto p = WithVoices(2);
    SetReal(*p, kLegatoParam, legato ? 1.0f : 0.0f);
    Sounding(*p, 0, TDSPXVoice::kReleased, 10, 40);
    Sounding(*p, 1, TDSPXVoice::kHeld, 20, 41);
    On(*p, 64);
    TProbeVoice& claimed = Probe(*p, 0);
    EXPECT_EQ(claimed.Note, 64);
    EXPECT_EQ(claimed.State, TDSPXVoice::kHeld);
    if (legato) {
      EXPECT_EQ(claimed.LastOp, TProbeVoice::kLegatoNoteOn);
      EXPECT_EQ(claimed.Previous, p->Voice(1));
      EXPECT_FALSE(claimed.Retrigger);
    } else {
      EXPECT_EQ(claimed.LastOp, TProbeVoice::kTrigger);
    }
    EXPECT_EQ(Probe(*p, 1).State, TDSPXVoice::kHeld);
    EXPECT_EQ(Probe(*p, 1).Note, 41);
  }
}

TEST_F(VoiceManager, AYoungerReleasedVoiceAfterAnOlderHeldOneKeepsSounding) {
  auto p = WithVoices(2);
  Sounding(*p, 0, TDSPXVoice::kHeld, 20, 40);
  Sounding(*p, 1, TDSPXVoice::kReleased, 10, 41);
  On(*p, 65);
  EXPECT_EQ(Probe(*p, 0).Note, 65);
  EXPECT_EQ(Probe(*p, 0).LastOp, TProbeVoice::kTrigger);
  EXPECT_EQ(Probe(*p, 1).State, TDSPXVoice::kReleased);
  EXPECT_EQ(Probe(*p, 1).LastOp, TProbeVoice::kNone);
}

TEST_F(VoiceManager, LegatoWithAFreeVoiceHandsOverFromTheFirstHeldVoice) {
  auto p = WithVoices(4);
  SetReal(*p, kLegatoParam, 1);
  Sounding(*p, 1, TDSPXVoice::kHeld, 300, 40);
  Sounding(*p, 2, TDSPXVoice::kHeld, 900, 45);
  On(*p, 47);
  TProbeVoice& v = Probe(*p, 0);
  EXPECT_EQ(v.LastOp, TProbeVoice::kLegatoNoteOn);
  EXPECT_EQ(v.Previous, p->Voice(1));
  EXPECT_TRUE(v.Retrigger);
  EXPECT_EQ(v.State, TDSPXVoice::kHeld);
  // The previous voices stay held until their own note-offs.
  EXPECT_EQ(Probe(*p, 1).State, TDSPXVoice::kHeld);
  EXPECT_EQ(Probe(*p, 2).State, TDSPXVoice::kHeld);
  Off(*p, 40);
  EXPECT_EQ(Probe(*p, 1).State, TDSPXVoice::kReleased);
}

TEST_F(VoiceManager, TheFirstNoteAfterAResetDoesNotGlideTheNextDoes) {
  auto p = WithVoices(4);
  On(*p, 50);
  EXPECT_EQ(Probe(*p, 0).GlideStartPitch, 50.0f);
  On(*p, 57);
  EXPECT_EQ(Probe(*p, 1).GlideStartPitch, 50.0f);
  // The renderer stores each voice's note at its control updates.
  On(*p, 43);
  EXPECT_EQ(Probe(*p, 2).GlideStartPitch, 57.0f);

  {
    TPluginLockGuard lock(*p);
    p->ResetEngine();
  }
  for (std::int32_t i = 0; i < 4; ++i) EXPECT_TRUE(Probe(*p, i).IsFree());
  On(*p, 70);
  EXPECT_EQ(Probe(*p, 0).GlideStartPitch, 70.0f);
  On(*p, 72);
  EXPECT_EQ(Probe(*p, 1).GlideStartPitch, 70.0f);
}

// The count of sounding voices lets the renderer skip its voice loop once
// every voice is free: a stolen or claimed voice must not be counted twice,
// and a reset frees every voice, so the count must reach 0 again.
TEST_F(VoiceManager, SoundingCountFollowsStealingAndResets) {
  auto p = MakeVoicePlugin(true);
  SetReal(*p, kVoicesParam, 2);
  plugin_test::TStereoBuffers out(44);
  p->ProcessReplacing(nullptr, out.Pointers, 44);
  ASSERT_EQ(p->VoiceCount(), 2);
  On(*p, 40);
  On(*p, 43);
  On(*p, 47);  // steals a held voice
  EXPECT_EQ(p->ActiveVoiceCount(), 2);
  Off(*p, 43);
  Off(*p, 47);
  Off(*p, 40);
  On(*p, 50);  // claims a released voice
  EXPECT_EQ(p->ActiveVoiceCount(), 2);
  Off(*p, 50);
  // Releases of 5 ms: the voices finish and are freed by the renderer.
  for (int b = 0; b < 20; ++b) p->ProcessReplacing(nullptr, out.Pointers, 44);
  p->ForEachVoice<TDSPSynthVoice>([](TDSPSynthVoice& v) { EXPECT_TRUE(v.IsFree()); });
  EXPECT_EQ(p->ActiveVoiceCount(), 0);

  On(*p, 40);
  On(*p, 41);
  {
    TPluginLockGuard lock(*p);
    p->ResetEngine();
  }
  EXPECT_EQ(p->ActiveVoiceCount(), 0);
  On(*p, 45);
  EXPECT_EQ(p->ActiveVoiceCount(), 1);
}

TEST_F(VoiceManager, TheSecondNoteOfAChordGlidesFromTheFirst) {
  auto p = WithVoices(4);
  On(*p, 50);
  Off(*p, 50);
  Probe(*p, 0).State = TDSPXVoice::kFree;  // played out long ago
  // Both notes decoded before the same block, with no control update between.
  On(*p, 55);
  On(*p, 59);
  EXPECT_EQ(Probe(*p, 0).Note, 55);
  EXPECT_EQ(Probe(*p, 0).GlideStartPitch, 50.0f);
  EXPECT_EQ(Probe(*p, 1).GlideStartPitch, 55.0f);
}

TEST_F(VoiceManager, OneNoteOffReleasesOnlyTheLowerOfTwoVoicesOfTheNote) {
  auto p = WithVoices(4);
  On(*p, 60);
  On(*p, 60);
  Off(*p, 60);
  EXPECT_EQ(Probe(*p, 0).State, TDSPXVoice::kReleased);
  EXPECT_EQ(Probe(*p, 1).State, TDSPXVoice::kHeld);
  // A note-off that matches no held voice changes nothing.
  Off(*p, 61);
  EXPECT_EQ(Probe(*p, 1).State, TDSPXVoice::kHeld);
  Off(*p, 60);
  EXPECT_EQ(Probe(*p, 1).State, TDSPXVoice::kReleased);
}

TEST_F(VoiceManager, ANoteOffEndsTheNoteItBelongsToNotALaterOneThatTookItsVoice) {
  for (bool legato : {false, true}) {
    SCOPED_TRACE(legato ? "legato" : "fresh notes");
    // One voice: the repeat of a note arrives before the first one's
    // note-off (same moment); that note-off ends the note already gone.
    auto p = WithVoices(1);
    SetReal(*p, kLegatoParam, legato ? 1.0f : 0.0f);
    On(*p, 40);
    On(*p, 40);
    Off(*p, 40);
    EXPECT_EQ(Probe(*p, 0).State, TDSPXVoice::kHeld);
    Off(*p, 40);
    EXPECT_EQ(Probe(*p, 0).State, TDSPXVoice::kReleased);
    // Three overlapping repeats: two late note-offs, then the last note's.
    On(*p, 45);
    On(*p, 45);
    On(*p, 45);
    Off(*p, 45);
    Off(*p, 45);
    EXPECT_EQ(Probe(*p, 0).State, TDSPXVoice::kHeld);
    Off(*p, 45);
    EXPECT_EQ(Probe(*p, 0).State, TDSPXVoice::kReleased);
    // A different pitch taking the voice owes nothing to the new note.
    On(*p, 50);
    On(*p, 52);
    Off(*p, 50);
    EXPECT_EQ(Probe(*p, 0).State, TDSPXVoice::kHeld);
    Off(*p, 52);
    EXPECT_EQ(Probe(*p, 0).State, TDSPXVoice::kReleased);
  }
}

TEST_F(VoiceManager, AStolenNotesNoteOffIsNotTakenByAYoungerNoteOfItsPitch) {
  auto p = WithVoices(2);
  On(*p, 60);  // voice 0
  On(*p, 60);  // voice 1
  Sounding(*p, 0, TDSPXVoice::kHeld, 500, 60);
  On(*p, 64);  // steals voice 0, the oldest
  ASSERT_EQ(Probe(*p, 0).Note, 64);
  Off(*p, 60);  // the first 60, which no longer sounds
  EXPECT_EQ(Probe(*p, 1).State, TDSPXVoice::kHeld);
  Off(*p, 60);
  EXPECT_EQ(Probe(*p, 1).State, TDSPXVoice::kReleased);
  EXPECT_EQ(Probe(*p, 0).State, TDSPXVoice::kHeld);

  // The younger of two notes of a pitch stolen (equal ages: the later index
  // goes): the first note-off still ends the older note.
  auto q = WithVoices(2);
  On(*q, 60);
  On(*q, 60);
  On(*q, 64);
  ASSERT_EQ(Probe(*q, 1).Note, 64);
  Off(*q, 60);
  EXPECT_EQ(Probe(*q, 0).State, TDSPXVoice::kReleased);

  // A reset forgets what was owed.
  auto r = WithVoices(1);
  On(*r, 70);
  On(*r, 70);
  {
    TPluginLockGuard lock(*r);
    r->ResetEngine();
  }
  On(*r, 70);
  Off(*r, 70);
  EXPECT_EQ(Probe(*r, 0).State, TDSPXVoice::kReleased);
}

// With a steal fade each slot has a spare: a note that takes a sounding
// voice starts at once on it, its LFOs going on where the taken voice had
// them, while the taken voice fades as a tail that no note-off reaches and
// then is the spare. A second steal within the fade waits for it.
TEST_F(VoiceManager, AStolenVoiceFadesAsATailWhileTheNewNoteStartsOnASpare) {
  auto p = MakeVoicePlugin();
  p->StealFade = 88;
  SetReal(*p, kVoicesParam, 1);
  plugin_test::TStereoBuffers out(44);
  On(*p, 40);
  p->ProcessReplacing(nullptr, out.Pointers, 44);
  TProbeVoice& taken = Probe(*p, 0);
  taken.Lfo[0].CurrentWaveform().Phase = 0.3f;
  On(*p, 45);
  TProbeVoice& spare = Probe(*p, 0);
  ASSERT_NE(&spare, &taken);
  EXPECT_EQ(spare.LastOp, TProbeVoice::kTrigger);
  EXPECT_EQ(spare.Lfo[0].CurrentWaveform().Phase, 0.3f);
  Off(*p, 40);
  On(*p, 47);
  EXPECT_TRUE(taken.IsHeld() && spare.Pending.Active);
  for (int b = 0; b < 4; ++b) p->ProcessReplacing(nullptr, out.Pointers, 44);
  On(*p, 48);
  EXPECT_EQ(&Probe(*p, 0), &taken) << "the faded tail is the spare";
}

// Without a spare (the voices were made before the renderer asked for a
// steal fade), a note that takes a sounding voice waits until the voice has
// faded its own note out: the voice plays that note on, the waiting note
// takes the note-offs and later notes meant for it, and it starts (and here
// ends, its note-off having come) when the fade is done.
TEST_F(VoiceManager, AStolenVoiceFadesItsNoteBeforeTheNewOneStarts) {
  auto p = WithVoices(1);
  p->StealFade = 88;
  plugin_test::TStereoBuffers out(44);
  On(*p, 40);
  p->ProcessReplacing(nullptr, out.Pointers, 44);
  TProbeVoice& v = Probe(*p, 0);
  v.Clear();
  On(*p, 45);  // steals the only voice
  EXPECT_EQ(v.LastOp, TProbeVoice::kNone);
  EXPECT_EQ(v.Note, 40);
  On(*p, 47);  // takes the fading voice: the waiting note changes, the fade goes on
  EXPECT_EQ(v.Pending.Note, 47);
  EXPECT_EQ(v.Pending.GlideStartPitch, 45.0f) << "glides from the note before, though it never sounded";
  Off(*p, 40);  // notes that are gone: nothing to end
  Off(*p, 45);
  p->ProcessReplacing(nullptr, out.Pointers, 44);
  EXPECT_EQ(v.LastOp, TProbeVoice::kNone) << "started before its fade was done";
  Off(*p, 47);
  for (int b = 0; b < 4 && v.Pending.Active; ++b) p->ProcessReplacing(nullptr, out.Pointers, 44);
  EXPECT_EQ(v.LastOp, TProbeVoice::kTrigger);
  EXPECT_EQ(v.Note, 47);
  EXPECT_EQ(v.State, TDSPXVoice::kReleased) << "its note-off came during the fade";
  for (int b = 0; b < 20; ++b) p->ProcessReplacing(nullptr, out.Pointers, 44);
  EXPECT_EQ(p->ActiveVoiceCount(), 0);
}

// All Notes Off (controller 123, on any channel: note-offs ignore the
// channel too) ends every held note, here one waiting for a steal fade that
// a note-off is owed to. A host sends it to stop what sounds; a note left
// held would sound on.
TEST_F(VoiceManager, AllNotesOffReleasesEveryHeldNote) {
  auto p = WithVoices(1);
  p->StealFade = 88;
  On(*p, 40);
  On(*p, 40);  // waits for the fade; the first 40's note-off is owed to it
  ASSERT_EQ(Probe(*p, 0).Pending.OwedNoteOffs, 1);
  TMidiEventRec e;
  e.Status = kMidiController;
  e.Data1 = 123;
  e.Channel = 9;
  {
    TPluginLockGuard lock(*p);
    p->HandleMidi(e);
  }
  EXPECT_TRUE(Probe(*p, 0).Pending.Released);
  EXPECT_EQ(Probe(*p, 0).Pending.OwedNoteOffs, 0);
}

TEST_F(VoiceManager, ANoteOffReleasesTheOldestHeldVoiceOfItsPitch) {
  auto p = WithVoices(4);
  On(*p, 30);
  On(*p, 60);  // voice 1
  Off(*p, 30);
  Sounding(*p, 0, TDSPXVoice::kFree, 0);
  On(*p, 60);  // the lowest free voice: 0, though it started later
  Off(*p, 60);
  EXPECT_EQ(Probe(*p, 1).State, TDSPXVoice::kReleased);
  EXPECT_EQ(Probe(*p, 0).State, TDSPXVoice::kHeld);
}

TEST_F(VoiceManager, EmptySlotsAreSkipped) {
  auto p = MakeVoicePlugin();
  p->EmptySlots = {0, 2};
  SetReal(*p, kVoicesParam, 4);
  p->ApplyVoiceCount();
  ASSERT_EQ(p->VoiceCount(), 4);
  ASSERT_EQ(p->Voice(0), nullptr);
  On(*p, 60);
  On(*p, 61);
  EXPECT_EQ(Probe(*p, 1).Note, 60);
  EXPECT_EQ(Probe(*p, 3).Note, 61);
  On(*p, 62);  // steals among the two real voices
  EXPECT_EQ(Probe(*p, 3).Note, 62);
  Off(*p, 60);
  EXPECT_EQ(Probe(*p, 1).State, TDSPXVoice::kReleased);
  TPluginLockGuard lock(*p);
  p->ResetEngine();
}

TEST_F(VoiceManager, RequestedCountIsRoundedAndClamped) {
  auto p = MakeVoicePlugin();
  const std::pair<float, std::int32_t> cases[] = {{0.4f, 1},  {1.5f, 2},   {2.5f, 2},   {3.5f, 4},
                                                  {-3.0f, 1}, {16.4f, 16}, {32.0f, 16}, {1e30f, 16}};
  for (const auto& [value, count] : cases) {
    p->RequestVoiceCount(value);
    EXPECT_EQ(p->RequestedVoiceCount(), count) << value;
  }
  p->RequestVoiceCount(std::numeric_limits<float>::quiet_NaN());
  EXPECT_EQ(p->RequestedVoiceCount(), 16);
}

TEST_F(VoiceManager, VoiceCountChangeDropsEveryNoteAndReappliesTheParameters) {
  auto p = MakeVoicePlugin(true);
  SetReal(*p, kVoicesParam, 3);
  plugin_test::TStereoBuffers out(44);
  p->ProcessReplacing(nullptr, out.Pointers, 44);
  ASSERT_EQ(p->VoiceCount(), 3);
  const std::int32_t built = p->VoicesCreated;
  SetReal(*p, kSeq1Steps, 5);
  On(*p, 40);
  On(*p, 47);
  p->ProcessReplacing(nullptr, out.Pointers, 44);

  // The same count again: nothing is rebuilt, the notes go on.
  SetReal(*p, kVoicesParam, 3.2f);
  p->ProcessReplacing(nullptr, out.Pointers, 44);
  EXPECT_EQ(p->VoicesCreated, built);
  EXPECT_FALSE(p->Voice(0)->IsFree());
  EXPECT_FALSE(p->IsVoiceCountRequested());

  // A new count from the host's thread: the voices are made on that thread
  // and swapped in before its call returns; every note is dropped, the new
  // voices take the current settings.
  EXPECT_FALSE(p->Voice(1)->IsFree());
  SetReal(*p, kVoicesParam, 5);
  ASSERT_EQ(p->VoiceCount(), 5);
  EXPECT_EQ(p->VoicesCreated, built + 5);
  EXPECT_EQ(p->ActiveVoiceCount(), 0);
  p->ForEachVoice<TDSPSynthVoice>([](TDSPSynthVoice& v) {
    EXPECT_TRUE(v.IsFree());
    EXPECT_EQ(v.VoiceCount, 5);
    EXPECT_EQ(v.Seq1.StepCount(), 5);
    EXPECT_EQ(v.Settings->SampleRate, 44100);
  });
  for (std::int32_t i = 0; i < 5; ++i) EXPECT_EQ(p->Voice(i)->VoiceIndex, i);
  EXPECT_EQ(p->LastVoice(), p->Voice(0));
  EXPECT_EQ(p->LastVoice()->LastNote, TDSPXVoice::kNoLastNote);
}

TEST_F(VoiceManager, ANoteDecodedWithAPendingCountChangeSurvivesTheRebuild) {
  auto p = MakeVoicePlugin(true);
  SetReal(*p, kVoicesParam, 2);
  SetReal(*p, kVoicesParam, 6);  // still pending: no block since
  plugin_test::TEventList events;
  events.Add(0, 0x90, 52, 100);
  TVstEffect* e = p->GetEffect();
  plugin_test::Dispatch(e, kEffProcessEvents, 0, 0, const_cast<TVstEvents*>(events.Build()));
  plugin_test::TStereoBuffers out(256);
  p->ProcessReplacing(nullptr, out.Pointers, 256);
  p->ProcessReplacing(nullptr, out.Pointers, 256);
  ASSERT_EQ(p->VoiceCount(), 6);
  EXPECT_EQ(p->Voice(0)->State, TDSPXVoice::kHeld);
  EXPECT_EQ(p->Voice(0)->Note, 52);
  EXPECT_GT(testing_support::Peak(out.Left), 0.01f);
}

TEST_F(VoiceManager, NotesBeforeTheFirstVoicesAreIgnored) {
  TVoiceTestPlugin p;
  p.InitPlugin(&plugin_test::TTestHost::Callback);
  EXPECT_EQ(p.VoiceCount(), 0);
  On(p, 60);
  Off(p, 60);
  EXPECT_EQ(p.ActiveVoiceCount(), 0);
  EXPECT_EQ(p.LastVoice(), nullptr);
}

TEST_F(VoiceManager, SettingsAndTempoReachEveryVoice) {
  auto p = WithVoices(3);
  TVstEffect* e = p->GetEffect();
  plugin_test::Dispatch(e, kEffSetSampleRate, 0, 0, nullptr, 48000.0f);
  p->ForEachVoice<TDSPSynthVoice>([](TDSPSynthVoice& v) {
    EXPECT_EQ(v.Settings->SampleRate, 48000);
    EXPECT_EQ(v.Seq1.Settings->SampleRate, 48000);
    EXPECT_EQ(v.ControlCounter, -1);
  });
  {
    std::lock_guard<std::mutex> guard(plugin_test::TTestHost::Mutex);
    plugin_test::TTestHost::Time.tempo = 93.0;
  }
  plugin_test::TStereoBuffers out(96);
  p->ProcessReplacing(nullptr, out.Pointers, 96);
  p->ForEachVoice<TDSPSynthVoice>([](TDSPSynthVoice& v) {
    EXPECT_EQ(v.Seq1.Tempo(), 93.0);
    EXPECT_EQ(v.Seq2.Tempo(), 93.0);
  });
}

// ---- rendering allocates nothing in steady state

TEST_F(VoiceManager, NotesAndSequencersRenderWithoutAllocating) {
  auto p = MakeVoicePlugin(true);
  SetReal(*p, kVoicesParam, 4);
  SetReal(*p, kLegatoParam, 1);
  SetReal(*p, kSeq1, 1);
  SetReal(*p, kSeq1Unit, 0);
  SetReal(*p, kSeq1Len, 20);
  SetReal(*p, kSeq1Rtrg, 1);
  SetReal(*p, kSeq1Step1 + 2, -64);
  TVstEffect* e = p->GetEffect();
  plugin_test::TStereoBuffers out(300);
  p->ProcessReplacing(nullptr, out.Pointers, 300);  // builds the voices
  plugin_test::TEventList events[6];
  for (int k = 0; k < 6; ++k) events[k].Add(10 * k, 0x90, static_cast<std::uint8_t>(40 + 3 * k), 90);
  events[3].Add(0, 0x80, 40, 0);
  events[5].Add(5, 0x80, 43, 0);
  const TVstEvents* lists[6];
  for (int k = 0; k < 6; ++k) lists[k] = events[k].Build();
  std::vector<float> all;
  all.reserve(40 * 300);
  {
    testing_support::TAudioThreadGuard audio("the voice render");
    for (int b = 0; b < 40; ++b) {
      if (b < 6) {
        // The host's event call (its own thread in a host) queues them.
        testing_support::TAllowAllocations host;
        plugin_test::Dispatch(e, kEffProcessEvents, 0, 0, const_cast<TVstEvents*>(lists[b]));
      }
      p->ProcessReplacing(nullptr, out.Pointers, 300);
      all.insert(all.end(), out.Left.begin(), out.Left.end());
    }
  }
  EXPECT_TRUE(testing_support::AllFinite(all));
  EXPECT_GT(testing_support::Peak(all), 0.01f);
}

}  // namespace

namespace {
std::uint64_t gTicks = 0;
std::uint64_t gTickStep = 0;
std::uint64_t SteppingClock() { return gTicks += gTickStep; }
float BlockPeak(TVoiceTestPlugin& p) {
  return testing_support::Peak({p.GetOutputBuffer(), static_cast<std::size_t>(p.Settings->StereoLength)});
}
}  // namespace

// Pulled as an engine, the instrument renders its voices once per step; an
// engine step that overruns its budget often enough resets the engine, which
// frees every voice and forgets the glide note.
TEST_F(VoiceManager, AsAnEngineTheInstrumentRendersPerStepAndAnOverloadFreesItsVoices) {
  auto p = MakeVoicePlugin(true);
  SetReal(*p, kVoicesParam, 2);
  p->ApplyVoiceCount();
  On(*p, 40);
  EXPECT_TRUE(p->RenderStep());
  EXPECT_GT(BlockPeak(*p), 0.0f);
  // Muted (bypass): the step answers false and leaves a silent block.
  SetReal(*p, TDSPPluginX::kParamBypass, 1);
  EXPECT_FALSE(p->RenderStep());
  EXPECT_EQ(BlockPeak(*p), 0.0f);
  SetReal(*p, TDSPPluginX::kParamBypass, 0);

  p->SetTimeStampClock(&SteppingClock);
  p->SetCpuTicksPerMs(1000.0);
  gTickStep = 2000;  // twice the budget of a one-millisecond block
  for (int k = 0; k < TDSPPluginX::kOverloadLimit; ++k) p->RenderStep();
  EXPECT_EQ(p->ActiveVoiceCount(), 1) << "at the limit, not past it";
  {
    testing_support::TAudioThreadGuard audio("the overload reset");
    p->RenderStep();
  }
  EXPECT_EQ(p->ActiveVoiceCount(), 0);
  p->ForEachVoice<TDSPSynthVoice>([](TDSPSynthVoice& v) { EXPECT_TRUE(v.IsFree()); });
  EXPECT_EQ(p->GetOverloadCount(), 0);
}
