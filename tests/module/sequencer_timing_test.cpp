// The step sequencers through the built module, as a musician uses them: a
// key held on a sequenced program while the host plays at its tempo. The
// steps must stay on the host's sixteenth-note grid however long the key is
// held, at every tempo and sample rate; the sequenced programs must keep
// sounding at their level while the key is held.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "tests/module/module_render.h"

namespace {

using namespace module_render;

constexpr int kHeldKey = 40;  // E2
constexpr int kTicksPerQuarter = 480;

// A key held from the song's first beat for `bars` bars of 4/4 at `bpm`.
TMidiSong HeldSong(double bpm, int bars) {
  TMidiSong song;
  song.TicksPerQuarter = kTicksPerQuarter;
  TMidiTempoChange tempo;
  tempo.MicrosPerQuarter = static_cast<std::uint32_t>(std::lround(60e6 / bpm));
  song.Tempos = {tempo};
  auto event = [](std::int64_t tick, std::uint8_t status, int velocity) {
    TMidiFileEvent e;
    e.Tick = tick;
    e.Bytes[0] = status;
    e.Bytes[1] = static_cast<std::uint8_t>(kHeldKey);
    e.Bytes[2] = static_cast<std::uint8_t>(velocity);
    e.Size = 3;
    return e;
  };
  song.Events = {event(0, 0x90, 100), event(static_cast<std::int64_t>(bars) * 4 * kTicksPerQuarter, 0x80, 64)};
  ApplyTempoMap(song);
  song.LengthSeconds = song.Events.back().Seconds;
  return song;
}

// Takes the render as it comes: the sample of every onset (the first sample
// that is not 0 after at least 4 ms of zeros: a closed gate silences the
// voice exactly) and the energy of every bar.
class TStepSink : public TSampleSink {
 public:
  TStepSink(double rate, double barSeconds)
      : QuietNeeded(static_cast<std::int64_t>(0.004 * rate)), BarFrames(barSeconds * rate) {}
  bool Write(const float* const* channels, int frames) override {
    for (int i = 0; i < frames; ++i, ++Frame) {
      const double l = channels[0][i], r = channels[1][i];
      const auto bar = static_cast<std::size_t>(static_cast<double>(Frame) / BarFrames);
      if (bar >= BarEnergy.size()) BarEnergy.resize(bar + 1, 0.0);
      BarEnergy[bar] += 0.5 * (l * l + r * r);
      if (l == 0 && r == 0) {
        ++Quiet;
        continue;
      }
      if (Quiet >= QuietNeeded) Onsets.push_back(Frame);
      Quiet = 0;
    }
    return true;
  }
  // RMS of bar b in dB.
  double BarDb(std::size_t b) const {
    if (b >= BarEnergy.size() || BarEnergy[b] <= 0) return -200;
    return 10.0 * std::log10(BarEnergy[b] / BarFrames);
  }

  std::vector<std::int64_t> Onsets;
  std::vector<double> BarEnergy;

