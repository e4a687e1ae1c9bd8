// The effects rack's parameter table: the compiled rows against the data
// files they are generated from, the descriptors built from them and the
// consistency of the data itself.
#include "engines/fx_param_table.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "tests/engines/table_data_file.h"
#include "tests/support/test_support.h"

namespace {

using namespace table_test;

TEST(FxParamTable, CompiledRowsMatchTheDataFiles) {
  using R = TFxParamRow;
  const std::map<std::string, TAccessor<R>> params = {
      {"Fx", [](const R& r) { return IntText(r.Fx); }},
      {"Name", [](const R& r) { return std::string(r.Name); }},
      {"Kind", [](const R& r) { return IntText(r.Kind); }},
      {"Min", [](const R& r) { return IntText(r.Min); }},
      {"Max", [](const R& r) { return IntText(r.Max); }},
      {"Step", [](const R& r) { return FloatText(r.Step); }},
      {"Default", [](const R& r) { return IntText(r.Default); }},
      {"Flags", [](const R& r) { return IntText(r.Flags); }},
      {"Description", [](const R& r) { return std::string(r.Description); }},
      {"Op", [](const R& r) { return std::string(EnumName(r.Op)); }},
      {"Unit", [](const R& r) { return std::string(EnumName(r.Unit)); }},
      {"Object", [](const R& r) { return std::string(EnumName(r.Object)); }},
      {"Side", [](const R& r) { return std::string(EnumName(r.Side)); }},
      {"Num", [](const R& r) { return IntText(r.Num); }},
      {"Setter", [](const R& r) { return std::string(EnumName(r.Setter)); }},
      {"Convert", [](const R& r) { return std::string(EnumName(r.Convert)); }},
      {"Factor", [](const R& r) { return FloatText(r.Factor); }},
      {"Link", [](const R& r) { return std::string(EnumName(r.Link)); }},
      {"Partner", [](const R& r) { return IntText(r.Partner); }},
      {"ModTarget", [](const R& r) { return IntText(r.ModTarget); }},
      {"Texts", [](const R& r) { return std::string(r.Texts); }},
      {"GuiKind", [](const R& r) { return IntText(r.GuiKind); }},
      {"GuiPanel", [](const R& r) { return std::string(EnumName(r.GuiPanel)); }},
      {"GuiTop", [](const R& r) { return IntText(r.GuiTop); }},
      {"GuiLeft", [](const R& r) { return IntText(r.GuiLeft); }},
      {"GuiTag", [](const R& r) { return IntText(r.GuiTag); }},
      {"GuiCaption", [](const R& r) { return std::string(r.GuiCaption); }},
      {"GuiFlags", [](const R& r) { return IntText(r.GuiFlags); }},
  };
  ExpectRowsMatch(ReadDataFile("fx_parameters.tsv"), FxParamTable, params, {"Step", "Factor"});

  using T = TFxModTargetRow;
  const std::map<std::string, TAccessor<T>> targets = {
      {"Target", [](const T& r) { return IntText(r.Target); }},
      {"Name", [](const T& r) { return std::string(r.Name); }},
      {"Fx", [](const T& r) { return IntText(r.Fx); }},
      {"Link", [](const T& r) { return std::string(EnumName(r.Link)); }},
      {"Partner", [](const T& r) { return IntText(r.Partner); }},
  };
  ExpectRowsMatch(ReadDataFile("fx_mod_targets.tsv"), FxModTargetTable, targets, {});

  using G = TFxSubPresetGroupRow;
  const std::map<std::string, TAccessor<G>> groups = {
      {"Group", [](const G& r) { return IntText(r.Group); }},
      {"Name", [](const G& r) { return std::string(r.Name); }},
      {"First", [](const G& r) { return IntText(r.First); }},
      {"Last", [](const G& r) { return IntText(r.Last); }},
      {"Unit", [](const G& r) { return std::string(EnumName(r.Unit)); }},
      {"Panel", [](const G& r) { return std::string(EnumName(r.Panel)); }},
  };
  ExpectRowsMatch(ReadDataFile("fx_subpreset_groups.tsv"), FxSubPresetGroupTable, groups, {});

  using P = TFxPanelRow;
  const std::map<std::string, TAccessor<P>> panels = {
      {"Panel", [](const P& r) { return std::string(EnumName(r.Panel)); }},
      {"Caption", [](const P& r) { return std::string(r.Caption); }},
      {"Page", [](const P& r) { return IntText(r.Page); }},
      {"ButtonOrder", [](const P& r) { return IntText(r.ButtonOrder); }},
      {"Style", [](const P& r) { return IntText(r.Style); }},
  };
  ExpectRowsMatch(ReadDataFile("fx_panels.tsv"), FxPanelTable, panels, {});
}

// Panel indexes that differ from the TFxPanel values, so a descriptor that
// took the enumeration value instead of the plug-in's index shows up.
TFxPanelIndexes TestPanelIndexes() {
  TFxPanelIndexes panels{};
  for (std::size_t p = 0; p < panels.size(); ++p) panels[p] = 40 + static_cast<std::int32_t>(p) * 3;
  panels[static_cast<std::size_t>(TFxPanel::None)] = 7;  // must never be used
  return panels;
}

TEST(FxParamTable, EveryDescriptorMatchesTheDataFile) {
  const TDataFile file = ReadDataFile("fx_parameters.tsv");
  ASSERT_EQ(file.Rows.size(), static_cast<std::size_t>(kFxParamCount));
  const TFxPanelIndexes panels = TestPanelIndexes();
  std::map<std::string, std::int32_t> panelByName;
  for (std::size_t p = 0; p < TFxPanelCount; ++p) panelByName[TFxPanelNames[p]] = panels[p];

  for (int fx = 0; fx < kFxParamCount; ++fx) {
    SCOPED_TRACE("FX " + std::to_string(fx));
    const std::size_t r = static_cast<std::size_t>(fx);
    TParamInfoRec info;
    InitFxParamInfo(fx, info, panels);
    const int min = file.Int(r, "Min");
    const int max = file.Int(r, "Max");
    const int def = file.Int(r, "Default");
    EXPECT_EQ(info.Name, file.Cell(r, "Name"));
    EXPECT_EQ(info.Kind, file.Int(r, "Kind"));
    EXPECT_EQ(info.IntMin, min);
    EXPECT_EQ(info.IntMax, max);
    EXPECT_EQ(info.Min, static_cast<float>(min));
    EXPECT_EQ(info.Max, static_cast<float>(max));
    EXPECT_EQ(info.Step, file.Float(r, "Step"));
    EXPECT_FLOAT_EQ(info.DefaultValue, static_cast<float>(def - min) / static_cast<float>(max - min));
    EXPECT_EQ(info.Value, info.DefaultValue);
    EXPECT_FLOAT_EQ(info.RealFromNorm(info.DefaultValue), static_cast<float>(def));
    EXPECT_EQ(info.Flags, file.Int(r, "Flags"));
    EXPECT_EQ(info.Description, file.Cell(r, "Description"));
    EXPECT_EQ(info.PatchConversion, 0);
    EXPECT_EQ(info.Unit, 1.0f);
    EXPECT_FALSE(info.IsGlobal);
    EXPECT_EQ(info.GuiKind, file.Int(r, "GuiKind"));
    EXPECT_EQ(info.GuiPanel, info.GuiKind < 0 ? -1 : panelByName.at(file.Cell(r, "GuiPanel")));
    EXPECT_EQ(info.GuiTop, file.Int(r, "GuiTop"));
    EXPECT_EQ(info.GuiLeft, file.Int(r, "GuiLeft"));
    EXPECT_EQ(info.GuiTag, file.Int(r, "GuiTag"));
    EXPECT_EQ(info.HelpText, file.Cell(r, "GuiCaption"));
    EXPECT_EQ(info.GuiFlags, file.Int(r, "GuiFlags"));
  }

  // Without an editor every panel index is -1, and so is every descriptor's.
  TFxPanelIndexes none;
  none.fill(-1);
  for (int fx = 0; fx < kFxParamCount; ++fx) {
    TParamInfoRec info;
    InitFxParamInfo(fx, info, none);
    EXPECT_EQ(info.GuiPanel, -1) << fx;
  }
}

// Faults a hand edit of the data files could bring in, which the generator
// cannot see: links that do not pair up, targets that point at the wrong
// row, controls on the wrong page or on top of each other.
TEST(FxParamTable, DataIsConsistent) {
  for (int fx = 0; fx < kFxParamCount; ++fx) {
    SCOPED_TRACE("FX " + std::to_string(fx));
    const TFxParamRow& row = FxParamRow(fx);
    EXPECT_EQ(row.Fx, fx);
    EXPECT_LT(row.Min, row.Max);
    EXPECT_GE(row.Default, row.Min);
    EXPECT_LE(row.Default, row.Max);
    EXPECT_TRUE(row.Step == 1.0f || row.Step == 0.1f);
    EXPECT_LE(std::string(row.Name).size(), 24u) << "host texts are cut to 24 characters";

    // Channel links pair a left row with a right row of the same effect.
    if (row.Link == TFxLink::Leader || row.Link == TFxLink::Follower) {
      ASSERT_GE(row.Partner, 0);
      ASSERT_LT(row.Partner, kFxParamCount);
      const TFxParamRow& partner = FxParamRow(row.Partner);
      EXPECT_EQ(partner.Partner, fx);
      EXPECT_EQ(partner.Link, row.Link == TFxLink::Leader ? TFxLink::Follower : TFxLink::Leader);
      EXPECT_EQ(partner.Unit, row.Unit);
      EXPECT_EQ(partner.Op, row.Op);
      EXPECT_EQ(partner.Setter == row.Setter, row.Object != TFxObject::None);
      int first = 0, last = 0;
      ASSERT_TRUE(FxEffectRange(row.Unit, first, last));
      EXPECT_GE(fx, first);
      EXPECT_LE(fx, last);
    } else {
      EXPECT_EQ(row.Link, TFxLink::None);
      EXPECT_EQ(row.Partner, -1);
    }

    // Every target row feeds exactly the target that names it.
    if (row.Op == TFxOp::Target) {
      const TFxModTargetRow* target = FindFxModTarget(row.ModTarget);
      ASSERT_NE(target, nullptr);
      EXPECT_EQ(target->Fx, fx);
      EXPECT_NE(row.Setter, TFxSetter::None);
      EXPECT_NE(row.Convert, TFxConvert::None);
    } else {
      EXPECT_EQ(row.ModTarget, 0);
    }
    if (row.Op == TFxOp::Set) {
      EXPECT_NE(row.Setter, TFxSetter::None);
    }
    if (row.Op == TFxOp::ChannelMode) {
      int first = 0, last = 0;
      ASSERT_TRUE(FxEffectRange(row.Unit, first, last));
      EXPECT_GE(fx, first);
      EXPECT_LE(fx, last);
    }
    if (row.Convert == TFxConvert::Scale || row.Convert == TFxConvert::Divide) {
      EXPECT_NE(row.Factor, 1.0f);
    } else {
      EXPECT_EQ(row.Factor, 1.0f);
    }

    // Every parameter but FXPreAmp and FXPostAmp has one control, on the
    // page of its effect (order parameters included) or on FX Out.
    if (fx == 10 || fx == 11) {
      EXPECT_EQ(row.GuiKind, -1);
      EXPECT_EQ(row.GuiPanel, TFxPanel::None);
    } else {
      EXPECT_TRUE(row.GuiKind == 1 || row.GuiKind == 22 || row.GuiKind == 23 || row.GuiKind == 25) << row.GuiKind;
      TFxPanel expected = TFxPanel::FxOut;
      for (const TFxSubPresetGroupRow& group : FxSubPresetGroupTable) {
        if (group.Unit != TFxUnit::Rack && fx >= group.First && fx <= group.Last) expected = group.Panel;
        if (row.Op == TFxOp::MoveEffect && group.Unit == row.Unit) expected = group.Panel;
      }
      EXPECT_EQ(row.GuiPanel, expected);
    }
  }

  // The modulation targets: target 0 is none; each other names a Target row
  // once; target links mirror the parameter links.
  EXPECT_EQ(kFxModTargetCount, 134);
  EXPECT_EQ(FindFxModTarget(0), nullptr);
  EXPECT_EQ(FindFxModTarget(kFxModTargetCount), nullptr);
  EXPECT_NE(FindFxModTarget(kFxModTargetCount - 1), nullptr);
  std::set<int> fed;
  for (int t = 1; t < kFxModTargetCount; ++t) {
    SCOPED_TRACE("target " + std::to_string(t));
    const TFxModTargetRow& target = FxModTargetTable[t];
    EXPECT_TRUE(fed.insert(target.Fx).second);
    const TFxParamRow& row = FxParamRow(target.Fx);
    EXPECT_EQ(row.ModTarget, t);
    if (target.Link == TFxLink::None) {
      EXPECT_EQ(target.Partner, 0);
      EXPECT_EQ(row.Link, TFxLink::None);
      continue;
    }
    const TFxModTargetRow* partner = FindFxModTarget(target.Partner);
    ASSERT_NE(partner, nullptr);
    EXPECT_EQ(partner->Partner, t);
    EXPECT_EQ(target.Link == TFxLink::Leader, partner->Link != TFxLink::Leader);
    EXPECT_EQ(row.Partner, partner->Fx);
    EXPECT_EQ(row.Link, target.Link == TFxLink::Leader ? TFxLink::Leader : TFxLink::Follower);
  }

  // No two controls share a place on one page.
  std::set<std::tuple<int, int, int>> places;
  for (const TFxParamRow& row : FxParamTable) {
    if (row.GuiKind < 0) continue;
    EXPECT_TRUE(places.insert({static_cast<int>(row.GuiPanel), row.GuiTop, row.GuiLeft}).second)
        << row.Fx << " " << row.Name;
  }

  // The effect groups do not overlap and leave the rack's own rows to group 17.
  std::vector<int> owner(kFxParamCount, 0);
  for (const TFxSubPresetGroupRow& group : FxSubPresetGroupTable) {
    if (group.Unit == TFxUnit::Rack) continue;
    for (int fx = group.First; fx <= group.Last; ++fx) {
      EXPECT_EQ(owner[fx], 0) << fx;
      owner[fx] = group.Group;
    }
  }
  for (int fx : {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 223, 224, 241, 242, 289}) EXPECT_EQ(owner[fx], 0) << fx;
}

TEST(FxParamTable, SubPresetGroupsAndEffectRanges) {
  // Loading an effect's sub-preset never moves it in the chain.
  for (int group = 10; group <= 16; ++group) {
    const std::vector<int> params = FxSubPresetGroupParams(group);
    EXPECT_FALSE(params.empty()) << group;
    for (int fx : params) EXPECT_NE(FxParamRow(fx).Op, TFxOp::MoveEffect) << group;
  }
  // Group 17 is the whole rack; numbers outside the groups hold nothing.
  const std::vector<int> all = FxSubPresetGroupParams(17);
  ASSERT_EQ(all.size(), static_cast<std::size_t>(kFxParamCount));
  for (int i = 0; i < kFxParamCount; ++i) EXPECT_EQ(all[i], i);
  EXPECT_TRUE(FxSubPresetGroupParams(9).empty());
  EXPECT_TRUE(FxSubPresetGroupParams(18).empty());

  int first = 0, last = 0;
  EXPECT_FALSE(FxEffectRange(TFxUnit::Rack, first, last));
  EXPECT_EQ(FindFxPanel(TFxPanel::None), nullptr);
}

// The generator refuses data files that would give a wrong table instead of
// writing one.
TEST(FxParamTableGenerator, RejectsFaultyDataFiles) {
  if (std::system("python3 -c pass >/dev/null 2>&1") != 0) GTEST_SKIP() << "no python3";
  const std::string script = testing_support::EnvOr("RUMBLEON_SOURCE_DIR", ".") + "/tools/paramtable/paramtable.py";
  const std::string dir = testing_support::ScratchDir();
  const std::string head = "#! table TRow Rows\n#! enum TE\n#!   A\n#!   B\nX:int16\tY:TE\tZ:str\n";
  auto run = [&](const std::string& name, const std::string& body) {
    const std::string path = dir + "/" + name + ".tsv";
    std::ofstream(path) << body;
    const std::string command =
        "python3 '" + script + "' --out '" + dir + "/" + name + ".h' '" + path + "' >/dev/null 2>&1";
    return std::system(command.c_str());
  };
  EXPECT_EQ(run("good", head + "1\tA\tq\"uote\n-2\tB\t\n"), 0);
  EXPECT_NE(run("unknown_value", head + "1\tC\tx\n"), 0);
  EXPECT_NE(run("short_row", head + "1\tA\n"), 0);
  EXPECT_NE(run("out_of_range", head + "40000\tA\tx\n"), 0);
  EXPECT_NE(run("not_a_number", head + "1.5\tA\tx\n"), 0);
  EXPECT_NE(run("unknown_type", "#! table TRow Rows\nX:int7\n1\n"), 0);
  EXPECT_NE(run("no_table", "X:int16\n1\n"), 0);
  std::ifstream generated(dir + "/good.h");
  std::stringstream text;
  text << generated.rdbuf();
  EXPECT_NE(text.str().find("{.X = 1, .Y = TE::A, .Z = \"q\\\"uote\"}"), std::string::npos);
}

}  // namespace
