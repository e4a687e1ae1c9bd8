// The sampler-synth layer's oscillator parameters: the compiled rows against
// the data file, the descriptors the instrument builds from them, the two
// oscillators' rows as mirror images, and the id layout the layers share.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <utility>

#include "engines/rumbleon2.h"
#include "tests/engines/sampler_test_plugin.h"
#include "tests/engines/table_data_file.h"

namespace {

using namespace table_test;

TEST(OscParamTable, CompiledRowsMatchTheDataFile) {
  using R = TOscParamRow;
  const std::map<std::string, TAccessor<R>> fields = {
      {"Id", [](const R& r) { return IntText(r.Id); }},
      {"Name", [](const R& r) { return std::string(r.Name); }},
      {"Kind", [](const R& r) { return IntText(r.Kind); }},
      {"Builder", [](const R& r) { return std::string(EnumName(r.Builder)); }},
      {"Min", [](const R& r) { return IntText(r.Min); }},
      {"Max", [](const R& r) { return IntText(r.Max); }},
      {"DisplayMin", [](const R& r) { return IntText(r.DisplayMin); }},
      {"DisplayMax", [](const R& r) { return IntText(r.DisplayMax); }},
      {"Step", [](const R& r) { return FloatText(r.Step); }},
      {"Default", [](const R& r) { return IntText(r.Default); }},
      {"Conversion", [](const R& r) { return IntText(r.Conversion); }},
      {"Description", [](const R& r) { return std::string(r.Description); }},
      {"Osc", [](const R& r) { return IntText(r.Osc); }},
      {"Op", [](const R& r) { return std::string(EnumName(r.Op)); }},
      {"GuiKind", [](const R& r) { return IntText(r.GuiKind); }},
      {"GuiPanel", [](const R& r) { return std::string(EnumName(r.GuiPanel)); }},
      {"GuiTop", [](const R& r) { return IntText(r.GuiTop); }},
      {"GuiLeft", [](const R& r) { return IntText(r.GuiLeft); }},
      {"GuiTag", [](const R& r) { return IntText(r.GuiTag); }},
      {"GuiCaption", [](const R& r) { return std::string(r.GuiCaption); }},
      {"GuiFlags", [](const R& r) { return IntText(r.GuiFlags); }},
  };
  ExpectRowsMatch(ReadDataFile("osc_parameters.tsv"), OscParamTable, fields, {"Step"});
}

// The instrument's descriptors of the 49 ids follow the file; the ids of no
// layer keep the core's empty records.
TEST(OscParamTable, TheInstrumentsDescriptorsFollowTheFile) {
  sampler_test::TInstrument inst;
  const TRumbleon2& p = inst.P();
  ASSERT_EQ(p.GetParamCount(), 664);
  const TDataFile file = ReadDataFile("osc_parameters.tsv");
  for (std::size_t r = 0; r < file.Rows.size(); ++r) {
    const int id = file.Int(r, "Id");
    SCOPED_TRACE("id " + std::to_string(id));
    const TParamInfoRec& info = p.ParamInfo[static_cast<std::size_t>(id)];
    const bool floatRange = file.Cell(r, "Builder") == "Float";
    EXPECT_EQ(info.Name, file.Cell(r, "Name"));
    EXPECT_EQ(info.Kind, file.Int(r, "Kind"));
    EXPECT_EQ(info.Min, file.Float(r, "Min"));
    EXPECT_EQ(info.Max, file.Float(r, "Max"));
    EXPECT_EQ(info.IntMin, floatRange ? file.Int(r, "DisplayMin") : file.Int(r, "Min"));
    EXPECT_EQ(info.IntMax, floatRange ? file.Int(r, "DisplayMax") : file.Int(r, "Max"));
    EXPECT_EQ(info.Step, file.Float(r, "Step"));
    EXPECT_EQ(info.PatchConversion, floatRange ? file.Int(r, "Conversion") : 0);
    EXPECT_FLOAT_EQ(info.RealFromNorm(info.DefaultValue), file.Float(r, "Default"));
    EXPECT_EQ(info.Description, file.Cell(r, "Description"));
    EXPECT_EQ(info.HelpText, file.Cell(r, "GuiCaption"));
    EXPECT_EQ(info.GuiKind, file.Int(r, "GuiKind"));
    EXPECT_EQ(info.GuiPanel >= 0, info.GuiKind >= 0) << "a control kind has its panel";
  }
  for (int id = 39; id <= 48; ++id) {
    EXPECT_EQ(p.ParamInfo[static_cast<std::size_t>(id)].Name, "") << id;
    EXPECT_EQ(FindOscParamRow(id), nullptr);
  }
}

// Osc 2's rows are osc 1's with "OSC2" for "OSC1" in their names, the same kinds,
// ranges, defaults, actions and places on its own panels.
TEST(OscParamTable, TheSecondOscillatorMirrorsTheFirst) {
  std::map<std::string, const TOscParamRow*> first;
  for (const TOscParamRow& r : OscParamTable)
    if (r.Osc == 1 && r.Op != TOscOp::Interpolation) first[r.Name] = &r;
  int mirrored = 0;
  std::set<std::pair<int, int>> places[2][TOscPanelCount];
  for (const TOscParamRow& r : OscParamTable) {
    if (r.GuiKind >= 0 && r.Osc >= 1) {
      EXPECT_TRUE(places[r.Osc - 1][static_cast<std::size_t>(r.GuiPanel)].insert({r.GuiTop, r.GuiLeft}).second)
          << r.Name << " shares its place";
    }
    if (r.Osc != 2) continue;
    // "OSC2 ..." / "Osc2..." names osc 1's "OSC1 ..." / "Osc1..." row.
    std::string name = r.Name;
    ASSERT_TRUE(name.size() > 3 && name[3] == '2') << name;
    name[3] = '1';
    const auto it = first.find(name);
    ASSERT_NE(it, first.end()) << r.Name;
    const TOscParamRow& o = *it->second;
    EXPECT_EQ(r.Kind, o.Kind) << r.Name;
    EXPECT_EQ(r.Min, o.Min) << r.Name;
    EXPECT_EQ(r.Max, o.Max) << r.Name;
    EXPECT_EQ(r.Default, o.Default) << r.Name;
    EXPECT_EQ(r.Op, o.Op) << r.Name;
    EXPECT_EQ(r.GuiPanel, o.GuiPanel) << r.Name;
    EXPECT_EQ(r.GuiTop, o.GuiTop) << r.Name;
    EXPECT_EQ(r.GuiLeft, o.GuiLeft) << r.Name;
    ++mirrored;
  }
  EXPECT_EQ(mirrored, 23);
}

// With an editor, osc 1's controls sit on the synthesis layer's "Osc1"
// panels and osc 2's on the panels of its own.
TEST(OscParamTable, ControlsGoToTheirOscillatorsPanels) {
  sampler_test::TInstrument inst;
  TRumbleon2& p = inst.P();
  for (std::size_t k = 0; k < p.KwpPanels.size(); ++k) p.KwpPanels[k] = 100 + static_cast<std::int32_t>(k);
  for (std::size_t k = 0; k < p.Osc2Panels.size(); ++k) p.Osc2Panels[k] = 200 + static_cast<std::int32_t>(k);
  p.InitParameterInfo();
  auto panel = [&p](std::int32_t id) { return p.ParamInfo[static_cast<std::size_t>(id)].GuiPanel; };
  auto kwp = [](TKwpPanel k) { return 100 + static_cast<std::int32_t>(k); };
  auto own = [](TOscPanel k) { return 200 + static_cast<std::int32_t>(k); };
  EXPECT_EQ(panel(30), kwp(TKwpPanel::Osc1));
  EXPECT_EQ(panel(17), kwp(TKwpPanel::Osc1));
  EXPECT_EQ(panel(36), kwp(TKwpPanel::AMod));
  EXPECT_EQ(panel(99), kwp(TKwpPanel::PMod));
  EXPECT_EQ(panel(111), kwp(TKwpPanel::PitchAttack));
  EXPECT_EQ(panel(113), kwp(TKwpPanel::PitchRelease));
  EXPECT_EQ(panel(51), own(TOscPanel::Main));
  EXPECT_EQ(panel(57), own(TOscPanel::AMod));
  EXPECT_EQ(panel(104), own(TOscPanel::PMod));
  EXPECT_EQ(panel(116), own(TOscPanel::PitchAttack));
  EXPECT_EQ(panel(118), own(TOscPanel::PitchRelease));
  EXPECT_EQ(panel(18), -1);
  EXPECT_EQ(panel(35), -1) << "the diatonic switches have no control";
}

// Every id 0..663 belongs to one layer at most: the core's ten, the
// synthesis layer's, the sequencers', the rack's and the oscillators'.
TEST(OscParamTable, EveryIdHasOneOwnerAtMost) {
  sampler_test::TInstrument inst;
  const TRumbleon2& p = inst.P();
  for (std::int32_t id = 0; id < 664; ++id) {
    int owners = 0;
    owners += id < 10 ? 1 : 0;
    owners += p.KwpLocalOfParam(id) >= 0 ? 1 : 0;
    owners += p.SeqLocalOfParam(id) >= 0 ? 1 : 0;
    owners += p.FxIndexOfParam(id) >= 0 ? 1 : 0;
    owners += FindOscParamRow(id) != nullptr ? 1 : 0;
    EXPECT_EQ(owners, id >= 39 && id <= 48 ? 0 : 1) << "id " << id;
  }
}

}  // namespace
