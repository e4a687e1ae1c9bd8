#include "tools/host/vst_host.h"

#include <dlfcn.h>
#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>

namespace {

// The instance being created: the entry calls the host (version, ...)
// before the host knows the record's address.
thread_local TVstPlugin* OpeningPlugin = nullptr;

// The getTime answer lives per calling thread, so concurrent requests from
// different threads never see a half-written record.
thread_local TVstTimeInfo TimeInfoAnswer;

// The instance (its serial) whose plug-in last asked for the time or tempo
// on this thread since its last notice.
thread_local std::uint64_t TempoAskedBy = 0;

constexpr std::intptr_t kHostVstVersion = 2400;

}  // namespace

// The module stays loaded until the process ends, as in most hosts: a
// plug-in may leave threads or exit handlers behind, and leak reports
// (valgrind, LeakSanitizer) can then still name the module's code.
TVstModule::~TVstModule() = default;

void TVstModule::Unload() {
  if (Handle) dlclose(Handle);
  Handle = nullptr;
  EntryProc = nullptr;
}

bool TVstModule::Load(const std::string& path, std::string& error) {
  // A bare file name would make dlopen search the library path.
  const std::string where = path.find('/') == std::string::npos ? "./" + path : path;
  // dlopen would wait on a FIFO for a writer.
  struct stat info {};
  if (::stat(where.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) {
    error = "cannot load '" + path + "': " + (S_ISDIR(info.st_mode) ? "a directory" : "not a regular file") +
            ", not a module";
    return false;
  }
  Handle = dlopen(where.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!Handle) {
    const char* why = dlerror();
    error = "cannot load '" + path + "': " + (why ? why : "unknown error");
    return false;
  }
  ModulePath = path;
  for (const char* name : {"VSTPluginMain", "main"}) {
    if (void* sym = dlsym(Handle, name)) {
      EntryProc = reinterpret_cast<TVstEntryProc>(sym);
      EntrySymbol = name;
      return true;
    }
  }
  error = "'" + path + "' exports neither VSTPluginMain nor main: not a VST 2 module";
  Handle = nullptr;
  return false;
}

std::unique_ptr<TVstPlugin> TVstPlugin::Open(const TVstModule& module, std::string& error, double sampleRate,
                                             int blockSize) {
  if (!module.Entry()) {
    error = "no module loaded";
    return nullptr;
  }
  return OpenEntry(module.Entry(), error, sampleRate, blockSize);
}

std::unique_ptr<TVstPlugin> TVstPlugin::OpenEntry(TVstEntryProc entry, std::string& error, double sampleRate,
                                                  int blockSize) {
  std::unique_ptr<TVstPlugin> plugin(new TVstPlugin());
  plugin->HostSampleRate = sampleRate;
  plugin->HostBlockSize = blockSize;
  plugin->Automation = std::make_unique<TAutomationRecord[]>(kAutomationLogSize);
  OpeningPlugin = plugin.get();
  TVstEffect* effect = entry(&TVstPlugin::HostCallback);
  OpeningPlugin = nullptr;
  if (!effect) {
    error = "the plug-in's entry returned no effect record";
    return nullptr;
  }
  if (effect->magic != kVstEffectMagic) {
    error = "the effect record's magic is " + FourCharText(effect->magic) + ", not VstP";
    return nullptr;
  }
  if (!effect->dispatcher || !effect->setParameter || !effect->getParameter) {
    error = "the effect record lacks its dispatcher or parameter entries";
    return nullptr;
  }
  // resvd1 is the host's field of the record: it leads the callback back
  // to this instance.
  effect->resvd1 = reinterpret_cast<std::intptr_t>(plugin.get());
  plugin->Eff = effect;
  plugin->Dispatch(kEffOpen);
  return plugin;
}

TVstPlugin::~TVstPlugin() {
  if (!Eff) return;
  if (IsResumed) Suspend();
  Dispatch(kEffClose);
}

std::intptr_t TVstPlugin::Dispatch(std::int32_t opcode, std::int32_t index, std::intptr_t value, void* ptr,
                                   float opt) const {
  return Eff->dispatcher(Eff, opcode, index, value, ptr, opt);
}

std::string TVstPlugin::Text(std::int32_t opcode, std::int32_t index, bool* overrun) const {
  char buffer[256];
  std::memset(buffer, 0, sizeof buffer);
  Dispatch(opcode, index, 0, buffer);
  const void* end = std::memchr(buffer, 0, sizeof buffer);
  if (overrun) *overrun = end == nullptr;
  return std::string(buffer, end ? static_cast<std::size_t>(static_cast<const char*>(end) - buffer) : sizeof buffer);
}

std::string TVstPlugin::ProgramName(int index) {
  char buffer[256] = {};
  if (Dispatch(kEffGetProgramNameIndexed, index, -1, buffer) != 0) {
    buffer[sizeof buffer - 1] = 0;
    return buffer;
  }
  const int current = Program();
  SetProgram(index);
  std::string name = Text(kEffGetProgramName);
  SetProgram(current);
  return name;
}

void TVstPlugin::SetSampleRate(double rate) {
  HostSampleRate = rate;
  Dispatch(kEffSetSampleRate, 0, 0, nullptr, static_cast<float>(rate));
}

void TVstPlugin::SetBlockSize(int frames) {
  HostBlockSize = frames;
  Dispatch(kEffSetBlockSize, 0, frames);
}

void TVstPlugin::Resume() {
  Dispatch(kEffMainsChanged, 0, 1);
  IsResumed = true;
}

void TVstPlugin::Suspend() {
  Dispatch(kEffMainsChanged, 0, 0);
  IsResumed = false;
}

std::vector<std::uint8_t> TVstPlugin::GetChunk(bool preset) const {
  void* data = nullptr;
  const std::intptr_t size = Dispatch(kEffGetChunk, preset ? 1 : 0, 0, &data);
  if (size <= 0 || !data) return {};
  const auto* bytes = static_cast<const std::uint8_t*>(data);
  return std::vector<std::uint8_t>(bytes, bytes + size);
}

bool TVstPlugin::SelectProgram(int program, std::string& error) const {
  if (program < 0 || program >= NumPrograms()) {
    error = "program " + std::to_string(program) + " does not exist (the plug-in has " + std::to_string(NumPrograms()) +
            ")";
    return false;
  }
  SetProgram(program);
  if (Program() != program) {
    error = "the plug-in stayed on program " + std::to_string(Program()) + " when asked for program " +
            std::to_string(program);
    return false;
  }
  return true;
}

std::intptr_t TVstPlugin::SetChunk(std::span<const std::uint8_t> bytes, bool preset) const {
  // The plug-in may keep reading the bytes during the call only: a copy
  // that lives for the call is enough.
  std::vector<std::uint8_t> copy(bytes.begin(), bytes.end());
  return Dispatch(kEffSetChunk, preset ? 1 : 0, static_cast<std::intptr_t>(copy.size()), copy.data());
}

void TVstPlugin::PrepareBuffers(int maxFrames) {
  if (static_cast<int>(InputPointers.size()) != NumInputs() || static_cast<int>(InputBuffer.size()) < maxFrames) {
    InputBuffer.assign(static_cast<std::size_t>(std::max(maxFrames, 1)), 0.0f);
    InputPointers.assign(static_cast<std::size_t>(std::max(NumInputs(), 0)), InputBuffer.data());
  }
}

void TVstPlugin::ProcessBlock(const TVstEvents* events, float** outputs, int frames) {
  if (static_cast<int>(InputPointers.size()) != NumInputs() || static_cast<int>(InputBuffer.size()) < frames) {
    // Silent inputs for effects; instruments have none. Sized outside the
    // steady state (or ahead, by PrepareBuffers): the first block of each
    // size allocates here.
    PrepareBuffers(frames);
  } else {
    std::fill_n(InputBuffer.begin(), frames, 0.0f);
  }
  float** inputs = InputPointers.empty() ? nullptr : InputPointers.data();
  static const TVstEvents kNoEvents = {0, 0, {nullptr, nullptr}};
  Dispatch(kEffProcessEvents, 0, 0, const_cast<TVstEvents*>(events ? events : &kNoEvents));
  if (Eff->processReplacing && (HasFlag(kVstFlagCanReplacing) || !Eff->process)) {
    Eff->processReplacing(Eff, inputs, outputs, frames);
  } else if (Eff->process) {
    for (int c = 0; c < NumOutputs(); ++c) std::fill_n(outputs[c], frames, 0.0f);
    Eff->process(Eff, inputs, outputs, frames);
  }
}

void TVstPlugin::SetTransport(const TVstTransport& transport) {
  std::lock_guard<std::mutex> lock(TransportLock);
  Transport = transport;
}

std::vector<TAutomationRecord> TVstPlugin::AutomationLog() const {
  const std::size_t n = std::min<std::uint64_t>(AutomationTotal.load(), kAutomationLogSize);
  return std::vector<TAutomationRecord>(Automation.get(), Automation.get() + n);
}

std::intptr_t TVstPlugin::HostCallback(TVstEffect* effect, std::int32_t opcode, std::int32_t index, std::intptr_t value,
                                       void* ptr, float opt) {
  TVstPlugin* plugin = nullptr;
  if (effect && effect->resvd1) plugin = reinterpret_cast<TVstPlugin*>(effect->resvd1);
  if (!plugin) plugin = OpeningPlugin;
  if (opcode == kHostVersion) return kHostVstVersion;
  if (!plugin) return 0;
  return plugin->Answer(opcode, index, value, ptr, opt);
}

std::intptr_t TVstPlugin::Answer(std::int32_t opcode, std::int32_t index, std::intptr_t, void* ptr, float opt) {
  switch (opcode) {
    case kHostAutomate: {
      const std::uint64_t n = AutomationTotal.fetch_add(1);
      if (n < kAutomationLogSize) Automation[n] = {index, opt};
      const bool asked = TakeTempoAsked();
      if (Observer) Observer({opcode, index, opt, asked});
      return 0;
    }
    case kHostBeginEdit:
    case kHostEndEdit: {
      const bool asked = TakeTempoAsked();
      if (Observer) Observer({opcode, index, 0.0f, asked});
      return 1;
    }
    case kHostTempoAt: {
      TempoAskedBy = Serial;
      std::lock_guard<std::mutex> lock(TransportLock);
      return static_cast<std::intptr_t>(std::lround(Transport.Tempo * 10000.0));
    }
    case kHostGetTime: {
      TempoAskedBy = Serial;
      TVstTransport t;
      {
        std::lock_guard<std::mutex> lock(TransportLock);
        t = Transport;
      }
      TVstTimeInfo& info = TimeInfoAnswer;
      std::memset(&info, 0, sizeof info);
      info.samplePos = t.SamplePos;
      info.sampleRate = HostSampleRate.load();
      info.ppqPos = t.PpqPos;
      info.tempo = t.Tempo;
      info.barStartPos = t.BarStartPos;
      info.timeSigNumerator = t.TimeSigNumerator;
      info.timeSigDenominator = t.TimeSigDenominator;
      info.flags = kVstPpqPosValid | kVstTempoValid | kVstBarsValid | kVstTimeSigValid;
      if (t.Playing) info.flags |= kVstTransportPlaying;
      if (t.Changed) info.flags |= kVstTransportChanged;
      return reinterpret_cast<std::intptr_t>(&info);
    }
    case kHostGetSampleRate:
      return static_cast<std::intptr_t>(HostSampleRate.load());
    case kHostGetBlockSize:
      return HostBlockSize.load();
    case kHostGetCurrentProcessLevel:
      return ProcessLevel.load();
    case kHostCanDo: {
      if (!ptr) return 0;
      const char* what = static_cast<const char*>(ptr);
      for (const char* yes : {"sendVstEvents", "sendVstMidiEvent", "sendVstTimeInfo"})
        if (std::strncmp(what, yes, 64) == 0) return 1;
      return 0;
    }
    default:
      Unanswered.fetch_add(1);
      return 0;
  }
}

bool TVstPlugin::TakeTempoAsked() { return std::exchange(TempoAskedBy, 0) == Serial; }

TVstEventList::TVstEventList(std::size_t capacity)
    : Midi(capacity),
      Storage(offsetof(TVstEvents, events) + std::max<std::size_t>(capacity, 2) * sizeof(TVstEvent*) +
              alignof(TVstEvents)) {
  void* raw = Storage.data();
  std::size_t space = Storage.size();
  List = static_cast<TVstEvents*>(std::align(alignof(TVstEvents), sizeof(TVstEvents), raw, space));
  List->numEvents = 0;
  List->reserved = 0;
}

bool TVstEventList::Add(int deltaFrames, const std::uint8_t* bytes, int size) {
  const auto n = static_cast<std::size_t>(List->numEvents);
  if (n >= Midi.size()) return false;
  TVstMidiEvent& e = Midi[n];
  std::memset(&e, 0, sizeof e);
  e.type = kVstMidiEventType;
  e.byteSize = sizeof(TVstMidiEvent);
  e.deltaFrames = deltaFrames;
  for (int i = 0; i < size && i < 3; ++i) e.midiData[i] = bytes[i];
  TVstEvent** slots = VstEventSlots(*List);
  slots[n] = reinterpret_cast<TVstEvent*>(&e);
  List->numEvents = static_cast<std::int32_t>(n + 1);
  return true;
}

std::string FourCharText(std::int32_t code) {
  std::string text;
  for (int shift = 24; shift >= 0; shift -= 8) {
    const char c = static_cast<char>((static_cast<std::uint32_t>(code) >> shift) & 0xFF);
    text += (c >= 32 && c < 127) ? c : '.';
  }
  return text;
}

#if defined(RUMBLEON_SANITIZED)
// A plug-in that draws text through Cairo leaves one fontconfig pattern per
// face that LeakSanitizer cannot reach at exit: the library's, a fixed
// amount. The plug-in's own suppression is not exported from its module, so
// the host states it for every module it loads. Weak: binaries that link the
// drawing layer define it themselves.
extern "C" __attribute__((weak, visibility("default"))) const char* __lsan_default_suppressions() {
  return "leak:libfontconfig.so\n";
}
#endif
