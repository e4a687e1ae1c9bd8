// The plug-in core every instrument layer derives from: the ten base
// parameters (volume, pan, mute, solo, bypass, five reserved), the render
// loop that serves host blocks of any length from one-millisecond internal
// blocks, MIDI routing (notes, controller and RPN maps, pitch bend, program
// change), the parameter flow between host, editor and layers, plug-in
// messages and the display texts of parameter values.
//
// A layer above overrides:
//   InitParameterInfo  - call the inherited one first (it sizes the
//                        descriptor array for ParamCount), then fill its own;
//   ParameterChanged   - handle its own indexes, then call the inherited one;
//   NoteOn / NoteOff   - notes from MIDI (audio thread, instance lock held);
//   RenderVoices       - render one internal block (Settings->BlockSize frames)
//                        into GetOutputBuffer() (interleaved left/right) and
//                        set BlockHasSignal (DetectSignal);
//   HandlePluginMessage, TempoChanged, TimeSignatureChanged, ResetEngine.
//
// Threads: the process entries run on the host's audio thread; the
// dispatcher and parameter entries on the host's main or GUI thread; posted
// calls on the host's GUI thread (editor open/idle). The host is never
// called while the instance lock is held.
//
// The audio thread never waits for the instance lock: a process call tries
// it, and when another thread holds it the call hands the host what the
// output rings hold and silence after it, the rings moving on as a call
// that renders moves them (its MIDI waits for the next call). Other
// threads therefore hold the lock only for changes that silence the
// instrument anyway (a program applied after its fade, a rate change) or
// that are rare (the editor's sub-presets); while the host streams, what
// they change often goes to the audio thread without the lock:
//   - parameter values are stored at once and their ParameterChanged runs
//     on the audio thread when its next call begins (HandOverParameterChange);
//   - a program (selected, or recalled by a chunk) is only marked: the audio
//     thread fades the sound out and stays silent, and another thread (the
//     one that asked, waiting in AfterHostCall, or the module's worker)
//     applies it under the lock meanwhile (RunHandOver); the host's call
//     returns once it is applied;
//   - MIDI events the host sends on the audio thread go to a queue only that
//     thread touches.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "framework/base/method.h"
#include "framework/core/param_change_queue.h"
#include "framework/core/postback.h"
#include "framework/core/sub_preset_format.h"
#include "framework/modules/channel_modules.h"
#include "framework/vst/dsp_vst_base.h"
#include "platform/time_stamp.h"

// A linear ramp of the output volume or pan, stepped once per frame.
struct TGainRamp {
  float Start = 0.0f;
  float Target = 0.0f;
  std::int32_t Counter = 0;
  std::int32_t Length = 0;  // samples
  float InvLength = 0.0f;
  bool Active = false;
};

class TDSPPluginX : public TDSPVSTBase {
 public:
  // The base parameters; layers add theirs from kBaseParamCount on.
  enum : std::int32_t {
    kParamVolume = 0,
    kParamPan = 1,
    kParamMute = 2,
    kParamSolo = 3,
    kParamBypass = 4,
    kBaseParamCount = 10,
  };
  // Plug-in message codes (HandlePluginMessage) and sink codes.
  enum : std::int32_t {
    kMsgChanged = 8007,
    kMsgParamByMidi = 8011,
    kMsgIoChanged = 8012,
    kMsgNotifyChanged = 8020,
    kMsgForwardChanged = 8023,
    kMsgSaveState = 8028,
    kMsgLoadState = 8029,
    kMsgReloadProgram = 8031,
    kMsgQueryGui = 8037,
    kMsgRefresh = 8040,
    kMsgProgramChanged = 8041,
    kMsgBankName = 8042,
    kMsgProgramName = 8043,
    kMsgBankList = 8044,
    kMsgProgramList = 8045,
    kMsgForward8046 = 8046,
    kMsgForward8047 = 8047,
    kMsgForward8048 = 8048,
    kMsgForward8049 = 8049,
    kMsgProgramSelector = 8051,
  };
  // Posted-call codes of the core.
  enum : std::int32_t { kPostUpdateGuiControl = 10001, kPostData = 10002, kPostOpenEditor = 10008 };
  // Display-text requests: what `number` names.
  enum : std::int32_t { kQueryController = 0, kQueryRpn = 1, kQueryParam = 2 };

  static constexpr std::int32_t kRpnMapSize = 3001;
  // Output below this magnitude counts as silence.
  static constexpr float kSilenceLevel = 1e-5f;
  // No sample leaves the instrument louder than this (+24 dBFS): whatever
  // the settings, a host's bus and the listener's ears are safe. NaN leaves
  // as 0. No factory program comes near it.
  static constexpr float kOutputCeiling = 15.8489319f;
  // The interleaved block held to the ceiling (audio thread).
  static void LimitOutput(float* interleaved, std::int32_t samples);
  // After this much silent output nothing is rendered until a note arrives.
  static constexpr double kSilenceGateMs = 2048.0;
  // Length of the volume and pan ramps.
  static constexpr std::int32_t kRampMs = 4;
  // Length of the fade that ends the sound before a program change.
  static constexpr std::int32_t kProgramFadeMs = 4;
  // MIDI events that arrive while the instrument cannot take them (the fade,
  // a hand-over, a call that found the lock held) wait, at most these.
  static constexpr std::size_t kHeldMidiCapacity = 1024;
  // After a program applied by the audio thread, its MIDI waits while what
  // the program needs is built elsewhere (a new voice set would end the
  // notes started on the old one), at most this long.
  static constexpr std::int32_t kProgramSettleMs = 100;

