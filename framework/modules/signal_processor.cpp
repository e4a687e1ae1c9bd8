#include "framework/modules/signal_processor.h"

#include <algorithm>
#include <cstring>

#include "framework/base/constant_buffers.h"
#include "framework/base/messages.h"

namespace {

std::unique_ptr<float[]> ZeroedFloats(std::int32_t count) {
  return std::unique_ptr<float[]>(new float[static_cast<std::size_t>(std::max(count, 1))]());
}

}  // namespace

TSignalProcessor::TSignalProcessor() {
  Fusable = true;
  TSignalProcessor::ReallocBuffers();
}

TSignalProcessor::~TSignalProcessor() { TSignalProcessor::FreeVoiceObjects(); }

void TSignalProcessor::SetAudioSettings(TAudioSettingsRec* rec) {
  ReleaseBoundOutputs();  // the components' buffers are about to be re-made
  TSPBAse::SetAudioSettings(rec);
  SetVoiceSettings();
}

void TSignalProcessor::ReallocBuffers() {
  LinkBuffer = ZeroedFloats(Settings->BufferLength);
  if (!VoicesEnabled && PlainOutputs[0]) MakePlainOutputs();
}

void TSignalProcessor::ReleaseBuffers() { LinkBuffer.reset(); }

void TSignalProcessor::MakePlainOutputs() {
  PlainOutputs[0] = ZeroedFloats(Settings->BufferLength);
  if (OutputCount > 1) PlainOutputs[1] = ZeroedFloats(Settings->BufferLength);
  else PlainOutputs[1].reset();
}

void TSignalProcessor::ReleaseBoundOutputs() {
  for (const auto& pin : OutputPins)
    for (const TSPConnectionRec& c : pin->Connections)
      for (std::int32_t v = 0; v < kSPVoiceSlots; ++v) c.Module->SetVoiceControlInput(ZeroBuffer, c.OtherPin, v);
}

// Voice components.

TDSPControl* TSignalProcessor::VoiceControl(std::int32_t voice) const {
  if (voice < 0 || voice >= kSPVoiceSlots) return nullptr;
  return VoiceControls[static_cast<std::size_t>(voice)].get();
}

std::int32_t TSignalProcessor::ClampVoiceIndex(std::int32_t voice) const {
  return VoiceIndexing && voice >= 0 && voice <= VoiceCount - 1 ? voice : 0;
}

void TSignalProcessor::FreeVoiceObjects() {
  ReleaseBoundOutputs();
  for (auto& control : VoiceControls) control.reset();
  CurrentControl = nullptr;
}

void TSignalProcessor::SetVoiceCount(std::uint8_t n) {
  TSPBAse::SetVoiceCount(n);  // frees the components, clamps the count
  if (VoicesEnabled) {
    for (std::int32_t v = 0; v < VoiceCount; ++v) {
      CreateVoiceObjects(v);
      TDSPControl* control = VoiceControl(v);
      if (!control) continue;
      control->SetUsesBuffers(UsesBuffers);
      control->SetAudioSettings(Settings);
    }
    CurrentControl = VoiceControl(0);
    ResetVoices();
  } else {
    MakePlainOutputs();
  }
}

void TSignalProcessor::ConfigureVoices() {
  SetVoiceSettings();
  AfterConfigure();
}

void TSignalProcessor::SetVoiceSettings() {
  for (auto& control : VoiceControls)
    if (control) control->SetAudioSettings(Settings);
}

void TSignalProcessor::ResetVoiceCounters() {
  for (auto& control : VoiceControls)
    if (control) control->CounterALimit = control->CounterBLimit = 0;
}

bool TSignalProcessor::OnlyFirstVoiceInUse() {
  const TDSPControl* first = VoiceControl(0);
  if (!first || first->CounterBLimit == 0) return false;
  for (std::int32_t v = 1; v < kSPVoiceSlots; ++v)
    if (const TDSPControl* c = VoiceControl(v); c && c->CounterBLimit > 0) return false;
  return true;
}

