// Host automation on the audio thread, parameter by parameter, through the
// binary interface (512-frame blocks at 44.1 kHz, program 0, one held
// note), as a host that plays automation lanes delivers it: setParameter on
// the audio thread right before the process call.
//
// BM_AutomationOnAudioThread/paced:P/room:R  every parameter is set to 0,
//   to 1 and back to its own value, each before a process call and followed
//   by two more calls. P = 1 serves the blocks at the pace of real time, as
//   a host's audio thread does (a full sweep takes about two minutes); P = 0
//   as fast as they go, as a host that renders faster than real time (what
//   the module's worker builds then comes later, in blocks of the audio).
//   R = 1 gives the reverb its largest room first (tens of megabytes of
//   lines). Every figure is the audio thread's own CPU time for setParameter
//   and the process call together (what the plug-in costs it, whatever else
//   the machine does): "steady_median_ms" and "steady_worst_ms" of blocks
//   without a change, "FxOn_off_ms" and "FxOn_on_ms" for the rack's switch
//   (the worst of its change's blocks), "other_worst_ms" for the costliest
//   other parameter (its index in "other_param"), and "allocations" on the
//   audio thread in the whole sweep. The label names the three costliest
//   parameters.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_module.h"
#include "framework/base/thread_time.h"
#include "tools/host/alloc_counter.h"
#include "tools/host/vst_host.h"

namespace {

constexpr double kRate = 44100;
constexpr int kBlock = 512;
// Calls measured per change: its own and the ones after it (what the
// worker built is swapped in at the end of a later call).
constexpr int kBlocksPerChange = 3;
constexpr int kSteadyBlocks = 200;

struct TAutomatedInstrument {
  TVstModule Module;
  std::unique_ptr<TVstPlugin> Plugin;
  std::string Error;
  std::vector<std::vector<float>> Buffers;
  std::vector<float*> Outputs;
  TVstEventList None{1};
  TVstEventList Note{2};
  bool Paced = false;
  std::chrono::steady_clock::time_point PaceStart;
  std::int64_t PacedFrames = 0;
  std::uint64_t Allocations = 0;

  TAutomatedInstrument(bool largestRoom) {
    if (!Module.Load(BenchModulePath(), Error)) return;
    Plugin = TVstPlugin::Open(Module, Error, kRate, kBlock);
    if (!Plugin) return;
    Plugin->SetSampleRate(kRate);
    Plugin->SetBlockSize(kBlock);
    if (Plugin->NumPrograms() > 0) Plugin->SetProgram(0);
    if (largestRoom) {
      // Room type 1 (of 0..64), size 127.
      const int room = Find("RvbMode"), size = Find("RvbSize");
      if (room >= 0) Plugin->SetParameter(room, 1.0f / 64.0f);
      if (size >= 0) Plugin->SetParameter(size, 1.0f);
    }
    Plugin->Resume();
    Plugin->PrepareBuffers(kBlock);
    Buffers.assign(static_cast<std::size_t>(std::max(Plugin->NumOutputs(), 1)), std::vector<float>(kBlock));
    for (auto& b : Buffers) Outputs.push_back(b.data());
    const std::uint8_t off[3] = {0x80, 40, 64}, on[3] = {0x90, 40, 100};
    Note.Add(0, off, 3);
    Note.Add(0, on, 3);
  }

  int Find(const std::string& name) const {
    for (int i = 0; i < Plugin->NumParams(); ++i)
      if (Plugin->ParamName(i) == name) return i;
    return -1;
  }

