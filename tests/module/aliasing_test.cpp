// High notes do not alias: every factory program playing E4, A4 and C5 at
// 44.1 kHz has no component that the same note at 96 kHz lacks (an alias,
// folded from above the half rate, or an image of the sample reads) louder
// than -60 dB below the strongest component. Nor do E3 and G3, the highest
// notes whose players run at the voice's own rate (their images folding
// unfiltered). Rendered through the module.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <numbers>
#include <string>
#include <vector>

#include "tests/module/module_render.h"

namespace {

using module_render::Fft;
using module_render::RenderProgram;
using TChannels = std::vector<std::vector<float>>;

constexpr double kRate = 44100.0;
// The reference: at this rate the partials of these notes stay far below
// the half rate and the reads' images beyond the compared band.
constexpr double kReferenceRate = 96000.0;
constexpr double kFrom = 0.25, kTo = 0.6;  // seconds: past the attack, the note held
constexpr double kBottomHz = 20.0;         // below: the notes' envelopes, not partials
constexpr double kTopHz = 20000.0;
constexpr double kLimitDbc = -60.0;
// The sequenced programs play patterns clocked by the internal one-
// millisecond blocks, 44 samples at 44.1 kHz and 96 at 96 kHz (0.23 % apart):
// their notes and gates are not where the reference's are. Their voices are
// those of the other programs.
constexpr int kFirstSequenced = 77;
constexpr int kLastSequenced = 94;
// A component counts as an alias when the reference has nothing within
// kNearHz of it at most kMissingDb below it.
constexpr double kNearHz = 8.0;
constexpr double kMissingDb = 20.0;

// Measured residuals (dBc, the worst of the three notes, with about 1 dB to
// spare); every other program keeps kLimitDbc. 116 "Bit Crush": its
// quantizing shaper makes partials up to the half rate and beyond by design.
// 54 "Pluck Echo": not an alias but its eighth-note echo, 249.4 ms at 44.1
// kHz (whole 44-sample milliseconds) and 250 ms at 96 kHz, meeting the
// decaying pluck at another moment (a partial 7 dB apart between the rates).
struct TResidual {
  int Program;
  double LimitDbc;
};
constexpr TResidual kResiduals[] = {{116, -36.0}, {54, -53.0}};

double LimitFor(int program) {
  for (const TResidual& r : kResiduals)
    if (r.Program == program) return r.LimitDbc;
  return kLimitDbc;
}

struct TSpectrum {
  double BinHz = 0;
  std::vector<double> Power;  // both channels, Blackman window, normalised by the window's sum
};

TSpectrum SpectrumOf(const TChannels& x, double rate) {
  const auto a = static_cast<std::size_t>(kFrom * rate), b = static_cast<std::size_t>(kTo * rate);
  const std::size_t n = b - a;
  std::size_t size = 1;
  while (size < n) size <<= 1;
  TSpectrum s;
  s.BinHz = rate / static_cast<double>(size);
  s.Power.assign(size / 2 + 1, 0.0);
  double windowSum = 0;
  std::vector<double> window(n);
  for (std::size_t i = 0; i < n; ++i) {
    const double t = 2 * std::numbers::pi * static_cast<double>(i) / static_cast<double>(n - 1);
    window[i] = 0.42 - 0.5 * std::cos(t) + 0.08 * std::cos(2 * t);
    windowSum += window[i];
  }
  for (const std::vector<float>& c : x) {
    std::vector<std::complex<double>> v(size, 0.0);
    for (std::size_t i = 0; i < n && a + i < c.size(); ++i) v[i] = c[a + i] * window[i];
    Fft(v);
    for (std::size_t k = 0; k < s.Power.size(); ++k) s.Power[k] += std::norm(v[k]) / (windowSum * windowSum);
  }
  return s;
}

// The loudest component of `here` (kBottomHz to kTopHz) that `reference` lacks, in
// dB below the strongest component of `here`; at where (Hz).
double WorstAliasDbc(const TSpectrum& here, const TSpectrum& reference, double& where) {
  double top = 0;
  for (double p : here.Power) top = std::max(top, p);
  if (!(top > 0)) return -300;
  double worst = -300;
  where = 0;
  const auto first = static_cast<std::size_t>(std::ceil(kBottomHz / here.BinHz));
  for (std::size_t k = first; k < here.Power.size() && static_cast<double>(k) * here.BinHz < kTopHz; ++k) {
    const double level = 10 * std::log10(here.Power[k] / top + 1e-30);
    if (level <= worst || level < -120) continue;
    // A peak of its own, not the skirt of a neighbour.
    if (here.Power[k] < here.Power[k - 1] || (k + 1 < here.Power.size() && here.Power[k] < here.Power[k + 1])) continue;
    const double hz = static_cast<double>(k) * here.BinHz;
    double near = 0;
    for (auto j = static_cast<std::size_t>(std::max(0.0, (hz - kNearHz) / reference.BinHz));
         j < reference.Power.size() && static_cast<double>(j) * reference.BinHz <= hz + kNearHz; ++j)
      near = std::max(near, reference.Power[j]);
    const double referenceLevel = 10 * std::log10(near / top + 1e-30);
    if (level - referenceLevel > kMissingDb) {
      worst = level;
      where = hz;
    }
  }
  return worst;
}

class Aliasing : public ::testing::TestWithParam<int> {};

// Before (E4, A4, C5): 38 programs over -60 dBc (acid at -40 on A4, "Organ
// Bass" at -39 on C5; the acid programs at -23 dBc on E5 with the effects
// off): two-point reads at the voice's rate, and 32 kHz samples imaging from
// 17.6 kHz.
TEST_P(Aliasing, NotesUpToC5HaveNoAliasesAboveMinus60Dbc) {
  const int key = GetParam();
  const TMidiSong song = module_render::Song({{key, 0.0, kTo + 0.05}});
  for (int program = 0; program < 128; ++program) {
    if (program >= kFirstSequenced && program <= kLastSequenced) continue;
    std::string error;
    const TChannels here = RenderProgram(program, song, kRate, 0.0, error);
    ASSERT_FALSE(here.empty()) << error;
    const TChannels reference = RenderProgram(program, song, kReferenceRate, 0.0, error);
    ASSERT_FALSE(reference.empty()) << error;
    double where = 0;
    const double worst = WorstAliasDbc(SpectrumOf(here, kRate), SpectrumOf(reference, kReferenceRate), where);
    EXPECT_LE(worst, LimitFor(program)) << "program " << program << ": " << worst << " dBc at " << where << " Hz";
  }
}

INSTANTIATE_TEST_SUITE_P(Notes, Aliasing, ::testing::Values(52, 55, 64, 69, 72),
                         [](const ::testing::TestParamInfo<int>& info) { return "Key" + std::to_string(info.param); });

}  // namespace
