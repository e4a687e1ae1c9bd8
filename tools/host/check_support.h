// What the conformance checks share: results, number texts, a seeded context
// that opens fresh instances, a driver that renders block by block and
// inspects every sample, note patterns and parameter snapshots.
#pragma once

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "framework/base/thread_time.h"
#include "tools/host/alloc_counter.h"
#include "tools/host/checks.h"
#include "tools/host/vst_host.h"

namespace check_support {

using TClock = std::chrono::steady_clock;

inline TCheckResult Pass(std::string detail = {}) { return {TCheckStatus::Pass, std::move(detail)}; }
inline TCheckResult Fail(std::string detail) { return {TCheckStatus::Fail, std::move(detail)}; }
inline TCheckResult Skip(std::string detail) { return {TCheckStatus::Skip, std::move(detail)}; }

inline std::string Num(double v, int decimals = 3) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, v);
  return text;
}

inline std::string Quote(const std::string& s) { return "'" + s + "'"; }

// A level in dB relative to full scale, signed ("+24.0 dBFS"); "-inf" for
// silence.
inline std::string Dbfs(double amplitude) {
  if (!(amplitude > 0)) return "-inf dBFS";
  const double db = 20.0 * std::log10(amplitude);
  return (db > 0 ? "+" : "") + Num(db, 1) + " dBFS";
}

// A MIDI message at a frame of a render run.
struct TTimedMidi {
  std::int64_t Frame;
  std::uint8_t Bytes[3];
};

inline TTimedMidi NoteOn(std::int64_t frame, int key, int velocity = 100) {
  return {frame, {0x90, static_cast<std::uint8_t>(key), static_cast<std::uint8_t>(velocity)}};
}
inline TTimedMidi NoteOff(std::int64_t frame, int key) { return {frame, {0x80, static_cast<std::uint8_t>(key), 64}}; }

// A chord and a line over length frames, every note released before the end.
std::vector<TTimedMidi> NotePattern(std::int64_t length, int keys = 4);

// Everything a check needs: the module, a seeded generator, fresh instances.
class TCheckContext {
 public:
  TCheckContext(const TVstModule& module, std::uint32_t seed, std::string path = {})
      : Module(module), Random(seed), Path(std::move(path)) {}

  std::unique_ptr<TVstPlugin> Open(double rate = 44100, int block = 512) {
    std::string error;
    auto plugin = TVstPlugin::Open(Module, error, rate, block);
    if (!plugin) throw std::runtime_error(error);
    plugin->SetSampleRate(rate);
    plugin->SetBlockSize(block);
    return plugin;
  }
  float Uniform() { return std::uniform_real_distribution<float>(0.0f, 1.0f)(Random); }
  int Below(int n) { return n <= 0 ? 0 : std::uniform_int_distribution<int>(0, n - 1)(Random); }
  std::mt19937& Rng() { return Random; }
  // The module as the user named it (also for checks that load it themselves).
  const std::string& ModulePath() const { return Path; }

 private:
  const TVstModule& Module;
  std::mt19937 Random;
  std::string Path;
};

// Drives a plug-in block by block and inspects every output sample. With
// Measure set it also times every process call and, where the host can,
// counts the audio thread's heap allocations and frees (the automation hook
// included: a host that automates on its audio thread calls setParameter
// there).
class TDriver {
 public:
  TDriver(TVstPlugin& plugin, int maxBlock);

  // Renders frames in blocks of block, delivering events (frames relative to
  // the start of this call, sorted) at their offsets. before(start) runs
  // before each block on the calling thread (automation).
  void Run(std::int64_t frames, int block, const std::vector<TTimedMidi>& events,
           const std::function<void(std::int64_t)>& before = {});
  // One block with the events added so far.
  void Block(int frames);
  // Room for n measured blocks (wall and CPU times), made ahead so that
  // measuring never allocates on the audio thread; ClearMeasures forgets them.
  void ReserveMeasures(std::size_t n) {
    Durations.reserve(n);
    CpuDurations.reserve(n);
  }
  void ClearMeasures() {
    Durations.clear();
    CpuDurations.clear();
    SilentCalls = 0;
    Sounded = false;
    SilentSince = 0;
  }
  // Adds an event to the next block.
  void Queue(int offset, const std::uint8_t* bytes, int size) { List.Add(offset, bytes, size); }

