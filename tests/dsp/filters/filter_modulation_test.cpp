// Every filter type with cutoff, resonance and param3 set every millisecond, as
// the envelopes, LFOs and modulation matrix of a voice and the LFOs of the
// effects rack set them: the output stays finite and within a level the type
// itself justifies, over every path an owner drives a filter through.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "dsp/filters/biquad_filters.h"
#include "dsp/filters/direct_form_filter.h"
#include "dsp/filters/multi_filter.h"
#include "dsp/filters/section_state.h"
#include "tests/support/test_support.h"

namespace {

constexpr std::int32_t kRates[] = {22050, 44100, 48000, 96000};
constexpr int kSeconds = 10;

// The largest output peak each type can reach at fixed settings for an input
// within +-1: the largest steady-state gain over the whole settings range
// (cutoff 20 Hz .. the top, resonance and param3 0.001 .. 0.999, 22.05 ..
// 96 kHz) where a closed form gives it, and where a square's edges or a
// narrow resonance drive peaks beyond that gain, the sum of the impulse
// response's magnitudes (its peak gain) or the level measured at fixed
// settings with the test signals, whichever is larger; rounded up.
constexpr std::array<double, kFilterTypeCount> kSteadyLevel = {
    1000,   // "BW LP": 1 / (1.3 - R) at the cutoff, R up to 1.2987: 770; peak gain 986
    1000,   // "BW HP": the same resonance
    2,      // "BW LP2": Butterworth, gain 1.11 at the top cutoff, square level 1.57
    2.5,    // "BW HP2": gain 1; a square's edges pass: 2.38
    3,      // "BW BP2": unity peak; peak gain 2.99
    3,      // "BW BR2": gain 1; peak gain 2.92
    1,      // "12DB LP": a convex mix of input and state
    45,     // "24DB LP": feedback up to 3.995 of 4; peak gain 42.3
    1.1,    // "24DB LP2": peak gain 1
    36,     // "24DB LP3": feedback 0.88 .. 3.34; peak gain 35.7
    100,    // "24DB HP": peak gain 96.7
    70,     // "24DB BP": peak gain 67.7
    750,    // "LP1": feedback R + R / (1 - f), R up to 0.998; peak gain 731
    22,     // "SVF LP": the band state runs on its cubic limit at many settings
    32,     // "SVF HP"
    8,      // "SVF BP"
    17,     // "SVF NOTCH"
    17,     // "PEAKING"
    2.5,    // "IIR NOTCH": peak gain 2.27
    1.3,    // "RES": unity peak; peak gain 1.27
    1.7,    // "RBJ LP": Q / sqrt(1 - 1 / (4 Q^2)) at Q = 0.999: 1.155; peak gain 1.67
    3,      // "RBJ HP": square level 2.63
    1.4,    // "RBJ BPFS": peak R; peak gain 1.32
    1.4,    // "RBJ BPFP": unity peak; peak gain 1.33
    3,      // "RBJ NOTCH": peak gain 2.95
    5,      // "RBJ APF": gain 1; peak gain 4.89
    11000,  // "PEAK-EQ": 78.7 dB x R, R up to 0.998: 8452; peak gain 10900
    20000,  // "LOWSHELF": the same boost, 18850 where rounding moves the poles near DC
    21000,  // "HIGHSHELF": the same boost; peak gain 20200 (a square's edges at full boost)
    1.3,    // "Bandpass": unity peak; peak gain 1.27
    4,      // "Phaser": all-pass; peak gain 3.92
    10,     // "4PoleEQ1": gain x boost up to 7.47; peak gain 9.52
    6,      // "4PoleEQ2": 4.5 at the centre; peak gain 5.73
    8,      // "4PoleLP": 6.34 at the lowest resonance; square level 7.96
    85,     // "Vocal1": 0.3 x (R / 24 + 6) up to 64.2; peak gain 83
    125,    // "Vocal2": 0.3 x (R / 16 + 6) up to 95.5; peak gain 124
    187,    // "RND1": DC gain 0.099 g / 0.00235 + 0.297 / 0.037 + 1.053 g / 0.43 + 0.185, g = 4: 186.6
    187,    // "RND2"
};

// A jump starts the new filter from a state the reference input of
// section_state.h could have left there, so its output can reach about its
// own level on top of the level already running (measured: at most 2.2 times
// the steady level); a third for safety.
constexpr double kTransientMargin = 3;

enum class TSignal { kNoise, kSquare };
enum class TMotion { kJumps, kSweep };
enum class TPath { kSample, kBuffer, kBlockRunners, kSampleRunners };

const char* Name(TSignal s) { return s == TSignal::kNoise ? "noise" : "square"; }
const char* Name(TMotion m) { return m == TMotion::kJumps ? "jumps" : "sweep"; }
const char* Name(TPath p) {
  switch (p) {
    case TPath::kSample:
      return "ProcessSample";
    case TPath::kBuffer:
      return "ProcessBuffer";
    case TPath::kBlockRunners:
      return "block runners";
    case TPath::kSampleRunners:
      return "sample runners";
  }
  return "";
}

// One setting per millisecond.
struct TSetting {
  float Cutoff, Resonance, Param3;
};

// Cutoff log-uniform from 20 Hz to a quarter above the top (22050 stands for
// half the rate), resonance and param3 uniform over 0.001 .. 0.999.
std::vector<TSetting> Jumps(int ms, std::uint32_t seed) {
  std::mt19937 g(seed);
  std::uniform_real_distribution<float> u(0, 1);
  std::vector<TSetting> track(static_cast<std::size_t>(ms));
  for (TSetting& s : track)
    s = {20.0f * std::pow(1.25f * 22050.0f / 20.0f, u(g)), 0.001f + 0.998f * u(g), 0.001f + 0.998f * u(g)};
  return track;
}

// Glides as an envelope or a slow LFO would: segments of 20 .. 500 ms, the
// cutoff moving exponentially and the others linearly to a random target.
std::vector<TSetting> Sweep(int ms, std::uint32_t seed) {
  std::mt19937 g(seed);
  std::uniform_real_distribution<double> u(0, 1);
  std::vector<TSetting> track;
  double cutoff = std::log(1000.0), resonance = 0.5, param3 = 0.5;
  while (static_cast<int>(track.size()) < ms) {
    const int length = 20 + static_cast<int>(480 * u(g));
    const double toCutoff = std::log(20.0) + u(g) * std::log(1.25 * 22050 / 20);
    const double toResonance = 0.001 + 0.998 * u(g), toParam3 = 0.001 + 0.998 * u(g);
    for (int k = 1; k <= length && static_cast<int>(track.size()) < ms; ++k) {
      const double a = static_cast<double>(k) / length;
      track.push_back({static_cast<float>(std::exp(cutoff + (toCutoff - cutoff) * a)),
                       static_cast<float>(resonance + (toResonance - resonance) * a),
                       static_cast<float>(param3 + (toParam3 - param3) * a)});
    }
    cutoff = toCutoff;
    resonance = toResonance;
    param3 = toParam3;
  }
  return track;
}

std::vector<float> Signal(TSignal kind, std::size_t count, std::int32_t rate) {
  std::vector<float> x(count);
  if (kind == TSignal::kNoise) {
    std::mt19937 g(17);
    std::uniform_real_distribution<float> u(-1, 1);
    for (float& v : x) v = u(g);
  } else {
    const auto half = static_cast<std::size_t>(rate / 220);  // 110 Hz
    for (std::size_t i = 0; i < count; ++i) x[i] = (i / half) % 2 ? -1.0f : 1.0f;
  }
  return x;
}

struct TRun {
  double Peak = 0;
  std::int64_t FirstNonFinite = -1;
};

// Filters the signal in place, one millisecond at a time, through the
// multi-filter an owner holds, taking the settings through the given path.
// The runners alternate between their cutoff-resonance and cutoff-param3
// forms; the parameter they do not take is set directly.
TRun Render(std::int32_t type, std::int32_t rate, const std::vector<TSetting>& track, std::vector<float>& x,
            TPath path) {
  TAudioSettingsRec settings = MakeAudioSettings(rate, rate / 1000);
  const std::int32_t n = settings.SamplesPerMs;
  TDSPMultiFilter m;
  m.SetUsesBuffers(path == TPath::kBlockRunners || path == TPath::kSampleRunners);
  m.SetAudioSettings(&settings);
  m.SetFilterType(static_cast<float>(type));
  TDSPFilter& f = m.Filter();
  std::vector<float> cutoff(static_cast<std::size_t>(settings.BufferLength));
  std::vector<float> other(cutoff.size());
  TRun run;
  for (std::size_t k = 0; k < track.size(); ++k) {
    const TSetting& s = track[k];
    float* block = x.data() + k * static_cast<std::size_t>(n);
    const bool even = k % 2 == 0;
    switch (path) {
      case TPath::kSample:
      case TPath::kBuffer:
        f.SetCutoff(s.Cutoff);
        f.SetResonance(s.Resonance);
        f.SetParam3(s.Param3);
        if (path == TPath::kBuffer) {
          m.ProcessBuffer(block);
        } else {
          for (std::int32_t i = 0; i < n; ++i) block[i] = m.ProcessSample(block[i]);
        }
        break;
      case TPath::kBlockRunners:
      case TPath::kSampleRunners:
        std::fill(cutoff.begin(), cutoff.end(), s.Cutoff);
        std::fill(other.begin(), other.end(), even ? s.Resonance : s.Param3);
        if (even) {
          f.SetParam3(s.Param3);
        } else {
          f.SetResonance(s.Resonance);
        }
        f.Inputs[0] = block;
        f.Inputs[1] = cutoff.data();
        f.Inputs[2] = other.data();
        if (path == TPath::kBlockRunners) {
          if (even) {
            f.ProcessBlockModCutoffResonance();
          } else {
            f.ProcessBlockModCutoffParam3();
          }
        } else {
          for (std::int32_t i = 0; i < n; ++i) {
            CurrentSampleIndex = static_cast<std::int16_t>(i);
            if (even) {
              f.ProcessSampleModCutoffResonance();
            } else {
              f.ProcessSampleModCutoffParam3();
            }
          }
          CurrentSampleIndex = 0;
        }
        std::copy(f.OutBuffer, f.OutBuffer + n, block);
        break;
    }
    for (std::int32_t i = 0; i < n; ++i) {
      if (!std::isfinite(block[i])) {
        if (run.FirstNonFinite < 0) run.FirstNonFinite = static_cast<std::int64_t>(k) * n + i;
      } else {
        run.Peak = std::max(run.Peak, static_cast<double>(std::fabs(block[i])));
      }
    }
  }
  return run;
}

// Every type at the four rates with both signals: each combination of signal
// and rate takes another path, so every path sees every signal.
void ExpectBoundedUnder(TMotion motion) {
  for (std::int32_t type = 0; type < kFilterTypeCount; ++type) {
    for (std::size_t r = 0; r < std::size(kRates); ++r) {
      const std::int32_t rate = kRates[r];
      const int ms = kSeconds * 1000;
      const auto seed = static_cast<std::uint32_t>(type * 7 + r);
      const std::vector<TSetting> track = motion == TMotion::kJumps ? Jumps(ms, seed) : Sweep(ms, seed);
      for (TSignal signal : {TSignal::kNoise, TSignal::kSquare}) {
        const auto path =
            static_cast<TPath>((r + static_cast<std::size_t>(signal) + 2 * static_cast<std::size_t>(motion)) % 4);
        std::vector<float> x = Signal(signal, static_cast<std::size_t>(ms) * (rate / 1000), rate);
        const TRun run = Render(type, rate, track, x, path);
        const std::string what = std::string(FilterTypeName(type)) + " " + Name(signal) + " " + Name(motion) + " at " +
                                 std::to_string(rate) + " through " + Name(path);
        EXPECT_LT(run.FirstNonFinite, 0) << what << ": non-finite at sample " << run.FirstNonFinite;
        EXPECT_LE(run.Peak, kTransientMargin * kSteadyLevel[static_cast<std::size_t>(type)]) << what;
      }
    }
  }
}

}  // namespace

