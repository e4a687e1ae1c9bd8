// The instrument beside other instances and beside a busy host thread,
// through the binary interface (512-frame blocks at 44.1 kHz, 4 held notes):
//
// BM_InstanceScaling/instances:N  N instances on N threads, each rendering
//   its own program, against one instance alone on one thread. Counters:
//   "one" and "together" (seconds of audio per second of wall time: one
//   instance alone, all N together) and "scaling" (together / one; N when
//   instances share nothing and every thread has a core of its own).
// BM_ProcessDuringChanges/changes:K  the audio thread paced as a host's is
//   (one block per block length), 1 s on its own, then 3 s while another
//   thread changes programs (K = 1) or loads bank chunks (K = 2); K = 0 is
//   the steady run alone. Counters: the process call's wall "median_ms",
//   "p99_ms" and "worst_ms", the audio thread's own CPU time per call
//   ("cpu_median_ms", "cpu_worst_ms": what the plug-in costs it, whatever
//   else the machine does) beside "steady_cpu_worst_ms" of the first second,
//   and "changes" made during the run.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/bench_module.h"
#include "tools/host/check_support.h"
#include "tools/host/vst_host.h"

namespace {

using check_support::NotePattern;
using check_support::TClock;
using check_support::TDriver;

constexpr double kRate = 44100;
constexpr int kBlock = 512;
constexpr int kNotes = 4;
// Blocks per instance in one scaling run: about 2 s of audio.
constexpr int kScalingBlocks = 172;
// Length of a run beside the busy host thread: 3 s of audio in real time,
// after 1 s without it (the steady figure).
constexpr std::int64_t kChangeFrames = static_cast<std::int64_t>(3 * kRate);
constexpr std::int64_t kSteadyFrames = static_cast<std::int64_t>(1 * kRate);

// One resumed instance on `program` with kNotes held notes, past their attacks.
struct TInstance {
  std::unique_ptr<TVstPlugin> Plugin;
  std::vector<std::vector<float>> Buffers;
  std::vector<float*> Outputs;
  TVstEventList None{1};

  TInstance(const TVstModule& module, int program, std::string& error) {
    Plugin = TVstPlugin::Open(module, error, kRate, kBlock);
    if (!Plugin) return;
    if (Plugin->NumPrograms() > 0) Plugin->SetProgram(program % Plugin->NumPrograms());
    Plugin->Resume();
    Plugin->PrepareBuffers(kBlock);
    Buffers.assign(static_cast<std::size_t>(std::max(Plugin->NumOutputs(), 1)), std::vector<float>(kBlock));
    for (auto& b : Buffers) Outputs.push_back(b.data());
    TVstEventList notes(kNotes);
    for (int k = 0; k < kNotes; ++k) {
      const std::uint8_t on[3] = {0x90, static_cast<std::uint8_t>(36 + 7 * k), 100};
      notes.Add(0, on, 3);
    }
    Plugin->ProcessBlock(notes.Events(), Outputs.data(), kBlock);
    for (int i = 0; i < 20; ++i) Block();
  }
  void Block() {
    Plugin->ProcessBlock(None.Events(), Outputs.data(), kBlock);
    benchmark::DoNotOptimize(Buffers[0][kBlock - 1]);
  }
  // kScalingBlocks blocks; the wall time they took, in seconds.
  double Run() {
    const auto start = TClock::now();
    for (int i = 0; i < kScalingBlocks; ++i) Block();
    return std::chrono::duration<double>(TClock::now() - start).count();
  }
};

void BM_InstanceScaling(benchmark::State& state) {
  const int count = static_cast<int>(state.range(0));
  TVstModule module;
  std::string error;
  if (!module.Load(BenchModulePath(), error)) {
    state.SkipWithError(error.c_str());
    return;
  }
  std::vector<std::unique_ptr<TInstance>> instances;
  for (int i = 0; i < count; ++i) {
    instances.push_back(std::make_unique<TInstance>(module, 7 * i, error));
    if (!instances.back()->Plugin) {
      state.SkipWithError(error.c_str());
      return;
    }
  }
  const double audioSeconds = kScalingBlocks * kBlock / kRate;
  double oneSeconds = 0, togetherSeconds = 0;
  for (auto _ : state) {
    // The reference: the first instance alone on this thread.
    oneSeconds += instances[0]->Run();
    // All of them at once, a thread each, started together.
    std::atomic<int> ready{0};
    std::atomic<bool> go{false};
    std::vector<std::thread> threads;
    for (int i = 0; i < count; ++i)
      threads.emplace_back([&, i] {
        ready.fetch_add(1);
        while (!go.load()) std::this_thread::yield();
        instances[static_cast<std::size_t>(i)]->Run();
      });
    while (ready.load() < count) std::this_thread::yield();
    const auto start = TClock::now();
    go.store(true);
    for (auto& t : threads) t.join();
    const double wall = std::chrono::duration<double>(TClock::now() - start).count();
    togetherSeconds += wall;
    state.SetIterationTime(wall);
  }
  const auto runs = static_cast<double>(state.iterations());
  const double one = audioSeconds * runs / oneSeconds;
  const double together = count * audioSeconds * runs / togetherSeconds;
  state.counters["one"] = one;
  state.counters["together"] = together;
  state.counters["scaling"] = together / one;
  state.SetLabel(std::to_string(count) + " instances, " + std::to_string(std::thread::hardware_concurrency()) +
                 " hardware threads");
}

BENCHMARK(BM_InstanceScaling)
    ->ArgName("instances")
    ->Arg(8)
    ->Iterations(3)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

enum TChange { kNothing = 0, kPrograms = 1, kChunks = 2 };

// Wall and CPU times of the measured process calls of one phase.
struct TPhaseTimes {
  std::vector<double> Wall, Cpu;
  void Add(const TDriver& d) {
    Wall.insert(Wall.end(), d.Durations.begin(), d.Durations.end());
    Cpu.insert(Cpu.end(), d.CpuDurations.begin(), d.CpuDurations.end());
  }
};

double Quantile(std::vector<double> values, double q) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[std::min(values.size() - 1, static_cast<std::size_t>(q * static_cast<double>(values.size())))];
}

