// Module base of the signal graph: a named module with named input and
// output pins, connected output to input, with controller links (single
// values per voice carried from module to module), voice slots and module
// commands. A pin reaches its source only through the two method pointers it
// holds (one per-sample, one per-block request), so a module never needs to
// know the class of its source.
//
// The plug-in's channel modules are built on it; modular designs build
// graphs of signal processors (signal_processor.h) and break feedback loops
// with one-sample delays (one_sample_delay.h).
//
// Preparing a graph, in order: command 27 on every module; ResolveConnections
// from the graph's sink; command 34 on every module; NumberModules on the
// sink. Then ProcessVoices on the modules outside loops (sources first) and
// RunProcessList on the sink run one block. Process lists, loop member lists
// and the buffers bound by command 34 stay valid until a module of the graph
// changes its voices, settings or connections; the graph is then prepared
// again.
//
// A graph is prepared and run by one thread at a time; the classes hold no
// locks.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "framework/base/method.h"
#include "framework/modules/dsp_base_control.h"

class TDSPControl;
class TSPBAse;
class TStream;

// Voices 0..10: every per-voice table of the graph has this many slots.
inline constexpr std::int32_t kSPVoiceSlots = 11;

// Ask a source to fill Buffer with one block (BufferLength floats) of its
// output pin SourcePin for a voice. Handed to a link's block setter, SourcePin
// names the target input.
struct TSPBlockRequest {
  float* Buffer = nullptr;
  std::uint16_t SourcePin = 0;
  std::uint16_t Voice = 0;
};

// Ask a source for one sample of its output pin SourcePin for a voice; the
// source sets Value. Handed to a value setter or SetInputValue, SourcePin
// names the target input. Index is the sample's position in the block, and
// Marked is set by callers that report a non-zero value back.
struct TSPSampleRequest {
  std::uint16_t Voice = 0;
  float Value = 0.0f;
  std::uint16_t SourcePin = 0;
  std::int32_t Index = 0;
  bool Marked = false;
};

using TSPBlockMethod = TMethod<void(TSPBlockRequest&)>;
using TSPSampleMethod = TMethod<void(TSPSampleRequest&)>;

// One end of a connection; every connection is recorded on both ends.
struct TSPConnectionRec {
  TSPBAse* Module = nullptr;   // the module at the other end
  std::uint16_t OtherPin = 0;  // the other end's pin index
  std::uint16_t SourcePin = 0;
  TSPBAse* ResolvedModule = nullptr;  // the module that really produces the signal
  std::uint16_t ResolvedPin = 0;
};

struct TSPPinRec {
  TSPSampleMethod SampleMethod;  // per-sample request to the source (own default when unconnected)
  TSPBlockMethod SourceMethod;   // per-block request to the source (own default when unconnected)
  std::string PinName;
  std::string PinShortName;
  std::vector<TSPConnectionRec> Connections;
  float Value = 0.0f;
  bool Excluded = false;
  std::string PinDescription;
  bool IsInput = false;
  bool Active = true;
  // Value range offered for an input (inputs only).
  float RangeMin = 0.0f;
  float RangeMax = 0.0f;
  float RangeDefault = 0.0f;
  std::int32_t RangeInt = 0;
  float RangeStep = 0.0f;
  // Walk flags of the graph preparation.
  bool OnPath = false;    // the connection lies on a feedback loop
  bool Feedback = false;  // the connection closes a loop
  bool Marked = false;    // followed by BuildProcessList
  bool Resolved = false;
  bool ResolvedTarget = false;
  bool Upstream = false;
  std::int16_t PathCount = 0;  // outputs: loop paths leaving the pin

  std::uint16_t ConnectionCount() const { return static_cast<std::uint16_t>(Connections.size()); }
  void ClearFlags();
};

// Memo record of the list-building walks, one per output pin and voice.
struct TSPVisitRec {
  bool Busy = false;
  std::int32_t Count = 0;
  bool Result = false;
};

// One call of a process list: a module's runner.
struct TSPProcessEntry {
  TMethod<void()> Method;
  TSPBAse* Module = nullptr;
  bool Done = false;
  bool Fused = false;
};

