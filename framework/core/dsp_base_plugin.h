// Root of the plug-in class chain: the parameter descriptors, the program
// table, the bank name, the global-lock operations, the update and busy
// counters and the program-selection protocol. Every value the host, the
// editor, MIDI or a file sets passes through the parameter operations here;
// every layer above reacts in ParameterChanged.
//
// Value rule: a parameter's normalised value (0..1) lives in the current
// program's value array, except for a global parameter, whose value lives in
// its descriptor and is the same in every program.
//
// Threads and locks: every instance has its own two locks, so instances
// never wait for each other.
//   - The instance lock (Lock/Unlock, TPluginLockGuard) guards the sound: the
//     layers' fields and DSP objects. Processing holds it for the whole of a
//     process call; parameter dispatch, program application and the swap of
//     prepared objects hold it on the host's threads. Nothing that allocates
//     or designs runs under it on a host thread: such work is prepared first
//     and only swapped in under the lock (prepared_change.h).
//   - The program-data lock (TProgramDataGuard) guards what the audio thread
//     never touches: program names, the bank name and the sub-preset lists.
//     Saving a chunk holds only this one, so a host saving its project never
//     makes the audio thread wait.
//   Order: the instance lock before the program-data lock, never the reverse. Values are read without the lock from
// any thread (the host's getParameter, the editor) and written from any
// thread, so every value is loaded and stored as a relaxed atomic. The
// program table and the descriptor array change size only at set-up, before
// the host can reach them.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "framework/base/plugin_lock.h"
#include "framework/base/streams.h"
#include "framework/core/bank_format.h"
#include "framework/core/change_builder.h"
#include "framework/core/param_info.h"
#include "framework/core/postback.h"
#include "framework/modules/dsp_base_control.h"

class TVoicerackFile;
// The decoded MIDI message of the host binding above this class
// (framework/vst/midi_message_handler.h).
struct TMidiEventRec;

// A program: a name and one normalised value per parameter.
struct TProgramRec {
  std::string Name;
  std::vector<float> Values;
};

// A string list as the editor's menus and the bank/program list messages use it.
using TStringList = std::vector<std::string>;

// Atomic access to a value slot that another thread may read or write at
// the same time.
inline float LoadParamSlot(const float& slot) {
  return std::atomic_ref<float>(const_cast<float&>(slot)).load(std::memory_order_relaxed);
}
inline void StoreParamSlot(float& slot, float value) {
  std::atomic_ref<float>(slot).store(value, std::memory_order_release);
}

class TDSPBasePlugin : public TDSPBaseControl {
 public:
  static constexpr std::int32_t kDefaultProgramCount = 128;
  // Codes of the plug-in base's posted notices (run on the window thread).
  static constexpr std::int32_t kPostProgramChanged = 1000;
  static constexpr std::int32_t kPostRefresh = 1001;

  TDSPBasePlugin();
  ~TDSPBasePlugin() override;

  // Posts code 1000 / 1001 to this plug-in for the window thread.
  virtual void PostProgramChanged();
  virtual void PostRefresh();
  // When every program name is blank, program 0 is named "Default".
  virtual void FixEmptyProgramNames();
  // Rendering is skipped while the update counter is not 0.
  virtual void BeginUpdate() { UpdateCount.fetch_add(1); }
  virtual void EndUpdate() { UpdateCount.fetch_sub(1); }
  // One decoded MIDI message (audio thread, instance lock held).
  virtual void HandleMidi(const TMidiEventRec& /*e*/) {}
  // Passes every parameter through ParameterChanged under the lock, with
  // rendering paused.
  virtual void ApplyProgram();
  virtual void SetUniqueIDChars(char c1, char c2, char c3, char c4);
  virtual void ClearPrograms();
  // Host tempo and time signature (audio thread).
  virtual void UpdateTimeInfo() {}
  virtual void TimeSignatureChanged() {}
  virtual void TempoChanged() {}

