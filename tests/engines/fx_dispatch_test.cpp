// The rack's parameters as the plug-in presents them: descriptors, display
// texts, the dispatch to the effects and the channel modes.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "engines/voicerack_gfx_synth.h"
#include "tests/engines/rack_test_plugin.h"

namespace {

using namespace rack_test;

TEST(RackParams, EveryFxDescriptorIsItsTableRow) {
  auto p = MakeRack();
  ASSERT_EQ(p->GetParamCount(), 664);
  for (int fx = 0; fx < kFxParamCount; ++fx) {
    const TFxParamRow& row = FxParamRow(fx);
    ASSERT_EQ(p->FxParamIndex(fx), 374 + fx);
    ASSERT_EQ(p->FxIndexOfParam(374 + fx), fx);
    // InitFxParamInfo fills the fields (tested with the table); here only
    // that the instrument put each descriptor at its id.
    EXPECT_EQ(p->ParamInfo[static_cast<std::size_t>(374 + fx)].Name, row.Name) << fx;
    // The stored program starts at the defaults.
    EXPECT_NEAR(p->GetFx(fx), static_cast<float>(row.Default), 1e-3f) << fx;
  }
  EXPECT_EQ(p->FxIndexOfParam(373), -1);
  EXPECT_EQ(p->FxIndexOfParam(10), -1);
}

TEST(RackParams, DisplayTextsOfTheRacksOwnLists) {
  auto p = MakeRack();
  auto text = [&p](int fx, float v) {
    return p->GetParamDisplayText(TDSPPluginX::kQueryParam, p->FxParamIndex(fx), v);
  };
  EXPECT_EQ(text(kDistClpMode, 0), "No Clip");
  EXPECT_EQ(text(kDistClpMode, 1), "Pre");
  EXPECT_EQ(text(kDistClpMode, 2), "Post");
  EXPECT_EQ(text(kDistClpMode, 3), "");
  EXPECT_EQ(text(kDistClpMode, 1.5f), "Post") << "choice values round half to even";
  EXPECT_EQ(text(kDistClpMode, 0.5f), "No Clip");
  EXPECT_EQ(text(71, 0), "Linear");
  EXPECT_EQ(text(71, 1), "");
  EXPECT_EQ(text(MSrc(1), 0), "---");
  EXPECT_EQ(text(MSrc(1), 3), "FXLFO3");
  EXPECT_EQ(text(MSrc(16), 6), "FXLFO6");
  EXPECT_EQ(text(MSrc(1), 7), "");
  EXPECT_EQ(text(MDst(1), 0), "---");
  EXPECT_EQ(text(MDst(1), 1), "RvbGain");
  EXPECT_EQ(text(MDst(1), 133), "LFO6Amp");
  EXPECT_EQ(text(MDst(1), 134), "");
  EXPECT_EQ(text(MDst(1), 256), "");
  EXPECT_EQ(text(kRvbIdx, 3), "3");
  EXPECT_EQ(text(kRvbIdx, 9), "");
  EXPECT_EQ(text(kDistChnMode, 0), "LeftRight");
  EXPECT_EQ(text(kDistChnMode, 1), "Left");
  EXPECT_EQ(text(kDistChnMode, 2), "");
  // Other parameters keep their kind's text.
  EXPECT_FALSE(text(kRvbSize, 500).empty());
  // A query that names no parameter.
  EXPECT_EQ(p->GetParamDisplayText(TDSPPluginX::kQueryParam, 700, 0), "---");
}

TEST(RackParams, ValuesReachTheirEffects) {
  auto p = MakeRack();
  // Gains: 1000 is unity, -1000 inverts.
  p->SetFx(kRvbGain, -1000);
  EXPECT_FLOAT_EQ(p->Reverb().GetWetGain(), -1.0f);
  // The distortion's invert switches are wired crossed, the reverb's straight.
  p->SetFx(kDistInvL, 1);
  EXPECT_TRUE(p->Distortion().GetInvertRight());
  EXPECT_FALSE(p->Distortion().GetInvertLeft());
  p->SetFx(kRvbInvL, 1);
  EXPECT_TRUE(p->Reverb().GetInvertLeft());
  EXPECT_FALSE(p->Reverb().GetInvertRight());
  // Row 30 is the reverb's second tone filter.
  p->SetFx(kRvbFlt2Type, 5);
  EXPECT_EQ(p->Reverb().ToneFilter2().GetFilterIndex(), 5);
  EXPECT_EQ(p->Reverb().ToneFilter1().GetFilterIndex(), 0);
  // The FX LFO rate: ticked once per millisecond at 10 kHz, so ten times
  // the wanted rate.
  p->SetFx(kFxLfo1Frq, -36);
  EXPECT_NEAR(p->TargetBase(122), TDSPBaseControl::PitchToFreq(-36) * 10.0f, 1e-4f);
}

TEST(RackChannelModes, LeftModeMakesTheRightSideFollow) {
  auto p = MakeRack();
  p->SetFx(kDistChnMode, 1);
  p->SetFx(kDstLF1Typ, 7);
  EXPECT_EQ(p->Distortion().ToneFilter(0).GetFilterIndex(), 7);
  EXPECT_EQ(p->Distortion().ToneFilter(2).GetFilterIndex(), 7) << "the right filter 1 follows";
  p->SetFx(kDstRF1Typ, 3);
  EXPECT_EQ(p->Distortion().ToneFilter(2).GetFilterIndex(), 7) << "the right side applies the left value";
  p->SetFx(kDistChnMode, 0);
  p->SetFx(kDstRF1Typ, 4);
  EXPECT_EQ(p->Distortion().ToneFilter(2).GetFilterIndex(), 4);

  // A mode change re-applies the continuous settings at once; a discrete
  // right setting waits for its left one.
  p->SetFx(kPhsL, 500);
  p->SetFx(kPhsR, 800);
  p->SetFx(kPhsStrL, 10);
  p->SetFx(kPhsStrR, 20);
  EXPECT_FLOAT_EQ(p->Phaser().GetPhaseRight(), 0.8f);
  p->SetFx(kPhsChnMode, 1);
  EXPECT_FLOAT_EQ(p->Phaser().GetPhaseRight(), 0.5f);
  EXPECT_EQ(p->Phaser().GetStagesRight(), 20);
  p->SetFx(kPhsStrL, 12);
  EXPECT_EQ(p->Phaser().GetStagesRight(), 12);
}

// Writes real values into a program, as a loaded bank does.
void Store(TRackTestPlugin& p, int program, int fx, float real) {
  const std::int32_t id = p.FxParamIndex(fx);
  p.Programs[static_cast<std::size_t>(program)].Values[static_cast<std::size_t>(id)] =
      p.ParamInfo[static_cast<std::size_t>(id)].NormFromReal(real);
}

TEST(RackChannelModes, AProgramAppliesItsOwnModesWhateverCameBefore) {
  auto p = MakeRack();
  for (int program : {1, 2}) {
    Store(*p, program, kDistTypeL, 5);
    Store(*p, program, kDistTypeR, 9);
    Store(*p, program, kPhsL, 300);
    Store(*p, program, kPhsR, 700);
  }
  Store(*p, 1, kDistChnMode, 1);
  Store(*p, 2, kDistChnMode, 0);
  Store(*p, 1, kPhsChnMode, 1);
  Store(*p, 2, kPhsChnMode, 0);
  for (int round = 0; round < 2; ++round) {
    p->SelectProgram(2);
    p->SelectProgram(1);
    EXPECT_EQ(p->Distortion().GetTypeRight(), 5) << "mode 1 after mode 0";
    EXPECT_FLOAT_EQ(p->Phaser().GetPhaseRight(), 0.3f);
    p->SelectProgram(2);
    EXPECT_EQ(p->Distortion().GetTypeRight(), 9) << "mode 0 after mode 1";
    EXPECT_FLOAT_EQ(p->Phaser().GetPhaseRight(), 0.7f);
  }
}

TEST(RackChannelModes, AnEffectSubPresetAppliesItsOwnMode) {
  auto p = MakeRack();
  p->SetFx(kDistTypeL, 5);
  p->SetFx(kDistTypeR, 9);
  p->SetFx(kDistChnMode, 1);
  const std::int32_t linked = p->StoreSubPresetAs(11, "Linked");
  p->SetFx(kDistChnMode, 0);
  p->SetFx(kDistTypeR, 9);
  ASSERT_EQ(p->Distortion().GetTypeRight(), 9);
  p->ApplySubPreset(11, linked);
  EXPECT_EQ(p->Distortion().GetTypeRight(), 5);
}

}  // namespace
