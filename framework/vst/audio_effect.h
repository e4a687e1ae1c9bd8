// The plug-in side of the VST 2 interface: the effect record embedded in the
// object, the five entry functions the host calls through it, the
// dispatcher of opcodes 0-24, the host-callback wrappers and the record
// setters.
//
// Every entry function installs the plug-in's floating-point environment
// (TFpuGuard) and gives the caller's back on return; no exception leaves an
// entry: the dispatcher answers 0 and the others do nothing when one is
// raised inside.
//
// Threads, locks and allocation (the one policy; each entry below says
// which part applies to it):
// - Each instance has one re-entrant lock (InstanceMutex, TPluginLock); no
//   lock is shared between instances. The plug-in core and the engines
//   decide when it is held. DSP units (dsp/) take no plug-in lock: their
//   owner holds it while it changes them, the audio thread while it runs
//   them.
// - The audio thread (process calls, and any entry the host makes from
//   it) holds the lock for the whole process call and, after resume, never
//   allocates, frees, does file I/O, touches the editor or takes the
//   editor's GuiLock. What a change needs built is queued for the module's
//   worker and swapped in under the lock when ready.
// - A host thread holds the lock only to store a value or swap in what it
//   built: anything that allocates is built on that thread outside the lock
//   (prepared changes, change_builder.h) before the call returns.
// - Lock order: the editor's GuiLock, then the instance lock, then the
//   sample store's lock. The engine graph's lock comes before any instance
//   lock. Nothing waits for a lock that comes earlier while holding a later
//   one.
// - The host is never called, and no dialog is shown, while the instance
//   lock is held.
// - Module-wide tables are built once, before or at the first instance, and
//   only read afterwards.
// - Lifetime: the host's close destroys the instance only once every other
//   call inside it has left (the editor's idle with its dialogs, a process
//   call a host still makes while it closes); calls that arrive after close
//   began answer 0 or do nothing. The editor is closed only once the editor
//   calls on other threads (open, close, idle, the host's idle) have left:
//   a host may close from another thread than its editor's, in the middle
//   of an editor open. Each entry pays an atomic increment and decrement for
//   it; the audio thread never waits for it.
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
  // Every opcode the host sends; unknown ones answer 0. Any host thread,
  // the audio thread included (events, mains and parameter opcodes come
  // from there in some hosts); each opcode's own contract is that of the
  // operation it reaches below.
  virtual std::intptr_t Dispatcher(std::int32_t opcode, std::int32_t index, std::intptr_t value, void* ptr, float opt);

  // Operations reached through the dispatcher (host's window or main
  // thread unless said otherwise).
  // Host thread, before any processing; may allocate; no lock.
  virtual void Open() {}
  // Closes the editor; the dispatcher entry then destroys the object (see
  // CloseEntry). Host thread, no process call after it; takes the editor's
  // GuiLock, then the instance lock.
  virtual void Close();
  // The host's close has begun (its thread, no lock held), before it waits
  // for the editor calls on other threads to leave: whatever keeps such a
  // call inside for the user (a dialog) is told to end, and an editor
  // window that would open from now on stays shut. Must not wait.
  virtual void CloseBegins() {}
  // Runs after Close and before the destructors: whatever other threads may
  // still reach through the object is stopped while all of it exists
  // (posted calls cancelled, the worker's run on it awaited). No lock held.
  virtual void PrepareForDestruction() {}
  // After each dispatcher or setParameter call on a host thread (not the
  // audio thread), outside every lock: work the call left to the audio
  // thread may be awaited here (bounded), and what it asked to be built is
  // built here. May allocate.
  virtual void AfterHostCall() {}
  // Any host thread, or the audio thread (a MIDI program change). Takes the
  // instance lock to make the program current; what it needs is built on a
  // host thread outside the lock; while the host streams on another thread
  // the audio thread applies it at its next call.
  virtual void SetProgram(std::int32_t program);
  // Any thread; no lock, no allocation.
  virtual std::int32_t GetProgram() { return CurrentProgram(); }
  // Host thread; stores under the instance lock; allocates.
  virtual void SetProgramName(std::string_view name);
  // The current program's name; false when there is none to give.
  // Texts (these four): any thread but the audio thread, the editor's
  // painting too (GuiLock held, then the instance lock); allocate.
  virtual bool GetProgramName(std::string& name);
  virtual std::string GetParameterLabel(std::int32_t index);
  virtual std::string GetParameterDisplay(std::int32_t index);
  virtual std::string GetParameterName(std::int32_t index);
  // Any thread; no lock, no allocation.
  virtual float GetVu() { return 0.0f; }
  // Rates below 1000 Hz and non-finite ones are ignored. Host thread, the
  // host suspended; rebuilds buffers outside the lock (build lock, then the
  // instance lock for the swap); allocates.
  virtual void SetSampleRate(float rate);
  // Host thread; stores only.
  virtual void SetBlockSize(std::int32_t size) { HostBlockSize = size; }
  // mainsChanged; hosts may send it from the audio thread. Resume prepares
  // what the first process call needs (the rate, the pending program), so
  // that no process call allocates; it may allocate itself and takes the
  // instance lock to apply.
  virtual void Suspend() {}
  virtual void Resume() {}
  // Editor entries: the host's window thread only, never the audio thread;
  // they take the editor's GuiLock and, inside it, the instance lock for
  // values; may allocate.
  virtual bool EditGetRect(TVstRect** rect);
  virtual bool EditOpen(void* parentWindow);
  virtual std::intptr_t EditClose() { return 0; }
  virtual void EditIdle() {}
  // The chunk's size; its bytes stay valid until the calling thread's next
  // getChunk (each thread that asks has a buffer of its own: hosts save from
  // more than one thread, and one answer must not be freed under another).
  // Any host thread, several at once; reads under the program-data lock,
  // which the audio thread never takes; allocates.
  virtual std::int32_t GetChunk(void** data, bool isPreset);
  // Loads the host's bytes (read during the call only); answers size when
  // they were taken, 0 when they were rejected (the state stays as it was).
  // Any host thread: everything is read and checked outside the lock, then
  // applied like SetProgram; allocates.
  virtual std::int32_t SetChunk(const void* data, std::int32_t size, bool isPreset);

  // Entry operations. Process adds into the host's buffers,
  // ProcessReplacing overwrites them. Audio thread: hold the instance lock
  // for the whole call; after resume no allocation, free, file I/O, editor
  // call or GuiLock; the host is called before the lock is taken (time
  // info) and after it is let go.
  virtual void Process(float** inputs, float** outputs, std::int32_t sampleFrames);
  virtual void ProcessReplacing(float** inputs, float** outputs, std::int32_t sampleFrames);
  // The host's setParameter: clamps and stores under the instance lock. Any
  // thread: on a host thread what the value needs built is built there after
  // the store, outside the lock; on the audio thread it is queued for the
  // worker (no allocation there).
  virtual void SetParameter(std::int32_t index, float value);
  // Any thread; no lock, no allocation.
  virtual float GetParameter(std::int32_t index) { return GetParameterValue(index); }
  // Stores like SetParameter, then tells the host (never call it while
  // holding the instance lock).
  virtual void SetParameterAutomated(std::int32_t index, float value);
  // Tells the host of an edit it may record: kHostAutomate (index, value),
  // kHostBeginEdit or kHostEndEdit (index); answers what the host answers.
  // Any thread but the audio thread, never under the instance lock. Each
  // notice follows a tempo request on the same thread (see the definition).
  std::intptr_t NotifyHostOfEdit(std::int32_t opcode, std::int32_t index, float value = 0.0f);

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
  // The host's process calls have come faster than the audio they carry,
  // call after call (a render that runs ahead of the clock, whatever
  // the host says about it): nobody listens as it plays, so the audio
  // thread may wait, and builds the programs it applies itself (what
  // automation asks for still goes to the worker, and the call waits for it
  // to swap it in as it ends). Audio thread.
  bool HostRendersAhead() const { return Ahead; }
  // Offline by the host's word or by the pace of its calls, as the current
  // process call began. Audio thread.
  bool OfflineCall() const { return OfflineCallFlag; }
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
  // The pace of the process calls (the audio thread's): when the last one
  // began (steady clock, ns) and how long its audio lasts; the audio the
  // recent calls carried and the time they took. Once they carried a
  // second, the host renders ahead when that took less than half of it (a
  // real-time host keeps pace over a second, and one that catches up after
  // a stall has the stall in its time); both then halve, so that the next
  // verdict weighs the calls since as much as those before.
  static constexpr std::int64_t kPaceWindowNs = 1000000000;
  void TimeProcessCall(std::int32_t frames);
  std::atomic<float> PaceRate{44100.0f};  // the host's rate, Hz
  std::int64_t PaceLastNs = 0;
  std::int64_t PaceBlockNs = 0;
  std::int64_t PaceAudioNs = 0;
  std::int64_t PaceWallNs = 0;
  bool Ahead = false;
  bool OfflineCallFlag = false;
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

  // ---- lifetime (audio_effect.cpp): every entry below holds a TEntryScope
  // for its whole call, the work after the call included. EntryState counts
  // the calls inside this instance (low bits) and carries kEntryClosing once
  // the host's close began (entries then answer 0 or do nothing) and
  // kEntryDestroyOnLeave when the last call to leave destroys the object.
  // EditorEntries counts the editor calls among them (IsEditorCall), from
  // before they are admitted until they have left.
  class TEntryScope;
  static constexpr std::uint32_t kEntryClosing = 1u << 31;
  static constexpr std::uint32_t kEntryDestroyOnLeave = 1u << 30;
  static constexpr std::uint32_t kEntryCountMask = kEntryDestroyOnLeave - 1;
  std::atomic<std::uint32_t> EntryState{0};
  std::atomic<std::uint32_t> EditorEntries{0};
  // The dispatcher opcodes that reach the editor window or run the posted
  // calls that update it.
  static bool IsEditorCall(std::int32_t opcode);
  // The host's close (effClose): stops new calls, tells the editor
  // (CloseBegins), waits until the editor calls on other threads have left,
  // runs Close (the editor closes), waits until every call on other threads
  // has left this instance, then destroys it. Called from inside a call into
  // this instance on the same thread (a host that closes from a callback),
  // the outermost such call destroys it when it leaves instead: waiting
  // there would never end. A second close while one runs answers 0. A call
  // that begins after close returned reaches freed memory: the host's fault.
  static std::intptr_t CloseEntry(AudioEffect* self, std::int32_t index, std::intptr_t value, void* ptr, float opt);
  // Waits (polling, no lock held) until at most `own` calls are inside, or
  // with editorCalls at most `own` editor calls.
  void WaitForEntriesToLeave(std::uint32_t own, bool editorCalls = false) const;
  // PrepareForDestruction, then delete.
  static void Destroy(AudioEffect* self) noexcept;

 protected:
 private:
  static std::intptr_t DispatcherEntry(TVstEffect* effect, std::int32_t opcode, std::int32_t index, std::intptr_t value,
                                       void* ptr, float opt);
  // Both process entries: the call timed and its builds placed, then
  // ProcessReplacing (replace) or Process.
  static void ProcessCall(TVstEffect* effect, float** inputs, float** outputs, std::int32_t sampleFrames, bool replace);
  static void ProcessEntry(TVstEffect* effect, float** inputs, float** outputs, std::int32_t sampleFrames);
  static void ProcessReplacingEntry(TVstEffect* effect, float** inputs, float** outputs, std::int32_t sampleFrames);
  static void SetParameterEntry(TVstEffect* effect, std::int32_t index, float value);
  static float GetParameterEntry(TVstEffect* effect, std::int32_t index);
};

// Copies text into a host buffer: at most kVstMaxTextLength characters and a
// terminator; nothing for a null buffer.
void CopyHostText(char* buffer, std::string_view text);
// A text the host passes, read up to its terminator but never beyond limit
// characters; empty for a null pointer.
std::string_view ReadHostText(const char* text, std::size_t limit);
