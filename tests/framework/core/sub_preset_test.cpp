// Sub-presets: storing and applying, their records, the ".spf" and ".spi"
// files, the block in the host chunk, and input that must be refused.
#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "framework/core/sub_preset_format.h"
#include "tests/framework/core/chunk_test_plugin.h"
#include "tests/support/test_support.h"

namespace {

using namespace plugin_test;
using namespace chunk_test;
using TBytes = std::vector<std::uint8_t>;
using P = TChunkTestPlugin;

TBytes BytesOf(const TMemoryStream& s) { return {s.Bytes().begin(), s.Bytes().end()}; }

std::string ScratchFile(const std::string& name) { return testing_support::ScratchDir() + "/" + name; }

void WriteFile(const std::string& path, const TBytes& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

TBytes ItemRecord(std::int32_t groupId, std::string_view name, const std::vector<float>& values) {
  TMemoryStream s;
  WriteSubPresetItemRecord(s, groupId, TSubPresetRec{std::string(name), values});
  return BytesOf(s);
}

TBytes GroupRecord(std::int32_t groupId, const std::vector<TSubPresetRec>& items) {
  TSubPresetGroupRec group;
  group.Id = groupId;
  group.SubPresets = items;
  TMemoryStream s;
  WriteSubPresetGroupRecord(s, group);
  return BytesOf(s);
}

struct SubPresetTest : ::testing::Test {
  void SetUp() override {
    TTestHost::Reset();
    Plugin = MakePlugin<P>();
  }
  const std::vector<TSubPresetRec>& List(std::int32_t group) { return Plugin->FindSubPresetGroup(group)->SubPresets; }
  void SetValues(std::int32_t lo, const std::vector<float>& values) {
    for (std::size_t k = 0; k < values.size(); ++k)
      Plugin->SetParameterValue(lo + static_cast<std::int32_t>(k), values[k]);
  }
  std::vector<float> Values(std::int32_t lo, std::int32_t hi) {
    std::vector<float> v;
    for (std::int32_t i = lo; i <= hi; ++i) v.push_back(Plugin->GetParameterValue(i));
    return v;
  }
  // Everything the plug-in stores about its sub-presets.
  TBytes AllSubPresets() {
    TMemoryStream s;
    Plugin->WriteSubPresets(s);
    return BytesOf(s);
  }
  std::unique_ptr<P> Plugin;
};

TEST_F(SubPresetTest, GroupsHoldTheirParametersInTheOrderAdded) {
  ASSERT_EQ(Plugin->SubPresetGroupCount(), 4);
  EXPECT_EQ(Plugin->FindSubPresetGroup(P::kReverb)->Params, (std::vector<std::int32_t>{15, 16, 17}));
  EXPECT_EQ(Plugin->FindSubPresetGroup(P::kSeq2)->Name, " SEQUENCER2 ");
  EXPECT_EQ(Plugin->FindSubPresetGroup(99), nullptr);
  Plugin->AddSubPresetToGroup(99, 5);
  EXPECT_EQ(Plugin->SubPresetGroupCount(), 4);
}

TEST_F(SubPresetTest, StoringAndApplyingASubPreset) {
  SetValues(15, {0.1f, 0.2f, 0.3f});
  EXPECT_EQ(Plugin->StoreSubPresetAs(P::kReverb, "  Small Room "), 0);
  SetValues(15, {0.7f, 0.8f, 0.9f});
  EXPECT_EQ(Plugin->StoreSubPresetAs(P::kReverb, "Hall"), 1);
  // A name that differs only in case overwrites the sub-preset.
  SetValues(15, {0.4f, 0.5f, 0.6f});
  EXPECT_EQ(Plugin->StoreSubPresetAs(P::kReverb, "SMALL ROOM"), 0);
  ASSERT_EQ(List(P::kReverb).size(), 2u);
  EXPECT_EQ(List(P::kReverb)[0].Name, "SMALL ROOM");
  EXPECT_EQ(List(P::kReverb)[0].Values, (std::vector<float>{0.4f, 0.5f, 0.6f}));

  EXPECT_EQ(Plugin->StoreSubPresetAs(P::kReverb, "   "), -1);
  EXPECT_EQ(Plugin->StoreSubPresetAs(99, "x"), -1);
  const std::string longName(50, 'n');
  const std::int32_t longIndex = Plugin->StoreSubPresetAs(P::kReverb, longName);
  EXPECT_EQ(List(P::kReverb)[static_cast<std::size_t>(longIndex)].Name, std::string(36, 'n'));

  Plugin->SetParameterValue(20, 0.33f);
  Plugin->ApplySubPreset(P::kReverb, 1);
  EXPECT_EQ(Values(15, 17), (std::vector<float>{0.7f, 0.8f, 0.9f}));
  EXPECT_EQ(Plugin->GetParameterValue(20), 0.33f) << "only the group's parameters change";
  EXPECT_EQ(Plugin->FindSubPresetGroup(P::kReverb)->CurrentName, "Hall");
  Plugin->ApplySubPreset(P::kReverb, 9);
  Plugin->ApplySubPreset(P::kReverb, -1);
  Plugin->ApplySubPreset(99, 0);
  EXPECT_EQ(Values(15, 17), (std::vector<float>{0.7f, 0.8f, 0.9f}));

  // The name dialog is offered the current name; cancelling stores nothing.
  EXPECT_EQ(Plugin->StoreSubPreset(P::kReverb), -1);
  EXPECT_EQ(Plugin->AskedWith, "Hall");
  Plugin->AnswerName = "hall";
  EXPECT_EQ(Plugin->StoreSubPreset(P::kReverb), 1);
  EXPECT_EQ(List(P::kReverb).size(), 3u);
}

TEST(SubPresetFormat, ARecordIsLaidOutFieldByField) {
  const TBytes b = ItemRecord(41, " Walk ", {0.25f, 1.0f});
  ASSERT_EQ(b.size(), 4u + 2 + 2 + 2 + 1 + 4 + 4 + 8);
  EXPECT_EQ(std::string(b.begin(), b.begin() + 4), "sPsT");
  EXPECT_EQ(b[4], 2);
  EXPECT_EQ(b[6], 41);
  EXPECT_EQ(b[8], 5) << "u16 count = length + 1";
  EXPECT_EQ(b[10], 4) << "length byte";
  EXPECT_EQ(std::string(b.begin() + 11, b.begin() + 15), "Walk");
  EXPECT_EQ(b[15], 2) << "value count";

  const TBytes g = GroupRecord(40, {{"A", {0.5f}}, {"B", {}}});
  EXPECT_EQ(std::string(g.begin(), g.begin() + 4), "SpGp");
  EXPECT_EQ(g[6], 40);
  EXPECT_EQ(g[8], 2);
  EXPECT_EQ(std::string(g.begin() + 12, g.begin() + 16), "sPsT");

  EXPECT_EQ(SubPresetSafeFileName("a?b\\c/d:e*f\"g<h>i|j"), "a_b_c_d_e_f_g_h_i_j");
  EXPECT_TRUE(SubPresetGroupsInterchangeable(" Sequencer1", "SEQUENCER2 "));
  EXPECT_FALSE(SubPresetGroupsInterchangeable("Sequencer1", "Reverb"));
}

TEST_F(SubPresetTest, ASequencerOneBankLoadsIntoSequencerTwo) {
  SetValues(20, {0.1f, 0.2f});
  Plugin->StoreSubPresetAs(P::kSeq1, "Walk");
  SetValues(20, {0.3f, 0.4f});
  Plugin->StoreSubPresetAs(P::kSeq1, "Run");
  const std::string path = ScratchFile("seq1.spf");
  ASSERT_TRUE(Plugin->SaveSubPresetBankFile(P::kSeq1, path));

  Plugin->StoreSubPresetAs(P::kSeq2, "Old");
  ASSERT_TRUE(Plugin->LoadSubPresetBankFile(P::kSeq2, path, false));
  ASSERT_EQ(List(P::kSeq2).size(), 3u) << "without clear the bank is appended";
  ASSERT_TRUE(Plugin->LoadSubPresetBankFile(P::kSeq2, path, true));
  ASSERT_EQ(List(P::kSeq2).size(), 2u);
  EXPECT_EQ(List(P::kSeq2)[1].Name, "Run");
  EXPECT_EQ(List(P::kSeq2)[1].Values, (std::vector<float>{0.3f, 0.4f}));
  Plugin->ApplySubPreset(P::kSeq2, 0);
  EXPECT_EQ(Values(22, 23), (std::vector<float>{0.1f, 0.2f}));
  EXPECT_EQ(List(P::kSeq1).size(), 2u);
}

TEST_F(SubPresetTest, AnotherGroupsFilesAreRefusedWithTheMessageAndChangeNothing) {
  SetValues(18, {0.6f, 0.7f});
  Plugin->StoreSubPresetAs(P::kDistortion, "Fuzz");
  const std::string bankPath = ScratchFile("distortion.spf");
  const std::string itemPath = ScratchFile("fuzz.spi");
  ASSERT_TRUE(Plugin->SaveSubPresetBankFile(P::kDistortion, bankPath));
  ASSERT_TRUE(Plugin->SaveSubPresetFile(P::kDistortion, 0, itemPath));
  Plugin->StoreSubPresetAs(P::kReverb, "Keep");
  SetValues(15, {0.2f, 0.2f, 0.2f});
  const TBytes before = AllSubPresets();

  TErrorCapture errors;
  TErrorCapture::CheckLockFree = true;
  TErrorCapture::Watched = Plugin.get();
  TErrorCapture::LockHeldDuringReport = false;
  EXPECT_FALSE(Plugin->LoadSubPresetBankFile(P::kReverb, bankPath, true));
  EXPECT_EQ(Plugin->LoadSubPresetFile(P::kReverb, itemPath), -1);
  EXPECT_FALSE(Plugin->LoadSubPresetBankFile(P::kSeq1, bankPath, true)) << "only the sequencers swap banks";
  TErrorCapture::CheckLockFree = false;
  ASSERT_EQ(errors.Reported().size(), 3u);
  EXPECT_EQ(errors.Reported()[0], "The sub-preset bank is not for this sub-preset group.");
  EXPECT_EQ(errors.Reported()[1], "That sub-preset file is not for this sub-preset group.");
  EXPECT_FALSE(TErrorCapture::LockHeldDuringReport) << "messages are given without the instance lock";
  EXPECT_EQ(AllSubPresets(), before);
  EXPECT_EQ(Values(15, 17), (std::vector<float>{0.2f, 0.2f, 0.2f}));
}

TEST_F(SubPresetTest, LoadingASubPresetFileStoresItByNameAndAppliesIt) {
  SetValues(15, {0.1f, 0.2f, 0.3f});
  Plugin->StoreSubPresetAs(P::kReverb, "Plate");
  Plugin->StoreSubPresetAs(P::kReverb, "Hall");
  // A record of only two values: the third comes from the current value.
  const std::string path = ScratchFile("plate.spi");
  WriteFile(path, ItemRecord(P::kReverb, "PLATE", {0.9f, 0.8f}));
  SetValues(15, {0.0f, 0.0f, 0.55f});
  EXPECT_EQ(Plugin->LoadSubPresetFile(P::kReverb, path), 0) << "replaces the sub-preset of the same name";
  ASSERT_EQ(List(P::kReverb).size(), 2u);
  EXPECT_EQ(List(P::kReverb)[0].Name, "PLATE");
  EXPECT_EQ(List(P::kReverb)[0].Values, (std::vector<float>{0.9f, 0.8f, 0.55f}));
  EXPECT_EQ(Values(15, 17), (std::vector<float>{0.9f, 0.8f, 0.55f}));

  // Through the stream operation, without name replacement: a new one.
  TMemoryStream s(ItemRecord(P::kReverb, "Plate", {0.1f, 0.1f, 0.1f, 0.7f}));
  EXPECT_EQ(Plugin->ReadSubPresetItem(s, P::kReverb, false, true), 2);
  EXPECT_EQ(s.Position(), s.Size()) << "surplus values are read with the record";
  EXPECT_EQ(List(P::kReverb)[2].Values.size(), 3u);
}

TEST_F(SubPresetTest, ARecordWithSurplusValuesIsFollowedInStepByTheNext) {
  const std::string path = ScratchFile("surplus.spf");
  WriteFile(path, GroupRecord(P::kDistortion, {{"Wide", {0.1f, 0.2f, 0.3f, 0.4f, 0.5f}}, {"Narrow", {0.6f, 0.7f}}}));
  ASSERT_TRUE(Plugin->LoadSubPresetBankFile(P::kDistortion, path, true));
  ASSERT_EQ(List(P::kDistortion).size(), 2u);
  EXPECT_EQ(List(P::kDistortion)[0].Values, (std::vector<float>{0.1f, 0.2f}));
  EXPECT_EQ(List(P::kDistortion)[1].Name, "Narrow");
  EXPECT_EQ(List(P::kDistortion)[1].Values, (std::vector<float>{0.6f, 0.7f}));
}

TEST_F(SubPresetTest, TheChunksBlockSkipsUnknownGroupsAndReplacesTheKnownOnes) {
  Plugin->StoreSubPresetAs(P::kReverb, "Will go");
  Plugin->StoreSubPresetAs(P::kDistortion, "Stays");
  TMemoryStream block;
  WriteMagic(block, kSubPresetBlockMagic);
  WriteInt16(block, 2);
  WriteInt16(block, 2);
  const TBytes unknown = GroupRecord(99, {{"X", {0.5f, 0.5f, 0.5f, 0.5f}}, {"Y", {}}});
  const TBytes reverb = GroupRecord(P::kReverb, {{"New", {1.5f, 0.25f, 0.5f}}});
  block.Write(unknown.data(), static_cast<std::int64_t>(unknown.size()));
  block.Write(reverb.data(), static_cast<std::int64_t>(reverb.size()));
  block.SetPosition(0);
  ASSERT_TRUE(Plugin->ReadSubPresets(block, true));
  EXPECT_EQ(block.Position(), block.Size());
  ASSERT_EQ(List(P::kReverb).size(), 1u);
  EXPECT_EQ(List(P::kReverb)[0].Name, "New");
  EXPECT_EQ(List(P::kReverb)[0].Values, (std::vector<float>{1.0f, 0.25f, 0.5f})) << "clamped";
  EXPECT_EQ(List(P::kDistortion).size(), 1u) << "groups the block does not carry keep theirs";

  // A bank chunk without a block leaves the sub-presets as they are.
  TMemoryStream chunk;
  Plugin->TDSPBasePlugin::SaveChunk(chunk, false);  // the programs only
  const TBytes before = AllSubPresets();
  chunk.SetPosition(0);
  ASSERT_TRUE(Plugin->LoadChunk(chunk, chunk.Size(), false));
  EXPECT_EQ(AllSubPresets(), before);
  TMemoryStream none(std::vector<std::uint8_t>{'S', 'u', 'B', 'p', 'R', 'x', 2, 0});
  EXPECT_FALSE(Plugin->ReadSubPresets(none, true));
  EXPECT_EQ(none.Position(), 0);
}

TEST_F(SubPresetTest, DamagedAndFuzzedSubPresetFilesChangeNothing) {
  SetValues(20, {0.1f, 0.9f});
  Plugin->StoreSubPresetAs(P::kSeq1, "A");
  Plugin->StoreSubPresetAs(P::kSeq1, "B");
  TMemoryStream group;
  Plugin->WriteSubPresetGroup(group, P::kSeq1);
  TMemoryStream item;
  Plugin->WriteSubPresetItem(item, P::kSeq1, 1);
  const TBytes groupBytes = BytesOf(group);
  const TBytes itemBytes = BytesOf(item);
  const std::string path = ScratchFile("damaged.sp");
  TErrorCapture errors;

  // Every cut: refused, nothing changed.
  const TBytes before = AllSubPresets();
  const std::vector<float> values = Values(10, 23);
  for (const TBytes* whole : {&groupBytes, &itemBytes}) {
    for (std::size_t cut = 0; cut < whole->size(); ++cut) {
      WriteFile(path, TBytes(whole->begin(), whole->begin() + static_cast<std::ptrdiff_t>(cut)));
      EXPECT_FALSE(Plugin->LoadSubPresetBankFile(P::kSeq1, path, true)) << cut;
      EXPECT_EQ(Plugin->LoadSubPresetFile(P::kSeq1, path), -1) << cut;
    }
  }
  EXPECT_EQ(AllSubPresets(), before);
  EXPECT_EQ(Values(10, 23), values);
  EXPECT_EQ(Plugin->LoadSubPresetFile(P::kSeq1, ScratchFile("does-not-exist.spi")), -1);

  // Random damage: whatever loads is in range; a refusal changes nothing.
  std::mt19937 rng(99);
  for (int round = 0; round < 300; ++round) {
    TBytes bytes = round % 2 == 0 ? groupBytes : itemBytes;
    for (int e = 0; e < 3; ++e) bytes[rng() % bytes.size()] = static_cast<std::uint8_t>(rng());
    const TBytes was = AllSubPresets();
    TMemoryStream s(bytes);
    const bool read = round % 2 == 0 ? Plugin->ReadSubPresetGroup(s, P::kSeq1, false, true)
                                     : Plugin->ReadSubPresetItem(s, P::kSeq1, true, true) >= 0;
    if (!read) {
      ASSERT_EQ(AllSubPresets(), was) << round;
    }
    for (const TSubPresetRec& r : List(P::kSeq1)) {
      ASSERT_LE(r.Name.size(), kSubPresetNameMax);
      ASSERT_EQ(r.Values.size(), 2u);
      for (float v : r.Values) ASSERT_TRUE(v >= 0.0f && v <= 1.0f);
    }
  }
}

}  // namespace