// A value link into a module: the source's getter is read and the value
// handed to the setter of the voice (per value, per block or per sample).
// The setters are filled by the design that builds the graph.
struct TSPControllerLink {
  TSPBAse* Source = nullptr;
  TSPSampleMethod ValueGetter;  // the source's per-sample pull
  TSPBlockMethod BlockSource;   // the source's block pull
  std::uint16_t TargetPin = 0;
  std::uint16_t SourceOutput = 0;
  std::uint16_t ResolvedOutput = 0;
  std::array<TSPSampleMethod, kSPVoiceSlots> ValueSetters{};
  std::array<TSPBlockMethod, kSPVoiceSlots> BlockSetters{};
  std::array<TSPSampleMethod, kSPVoiceSlots> SampleSetters{};
  bool Marked = false;
  bool Feedback = false;
};

// A value link from one of this module's outputs.
struct TSPOutputLink {
  TSPBAse* Destination = nullptr;
  std::uint16_t Output = 0;
  std::uint16_t DestinationInput = 0;
};

// The design's per-voice state: the last MIDI status byte and a flag byte.
struct TSPVoiceStateRec {
  std::uint8_t LastStatus = 0;
  std::uint8_t Flag = 0;
};
using TSPVoiceStateTable = std::array<TSPVoiceStateRec, kSPVoiceSlots>;

// A design's property list for one module, in the module's own order.
using TSPPropertyList = std::vector<double>;

// Module command codes.
inline constexpr std::int32_t kSPCmdDisconnectAll = 4;
inline constexpr std::int32_t kSPCmdSetSettings = 11;
inline constexpr std::int32_t kSPCmdTakeVoiceStates = 13;
inline constexpr std::int32_t kSPCmdConnectionHook = 14;
inline constexpr std::int32_t kSPCmdSetVoiceCount = 15;
inline constexpr std::int32_t kSPCmdClearVisiting = 18;
inline constexpr std::int32_t kSPCmdRebuildOutputLinks = 19;
inline constexpr std::int32_t kSPCmdBuildControllerLinks = 20;
inline constexpr std::int32_t kSPCmdProcessVoices = 24;
inline constexpr std::int32_t kSPCmdAcceptsInput = 25;
inline constexpr std::int32_t kSPCmdClearDeadInputs = 26;
inline constexpr std::int32_t kSPCmdResetGraph = 27;
inline constexpr std::int32_t kSPCmdResetVoiceCounters = 30;
inline constexpr std::int32_t kSPCmdSplitLinks = 31;
inline constexpr std::int32_t kSPCmdSetSplitLinks = 32;
inline constexpr std::int32_t kSPCmdSetOption = 33;
inline constexpr std::int32_t kSPCmdPrepare = 34;

// ModuleNumber at or above this never chooses a loop.
inline constexpr std::int32_t kSPUnnumbered = 100000000;

class TSPBAse : public TDSPBaseControl {
 public:
  static constexpr std::int32_t kTypeId = 1090;

  TSPBAse();
  // Removes this module's connections and the links through them from the
  // modules at their other ends before freeing its pins, so no peer keeps a
  // pointer to a freed module.
  ~TSPBAse() override;

  // Pins.
  // Frees any old pins and creates new ones with their defaults.
  virtual void SetPinCounts(std::uint16_t inputs, std::uint16_t outputs);
  virtual void FreePins();
  virtual void CreatePins();
  // Hooks of a module class that adds pins of its own; the graph itself never
  // calls them and the base does nothing.
  virtual void PinsHook() {}
  virtual void PinsChangedHook() {}
  virtual void PinsCreatedHook() {}
  // Stores InputCount, at most the number of input pins that exist.
  virtual void SetInputCount(std::uint16_t n);
  virtual std::int32_t CountActiveInputs() const;
  virtual std::int32_t CountActiveOutputs() const;
  virtual void ClearPinFlags();
  // -1 without input pins, else 0.
  virtual std::int32_t LastInputIndex() const { return InputCount == 0 ? -1 : 0; }
  TSPPinRec* InputPin(std::int32_t i) const;   // null outside 0..InputCount-1
  TSPPinRec* OutputPin(std::int32_t i) const;  // null outside 0..OutputCount-1

