// Plug-in instances as engines: connections on both sides, render steps
// that pull their sources once per block, NRPN gains, exported records, the
// CPU meter of the engine steps, output levels and the name table.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <map>
#include <memory>
#include <thread>
#include <vector>

#include "framework/base/streams.h"
#include "tests/framework/core/plugin_test_support.h"
#include "tests/support/alloc_trap.h"

namespace {

using namespace plugin_test;

// The sine test instrument with one stereo input: its block is its own
// voices (a constant 0.5 per held note) plus whatever its input gathered.
class TEngine : public TSineTestPlugin {
 public:
  TEngine() { RenderDc = true; }
  void RenderVoices() override {
    TSineTestPlugin::RenderVoices();
    float* out = GetOutputBuffer();
    if (!InputChannels.empty() && InputChannels[0].InputSum) {
      const float* in = InputChannels[0].InputSum->SumBuffer.get();
      for (std::int32_t i = 0; i < Settings->StereoLength; ++i) out[i] += in[i];
    }
    DetectSignal(out, Settings->StereoLength);
  }
  void ResetEngine() override {
    ++Resets;
    TSineTestPlugin::ResetEngine();
  }
  void Hold(std::uint8_t note) { NoteOn({kMidiNoteOn, note, 100, 0}); }
  const float* Block() { return GetOutputBuffer(); }
  std::int32_t Resets = 0;
};

std::unique_ptr<TEngine> MakeEngine(float rate = 44100.0f) {
  auto e = MakePlugin<TEngine>(rate);
  e->SetNumInputs(2);
  return e;
}

// Every sample of an engine's last block equals value.
void ExpectBlock(TEngine& e, float value, const char* what) {
  const float* b = e.Block();
  ASSERT_NE(b, nullptr);
  for (std::int32_t i = 0; i < e.Settings->StereoLength; ++i) ASSERT_FLOAT_EQ(b[i], value) << what << " at " << i;
}

// NRPN `number` (controllers 99 and 98) with the 14-bit `value`
// (controllers 6 and 38), sent as a host does, then one process call.
void SendNrpn(TEngine& engine, std::int32_t number, std::int32_t value) {
  TEventList list;
  list.Add(0, 0xB0, 99, static_cast<std::uint8_t>(number >> 7));
  list.Add(0, 0xB0, 98, static_cast<std::uint8_t>(number & 0x7F));
  list.Add(0, 0xB0, 6, static_cast<std::uint8_t>(value >> 7));
  list.Add(0, 0xB0, 38, static_cast<std::uint8_t>(value & 0x7F));
  TVstEffect* e = engine.GetEffect();
  Dispatch(e, kEffProcessEvents, 0, 0, const_cast<TVstEvents*>(list.Build()));
  TStereoBuffers out(512);
  e->processReplacing(e, nullptr, out.Pointers, 512);
}

struct EngineTest : ::testing::Test {
  void SetUp() override { TTestHost::Reset(); }
};

}  // namespace

TEST_F(EngineTest, ASecondEngineRendersTheFirstsOutputTimesTheConnectionGain) {
  auto a = MakeEngine();
  auto b = MakeEngine();
  a->Hold(60);
  ASSERT_EQ(a->ConnectOutput(0, b.get(), 0, 0.25f), 0);
  EXPECT_TRUE(b->RenderStep());
  ExpectBlock(*a, 0.5f, "the source's own block");
  ExpectBlock(*b, 0.125f, "0.5 x 0.25");
  // The target's own voices add to what it gathers.
  b->Hold(61);
  b->RenderStep();
  ExpectBlock(*b, 0.625f, "its own 0.5 and the source's 0.125");
  // Muting the source (parameter 2) silences what the target hears: the
  // source's block is cleared, not repeated.
  a->SetParameterValue(TDSPPluginX::kParamBypass, 1.0f);
  a->ParameterChanged(TDSPPluginX::kParamBypass);
  b->RenderStep();
  ExpectBlock(*a, 0.0f, "a muted source");
  ExpectBlock(*b, 0.5f, "only the target's own voice");
}

