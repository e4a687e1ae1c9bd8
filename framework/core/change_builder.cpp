#include "framework/core/change_builder.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <thread>

#include "framework/core/dsp_base_plugin.h"

namespace {

void StopWorkerBeforeSharedData();

// The module's worker: builds what audio threads asked for. It runs while
// at least one instance exists and is joined when the last one goes, or
// when the module is unloaded or the process ends (Close).
class TBuildWorker {
 public:
  // False once closed: the instance then builds on its own threads.
  bool Register(TChangeBuilder& builder) {
    std::lock_guard<std::mutex> guard(Mutex);
    if (Closed) return false;
    Builders.push_back(&builder);
    if (!Thread.joinable()) {
      const std::uint64_t epoch = ++RunEpoch;
      Thread = std::thread([this, epoch] { Loop(epoch); });
    }
    return true;
  }

  // After this the worker never touches the builder again.
  void Unregister(TChangeBuilder& builder) {
    bool last = false;
    {
      std::lock_guard<std::mutex> guard(Mutex);
      Builders.erase(std::remove(Builders.begin(), Builders.end(), &builder), Builders.end());
      last = Builders.empty();
    }
    // A run on it that began before holds its build lock: wait for it.
    { std::lock_guard<std::recursive_mutex> wait(builder.BuildLock()); }
    if (last) StopAndJoin();
  }

  // Any thread, the audio thread too: no allocation, no lock.
  void Wake() {
    Generation.fetch_add(1, std::memory_order_release);
    // Every waiter: a worker being stopped may still wait beside a new one.
    Generation.notify_all();
  }

  // The module is being unloaded or the process ends, maybe with instances
  // still open (a host that returns from main without closing them): the
  // thread finishes the build it is in and stops, and none starts again.
  // What the audio threads queue from now on is built by the instances'
  // own host calls. Answers whether no instance is registered any more.
  bool Close() {
    std::thread joining;
    {
      std::lock_guard<std::mutex> guard(Mutex);
      Closed = true;
      ++RunEpoch;
      joining = std::move(Thread);
    }
    Wake();
    if (joining.joinable()) {
      if (joining.get_id() != std::this_thread::get_id()) joining.join();
      else joining.detach();
    }
    std::lock_guard<std::mutex> guard(Mutex);
    return Builders.empty();
  }

 private:
  void StopAndJoin() {
    std::thread joining;
    {
      std::lock_guard<std::mutex> guard(Mutex);
      if (!Builders.empty() || !Thread.joinable()) return;
      // This worker's run ends; one started after this (by a new instance
      // while this one is joined) has its own.
      ++RunEpoch;
      joining = std::move(Thread);
    }
    Wake();
    if (joining.get_id() != std::this_thread::get_id()) joining.join();
    else joining.detach();
  }

  void Loop(std::uint64_t epoch) {
    for (;;) {
      // Read before looking for work: a wake that comes after this reading
      // makes the wait below return at once, so none is lost.
      const std::uint32_t before = Generation.load(std::memory_order_acquire);
      for (;;) {
        TChangeBuilder* next = nullptr;
        std::unique_lock<std::recursive_mutex> building;
        {
          std::lock_guard<std::mutex> guard(Mutex);
          if (RunEpoch != epoch) return;
          for (TChangeBuilder* b : Builders) {
            if (b->HasRealtimeRequests()) {
              next = b;
              // Taken before the registry is let go: an instance that
              // leaves waits for this run.
              building = std::unique_lock<std::recursive_mutex>(b->BuildLock());
              break;
            }
          }
        }
        if (next == nullptr) break;
        StopWorkerBeforeSharedData();
        next->RunRealtimeRequests();
      }
      Generation.wait(before, std::memory_order_acquire);
    }
  }

