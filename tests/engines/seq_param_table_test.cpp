// The sequencer layer's parameter table: the compiled rows against the data
// file, the descriptors built from them for both sequencers, and the
// regularity the two sequencers' tables share.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <utility>

#include "dsp/voices/step_sequencer.h"
#include "engines/voicerack_arp_synth.h"
#include "tests/engines/table_data_file.h"

namespace {

using namespace table_test;

TEST(SeqParamTable, CompiledRowsMatchTheDataFile) {
  using R = TSeqParamRow;
  const std::map<std::string, TAccessor<R>> fields = {
      {"Local", [](const R& r) { return IntText(r.Local); }},
      {"Name1", [](const R& r) { return std::string(r.Name1); }},
      {"Name2", [](const R& r) { return std::string(r.Name2); }},
      {"Kind", [](const R& r) { return IntText(r.Kind); }},
      {"Min", [](const R& r) { return IntText(r.Min); }},
      {"Max", [](const R& r) { return IntText(r.Max); }},
      {"Step", [](const R& r) { return FloatText(r.Step); }},
      {"Default1", [](const R& r) { return IntText(r.Default1); }},
      {"Default2", [](const R& r) { return IntText(r.Default2); }},
      {"Flags", [](const R& r) { return IntText(r.Flags); }},
      {"Description", [](const R& r) { return std::string(r.Description); }},
      {"Setter", [](const R& r) { return std::string(EnumName(r.Setter)); }},
      {"Value", [](const R& r) { return std::string(EnumName(r.Value)); }},
      {"GuiKind", [](const R& r) { return IntText(r.GuiKind); }},
      {"GuiTop", [](const R& r) { return IntText(r.GuiTop); }},
      {"GuiLeft", [](const R& r) { return IntText(r.GuiLeft); }},
      {"GuiTag", [](const R& r) { return IntText(r.GuiTag); }},
      {"Caption1", [](const R& r) { return std::string(r.Caption1); }},
      {"Caption2", [](const R& r) { return std::string(r.Caption2); }},
      {"GuiFlags", [](const R& r) { return IntText(r.GuiFlags); }},
  };
  ExpectRowsMatch(ReadDataFile("seq_parameters.tsv"), SeqParamTable, fields, {"Step"});
}

TEST(SeqParamTable, DescriptorsOfBothSequencersFollowTheFile) {
  const TDataFile file = ReadDataFile("seq_parameters.tsv");
  ASSERT_EQ(file.Rows.size(), static_cast<std::size_t>(kSeqParamsPerSequencer));
  for (int s = 0; s < 2; ++s) {
    const std::string suffix = s == 0 ? "1" : "2";
    const std::int32_t panel = 30 + s;
    for (std::int32_t k = 0; k < kSeqParamsPerSequencer; ++k) {
      SCOPED_TRACE("sequencer " + suffix + " row " + std::to_string(k));
      const auto r = static_cast<std::size_t>(k);
      TParamInfoRec info;
      InitSeqParamInfo(SeqParamRow(s * kSeqParamsPerSequencer + k), s, info, panel);
      const int min = file.Int(r, "Min"), max = file.Int(r, "Max"), def = file.Int(r, "Default" + suffix);
      EXPECT_EQ(info.Name, file.Cell(r, "Name" + suffix));
      EXPECT_EQ(info.Kind, file.Int(r, "Kind"));
      EXPECT_EQ(info.IntMin, min);
      EXPECT_EQ(info.IntMax, max);
      EXPECT_EQ(info.Step, file.Float(r, "Step"));
      EXPECT_FLOAT_EQ(info.RealFromNorm(info.DefaultValue), static_cast<float>(def));
      EXPECT_EQ(info.Description, file.Cell(r, "Description"));
      EXPECT_EQ(info.GuiKind, file.Int(r, "GuiKind"));
      EXPECT_EQ(info.GuiPanel, info.GuiKind < 0 ? -1 : panel);
      EXPECT_EQ(info.GuiTop, file.Int(r, "GuiTop"));
      EXPECT_EQ(info.GuiLeft, file.Int(r, "GuiLeft"));
      EXPECT_EQ(info.HelpText, file.Cell(r, "Caption" + suffix));
      EXPECT_EQ(info.GuiFlags, file.Int(r, "GuiFlags"));
    }
  }
}

// What a hand edit of the file could break: the second sequencer's names,
// defaults and captions follow the first's, the steps are numbered and laid
// out in rows of eight, no two controls share a place.
TEST(SeqParamTable, BothSequencersShareOneRegularTable) {
  const std::set<std::string> sharedNames = {"Sq1PtchM", "Sq1LevlM", "Sq1GateAmt", "Sq1LvlAmt"};
  std::set<std::pair<int, int>> places;
  for (std::int32_t k = 0; k < kSeqParamsPerSequencer; ++k) {
    SCOPED_TRACE("row " + std::to_string(k));
    const TSeqParamRow& row = SeqParamTable[k];
    const std::string name1 = row.Name1, name2 = row.Name2;
    if (sharedNames.count(name1) != 0) {
      EXPECT_EQ(name2, name1);
    } else {
      ASSERT_EQ(name1.rfind("Seq1", 0), 0u);
      EXPECT_EQ(name2, "Seq2" + name1.substr(4));
    }
    EXPECT_EQ(row.Default2 != row.Default1, k == 26) << "only Seq2GtEnvAmt has a default of its own";
    EXPECT_EQ(std::string(row.Caption2) != std::string(row.Caption1), k == 22);
    EXPECT_LE(row.Min, row.Default1);
    EXPECT_LE(row.Default1, row.Max);
    EXPECT_LE(name1.size(), 24u);
    if (k >= kSeqFirstStepLocal) {
      const std::int32_t step = k - kSeqFirstStepLocal;
      EXPECT_EQ(name1, "Seq1Step" + std::to_string(step + 1));
      EXPECT_EQ(std::string(row.Caption1), std::to_string(step + 1));
      EXPECT_EQ(row.Setter, TSeqSetter::StepNote);
      EXPECT_EQ(row.Min, kSequencerRest);
      EXPECT_EQ(row.Max, kSequencerTie);
      EXPECT_EQ(row.GuiLeft - SeqParamTable[kSeqFirstStepLocal].GuiLeft, 48 * (step % 8));
      EXPECT_EQ(row.GuiTop - SeqParamTable[kSeqFirstStepLocal].GuiTop, 26 * (step / 8));
    }
    if (row.GuiKind >= 0) {
      EXPECT_TRUE(places.insert({row.GuiLeft, row.GuiTop}).second) << "two controls at one place";
    } else {
      EXPECT_TRUE(k >= 32 && k <= 35) << "only the step-envelope rows have no control";
    }
  }
}

}  // namespace
