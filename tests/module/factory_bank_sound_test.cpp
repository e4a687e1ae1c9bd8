// Every program of the factory bank played as a musician plays it, at 44.1
// and 96 kHz, through the built module: a held note, a staccato line and a
// chord. Each render must stay finite and free of denormal numbers; the held
// note must stay below full scale, be in tune and at the bank's level (the
// README: within 3 dB of -18 dB RMS); the low end must survive a mono sum;
// no note may start with a click. The programs render on several threads.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "tests/module/module_render.h"
#include "tests/support/test_support.h"

namespace {

using namespace module_render;
using testing_support::Peak;

// The README's level: a held E2 within 3 dB of -18 dB RMS (the loudest
// 100 ms of its first second, both channels); "Init" holds every default
// and is not matched.
constexpr double kLevelDb = -18.0;
constexpr double kLevelToleranceDb = 3.0;
constexpr int kInit = 127;
constexpr double kInitLevelToleranceDb = 6.0;
// The README's pads (95-104) may spread their low end wider than the rest;
// its sequenced lines (77-94) move their pitch while a key is held.
constexpr int kFirstPad = 95;
constexpr int kLastPad = 104;
constexpr int kFirstSequenced = 77;
constexpr int kLastSequenced = 94;
constexpr double kLowEndCorrelation = 0.9;
constexpr double kPadLowEndCorrelation = 0.7;
// In tune: the strongest partial within this of the equal-tempered scale or
// of a harmonic of the note (detuned programs beat around the note).
constexpr double kTuningCents = 20.0;
// A note start may not carry more energy above 8 kHz than the sound after it.
constexpr double kClickDb = 6.0;

constexpr int kHeldKey = 40;  // E2
constexpr double kStart = 0.1;
constexpr double kHeld = 2.0;
const int kLine[] = {28, 40, 35, 47, 31, 43, 38, 50};
constexpr double kLineStep = 0.15, kLineNote = 0.08;
const int kChord[] = {40, 47, 52};
constexpr double kChordHeld = 1.5;

struct TFigures {
  int Program = 0;
  double Rate = 0;
  bool Finite = true;
  std::int64_t Denormals = 0;
  float Peak = 0;  // of the held note
  double LevelDb = -200;
  double PeakHz = 0;
  double Cents = 0;
  double HeldCorrelation = 1;
  double ChordCorrelation = 1;
  double WorstClickDb = -200;
  int WorstClickNote = -1;  // -1 the held note, 0.. the line's notes
  std::string Error;
};

void CheckSamples(const TStereo& s, TFigures& f) {
  for (const std::vector<float>* c : {&s.Left, &s.Right}) {
    for (float v : *c) {
      if (!std::isfinite(v)) f.Finite = false;
      if (std::fpclassify(v) == FP_SUBNORMAL) ++f.Denormals;
    }
  }
}

double LoudestWindowDb(const TStereo& s, double from, double to) {
  double best = -200;
  for (double t = from; t + 0.1 <= to; t += 0.025) {
    const double l = RmsDb(s.LeftPart(t, t + 0.1)), r = RmsDb(s.RightPart(t, t + 0.1));
    best = std::max(best, 10.0 * std::log10(0.5 * (std::pow(10.0, l / 10) + std::pow(10.0, r / 10))));
  }
  return best;
}

// Cents from f to the nearest equal-tempered note or harmonic of the key.
double TuningCents(double f, int key) {
  const double semitones = 12.0 * std::log2(f / 440.0);
  double best = 100.0 * (semitones - std::nearbyint(semitones));
  const double f0 = NoteHz(key);
  for (int n = 1; n <= 16; ++n) {
    const double c = 1200.0 * std::log2(f / (f0 * n));
    if (std::fabs(c) < std::fabs(best)) best = c;
  }
  return best;
}

void NoteClick(const TStereo& s, const TBands& b, double start, int note, TFigures& f) {
  const double c = ClickExcessDb(s, b, start);
  if (c > f.WorstClickDb) {
    f.WorstClickDb = c;
    f.WorstClickNote = note;
  }
}

TFigures Measure(int program, double rate) {
  TFigures f;
  f.Program = program;
  f.Rate = rate;
  TPlaySettings settings;
  settings.Rate = rate;
  settings.Program = program;
  TStereo out;

  // The held note.
  settings.Seconds = kStart + kHeld + 0.5;
  if (!Play(settings, TScript().Note(kStart, kHeld, kHeldKey), out, f.Error)) return f;
  CheckSamples(out, f);
  f.Peak = std::max(Peak(out.Left), Peak(out.Right));
  TBands bands = SplitBands(out);
  // The bank's levels are matched on the note's first second.
  f.LevelDb = LoudestWindowDb(out, kStart, kStart + 1.0);
  // A second from just past the attack: long enough to tell detuned copies
  // of a partial apart (their centre is the pitch), plucks loudest in it.
  f.PeakHz = PeakFrequency(out, kStart + 0.04, kStart + 1.04, 30, 1000);
  f.Cents = TuningCents(f.PeakHz, kHeldKey);
  if (program >= kFirstSequenced && program <= kLastSequenced) {
    // A sequenced line may move its pitch and gates it many times a
    // second, whose sidebands stand beside the partials: then the period of
    // its first sounding step tells its tuning.
    double t = kStart;
    while (t < kStart + 0.5 && RmsDb(Both(out, t, t + 0.005)) < f.LevelDb - 15) t += 0.005;
    const double step = RepetitionFrequency(out, t + 0.01, t + 0.07, 30, 1000);
    if (std::fabs(TuningCents(step, kHeldKey)) < std::fabs(f.Cents)) {
      f.PeakHz = step;
      f.Cents = TuningCents(step, kHeldKey);
    }
  }
  f.HeldCorrelation = LowEndCorrelation(out, bands, kStart + 0.2, kStart + kHeld);
  NoteClick(out, bands, kStart, -1, f);

  // The staccato line.
  TScript line;
  for (int k = 0; k < 8; ++k) line.Note(kStart + k * kLineStep, kLineNote, kLine[k]);
  settings.Seconds = kStart + 8 * kLineStep + 0.3;
  if (!Play(settings, line, out, f.Error)) return f;
  CheckSamples(out, f);
  bands = SplitBands(out);
  for (int k = 0; k < 8; ++k) NoteClick(out, bands, kStart + k * kLineStep, k, f);

  // The chord.
  TScript chord;
  for (int key : kChord) chord.Note(kStart, kChordHeld, key);
  settings.Seconds = kStart + kChordHeld + 0.4;
  if (!Play(settings, chord, out, f.Error)) return f;
  CheckSamples(out, f);
  bands = SplitBands(out);
  f.ChordCorrelation = LowEndCorrelation(out, bands, kStart + 0.2, kStart + kChordHeld);
  return f;
}

// Every program at `rate`, on a few threads.
std::vector<TFigures> MeasureBank(double rate) {
  const int programs = static_cast<int>(ProgramNames().size());
  std::vector<TFigures> figures(static_cast<std::size_t>(programs));
  std::atomic<int> next{0};
  const unsigned threads = std::max(1u, std::min(4u, std::thread::hardware_concurrency()));
  std::vector<std::thread> pool;
  for (unsigned t = 0; t < threads; ++t) {
    pool.emplace_back([&] {
      for (int p = next++; p < programs; p = next++) figures[static_cast<std::size_t>(p)] = Measure(p, rate);
    });
  }
  for (std::thread& t : pool) t.join();
  return figures;
}

class FactoryBankSound : public ::testing::TestWithParam<double> {};

TEST_P(FactoryBankSound, EveryProgramPlaysCleanInTuneAtLevelMonoSafeAndWithoutClicks) {
  std::string error;
  ASSERT_NE(Module(error), nullptr) << error;
  ASSERT_EQ(ProgramNames().size(), 128u);
  // RUMBLEON_BANK_FIGURES=1 prints every program's figures.
  const bool print = std::getenv("RUMBLEON_BANK_FIGURES") != nullptr;
  for (const TFigures& f : MeasureBank(GetParam())) {
    if (print) {
      std::printf("%6.0f %3d %-24s level %6.1f  peak %7.2f Hz %6.1f c  low end %5.2f %5.2f  click %6.1f (%d)  %s%s\n",
                  f.Rate, f.Program, ProgramNames()[static_cast<std::size_t>(f.Program)].c_str(), f.LevelDb, f.PeakHz,
                  f.Cents, f.HeldCorrelation, f.ChordCorrelation, f.WorstClickDb, f.WorstClickNote,
                  f.Finite ? "" : "NON-FINITE ", f.Denormals != 0 ? "DENORMALS" : "");
    }
    const bool pad = f.Program >= kFirstPad && f.Program <= kLastPad;
    SCOPED_TRACE(std::to_string(f.Program) + " " + ProgramNames()[static_cast<std::size_t>(f.Program)]);
    ASSERT_TRUE(f.Error.empty()) << f.Error;
    EXPECT_TRUE(f.Finite);
    EXPECT_EQ(f.Denormals, 0);
    EXPECT_LT(f.Peak, 1.0f) << "clipped";
    EXPECT_NEAR(f.LevelDb, kLevelDb, f.Program == kInit ? kInitLevelToleranceDb : kLevelToleranceDb);
    EXPECT_LE(std::fabs(f.Cents), kTuningCents) << "strongest partial at " << f.PeakHz << " Hz";
    const double correlation = pad ? kPadLowEndCorrelation : kLowEndCorrelation;
    EXPECT_GE(f.HeldCorrelation, correlation) << "held note";
    EXPECT_GE(f.ChordCorrelation, correlation) << "chord";
    EXPECT_LE(f.WorstClickDb, kClickDb) << "note " << f.WorstClickNote << " (-1 the held note)";
  }
}

INSTANTIATE_TEST_SUITE_P(Rates, FactoryBankSound, ::testing::Values(44100.0, 96000.0),
                         [](const ::testing::TestParamInfo<double>& info) {
                           return std::to_string(static_cast<int>(info.param)) + "Hz";
                         });

}  // namespace
