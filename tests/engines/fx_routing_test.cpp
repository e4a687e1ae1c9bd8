// Where the rack's values go: every parameter of a filter, LFO, equaliser or
// tap reaches the one object its row names (unit, side, number) and no
// other; each of the six FX LFOs drives a slot; every one of the sixteen
// slots hands its old target back at once when it is retargeted.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "engines/voicerack_gfx_synth.h"
#include "tests/engines/rack_test_plugin.h"

namespace {

using namespace rack_test;

// A named object of the rack and what can be read of it.
struct TProbe {
  std::string Name;
  std::function<std::vector<float>()> Read;
};

std::vector<float> FilterState(const TDSPMultiFilter& f) {
  return {static_cast<float>(f.GetFilterIndex()), f.Filter().GetCutoff(), f.Filter().GetResonance(),
          f.Filter().GetParam3()};
}

std::vector<float> LfoState(TDSPOscillator& o) {
  return {static_cast<float>(o.GetWaveformIndex()), o.GetGain(), o.CurrentWaveform().Frequency};
}

// Every filter of the rack, named as the effects' headers number them.
std::vector<TProbe> Filters(TRackTestPlugin& p) {
  std::vector<TProbe> probes;
  auto add = [&probes](std::string name, std::function<TDSPMultiFilter&()> f) {
    probes.push_back({std::move(name), [f] { return FilterState(f()); }});
  };
  add("Reverb 1", [&p]() -> TDSPMultiFilter& { return p.Reverb().ToneFilter1(); });
  add("Reverb 2", [&p]() -> TDSPMultiFilter& { return p.Reverb().ToneFilter2(); });
  const char* distortion[] = {"Distortion Left 1", "Distortion Left 2", "Distortion Right 1", "Distortion Right 2"};
  for (int k = 0; k < 4; ++k)
    add(distortion[k], [&p, k]() -> TDSPMultiFilter& { return p.Distortion().ToneFilter(k); });
  add("Delay Left 1", [&p]() -> TDSPMultiFilter& { return p.Delay().FeedbackFilterLeft(); });
  add("Delay Right 1", [&p]() -> TDSPMultiFilter& { return p.Delay().FeedbackFilterRight(); });
  for (int side = 0; side < 2; ++side)
    for (int k = 0; k < 4; ++k)
      add(std::string("XFilter ") + (side ? "Right " : "Left ") + std::to_string(k + 1),
          [&p, side, k]() -> TDSPMultiFilter& { return p.XFilter().StageFilter(side == 1, k); });
  return probes;
}

// Every LFO of the rack: the phaser's two, the chorus's four, the six FX LFOs.
std::vector<TProbe> Lfos(TRackTestPlugin& p) {
  std::vector<TProbe> probes;
  probes.push_back({"Phaser Left 1", [&p] { return LfoState(p.Phaser().LfoLeft()); }});
  probes.push_back({"Phaser Right 1", [&p] { return LfoState(p.Phaser().LfoRight()); }});
  const char* chorus[] = {"Chorus Left 1", "Chorus Left 2", "Chorus Right 1", "Chorus Right 2"};
  for (int k = 0; k < 4; ++k) probes.push_back({chorus[k], [&p, k] { return LfoState(p.Chorus().Lfo(k)); }});
  for (int k = 0; k < 6; ++k)
    probes.push_back({"Rack None " + std::to_string(k + 1), [&p, k] { return LfoState(p.FxLfo(k)); }});
  return probes;
}

std::vector<TProbe> Taps(TRackTestPlugin& p) {
  std::vector<TProbe> probes;
  for (int side = 0; side < 2; ++side)
    for (int k = 0; k < 4; ++k)
      probes.push_back({std::string("XFilter ") + (side ? "Right " : "Left ") + std::to_string(k + 1),
                        [&p, side, k] { return std::vector<float>{float(p.XFilter().GetTapLength(side == 1, k))}; }});
  return probes;
}

// The probe name a row names.
std::string Named(const TFxParamRow& row) {
  const std::string side = row.Side == TFxSide::Left ? "Left " : row.Side == TFxSide::Right ? "Right " : "";
  if (row.Unit == TFxUnit::Rack) return "Rack None " + std::to_string(row.Num);
  return std::string(EnumName(row.Unit)) + " " + side + std::to_string(row.Num);
}

// With every channel mode at LeftRight (sides independent), each such row
// changes exactly its own object.
TEST(RackRouting, EveryFilterLfoAndTapParameterReachesOnlyTheObjectItsRowNames) {
  auto p = MakeRack();
  int checked = 0;
  for (int fx = 0; fx < kFxParamCount; ++fx) {
    const TFxParamRow& row = FxParamRow(fx);
    std::vector<TProbe> probes;
    if (row.Object == TFxObject::Filter) probes = Filters(*p);
    else if (row.Object == TFxObject::Lfo) probes = Lfos(*p);
    else if (row.Object == TFxObject::Tap) probes = Taps(*p);
    else continue;
    std::vector<std::vector<float>> before;
    for (const TProbe& probe : probes) before.push_back(probe.Read());
    // A value inside the row's range that differs from the current one.
    const float a = static_cast<float>(row.Min + (row.Max - row.Min) / 3);
    const float b = static_cast<float>(row.Min + (row.Max - row.Min) / 2);
    p->SetFx(fx, p->GetFx(fx) == a ? b : a);
    std::vector<std::string> changed;
    for (std::size_t k = 0; k < probes.size(); ++k)
      if (probes[k].Read() != before[k]) changed.push_back(probes[k].Name);
    std::string names;
    for (const std::string& name : changed) names += " [" + name + "]";
    ASSERT_EQ(changed.size(), 1u) << fx << " " << row.Name << " changed" << names;
    EXPECT_EQ(changed[0], Named(row)) << fx << " " << row.Name;
    ++checked;
  }
  // Filters: reverb 8, distortion 16, delay 8, cross filter 32; LFOs:
  // phaser 6, chorus 12, rack 18; taps 8.
  EXPECT_EQ(checked, 64 + 36 + 8);
}

// The equalisers have no reader: a gain of the left side changes the left
// output only, one of the right side the right only.
TEST(RackRouting, EachEqualiserGainChangesItsOwnSideOnly) {
  for (int fx : {211, 212, 213, 216, 217, 218}) {
    const bool right = FxParamRow(fx).Side == TFxSide::Right;
    std::vector<float> out[2];
    for (int changed = 0; changed < 2; ++changed) {
      auto p = MakeRack();
      p->SetFx(kFxOn, 1);
      p->SetFx(kEqOn, 1);
      if (changed) p->SetFx(fx, 700);  // about +10 dB
      std::vector<float> noise(44 * 40);
      std::uint32_t seed = 1;
      for (float& x : noise) x = static_cast<float>((seed = seed * 1664525u + 1013904223u) >> 8) / 16777216.0f - 0.5f;
      p->Feed(noise, noise);
      for (int block = 0; block < 40; ++block) {
        const float* o = p->RenderBlock();
        out[changed].insert(out[changed].end(), o, o + 2 * 44);
      }
    }
    double moved[2] = {0, 0};
    for (std::size_t i = 0; i < out[0].size(); ++i) moved[i % 2] += std::fabs(out[1][i] - out[0][i]);
    EXPECT_GT(moved[right ? 1 : 0], 1.0) << fx << " changes its own side";
    EXPECT_EQ(moved[right ? 0 : 1], 0.0) << fx << " leaves the other side";
  }
}

// Sources 1..6 are the six FX LFOs: each one moves the reverb's wet gain.
TEST(RackRouting, EachOfTheSixLfosDrivesASlot) {
  for (int source = 1; source <= 6; ++source) {
    auto p = MakeModulatedRack();
    Route(*p, 1, source, 1);
    float lo = 1.0f, hi = 1.0f;
    for (int b = 0; b < 600; ++b) {
      p->RenderBlock();
      lo = std::min(lo, p->Reverb().GetWetGain());
      hi = std::max(hi, p->Reverb().GetWetGain());
    }
    EXPECT_GT(hi - lo, 0.5f) << "FXLFO" << source;
  }
}

// Slots 1..16: the target a slot leaves returns to its base at once, and the
// new target moves.
TEST(RackRouting, EverySlotHandsItsOldTargetBackAtOnceWhenRetargeted) {
  for (int slot = 1; slot <= kFxModSlotCount; ++slot) {
    auto p = MakeModulatedRack();
    Route(*p, slot, 1, 1);
    for (int b = 0; b < 100; ++b) p->RenderBlock();
    ASSERT_NE(p->Reverb().GetWetGain(), 1.0f) << slot;
    p->SetFx(MDst(slot), 4);
    EXPECT_EQ(p->Reverb().GetWetGain(), 1.0f) << slot;
    for (int b = 0; b < 100; ++b) p->RenderBlock();
    EXPECT_NE(p->Reverb().GetPan(), 0.5f) << slot;
  }
}

}  // namespace
