// The rack's modulation: FX LFOs and the 16-slot matrix, evaluated once per
// millisecond while the rack runs.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "engines/voicerack_gfx_synth.h"
#include "tests/engines/rack_test_plugin.h"
#include "tests/support/alloc_trap.h"

namespace {

using namespace rack_test;

void Render(TRackTestPlugin& p, int blocks) {
  for (int b = 0; b < blocks; ++b) p.RenderBlock();
}

TEST(RackModulation, AnLfoAtMinus36MovesTheReverbWetGainOnceEvery978Blocks) {
  auto p = MakeModulatedRack();
  Route(*p, 1, 1, 1);  // FXLFO1 -> RvbGain at unit depth
  std::vector<float> gain;
  gain.reserve(5000);
  {
    testing_support::TAudioThreadGuard audio("modulated rack");
    for (int b = 0; b < 5000; ++b) {
      p->RenderBlock();
      gain.push_back(p->Reverb().GetWetGain());
    }
  }
  // Rising crossings of the base.
  std::vector<int> rising;
  float lo = 10;
  float hi = -10;
  for (std::size_t i = 1; i < gain.size(); ++i) {
    lo = std::min(lo, gain[i]);
    hi = std::max(hi, gain[i]);
    if (gain[i - 1] < 1.0f && gain[i] >= 1.0f) rising.push_back(static_cast<int>(i));
  }
  ASSERT_GE(rising.size(), 3u);
  const double period = static_cast<double>(rising.back() - rising.front()) / static_cast<double>(rising.size() - 1);
  EXPECT_NEAR(period, 978.0, 3.0);
  // 1 + the LFO's output around the base of 1.
  EXPECT_NEAR(hi, 2.0f, 0.01f);
  EXPECT_NEAR(lo, 0.0f, 0.01f);
}

TEST(RackModulation, TwoSlotsOnOneTargetAdd) {
  auto one = MakeModulatedRack();
  auto two = MakeModulatedRack();
  Route(*one, 1, 1, 4);  // RvbPan, base 0.5
  Route(*two, 1, 1, 4);
  Route(*two, 9, 1, 4, 500);
  const float amount500 = NormToAmp60(0.5f);
  for (int b = 0; b < 200; ++b) {
    one->RenderBlock();
    two->RenderBlock();
    const float m = one->Reverb().GetPan() / 0.5f - 1.0f;
    EXPECT_NEAR(two->Reverb().GetPan(), std::clamp(0.5f * (1.0f + m * (1.0f + amount500)), 0.0f, 1.0f), 1e-5f) << b;
  }
}

TEST(RackModulation, RetargetingRemovingTheSourceAndSwitchingOffRestoreTheBase) {
  auto p = MakeModulatedRack();
  Route(*p, 1, 1, 1);
  Render(*p, 100);
  ASSERT_NE(p->Reverb().GetWetGain(), 1.0f);
  // Retarget: the old target gets its plain base back at once.
  p->SetFx(MDst(1), 4);
  EXPECT_EQ(p->Reverb().GetWetGain(), 1.0f);
  Render(*p, 100);
  EXPECT_EQ(p->Reverb().GetWetGain(), 1.0f);
  EXPECT_NE(p->Reverb().GetPan(), 0.5f);
  // Source removed.
  p->SetFx(MSrc(1), 0);
  EXPECT_EQ(p->Reverb().GetPan(), 0.5f);
  Render(*p, 10);
  EXPECT_EQ(p->Reverb().GetPan(), 0.5f);
  // Switched off: restored at the next update.
  p->SetFx(MSrc(1), 2);
  Render(*p, 100);
  ASSERT_NE(p->Reverb().GetPan(), 0.5f);
  p->SetFx(kFxModOn, 0);
  Render(*p, 1);
  EXPECT_EQ(p->Reverb().GetPan(), 0.5f);
  // An amount of 0 leaves the target at its base while it stays selected.
  p->SetFx(kFxModOn, 1);
  p->SetFx(MAmt(1), 0);
  Render(*p, 50);
  EXPECT_EQ(p->Reverb().GetPan(), 0.5f);
}

TEST(RackModulation, LeftModeLinksTheRightPartner) {
  auto p = MakeModulatedRack();
  p->SetFx(55, 1000);   // right filter 1 cutoff
  Route(*p, 1, 1, 18);  // DstLF1C, left base 4096
  Render(*p, 100);
  const float left = p->Distortion().ToneFilter(0).Filter().GetCutoff();
  EXPECT_NE(left, 4096.0f);
  EXPECT_EQ(p->Distortion().ToneFilter(2).Filter().GetCutoff(), 1000.0f) << "mode 0: sides independent";
  p->SetFx(kDistChnMode, 1);
  Render(*p, 100);
  EXPECT_EQ(p->Distortion().ToneFilter(2).Filter().GetCutoff(), p->Distortion().ToneFilter(0).Filter().GetCutoff())
      << "mode 1: the right side moves with the left, from the left base";
}

TEST(RackModulation, TargetsPastTheTableSelectNothing) {
  auto p = MakeModulatedRack();
  Route(*p, 1, 1, 256);
  Route(*p, 2, 1, 134);
  Route(*p, 3, 12, 1);  // a source past the LFOs gives 0
  Render(*p, 200);
  EXPECT_EQ(p->Reverb().GetWetGain(), 1.0f);
  Route(*p, 4, 1, 1);
  Render(*p, 200);
  EXPECT_NE(p->Reverb().GetWetGain(), 1.0f) << "the other slots still work";
}

TEST(RackModulation, TheMatrixFollowsTheProgramItsValuesComeFrom) {
  auto p = MakeModulatedRack();
  // Program 2 holds a routing and the switch, written as a loaded bank
  // writes them (no parameter change).
  auto store = [&p](int program, int fx, float real) {
    const std::int32_t id = p->FxParamIndex(fx);
    p->Programs[static_cast<std::size_t>(program)].Values[static_cast<std::size_t>(id)] =
        p->ParamInfo[static_cast<std::size_t>(id)].NormFromReal(real);
  };
  store(2, kFxOn, 1);
  store(2, kFxModOn, 1);
  store(2, MSrc(1), 1);
  store(2, MDst(1), 1);
  store(2, MAmt(1), 1000);
  Render(*p, 20);
  EXPECT_EQ(p->Reverb().GetWetGain(), 1.0f);
  p->SelectProgram(2);
  Render(*p, 100);
  EXPECT_NE(p->Reverb().GetWetGain(), 1.0f) << "program 2's slot feeds the wet gain";
  // Back to program 0, whose matrix is off: the target returns to its base.
  p->SelectProgram(0);
  Render(*p, 1);
  EXPECT_EQ(p->Reverb().GetWetGain(), 1.0f);
}

TEST(RackModulation, TheLfosStopWithTheRack) {
  auto p = MakeModulatedRack();
  Route(*p, 1, 1, 1);
  Render(*p, 50);
  p->SetFx(kFxOn, 0);
  const float held = p->Reverb().GetWetGain();
  Render(*p, 300);
  EXPECT_EQ(p->Reverb().GetWetGain(), held);
}

}  // namespace

namespace {

TEST(RackModulation, TheWholeRackRunsWithoutAllocating) {
  auto p = MakeModulatedRack();
  for (int fx : {kRvbOn, kDistOn, kPhsOn, kDlyOn, kChrsOn, kXfltOn, kEqOn}) p->SetFx(fx, 1);
  p->SetFx(kFxPreShift, -25);
  p->SetFx(kFxPostShift, 40);
  // Every source on targets of every effect and of the LFOs themselves.
  const int targets[] = {1, 18, 46, 60, 72, 98, 112, 122, 125, 11, 45, 84};
  for (int slot = 1; slot <= 12; ++slot) Route(*p, slot, 1 + (slot - 1) % 6, targets[slot - 1], 500);
  Render(*p, 50);
  testing_support::TAudioThreadGuard audio("the modulated rack");
  for (int b = 0; b < 1000; ++b) {
    const float* out = p->RenderBlock();
    ASSERT_TRUE(std::isfinite(out[0]) && std::isfinite(out[1])) << b;
  }
}

}  // namespace
