// Programs whose LFO sweeps a voice filter's cutoff below 0, played through
// the built module: while the note sounds, the output must keep moving. A
// ladder that stops at the bottom of its sweep holds the value it last had
// and the instrument gives out DC instead of the note.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "tests/module/module_render.h"
#include "tests/support/test_support.h"

namespace {

using namespace module_render;
using testing_support::LongestHeldRun;

// A run of a constant value longer than this is a frozen output.
constexpr double kLongestHeldSeconds = 0.010;
constexpr float kSilence = 1e-5f;  // -100 dBFS

struct TFreezeCase {
  const char* Program;
  // Normalised settings by parameter name (the first of that name: filter
  // block 1, left) applied after the program.
  std::vector<std::pair<const char*, float>> Sets;
};

// The 20 ms frames of x that hold DC and nothing else (their level after the
// mean is removed more than 60 dB below the mean), and the largest such DC.
struct TDcFrames {
  int Count = 0;
  double Largest = 0;
};

TDcFrames DcFrames(std::span<const float> x, double rate) {
  TDcFrames f;
  const auto n = static_cast<std::size_t>(0.02 * rate);
  for (std::size_t a = 0; a + n <= x.size(); a += n) {
    double mean = 0;
    for (std::size_t i = a; i < a + n; ++i) mean += x[i];
    mean /= static_cast<double>(n);
    double ac = 0;
    for (std::size_t i = a; i < a + n; ++i) ac += (x[i] - mean) * (x[i] - mean);
    ac = std::sqrt(ac / static_cast<double>(n));
    if (std::fabs(mean) > kSilence && ac < 1e-3 * std::fabs(mean)) {
      ++f.Count;
      f.Largest = std::max(f.Largest, std::fabs(mean));
    }
  }
  return f;
}

}  // namespace

// Before: "Wobble Bass" stood still for 43 frames of 20 ms at up to 0.22,
// "Acid Wah" for 26 at 0.15, "Classic Saw" opened to its whole LFO depth at
// a low cutoff for 62: their "24DB LP3" ladder stopped whenever the LFO took
// the cutoff below 0.
TEST(FrozenFilter, ASweptLadderKeepsMovingWhileTheNoteSounds) {
  std::vector<TFreezeCase> cases = {{"Wobble Bass", {}}, {"Acid Wah", {}}};
  // Every ladder type swept as deep as LFO 1 goes from a low cutoff:
  // "24DB LP", "24DB LP2", "24DB LP3", "24DB HP", "24DB BP", "LP1" (the
  // type's index of 0..50).
  for (int type : {7, 8, 9, 10, 11, 12})
    cases.push_back({"Classic Saw", {{"Filter Type", type / 50.0f}, {"Cutoff", 0.03f}, {"Cutoff->LFO1", 1.0f}}});
  for (const TFreezeCase& c : cases) {
    SCOPED_TRACE(c.Program +
                 (c.Sets.empty() ? std::string() : ", type " + std::to_string(std::lround(c.Sets[0].second * 50))));
    TPlaySettings s;
    s.Program = FindProgram(c.Program);
    ASSERT_GE(s.Program, 0) << "no program named " << c.Program;
    s.Seconds = 4.4;
    s.Prepare = [&c](TVstPlugin& plugin) {
      for (const auto& [name, value] : c.Sets) plugin.SetParameter(ParamIndex(name), value);
    };
    TScript script;
    script.Note(0.1, 4.2, 40);
    TStereo out;
    std::string error;
    ASSERT_TRUE(Play(s, script, out, error)) << error;
    for (const auto* side : {&out.Left, &out.Right}) {
      const std::span<const float> held(side->data() + out.Frame(0.1), side->data() + out.Frame(4.3));
      ASSERT_GT(RmsDb(held), -40.0) << "the note is silent";
      const double longest = static_cast<double>(LongestHeldRun(held, kSilence)) / out.Rate;
      const TDcFrames dc = DcFrames(held, out.Rate);
      EXPECT_LE(longest, kLongestHeldSeconds)
          << (side == &out.Left ? "left" : "right") << ": held still for " << longest * 1000 << " ms; " << dc.Count
          << " frames of 20 ms of DC only, at up to " << dc.Largest;
    }
  }
}
