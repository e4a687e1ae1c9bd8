// The instrument's output: below +24 dBFS whatever its settings (the
// "Fuzz5" voice shaper on "Init" peaked at +118 dBFS; random legal states of
// every factory program), and there at every sample rate a host gives.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "tests/module/module_render.h"

namespace {

using module_render::ParamIndex;
using module_render::RenderProgram;
using module_render::TParamSet;

constexpr double kRate = 44100;
// +24 dBFS, with the float ceiling's rounding.
constexpr double kCeilingDb = 24.0001;

double PeakDb(const std::vector<std::vector<float>>& channels) {
  float peak = 0;
  for (const std::vector<float>& c : channels)
    for (float v : c) peak = std::isfinite(v) ? std::max(peak, std::fabs(v)) : 1e30f;
  return peak > 0 ? 20 * std::log10(static_cast<double>(peak)) : -200.0;
}

TMidiSong Phrase() {
  return module_render::Song({{33, 0.0, 0.3}, {45, 0.1, 0.4, 127}, {28, 0.35, 0.6, 20}, {40, 0.5, 0.7}});
}

TEST(OutputLevel, TheFuzz5VoiceShaperOnInitStaysBelowTheCeiling) {
  const int shape = ParamIndex("Shape"), type = ParamIndex("Shape Type"), amount = ParamIndex("Shape Amt");
  ASSERT_GE(shape, 0);
  ASSERT_GE(type, 0);
  // The type's normalised value for index 34 of 0..50; the amount at both ends.
  for (float a : {0.0f, 0.3f, 1.0f}) {
    std::string error;
    const auto out =
        RenderProgram(127, Phrase(), kRate, 0.2, error, {{shape, 1.0f}, {type, 34.0f / 50.0f}, {amount, a}});
    ASSERT_FALSE(out.empty()) << error;
    EXPECT_LE(PeakDb(out), kCeilingDb) << "amount " << a;
  }
}

TEST(OutputLevel, RandomLegalStatesOfEveryProgramStayBelowTheCeiling) {
  std::string error;
  auto probe = TVstPlugin::Open(module_render::Module(), error);
  ASSERT_TRUE(probe) << error;
  const int programs = probe->NumPrograms(), params = probe->NumParams();
  std::mt19937 rng(22);
  std::uniform_real_distribution<float> unit(0.0f, 1.0f);
  double loudest = -200;
  int where = -1;
  // Every parameter but the first ten (volume, pan, mute and the like keep
  // the program's), drawn anew for each program.
  for (int program = 0; program < programs; ++program) {
    std::vector<TParamSet> sets;
    for (int i = 10; i < params; ++i) sets.push_back({i, unit(rng)});
    const auto out = RenderProgram(program, module_render::Song({{40, 0.0, 0.25}}), kRate, 0.05, error, sets);
    ASSERT_FALSE(out.empty()) << error;
    const double peak = PeakDb(out);
    if (peak > loudest) {
      loudest = peak;
      where = program;
    }
  }
  EXPECT_LE(loudest, kCeilingDb) << "program " << where;
}

// Peak of a held A2 over 40 blocks of 256 frames after resume; `rates` are
// given in turn before it (none: the host never sets one).
float PeakAfterRates(const std::vector<float>& rates) {
  std::string error;
  auto p = TVstPlugin::Open(module_render::Module(), error, 44100, 256);
  if (!p) return -1;
  for (float r : rates) p->SetSampleRate(r);
  p->SetBlockSize(256);
  p->PrepareBuffers(256);
  std::vector<float> left(256), right(256);
  float* outs[2] = {left.data(), right.data()};
  TVstEventList events(4);
  p->Resume();
  float peak = 0;
  for (int b = 0; b < 40; ++b) {
    events.Clear();
    const std::uint8_t on[3] = {0x90, 45, 100};
    if (b == 0) events.Add(0, on, 3);
    p->ProcessBlock(events.Events(), outs, 256);
    for (float v : left) peak = std::max(peak, std::fabs(v));
  }
  return peak;
}

// Rates from 1000 Hz up render; lower or non-finite ones are refused and the
// previous rate stays, 44.1 kHz when the host never gave one (an instance
// that was never given a rate it takes was silent).
TEST(OutputAtEveryRate, TakenRatesRenderAndRefusedOnesKeepThePreviousRate) {
  const float never = PeakAfterRates({});
  EXPECT_GT(never, 0.05f);
  for (float refused : {0.0f, 500.0f, 999.0f, std::nanf("")}) {
    EXPECT_EQ(PeakAfterRates({refused}), never) << refused;
    EXPECT_EQ(PeakAfterRates({44100.0f, refused}), never) << refused;
  }
  for (float taken : {1000.0f, 1500.0f, 1999.0f, 2000.0f}) EXPECT_GT(PeakAfterRates({taken}), 0.05f) << taken;
}

}  // namespace
