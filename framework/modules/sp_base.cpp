#include "framework/modules/sp_base.h"

#include <algorithm>
#include <cstring>

#include "framework/base/constant_buffers.h"

void TSPPinRec::ClearFlags() {
  OnPath = Feedback = Marked = Resolved = ResolvedTarget = Upstream = false;
  PathCount = 0;
}

TSPBAse::TSPBAse() {
  UsesBuffers = true;
  SetAdoptsSettings();  // a module shares its owner's settings record
}

TSPBAse::~TSPBAse() {
  DisconnectEverything();
  // Members free the pins; the base destructor runs last.
}

TSPPinRec* TSPBAse::InputPin(std::int32_t i) const {
  if (i < 0 || i >= InputCount || static_cast<std::size_t>(i) >= InputPins.size()) return nullptr;
  return InputPins[static_cast<std::size_t>(i)].get();
}

TSPPinRec* TSPBAse::OutputPin(std::int32_t i) const {
  if (i < 0 || i >= OutputCount || static_cast<std::size_t>(i) >= OutputPins.size()) return nullptr;
  return OutputPins[static_cast<std::size_t>(i)].get();
}

// Pins.

void TSPBAse::SetPinCounts(std::uint16_t inputs, std::uint16_t outputs) {
  FreePins();
  InputCount = inputs;
  OutputCount = outputs;
  CreatePins();
}

void TSPBAse::FreePins() {
  // Peers must not keep records of pins that are about to go.
  DisconnectEverything();
  InputPins.clear();
  OutputPins.clear();
  InputCount = 0;
  OutputCount = 0;
}

void TSPBAse::ResetPinMethods(TSPPinRec& pin) {
  pin.SampleMethod = TSPSampleMethod::Bind<&TSPBAse::GetInputSample>(this);
  pin.SourceMethod = TSPBlockMethod::Bind<&TSPBAse::GetInputBlock>(this);
}

void TSPBAse::CreatePins() {
  InputPins.clear();
  OutputPins.clear();
  for (std::uint16_t i = 0; i < InputCount; ++i) {
    auto pin = std::make_unique<TSPPinRec>();
    ResetPinMethods(*pin);
    pin->PinShortName = "I";
    pin->IsInput = true;
    pin->RangeMin = -32.0f;
    pin->RangeMax = 32.0f;
    pin->RangeDefault = 0.0f;
    pin->RangeInt = 8;
    pin->RangeStep = 0.1f;
    InputPins.push_back(std::move(pin));
  }
  for (std::uint16_t i = 0; i < OutputCount; ++i) {
    auto pin = std::make_unique<TSPPinRec>();
    ResetPinMethods(*pin);
    pin->PinShortName = "O";
    OutputPins.push_back(std::move(pin));
  }
}

void TSPBAse::SetInputCount(std::uint16_t n) {
  // A count beyond the pin records would let every walk index past them.
  InputCount = static_cast<std::uint16_t>(std::min<std::size_t>(n, InputPins.size()));
}

std::int32_t TSPBAse::CountActiveInputs() const {
  std::int32_t n = 0;
  for (const auto& pin : InputPins) n += pin->Active ? 1 : 0;
  return n;
}

std::int32_t TSPBAse::CountActiveOutputs() const {
  std::int32_t n = 0;
  for (const auto& pin : OutputPins) n += pin->Active ? 1 : 0;
  return n;
}

void TSPBAse::ClearPinFlags() {
  for (auto& pin : InputPins) pin->ClearFlags();
  for (auto& pin : OutputPins) pin->ClearFlags();
}

// Connections.

