// Measured responses of the resonant ladders, the heart of a bass voice:
// "24DB LP", "24DB LP2", "24DB LP3" with its "24DB HP" and "24DB BP" outputs,
// and the two-pole "LP1". Each response is read from the filter's impulse
// response (the ladders are linear at these levels).
//
// Three groups: the slopes each output has by its order, the resonance peak
// that rises with the resonance and sits where the cutoff puts it at every
// rate, and a golden table (ladder_responses.txt beside this file) of the
// cutoff, the peak and the gain at DC of every ladder over cutoffs,
// resonances and rates. A cutoff a semitone off or an output a pole short
// fails here. To accept a change of response on purpose, regenerate the
// table and commit it with the change:
//
//   RUMBLEON_REGENERATE_GOLDEN=1 build/tests/test_dsp --gtest_filter='LadderResponse.*'
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "dsp/filters/multi_filter.h"
#include "framework/modules/audio_settings.h"
#include "tests/support/golden_table.h"
#include "tests/support/signal_measure.h"

namespace {

using testing_support::TFrequencyResponse;

enum class TShape { kLowPass, kHighPass, kBandPass };

struct TLadder {
  std::int32_t Type;
  const char* Key;  // the type's name without blanks, for the table
  TShape Shape;
  // Asymptotic slopes (dB per octave) below and above the cutoff: the
  // order of the output (the high-pass output is the input less the
  // low-pass, which leaves one zero at DC; the band-pass is three poles and
  // one zero).
  double SlopeBelow, SlopeAbove;
};

constexpr std::array<TLadder, 6> kLadders = {
    TLadder{7, "24DB-LP", TShape::kLowPass, 0, -24},   TLadder{8, "24DB-LP2", TShape::kLowPass, 0, -24},
    TLadder{9, "24DB-LP3", TShape::kLowPass, 0, -24},  TLadder{10, "24DB-HP", TShape::kHighPass, 6, 0},
    TLadder{11, "24DB-BP", TShape::kBandPass, 6, -18}, TLadder{12, "LP1", TShape::kLowPass, 0, -12},
};

constexpr std::int32_t kRates[] = {44100, 48000, 96000, 22050};

TFrequencyResponse Measure(const TLadder& ladder, std::int32_t rate, float cutoff, float resonance) {
  TAudioSettingsRec settings = MakeAudioSettings(rate, rate / 1000);
  TDSPMultiFilter m;
  m.SetAudioSettings(&settings);
  m.SetFilterType(static_cast<float>(ladder.Type));
  m.SetCutoff(cutoff);
  m.SetResonance(resonance);
  return TFrequencyResponse([&m](float x) { return static_cast<double>(m.ProcessSample(x)); }, rate, 1.0);
}

constexpr double kNoPeakDb = 0.5;

// The figures of one response: the gain at DC and at the passband's
// reference, the -3 dB frequency (below the reference), and the peak.
struct TFigures {
  double DcDb = 0;
  double CutoffHz = 0;  // the -3 dB point; for the band-pass its upper one
  double PeakHz = 0, PeakDb = 0;
};

TFigures Figures(const TLadder& ladder, const TFrequencyResponse& r, double rate) {
  TFigures f;
  f.DcDb = r.Db(0);
  const double top = 0.45 * rate;
  const auto peak = r.Peak(10, top);
  f.PeakHz = peak.Hz;
  f.PeakDb = peak.Db;
  double passDb = peak.Db;
  switch (ladder.Shape) {
    case TShape::kLowPass:
      passDb = f.DcDb;
      f.CutoffHz = r.Crossing(passDb - 3, 1, top);
      break;
    case TShape::kHighPass:
      passDb = r.Db(top);
      f.CutoffHz = r.Crossing(passDb - 3, 1, top);
      break;
    case TShape::kBandPass:
      f.CutoffHz = r.Crossing(peak.Db - 3, peak.Hz, top);
      break;
  }
  // A response without a peak of its own (within kNoPeakDb of its passband)
  // has no peak frequency: where its flat top is highest means nothing.
  if (ladder.Shape != TShape::kBandPass && f.PeakDb < passDb + kNoPeakDb) f.PeakHz = 0;
  return f;
}

std::string GoldenPath() {
  return (std::filesystem::path(RUMBLEON_SOURCE_DIR) / "tests/dsp/filters/ladder_responses.txt").string();
}

// ---- slopes

// Far from the cutoff (eight to sixteen times it, or an eighth to a
// sixteenth of it) each output falls at its order's slope. One pole more or
// less is 6 dB per octave.
TEST(LadderResponse, EachOutputFallsAtItsOrderAwayFromTheCutoff) {
  constexpr double kToleranceDb = 2.0;
  for (const TLadder& ladder : kLadders) {
    for (std::int32_t rate : {44100, 96000}) {
      // A cutoff low enough for sixteen times it to stay far below the half
      // rate, high enough for a sixteenth of it to stay far above DC.
      const float cutoff = ladder.Type == 7 ? 0.001f : ladder.Type == 8 ? 2000.0f : 200.0f;
      const TFrequencyResponse r = Measure(ladder, rate, cutoff, 0.001f);
      const TFigures f = Figures(ladder, r, rate);
      SCOPED_TRACE(std::string(ladder.Key) + " at " + std::to_string(rate) + ", -3 dB at " +
                   std::to_string(f.CutoffHz) + " Hz");
      const double edge = ladder.Shape == TShape::kBandPass ? f.PeakHz : f.CutoffHz;
      if (ladder.SlopeAbove != 0) {
        ASSERT_LT(16 * edge, 0.2 * rate);
        EXPECT_NEAR(r.Db(16 * edge) - r.Db(8 * edge), ladder.SlopeAbove, kToleranceDb);
      }
      if (ladder.SlopeBelow != 0) {
        EXPECT_NEAR(r.Db(edge / 8) - r.Db(edge / 16), ladder.SlopeBelow, kToleranceDb);
      }
    }
  }
}

// ---- resonance

// More resonance gives a higher and narrower peak, at every rate.
TEST(LadderResponse, ResonanceRaisesThePeak) {
  for (const TLadder& ladder : kLadders) {
    if (ladder.Type == 8) continue;  // "24DB LP2" has no peak (its feedback is scaled down to at most unity)
    for (std::int32_t rate : kRates) {
      double previous = -600;
      for (float resonance : {0.3f, 0.6f, 0.9f}) {
        const TFrequencyResponse r = Measure(ladder, rate, 1000, resonance);
        const TFigures f = Figures(ladder, r, rate);
        const double above = f.PeakDb - (ladder.Shape == TShape::kLowPass ? f.DcDb : r.Db(0.45 * rate));
        EXPECT_GT(above, previous + 1) << ladder.Key << " at " << rate << ", resonance " << resonance;
        previous = above;
      }
    }
  }
}

// The three outputs of "24DB LP3/HP/BP" share one ladder: at high resonance
// each peaks a little above the cutoff (about a semitone up to a few kHz,
// nearer it above), at every rate; a quarter of a semitone either way.
TEST(LadderResponse, LadderOutputsPeakWhereTheCutoffPutsThemAtEveryRate) {
  struct TCase {
    float Cutoff;
    double PeakRatio;  // peak / cutoff
  };
  constexpr double kTolerance = 0.0145;
  for (const TLadder& ladder : kLadders) {
    if (ladder.Type < 9 || ladder.Type > 11) continue;
    for (std::int32_t rate : kRates) {
      for (TCase c : {TCase{100, 1.067}, TCase{400, 1.067}, TCase{1600, 1.067}, TCase{6400, 1.022}}) {
        if (rate == 22050 && c.Cutoff > 5000) continue;  // too near the half rate to peak there
        const TFigures f = Figures(ladder, Measure(ladder, rate, c.Cutoff, 0.9f), rate);
        EXPECT_NEAR(f.PeakHz / c.Cutoff, c.PeakRatio, kTolerance * c.PeakRatio)
            << ladder.Key << " at " << rate << ", cutoff " << c.Cutoff;
      }
    }
  }
}

// ---- golden table

// The table's figures allowed to differ by this: a quarter of a semitone in
// frequency, a fraction of a dB in level.
constexpr double kHzTolerance = 0.0145;
constexpr double kDbTolerance = 0.3;

TEST(LadderResponse, EveryLadderMatchesItsGoldenResponse) {
  std::vector<testing_support::TGoldenRow> got;
  for (const TLadder& ladder : kLadders) {
    for (std::int32_t rate : kRates) {
      for (float cutoff : {100.0f, 500.0f, 2000.0f, 8000.0f}) {
        for (float resonance : {0.001f, 0.5f, 0.9f}) {
          const TFigures f = Figures(ladder, Measure(ladder, rate, cutoff, resonance), rate);
          char res[16];
          std::snprintf(res, sizeof res, "%.3f", static_cast<double>(resonance));
          got.push_back({{ladder.Key, std::to_string(rate), std::to_string(static_cast<int>(cutoff)), res},
                         {f.CutoffHz, f.PeakHz, f.PeakDb, f.DcDb},
                         {}});
        }
      }
    }
  }
  if (testing_support::RegenerateGolden()) {
    ASSERT_TRUE(testing_support::WriteGoldenTable(
        GoldenPath(),
        {"Responses of the resonant ladders, measured by tests/dsp/filters/ladder_response_test.cpp.",
         "Regenerate with RUMBLEON_REGENERATE_GOLDEN=1 (see the test); do not edit by hand.",
         "cutoff: the -3 dB point in Hz (low-pass: below DC's gain; high-pass: below the gain at",
         "0.45 of the rate; band-pass: above the peak, below its gain); peak: the highest gain (Hz, dB;",
         "0 Hz where it is less than 0.5 dB above the passband: no peak);", "dc: the gain at DC (dB)."},
        {"type", "rate", "setting", "res", "cutoff", "peak-hz", "peak-db", "dc-db"}, got, 2));
  }
  std::vector<testing_support::TGoldenRow> want;
  std::string error;
  ASSERT_TRUE(testing_support::ReadGoldenTable(GoldenPath(), 4, want, error)) << error;
  ASSERT_EQ(want.size(), got.size()) << "ladders or settings were added or removed: regenerate the table";
  auto sameHz = [](double a, double b) { return std::fabs(a - b) <= kHzTolerance * std::max(a, b) + 0.01; };
  auto sameDb = [](double a, double b) { return std::fabs(a - b) <= kDbTolerance + 0.005; };
  for (std::size_t i = 0; i < got.size(); ++i) {
    const auto &w = want[i], &g = got[i];
    ASSERT_EQ(testing_support::KeyText(w), testing_support::KeyText(g));
    ASSERT_EQ(w.Values.size(), 4u) << testing_support::KeyText(w);
    const std::string key = testing_support::KeyText(g);
    EXPECT_TRUE(sameHz(w.Values[0], g.Values[0]))
        << key << ": -3 dB at " << g.Values[0] << " Hz, golden " << w.Values[0];
    EXPECT_TRUE(sameHz(w.Values[1], g.Values[1]))
        << key << ": peak at " << g.Values[1] << " Hz, golden " << w.Values[1];
    EXPECT_TRUE(sameDb(w.Values[2], g.Values[2])) << key << ": peak " << g.Values[2] << " dB, golden " << w.Values[2];
    EXPECT_TRUE(sameDb(w.Values[3], g.Values[3])) << key << ": DC " << g.Values[3] << " dB, golden " << w.Values[3];
  }
}

}  // namespace
