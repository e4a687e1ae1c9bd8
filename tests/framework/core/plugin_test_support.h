// Test doubles for the plug-in chain: a host callback that records what the
// plug-in tells it, an event-list builder, and a small instrument on the
// plug-in core that renders a sine (or a constant) per held note.
#pragma once

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "framework/core/dsp_plugin_x.h"
#include "platform/vst2/vst2_abi.h"
#include "tests/support/test_support.h"

namespace plugin_test {

// One host for every test: answers the version, serves a time info and
// records automation and I/O notices.
struct TTestHost {
  static inline std::mutex Mutex;
  static inline std::intptr_t Version = 2400;
  static inline TVstTimeInfo Time{};
  static inline bool HasTime = true;
  static inline std::vector<std::pair<std::int32_t, float>> Automated;
  // Editor gestures as text: "[" begin-edit, "a" automate, "]" end-edit.
  static inline std::string Edits;
  static inline std::int32_t IoChangedCount = 0;
  static inline std::int32_t WantMidiCount = 0;
  // The answer to the process-level question (0: the host does not say).
  static inline std::atomic<std::int32_t> ProcessLevel{0};
  // When set, every call checks from another thread whether the calling
  // plug-in's lock is free.
  static inline std::atomic<bool> CheckLock{false};
  static inline std::atomic<bool> LockHeldDuringCall{false};

  static void Reset() {
    std::lock_guard<std::mutex> guard(Mutex);
    Version = 2400;
    Time = TVstTimeInfo{};
    Time.sampleRate = 44100;
    Time.tempo = 120;
    Time.timeSigNumerator = 4;
    Time.timeSigDenominator = 4;
    Time.flags = kVstTempoValid | kVstTimeSigValid;
    HasTime = true;
    Automated.clear();
    Edits.clear();
    IoChangedCount = 0;
    WantMidiCount = 0;
    ProcessLevel = 0;
    CheckLock = false;
    LockHeldDuringCall = false;
  }

  static std::intptr_t Callback(TVstEffect* effect, std::int32_t opcode, std::int32_t index, std::intptr_t /*value*/,
                                void* /*ptr*/, float opt) {
    const AudioEffect* plugin = AudioEffect::FromEffect(effect);
    if (CheckLock.load() && plugin != nullptr) {
      bool free = false;
      std::thread probe([&free, plugin] {
        free = plugin->InstanceMutex().try_lock();
        if (free) plugin->InstanceMutex().unlock();
      });
      probe.join();
      if (!free) LockHeldDuringCall = true;
    }
    std::lock_guard<std::mutex> guard(Mutex);
    switch (opcode) {
      case kHostVersion:
        return Version;
      case kHostAutomate:
        Automated.emplace_back(index, opt);
        Edits += 'a';
        return 0;
      case kHostBeginEdit:
      case kHostEndEdit:
        Edits += opcode == kHostBeginEdit ? '[' : ']';
        return 1;
      case kHostGetTime:
        return HasTime ? reinterpret_cast<std::intptr_t>(&Time) : 0;
      case kHostIoChanged:
        ++IoChangedCount;
        return 1;
      case kHostWantMidi:
        ++WantMidiCount;
        return 1;
      case kHostGetCurrentProcessLevel:
        return ProcessLevel.load();
      default:
        return 0;
    }
  }
};

// A VST event list of any length.
class TEventList {
 public:
  void Add(std::int32_t offset, std::uint8_t b0, std::uint8_t b1, std::uint8_t b2) {
    TVstMidiEvent e{};
    e.type = kVstMidiEventType;
    e.byteSize = sizeof(TVstMidiEvent);
    e.deltaFrames = offset;
    e.midiData[0] = b0;
    e.midiData[1] = b1;
    e.midiData[2] = b2;
    Add(reinterpret_cast<const TVstEvent&>(e));
  }
  void Add(const TVstEvent& e) { Events.push_back(e); }
  bool Empty() const { return Events.empty(); }
  const TVstEvents* Build() {
    Storage.assign(offsetof(TVstEvents, events) + (Events.size() + 2) * sizeof(TVstEvent*), 0);
    auto* list = reinterpret_cast<TVstEvents*>(Storage.data());
    list->numEvents = static_cast<std::int32_t>(Events.size());
    TVstEvent** slots = VstEventSlots(*list);
    for (std::size_t i = 0; i < Events.size(); ++i) slots[i] = &Events[i];
    return list;
  }