bool TSPBAse::ConnectInput(std::int32_t input, std::int32_t sourceOutput, TSPBAse* source) {
  TSPPinRec* pin = InputPin(input);
  // Checked before anything changes: a half-made connection would leave the
  // input pulling from a pin its source does not have.
  if (!pin || !source || !source->OutputPin(sourceOutput)) return false;
  DisconnectInputPin(input);  // an input holds at most one connection
  TSPConnectionRec rec;
  rec.Module = source;
  rec.OtherPin = static_cast<std::uint16_t>(sourceOutput);
  rec.SourcePin = rec.OtherPin;
  pin->Connections.push_back(rec);
  pin->IsInput = true;
  source->GetPullSourceMethod(pin->SampleMethod);
  source->GetBlockSourceMethod(pin->SourceMethod);
  return source->AddOutputConnection(input, sourceOutput, this);
}

bool TSPBAse::AddOutputConnection(std::int32_t destInput, std::int32_t output, TSPBAse* dest) {
  TSPPinRec* pin = OutputPin(output);
  if (!pin || !dest) return false;
  TSPConnectionRec rec;
  rec.Module = dest;
  rec.OtherPin = static_cast<std::uint16_t>(destInput);
  rec.SourcePin = static_cast<std::uint16_t>(output);
  pin->Connections.push_back(rec);
  pin->IsInput = false;
  return true;
}

namespace {

bool RemoveFirst(std::vector<TSPConnectionRec>& connections, std::int32_t otherPin, TSPBAse* module) {
  for (auto it = connections.begin(); it != connections.end(); ++it)
    if (it->Module == module && it->OtherPin == otherPin) {
      connections.erase(it);
      return true;
    }
  return false;
}

void DropLinks(std::vector<TSPControllerLink>& links, std::int32_t input, const TSPBAse* module) {
  std::erase_if(links, [&](const TSPControllerLink& link) {
    return link.TargetPin == input && (!module || link.Source == module);
  });
}

}  // namespace

void TSPBAse::DropLinksInto(std::int32_t input, const TSPBAse* module) {
  DropLinks(ControllerLinks, input, module);
  DropLinks(LoopLinks, input, module);
  DropLinks(BlockLinks, input, module);
  LinkCount = static_cast<std::uint16_t>(ControllerLinks.size());
}

bool TSPBAse::RemoveConnection(std::int32_t input, std::int32_t otherPin, TSPBAse* module) {
  TSPPinRec* pin = InputPin(input);
  if (!pin || !RemoveFirst(pin->Connections, otherPin, module)) return false;
  // Links and bound buffers that came through the connection would reach a
  // module that may be freed next.
  DropLinksInto(input, module);
  if (pin->Connections.empty()) {
    // An unconnected input reads this module's own defaults.
    ResetPinMethods(*pin);
    for (std::int32_t v = 0; v < kSPVoiceSlots; ++v) SetVoiceControlInput(ZeroBuffer, input, v);
  }
  return true;
}

bool TSPBAse::RemoveOutputConnection(std::int32_t otherPin, std::int32_t output, TSPBAse* module) {
  TSPPinRec* pin = OutputPin(output);
  if (!pin || !RemoveFirst(pin->Connections, otherPin, module)) return false;
  std::erase_if(OutputLinks, [&](const TSPOutputLink& link) {
    return link.Destination == module && link.Output == output && link.DestinationInput == otherPin;
  });
  return true;
}

void TSPBAse::DisconnectInputPin(std::int32_t input) {
  TSPPinRec* pin = InputPin(input);
  if (!pin) return;
  while (!pin->Connections.empty()) {
    const TSPConnectionRec c = pin->Connections.back();
    c.Module->RemoveOutputConnection(input, c.OtherPin, this);
    RemoveConnection(input, c.OtherPin, c.Module);
  }
}

void TSPBAse::DisconnectOutputPin(std::int32_t output) {
  TSPPinRec* pin = OutputPin(output);
  if (!pin) return;
  while (!pin->Connections.empty()) {
    const TSPConnectionRec c = pin->Connections.back();
    c.Module->RemoveConnection(c.OtherPin, output, this);
    RemoveOutputConnection(c.OtherPin, output, c.Module);
  }
}

void TSPBAse::DisconnectInputs() {
  for (std::int32_t i = 0; i < static_cast<std::int32_t>(InputPins.size()); ++i) DisconnectInputPin(i);
}