  // Parameter access. Indexes outside 0..count-1 read 0 and are ignored by
  // the setters.
  virtual std::int32_t GetParameterInt(std::int32_t i);
  // Min + (Max - Min) * the normalised value.
  virtual float GetParameterReal(std::int32_t i);
  virtual float GetParameterValue(std::int32_t i);
  virtual std::int32_t GetParameterID(std::int32_t i);
  // Store (x - Min) / (Max - Min), not clamped (0 for a degenerate range),
  // then ParameterChanged.
  virtual void SetParameterReal(std::int32_t i, float x);
  virtual void AssignParameterReal(std::int32_t i, float x);
  // Clamps v to 0..1 (NaN becomes 0), stores it by the value rule and calls
  // ParameterChanged. Takes no lock: callers that race with processing hold
  // the instance lock, or hand the change over (HandOverParameterChange).
  virtual void SetParameterValue(std::int32_t i, float v);
  // Every layer overrides, handles its own indexes and calls the inherited one.
  virtual void ParameterChanged(std::int32_t /*i*/) {}
  // The setters' last step, after the value is stored: true when the
  // change went to the audio thread, which calls ParameterChanged at the
  // start of its next call (it reads the value stored by then); false: the
  // caller calls it now. Here always false.
  virtual bool HandOverParameterChange(std::int32_t /*i*/) { return false; }
  // The values right: some writes rewrite several values of one program
  // together (an effect-order edit rewrites seven), and nothing may see or
  // make half of such a write: a program's values loaded (a chunk, a bank)
  // or copied, or read as a whole (a chunk or bank being saved). Each of
  // these holds the right for one program at a time and waits for nothing
  // else while it holds it (the innermost of the locks). A thread that may
  // wait takes it (TakeValueRight: other such threads queue on a mutex,
  // the audio thread holds it only for a few values); the audio thread only
  // tries (TryTakeValueRight) and, when another thread holds it, leaves its
  // write for the holder (ValueWritesWaiting), which runs it
  // (RunWaitingValueWrites) before it lets the right go. Any thread.
  bool TryTakeValueRight();
  void TakeValueRight();
  // waited: the right was taken with TakeValueRight.
  void ReleaseValueRight(bool waited);
  // Writes left by a thread that found the right taken, and their run by
  // the holder (right held). Here none.
  virtual bool ValueWritesWaiting() const { return false; }
  virtual void RunWaitingValueWrites() {}
  // Whether the calling thread hands its changes to the audio thread rather
  // than take the instance lock (another thread streams). Here never.
  virtual bool HandsOverToAudioThread() const { return false; }
  // What another thread does for the audio thread while it is silent (the
  // program it faded out for); the module's worker runs it when asked.
  virtual void RunHandOver() {}

  // Program records, chunks, banks, state and snapshots (the byte layouts
  // are in chunk_format.h and bank_format.h). Every reader takes the whole
  // input in first and changes nothing unless all of it is sound; a damaged
  // input is reported through ReportError and answered with false.
  //
  // One "PgCn" record of the program (a blank name keeps its values too);
  // answers the bytes written, 0 for a program outside the table.
  virtual std::int64_t WriteProgramRecord(std::int32_t program, TStream& stream);
  // One record from the next size bytes into the program; answers the bytes
  // read, 0 (stream unchanged) when the record is not whole.
  virtual std::int64_t ReadProgramRecord(std::int32_t program, TStream& stream, std::int64_t size);
  // The next size bytes as a host chunk: a bank, or (isPreset) one record
  // for the current program. The recalled program takes effect through
  // RecallProgram and a refresh is posted.
  virtual bool LoadChunk(TStream& stream, std::int64_t size, bool isPreset);
  // After a chunk replaced the stored values: here the current program is
  // marked pending (applied by the next program application); the core
  // applies it at once once the host has started processing.
  virtual void RecallProgram() { MarkProgramPending(); }
  virtual void SaveChunk(TStream& stream, bool isPreset);
  // The two halves of LoadChunk, for layers that append to the chunk: parse
  // the chunk's bytes (the stream holds exactly them) without changing
  // anything, then apply what was read (instance lock held).
  virtual bool ParseChunk(TStream& stream, bool isPreset, TChunkImage& image, std::string& error);
  virtual void ApplyChunk(const TChunkImage& image);
  // Called with the 212-byte header of a regular bank being loaded.
  virtual void OnBeginLoadBank(const std::uint8_t* /*header*/) {}