  using TMessageSink =
      TMethod<std::intptr_t(TDSPPluginX* sender, std::int32_t code, void* ptr, float a, float b, float c)>;

  TDSPPluginX();
  ~TDSPPluginX() override;

  // ---- set-up (loading thread)
  void InitPlugin(TVstHostCallback host) override;
  // AssignParameterIds, CreatePanels, LayoutPanels, InitParameterInfo,
  // InitPrograms, BuildMidiCCMap, BuildEditorControls, CreatePageButtons.
  virtual void BuildPlugin();
  virtual void AssignParameterIds() {}
  virtual void CreatePanels() {}
  virtual void LayoutPanels() {}
  virtual void CreatePageButtons() {}
  virtual void BuildEditorControls() {}
  // Sizes the descriptors for ParamCount (every parameter from 10 on starts
  // RPN-mapped with number index - 6) and fills the ten base parameters.
  virtual void InitParameterInfo();
  // Controller map (128) and RPN map (3001) from the descriptors' MIDI kinds.
  virtual void BuildMidiCCMap();
  virtual bool AcceptsProgramChange() { return AcceptProgramChange; }
  // Appends a short string to the plug-in's name table.
  virtual void AddName(std::string_view name);

  // ---- channels
  // Also rebuild the channel modules.
  void SetNumInputs(std::int32_t inputs) override;
  void SetNumOutputs(std::int32_t outputs) override;
  // One stereo module per pair of inputs and of outputs, given the settings.
  virtual void CreateIOChannels();
  virtual void FreeIOChannels();
  // The interleaved block of the single stereo output channel, as it is (the
  // layers write it directly); null without exactly one output channel.
  virtual float* GetOutputBuffer();
  std::int32_t OutputChannelCount() const { return static_cast<std::int32_t>(OutputChannels.size()); }
  std::int32_t InputChannelCount() const { return static_cast<std::int32_t>(InputChannels.size()); }

  // ---- engines (dsp_plugin_x_engine.cpp)
  // Plug-in instances can run as engines whose stereo channels feed each
  // other: output channel o of a source into input channel i of a target,
  // scaled by a gain. A connection is recorded on both sides (the target's
  // input record names the source and o, the source's output record names
  // the target and i). A target pulls its sources when it renders an engine
  // block (RenderStep); the host's process path never pulls and never meters.
  //
  // Threads and locks: every operation here takes the process-wide engine
  // graph lock first and then the instance locks of the engines it touches;
  // the host's entries hold at most their own instance lock and never take
  // the graph lock, so no order of calls can deadlock. Connections change on
  // any thread but the audio thread; render steps run on the thread that
  // drives the engines.
  static constexpr std::int32_t kNoSuchConnection = 11000;
  // One exported input connection: channel, pin, kConnectionMarker, engine
  // id, round(gain x 8191), five little-endian 32-bit values.
  static constexpr std::int32_t kConnectionRecordBytes = 20;
  static constexpr std::int32_t kConnectionMarker = 65534;
  static constexpr float kConnectionGainScale = 8191.0f;
  // Overload limits: blocks over budget (net) before OnOverload.
  static constexpr std::int32_t kOverloadLimitAtConstruction = 400;
  static constexpr std::int32_t kOverloadLimit = 100;

  // Connects output channel `output` of this engine to input channel `input`
  // of target with gain (linear; non-finite counts as 1), on both sides; a
  // second connect of the same pair only sets the gain. Answers 0, or
  // kNoSuchConnection (nothing changed) for a null target or a channel that
  // does not exist.
  virtual std::int32_t ConnectOutput(std::int32_t output, TDSPPluginX* target, std::int32_t input, float gain);
  // The same connection seen from the target: input `input` of this engine
  // from output `output` of source.
  virtual std::int32_t ConnectInput(std::int32_t input, TDSPPluginX* source, std::int32_t output, float gain);
  // Remove that connection on both sides: 0, or kNoSuchConnection when it
  // does not exist (nothing changes).
  virtual std::int32_t DisconnectOutput(std::int32_t output, TDSPPluginX* target, std::int32_t input);
  virtual std::int32_t DisconnectInput(std::int32_t input, TDSPPluginX* source, std::int32_t output);
  // The index of that connection in the channel's record, or -1.
  virtual std::int32_t FindInputConnection(std::int32_t input, const TDSPPluginX* source, std::int32_t output);
  virtual std::int32_t FindOutputConnection(std::int32_t output, const TDSPPluginX* target, std::int32_t input);
  // Every input (output, both) connection, on both sides.
  virtual void DisconnectInputs();
  virtual void DisconnectOutputs();
  virtual void DisconnectAll();
  // This side only: drop every input (output, both) record that names
  // engine. The halves of a two-sided disconnect; the other side is the
  // caller's business.
  virtual void DetachInputs(const TDSPPluginX* engine);
  virtual void DetachOutputs(const TDSPPluginX* engine);
  virtual void DetachAll(const TDSPPluginX* engine);
  // Empties the connection records of every channel, this side only.
  virtual void ClearIOChannels();
  // Writes one record per input connection (channel order, then connection
  // order); answers the bytes written.
  virtual std::int64_t ExportConnections(TStream& stream);
  // Reads `count` records and makes them this engine's input connections,
  // replacing the old ones. Every record is checked before anything changes
  // (whole records present, the marker, an input channel of ours, an engine
  // that resolve finds, an output channel of that engine); on a bad one the
  // answer is false with the reason in error and nothing changes.
  using TEngineResolver = std::function<TDSPPluginX*(std::int32_t engineId)>;
  virtual bool ImportConnections(TStream& stream, std::int32_t count, const TEngineResolver& resolve,
                                 std::string& error);
  // Output connections whose target is active.
  virtual std::int32_t CountActiveOutputs();
  // Recounts the active outputs, rebuilds the input sums' sources and the
  // input-pin list, then does the same for every connected engine (each
  // engine once per rebuild, so a cycle ends).
  virtual void RebuildConnections();
  // Whether an input connection comes from an active engine.
  virtual bool HasActiveSource();
  // True while the engine takes part in any connection.
  virtual bool IsEngineMode();
  virtual TDSPPluginX* GetSelfReference() { return this; }
  // The records of a channel (copies; for inspection).
  std::vector<TEngineConnectionRec> InputConnections(std::int32_t input);
  std::vector<TEngineConnectionRec> OutputConnections(std::int32_t output);
  // Identifies the engine in exported connection records; unique in the
  // process unless someone sets it.
  std::int32_t EngineId = NextEngineId();
  // The host's close request: the engine leaves every connection (on both
  // sides) before anything of it is destroyed.
  void Close() override;

