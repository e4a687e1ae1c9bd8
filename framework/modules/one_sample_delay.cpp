#include "framework/modules/one_sample_delay.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "framework/base/constant_buffers.h"
#include "framework/base/streams.h"

// Component.

TDSPOneSampleDelay::TDSPOneSampleDelay() : DelayedPtr(&OutputSample) {}

void TDSPOneSampleDelay::SetAudioSettings(TAudioSettingsRec* rec) {
  TDSPControl::SetAudioSettings(rec);
  SamplesDone = -1;
  DelayedPtr = &OutputSample;
}

void TDSPOneSampleDelay::ProcessOneSample() {
  const std::int32_t n = CurrentSampleIndex;
  OutBuffer[n] = *DelayedPtr;
  DelayedPtr = &Inputs[0][n];
}

void TDSPOneSampleDelay::ProcessOneSampleAntiDenormal() {
  const std::int32_t n = CurrentSampleIndex;
  OutBuffer[n] = *DelayedPtr + DenormalNoiseBuffer[n];
  DelayedPtr = &Inputs[0][n];
}

void TDSPOneSampleDelay::ProcessBlockDelay() {
  const std::int32_t last = Settings->LastIndex;
  const float* in = Inputs[0];
  for (std::int32_t n = 0; n <= last; ++n) {
    OutBuffer[n] = OutputSample;
    OutputSample = in[n];
  }
}

template <std::int32_t Unroll>
void TDSPOneSampleDelay::RunLoop() {
  const TSPProcessEntry* members = LoopMembers.data();
  const std::int32_t count = MemberCount;
  // CurrentSampleIndex is 16 bits wide; no block of the framework comes
  // near that.
  const std::int32_t block = std::min<std::int32_t>(Settings->BlockSize, std::numeric_limits<std::int16_t>::max());
  for (std::int32_t n = 0; n < block; ++n) {
    CurrentSampleIndex = static_cast<std::int16_t>(n);
    for (std::int32_t k = 0; k < count; k += Unroll) {
      members[k].Method();
      if constexpr (Unroll > 1) members[k + 1].Method();
      if constexpr (Unroll > 2) members[k + 2].Method();
      if constexpr (Unroll > 3) members[k + 3].Method();
    }
  }
  SamplesDone = Settings->BlockSize;
}

void TDSPOneSampleDelay::ProcessBlockControl() {
  if (MemberCount == 0) {
    // No loop was built behind this delay: it still delays its input.
    ProcessBlockDelay();
    return;
  }
  RunLoop<1>();
}

void TDSPOneSampleDelay::RunLoop2() { RunLoop<2>(); }
void TDSPOneSampleDelay::RunLoop3() { RunLoop<3>(); }
void TDSPOneSampleDelay::RunLoop4() { RunLoop<4>(); }

void TDSPOneSampleDelay::SetLoopMembers(std::int32_t n) {
  DelayedPtr = &OutputSample;
  // Every member called must exist, and a member without a method is never
  // listed (a call through it would jump to null).
  std::erase_if(LoopMembers, [](const TSPProcessEntry& e) { return !e.Method; });
  n = std::clamp<std::int32_t>(
      n, 0,
      static_cast<std::int32_t>(std::min<std::size_t>(LoopMembers.size(), std::numeric_limits<std::int16_t>::max())));
  MemberCount = static_cast<std::int16_t>(n);
  if (n > 0 && n % 4 == 0) BlockRunner = TMethod<void()>::Bind<&TDSPOneSampleDelay::RunLoop4>(this);
  else if (n > 0 && n % 3 == 0) BlockRunner = TMethod<void()>::Bind<&TDSPOneSampleDelay::RunLoop3>(this);
  else if (n > 0 && n % 2 == 0) BlockRunner = TMethod<void()>::Bind<&TDSPOneSampleDelay::RunLoop2>(this);
  else BlockRunner = TMethod<void()>::Bind<&TDSPOneSampleDelay::ProcessBlockControl>(this);
}

void TDSPOneSampleDelay::Restart(float value) {
  OutputSample = value;
  DelayedPtr = &OutputSample;
  SamplesDone = -1;
  if (OutBuffer) FillBuffer(OutBuffer, 0.0f);
}

// Module.

