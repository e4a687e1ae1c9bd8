// The VST 2 binary interface as plug-in and host see it on Linux x86_64:
// the effect record, the event lists, time info, editor rectangle, pin
// properties, key code and speaker arrangement, with the opcode and flag
// numbers of the published 2.4 interface. Pointer-sized fields are pointers
// or intptr_t; every offset is checked below.
#pragma once

#include <cstddef>
#include <cstdint>

struct TVstEffect;

using TVstHostCallback = std::intptr_t (*)(TVstEffect* effect, std::int32_t opcode, std::int32_t index,
                                           std::intptr_t value, void* ptr, float opt);
using TVstDispatcherProc = std::intptr_t (*)(TVstEffect* effect, std::int32_t opcode, std::int32_t index,
                                             std::intptr_t value, void* ptr, float opt);
using TVstProcessProc = void (*)(TVstEffect* effect, float** inputs, float** outputs, std::int32_t sampleFrames);
using TVstProcessDoubleProc = void (*)(TVstEffect* effect, double** inputs, double** outputs,
                                       std::int32_t sampleFrames);
using TVstSetParameterProc = void (*)(TVstEffect* effect, std::int32_t index, float value);
using TVstGetParameterProc = float (*)(TVstEffect* effect, std::int32_t index);
// The module's entry: VSTPluginMain (and main) take the host callback.
using TVstEntryProc = TVstEffect* (*)(TVstHostCallback host);

// "VstP", first character in the highest byte.
inline constexpr std::int32_t kVstEffectMagic = 0x56737450;

struct TVstEffect {
  std::int32_t magic;
  TVstDispatcherProc dispatcher;
  TVstProcessProc process;  // accumulating (deprecated by hosts, still served)
  TVstSetParameterProc setParameter;
  TVstGetParameterProc getParameter;
  std::int32_t numPrograms;
  std::int32_t numParams;
  std::int32_t numInputs;
  std::int32_t numOutputs;
  std::int32_t flags;
  std::intptr_t resvd1;
  std::intptr_t resvd2;
  std::int32_t initialDelay;
  std::int32_t realQualities;
  std::int32_t offQualities;
  float ioRatio;
  void* object;
  void* user;
  std::int32_t uniqueID;
  std::int32_t version;
  TVstProcessProc processReplacing;
  TVstProcessDoubleProc processDoubleReplacing;
  char future[56];
};
// The host interface's own name for the effect record.
using AEffect = TVstEffect;

static_assert(offsetof(TVstEffect, magic) == 0);
static_assert(offsetof(TVstEffect, dispatcher) == 8);
static_assert(offsetof(TVstEffect, process) == 16);
static_assert(offsetof(TVstEffect, setParameter) == 24);
static_assert(offsetof(TVstEffect, getParameter) == 32);
static_assert(offsetof(TVstEffect, numPrograms) == 40);
static_assert(offsetof(TVstEffect, numParams) == 44);
static_assert(offsetof(TVstEffect, numInputs) == 48);
static_assert(offsetof(TVstEffect, numOutputs) == 52);
static_assert(offsetof(TVstEffect, flags) == 56);
static_assert(offsetof(TVstEffect, resvd1) == 64);
static_assert(offsetof(TVstEffect, resvd2) == 72);
static_assert(offsetof(TVstEffect, initialDelay) == 80);
static_assert(offsetof(TVstEffect, realQualities) == 84);
static_assert(offsetof(TVstEffect, offQualities) == 88);
static_assert(offsetof(TVstEffect, ioRatio) == 92);
static_assert(offsetof(TVstEffect, object) == 96);
static_assert(offsetof(TVstEffect, user) == 104);
static_assert(offsetof(TVstEffect, uniqueID) == 112);
static_assert(offsetof(TVstEffect, version) == 116);
static_assert(offsetof(TVstEffect, processReplacing) == 120);
static_assert(offsetof(TVstEffect, processDoubleReplacing) == 128);
static_assert(offsetof(TVstEffect, future) == 136);
static_assert(sizeof(TVstEffect) == 192);

