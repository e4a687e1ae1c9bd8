// Prepared changes and where they are built: after a host thread's call on
// that thread, by the module's worker for the audio thread (which only
// queues, takes the request and swaps the result in), at once where nothing
// was set; and swapped in under the lock.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

#include "framework/core/change_builder.h"
#include "tests/framework/core/plugin_test_support.h"
#include "tests/support/alloc_trap.h"

namespace {

using namespace plugin_test;

// A change that builds a vector holding the wanted value (it allocates, as
// a voice set or a reverb network does) and records where each step ran.
class TVectorChange final : public TPreparedChange {
 public:
  explicit TVectorChange(TDSPBasePlugin& owner) : Owner(owner) {}

  // Owner's lock held.
  void Want(int value) {
    Wanted = value;
    RequestPreparedChange(*this);
  }
  int InstalledValue() const {
    TPluginLockGuard guard(Owner);
    return Object ? Object->front() : -1;
  }

  bool TakeRequest() override {
    if (Object && Object->front() == Wanted) return false;
    Taken = Wanted;
    return true;
  }
  void Build() override {
    BuildThread = std::this_thread::get_id();
    // Outside the owner's lock: another thread takes it meanwhile.
    std::thread other([&] {
      LockFreeDuringBuild = Owner.InstanceMutex().try_lock();
      if (LockFreeDuringBuild) Owner.InstanceMutex().unlock();
    });
    other.join();
    if (BuildDelay.count() > 0) std::this_thread::sleep_for(BuildDelay);
    Built = std::make_unique<std::vector<int>>(1000, Taken);
  }
  void Install() override {
    InstallThread = std::this_thread::get_id();
    if (Taken != Wanted) return;  // a later request supersedes this one
    std::swap(Object, Built);
    Installs.fetch_add(1);
  }
  void Release() override {
    Built.reset();
    Releases.fetch_add(1);
  }
  bool InstallsWhileSilent() const override { return Silent; }

