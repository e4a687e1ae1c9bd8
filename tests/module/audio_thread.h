// A host's audio thread for the module's tests: process calls of a fixed
// length from a thread of its own, paced at real time or back to back, with
// MIDI at frames of the stream, recording what the module renders; and the
// instance such a host streams to.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "tests/module/module_render.h"
#include "tools/host/alloc_counter.h"

namespace module_render {

using TClock = std::chrono::steady_clock;

inline bool WaitFor(const std::function<bool()>& done, double seconds = 30) {
  const auto until = TClock::now() + std::chrono::duration<double>(seconds);
  while (!done() && TClock::now() < until) std::this_thread::sleep_for(std::chrono::microseconds(200));
  return done();
}

// MIDI bytes at a frame of the stream.
struct TTimedMidi {
  std::size_t Frame;
  std::uint8_t Bytes[3];
};

// A host's audio thread: process calls of `frames` frames with the MIDI
// given (by default a note held from the first call), paced at real time or
// back to back, recording what it renders.
class TAudioThread {
 public:
  TAudioThread(TVstPlugin& plugin, int frames, bool paced, std::vector<TTimedMidi> midi = {{0, {0x90, 40, 100}}})
      : Plugin(plugin), Frames(frames), Paced(paced), Midi(std::move(midi)), Events(Midi.size() + 8) {
    Buffers[0].resize(static_cast<std::size_t>(frames));
    Buffers[1].resize(static_cast<std::size_t>(frames));
  }
  ~TAudioThread() { Stop(); }

  // Records at most `seconds` of what it renders, and stops calling then.
  void Record(double seconds) {
    Out.Rate = Plugin.SampleRate();
    Out.Block = Frames;
    const auto n = static_cast<std::size_t>(seconds * Out.Rate);
    Out.Left.reserve(n);
    Out.Right.reserve(n);
    CallStarts.reserve(n / static_cast<std::size_t>(Frames) + 1);
  }
  void Start() {
    Stop();
    Quit = false;
    Thread = std::thread([this] { Loop(); });
  }
  // Joins the thread after the call it is in.
  void Stop() {
    Quit = true;
    if (Thread.joinable()) Thread.join();
  }
  // MIDI placed `frames` after the frame the next call starts at, given
  // before the thread starts.
  void AddAnchored(std::vector<TTimedMidi> midi) { Anchored = std::move(midi); }
  // Runs on the thread before each call, given the frame it starts at;
  // set before the thread starts.
  void BeforeCall(std::function<void(std::size_t)> hook) { Hook = std::move(hook); }
  // Places the anchored MIDI from the next call on.
  void Anchor() { AnchorFrame.store(Position.load()); }
  // Where the anchored MIDI was placed.
  std::size_t AnchoredAt() const { return AnchorFrame.load(); }
  // Waits until the recording is whole, then stops.
  bool Finish() {
    const bool whole = WaitFor([&] { return Position.load() >= Out.Left.capacity(); }, 60);
    Stop();
    return whole;
  }
  // Waits until `n` more calls have ended.
  bool AwaitCalls(int n) {
    const std::uint64_t target = Calls.load() + static_cast<std::uint64_t>(n);
    return WaitFor([&] { return Calls.load() >= target; });
  }
  // Waits until the calls have rendered `frame` frames.
  bool AwaitFrame(std::size_t frame) {
    return WaitFor([&] { return Position.load() >= frame; });
  }
  std::uint64_t CallCount() const { return Calls.load(); }
  // The frames the calls have rendered (where the next call starts).
  std::size_t Rendered() const { return Position.load(); }
  // What was recorded (once stopped).
  const TStereo& Output() const { return Out; }
  // The longest time between the starts of two calls in a row among the
  // recorded calls that start from..to frames, in seconds (once stopped).
  // A real host's thread that late has dropped out, and the instrument may
  // take it for one that stopped calling.
  double LongestGap(std::size_t from, std::size_t to) const {
    double longest = 0;
    const auto frames = static_cast<std::size_t>(Frames);
    for (std::size_t k = from / frames + 1; k < CallStarts.size() && k * frames <= to; ++k)
      longest = std::max(longest, CallStarts[k] - CallStarts[k - 1]);
    return longest;
  }

