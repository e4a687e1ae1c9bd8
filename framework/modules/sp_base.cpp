#include "framework/modules/sp_base.h"

#include <cstring>

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
}  // namespace

bool TSPBAse::RemoveConnection(std::int32_t input, std::int32_t otherPin, TSPBAse* module) {
  TSPPinRec* pin = InputPin(input);
  if (!pin || !RemoveFirst(pin->Connections, otherPin, module)) return false;
  // An unconnected input reads this module's own defaults, never a source
  // that may since have been freed.
  if (pin->Connections.empty()) ResetPinMethods(*pin);
  return true;
}

bool TSPBAse::RemoveOutputConnection(std::int32_t otherPin, std::int32_t output, TSPBAse* module) {
  TSPPinRec* pin = OutputPin(output);
  return pin && RemoveFirst(pin->Connections, otherPin, module);
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

void TSPBAse::SetVoiceCount(std::uint8_t n) {
  FreeVoiceObjects();
  VoiceCount = n;
}

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
    case kSPCmdResetGraph:
      ResetGraphState();
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
  LinkCount = 0;
}

void TSPBAse::AssignNames(const TSPBAse& other) {
  Caption = other.Caption;
  ShortName = other.ShortName;
  Description = other.Description;
}
