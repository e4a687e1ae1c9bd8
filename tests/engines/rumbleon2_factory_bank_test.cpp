// The factory bank the build writes from resources/presets (the module's
// FACTORYBANKFXB): read from the build's output file and loaded into the
// finished instrument as the module loads it at set-up.
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "engines/rumbleon2.h"
#include "framework/base/streams.h"
#include "framework/core/bank_format.h"
#include "tests/engines/sampler_test_plugin.h"
#include "tests/framework/core/plugin_test_support.h"
#include "tests/support/test_support.h"

namespace {

using TBytes = std::vector<std::uint8_t>;

constexpr std::int32_t kPrograms = 128;
constexpr std::int32_t kParams = 664;
// The ten base parameters every program holds alike: unity volume, centre
// pan, active (mute off), solo (always reads 1), not bypassed, five reserved.
constexpr float kBaseValues[10] = {0.5f, 0.5f, 0.0f, 1.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f, 0.0f};
// The program that holds every parameter at its default (the tests that play
// "the defaults" through the module select it).
constexpr std::int32_t kInitProgram = 127;
// RvbIdx .. EqIdx: the effects' places in the rack's chain.
constexpr std::int32_t kFirstOrderParam = 377;
constexpr std::int32_t kLastOrderParam = 383;

using sampler_test::FactoryBank;

std::int32_t BigEndian32(const TBytes& b, std::size_t at) {
  return static_cast<std::int32_t>((std::uint32_t{b[at]} << 24) | (std::uint32_t{b[at + 1]} << 16) |
                                   (std::uint32_t{b[at + 2]} << 8) | b[at + 3]);
}

std::string Text(const TBytes& b, std::size_t at, std::size_t n) {
  return std::string(reinterpret_cast<const char*>(b.data() + at), n);
}

struct FactoryBankTest : ::testing::Test {
  void SetUp() override {
    ASSERT_GT(FactoryBank().size(), 164u) << "the build writes resources/factorybank.fxb";
    Plugin = plugin_test::MakePlugin<TRumbleon2>();
    TMemoryStream s(FactoryBank());
    ASSERT_TRUE(Plugin->LoadBankFromStream(s));
    ASSERT_EQ(s.Position(), s.Size());
  }
  std::unique_ptr<TRumbleon2> Plugin;
};

TEST_F(FactoryBankTest, IsAChunkBankThatTheInstrumentsWriterReproduces) {
  const TBytes& b = FactoryBank();
  EXPECT_EQ(Text(b, 0, 4), "CcnK");
  EXPECT_EQ(BigEndian32(b, 4), static_cast<std::int32_t>(b.size())) << "byte size = file length";
  EXPECT_EQ(Text(b, 8, 4), "FBCh");
  EXPECT_EQ(BigEndian32(b, 12), 1);
  EXPECT_EQ(Text(b, 16, 4), "Zorp");
  EXPECT_EQ(BigEndian32(b, 20), 1100);
  EXPECT_EQ(BigEndian32(b, 24), kPrograms);
  EXPECT_EQ(BigEndian32(b, 156), static_cast<std::int32_t>(b.size()) - 164);
  EXPECT_EQ(Text(b, 164, 5), "DcHnK");

  TMemoryStream written;
  Plugin->SaveBankToStream(written);
  EXPECT_TRUE(TBytes(written.Bytes().begin(), written.Bytes().end()) == FactoryBank())
      << "loading and saving gives the file again";
}

TEST_F(FactoryBankTest, EveryProgramIsNamedAndHoldsTheBaseValuesAlike) {
  TBankImage image;
  std::string error;
  TMemoryStream s(FactoryBank());
  ASSERT_TRUE(Plugin->ParseBank(s, image, error)) << error;
  ASSERT_EQ(image.Chunk.Programs.size(), static_cast<std::size_t>(kPrograms));
  std::set<std::string> names;
  for (std::int32_t i = 0; i < kPrograms; ++i) {
    SCOPED_TRACE("program " + std::to_string(i));
    const TProgramImage& p = image.Chunk.Programs[static_cast<std::size_t>(i)];
    EXPECT_FALSE(p.Name.empty());
    EXPECT_LE(p.Name.size(), 24u) << "fits a host's program name field";
    EXPECT_TRUE(names.insert(p.Name).second) << p.Name << " twice";
    EXPECT_EQ(Plugin->GetProgramNameAt(i), p.Name);
    ASSERT_EQ(p.Values.size(), static_cast<std::size_t>(kParams));
    for (std::int32_t k = 0; k < 10; ++k) EXPECT_EQ(p.Values[static_cast<std::size_t>(k)], kBaseValues[k]) << k;
  }
  // Loading leaves the instrument active, audible and centred.
  EXPECT_EQ(Plugin->GetParameterValue(0), 0.5f);
  EXPECT_EQ(Plugin->GetParameterValue(1), 0.5f);
  EXPECT_TRUE(Plugin->IsActive());
  EXPECT_FALSE(Plugin->IsMuted());
}

TEST_F(FactoryBankTest, TheLastProgramIsTheInstrumentsDefaults) {
  ASSERT_EQ(Plugin->GetProgramNameAt(kInitProgram), "Init");
  const std::vector<float>& values = Plugin->Programs[kInitProgram].Values;
  for (std::int32_t id = 10; id < kParams; ++id) {
    // The rack's order parameters hold the chain they form: applying the
    // default order values swaps effects and rewrites two of them.
    if (id >= kFirstOrderParam && id <= kLastOrderParam) continue;
    EXPECT_EQ(values[static_cast<std::size_t>(id)], Plugin->ParamInfo[static_cast<std::size_t>(id)].DefaultValue) << id;
  }
  // The others are designed: none of them is the defaults.
  for (std::int32_t i = 0; i < kInitProgram; ++i)
    EXPECT_NE(Plugin->Programs[static_cast<std::size_t>(i)].Values, values) << i;
}

TEST_F(FactoryBankTest, EverySubPresetGroupHasSubPresetsOfItsOwn) {
  ASSERT_EQ(Plugin->SubPresetGroupCount(), 10);
  std::int32_t total = 0;
  for (const std::int32_t id : {10, 11, 12, 13, 14, 15, 16, 17, 40, 41}) {
    const TSubPresetGroupRec* group = Plugin->FindSubPresetGroup(id);
    ASSERT_NE(group, nullptr) << id;
    SCOPED_TRACE(group->Name);
    EXPECT_GE(group->SubPresets.size(), 3u);
    std::set<std::string> names;
    for (std::size_t i = 0; i < group->SubPresets.size(); ++i) {
      const TSubPresetRec& sub = group->SubPresets[i];
      EXPECT_FALSE(sub.Name.empty());
      EXPECT_TRUE(names.insert(sub.Name).second) << sub.Name << " twice";
      ASSERT_EQ(sub.Values.size(), group->Params.size());
      // Applying one sets the group's parameters to it.
      Plugin->ApplySubPreset(id, static_cast<std::int32_t>(i));
      for (std::size_t k = 0; k < group->Params.size(); ++k)
        ASSERT_EQ(Plugin->GetParameterValue(group->Params[k]), sub.Values[k]) << sub.Name << " " << k;
    }
    total += static_cast<std::int32_t>(group->SubPresets.size());
  }
  // A pattern is stored for both sequencers alike.
  const TSubPresetGroupRec& seq1 = *Plugin->FindSubPresetGroup(40);
  const TSubPresetGroupRec& seq2 = *Plugin->FindSubPresetGroup(41);
  ASSERT_EQ(seq1.SubPresets.size(), seq2.SubPresets.size());
  for (std::size_t i = 0; i < seq1.SubPresets.size(); ++i) {
    EXPECT_EQ(seq1.SubPresets[i].Name, seq2.SubPresets[i].Name);
    EXPECT_EQ(seq1.SubPresets[i].Values, seq2.SubPresets[i].Values);
  }
  std::printf("factory bank: %zu bytes, %d sub-presets\n", FactoryBank().size(), total);
}

}  // namespace
