// A minimal VST 2 instrument written straight against the binary interface:
// one sine per note, three parameters, four programs and chunks, and an
// editor with one bar (testsynth_editor.h). It proves the host before the
// real instrument sounds, and is small enough that what it should output can
// be computed by hand.
#include <time.h>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <mutex>
#include <new>
#include <numbers>
#include <string>
#include <thread>
#include <vector>

#include "platform/vst2/vst2_abi.h"
#include "tests/tools/testsynth/testsynth_editor.h"

namespace {

constexpr int kParams = 3;  // 0 gain, 1 release, 2 detune
constexpr int kPrograms = 4;
constexpr int kVoices = 16;
constexpr int kMaxEvents = 1024;
constexpr std::uint32_t kBankMagic = 0x42795354;     // "TSyB" little-endian in the chunk
constexpr std::uint32_t kProgramMagic = 0x50795354;  // "TSyP"

// Faults a test can plant through TESTSYNTH_FAULT, to prove that the host's
// checks notice them.
enum class TFault {
  None,
  Nan,
  Denormal,
  Alloc,
  Locale,
  Chunk,
  Crash,
  Hang,
  Recall,       // the bank chunk's current program is not restored
  RejectOk,     // a rejected chunk is answered as taken
  MidiMute,     // controller 18 mutes, and while muted everything else is dropped
  Loud,         // a gain above 0.25 is 40 dB too loud
  GlobalLock,   // one lock for every instance, held 5 ms by program and chunk changes
  ChunkBuffer,  // every getChunk frees the buffer the one before handed out
  Leak,         // every load of the module leaves 100 KB behind
  EditorSize,   // the editor's window is 10 pixels wider than its rectangle
  EditorKept,   // the close request leaves the editor's window (and a capture) in place
  HeavyChange,  // a program or chunk change costs the audio thread's next call 3 ms of processor time
  Dropout,      // every 16th process call gives silence
};

TFault FaultFromEnvironment() {
  const char* v = std::getenv("TESTSYNTH_FAULT");
  const std::string f = v ? v : "";
  const std::pair<const char*, TFault> names[] = {{"nan", TFault::Nan},
                                                  {"denormal", TFault::Denormal},
                                                  {"alloc", TFault::Alloc},
                                                  {"locale", TFault::Locale},
                                                  {"chunk", TFault::Chunk},
                                                  {"crash", TFault::Crash},
                                                  {"hang", TFault::Hang},
                                                  {"recall", TFault::Recall},
                                                  {"rejectok", TFault::RejectOk},
                                                  {"midimute", TFault::MidiMute},
                                                  {"loud", TFault::Loud},
                                                  {"globallock", TFault::GlobalLock},
                                                  {"chunkbuffer", TFault::ChunkBuffer},
                                                  {"leak", TFault::Leak},
                                                  {"editor-size", TFault::EditorSize},
                                                  {"editor-kept", TFault::EditorKept},
                                                  {"heavychange", TFault::HeavyChange},
                                                  {"dropout", TFault::Dropout}};
  for (const auto& [name, fault] : names)
    if (f == name) return fault;
  return TFault::None;
}

// The lock of the planted "globallock" fault: one for the whole module.
std::mutex& ModuleLock() {
  static std::mutex lock;
  return lock;
}

// The planted "leak": an allocation made whenever the module is loaded and
// never freed.
struct TLeak {
  TLeak() {
    if (FaultFromEnvironment() == TFault::Leak) Block = new char[100 * 1024]();
  }
  char* Block = nullptr;
};
const TLeak gLeak;

struct TProgramData {
  char Name[25];
  float Values[kParams];
};

const TProgramData kFactory[kPrograms] = {
    {"Init", {0.5f, 0.1f, 0.5f}},
    {"Soft", {0.2f, 0.3f, 0.5f}},
    {"Long Release", {0.5f, 1.0f, 0.5f}},
    {"Detuned", {0.5f, 0.1f, 0.75f}},
};

struct TVoice {
  int Key = -1;  // -1: free
  double Phase = 0;
  double Increment = 0;  // cycles per sample
  double Amplitude = 0;
  double Envelope = 0;  // 1 while held, falling to 0 after release
  bool Released = false;
};

class TTestSynth {
 public:
  explicit TTestSynth(TVstHostCallback host) : Host(host) {
    std::memset(&Effect, 0, sizeof Effect);
    Effect.magic = kVstEffectMagic;
    Effect.dispatcher = &DispatcherEntry;
    Effect.process = &ProcessEntry;
    Effect.setParameter = &SetParameterEntry;
    Effect.getParameter = &GetParameterEntry;
    Effect.processReplacing = &ProcessReplacingEntry;
    Effect.numPrograms = kPrograms;
    Effect.numParams = kParams;
    Effect.numInputs = 0;
    Effect.numOutputs = 2;
    Effect.flags = kVstFlagCanReplacing | kVstFlagProgramChunks | kVstFlagIsSynth | kVstFlagHasEditor;
    Effect.ioRatio = 1.0f;
    Effect.object = this;
    Effect.uniqueID = 0x52745379;  // "RtSy"
    Effect.version = 1;
    for (int p = 0; p < kPrograms; ++p) {
      std::memcpy(Names[p], kFactory[p].Name, sizeof Names[p]);
      for (int i = 0; i < kParams; ++i) Values[p][i].store(kFactory[p].Values[i]);
    }
  }

