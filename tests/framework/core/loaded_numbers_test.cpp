// Numbers read from stored input that name something of the instrument: the
// connection records an engine imports (their count, channel, pin and
// engine), the program a host chunk or a state reopens on and the size a
// caller gives with a chunk. One past the last is refused like one far
// away, and a refusal changes nothing, not even the stream's position.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "framework/base/streams.h"
#include "tests/framework/core/chunk_test_plugin.h"
#include "tests/framework/core/plugin_test_support.h"

namespace {

using namespace plugin_test;
using namespace chunk_test;
using TBytes = std::vector<std::uint8_t>;

struct LoadedNumbers : ::testing::Test {
  void SetUp() override { TTestHost::Reset(); }
};

std::unique_ptr<TSineTestPlugin> MakeEngine() {
  auto e = MakePlugin<TSineTestPlugin>();
  e->SetNumInputs(2);
  return e;
}

void WriteRecord(TStream& s, std::int32_t channel, std::int32_t pin, std::int32_t engine, std::int32_t gain = 8191) {
  for (std::int32_t v : {channel, pin, TDSPPluginX::kConnectionMarker, engine, gain}) WriteInt32(s, v);
}

// The first value of 0, 1, 2, ... that connect refuses: one past the last.
template <typename Connect>
std::int32_t FirstRefused(Connect connect) {
  std::int32_t k = 0;
  while (connect(k) == 0) ++k;
  return k;
}

TEST_F(LoadedNumbers, ConnectionRecordsAreImportedOnlyWhenCountChannelAndPinAreInRange) {
  auto source = MakeEngine();
  auto target = MakeEngine();
  auto other = MakeEngine();
  source->EngineId = 801;
  const std::int32_t pins =
      FirstRefused([&](std::int32_t pin) { return other->ConnectInput(0, source.get(), pin, 1); });
  const std::int32_t channels =
      FirstRefused([&](std::int32_t channel) { return other->ConnectInput(channel, source.get(), 0, 1); });
  ASSERT_GT(pins, 0);
  ASSERT_GT(channels, 0);
  other->DisconnectInputs();
  target->ConnectInput(0, other.get(), 0, 1.0f);
  const TDSPPluginX::TEngineResolver resolve = [&](std::int32_t id) -> TDSPPluginX* {
    return id == 801 ? source.get() : nullptr;
  };

  struct TCase {
    const char* What;
    std::int32_t Count, Channel, Pin;
  };
  const TCase refused[] = {
      {"a count of -1", -1, 0, 0},
      {"a count one beyond the records", 2, 0, 0},
      {"the pin one past the source's last output", 1, 0, pins},
      {"the channel one past the last input", 1, channels, 0},
      {"a negative pin", 1, 0, -1},
  };
  for (const TCase& c : refused) {
    TMemoryStream s;
    WriteRecord(s, c.Channel, c.Pin, 801);
    s.SetPosition(0);
    std::string error;
    EXPECT_FALSE(target->ImportConnections(s, c.Count, resolve, error)) << c.What;
    EXPECT_FALSE(error.empty()) << c.What;
    EXPECT_EQ(s.Position(), 0) << c.What << ": the stream is where it was";
    const std::vector<TEngineConnectionRec> ins = target->InputConnections(0);
    ASSERT_EQ(ins.size(), 1u) << c.What;
    EXPECT_EQ(ins[0].Engine, other.get()) << c.What;
  }
  // The last pin and channel, with the records filling the stream exactly.
  TMemoryStream s;
  WriteRecord(s, 0, pins - 1, 801);
  WriteRecord(s, channels - 1, 0, 801, 4096);
  s.SetPosition(0);
  std::string error;
  ASSERT_TRUE(target->ImportConnections(s, 2, resolve, error)) << error;
  EXPECT_EQ(s.Position(), s.Size());
  ASSERT_EQ(target->InputConnections(0).size(), 1u);
  EXPECT_EQ(target->InputConnections(0)[0].Engine, source.get());
  EXPECT_EQ(target->InputConnections(0)[0].Pin, pins - 1);
  ASSERT_EQ(target->InputConnections(channels - 1).size(), 1u);
  EXPECT_FLOAT_EQ(target->InputConnections(channels - 1)[0].Gain, 4096.0f / 8191.0f);
}

// The chunk's current program, the state's program: the last program is
// taken, the program count and -1 are not.
TEST_F(LoadedNumbers, AChunkOrStateReopensOnlyOnAProgramThatExists) {
  auto a = MakePlugin<TChunkTestPlugin>();
  const std::int32_t count = a->GetProgramCount();
  TErrorCapture errors;
  for (std::int32_t number : {count - 1, count, -1}) {
    a->SelectProgram(number == count - 1 ? 0 : 1);
    TBytes chunk = a->ChunkBytes();
    chunk[chunk.size() - 2] = static_cast<std::uint8_t>(number & 0xFF);
    chunk[chunk.size() - 1] = static_cast<std::uint8_t>((number >> 8) & 0xFF);
    auto b = MakePlugin<TChunkTestPlugin>();
    b->SelectProgram(5);
    TMemoryStream s(chunk);
    ASSERT_TRUE(b->LoadChunk(s, static_cast<std::int64_t>(chunk.size()), false)) << number;
    EXPECT_EQ(b->CurrentProgram(), number == count - 1 ? number : 5) << "chunk, program " << number;

    TMemoryStream state;
    a->SaveState(state);
    TBytes bytes(state.Bytes().begin(), state.Bytes().end());
    bytes[10] = static_cast<std::uint8_t>(number & 0xFF);
    bytes[11] = static_cast<std::uint8_t>((number >> 8) & 0xFF);
    b->SelectProgram(5);
    TMemoryStream in(bytes);
    ASSERT_TRUE(b->LoadState(in)) << number;
    EXPECT_EQ(b->CurrentProgram(), number == count - 1 ? number : 5) << "state, program " << number;
  }
  EXPECT_TRUE(errors.Reported().empty());
}

// A caller's size beyond the bytes it hands over is refused; the exact size
// is taken.
TEST_F(LoadedNumbers, AChunkIsTakenAtItsExactSizeAndRefusedWhenTheSizeClaimsMore) {
  auto a = MakePlugin<TChunkTestPlugin>();
  a->SetParameterValue(12, 0.75f);
  const TBytes chunk = a->ChunkBytes();
  auto b = MakePlugin<TChunkTestPlugin>();
  const TBytes before = b->ChunkBytes();
  TErrorCapture errors;
  for (std::int64_t extra : {1, 1000}) {
    TMemoryStream s(chunk);
    EXPECT_FALSE(b->LoadChunk(s, static_cast<std::int64_t>(chunk.size()) + extra, false)) << extra;
    EXPECT_EQ(s.Position(), 0) << extra;
  }
  EXPECT_EQ(b->ChunkBytes(), before);
  EXPECT_EQ(errors.Reported().size(), 2u);
  TMemoryStream s(chunk);
  ASSERT_TRUE(b->LoadChunk(s, static_cast<std::int64_t>(chunk.size()), false));
  EXPECT_EQ(s.Position(), static_cast<std::int64_t>(chunk.size()));
  EXPECT_EQ(b->ChunkBytes(), chunk);
}

// Sub-preset indexes as the editor's menus give them: the last one is
// written and applied, one past it writes and changes nothing.
TEST_F(LoadedNumbers, ASubPresetIndexOnePastTheLastWritesAndAppliesNothing) {
  auto p = MakePlugin<TChunkTestPlugin>();
  p->SetParameterValue(15, 0.25f);
  ASSERT_EQ(p->StoreSubPresetAs(TChunkTestPlugin::kReverb, "First"), 0);
  p->SetParameterValue(15, 0.75f);
  ASSERT_EQ(p->StoreSubPresetAs(TChunkTestPlugin::kReverb, "Last"), 1);
  p->SetParameterValue(15, 0.5f);
  for (std::int32_t index : {2, -1}) {
    TMemoryStream s;
    EXPECT_EQ(p->WriteSubPresetItem(s, TChunkTestPlugin::kReverb, index), 0) << index;
    EXPECT_EQ(s.Size(), 0) << index;
    p->ApplySubPreset(TChunkTestPlugin::kReverb, index);
    EXPECT_EQ(p->GetParameterValue(15), 0.5f) << index;
  }
  TMemoryStream s;
  EXPECT_GT(p->WriteSubPresetItem(s, TChunkTestPlugin::kReverb, 1), 0);
  p->ApplySubPreset(TChunkTestPlugin::kReverb, 1);
  EXPECT_EQ(p->GetParameterValue(15), 0.75f);
}

}  // namespace
