#include "dsp/oscillators/oscillator.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <thread>
#include <typeinfo>
#include <utility>
#include <vector>

#include "dsp/oscillators/blit_oscillator.h"
#include "dsp/oscillators/formula_oscillators.h"
#include "dsp/oscillators/table_oscillators.h"
#include "framework/core/name_lists.h"
#include "tests/support/owner_lock.h"
#include "tests/support/test_support.h"

using testing_support::AllFinite;

namespace {

bool IsNoise(std::int32_t index) { return index == 28 || index == 29 || index == 31 || index == 43 || index == 44; }

bool IsTable(std::int32_t index) { return SharedWaveTable(index) != nullptr; }

std::vector<float> Render(TDSPOscillator& osc, int samples) {
  std::vector<float> out(static_cast<std::size_t>(samples));
  for (float& v : out) {
    osc.Tick();
    v = osc.OutputSample;
  }
  return out;
}

// Mean |x[i] - x[i + lag]| with the lag interpolated linearly.
double Difference(const std::vector<float>& x, double lag) {
  const auto whole = static_cast<std::size_t>(lag);
  const double frac = lag - static_cast<double>(whole);
  if (whole + 2 > x.size()) return 1e300;
  const std::size_t n = x.size() - whole - 1;
  double sum = 0;
  for (std::size_t i = 0; i < n; ++i) {
    const double shifted = (1 - frac) * x[i + whole] + frac * x[i + whole + 1];
    sum += std::fabs(x[i] - shifted);
  }
  return sum / static_cast<double>(n);
}

struct TPeriod {
  double Lag = 0;       // the best period near the expected one, samples
  double Match = 0;     // difference at that lag relative to the signal's spread
  double SubMatch = 0;  // the smallest relative difference at half or a third of it
};

// The period of x near `expected` samples (within 5 %), by the minimum of
// the average magnitude difference, refined to a twentieth of a sample.
// Values are compressed (v / (1 + |v|)) first, so the poles of the tangent
// shapes do not drown the rest of the cycle.
TPeriod MeasurePeriod(const std::vector<float>& raw, double expected) {
  std::vector<float> x(raw.size());
  std::transform(raw.begin(), raw.end(), x.begin(), [](float v) { return v / (1.0f + std::fabs(v)); });
  double mean = 0;
  for (float v : x) mean += v;
  mean /= static_cast<double>(x.size());
  double spread = 0;
  for (float v : x) spread += std::fabs(v - mean);
  spread = std::max(spread / static_cast<double>(x.size()), 1e-12);
  double best = expected, bestValue = 1e300;
  const int low = static_cast<int>(std::floor(expected * 0.95)), high = static_cast<int>(std::ceil(expected * 1.05));
  for (int lag = std::max(low, 1); lag <= high; ++lag) {
    const double d = Difference(x, lag);
    if (d < bestValue) bestValue = d, best = lag;
  }
  const double centre = best;
  for (double lag = centre - 1.0; lag <= centre + 1.0; lag += 0.05) {
    if (lag < 1) continue;
    const double d = Difference(x, lag);
    if (d < bestValue) bestValue = d, best = lag;
  }
  TPeriod p;
  p.Lag = best;
  p.Match = bestValue / spread;
  p.SubMatch = std::min(Difference(x, best / 2), Difference(x, best / 3)) / spread;
  return p;
}

// How many phase units one period of the waveform spans.
double PhasePeriod(std::int32_t index, const TDSPBaseOscillator& w) {
  if (IsTable(index)) return 1.0;                                 // Frequency is the table's rate
  if (index == 17) return 2.0;                                    // "SinCos": sin and cos of pi p
  if (index == 32) return kTwoPiF;                                // "SawSin": a ramp per 2 pi of phase
  if (index == 48) return kPiF / 5.0;                             // "X-Curve": even in sin(5 p)
  if (w.PhaseLimit == 96.0f && w.PhaseWrap == 48.0f) return 1.0;  // the base range: one cycle per unit
  return w.PhaseWrap;
}

}  // namespace

