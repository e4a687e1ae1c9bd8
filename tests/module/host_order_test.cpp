// What a host changes lands in the order it made the changes, whichever
// thread makes them and whatever the audio thread does meanwhile: streams,
// has stopped calling, is suspended, runs flat out, or is left behind by
// thousands of changes in one block.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/module/audio_thread.h"
#include "tests/module/module_render.h"
#include "tools/host/alloc_counter.h"
#include "tools/host/lock_monitor.h"

namespace {

using namespace module_render;

// ---- every change lands, in order

enum class TState { Streaming, Stopped, Suspended, FlatOut, Overflowing };
enum class TThen { Parameter, Program, ProgramChunk, BankChunk };

struct TOrderCase {
  const char* Name;
  TState State;
  TThen Then;
};

template <class T>
std::string CaseName(const testing::TestParamInfo<T>& info) {
  return info.param.Name;
}

class HostOrder : public testing::TestWithParam<TOrderCase> {};

// A parameter set to 0.2 and then, one way or another, to something else:
// what the host reads back, what it saves and what is current afterwards
// is the later change, however the audio thread was placed between the two.
TEST_P(HostOrder, TheLastChangeWins) {
  const TOrderCase& c = GetParam();
  const int frames = c.State == TState::Overflowing ? 4096 : 512;
  std::string error;
  std::unique_ptr<TVstPlugin> plugin = OpenInstance(44100, frames, error);
  ASSERT_NE(plugin, nullptr) << error;
  const int x = ParamIndex("Cutoff->Env2");
  ASSERT_GE(x, 0);
  plugin->SetProgram(3);
  // The states the later change brings: a program chunk and a bank chunk
  // holding 0.5, and program 5 holding 0.7.
  plugin->SetParameter(x, 0.7f);
  plugin->SetProgram(5);
  plugin->SetParameter(x, 0.7f);
  plugin->SetProgram(3);
  plugin->SetParameter(x, 0.5f);
  const std::vector<std::uint8_t> programChunk = plugin->GetChunk(true);
  const std::vector<std::uint8_t> bankChunk = plugin->GetChunk(false);
  plugin->SetParameter(x, 0.3f);
  float expected = 0.8f;
  std::vector<std::uint8_t> loaded;
  auto later = [&] {
    switch (c.Then) {
      case TThen::Parameter:
        plugin->SetParameter(x, 0.8f);
        break;
      case TThen::Program:
        plugin->SetProgram(5);
        expected = 0.7f;
        break;
      case TThen::ProgramChunk:
        EXPECT_NE(plugin->SetChunk(programChunk, true), 0);
        expected = 0.5f;
        loaded = programChunk;
        break;
      case TThen::BankChunk:
        EXPECT_NE(plugin->SetChunk(bankChunk, false), 0);
        expected = 0.5f;
        loaded = bankChunk;
        break;
    }
  };

  plugin->SetSampleRate(44100);
  plugin->SetBlockSize(frames);
  plugin->SetProcessLevel(kVstProcessLevelRealtime);
  plugin->Resume();
  plugin->Dispatch(kEffStartProcess);
  TAudioThread audio(*plugin, frames, c.State != TState::FlatOut);
  audio.Start();
  ASSERT_TRUE(audio.AwaitCalls(3));
  switch (c.State) {
    case TState::Streaming:
    case TState::FlatOut:
      plugin->SetParameter(x, 0.2f);
      later();
      break;
    case TState::Stopped:
      ASSERT_TRUE(audio.AwaitCalls(1));
      plugin->SetParameter(x, 0.2f);
      audio.Stop();
      // The host stopped calling, without suspending.
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      later();
      EXPECT_EQ(plugin->GetParameter(x), expected) << "while stopped";
      break;
    case TState::Suspended:
      plugin->SetParameter(x, 0.2f);
      audio.Stop();
      plugin->Suspend();
      later();
      EXPECT_EQ(plugin->GetParameter(x), expected) << "while suspended";
      plugin->Resume();
      break;
    case TState::Overflowing:
      // One long block's time right after a call: the changes outnumber
      // what the audio thread takes at its next call.
      ASSERT_TRUE(audio.AwaitCalls(1));
      plugin->SetParameter(x, 0.2f);
      for (int k = 0; k < 4095; ++k) plugin->SetParameter(10 + k % 100, (k % 7) / 7.0f);
      later();
      break;
  }
  if (c.State == TState::Stopped || c.State == TState::Suspended) audio.Start();
  ASSERT_TRUE(audio.AwaitCalls(4));
  EXPECT_EQ(plugin->GetParameter(x), expected);
  if (!loaded.empty()) {
    EXPECT_TRUE(plugin->GetChunk(c.Then == TThen::ProgramChunk) == loaded) << "what is saved is not what was loaded";
  }
  audio.Stop();
}

INSTANTIATE_TEST_SUITE_P(Cases, HostOrder,
                         testing::Values(TOrderCase{"StreamingThenParameter", TState::Streaming, TThen::Parameter},
                                         TOrderCase{"StreamingThenProgram", TState::Streaming, TThen::Program},
                                         TOrderCase{"StreamingThenProgramChunk", TState::Streaming,
                                                    TThen::ProgramChunk},
                                         TOrderCase{"StreamingThenBankChunk", TState::Streaming, TThen::BankChunk},
                                         TOrderCase{"StoppedThenParameter", TState::Stopped, TThen::Parameter},
                                         TOrderCase{"StoppedThenProgram", TState::Stopped, TThen::Program},
                                         TOrderCase{"StoppedThenProgramChunk", TState::Stopped, TThen::ProgramChunk},
                                         TOrderCase{"SuspendedThenParameter", TState::Suspended, TThen::Parameter},
                                         TOrderCase{"SuspendedThenProgram", TState::Suspended, TThen::Program},
                                         TOrderCase{"SuspendedThenBankChunk", TState::Suspended, TThen::BankChunk},
                                         TOrderCase{"FlatOutThenParameter", TState::FlatOut, TThen::Parameter},
                                         TOrderCase{"FlatOutThenProgramChunk", TState::FlatOut, TThen::ProgramChunk},
                                         TOrderCase{"OverflowingThenParameter", TState::Overflowing, TThen::Parameter},
                                         TOrderCase{"OverflowingThenBankChunk", TState::Overflowing, TThen::BankChunk}),
                         CaseName<TOrderCase>);

// ---- program changes at defined points, notes kept

// Every 50 ms window of both channels over from..to seconds, in dB.
std::vector<double> Windows(const TStereo& s, double from, double to) {
  std::vector<double> db;
  for (double t = from; t + 0.05 <= to + 1e-9; t += 0.05) db.push_back(RmsDb(Both(s, t, t + 0.05)));
  return db;
}

// A host that renders on one thread and selects a program on it between
// two process calls: the program applies before the next call's events,
// and the same calls give the same bits whatever the host answers about its
// process level (and however fast the module's worker is).
TEST(ProgramChanges, OnTheProcessingThreadRenderTheSameBitsEveryTime) {
  const int from = FindProgram("Classic Saw"), to = FindProgram("Acid Line");
  ASSERT_GE(from, 0);
  ASSERT_GE(to, 0);
  for (bool sounding : {false, true}) {
    SCOPED_TRACE(sounding ? "the old program sounds at the change" : "silent at the change");
    TScript script;
    if (sounding) script.Note(0.3, 0.75, 40);
    script.Program(1.0, to).Note(1.05, 0.95, 45);
    TScript reference;
    reference.Note(1.05, 0.95, 45);
    TPlaySettings s;
    s.Seconds = 2.3;
    s.Program = to;
    TStereo expected, out;
    std::string error;
    ASSERT_TRUE(Play(s, reference, expected, error)) << error;
    s.Program = from;
    std::vector<float> first;
    for (std::int32_t level : {kVstProcessLevelOffline, kVstProcessLevelUnknown, kVstProcessLevelRealtime}) {
      for (int run = 0; run < 4; ++run) {
        s.ProcessLevel = level;
        ASSERT_TRUE(Play(s, script, out, error)) << error;
        if (first.empty()) first = Both(out, 0, s.Seconds);
        ASSERT_TRUE(Both(out, 0, s.Seconds) == first) << "level " << level << ", run " << run;
      }
    }
    // The note after the change is the new program's, whole.
    const std::vector<double> got = Windows(out, 1.1, 2.0), want = Windows(expected, 1.1, 2.0);
    for (std::size_t k = 0; k < got.size(); ++k) EXPECT_NEAR(got[k], want[k], 3.0) << "window " << k;
  }
}

// A host that renders faster than real time and automates every parameter
// on its processing thread gets the same bits on every run, whatever it
// answers about its process level, once its pace shows (after a second of
// audio): what a change has the module's worker build lands where an
// offline render lands it, however fast the worker is.
TEST(ProgramChanges, AutomationRendersTheSameBitsEveryTime) {
  std::string error;
  std::unique_ptr<TVstPlugin> fresh = OpenInstance(44100, 512, error);
  ASSERT_NE(fresh, nullptr) << error;
  // Each parameter to 1 and back to its own value, two blocks apart, with
  // a note struck again every half second.
  TScript script;
  const double step = 2 * 512 / 44100.0, start = 1.2;
  double t = start;
  for (int i = 0; i < fresh->NumParams(); ++i, t += 2 * step)
    script.Parameter(t, i, 1.0f).Parameter(t + step, i, fresh->GetParameter(i));
  for (double n = 0.05; n < t; n += 0.5) script.Note(n, 0.45, 40 + static_cast<int>(n * 2) % 12);
  TPlaySettings s;
  s.Seconds = t + 0.5;
  std::vector<float> offline;
  for (std::int32_t level : {kVstProcessLevelOffline, kVstProcessLevelUnknown, kVstProcessLevelRealtime}) {
    std::vector<float> first;
    for (int run = 0; run < 3; ++run) {
      s.ProcessLevel = level;
      TStereo out;
      ASSERT_TRUE(Play(s, script, out, error)) << error;
      const std::vector<float> rendered = Both(out, start, s.Seconds);
      if (first.empty()) first = rendered;
      EXPECT_TRUE(rendered == first) << "level " << level << ", run " << run;
    }
    if (offline.empty()) offline = first;
  }
  // (Not silence, where every render would be the same.)
  EXPECT_GT(RmsDb(offline), -40.0);
}

// The first frame from `from` seconds on where either channel reaches
// -60 dBFS, in seconds; -1 when none does.
double Onset(const TStereo& s, double from) {
  for (std::size_t f = s.Frame(from); f < s.Left.size(); ++f)
    if (std::fabs(s.Left[f]) > 1e-3f || std::fabs(s.Right[f]) > 1e-3f) return static_cast<double>(f) / s.Rate;
  return -1;
}

// What `program` renders for A2 from `on` for `length` seconds, alone.
bool RenderNote(int program, double on, double length, TStereo& out) {
  TScript reference;
  reference.Note(on, length, 45);
  TPlaySettings s;
  s.Seconds = on + length + 0.3;
  s.Program = program;
  std::string error;
  const bool played = Play(s, reference, out, error);
  EXPECT_TRUE(played) << error;
  return played;
}

// A note of `length` seconds from `on` in `out` played whole by `program`:
// what the program renders for it from the start, late by at most 130 ms
// (where the old sound fades into it, its start is not seen: not late).
void ExpectWholeNote(const TStereo& out, double on, double length, int program, bool startSeen) {
  const double off = on + length;
  TStereo expected;
  ASSERT_TRUE(RenderNote(program, on, length, expected));
  const double late = startSeen ? Onset(out, on) - Onset(expected, on) : 0.0;
  EXPECT_GE(late, 0.0);
  EXPECT_LT(late, 0.13) << "the note came " << late * 1e3 << " ms late";
  // Compared from a little after its start up to its end.
  const std::vector<double> got = Windows(out, on + late + 0.03, off), want = Windows(expected, on + 0.03, off - late);
  for (std::size_t k = 0; k < got.size() && k < want.size(); ++k) EXPECT_NEAR(got[k], want[k], 6.0) << "window " << k;
}

// A program selected by another thread while the host streams in real
// time: a note that comes with it or just after (the call may land between
// two process calls or during one) plays whole with the new program, late
// by no more than the fade and the hand-over, which the audio thread ends
// itself after 100 ms of silence.
TEST(ProgramChanges, ANoteAroundAHostThreadChangePlaysWhole) {
  const int from = FindProgram("Classic Saw"), to = FindProgram("Acid Line");
  ASSERT_GE(from, 0);
  ASSERT_GE(to, 0);
  constexpr int kFrames = 256;
  const double change = 0.3, length = 0.3;
  auto frame = [](double t) { return static_cast<std::size_t>(t * 44100); };
  int round = 0;
  for (double delay : {0.0, 0.010, 0.020}) {
    for (bool heldAcross : {false, true}) {
      SCOPED_TRACE(testing::Message() << "note " << delay * 1e3 << " ms after the call"
                                      << (heldAcross ? ", a note held across it" : ""));
      std::unique_ptr<TVstPlugin> plugin = Streamable(from, kFrames, kVstProcessLevelRealtime);
      ASSERT_NE(plugin, nullptr);
      std::vector<TTimedMidi> before = {{frame(0.05), {0x90, 40, 100}}};
      if (!heldAcross) before.push_back({frame(change - 0.15), {0x80, 40, 64}});
      TAudioThread audio(*plugin, kFrames, true, before);
      audio.AddAnchored({{frame(delay), {0x90, 45, 100}}, {frame(delay + length), {0x80, 45, 64}}});
      audio.Record(change + length + 0.3);
      audio.Start();
      ASSERT_TRUE(audio.AwaitFrame(frame(change)));
      // Between two calls, or a third or two thirds into one.
      std::this_thread::sleep_for(std::chrono::duration<double>((round++ % 3) * kFrames / 44100.0 / 3));
      audio.Anchor();
      plugin->SetProgram(to);
      ASSERT_TRUE(audio.Finish());
      ExpectWholeNote(audio.Output(), static_cast<double>(audio.AnchoredAt()) / 44100 + delay, length, to, !heldAcross);
    }
  }
}

// Where sound that began at `from` seconds or later comes back after at
// least half a millisecond of silence, in seconds; -1 when it does not.
double Resumes(const TStereo& s, double from) {
  const std::size_t gap = static_cast<std::size_t>(s.Rate / 2000);
  std::size_t quiet = 0;
  bool sounded = false, paused = false;
  for (std::size_t f = s.Frame(from); f < s.Left.size(); ++f) {
    const float level = std::max(std::fabs(s.Left[f]), std::fabs(s.Right[f]));
    if (paused && level > 1e-3f) return static_cast<double>(f) / s.Rate;
    sounded |= level > 1e-3f;
    quiet = level < 1e-4f ? quiet + 1 : 0;
    paused |= sounded && quiet >= gap;
  }
  return -1;
}

// A host's audio thread renders each block as it begins, ahead of its
// clock. What it sent for the part of its stream after the point its clock
// had reached when another thread changed the program plays with the new
// program, whole, although the call that carried it came before the
// change: the old sound fades and the note starts again.
TEST(ProgramChanges, WhatTheStreamHeldFromTheChangeOnPlaysWithTheNewProgram) {
  const int from = FindProgram("Classic Saw"), to = FindProgram("Acid Line");
  ASSERT_GE(from, 0);
  ASSERT_GE(to, 0);
  auto frame = [](double t) { return static_cast<std::size_t>(t * 44100); };
  auto nowNs = [] {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(TClock::now().time_since_epoch()).count();
  };
  struct TCase {
    int Frames;
    double Length;
  };
  for (const TCase c : {TCase{256, 0.3}, TCase{512, 0.3}, TCase{1024, 0.3}, TCase{512, 0.0025}, TCase{1024, 0.0025}}) {
    SCOPED_TRACE(testing::Message() << c.Frames << "-frame calls, a note of " << c.Length * 1e3 << " ms");
    bool measured = false;
    for (int round = 0; round < 10 && !measured; ++round) {
      std::unique_ptr<TVstPlugin> plugin = Streamable(from, c.Frames, kVstProcessLevelRealtime);
      ASSERT_NE(plugin, nullptr);
      // The note from three quarters into the call that begins about a second in.
      const std::size_t call = frame(1.0) / static_cast<std::size_t>(c.Frames) * static_cast<std::size_t>(c.Frames);
      const std::size_t on = call + static_cast<std::size_t>(c.Frames * 3 / 4);
      std::atomic<std::int64_t> began{0};
      TAudioThread audio(*plugin, c.Frames, true, {{on, {0x90, 45, 100}}, {on + frame(c.Length), {0x80, 45, 64}}});
      audio.BeforeCall([&](std::size_t start) {
        if (start == call) began.store(nowNs());
      });
      audio.Record(1.5 + c.Length);
      audio.Start();
      ASSERT_TRUE(audio.AwaitFrame(call + static_cast<std::size_t>(c.Frames)));
      const std::int64_t asked = nowNs();
      plugin->SetProgram(to);
      ASSERT_TRUE(audio.Finish());
      // On a busy machine the change may come after the note's time on the
      // host's clock: not this case, measured again.
      if (static_cast<double>(asked - began.load()) * 1e-9 * 44100 >= c.Frames * 3 / 4) continue;
      measured = true;
      const TStereo& out = audio.Output();
      const double t = static_cast<double>(on) / 44100, again = Resumes(out, t);
      if (again <= t) {
        ADD_FAILURE() << "the note does not sound again after the fade";
        continue;
      }
      EXPECT_LT(again - t, 0.13) << "the note came " << (again - t) * 1e3 << " ms late";
      if (c.Length > 0.1) {
        ExpectWholeNote(out, again, c.Length, to, false);
      } else {
        // A note shorter than the wait: it still sounds, at least as long as it was.
        TStereo expected;
        ASSERT_TRUE(RenderNote(to, again, c.Length, expected));
        EXPECT_GT(RmsDb(Both(out, again, again + 0.1)), RmsDb(Both(expected, again, again + 0.1)) - 3.0);
      }
    }
    EXPECT_TRUE(measured) << "the change never came before the note on the host's clock";
  }
}

// After the old sound's fade nothing sounds until a note arrives, even
// where the old program rang through its effects.
TEST(ProgramChanges, AfterTheFadeNothingSoundsUntilANote) {
  const int from = FindProgram("Bass Pad");
  ASSERT_GE(from, 0);
  const double change = 1.0;
  auto frame = [](double t) { return static_cast<std::size_t>(t * 44100); };
  std::unique_ptr<TVstPlugin> plugin = Streamable(from, 512, kVstProcessLevelRealtime);
  ASSERT_NE(plugin, nullptr);
  TAudioThread audio(*plugin, 512, true,
                     {{frame(0.1), {0x90, 40, 100}}, {frame(0.1), {0x90, 47, 100}}, {frame(0.1), {0x90, 52, 100}}});
  audio.Record(3.5);
  audio.Start();
  ASSERT_TRUE(audio.AwaitFrame(frame(change)));
  plugin->SetProgram(0);
  ASSERT_TRUE(audio.Finish());
  const TStereo& out = audio.Output();
  EXPECT_GT(RmsDb(Both(out, 0.3, change - 0.05)), -40.0);
  for (double t = change + 0.1; t < 3.4; t += 0.1) EXPECT_LT(RmsDb(Both(out, t, t + 0.1)), -120.0) << t;
}

// A host that renders faster than real time and says nothing about it
// gets sound after each program change a thread of its own makes: every
// note after a change sounds from its start, none is lost in seconds of
// silence while another thread applies the program.
TEST(ProgramChanges, AFastHostGetsSoundAfterHostThreadChanges) {
  constexpr double kStep = 0.05, kLength = 0.035;
  const int programs[] = {13, 27, 2, 57, 0, 27};
  constexpr int kChanges = 6;
  constexpr std::size_t kFrames = 512;
  auto frame = [](double t) { return static_cast<std::size_t>(t * 44100); };
  // Each change at the start of a call between two notes: after the end of
  // note 30 + 10 k, before the start of the next (from the second second of
  // the render on: it takes a second of audio to tell a render from a
  // real-time stream).
  auto change = [&](int k) { return (frame(0.1 + kStep * (30 + 10 * k) + kLength) / kFrames + 1) * kFrames; };
  for (std::int32_t level : {kVstProcessLevelUnknown, kVstProcessLevelRealtime}) {
    SCOPED_TRACE(level);
    std::vector<TTimedMidi> midi;
    for (int k = 0; k < 100; ++k) {
      midi.push_back({frame(0.1 + kStep * k), {0x90, 40, 100}});
      midi.push_back({frame(0.1 + kStep * k + kLength), {0x80, 40, 64}});
    }
    std::unique_ptr<TVstPlugin> plugin = Streamable(0, 512, level);
    ASSERT_NE(plugin, nullptr);
    TAudioThread audio(*plugin, kFrames, false, midi);
    // The audio thread goes on past each change once the host thread made
    // its call (the call returns when it is applied).
    int next = 0;
    audio.BeforeCall([&](std::size_t start) {
      if (next < kChanges && start >= change(next)) {
        WaitFor([&] { return plugin->Program() == programs[next]; });
        ++next;
      }
    });
    audio.Record(5.2);
    audio.Start();
    for (int k = 0; k < kChanges; ++k) {
      ASSERT_TRUE(audio.AwaitFrame(change(k)));
      plugin->SetProgram(programs[k]);
    }
    ASSERT_TRUE(audio.Finish());
    int silent = 0;
    for (int k = 0; k < 100; ++k) {
      const double on = 0.1 + kStep * k;
      for (double t = on + 0.006; t + 0.005 <= on + kLength; t += 0.005)
        if (RmsDb(Both(audio.Output(), t, t + 0.005)) < -150) ++silent;
    }
    EXPECT_EQ(silent, 0) << "5 ms stretches of silence where notes sound";
  }
}

// ---- the old sound's fade in short real-time calls

struct TFadeCase {
  const char* Name;
  double Rate;
  int Frames;
};

class ProgramChangeFade : public testing::TestWithParam<TFadeCase> {};

// A chord held while another thread selects a program, the host's audio
// thread in real time with short calls (some find the instance busy, or
// parked while the host's thread applies the program): the old sound's fade
// reaches the host whole, without a step to silence before its end and
// without a part of it after a stretch of silence. The audio thread neither
// allocates nor waits for a lock meanwhile: at any rate it is not taken for
// a host that renders ahead of its clock.
TEST_P(ProgramChangeFade, ReachesTheHostWholeInShortRealTimeCalls) {
  const TFadeCase& c = GetParam();
  const int programs[2] = {FindProgram("Classic Saw"), FindProgram("Acid Line")};
  ASSERT_GE(programs[0], 0);
  ASSERT_GE(programs[1], 0);
  // The chord struck every kPeriod seconds, a change kAfter seconds into
  // each (one call later each time, so that the changes meet the internal
  // blocks at different points).
  constexpr int kChanges = 6;
  constexpr double kFirst = 0.1, kPeriod = 0.25, kAfter = 0.1;
  auto frame = [&](double t) { return static_cast<std::size_t>(t * c.Rate); };
  std::vector<TTimedMidi> midi;
  for (int k = 0; k <= kChanges; ++k) {
    for (std::uint8_t key : {40, 47, 52}) midi.push_back({frame(kFirst + k * kPeriod), {0x80, key, 64}});
    for (std::uint8_t key : {40, 47, 52}) midi.push_back({frame(kFirst + k * kPeriod), {0x90, key, 100}});
  }
  // Played again while a busy machine leaves too few changes to judge.
  int measured = 0;
  for (int round = 0; round < 10 && measured < kChanges / 2; ++round) {
    std::unique_ptr<TVstPlugin> plugin = Streamable(programs[0], c.Frames, kVstProcessLevelRealtime, c.Rate);
    ASSERT_NE(plugin, nullptr);
    TAudioThread audio(*plugin, c.Frames, true, midi);
    audio.Record(kFirst + (kChanges + 0.5) * kPeriod);
    audio.Start();
    ASSERT_TRUE(audio.AwaitFrame(frame(kFirst)));
    const std::uint64_t allocations = AudioThreadAllocationCount();
    ResetLockWaits();
    std::size_t asked[kChanges];
    for (int k = 0; k < kChanges; ++k) {
      ASSERT_TRUE(audio.AwaitFrame(frame(kFirst + k * kPeriod + kAfter) + static_cast<std::size_t>(k * c.Frames)));
      asked[k] = audio.Rendered();
      plugin->SetProgram(programs[(k + 1) % 2]);
    }
    ASSERT_TRUE(audio.Finish());
    // (Neither is counted in a sanitizer build.)
    if (AllocationCountingAvailable()) {
      EXPECT_EQ(AudioThreadAllocationCount() - allocations, 0u) << "allocations on the audio thread";
    }
    if (LockMonitoringAvailable()) {
      EXPECT_EQ(AudioThreadLockWaits().Count, 0u) << "lock waits on the audio thread";
    }

    const TStereo& out = audio.Output();
    auto level = [&](std::size_t f) { return std::max(std::fabs(out.Left[f]), std::fabs(out.Right[f])); };
    auto peak = [&](std::size_t from, std::size_t to) {
      float p = 0;
      for (std::size_t f = from; f < to; ++f) p = std::max(p, level(f));
      return p;
    };
    for (int k = 0; k < kChanges; ++k) {
      SCOPED_TRACE(testing::Message() << "round " << round << ", change " << k);
      // Where silence begins (16 frames of exact zeros) before the next chord.
      const std::size_t next = frame(kFirst + (k + 1) * kPeriod);
      std::size_t silent = asked[k], run = 0;
      for (; silent < next && run < 16; ++silent) run = level(silent) == 0.0f ? run + 1 : 0;
      silent -= run;
      // Not judged: the change came after the next chord, or the machine
      // held the audio thread up for longer than two calls and the host
      // thread's grace (5 ms) while the change was under way: a real host
      // drops out then, and the instrument takes its thread for one that
      // stopped calling and applies the program on the host's thread,
      // without a fade.
      if (run < 16 || audio.LongestGap(asked[k] - c.Frames, silent) > 2.0 * c.Frames / c.Rate + 0.004) continue;
      ++measured;
      const float chord = peak(asked[k] - frame(0.01), asked[k]);
      EXPECT_LT(peak(silent - frame(0.00025), silent), 0.02f * chord) << "the sound stepped to silence at " << silent;
      EXPECT_LT(peak(silent, next), 1e-4f) << "the old sound came back after silence from " << silent;
    }
  }
  EXPECT_GE(measured, kChanges / 2) << "the changes came too late to be judged";
}

INSTANTIATE_TEST_SUITE_P(Calls, ProgramChangeFade,
                         testing::Values(TFadeCase{"Of32FramesAt44k", 44100, 32},
                                         TFadeCase{"Of64FramesAt44k", 44100, 64},
                                         TFadeCase{"Of64FramesAt96k", 96000, 64}),
                         CaseName<TFadeCase>);

}  // namespace
