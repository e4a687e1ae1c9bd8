// The extension half of the VST 2 plug-in side: opcodes 25-76, the wrappers
// of the extension host opcodes and the remaining record flags.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "framework/vst/audio_effect.h"

class AudioEffectX : public AudioEffect {
 public:
  std::intptr_t Dispatcher(std::int32_t opcode, std::int32_t index, std::intptr_t value, void* ptr, float opt) override;

  // Queues the MIDI events of the coming block; answers 1 when taken.
  // Audio thread, before the block's process call: takes the instance lock
  // to queue; allocates nothing.
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
  // Asked before the host loads a bank or program file into the plug-in:
  // -1 would refuse it, 1 vouch for it. 0 leaves the host to load it; the
  // chunk itself is checked when it arrives (a bad one changes nothing).
  virtual std::int32_t BeginLoadBank() { return 0; }
  virtual std::int32_t BeginLoadProgram() { return 0; }

  // Extension host opcodes.
  bool WantEvents(std::int32_t filter = 1) { return CallHost(kHostWantMidi, 0, filter) != 0; }
  // The host's time info for the flags asked (null when it has none). Read
  // it before taking the instance lock: the host is never called under it.
  const TVstTimeInfo* GetTimeInfo(std::int32_t filter) {
    return reinterpret_cast<const TVstTimeInfo*>(CallHost(kHostGetTime, 0, filter));
  }
  bool IoChanged() { return CallHost(kHostIoChanged) != 0; }
  bool NeedIdle() { return CallHost(kHostNeedIdle) != 0; }
  bool SizeWindow(std::int32_t width, std::int32_t height) { return CallHost(kHostSizeWindow, width, height) != 0; }
  bool UpdateDisplay() { return CallHost(kHostUpdateDisplay) != 0; }
  // Bracket an editor drag so that the host records its automation cleanly
  // (NotifyHostOfEdit).
  bool BeginEdit(std::int32_t index) { return NotifyHostOfEdit(kHostBeginEdit, index) != 0; }
  bool EndEdit(std::int32_t index) { return NotifyHostOfEdit(kHostEndEdit, index) != 0; }
  std::int32_t HostCanDo(const char* text) {
    return static_cast<std::int32_t>(CallHost(kHostCanDo, 0, 0, const_cast<char*>(text)));
  }