TEST(Oscillator, EveryIndexBuildsAtBothRates) {
  for (TAudioSettingsRec* settings : {&DefaultAudioSettings, &ControlAudioSettings}) {
    TDSPOscillator osc;
    osc.SetAudioSettings(settings);
    for (std::int32_t index = 0; index < kWaveformSlots; ++index) {
      osc.SetWaveform(static_cast<float>(index));
      ASSERT_EQ(osc.GetWaveformIndex(), index);
      const TDSPBaseOscillator& w = osc.CurrentWaveform();
      EXPECT_EQ(w.Settings, settings) << index;
      EXPECT_TRUE(osc.IsReady());
      if (index >= kWaveformCount) {
        EXPECT_EQ(typeid(w), typeid(TSineOsc1)) << index;
        EXPECT_EQ(GetWaveformName(index), "") << index;
      } else {
        EXPECT_NE(GetWaveformName(index), "") << index;
        EXPECT_EQ(typeid(w) == typeid(TSineOsc1), index == 6) << index;
      }
      const auto out = Render(osc, 200);
      EXPECT_TRUE(AllFinite(out)) << index;
    }
  }
}

TEST(Oscillator, NamesOutsideTheListAreEmptyAndTheListsAreRegistered) {
  for (std::int32_t index : {93, 127, 128, -1}) EXPECT_EQ(GetWaveformName(index), "") << index;
  EXPECT_EQ(typeid(*CreateWaveform(-5)), typeid(TSineOsc1));
  // Registered for the parameters' value texts.
  std::string text;
  ASSERT_TRUE(NameListText(TNameListId::Waveform, 38, text));
  EXPECT_EQ(text, GetWaveformName(38));
  ASSERT_TRUE(NameListText(TNameListId::CurveLaw, 21, text));
  EXPECT_EQ(text, "LoHiFine");
}

TEST(Oscillator, WaveformValueIsRoundedToNearestEvenAndClamped) {
  const std::pair<float, std::int32_t> cases[] = {{6.4f, 6},
                                                  {6.5f, 6},
                                                  {7.5f, 8},
                                                  {-3.0f, 0},
                                                  {200.0f, 127},
                                                  {1e30f, 127},
                                                  {std::numeric_limits<float>::quiet_NaN(), 0}};
  TDSPOscillator osc;
  for (const auto& [value, index] : cases) {
    osc.SetWaveform(value);
    EXPECT_EQ(osc.GetWaveformIndex(), index) << value;
  }
}

TEST(Oscillator, RebuildCarriesGainAndPitchButRestartsThePhase) {
  TDSPOscillator osc;
  osc.SetWaveform(6);
  osc.SetFrequency(220.0f);
  osc.SetGain(0.8f);
  Render(osc, 100);
  osc.SetWaveform(6);  // the same index still rebuilds
  EXPECT_EQ(osc.CurrentWaveform().Phase, 0.001f);
  EXPECT_FLOAT_EQ(osc.GetGain(), 0.8f);
  EXPECT_NEAR(osc.CurrentWaveform().Frequency, 220.0f, 0.01f);

  // "Saw AA" stores three times the gain; leaving it keeps the owner's gain.
  osc.SetWaveform(kBlitSawIndex);
  EXPECT_FLOAT_EQ(osc.GetGain(), 2.4f);
  osc.SetWaveform(30);
  EXPECT_FLOAT_EQ(osc.GetGain(), 0.8f);

  // Leaving "ParaSine" hands on its offset pitch (24 semitones up).
  osc.SetWaveform(45);
  osc.CurrentWaveform().SetPitch(45.0f);
  osc.SetWaveform(6);
  EXPECT_FLOAT_EQ(osc.CurrentWaveform().Pitch, 69.0f);
  // Leaving a table waveform hands on the pitch without its 0.03 offset.
  osc.SetWaveform(36);
  osc.CurrentWaveform().SetPitch(50.0f);
  osc.SetWaveform(6);
  EXPECT_FLOAT_EQ(osc.CurrentWaveform().Pitch, 50.0f);
}