 private:
  std::vector<TVstEvent> Events;
  std::vector<std::uint8_t> Storage;
};

// Renders per held note a sine of amplitude 0.25 (or, with RenderDc, a
// constant 0.5), identical on both channels. Counts what reaches it.
class TSineTestPlugin : public TDSPPluginX {
 public:
  struct TVoice {
    std::int32_t Note = -1;
    double Phase = 0;
  };
  static constexpr std::int32_t kTestParamCount = 24;

  TSineTestPlugin() {
    EffectName = "SineTest";
    SetUniqueIDChars('S', 'n', 'T', 's');
    ParamCount = kTestParamCount;
  }

  void InitParameterInfo() override {
    TDSPPluginX::InitParameterInfo();
    for (std::int32_t i = kBaseParamCount; i < ParamCount; ++i)
      InitIntParamInfo(10, ParamInfo[i], "P" + std::to_string(i), 0, 0, 0, 100, "test");
    // 10 on controller 20, 11 without a number of its own (falls into the
    // controller slots from 11 on), 12 RPN-mapped by default (number 6).
    ParamInfo[10].MidiKind = kParamMidiController;
    ParamInfo[10].MidiNumber = 20;
    ParamInfo[11].MidiKind = kParamMidiController;
    ParamInfo[11].MidiNumber = 500;
    ParamInfo[13].IsGlobal = true;
    ParamInfo[14].Min = 5.0f;
    ParamInfo[14].Max = 5.0f;
  }

  void NoteOn(const TMidiEventRec& e) override {
    ++NoteOns;
    NoteOnBlocks.push_back(RenderedBlocks);
    for (TVoice& v : Voices) {
      if (v.Note < 0) {
        v.Note = e.Data1;
        v.Phase = 0;
        return;
      }
    }
  }
  void NoteOff(const TMidiEventRec& e) override {
    ++NoteOffs;
    for (TVoice& v : Voices)
      if (v.Note == e.Data1) v.Note = -1;
  }
  void HandleMidi(const TMidiEventRec& e) override {
    Received.push_back(e);
    TDSPPluginX::HandleMidi(e);
  }
  void ParameterChanged(std::int32_t i) override {
    if (i >= 0 && i < static_cast<std::int32_t>(Changed.size())) ++Changed[i];
    TDSPPluginX::ParameterChanged(i);
  }
  void TempoChanged() override { ++TempoChanges; }
  void TimeSignatureChanged() override { ++SignatureChanges; }

  void RenderVoices() override {
    ++RenderedBlocks;
    float* out = GetOutputBuffer();
    const std::int32_t n = Settings->BlockSize;
    for (std::int32_t j = 0; j < n; ++j) {
      float s = 0.0f;
      for (TVoice& v : Voices) {
        if (v.Note < 0) continue;
        if (RenderDc) {
          s += DcLevel;
          continue;
        }
        s += 0.25f * static_cast<float>(std::sin(2.0 * M_PI * v.Phase));
        v.Phase += PitchToFreq(static_cast<float>(v.Note) + GetPitchBendAmount()) / Settings->SampleRate;
        v.Phase -= std::floor(v.Phase);
      }
      out[2 * j] = s;
      out[2 * j + 1] = s;
    }
    DetectSignal(out, Settings->StereoLength);
  }

  // Test access to protected state.
  std::int32_t SilentBlocks() const { return SilenceCount; }
  float LeftGainNow() const { return LeftGain; }
  bool FirstCallDone() const { return FirstCallSeen.load(); }
  float* ValueSlotOf(std::int32_t i) { return ValueSlot(i); }