// Before: a cutoff jumping between the ends of the band drove the direct-form
// sections (Butterworth, cookbook, 4-pole, vocal, notch, resonator, two-pole)
// to 1e5 .. 1e11 and "PEAK-EQ" to infinity; the "24DB LP" and "LP1" ladders
// to 1e6; "24DB LP3/HP/BP" rang at half the rate at the top cutoff.
TEST(FilterModulation, EveryTypeStaysBoundedWhenSettingsJumpEveryMillisecond) { ExpectBoundedUnder(TMotion::kJumps); }

TEST(FilterModulation, EveryTypeStaysBoundedWhenSettingsSweep) { ExpectBoundedUnder(TMotion::kSweep); }

// Before: the state-variable filters' cubic limit ran away to infinity once
// the band state passed sqrt(2000), which an input of 30 reached at fixed
// settings (the distortion's pre-filters see such levels).
TEST(FilterModulation, StateVariableFiltersStayBoundedOnLoudInput) {
  constexpr float kLevel = 100;
  for (std::int32_t type = 13; type <= 17; ++type) {
    for (std::int32_t rate : {22050, 96000}) {
      std::vector<TSetting> track = Jumps(2000, static_cast<std::uint32_t>(type));
      std::vector<float> x = Signal(TSignal::kNoise, static_cast<std::size_t>(2 * rate), rate);
      for (float& v : x) v *= kLevel;
      const TRun run = Render(type, rate, track, x, TPath::kBuffer);
      EXPECT_LT(run.FirstNonFinite, 0) << FilterTypeName(type) << " at " << rate;
      EXPECT_LE(run.Peak, kLevel * kSteadyLevel[static_cast<std::size_t>(type)]) << FilterTypeName(type);
    }
  }
}

