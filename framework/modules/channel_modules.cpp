#include "framework/modules/channel_modules.h"

#include <algorithm>
#include <cstring>

#include "framework/base/constant_buffers.h"

namespace {

std::unique_ptr<float[]> ZeroedFloats(std::int32_t count) {
  return std::unique_ptr<float[]>(new float[static_cast<std::size_t>(std::max(count, 1))]());
}

void NamePin(TSPPinRec& pin, const char* name, const char* shortName, const char* description) {
  pin.PinName = name;
  pin.PinShortName = shortName;
  pin.PinDescription = description;
}

}  // namespace

// Output module.

TOutPutChannelSum::TOutPutChannelSum() : LeftSource(ZeroBuffer), RightSource(ZeroBuffer) {
  ModuleTypeId = kTypeId;
  Caption = "Stereo Output Channel";
  ShortName = "Out";
  Description = "Plugin Stereo Output Channel";
  VoiceCount = 0;
  VoicesEnabled = false;
  SetPinCounts(2, 1);
  NamePin(*InputPins[0], "Left In", "L",
          "Left Channel Input which will become the left channel output of the plugin output channel");
  NamePin(*InputPins[1], "Right In", "R",
          "Right Channel Input which will become the right channel output of the plugin output channel");
  NamePin(*OutputPins[0], "Audio Out", "O", "Plugin Stereo Output");
  OutputPins[0]->Active = false;
  BlockMethod = TMethod<void()>::Bind<&TOutPutChannelSum::InterleaveSources>(this);
  // Usable before the plug-in hands over its settings.
  TOutPutChannelSum::ReallocBuffers();
}

void TOutPutChannelSum::ReallocBuffers() {
  TOutPutChannelSum::ReleaseBuffers();
  Interleaved = ZeroedFloats(Settings->StereoBufferLength);
  LeftBuffer = ZeroedFloats(Settings->BufferLength);
  RightBuffer = ZeroedFloats(Settings->BufferLength);
}

void TOutPutChannelSum::ReleaseBuffers() {
  Interleaved.reset();
  LeftBuffer.reset();
  RightBuffer.reset();
}

void TOutPutChannelSum::DisconnectAllPins() { DisconnectInputs(); }

std::int32_t TOutPutChannelSum::HandleCommand(std::int32_t code, std::uint8_t arg, TAudioSettingsRec* settings) {
  const std::int32_t answer = TIOChannelSum::HandleCommand(code, arg, settings);
  if (code == kSPCmdResetGraph) {
    LeftSource = ZeroBuffer;
    RightSource = ZeroBuffer;
  }
  return answer;
}

bool TOutPutChannelSum::GatherStereo() {
  const std::size_t bytes = static_cast<std::size_t>(Settings->BufferLength) * sizeof(float);
  std::memset(LeftBuffer.get(), 0, bytes);
  std::memset(RightBuffer.get(), 0, bytes);
  float* const sides[2] = {LeftBuffer.get(), RightBuffer.get()};
  for (std::size_t p = 0; p < 2 && p < InputPins.size(); ++p) {
    TSPPinRec& pin = *InputPins[p];
    if (pin.Connections.size() != 1) continue;
    TSPBlockRequest request;
    request.Buffer = sides[p];
    request.SourcePin = pin.Connections[0].OtherPin;
    pin.SourceMethod(request);
  }
  const std::int32_t last = Settings->LastIndex;
  bool signal = false;
  for (std::int32_t i = 0; i <= last; ++i) {
    const float l = LeftBuffer[i], r = RightBuffer[i];
    Interleaved[2 * i] = l;
    Interleaved[2 * i + 1] = r;
    signal |= (l != 0.0f) | (r != 0.0f);  // -0.0 == 0.0
  }
  return signal;
}

void TOutPutChannelSum::CopyOutput(float* destination, std::size_t capacity) const {
  const std::size_t n = std::min(static_cast<std::size_t>(Settings->StereoBufferLength), capacity);
  std::memcpy(destination, Interleaved.get(), n * sizeof(float));
}

void TOutPutChannelSum::ApplyGainBalance() {
  const float left = 2.0f * Gain * (1.0f - Balance);
  const float right = 2.0f * Gain * Balance;
  const std::int32_t last = Settings->LastIndex;
  for (std::int32_t i = 0; i <= last; ++i) {
    Interleaved[2 * i] *= left;
    Interleaved[2 * i + 1] *= right;
  }
}

void TOutPutChannelSum::InterleaveSources() {
  const std::int32_t last = Settings->LastIndex;
  for (std::int32_t i = 0; i <= last; ++i) {
    Interleaved[2 * i] = LeftSource[i];
    Interleaved[2 * i + 1] = RightSource[i];
  }
}

void TOutPutChannelSum::SetSourceBuffer(const float* buffer, std::int32_t index, bool flag) {
  if (flag) return;
  if (index == 0) LeftSource = buffer ? buffer : ZeroBuffer;
  else if (index == 1) RightSource = buffer ? buffer : ZeroBuffer;
}