TEST_F(EngineTest, NrpnValuesSetTheGainsOfTheInputPinList) {
  auto a = MakeEngine();
  auto c = MakeEngine();
  auto b = MakeEngine();
  a->Hold(60);
  c->Hold(62);
  ASSERT_EQ(b->ConnectInput(0, a.get(), 0, 1.0f), 0);
  ASSERT_EQ(b->ConnectInput(0, c.get(), 0, 1.0f), 0);
  ASSERT_EQ(b->InputPinCount(), 2);
  // NRPN number 1, value 4096: pin 1 (engine c) gets 4096 / 8191.
  SendNrpn(*b, 1, 4096);
  const std::vector<TEngineConnectionRec> ins = b->InputConnections(0);
  ASSERT_EQ(ins.size(), 2u);
  EXPECT_EQ(ins[0].Gain, 1.0f) << "pin 0 untouched";
  EXPECT_FLOAT_EQ(ins[1].Gain, 4096.0f / 8191.0f);
  EXPECT_EQ(TTestHost::IoChangedCount, 1) << "a changed gain tells the host, after the lock";
  b->RenderStep();
  ExpectBlock(*b, 0.5f + 0.5f * 4096.0f / 8191.0f, "a at 1, c at 4096/8191");
  // A number beyond the list changes nothing and tells nobody.
  b->HandleMidi({21, 2, 8191, 0});
  EXPECT_EQ(b->InputConnections(0)[1].Gain, ins[1].Gain);
  b->HandleMidi({21, 0, 0, 0});
  EXPECT_EQ(b->InputConnections(0)[0].Gain, 0.0f);
}

// NRPN numbers from the pin list's length on address no connection: every
// gain stays and the host hears of no change. The list is rebuilt in place
// when a connection goes, so the entry one past its end may still name the
// connection that went (and one past the end of the connections).
TEST_F(EngineTest, NrpnNumbersPastThePinListChangeNothing) {
  struct TCase {
    const char* What;
    int Connected;
    bool DropLast;  // then disconnect the last of them
  };
  const TCase cases[] = {
      {"two connections", 2, false},
      {"three connections, one of them gone", 3, true},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.What);
    TTestHost::Reset();
    auto target = MakeEngine();
    std::vector<std::unique_ptr<TEngine>> sources;
    for (int k = 0; k < c.Connected; ++k) {
      sources.push_back(MakeEngine());
      ASSERT_EQ(target->ConnectInput(0, sources.back().get(), 0, 1.0f), 0);
    }
    if (c.DropLast) {
      ASSERT_EQ(target->DisconnectInput(0, sources.back().get(), 0), 0);
    }
    const std::int32_t pins = target->InputPinCount();
    ASSERT_EQ(pins, 2);
    for (const std::int32_t number : {pins, pins + 1, 16383}) {
      SendNrpn(*target, number, 0);
      for (const TEngineConnectionRec& r : target->InputConnections(0)) EXPECT_EQ(r.Gain, 1.0f) << number;
      EXPECT_EQ(TTestHost::IoChangedCount, 0) << number;
    }
  }
}