// A NaN or an infinite input sample must not leave the filter producing NaN
// for ever: the sample itself comes out as 0, the state is cleared, and the
// filter goes on filtering.
TEST(FilterModulation, NonFiniteInputResetsTheFilterWithinTheBlock) {
  TAudioSettingsRec settings = MakeAudioSettings(44100, 44);
  const std::vector<float> noise = Signal(TSignal::kNoise, 44 * 60, 44100);
  for (float bad : {std::numeric_limits<float>::quiet_NaN(), std::numeric_limits<float>::infinity()}) {
    for (std::int32_t type = 0; type < kFilterTypeCount; ++type) {
      for (TPath path : {TPath::kSample, TPath::kBuffer, TPath::kBlockRunners}) {
        TDSPMultiFilter m;
        m.SetUsesBuffers(true);
        m.SetAudioSettings(&settings);
        m.SetFilterType(static_cast<float>(type));
        TDSPFilter& f = m.Filter();
        f.SetCutoff(3000);
        f.SetResonance(0.6f);
        f.SetParam3(0.3f);
        std::vector<float> cutoff(static_cast<std::size_t>(settings.BufferLength), 3000.0f);
        std::vector<float> x = noise;
        x[44 * 50 + 5] = bad;
        for (std::size_t at = 0; at < x.size(); at += 44) {
          float* block = x.data() + at;
          if (path == TPath::kBuffer) {
            m.ProcessBuffer(block);
          } else if (path == TPath::kSample) {
            for (int i = 0; i < 44; ++i) block[i] = m.ProcessSample(block[i]);
          } else {
            f.Inputs[0] = block;
            f.Inputs[1] = cutoff.data();
            f.ProcessBlockModCutoff();
            std::copy(f.OutBuffer, f.OutBuffer + 44, block);
          }
        }
        const std::span<const float> after(x.data() + 44 * 50, 44 * 10);
        EXPECT_TRUE(testing_support::AllFinite(after)) << FilterTypeName(type) << " " << Name(path) << " " << bad;
        EXPECT_GT(testing_support::Peak(after.subspan(44 * 9)), 0.0f)
            << FilterTypeName(type) << " " << Name(path) << " went silent";
      }
    }
  }
}