  // Connections.
  // Connects input `input` to output `sourceOutput` of source, replacing the
  // input's previous connection; both ends record it. False (and nothing
  // changed) for an index out of range or a null source.
  virtual bool ConnectInput(std::int32_t input, std::int32_t sourceOutput, TSPBAse* source);
  // Records on output `output` that it feeds input destInput of dest. An
  // output may feed any number of inputs. False for an index out of range.
  virtual bool AddOutputConnection(std::int32_t destInput, std::int32_t output, TSPBAse* dest);
  // Removes the first connection of the input (output) pin to module's pin
  // otherPin on this end only, with the links that came through it; answers
  // whether one was found.
  virtual bool RemoveConnection(std::int32_t input, std::int32_t otherPin, TSPBAse* module);
  virtual bool RemoveOutputConnection(std::int32_t otherPin, std::int32_t output, TSPBAse* module);
  // Removes every connection of the input pin on both ends.
  virtual void DisconnectInputPin(std::int32_t input);
  virtual void DisconnectOutputPin(std::int32_t output);
  // Every input (output) connection, on both ends.
  virtual void DisconnectInputs();
  virtual void DisconnectOutputs();
  virtual void DisconnectAllPins();
  // Renumbering after the pin below index `first` was removed (its
  // connections first, then its record): the pins from `first` on moved
  // down by one, and the records at the other ends of their connections
  // now name them one lower too.
  virtual void RemoveOutputsFrom(std::int32_t first);
  virtual void RemoveInputsFrom(std::int32_t first);
  virtual void ConnectionHook() {}
  // The output pin is not Excluded and feeds an Enabled module through an
  // input that is not Excluded.
  virtual bool HasLiveOutputConnection(std::int32_t output) const;
  // The input is not Excluded and its first connection comes from an
  // Enabled module through an output that is not Excluded.
  virtual bool HasLiveInputSource(std::int32_t input) const;
  virtual bool IsInputOnPath(std::int32_t input) const;
  virtual void ClearInputValue(std::int32_t input);
  // ClearInputValue for every input without a live source.
  virtual void ClearDeadInputs();
  // Whether the module takes values at input `input`; none in the base.
  virtual bool AcceptsInput(std::int32_t /*input*/) { return false; }

  // Signal requests: the defaults answer silence.
  virtual void GetOutputSample(TSPSampleRequest& request) { request.Value = 0.0f; }
  virtual void GetInputSample(TSPSampleRequest& request) { request.Value = 0.0f; }
  virtual void GetOutputBlock(TSPBlockRequest& request) { ClearBlock(request); }
  virtual void GetOutputBlock2(TSPBlockRequest& request) { ClearBlock(request); }
  virtual void GetInputBlock(TSPBlockRequest& request) { ClearBlock(request); }
  // Per-sample pull: every input's Value := 0, then each input with exactly
  // one connection takes the value its source gives for the caller's voice.
  virtual void PullInputs(TSPSampleRequest& request);
  // A per-block hook of a module class; nothing in the base.
  virtual void ProcessHook() {}
  virtual void GetBlockSourceMethod(TSPBlockMethod& method);
  virtual void GetSampleSourceMethod(TSPSampleMethod& method);
  virtual void GetPullSourceMethod(TSPSampleMethod& method);
  // This module and true when voice <= VoiceCount (voice is the asking
  // module's voice count); a module that forwards a signal answers its own
  // source.
  virtual bool GetRealSource(TSPBAse*& module, std::uint16_t& pin, std::int32_t voice);
  virtual bool GetVoiceModule(TSPBAse*& module, std::uint16_t& pin, std::int32_t voice);
  // This module when pin < InputCount and voice < VoiceCount.
  virtual bool ResolveSource(TSPBAse*& module, std::uint16_t& pin, std::int32_t voice);
  virtual bool GetIfEnabled(TSPBAse*& module);
  // A second slot with the same answer, for a class that overrides only one.
  virtual bool GetIfEnabled2(TSPBAse*& module) { return TSPBAse::GetIfEnabled(module); }
  virtual TSPBAse* SelfReference() { return this; }
  // Extra per-voice data of a module class; 0 (none) in the base.
  virtual std::int32_t GetVoiceExtra() { return 0; }
  virtual bool GetSelf(TSPBAse*& module) {
    module = this;
    return true;
  }
  // The module's own block or sample method (set by a subclass).
  virtual void GetBlockMethod(TMethod<void()>& method) { method = BlockMethod; }
  virtual void GetSampleMethod(TMethod<void()>& method) { method = SampleMethod; }
  // The runner of a voice's component; false without one.
  virtual bool GetVoiceBlockMethod(TMethod<void()>& /*method*/, std::int32_t /*voice*/) { return false; }
  virtual bool GetVoiceSampleMethod(TMethod<void()>& /*method*/, std::int32_t /*voice*/) { return false; }
  // The buffer a voice's component writes its output to; false without one.
  virtual bool GetVoiceOutputBuffer(const float*& /*buffer*/, std::int32_t /*output*/, std::int32_t /*voice*/) {
    return false;
  }
  // Points input `index` of a voice's component at buffer.
  virtual void SetVoiceControlInput(const float* /*buffer*/, std::int32_t /*index*/, std::int32_t /*voice*/) {}

