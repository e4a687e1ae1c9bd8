// Module base of the signal graph: a named module with named input and
// output pins, connected output to input. A pin reaches its source only
// through the two method pointers it holds (one per-sample, one per-block
// request), so a module never needs to know the class of its source.
//
// The plug-in's channel modules are built on it. A graph is prepared and run
// by one thread at a time; the classes hold no locks.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "framework/base/method.h"
#include "framework/modules/dsp_base_control.h"

class TSPBAse;

// Ask a source to fill Buffer with one block (BufferLength floats) of its
// output pin SourcePin for a voice.
struct TSPBlockRequest {
  float* Buffer = nullptr;
  std::uint16_t SourcePin = 0;
  std::uint16_t Voice = 0;
};

// Ask a source for one sample of its output pin SourcePin for a voice; the
// source sets Value. Index is the sample's position in the block, and Marked
// is set by callers that report a non-zero value back.
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
  TSPBAse* Module = nullptr;      // the module at the other end
  std::uint16_t OtherPin = 0;     // the other end's pin index
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
  bool OnPath = false;
  bool Feedback = false;
  bool Marked = false;
  bool Resolved = false;
  bool ResolvedTarget = false;
  bool Upstream = false;
  std::int16_t PathCount = 0;

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

// Module command codes handled by the base.
inline constexpr std::int32_t kSPCmdDisconnectAll = 4;
inline constexpr std::int32_t kSPCmdSetVoiceCount = 15;
inline constexpr std::int32_t kSPCmdClearVisiting = 18;
inline constexpr std::int32_t kSPCmdResetGraph = 27;

class TSPBAse : public TDSPBaseControl {
 public:
  static constexpr std::int32_t kTypeId = 1090;

  TSPBAse();
  // Removes this module's connections from the modules at their other ends
  // before freeing its pins, so no peer keeps a pointer to a freed module.
  ~TSPBAse() override;

  // Pins.
  // Frees any old pins and creates new ones with their defaults.
  virtual void SetPinCounts(std::uint16_t inputs, std::uint16_t outputs);
  virtual void FreePins();
  virtual void CreatePins();
  virtual std::int32_t CountActiveInputs() const;
  virtual std::int32_t CountActiveOutputs() const;
  virtual void ClearPinFlags();
  TSPPinRec* InputPin(std::int32_t i) const;    // null outside 0..InputCount-1
  TSPPinRec* OutputPin(std::int32_t i) const;   // null outside 0..OutputCount-1

  // Connections.
  // Connects input `input` to output `sourceOutput` of source, replacing the
  // input's previous connection; both ends record it. False (and nothing
  // changed) for an index out of range or a null source.
  virtual bool ConnectInput(std::int32_t input, std::int32_t sourceOutput, TSPBAse* source);
  // Records on output `output` that it feeds input destInput of dest. An
  // output may feed any number of inputs. False for an index out of range.
  virtual bool AddOutputConnection(std::int32_t destInput, std::int32_t output, TSPBAse* dest);
  // Removes the first connection of the input (output) pin to module's pin
  // otherPin on this end only; answers whether one was found.
  virtual bool RemoveConnection(std::int32_t input, std::int32_t otherPin, TSPBAse* module);
  virtual bool RemoveOutputConnection(std::int32_t otherPin, std::int32_t output, TSPBAse* module);
  // Removes every connection of the input pin on both ends.
  virtual void DisconnectInputPin(std::int32_t input);
  virtual void DisconnectOutputPin(std::int32_t output);
  // Every input (output) connection, on both ends.
  virtual void DisconnectInputs();
  virtual void DisconnectOutputs();
  virtual void DisconnectAllPins();

  // Signal requests: the defaults answer silence.
  virtual void GetOutputSample(TSPSampleRequest& request) { request.Value = 0.0f; }
  virtual void GetInputSample(TSPSampleRequest& request) { request.Value = 0.0f; }
  virtual void GetOutputBlock(TSPBlockRequest& request) { ClearBlock(request); }
  virtual void GetInputBlock(TSPBlockRequest& request) { ClearBlock(request); }
  // Per-sample pull: every input's Value := 0, then each input with exactly
  // one connection takes the value its source gives for the caller's voice.
  virtual void PullInputs(TSPSampleRequest& request);
  virtual void GetBlockSourceMethod(TSPBlockMethod& method);
  virtual void GetSampleSourceMethod(TSPSampleMethod& method);
  virtual void GetPullSourceMethod(TSPSampleMethod& method);
  // This module and true when voice <= VoiceCount; a module that forwards a
  // signal answers its own source.
  virtual bool GetRealSource(TSPBAse*& module, std::uint16_t& pin, std::int32_t voice);
  // The module's own block method (set by a subclass; none in the base).
  virtual void GetBlockMethod(TMethod<void()>& method) { method = BlockMethod; }

  virtual void SetVoiceCount(std::uint8_t n);
  virtual void FreeVoiceObjects() {}
  // Module commands; the answer is always 1. arg is the byte argument,
  // settings the record argument.
  virtual std::int32_t HandleCommand(std::int32_t code, std::uint8_t arg = 0, TAudioSettingsRec* settings = nullptr);
  // Command 27: clears all graph state; the module is disabled until it is
  // resolved again.
  virtual void ResetGraphState();
  virtual void LinksHook() {}
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

  // Graph state, prepared by the graph's owner.
  bool SplitLinks = true;
  bool Fusable = false;
  bool FeedbackFound = false;
  bool LinkFeedbackFound = false;
  bool PerVoiceResolved = false;
  bool StopAtVisit = false;
  bool Visiting = false;
  std::int32_t ResolveCount = 0;
  bool ResolveResult = false;
  std::vector<std::vector<TSPVisitRec>> ProcessVisits;  // [output pin][voice]
  std::vector<std::vector<TSPVisitRec>> NumberVisits;   // [output pin][voice]
  std::int32_t ModuleNumber = -1;
  std::int32_t LoopIndex = -1;
  std::uint16_t LinkCount = 0;
  std::vector<TSPProcessEntry> ProcessList;

 protected:
  // Fills the request's buffer with BufferLength zeros.
  void ClearBlock(TSPBlockRequest& request) const;
  // Points the pin's two methods at this module's own defaults.
  void ResetPinMethods(TSPPinRec& pin);
  void DisconnectEverything();

  TMethod<void()> BlockMethod;
};