TEST_F(EngineTest, ConnectAndDisconnectAnswerAndChangeBothSides) {
  auto a = MakeEngine();
  auto b = MakeEngine();
  EXPECT_FALSE(a->IsEngineMode());
  EXPECT_EQ(a->ConnectOutput(1, b.get(), 0, 1.0f), TDSPPluginX::kNoSuchConnection) << "a has one output channel";
  EXPECT_EQ(a->ConnectOutput(0, b.get(), 1, 1.0f), TDSPPluginX::kNoSuchConnection) << "b has one input channel";
  EXPECT_EQ(a->ConnectOutput(0, nullptr, 0, 1.0f), TDSPPluginX::kNoSuchConnection);
  EXPECT_FALSE(b->IsEngineMode());

  ASSERT_EQ(a->ConnectOutput(0, b.get(), 0, 0.5f), 0);
  EXPECT_TRUE(a->IsEngineMode());
  EXPECT_TRUE(b->IsEngineMode());
  EXPECT_EQ(b->FindInputConnection(0, a.get(), 0), 0);
  EXPECT_EQ(b->FindInputConnection(0, b.get(), 0), -1);
  const std::vector<TEngineConnectionRec> out = a->OutputConnections(0);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].Engine, b.get());
  EXPECT_EQ(out[0].Gain, 0.5f);
  // The same pair again only sets the gain; a non-finite gain counts as 1.
  ASSERT_EQ(b->ConnectInput(0, a.get(), 0, INFINITY), 0);
  ASSERT_EQ(b->InputConnections(0).size(), 1u);
  EXPECT_EQ(a->OutputConnections(0)[0].Gain, 1.0f);

  // Disconnecting what is not connected answers 11000 and changes nothing.
  auto c = MakeEngine();
  EXPECT_EQ(b->DisconnectInput(0, c.get(), 0), TDSPPluginX::kNoSuchConnection);
  EXPECT_EQ(c->DisconnectOutput(0, b.get(), 0), TDSPPluginX::kNoSuchConnection);
  EXPECT_EQ(b->DisconnectInput(3, a.get(), 0), TDSPPluginX::kNoSuchConnection);
  EXPECT_EQ(b->InputConnections(0).size(), 1u);
  EXPECT_EQ(a->OutputConnections(0).size(), 1u);
  // From either side, both records go.
  EXPECT_EQ(a->DisconnectOutput(0, b.get(), 0), 0);
  EXPECT_TRUE(b->InputConnections(0).empty());
  EXPECT_TRUE(a->OutputConnections(0).empty());
  EXPECT_EQ(b->InputPinCount(), 0);
  EXPECT_EQ(a->DisconnectOutput(0, b.get(), 0), TDSPPluginX::kNoSuchConnection);

  // DisconnectAll clears every connection of both directions at every peer.
  a->ConnectOutput(0, b.get(), 0, 1.0f);
  a->ConnectOutput(0, c.get(), 0, 1.0f);
  c->ConnectOutput(0, a.get(), 0, 1.0f);
  a->DisconnectAll();
  EXPECT_FALSE(a->IsEngineMode());
  EXPECT_FALSE(b->IsEngineMode());
  EXPECT_FALSE(c->IsEngineMode());
}

TEST_F(EngineTest, ADestroyedEngineLeavesNoRecordAtItsPeers) {
  auto a = MakeEngine();
  auto b = MakeEngine();
  auto c = MakeEngine();
  a->Hold(60);
  a->ConnectOutput(0, b.get(), 0, 1.0f);
  b->ConnectOutput(0, a.get(), 0, 1.0f);
  c->ConnectOutput(0, a.get(), 0, 1.0f);
  a.reset();
  EXPECT_TRUE(b->InputConnections(0).empty());
  EXPECT_TRUE(b->OutputConnections(0).empty());
  EXPECT_TRUE(c->OutputConnections(0).empty());
  b->RenderStep();
  ExpectBlock(*b, 0.0f, "nothing left to pull");
  // The host's close request: the engine leaves before it is destroyed.
  TEngine* d = MakeEngine().release();
  d->ConnectOutput(0, b.get(), 0, 1.0f);
  ASSERT_EQ(b->InputConnections(0).size(), 1u);
  TVstEffect* e = d->GetEffect();
  Dispatch(e, kEffClose);
  EXPECT_TRUE(b->InputConnections(0).empty());
}

TEST_F(EngineTest, AFannedOutSourceRendersOncePerBlockForAllItsActiveOutputs) {
  auto a = MakeEngine();
  auto b = MakeEngine();
  auto c = MakeEngine();
  a->Hold(60);
  a->ConnectOutput(0, b.get(), 0, 1.0f);
  a->ConnectOutput(0, c.get(), 0, 0.5f);
  const std::int64_t start = a->RenderedBlocks;
  for (int block = 0; block < 10; ++block) {
    b->RenderStep();
    c->RenderStep();
  }
  EXPECT_EQ(a->RenderedBlocks - start, 10);
  ExpectBlock(*c, 0.25f, "each consumer mixes the same block with its own gain");
  // An inactive consumer (mute parameter) no longer pulls, and the source's
  // period follows: still one block per block.
  c->SetParameterValue(TDSPPluginX::kParamMute, 1.0f);
  c->ParameterChanged(TDSPPluginX::kParamMute);
  EXPECT_EQ(a->CountActiveOutputs(), 1);
  const std::int64_t before = a->RenderedBlocks;
  for (int block = 0; block < 10; ++block) {
    b->RenderStep();
    c->RenderStep();
  }
  EXPECT_EQ(a->RenderedBlocks - before, 10);
  ExpectBlock(*c, 0.0f, "an inactive engine's block");
  // The unconditional step renders at every call.
  const std::int64_t direct = a->RenderedBlocks;
  a->RenderStepUnconditional();
  a->RenderStepUnconditional();
  EXPECT_EQ(a->RenderedBlocks - direct, 2);
}