  // Engine render steps. RenderStep is what a consumer calls once per block
  // for each connection it pulls: with n active outputs the engine renders on
  // the first of every n calls (RenderStepMeasured) and answers the kept
  // signal flag on the others. RenderStepUnconditional renders at every call:
  // it gathers the inputs (pulling the sources), applies a pending program
  // and, when ready and not muted, renders the voices with the output gain;
  // otherwise the output block is cleared. A call that arrives while the
  // engine is rendering (a connection cycle) answers the kept flag at once:
  // the cycle hears the previous block; during a RenderStep's render it
  // counts as one of the period's calls. Each answers whether the block
  // holds signal.
  virtual bool RenderStep();
  virtual bool RenderStepUnconditional();
  // RenderStepUnconditional between StartCpuMeter and StopCpuMeter, then
  // CheckOverload.
  virtual bool RenderStepMeasured();
  // Input channel 0 (GatherInputs, which ends with GatherSideInputs) and the
  // channels from 1 on: each source's RenderStep, then its output block times
  // the connection's gain summed into the channel's input module. Answers
  // whether any gathered sample is not zero.
  virtual bool GatherInputs();
  virtual bool GatherSideInputs();
  // The (input channel, connection) pairs that NRPN values address, in
  // channel order, then connection order: NRPN number k sets pair k's gain.
  virtual void BuildInputPinList();
  std::int32_t InputPinCount() const { return static_cast<std::int32_t>(InputPinList.size()); }

  // CPU metering of the engine render steps: the time-stamp counter around a
  // block; a block over the budget (ticks per ms x the block's length in ms)
  // raises the overload counter, one within it lowers it (not below 0); past
  // the overload limit OnOverload runs and the counter restarts at 0.
  virtual void StartCpuMeter();
  virtual void StopCpuMeter();
  virtual void CheckOverload();
  // Resets the engine (ResetEngine); allocates nothing.
  virtual void OnOverload();
  using TTimeStampClock = std::uint64_t (*)();
  // The counter read (tests inject their own clock).
  void SetTimeStampClock(TTimeStampClock clock) { TimeStampClock = clock; }
  // Ticks per millisecond; 0 (the start) leaves the meter without a budget
  // until an engine connection measures the counter's rate.
  void SetCpuTicksPerMs(double ticks);
  std::uint64_t GetCpuBudget() const { return CpuBudgetTicks.load(); }
  std::uint64_t GetLastCpuTicks() const { return CpuLastTicks; }
  std::int32_t GetOverloadCount() const { return OverloadCount; }
  std::int32_t GetOverloadLimit() const { return OverloadLimit; }

  // 0, 0 unless the engine is active and its last render step found signal
  // (at its inputs or in its own block); then, under the lock, the mean
  // magnitude of each side of the output module's last block.
  virtual void GetOutputLevels(float& left, float& right);

  // The name table: AllocNameTable empties it and makes room for capacity
  // names; AddName appends; FindRecordByName copies the record whose name
  // (a short string, compared exactly) matches and answers whether one did.
  struct TNameTableRec {
    std::int32_t Index = -1;
    std::string Name;
  };
  virtual void AllocNameTable(std::int32_t capacity);
  virtual bool FindRecordByName(std::string_view name, TNameTableRec& record);

  // ---- MIDI (audio thread, instance lock held)
  void HandleMidi(const TMidiEventRec& e) override;
  virtual void DispatchMidi(const TMidiEventRec& e) { HandleMidi(e); }
  // Replays the deferred MIDI records, newest first, and empties the list.
  virtual void ProcessPendingMidi();
  // Adds a record to the deferred list (any thread). The list holds at most
  // kMidiQueueCapacity records, its room taken at construction; more are
  // dropped and counted with the queue's.
  void DeferMidi(const TMidiEventRec& e);
  // Forgets the deferred records; the instrument also stops its voices.
  virtual void ResetEngine();
  // After a program change: what sounded stops at once (the voices; the
  // instrument also empties its effects' lines) so the new program starts
  // from rest. Here ResetEngine.
  virtual void ResetSound() { ResetEngine(); }
  virtual void NoteOn(const TMidiEventRec& /*e*/) {}
  virtual void NoteOff(const TMidiEventRec& /*e*/) {}
  // Bend amount := bend value (-8192..8191, centre exactly 0) as -1..1 times the range.
  virtual void UpdatePitchBend();
  float GetPitchBendAmount() const { return PitchBendAmount; }

