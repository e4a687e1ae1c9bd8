// Every program of the factory bank through the built module, played the way
// rumbleon-host plays it: one middle-register bass note (E2, held for one
// second, then half a second of release and tail) on a fresh instance per
// program. Each must sound, stay finite and below full scale, and come out
// within 6 dB of the bank's median level.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "tools/host/midi_file.h"
#include "tools/host/renderer.h"
#include "tools/host/vst_host.h"

namespace {

constexpr double kRate = 44100.0;
constexpr int kNote = 40;  // E2, 82.4 Hz
constexpr double kHeldSeconds = 1.0;
constexpr double kTailSeconds = 0.5;
// Level: the loudest 100 ms of the render (RMS over both channels), so that
// plucks, pads with a slow attack and gated sequences compare fairly.
constexpr double kWindowSeconds = 0.1;
constexpr double kMaxDeviationDb = 6.0;

TMidiSong OneNote() {
  TMidiSong song;
  song.TicksPerQuarter = 480;
  auto add = [&song](std::int64_t tick, std::uint8_t status, std::uint8_t velocity) {
    TMidiFileEvent e;
    e.Tick = tick;
    e.Bytes[0] = status;
    e.Bytes[1] = kNote;
    e.Bytes[2] = velocity;
    e.Size = 3;
    song.Events.push_back(e);
  };
  add(0, 0x90, 100);
  add(static_cast<std::int64_t>(kHeldSeconds * 960.0), 0x80, 64);  // 120 BPM: 960 ticks a second
  ApplyTempoMap(song);
  song.LengthSeconds = song.Events.back().Seconds;
  return song;
}

struct TProgramRender {
  std::string Name;
  double LevelDb = -200.0;
  float Peak = 0.0f;
  std::int64_t NonFinite = 0;
};

double LoudestWindowDb(const std::vector<std::vector<float>>& channels) {
  const std::size_t n = channels[0].size();
  const auto window = static_cast<std::size_t>(kWindowSeconds * kRate);
  const std::size_t hop = window / 4;
  double best = 0.0;
  for (std::size_t start = 0; start + window <= n; start += hop) {
    double sum = 0.0;
    for (const std::vector<float>& c : channels)
      for (std::size_t i = start; i < start + window; ++i) sum += static_cast<double>(c[i]) * c[i];
    best = std::max(best, sum / static_cast<double>(window * channels.size()));
  }
  return best > 0.0 ? 10.0 * std::log10(best) : -200.0;
}

TEST(FactoryBankRender, EveryProgramSoundsAtAMatchedLevelWithoutClipping) {
  TVstModule module;
  std::string error;
  ASSERT_TRUE(module.Load(RUMBLEON_MODULE_PATH, error)) << error;
  const TMidiSong song = OneNote();
  TRenderSettings settings;
  settings.SampleRate = kRate;
  settings.BlockSize = 512;
  settings.TailSeconds = kTailSeconds;

  std::unique_ptr<TVstPlugin> first = TVstPlugin::Open(module, error, kRate, settings.BlockSize);
  ASSERT_NE(first, nullptr) << error;
  const int programs = first->NumPrograms();
  ASSERT_EQ(programs, 128);
  first.reset();

  std::vector<TProgramRender> renders;
  for (int p = 0; p < programs; ++p) {
    std::unique_ptr<TVstPlugin> plugin = TVstPlugin::Open(module, error, kRate, settings.BlockSize);
    ASSERT_NE(plugin, nullptr) << error;
    TProgramRender r;
    r.Name = plugin->ProgramName(p);
    plugin->SetProgram(p);
    TMemorySink sink(2);
    TRenderStats stats;
    ASSERT_TRUE(RenderSong(*plugin, song, settings, &sink, stats, {}, error)) << error;
    r.LevelDb = LoudestWindowDb(sink.Data);
    r.Peak = stats.Peak;
    r.NonFinite = stats.NonFinite;
    renders.push_back(r);
  }

  std::vector<double> levels;
  for (const TProgramRender& r : renders) levels.push_back(r.LevelDb);
  std::sort(levels.begin(), levels.end());
  const double median = 0.5 * (levels[levels.size() / 2 - 1] + levels[levels.size() / 2]);
  for (int p = 0; p < programs; ++p) {
    const TProgramRender& r = renders[static_cast<std::size_t>(p)];
    SCOPED_TRACE(std::to_string(p) + " " + r.Name);
    EXPECT_EQ(r.NonFinite, 0);
    EXPECT_LT(r.Peak, 1.0f) << "clipped";
    EXPECT_NEAR(r.LevelDb, median, kMaxDeviationDb);
  }
}

}  // namespace
