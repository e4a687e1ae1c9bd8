// The extension half of the VST 2 plug-in side: opcodes 25-76, the wrappers
// of the extension host opcodes and the remaining record flags.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "framework/vst/audio_effect.h"

class AudioEffectX : public AudioEffect {
 public:
  std::intptr_t Dispatcher(std::int32_t opcode, std::int32_t index, std::intptr_t value, void* ptr,
                           float opt) override;

  // Queues the MIDI events of the coming block; answers 1 when taken.
  virtual std::int32_t ProcessEvents(const TVstEvents* /*events*/) { return 0; }
  virtual bool CanParameterBeAutomated(std::int32_t /*index*/) { return true; }
  virtual std::int32_t GetNumCategories() { return 1; }
  virtual bool GetProgramNameIndexed(std::int32_t category, std::int32_t index, std::string& name);
  virtual bool CopyProgram(std::int32_t destination) { return CopyProgramTo(destination); }
  // Output pins: "IO <n>", active, stereo for the first two.
  virtual bool GetOutputProperties(std::int32_t index, TVstPinProperties& properties);
  virtual std::int32_t GetPlugCategory();
  virtual bool GetEffectName(std::string& /*name*/) { return false; }
  virtual bool GetVendorString(std::string& /*text*/) { return false; }
  virtual bool GetProductString(std::string& /*text*/) { return false; }
  virtual std::int32_t GetVendorVersion() { return 0; }
  // 1 for what the plug-in can do, -1 for anything else.
  virtual std::int32_t CanDo(std::string_view text);
  virtual bool KeysRequired() { return false; }
  virtual std::int32_t GetVstVersion() { return 2300; }
  virtual std::int32_t EditKeyDown(const TVstKeyCode& /*key*/) { return -1; }
  virtual std::int32_t EditKeyUp(const TVstKeyCode& /*key*/) { return 0; }
  virtual std::int32_t GetCurrentMidiProgram() { return -1; }
  virtual bool BeginSetProgram() { return true; }
  virtual bool EndSetProgram() { return true; }
  virtual std::intptr_t SetTotalSampleToProcess(std::intptr_t value) { return value; }
  virtual std::int32_t BeginLoadBank() { return -1; }
  virtual std::int32_t BeginLoadProgram() { return -1; }

  // Extension host opcodes.
  bool WantEvents(std::int32_t filter = 1) { return CallHost(kHostWantMidi, 0, filter) != 0; }
  // The host's time info for the flags asked (null when it has none). Read
  // it before taking the global lock: the host is never called under it.
  const TVstTimeInfo* GetTimeInfo(std::int32_t filter) {
    return reinterpret_cast<const TVstTimeInfo*>(CallHost(kHostGetTime, 0, filter));
  }
  bool IoChanged() { return CallHost(kHostIoChanged) != 0; }
  bool NeedIdle() { return CallHost(kHostNeedIdle) != 0; }
  bool SizeWindow(std::int32_t width, std::int32_t height) {
    return CallHost(kHostSizeWindow, width, height) != 0;
  }
  bool UpdateDisplay() { return CallHost(kHostUpdateDisplay) != 0; }
  // Bracket an editor drag so that the host records its automation cleanly.
  bool BeginEdit(std::int32_t index) { return CallHost(kHostBeginEdit, index) != 0; }
  bool EndEdit(std::int32_t index) { return CallHost(kHostEndEdit, index) != 0; }
  std::int32_t HostCanDo(const char* text) {
    return static_cast<std::int32_t>(CallHost(kHostCanDo, 0, 0, const_cast<char*>(text)));
  }

  // Record flags.
  void IsSynth(bool state) { SetFlag(kVstFlagIsSynth, state); }
  void NoTail(bool state) { SetFlag(kVstFlagNoSoundInStop, state); }
  void SetAsyncOperation(bool state) { SetFlag(kVstFlagAsyncOperation, state); }
  void SetExternalBuffer(bool state) { SetFlag(kVstFlagExternalBuffer, state); }
};