  // ---- render loop (audio thread)
  void Process(float** inputs, float** outputs, std::int32_t sampleFrames) override;
  void ProcessReplacing(float** inputs, float** outputs, std::int32_t sampleFrames) override;
  // Renders one internal block into the output module; the base only looks
  // whether the block holds signal.
  virtual void RenderVoices();
  // Volume and pan gains (with their ramps) over the output module's block.
  virtual void ApplyOutputGain();
  // BlockHasSignal := whether any of the count samples is not zero.
  virtual bool DetectSignal(const float* block, std::int32_t count);
  void UpdateTimeInfo() override;
  // Runs at the end of UpdateTimeInfo when the host answered with its time
  // info (audio thread, lock held); empty in every layer so far.
  virtual void TimeInfoHook() {}
  float GetTempo() const { return Tempo; }
  float GetMsPerTick() const { return MsPerTick; }

  // ---- parameters and programs
  void ParameterChanged(std::int32_t i) override;
  // While the host streams, a change made on another thread that does not
  // hold the instance lock is queued for the audio thread (a full queue is
  // emptied here under the lock); the value itself is stored already. The
  // audio thread, finding the queue full, marks the parameter for its next
  // call instead (the value is stored; only the order among the marked ones
  // is lost).
  bool HandOverParameterChange(std::int32_t i) override;
  // Another thread than the audio thread, not holding the instance lock,
  // while the host streams (its process calls keep coming).
  bool HandsOverToAudioThread() const override;
  // The hand-over of a faded-out program (and of a change that installs
  // while silent): applied under the lock, then the audio thread plays on.
  // Any thread but the audio thread; nothing when nothing is handed over.
  void RunHandOver() override;
  // The audio thread waits, silent, for another thread to apply what it
  // handed over (a hint for any thread).
  bool HandOverWaiting() const { return Parked(); }
  // Process calls that found the instance lock held by another thread (and
  // gave the host silence).
  std::uint64_t BusyProcessCalls() const { return BusyCalls.load(); }
  // Parameter changes made on another thread the audio thread has not yet
  // taken (a hint).
  bool ParameterChangesWaiting() const { return !ParamChanges.Empty() || OverflowWaiting.load(); }
  // Capacity of the queue of parameter changes handed to the audio thread.
  static constexpr std::size_t kParamChangeCapacity = 4096;
  // Makes the program current under the lock; RecallProgram says where and
  // when it is applied. While the instrument sounds, the render loop first
  // fades the old sound out over kProgramFadeMs and then applies it
  // (ProgramFadeDone); otherwise the voices and effects start from rest.
  void SelectProgram(std::int32_t i) override;
  void ApplyProgram() override;
  void ApplyPendingProgram() override;
  // A loaded chunk's or bank's program, scheduled like a selected one.
  void RecallProgram() override;
  // Resumed or processed at least once: programs are applied from then on.
  bool IsLive() const { return Live.load(); }
  // A host thread's program change while the host streams (process calls
  // since the last resume, on another thread) is only marked: the audio
  // thread applies it when its next call begins, so the host thread holds
  // the lock just to mark it and the audio thread never waits while
  // several hundred parameters are applied.
  bool AudioThreadAppliesPrograms() const;
  // The host's call returns once the audio thread applied the program it
  // marked and what that asked to be built is built (on this thread) and
  // swapped in: the state is whole, as after a program applied at once.
  // When the host's process calls stop coming (about two of its blocks
  // pass without one) the program is applied here instead.
  void AfterHostCall() override;
  // Beyond two host blocks, how long a host thread gives the audio thread
  // to begin its next call before it applies the program itself, and its
  // longest wait in any case (seconds).
  static constexpr double kAudioThreadGraceSeconds = 0.005;
  static constexpr double kProgramWaitSeconds = 0.25;
  // Active := mute parameter not 1 (an inactive plug-in processes nothing).
  virtual void UpdateActiveState();
  bool IsActive() const { return Active.load(); }
  bool IsMuted() const { return Mute.load(); }
  // ParameterChanged for parameters 0..9 (baseOnly) or all, inside a batch.
  virtual void ResendParameters(bool baseOnly);
  virtual void ResendParametersExceptState();
  virtual void BeginParamBatch() { ++ParamBatchCount; }
  virtual void EndParamBatch();
  virtual void ParamBatchDone() {}

  // ---- chunks and state: the bank chunk carries the sub-preset block after
  // its programs; the state carries the "dXPx" block after the bank.
  void SaveChunk(TStream& stream, bool isPreset) override;
  bool ParseChunk(TStream& stream, bool isPreset, TChunkImage& image, std::string& error) override;
  void ApplyChunk(const TChunkImage& image) override;
  void SaveState(TStream& stream) override;
  bool ReadState(TStream& stream, TStateImage& image, std::string& error) override;
  void ApplyState(const TStateImage& image) override;