// Effect record flags.
enum : std::int32_t {
  kVstFlagHasEditor = 1,
  kVstFlagHasClip = 2,
  kVstFlagHasVu = 4,
  kVstFlagCanMono = 8,
  kVstFlagCanReplacing = 16,
  kVstFlagProgramChunks = 32,
  kVstFlagIsSynth = 256,
  kVstFlagNoSoundInStop = 512,
  kVstFlagAsyncOperation = 0x400,
  kVstFlagExternalBuffer = 0x800,
  kVstFlagCanDoubleReplacing = 4096,
};

// Dispatcher opcodes (host -> plug-in).
enum TVstEffectOpcode : std::int32_t {
  kEffOpen = 0,
  kEffClose = 1,
  kEffSetProgram = 2,
  kEffGetProgram = 3,
  kEffSetProgramName = 4,
  kEffGetProgramName = 5,
  kEffGetParamLabel = 6,
  kEffGetParamDisplay = 7,
  kEffGetParamName = 8,
  kEffGetVu = 9,
  kEffSetSampleRate = 10,
  kEffSetBlockSize = 11,
  kEffMainsChanged = 12,
  kEffEditGetRect = 13,
  kEffEditOpen = 14,
  kEffEditClose = 15,
  kEffEditDraw = 16,
  kEffEditMouse = 17,
  kEffEditKey = 18,
  kEffEditIdle = 19,
  kEffEditTop = 20,
  kEffEditSleep = 21,
  kEffIdentify = 22,
  kEffGetChunk = 23,
  kEffSetChunk = 24,
  kEffProcessEvents = 25,
  kEffCanBeAutomated = 26,
  kEffString2Parameter = 27,
  kEffGetNumProgramCategories = 28,
  kEffGetProgramNameIndexed = 29,
  kEffCopyProgram = 30,
  kEffConnectInput = 31,
  kEffConnectOutput = 32,
  kEffGetInputProperties = 33,
  kEffGetOutputProperties = 34,
  kEffGetPlugCategory = 35,
  kEffGetCurrentPosition = 36,
  kEffGetDestinationBuffer = 37,
  kEffOfflineNotify = 38,
  kEffOfflinePrepare = 39,
  kEffOfflineRun = 40,
  kEffProcessVarIo = 41,
  kEffSetSpeakerArrangement = 42,
  kEffSetBlockSizeAndSampleRate = 43,
  kEffSetBypass = 44,
  kEffGetEffectName = 45,
  kEffGetErrorText = 46,
  kEffGetVendorString = 47,
  kEffGetProductString = 48,
  kEffGetVendorVersion = 49,
  kEffVendorSpecific = 50,
  kEffCanDo = 51,
  kEffGetTailSize = 52,
  kEffIdle = 53,
  kEffGetIcon = 54,
  kEffSetViewPosition = 55,
  kEffGetParameterProperties = 56,
  kEffKeysRequired = 57,
  kEffGetVstVersion = 58,
  kEffEditKeyDown = 59,
  kEffEditKeyUp = 60,
  kEffSetEditKnobMode = 61,
  kEffGetMidiProgramName = 62,
  kEffGetCurrentMidiProgram = 63,
  kEffGetMidiProgramCategory = 64,
  kEffHasMidiProgramsChanged = 65,
  kEffGetMidiKeyName = 66,
  kEffBeginSetProgram = 67,
  kEffEndSetProgram = 68,
  kEffGetSpeakerArrangement = 69,
  kEffShellGetNextPlugin = 70,
  kEffStartProcess = 71,
  kEffStopProcess = 72,
  kEffSetTotalSampleToProcess = 73,
  kEffSetPanLaw = 74,
  kEffBeginLoadBank = 75,
  kEffBeginLoadProgram = 76,
  kEffLastOpcode = 76,
};