void TSPBAse::DisconnectOutputs() {
  for (std::int32_t i = 0; i < static_cast<std::int32_t>(OutputPins.size()); ++i) DisconnectOutputPin(i);
}

void TSPBAse::DisconnectAllPins() {
  DisconnectInputs();
  DisconnectOutputs();
}

void TSPBAse::DisconnectEverything() {
  // Not through the virtuals: subclasses narrow DisconnectAllPins to one
  // side, and in the destructor they are gone already.
  TSPBAse::DisconnectInputs();
  TSPBAse::DisconnectOutputs();
}

void TSPBAse::RemoveOutputsFrom(std::int32_t first) {
  for (std::int32_t p = std::max(first, 0); p < static_cast<std::int32_t>(OutputPins.size()); ++p)
    for (const TSPConnectionRec& c : OutputPins[static_cast<std::size_t>(p)]->Connections) {
      TSPPinRec* input = c.Module->InputPin(c.OtherPin);
      if (!input) continue;
      for (TSPConnectionRec& back : input->Connections)
        if (back.Module == this && back.OtherPin == p + 1) --back.OtherPin;
    }
}

void TSPBAse::RemoveInputsFrom(std::int32_t first) {
  for (std::int32_t i = std::max(first, 0); i < static_cast<std::int32_t>(InputPins.size()); ++i)
    for (const TSPConnectionRec& c : InputPins[static_cast<std::size_t>(i)]->Connections) {
      TSPPinRec* output = c.Module->OutputPin(c.OtherPin);
      if (!output) continue;
      for (TSPConnectionRec& back : output->Connections)
        if (back.Module == this && back.OtherPin == i + 1) --back.OtherPin;
    }
}

bool TSPBAse::HasLiveOutputConnection(std::int32_t output) const {
  const TSPPinRec* pin = OutputPin(output);
  if (!pin || pin->Excluded) return false;
  for (const TSPConnectionRec& c : pin->Connections) {
    const TSPPinRec* input = c.Module->InputPin(c.OtherPin);
    if (c.Module->Enabled && input && !input->Excluded) return true;
  }
  return false;
}

TSPConnectionRec* TSPBAse::WalkableConnection(std::int32_t input) const {
  TSPPinRec* pin = InputPin(input);
  if (!pin || pin->Excluded || pin->Connections.empty()) return nullptr;
  TSPConnectionRec& c = pin->Connections[0];
  const TSPPinRec* output = c.Module->OutputPin(c.OtherPin);
  return output && !output->Excluded ? &c : nullptr;
}

bool TSPBAse::HasLiveInputSource(std::int32_t input) const {
  const TSPConnectionRec* c = WalkableConnection(input);
  return c && c->Module->Enabled;
}

bool TSPBAse::IsInputOnPath(std::int32_t input) const {
  const TSPPinRec* pin = InputPin(input);
  return pin && pin->OnPath;
}

void TSPBAse::ClearInputValue(std::int32_t input) {
  if (TSPPinRec* pin = InputPin(input)) pin->Value = 0.0f;
}

void TSPBAse::ClearDeadInputs() {
  for (std::int32_t i = 0; i < InputCount; ++i)
    if (!HasLiveInputSource(i)) ClearInputValue(i);
}

// Signal requests.

void TSPBAse::ClearBlock(TSPBlockRequest& request) const {
  if (request.Buffer) std::memset(request.Buffer, 0, static_cast<std::size_t>(Settings->BufferBytes));
}

void TSPBAse::PullInputs(TSPSampleRequest& request) {
  for (auto& pin : InputPins) {
    pin->Value = 0.0f;
    if (pin->Connections.size() != 1) continue;
    TSPSampleRequest sub;
    sub.Voice = request.Voice;
    sub.SourcePin = pin->Connections[0].OtherPin;
    sub.Index = request.Index;
    pin->SampleMethod(sub);
    pin->Value = sub.Value;
  }
}

