// The instrument module as rumbleon-host plays it, with the built-in sample
// bank and the default parameters (the factory bank's last program, "Init"):
// every note of the bass range at its
// pitch, released within the release time, and a full chord of held voices
// that stays finite, free of denormals and below full scale.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <span>
#include <string>
#include <vector>

#include "tests/support/test_support.h"
#include "tests/tools/host_process.h"
#include "tools/host/midi_file.h"
#include "tools/host/renderer.h"
#include "tools/host/vst_host.h"
#include "tools/host/wav_file.h"

namespace {

using testing_support::AllFinite;
using testing_support::NoDenormals;
using testing_support::Peak;
using testing_support::Rms;

constexpr double kRate = 44100.0;
// The factory program that holds every parameter at its default.
constexpr int kInitProgram = 127;
// The default envelope release (192 ms) and what the render adds to it: the
// control period and the one-millisecond internal blocks.
constexpr double kReleaseSeconds = 0.192;
constexpr double kReleaseSlack = 0.006;

using testing_support::NoteHz;

// The fundamental by normalised autocorrelation: the shortest lag whose peak
// reaches 90 % of the best one between 0.4 and 1.6 expected periods (so an
// octave error shows as half or double the lag), refined by a parabola.
double AutocorrelationHz(std::span<const float> x, double expectedHz, double rate) {
  const double period = rate / expectedHz;
  const auto lo = static_cast<std::size_t>(0.4 * period);
  const auto hi = static_cast<std::size_t>(1.6 * period) + 2;
  if (x.size() < 3 * hi) return 0.0;
  const std::size_t n = x.size() - hi;
  std::vector<double> r(hi + 1, 0.0);
  for (std::size_t lag = lo; lag <= hi; ++lag) {
    double xy = 0, xx = 0, yy = 0;
    for (std::size_t i = 0; i < n; ++i) {
      xy += static_cast<double>(x[i]) * x[i + lag];
      xx += static_cast<double>(x[i]) * x[i];
      yy += static_cast<double>(x[i + lag]) * x[i + lag];
    }
    r[lag] = xx > 0 && yy > 0 ? xy / std::sqrt(xx * yy) : 0.0;
  }
  const double best = *std::max_element(r.begin() + static_cast<std::ptrdiff_t>(lo), r.end());
  for (std::size_t lag = lo + 1; lag < hi; ++lag) {
    if (r[lag] >= 0.9 * best && r[lag] >= r[lag - 1] && r[lag] >= r[lag + 1]) {
      const double a = r[lag - 1], b = r[lag], c = r[lag + 1];
      const double denom = a - 2 * b + c;
      const double shift = denom != 0 ? 0.5 * (a - c) / denom : 0.0;
      return rate / (static_cast<double>(lag) + shift);
    }
  }
  return 0.0;
}

// Notes lo..hi one after another: each held 0.6 s, one per second.
std::vector<TNoteSlot> NoteRun(int lo, int hi) {
  std::vector<TNoteSlot> notes;
  for (int key = lo; key <= hi; ++key) {
    const double on = 0.1 + (key - lo);
    notes.push_back({key, on, on + 0.6});
  }
  return notes;
}

std::span<const float> Window(const std::vector<float>& x, double from, double to) {
  const auto a = std::min(x.size(), static_cast<std::size_t>(from * kRate));
  const auto b = std::min(x.size(), static_cast<std::size_t>(to * kRate));
  return std::span<const float>(x).subspan(a, b - a);
}

class InstrumentRender : public ::testing::Test {
 protected:
  void SetUp() override {
    if (ModulePath().empty()) GTEST_SKIP() << "the instrument module is not part of this build";
  }
};

TEST_F(InstrumentRender, NotesPlayAtTheirPitchAndReleaseWithinTheReleaseTime) {
  const std::vector<TNoteSlot> notes = NoteRun(24, 72);
  const std::string out = Scratch("instrument-notes.wav");
  const THostRun run = RunHost({"render", ModulePath(), WriteNoteFile("instrument-notes.mid", notes), "-o", out,
                                "--format", "float", "--tail", "0.5", "--program", std::to_string(kInitProgram)});
  ASSERT_EQ(run.ExitCode, 0) << run.Err;
  TWavData wav;
  std::string error;
  ASSERT_TRUE(LoadWav(out, wav, error)) << error;
  ASSERT_EQ(wav.Channels, 2);
  ASSERT_EQ(wav.SampleRate, static_cast<int>(kRate));
  const std::vector<float>& left = wav.Samples[0];
  const std::vector<float>& right = wav.Samples[1];
  ASSERT_TRUE(AllFinite(left) && AllFinite(right));

  for (const TNoteSlot& n : notes) {
    SCOPED_TRACE("note " + std::to_string(n.Key));
    // Past the attack and the 100 ms glide from the previous note.
    const std::span<const float> held = Window(left, n.On + 0.15, n.Off - 0.02);
    EXPECT_GT(Rms(held), 0.01);
    const double hz = AutocorrelationHz(held, NoteHz(n.Key), kRate);
    EXPECT_NEAR(hz / NoteHz(n.Key), 1.0, 0.001) << hz << " Hz";
    // Sounding right after the note-off, silent once the release is over.
    EXPECT_GT(Rms(Window(left, n.Off, n.Off + 0.02)), 0.001);
    const double silent = n.Off + kReleaseSeconds + kReleaseSlack;
    EXPECT_EQ(Peak(Window(left, silent, n.Off + 0.39)), 0.0f);
    EXPECT_EQ(Peak(Window(right, silent, n.Off + 0.39)), 0.0f);
  }
}

// The host's block size does not change a sample of the demo phrase.
TEST_F(InstrumentRender, HostBlockSizesGiveTheSameOutput) {
  std::vector<std::vector<float>> reference;
  for (int block : {512, 7, 100, 4096}) {
    const std::string out = Scratch("instrument-block-" + std::to_string(block) + ".wav");
    const THostRun run =
        RunHost({"render", ModulePath(), "--demo", "-o", out, "--format", "float", "--block", std::to_string(block)});
    ASSERT_EQ(run.ExitCode, 0) << run.Err;
    TWavData wav;
    std::string error;
    ASSERT_TRUE(LoadWav(out, wav, error)) << error;
    ASSERT_EQ(wav.Channels, 2);
    if (reference.empty()) {
      reference = wav.Samples;
      EXPECT_GT(Peak(reference[0]), 0.1f);
    } else {
      EXPECT_EQ(wav.Samples, reference) << "block " << block;
    }
  }
}

// Sixteen notes struck at once and held, rendered with the host's own
// renderer in this process; voices 0 keeps the default voice count.
struct TChordRender {
  std::vector<std::vector<float>> Channels;
  TRenderStats Stats;
};

TChordRender RenderHeldChord(int voices) {
  TChordRender result;
  TVstModule module;
  std::string error;
  EXPECT_TRUE(module.Load(ModulePath(), error)) << error;
  std::unique_ptr<TVstPlugin> plugin = TVstPlugin::Open(module, error, kRate, 512);
  EXPECT_NE(plugin, nullptr) << error;
  if (!plugin) return result;
  plugin->SetProgram(kInitProgram);
  if (voices > 0) {
    int param = -1;
    for (int i = 0; i < plugin->NumParams(); ++i)
      if (plugin->ParamName(i) == "Voices") param = i;
    EXPECT_GE(param, 0);
    plugin->SetParameter(param, static_cast<float>(voices - 1) / 31.0f);  // 1..32
    EXPECT_EQ(plugin->ParamDisplay(param), std::to_string(voices));
  }
  std::vector<TNoteSlot> notes;
  for (int v = 0; v < 16; ++v) notes.push_back({28 + 3 * v, 0.0, 2.0});
  const TMidiSong song = NoteSong(notes);

  TMemorySink sink(2);
  TRenderSettings settings;
  settings.SampleRate = kRate;
  settings.BlockSize = 512;
  settings.TailSeconds = 0.5;
  EXPECT_TRUE(RenderSong(*plugin, song, settings, &sink, result.Stats, {}, error)) << error;
  result.Channels = std::move(sink.Data);
  return result;
}

// The default voice count (3): the chord steals voices and stays at full
// scale (three of "Init"'s unmatched saws at the top of their attacks reach
// it within half a decibel; a stolen voice that restarted with a step would
// go far beyond).
TEST_F(InstrumentRender, SixteenHeldNotesStayFiniteWithoutDenormalsOrClipping) {
  const TChordRender chord = RenderHeldChord(0);
  ASSERT_EQ(chord.Channels.size(), 2u);
  for (const std::vector<float>& channel : chord.Channels) {
    EXPECT_TRUE(AllFinite(channel));
    EXPECT_TRUE(NoDenormals(channel));
    EXPECT_LE(Peak(channel), 1.06f);
    EXPECT_GT(Rms(Window(channel, 0.5, 1.9)), 0.05);
  }
  EXPECT_EQ(chord.Stats.NonFinite, 0);
}

// Sixteen voices: every note sounds; the sum stays finite and free of
// denormals through the release and the tail.
TEST_F(InstrumentRender, SixteenVoicesSoundTogetherFiniteAndWithoutDenormals) {
  const TChordRender chord = RenderHeldChord(16);
  const TChordRender three = RenderHeldChord(3);
  ASSERT_EQ(chord.Channels.size(), 2u);
  ASSERT_EQ(three.Channels.size(), 2u);
  for (const std::vector<float>& channel : chord.Channels) {
    EXPECT_TRUE(AllFinite(channel));
    EXPECT_TRUE(NoDenormals(channel));
  }
  EXPECT_GT(Rms(Window(chord.Channels[0], 0.5, 1.9)), 1.5 * Rms(Window(three.Channels[0], 0.5, 1.9)));
  EXPECT_EQ(Peak(Window(chord.Channels[0], 2.3, 2.5)), 0.0f) << "every voice released";
}

}  // namespace