  std::mutex Mutex;
  std::vector<TChangeBuilder*> Builders;
  std::thread Thread;
  std::uint64_t RunEpoch = 0;  // the running worker's; grows at every start and stop
  std::atomic<std::uint32_t> Generation{0};
  bool Closed = false;
};

// Trivially destructible, so both stay readable while and after the
// module's statics are destroyed.
std::atomic<TBuildWorker*> TheWorker{nullptr};
std::atomic<bool> WorkerGone{false};

// The worker lives on the heap: instances still open when the module's
// statics go (a host that never closes them, or closes them from exit
// handlers of its own) still find it when they leave. It is freed when the
// module goes with no instance left (unloading leaves nothing behind).
struct TWorkerHolder {
  TWorkerHolder() { TheWorker.store(new TBuildWorker); }
  ~TWorkerHolder() {
    TBuildWorker* worker = TheWorker.load();
    WorkerGone.store(true);
    if (worker->Close()) {
      TheWorker.store(nullptr);
      delete worker;
    }
  }
};

// Null once the module's statics are gone and no instance was left.
TBuildWorker* Worker() {
  if (WorkerGone.load()) return TheWorker.load();
  static TWorkerHolder holder;
  return TheWorker.load();
}

// Statics are destroyed in the reverse order of their construction. The
// holder is made with the first instance, before the data its layers share
// (wave tables, the sample store), so it goes after them. This closer is
// made just before the worker's first build, after that data: at exit the
// worker stops before any of it is destroyed, and no build reads it
// meanwhile.
struct TWorkerCloser {
  ~TWorkerCloser() {
    if (TBuildWorker* worker = TheWorker.load()) worker->Close();
  }
};

void StopWorkerBeforeSharedData() { static TWorkerCloser closer; }

// Any thread, the audio thread too: no allocation, no lock.
void WakeWorker() {
  if (TBuildWorker* worker = Worker()) worker->Wake();
}

std::atomic<bool> Asynchronous{false};

// A thread's destination that only collects, while a run swaps changes in
// (their swaps may request more).
class TCollect final : public TBuildSink {
 public:
  TCollect(const void* owner, std::vector<TPreparedChange*>& into) : Into(into), OwnerOf(owner) {}
  TBuildMode Mode() const override { return TBuildMode::Deferred; }
  void Queue(TPreparedChange& change) override {
    if (std::find(Into.begin(), Into.end(), &change) == Into.end()) Into.push_back(&change);
  }
  const void* Owner() const override { return OwnerOf; }

 private:
  std::vector<TPreparedChange*>& Into;
  const void* OwnerOf;
};

}  // namespace

void SetAsynchronousBuilds(bool on) { Asynchronous.store(on); }

bool AsynchronousBuilds() { return Asynchronous.load(); }

TChangeBuilder::TChangeBuilder(TDSPBasePlugin& owner) : Plugin(owner), Registered(AsynchronousBuilds()) {
  TBuildWorker* worker = Registered ? Worker() : nullptr;
  Registered = worker != nullptr && worker->Register(*this);
}

TChangeBuilder::~TChangeBuilder() { Detach(); }

void TChangeBuilder::Detach() {
  if (!Registered.exchange(false)) return;
  Worker()->Unregister(*this);
}

void TChangeBuilder::Run(std::vector<TPreparedChange*> changes) {
  std::lock_guard<std::recursive_mutex> building(Building);
  // What the audio thread took is built before anything is swapped in here:
  // a swap may replace what those builds read (a voice set, its players).
  while (BuildAndRelease()) {
  }
  std::vector<TPreparedChange*> more;
  TCollect collect(this, more);
  TBuildSinkScope scope(&collect);
  // A swap may ask for more (a new voice set for its patches); a few rounds
  // settle any chain of them.
  for (int round = 0; round < 8 && !changes.empty(); ++round) {
    std::vector<char> taken(changes.size(), 0);
    {
      TPluginLockGuard guard(Plugin);
      for (std::size_t i = 0; i < changes.size(); ++i) taken[i] = changes[i]->TakeRequest() ? 1 : 0;
    }
    for (std::size_t i = 0; i < changes.size(); ++i)
      if (taken[i]) changes[i]->Build();
    {
      TPluginLockGuard guard(Plugin);
      for (std::size_t i = 0; i < changes.size(); ++i)
        if (taken[i]) changes[i]->Install();
    }
    for (TPreparedChange* c : changes) c->Release();
    changes.swap(more);
    more.clear();
  }
}

void TChangeBuilder::QueueRealtime(TPreparedChange& change) {
  for (std::size_t i = 0; i < RequestCount; ++i)
    if (Requests[i] == &change) return;
  // A full queue drops the request: the object in use keeps sounding, and
  // the next request of the same change comes through (a unit asks again
  // whenever its value changes).
  if (RequestCount < Requests.size()) Requests[RequestCount++] = &change;
}