namespace {

// Runs two multi-filters of the type at the same settings over noise, one
// millisecond at a time; before each millisecond `touch` acts on the second.
// Answers the RMS of the difference relative to the first one's output: 0
// exactly when the outputs are the same bit for bit.
template <class TTouch>
double DifferenceAfterTouching(std::int32_t type, TTouch touch) {
  const std::vector<float> noise = Signal(TSignal::kNoise, 44 * 100, 44100);
  TDSPMultiFilter still, touched;
  for (TDSPMultiFilter* m : {&still, &touched}) {
    m->SetFilterType(static_cast<float>(type));
    m->SetCutoff(700);
    m->SetResonance(0.7f);
    m->SetParam3(0.2f);
  }
  std::vector<float> a = noise, b = noise;
  double diff = 0, energy = 0;
  for (std::size_t at = 0; at < a.size(); at += 44) {
    still.ProcessBuffer(a.data() + at);
    touch(touched);
    touched.ProcessBuffer(b.data() + at);
    for (std::size_t i = at; i < at + 44; ++i) {
      diff += (static_cast<double>(a[i]) - b[i]) * (static_cast<double>(a[i]) - b[i]);
      energy += static_cast<double>(a[i]) * a[i];
    }
  }
  return std::sqrt(diff / energy);
}

}  // namespace