 private:
  void Loop() {
    // Its allocations and lock waits are counted (alloc_counter.h, lock_monitor.h).
    TAudioThreadScope flagged;
    float* outputs[2] = {Buffers[0].data(), Buffers[1].data()};
    const auto period = std::chrono::duration<double>(Frames / Plugin.SampleRate());
    auto next = TClock::now();
    while (!Quit) {
      const std::size_t start = Position.load();
      if (Out.Left.capacity() != 0 && start >= Out.Left.capacity()) break;
      if (Hook) Hook(start);
      if (CallStarts.size() < CallStarts.capacity())
        CallStarts.push_back(std::chrono::duration<double>(TClock::now().time_since_epoch()).count());
      Events.Clear();
      while (NextMidi < Midi.size() && Midi[NextMidi].Frame < start + static_cast<std::size_t>(Frames)) {
        const TTimedMidi& m = Midi[NextMidi++];
        Events.Add(static_cast<int>(std::max(m.Frame, start) - start), m.Bytes, 3);
      }
      const std::size_t anchor = AnchorFrame.load();
      while (anchor != kNoAnchor && NextAnchored < Anchored.size() &&
             anchor + Anchored[NextAnchored].Frame < start + static_cast<std::size_t>(Frames)) {
        const TTimedMidi& m = Anchored[NextAnchored++];
        Events.Add(static_cast<int>(std::max(anchor + m.Frame, start) - start), m.Bytes, 3);
      }
      Plugin.ProcessBlock(Events.Events(), outputs, Frames);
      if (Out.Left.size() + static_cast<std::size_t>(Frames) <= Out.Left.capacity()) {
        Out.Left.insert(Out.Left.end(), outputs[0], outputs[0] + Frames);
        Out.Right.insert(Out.Right.end(), outputs[1], outputs[1] + Frames);
      }
      Position.store(start + static_cast<std::size_t>(Frames));
      Calls.fetch_add(1);
      if (Paced) {
        next += std::chrono::duration_cast<TClock::duration>(period);
        std::this_thread::sleep_until(next);
      } else {
        std::this_thread::yield();
      }
    }
  }

  TVstPlugin& Plugin;
  const int Frames;
  const bool Paced;
  const std::vector<TTimedMidi> Midi;
  std::size_t NextMidi = 0;
  static constexpr std::size_t kNoAnchor = SIZE_MAX;
  std::vector<TTimedMidi> Anchored;
  std::size_t NextAnchored = 0;
  std::atomic<std::size_t> AnchorFrame{kNoAnchor};
  std::function<void(std::size_t)> Hook;
  std::vector<float> Buffers[2];
  TVstEventList Events;
  TStereo Out;
  std::vector<double> CallStarts;  // seconds, steady clock
  std::atomic<bool> Quit{false};
  std::atomic<std::uint64_t> Calls{0};
  std::atomic<std::size_t> Position{0};
  std::thread Thread;
};

// A fresh instance on `program`, resumed and processing.
inline std::unique_ptr<TVstPlugin> Streamable(int program, int frames, std::int32_t level, double rate = 44100) {
  std::string error;
  std::unique_ptr<TVstPlugin> plugin = OpenInstance(rate, frames, error);
  EXPECT_NE(plugin, nullptr) << error;
  if (plugin == nullptr) return nullptr;
  plugin->SetProgram(program);
  plugin->SetSampleRate(rate);
  plugin->SetBlockSize(frames);
  plugin->SetProcessLevel(level);
  plugin->Resume();
  plugin->Dispatch(kEffStartProcess);
  return plugin;
}

}  // namespace module_render
