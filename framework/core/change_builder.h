// Where a plug-in's prepared changes (prepared_change.h) run.
//
// Each instance owns a TChangeBuilder. Its host entries put a destination
// on the calling thread for the duration of the call:
//   - THostCallBuilds (a host thread): the changes the call requests are
//     built after its work, outside the instance lock, and swapped in under
//     the lock before the call returns. A change that another change's
//     swap requests (a new voice set asks for its patches) joins the run.
//   - TAudioCallBuilds (the audio thread): the changes go to the module's
//     worker thread, which builds them and swaps them in under the instance
//     lock when ready; the audio thread only queues them (no allocation, no
//     waiting) and wakes the worker when its call ends.
// One worker serves every instance of the module; it runs while at least
// one instance exists.
//
// Threads: Build runs on one thread at a time per instance (BuildLock):
// a host thread, or the worker. Rate changes take BuildLock too, so a
// build never reads settings that change meanwhile.
#pragma once

#include <array>
#include <atomic>
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
  // Changes the audio thread can queue between two runs of the worker.
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
  // Audio thread, instance lock held: queued for the worker (a change
  // already queued is not queued twice). Never allocates.
  void QueueRealtime(TPreparedChange& change);
  // After the audio thread's call, without the lock: the worker runs what
  // was queued.
  void WakeWorkerIfQueued();
  // Held while anything of this instance is built (and by rate changes).
  std::recursive_mutex& BuildLock() { return Building; }
  TDSPBasePlugin& Owner() { return Plugin; }

  // The worker's part: takes what the audio thread queued (under the
  // instance lock) and runs it.
  void RunRealtimeRequests();
  // A host thread's: what the audio thread queued so far is built and in
  // place when this returns (built here, or awaited where the worker had
  // taken it).
  void CompleteRealtimeRequests();
  bool HasRealtimeRequests() const { return Waiting.load(); }
  // Instance lock held: something the audio thread queued is not yet
  // swapped in (queued, waiting for the worker, or being built).
  bool RealtimeOutstanding() const { return InstalledSerial < QueuedSerial; }
  // Registered with the worker (asynchronous builds were on when it was made).
  bool UsesWorker() const { return Registered; }

 private:
  TDSPBasePlugin& Plugin;
  std::recursive_mutex Building;
  std::array<TPreparedChange*, kRealtimeCapacity> Realtime{};
  std::size_t RealtimeCount = 0;  // instance lock
  // Requests queued so far, and how many of them are in place (both under
  // the instance lock).
  std::uint64_t QueuedSerial = 0;
  std::uint64_t InstalledSerial = 0;
  std::atomic<bool> Queued{false};   // the audio thread queued since the last wake
  std::atomic<bool> Waiting{false};  // woken for, not yet taken by the worker
  bool Registered = false;
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
  explicit TAudioCallBuilds(TChangeBuilder& builder, bool mayUseWorker = true);
  ~TAudioCallBuilds() override;
  TBuildMode Mode() const override { return Async ? TBuildMode::Realtime : TBuildMode::Deferred; }
  void Queue(TPreparedChange& change) override;
  const void* Owner() const override { return &Builder; }
  // Without the worker: builds what was queued now (the block that follows
  // a program's application then already has what it needs).
  void Flush() override;

 private:
  TChangeBuilder& Builder;
  bool Async;
  std::vector<TPreparedChange*> Queued;  // without asynchronous builds
  TBuildSinkScope Scope;
};