  // One block, parameter `param` set to `value` before it (none for -1);
  // the audio thread's CPU seconds for both.
  double Block(int param = -1, float value = 0, const TVstEventList* events = nullptr) {
    const std::uint64_t allocations = AudioThreadAllocationCount();
    const double start = ThreadCpuSeconds();
    {
      TAudioThreadScope audio;
      if (param >= 0) Plugin->SetParameter(param, value);
      Plugin->ProcessBlock((events != nullptr ? *events : None).Events(), Outputs.data(), kBlock);
    }
    const double cpu = ThreadCpuSeconds() - start;
    Allocations += AudioThreadAllocationCount() - allocations;
    benchmark::DoNotOptimize(Buffers[0][kBlock - 1]);
    if (Paced) {
      if (PacedFrames == 0) PaceStart = std::chrono::steady_clock::now();
      PacedFrames += kBlock;
      std::this_thread::sleep_until(PaceStart + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                                    std::chrono::duration<double>(PacedFrames / kRate)));
    }
    return cpu;
  }

  // The note struck again (a change before may have ended it), past its
  // attack.
  void Strike() {
    Block(-1, 0, &Note);
    for (int i = 0; i < 4; ++i) Block();
  }
};

struct TParamCost {
  int Param = -1;
  double Worst = 0;  // the worst block of its changes
};

void BM_AutomationOnAudioThread(benchmark::State& state) {
  TAutomatedInstrument instrument(state.range(1) != 0);
  if (!instrument.Plugin) {
    state.SkipWithError(instrument.Error.c_str());
    return;
  }
  TVstPlugin& plugin = *instrument.Plugin;
  const int fxOn = instrument.Find("FxOn");
  instrument.Strike();
  for (int i = 0; i < 40; ++i) instrument.Block();
  instrument.Paced = state.range(0) != 0;
  std::vector<double> steady;
  std::vector<TParamCost> costs(static_cast<std::size_t>(plugin.NumParams()));
  double fxOff = 0, fxOnAgain = 0;
  instrument.Allocations = 0;
  for (auto _ : state) {
    steady.clear();
    for (int i = 0; i < kSteadyBlocks; ++i) steady.push_back(instrument.Block());
    for (int p = 0; p < plugin.NumParams(); ++p) {
      TParamCost& cost = costs[static_cast<std::size_t>(p)];
      cost.Param = p;
      const float own = plugin.GetParameter(p);
      instrument.Strike();
      const float values[] = {0.0f, 1.0f, own};
      for (int v = 0; v < 3; ++v) {
        double worst = instrument.Block(p, values[v]);
        for (int k = 1; k < kBlocksPerChange; ++k) worst = std::max(worst, instrument.Block());
        cost.Worst = std::max(cost.Worst, worst);
        if (p == fxOn && v == 0) fxOff = worst;
        if (p == fxOn && v == 1) fxOnAgain = worst;
      }
    }
  }
  std::sort(steady.begin(), steady.end());
  std::vector<TParamCost> ranked = costs;
  std::sort(ranked.begin(), ranked.end(), [](const TParamCost& a, const TParamCost& b) { return a.Worst > b.Worst; });
  const auto other = std::find_if(ranked.begin(), ranked.end(), [&](const TParamCost& c) { return c.Param != fxOn; });
  state.counters["steady_median_ms"] = steady[steady.size() / 2] * 1e3;
  state.counters["steady_worst_ms"] = steady.back() * 1e3;
  state.counters["FxOn_off_ms"] = fxOff * 1e3;
  state.counters["FxOn_on_ms"] = fxOnAgain * 1e3;
  if (other != ranked.end()) {
    state.counters["other_worst_ms"] = other->Worst * 1e3;
    state.counters["other_param"] = other->Param;
  }
  state.counters["allocations"] = static_cast<double>(instrument.Allocations);
  std::string label;
  for (std::size_t k = 0; k < 3 && k < ranked.size(); ++k) {
    char text[128];
    std::snprintf(text, sizeof text, "%s%d %s %.2f ms", k ? ", " : "", ranked[k].Param,
                  plugin.ParamName(ranked[k].Param).c_str(), ranked[k].Worst * 1e3);
    label += text;
  }
  state.SetLabel(label);
}

BENCHMARK(BM_AutomationOnAudioThread)
    ->ArgNames({"paced", "room"})
    ->ArgsProduct({{0, 1}, {0, 1}})
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

}  // namespace