// The carried state only acts at a change: a filter whose coefficients are
// recomputed every millisecond without changing gives the very same output.
TEST(FilterModulation, RecomputingUnchangedSettingsLeavesTheOutputBitForBit) {
  for (std::int32_t type = 0; type < kFilterTypeCount; ++type) {
    EXPECT_EQ(DifferenceAfterTouching(type,
                                      [](TDSPMultiFilter& m) {
                                        m.BeginUpdate();
                                        m.SetCutoff(5000);  // changed and back inside one bracket:
                                        m.SetCutoff(700);   // one recomputation, the same result
                                        m.EndUpdate();
                                      }),
              0.0)
        << FilterTypeName(type);
  }
}

// Carrying the state to other coefficients and back, with no sample in
// between (an owner setting cutoff, resonance and param3 one after the other
// passes through such intermediate designs), gives the state back.
TEST(FilterModulation, AnExcursionBetweenTwoSamplesGivesTheStateBack) {
  for (std::int32_t type = 0; type < kFilterTypeCount; ++type) {
    EXPECT_LT(DifferenceAfterTouching(type,
                                      [](TDSPMultiFilter& m) {
                                        m.SetCutoff(5000);
                                        m.SetResonance(0.2f);
                                        m.SetCutoff(700);
                                        m.SetResonance(0.7f);
                                      }),
              1e-4)
        << FilterTypeName(type);
  }
}

// Under slow modulation the carried state stays within a few per mille of
// the plain direct-form recursion running the same coefficients: the sound
// of a filter swept by a slow LFO is kept.
TEST(FilterModulation, SlowModulationKeepsTheDirectFormSound) {
  TAudioSettingsRec settings = MakeAudioSettings(44100, 44);
  const std::vector<float> noise = Signal(TSignal::kNoise, 44 * 4000, 44100);
  for (std::int32_t type = 0; type < kFilterTypeCount; ++type) {
    for (float resonance : {0.5f, 0.9f}) {
      TDSPMultiFilter m;
      m.SetAudioSettings(&settings);
      m.SetFilterType(static_cast<float>(type));
      m.SetResonance(resonance);
      m.SetParam3(0.3f);
      auto* direct = dynamic_cast<TDSPDirectFormFilter*>(&m.Filter());
      auto* biquad = dynamic_cast<TBiquadFilter1Base*>(&m.Filter());
      if (direct == nullptr && biquad == nullptr) continue;
      // The plain recursion, fed the section's coefficients every millisecond.
      double x1 = 0, x2 = 0, y1 = 0, y2 = 0, diff = 0, energy = 0;
      std::vector<float> x = noise;
      for (std::size_t k = 0; k < x.size() / 44; ++k) {
        // 0.1 Hz, one octave either side of 1 kHz.
        m.SetCutoff(static_cast<float>(1000 * std::pow(2.0, std::sin(2 * 3.14159265358979 * 0.1 * k / 1000.0))));
        const TSectionCoefficients c =
            direct != nullptr ? TSectionCoefficients{direct->B0, direct->B1, direct->B2, direct->A1, direct->A2}
                              : TSectionCoefficients{biquad->B0, biquad->B1, biquad->B2, biquad->A1, biquad->A2};
        float* block = x.data() + k * 44;
        for (int i = 0; i < 44; ++i) {
          const double in = block[i];
          const double y = c.B0 * in + c.B1 * x1 + c.B2 * x2 - c.A1 * y1 - c.A2 * y2;
          x2 = x1;
          x1 = in;
          y2 = y1;
          y1 = y;
          block[i] = m.ProcessSample(block[i]);
          diff += (block[i] - y) * (block[i] - y);
          energy += y * y;
        }
      }
      EXPECT_LT(std::sqrt(diff / energy), 0.02) << FilterTypeName(type) << " resonance " << resonance;
    }
  }
}