void TSPBAse::GetBlockSourceMethod(TSPBlockMethod& method) {
  method = TSPBlockMethod::Bind<&TSPBAse::GetOutputBlock>(this);
}

void TSPBAse::GetSampleSourceMethod(TSPSampleMethod& method) {
  method = TSPSampleMethod::Bind<&TSPBAse::GetOutputSample>(this);
}

void TSPBAse::GetPullSourceMethod(TSPSampleMethod& method) {
  method = TSPSampleMethod::Bind<&TSPBAse::PullInputs>(this);
}

bool TSPBAse::GetRealSource(TSPBAse*& module, std::uint16_t& /*pin*/, std::int32_t voice) {
  if (voice > VoiceCount) return false;
  module = this;
  return true;
}

bool TSPBAse::GetVoiceModule(TSPBAse*& module, std::uint16_t& /*pin*/, std::int32_t voice) {
  if (voice > VoiceCount) return false;
  module = this;
  return true;
}

bool TSPBAse::ResolveSource(TSPBAse*& module, std::uint16_t& pin, std::int32_t voice) {
  if (pin >= InputCount || voice < 0 || voice >= VoiceCount) return false;
  module = this;
  return true;
}

bool TSPBAse::GetIfEnabled(TSPBAse*& module) {
  if (!Enabled) return false;
  module = this;
  return true;
}

// Voices.

void TSPBAse::SetVoiceCount(std::uint8_t n) {
  FreeVoiceObjects();
  VoiceCount = static_cast<std::uint8_t>(std::min<std::int32_t>(n, kSPVoiceSlots));
}

// Per-block work and value delivery.

void TSPBAse::RunProcessList() {
  for (const TSPProcessEntry& entry : ProcessList)
    if (entry.Method) entry.Method();
}

void TSPBAse::DeliverVoiceOutput(TSPSampleRequest& request, std::int32_t output) {
  // A cycle of value links (possible before the graph is resolved) would
  // otherwise recurse without end.
  if (Delivering) return;
  Delivering = true;
  for (std::size_t k = 0; k < OutputLinks.size(); ++k) {
    const TSPOutputLink link = OutputLinks[k];
    if (link.Output != output) continue;
    TSPSampleRequest value;
    value.Voice = request.Voice;
    value.Value = request.Value;
    value.SourcePin = link.DestinationInput;
    value.Index = request.Index;
    link.Destination->SetInputValue(value);
  }
  Delivering = false;
}

void TSPBAse::PushOutputValue(TSPSampleRequest& request, std::int32_t output) {
  for (std::int32_t v = 0; v < VoiceCount; ++v) {
    request.Voice = static_cast<std::uint16_t>(v);
    DeliverVoiceOutput(request, output);
  }
}

void TSPBAse::SetInputValue(TSPSampleRequest& request) {
  if (TSPPinRec* pin = InputPin(request.SourcePin)) pin->Value = request.Value;
}

void TSPBAse::PushControllerValue(TSPSampleRequest& request) {
  const std::int32_t voice = request.Voice;
  for (const TSPControllerLink& link : ControllerLinks) {
    TSPSampleRequest value;
    value.Voice = request.Voice;
    value.SourcePin = link.SourceOutput;
    value.Index = request.Index;
    if (link.ValueGetter) link.ValueGetter(value);
    if (voice >= kSPVoiceSlots || !link.ValueSetters[static_cast<std::size_t>(voice)]) continue;
    value.SourcePin = link.TargetPin;
    link.ValueSetters[static_cast<std::size_t>(voice)](value);
  }
}

void TSPBAse::BindInputSources() {
  for (std::int32_t i = 0; i < InputCount; ++i) {
    const TSPPinRec* pin = InputPin(i);
    if (!pin || !pin->Resolved || pin->Connections.empty()) continue;
    const TSPConnectionRec& c = pin->Connections[0];
    if (!c.ResolvedModule) continue;
    for (std::int32_t v = 0; v < VoiceCount; ++v) {
      const float* buffer = nullptr;
      if (c.ResolvedModule->GetVoiceOutputBuffer(buffer, c.ResolvedPin, v)) SetVoiceControlInput(buffer, i, v);
    }
  }
}

