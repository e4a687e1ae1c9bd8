// Golden fingerprints of the factory bank: every program plays three short
// notes through the built module, and each note is reduced to a few levels
// (the whole note, five bands, its attack, its release and its stereo side)
// that are compared with factory_fingerprints.txt beside this file. A change
// of any program's sound, meant or not, fails here and shows in review as a
// diff of that readable file.
//
// To accept a change of sound on purpose, regenerate the file and commit it
// with the change:
//
//   RUMBLEON_REGENERATE_GOLDEN=1 build/tests/test_module --gtest_filter='FactoryFingerprints.*'
//
// (it rewrites the file in the source tree, then the test passes). The
// programs render on several threads: about 0.2 s of audio per note.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "tests/module/module_render.h"
#include "tests/support/golden_table.h"

namespace {

using namespace module_render;

// Each note: struck at kOn, released at kOff, rendered until kEnd (seconds).
constexpr double kOn = 0.02, kOff = 0.22, kEnd = 0.32;
// The attack is the first 30 ms of the note, the release what follows its
// note-off.
constexpr double kAttack = 0.03;
struct TKey {
  int Key;
  const char* Name;
};
constexpr std::array<TKey, 3> kKeys = {TKey{28, "E1"}, TKey{40, "E2"}, TKey{52, "E3"}};
// Band edges (Hz): below the first, between neighbours, above the last.
constexpr std::array<double, 4> kBandEdges = {120, 500, 2000, 8000};

// The figures of one note, dB RMS of both channels: the whole note, the five
// bands over the held note, the attack, the release and the side signal
// (left - right) / 2 over the held note. Levels below kFloorDb read as it.
constexpr int kFigureCount = 9;
constexpr double kFloorDb = -120.0;
const char* const kColumns[kFigureCount] = {"level", "<120", "<500", "<2k", "<8k", ">8k", "attack", "release", "side"};

// Allowed differences: kToleranceDb where either level is above kQuietDb;
// below it (a band or side the note hardly has) kQuietToleranceDb; both under
// kSilentDb count as equal (the render's numerical floor).
constexpr double kToleranceDb = 0.5;
constexpr double kQuietDb = -60.0;
constexpr double kQuietToleranceDb = 3.0;
constexpr double kSilentDb = -90.0;

struct TPrint {
  int Program = 0;
  std::string Note;  // the key's name
  std::array<double, kFigureCount> Figures{};
  std::string Name;
};

std::filesystem::path GoldenPath() {
  return std::filesystem::path(RUMBLEON_SOURCE_DIR) / "tests/module/factory_fingerprints.txt";
}

double Db(std::span<const float> x) { return std::max(kFloorDb, RmsDb(x)); }

// Both channels' samples from..to seconds, one after the other.
std::vector<float> Window(const std::vector<float>& l, const std::vector<float>& r, double rate, double from,
                          double to) {
  const auto a = static_cast<std::size_t>(from * rate), b = std::min(l.size(), static_cast<std::size_t>(to * rate));
  std::vector<float> out(l.begin() + static_cast<std::ptrdiff_t>(a), l.begin() + static_cast<std::ptrdiff_t>(b));
  out.insert(out.end(), r.begin() + static_cast<std::ptrdiff_t>(a), r.begin() + static_cast<std::ptrdiff_t>(b));
  return out;
}

bool Fingerprint(int program, const TKey& key, TPrint& print, std::string& error) {
  TPlaySettings settings;
  settings.Program = program;
  settings.Seconds = kEnd;
  TStereo s;
  if (!Play(settings, TScript().Note(kOn, kOff - kOn, key.Key), s, error)) return false;
  const double rate = s.Rate;
  print.Program = program;
  print.Note = key.Name;
  print.Name = ProgramNames()[static_cast<std::size_t>(program)];
  auto& f = print.Figures;
  f[0] = Db(Window(s.Left, s.Right, rate, kOn, kOff));
  for (std::size_t band = 0; band <= kBandEdges.size(); ++band) {
    std::vector<float> l = s.Left, r = s.Right;
    if (band > 0) {
      l = HighPass(l, rate, kBandEdges[band - 1]);
      r = HighPass(r, rate, kBandEdges[band - 1]);
    }
    if (band < kBandEdges.size()) {
      l = LowPass(l, rate, kBandEdges[band]);
      r = LowPass(r, rate, kBandEdges[band]);
    }
    f[1 + band] = Db(Window(l, r, rate, kOn, kOff));
  }
  f[6] = Db(Window(s.Left, s.Right, rate, kOn, kOn + kAttack));
  f[7] = Db(Window(s.Left, s.Right, rate, kOff, kEnd));
  std::vector<float> side(s.Left.size());
  for (std::size_t i = 0; i < side.size(); ++i) side[i] = 0.5f * (s.Left[i] - s.Right[i]);
  f[8] = Db(Window(side, side, rate, kOn, kOff));  // the same level as one copy
  return true;
}

// Every program and key, on a few threads; error names the first failure.
std::vector<TPrint> FingerprintBank(std::string& error) {
  const int programs = static_cast<int>(ProgramNames().size());
  const int count = programs * static_cast<int>(kKeys.size());
  std::vector<TPrint> prints(static_cast<std::size_t>(count));
  std::vector<std::string> errors(static_cast<std::size_t>(count));
  std::atomic<int> next{0};
  const unsigned threads = std::max(1u, std::min(4u, std::thread::hardware_concurrency()));
  std::vector<std::thread> pool;
  for (unsigned t = 0; t < threads; ++t) {
    pool.emplace_back([&] {
      for (int i = next++; i < count; i = next++) {
        const auto at = static_cast<std::size_t>(i);
        Fingerprint(i / static_cast<int>(kKeys.size()), kKeys[at % kKeys.size()], prints[at], errors[at]);
      }
    });
  }
  for (std::thread& t : pool) t.join();
  for (const std::string& e : errors)
    if (!e.empty() && error.empty()) error = e;
  return prints;
}

bool Matches(double want, double got) {
  if (want <= kSilentDb && got <= kSilentDb) return true;
  const double tolerance = std::max(want, got) > kQuietDb ? kToleranceDb : kQuietToleranceDb;
  return std::fabs(want - got) <= tolerance + 0.05;  // the file keeps 0.1 dB
}

TEST(FactoryFingerprints, EveryProgramSoundsAsItsGoldenFingerprint) {
  std::string error;
  ASSERT_NE(Module(error), nullptr) << error;
  const std::vector<TPrint> prints = FingerprintBank(error);
  ASSERT_TRUE(error.empty()) << error;
  std::vector<testing_support::TGoldenRow> got;
  for (const TPrint& p : prints)
    got.push_back({{std::to_string(p.Program), p.Note}, {p.Figures.begin(), p.Figures.end()}, p.Name});
  if (testing_support::RegenerateGolden()) {
    std::vector<std::string> columns = {"program", "note"};
    columns.insert(columns.end(), std::begin(kColumns), std::end(kColumns));
    ASSERT_TRUE(testing_support::WriteGoldenTable(
        GoldenPath(),
        {"Fingerprints of the factory programs, measured by tests/module/factory_fingerprint_test.cpp.",
         "Regenerate with RUMBLEON_REGENERATE_GOLDEN=1 (see the test); do not edit by hand.",
         "Each program plays each note alone; levels are dB RMS of both channels (floor -120):",
         "level: the held note; <120 .. >8k: bands (Hz) of the held note; attack: its first 30 ms;",
         "release: after its note-off; side: (left - right) / 2 over the held note."},
        columns, got, 1));
  }
  std::vector<testing_support::TGoldenRow> want;
  ASSERT_TRUE(testing_support::ReadGoldenTable(GoldenPath().string(), 2, want, error)) << error;
  ASSERT_EQ(want.size(), got.size()) << "programs or notes were added or removed: regenerate the fingerprints";
  int differing = 0;
  for (std::size_t i = 0; i < got.size(); ++i) {
    const auto &w = want[i], &g = got[i];
    ASSERT_EQ(testing_support::KeyText(w), testing_support::KeyText(g));
    ASSERT_EQ(w.Values.size(), static_cast<std::size_t>(kFigureCount)) << testing_support::KeyText(w);
    EXPECT_EQ(w.Note, g.Note) << "program " << g.Key[0] << " was renamed";
    for (std::size_t c = 0; c < w.Values.size(); ++c) {
      if (Matches(w.Values[c], g.Values[c])) continue;
      ++differing;
      ADD_FAILURE() << "program " << g.Key[0] << " \"" << g.Note << "\" " << g.Key[1] << " " << kColumns[c]
                    << ": golden " << w.Values[c] << " dB, now " << g.Values[c] << " dB";
      break;
    }
  }
  if (differing > 0) {
    std::printf(
        "%d notes sound different. If the change is meant, regenerate the golden file:\n"
        "  RUMBLEON_REGENERATE_GOLDEN=1 build/tests/test_module --gtest_filter='FactoryFingerprints.*'\n",
        differing);
  }
}

}  // namespace
