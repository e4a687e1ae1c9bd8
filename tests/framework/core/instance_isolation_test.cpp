// Instances that share a process: each has its own lock, a host's chunk
// requests from two threads keep each answer whole, and closing one while
// another's idle call runs posted calls reaches nothing half destroyed.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

#include "tests/framework/core/chunk_test_plugin.h"
#include "tests/framework/core/plugin_test_support.h"
#include "tests/support/alloc_trap.h"

namespace {

using namespace plugin_test;
using TBytes = std::vector<std::uint8_t>;

TBytes ChunkOf(TVstEffect* e) {
  void* data = nullptr;
  const auto size = Dispatch(e, kEffGetChunk, 0, 0, &data);
  return size > 0 && data != nullptr ? TBytes(static_cast<std::uint8_t*>(data), static_cast<std::uint8_t*>(data) + size)
                                     : TBytes{};
}

// One instance held busy (its lock taken, as a long change would) must not
// stop another from processing.
TEST(InstanceIsolation, AnInstanceProcessesWhileAnotherOnesLockIsHeld) {
  TTestHost::Reset();
  auto busy = MakePlugin();
  auto other = MakePlugin();
  std::unique_lock<TPluginLock> held(busy->InstanceMutex());
  auto rendered = std::async(std::launch::async, [&] {
    TStereoBuffers out(512);
    TVstEffect* e = other->GetEffect();
    e->processReplacing(e, nullptr, out.Pointers, 512);
    TBytes chunk = ChunkOf(e);
    e->setParameter(e, 12, 0.4f);
    return !chunk.empty();
  });
  const bool finished = rendered.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
  held.unlock();
  EXPECT_TRUE(finished) << "the second instance waited for the first one's lock";
  EXPECT_TRUE(rendered.get());
}

// Hosts save from more than one thread: every answer a thread gets stays
// the chunk until that thread asks again, whatever the others do.
TEST(InstanceStress, GetChunkAndSetChunkFromTwoThreadsKeepEveryAnswerWhole) {
  TTestHost::Reset();
  auto p = MakePlugin<chunk_test::TChunkTestPlugin>();
  TVstEffect* e = p->GetEffect();
  const TBytes reference = ChunkOf(e);
  ASSERT_FALSE(reference.empty());
  std::atomic<int> wrong{0};
  std::atomic<bool> go{false};
  auto worker = [&](bool alsoSet) {
    while (!go.load()) std::this_thread::yield();
    for (int i = 0; i < 300; ++i) {
      if (alsoSet && i % 2 == 1) {
        TBytes copy = reference;
        Dispatch(e, kEffSetChunk, 0, static_cast<std::intptr_t>(copy.size()), copy.data());
        continue;
      }
      void* data = nullptr;
      const auto size = Dispatch(e, kEffGetChunk, 0, 0, &data);
      std::this_thread::yield();  // the host's own work before it copies
      const TBytes copy(static_cast<std::uint8_t*>(data), static_cast<std::uint8_t*>(data) + size);
      if (copy != reference) wrong.fetch_add(1);
    }
  };
  testing_support::SetFreePoisoning(true);
  std::thread a(worker, false), b(worker, true);
  go = true;
  a.join();
  b.join();
  testing_support::SetFreePoisoning(false);
  EXPECT_EQ(wrong.load(), 0) << "answers freed or rewritten by the other thread";
}

// A plug-in closed by the host while another instance's idle call runs the
// posted calls of the process: the closing one's calls are cancelled (and
// a running one awaited) before any of its destructors runs.
TEST(InstanceStress, CloseWhileAnotherInstanceRunsPostedCalls) {
  TTestHost::Reset();
  auto pumper = MakePlugin();
  std::atomic<bool> stop{false};
  std::thread idle([&] {
    TVstEffect* e = pumper->GetEffect();
    while (!stop.load()) Dispatch(e, kEffIdle);
  });
  for (int round = 0; round < 200; ++round) {
    auto* closing = new TSineTestPlugin();
    closing->InitPlugin(&TTestHost::Callback);
    TVstEffect* e = closing->GetEffect();
    Dispatch(e, kEffMainsChanged, 0, 1);
    // Both notices are posted for the window thread (program change, refresh).
    closing->PostProgramChanged();
    closing->PostRefresh();
    EXPECT_EQ(Dispatch(e, kEffClose), 1);
  }
  stop = true;
  idle.join();
}

}  // namespace