  TDSPBasePlugin& Owner;
  int Wanted = 0;
  int Taken = 0;
  std::unique_ptr<std::vector<int>> Object, Built;
  std::thread::id BuildThread;
  std::thread::id InstallThread;
  bool LockFreeDuringBuild = false;
  bool Silent = false;
  std::chrono::milliseconds BuildDelay{0};
  std::atomic<int> Installs{0};
  std::atomic<int> Releases{0};
};

// A plug-in whose builder uses the module's worker, as in the module.
std::unique_ptr<TSineTestPlugin> MakeAsyncPlugin() {
  SetAsynchronousBuilds(true);
  auto p = MakePlugin();
  SetAsynchronousBuilds(false);
  return p;
}

bool WaitFor(const std::function<bool()>& done) {
  for (int i = 0; i < 2000 && !done(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return done();
}

TEST(ChangeBuilder, AHostCallBuildsOnItsThreadOutsideTheLockAndSwapsBeforeItReturns) {
  auto p = MakePlugin();
  TVectorChange change(*p);
  {
    THostCallBuilds builds(p->Changes());
    TPluginLockGuard guard(*p);
    change.Want(5);
    EXPECT_EQ(change.Installs.load(), 0) << "built after the call's own work";
  }
  EXPECT_EQ(change.InstalledValue(), 5);
  EXPECT_EQ(change.BuildThread, std::this_thread::get_id());
  EXPECT_TRUE(change.LockFreeDuringBuild);
  // The same value again builds nothing.
  {
    THostCallBuilds builds(p->Changes());
    TPluginLockGuard guard(*p);
    change.Want(5);
  }
  EXPECT_EQ(change.Installs.load(), 1);
}

TEST(ChangeBuilder, WithoutADestinationTheChangeRunsAtOnce) {
  auto p = MakePlugin();
  TVectorChange change(*p);
  TPluginLockGuard guard(*p);
  EXPECT_EQ(CurrentBuildMode(), TBuildMode::Inline);
  change.Want(3);
  EXPECT_EQ(change.Object->front(), 3);
}

// The audio thread queues, takes the request and swaps the result in when
// one of its calls ends, allocating and freeing nothing; the worker builds
// (and frees what was replaced), and the old object stays in use until then.
TEST(ChangeBuilder, TheWorkerBuildsAndTheAudioThreadSwapsItInAtTheEndOfACall) {
  auto p = MakeAsyncPlugin();
  ASSERT_TRUE(p->Changes().UsesWorker());
  TVectorChange change(*p);
  {
    TPluginLockGuard guard(*p);
    change.Want(1);  // inline: the object in use
  }
  const std::thread::id audio = std::this_thread::get_id();
  const int releases = change.Releases.load();
  {
    testing_support::TAudioThreadGuard noHeap("the audio thread queueing a change");
    TAudioCallBuilds builds(p->Changes());
    TPluginLockGuard guard(*p);
    change.Want(2);
    EXPECT_EQ(change.Object->front(), 1) << "the old object plays on";
  }
  // The audio thread's next calls: one of them swaps the build in.
  ASSERT_TRUE(WaitFor([&] {
    {
      testing_support::TAudioThreadGuard noHeap("the audio thread swapping a change in");
      TAudioCallBuilds builds(p->Changes());
    }
    return change.InstalledValue() == 2;
  }));
  EXPECT_NE(change.BuildThread, audio);
  EXPECT_EQ(change.InstallThread, audio);
  EXPECT_TRUE(change.LockFreeDuringBuild);
  // The worker frees the replaced object; nothing is left on the way.
  ASSERT_TRUE(WaitFor([&] { return change.Releases.load() > releases; }));
  TPluginLockGuard guard(*p);
  EXPECT_FALSE(p->Changes().RealtimeOutstanding());
}

// A change that installs while silent (a voice set takes every setting
// again) is left by the audio thread for a hand-over: another thread swaps
// it in while the instrument is silent.
TEST(ChangeBuilder, AChangeThatInstallsWhileSilentWaitsForAHandOver) {
  auto p = MakeAsyncPlugin();
  TVectorChange change(*p);
  change.Silent = true;
  {
    TAudioCallBuilds builds(p->Changes());
    TPluginLockGuard guard(*p);
    change.Want(3);
  }
  ASSERT_TRUE(WaitFor([&] {
    TAudioCallBuilds builds(p->Changes());
    TPluginLockGuard guard(*p);
    return p->Changes().SilentInstallWaiting();
  }));
  for (int call = 0; call < 5; ++call) TAudioCallBuilds builds(p->Changes());
  EXPECT_EQ(change.Installs.load(), 0) << "not on the audio thread";
  {
    std::lock_guard<std::recursive_mutex> building(p->Changes().BuildLock());
    TPluginLockGuard guard(*p);
    p->Changes().InstallSilentChanges();
    EXPECT_FALSE(p->Changes().SilentInstallWaiting());
  }
  EXPECT_EQ(change.InstalledValue(), 3);
  EXPECT_EQ(change.InstallThread, std::this_thread::get_id());
  // The worker frees what it replaced before the change goes.
  EXPECT_TRUE(WaitFor([&] { return change.Releases.load() > 0; }));
}

// Offline (no worker): built when the audio call ends, or when it flushes
// (a program's application does, before the block that plays it).
TEST(ChangeBuilder, WithoutTheWorkerTheAudioCallBuildsAtItsEndOrWhenItFlushes) {
  auto p = MakeAsyncPlugin();
  TVectorChange change(*p);
  {
    TAudioCallBuilds builds(p->Changes(), false);
    {
      TPluginLockGuard guard(*p);
      change.Want(4);
    }
    EXPECT_EQ(change.Installs.load(), 0);
    builds.Flush();
    EXPECT_EQ(change.InstalledValue(), 4);
    TPluginLockGuard guard(*p);
    change.Want(6);
  }
  EXPECT_EQ(change.InstalledValue(), 6);
  EXPECT_EQ(change.BuildThread, std::this_thread::get_id());
}

// A host thread that completes the audio thread's requests returns with
// them in place, whether it built them or the worker had taken them.
TEST(ChangeBuilderStress, CompletedRequestsAreInPlaceWhenTheCallReturns) {
  auto p = MakeAsyncPlugin();
  TVectorChange change(*p);
  for (int i = 1; i <= 200; ++i) {
    {
      TAudioCallBuilds builds(p->Changes());
      TPluginLockGuard guard(*p);
      change.Want(i);
    }
    if (i % 3 == 0) std::this_thread::sleep_for(std::chrono::microseconds(100));
    std::thread host([&] { p->Changes().CompleteRealtimeRequests(); });
    host.join();
    ASSERT_EQ(change.InstalledValue(), i);
  }
}

// An instance destroyed while the worker builds for it waits for that run.
TEST(ChangeBuilderStress, AnInstanceClosedDuringAWorkerBuildWaitsForIt) {
  for (int round = 0; round < 5; ++round) {
    auto p = MakeAsyncPlugin();
    auto change = std::make_unique<TVectorChange>(*p);
    change->BuildDelay = std::chrono::milliseconds(5);
    {
      TAudioCallBuilds builds(p->Changes());
      TPluginLockGuard guard(*p);
      change->Want(round + 1);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(round));
    p->Changes().Detach();
    // Nothing runs on the change after Detach: it can go.
    const int installs = change->Installs.load();
    change.reset();
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_LE(installs, 1);
  }
}

}  // namespace