// Host callback opcodes (plug-in -> host).
enum TVstHostOpcode : std::int32_t {
  kHostAutomate = 0,
  kHostVersion = 1,
  kHostCurrentId = 2,
  kHostIdle = 3,
  kHostPinConnected = 4,
  kHostWantMidi = 6,
  kHostGetTime = 7,
  kHostProcessEvents = 8,
  kHostSetTime = 9,
  kHostTempoAt = 10,
  kHostGetNumAutomatableParameters = 11,
  kHostGetParameterQuantization = 12,
  kHostIoChanged = 13,
  kHostNeedIdle = 14,
  kHostSizeWindow = 15,
  kHostGetSampleRate = 16,
  kHostGetBlockSize = 17,
  kHostGetInputLatency = 18,
  kHostGetOutputLatency = 19,
  kHostGetPreviousPlug = 20,
  kHostGetNextPlug = 21,
  kHostWillReplaceOrAccumulate = 22,
  kHostGetCurrentProcessLevel = 23,  // answers one of the kVstProcessLevel values
  kHostGetAutomationState = 24,
  kHostOfflineStart = 25,
  kHostOfflineRead = 26,
  kHostOfflineWrite = 27,
  kHostOfflineGetCurrentPass = 28,
  kHostOfflineGetCurrentMetaPass = 29,
  kHostSetOutputSampleRate = 30,
  kHostGetOutputSpeakerArrangement = 31,
  kHostGetVendorString = 32,
  kHostGetProductString = 33,
  kHostGetVendorVersion = 34,
  kHostVendorSpecific = 35,
  kHostSetIcon = 36,
  kHostCanDo = 37,
  kHostGetLanguage = 38,
  kHostOpenWindow = 39,
  kHostCloseWindow = 40,
  kHostGetDirectory = 41,
  kHostUpdateDisplay = 42,
  kHostBeginEdit = 43,
  kHostEndEdit = 44,
  kHostOpenFileSelector = 45,
  kHostCloseFileSelector = 46,
  kHostEditFile = 47,
  kHostGetChunkFile = 48,
  kHostGetInputSpeakerArrangement = 49,
};

// What the host answers to kHostGetCurrentProcessLevel.
enum : std::int32_t {
  kVstProcessLevelUnknown = 0,
  kVstProcessLevelUser = 1,
  kVstProcessLevelRealtime = 2,
  kVstProcessLevelPrefetch = 3,
  kVstProcessLevelOffline = 4,
};

// Event list handed to the processEvents opcode; `events` has numEvents
// entries (the declared 2 is only the minimum of the layout).
struct TVstEvent {
  std::int32_t type;
  std::int32_t byteSize;
  std::int32_t deltaFrames;
  std::int32_t flags;
  char data[16];
};

enum : std::int32_t { kVstMidiEventType = 1, kVstSysExEventType = 6 };

struct TVstMidiEvent {
  std::int32_t type;  // kVstMidiEventType
  std::int32_t byteSize;
  std::int32_t deltaFrames;  // sample offset inside the coming block
  std::int32_t flags;
  std::int32_t noteLength;
  std::int32_t noteOffset;
  std::uint8_t midiData[4];
  std::int8_t detune;
  std::uint8_t noteOffVelocity;
  std::uint8_t reserved1;
  std::uint8_t reserved2;
};

struct TVstMidiSysexEvent {
  std::int32_t type;  // kVstSysExEventType
  std::int32_t byteSize;
  std::int32_t deltaFrames;
  std::int32_t flags;
  std::int32_t dumpBytes;
  std::intptr_t resvd1;
  char* sysexDump;
  std::intptr_t resvd2;
};

struct TVstEvents {
  std::int32_t numEvents;
  std::intptr_t reserved;
  TVstEvent* events[2];
};

// The list's numEvents event pointers, from the first. The declared array is
// only the layout's minimum: indexing it past its two entries is undefined
// behaviour (which sanitizers stop on), indexing a pointer to its first entry
// reaches the host's whole list.
inline TVstEvent* const* VstEventSlots(const TVstEvents& list) { return &list.events[0]; }
inline TVstEvent** VstEventSlots(TVstEvents& list) { return &list.events[0]; }