TEST_F(EngineTest, AConnectionCycleRendersEachEngineOncePerBlockAndHearsThePreviousBlock) {
  auto a = MakeEngine();
  auto b = MakeEngine();
  a->Hold(60);
  a->ConnectOutput(0, b.get(), 0, 0.5f);
  b->ConnectOutput(0, a.get(), 0, 0.5f);
  auto self = MakeEngine();
  self->Hold(60);
  self->ConnectOutput(0, self.get(), 0, 0.5f);
  for (int block = 1; block <= 20; ++block) {
    const std::int64_t a0 = a->RenderedBlocks, b0 = b->RenderedBlocks, s0 = self->RenderedBlocks;
    b->RenderStep();
    self->RenderStep();
    ASSERT_EQ(a->RenderedBlocks - a0, 1) << block;
    ASSERT_EQ(b->RenderedBlocks - b0, 1) << block;
    ASSERT_EQ(self->RenderedBlocks - s0, 1) << block;
  }
  // a(n) = 0.5 + 0.5 b(n-1), b(n) = 0.5 a(n): converges to a = 2/3; the
  // self-feeding engine s(n) = 0.5 + 0.5 s(n-1) to 1.
  EXPECT_NEAR(a->Block()[0], 2.0f / 3.0f, 1e-4f);
  EXPECT_NEAR(b->Block()[0], 1.0f / 3.0f, 1e-4f);
  EXPECT_NEAR(self->Block()[0], 1.0f, 1e-4f);
}

TEST_F(EngineTest, ConnectionsExportAsTwentyByteRecordsAndImportOnlyWhenEveryRecordIsGood) {
  auto a = MakeEngine();
  auto c = MakeEngine();
  auto b = MakeEngine();
  a->EngineId = 701;
  c->EngineId = 702;
  b->ConnectInput(0, a.get(), 0, 0.5f);
  b->ConnectInput(0, c.get(), 0, 2.0f);
  TMemoryStream stream;
  ASSERT_EQ(b->ExportConnections(stream), 2 * TDSPPluginX::kConnectionRecordBytes);
  std::int32_t f[10];
  std::memcpy(f, stream.Memory(), sizeof f);
  const std::int32_t expected[10] = {0, 0, 65534, 701, 4096, 0, 0, 65534, 702, 16382};
  for (int i = 0; i < 10; ++i) EXPECT_EQ(f[i], expected[i]) << i;

  std::map<std::int32_t, TDSPPluginX*> engines{{701, a.get()}, {702, c.get()}};
  auto resolve = [&engines](std::int32_t id) -> TDSPPluginX* {
    auto it = engines.find(id);
    return it == engines.end() ? nullptr : it->second;
  };
  auto d = MakeEngine();
  auto other = MakeEngine();
  d->ConnectInput(0, other.get(), 0, 1.0f);
  std::string error;
  // Damaged copies change nothing: a wrong marker, an unknown engine, a cut.
  for (int damage = 0; damage < 3; ++damage) {
    TMemoryStream bad(stream.Bytes());
    std::int32_t v = damage == 0 ? 12 : 999;
    if (damage < 2) std::memcpy(bad.Memory() + 20 + (damage == 0 ? 8 : 12), &v, 4);
    if (damage == 2) bad.SetSize(39);
    bad.SetPosition(0);
    error.clear();
    EXPECT_FALSE(d->ImportConnections(bad, 2, resolve, error)) << damage;
    EXPECT_FALSE(error.empty()) << damage;
    ASSERT_EQ(d->InputConnections(0).size(), 1u) << damage;
    EXPECT_EQ(d->InputConnections(0)[0].Engine, other.get()) << damage;
    EXPECT_TRUE(other->IsEngineMode());
  }
  stream.SetPosition(0);
  ASSERT_TRUE(d->ImportConnections(stream, 2, resolve, error)) << error;
  const std::vector<TEngineConnectionRec> ins = d->InputConnections(0);
  ASSERT_EQ(ins.size(), 2u);
  EXPECT_EQ(ins[0].Engine, a.get());
  EXPECT_FLOAT_EQ(ins[0].Gain, 4096.0f / 8191.0f);
  EXPECT_EQ(ins[1].Engine, c.get());
  EXPECT_FLOAT_EQ(ins[1].Gain, 2.0f);
  EXPECT_FALSE(other->IsEngineMode()) << "the replaced connection left both sides";
  EXPECT_EQ(a->FindOutputConnection(0, d.get(), 0), 1);
}

