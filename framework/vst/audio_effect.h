// The plug-in side of the VST 2 interface: the effect record embedded in the
// object, the five entry functions the host calls through it, the
// dispatcher of opcodes 0-24, the host-callback wrappers and the record
// setters.
//
// Every entry function installs the plug-in's floating-point environment
// (TFpuGuard) and gives the caller's back on return; no exception leaves an
// entry: the dispatcher answers 0 and the others do nothing when one is
// raised inside.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string_view>
#include <thread>
#include <vector>

#include "framework/base/streams.h"
#include "framework/core/dsp_base_plugin.h"
#include "platform/vst2/vst2_abi.h"

class AudioEffect : public TDSPBasePlugin {
 public:
  AudioEffect();
  ~AudioEffect() override;

  // The record handed to the host; its object field points back here.
  TVstEffect* GetEffect() { return &Effect; }
  // The object behind a record the host passes; null for a record that is
  // not one of ours.
  static AudioEffect* FromEffect(TVstEffect* effect);

  // Stores the host callback and fills the record with its defaults.
  virtual void InitEffect(TVstHostCallback host, std::int32_t numPrograms, std::int32_t numParams);
  // Every opcode the host sends; unknown ones answer 0.
  virtual std::intptr_t Dispatcher(std::int32_t opcode, std::int32_t index, std::intptr_t value, void* ptr,
                                   float opt);

  // Operations reached through the dispatcher (host's window or main
  // thread unless said otherwise).
  virtual void Open() {}
  // Closes the editor; the dispatcher entry then destroys the object.
  virtual void Close();
  // Runs after Close and before the destructors: whatever other threads may
  // still reach through the object is stopped while all of it exists.
  virtual void PrepareForDestruction() {}
  // After each dispatcher or setParameter call on a host thread (not the
  // audio thread), outside every lock: work the call left to the audio
  // thread may be awaited here.
  virtual void AfterHostCall() {}
  virtual void SetProgram(std::int32_t program);
  virtual std::int32_t GetProgram() { return CurrentProgram(); }
  virtual void SetProgramName(std::string_view name);
  // The current program's name; false when there is none to give.
  virtual bool GetProgramName(std::string& name);
  virtual std::string GetParameterLabel(std::int32_t index);
  virtual std::string GetParameterDisplay(std::int32_t index);
  virtual std::string GetParameterName(std::int32_t index);
  virtual float GetVu() { return 0.0f; }
  // Rates below 1000 Hz and non-finite ones are ignored.
  virtual void SetSampleRate(float rate);
  virtual void SetBlockSize(std::int32_t size) { HostBlockSize = size; }
  // mainsChanged; hosts may send it from the audio thread.
  virtual void Suspend() {}
  virtual void Resume() {}
  virtual bool EditGetRect(TVstRect** rect);
  virtual bool EditOpen(void* parentWindow);
  virtual std::intptr_t EditClose() { return 0; }
  virtual void EditIdle() {}
  // The chunk's size; its bytes stay valid until the calling thread's next
  // getChunk (each thread that asks has a buffer of its own: hosts save from
  // more than one thread, and one answer must not be freed under another).
  virtual std::int32_t GetChunk(void** data, bool isPreset);
  // Loads the host's bytes (read during the call only); answers size when
  // they were taken, 0 when they were rejected (the state stays as it was).
  virtual std::int32_t SetChunk(const void* data, std::int32_t size, bool isPreset);

  // Entry operations. Process adds into the host's buffers,
  // ProcessReplacing overwrites them (audio thread).
  virtual void Process(float** inputs, float** outputs, std::int32_t sampleFrames);
  virtual void ProcessReplacing(float** inputs, float** outputs, std::int32_t sampleFrames);
  // The host's setParameter: clamps and stores under the global lock.
  virtual void SetParameter(std::int32_t index, float value);
  virtual float GetParameter(std::int32_t index) { return GetParameterValue(index); }
  // Stores like SetParameter, then tells the host (never call it while
  // holding the global lock).
  virtual void SetParameterAutomated(std::int32_t index, float value);

