#include "tools/host/checks.h"

#include <dlfcn.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <clocale>
#include <cmath>
#include <cstring>
#include <functional>
#include <limits>
#include <ostream>
#include <random>
#include <thread>

#include "framework/base/thread_time.h"
#include "tools/host/alloc_counter.h"
#include "tools/host/check_support.h"
#include "tools/host/editor_checks.h"
#include "tools/host/vst_host.h"

namespace check_support {

TDriver::TDriver(TVstPlugin& plugin, int maxBlock)
    : Plugin(plugin),
      Buffers(static_cast<std::size_t>(std::max(plugin.NumOutputs(), 1)),
              std::vector<float>(static_cast<std::size_t>(std::max(maxBlock, 1)))),
      List(256) {
  for (auto& b : Buffers) Pointers.push_back(b.data());
  Plugin.PrepareBuffers(maxBlock);
}

void TDriver::Run(std::int64_t frames, int block, const std::vector<TTimedMidi>& events,
                  const std::function<void(std::int64_t)>& before) {
  std::size_t next = 0;
  for (std::int64_t start = 0; start < frames; start += block) {
    const int n = static_cast<int>(std::min<std::int64_t>(block, frames - start));
    List.Clear();
    while (next < events.size() && events[next].Frame < start + n) {
      List.Add(static_cast<int>(std::max<std::int64_t>(events[next].Frame - start, 0)), events[next].Bytes, 3);
      ++next;
    }
    if (before) {
      if (Measure) {
        const std::uint64_t allocs = AudioThreadAllocationCount(), frees = AudioThreadFreeCount();
        {
          TAudioThreadScope audio;
          before(start);
        }
        Allocations += AudioThreadAllocationCount() - allocs;
        Frees += AudioThreadFreeCount() - frees;
      } else {
        before(start);
      }
    }
    Block(n);
  }
}

void TDriver::Block(int frames) {
  TVstTransport t;
  t.SamplePos = static_cast<double>(Position);
  t.PpqPos = static_cast<double>(Position) / Plugin.SampleRate() * 2.0;  // 120 BPM
  t.BarStartPos = std::floor(t.PpqPos / 4.0) * 4.0;
  t.Playing = true;
  t.Changed = Position == 0;
  Plugin.SetTransport(t);
  if (Measure) {
    const std::uint64_t allocs = AudioThreadAllocationCount(), frees = AudioThreadFreeCount();
    const auto start = TClock::now();
    const double cpuStart = ThreadCpuSeconds();
    {
      TAudioThreadScope audio;
      Plugin.ProcessBlock(List.Events(), Pointers.data(), frames);
    }
    const double cpuEnd = ThreadCpuSeconds();
    const auto end = TClock::now();
    Allocations += AudioThreadAllocationCount() - allocs;
    Frees += AudioThreadFreeCount() - frees;
    if (Durations.size() < Durations.capacity()) {
      Durations.push_back(std::chrono::duration<double>(end - start).count());
      if (CpuDurations.size() < CpuDurations.capacity()) CpuDurations.push_back(cpuEnd - cpuStart);
    }
  } else {
    Plugin.ProcessBlock(List.Events(), Pointers.data(), frames);
  }
  List.Clear();
  Inspect(frames);
  Position += frames;
  ++Blocks;
  if (Paced) {
    if (PaceFrames == 0) PaceStart = TClock::now();
    PaceFrames += frames;
    std::this_thread::sleep_until(
        PaceStart + std::chrono::duration_cast<TClock::duration>(
                        std::chrono::duration<double>(static_cast<double>(PaceFrames) / Plugin.SampleRate())));
  }
}

void TDriver::Inspect(int frames) {
  bool sound = false;
  for (int c = 0; c < Plugin.NumOutputs(); ++c) {
    const float* x = Pointers[static_cast<std::size_t>(c)];
    for (int i = 0; i < frames; ++i) {
      const float v = x[i];
      sound |= v != 0;
      if (!std::isfinite(v)) {
        if (NonFinite++ == 0)
          FirstBad = "channel " + std::to_string(c) + " frame " + std::to_string(Position + i) + ": " + Num(v);
      } else if (v != 0 && std::fpclassify(v) == FP_SUBNORMAL) {
        if (Denormals++ == 0)
          FirstBad = "denormal on channel " + std::to_string(c) + " frame " + std::to_string(Position + i);
      } else {
        Peak = std::max(Peak, std::fabs(v));
        SumSquares += static_cast<double>(v) * v;
        ++Samples;
      }
    }
  }
  // Silence counts once sound follows it again: a note's end is no gap.
  if (sound) {
    SilentCalls += SilentSince;
    SilentSince = 0;
    Sounded = true;
  } else if (Sounded && frames > 0) {
    ++SilentSince;
  }
  if (Record != nullptr && !Pointers.empty()) {
    const float* x = Pointers[0];
    for (int i = 0; i < frames && Record->size() < Record->capacity(); ++i) Record->push_back(x[i]);
  }
}

std::string TDriver::Faults() const {
  if (NonFinite == 0 && Denormals == 0) return {};
  return std::to_string(NonFinite) + " NaN/infinite and " + std::to_string(Denormals) +
         " denormal samples (first: " + FirstBad + ")";
}

double MedianOf(std::vector<double> values) {
  if (values.empty()) return 0;
  std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(values.size() / 2), values.end());
  return values[values.size() / 2];
}

