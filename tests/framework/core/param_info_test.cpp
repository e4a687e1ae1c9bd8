#include "framework/core/param_info.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

TEST(ParamInfo, IntBuilderStoresRangeAndNormalisedDefault) {
  TParamInfoRec info;
  info.IsGlobal = true;
  info.MidiKind = kParamMidiController;
  InitIntParamInfo(30, info, "Pan", 3, 64, 0, 127, "0=Left;64=Center;127=Right");
  EXPECT_EQ(info.Kind, 30);
  EXPECT_EQ(info.Name, "Pan");
  EXPECT_EQ(info.Flags, 3);
  EXPECT_EQ(info.IntMin, 0);
  EXPECT_EQ(info.IntMax, 127);
  EXPECT_EQ(info.Min, 0.0f);
  EXPECT_EQ(info.Max, 127.0f);
  EXPECT_EQ(info.Step, 1.0f);
  EXPECT_EQ(info.Unit, 1.0f);
  EXPECT_EQ(info.PatchConversion, 0);
  EXPECT_FLOAT_EQ(info.DefaultValue, 64.0f / 127.0f);
  EXPECT_EQ(info.Value, info.DefaultValue);
  EXPECT_EQ(info.Description, "0=Left;64=Center;127=Right");
  // Fields the builder does not own stay as they were.
  EXPECT_TRUE(info.IsGlobal);
  EXPECT_EQ(info.MidiKind, kParamMidiController);
  EXPECT_EQ(info.GuiKind, -1);
}

TEST(ParamInfo, FloatAndStepBuilders) {
  TParamInfoRec info;
  InitFloatParamInfo(75, info, "Gain", 1, 1000, 0, 1502, 0.0f, 1502.0f, 0.5f, 7, "Master Gain");
  EXPECT_FLOAT_EQ(info.DefaultValue, 1000.0f / 1502.0f);
  EXPECT_EQ(info.Step, 0.5f);
  EXPECT_EQ(info.PatchConversion, 7);
  EXPECT_FLOAT_EQ(info.RealFromNorm(info.Value), 1000.0f);

  InitIntParamInfoEx(8, info, "Seq1Len", 0, 30, 0, 1024, 0.1f, "Length of step in ticks");
  EXPECT_FLOAT_EQ(info.Step, 0.1f);
  EXPECT_EQ(info.PatchConversion, 0);
  EXPECT_FLOAT_EQ(info.DefaultValue, 30.0f / 1024.0f);

  InitParamInfoExtra(info, 23, 2, 40, 10, 5, "VOL", 4 | 128);
  EXPECT_EQ(info.GuiKind, 23);
  EXPECT_EQ(info.GuiPanel, 2);
  EXPECT_EQ(info.GuiTop, 40);
  EXPECT_EQ(info.GuiLeft, 10);
  EXPECT_EQ(info.GuiTag, 5);
  EXPECT_EQ(info.HelpText, "VOL");
  EXPECT_EQ(info.GuiFlags, 132);
}

TEST(ParamInfo, DegenerateRangeDividesByNothing) {
  TParamInfoRec info;
  InitIntParamInfo(8, info, "Fixed", 0, 5, 5, 5, "");
  EXPECT_EQ(info.DefaultValue, 0.0f);
  EXPECT_EQ(info.Value, 0.0f);
  EXPECT_EQ(info.NormFromReal(5.0f), 0.0f);
  EXPECT_EQ(NormaliseParamValue(12.0f, 3.0f, 3.0f), 0.0f);
  EXPECT_EQ(info.RealFromNorm(0.7f), 5.0f);
  // Normalising is not clamping.
  EXPECT_FLOAT_EQ(NormaliseParamValue(150.0f, 0.0f, 100.0f), 1.5f);
}

TEST(ParamInfo, TextsAreCutToShortStrings) {
  TParamInfoRec info;
  const std::string longText(300, 'x');
  InitIntParamInfo(8, info, longText, 0, 0, 0, 1, longText);
  InitParamInfoExtra(info, -1, -1, -1, -1, 0, longText, 0);
  EXPECT_EQ(info.Name.size(), kShortStringMax);
  EXPECT_EQ(info.Description.size(), kShortStringMax);
  EXPECT_EQ(info.HelpText.size(), kShortStringMax);
}
