// Engines at their edges: a source's block is read under the source's own
// lock (a host may be processing it on its audio thread), an engine step's
// block is held to the output ceiling like the host's output, and engines
// get the CPU meter's budget when they are connected.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <limits>
#include <memory>
#include <thread>

#include "tests/framework/core/plugin_test_support.h"

namespace {

using namespace plugin_test;

// The sine test instrument holding a constant per note; it counts the
// attempts of other threads to take its lock while Watching is set.
class TEngine : public TSineTestPlugin {
 public:
  TEngine() { RenderDc = true; }
  void Lock() override {
    if (Watching.load() && std::this_thread::get_id() != Watcher) LockAttempts.fetch_add(1);
    TSineTestPlugin::Lock();
  }
  void Hold(std::uint8_t note) { NoteOn({kMidiNoteOn, note, 100, 0}); }
  const float* Block() { return GetOutputBuffer(); }
  std::atomic<bool> Watching{false};
  std::thread::id Watcher;
  std::atomic<int> LockAttempts{0};
};

std::unique_ptr<TEngine> MakeEngine() {
  auto e = MakePlugin<TEngine>();
  e->SetNumInputs(2);
  return e;
}

struct EngineEdges : ::testing::Test {
  void SetUp() override { TTestHost::Reset(); }
};
// Tests with a second thread (the worker, a host thread), which the
// sanitizer stage for threads runs.
using EngineEdgesStress = EngineEdges;

// A source fanned out to two engines renders for the first one's pull; the
// second reads that block. While another thread holds the source's lock (a
// host processing it), the second engine's step waits for it.
TEST_F(EngineEdgesStress, AFannedOutSourcesBlockIsReadUnderTheSourcesLock) {
  auto source = MakeEngine();
  auto first = MakeEngine();
  auto second = MakeEngine();
  source->Hold(60);
  first->ConnectInput(0, source.get(), 0, 1.0f);
  second->ConnectInput(0, source.get(), 0, 1.0f);
  first->RenderStep();  // renders the source's block

  source->Watcher = std::this_thread::get_id();
  source->Watching = true;
  source->InstanceMutex().lock();
  std::atomic<bool> done{false};
  std::thread step([&] {
    second->RenderStep();
    done = true;
  });
  // The step either asks for the source's lock (and waits) or finishes
  // without it.
  for (int i = 0; i < 10000 && source->LockAttempts.load() == 0 && !done.load(); ++i)
    std::this_thread::sleep_for(std::chrono::microseconds(500));
  EXPECT_GT(source->LockAttempts.load(), 0) << "the source's block was read without its lock";
  EXPECT_FALSE(done.load());
  source->InstanceMutex().unlock();
  step.join();
  source->Watching = false;
  EXPECT_TRUE(done.load());
}

// A cycle through an engine that has a second consumer: the host pulls the
// consumer, the engine is also pulled around the cycle (by its source, while
// it renders). Both are its period's pulls: every engine renders once per
// block, and the consumer never hears a block twice.
TEST_F(EngineEdges, AnEngineInACycleWithASecondConsumerRendersOncePerBlock) {
  auto a = MakeEngine();
  auto b = MakeEngine();
  auto d = MakeEngine();
  b->Hold(60);
  a->ConnectInput(0, b.get(), 0, 0.5f);
  b->ConnectInput(0, a.get(), 0, 0.5f);
  d->ConnectInput(0, b.get(), 0, 1.0f);
  ASSERT_EQ(b->CountActiveOutputs(), 2);
  for (int block = 1; block <= 20; ++block) {
    const std::int64_t a0 = a->RenderedBlocks, b0 = b->RenderedBlocks, d0 = d->RenderedBlocks;
    d->RenderStep();
    ASSERT_EQ(a->RenderedBlocks - a0, 1) << block;
    ASSERT_EQ(b->RenderedBlocks - b0, 1) << block;
    ASSERT_EQ(d->RenderedBlocks - d0, 1) << block;
  }
}

// An engine's block leaves its step as the host's output leaves the render
// loop: held within the ceiling, NaN as 0.
TEST_F(EngineEdges, AnEngineStepsBlockIsHeldToTheCeilingAndNaNLeavesAsZero) {
  auto a = MakeEngine();
  a->Hold(60);
  a->DcLevel = 1e30f;
  a->RenderStep();
  const float* block = a->Block();
  for (std::int32_t i = 0; i < a->Settings->StereoLength; ++i) ASSERT_EQ(block[i], TDSPPluginX::kOutputCeiling) << i;
  a->DcLevel = -std::numeric_limits<float>::infinity();
  a->RenderStep();
  for (std::int32_t i = 0; i < a->Settings->StereoLength; ++i) ASSERT_EQ(block[i], -TDSPPluginX::kOutputCeiling) << i;
  a->DcLevel = std::numeric_limits<float>::quiet_NaN();
  a->RenderStep();
  for (std::int32_t i = 0; i < a->Settings->StereoLength; ++i) ASSERT_EQ(block[i], 0.0f) << i;
}

// Connected engines are metered: both sides have a budget for their steps
// from the connection on, without anyone setting the counter's rate.
TEST_F(EngineEdges, ConnectingEnginesGivesBothTheCpuMetersBudget) {
  auto a = MakeEngine();
  auto b = MakeEngine();
  EXPECT_EQ(a->GetCpuBudget(), 0u);
  ASSERT_EQ(b->ConnectInput(0, a.get(), 0, 1.0f), 0);
  EXPECT_GT(a->GetCpuBudget(), 0u);
  EXPECT_GT(b->GetCpuBudget(), 0u);
}

}  // namespace