double WorstOf(const std::vector<double>& values) {
  return values.empty() ? 0 : *std::max_element(values.begin(), values.end());
}

double TDriver::MedianSeconds() const { return MedianOf(Durations); }

double TDriver::WorstSeconds() const { return WorstOf(Durations); }

double TDriver::MedianCpuSeconds() const { return MedianOf(CpuDurations); }

double TDriver::WorstCpuSeconds() const { return WorstOf(CpuDurations); }

// A chord and a line over length frames, every note released before the end.
std::vector<TTimedMidi> NotePattern(std::int64_t length, int keys) {
  std::vector<TTimedMidi> events;
  const int base[] = {36, 43, 48, 55, 60, 67, 72, 79, 84, 91, 96, 103, 108, 40, 45, 50};
  for (int k = 0; k < keys; ++k) {
    const std::int64_t on = length * k / (keys * 2);
    const std::int64_t off = length / 2 + length * k / (keys * 3);
    events.push_back(NoteOn(on, base[k % 16], 60 + (k * 17) % 68));
    events.push_back(NoteOff(off, base[k % 16]));
  }
  std::stable_sort(events.begin(), events.end(),
                   [](const TTimedMidi& a, const TTimedMidi& b) { return a.Frame < b.Frame; });
  return events;
}

std::vector<float> Snapshot(const TVstPlugin& p) {
  std::vector<float> v(static_cast<std::size_t>(std::max(p.NumParams(), 0)));
  for (int i = 0; i < p.NumParams(); ++i) v[static_cast<std::size_t>(i)] = p.GetParameter(i);
  return v;
}

std::string CompareParams(const TVstPlugin& p, const std::vector<float>& expected, const std::vector<float>& actual) {
  std::string text;
  int differing = 0;
  for (std::size_t i = 0; i < expected.size() && i < actual.size(); ++i) {
    const bool same = expected[i] == actual[i] || (std::isnan(expected[i]) && std::isnan(actual[i])) ||
                      std::fabs(expected[i] - actual[i]) <= 1e-6f;
    if (same) continue;
    if (differing < 3)
      text += (text.empty() ? "" : "; ") + std::string("parameter ") + std::to_string(i) + " " +
              Quote(p.ParamName(static_cast<int>(i))) + " is " + Num(actual[i], 6) + ", expected " +
              Num(expected[i], 6);
    ++differing;
  }
  if (differing > 3) text += "; " + std::to_string(differing - 3) + " more";
  return text;
}

double RmsDb(const std::vector<float>& x) {
  double sum = 0;
  for (float v : x) sum += static_cast<double>(v) * v;
  const double rms = x.empty() ? 0 : std::sqrt(sum / static_cast<double>(x.size()));
  return rms > 0 ? 20.0 * std::log10(rms) : -200.0;
}

}  // namespace check_support