TEST(Oscillator, SettingsReachTheWaveform) {
  TDSPOscillator osc;
  osc.SetWaveform(36);
  osc.SetAudioSettings(&ControlAudioSettings);
  const auto& w = static_cast<const TDSPTableOscillator&>(osc.CurrentWaveform());
  EXPECT_EQ(w.Settings, &ControlAudioSettings);
  EXPECT_FLOAT_EQ(w.TableRate, 256.0f / 10000.0f);
}

TEST(Oscillator, ValueAtPhaseIsRawAndLeavesThePhaseThere) {
  TDSPOscillator osc;
  osc.SetGain(3.0f);
  EXPECT_EQ(osc.GetValueAtPhase(0.25f), -0.5f);
  EXPECT_EQ(osc.CurrentWaveform().Phase, 0.25f);
}

TEST(Oscillator, EveryPeriodicWaveformSoundsAtItsExpectedFrequency) {
  for (std::int32_t index = 0; index < kWaveformCount; ++index) {
    if (IsNoise(index)) continue;
    TDSPOscillator osc;
    osc.SetAudioSettings(&DefaultAudioSettings);
    osc.SetWaveform(static_cast<float>(index));
    TDSPBaseOscillator& w = osc.CurrentWaveform();
    w.SetPitch(45.0f);
    osc.ResetPhase();
    // Table waveforms step their phase in Tick as well: twice as fast.
    const double expectedHz = w.Frequency / PhasePeriod(index, w) * (IsTable(index) ? 2.0 : 1.0);
    const auto out = Render(osc, 44100);
    ASSERT_TRUE(AllFinite(out)) << index;
    const std::vector<float> settled(out.begin() + 4410, out.end());
    const TPeriod period = MeasurePeriod(settled, 44100.0 / expectedHz);
    const double measuredHz = 44100.0 / period.Lag;
    EXPECT_NEAR(measuredHz / expectedHz, 1.0, 0.005) << index << " " << GetWaveformName(index);
    // It repeats at that period (the unsmoothed noise table aliases most)...
    EXPECT_LT(period.Match, index == 42 ? 0.5 : 0.2) << index << " " << GetWaveformName(index);
    // ...and not already at a half or a third of it (no octave error).
    EXPECT_GT(period.SubMatch, period.Match + 0.25) << index << " " << GetWaveformName(index);
  }
}

TEST(Oscillator, OutputIsFiniteOverThePitchRange) {
  for (TAudioSettingsRec* settings : {&DefaultAudioSettings, &ControlAudioSettings}) {
    for (std::int32_t index = 0; index < kWaveformCount; ++index) {
      TDSPOscillator osc;
      osc.SetAudioSettings(settings);
      osc.SetWaveform(static_cast<float>(index));
      for (int pitch = -128; pitch <= 140; pitch += 4) {
        osc.CurrentWaveform().SetPitch(static_cast<float>(pitch));
        const auto out = Render(osc, 300);
        ASSERT_TRUE(AllFinite(out)) << index << " " << GetWaveformName(index) << " pitch " << pitch;
      }
      std::vector<float> buffer(static_cast<std::size_t>(settings->SamplesPerMs));
      osc.ProcessBuffer(buffer.data());
    }
  }
}