  // ---- sub-presets (sub_preset_groups.cpp)
  // The layers declare their groups while the plug-in is built, before the
  // factory bank is read: AddSubPresetGroup, then AddSubPresetToGroup for
  // each parameter in order. Groups live as long as the plug-in; their
  // sub-preset lists change under the instance lock.
  void AddSubPresetGroup(std::int32_t id, std::string_view name);
  // Nothing when no group has that id.
  void AddSubPresetToGroup(std::int32_t groupId, std::int32_t param);
  // The group with that id, or null. Its sub-presets are read under the lock.
  TSubPresetGroupRec* FindSubPresetGroup(std::int32_t id);
  std::int32_t SubPresetGroupCount() const { return static_cast<std::int32_t>(SubPresetGroups.size()); }
  // Sets the group's parameters to sub-preset index's values (under the
  // lock); nothing for a missing group or index.
  virtual void ApplySubPreset(std::int32_t groupId, std::int32_t index);
  // "Save Sub-Preset Here": asks for a name (AskText), then StoreSubPresetAs;
  // -1 when cancelled or the name is empty.
  virtual std::int32_t StoreSubPreset(std::int32_t groupId);
  // Stores the group's current values under name (trimmed, at most 36
  // characters), over a sub-preset of the same name ignoring case or as a
  // new one; answers its index, -1 for an empty name or a missing group.
  std::int32_t StoreSubPresetAs(std::int32_t groupId, std::string_view name);
  // The "SuBpRe" block of every group / one group's "SpGp" record / one
  // "sPsT" record; each answers the bytes written (0 for a missing group or
  // sub-preset).
  std::int64_t WriteSubPresets(TStream& stream);
  std::int64_t WriteSubPresetGroup(TStream& stream, std::int32_t groupId);
  std::int64_t WriteSubPresetItem(TStream& stream, std::int32_t groupId, std::int32_t index);
  // The "SuBpRe" block: each group record into the group of its id (clear:
  // that group's list is emptied first); records of unknown groups are
  // skipped. False when the block is absent (stream unchanged) or damaged.
  bool ReadSubPresets(TStream& stream, bool clear);
  // A "SpGp" record into group target (-1: the group the record names).
  // checkNames: a record of another group is refused with a message, except
  // between the two sequencer groups. False when nothing was read.
  bool ReadSubPresetGroup(TStream& stream, std::int32_t target, bool clear, bool checkNames);
  // A "sPsT" record into the group; replaceByName: over the sub-preset of the
  // same name; checkGroup: a record of another group is refused with a
  // message. Answers the sub-preset's index, or -1.
  std::int32_t ReadSubPresetItem(TStream& stream, std::int32_t groupId, bool replaceByName, bool checkGroup);
  // The file halves of the menu actions (the editor asks for the file name):
  // ".spf" holds one group record, ".spi" one sub-preset record. Loading a
  // ".spi" applies the sub-preset it stored and answers its index (or -1).
  bool SaveSubPresetBankFile(std::int32_t groupId, const std::string& path);
  bool LoadSubPresetBankFile(std::int32_t groupId, const std::string& path, bool clear);
  // The two halves of LoadSubPresetBankFile, so that a question can come
  // between reading and applying: the file read, parsed and checked for the
  // group (a refusal shows its message; nothing changes), then its
  // sub-presets put into the group (image.GroupId) under the lock.
  bool ReadSubPresetBankFile(std::int32_t groupId, const std::string& path, TSubPresetGroupImage& image);
  void ApplySubPresetBank(const TSubPresetGroupImage& image, bool clear);
  bool SaveSubPresetFile(std::int32_t groupId, std::int32_t index, const std::string& path);
  std::int32_t LoadSubPresetFile(std::int32_t groupId, const std::string& path);

  // ---- display texts
  std::string GetParameterDisplay(std::int32_t index) override;
  // The text of a value for a parameter found by controller number (value
  // 0..127), RPN number (0..16383) or index (real value); "Unknown" when no
  // parameter is found.
  virtual std::string GetParamDisplayText(std::int32_t kind, std::int32_t number, float value);
  virtual bool QueryParamText(std::int32_t kind, std::int32_t number, float value, std::int32_t& param, float& real);
  // The descriptors' formatter; a layer may supply texts of its own first.
  virtual void FormatParamValue(std::int32_t param, std::string& text, float real);

  // ---- editor flow
  // An editor control changed a value (window thread, instance lock not held):
  // stored under the lock (clamped to 0..1); while dragging the host is told
  // the stored value afterwards, outside the lock.
  virtual void OnGuiControlChange(std::int32_t index, float value, bool dragging);
  // The bound control takes the parameter's current value (window thread).
  virtual void UpdateGuiControlNow(std::int32_t /*index*/) {}
  // With a GUI: now, or posted for the window thread (from the audio thread
  // without waiting for the queue's lock: a busy queue gets it when a later
  // call ends).
  virtual void UpdateGuiControl(std::int32_t index, bool now);
  void PostRefresh() override;
  virtual bool HasGui() { return HasGuiFlag; }
  // The pending program is applied here, on the thread that resumes, so
  // that everything it needs is built before the first process call (hosts
  // may resume from their audio thread: resuming is where a plug-in may
  // still allocate).
  void Resume() override;
  void Suspend() override;
  // Before the object is destroyed (the host's close): posted calls are
  // cancelled and a running one awaited while every part of the object is
  // still whole.
  void PrepareForDestruction() override;
  // Editor window hooks: the editor binding opens, closes and idles the window.
  virtual void OpenEditorWindow(void* /*parentWindow*/) {}
  // True when a window was open.
  virtual bool CloseEditorWindow() { return false; }
  virtual void EditorWindowIdle() {}
  // Receives (and owns) the pointer of a posted code 10002.
  virtual void OnPostedData(void* /*data*/) {}
  // Target of the core's posted calls; ignores everything once the object
  // is being destroyed.
  virtual void OnPostedCall(const TPostBackRec& record);
  bool EditGetRect(TVstRect** rect) override;
  bool EditOpen(void* parentWindow) override;
  std::intptr_t EditClose() override;
  void EditIdle() override;
  std::intptr_t Dispatcher(std::int32_t opcode, std::int32_t index, std::intptr_t value, void* ptr, float opt) override;