  // Makes program i current (0..count-1; other numbers are ignored).
  virtual void SelectProgram(std::int32_t i);
  // Program names; callers pass an index inside the table.
  virtual void SetProgramNameAt(std::int32_t i, std::string_view name);
  virtual std::string GetProgramNameAt(std::int32_t i);
  // The bank file read at start-up (LoadStartupBank); none by default.
  virtual std::string GetStartupBankFile() { return {}; }
  // When load is set, ImportBankFile of the file GetStartupBankFile names
  // (nothing for an empty name).
  virtual void LoadStartupBank(bool load);
  // "<index>-<trimmed name>" for every program.
  virtual void FillProgramList(TStringList& list);
  // The single line "0-<bank name>".
  virtual void FillBankList(TStringList& list);
  // Program count programs, every value the descriptor's current value.
  virtual void InitPrograms();
  // Applies the current program when it is pending, then UpdateTimeInfo.
  virtual void ApplyPendingProgram();
  // An FXB bank, chunk ("FBCh") or regular ("FxBk"); the stream is left right
  // after it. Marks the current program pending and posts a refresh.
  virtual bool LoadBankFromStream(TStream& stream);
  // Chunk mode: the chunk bank; otherwise the regular bank of the values of
  // parameters FirstBankParam..count-1.
  virtual void SaveBankToStream(TStream& stream);
  // "FxPlUgIn", program number, bank name and the bank; layers append their
  // blocks (WriteStateBlock) after calling the inherited one.
  virtual void SaveState(TStream& stream);
  // ReadState, then ApplyState. False (nothing changed) when the state is
  // damaged or holds nothing this plug-in reads.
  virtual bool LoadState(TStream& stream);
  // The two halves of LoadState. A layer that appends a block overrides both:
  // ReadState calls the inherited one and then ParseStateBlock for its block
  // (absent is fine, damaged fails the whole state); ApplyState calls the
  // inherited one and takes its block from image.FindBlock. ApplyState runs
  // with the instance lock held.
  virtual bool ReadState(TStream& stream, TStateImage& image, std::string& error);
  virtual void ApplyState(const TStateImage& image);
  // "BpRm": each value through SetParameterValue in index order. Without the
  // magic the stream stays and the answer is false.
  virtual bool LoadParamSnapshot(TStream& stream);
  virtual void SaveParamSnapshot(TStream& stream, std::int32_t count);
  // Window thread, for posted codes 1001 and 1000.
  virtual void OnRefreshMessage() {}
  virtual void OnProgramChangedMessage() {}
  // The instance's re-entrant lock (one per plug-in object).
  virtual void Lock();
  virtual void Unlock();
  // The same lock, for scoped holds and for probes of whether it is held.
  TPluginLock& InstanceMutex() const { return InstanceLock; }
  // The lock of the program names, the bank name and the sub-preset lists.
  std::recursive_mutex& ProgramDataMutex() const { return ProgramDataLock; }
  // Where this instance's prepared changes are built (change_builder.h).
  TChangeBuilder& Changes() { return Builder; }
  virtual void ReloadProgram() { SelectProgram(CurrentProgram()); }
  // i >= 0 copies to i; -1 asks where; -2 looks for the next program with
  // an empty name first.
  virtual void CopyPresetDialog(std::int32_t i);
  // The current program's values and name go to program i, which becomes
  // current; false when i names no program.
  virtual bool CopyProgramTo(std::int32_t i);

  // Dialog hooks of the plug-in's own notices and questions; the editor
  // layer shows real dialogs while it handles the user's input. Here (no
  // editor, a host call, tests) a query is cancelled and a message takes the
  // non-interactive path of the message routines (messages.h).
  virtual bool AskText(std::string_view /*caption*/, std::string_view /*prompt*/, std::string& /*text*/) {
    return false;
  }
  virtual void ShowMessageText(std::string_view text);

  // Around bank loading and saving: both locks are held and program
  // selections apply at once.
  void BeginProgramUpdate();
  void EndProgramUpdate();
  // The bank (as SaveBankToStream writes it) into a new or truncated file.
  bool SaveBankFile(const std::string& path);
  // Design patch import (patch_import.h). Reading a file runs on the calling
  // thread (never the audio thread); each patch is stored under the lock.
  //
  // Up to 128 patches of a design patch file become programs 0..127: a patch
  // named blank or "!e" leaves its program unchanged; the others give the
  // program their trimmed name and their kept values, converted by each
  // target descriptor's PatchConversion, from parameter 10 on (values beyond
  // the parameters are ignored), calling ParameterChanged for each. False
  // (reported, nothing changed) when the file is missing or no patch file.
  bool ImportPatchFile(const std::string& path);
  // The store step of ImportPatchFile; answers the number of programs set.
  std::int32_t ImportPatches(const TVoicerackFile& file);
  // A bank file, or the patch file beside it converted into one: an existing
  // file not named ".pch" is loaded as a bank (and names the bank); otherwise
  // the ".pch" of the same name, when it exists, is imported and the bank
  // written to path (to path with ".fxb" when path is the patch file, never
  // replacing an existing file there); otherwise a ".fxb" path gets the
  // current bank. The patch file is never changed. False when nothing was
  // loaded or written.
  bool ImportBankFile(const std::string& path);
  // The two halves of LoadBankFromStream: ParseBank changes nothing (the
  // stream is left where it was on failure); ApplyBank runs under the lock.
  bool ParseBank(TStream& stream, TBankImage& image, std::string& error);
  void ApplyBank(const TBankImage& image);
  void SetParamCount(std::int32_t n) { ParamCount = n; }
  std::int32_t GetParamCount() const { return ParamCount; }
  std::int32_t GetProgramCount() const { return ProgramCount; }
  std::int32_t GetPluginVersion() const { return VendorVersion; }
  std::int32_t CurrentProgram() const { return CurProgram.load(std::memory_order_relaxed); }
  bool IsProgramPending() const { return ProgramPending.load(); }
  void MarkProgramPending() { ProgramPending.store(true); }
  bool IsUpdating() const { return UpdateCount.load() != 0; }
  std::int32_t GetUniqueID() const { return UniqueID; }
  // Target of the posts of PostProgramChanged and PostRefresh.
  void HandlePostedMessage(std::int32_t code);
  void OnPostedNotice(const TPostBackRec& record) { HandlePostedMessage(record.Code); }
  bool IsValidParam(std::int32_t i) const { return i >= 0 && i < ParamCount && i < ParamCountAllocated(); }
  bool IsValidProgram(std::int32_t i) const {
    return i >= 0 && i < ProgramCount && i < static_cast<std::int32_t>(Programs.size());
  }