void TOutPutChannelSum::PullSamples(TSPSampleRequest& request) {
  if (request.Index < 0 || request.Index > Settings->LastIndex) return;
  for (std::size_t p = 0; p < 2 && p < InputPins.size(); ++p) {
    TSPPinRec& pin = *InputPins[p];
    if (pin.Connections.size() != 1) continue;
    TSPSampleRequest sub;
    sub.Voice = request.Voice;
    sub.SourcePin = pin.Connections[0].OtherPin;
    sub.Index = request.Index;
    pin.SampleMethod(sub);
    Interleaved[2 * static_cast<std::size_t>(request.Index) + p] = sub.Value;
    if (sub.Value != 0.0f) request.Marked = true;
  }
}

// Input module.

TInputChannelSum::TInputChannelSum() {
  ModuleTypeId = kTypeId;
  Caption = "Stereo Input Channel";
  ShortName = "In";
  Description = "Plugin Stereo Input channel";
  VoicesEnabled = false;
  SetPinCounts(1, 2);
  NamePin(*InputPins[0], "Audio In", "In", "Plugin Stereo Input");
  InputPins[0]->Active = false;
  NamePin(*OutputPins[0], "Audio Out Left", "L", "Left Channel Out - The left channel of the plugin input channel");
  NamePin(*OutputPins[1], "Audio Out Right", "R", "Right Channel Out - The right channel of the plugin input channel");
  TInputChannelSum::SetVoiceCount(1);
  TInputChannelSum::ReallocBuffers();
}

void TInputChannelSum::ReallocBuffers() {
  TInputChannelSum::ReleaseBuffers();
  SumBuffer = ZeroedFloats(Settings->StereoBufferLength);
  Scratch = ZeroedFloats(Settings->StereoBufferLength);
  LeftOut = ZeroedFloats(Settings->BufferLength);
  RightOut = ZeroedFloats(Settings->BufferLength);
  // Positions index frames of the block, which may have shrunk.
  for (auto& pin : ReadPositions)
    for (auto& voice : pin) voice = TReadPosition{0, voice.Limit, 0};
}

void TInputChannelSum::ReleaseBuffers() {
  SumBuffer.reset();
  Scratch.reset();
  LeftOut.reset();
  RightOut.reset();
}

void TInputChannelSum::DisconnectAllPins() { DisconnectOutputs(); }

void TInputChannelSum::SetVoiceCount(std::uint8_t n) {
  TIOChannelSum::SetVoiceCount(n);
  ReadPositions.assign(OutputPins.size(), std::vector<TReadPosition>(std::max<std::size_t>(n, 1)));
}

bool TInputChannelSum::AddSource(TOutPutChannelSum* source, const float* gain) {
  Sources.push_back({source, gain});
  SourceCount = static_cast<std::uint16_t>(Sources.size());
  return true;
}

void TInputChannelSum::ClearSum() {
  std::memset(SumBuffer.get(), 0, static_cast<std::size_t>(Settings->StereoBufferLength) * sizeof(float));
}

void TInputChannelSum::MixSource(std::int32_t i) {
  if (i < 0 || static_cast<std::size_t>(i) >= Sources.size() || !Sources[i].Module) return;
  const TSource& source = Sources[static_cast<std::size_t>(i)];
  // A source at another block size copies no more than this module holds.
  std::memset(Scratch.get(), 0, static_cast<std::size_t>(Settings->StereoBufferLength) * sizeof(float));
  source.Module->CopyOutput(Scratch.get(), static_cast<std::size_t>(Settings->StereoBufferLength));
  const float gain = source.Gain ? *source.Gain : 1.0f;
  const std::int32_t last = Settings->StereoLastIndex;
  for (std::int32_t j = 0; j <= last; ++j) SumBuffer[j] += Scratch[j] * gain;
}

void TInputChannelSum::SplitStereo() {
  const std::int32_t last = Settings->LastIndex;
  for (std::int32_t i = 0; i <= last; ++i) {
    LeftOut[i] = SumBuffer[2 * i];
    RightOut[i] = SumBuffer[2 * i + 1];
  }
}

bool TInputChannelSum::GetChannel(float*& buffer, std::int32_t index) {
  if (index == 0) buffer = LeftOut.get();
  else if (index == 1) buffer = RightOut.get();
  else {
    buffer = nullptr;
    return false;
  }
  return true;
}

void TInputChannelSum::ReadChannel(TSPBlockRequest& request) {
  if (!request.Buffer) return;
  const std::size_t side = request.SourcePin == 0 ? 0 : 1;
  const std::int32_t last = Settings->LastIndex;
  for (std::int32_t i = 0; i <= last; ++i) request.Buffer[i] = SumBuffer[2 * static_cast<std::size_t>(i) + side];
}

void TInputChannelSum::AdvanceRead(TSPSampleRequest& request) {
  const std::size_t side = request.SourcePin == 0 ? 0 : 1;
  if (side >= ReadPositions.size() || ReadPositions[side].empty()) return;
  std::vector<TReadPosition>& voices = ReadPositions[side];
  TReadPosition& at = voices[std::min<std::size_t>(request.Voice, voices.size() - 1)];
  request.Value = SumBuffer[2 * static_cast<std::size_t>(at.Position) + side];
  if (++at.Count >= at.Limit) {
    at.Count = 0;
    if (++at.Position >= Settings->BlockSize) at.Position = 0;
  }
}

void ClearChannelRecords(std::vector<TIOChannelRec>& records) {
  for (TIOChannelRec& record : records) record.Connections.clear();
}
