// The whole instrument through the binary interface, as a host drives it:
// 512-frame blocks at 44.1 kHz with 1, 4 or 16 held voices, the effects rack
// on or off. The counter "realtime" is seconds of audio per second of CPU
// time on one thread.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "tools/host/vst_host.h"

#ifndef RUMBLEON_BENCH_MODULE_PATH
#define RUMBLEON_BENCH_MODULE_PATH ""
#endif

namespace {

constexpr double kRate = 44100;
constexpr int kBlock = 512;

// The rack switch: parameters (by name) and their normalised values with the
// whole rack on and with it off. Empty until the instrument has them: then
// both variants run the same. "On" names two parameters, the cross filter's
// switch and its tap count: on runs all four taps.
struct TRackSetting {
  const char* Name;
  float On;
  float Off;
};
const std::vector<TRackSetting> kRackSettings = {
    {"FxOn", 1, 0},    {"RvbOn", 1, 0}, {"DistOn", 1, 0}, {"PhsOn", 1, 0}, {"DlyOn", 1, 0},
    {"ChrsOn", 1, 0},  {"On", 1, 0},    {"EQOn", 1, 0},   {"fxModOn", 1, 0},
};

std::string ModulePath() {
  const char* env = std::getenv("RUMBLEON_BENCH_MODULE");
  return env && *env ? env : RUMBLEON_BENCH_MODULE_PATH;
}

// Sets every rack parameter found by name; false when none is known.
bool SetRack(TVstPlugin& plugin, bool on) {
  bool any = false;
  for (const auto& s : kRackSettings) {
    for (int i = 0; i < plugin.NumParams(); ++i) {
      if (plugin.ParamName(i) == s.Name) {
        plugin.SetParameter(i, on ? s.On : s.Off);
        any = true;
      }
    }
  }
  return any;
}

void BM_Instrument(benchmark::State& state) {
  const int voices = static_cast<int>(state.range(0));
  const bool rack = state.range(1) != 0;
  TVstModule module;
  std::string error;
  if (!module.Load(ModulePath(), error)) {
    state.SkipWithError(error.c_str());
    return;
  }
  auto plugin = TVstPlugin::Open(module, error, kRate, kBlock);
  if (!plugin) {
    state.SkipWithError(error.c_str());
    return;
  }
  plugin->SetSampleRate(kRate);
  plugin->SetBlockSize(kBlock);
  const bool rackKnown = SetRack(*plugin, rack);
  // As many voices as held notes ("Voices" is 1..32 where the plug-in has it).
  for (int i = 0; i < plugin->NumParams(); ++i) {
    if (plugin->ParamName(i) == "Voices") plugin->SetParameter(i, static_cast<float>(voices - 1) / 31.0f);
  }
  plugin->Resume();

  std::vector<std::vector<float>> buffers(static_cast<std::size_t>(std::max(plugin->NumOutputs(), 1)),
                                          std::vector<float>(kBlock));
  std::vector<float*> outputs;
  for (auto& b : buffers) outputs.push_back(b.data());
  TVstEventList events(static_cast<std::size_t>(voices));
  for (int v = 0; v < voices; ++v) {
    const std::uint8_t on[3] = {0x90, static_cast<std::uint8_t>(33 + 3 * v), 100};
    events.Add(0, on, 3);
  }
  TVstEventList none(1);
  plugin->ProcessBlock(events.Events(), outputs.data(), kBlock);
  for (int i = 0; i < 20; ++i) plugin->ProcessBlock(none.Events(), outputs.data(), kBlock);  // past the attacks

  for (auto _ : state) {
    plugin->ProcessBlock(none.Events(), outputs.data(), kBlock);
    benchmark::DoNotOptimize(buffers[0][kBlock - 1]);
  }
  state.counters["realtime"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * kBlock / kRate, benchmark::Counter::kIsRate);
  state.SetLabel(module.Path().substr(module.Path().rfind('/') + 1) + (rackKnown ? "" : ", rack parameters unknown"));
}

BENCHMARK(BM_Instrument)
    ->ArgNames({"voices", "rack"})
    ->ArgsProduct({{1, 4, 16}, {1, 0}})
    ->Unit(benchmark::kMicrosecond);

}  // namespace