  // ---- plug-in messages
  virtual std::intptr_t HandlePluginMessage(std::int32_t code, void* ptr, float a, float b, float c);
  // The default sink: acts on 8012 (tells the host the I/O changed, once the
  // lock is released); answers 1.
  virtual std::intptr_t OnSinkMessage(TDSPPluginX* sender, std::int32_t code, void* ptr, float a, float b, float c);
  virtual void NotifyChanged() { SendToSink(kMsgChanged, nullptr, 0, 0, 0); }
  void OnRefreshMessage() override { SendToSink(kMsgRefresh, nullptr, 0, 0, 0); }
  void OnProgramChangedMessage() override { SendToSink(kMsgProgramChanged, nullptr, 0, 0, 0); }

  // ---- host answers
  bool GetEffectName(std::string& name) override;
  bool GetProductString(std::string& text) override;
  bool GetVendorString(std::string& text) override;
  std::int32_t GetVendorVersion() override { return VendorVersion; }
  void SetAudioSettings(TAudioSettingsRec* rec) override;

  // Live plug-in instances in the process.
  static std::int32_t LiveInstanceCount();

  // Answered as both the effect name and the product string.
  std::string EffectName = "Plugin";
  std::string VendorString = "X";
  std::int32_t EditorWidth = 400;
  std::int32_t EditorHeight = 400;
  bool HasGuiFlag = false;
  bool AcceptProgramChange = true;
  std::int32_t ProgramSelectorParam = -1;
  // The real value of the program selector parameter; 0 when there is none.
  float GetSelectorValue() {
    return IsValidParam(ProgramSelectorParam) ? GetParameterReal(ProgramSelectorParam) : 0.0f;
  }
  float PitchBendRange = 2.0f;  // semitones at full bend
  std::int32_t PitchBendParam = -1;
  TMessageSink MessageSink;
  // The plug-in's own state flag, saved in the state's "dXPx" block and
  // restored from it; the core does not act on it.
  std::uint8_t StateFlag = 0;
  std::array<std::int16_t, 128> MidiCCMap{};
  std::vector<std::int16_t> RpnMap;
  std::vector<std::string> NameTable;

 protected:
  std::intptr_t SendToSink(std::int32_t code, void* ptr, float a, float b, float c);
  TPostBackCallback PostedCallTarget() { return TPostBackCallback::Bind<&TDSPPluginX::OnPostedCall>(this); }
  void StartRamp(TGainRamp& ramp, float from, float to);
  // Host entries outside the instance lock: reads the host's time info into
  // the snapshot UpdateTimeInfo uses, and later sends what was deferred.
  void ReadHostTime();
  void FlushHostNotifications();

  // Appends the block's groups to the plug-in's groups (instance lock held).
  void ApplySubPresetBlock(const TSubPresetBlockImage& block, bool clear);
  // The group a parsed "SpGp" record goes into (target -1: the group it
  // names), or null; with checkNames a record of another group is refused
  // with its message, except between the two sequencer groups.
  const TSubPresetGroupRec* SubPresetBankTarget(const TSubPresetGroupImage& image, std::int32_t target,
                                                bool checkNames);
  // A new sub-preset for the group from a read record: one value per group
  // parameter, the parameter's current value where the record has none.
  TSubPresetRec MakeSubPreset(const TSubPresetGroupRec& group, const TSubPresetItemImage& item);

  std::vector<std::unique_ptr<TSubPresetGroupRec>> SubPresetGroups;
  std::vector<TIOChannelRec> InputChannels;
  std::vector<TIOChannelRec> OutputChannels;
  // Engine state (dsp_plugin_x_engine.cpp); guarded by the engine graph lock
  // and the instance lock.
  std::vector<std::pair<std::int32_t, std::int32_t>> InputPinList;
  std::int32_t ActiveOutputCount = 0;
  std::int32_t StepCounter = 0;
  bool StepRunning = false;
  bool KeptSignal = false;
  std::atomic<bool> LastStepSignal{false};
  std::uint32_t RebuildMark = 0;
  TTimeStampClock TimeStampClock = &ReadTimeStampCounter;
  // Written by settings changes (instance lock), read by the meter (graph
  // lock).
  std::atomic<double> CpuTicksPerMs{0.0};
  std::atomic<std::uint64_t> CpuBudgetTicks{0};
  std::uint64_t CpuStartTicks = 0;
  std::uint64_t CpuLastTicks = 0;
  std::int32_t OverloadCount = 0;
  std::int32_t OverloadLimit = kOverloadLimitAtConstruction;