bool TChangeBuilder::InFlight(const TPreparedChange* change) const {
  for (const TSlot& slot : Slots)
    if (slot.State.load(std::memory_order_acquire) != kFree && slot.Change == change) return true;
  return false;
}

bool TChangeBuilder::TakeQueued() {
  bool taken = false;
  std::size_t kept = 0;
  for (std::size_t i = 0; i < RequestCount; ++i) {
    TPreparedChange* change = Requests[i];
    // A change still on its way takes the newer request once it is back.
    TSlot* free = nullptr;
    if (!InFlight(change)) {
      for (TSlot& slot : Slots) {
        if (slot.State.load(std::memory_order_acquire) == kFree) {
          free = &slot;
          break;
        }
      }
    }
    if (free == nullptr) {
      Requests[kept++] = change;
      continue;
    }
    if (!change->TakeRequest()) continue;
    free->Change = change;
    free->State.store(kTaken, std::memory_order_release);
    taken = true;
  }
  RequestCount = kept;
  return taken;
}

bool TChangeBuilder::BuildAndRelease() {
  bool done = false;
  for (TSlot& slot : Slots) {
    const int state = slot.State.load(std::memory_order_acquire);
    if (state == kTaken) {
      // A change that could not be built leaves the object in use in
      // place; it counts as done.
      int next = kBuilt;
      try {
        slot.Change->Build();
      } catch (...) {
        next = kInstalled;
      }
      slot.State.store(next, std::memory_order_release);
      done = true;
    } else if (state == kInstalled) {
      slot.Change->Release();
      slot.State.store(kFree, std::memory_order_release);
      done = true;
    }
  }
  return done;
}

bool TChangeBuilder::InstallBuilt(bool silent) {
  bool installed = false;
  for (TSlot& slot : Slots) {
    if (slot.State.load(std::memory_order_acquire) != kBuilt) continue;
    if (!silent && slot.Change->InstallsWhileSilent()) continue;
    try {
      slot.Change->Install();
    } catch (...) {
    }
    slot.State.store(kInstalled, std::memory_order_release);
    installed = true;
  }
  return installed;
}

void TChangeBuilder::AudioCallEnds() {
  std::unique_lock<TPluginLock> lock(Plugin.InstanceMutex(), std::try_to_lock);
  if (lock.owns_lock()) AudioThreadTurn();
}

void TChangeBuilder::SettleRealtimeRequests() {
  for (int round = 0; round < 8; ++round) {
    {
      // Woken by the worker's progress; a worker that stopped for good (the
      // module unloading) leaves the change for a later call.
      std::unique_lock<std::mutex> waiting(ProgressLock);
      while (WorkerOwes() && Registered.load())
        if (Progress.wait_for(waiting, std::chrono::seconds(1)) == std::cv_status::timeout) return;
    }
    // Build lock before instance lock, as every thread takes them.
    std::lock_guard<std::recursive_mutex> building(Building);
    TPluginLockGuard guard(Plugin);
    if (!SwapAndTake()) return;
  }
}

bool TChangeBuilder::WorkerOwes() const {
  for (const TSlot& slot : Slots) {
    const int state = slot.State.load(std::memory_order_acquire);
    if (state == kTaken || state == kInstalled) return true;
  }
  return false;
}

bool TChangeBuilder::AnyTaken() const {
  for (const TSlot& slot : Slots)
    if (slot.State.load(std::memory_order_acquire) == kTaken) return true;
  return false;
}

void TChangeBuilder::AudioThreadTurn() {
  // Requests are taken and swaps made only while nothing is built: a swap
  // may replace what a build reads (a voice set, its players). A busy build
  // lock leaves both for a later call.
  std::unique_lock<std::recursive_mutex> building(Building, std::try_to_lock);
  if (building.owns_lock()) SwapAndTake();
}

bool TChangeBuilder::SwapAndTake() {
  // Nothing is swapped in between another change's request and its build.
  const bool installed = !AnyTaken() && InstallBuilt(false);
  const bool taken = TakeQueued();
  if (!installed && !taken) return false;
  if (Registered) {
    Waiting.store(true);
    WakeWorker();
  }
  return true;
}

bool TChangeBuilder::SilentInstallWaiting() const {
  for (const TSlot& slot : Slots)
    if (slot.State.load(std::memory_order_acquire) == kBuilt && slot.Change->InstallsWhileSilent()) return true;
  return false;
}

