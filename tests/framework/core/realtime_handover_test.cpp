// The audio thread and the other threads of a host: the audio thread never
// waits for the instance lock (a call that finds it held is silent and keeps
// its events for the next one), and what other threads change while the
// host streams costs it no more than a swap: parameter changes reach it
// without the lock, and a program is applied by another thread while the
// faded-out instrument is silent.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <random>
#include <thread>
#include <utility>
#include <vector>

#include "framework/base/thread_time.h"
#include "tests/framework/core/plugin_test_support.h"

namespace {

using namespace plugin_test;
using TClock = std::chrono::steady_clock;

bool WaitFor(const std::function<bool()>& done, double seconds = 20) {
  const auto until = TClock::now() + std::chrono::duration<double>(seconds);
  while (!done() && TClock::now() < until) std::this_thread::sleep_for(std::chrono::microseconds(200));
  return done();
}

void Burn(double seconds) {
  const double until = ThreadCpuSeconds() + seconds;
  while (ThreadCpuSeconds() < until) {
  }
}

// A plug-in whose parameter changes cost processor time, as a large
// instrument's do: applying a program (every parameter) costs milliseconds;
// a block costs about what the instrument's does. Counts the changes made
// on the thread it is told is the audio thread.
class THeavyPlugin : public TSineTestPlugin {
 public:
  static constexpr std::int32_t kParams = 200;
  static constexpr double kChangeSeconds = 20e-6;
  static constexpr double kBlockSeconds = 25e-6;  // per internal block

  THeavyPlugin() { ParamCount = kParams; }
  void RenderVoices() override {
    Burn(kBlockSeconds);
    TSineTestPlugin::RenderVoices();
  }
  void ParameterChanged(std::int32_t i) override {
    Burn(kChangeSeconds);
    if (std::this_thread::get_id() == AudioThread.load()) AudioThreadChanges.fetch_add(1);
    TSineTestPlugin::ParameterChanged(i);
  }
  void ApplyProgram() override {
    Applications.fetch_add(1);
    TSineTestPlugin::ApplyProgram();
  }

  std::atomic<std::thread::id> AudioThread{};
  std::atomic<int> AudioThreadChanges{0};
  std::atomic<int> Applications{0};
};

// The bank chunk, as a host saves it.
std::vector<std::uint8_t> BankChunk(TVstEffect* e) {
  void* data = nullptr;
  const auto size = Dispatch(e, kEffGetChunk, 0, 0, &data);
  if (size <= 0 || data == nullptr) return {};
  return {static_cast<std::uint8_t*>(data), static_cast<std::uint8_t*>(data) + size};
}

// Closes as a host does: the instance leaves the worker before any part of
// it is destroyed.
struct TCloseFirst {
  void operator()(TDSPPluginX* p) const {
    p->PrepareForDestruction();
    delete p;
  }
};

template <typename T>
std::unique_ptr<T, TCloseFirst> MakeWithWorker() {
  // The worker builds, as in the module.
  SetAsynchronousBuilds(true);
  auto p = MakePlugin<T>();
  SetAsynchronousBuilds(false);
  return std::unique_ptr<T, TCloseFirst>(p.release());
}

// A host's audio thread that renders one block of 256 frames each time it
// is asked (Call) and reports what the block was.
class TStepThread {
 public:
  explicit TStepThread(TVstEffect* effect) : Effect(effect), Out(256), Thread([this] { Loop(); }) {}
  ~TStepThread() {
    {
      std::lock_guard<std::mutex> guard(Mutex);
      Quit = true;
    }
    Wake.notify_all();
    Thread.join();
  }
  using THostCalls = std::function<void(TVstEffect*)>;
  // Asks for one call with the events and, before it, the host's calls on
  // this thread; true when it ended within `seconds`.
  bool Call(TEventList events, THostCalls before = {}, double seconds = 10) {
    std::unique_lock<std::mutex> lock(Mutex);
    Events = std::move(events);
    Before = std::move(before);
    const std::uint64_t target = ++Asked;
    Wake.notify_all();
    return Done.wait_for(lock, std::chrono::duration<double>(seconds), [&] { return Finished >= target; });
  }
  float Peak() {
    std::lock_guard<std::mutex> guard(Mutex);
    float peak = 0;
    for (float v : Out.Left) peak = std::max(peak, std::fabs(v));
    return peak;
  }
  std::vector<float> Left() {
    std::lock_guard<std::mutex> guard(Mutex);
    return Out.Left;
  }