  // Voices. SetVoiceCount clamps to the kSPVoiceSlots slots.
  virtual void SetVoiceCount(std::uint8_t n);
  virtual void FreeVoiceObjects() {}
  virtual void CreateVoiceObjects(std::int32_t /*voice*/) {}
  virtual void ResetVoices() {}
  virtual void ConfigureVoices() {}
  virtual void ResetVoiceCounters() {}
  virtual bool FirstVoiceSingleConsumer() { return false; }
  virtual bool NoVoiceShared() { return false; }
  virtual bool FirstVoiceShared() { return false; }
  virtual bool AnyVoiceShared() { return false; }
  virtual bool OnlyFirstVoiceInUse() { return false; }

  // Per-block work and value delivery.
  virtual void ProcessVoices() {}
  // Calls the method of every ProcessList entry, in list order.
  virtual void RunProcessList();
  // SetInputValue on the destination of every output link leaving output,
  // with the request's voice and value.
  virtual void DeliverVoiceOutput(TSPSampleRequest& request, std::int32_t output);
  // The same for every voice 0 .. VoiceCount-1.
  virtual void PushOutputValue(TSPSampleRequest& request, std::int32_t output);
  // Value of input request.SourcePin := request.Value.
  virtual void SetInputValue(TSPSampleRequest& request);
  // For each controller link: its getter, then its value setter for the
  // request's voice.
  virtual void PushControllerValue(TSPSampleRequest& request);
  // Points each voice component's inputs at the output buffers of the
  // modules that resolve them.
  virtual void BindInputSources();
  virtual void PrepareProcessing() {}

  // Controller links.
  virtual void ClearControllerLinks();
  virtual void ClearOutputLinks();
  virtual void RebuildOutputLinks();
  // Turns the connections that lie on a loop into controller links.
  virtual bool BuildControllerLinks(bool flag);
  // Splits ControllerLinks into LoopLinks (evaluated every sample) and
  // BlockLinks (once per block).
  virtual void SplitControllerLinks();
  virtual void LinksHook() {}
  virtual void CheckLinkFeedback();
  virtual bool DetectLinkFeedback(std::int32_t pin, std::int32_t sourceOutput, TSPBAse* module);
  virtual void UpdateLinkTargets(std::int32_t /*pin*/, std::int32_t /*sourceOutput*/, TSPBAse* /*module*/) {}
  // The block method a re-wired loop link reads; leaves the buffer as is.
  virtual void GraphHook(TSPBlockRequest& /*request*/) {}

  // Loop walks.
  // Upstream depth-first walk: resolves every input to the module that
  // really produces it and marks the modules and pins on a cycle (InLoop,
  // OnPath, FeedbackFound). Each module is walked once per reset.
  virtual bool ResolveConnections(std::int32_t pin, bool flag);
  // Marks the inputs on the paths that lead back to target.
  virtual bool MarkFeedbackPath(TSPBAse* target, std::int32_t pin, std::int32_t& depth);
  virtual void MarkUpstreamTo(TSPBAse* module, std::int32_t pin);
  // Whether a downstream walk from this module returns to a module on its
  // own path (Bypassed modules are not walked).
  virtual bool DetectFeedback();
  virtual void CheckConnections();
  virtual bool WalkConnections(std::int32_t pin, std::int32_t sourceOutput, TSPBAse* module);
  virtual void MarkFeedbackInput(std::int32_t /*input*/) {}
  // True when this is the module or a Marked input leads to it.
  virtual bool ReachesModule(TSPBAse* module);
  // Numbers the loop modules upstream of this one into ProcessList and
  // builds the loop of every one-sample delay among them.
  virtual void NumberModules();
  virtual bool BuildNumberedList(TSPBAse* start, std::int32_t pin, std::int32_t& counter,
                                 std::vector<TSPProcessEntry>& list, std::int32_t voice);
  // Lists the modules of the loop through target in the order one sample
  // must be computed, target first.
  virtual bool BuildProcessList(TSPBAse* target, std::int32_t pin, std::vector<TSPProcessEntry>& list,
                                std::int32_t voice);
  virtual void FuseChain(std::vector<TSPProcessEntry>& /*list*/, std::int32_t /*voice*/, bool /*final*/) {}

  // Module commands; the answer is always 1. arg is the byte argument,
  // settings the record argument.
  virtual std::int32_t HandleCommand(std::int32_t code, std::uint8_t arg = 0, TAudioSettingsRec* settings = nullptr);
  // Command 27: clears all graph state; the module is disabled until it is
  // resolved again.
  virtual void ResetGraphState();
  // Command 34: binds the inputs, prepares processing, makes the visit
  // tables and marks the feedback paths.
  virtual void PrepareGraph();

