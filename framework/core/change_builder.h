// Where a plug-in's prepared changes (prepared_change.h) run.
//
// Each instance owns a TChangeBuilder. Its host entries put a destination
// on the calling thread for the duration of the call:
//   - THostCallBuilds (a host thread): the changes the call requests are
//     built after its work, outside the instance lock, and swapped in under
//     the lock before the call returns. A change that another change's
//     swap requests (a new voice set asks for its patches) joins the run.
//   - TAudioCallBuilds (the audio thread): the audio thread queues the
//     change, takes the request when its call ends and hands it to the
//     module's worker, which builds it; the audio thread swaps it in when
//     one of its calls ends after that, and the worker frees what it
//     replaced. The audio thread never allocates and never waits: it only
//     tries the instance lock, and what finds it busy waits for its next
//     call. A change whose install costs as much as a program
//     (InstallsWhileSilent) is left for a hand-over: the render loop fades
//     the sound and another thread installs it meanwhile.
// One worker serves every instance of the module; it runs while at least
// one instance exists. It also runs the instances' hand-overs (the program
// the audio thread faded out for, RunHandOver) when asked.
//
// Threads: Build and Release run on one thread at a time per instance
// (BuildLock): a host thread, or the worker. Rate changes take BuildLock
// too, so a build never reads settings that change meanwhile. Requests are
// taken and swaps made with BuildLock held as well (the audio thread only
// tries it), and nothing is swapped in between a change's request and its
// build: a swap may replace what the build reads.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <vector>

#include "framework/modules/prepared_change.h"

class TDSPBasePlugin;

// Whether changes asked for on the audio thread go to the worker (the
// module sets this before it makes its first instance). Off, they are built
// on the audio thread when its call ends: the plug-in classes on their own
// (tests, tools) keep one thread and a deterministic order.
void SetAsynchronousBuilds(bool on);
bool AsynchronousBuilds();

class TChangeBuilder {
 public:
  // Changes the audio thread can have on their way at once.
  static constexpr std::size_t kRealtimeCapacity = 64;

  explicit TChangeBuilder(TDSPBasePlugin& owner);
  // Leaves the worker and waits for a run of it on this instance.
  ~TChangeBuilder();
  // The same, before the owner's parts are destroyed (its layers call it
  // first in their destructors; it can be called more than once).
  void Detach();
  TChangeBuilder(const TChangeBuilder&) = delete;
  TChangeBuilder& operator=(const TChangeBuilder&) = delete;

  // Runs the changes (and those their swaps request) on the calling thread:
  // requests taken and swaps made under the instance lock, builds outside it.
  void Run(std::vector<TPreparedChange*> changes);
  // Audio thread, instance lock held: queued for the end of its call (a
  // change already queued is not queued twice). Never allocates.
  void QueueRealtime(TPreparedChange& change);
  // Audio thread, when its call ends (tries the instance lock; nothing
  // happens when it is busy).
  void AudioCallEnds();
  // Audio thread, after AudioCallEnds, no lock held, for a host that renders
  // ahead of its clock: waits until the worker has built what was taken
  // and swaps it in (and what those swaps ask for), so that a change lands
  // where an offline render lands it, whatever the worker's timing. The
  // thread waits; it neither builds nor frees.
  void SettleRealtimeRequests();
  // Audio thread, instance lock held: swaps in what the worker has built
  // (but what installs while silent), takes the queued requests and wakes
  // the worker when it has work. Never allocates, never waits.
  void AudioThreadTurn();
  // Instance lock held: a change built for a silent install waits.
  bool SilentInstallWaiting() const;
  // Build lock and instance lock held, the instrument silent (a hand-over):
  // installs those (nothing while a request is taken and not built:
  // BuildTaken first, before the instance lock).
  void InstallSilentChanges();
  // Builds what the audio thread took (and frees what it swapped in) on
  // the calling thread; the caller holds the build lock, so that nothing is
  // taken meanwhile.
  void BuildTaken();
  // Asks the worker to run the owner's hand-over (any thread, the audio
  // thread too: no allocation, no lock).
  void WantHandOver();
  // Held while anything of this instance is built (and by rate changes).
  std::recursive_mutex& BuildLock() { return Building; }
  TDSPBasePlugin& Owner() { return Plugin; }

