// The change path under the instance's lock and at its limits: requests are
// taken and swaps made with the lock held, every run releases what it
// replaced, changes that a swap asks for join the run, the audio thread's
// queue holds its capacity (and a change asked for many times takes one
// place), and a host call returns with the audio thread's builds in place.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "framework/core/change_builder.h"
#include "tests/framework/core/plugin_test_support.h"

namespace {

using namespace plugin_test;

// True when another thread cannot take the owner's lock now.
bool LockHeldHere(const TDSPBasePlugin& owner) {
  bool free = false;
  std::thread probe([&] {
    free = owner.InstanceMutex().try_lock();
    if (free) owner.InstanceMutex().unlock();
  });
  probe.join();
  return !free;
}

// A change that counts its steps and notes whether the owner's lock was held
// when the rules say it must be. Wanting a value it has builds it again.
class TCountingChange final : public TPreparedChange {
 public:
  explicit TCountingChange(TDSPBasePlugin& owner) : Owner(owner) {}
  void Want(int value) {
    Wanted = value;
    RequestPreparedChange(*this);
  }
  bool TakeRequest() override {
    if (!LockHeldHere(Owner)) Unlocked = true;
    if (Wanted == Installed) return false;
    Taken = Wanted;
    return true;
  }
  void Build() override {
    if (OnBuild) OnBuild();
    Builds.fetch_add(1);
  }
  void Install() override {
    if (!LockHeldHere(Owner)) Unlocked = true;
    Installed = Taken;
    Installs.fetch_add(1);
    if (Then != nullptr) Then->Want(Installed);
  }
  void Release() override { Releases.fetch_add(1); }

  TDSPBasePlugin& Owner;
  int Wanted = 0, Taken = 0, Installed = 0;
  TCountingChange* Then = nullptr;  // asked for by this one's swap
  std::function<void()> OnBuild;    // runs in Build (outside the lock)
  std::atomic<int> Builds{0}, Installs{0}, Releases{0};
  std::atomic<bool> Unlocked{false};
};

std::unique_ptr<TSineTestPlugin> MakeAsyncPlugin() {
  SetAsynchronousBuilds(true);
  auto p = MakePlugin();
  SetAsynchronousBuilds(false);
  return p;
}

struct ChangePath : ::testing::Test {
  void SetUp() override { TTestHost::Reset(); }
};
// Tests with a second thread (the worker, a host thread), which the
// sanitizer stage for threads runs.
using ChangePathStress = ChangePath;

// A host call's changes are taken and swapped under the lock (built
// outside it), a change another one's swap asks for is in place when the
// call returns, and every run releases.
TEST_F(ChangePath, AHostCallTakesAndSwapsUnderTheLockRunsChainedChangesAndReleases) {
  auto p = MakePlugin();
  TCountingChange second(*p);
  TCountingChange first(*p);
  first.Then = &second;
  {
    THostCallBuilds builds(p->Changes());
    TPluginLockGuard guard(*p);
    first.Want(7);
  }
  EXPECT_EQ(first.Installed, 7);
  EXPECT_EQ(second.Installed, 7) << "the change the swap asked for joined the run";
  EXPECT_FALSE(first.Unlocked.load());
  EXPECT_FALSE(second.Unlocked.load());
  EXPECT_EQ(first.Releases.load(), 1);
  EXPECT_EQ(second.Releases.load(), 1);
}

// Without a destination the four steps run at once, release included.
TEST_F(ChangePath, AChangeRunAtOnceIsReleasedToo) {
  auto p = MakePlugin();
  TCountingChange change(*p);
  TPluginLockGuard guard(*p);
  change.Want(3);
  EXPECT_EQ(change.Installed, 3);
  EXPECT_EQ(change.Releases.load(), 1);
}

// The audio thread queues at most kRealtimeCapacity changes per run of the
// worker; the one beyond is dropped (the object in use plays on) and comes
// through when asked for again. A change asked for many times takes one
// place only.
TEST_F(ChangePathStress, TheAudioThreadsQueueHoldsItsCapacityAndEachChangeOnce) {
  auto p = MakeAsyncPlugin();
  const std::size_t capacity = TChangeBuilder::kRealtimeCapacity;
  std::vector<std::unique_ptr<TCountingChange>> changes;
  for (std::size_t k = 0; k <= capacity; ++k) changes.push_back(std::make_unique<TCountingChange>(*p));
  {
    TAudioCallBuilds builds(p->Changes(), true);
    TPluginLockGuard guard(*p);
    // The first one many times over, as a knob swept within one block asks.
    for (int k = 0; k < 3 * static_cast<int>(capacity); ++k) changes[0]->Want(1);
    for (std::size_t k = 1; k <= capacity; ++k) changes[k]->Want(1);
  }
  p->Changes().CompleteRealtimeRequests();
  for (std::size_t k = 0; k < capacity; ++k) EXPECT_EQ(changes[k]->Installed, 1) << k;
  EXPECT_EQ(changes[capacity]->Installed, 0) << "beyond the capacity: dropped";
  {
    TAudioCallBuilds builds(p->Changes(), true);
    TPluginLockGuard guard(*p);
    changes[capacity]->Want(2);
  }
  p->Changes().CompleteRealtimeRequests();
  EXPECT_EQ(changes[capacity]->Installed, 2) << "asked again, it comes through";
  for (const auto& c : changes) EXPECT_FALSE(c->Unlocked.load());
}

// An instance that leaves while the worker builds for it waits for that
// build: when Detach returns, the worker is done with the instance's
// changes (nothing touches them afterwards; the audio thread swaps in what
// was built at the end of a later call).
TEST_F(ChangePathStress, AnInstanceLeavingDuringAWorkerBuildWaitsUntilTheBuildIsDone) {
  // Another instance keeps the worker running: leaving does not join it.
  auto other = MakeAsyncPlugin();
  auto p = MakeAsyncPlugin();
  TCountingChange change(*p);
  std::mutex mutex;
  std::condition_variable opened;
  bool open = false;
  std::atomic<bool> building{false};
  change.OnBuild = [&] {
    building = true;
    std::unique_lock<std::mutex> lock(mutex);
    opened.wait(lock, [&] { return open; });
  };
  {
    TAudioCallBuilds builds(p->Changes(), true);
    TPluginLockGuard guard(*p);
    change.Want(1);
  }
  for (int i = 0; i < 5000 && !building.load(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  ASSERT_TRUE(building.load()) << "the worker took the change";
  std::atomic<bool> left{false};
  std::atomic<int> buildsWhenLeft{-1};
  std::thread leaving([&] {
    p->Changes().Detach();
    buildsWhenLeft = change.Builds.load();
    left = true;
  });
  // Detach cannot return while the build waits; a Detach that does not wait
  // returns here.
  for (int i = 0; i < 100 && !left.load(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  {
    std::lock_guard<std::mutex> lock(mutex);
    open = true;
  }
  opened.notify_all();
  leaving.join();
  EXPECT_EQ(buildsWhenLeft.load(), 1) << "Detach returned before the worker's run on the instance ended";
  EXPECT_EQ(change.Installs.load(), 0) << "only the audio thread swaps in";
  {
    TPluginLockGuard guard(*p);
    p->Changes().AudioThreadTurn();
  }
  EXPECT_EQ(change.Installs.load(), 1);
  EXPECT_FALSE(change.Unlocked.load());
}

}  // namespace