bool TSignalProcessor::FirstVoiceSingleConsumer() {
  return OnlyFirstVoiceInUse() && VoiceControl(0)->CounterBLimit == 1;
}

bool TSignalProcessor::FirstVoiceShared() { return OnlyFirstVoiceInUse() && VoiceControl(0)->CounterBLimit > 1; }

bool TSignalProcessor::AnyVoiceShared() {
  if (OnlyFirstVoiceInUse()) return false;
  return std::any_of(VoiceControls.begin(), VoiceControls.end(),
                     [](const auto& c) { return c && c->CounterBLimit > 1; });
}

bool TSignalProcessor::NoVoiceShared() { return !OnlyFirstVoiceInUse() && !AnyVoiceShared(); }

// Signal requests.

void TSignalProcessor::GetOutputSample(TSPSampleRequest& request) {
  const TDSPControl* control = VoiceControl(request.Voice);
  request.Value = control ? control->OutputSample : 0.0f;
}

void TSignalProcessor::PullInputs(TSPSampleRequest& request) {
  TDSPControl* control = VoiceControl(request.Voice);
  if (!control) {
    request.Value = 0.0f;
    return;
  }
  CurrentControl = control;
  if (control->CounterB == 0) {
    PushControllerValue(request);
    control->Tick();
  }
  request.Value = control->OutputSample;
  control->AdvanceCounterB();
}

void TSignalProcessor::RunBlockLinks(std::int32_t voice) {
  for (const TSPControllerLink& link : BlockLinks) {
    TSPBlockRequest block{LinkBuffer.get(), link.SourceOutput, static_cast<std::uint16_t>(voice)};
    if (link.BlockSource) link.BlockSource(block);
    if (const auto& setter = link.BlockSetters[static_cast<std::size_t>(voice)]) {
      block.SourcePin = link.TargetPin;
      setter(block);
    }
  }
}

void TSignalProcessor::GetOutputBlock(TSPBlockRequest& request) {
  TDSPControl* control = VoiceControl(request.Voice);
  if (!control || !control->OutBuffer || !control->InBuffer) {
    ClearBlock(request);
    return;
  }
  if (control->CounterB == 0) {
    RunBlockLinks(request.Voice);
    control->ProcessBlock();
  }
  control->AdvanceCounterB();
  if (request.Buffer) std::memcpy(request.Buffer, control->OutBuffer, static_cast<std::size_t>(Settings->BufferBytes));
}

void TSignalProcessor::GetOutputBlock2(TSPBlockRequest& request) {
  TDSPControl* control = VoiceControl(request.Voice);
  if (!control || !control->OutBuffer || !control->InBuffer) {
    ClearBlock(request);
    return;
  }
  const std::size_t voice = request.Voice;
  if (control->CounterB == 0) {
    RunBlockLinks(request.Voice);
    for (std::int32_t i = 0; i < Settings->BlockSize; ++i) {
      for (const TSPControllerLink& link : LoopLinks) {
        TSPSampleRequest value;
        value.Voice = request.Voice;
        value.SourcePin = link.SourceOutput;
        value.Index = i;
        if (link.ValueGetter) link.ValueGetter(value);
        if (link.SampleSetters[voice]) {
          value.SourcePin = link.TargetPin;
          link.SampleSetters[voice](value);
        }
      }
      control->ProcessAt(i);
      // ProcessAt leaves its result in OutputSample; the block copied below
      // must hold it.
      control->OutBuffer[i] = control->OutputSample;
    }
  }
  control->AdvanceCounterB();
  if (request.Buffer) std::memcpy(request.Buffer, control->OutBuffer, static_cast<std::size_t>(Settings->BufferBytes));
}

bool TSignalProcessor::GetVoiceOutputBuffer(const float*& buffer, std::int32_t output, std::int32_t voice) {
  if (VoicesEnabled) {
    const TDSPControl* control = VoiceControl(PerVoiceResolved ? voice : 0);
    if (!control || !control->OutBuffer) return false;
    buffer = control->OutBuffer;
    return true;
  }
  if (output < 0 || output > 1 || !PlainOutputs[output]) return false;
  buffer = PlainOutputs[output].get();
  return true;
}