  TVstEffect Effect;

 private:
  TTestSynthEditor::TFault EditorFault() const {
    if (Fault == TFault::EditorSize) return TTestSynthEditor::TFault::WrongSize;
    if (Fault == TFault::EditorKept) return TTestSynthEditor::TFault::KeepsWindow;
    return TTestSynthEditor::TFault::None;
  }

  static TTestSynth* Self(TVstEffect* e) { return static_cast<TTestSynth*>(e->object); }

  static std::intptr_t DispatcherEntry(TVstEffect* e, std::int32_t opcode, std::int32_t index, std::intptr_t value,
                                       void* ptr, float opt) {
    TTestSynth* self = Self(e);
    if (opcode == kEffClose) {
      delete self;
      return 1;
    }
    return self->Dispatch(opcode, index, value, ptr, opt);
  }
  static void ProcessReplacingEntry(TVstEffect* e, float**, float** outputs, std::int32_t frames) {
    Self(e)->Render(outputs, frames, false);
  }
  static void ProcessEntry(TVstEffect* e, float**, float** outputs, std::int32_t frames) {
    Self(e)->Render(outputs, frames, true);
  }
  static void SetParameterEntry(TVstEffect* e, std::int32_t index, float value) {
    if (Self(e)->Fault == TFault::Crash && index >= kParams) std::raise(SIGSEGV);
    if (index < 0 || index >= kParams || !std::isfinite(value)) return;
    Self(e)->Values[Self(e)->Program.load()][index].store(std::fmin(1.0f, std::fmax(0.0f, value)));
  }
  static float GetParameterEntry(TVstEffect* e, std::int32_t index) {
    if (index < 0 || index >= kParams) return 0.0f;
    return Self(e)->Values[Self(e)->Program.load()][index].load();
  }

  static void CopyText(void* ptr, const char* text) {
    if (!ptr) return;
    std::snprintf(static_cast<char*>(ptr), kVstMaxTextLength + 1, "%s", text);
  }

  float Value(int index) const { return Values[Program.load()][index].load(); }

  // Display texts are built with integers only, so they never depend on the
  // host's locale.
  void Display(int index, char* out) const {
    const float v = Value(index);
    if (Fault == TFault::Locale) {
      std::snprintf(out, kVstMaxTextLength + 1, "%.2f", static_cast<double>(v));
      return;
    }
    if (index == 0) {
      const long tenths = v > 0 ? std::lrint(200.0 * std::log10(v)) : -999;
      std::snprintf(out, kVstMaxTextLength + 1, "%s%ld.%ld", tenths < 0 ? "-" : "", std::labs(tenths) / 10,
                    std::labs(tenths) % 10);
    } else if (index == 1) {
      std::snprintf(out, kVstMaxTextLength + 1, "%ld", std::lrint(ReleaseMs(v)));
    } else {
      std::snprintf(out, kVstMaxTextLength + 1, "%ld", std::lrint(DetuneCents(v)));
    }
  }
  static double ReleaseMs(float v) { return 1.0 + 999.0 * v; }
  static double DetuneCents(float v) { return (v - 0.5) * 200.0; }