  // Sets the gain of input-pin-list entry `pin` to value / 8191 (NRPN
  // values); false for a pin the list does not hold. Audio thread, instance
  // lock held.
  bool SetInputPinGain(std::int32_t pin, std::int32_t value);
  // The budget from the ticks per ms and the block's length.
  void UpdateCpuBudget();
  std::atomic<bool> Active{true};  // ready for audio
  std::atomic<bool> Mute{false};   // bypass: rings get zeros
  std::atomic<bool> BeingDestroyed{false};
  bool Built = false;
  std::atomic<bool> FirstCallSeen{false};
  std::atomic<bool> Live{false};  // resumed or processed at least once
  // Programs marked for the audio thread, and how many of them it applied
  // (lock held to change either).
  std::atomic<std::uint64_t> ProgramsAsked{0};
  std::atomic<std::uint64_t> ProgramsApplied{0};
  // When the last process call began (steady clock, ns) and how long its
  // block lasts at the rate (ns; set under the lock, which the rate
  // changes under): how long a host thread waits for the next one.
  std::atomic<std::int64_t> LastProcessNs{0};
  std::atomic<std::int64_t> LastBlockNs{0};
  // Lock held: every program marked so far is applied.
  void ProgramsCaughtUp() { ProgramsApplied.store(ProgramsAsked.load()); }
  // Lock held (the audio thread, or another thread while the audio thread
  // is kept out): the parameter changes handed over so far get their
  // ParameterChanged, in the order they were made.
  void ApplyHandedOverParameters();
  // The host's process calls have stopped coming (about two of its blocks
  // and a grace passed without one).
  bool AudioThreadStopped() const;
  bool BlockHasSignal = false;
  std::int32_t SilenceCount = 0;  // internal blocks since the last loud output sample
  // Set by a volume or pan change (any thread), taken by the next process
  // call: a note held while the gate closed at volume 0 sounds again when
  // the volume comes back up, without waiting for the next note.
  std::atomic<bool> GateWake{false};
  std::int32_t ParamBatchCount = 0;
  std::int32_t PitchBendValue = 0;
  float PitchBendAmount = 0.0f;
  // Output gain: volume 1 and pan 0.5 give unity on both sides.
  float Volume = 1.0f;
  float Pan = 0.5f;
  float LeftGain = 1.0f;
  float RightGain = 1.0f;
  TGainRamp VolumeRamp;
  TGainRamp PanRamp;
  // Host time: 120 ticks per quarter note.
  float Tempo = 120.0f;
  float MsPerTick = 60000.0f / 120.0f / 120.0f;
  std::uint8_t TimeSigNumerator = 4;
  std::uint8_t TimeSigDenominator = 4;
  bool TempoValid = false;
  bool SignatureValid = false;
  std::int64_t LastMidiTimeMs = 0;

 private:
  static std::int32_t NextEngineId();
  // Every input (or output) connection, on both sides.
  void DisconnectSide(bool inputs);
  // One input channel gathered (graph and instance locks held).
  bool GatherChannel(std::size_t channel);
  // The pending program of an engine step (instance lock held).
  void ApplyEngineProgram();
  // The rebuild of one engine and, once each, the engines connected to it.
  void RebuildFrom(std::uint32_t mark);

  void Render(float** outputs, std::int32_t sampleFrames, bool replace);
  // Audio thread, lock held: another thread applies programs (the module's
  // worker builds for this call), so the audio thread hands them over.
  // A host that renders ahead of its clock gets them applied by the audio
  // thread.
  bool HandsOverPrograms() const { return CurrentBuildMode() == TBuildMode::Realtime && !HostRendersAhead(); }
  // Audio thread, lock held, the sound faded (reset: its voices end) or
  // silent: a pending program (or a change that installs while silent) is
  // applied now, or handed over (silence until another thread applied it).
  void ApplyOrHandOver(bool reset);
  // Audio thread, lock held: what is waiting goes to another thread.
  bool HandOverWanted();
  void ParkForHandOver();
  // Audio thread: a control's update (index), or the refresh (-1), posted
  // without waiting; false when the queue's lock was busy.
  bool TryPostFromAudioThread(std::int32_t index);
  void PostFromAudioThread(std::int32_t index);
  // Audio thread, at the end of its calls: what found the queue busy.
  void FlushAudioThreadPosts();
  // A parked hand-over that has waited kProgramSettleMs of audio, applied
  // by the audio thread itself (lock held); false when a build runs.
  bool ApplyOverdueHandOver();
  bool Parked() const {
    const int stage = Stage.load();
    return stage == kParked || stage == kApplying;
  }
  // The host's frames from the rings, in pieces no longer than the rings
  // carry: internal blocks rendered (render: lock held) or zero blocks
  // written until the rings hold a block more than the piece, then the
  // piece handed out (zeros when silent). Every call that cannot render
  // (the lock held elsewhere, or left to a hand-over) comes here without
  // the lock: the host gets what was rendered before it, then silence, and
  // the internal blocks keep their place in the host's stream.
  void ServeCall(float** outputs, std::int32_t frames, bool replace, bool render, bool silent);
  void RenderPiece(float** outputs, std::int32_t offset, std::int32_t frames, std::int32_t hostFrames, bool replace,
                   bool render, bool silent);
  void RenderInternalBlock();
  // Each internal block (lock held): true while the instrument stays silent
  // for a change being applied or built.
  bool WaitsForChange();
  // One block of RingBlock frames into the rings (null: zeros).
  void WriteBlockToRings(const float* interleaved);
  void ReleaseQueuedNoteOffs();
  // The program change fade (render loop, lock held): the fading block's
  // output x the falling gain, then at its end the pending program, the
  // reset and the MIDI held meanwhile.
  void FadeProgramChange(float* interleaved);
  void ProgramFadeDone();
  // The audio thread, lock held, a fade begun: the rest of its internal
  // blocks rendered into the rings now (at the end of the call that began
  // it, or between two calls), so that the fade reaches the host whole
  // whatever the calls after it can render, and the program applies
  // (ProgramFadeDone) before the next call.
  void FadeAhead();
  // The audio thread's: inside the render loop of a process call.
  bool Rendering = false;
  bool HoldMidi(const TVstMidiEvent& event) override;
  // Audio thread, lock held, after it applied a program: while the builds
  // it asked for are outstanding the instrument is silent and its MIDI is
  // held (kSettling); once they are in place, or after kProgramSettleMs,
  // the held MIDI is played (at once, where the render loop ends the wait).
  void BeginProgramSettle();
  void ReplayHeldMidi();
  // The audio thread: a stage begins (its blocks counted from 0).
  void EnterStage(int stage);