  // The remaining host opcodes, with their published numbers and argument
  // places. Nothing in the plug-in calls them (but the edit notices ask for
  // the tempo first); a plug-in that needs one finds it here. Each answers
  // what the host answers (0 without a host).
  // Tempo at a sample position, in beats per minute x 10000.
  std::int32_t TempoAt(std::int32_t samplePosition) { return AnswerInt(kHostTempoAt, 0, samplePosition); }
  std::int32_t GetNumAutomatableParameters() { return AnswerInt(kHostGetNumAutomatableParameters); }
  std::int32_t GetParameterQuantization() { return AnswerInt(kHostGetParameterQuantization); }
  // The host's sample rate and block size; they are answered, not applied.
  std::intptr_t UpdateSampleRate() { return CallHost(kHostGetSampleRate); }
  std::intptr_t UpdateBlockSize() { return CallHost(kHostGetBlockSize); }
  std::int32_t GetInputLatency() { return AnswerInt(kHostGetInputLatency); }
  std::int32_t GetOutputLatency() { return AnswerInt(kHostGetOutputLatency); }
  // The plug-in connected to an input (output) pin, or null.
  TVstEffect* GetPreviousPlug(std::int32_t input) {
    return reinterpret_cast<TVstEffect*>(CallHost(kHostGetPreviousPlug, input));
  }
  TVstEffect* GetNextPlug(std::int32_t output) {
    return reinterpret_cast<TVstEffect*>(CallHost(kHostGetNextPlug, output));
  }
  std::int32_t WillProcessReplacing() { return AnswerInt(kHostWillReplaceOrAccumulate); }
  std::int32_t GetCurrentProcessLevel() { return AnswerInt(kHostGetCurrentProcessLevel); }
  std::int32_t GetAutomationState() { return AnswerInt(kHostGetAutomationState); }
  // Offline processing: the records are the host's own; they pass through.
  bool OfflineStart(void* audioFiles, std::int32_t numAudioFiles, std::int32_t numNewAudioFiles) {
    return CallHost(kHostOfflineStart, numNewAudioFiles, numAudioFiles, audioFiles) != 0;
  }
  bool OfflineRead(void* task, std::int32_t option, bool readSource) {
    return CallHost(kHostOfflineRead, readSource ? 1 : 0, option, task) != 0;
  }
  bool OfflineWrite(void* task, std::int32_t option) { return CallHost(kHostOfflineWrite, 0, option, task) != 0; }
  std::int32_t OfflineGetCurrentPass() { return AnswerInt(kHostOfflineGetCurrentPass); }
  std::int32_t OfflineGetCurrentMetaPass() { return AnswerInt(kHostOfflineGetCurrentMetaPass); }
  void SetOutputSampleRate(float rate) { CallHost(kHostSetOutputSampleRate, 0, 0, nullptr, rate); }
  TVstSpeakerArrangement* GetOutputSpeakerArrangement() {
    return reinterpret_cast<TVstSpeakerArrangement*>(CallHost(kHostGetOutputSpeakerArrangement));
  }
  TVstSpeakerArrangement* GetInputSpeakerArrangement() {
    return reinterpret_cast<TVstSpeakerArrangement*>(CallHost(kHostGetInputSpeakerArrangement));
  }
  // The host writes its text into a buffer of ours (kHostTextCapacity bytes,
  // zeroed); it is read up to its terminator and never beyond the buffer.
  // False when the host answers 0.
  bool GetHostVendorString(std::string& text) { return AskHostText(kHostGetVendorString, text); }
  bool GetHostProductString(std::string& text) { return AskHostText(kHostGetProductString, text); }
  std::int32_t GetHostVendorVersion() { return AnswerInt(kHostGetVendorVersion); }
  std::intptr_t HostVendorSpecific(std::int32_t index, std::intptr_t value, void* ptr, float opt) {
    return CallHost(kHostVendorSpecific, index, value, ptr, opt);
  }
  std::int32_t GetHostLanguage() { return AnswerInt(kHostGetLanguage); }
  void* OpenWindow(void* window) { return reinterpret_cast<void*>(CallHost(kHostOpenWindow, 0, 0, window)); }
  bool CloseWindow(void* window) { return CallHost(kHostCloseWindow, 0, 0, window) != 0; }
  void* GetDirectory() { return reinterpret_cast<void*>(CallHost(kHostGetDirectory)); }
  bool OpenFileSelector(void* selector) { return CallHost(kHostOpenFileSelector, 0, 0, selector) != 0; }

  // Speaker arrangements: a header of 8 bytes (type, channel count) and 112
  // bytes per speaker. Any thread; they never call the host.
  static constexpr std::int32_t kMaxArrangementChannels = 1 << 16;
  // Frees *arrangement when set, then allocates one of `channels` speakers,
  // zeroed, with the count stored. False (and *arrangement null) for a count
  // outside 0..kMaxArrangementChannels or when memory runs out.
  static bool AllocateArrangement(TVstSpeakerArrangement** arrangement, std::int32_t channels);
  // Frees an arrangement of AllocateArrangement and sets the pointer to null;
  // false when there was none.
  static bool DeallocateArrangement(TVstSpeakerArrangement** arrangement);
  // Every field of one speaker; the copied name always ends within its 64
  // bytes. False for a null speaker.
  static bool CopySpeaker(TVstSpeakerProperties* to, const TVstSpeakerProperties* from);
  // *to := a new arrangement of from's count and type, speaker by speaker.
  // False for a null source or a count AllocateArrangement refuses.
  static bool MatchArrangement(TVstSpeakerArrangement** to, const TVstSpeakerArrangement* from);
  // Speaker i of an arrangement of any length.
  static TVstSpeakerProperties* SpeakerAt(TVstSpeakerArrangement* arrangement, std::int32_t i);
  static const TVstSpeakerProperties* SpeakerAt(const TVstSpeakerArrangement* arrangement, std::int32_t i);

  // Record flags.
  void IsSynth(bool state) { SetFlag(kVstFlagIsSynth, state); }
  void NoTail(bool state) { SetFlag(kVstFlagNoSoundInStop, state); }
  void SetAsyncOperation(bool state) { SetFlag(kVstFlagAsyncOperation, state); }
  void SetExternalBuffer(bool state) { SetFlag(kVstFlagExternalBuffer, state); }

  static constexpr std::size_t kHostTextCapacity = 256;

 private:
  std::int32_t AnswerInt(std::int32_t opcode, std::int32_t index = 0, std::intptr_t value = 0) {
    return static_cast<std::int32_t>(CallHost(opcode, index, value));
  }
  bool AskHostText(std::int32_t opcode, std::string& text);
};