// Controller links.

void TSPBAse::ClearControllerLinks() {
  ControllerLinks.clear();
  LinkCount = 0;
}

void TSPBAse::ClearOutputLinks() { OutputLinks.clear(); }

void TSPBAse::RebuildOutputLinks() {
  ClearOutputLinks();
  for (std::int32_t o = 0; o < OutputCount; ++o) {
    const TSPPinRec* pin = OutputPin(o);
    if (!pin || pin->Excluded) continue;
    for (const TSPConnectionRec& c : pin->Connections) {
      const TSPPinRec* input = c.Module->InputPin(c.OtherPin);
      if (!c.Module->Enabled || !input || input->Excluded || c.Module->IsInputOnPath(c.OtherPin)) continue;
      OutputLinks.push_back({c.Module, static_cast<std::uint16_t>(o), c.OtherPin});
    }
  }
}

bool TSPBAse::BuildControllerLinks(bool flag) {
  if (Visiting) return true;
  if (Bypassed) {
    Enabled = false;
    return false;
  }
  Enabled = true;
  if (ResolveCount != 0) return ResolveResult;
  ClearControllerLinks();
  for (auto& pin : InputPins) {
    pin->OnPath = false;
    ResetPinMethods(*pin);
  }
  ++ResolveCount;
  bool result = false;
  for (std::int32_t i = 0; i < InputCount; ++i) {
    TSPConnectionRec* walkable = WalkableConnection(i);
    if (!walkable) continue;
    TSPConnectionRec& c = *walkable;
    TSPPinRec* pin = InputPin(i);
    TSPBAse* module = c.Module;
    std::uint16_t resolvedPin = c.OtherPin;
    if (!c.Module->GetVoiceModule(module, resolvedPin, VoiceCount)) continue;
    Visiting = true;
    if (module->BuildControllerLinks(flag)) {
      result = true;
      TSPControllerLink link;
      link.Source = c.Module;
      c.Module->GetPullSourceMethod(link.ValueGetter);
      c.Module->GetBlockSourceMethod(link.BlockSource);
      link.TargetPin = static_cast<std::uint16_t>(i);
      link.SourceOutput = c.OtherPin;
      link.ResolvedOutput = resolvedPin;
      ControllerLinks.push_back(link);
      c.SourcePin = resolvedPin;
      pin->OnPath = true;
    }
    Visiting = false;
  }
  LinkCount = static_cast<std::uint16_t>(ControllerLinks.size());
  ResolveResult = result;
  return result;
}

void TSPBAse::SplitControllerLinks() {
  LoopLinks.clear();
  BlockLinks.clear();
  for (const TSPControllerLink& link : ControllerLinks) {
    if (!SplitLinks && (link.Marked || link.Feedback)) LoopLinks.push_back(link);
    else BlockLinks.push_back(link);
  }
}

void TSPBAse::CheckLinkFeedback() {
  Visiting = false;
  DetectLinkFeedback(0, 0, nullptr);
}

bool TSPBAse::DetectLinkFeedback(std::int32_t pin, std::int32_t sourceOutput, TSPBAse* module) {
  if (Visiting) {
    LinkFeedbackFound = true;
    if (module) module->UpdateLinkTargets(pin, sourceOutput, this);
    return true;
  }
  // Whether this module closes a loop is decided by this walk alone.
  const bool foundBefore = LinkFeedbackFound;
  LinkFeedbackFound = false;
  bool result = false;
  for (std::size_t k = ControllerLinks.size(); k-- > 0;) {
    TSPBAse* source = nullptr;
    if (!ControllerLinks[k].Source || !ControllerLinks[k].Source->GetIfEnabled(source)) continue;
    const bool closedBefore = LinkFeedbackFound;
    Visiting = true;
    const bool onLoop = source->DetectLinkFeedback(ControllerLinks[k].TargetPin, ControllerLinks[k].SourceOutput, this);
    Visiting = false;
    if (onLoop || (!closedBefore && LinkFeedbackFound)) ControllerLinks[k].Feedback = true;
    result |= onLoop;
  }
  const bool closedHere = LinkFeedbackFound;
  LinkFeedbackFound = foundBefore || closedHere;
  return closedHere ? false : result;
}