  // Where the audio thread stands in a program change: running; fading the
  // old sound out; silent until another thread applies what it handed over
  // (parked), or while that thread applies it; silent while what the
  // program it applied itself needs is built (settling). Only the audio
  // thread leaves running, and other threads only take a parked hand-over.
  enum : int { kRunning = 0, kFading, kParked, kApplying, kSettling };
  std::atomic<int> Stage{kRunning};
  std::int32_t StageBlocks = 0;  // the audio thread's: internal blocks in the stage so far
  // The audio thread's posts that found the queue's lock busy (one bit per
  // parameter, and the refresh).
  std::vector<std::uint64_t> GuiPostsWaiting;
  bool RefreshWaiting = false;
  bool AudioPostsWaiting = false;
  TParamChangeQueue ParamChanges{kParamChangeCapacity};
  // Parameters whose change the audio thread could not queue (a full queue):
  // one bit each (OverflowParamCount of them, sized once the parameters are
  // known); their ParameterChanged runs when the queue is emptied.
  std::unique_ptr<std::atomic<std::uint64_t>[]> OverflowBits;
  std::int32_t OverflowParamCount = 0;
  std::atomic<bool> OverflowWaiting{false};
  // The pending program was asked for on another thread while the host
  // streamed (set before the program is marked, cleared before it is taken).
  std::atomic<bool> ProgramFromElsewhere{false};
  std::atomic<std::uint64_t> BusyCalls{0};
  // The audio thread's store of held events, oldest first: their bytes and
  // the frame of the host's stream they came at. Once the instrument takes
  // events again at the start of a call, they play in their order and
  // spacing, each late by the same delay: the time from the first of them
  // to that call, rounded up to whole internal blocks, so that each takes
  // effect at the point of the block grid it had live, that many blocks
  // later. Events that come while any of them waits join them, so that
  // none overtakes another. The delay ends when the store empties.
  struct THeldMidi {
    std::uint8_t Bytes[3];
    std::int64_t Frame;
  };
  std::array<THeldMidi, kHeldMidiCapacity> HeldMidi{};
  std::size_t HeldMidiStart = 0;
  std::size_t HeldMidiCount = 0;
  std::int64_t HeldDelay = -1;  // frames; -1 while the held events wait
  // Frames of every process call so far, silent ones too, and the first
  // frame and length of the current call (the audio thread's).
  std::int64_t HostFrameClock = 0;
  std::int64_t CallStartFrame = 0;
  std::int32_t CallFrames = 0;
  std::int64_t CallStartNs = 0;  // steady clock
  // Where the host's stream stood when a program was asked for on another
  // thread: the time of the ask (steady clock, ns; 0 when none waits), and
  // what the last call that rendered decoded, with the time and frame it
  // started at. The events of that call from the point its clock had
  // reached at the ask are played again with the new program: the host
  // sent them for after the change, only ahead of its clock.
  std::atomic<std::int64_t> ProgramAskedNs{0};
  static constexpr std::size_t kLastCallMidiCapacity = 256;
  std::array<THeldMidi, kLastCallMidiCapacity> LastCallMidi{};
  std::size_t LastCallMidiCount = 0;
  bool LastCallMidiWhole = true;  // false when the record ran out of room
  std::int64_t LastCallStartNs = 0;
  std::int64_t LastCallStartFrame = 0;
  std::int32_t LastCallFrames = 0;
  // Notes the time of an ask (the first one since the audio thread took the last).
  void NoteProgramAsked();
  // The end of a call: what it decoded, for the next one.
  void RecordCallMidi();
  // The start of a call that finds a program asked for: the last call's
  // events from the ask's point on go to the store.
  void HoldEventsAfterAsk();
  // The event's bytes and its frame in the host's stream (of the current call).
  THeldMidi HeldRecord(const TVstMidiEvent& event) const;
  // Appends an event of the current call to the store; false when it is full.
  bool StoreHeldMidi(const TVstMidiEvent& event);
  // A call that cannot render: its events go to the store.
  void HoldCallMidi();
  // The start of a call that renders (lock held): the held events due in
  // it go to its queue, after this call's own events joined them.
  void FeedHeldMidi();
  TVstTimeInfo HostTime{};
  bool HostTimeValid = false;
  std::atomic<bool> IoChangedPending{false};
  std::mutex DeferredMidiLock;  // guards DeferredMidi (any thread adds to it)
  std::vector<TMidiEventRec> DeferredMidi;
  std::vector<TMidiEventRec> DeferredMidiReplay;
};
