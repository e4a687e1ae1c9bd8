// Loading a VST 2 module and hosting one instance of its plug-in through the
// binary interface: the host callback, text requests with bounded buffers,
// chunks, processing, and the transport that getTime reports.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "platform/vst2/vst2_abi.h"

// A loaded module (dlopen); unloaded on destruction.
class TVstModule {
 public:
  TVstModule() = default;
  ~TVstModule();
  TVstModule(const TVstModule&) = delete;
  TVstModule& operator=(const TVstModule&) = delete;

  // Looks for VSTPluginMain, then main.
  bool Load(const std::string& path, std::string& error);
  // dlclose: the module goes when no other load holds it. Every instance
  // must be closed first.
  void Unload();
  TVstEntryProc Entry() const { return EntryProc; }
  const std::string& Path() const { return ModulePath; }
  const char* EntryName() const { return EntrySymbol; }

 private:
  void* Handle = nullptr;
  TVstEntryProc EntryProc = nullptr;
  const char* EntrySymbol = "";
  std::string ModulePath;
};

// What getTime reports; the renderer sets it before each block.
struct TVstTransport {
  double SamplePos = 0;
  double PpqPos = 0;
  double Tempo = 120;
  double BarStartPos = 0;
  int TimeSigNumerator = 4;
  int TimeSigDenominator = 4;
  bool Playing = false;
  bool Changed = false;
};

struct TAutomationRecord {
  std::int32_t Index;
  float Value;
};

// A request of the plug-in about its parameters: automate (with the value),
// begin-edit or end-edit (host opcodes 0, 43, 44). TempoAsked: the calling
// thread asked this host for its time or tempo since its previous notice (a
// host that keeps its tempo per thread, as Ardour 7 does, places what it
// records with the tempo that request gave the thread).
struct THostNotice {
  std::int32_t Opcode;
  std::int32_t Index;
  float Value;
  bool TempoAsked = false;
};
using TNoticeObserver = std::function<void(const THostNotice&)>;

class TVstPlugin {
 public:
  // Calls the module's entry with this host's callback and checks the
  // record's magic. The host answers getSampleRate/getBlockSize with the
  // values given (also before the plug-in is told them).
  static std::unique_ptr<TVstPlugin> Open(const TVstModule& module, std::string& error, double sampleRate = 44100,
                                          int blockSize = 512);
  // The same from an entry function (tests host plug-ins linked in).
  static std::unique_ptr<TVstPlugin> OpenEntry(TVstEntryProc entry, std::string& error, double sampleRate = 44100,
                                               int blockSize = 512);
  // Suspends when resumed, then closes the plug-in.
  ~TVstPlugin();
  TVstPlugin(const TVstPlugin&) = delete;
  TVstPlugin& operator=(const TVstPlugin&) = delete;

  TVstEffect* Effect() const { return Eff; }
  std::intptr_t Dispatch(std::int32_t opcode, std::int32_t index = 0, std::intptr_t value = 0, void* ptr = nullptr,
                         float opt = 0.0f) const;

  int NumParams() const { return Eff->numParams; }
  int NumPrograms() const { return Eff->numPrograms; }
  int NumInputs() const { return Eff->numInputs; }
  int NumOutputs() const { return Eff->numOutputs; }
  bool HasFlag(std::int32_t flag) const { return (Eff->flags & flag) != 0; }

  // A text opcode answered into a zeroed 256-byte buffer; the text is taken
  // up to the first terminator. overrun is set when the plug-in left no
  // terminator in the buffer.
  std::string Text(std::int32_t opcode, std::int32_t index = 0, bool* overrun = nullptr) const;
  std::string ParamName(int index) const { return Text(kEffGetParamName, index); }
  std::string ParamLabel(int index) const { return Text(kEffGetParamLabel, index); }
  std::string ParamDisplay(int index) const { return Text(kEffGetParamDisplay, index); }
  // Program name by getProgramNameIndexed, or by selecting the program and
  // asking its name when the plug-in does not answer that (the current
  // program is restored).
  std::string ProgramName(int index);