  // The worker's part (BuildLock held): builds what the audio thread took,
  // frees what it installed, and runs a hand-over that was asked for.
  void RunRealtimeRequests();
  // A host thread's: what the audio thread queued so far is built and in
  // place when this returns (built here, or by the worker before). It takes
  // the instance lock: the audio thread's calls meanwhile are silent.
  void CompleteRealtimeRequests();
  bool HasRealtimeRequests() const { return Waiting.load() || HandOverWanted.load(); }
  // Instance lock held: something the audio thread queued is not yet
  // swapped in (queued, waiting for the worker, or built).
  bool RealtimeOutstanding() const;
  // Registered with the worker (asynchronous builds were on when it was made).
  bool UsesWorker() const { return Registered.load(); }

 private:
  // Where a change the audio thread asked for is on its way.
  enum TSlotState : int { kFree, kTaken, kBuilt, kInstalled };
  struct TSlot {
    TPreparedChange* Change = nullptr;  // set before the state leaves kFree
    std::atomic<int> State{kFree};
  };
  bool InFlight(const TPreparedChange* change) const;
  bool AnyTaken() const;
  // The worker has something to build or free.
  bool WorkerOwes() const;
  // Build lock and instance lock held: swaps in what the worker built (but
  // what installs while silent), takes the queued requests and wakes the
  // worker for them; false when there was nothing to do.
  bool SwapAndTake();
  // Instance lock held: the queued requests not on their way yet are taken
  // into free slots; true when any was.
  bool TakeQueued();
  // BuildLock held: builds what was taken and frees what was installed;
  // true when anything was done.
  bool BuildAndRelease();
  // Instance lock held: installs the built changes (silent ones too, or not).
  bool InstallBuilt(bool silent);

  TDSPBasePlugin& Plugin;
  std::recursive_mutex Building;
  std::array<TPreparedChange*, kRealtimeCapacity> Requests{};
  std::size_t RequestCount = 0;  // instance lock
  std::array<TSlot, kRealtimeCapacity> Slots{};
  std::atomic<bool> Waiting{false};         // work for the worker
  std::atomic<bool> HandOverWanted{false};  // the owner's hand-over, for the worker
  std::atomic<bool> Registered{false};      // read by the worker too
  // Told after each of the worker's runs (SettleRealtimeRequests waits).
  std::mutex ProgressLock;
  std::condition_variable Progress;
};

// A host thread's destination during one host call (nested calls of the
// same instance share the outermost one).
class THostCallBuilds final : public TBuildSink {
 public:
  explicit THostCallBuilds(TChangeBuilder& builder);
  // Runs what the call requested.
  ~THostCallBuilds() override;
  TBuildMode Mode() const override { return TBuildMode::Deferred; }
  void Queue(TPreparedChange& change) override;
  const void* Owner() const override { return &Builder; }

 private:
  TChangeBuilder& Builder;
  bool Outermost;
  std::vector<TPreparedChange*> Queued;
  TBuildSinkScope Scope;
};

// The audio thread's destination during a process call (or a parameter
// change the host makes on its audio thread).
class TAudioCallBuilds final : public TBuildSink {
 public:
  // mayUseWorker false (a host rendering offline): the changes are built on
  // this thread when the call ends, so the output does not depend on timing.
  // settle (a host that renders ahead of its clock): built by the worker,
  // and swapped in as the call ends all the same (the thread waits).
  explicit TAudioCallBuilds(TChangeBuilder& builder, bool mayUseWorker = true, bool settle = false);
  ~TAudioCallBuilds() override;
  TBuildMode Mode() const override { return Async && !Here ? TBuildMode::Realtime : TBuildMode::Deferred; }
  void Queue(TPreparedChange& change) override;
  const void* Owner() const override { return &Builder; }
  // Without the worker (or while building here): builds what was queued
  // now (the block that follows a program's application then already has
  // what it needs).
  void Flush() override;
  // What is queued meanwhile is built on this thread, as without the
  // worker (allocates).
  void BuildHere(bool on) override { Here = on; }
  bool UsesWorker() const { return Async; }

 private:
  TChangeBuilder& Builder;
  bool Async;
  bool Settle;
  bool Here = false;
  std::vector<TPreparedChange*> Queued;  // built on this thread
  TBuildSinkScope Scope;
};