TSPOneSampleDelay::TSPOneSampleDelay() {
  ModuleTypeId = kTypeId;
  Caption = "One Sample Delay";
  ShortName = "Z^-1";
  Description =
      "Delays a signal by one sample . Place in feedback loops between the feedback input and corresponding "
      "output for one sample feedback .";
  SetPinCounts(1, 1);
  TSPPinRec& in = *InputPins[0];
  in.PinName = "In";
  in.PinShortName = "I";
  in.RangeMin = -255.0f;
  in.RangeMax = 255.0f;
  in.RangeDefault = 0.0f;
  in.RangeInt = 8;
  in.RangeStep = 0.1f;
  TSPPinRec& out = *OutputPins[0];
  out.PinName = "Out";
  out.PinShortName = "O";
  out.PinDescription = "input(t-1)";
}

TDSPOneSampleDelay* TSPOneSampleDelay::DelayControl(std::int32_t voice) const {
  return dynamic_cast<TDSPOneSampleDelay*>(VoiceControl(voice));
}

void TSPOneSampleDelay::SetAudioSettings(TAudioSettingsRec* rec) {
  TSignalProcessor::SetAudioSettings(rec);
  ProcessVoices();
}

void TSPOneSampleDelay::PrepareProcessing() {
  const bool antiDenormal = DelayMode >= 1 && DelayMode <= 4;
  for (std::int32_t v = 0; v < kSPVoiceSlots; ++v) {
    TDSPOneSampleDelay* delay = DelayControl(v);
    if (!delay) continue;
    delay->SampleRunner = antiDenormal ? TMethod<void()>::Bind<&TDSPOneSampleDelay::ProcessOneSampleAntiDenormal>(delay)
                                       : TMethod<void()>::Bind<&TDSPOneSampleDelay::ProcessOneSample>(delay);
  }
}

void TSPOneSampleDelay::ProcessVoices() {
  if (!ResetAtNoteOn || !VoiceStates) return;
  for (std::int32_t v = 0; v < VoiceCount; ++v) {
    const TSPVoiceStateRec& state = (*VoiceStates)[static_cast<std::size_t>(v)];
    if (state.LastStatus != 144 || state.Flag != 0) continue;
    if (TDSPOneSampleDelay* delay = DelayControl(v)) delay->Restart(InitialValue);
  }
}

void TSPOneSampleDelay::ResetVoices() {
  for (std::int32_t v = 0; v < VoiceCount; ++v)
    if (TDSPOneSampleDelay* delay = DelayControl(v)) delay->Restart(InitialValue);
}

void TSPOneSampleDelay::CreateVoiceObjects(std::int32_t voice) {
  if (voice < 0 || voice >= kSPVoiceSlots) return;
  VoiceControls[static_cast<std::size_t>(voice)] = std::make_unique<TDSPOneSampleDelay>();
}

void TSPOneSampleDelay::SetVoiceControlInput(const float* buffer, std::int32_t index, std::int32_t voice) {
  if (index == 0)
    if (TDSPOneSampleDelay* delay = DelayControl(voice); delay && delay->DelayedPtr != &delay->OutputSample) {
      // DelayedPtr points into the input being replaced (whose buffer may be
      // freed next): keep the value it holds.
      delay->OutputSample = *delay->DelayedPtr;
      delay->DelayedPtr = &delay->OutputSample;
    }
  TSignalProcessor::SetVoiceControlInput(buffer, index, voice);
}

void TSPOneSampleDelay::ReadSettings(const TSPPropertyList& properties) {
  if (properties.size() >= 1 && std::isfinite(properties[0])) InitialValue = static_cast<float>(properties[0]);
  if (properties.size() >= 2) ResetAtNoteOn = properties[1] != 0.0;
  if (properties.size() >= 3 && std::isfinite(properties[2]))
    DelayMode = static_cast<std::uint16_t>(std::nearbyint(std::clamp(properties[2], 0.0, 65535.0)));
}

void TSPOneSampleDelay::SaveToStream(TStream& stream) {
  TSignalProcessor::SaveToStream(stream);
  WriteFloat32(stream, InitialValue);
  WriteByte(stream, ResetAtNoteOn ? 1 : 0);
  WriteInt16(stream, static_cast<std::int16_t>(DelayMode));
}

void TSPOneSampleDelay::LoadFromStream(TStream& stream, const std::string& version) {
  TSignalProcessor::LoadFromStream(stream, version);
  if (version.substr(0, 4) < "1.63") return;
  float initial = 0.0f;
  std::uint8_t reset = 0;
  std::uint16_t mode = 0;
  // All three or none: a short stream leaves the settings as they were.
  if (!ReadFloat32(stream, initial) || !ReadByte(stream, reset) || !ReadUInt16(stream, mode)) return;
  InitialValue = initial;
  ResetAtNoteOn = reset != 0;
  DelayMode = mode;
}