  void SetSampleRate(double rate);
  void SetBlockSize(int frames);
  void Resume();
  void Suspend();
  bool Resumed() const { return IsResumed; }
  void SetProgram(int program) const { Dispatch(kEffSetProgram, 0, program); }
  // SetProgram for a user's request: false with the reason when the program
  // does not exist or the plug-in stays on another one.
  bool SelectProgram(int program, std::string& error) const;
  int Program() const { return static_cast<int>(Dispatch(kEffGetProgram)); }
  void SetParameter(int index, float value) const { Eff->setParameter(Eff, index, value); }
  float GetParameter(int index) const { return Eff->getParameter(Eff, index); }
  // The bank (preset = false) or program chunk; empty when there is none.
  std::vector<std::uint8_t> GetChunk(bool preset) const;
  // Answers the plug-in's answer: 0 when it refused the chunk.
  std::intptr_t SetChunk(std::span<const std::uint8_t> bytes, bool preset) const;

  // One block: the events (an empty list is sent too, as real hosts do) and
  // then processReplacing (or process onto cleared outputs). outputs holds
  // NumOutputs() channels of frames samples.
  void ProcessBlock(const TVstEvents* events, float** outputs, int frames);
  // Sizes the host's own buffers for blocks of up to maxFrames, so that
  // ProcessBlock itself allocates nothing (measured render loops call it
  // first).
  void PrepareBuffers(int maxFrames);

  // Host side state read by the callback.
  double SampleRate() const { return HostSampleRate.load(); }
  int BlockSize() const { return HostBlockSize.load(); }
  void SetTransport(const TVstTransport& transport);
  // What the host answers when asked its process level: realtime unless
  // told otherwise (the render command renders offline).
  void SetProcessLevel(std::int32_t level) { ProcessLevel.store(level); }
  // Automation the plug-in reported (host opcode 0), in order; the log keeps
  // the first kAutomationLogSize records.
  static constexpr std::size_t kAutomationLogSize = 4096;
  std::vector<TAutomationRecord> AutomationLog() const;
  std::uint64_t AutomationCount() const { return AutomationTotal.load(); }
  // Host opcodes the plug-in asked that this host answers with 0, counted.
  std::uint64_t UnansweredRequests() const { return Unanswered.load(); }
  // Called, on the plug-in's calling thread, for every automate, begin-edit
  // and end-edit. Set it while no other thread calls into the plug-in.
  void SetNoticeObserver(TNoticeObserver observer) { Observer = std::move(observer); }

 private:
  TVstPlugin() = default;
  static std::intptr_t HostCallback(TVstEffect* effect, std::int32_t opcode, std::int32_t index, std::intptr_t value,
                                    void* ptr, float opt);
  std::intptr_t Answer(std::int32_t opcode, std::int32_t index, std::intptr_t value, void* ptr, float opt);
  // Whether the calling thread asked this plug-in's host for its time or
  // tempo since the last time this was answered on it.
  bool TakeTempoAsked();

  static inline std::atomic<std::uint64_t> Serials{0};
  const std::uint64_t Serial = ++Serials;  // tells instances apart on a thread

  TVstEffect* Eff = nullptr;
  bool IsResumed = false;
  std::atomic<double> HostSampleRate{44100};
  std::atomic<int> HostBlockSize{512};
  mutable std::mutex TransportLock;
  TVstTransport Transport;
  std::vector<float> InputBuffer;
  std::vector<float*> InputPointers;
  std::unique_ptr<TAutomationRecord[]> Automation;
  std::atomic<std::uint64_t> AutomationTotal{0};
  std::atomic<std::uint64_t> Unanswered{0};
  std::atomic<std::int32_t> ProcessLevel{kVstProcessLevelRealtime};
  TNoticeObserver Observer;
};

// Owns an event list for one block: room for capacity events, filled from
// MIDI bytes at sample offsets.
class TVstEventList {
 public:
  explicit TVstEventList(std::size_t capacity);
  void Clear() { List->numEvents = 0; }
  // False when the list is full.
  bool Add(int deltaFrames, const std::uint8_t* bytes, int size);
  const TVstEvents* Events() const { return List; }
  std::size_t Capacity() const { return Midi.size(); }

 private:
  std::vector<TVstMidiEvent> Midi;
  std::vector<std::uint8_t> Storage;
  TVstEvents* List = nullptr;
};

// Four-character code as text ("NvEf"), with unprintable bytes as '.'.
std::string FourCharText(std::int32_t code);