  std::vector<TParamInfoRec> ParamInfo;  // one per parameter
  std::vector<TProgramRec> Programs;
  std::string BankName = "Default Bank";
  bool ChunkMode = true;              // banks are written as opaque chunks
  std::int32_t FirstBankParam = 0;    // first parameter regular FXB programs carry
  std::int32_t VendorVersion = 1100;  // also the fxVersion of written banks
  char UniqueIDChars[4] = {0, 0, 0, 0};

 protected:
  std::int32_t ParamCountAllocated() const { return static_cast<std::int32_t>(ParamInfo.size()); }
  // The slot that holds parameter i's value by the value rule in program
  // `program` (ValueSlot: the current one); null when the program is not
  // inside the table. i must be a valid parameter.
  float* ProgramValueSlot(std::int32_t program, std::int32_t i);
  float* ValueSlot(std::int32_t i) { return ProgramValueSlot(CurrentProgram(), i); }
  void SetCurrentProgramNumber(std::int32_t i) { CurProgram.store(static_cast<std::int16_t>(i)); }
  // The normalised values of parameters first..count-1 of a program by the
  // value rule (a global parameter gives its descriptor's value).
  std::vector<float> ProgramRecordValues(std::int32_t program, std::int32_t first);
  // Stores a read program into program i of the table (name and the values
  // the parameters cover; a global value goes to its descriptor as well).
  void StoreProgramImage(std::int32_t program, const TProgramImage& image, std::int32_t first);
  void ClearProgramPending() { ProgramPending.store(false); }

  std::int32_t ParamCount = 0;
  std::int32_t ProgramCount = kDefaultProgramCount;
  std::int32_t UniqueID = 0;
  std::atomic<std::int16_t> CurProgram{0};
  std::atomic<bool> ProgramPending{true};
  std::atomic<std::int32_t> UpdateCount{0};
  std::atomic<std::int32_t> BusyCount{0};

 private:
  mutable TPluginLock InstanceLock;
  mutable std::recursive_mutex ProgramDataLock;
  // The values right, and the queue of the threads that wait for it.
  std::atomic<bool> ValueRight{false};
  std::mutex ValueRightWaiters;
  TChangeBuilder Builder{*this};
};

// Scoped hold of a plug-in's own lock.
class TPluginLockGuard {
 public:
  explicit TPluginLockGuard(const TDSPBasePlugin& plugin) : Guard(plugin.InstanceMutex()) {}

 private:
  std::lock_guard<TPluginLock> Guard;
};

// Scoped hold of a plug-in's values right, on a thread that may wait.
class TValueRightGuard {
 public:
  explicit TValueRightGuard(TDSPBasePlugin& plugin) : Plugin(plugin) { Plugin.TakeValueRight(); }
  ~TValueRightGuard() { Plugin.ReleaseValueRight(true); }
  TValueRightGuard(const TValueRightGuard&) = delete;
  TValueRightGuard& operator=(const TValueRightGuard&) = delete;

 private:
  TDSPBasePlugin& Plugin;
};

// Scoped hold of a plug-in's program-data lock.
class TProgramDataGuard {
 public:
  explicit TProgramDataGuard(const TDSPBasePlugin& plugin) : Guard(plugin.ProgramDataMutex()) {}

 private:
  std::lock_guard<std::recursive_mutex> Guard;
};