void TSignalProcessor::SetVoiceControlInput(const float* buffer, std::int32_t index, std::int32_t voice) {
  TDSPControl* control = VoiceControl(voice);
  if (!control || index < 0 || index >= TDSPControl::kInputCount) return;
  control->Inputs[index] = buffer ? buffer : ZeroBuffer;
}

bool TSignalProcessor::GetVoiceBlockMethod(TMethod<void()>& method, std::int32_t voice) {
  const TDSPControl* control = VoiceControl(voice);
  if (!control) return false;
  method = control->BlockRunner;
  return true;
}

bool TSignalProcessor::GetVoiceSampleMethod(TMethod<void()>& method, std::int32_t voice) {
  const TDSPControl* control = VoiceControl(voice);
  if (!control) return false;
  method = control->SampleRunner;
  return true;
}

// Graph.

void TSignalProcessor::PrepareProcessing() {
  const auto offLoop = [](const TSPPinRec* pin) { return pin && pin->Resolved && !pin->OnPath; };
  const TSPPinRec* out = OutputPin(0);
  const bool onePath = out && out->Resolved && out->PathCount == 1;
  for (auto& control : VoiceControls) {
    if (!control) continue;
    control->StateFlags[0] = offLoop(InputPin(0));
    control->StateFlags[1] = offLoop(InputPin(1));
    control->StateFlags[2] = onePath;
  }
}

void TSignalProcessor::ProcessVoices() {
  if (InLoop || !VoicesEnabled) return;
  for (std::int32_t v = 0; v < kSPVoiceSlots; ++v) {
    TDSPControl* control = VoiceControl(v);
    if (!control) continue;
    control->BlockRunner();
    TSPSampleRequest value;
    value.Voice = static_cast<std::uint16_t>(v);
    value.Value = control->OutputSample;
    DeliverVoiceOutput(value, 0);
  }
}

void TSignalProcessor::SetInputValue(TSPSampleRequest& request) {
  if (InLoop || !Enabled) return;
  TDSPControl* control = VoiceControl(request.Voice);
  if (!control) return;
  control->Update();
  control->BlockRunner();
  TSPSampleRequest value;
  value.Voice = request.Voice;
  value.Value = control->OutputSample;
  DeliverVoiceOutput(value, 0);
}

void TSignalProcessor::UpdateLinkTargets(std::int32_t pin, std::int32_t /*sourceOutput*/, TSPBAse* module) {
  if (!module) return;
  for (TSPControllerLink& link : ControllerLinks) {
    if (link.TargetPin != pin) continue;
    if (link.Marked) return;
    link.Marked = true;
    // The loop reads the module's last computed sample instead of pulling.
    link.Source = module;
    module->GetSampleSourceMethod(link.ValueGetter);
    link.BlockSource = TSPBlockMethod::Bind<&TSPBAse::GraphHook>(module);
    if (TSPPinRec* input = InputPin(pin)) {
      input->SampleMethod = link.ValueGetter;
      input->SourceMethod = link.BlockSource;
      input->Feedback = true;
    }
    return;
  }
}

void TSignalProcessor::MarkFeedbackInput(std::int32_t input) {
  if (TSPPinRec* pin = InputPin(input)) {
    pin->Feedback = true;
    return;
  }
  ReportError("Error marking feedback connection \r\nCaption : " + ShortName + "\r\n" + "Description : " + Description);
}

std::int32_t TSignalProcessor::HandleCommand(std::int32_t code, std::uint8_t arg, TAudioSettingsRec* settings) {
  switch (code) {
    case kSPCmdSetSettings:
      if (settings) SetAudioSettings(settings);
      return 1;
    case kSPCmdTakeVoiceStates:
      if (DesignVoiceStates) VoiceStates = DesignVoiceStates;
      return 1;
    case kSPCmdConnectionHook:
      ConnectionHook();
      return 1;
    default:
      return TSPBAse::HandleCommand(code, arg, settings);
  }
}
