// The whole instrument through the binary interface, as a host drives it:
// 512-frame blocks at 44.1 kHz with 1, 4 or 16 held voices, the effects rack
// on or off. The counter "realtime" is seconds of audio per second of CPU
// time on one thread.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "bench/bench_module.h"
#include "tools/host/vst_host.h"

namespace {

constexpr double kRate = 44100;
constexpr int kBlock = 512;
// Blocks of the fixed-count variant: about one second at 44.1 kHz.
constexpr int kFixedBlocks = 86;

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
    {"FxOn", 1, 0},   {"RvbOn", 1, 0}, {"DistOn", 1, 0}, {"PhsOn", 1, 0},   {"DlyOn", 1, 0},
    {"ChrsOn", 1, 0}, {"On", 1, 0},    {"EQOn", 1, 0},   {"fxModOn", 1, 0},
};

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

// One instance with `voices` held notes, past their attacks, and its output
// buffers; empty Plugin with Error set when the module cannot be opened.
struct THeldInstrument {
  TVstModule Module;
  std::unique_ptr<TVstPlugin> Plugin;
  std::string Error;
  bool RackKnown = false;
  std::vector<std::vector<float>> Buffers;
  std::vector<float*> Outputs;
  TVstEventList None{1};

  THeldInstrument(int voices, bool rack) {
    if (!Module.Load(BenchModulePath(), Error)) return;
    Plugin = TVstPlugin::Open(Module, Error, kRate, kBlock);
    if (!Plugin) return;
    Plugin->SetSampleRate(kRate);
    Plugin->SetBlockSize(kBlock);
    RackKnown = SetRack(*Plugin, rack);
    // As many voices as held notes ("Voices" is 1..32 where the plug-in has it).
    for (int i = 0; i < Plugin->NumParams(); ++i) {
      if (Plugin->ParamName(i) == "Voices") Plugin->SetParameter(i, static_cast<float>(voices - 1) / 31.0f);
    }
    Plugin->Resume();
    Buffers.assign(static_cast<std::size_t>(std::max(Plugin->NumOutputs(), 1)), std::vector<float>(kBlock));
    for (auto& b : Buffers) Outputs.push_back(b.data());
    TVstEventList events(static_cast<std::size_t>(voices));
    for (int v = 0; v < voices; ++v) {
      const std::uint8_t on[3] = {0x90, static_cast<std::uint8_t>(33 + 3 * v), 100};
      events.Add(0, on, 3);
    }
    Plugin->ProcessBlock(events.Events(), Outputs.data(), kBlock);
    for (int i = 0; i < 20; ++i) Plugin->ProcessBlock(None.Events(), Outputs.data(), kBlock);  // past the attacks
  }
  std::string Label() const {
    return Module.Path().substr(Module.Path().rfind('/') + 1) + (RackKnown ? "" : ", rack parameters unknown");
  }
};

// One timed block. Not inlined: bench/callgrind.sh counts the instructions
// below this function only, so set-up and attacks stay out of the count.
[[gnu::noinline]] void RenderHeldBlock(THeldInstrument& instrument) {
  instrument.Plugin->ProcessBlock(instrument.None.Events(), instrument.Outputs.data(), kBlock);
  benchmark::DoNotOptimize(instrument.Buffers[0][kBlock - 1]);
}

void BM_Instrument(benchmark::State& state) {
  THeldInstrument instrument(static_cast<int>(state.range(0)), state.range(1) != 0);
  if (!instrument.Plugin) {
    state.SkipWithError(instrument.Error.c_str());
    return;
  }
  for (auto _ : state) RenderHeldBlock(instrument);
  state.counters["realtime"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * kBlock / kRate, benchmark::Counter::kIsRate);
  state.SetLabel(instrument.Label());
}

BENCHMARK(BM_Instrument)
    ->ArgNames({"voices", "rack"})
    ->ArgsProduct({{1, 4, 16}, {1, 0}})
    ->Unit(benchmark::kMicrosecond);

// The same renders with a fixed count of blocks (one second of audio): the
// instruction counts bench/callgrind.sh reports are then repeatable.
BENCHMARK(BM_Instrument)
    ->Name("BM_InstrumentFixed")
    ->ArgNames({"voices", "rack"})
    ->ArgsProduct({{1, 4, 16}, {1, 0}})
    ->Iterations(kFixedBlocks)
    ->Unit(benchmark::kMicrosecond);

}  // namespace