  std::intptr_t Dispatch(std::int32_t opcode, std::int32_t index, std::intptr_t value, void* ptr, float opt) {
    switch (opcode) {
      case kEffSetProgram:
        HoldModuleLock();
        if (value >= 0 && value < kPrograms) Program.store(static_cast<int>(value));
        return 0;
      case kEffGetProgram:
        return Program.load();
      case kEffSetProgramName: {
        if (!ptr) return 0;
        std::lock_guard<std::mutex> lock(NamesLock);
        std::snprintf(Names[Program.load()], sizeof Names[0], "%s", static_cast<const char*>(ptr));
        return 0;
      }
      case kEffGetProgramName: {
        std::lock_guard<std::mutex> lock(NamesLock);
        CopyText(ptr, Names[Program.load()]);
        return 0;
      }
      case kEffGetProgramNameIndexed: {
        if (index < 0 || index >= kPrograms) return 0;
        std::lock_guard<std::mutex> lock(NamesLock);
        CopyText(ptr, Names[index]);
        return 1;
      }
      case kEffGetParamName:
        if (index >= 0 && index < kParams) CopyText(ptr, index == 0 ? "Gain" : index == 1 ? "Release" : "Detune");
        return 0;
      case kEffGetParamLabel:
        if (index >= 0 && index < kParams) CopyText(ptr, index == 0 ? "dB" : index == 1 ? "ms" : "cents");
        return 0;
      case kEffGetParamDisplay:
        if (index >= 0 && index < kParams && ptr) Display(index, static_cast<char*>(ptr));
        return 0;
      case kEffSetSampleRate:
        if (std::isfinite(opt) && opt >= 1000.0f) SampleRate = opt;
        return 0;
      case kEffSetBlockSize:
        return 0;
      case kEffMainsChanged:
        if (value) {
          for (auto& v : Voices) v = TVoice{};
          EventCount = 0;
        }
        return 0;
      case kEffGetChunk:
        return GetChunk(ptr, index != 0);
      case kEffSetChunk:
        return SetChunk(ptr, value, index != 0);
      case kEffProcessEvents:
        QueueEvents(static_cast<const TVstEvents*>(ptr));
        return 1;
      case kEffCanBeAutomated:
        return index >= 0 && index < kParams ? 1 : 0;
      case kEffGetOutputProperties: {
        if (index < 0 || index >= 2 || !ptr) return 0;
        auto* pin = static_cast<TVstPinProperties*>(ptr);
        std::snprintf(pin->label, sizeof pin->label, "Out %d", index + 1);
        pin->flags = kVstPinIsActive | kVstPinIsStereo;
        return 1;
      }
      case kEffGetPlugCategory:
        return kVstCategorySynth;
      case kEffGetEffectName:
      case kEffGetProductString:
        CopyText(ptr, "Test Synth");
        return 1;
      case kEffGetVendorString:
        CopyText(ptr, "Rumbleon tests");
        return 1;
      case kEffGetVendorVersion:
        return 1;
      case kEffCanDo:
        if (ptr && (std::strcmp(static_cast<const char*>(ptr), "receiveVstEvents") == 0 ||
                    std::strcmp(static_cast<const char*>(ptr), "receiveVstMidiEvent") == 0))
          return 1;
        return -1;
      case kEffGetVstVersion:
        return 2400;
      case kEffEditGetRect:
        if (!ptr) return 0;
        *static_cast<TVstRect**>(ptr) = Editor.Rect();
        return 1;
      case kEffEditOpen:
        return Editor.Open(reinterpret_cast<std::uintptr_t>(ptr)) ? 1 : 0;
      case kEffEditClose:
        return Editor.Close() ? 1 : 0;
      case kEffEditIdle:
        Editor.Idle();
        return 0;
      default:
        return 0;
    }
  }

  // Bank: magic, version 1, current program, then per program the name (24
  // bytes) and the values. Program: magic, version 1, name and values.
  // The planted "globallock": a change holds the module's one lock for 5 ms.
  void HoldModuleLock() {
    // The planted "heavychange": the change is left for the audio thread.
    if (Fault == TFault::HeavyChange) ChangeWaiting.store(true);
    if (Fault != TFault::GlobalLock) return;
    std::lock_guard<std::mutex> lock(ModuleLock());
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }

  std::intptr_t GetChunk(void* ptr, bool preset) {
    if (!ptr) return 0;
    while (Fault == TFault::Hang) std::this_thread::sleep_for(std::chrono::seconds(1));
    std::lock_guard<std::mutex> lock(NamesLock);
    // Each calling thread has its own buffer, so an answer stays valid while
    // another thread asks for the chunk too. The planted "chunkbuffer": one
    // buffer, written anew and the last answer's freed.
    thread_local std::vector<std::uint8_t> threadChunk;
    std::vector<std::uint8_t>& ChunkBytes = Fault == TFault::ChunkBuffer ? SharedChunk : threadChunk;
    std::vector<std::uint8_t> previous;
    if (Fault == TFault::ChunkBuffer) previous.swap(ChunkBytes);
    ChunkBytes.clear();
    auto put = [&](const void* p, std::size_t n) {
      const auto* b = static_cast<const std::uint8_t*>(p);
      ChunkBytes.insert(ChunkBytes.end(), b, b + n);
    };
    auto putProgram = [&](int p) {
      char name[24] = {};
      std::memcpy(name, Names[p], std::min(sizeof name, std::strlen(Names[p])));
      put(name, sizeof name);
      for (int i = 0; i < kParams; ++i) {
        const float v = Values[p][i].load();
        put(&v, 4);
      }
    };
    const std::uint32_t version = 1;
    if (preset) {
      put(&kProgramMagic, 4);
      put(&version, 4);
      putProgram(Program.load());
    } else {
      const std::uint32_t current = static_cast<std::uint32_t>(Program.load());
      put(&kBankMagic, 4);
      put(&version, 4);
      put(&current, 4);
      for (int p = 0; p < kPrograms; ++p) putProgram(p);
    }
    *static_cast<void**>(ptr) = ChunkBytes.data();
    return static_cast<std::intptr_t>(ChunkBytes.size());
  }

  // Validates size and magic before anything is applied.
  std::intptr_t SetChunk(const void* ptr, std::intptr_t size, bool preset) {
    constexpr std::size_t programBytes = 24 + 4 * kParams;
    const std::size_t expected = preset ? 8 + programBytes : 12 + kPrograms * programBytes;
    HoldModuleLock();
    const std::intptr_t refused = Fault == TFault::RejectOk ? size : 0;
    if (!ptr || size < 0 || static_cast<std::size_t>(size) != expected) return refused;
    const auto* b = static_cast<const std::uint8_t*>(ptr);
    std::uint32_t magic, version;
    std::memcpy(&magic, b, 4);
    std::memcpy(&version, b + 4, 4);
    if (magic != (preset ? kProgramMagic : kBankMagic) || version != 1) return refused;
    auto getProgram = [&](const std::uint8_t* at, int p) {
      float v[kParams];
      std::memcpy(v, at + 24, sizeof v);
      for (float x : v)
        if (!(x >= 0.0f && x <= 1.0f)) return false;
      std::lock_guard<std::mutex> lock(NamesLock);
      std::memset(Names[p], 0, sizeof Names[p]);
      std::memcpy(Names[p], at, 24);
      for (int i = 0; i < kParams; ++i) Values[p][i].store(v[i]);
      return true;
    };
    if (Fault == TFault::Chunk) return size;  // planted: the values are not restored
    if (preset) return getProgram(b + 8, Program.load()) ? size : 0;
    std::uint32_t current;
    std::memcpy(&current, b + 8, 4);
    if (current >= kPrograms) return 0;
    for (int p = 0; p < kPrograms; ++p) getProgram(b + 12 + p * programBytes, p);
    if (Fault != TFault::Recall) Program.store(static_cast<int>(current));
    return size;
  }

  void QueueEvents(const TVstEvents* events) {
    if (!events) return;
    TVstEvent* const* list = VstEventSlots(*events);
    for (std::int32_t i = 0; i < events->numEvents && EventCount < kMaxEvents; ++i) {
      const TVstEvent* e = list[i];
      if (!e || e->type != kVstMidiEventType) continue;
      Events[EventCount++] = *reinterpret_cast<const TVstMidiEvent*>(e);
    }
  }

  void NoteOn(int key, int velocity) {
    TVoice* voice = nullptr;
    for (auto& v : Voices)
      if (v.Key < 0) {
        voice = &v;
        break;
      }
    if (!voice) voice = &Voices[0];  // all busy: steal the first
    const double pitch = key - 69 + DetuneCents(Value(2)) / 100.0;
    *voice = TVoice{};
    voice->Key = key;
    voice->Increment = 440.0 * std::pow(2.0, pitch / 12.0) / SampleRate;
    voice->Amplitude = Value(0) * velocity / 127.0;
    voice->Envelope = 1.0;
  }

  void NoteOff(int key) {
    for (auto& v : Voices)
      if (v.Key == key && !v.Released) v.Released = true;
  }

  void Apply(const TVstMidiEvent& e) {
    const int status = e.midiData[0] & 0xF0;
    const int key = e.midiData[1] & 0x7F, velocity = e.midiData[2] & 0x7F;
    if (Fault == TFault::MidiMute) {
      if (Muted) return;  // planted: nothing reaches a muted instrument, not even the controller that unmutes
      if (status == 0xB0 && key == 18 && velocity >= 64) Muted = true;
    }
    if (status == 0x90 && velocity > 0) NoteOn(key, velocity);
    else if (status == 0x80 || status == 0x90) NoteOff(key);
    else if (status == 0xB0 && (key == 120 || key == 123))
      for (auto& v : Voices) v = TVoice{};
  }