  // Host callback (answers 0 without one).
  std::intptr_t CallHost(std::int32_t opcode, std::int32_t index = 0, std::intptr_t value = 0, void* ptr = nullptr,
                         float opt = 0.0f);
  std::int32_t GetMasterVersion();
  std::int32_t GetCurrentUniqueId() { return static_cast<std::int32_t>(CallHost(kHostCurrentId)); }
  void MasterIdle() { CallHost(kHostIdle); }
  bool IsInputConnected(std::int32_t input) { return CallHost(kHostPinConnected, input, 0) == 0; }
  bool IsOutputConnected(std::int32_t output) { return CallHost(kHostPinConnected, output, 1) == 0; }

  // Record setters.
  void SetUniqueID(std::int32_t id) { Effect.uniqueID = id; }
  virtual void SetNumInputs(std::int32_t inputs) { Effect.numInputs = inputs; }
  virtual void SetNumOutputs(std::int32_t outputs) { Effect.numOutputs = outputs; }
  void HasVu(bool state) { SetFlag(kVstFlagHasVu, state); }
  void HasClip(bool state) { SetFlag(kVstFlagHasClip, state); }
  void CanMono(bool state) { SetFlag(kVstFlagCanMono, state); }
  void CanProcessReplacing(bool state) { SetFlag(kVstFlagCanReplacing, state); }
  void ProgramsAreChunks(bool state) { SetFlag(kVstFlagProgramChunks, state); }
  void HasEditor(bool state) { SetFlag(kVstFlagHasEditor, state); }
  void SetRealtimeQualities(std::int32_t q) { Effect.realQualities = q; }
  void SetOfflineQualities(std::int32_t q) { Effect.offQualities = q; }
  void SetInitialDelay(std::int32_t delay) { Effect.initialDelay = delay; }

  TVstHostCallback GetHostCallback() const { return Host; }
  // The thread that last called a process entry is the host's audio thread.
  bool OnAudioThread() const { return AudioThreadId.load(std::memory_order_relaxed) == std::this_thread::get_id(); }
  // From the first resume on, changes requested on the audio thread are
  // built by the module's worker; before it they are built at once.
  bool HostHasResumed() const { return EverResumed.load(std::memory_order_relaxed); }
  // The host says it renders offline (not against the clock): what the audio
  // thread asks for is then built on it, and the output does not depend on
  // how fast the worker is.
  bool HostRendersOffline() { return CallHost(kHostGetCurrentProcessLevel) == kVstProcessLevelOffline; }
  std::int32_t GetHostBlockSize() const { return HostBlockSize; }

 protected:
  void SetFlag(std::int32_t flag, bool state) {
    if (state) Effect.flags |= flag;
    else Effect.flags &= ~flag;
  }

  TVstEffect Effect{};
  TVstHostCallback Host = nullptr;
  std::int32_t HostBlockSize = 0;  // stored only: the internal block is one millisecond
  std::int32_t SamplesPerMs = 44;  // sample rate div 1000
  TVstRect EditorRect{};

 private:
  std::atomic<std::thread::id> AudioThreadId{};
  std::atomic<bool> EverResumed{false};
  // The last chunk handed to each thread that asked (at most
  // kChunkAnswerThreads; beyond that the least recently used one is reused).
  struct TChunkAnswer {
    std::thread::id Thread;
    std::uint64_t LastUse = 0;
    std::unique_ptr<TMemoryStream> Stream;
  };
  static constexpr std::size_t kChunkAnswerThreads = 16;
  std::mutex ChunkAnswerLock;
  std::vector<TChunkAnswer> ChunkAnswers;
  std::uint64_t ChunkAnswerClock = 0;

 protected:

 private:
  static std::intptr_t DispatcherEntry(TVstEffect* effect, std::int32_t opcode, std::int32_t index,
                                       std::intptr_t value, void* ptr, float opt);
  static void ProcessEntry(TVstEffect* effect, float** inputs, float** outputs, std::int32_t sampleFrames);
  static void ProcessReplacingEntry(TVstEffect* effect, float** inputs, float** outputs,
                                    std::int32_t sampleFrames);
  static void SetParameterEntry(TVstEffect* effect, std::int32_t index, float value);
  static float GetParameterEntry(TVstEffect* effect, std::int32_t index);
};

// Copies text into a host buffer: at most kVstMaxTextLength characters and a
// terminator; nothing for a null buffer.
void CopyHostText(char* buffer, std::string_view text);
// A text the host passes, read up to its terminator but never beyond limit
// characters; empty for a null pointer.
std::string_view ReadHostText(const char* text, std::size_t limit);