TEST(Oscillator, ControlRateLfoCyclesAtTheRateItsOwnersImply) {
  // The owners tick once per millisecond against the 10 kHz record and set
  // ten times the wanted rate: the formula waveforms cycle at
  // PitchToFreq(v) per second, table waveforms twice as fast.
  struct TCase {
    std::int32_t Index;
    float Rate;  // the rate parameter, a pitch
  };
  for (const TCase c :
       {TCase{30, 0.0f}, TCase{6, -12.0f}, TCase{3, 5.0f}, TCase{36, 0.0f}, TCase{46, 0.0f}, TCase{38, -10.0f}}) {
    TDSPOscillator lfo;
    lfo.SetAudioSettings(&ControlAudioSettings);
    lfo.SetWaveform(static_cast<float>(c.Index));
    lfo.SetFrequency(TDSPBaseControl::PitchToFreq(c.Rate) * 10.0f);
    lfo.SetGain(1.0f);
    const double cyclesPerSecond = TDSPBaseControl::PitchToFreq(c.Rate) * (IsTable(c.Index) ? 2.0 : 1.0);
    const auto ticks = Render(lfo, 8000);  // eight seconds of milliseconds
    const std::vector<float> settled(ticks.begin() + 1000, ticks.end());
    const double expectedTicks = 1000.0 / cyclesPerSecond;
    const TPeriod period = MeasurePeriod(settled, expectedTicks);
    EXPECT_NEAR(period.Lag / expectedTicks, 1.0, 0.005) << GetWaveformName(c.Index);
    EXPECT_LT(period.Match, 0.1) << GetWaveformName(c.Index);
  }
}

TEST(Oscillator, BlockRendersMatchTheTickPath) {
  TAudioSettingsRec settings = MakeAudioSettings(44100, 44);
  for (std::int32_t index : {0, 6, 36, 38, 46, 65}) {
    TDSPOscillator blocks;
    blocks.SetUsesBuffers(true);
    blocks.SetAudioSettings(&settings);
    blocks.SetWaveform(static_cast<float>(index));
    blocks.SetFrequency(330.0f);
    blocks.SetGain(0.5f);
    blocks.CurrentWaveform().FillInputBuffers();
    TDSPOscillator ticks;
    ticks.SetAudioSettings(&settings);
    ticks.SetWaveform(static_cast<float>(index));
    ticks.SetFrequency(330.0f);
    ticks.SetGain(0.5f);
    for (int block = 0; block < 20; ++block) {
      blocks.ProcessBlock();
      for (int i = 0; i < 44; ++i) {
        ticks.Tick();
        ASSERT_NEAR(blocks.OutBuffer[i], ticks.OutputSample, 1e-5f) << index << " block " << block << " " << i;
      }
    }
  }
}

TEST(OscillatorStress, SwitchWhileTicking) {
  TDSPOscillator osc;
  osc.SetAudioSettings(&ControlAudioSettings);
  std::atomic<bool> done{false};
  std::atomic<bool> finite{true};
  std::atomic<int> blocks{0};
  std::thread render([&] {
    int block = 0;
    while (!done.load(std::memory_order_relaxed)) {
      testing_support::TOwnerLockGuard lock;  // the audio thread renders under its owner's lock
      osc.SetFrequency(static_cast<float>(20 + block % 50));
      for (int i = 0; i < 44; ++i) {
        osc.Tick();
        if (!std::isfinite(osc.OutputSample)) finite = false;
      }
      ++block;
      blocks.store(block, std::memory_order_relaxed);
    }
  });
  // Switch through every slot at least three times, and until the render
  // thread has ticked a good number of blocks meanwhile.
  while (blocks.load(std::memory_order_relaxed) == 0) std::this_thread::yield();
  for (int round = 0; round < 3 || (blocks.load(std::memory_order_relaxed) < 300 && round < 1000); ++round) {
    for (std::int32_t index = 0; index < kWaveformSlots; ++index) {
      testing_support::TOwnerLockGuard lock;  // as the owner changes it
      osc.SetWaveform(static_cast<float>(index));
    }
  }
  done = true;
  render.join();
  EXPECT_TRUE(finite.load());
  EXPECT_TRUE(osc.IsReady());
}