void TChangeBuilder::InstallSilentChanges() {
  if (AnyTaken()) return;
  if (InstallBuilt(true) && Registered) {
    Waiting.store(true);
    WakeWorker();
  }
}

void TChangeBuilder::WantHandOver() {
  HandOverWanted.store(true);
  if (Registered) WakeWorker();
}

bool TChangeBuilder::RealtimeOutstanding() const {
  if (RequestCount > 0) return true;
  for (const TSlot& slot : Slots) {
    const int state = slot.State.load(std::memory_order_acquire);
    if (state == kTaken || state == kBuilt) return true;
  }
  return false;
}

void TChangeBuilder::BuildTaken() {
  std::lock_guard<std::recursive_mutex> building(Building);
  while (BuildAndRelease()) {
  }
}

void TChangeBuilder::RunRealtimeRequests() {
  std::lock_guard<std::recursive_mutex> building(Building);
  // Cleared before looking: a request that comes meanwhile wakes another run.
  Waiting.store(false);
  while (BuildAndRelease()) {
  }
  { std::lock_guard<std::mutex> progress(ProgressLock); }
  Progress.notify_all();
  if (HandOverWanted.exchange(false)) {
    try {
      Plugin.RunHandOver();
    } catch (...) {
    }
  }
}

void TChangeBuilder::CompleteRealtimeRequests() {
  // The worker holds the build lock for the whole of its run.
  std::lock_guard<std::recursive_mutex> building(Building);
  // A swap may ask for more; a few rounds settle any chain of them.
  for (int round = 0; round < 8; ++round) {
    {
      TPluginLockGuard guard(Plugin);
      TakeQueued();
    }
    BuildAndRelease();
    {
      TPluginLockGuard guard(Plugin);
      InstallBuilt(true);
    }
    BuildAndRelease();
    TPluginLockGuard guard(Plugin);
    if (!RealtimeOutstanding()) break;
  }
}

THostCallBuilds::THostCallBuilds(TChangeBuilder& builder)
    : Builder(builder),
      Outermost(CurrentBuildSink() == nullptr || CurrentBuildSink()->Owner() != &builder),
      Scope(Outermost ? static_cast<TBuildSink*>(this) : CurrentBuildSink()) {}

THostCallBuilds::~THostCallBuilds() {
  if (!Outermost || Queued.empty()) return;
  std::vector<TPreparedChange*> changes;
  changes.swap(Queued);
  // No exception leaves a host entry; a change that could not be built
  // leaves the object in use in place.
  try {
    Builder.Run(std::move(changes));
  } catch (...) {
  }
}

void THostCallBuilds::Queue(TPreparedChange& change) {
  if (std::find(Queued.begin(), Queued.end(), &change) == Queued.end()) Queued.push_back(&change);
}

TAudioCallBuilds::TAudioCallBuilds(TChangeBuilder& builder, bool mayUseWorker, bool settle)
    : Builder(builder), Async(mayUseWorker && builder.UsesWorker()), Settle(settle), Scope(this) {}

void TAudioCallBuilds::Queue(TPreparedChange& change) {
  if (Async && !Here) Builder.QueueRealtime(change);
  else if (std::find(Queued.begin(), Queued.end(), &change) == Queued.end()) Queued.push_back(&change);
}

void TAudioCallBuilds::Flush() {
  if (Queued.empty()) return;
  // The caller holds the instance lock, and a host thread that builds holds
  // the build lock while it waits for the instance lock: waiting here for
  // the build lock could deadlock. While another thread builds, what was
  // queued runs when the call ends instead, outside the instance lock.
  std::unique_lock<std::recursive_mutex> building(Builder.BuildLock(), std::try_to_lock);
  if (!building.owns_lock()) return;
  std::vector<TPreparedChange*> changes;
  changes.swap(Queued);
  Builder.Run(std::move(changes));
}

TAudioCallBuilds::~TAudioCallBuilds() {
  if (Async) Builder.AudioCallEnds();
  if (Async && Settle) Builder.SettleRealtimeRequests();
  if (Queued.empty()) return;
  std::vector<TPreparedChange*> changes;
  changes.swap(Queued);
  try {
    Builder.Run(std::move(changes));
  } catch (...) {
  }
}