static_assert(sizeof(TVstEvent) == 32);
static_assert(sizeof(TVstMidiEvent) == 32);
static_assert(offsetof(TVstMidiEvent, deltaFrames) == 8);
static_assert(offsetof(TVstMidiEvent, midiData) == 24);
static_assert(offsetof(TVstMidiEvent, noteOffVelocity) == 29);
static_assert(sizeof(TVstMidiSysexEvent) == 48);
static_assert(offsetof(TVstMidiSysexEvent, dumpBytes) == 16);
static_assert(offsetof(TVstMidiSysexEvent, sysexDump) == 32);
static_assert(offsetof(TVstEvents, reserved) == 8);
static_assert(offsetof(TVstEvents, events) == 16);

struct TVstTimeInfo {
  double samplePos;
  double sampleRate;
  double nanoSeconds;
  double ppqPos;
  double tempo;
  double barStartPos;
  double cycleStartPos;
  double cycleEndPos;
  std::int32_t timeSigNumerator;
  std::int32_t timeSigDenominator;
  std::int32_t smpteOffset;
  std::int32_t smpteFrameRate;
  std::int32_t samplesToNextClock;
  std::int32_t flags;
};

static_assert(offsetof(TVstTimeInfo, tempo) == 32);
static_assert(offsetof(TVstTimeInfo, timeSigNumerator) == 64);
static_assert(offsetof(TVstTimeInfo, flags) == 84);
static_assert(sizeof(TVstTimeInfo) == 88);

// Time info flags (also the filter of the getTime request).
enum : std::int32_t {
  kVstTransportChanged = 1,
  kVstTransportPlaying = 2,
  kVstTransportCycleActive = 4,
  kVstTransportRecording = 8,
  kVstAutomationWriting = 64,
  kVstAutomationReading = 128,
  kVstNanosValid = 256,
  kVstPpqPosValid = 512,
  kVstTempoValid = 1024,
  kVstBarsValid = 2048,
  kVstCyclePosValid = 4096,
  kVstTimeSigValid = 8192,
  kVstSmpteValid = 16384,
  kVstClockValid = 32768,
};

struct TVstRect {
  std::int16_t top;
  std::int16_t left;
  std::int16_t bottom;
  std::int16_t right;
};
static_assert(sizeof(TVstRect) == 8);

struct TVstPinProperties {
  char label[64];
  std::int32_t flags;
  std::int32_t arrangementType;
  char shortLabel[8];
  char future[48];
};
static_assert(offsetof(TVstPinProperties, flags) == 64);
static_assert(offsetof(TVstPinProperties, shortLabel) == 72);
static_assert(sizeof(TVstPinProperties) == 128);

enum : std::int32_t { kVstPinIsActive = 1, kVstPinIsStereo = 2, kVstPinUseSpeaker = 4 };

struct TVstKeyCode {
  std::int32_t character;
  std::uint8_t virt;
  std::uint8_t modifier;
};
static_assert(sizeof(TVstKeyCode) == 8);

struct TVstSpeakerProperties {
  float azimuth;
  float elevation;
  float radius;
  float reserved;
  char name[64];
  std::int32_t type;
  char future[28];
};
static_assert(sizeof(TVstSpeakerProperties) == 112);

// Variable length: 8 bytes of header and numChannels speaker records.
struct TVstSpeakerArrangement {
  std::int32_t type;
  std::int32_t numChannels;
  TVstSpeakerProperties speakers[8];
};
static_assert(offsetof(TVstSpeakerArrangement, speakers) == 8);

// Plug-in categories answered to getPlugCategory.
enum : std::int32_t { kVstCategoryUnknown = 0, kVstCategoryEffect = 1, kVstCategorySynth = 2 };

// Longest text the interface's fixed host buffers are sure to hold (plus
// the terminator).
inline constexpr int kVstMaxTextLength = 24;