namespace {

using namespace check_support;

// ---- the checks --------------------------------------------------------

TCheckResult CheckRecord(TCheckContext& ctx) {
  auto p = ctx.Open();
  const TVstEffect* e = p->Effect();
  std::string faults;
  if (e->numOutputs < 1) faults += "no outputs; ";
  if (e->numInputs < 0 || e->numParams < 0 || e->numPrograms < 0) faults += "negative counts; ";
  if (!e->processReplacing && !e->process) faults += "no process entry; ";
  if ((e->flags & kVstFlagCanReplacing) && !e->processReplacing) faults += "replacing flag without processReplacing; ";
  if ((e->flags & kVstFlagCanDoubleReplacing) && !e->processDoubleReplacing)
    faults += "double flag without its entry; ";
  char flags[16];
  std::snprintf(flags, sizeof flags, "0x%X", static_cast<unsigned>(e->flags));
  const std::string detail = "ID " + Quote(FourCharText(e->uniqueID)) + ", version " + std::to_string(e->version) +
                             ", " + std::to_string(e->numInputs) + " in / " + std::to_string(e->numOutputs) + " out, " +
                             std::to_string(e->numPrograms) + " programs, " + std::to_string(e->numParams) +
                             " parameters, flags " + flags;
  if (!faults.empty()) return Fail(faults + detail);
  return Pass(detail);
}

TCheckResult CheckInformation(TCheckContext& ctx) {
  auto p = ctx.Open();
  std::string faults;
  auto text = [&](std::int32_t opcode, const char* what, std::int32_t index = 0) {
    bool overrun = false;
    std::string s = p->Text(opcode, index, &overrun);
    if (overrun) faults += std::string(what) + " is not terminated within 256 bytes; ";
    return s;
  };
  const std::string name = text(kEffGetEffectName, "the effect name");
  const std::string vendor = text(kEffGetVendorString, "the vendor string");
  const std::string product = text(kEffGetProductString, "the product string");
  const auto vstVersion = p->Dispatch(kEffGetVstVersion);
  const auto category = p->Dispatch(kEffGetPlugCategory);
  for (int i = 0; i < p->NumOutputs() && i < 64; ++i) {
    TVstPinProperties pin;
    std::memset(&pin, 0, sizeof pin);
    if (p->Dispatch(kEffGetOutputProperties, i, 0, &pin) && !std::memchr(pin.label, 0, sizeof pin.label))
      faults += "output " + std::to_string(i) + "'s label is not terminated; ";
  }
  if (p->HasFlag(kVstFlagIsSynth)) {
    auto canDo = [&](const char* what) {
      char buffer[64] = {};
      std::strncpy(buffer, what, sizeof buffer - 1);
      return p->Dispatch(kEffCanDo, 0, 0, buffer);
    };
    if (canDo("receiveVstMidiEvent") != 1 && canDo("receiveVstEvents") != 1)
      faults += "an instrument that answers neither receiveVstMidiEvent nor receiveVstEvents; ";
  }
  const std::string detail = Quote(name) + " by " + Quote(vendor) + ", product " + Quote(product) + ", VST " +
                             std::to_string(vstVersion) + ", category " + std::to_string(category);
  if (!faults.empty()) return Fail(faults + detail);
  return Pass(detail);
}

TCheckResult CheckParameters(TCheckContext& ctx) {
  auto p = ctx.Open();
  if (p->NumParams() == 0) return Skip("the plug-in has no parameters");
  std::string faults;
  int unnamed = 0, bad = 0;
  for (int i = 0; i < p->NumParams(); ++i) {
    bool o1 = false, o2 = false, o3 = false;
    const std::string name = p->Text(kEffGetParamName, i, &o1);
    p->Text(kEffGetParamLabel, i, &o2);
    p->Text(kEffGetParamDisplay, i, &o3);
    if ((o1 || o2 || o3) && bad++ < 3) faults += "parameter " + std::to_string(i) + "'s texts are not terminated; ";
    if (name.empty()) ++unnamed;
    const float v = p->GetParameter(i);
    if (!(v >= 0.0f && v <= 1.0f) && bad++ < 3)
      faults += "parameter " + std::to_string(i) + " " + Quote(name) + " reads " + Num(v, 6) + ", outside 0..1; ";
  }
  const std::string detail = std::to_string(p->NumParams()) + " parameters" +
                             (unnamed ? ", " + std::to_string(unnamed) + " without a name" : std::string());
  if (!faults.empty()) return Fail(faults + detail);
  return Pass(detail);
}

TCheckResult CheckPrograms(TCheckContext& ctx) {
  auto p = ctx.Open();
  const int count = p->NumPrograms();
  if (count < 1) return Skip("the plug-in has no programs");
  std::string faults;
  int unnamed = 0;
  for (int i = 0; i < count; ++i) {
    char buffer[256];
    std::memset(buffer, 0, sizeof buffer);
    if (p->Dispatch(kEffGetProgramNameIndexed, i, -1, buffer) && !std::memchr(buffer, 0, sizeof buffer))
      faults += "program " + std::to_string(i) + "'s name is not terminated; ";
    buffer[255] = 0;
    if (!buffer[0] && p->ProgramName(i).empty()) ++unnamed;
  }
  if (count == 1) return faults.empty() ? Pass("one program; nothing to switch") : Fail(faults);
  // The values to come back to are those of the original program as
  // selected (a plug-in's state before any selection need not be one).
  const int original = p->Program();
  p->SetProgram(original);
  const std::vector<float> before = Snapshot(*p);
  for (int n = 0; n < 64; ++n) {
    const int target = ctx.Below(count);
    p->SetProgram(target);
    if (p->Program() != target) {
      faults +=
          "after setProgram " + std::to_string(target) + " getProgram answers " + std::to_string(p->Program()) + "; ";
      break;
    }
  }
  p->SetProgram(original);
  if (p->Program() != original) faults += "could not return to program " + std::to_string(original) + "; ";
  const std::string changed = CompareParams(*p, before, Snapshot(*p));
  if (!changed.empty()) faults += "after switching back to program " + std::to_string(original) + ": " + changed + "; ";
  const std::string detail = std::to_string(count) + " programs" +
                             (unnamed ? ", " + std::to_string(unnamed) + " without a name" : std::string()) +
                             ", 64 random switches and back";
  if (!faults.empty()) return Fail(faults + detail);
  return Pass(detail);
}

TCheckResult CheckState(TCheckContext& ctx, bool preset) {
  auto p = ctx.Open();
  if (!p->HasFlag(kVstFlagProgramChunks)) return Skip("the plug-in keeps no chunks");
  const std::vector<std::uint8_t> chunk = p->GetChunk(preset);
  if (chunk.empty()) return Fail("getChunk answered no data");
  const std::vector<float> before = Snapshot(*p);
  for (int i = 0; i < p->NumParams(); ++i) p->SetParameter(i, ctx.Uniform());
  p->SetChunk(chunk, preset);
  std::string faults;
  const std::string changed = CompareParams(*p, before, Snapshot(*p));
  if (!changed.empty()) faults += "not restored by setChunk: " + changed + "; ";
  const std::vector<std::uint8_t> again = p->GetChunk(preset);
  if (again != chunk) {
    std::size_t at = 0;
    while (at < again.size() && at < chunk.size() && again[at] == chunk[at]) ++at;
    faults += "the chunk read back differs from the one set (" + std::to_string(chunk.size()) + " vs " +
              std::to_string(again.size()) + " bytes, first difference at byte " + std::to_string(at) + "); ";
  }
  const std::string detail = std::to_string(chunk.size()) + "-byte chunk, " + std::to_string(p->NumParams()) +
                             " parameters randomised and restored";
  if (!faults.empty()) return Fail(faults + detail);
  return Pass(detail);
}

TCheckResult CheckProcessing(TCheckContext& ctx) {
  const double rates[] = {22050, 44100, 48000, 96000, 192000};
  const int blocks[] = {1, 17, 64, 512, 4096, 8192};
  auto p = ctx.Open(44100, 8192);
  TDriver d(*p, 8192);
  p->Resume();
  int configurations = 0;
  for (double rate : rates) {
    for (int block : blocks) {
      p->Suspend();
      p->SetSampleRate(rate);
      p->SetBlockSize(block);
      p->Resume();
      const auto length = static_cast<std::int64_t>(rate * 0.25);
      d.Run(length / 2, block, {NoteOn(0, 48), NoteOn(length / 8, 55, 127), NoteOn(length / 4, 60, 1)});
      d.Block(0);  // a zero-length block
      p->Suspend();
      p->Resume();
      d.Block(0);
      d.Run(length - length / 2, block,
            {NoteOff(0, 48), NoteOff(length / 8, 55), NoteOn(length / 6, 67), NoteOff(length / 3, 60),
             NoteOff(length / 3, 67)});
      ++configurations;
      const std::string faults = d.Faults();
      if (!faults.empty())
        return Fail("at " + Num(rate / 1000, 2) + " kHz, block " + std::to_string(block) + ": " + faults);
    }
  }
  return Pass(std::to_string(configurations) +
              " rate/block configurations with suspend, resume and empty blocks, peak " + Num(d.Peak));
}

TCheckResult CheckAutomation(TCheckContext& ctx) {
  auto p = ctx.Open(44100, 32);
  if (p->NumParams() == 0) return Skip("the plug-in has no parameters");
  TDriver d(*p, 32);
  p->Resume();
  const std::int64_t length = 44100 * 2;
  int changes = 0;
  d.Run(length, 32, NotePattern(length, 6), [&](std::int64_t) {
    for (int k = 0; k < 4; ++k) {
      p->SetParameter(ctx.Below(p->NumParams()), ctx.Uniform());
      ++changes;
    }
  });
  const std::string faults = d.Faults();
  if (!faults.empty()) return Fail(faults);
  return Pass(std::to_string(changes) + " random changes every 32 frames over 2 s of notes, peak " + Num(d.Peak));
}

TCheckResult CheckParameterFuzz(TCheckContext& ctx) {
  auto p = ctx.Open(44100, 64);
  if (p->NumParams() == 0) return Skip("the plug-in has no parameters");
  const float extremes[] = {0.0f,
                            1.0f,
                            -1.0f,
                            2.0f,
                            -1e30f,
                            1e30f,
                            std::numeric_limits<float>::quiet_NaN(),
                            std::numeric_limits<float>::infinity(),
                            -std::numeric_limits<float>::infinity(),
                            1e-40f,
                            std::nextafter(1.0f, 0.0f),
                            0.5f};
  TDriver d(*p, 64);
  p->Resume();
  d.Run(64, 64, {NoteOn(0, 45), NoteOn(0, 57)});
  std::string faults;
  int bad = 0, outOfRange = 0;
  for (int i = 0; i < p->NumParams(); ++i) {
    const float original = p->GetParameter(i);
    for (float v : extremes) {
      p->SetParameter(i, v);
      const float got = p->GetParameter(i);
      if (!std::isfinite(got)) {
        if (bad++ < 3)
          faults += "parameter " + std::to_string(i) + " " + Quote(p->ParamName(i)) + " reads " + Num(got) +
                    " after being set to " + Num(v) + "; ";
      } else if (got < 0.0f || got > 1.0f) {
        ++outOfRange;
      }
      bool overrun = false;
      p->Text(kEffGetParamDisplay, i, &overrun);
      if (overrun && bad++ < 3)
        faults += "parameter " + std::to_string(i) + "'s display text overruns at " + Num(v) + "; ";
    }
    d.Block(64);
    p->SetParameter(i, original);
    const std::string audio = d.Faults();
    if (!audio.empty())
      return Fail(faults + "after fuzzing parameter " + std::to_string(i) + " " + Quote(p->ParamName(i)) + ": " +
                  audio);
  }
  const std::string detail = std::to_string(p->NumParams()) + " parameters x " + std::to_string(std::size(extremes)) +
                             " extreme values" +
                             (outOfRange ? ", " + std::to_string(outOfRange) + " stored outside 0..1" : std::string());
  if (!faults.empty()) return Fail(faults + detail);
  return Pass(detail);
}

TCheckResult CheckIndexes(TCheckContext& ctx) {
  auto p = ctx.Open();
  const int n = p->NumParams();
  // Hosts pass out-of-range indexes straight through (one real Linux host
  // does so for parameters); none of these may crash or write past the text.
  std::string faults;
  for (int index : {n, n + 1, n + 1000, -1}) {
    p->SetParameter(index, 0.5f);
    (void)p->GetParameter(index);
    for (std::int32_t opcode : {kEffGetParamName, kEffGetParamLabel, kEffGetParamDisplay}) {
      bool overrun = false;
      p->Text(opcode, index, &overrun);
      if (overrun)
        faults += "text opcode " + std::to_string(opcode) + " for index " + std::to_string(index) + " overruns; ";
    }
  }
  const int current = p->Program();
  for (int program : {p->NumPrograms(), p->NumPrograms() + 7, -1}) {
    p->SetProgram(program);
    if (p->Program() != current)
      faults += "setProgram " + std::to_string(program) + " (out of range) changed the program to " +
                std::to_string(p->Program()) + "; ";
    p->SetProgram(current);
    char buffer[256] = {};
    p->Dispatch(kEffGetProgramNameIndexed, program, -1, buffer);
    if (!std::memchr(buffer, 0, sizeof buffer)) faults += "program name " + std::to_string(program) + " overruns; ";
  }
  if (!faults.empty()) return Fail(faults);
  return Pass("parameters " + std::to_string(n) + ", " + std::to_string(n + 1) + ", " + std::to_string(n + 1000) +
              " and -1, programs past the end and -1");
}

TCheckResult CheckThreads(TCheckContext& ctx) {
  auto p = ctx.Open(44100, 256);
  TDriver d(*p, 256);
  p->Resume();
  std::vector<std::uint8_t> bank, program;
  if (p->HasFlag(kVstFlagProgramChunks)) {
    bank = p->GetChunk(false);
    program = p->GetChunk(true);
  }
  std::atomic<bool> done{false};
  std::atomic<int> calls{0};
  const std::uint32_t seed = ctx.Rng()();
  std::thread other([&] {
    std::mt19937 rng(seed);
    auto below = [&](int k) { return k <= 0 ? 0 : std::uniform_int_distribution<int>(0, k - 1)(rng); };
    while (!done.load()) {
      const int n = p->NumParams();
      switch (below(6)) {
        case 0:
          if (n > 0) p->SetParameter(below(n), std::uniform_real_distribution<float>(0, 1)(rng));
          break;
        case 1:
          if (n > 0) {
            (void)p->GetParameter(below(n));
            p->ParamDisplay(below(n));
          }
          break;
        case 2:
          if (!bank.empty()) (void)p->GetChunk(false);
          break;
        case 3:
          if (!bank.empty()) p->SetChunk(below(2) ? bank : program, false);
          break;
        case 4:
          if (!program.empty()) p->SetChunk(program, true);
          break;
        default:
          if (p->NumPrograms() > 1) {
            p->SetProgram(below(p->NumPrograms()));
            p->Text(kEffGetProgramName);
          }
          break;
      }
      calls.fetch_add(1);
    }
  });
  // At least three seconds of audio and enough host calls to overlap the
  // render thousands of times; a slow plug-in is given twenty seconds.
  constexpr int kMinimumCalls = 2000;
  const auto deadline = TClock::now() + std::chrono::seconds(20);
  const std::int64_t length = 44100 * 3;
  std::int64_t rendered = 0;
  std::thread audio([&] {
    do {
      d.Run(length, 256, NotePattern(length, 8));
      rendered += length;
    } while (calls.load() < kMinimumCalls && TClock::now() < deadline);
  });
  audio.join();
  done = true;
  other.join();
  const std::string faults = d.Faults();
  if (!faults.empty()) return Fail(faults);
  return Pass(std::to_string(calls.load()) + " parameter, program and chunk calls from a second thread during " +
              Num(static_cast<double>(rendered) / 44100.0, 0) + " s of audio");
}

// Display texts of every parameter at its current value and at 0.3.
std::vector<std::string> DisplayTexts(TCheckContext& ctx) {
  auto p = ctx.Open();
  std::vector<std::string> texts;
  for (int i = 0; i < p->NumParams(); ++i) {
    texts.push_back(p->ParamDisplay(i));
    const float v = p->GetParameter(i);
    p->SetParameter(i, 0.3f);
    texts.push_back(p->ParamDisplay(i));
    p->SetParameter(i, v);
  }
  return texts;
}

TCheckResult CheckLocale(TCheckContext& ctx) {
  const char* candidates[] = {"de_DE.UTF-8", "de_DE.utf8",  "fr_FR.UTF-8", "fr_FR.utf8",  "it_IT.UTF-8",
                              "es_ES.UTF-8", "nl_NL.UTF-8", "ru_RU.UTF-8", "pt_BR.UTF-8", "de_DE"};
  std::string chosen;
  for (const char* name : candidates) {
    if (std::setlocale(LC_ALL, name) && std::strcmp(std::localeconv()->decimal_point, ",") == 0) {
      chosen = name;
      break;
    }
  }
  if (chosen.empty()) {
    std::setlocale(LC_ALL, "C");
    return Skip("no locale with ',' as decimal separator is installed");
  }
  // Instances are created after the locale is set, as in a host that runs
  // in such a locale.
  const std::vector<std::string> comma = DisplayTexts(ctx);
  std::setlocale(LC_ALL, "C");
  const std::vector<std::string> plain = DisplayTexts(ctx);
  int differing = 0;
  std::string first;
  for (std::size_t i = 0; i < comma.size() && i < plain.size(); ++i) {
    if (comma[i] == plain[i]) continue;
    if (differing++ == 0)
      first = "parameter " + std::to_string(i / 2) + " shows " + Quote(comma[i]) + " instead of " + Quote(plain[i]);
  }
  if (differing) return Fail(std::to_string(differing) + " value texts change under " + chosen + " (" + first + ")");
  return Pass(std::to_string(comma.size()) + " value texts identical under " + chosen + " and C");
}

TCheckResult CheckAllocations(TCheckContext& ctx) {
  if (!AllocationCountingAvailable())
    return Skip("allocation counting is off (sanitizer build or valgrind owns the allocator)");
  auto p = ctx.Open(44100, 512);
  TDriver d(*p, 512);
  p->Resume();
  // The first blocks may allocate (lazy set-up); steady state may not.
  d.Run(512 * 4, 512, {NoteOn(0, 40), NoteOff(700, 40)});
  d.Measure = true;
  const std::int64_t length = 512 * 400;
  d.Run(length, 512, NotePattern(length, 12));
  const std::string faults = d.Faults();
  if (d.Allocations > 0 || d.Frees > 0)
    return Fail(std::to_string(d.Allocations) + " heap allocations on the audio thread (and " +
                std::to_string(d.Frees) + " frees) in 400 blocks after warm-up" +
                (faults.empty() ? std::string() : "; " + faults));
  if (!faults.empty()) return Fail(faults);
  return Pass("no heap allocation or free on the audio thread in 400 blocks of notes after 4 blocks of warm-up");
}

struct TCheckEntry {
  TCheckInfo Info;
  std::function<TCheckResult(TCheckContext&)> Run;
  // The check loads and unloads the module itself: it is not loaded for it.
  bool LoadsItself = false;
};

const std::vector<TCheckEntry>& Entries() {
  static const std::vector<TCheckEntry> entries = {
      {{"record", "the effect record: magic, entries, counts and flags"}, CheckRecord},
      {{"information", "names, vendor, version, category, output pins, canDo"}, CheckInformation},
      {{"parameters", "every parameter's name, label, display text and value"}, CheckParameters},
      {{"programs", "every program's name; random switching and back"}, CheckPrograms},
      {{"state-bank", "bank chunk round trip over randomised parameters"},
       [](TCheckContext& c) { return CheckState(c, false); }},
      {{"state-program", "program chunk round trip over randomised parameters"},
       [](TCheckContext& c) { return CheckState(c, true); }},
      {{"processing", "5 sample rates x 6 block sizes, notes, suspend/resume, empty blocks"}, CheckProcessing},
      {{"automation", "random parameter changes every 32 frames while notes play"}, CheckAutomation},
      {{"parameter-fuzz", "every parameter set to extreme values"}, CheckParameterFuzz},
      {{"indexes", "out-of-range parameter and program indexes"}, CheckIndexes},
      {{"threads", "parameter, program and chunk calls from a second thread during processing"}, CheckThreads},
      {{"locale", "value texts under a ',' decimal locale"}, CheckLocale},
      {{"allocations", "no heap allocation on the audio thread in steady state"}, CheckAllocations},
      {{"state-recall", "state into a fresh instance: program, parameters and sound; a muted state between"},
       CheckStateRecall},
      {{"state-corrupt", "damaged chunks leave the state and the sound as they were"}, CheckCorruptChunks},
      {{"midi-fuzz", "controllers, RPN/NRPN, program changes and junk bytes; then it still sounds"}, CheckMidiFuzz},
      {{"level", "output below +24 dBFS over random legal states of every program"}, CheckOutputLevel},
      {{"realtime",
        "no allocation, free or long lock wait on the audio thread while programs, chunks and "
        "automation arrive; worst process call"},
       CheckRealtime},
      {{"chunk-threads", "getChunk and setChunk from two threads at once, thousands of overlaps"}, CheckChunkThreads},
      {{"instances", "instances on parallel threads: same sound as alone, no waiting on each other"}, CheckInstances},
      {{"reload", "the module loaded and unloaded again and again: no crash, no heap left behind"}, CheckReload, true},
      {{"editor", "editor open and close: cold, warm, 10 in a row, while processing"}, CheckEditorSessions},
      {{"editor-mouse", "clicks and drags over the editor, closing during a drag"}, CheckEditorMouse},
      {{"editor-parent", "the host's window destroyed before the editor's close request"}, CheckEditorParentGone},
  };
  return entries;
}

TCheckResult RunOne(const TCheckEntry& entry, const TCheckOptions& options, std::uint32_t seed) {
  TVstModule module;
  std::string error;
  if (!entry.LoadsItself && !module.Load(options.ModulePath, error)) return Fail(error);
  TCheckContext ctx(module, seed, options.ModulePath);
  try {
    return entry.Run(ctx);
  } catch (const std::exception& e) {
    return Fail(std::string("the host could not go on: ") + e.what());
  }
}

// Runs a check in a child process and reads its result from a pipe.
TCheckResult RunForked(const TCheckEntry& entry, const TCheckOptions& options, std::uint32_t seed) {
  int fds[2];
  if (pipe(fds) != 0) return Fail("cannot create a pipe");
  std::fflush(nullptr);
  const pid_t child = fork();
  if (child < 0) {
    close(fds[0]);
    close(fds[1]);
    return Fail("cannot fork");
  }
  if (child == 0) {
    close(fds[0]);
    const TCheckResult r = RunOne(entry, options, seed);
    const std::string message = std::to_string(static_cast<int>(r.Status)) + r.Detail;
    std::size_t done = 0;
    while (done < message.size()) {
      const ssize_t n = write(fds[1], message.data() + done, message.size() - done);
      if (n <= 0) break;
      done += static_cast<std::size_t>(n);
    }
    close(fds[1]);
    std::fflush(nullptr);
    _exit(0);
  }
  close(fds[1]);
  std::string message;
  const auto deadline = TClock::now() + std::chrono::duration<double>(options.TimeoutSeconds);
  bool timedOut = false;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - TClock::now()).count();
    if (left <= 0) {
      timedOut = true;
      break;
    }
    pollfd pfd = {fds[0], POLLIN, 0};
    const int ready = poll(&pfd, 1, static_cast<int>(std::min<long long>(left, 1000)));
    if (ready < 0 && errno != EINTR) break;
    if (ready <= 0) continue;
    char buffer[4096];
    const ssize_t n = read(fds[0], buffer, sizeof buffer);
    if (n <= 0) break;
    message.append(buffer, static_cast<std::size_t>(n));
  }
  close(fds[0]);
  if (timedOut) kill(child, SIGKILL);
  int status = 0;
  waitpid(child, &status, 0);
  if (timedOut) return Fail("did not finish within " + Num(options.TimeoutSeconds, 0) + " s (hung or far too slow)");
  if (WIFSIGNALED(status))
    return Fail("the check process died: signal " + std::to_string(WTERMSIG(status)) + " (" +
                strsignal(WTERMSIG(status)) + ")");
  // Sanitizers report a fault and exit with status 1 instead.
  if (message.empty() || WEXITSTATUS(status) != 0)
    return Fail("the check process died: exit status " + std::to_string(WEXITSTATUS(status)) +
                " without a result (see the report above)");
  TCheckResult r;
  r.Status = static_cast<TCheckStatus>(message[0] - '0');
  r.Detail = message.substr(1);
  return r;
}

}  // namespace