 private:
  std::int64_t QuietNeeded;
  double BarFrames;
  std::int64_t Frame = 0;
  std::int64_t Quiet = QuietNeeded;  // the render starts in silence
};

struct TRendered {
  std::unique_ptr<TStepSink> Sink;
  double Rate = 0;
  double SecondsPerTick = 0;  // of the song's tempo, 120 ticks a quarter
  std::string Error;
};

TRendered RenderHeld(int program, double bpm, double rate, int bars) {
  TRendered r;
  r.Rate = rate;
  const TMidiSong song = HeldSong(bpm, bars);
  const double quarter = 60.0 / song.TempoAtSeconds(0);
  r.SecondsPerTick = quarter / 120.0;
  r.Sink = std::make_unique<TStepSink>(rate, 4 * quarter);
  std::unique_ptr<TVstPlugin> plugin = OpenInstance(rate, 512, r.Error);
  if (!plugin) return r;
  plugin->SetProgram(program);
  TRenderSettings settings;
  settings.SampleRate = rate;
  settings.BlockSize = 512;
  settings.TailSeconds = 0.1;
  TRenderStats stats;
  if (!RenderSong(*plugin, song, settings, r.Sink.get(), stats, {}, r.Error)) r.Sink.reset();
  return r;
}

// The offset of every step's onset from its place on the host's grid of
// `stepTicks`-tick steps (swung by `swing`, 0.5 straight), in milliseconds,
// the grid laid from the first step's onset (the note's own start): entry k
// is step k's, entry 0 is 0. Each step's onset is looked for within a
// quarter step of where the step before it lay off the grid (so a line that
// drifts is followed); NaN where there is none.
std::vector<double> GridOffsetsMs(const TRendered& r, int steps, double stepTicks, double swing) {
  std::vector<double> offsets;
  const double step = stepTicks * r.SecondsPerTick * r.Rate;  // samples
  const std::vector<std::int64_t>& onsets = r.Sink->Onsets;
  std::size_t next = 0;
  double first = 0, last = 0;
  for (int k = 0; k < steps; ++k) {
    const double place = (k / 2) * 2 * step + (k % 2) * 2 * swing * step;
    while (next < onsets.size() && static_cast<double>(onsets[next]) < place + last - 0.25 * step) ++next;
    double offset = std::nan("");
    if (next < onsets.size() && std::fabs(static_cast<double>(onsets[next]) - place - last) < 0.25 * step) {
      offset = static_cast<double>(onsets[next]) - place;
      if (k == 0) first = offset;
      last = offset;
    }
    offsets.push_back((offset - first) / r.Rate * 1000.0);
  }
  return offsets;
}

// ---- the grid

struct TGridCase {
  const char* Program;
  double Swing;  // of the program's sequencer, 0.5 straight
  double Bpm;
  double Rate;
};

class SequencerOnTheHostGrid : public testing::TestWithParam<TGridCase> {};

// 64 bars of sixteenths: every onset within 1 ms of its place on the grid.
// (A step changes on the control block nearest its place: half a block off
// at most.)
TEST_P(SequencerOnTheHostGrid, SixtyFourBarsOfSixteenthsStayWithinAMillisecond) {
  const TGridCase& c = GetParam();
  constexpr int kBars = 64;
  const int program = FindProgram(c.Program);
  ASSERT_GE(program, 0) << c.Program;
  const TRendered r = RenderHeld(program, c.Bpm, c.Rate, kBars);
  ASSERT_TRUE(r.Sink) << r.Error;
  const std::vector<double> offsets = GridOffsetsMs(r, kBars * 16, 30.0, c.Swing);
  double worst = 0;
  int missing = 0;
  for (const double o : offsets) {
    if (std::isnan(o)) {
      ++missing;
    } else {
      worst = std::max(worst, std::fabs(o));
    }
  }
  std::printf("%s at %.0f BPM, %.0f Hz: bar 32 %+.2f ms, bar 64 %+.2f ms, worst step %.2f ms off, %d without onset\n",
              c.Program, c.Bpm, c.Rate, offsets[31 * 16], offsets[63 * 16], worst, missing);
  EXPECT_EQ(missing, 0);
  EXPECT_LE(worst, 1.0);
}

std::vector<TGridCase> GridCases() {
  std::vector<TGridCase> cases;
  for (double bpm : {60.0, 97.0, 120.0, 140.0, 174.0, 200.0})
    for (double rate : {22050.0, 44100.0, 48000.0, 96000.0, 192000.0}) cases.push_back({"Octave Pump", 0.5, bpm, rate});
  for (double bpm : {97.0, 120.0, 174.0})
    for (double rate : {44100.0, 48000.0}) cases.push_back({"Swing Pump", 0.62, bpm, rate});
  return cases;
}

std::string CaseName(const testing::TestParamInfo<TGridCase>& info) {
  std::string name = info.param.Program;
  name.erase(std::remove(name.begin(), name.end(), ' '), name.end());
  return name + "_" + std::to_string(static_cast<int>(info.param.Bpm)) + "Bpm_" +
         std::to_string(static_cast<int>(info.param.Rate)) + "Hz";
}

INSTANTIATE_TEST_SUITE_P(TemposAndRates, SequencerOnTheHostGrid, testing::ValuesIn(GridCases()), CaseName);

// ---- held programs

// The README's sequenced lines (77-94) run while a key is held: a held E2
// keeps its last bar of eight within 3 dB of its first.
constexpr int kFirstSequenced = 77;
constexpr int kLastSequenced = 94;

class SequencedProgramHeld : public testing::TestWithParam<int> {};

TEST_P(SequencedProgramHeld, KeepsItsLevelForEightBars) {
  constexpr int kBars = 8;
  const int program = GetParam();
  const TRendered r = RenderHeld(program, 120.0, 44100.0, kBars);
  ASSERT_TRUE(r.Sink) << r.Error;
  const double first = r.Sink->BarDb(0), last = r.Sink->BarDb(kBars - 1);
  std::printf("%d %s: bar 1 %.1f dB, bar 4 %.1f dB, bar 8 %.1f dB\n", program,
              ProgramNames()[static_cast<std::size_t>(program)].c_str(), first, r.Sink->BarDb(3), last);
  EXPECT_GT(first, -40.0);
  EXPECT_NEAR(last, first, 3.0);
}

INSTANTIATE_TEST_SUITE_P(FactoryBank, SequencedProgramHeld, testing::Range(kFirstSequenced, kLastSequenced + 1));

}  // namespace