namespace {
std::uint64_t gClock = 0;
std::uint64_t gClockStep = 0;
std::uint64_t TestClock() { return gClock += gClockStep; }
}  // namespace

TEST_F(EngineTest, TheCpuMeterCountsOverloadsOnEngineStepsAndResetsTheEnginePastTheLimit) {
  TEngine fresh;
  EXPECT_EQ(fresh.GetOverloadLimit(), TDSPPluginX::kOverloadLimitAtConstruction);
  auto a = MakeEngine();
  EXPECT_EQ(a->GetOverloadLimit(), TDSPPluginX::kOverloadLimit);
  a->SetTimeStampClock(&TestClock);
  a->SetCpuTicksPerMs(1000.0);
  // 44 samples at 44100 Hz: 0.9977 ms.
  EXPECT_EQ(a->GetCpuBudget(), 997u);
  gClockStep = 998;  // every measured block one tick over
  for (int k = 0; k < 100; ++k) a->RenderStep();
  EXPECT_EQ(a->GetLastCpuTicks(), 998u);
  EXPECT_EQ(a->GetOverloadCount(), 100);
  EXPECT_EQ(a->Resets, 0);
  gClockStep = 10;  // within budget: the count falls back
  for (int k = 0; k < 30; ++k) a->RenderStep();
  EXPECT_EQ(a->GetOverloadCount(), 70);
  gClockStep = 5000;
  {
    testing_support::TAudioThreadGuard audio("overload handling");
    for (int k = 0; k < 31; ++k) a->RenderStep();
  }
  EXPECT_EQ(a->Resets, 1) << "past the limit of 100";
  EXPECT_EQ(a->GetOverloadCount(), 0);
  gClockStep = 1;
  for (int k = 0; k < 200; ++k) a->RenderStep();
  EXPECT_EQ(a->GetOverloadCount(), 0) << "never below 0";
  // The budget follows the audio settings.
  Dispatch(a->GetEffect(), kEffSetSampleRate, 0, 0, nullptr, 48000.0f);
  EXPECT_EQ(a->GetCpuBudget(), 1000u);
  // The host's process path is never metered, however long it takes.
  gClockStep = 1000000;
  const std::uint64_t last = a->GetLastCpuTicks();
  TVstEffect* e = a->GetEffect();
  TStereoBuffers out(512);
  for (int k = 0; k < 300; ++k) e->processReplacing(e, nullptr, out.Pointers, 512);
  EXPECT_EQ(a->GetOverloadCount(), 0);
  EXPECT_EQ(a->Resets, 1);
  EXPECT_EQ(a->GetLastCpuTicks(), last);
}

TEST_F(EngineTest, EngineStepsAllocateNothingOnceConnected) {
  auto a = MakeEngine();
  auto b = MakeEngine();
  a->Hold(60);
  a->ConnectOutput(0, b.get(), 0, 1.0f);
  b->ConnectOutput(0, a.get(), 0, 0.1f);
  b->RenderStep();
  testing_support::TAudioThreadGuard audio("engine render steps");
  for (int k = 0; k < 50; ++k) b->RenderStep();
  // The mute parameter recounts the connections on the audio thread.
  a->SetParameterValue(TDSPPluginX::kParamMute, 1.0f);
  a->ParameterChanged(TDSPPluginX::kParamMute);
  a->SetParameterValue(TDSPPluginX::kParamMute, 0.0f);
  a->ParameterChanged(TDSPPluginX::kParamMute);
  EXPECT_EQ(audio.Allocations(), 0u);
}