const std::vector<TCheckInfo>& CheckList() {
  static const std::vector<TCheckInfo> list = [] {
    std::vector<TCheckInfo> v;
    for (const auto& e : Entries()) v.push_back(e.Info);
    return v;
  }();
  return list;
}

int RunChecks(const TCheckOptions& options, std::ostream& out) {
  for (const auto& name : options.Only) {
    const bool known =
        std::any_of(Entries().begin(), Entries().end(), [&](const TCheckEntry& e) { return name == e.Info.Name; });
    if (!known) {
      out << "unknown check '" << name << "'\n";
      return 2;
    }
  }
  {
    // Fail early, once, when the module cannot even be loaded.
    TVstModule module;
    std::string error;
    if (!module.Load(options.ModulePath, error)) {
      out << "FAIL load            " << error << "\n0 passed, 1 failed\n";
      return 1;
    }
    // Unloaded again: the checks start from a process without it.
    module.Unload();
  }
  out << "checking " << options.ModulePath << " (seed " << options.Seed << ")\n";
  int passed = 0, failed = 0, skipped = 0;
  std::uint32_t index = 0;
  for (const auto& entry : Entries()) {
    ++index;
    if (!options.Only.empty() &&
        std::find(options.Only.begin(), options.Only.end(), entry.Info.Name) == options.Only.end())
      continue;
    out.flush();
    const auto started = TClock::now();
    const std::uint32_t seed = options.Seed * 7919u + index;
    const TCheckResult r = options.Fork ? RunForked(entry, options, seed) : RunOne(entry, options, seed);
    const double seconds = std::chrono::duration<double>(TClock::now() - started).count();
    const char* word = r.Status == TCheckStatus::Pass ? "PASS" : r.Status == TCheckStatus::Fail ? "FAIL" : "SKIP";
    char name[32];
    std::snprintf(name, sizeof name, "%-15s", entry.Info.Name);
    out << word << " " << name << " " << r.Detail << " [" << Num(seconds, 1) << " s]\n";
    out.flush();
    if (r.Status == TCheckStatus::Pass) ++passed;
    else if (r.Status == TCheckStatus::Fail) ++failed;
    else ++skipped;
  }
  out << passed << " passed, " << failed << " failed";
  if (skipped) out << ", " << skipped << " skipped";
  out << "\n";
  return failed ? 1 : 0;
}
