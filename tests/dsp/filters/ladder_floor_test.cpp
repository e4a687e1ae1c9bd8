// The resonant ladders with their cutoff modulated down to the bottom, as a
// deep LFO or envelope on a voice's filter drives it (the modulated cutoff
// goes to 0 or below, and the filter's setter holds it at its least value):
// a moving input must keep the output moving. A ladder whose stages stop
// at the bottom holds whatever it last had and turns into a DC source.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <string>
#include <vector>

#include "dsp/filters/filter_lanes.h"
#include "dsp/filters/multi_filter.h"
#include "framework/modules/audio_settings.h"
#include "tests/support/test_support.h"

namespace {

using testing_support::LongestHeldRun;

// Every ladder: its type and whether its output has a zero at DC (the
// high-pass is the input less the low-pass, the band-pass the difference of
// two stages), so that any DC it gives out is held state.
struct TLadder {
  std::int32_t Type;
  bool ZeroAtDc;
};
constexpr TLadder kLadders[] = {{7, false}, {8, false}, {9, false},    // "24DB LP", "24DB LP2", "24DB LP3"
                                {10, true}, {11, true}, {12, false}};  // "24DB HP", "24DB BP", "LP1"
constexpr std::int32_t kRates[] = {44100, 48000, 96000, 22050};
constexpr float kResonances[] = {0.2f, 0.6f, 0.95f};
// A run of a constant value longer than this is a frozen output.
constexpr double kLongestHeldSeconds = 0.010;
// What counts as silence (-100 dBFS).
constexpr float kSilence = 1e-5f;
// The most DC an output with a zero at DC may show over the last 100 ms of
// the dive (a window of 8.2 and 12.3 periods of the note leaves some of it).
constexpr double kLargestDc = 0.01;

// How the cutoff moves, once a millisecond.
enum class TMotion {
  kWobble,  // 450 Hz +- 900 Hz at 4 Hz: below 0 a third of each cycle
  kDive,    // 1.2 kHz, then 0.4 s at -500 Hz, then back
};

float CutoffAt(TMotion motion, double seconds) {
  if (motion == TMotion::kWobble)
    return static_cast<float>(450 + 900 * std::sin(2 * std::numbers::pi * 4.09 * seconds));
  return seconds >= 0.3 && seconds < 0.7 ? -500.0f : 1200.0f;
}

// E2 and the fifth above it, 0.3 each: a bass note that moves smoothly
// everywhere (a saw's straight ramps come out of the high- and band-pass
// outputs, one zero at DC each, as constants).
std::vector<float> Note(std::size_t count, std::int32_t rate) {
  std::vector<float> x(count);
  for (std::size_t i = 0; i < count; ++i) {
    const double t = static_cast<double>(i) / rate;
    x[i] = static_cast<float>(0.3 * std::sin(2 * std::numbers::pi * 82.40689 * t) +
                              0.3 * std::sin(2 * std::numbers::pi * 123.4708 * t));
  }
  return x;
}

// The note through the type, its cutoff set every millisecond, as a voice
// sets it; one pass through the filter's own buffer routine and one through
// the vector lanes the voices run it in.
std::vector<float> Render(std::int32_t type, std::int32_t rate, float resonance, TMotion motion, bool lanes) {
  TAudioSettingsRec settings = MakeAudioSettings(rate, rate / 1000);
  const std::int32_t n = settings.SamplesPerMs;
  TDSPMultiFilter m;
  m.SetAudioSettings(&settings);
  m.SetFilterType(static_cast<float>(type));
  m.SetResonance(resonance);
  const int ms = 1000;
  std::vector<float> x = Note(static_cast<std::size_t>(ms) * static_cast<std::size_t>(n), rate);
  for (int k = 0; k < ms; ++k) {
    m.SetCutoff(CutoffAt(motion, k * 0.001));
    float* block = x.data() + static_cast<std::size_t>(k) * static_cast<std::size_t>(n);
    if (lanes) {
      TDSPFilter* filter = &m.Filter();
      ProcessFiltersTogether(&filter, &block, 1, n);
    } else {
      m.ProcessBuffer(block);
    }
  }
  return x;
}

}  // namespace

// Before: "24DB LP2", "24DB LP3" and "24DB BP" stood still at up to 0.25 for
// the whole time the cutoff sat at the bottom (every stage's pole rounded
// onto 1), the way the wobble and wah programs froze; "24DB HP" added the
// value it held to the note (up to 0.39 of DC).
TEST(LadderFloor, NoLadderHoldsAValueWhileItsCutoffSitsAtTheBottom) {
  for (const TLadder& ladder : kLadders) {
    for (std::int32_t rate : kRates) {
      for (float resonance : kResonances) {
        for (TMotion motion : {TMotion::kWobble, TMotion::kDive}) {
          for (bool lanes : {false, true}) {
            const std::string what = std::string(FilterTypeName(ladder.Type)) + " at " + std::to_string(rate) +
                                     ", resonance " + std::to_string(resonance) +
                                     (motion == TMotion::kWobble ? ", wobble" : ", dive") +
                                     (lanes ? ", in lanes" : ", on its own");
            const std::vector<float> y = Render(ladder.Type, rate, resonance, motion, lanes);
            EXPECT_LE(static_cast<double>(LongestHeldRun(y, kSilence)) / rate, kLongestHeldSeconds) << what;
            if (ladder.ZeroAtDc && motion == TMotion::kDive) {
              const auto from = static_cast<std::size_t>(0.6 * rate), to = static_cast<std::size_t>(0.7 * rate);
              double sum = 0;
              for (std::size_t i = from; i < to; ++i) sum += y[i];
              EXPECT_LE(std::fabs(sum / static_cast<double>(to - from)), kLargestDc) << what;
            }
          }
        }
      }
    }
  }
}