  std::vector<TVoice> Voices = std::vector<TVoice>(8);
  std::vector<std::int32_t> Changed = std::vector<std::int32_t>(kTestParamCount, 0);
  std::vector<TMidiEventRec> Received;
  std::vector<std::int64_t> NoteOnBlocks;
  std::int64_t RenderedBlocks = 0;
  std::int32_t NoteOns = 0;
  std::int32_t NoteOffs = 0;
  std::int32_t TempoChanges = 0;
  std::int32_t SignatureChanges = 0;
  bool RenderDc = false;
  float DcLevel = 0.5f;  // per held note, with RenderDc
};

inline std::intptr_t Dispatch(TVstEffect* e, std::int32_t opcode, std::int32_t index = 0, std::intptr_t value = 0,
                              void* ptr = nullptr, float opt = 0.0f) {
  return e->dispatcher(e, opcode, index, value, ptr, opt);
}

// A plug-in set up as a host would: set-up, sample rate, resume.
template <typename T = TSineTestPlugin>
std::unique_ptr<T> MakePlugin(float sampleRate = 44100.0f) {
  auto plugin = std::make_unique<T>();
  plugin->InitPlugin(&TTestHost::Callback);
  TVstEffect* e = plugin->GetEffect();
  Dispatch(e, kEffSetSampleRate, 0, 0, nullptr, sampleRate);
  Dispatch(e, kEffSetBlockSize, 0, 512);
  Dispatch(e, kEffMainsChanged, 0, 1);
  return plugin;
}

// Host-side stereo buffers.
struct TStereoBuffers {
  explicit TStereoBuffers(std::size_t frames, float fill = 0.0f) : Left(frames, fill), Right(frames, fill) {
    Pointers[0] = Left.data();
    Pointers[1] = Right.data();
  }
  std::vector<float> Left;
  std::vector<float> Right;
  float* Pointers[2];
};

// One host call on the calling thread: the events, then processReplacing
// of `frames`; the left output.
inline std::vector<float> Call(TSineTestPlugin& p, std::int32_t frames, TEventList events = {}) {
  TVstEffect* e = p.GetEffect();
  if (!events.Empty()) Dispatch(e, kEffProcessEvents, 0, 0, const_cast<TVstEvents*>(events.Build()));
  TStereoBuffers out(static_cast<std::size_t>(frames));
  e->processReplacing(e, nullptr, out.Pointers, frames);
  return out.Left;
}

// A host's audio thread for the stress tests: renders blocks of `frames`
// through the effect's process entries until Stop, block k after the events
// that Events(k, list) adds; counts the blocks and notes any output sample
// that is not finite.
class TRenderThread {
 public:
  using TEvents = std::function<void(int block, TEventList& events)>;
  TRenderThread(TVstEffect* effect, std::int32_t frames, TEvents events)
      : Thread([this, effect, frames, events = std::move(events)] {
          TStereoBuffers out(static_cast<std::size_t>(frames));
          auto last = std::chrono::steady_clock::now();
          for (int k = 0; !Stopping.load(); ++k) {
            const auto now = std::chrono::steady_clock::now();
            const auto gap = std::chrono::duration_cast<std::chrono::microseconds>(now - last).count();
            last = now;
            if (gap > LongestGapUs.load()) LongestGapUs.store(gap);
            TEventList list;
            events(k, list);
            Dispatch(effect, kEffProcessEvents, 0, 0, const_cast<TVstEvents*>(list.Build()));
            effect->processReplacing(effect, nullptr, out.Pointers, frames);
            if (!testing_support::AllFinite(out.Left) || !testing_support::AllFinite(out.Right)) Finite = false;
            Count.store(k + 1);
          }
        }) {}
  ~TRenderThread() { Stop(); }

  int Blocks() const { return Count.load(); }
  // The longest time between the starts of two calls since the last reset
  // (a busy machine may hold the thread up: a plug-in then rightly takes
  // its calls for stopped).
  double LongestGapSeconds() const { return static_cast<double>(LongestGapUs.load()) * 1e-6; }
  void ResetLongestGap() { LongestGapUs.store(0); }
  bool AllFinite() const { return Finite.load(); }
  bool Running() const { return !Stopping.load(); }
  // Waits until `more` further blocks were rendered.
  void WaitBlocks(int more) const {
    const int until = Blocks() + more;
    while (Blocks() < until) std::this_thread::yield();
  }
  void Stop() {
    Stopping = true;
    if (Thread.joinable()) Thread.join();
  }

 private:
  std::atomic<bool> Stopping{false};
  std::atomic<bool> Finite{true};
  std::atomic<int> Count{0};
  std::atomic<std::int64_t> LongestGapUs{0};
  std::thread Thread;  // last: starts once the flags exist
};

}  // namespace plugin_test