 private:
  void Loop() {
    std::unique_lock<std::mutex> lock(Mutex);
    for (std::uint64_t served = 0;;) {
      Wake.wait(lock, [&] { return Quit || Asked > served; });
      if (Quit) return;
      served = Asked;
      TEventList events = std::move(Events);
      const THostCalls before = std::move(Before);
      lock.unlock();
      if (before) before(Effect);
      Dispatch(Effect, kEffProcessEvents, 0, 0, const_cast<TVstEvents*>(events.Build()));
      Effect->processReplacing(Effect, nullptr, Out.Pointers, 256);
      lock.lock();
      Finished = served;
      Done.notify_all();
    }
  }

  TVstEffect* Effect;
  TStereoBuffers Out;
  std::mutex Mutex;
  std::condition_variable Wake, Done;
  TEventList Events;
  THostCalls Before;
  std::uint64_t Asked = 0, Finished = 0;
  bool Quit = false;
  std::thread Thread;  // last
};

// Another thread holds the instance lock (as a host thread preempted inside
// it would): the audio thread's calls still end, silent, and what they
// brought (a note, a parameter and a program change on the audio thread)
// takes effect in the first call after the lock is free.
TEST(RealtimeHandOver, TheAudioThreadNeverWaitsForTheInstanceLock) {
  TTestHost::Reset();
  auto p = MakePlugin();
  TVstEffect* e = p->GetEffect();
  TStepThread audio(e);
  TEventList note;
  note.Add(0, 0x90, 57, 100);
  ASSERT_TRUE(audio.Call(note));
  for (int k = 0; k < 4; ++k) ASSERT_TRUE(audio.Call({}));
  ASSERT_GT(audio.Peak(), 0.1f);
  const int changesBefore = p->Changed[13];

  p->InstanceMutex().lock();
  TEventList second;
  second.Add(10, 0x90, 64, 100);
  const bool ended = audio.Call(second, [](TVstEffect* effect) {
    effect->setParameter(effect, 13, 0.75f);  // global: the program change keeps it
    Dispatch(effect, kEffSetProgram, 0, 3);
  });
  const std::vector<float> whileHeld = audio.Left();
  const int noteOnsWhileHeld = p->NoteOns;
  p->InstanceMutex().unlock();
  ASSERT_TRUE(ended) << "the process call waited for the lock";
  ASSERT_TRUE(audio.Call({}));  // (the call that waited, on a build without the fix)
  // What the rings held (one to two internal blocks), then silence.
  EXPECT_GT(std::fabs(whileHeld[0]) + std::fabs(whileHeld[1]), 0.0f) << "a call that finds the lock held plays out";
  EXPECT_TRUE(std::all_of(whileHeld.begin() + 88, whileHeld.end(), [](float x) { return x == 0.0f; }))
      << "then it is silent";
  EXPECT_EQ(noteOnsWhileHeld, 1);
  EXPECT_EQ(p->BusyProcessCalls(), 1u);

  // The next call takes what the silent one brought.
  EXPECT_EQ(p->NoteOns, 2);
  EXPECT_GE(p->Changed[13], changesBefore + 1);
  EXPECT_EQ(p->CurrentProgram(), 3);
  EXPECT_FALSE(p->IsProgramPending());
  EXPECT_FLOAT_EQ(p->GetParameterValue(13), 0.75f);
}

// While the host streams, a parameter change on another thread takes no
// lock: it returns while a third thread holds the lock, its value reads back
// at once, and the audio thread passes it on once the lock is free.
TEST(RealtimeHandOver, ParameterChangesFromAnotherThreadTakeNoLock) {
  TTestHost::Reset();
  auto p = MakePlugin<THeavyPlugin>();
  TVstEffect* e = p->GetEffect();
  TRenderThread audio(e, 256, [&](int k, TEventList&) {
    if (k == 0) p->AudioThread.store(std::this_thread::get_id());
  });
  audio.WaitBlocks(2);

  std::atomic<bool> holding{false}, release{false};
  std::thread holder([&] {
    std::lock_guard<TPluginLock> guard(p->InstanceMutex());
    holding = true;
    while (!release.load()) std::this_thread::sleep_for(std::chrono::microseconds(100));
  });
  while (!holding.load()) std::this_thread::yield();
  std::atomic<bool> returned{false};
  std::thread host([&] {
    e->setParameter(e, 12, 0.25f);
    returned = true;
  });
  const bool inTime = WaitFor([&] { return returned.load(); }, 10);
  const float readBack = e->getParameter(e, 12);
  const int passedOnWhileHeld = p->AudioThreadChanges.load();
  release = true;
  holder.join();
  host.join();
  ASSERT_TRUE(inTime) << "setParameter waited for the lock";
  EXPECT_FLOAT_EQ(readBack, 0.25f);
  EXPECT_EQ(passedOnWhileHeld, 0);
  EXPECT_TRUE(WaitFor([&] { return p->AudioThreadChanges.load() == 1; }))
      << "passed on by the audio thread once the lock is free";
  audio.Stop();
  EXPECT_GE(audio.Blocks(), 2);
}

// Program changes and chunk loads from a host thread while the audio thread
// plays in real time: the host's call returns with the program applied, the
// audio thread applies none of it (no parameter passes through
// ParameterChanged there), and its worst call in processor time stays within
// twice its steady worst and 0.1 ms.
TEST(RealtimeHandOver, ProgramsAndChunksFromAHostThreadCostTheAudioThreadNoMoreThanASwap) {
  TTestHost::Reset();
  auto p = MakeWithWorker<THeavyPlugin>();
  TVstEffect* e = p->GetEffect();
  const std::vector<std::uint8_t> bank = BankChunk(e);
  ASSERT_FALSE(bank.empty());

  constexpr int kFrames = 256;
  std::atomic<int> phase{0};  // 0 steady, 1 changes, 2 stop
  std::vector<double> steady, changing;
  steady.reserve(4096);
  changing.reserve(4096);
  std::atomic<int> blocks{0};
  std::thread audio([&] {
    p->AudioThread.store(std::this_thread::get_id());
    TStereoBuffers out(kFrames);
    const auto start = TClock::now();
    for (int k = 0; phase.load() != 2; ++k) {
      TEventList list;
      if (k % 40 == 0) list.Add(0, 0x90, static_cast<std::uint8_t>(45 + k % 12), 100);
      const int now = phase.load();
      const double before = ThreadCpuSeconds();
      Dispatch(e, kEffProcessEvents, 0, 0, const_cast<TVstEvents*>(list.Build()));
      e->processReplacing(e, nullptr, out.Pointers, kFrames);
      const double cpu = ThreadCpuSeconds() - before;
      std::vector<double>& into = now == 0 ? steady : changing;
      if (into.size() < into.capacity()) into.push_back(cpu);
      blocks.store(k + 1);
      // Paced as a host's audio thread is: one block per block length.
      std::this_thread::sleep_until(start + std::chrono::duration<double>((k + 1) * kFrames / 44100.0));
    }
  });
  while (blocks.load() < 60) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  const int audioChangesBefore = p->AudioThreadChanges.load();
  phase = 1;
  int applications = p->Applications.load();
  bool eachApplied = true;
  for (int k = 0; k < 12; ++k) {
    if (k % 3 == 2) {
      Dispatch(e, kEffSetChunk, 0, static_cast<std::intptr_t>(bank.size()), const_cast<std::uint8_t*>(bank.data()));
    } else {
      Dispatch(e, kEffSetProgram, 0, (k * 37) % 128);
      eachApplied = eachApplied && p->CurrentProgram() == (k * 37) % 128;
    }
    // The call returns once the program is applied.
    eachApplied = eachApplied && p->Applications.load() > applications;
    applications = p->Applications.load();
    std::this_thread::sleep_for(std::chrono::milliseconds(8));
  }
  const int audioChanges = p->AudioThreadChanges.load() - audioChangesBefore;
  phase = 2;
  audio.join();
  ASSERT_FALSE(steady.empty());
  ASSERT_FALSE(changing.empty());
  EXPECT_TRUE(eachApplied);
  EXPECT_EQ(audioChanges, 0) << "the audio thread applied programs itself";
  const double steadyWorst = *std::max_element(steady.begin(), steady.end());
  const double changeWorst = *std::max_element(changing.begin(), changing.end());
  EXPECT_LE(changeWorst, 2.0 * steadyWorst + 0.1e-3)
      << "worst process call " << changeWorst * 1e3 << " ms of processor time during changes, " << steadyWorst * 1e3
      << " ms steady";
}

// A sine plug-in whose notes stop when the sound is reset, as an
// instrument's do after a program change.
class TResettingSine : public TSineTestPlugin {
 public:
  void ResetEngine() override {
    TSineTestPlugin::ResetEngine();
    for (TVoice& v : Voices) v.Note = -1;
  }
};

// The program still applies at a block boundary after its fade: the output
// falls without a step to silence, and the instrument then plays the new
// program.
TEST(RealtimeHandOver, AProgramFromAHostThreadFadesOutFirst) {
  TTestHost::Reset();
  auto p = MakeWithWorker<TResettingSine>();
  p->RenderDc = true;
  TVstEffect* e = p->GetEffect();
  TStepThread audio(e);
  TEventList note;
  note.Add(0, 0x90, 50, 100);
  ASSERT_TRUE(audio.Call(note));
  for (int k = 0; k < 4; ++k) ASSERT_TRUE(audio.Call({}));
  ASSERT_GT(audio.Peak(), 0.1f);
  std::atomic<bool> returned{false};
  std::thread host([&] {
    Dispatch(e, kEffSetProgram, 0, 5);
    returned = true;
  });
  // The host's call waits for the audio thread's fade: it keeps calling.
  std::vector<float> out;
  bool silent = false;
  for (int k = 0; k < 2000 && !(returned.load() && silent); ++k) {
    ASSERT_TRUE(audio.Call({}));
    const std::vector<float> block = audio.Left();
    out.insert(out.end(), block.begin(), block.end());
    silent = audio.Peak() == 0.0f;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  host.join();
  EXPECT_EQ(p->CurrentProgram(), 5);
  EXPECT_FALSE(p->IsProgramPending());
  float step = 0;
  for (std::size_t i = 1; i < out.size(); ++i) step = std::max(step, std::fabs(out[i] - out[i - 1]));
  EXPECT_LT(step, 0.05f) << "the sound ends with a fade";
  EXPECT_TRUE(silent) << "the old note ended with the change";
  TEventList next;
  next.Add(0, 0x90, 62, 100);
  ASSERT_TRUE(audio.Call(next));
  ASSERT_TRUE(audio.Call({}));
  EXPECT_GT(audio.Peak(), 0.1f) << "the new program plays";
}

// A hand-over that the tests hold back (or that no thread ever takes).
class TGatedHandOver : public TResettingSine {
 public:
  enum : int { kOpen, kClosed, kNever };
  void RunHandOver() override {
    if (Gate.load() == kNever) return;
    WaitFor([&] { return Gate.load() == kOpen; });
    TResettingSine::RunHandOver();
  }
  std::atomic<int> Gate{kOpen};
};

// The render thread's calls until `done` (at most `limit` of them), paced
// as a real-time host's are: calls that came much faster than their audio
// would make the host one that renders ahead of its clock.
bool CallUntil(TStepThread& audio, int limit, const std::function<bool()>& done, TEventList events = {}) {
  for (int k = 0; k < limit && !done(); ++k) {
    if (!audio.Call(std::exchange(events, {}))) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  return done();
}

// Events that come while the audio thread waits for a hand-over play
// afterwards in their order and with their spacing; a hand-over that no
// thread takes ends after a bounded stretch of silence.
TEST(RealtimeHandOver, EventsHeldForAHandOverKeepTheirSpacingAndNoHandOverWaitsForever) {
  for (const int gate : {TGatedHandOver::kClosed, TGatedHandOver::kNever}) {
    SCOPED_TRACE(gate == TGatedHandOver::kNever ? "taken by no thread" : "taken late");
    TTestHost::Reset();
    auto p = MakeWithWorker<TGatedHandOver>();
    TVstEffect* e = p->GetEffect();
    TStepThread audio(e);
    TEventList note;
    note.Add(0, 0x90, 50, 100);
    ASSERT_FALSE(CallUntil(
        audio, 5, [] { return false; }, note));
    p->Gate = gate;
    std::thread host([&] { Dispatch(e, kEffSetProgram, 0, 5); });
    if (!CallUntil(audio, 50, [&] { return p->HandOverWaiting(); })) {
      p->Gate = TGatedHandOver::kOpen;
      host.join();
      FAIL() << "the audio thread never handed the program over";
    }
    // Two calls of 256 frames while it waits: a note at 20 in the first, its
    // end at 100 and another note at 200 in the second.
    TEventList first, second;
    first.Add(20, 0x90, 60, 100);
    second.Add(100, 0x80, 60, 0);
    second.Add(200, 0x90, 62, 100);
    ASSERT_FALSE(CallUntil(
        audio, 1, [] { return false; }, first));
    ASSERT_FALSE(CallUntil(
        audio, 1, [] { return false; }, second));
    const std::size_t before = p->NoteOnBlocks.size();
    if (gate == TGatedHandOver::kClosed) p->Gate = TGatedHandOver::kOpen;
    // Without a thread that takes it, the audio thread applies it itself
    // after a bounded stretch of silence.
    const bool played = CallUntil(audio, 400, [&] { return p->NoteOnBlocks.size() >= before + 2; });
    host.join();
    ASSERT_TRUE(played) << "the held notes never played";
    EXPECT_EQ(p->CurrentProgram(), 5);
    EXPECT_FALSE(p->HandOverWaiting());
    const std::int64_t spacing = p->NoteOnBlocks[before + 1] - p->NoteOnBlocks[before];
    // 256 + 200 - 20 frames: ten internal blocks of 44 frames, give or take one.
    EXPECT_NEAR(static_cast<double>(spacing), 436.0 / 44.0, 1.0);
    EXPECT_EQ(p->Voices[0].Note, 62) << "the first note ended before the second began";
  }
}

// Where the last run of samples at `level` begins and ends (0, 0: none).
std::pair<std::size_t, std::size_t> LastRun(const std::vector<float>& x, float level) {
  std::size_t end = x.size();
  while (end > 0 && x[end - 1] != level) --end;
  std::size_t begin = end;
  while (begin > 0 && x[begin - 1] == level) --begin;
  return {begin, end};
}

// Events held (by calls that found the lock held, through a hand-over, or
// sent from the point of the host's stream where another thread changed
// the program) take effect at the points of the internal block grid they
// had live, whole blocks later: a note keeps its length and never comes
// early. Its note-off, sent in the call where the holding ends, never
// overtakes it.
TEST(RealtimeHandOver, HeldEventsKeepTheGridTheyHadLive) {
  enum class THow { Busy, HandOver, Overdue, AtTheChange };
  struct TCase {
    const char* Name;
    THow How;
    std::int32_t Off;  // the note-off's offset in the call where the holding ends
  };
  constexpr std::int32_t kFrames = 256, kBlock = 44;
  for (const TCase c :
       {TCase{"busy calls", THow::Busy, 0}, TCase{"a hand-over", THow::HandOver, 0},
        TCase{"a hand-over no thread takes", THow::Overdue, 200}, TCase{"at the change", THow::AtTheChange, 0}}) {
    SCOPED_TRACE(c.Name);
    // Played again when a busy machine kept the host's thread away from
    // the change so long that it took the audio thread for one that stopped
    // calling and applied the program itself.
    bool judged = false;
    for (int attempt = 0; attempt < 10 && !judged; ++attempt) {
      TTestHost::Reset();
      auto p = MakeWithWorker<TGatedHandOver>();
      p->RenderDc = true;
      TVstEffect* e = p->GetEffect();
      // The calls, kept for an instance that takes every event live.
      std::vector<std::pair<std::int32_t, TEventList>> calls;
      std::vector<float> held;
      auto call = [&](std::int32_t frames, TEventList events = {}) {
        calls.emplace_back(frames, events);
        const std::vector<float> out = Call(*p, frames, std::move(events));
        held.insert(held.end(), out.begin(), out.end());
      };
      for (int k = 0; k < 4; ++k) call(kFrames);
      TEventList on, off;
      on.Add(c.How == THow::AtTheChange ? 0 : 100, 0x90, 60, 100);
      off.Add(c.Off, 0x80, 60, 0);
      std::atomic<bool> done{false};  // the host's change returned
      std::thread host;               // the host's thread that changes the program
      if (c.How == THow::Busy) {
        // Two calls while another thread holds the lock.
        std::atomic<bool> holding{false}, release{false};
        std::thread holder([&] {
          std::lock_guard<TPluginLock> guard(p->InstanceMutex());
          holding = true;
          WaitFor([&] { return release.load(); });
        });
        EXPECT_TRUE(WaitFor([&] { return holding.load(); }));
        call(kFrames, on);
        call(kFrames);
        release = true;
        holder.join();
      } else if (c.How == THow::AtTheChange) {
        // The note in a call of no frames: at the point of the stream where
        // the change that follows lands. It is played again after the change.
        call(0, on);
        host = std::thread([&] {
          Dispatch(e, kEffSetProgram, 0, 5);
          done = true;
        });
        EXPECT_TRUE(WaitFor([&] { return p->IsProgramPending() || done.load(); }));
        if (!p->IsProgramPending()) {
          host.join();
          continue;
        }
        call(kFrames);
      } else {
        // Two calls while the hand-over of a program waits; no thread takes
        // the one that waits its longest (the audio thread applies it at the
        // first block of the call after).
        p->Gate = c.How == THow::HandOver ? TGatedHandOver::kClosed : TGatedHandOver::kNever;
        host = std::thread([&] { Dispatch(e, kEffSetProgram, 0, 5); });
        for (int k = 0; k < 1000 && !p->HandOverWaiting(); ++k) {
          call(kFrames);
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        EXPECT_TRUE(p->HandOverWaiting()) << "the audio thread never handed the program over";
        call(kFrames, on);
        call(c.How == THow::HandOver ? kFrames : TDSPPluginX::kProgramSettleMs * kBlock);
        if (c.How == THow::HandOver) p->Gate = TGatedHandOver::kOpen;
      }
      EXPECT_TRUE(c.How == THow::Overdue || WaitFor([&] { return !p->HandOverWaiting(); }));
      call(kFrames, off);
      // Longer than the longest held note.
      for (int k = 0; k < 24; ++k) call(kFrames);
      if (host.joinable()) host.join();
      EXPECT_FALSE(p->HandOverWaiting());

      auto q = MakePlugin<TResettingSine>();
      q->RenderDc = true;
      std::vector<float> live;
      for (auto& [frames, events] : calls) {
        const std::vector<float> out = Call(*q, frames, events);
        live.insert(live.end(), out.begin(), out.end());
      }
      const auto [liveOn, liveOff] = LastRun(live, 0.5f);
      const auto [heldOn, heldOff] = LastRun(held, 0.5f);
      ASSERT_GT(heldOff, 0u) << "the held note never sounded";
      EXPECT_LT(heldOff, held.size()) << "the held note hangs";
      EXPECT_GE(heldOn, liveOn) << "the held note came early";
      EXPECT_EQ((heldOn - liveOn) % kBlock, 0u) << "off the grid by " << (heldOn - liveOn) % kBlock;
      EXPECT_EQ(heldOff - heldOn, liveOff - liveOn) << "the note's length changed";
      judged = true;
    }
    EXPECT_TRUE(judged) << "the change never reached the audio thread";
  }
}

// The audio thread never waits for the lock, even when the queue of
// parameter changes it would take them from is full: a host that automates
// thousands of parameters between two calls while another thread holds the
// lock gets its call back, and the last change of each parameter reaches
// the instrument at the next call.
TEST(RealtimeHandOver, AFullParameterQueueNeverMakesTheAudioThreadWait) {
  TTestHost::Reset();
  auto p = MakePlugin();
  TVstEffect* e = p->GetEffect();
  TStepThread audio(e);
  ASSERT_TRUE(audio.Call({}));
  const int changesBefore = p->Changed[13];
  p->InstanceMutex().lock();
  const bool ended = audio.Call({}, [](TVstEffect* effect) {
    for (int k = 0; k <= static_cast<int>(TDSPPluginX::kParamChangeCapacity); ++k)
      effect->setParameter(effect, 15 + k % 8, static_cast<float>(k % 10) / 10.0f);
    effect->setParameter(effect, 13, 0.75f);
  });
  p->InstanceMutex().unlock();
  ASSERT_TRUE(ended) << "the audio thread waited for the lock";
  ASSERT_TRUE(audio.Call({}));
  EXPECT_FLOAT_EQ(p->GetParameterValue(13), 0.75f);
  EXPECT_EQ(p->Changed[13], changesBefore + 1) << "the last change reached the instrument once";
  EXPECT_FALSE(p->ParameterChangesWaiting());
}

// A host that renders offline (faster than real time) never gets the
// silence of a hand-over: the program a host thread selects is applied by
// the audio thread itself once the old sound has faded, and the note sent
// with it follows the fade at once. A host in real time gets the program
// too (with the silence of a hand-over, or at once when its audio thread
// was away long enough to count as stopped: that depends on timing).
TEST(RealtimeHandOverStress, AnOfflineHostNeverWaitsInSilenceForAHandOver) {
  for (const std::int32_t level : {kVstProcessLevelOffline, kVstProcessLevelRealtime}) {
    SCOPED_TRACE(level == kVstProcessLevelOffline ? "offline" : "real time");
    TTestHost::Reset();
    TTestHost::ProcessLevel = level;
    auto p = MakeWithWorker<TResettingSine>();
    p->RenderDc = true;
    TVstEffect* e = p->GetEffect();
    // Long blocks rendered back to back: the host streams all along.
    constexpr int kFrames = 2048;
    std::vector<float> out;
    out.reserve(200 * kFrames);
    std::atomic<bool> returned{false};
    std::thread audio([&] {
      TStereoBuffers block(kFrames);
      for (int k = 0, after = 0; k < 200 && after < 4; ++k) {
        TEventList events;
        if (k == 0) events.Add(0, 0x90, 50, 100);
        // A note struck again in every call: one comes with the change, in
        // the call that fades.
        events.Add(0, 0x80, 62, 0);
        events.Add(0, 0x90, 62, 100);
        Dispatch(e, kEffProcessEvents, 0, 0, const_cast<TVstEvents*>(events.Build()));
        e->processReplacing(e, nullptr, block.Pointers, kFrames);
        out.insert(out.end(), block.Left.begin(), block.Left.end());
        if (returned.load()) ++after;
      }
    });
    while (!p->FirstCallDone()) std::this_thread::yield();
    Dispatch(e, kEffSetProgram, 0, 5);
    returned = true;
    audio.join();
    EXPECT_EQ(p->CurrentProgram(), 5);
    EXPECT_FALSE(p->IsProgramPending());
    // The longest run of silence between the old note's start and the end.
    std::size_t first = 0, last = out.size();
    while (first < out.size() && out[first] == 0.0f) ++first;
    while (last > first && out[last - 1] == 0.0f) --last;
    ASSERT_LT(first, last);
    std::size_t run = 0, longest = 0;
    for (std::size_t i = first; i < last; ++i) {
      run = out[i] == 0.0f ? run + 1 : 0;
      longest = std::max(longest, run);
    }
    EXPECT_GT(out[last - 1], 0.1f) << "the new note sounds";
    if (level == kVstProcessLevelOffline) {
      EXPECT_EQ(longest, 0u) << "silent samples between the fade and the new note";
    }
  }
}

// Host, editor and audio threads at once, for the thread sanitizer: the
// host thread changes parameters, programs, chunks, the rate and sends
// events from its own thread while the editor changes values and the audio
// thread renders notes and controllers; every change comes through.
TEST(RealtimeHandOverStress, HostAndEditorThreadsChangeEverythingWhileTheAudioThreadRenders) {
  TTestHost::Reset();
  auto p = MakeWithWorker<TSineTestPlugin>();
  TVstEffect* e = p->GetEffect();
  const std::vector<std::uint8_t> bank = BankChunk(e);
  ASSERT_FALSE(bank.empty());
  TRenderThread audio(e, 128, [](int k, TEventList& events) {
    if (k % 8 == 0) events.Add(k % 128, 0x90, static_cast<std::uint8_t>(40 + k % 30), 100);
    if (k % 8 == 4) events.Add(0, 0x80, static_cast<std::uint8_t>(40 + (k - 4) % 30), 0);
    if (k % 16 == 3) events.Add(5, 0xB0, 20, static_cast<std::uint8_t>(k % 128));
    if (k % 97 == 50) events.Add(7, 0xC0, static_cast<std::uint8_t>(k % 128), 0);
  });
  std::atomic<bool> stop{false};
  std::thread editor([&] {
    for (int k = 0; !stop.load(); ++k) {
      p->OnGuiControlChange(10 + k % 12, static_cast<float>(k % 7) / 6.0f, k % 2 == 0);
      Dispatch(e, kEffEditIdle);
      std::this_thread::sleep_for(std::chrono::microseconds(300));
    }
  });
  std::mt19937 rng(5);
  for (int i = 0; i < 600; ++i) {
    switch (rng() % 8) {
      case 0:
        Dispatch(e, kEffSetProgram, 0, static_cast<std::intptr_t>(rng() % 128));
        break;
      case 1:
        Dispatch(e, kEffSetChunk, 0, static_cast<std::intptr_t>(bank.size()), const_cast<std::uint8_t*>(bank.data()));
        break;
      case 2: {
        TEventList list;
        list.Add(0, 0x90, static_cast<std::uint8_t>(rng() % 128), 90);
        Dispatch(e, kEffProcessEvents, 0, 0, const_cast<TVstEvents*>(list.Build()));
        break;
      }
      default:
        e->setParameter(e, static_cast<std::int32_t>(rng() % 24), static_cast<float>(rng() % 100) / 99.0f);
        break;
    }
    if (i == 300) Dispatch(e, kEffSetSampleRate, 0, 0, nullptr, 48000.0f);
    if (i % 4 == 0) std::this_thread::yield();
  }
  // A global parameter: the MIDI program changes meanwhile keep its value.
  e->setParameter(e, 13, 0.5f);
  stop = true;
  editor.join();
  // The last change reaches the audio thread.
  EXPECT_TRUE(WaitFor([&] { return !p->ParameterChangesWaiting(); }));
  audio.WaitBlocks(2);
  audio.Stop();
  EXPECT_TRUE(audio.AllFinite());
  EXPECT_FLOAT_EQ(p->GetParameterValue(13), 0.5f);
  EXPECT_EQ(p->Settings->SampleRate, 48000);
}

}  // namespace