  void Render(float** outputs, std::int32_t frames, bool accumulate) {
    if (Fault == TFault::GlobalLock) {
      std::lock_guard<std::mutex> lock(ModuleLock());
      RenderUnlocked(outputs, frames, accumulate);
      return;
    }
    RenderUnlocked(outputs, frames, accumulate);
  }

  void RenderUnlocked(float** outputs, std::int32_t frames, bool accumulate) {
    if (!outputs || frames <= 0) {
      EventCount = 0;
      return;
    }
    if (Fault == TFault::Alloc) {
      std::vector<float> fresh(static_cast<std::size_t>(frames));
      Scratch.swap(fresh);
    }
    if (ChangeWaiting.exchange(false)) {
      timespec now{};
      clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
      const double until = static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9 + 0.003;
      for (double t = 0; t < until;) {
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
        t = static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
      }
    }
    const double releaseStep = 1.0 / (ReleaseMs(Value(1)) * 0.001 * SampleRate);
    int next = 0;
    for (std::int32_t i = 0; i < frames; ++i) {
      while (next < EventCount && std::min(std::max(Events[next].deltaFrames, 0), frames - 1) <= i)
        Apply(Events[next++]);
      double sum = 0;
      for (auto& v : Voices) {
        if (v.Key < 0) continue;
        sum += v.Amplitude * v.Envelope * std::sin(2.0 * std::numbers::pi * v.Phase);
        v.Phase += v.Increment;
        v.Phase -= std::floor(v.Phase);
        if (v.Released) {
          v.Envelope -= releaseStep;
          if (v.Envelope <= 0) v.Key = -1;
        }
      }
      if (Muted) sum = 0;
      if (Fault == TFault::Loud && Value(0) > 0.25f) sum *= 100.0;
      auto out = static_cast<float>(sum);
      if (Fault == TFault::Nan && sum != 0) out = std::numeric_limits<float>::quiet_NaN();
      if (Fault == TFault::Denormal && sum != 0) out = 1e-40f;
      for (int c = 0; c < 2; ++c) {
        if (!outputs[c]) continue;
        if (accumulate) outputs[c][i] += out;
        else outputs[c][i] = out;
      }
    }
    while (next < EventCount) Apply(Events[next++]);
    EventCount = 0;
    if (Fault == TFault::Dropout && ++Calls % 16 == 0 && !accumulate)
      for (int c = 0; c < 2; ++c)
        if (outputs[c]) std::fill(outputs[c], outputs[c] + frames, 0.0f);
  }

  TVstHostCallback Host;
  const TFault Fault = FaultFromEnvironment();
  std::vector<float> Scratch;
  double SampleRate = 44100;
  std::atomic<int> Program{0};
  std::atomic<bool> ChangeWaiting{false};
  std::int64_t Calls = 0;  // process calls (audio thread)
  std::atomic<float> Values[kPrograms][kParams];
  std::mutex NamesLock;
  char Names[kPrograms][25] = {};
  std::vector<std::uint8_t> SharedChunk;
  TVoice Voices[kVoices];
  TVstMidiEvent Events[kMaxEvents];
  int EventCount = 0;
  bool Muted = false;
  // The editor changes the gain of the current program, as a host would.
  TTestSynthEditor Editor{&Effect, Host, [this] { return Value(0); },
                          [this](float v) { SetParameterEntry(&Effect, 0, v); }, EditorFault()};
};

TVstEffect* CreateTestSynth(TVstHostCallback host) {
  if (!host || host(nullptr, kHostVersion, 0, 0, nullptr, 0.0f) == 0) return nullptr;
  auto* synth = new (std::nothrow) TTestSynth(host);
  return synth ? &synth->Effect : nullptr;
}

}  // namespace

extern "C" __attribute__((visibility("default"))) TVstEffect* VSTPluginMain(TVstHostCallback host) {
  return CreateTestSynth(host);
}

// The older entry name; C++ reserves ::main, so it is bound by its symbol.
extern "C" __attribute__((visibility("default"))) TVstEffect* TestSynthMain(TVstHostCallback host) __asm__("main");
extern "C" TVstEffect* TestSynthMain(TVstHostCallback host) { return CreateTestSynth(host); }
