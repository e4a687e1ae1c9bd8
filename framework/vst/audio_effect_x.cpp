#include "framework/vst/audio_effect_x.h"

#include <cmath>

std::intptr_t AudioEffectX::Dispatcher(std::int32_t opcode, std::int32_t index, std::intptr_t value, void* ptr,
                                       float opt) {
  char* text = static_cast<char*>(ptr);
  std::string buffer;
  // A text answer: 1 with the text copied, 0 when there is none or no buffer.
  auto answerText = [&](auto get) -> std::intptr_t {
    if (text == nullptr || !(this->*get)(buffer)) return 0;
    CopyHostText(text, buffer);
    return 1;
  };
  switch (opcode) {
    case kEffProcessEvents:
      if (ptr == nullptr) return 0;
      return ProcessEvents(static_cast<const TVstEvents*>(ptr));
    case kEffCanBeAutomated:
      return CanParameterBeAutomated(index) ? 1 : 0;
    case kEffGetNumProgramCategories:
      return GetNumCategories();
    case kEffGetProgramNameIndexed:
      if (text == nullptr || !GetProgramNameIndexed(static_cast<std::int32_t>(value), index, buffer)) return 0;
      CopyHostText(text, buffer);
      return 1;
    case kEffCopyProgram:
      return CopyProgram(index) ? 1 : 0;
    case kEffConnectInput:
    case kEffConnectOutput:
      return 1;
    case kEffGetOutputProperties:
      if (ptr == nullptr) return 0;
      return GetOutputProperties(index, *static_cast<TVstPinProperties*>(ptr)) ? 1 : 0;
    case kEffGetPlugCategory:
      return GetPlugCategory();
    case kEffSetBlockSizeAndSampleRate:
      SetBlockSize(static_cast<std::int32_t>(value));
      SetSampleRate(opt);
      return 0;
    case kEffGetEffectName:
      return answerText(&AudioEffectX::GetEffectName);
    case kEffGetVendorString:
      return answerText(&AudioEffectX::GetVendorString);
    case kEffGetProductString:
      return answerText(&AudioEffectX::GetProductString);
    case kEffGetVendorVersion:
      return GetVendorVersion();
    case kEffCanDo:
      return CanDo(ReadHostText(text, 256));
    case kEffKeysRequired:
      // The interface asks the inverse: 1 means keys are not needed.
      return KeysRequired() ? 0 : 1;
    case kEffGetVstVersion:
      return GetVstVersion();
    case kEffEditKeyDown:
    case kEffEditKeyUp: {
      TVstKeyCode key{};
      key.character = index;
      key.virt = static_cast<std::uint8_t>(value);
      key.modifier = static_cast<std::uint8_t>(RoundF(opt));
      return opcode == kEffEditKeyDown ? EditKeyDown(key) : EditKeyUp(key);
    }
    case kEffGetCurrentMidiProgram:
      return GetCurrentMidiProgram();
    case kEffBeginSetProgram:
      return BeginSetProgram() ? 1 : 0;
    case kEffEndSetProgram:
      return EndSetProgram() ? 1 : 0;
    case kEffGetSpeakerArrangement:
      // No arrangement of our own: both out-parameters become null.
      if (value != 0) *reinterpret_cast<TVstSpeakerArrangement**>(value) = nullptr;
      if (ptr != nullptr) *static_cast<TVstSpeakerArrangement**>(ptr) = nullptr;
      return 0;
    case kEffSetTotalSampleToProcess:
      return SetTotalSampleToProcess(value);
    case kEffBeginLoadBank:
      return BeginLoadBank();
    case kEffBeginLoadProgram:
      return BeginLoadProgram();
    default:
      if (opcode >= kEffOpen && opcode <= kEffSetChunk) return AudioEffect::Dispatcher(opcode, index, value, ptr, opt);
      return 0;
  }
}

bool AudioEffectX::GetProgramNameIndexed(std::int32_t /*category*/, std::int32_t index, std::string& name) {
  if (index < 0 || index >= Effect.numPrograms || !IsValidProgram(index)) return false;
  name = GetProgramNameAt(index);
  return true;
}

bool AudioEffectX::GetOutputProperties(std::int32_t index, TVstPinProperties& properties) {
  if (index < 0 || index >= Effect.numOutputs) return false;
  CopyHostText(properties.label, "IO " + std::to_string(index + 1));
  properties.flags = kVstPinIsActive;
  if (index < 2) properties.flags |= kVstPinIsStereo;
  return true;
}

std::int32_t AudioEffectX::GetPlugCategory() {
  return (Effect.flags & kVstFlagIsSynth) != 0 ? kVstCategorySynth : kVstCategoryUnknown;
}

std::int32_t AudioEffectX::CanDo(std::string_view text) {
  if (text == "receiveVstEvents" || text == "receiveVstMidiEvent") return 1;
  return -1;
}