  // Empty when the output was clean, else what was wrong.
  std::string Faults() const;
  // Process-call durations of the measured blocks, in seconds: wall time,
  // and the CPU time of the calling (audio) thread, which a busy machine
  // does not inflate.
  double MedianSeconds() const;
  double WorstSeconds() const;
  double MedianCpuSeconds() const;
  double WorstCpuSeconds() const;

  TVstPlugin& Plugin;
  std::vector<std::vector<float>> Buffers;
  std::vector<float*> Pointers;
  TVstEventList List;
  std::int64_t Position = 0;
  std::int64_t Blocks = 0;
  std::int64_t NonFinite = 0;
  std::int64_t Denormals = 0;
  std::string FirstBad;
  float Peak = 0;
  double SumSquares = 0;
  std::int64_t Samples = 0;
  bool Measure = false;
  // Blocks are served at the pace of real time, as a host's audio thread does.
  bool Paced = false;
  std::uint64_t Allocations = 0;
  std::uint64_t Frees = 0;
  std::vector<double> Durations;     // reserved ahead: filling it never allocates on the audio thread
  std::vector<double> CpuDurations;  // the same blocks' CPU times (reserved with Durations)
  // Every output sample of channel 0 is appended here while set (reserved ahead).
  std::vector<float>* Record = nullptr;
  // Calls whose every output sample was exactly 0 between calls with sound:
  // a plug-in that skipped its work (it found its state busy) or handed a
  // change over in silence. ClearMeasures forgets them (and the sound
  // before).
  std::int64_t SilentCalls = 0;

 private:
  void Inspect(int frames);
  TClock::time_point PaceStart;
  std::int64_t PaceFrames = 0;
  bool Sounded = false;          // a call had sound
  std::int64_t SilentSince = 0;  // calls of silence since the last with sound
};

// Runs what a host does on its main thread (programs, chunks, parameters
// from the user) on a thread of its own, as hosts do while their audio
// thread renders: a plug-in may treat calls on its audio thread as
// real-time ones.
template <class F>
void OnHostThread(F&& work) {
  std::thread thread(std::forward<F>(work));
  thread.join();
}

// The median and the largest of a list of durations (0 when empty).
double MedianOf(std::vector<double> values);
double WorstOf(const std::vector<double>& values);

std::vector<float> Snapshot(const TVstPlugin& p);
// First parameters that differ, as text; empty when all match.
std::string CompareParams(const TVstPlugin& p, const std::vector<float>& expected, const std::vector<float>& actual);

// The RMS of a signal in dB relative to full scale (-200 for silence).
double RmsDb(const std::vector<float>& x);

// Rounds of the realtime check's changing phase at most.
constexpr int kCpuRounds = 3;
struct TPhaseRounds {
  int Rounds = 0;
  bool Within = true;  // the last round's worst call stayed within the limit
};
// The realtime check's changing phase: measure runs one round and answers
// its worst process call's processor time (seconds of the audio thread's
// own clock). A round over allowed is measured again, up to kCpuRounds in
// all, and the phase is within the limit when one round stays under it: a
// busy machine can charge an interrupt's or a page reclaim's time to any
// call now and then, while a change that costs the audio thread costs it in
// every round. Unjudged (instrumented builds, where times say nothing): one
// round, within.
TPhaseRounds MeasureUntilWithin(double allowed, bool judged, const std::function<double()>& measure);

// The checks outside checks.cpp (stress_checks.cpp).
TCheckResult CheckStateRecall(TCheckContext& ctx);
TCheckResult CheckCorruptChunks(TCheckContext& ctx);
TCheckResult CheckMidiFuzz(TCheckContext& ctx);
TCheckResult CheckOutputLevel(TCheckContext& ctx);
TCheckResult CheckRealtime(TCheckContext& ctx);
TCheckResult CheckChunkThreads(TCheckContext& ctx);
TCheckResult CheckInstances(TCheckContext& ctx);
TCheckResult CheckReload(TCheckContext& ctx);

}  // namespace check_support
