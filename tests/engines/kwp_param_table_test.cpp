// The synthesis layer's parameter table against the layout the instrument's
// programs and banks rely on: the id of every local, the short names in
// order and the sections; the consistency of the rows, and the descriptors
// built from them.
#include "engines/kwp_param_table.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

namespace {

// The id layout: locals lo..hi map to ids first.. in order.
struct TRangeMap {
  int Lo, Hi, First;
  TKwpSection Section;
};
constexpr TRangeMap kLayout[] = {
    {64, 67, 82, TKwpSection::Lfo1},     {85, 89, 130, TKwpSection::Lfo1},   {68, 71, 86, TKwpSection::Lfo2},
    {90, 94, 135, TKwpSection::Lfo2},    {72, 75, 90, TKwpSection::Lfo3},    {95, 99, 140, TKwpSection::Lfo3},
    {7, 10, 20, TKwpSection::Env1},      {11, 11, 28, TKwpSection::Env1},    {12, 12, 128, TKwpSection::Env1},
    {13, 13, 119, TKwpSection::Env1},    {14, 14, 122, TKwpSection::Env1},   {15, 18, 24, TKwpSection::Env2},
    {19, 19, 29, TKwpSection::Env2},     {20, 20, 129, TKwpSection::Env2},   {21, 21, 120, TKwpSection::Env2},
    {22, 22, 123, TKwpSection::Env2},    {23, 23, 121, TKwpSection::Env2},   {24, 33, 62, TKwpSection::Filter1},
    {34, 43, 145, TKwpSection::Filter1}, {44, 53, 72, TKwpSection::Filter2}, {54, 63, 155, TKwpSection::Filter2},
    {76, 79, 94, TKwpSection::Shaper},   {80, 83, 165, TKwpSection::Shaper}, {100, 100, 169, TKwpSection::VMod},
    {101, 166, 170, TKwpSection::VMod},  {0, 6, 10, TKwpSection::Master},    {84, 84, 98, TKwpSection::Master},
};

std::vector<std::string> ExpectedNames() {
  std::vector<std::string> n = {"Gain",   "Tune",       "Fine",           "Use note first envelope",
                                "Voices", "Glide Time", "Pitchbend range"};
  for (int e = 1; e <= 2; ++e) {
    const std::string env = "ENV" + std::to_string(e);
    for (const char* stage : {" Attack", " Decay", " Sustain", " Release"}) n.push_back(env + stage);
    n.push_back("Amp->Env" + std::to_string(e));
    n.push_back("Env" + std::to_string(e) + "DB");
    n.push_back("Env2ScaleBy");
    n.push_back("Env2ScaleTo");
  }
  n.push_back("Env2Delay");
  const std::vector<std::string> side = {"Filter Type",  "Cutoff",       "Q",
                                         "Bandwidth",    "Cutoff->Env1", "Cutoff->Env2",
                                         "Cutoff->LFO1", "Cutoff->LFO2", "Cutoff->LFO3"};
  for (int b = 1; b <= 2; ++b) {
    n.push_back("Filter" + std::to_string(b));
    for (int s = 0; s < 2; ++s) n.insert(n.end(), side.begin(), side.end());
    n.push_back("Chn");
  }
  for (int k = 1; k <= 3; ++k) {
    const std::string lfo = "LFO" + std::to_string(k);
    for (const char* what : {" Frequency", " Waveform", " Amp", " Reset"}) n.push_back(lfo + what);
  }
  for (const char* name : {"Shape", "Shape Amt", "Shape Type", "Shape Route", "Shape Amt", "Shape Type", "Shape Route",
                           "ShpChnMode", "PM METHOD"})
    n.push_back(name);
  for (int k = 1; k <= 3; ++k) {
    const std::string lfo = "LFO" + std::to_string(k);
    for (const char* what : {" Dly", " Atk", " Atk", " Rls", " Cyc"}) n.push_back(lfo + what);
  }
  n.push_back("MOn");
  for (int s = 1; s <= 22; ++s) {
    for (const char* what : {"MSrc", "MDst", "MAmt"}) n.push_back(what + std::to_string(s));
  }
  return n;
}

TEST(KwpParamTable, EveryLocalHasItsIdNameAndSection) {
  std::vector<int> expectedId(kKwpParamCount, -1);
  std::vector<TKwpSection> expectedSection(kKwpParamCount);
  for (const TRangeMap& r : kLayout) {
    for (int l = r.Lo; l <= r.Hi; ++l) {
      ASSERT_EQ(expectedId[static_cast<std::size_t>(l)], -1) << "local " << l << " twice in the layout";
      expectedId[static_cast<std::size_t>(l)] = r.First + (l - r.Lo);
      expectedSection[static_cast<std::size_t>(l)] = r.Section;
    }
  }
  const std::vector<std::string> names = ExpectedNames();
  ASSERT_EQ(names.size(), static_cast<std::size_t>(kKwpParamCount));
  std::set<int> ids;
  for (int l = 0; l < kKwpParamCount; ++l) {
    const TKwpParamRow& row = KwpParamRow(l);
    SCOPED_TRACE("local " + std::to_string(l));
    EXPECT_EQ(row.Local, l);
    EXPECT_EQ(row.Id, expectedId[static_cast<std::size_t>(l)]);
    EXPECT_EQ(row.Section, expectedSection[static_cast<std::size_t>(l)]);
    EXPECT_EQ(std::string(row.Name), names[static_cast<std::size_t>(l)]);
    ids.insert(row.Id);
    // The layer's ids never touch the core's (0..9), the sampler-synth's
    // fixed ones or the sequencer and effects layers' (236 and up).
    EXPECT_TRUE((row.Id >= 10 && row.Id <= 16) || (row.Id >= 20 && row.Id <= 29) || (row.Id >= 62 && row.Id <= 98) ||
                (row.Id >= 119 && row.Id <= 123) || (row.Id >= 128 && row.Id <= 235))
        << row.Id;
  }
  EXPECT_EQ(ids.size(), static_cast<std::size_t>(kKwpParamCount));
}

// Every kind-75 row but the slot amounts uses the float builder; every
// row's default lies in its range.
TEST(KwpParamTable, RowsAreConsistent) {
  for (int l = 0; l < kKwpParamCount; ++l) {
    const TKwpParamRow& row = KwpParamRow(l);
    if (row.Kind == 75) {
      EXPECT_EQ(row.Builder == TKwpBuilder::Int, row.Op == TKwpOp::SlotAmount) << l;
    }
    EXPECT_GE(row.Default, row.Min) << l;
    EXPECT_LE(row.Default, row.Max) << l;
  }
}

TEST(KwpParamTable, RowsNameTheirUnitsSidesAndPartners) {
  // The lookups the layer uses find exactly the rows of the layout.
  EXPECT_EQ(KwpIdOf(TKwpOp::Cutoff, 1, TKwpSide::Left), 64);
  EXPECT_EQ(KwpIdOf(TKwpOp::Cutoff, 1, TKwpSide::Right), 146);
  EXPECT_EQ(KwpIdOf(TKwpOp::CutoffLfo, 2, TKwpSide::Right, 3), 163);
  EXPECT_EQ(KwpIdOf(TKwpOp::ShapeAmount, 0, TKwpSide::Left), 95);
  EXPECT_EQ(KwpIdOf(TKwpOp::ShapeAmount, 0, TKwpSide::Right), 165);
  EXPECT_EQ(KwpIdOf(TKwpOp::LfoAmp, 3), 92);
  EXPECT_EQ(KwpIdOf(TKwpOp::LfoFrequency, 2), 86);
  EXPECT_EQ(KwpIdOf(TKwpOp::Env2Delay, 2), 121);
  EXPECT_EQ(KwpIdOf(TKwpOp::SlotTarget, 22), 234);
  EXPECT_EQ(KwpLocalOf(TKwpOp::Cutoff, 3, TKwpSide::Left), -1);
  // Partners point at each other, on the other side, with the same op.
  for (int l = 0; l < kKwpParamCount; ++l) {
    const TKwpParamRow& row = KwpParamRow(l);
    if (row.Partner < 0) continue;
    const TKwpParamRow& other = KwpParamRow(row.Partner);
    EXPECT_EQ(other.Partner, l);
    EXPECT_EQ(other.Op, row.Op);
    EXPECT_NE(other.Side, row.Side);
  }
}

TEST(KwpParamTable, DescriptorsFollowTheirBuilder) {
  TKwpPanelIndexes panels{};
  panels.fill(-1);
  panels[static_cast<std::size_t>(TKwpPanel::Filters)] = 7;
  TParamInfoRec gain;
  InitKwpParamInfo(KwpParamRow(0), gain, panels, 16);
  EXPECT_EQ(gain.Kind, 75);
  EXPECT_EQ(gain.Min, 0.0f);
  EXPECT_EQ(gain.Max, 1502.0f);
  EXPECT_EQ(gain.IntMin, 0);
  EXPECT_EQ(gain.IntMax, 1000);
  EXPECT_FLOAT_EQ(gain.DefaultValue, 1000.0f / 1502.0f);
  EXPECT_EQ(gain.Description, "Master Gain");
  EXPECT_EQ(gain.HelpText, "Gain");
  EXPECT_EQ(gain.GuiPanel, -1);  // no editor: no panel

  TParamInfoRec voices;
  InitKwpParamInfo(KwpParamRow(4), voices, panels, 12);
  EXPECT_EQ(voices.IntMax, 12);
  EXPECT_EQ(voices.Max, 32.0f);
  InitKwpParamInfo(KwpParamRow(4), voices, panels, -1);
  EXPECT_EQ(voices.IntMax, 16);

  TParamInfoRec cutoff;
  InitKwpParamInfo(KwpParamRow(35), cutoff, panels, 16);
  EXPECT_EQ(cutoff.Name, "Cutoff");
  EXPECT_EQ(cutoff.HelpText, "C-R");
  EXPECT_EQ(cutoff.GuiPanel, 7);
  EXPECT_EQ(cutoff.IntMin, 10);
  EXPECT_EQ(cutoff.Step, 1.0f);
}

}  // namespace