TEST_F(EngineTest, OutputLevelsAreTheMeanMagnitudesOfTheLastEngineBlock) {
  auto a = MakeEngine();
  float left = 9, right = 9;
  a->GetOutputLevels(left, right);
  EXPECT_EQ(left, 0.0f);
  EXPECT_EQ(right, 0.0f) << "no render step yet";
  a->Hold(60);
  a->Hold(64);
  a->SetParameterValue(TDSPPluginX::kParamPan, 0.0f);  // hard left
  a->ParameterChanged(TDSPPluginX::kParamPan);
  for (int k = 0; k < 10; ++k) a->RenderStep();  // past the 4 ms pan ramp
  a->GetOutputLevels(left, right);
  EXPECT_NEAR(left, 2.0f, 1e-6f);
  EXPECT_NEAR(right, 0.0f, 1e-6f);
  // An inactive engine reports nothing.
  a->SetParameterValue(TDSPPluginX::kParamMute, 1.0f);
  a->ParameterChanged(TDSPPluginX::kParamMute);
  a->GetOutputLevels(left, right);
  EXPECT_EQ(left, 0.0f);
}

TEST_F(EngineTest, TheNameTableFindsRecordsByTheirShortStringName) {
  TEngine e;
  e.AllocNameTable(4);
  e.AddName("Left");
  e.AddName("Right");
  e.AddName(std::string(300, 'x'));
  TDSPPluginX::TNameTableRec rec;
  ASSERT_TRUE(e.FindRecordByName("Right", rec));
  EXPECT_EQ(rec.Index, 1);
  EXPECT_EQ(rec.Name, "Right");
  EXPECT_FALSE(e.FindRecordByName("right", rec)) << "names compare exactly";
  ASSERT_TRUE(e.FindRecordByName(std::string(400, 'x'), rec)) << "both sides cut to a short string";
  EXPECT_EQ(rec.Index, 2);
  e.AllocNameTable(0);
  EXPECT_FALSE(e.FindRecordByName("Left", rec));
}

// One thread drives the engine graph, one changes its connections and gains,
// and the host's audio thread processes one of the engines: no order of these
// may deadlock, and every block stays finite.
TEST_F(EngineTest, StressConnectionsChangeWhileEnginesRenderAndTheHostProcesses) {
  auto a = MakeEngine();
  auto b = MakeEngine();
  auto c = MakeEngine();
  a->Hold(60);
  c->Hold(62);
  std::atomic<bool> stop{false};
  std::atomic<int> steps{0};
  std::atomic<bool> finite{true};
  std::thread driver([&] {
    while (!stop.load()) {
      b->RenderStep();
      for (std::int32_t i = 0; i < b->Settings->StereoLength; ++i)
        if (!std::isfinite(b->Block()[i])) finite = false;
      steps.fetch_add(1);
    }
  });
  TRenderThread host(a->GetEffect(), 256, [](int, TEventList&) {});
  for (int k = 0; k < 400 || steps.load() < 400 || host.Blocks() < 50; ++k) {
    a->ConnectOutput(0, b.get(), 0, 0.5f);
    c->ConnectOutput(0, b.get(), 0, 0.25f);
    b->ConnectOutput(0, c.get(), 0, 0.1f);
    TVstEffect* e = a->GetEffect();
    e->setParameter(e, TDSPPluginX::kParamMute, (k & 1) != 0 ? 1.0f : 0.0f);
    if ((k & 3) == 0) c->DisconnectAll();
    else a->DisconnectOutput(0, b.get(), 0);
  }
  stop = true;
  driver.join();
  host.Stop();
  EXPECT_TRUE(finite.load());
  EXPECT_TRUE(host.AllFinite());
}