void BM_ProcessDuringChanges(benchmark::State& state) {
  const auto change = static_cast<TChange>(state.range(0));
  TVstModule module;
  std::string error;
  if (!module.Load(BenchModulePath(), error)) {
    state.SkipWithError(error.c_str());
    return;
  }
  std::unique_ptr<TVstPlugin> plugin = TVstPlugin::Open(module, error, kRate, kBlock);
  if (!plugin) {
    state.SkipWithError(error.c_str());
    return;
  }
  std::vector<std::uint8_t> bank;
  if (change == kChunks) {
    if (!plugin->HasFlag(kVstFlagProgramChunks)) {
      state.SkipWithError("the plug-in keeps no chunks");
      return;
    }
    if (plugin->NumPrograms() > 1) plugin->SetProgram(1);
    bank = plugin->GetChunk(false);
  }
  plugin->Resume();
  TPhaseTimes steady, changing;
  std::int64_t changes = 0;
  for (auto _ : state) {
    TDriver d(*plugin, kBlock);
    d.ReserveMeasures(static_cast<std::size_t>(kSteadyFrames / kBlock + 1));
    d.Measure = true;
    d.Paced = true;
    // The steady figure first: the same notes with no other thread at work.
    d.Run(kSteadyFrames, kBlock, NotePattern(kSteadyFrames, kNotes));
    steady.Add(d);
    if (change == kNothing) {
      state.SetIterationTime(kSteadyFrames / kRate);
      continue;
    }
    d.ClearMeasures();
    d.ReserveMeasures(static_cast<std::size_t>(kChangeFrames / kBlock + 1));
    std::atomic<bool> done{false};
    std::thread host([&] {
      // A change every 5 ms: far more often than a user makes them.
      for (std::int64_t k = 0; !done.load(); ++k) {
        if (change == kPrograms && plugin->NumPrograms() > 0) {
          plugin->SetProgram(static_cast<int>((k * 37) % plugin->NumPrograms()));
          ++changes;
        } else if (change == kChunks) {
          plugin->SetChunk(bank, false);
          ++changes;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
    });
    const auto start = TClock::now();
    d.Run(kChangeFrames, kBlock, NotePattern(kChangeFrames, kNotes));
    state.SetIterationTime(std::chrono::duration<double>(TClock::now() - start).count());
    done.store(true);
    host.join();
    changing.Add(d);
  }
  const TPhaseTimes& measured = change == kNothing ? steady : changing;
  if (measured.Wall.empty()) return;
  state.counters["median_ms"] = Quantile(measured.Wall, 0.5) * 1e3;
  state.counters["p99_ms"] = Quantile(measured.Wall, 0.99) * 1e3;
  state.counters["worst_ms"] = Quantile(measured.Wall, 1.0) * 1e3;
  state.counters["cpu_median_ms"] = Quantile(measured.Cpu, 0.5) * 1e3;
  state.counters["cpu_worst_ms"] = Quantile(measured.Cpu, 1.0) * 1e3;
  state.counters["steady_cpu_worst_ms"] = Quantile(steady.Cpu, 1.0) * 1e3;
  state.counters["changes"] = static_cast<double>(changes);
  state.SetLabel(change == kPrograms ? "program changes" : change == kChunks ? "bank chunk loads" : "no changes");
}

BENCHMARK(BM_ProcessDuringChanges)
    ->ArgName("changes")
    ->DenseRange(0, 2)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