// Commands.

std::int32_t TSPBAse::HandleCommand(std::int32_t code, std::uint8_t arg, TAudioSettingsRec* /*settings*/) {
  switch (code) {
    case kSPCmdDisconnectAll:
      DisconnectAllPins();
      break;
    case kSPCmdSetVoiceCount:
      SetVoiceCount(arg);
      break;
    case kSPCmdClearVisiting:
      Visiting = false;
      break;
    case kSPCmdRebuildOutputLinks:
      RebuildOutputLinks();
      break;
    case kSPCmdBuildControllerLinks:
      BuildControllerLinks(false);
      break;
    case kSPCmdProcessVoices:
      ProcessVoices();
      break;
    case kSPCmdAcceptsInput:
      AcceptsInput(0);
      break;
    case kSPCmdClearDeadInputs:
      ClearDeadInputs();
      break;
    case kSPCmdResetGraph:
      ResetGraphState();
      break;
    case kSPCmdResetVoiceCounters:
      ResetVoiceCounters();
      break;
    case kSPCmdSplitLinks:
      SplitControllerLinks();
      break;
    case kSPCmdSetSplitLinks:
      SplitLinks = arg != 0;
      break;
    case kSPCmdSetOption:
      OptionByte = arg;
      break;
    case kSPCmdPrepare:
      PrepareGraph();
      break;
    default:
      break;
  }
  return 1;
}

void TSPBAse::ResetGraphState() {
  PerVoiceResolved = false;
  StopAtVisit = false;
  FeedbackFound = false;
  LinkFeedbackFound = false;
  Visiting = false;
  // A module the next resolve does not reach must not count as on a loop.
  InLoop = false;
  ResolveCount = 0;
  ResolveResult = false;
  ProcessVisits.clear();
  NumberVisits.clear();
  ModuleNumber = -1;
  LoopIndex = -1;
  LinksHook();
  ClearPinFlags();
  ProcessList.clear();
  Enabled = false;
  ClearControllerLinks();
  LoopLinks.clear();
  BlockLinks.clear();
}

void TSPBAse::PrepareGraph() {
  BindInputSources();
  PrepareProcessing();
  ResolveCount = 0;
  Visiting = false;
  ResolveResult = false;
  // One row per output pin (at least one, so a sink without outputs can be
  // walked from), one record per voice.
  const std::size_t rows = std::max<std::size_t>(OutputPins.size(), 1);
  ProcessVisits.assign(rows, std::vector<TSPVisitRec>(VoiceCount));
  NumberVisits.assign(rows, std::vector<TSPVisitRec>(VoiceCount));
  if (FeedbackFound) {
    std::int32_t depth = 0;
    MarkFeedbackPath(this, 0, depth);
  }
  Visiting = false;
}

TSPVisitRec* TSPBAse::VisitRecord(std::vector<std::vector<TSPVisitRec>>& table, std::int32_t pin, std::int32_t voice) {
  if (pin < 0 || static_cast<std::size_t>(pin) >= table.size()) return nullptr;
  auto& row = table[static_cast<std::size_t>(pin)];
  if (voice < 0 || static_cast<std::size_t>(voice) >= row.size()) return nullptr;
  return &row[static_cast<std::size_t>(voice)];
}

void TSPBAse::AssignNames(const TSPBAse& other) {
  Caption = other.Caption;
  ShortName = other.ShortName;
  Description = other.Description;
}
