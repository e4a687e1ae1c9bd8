// The checks that attack a plug-in as hosts do: state recall into fresh
// instances, damaged chunks, MIDI fuzzing, the output level over random
// states, real-time behaviour while other threads change programs and
// chunks, chunk requests from two threads, parallel instances and repeated
// loading of the module.
#include <dlfcn.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "tools/host/check_support.h"
#include "tools/host/lock_monitor.h"

namespace check_support {

namespace {

constexpr double kRate = 44100;
constexpr int kBlock = 512;
// +24 dBFS: no setting of a plug-in may drive its output above it (reaching
// it is allowed: the instrument holds its output to that ceiling).
constexpr float kLevelLimit = 15.848932f;

// The program a check plays: one a third into the bank (a host project is
// rarely left on the first one).
int ChosenProgram(const TVstPlugin& p) { return p.NumPrograms() > 1 ? p.NumPrograms() / 3 : 0; }

// A phrase of three notes over frames, released before the end; the first
// channel of the output.
std::vector<float> RenderPhrase(TVstPlugin& p, std::int64_t frames, std::string* faults = nullptr) {
  TDriver d(p, kBlock);
  std::vector<float> out;
  out.reserve(static_cast<std::size_t>(frames));
  d.Record = &out;
  d.Run(frames, kBlock, NotePattern(frames, 3));
  if (faults) *faults = d.Faults();
  return out;
}

// A few blocks of silence through the plug-in (lets queued changes land).
void Idle(TVstPlugin& p, int blocks) {
  TDriver d(p, kBlock);
  for (int i = 0; i < blocks; ++i) d.Block(kBlock);
}

// Compares two renders of the same phrase by their level in windows of 4096
// frames (plug-ins may draw random numbers, so samples need not match).
// Empty when they agree: overall within 3 dB and every window that is above
// -60 dBFS in either within 10 dB; else what differs.
std::string CompareSound(const std::vector<float>& expected, const std::vector<float>& actual) {
  const double e = RmsDb(expected), a = RmsDb(actual);
  if (e < -90 && a < -90) return {};
  if (std::fabs(e - a) > 3.0)
    return "the level is " + Num(a, 1) + " dB RMS instead of " + Num(e, 1) + " dB" +
           (a < -90 ? " (silent)" : std::string());
  constexpr std::size_t kWindow = 4096;
  const std::size_t n = std::min(expected.size(), actual.size());
  for (std::size_t start = 0; start + kWindow <= n; start += kWindow) {
    const std::vector<float> we(expected.begin() + static_cast<std::ptrdiff_t>(start),
                                expected.begin() + static_cast<std::ptrdiff_t>(start + kWindow));
    const std::vector<float> wa(actual.begin() + static_cast<std::ptrdiff_t>(start),
                                actual.begin() + static_cast<std::ptrdiff_t>(start + kWindow));
    const double de = RmsDb(we), da = RmsDb(wa);
    if ((de > -60 || da > -60) && std::fabs(de - da) > 10.0)
      return "at " + Num(static_cast<double>(start) / kRate, 2) + " s the level is " + Num(da, 1) + " dB instead of " +
             Num(de, 1) + " dB";
  }
  return {};
}

// Every parameter set to value (through the host's parameter entry).
void SetAll(TVstPlugin& p, float value) {
  for (int i = 0; i < p.NumParams(); ++i) p.SetParameter(i, value);
}

std::string Seconds(double s) { return s < 0.01 ? Num(s * 1000.0, 2) + " ms" : Num(s * 1000.0, 1) + " ms"; }

}  // namespace

TCheckResult CheckStateRecall(TCheckContext& ctx) {
  auto a = ctx.Open();
  if (!a->HasFlag(kVstFlagProgramChunks)) return Skip("the plug-in keeps no chunks");
  const int program = ChosenProgram(*a);
  a->SetProgram(program);
  // Small edits, as a user makes them, that keep the program sounding.
  for (int k = 0; k < std::max(1, a->NumParams() / 20); ++k) {
    const int i = ctx.Below(a->NumParams());
    const float v = a->GetParameter(i) + (ctx.Uniform() - 0.5f) * 0.1f;
    a->SetParameter(i, std::clamp(v, 0.0f, 1.0f));
  }
  a->Resume();
  Idle(*a, 4);
  const std::vector<std::uint8_t> chunk = a->GetChunk(false);
  if (chunk.empty()) return Fail("getChunk answered no data");
  const std::vector<float> values = Snapshot(*a);
  const int current = a->Program();
  const std::int64_t frames = static_cast<std::int64_t>(kRate);
  std::string faults;
  const std::vector<float> original = RenderPhrase(*a, frames, &faults);
  if (!faults.empty()) return Fail("the original instance: " + faults);

  // A host reopening the project: a fresh instance, the chunk, then resume.
  auto b = ctx.Open();
  b->SetChunk(chunk, false);
  b->Resume();
  Idle(*b, 4);
  std::string problems;
  if (b->Program() != current)
    problems += "the fresh instance is on program " + std::to_string(b->Program()) + " instead of " +
                std::to_string(current) + "; ";
  const std::string differ = CompareParams(*b, values, Snapshot(*b));
  if (!differ.empty()) problems += "in the fresh instance " + differ + "; ";
  const std::vector<float> recalled = RenderPhrase(*b, frames, &faults);
  if (!faults.empty()) problems += "the fresh instance: " + faults + "; ";
  const std::string sound = CompareSound(original, recalled);
  if (!sound.empty()) problems += "the fresh instance sounds different: " + sound + "; ";

  // A fresh instance that was given two extreme states first (every
  // parameter at 1, then at 0, which mutes many plug-ins), while running.
  std::vector<std::uint8_t> allOne, allZero;
  {
    auto helper = ctx.Open();
    SetAll(*helper, 1.0f);
    allOne = helper->GetChunk(false);
    SetAll(*helper, 0.0f);
    allZero = helper->GetChunk(false);
  }
  auto c = ctx.Open();
  c->Resume();
  for (const auto* extreme : {&allOne, &allZero}) {
    OnHostThread([&] { c->SetChunk(*extreme, false); });
    RenderPhrase(*c, frames / 4);
  }
  OnHostThread([&] { c->SetChunk(chunk, false); });
  Idle(*c, 4);
  if (c->Program() != current)
    problems += "after two other states the program is " + std::to_string(c->Program()) + " instead of " +
                std::to_string(current) + "; ";
  const std::string differC = CompareParams(*c, values, Snapshot(*c));
  if (!differC.empty()) problems += "after two other states " + differC + "; ";
  const std::vector<float> again = RenderPhrase(*c, frames, &faults);
  if (!faults.empty()) problems += "after two other states: " + faults + "; ";
  const std::string soundC = CompareSound(original, again);
  if (!soundC.empty()) problems += "after two other states it sounds different: " + soundC + "; ";

  const std::string detail = std::to_string(chunk.size()) + "-byte state of program " + std::to_string(current) +
                             " with edits, into a fresh instance and after all-1 and all-0 states; phrase at " +
                             Num(RmsDb(original), 1) + " dB RMS";
  if (!problems.empty()) return Fail(problems + detail);
  return Pass(detail);
}

TCheckResult CheckCorruptChunks(TCheckContext& ctx) {
  auto p = ctx.Open();
  if (!p->HasFlag(kVstFlagProgramChunks)) return Skip("the plug-in keeps no chunks");
  p->SetProgram(ChosenProgram(*p));
  p->Resume();
  Idle(*p, 4);
  const std::int64_t frames = static_cast<std::int64_t>(kRate / 2);
  const std::vector<float> before = RenderPhrase(*p, frames);
  std::string problems;
  int attempts = 0, rejected = 0;
  for (bool preset : {false, true}) {
    const std::vector<std::uint8_t> good = p->GetChunk(preset);
    if (good.size() < 8) continue;
    const std::vector<float> values = Snapshot(*p);
    struct TDamage {
      const char* What;
      std::vector<std::uint8_t> Bytes;
    };
    std::vector<TDamage> damages;
    damages.push_back(
        {"cut to half its length", {good.begin(), good.begin() + static_cast<std::ptrdiff_t>(good.size() / 2)}});
    damages.push_back({"cut to 7 bytes", {good.begin(), good.begin() + 7}});
    std::vector<std::uint8_t> head = good;
    for (std::size_t i = 0; i < std::min<std::size_t>(16, head.size()); ++i)
      head[i] = static_cast<std::uint8_t>(head[i] ^ 0xA5);
    damages.push_back({"its first 16 bytes scrambled", head});
    std::vector<std::uint8_t> noise(good.size());
    for (auto& b : noise) b = static_cast<std::uint8_t>(ctx.Below(256));
    damages.push_back({"random bytes of its length", noise});
    for (const TDamage& d : damages) {
      ++attempts;
      void* data = const_cast<std::uint8_t*>(d.Bytes.data());
      std::vector<std::uint8_t> copy = d.Bytes;
      data = copy.data();
      std::intptr_t answer = 0;
      OnHostThread(
          [&] { answer = p->Dispatch(kEffSetChunk, preset ? 1 : 0, static_cast<std::intptr_t>(copy.size()), data); });
      Idle(*p, 2);
      const std::string changed = CompareParams(*p, values, Snapshot(*p));
      const std::vector<std::uint8_t> now = p->GetChunk(preset);
      const std::string which = std::string(preset ? "program" : "bank") + " chunk " + d.What;
      if (!changed.empty() || now != good) {
        problems +=
            "a " + which + " changed the state" + (changed.empty() ? std::string() : " (" + changed + ")") + "; ";
        // Put it back for the next attempt.
        OnHostThread([&] { p->SetChunk(good, preset); });
        Idle(*p, 2);
      } else {
        ++rejected;
        if (answer != 0)
          problems += "a " + which + " was rejected but setChunk answered " + std::to_string(answer) + "; ";
      }
    }
  }
  std::string faults;
  const std::vector<float> after = RenderPhrase(*p, frames, &faults);
  if (!faults.empty()) problems += "after the damaged chunks: " + faults + "; ";
  const std::string sound = CompareSound(before, after);
  if (!sound.empty()) problems += "after the damaged chunks it sounds different: " + sound + "; ";
  const std::string detail =
      std::to_string(attempts) + " damaged chunks, " + std::to_string(rejected) + " rejected with the state kept";
  if (!problems.empty()) return Fail(problems + detail);
  return Pass(detail);
}

TCheckResult CheckMidiFuzz(TCheckContext& ctx) {
  auto p = ctx.Open(kRate, 256);
  const int program = ChosenProgram(*p);
  p->SetProgram(program);
  const bool chunks = p->HasFlag(kVstFlagProgramChunks);
  const std::vector<std::uint8_t> state = chunks ? p->GetChunk(false) : std::vector<std::uint8_t>();
  const std::vector<float> values = Snapshot(*p);
  p->Resume();
  Idle(*p, 4);
  const std::int64_t frames = static_cast<std::int64_t>(kRate);
  const std::vector<float> before = RenderPhrase(*p, frames);

  // Two seconds of hostile MIDI in 256-frame blocks.
  TDriver d(*p, 256);
  int sent = 0;
  auto send = [&](std::uint8_t s, std::uint8_t a, std::uint8_t b) {
    const std::uint8_t bytes[3] = {s, a, b};
    d.Queue(ctx.Below(256), bytes, 3);
    ++sent;
  };
  for (int block = 0; block < static_cast<int>(2 * kRate / 256); ++block) {
    for (int k = 0; k < 8; ++k) {
      const auto ch = static_cast<std::uint8_t>(ctx.Below(16));
      const auto v1 = static_cast<std::uint8_t>(ctx.Below(128)), v2 = static_cast<std::uint8_t>(ctx.Below(128));
      switch (ctx.Below(8)) {
        case 0:
        case 1:
          send(static_cast<std::uint8_t>(0xB0 | ch), v1, v2);  // any controller
          break;
        case 2: {
          // An RPN or NRPN data entry: number MSB/LSB, data MSB/LSB.
          const bool rpn = ctx.Below(2) == 0;
          send(static_cast<std::uint8_t>(0xB0 | ch), rpn ? 101 : 99, static_cast<std::uint8_t>(ctx.Below(128)));
          send(static_cast<std::uint8_t>(0xB0 | ch), rpn ? 100 : 98, static_cast<std::uint8_t>(ctx.Below(128)));
          send(static_cast<std::uint8_t>(0xB0 | ch), 6, v1);
          send(static_cast<std::uint8_t>(0xB0 | ch), 38, v2);
          break;
        }
        case 3:
          send(static_cast<std::uint8_t>(0xC0 | ch), v1, 0);  // program change
          break;
        case 4:
          send(static_cast<std::uint8_t>(0xE0 | ch), v1, v2);  // pitch bend
          break;
        case 5:
          send(static_cast<std::uint8_t>((ctx.Below(2) ? 0x90 : 0x80) | ch), v1, v2);
          break;
        case 6:
          send(static_cast<std::uint8_t>(ctx.Below(2) ? 0xD0 | ch : 0xA0 | ch), v1, v2);  // pressure
          break;
        default:
          // Junk: system bytes, data bytes with the top bit set, data without a status.
          send(static_cast<std::uint8_t>(ctx.Below(256)), static_cast<std::uint8_t>(ctx.Below(256)),
               static_cast<std::uint8_t>(ctx.Below(256)));
          break;
      }
    }
    d.Block(256);
  }
  // Every controller at its top value, then at zero: whatever one of them
  // switches off must come back on.
  for (int value : {127, 0}) {
    for (std::uint8_t cc = 0; cc < 120; ++cc) send(0xB0, cc, static_cast<std::uint8_t>(value));
    d.Block(256);
  }
  std::string problems;
  if (!d.Faults().empty()) problems += "during the fuzzing: " + d.Faults() + "; ";

  // What a host does when the user reloads the song: controllers reset,
  // notes off, bend centred, the saved state and program set again.
  for (std::uint8_t ch = 0; ch < 16; ++ch) {
    send(static_cast<std::uint8_t>(0xB0 | ch), 121, 0);
    send(static_cast<std::uint8_t>(0xB0 | ch), 123, 0);
    send(static_cast<std::uint8_t>(0xE0 | ch), 0, 64);
  }
  d.Block(256);
  OnHostThread([&] {
    if (chunks) {
      p->SetChunk(state, false);
    } else {
      p->SetProgram(program);
      for (int i = 0; i < p->NumParams(); ++i) p->SetParameter(i, values[static_cast<std::size_t>(i)]);
    }
  });
  Idle(*p, 8);
  const std::string differ = CompareParams(*p, values, Snapshot(*p));
  if (!differ.empty()) problems += "after the state was set again " + differ + "; ";
  std::string faults;
  const std::vector<float> after = RenderPhrase(*p, frames, &faults);
  if (!faults.empty()) problems += "afterwards: " + faults + "; ";
  const std::string sound = CompareSound(before, after);
  if (!sound.empty()) problems += "after the state was set again it sounds different: " + sound + "; ";
  const std::string detail = std::to_string(sent) + " MIDI messages over 2 s, then the state again: phrase at " +
                             Num(RmsDb(after), 1) + " dB RMS (before " + Num(RmsDb(before), 1) + " dB)";
  if (!problems.empty()) return Fail(problems + detail);
  return Pass(detail);
}

TCheckResult CheckOutputLevel(TCheckContext& ctx) {
  auto p = ctx.Open();
  p->Resume();
  const int programs = std::max(1, std::min(p->NumPrograms(), 128));
  const std::int64_t frames = static_cast<std::int64_t>(kRate * 0.3);
  float loudest = 0;
  std::string where, faults;
  int renders = 0;
  for (int program = 0; program < programs; ++program) {
    for (int state = 0; state < 2; ++state) {
      // The program as stored, then one random legal state on top of it.
      std::vector<float> values(static_cast<std::size_t>(p->NumParams()));
      for (float& v : values) v = ctx.Uniform();
      OnHostThread([&] {
        if (p->NumPrograms() > 0) p->SetProgram(program);
        if (state == 1)
          for (int i = 0; i < p->NumParams(); ++i) p->SetParameter(i, values[static_cast<std::size_t>(i)]);
      });
      TDriver d(*p, kBlock);
      d.Run(frames, kBlock, NotePattern(frames, 3));
      // Let every note ring out for a moment without new ones.
      d.Run(kBlock * 8, kBlock, {});
      ++renders;
      if (faults.empty() && !d.Faults().empty())
        faults = "program " + std::to_string(program) + (state ? " with random settings" : "") + ": " + d.Faults();
      if (d.Peak > loudest) {
        loudest = d.Peak;
        where = "program " + std::to_string(program) + (state ? " with random settings" : "");
      }
    }
  }
  const std::string detail = std::to_string(renders) + " renders of " + std::to_string(programs) +
                             " programs as stored and with random settings; loudest " + Dbfs(loudest) +
                             (where.empty() ? std::string() : " (" + where + ")") + ", at most +24 dBFS allowed";
  if (!faults.empty()) return Fail(faults + "; " + detail);
  if (loudest > kLevelLimit) return Fail("the output reached " + Dbfs(loudest) + ", above +24 dBFS; " + detail);
  return Pass(detail);
}

// Sanitizers slow every call many times over: there a process call's time
// says nothing about the instrument.
#if defined(RUMBLEON_SANITIZED)
constexpr bool kTimingJudged = false;
#else
constexpr bool kTimingJudged = true;
#endif

// The audio thread's processor time for a process call may grow while other
// threads change the state by this factor and margin over its steady worst:
// a swap, not the change itself.
constexpr double kCpuFactor = 2.0;
constexpr double kCpuMargin = 0.0001;

TPhaseRounds MeasureUntilWithin(double allowed, bool judged, const std::function<double()>& measure) {
  TPhaseRounds phase;
  do {
    ++phase.Rounds;
    const double worst = measure();
    phase.Within = !judged || worst <= allowed;
  } while (!phase.Within && phase.Rounds < kCpuRounds);
  return phase;
}

// Judged on what the plug-in controls: the audio thread's processor time
// per call (its own clock, which a busy machine does not inflate), its
// heap use and its waits for locks. Wall times are reported only: on a
// shared machine they are the scheduler's.
TCheckResult CheckRealtime(TCheckContext& ctx) {
  auto p = ctx.Open(kRate, kBlock);
  const bool counting = AllocationCountingAvailable();
  const bool locks = LockMonitoringAvailable();
  const bool chunks = p->HasFlag(kVstFlagProgramChunks);
  std::vector<std::vector<std::uint8_t>> states;
  if (chunks) {
    // The bank as it is, and as it is on another program with other values.
    states.push_back(p->GetChunk(false));
    auto other = ctx.Open();
    if (other->NumPrograms() > 1) other->SetProgram(other->NumPrograms() - 1);
    for (int i = 0; i < other->NumParams(); i += 3) other->SetParameter(i, ctx.Uniform());
    states.push_back(other->GetChunk(false));
  }
  p->SetProgram(ChosenProgram(*p));
  TDriver d(*p, kBlock);
  d.Measure = true;
  d.Paced = true;
  d.ReserveMeasures(4096);
  ResetLockWaits();
  // From the very first process call after resume.
  p->Resume();
  const std::int64_t length = static_cast<std::int64_t>(kRate * 2);

  // The steady figure: the same notes with nothing else going on, after a
  // few blocks that take up the program set before resume.
  const std::int64_t steadyLength = length / 2;
  d.Run(kBlock * 8, kBlock, {});
  d.ClearMeasures();
  d.Run(steadyLength, kBlock, NotePattern(steadyLength, 8));
  const double steadyCpu = d.WorstCpuSeconds(), steadyCpuMedian = d.MedianCpuSeconds();
  const TLockWaits steadyWaits = AudioThreadLockWaits();
  const std::uint64_t steadyAllocs = d.Allocations, steadyFrees = d.Frees;
  const std::int64_t steadySilent = d.SilentCalls;

  // Another thread changes programs, chunks and parameters meanwhile, in
  // rounds until one stays within the limit (MeasureUntilWithin).
  // Allocations and lock waits count in every round.
  const double allowed = kCpuFactor * steadyCpu + kCpuMargin;
  std::atomic<int> programChanges{0}, chunkLoads{0}, hostChanges{0};
  std::size_t hostBlocks = 0;
  double hostWorst = 0, hostMedian = 0, hostCpu = 0, hostCpuMedian = 0;
  TLockWaits hostWaits;
  std::int64_t hostSilent = 0;
  std::uint64_t hostAllocs = steadyAllocs, hostFrees = steadyFrees;
  const TPhaseRounds phase = MeasureUntilWithin(allowed, kTimingJudged, [&] {
    ResetLockWaits();
    d.ClearMeasures();
    d.Allocations = d.Frees = 0;
    programChanges = chunkLoads = hostChanges = 0;
    std::atomic<bool> done{false};
    const std::uint32_t seed = ctx.Rng()();
    std::thread host([&] {
      std::mt19937 rng(seed);
      auto below = [&](int k) { return k <= 0 ? 0 : std::uniform_int_distribution<int>(0, k - 1)(rng); };
      int sweep = 0;
      while (!done.load()) {
        switch (below(4)) {
          case 0:
            if (p->NumPrograms() > 1) {
              p->SetProgram(below(p->NumPrograms()));
              programChanges.fetch_add(1);
            }
            break;
          case 1:
            if (!states.empty()) {
              p->SetChunk(states[static_cast<std::size_t>(below(static_cast<int>(states.size())))], false);
              chunkLoads.fetch_add(1);
            }
            break;
          default:
            // Automation of every parameter in turn.
            for (int k = 0; k < 16 && p->NumParams() > 0; ++k) {
              p->SetParameter(sweep++ % p->NumParams(), std::uniform_real_distribution<float>(0, 1)(rng));
              hostChanges.fetch_add(1);
            }
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
    });
    d.Run(length, kBlock, NotePattern(length, 8));
    done = true;
    host.join();
    hostBlocks = d.Durations.size();
    hostWorst = d.WorstSeconds();
    hostMedian = d.MedianSeconds();
    hostCpu = d.WorstCpuSeconds();
    hostCpuMedian = d.MedianCpuSeconds();
    const TLockWaits waits = AudioThreadLockWaits();
    hostWaits.Count += waits.Count;
    hostWaits.TotalNs += waits.TotalNs;
    hostWaits.LongestNs = std::max(hostWaits.LongestNs, waits.LongestNs);
    hostSilent = d.SilentCalls;
    hostAllocs += d.Allocations;
    hostFrees += d.Frees;
    return hostCpu;
  });
  const int rounds = phase.Rounds;

  // Automation and controllers on the audio thread itself, before each block.
  ResetLockWaits();
  d.ClearMeasures();
  d.Allocations = d.Frees = 0;
  int sweep = 0, audioChanges = 0;
  std::vector<TTimedMidi> controllers;
  for (std::int64_t f = 0; f < length; f += kBlock * 4) {
    controllers.push_back(
        {f, {0xB0, static_cast<std::uint8_t>(ctx.Below(120)), static_cast<std::uint8_t>(ctx.Below(128))}});
    controllers.push_back({f + 1, {0xB0, 101, 0}});
    controllers.push_back({f + 2, {0xB0, 100, static_cast<std::uint8_t>(ctx.Below(128))}});
    controllers.push_back({f + 3, {0xB0, 6, static_cast<std::uint8_t>(ctx.Below(128))}});
    controllers.push_back({f + 4, {0xB0, 38, static_cast<std::uint8_t>(ctx.Below(128))}});
  }
  std::vector<TTimedMidi> events = NotePattern(length, 8);
  events.insert(events.end(), controllers.begin(), controllers.end());
  std::stable_sort(events.begin(), events.end(),
                   [](const TTimedMidi& a, const TTimedMidi& b) { return a.Frame < b.Frame; });
  std::vector<float> randoms(4096);
  for (float& r : randoms) r = ctx.Uniform();
  d.Run(length, kBlock, events, [&](std::int64_t) {
    for (int k = 0; k < 8 && p->NumParams() > 0; ++k, ++audioChanges)
      p->SetParameter(sweep++ % p->NumParams(), randoms[static_cast<std::size_t>(audioChanges) % randoms.size()]);
  });
  const TLockWaits audioWaits = AudioThreadLockWaits();
  const double audioWorst = d.WorstSeconds(), audioMedian = d.MedianSeconds();
  const double audioCpu = d.WorstCpuSeconds();

  std::string problems;
  if (counting && (hostAllocs || hostFrees))
    problems += std::to_string(hostAllocs) + " allocations and " + std::to_string(hostFrees) +
                " frees on the audio thread while another thread changed programs, chunks and parameters; ";
  if (counting && (d.Allocations || d.Frees))
    problems += std::to_string(d.Allocations) + " allocations and " + std::to_string(d.Frees) +
                " frees on the audio thread with automation and controllers there; ";
  // The audio thread never waits for a lock: a host thread that holds one
  // can be preempted for milliseconds.
  const std::uint64_t waits = steadyWaits.Count + hostWaits.Count + audioWaits.Count;
  const std::uint64_t longest = std::max({steadyWaits.LongestNs, hostWaits.LongestNs, audioWaits.LongestNs});
  if (locks && waits > 0)
    problems += "the audio thread waited " + std::to_string(waits) + " times for a lock (longest " +
                Seconds(static_cast<double>(longest) * 1e-9) + "); ";
  if (!phase.Within)
    problems += "while another thread changed programs and chunks a process call cost the audio thread " +
                Seconds(hostCpu) + " of processor time, more than " + Num(kCpuFactor, 0) + " x its steady worst " +
                Seconds(steadyCpu) + " + " + Seconds(kCpuMargin) + " (in each of " + std::to_string(rounds) +
                " rounds); ";
  if (!d.Faults().empty()) problems += d.Faults() + "; ";
  std::string detail = "audio thread processor time per call: steady median " + Seconds(steadyCpuMedian) + ", worst " +
                       Seconds(steadyCpu) + "; " + std::to_string(hostBlocks) + " blocks of " + std::to_string(kBlock) +
                       " frames with " + std::to_string(programChanges.load()) + " program changes, " +
                       std::to_string(chunkLoads.load()) + " chunk loads and " + std::to_string(hostChanges.load()) +
                       " parameter changes from another thread: median " + Seconds(hostCpuMedian) + ", worst " +
                       Seconds(hostCpu) + " (wall median " + Seconds(hostMedian) + ", worst " + Seconds(hostWorst) +
                       ")";
  if (locks) detail += ", " + std::to_string(hostWaits.Count) + " lock waits";
  detail += "; " + std::to_string(audioChanges) + " changes on the audio thread: worst " + Seconds(audioCpu) +
            " (wall median " + Seconds(audioMedian) + ", worst " + Seconds(audioWorst) + ")";
  if (locks) detail += ", " + std::to_string(audioWaits.Count) + " lock waits";
  // Reported, not judged: a program hands over in silence by design.
  detail += "; silent calls between calls with sound: steady " + std::to_string(steadySilent) +
            ", with changes from another thread " + std::to_string(hostSilent) + ", with changes on the audio thread " +
            std::to_string(d.SilentCalls);
  if (rounds > 1) detail += "; the changing phase was measured " + std::to_string(rounds) + " times, the last shown";
  if (!counting) detail += "; allocation counting is off in this build";
  if (!locks) detail += "; lock waits are not seen in this build";
  if (!kTimingJudged) detail += "; times are not judged in an instrumented build";
  if (!problems.empty()) return Fail(problems + detail);
  return Pass(detail);
}

TCheckResult CheckChunkThreads(TCheckContext& ctx) {
  auto p = ctx.Open();
  if (!p->HasFlag(kVstFlagProgramChunks)) return Skip("the plug-in keeps no chunks");
  const std::vector<std::uint8_t> reference = p->GetChunk(false);
  if (reference.empty()) return Fail("getChunk answered no data");
  if (p->GetChunk(false) != reference) return Skip("two getChunk calls in a row give different bytes");
  // Two threads that ask for the chunk (one also sets it again) at the
  // same time; every copy a host takes must be the state.
  std::atomic<int> inside{0}, overlaps{0}, calls{0}, wrong{0}, ready{0};
  std::atomic<bool> stop{false};
  const auto deadline = TClock::now() + std::chrono::seconds(15);
  auto worker = [&](bool alsoSet) {
    int n = 0;
    // Both start together.
    ready.fetch_add(1);
    while (ready.load() < 2) std::this_thread::yield();
    while (!stop.load()) {
      if (inside.fetch_add(1) > 0) overlaps.fetch_add(1);
      if (alsoSet && n % 2 == 1) {
        p->SetChunk(reference, false);
      } else {
        void* data = nullptr;
        const std::intptr_t size = p->Dispatch(kEffGetChunk, 0, 0, &data);
        // What a host does with the answer: copy it, after some work of its
        // own (20 microseconds here).
        for (const auto until = TClock::now() + std::chrono::microseconds(20); TClock::now() < until;) {
        }
        std::vector<std::uint8_t> copy;
        if (size > 0 && data)
          copy.assign(static_cast<const std::uint8_t*>(data), static_cast<const std::uint8_t*>(data) + size);
        if (copy != reference) wrong.fetch_add(1);
      }
      inside.fetch_sub(1);
      ++n;
      calls.fetch_add(1);
      if ((overlaps.load() >= 4000 && calls.load() >= 4000) || calls.load() >= 400000 || TClock::now() > deadline)
        stop = true;
    }
  };
  SetFreePoisoning(true);
  std::thread first(worker, false), second(worker, true);
  first.join();
  second.join();
  SetFreePoisoning(false);
  const std::string detail = std::to_string(calls.load()) + " getChunk/setChunk calls on two threads, " +
                             std::to_string(overlaps.load()) + " of them overlapping another";
  if (wrong.load() > 0)
    return Fail(std::to_string(wrong.load()) +
                " getChunk answers were not the state (a buffer replaced or freed by "
                "the other thread); " +
                detail);
  return Pass(detail);
}

TCheckResult CheckInstances(TCheckContext& ctx) {
  const int count = static_cast<int>(std::clamp<unsigned>(std::thread::hardware_concurrency(), 2, 8));
  const std::int64_t frames = static_cast<std::int64_t>(kRate);
  // Each instance alone first: the reference of its program.
  std::vector<std::vector<float>> alone(static_cast<std::size_t>(count)), together(static_cast<std::size_t>(count));
  auto programOf = [&](TVstPlugin& p, int i) { return p.NumPrograms() > 0 ? (i * 7) % p.NumPrograms() : 0; };
  double aloneSeconds = 0;
  for (int i = 0; i < count; ++i) {
    auto p = ctx.Open();
    if (p->NumPrograms() > 0) p->SetProgram(programOf(*p, i));
    p->Resume();
    const auto start = TClock::now();
    alone[static_cast<std::size_t>(i)] = RenderPhrase(*p, frames);
    aloneSeconds += std::chrono::duration<double>(TClock::now() - start).count();
  }
  // All at once, one thread each.
  std::vector<std::unique_ptr<TVstPlugin>> plugins;
  for (int i = 0; i < count; ++i) {
    plugins.push_back(ctx.Open());
    if (plugins.back()->NumPrograms() > 0) plugins.back()->SetProgram(programOf(*plugins.back(), i));
    plugins.back()->Resume();
  }
  std::vector<std::thread> threads;
  std::vector<std::string> faults(static_cast<std::size_t>(count));
  const auto start = TClock::now();
  for (int i = 0; i < count; ++i)
    threads.emplace_back([&, i] {
      together[static_cast<std::size_t>(i)] =
          RenderPhrase(*plugins[static_cast<std::size_t>(i)], frames, &faults[static_cast<std::size_t>(i)]);
    });
  for (auto& t : threads) t.join();
  const double togetherSeconds = std::chrono::duration<double>(TClock::now() - start).count();
  std::string problems;
  for (int i = 0; i < count; ++i) {
    const std::string sound = CompareSound(alone[static_cast<std::size_t>(i)], together[static_cast<std::size_t>(i)]);
    if (!faults[static_cast<std::size_t>(i)].empty())
      problems += "instance " + std::to_string(i) + ": " + faults[static_cast<std::size_t>(i)] + "; ";
    if (!sound.empty()) problems += "instance " + std::to_string(i) + " beside the others: " + sound + "; ";
  }
  plugins.clear();

  // One instance loads states while another renders: the renderer must not
  // wait for it.
  TLockWaits waits;
  std::int64_t loads = 0;
  {
    auto busy = ctx.Open();
    auto renderer = ctx.Open(kRate, kBlock);
    if (busy->HasFlag(kVstFlagProgramChunks)) {
      const std::vector<std::uint8_t> state = busy->GetChunk(false);
      busy->Resume();
      renderer->Resume();
      std::atomic<bool> done{false};
      std::thread loader([&] {
        while (!done.load()) {
          busy->SetChunk(state, false);
          if (busy->NumPrograms() > 1) busy->SetProgram(static_cast<int>(loads % busy->NumPrograms()));
          ++loads;
        }
      });
      ResetLockWaits();
      TDriver d(*renderer, kBlock);
      d.Measure = true;
      d.Paced = true;
      d.Run(frames, kBlock, NotePattern(frames, 4));
      waits = AudioThreadLockWaits();
      done = true;
      loader.join();
    }
  }
  // Instances share no lock the audio thread takes: any wait there is one
  // (how long it lasts is the scheduler's business on a busy machine).
  if (LockMonitoringAvailable() && waits.Count > 0)
    problems += "while another instance loaded states, the audio thread waited " + std::to_string(waits.Count) +
                " times for a lock (longest " + Num(waits.LongestNs * 1e-6, 2) + " ms); ";
  const double speedup = togetherSeconds > 0 ? aloneSeconds / togetherSeconds : 0;
  const std::string detail = std::to_string(count) + " instances on " + std::to_string(count) +
                             " threads sound as they do alone; together they render " + Num(speedup, 2) +
                             " times as fast as one after another; " + std::to_string(loads) +
                             " state loads in one instance beside another's rendering" +
                             (LockMonitoringAvailable() ? ", " + std::to_string(waits.Count) + " lock waits there"
                                                        : "; lock counting is off in this build");
  if (!problems.empty()) return Fail(problems + detail);
  return Pass(detail);
}

TCheckResult CheckReload(TCheckContext& ctx) {
  const std::string path = ctx.ModulePath();
  const std::string where = path.find('/') == std::string::npos ? "./" + path : path;
  constexpr int kCycles = 12;
  std::int64_t heapAfterWarmUp = 0;
  int stayed = 0;
  for (int cycle = 0; cycle < kCycles; ++cycle) {
    TVstModule module;
    std::string error;
    if (!module.Load(path, error)) return Fail("cycle " + std::to_string(cycle) + ": " + error);
    {
      std::string openError;
      auto p = TVstPlugin::Open(module, openError, kRate, kBlock);
      if (!p) return Fail("cycle " + std::to_string(cycle) + ": " + openError);
      p->SetSampleRate(kRate);
      p->SetBlockSize(kBlock);
      p->Resume();
      TDriver d(*p, kBlock);
      d.Run(kBlock * 4, kBlock, {NoteOn(0, 48), NoteOff(kBlock * 2, 48)});
    }
    module.Unload();
    if (void* still = dlopen(where.c_str(), RTLD_NOW | RTLD_NOLOAD)) {
      ++stayed;
      dlclose(still);
    }
    // The first loads may fill caches of the C and C++ runtimes.
    if (cycle == 1) heapAfterWarmUp = HeapBytesInUse();
  }
  std::string detail = std::to_string(kCycles) + " loads, instances and unloads";
  if (stayed > 0) detail += " (the module stayed loaded after " + std::to_string(stayed) + " of them)";
  if (!AllocationCountingAvailable()) return Pass(detail + "; heap counting is off in this build");
  const double perCycle = static_cast<double>(HeapBytesInUse() - heapAfterWarmUp) / (kCycles - 2);
  detail += "; heap " + std::string(perCycle >= 0 ? "+" : "") + Num(perCycle / 1024.0, 1) +
            " KB per cycle after the first two";
  if (perCycle > 8 * 1024)
    return Fail("each load and unload leaves about " + Num(perCycle / 1024.0, 0) + " KB on the heap; " + detail);
  return Pass(detail);
}

}  // namespace check_support