  // Settings and names.
  virtual void ReadSettings(const TSPPropertyList& /*properties*/) {}
  // version: the stream format's version text, e.g. "1.63".
  virtual void LoadFromStream(TStream& /*stream*/, const std::string& /*version*/) {}
  virtual void SaveToStream(TStream& /*stream*/) {}
  virtual void AssignNames(const TSPBAse& other);

  std::int32_t ModuleTypeId = kTypeId;
  bool Enabled = true;
  std::string Description;
  std::string Caption;
  std::string ShortName;
  std::uint16_t InputCount = 0;
  std::uint16_t OutputCount = 0;
  std::vector<std::unique_ptr<TSPPinRec>> InputPins;
  std::vector<std::unique_ptr<TSPPinRec>> OutputPins;
  std::uint8_t VoiceCount = 0;
  bool VoicesEnabled = true;
  // Outputs of a module whose voices are disabled (BufferLength floats).
  std::unique_ptr<float[]> PlainOutputs[2];

  // Graph state, prepared by the graph's owner.
  bool SplitLinks = true;
  bool Fusable = false;
  bool FeedbackFound = false;
  bool LinkFeedbackFound = false;
  bool InLoop = false;
  bool PerVoiceResolved = false;
  bool StopAtVisit = false;
  bool Visiting = false;
  bool Bypassed = false;
  std::int32_t ResolveCount = 0;
  bool ResolveResult = false;
  std::vector<std::vector<TSPVisitRec>> ProcessVisits;  // [output pin][voice]
  std::vector<std::vector<TSPVisitRec>> NumberVisits;   // [output pin][voice]
  std::int32_t ModuleNumber = -1;
  std::int32_t LoopIndex = -1;
  std::vector<TSPControllerLink> ControllerLinks;
  std::uint16_t LinkCount = 0;
  std::vector<TSPControllerLink> LoopLinks;
  std::vector<TSPControllerLink> BlockLinks;
  std::vector<TSPOutputLink> OutputLinks;
  // The voice component last run by the per-sample pull.
  TDSPControl* CurrentControl = nullptr;
  bool VoiceIndexing = false;
  // The design's per-voice states (command 13); null when it has none.
  const TSPVoiceStateTable* VoiceStates = nullptr;
  // What the design offers command 13; set by the graph's owner.
  const TSPVoiceStateTable* DesignVoiceStates = nullptr;
  std::uint8_t OptionByte = 0;  // command 33
  // The ShortName of the module that closed the loop found by the last
  // CheckConnections from this module (empty when none). Per module: two
  // graphs walked at once never share it.
  std::string LoopModuleName;
  std::vector<TSPProcessEntry> ProcessList;

  std::uint16_t OutputLinkCount() const { return static_cast<std::uint16_t>(OutputLinks.size()); }

 protected:
  // Fills the request's buffer with BufferLength zeros.
  void ClearBlock(TSPBlockRequest& request) const;
  // Points the pin's two methods at this module's own defaults.
  void ResetPinMethods(TSPPinRec& pin);
  void DisconnectEverything();
  // Drops the controller links that came in through input `input` from
  // module (every module when null).
  void DropLinksInto(std::int32_t input, const TSPBAse* module);
  // The first connection of input `input` when neither the input nor the
  // source's output pin is Excluded: the connection the resolve walks follow.
  TSPConnectionRec* WalkableConnection(std::int32_t input) const;
  // The module's visit record of a walk, or null for a pin or voice out of
  // range (the tables hold VoiceCount records per output pin).
  TSPVisitRec* VisitRecord(std::vector<std::vector<TSPVisitRec>>& table, std::int32_t pin, std::int32_t voice);
  // Removes later duplicates of a module from list (the first entry stays).
  static void RemoveDuplicateModules(std::vector<TSPProcessEntry>& list);
  // Builds the loop of every one-sample delay in list.
  void BuildLoops(std::vector<TSPProcessEntry>& list, std::int32_t voice);

  TMethod<void()> BlockMethod;
  TMethod<void()> SampleMethod;

 private:
  bool FindDownstreamLoop(std::vector<const TSPBAse*>& path, std::vector<const TSPBAse*>& done);
  bool Reaches(TSPBAse* module, std::vector<const TSPBAse*>& seen);
  bool Delivering = false;  // guards DeliverVoiceOutput against link cycles
};
