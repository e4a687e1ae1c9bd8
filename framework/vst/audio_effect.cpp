#include "framework/vst/audio_effect.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>

#include "platform/fpu_guard.h"

void CopyHostText(char* buffer, std::string_view text) {
  if (buffer == nullptr) return;
  const std::size_t n = std::min<std::size_t>(text.size(), kVstMaxTextLength);
  std::memcpy(buffer, text.data(), n);
  buffer[n] = '\0';
}

std::string_view ReadHostText(const char* text, std::size_t limit) {
  if (text == nullptr) return {};
  return std::string_view(text, strnlen(text, limit));
}

AudioEffect::AudioEffect() {
  // Each instance keeps its own settings record: two instances at
  // different rates never share buffer sizes.
  CreateOwnSettings();
  Effect.magic = kVstEffectMagic;
  Effect.object = this;
  Effect.dispatcher = &DispatcherEntry;
  Effect.process = &ProcessEntry;
  Effect.processReplacing = &ProcessReplacingEntry;
  Effect.setParameter = &SetParameterEntry;
  Effect.getParameter = &GetParameterEntry;
  Effect.ioRatio = 1.0f;
  Effect.version = 1;
}

AudioEffect::~AudioEffect() = default;

AudioEffect* AudioEffect::FromEffect(TVstEffect* effect) {
  if (effect == nullptr || effect->magic != kVstEffectMagic || effect->object == nullptr) return nullptr;
  return static_cast<AudioEffect*>(effect->object);
}

void AudioEffect::InitEffect(TVstHostCallback host, std::int32_t numPrograms, std::int32_t numParams) {
  Host = host;
  Effect.numPrograms = numPrograms;
  Effect.numParams = numParams;
  Effect.numInputs = 0;
  Effect.numOutputs = 2;
  Effect.flags = 0;
  Effect.resvd1 = 0;
  Effect.resvd2 = 0;
  Effect.initialDelay = 0;
  Effect.realQualities = 0;
  Effect.offQualities = 0;
  Effect.ioRatio = 1.0f;
  Effect.user = nullptr;
  Effect.version = 1;
}

std::intptr_t AudioEffect::Dispatcher(std::int32_t opcode, std::int32_t index, std::intptr_t value, void* ptr,
                                      float opt) {
  char* text = static_cast<char*>(ptr);
  switch (opcode) {
    case kEffOpen:
      Open();
      return 0;
    case kEffClose:
      Close();
      return 0;
    case kEffSetProgram:
      if (value >= 0 && value < Effect.numPrograms) SetProgram(static_cast<std::int32_t>(value));
      return 0;
    case kEffGetProgram:
      return GetProgram();
    case kEffSetProgramName:
      if (text != nullptr && CurrentProgram() < Effect.numPrograms)
        SetProgramName(ReadHostText(text, kVstMaxTextLength));
      return 0;
    case kEffGetProgramName: {
      std::string name;
      if (text != nullptr && GetProgramName(name)) CopyHostText(text, name);
      return 0;
    }
    case kEffGetParamLabel:
      if (index >= 0 && index < Effect.numParams) CopyHostText(text, GetParameterLabel(index));
      return 0;
    case kEffGetParamDisplay:
      if (IsValidParam(index)) CopyHostText(text, GetParameterDisplay(index));
      return 0;
    case kEffGetParamName:
      if (index >= 0 && index < Effect.numParams) CopyHostText(text, GetParameterName(index));
      return 0;
    case kEffGetVu:
      return RoundF(GetVu() * 32767.0f);
    case kEffSetSampleRate:
      // What the pace of the process calls is measured against (the rate
      // the instance takes may differ; read without its lock).
      if (std::isfinite(opt) && opt >= 1.0f) PaceRate.store(opt, std::memory_order_relaxed);
      SetSampleRate(opt);
      return 0;
    case kEffSetBlockSize:
      SetBlockSize(static_cast<std::int32_t>(value));
      return 0;
    case kEffMainsChanged:
      if (value == 0) Suspend();
      else Resume();
      return 0;
    case kEffEditGetRect:
      if (ptr == nullptr) return 0;
      return EditGetRect(static_cast<TVstRect**>(ptr)) ? 1 : 0;
    case kEffEditOpen:
      return EditOpen(ptr) ? 1 : 0;
    case kEffEditClose:
      return EditClose();
    case kEffEditIdle:
      EditIdle();
      return 0;
    case kEffIdentify:
      return PackFourBytes("NvEf");
    case kEffGetChunk:
      if (ptr == nullptr) return 0;
      return GetChunk(static_cast<void**>(ptr), index != 0);
    case kEffSetChunk:
      if (ptr == nullptr || value <= 0 || value > INT32_MAX) return 0;
      return SetChunk(ptr, static_cast<std::int32_t>(value), index != 0);
    default:
      return 0;
  }
}

void AudioEffect::Close() { EditClose(); }

void AudioEffect::SetProgram(std::int32_t program) { SelectProgram(program); }

void AudioEffect::SetProgramName(std::string_view name) { SetProgramNameAt(CurrentProgram(), name); }

bool AudioEffect::GetProgramName(std::string& name) {
  const std::int32_t current = CurrentProgram();
  if (!IsValidProgram(current)) return false;
  name = GetProgramNameAt(current);
  return true;
}

std::string AudioEffect::GetParameterLabel(std::int32_t index) { return GetParameterName(index); }

std::string AudioEffect::GetParameterDisplay(std::int32_t /*index*/) { return {}; }

std::string AudioEffect::GetParameterName(std::int32_t index) {
  if (!IsValidParam(index)) return {};
  return ParamInfo[index].Name;
}

void AudioEffect::SetSampleRate(float /*rate*/) {}

bool AudioEffect::EditGetRect(TVstRect** rect) {
  *rect = nullptr;
  return false;
}

bool AudioEffect::EditOpen(void* /*parentWindow*/) { return false; }

std::int32_t AudioEffect::GetChunk(void** data, bool isPreset) {
  // Written outside the lock of the answers: saving takes the plug-in's
  // locks, and the answer only replaces this thread's last one.
  auto stream = std::make_unique<TMemoryStream>();
  SaveChunk(*stream, isPreset);
  stream->SetPosition(0);
  *data = stream->Memory();
  const auto size = static_cast<std::int32_t>(stream->Size());
  std::unique_ptr<TMemoryStream> previous;
  {
    std::lock_guard<std::mutex> guard(ChunkAnswerLock);
    const std::thread::id self = std::this_thread::get_id();
    auto it =
        std::find_if(ChunkAnswers.begin(), ChunkAnswers.end(), [&](const TChunkAnswer& a) { return a.Thread == self; });
    if (it == ChunkAnswers.end()) {
      if (ChunkAnswers.size() < kChunkAnswerThreads) {
        ChunkAnswers.push_back({});
        it = ChunkAnswers.end() - 1;
      } else {
        it = std::min_element(ChunkAnswers.begin(), ChunkAnswers.end(),
                              [](const TChunkAnswer& a, const TChunkAnswer& b) { return a.LastUse < b.LastUse; });
      }
      it->Thread = self;
    }
    it->LastUse = ++ChunkAnswerClock;
    previous = std::move(it->Stream);
    it->Stream = std::move(stream);
  }
  // This thread's previous answer is freed here.
  return size;
}

std::int32_t AudioEffect::SetChunk(const void* data, std::int32_t size, bool isPreset) {
  if (data == nullptr || size <= 0) return 0;
  TMemoryStream stream(
      std::span<const std::uint8_t>(static_cast<const std::uint8_t*>(data), static_cast<std::size_t>(size)));
  return LoadChunk(stream, size, isPreset) ? size : 0;
}

void AudioEffect::Process(float** /*inputs*/, float** /*outputs*/, std::int32_t /*sampleFrames*/) {}

void AudioEffect::ProcessReplacing(float** /*inputs*/, float** /*outputs*/, std::int32_t /*sampleFrames*/) {}

void AudioEffect::SetParameter(std::int32_t index, float value) {
  // Under the lock, so that a DSP rebuild the change causes never overlaps
  // processing; but the audio thread only tries it (a busy lock sends the
  // change to its next call), and another thread while the host streams
  // hands the change to the audio thread without it (SetParameterValue).
  std::unique_lock<TPluginLock> guard(InstanceMutex(), std::defer_lock);
  if (OnAudioThread()) (void)guard.try_lock();
  else if (!HandsOverToAudioThread()) guard.lock();
  SetParameterValue(index, value);
}

void AudioEffect::SetParameterAutomated(std::int32_t index, float value) {
  if (!IsValidParam(index)) return;
  SetParameter(index, value);
  NotifyHostOfEdit(kHostAutomate, index, GetParameterValue(index));
}

std::intptr_t AudioEffect::NotifyHostOfEdit(std::int32_t opcode, std::int32_t index, float value) {
  // A host records an edit on the thread that tells it, and may need state
  // of its own there. Ardour 7 keeps its tempo map per thread and places
  // recorded points with it, but its Linux editor thread (where the editor
  // runs, handles the mouse and so tells the host) never gets one: a
  // begin-edit while rolling or an automate while stopped in Touch, Latch
  // or Write then crashes it. Asking it for the tempo makes it fetch the
  // current map for the asking thread; other hosts just answer.
  CallHost(kHostTempoAt, 0, 0);
  return CallHost(opcode, index, 0, nullptr, value);
}

std::intptr_t AudioEffect::CallHost(std::int32_t opcode, std::int32_t index, std::intptr_t value, void* ptr,
                                    float opt) {
  if (Host == nullptr) return 0;
  return Host(&Effect, opcode, index, value, ptr, opt);
}

std::int32_t AudioEffect::GetMasterVersion() { return static_cast<std::int32_t>(CallHost(kHostVersion)); }

// ---- lifetime

// One host call inside an instance, from entry to return (the work after the
// call included). The calls inside instances on this thread form a chain
// through the stack, so that a close on this thread knows which of the
// calls inside its instance are its own callers.
class AudioEffect::TEntryScope {
 public:
  explicit TEntryScope(AudioEffect& self, bool editor = false)
      : Self(self), Editor(editor), Admitted(Enter(self, editor)), Outer(Innermost) {
    Innermost = this;
  }
  ~TEntryScope() {
    Innermost = Outer;
    // Counted out of the editor calls before the call leaves: once it has
    // left, the object may be gone.
    if (Editor) Self.EditorEntries.fetch_sub(1, std::memory_order_acq_rel);
    const std::uint32_t before = Self.EntryState.fetch_sub(1, std::memory_order_acq_rel);
    // The last call out of an instance whose close was made from inside one
    // of its calls destroys it (one thread wins the exchange).
    if ((before & (kEntryDestroyOnLeave | kEntryCountMask)) != (kEntryDestroyOnLeave | 1)) return;
    std::uint32_t left = before - 1;
    if (Self.EntryState.compare_exchange_strong(left, kEntryClosing, std::memory_order_acq_rel)) Destroy(&Self);
  }
  TEntryScope(const TEntryScope&) = delete;
  TEntryScope& operator=(const TEntryScope&) = delete;

  // False once the instance's close has begun: the call does nothing.
  explicit operator bool() const { return Admitted; }
  // The calls inside `self` on this thread (only its editor calls with
  // editorCalls).
  static std::uint32_t OnThisThread(const AudioEffect& self, bool editorCalls = false) {
    std::uint32_t n = 0;
    for (const TEntryScope* s = Innermost; s != nullptr; s = s->Outer)
      if (&s->Self == &self && (s->Editor || !editorCalls)) ++n;
    return n;
  }

 private:
  // An editor call is counted as one before it is admitted: a close that
  // begins after its admission sees it among the editor calls inside
  // (EntryState's changes are all read-modify-writes, so the close's
  // change of it follows the admission's).
  static bool Enter(AudioEffect& self, bool editor) {
    if (editor) self.EditorEntries.fetch_add(1, std::memory_order_acq_rel);
    return (self.EntryState.fetch_add(1, std::memory_order_acq_rel) & kEntryClosing) == 0;
  }

  static inline thread_local const TEntryScope* Innermost = nullptr;
  AudioEffect& Self;
  const bool Editor;
  const bool Admitted;
  const TEntryScope* const Outer;
};

bool AudioEffect::IsEditorCall(std::int32_t opcode) {
  return (opcode >= kEffEditGetRect && opcode <= kEffEditSleep) || opcode == kEffIdle || opcode == kEffEditKeyDown ||
         opcode == kEffEditKeyUp;
}

std::intptr_t AudioEffect::CloseEntry(AudioEffect* self, std::int32_t index, std::intptr_t value, void* ptr,
                                      float opt) {
  if ((self->EntryState.fetch_or(kEntryClosing, std::memory_order_acq_rel) & kEntryClosing) != 0) return 0;
  try {
    // The editor's dialogs end, so that an idle call held inside by one
    // returns; then the editor closes only once no other thread opens,
    // closes or idles it any more.
    self->CloseBegins();
    self->WaitForEntriesToLeave(TEntryScope::OnThisThread(*self, true), true);
    self->Dispatcher(kEffClose, index, value, ptr, opt);
  } catch (...) {
    return 0;
  }
  const std::uint32_t own = TEntryScope::OnThisThread(*self);
  self->WaitForEntriesToLeave(own);
  if (own > 0) {
    self->EntryState.fetch_or(kEntryDestroyOnLeave, std::memory_order_acq_rel);
    return 1;
  }
  Destroy(self);
  return 1;
}

void AudioEffect::WaitForEntriesToLeave(std::uint32_t own, bool editorCalls) const {
  // Nothing here holds a lock, so every call inside can finish; the audio
  // thread's process call is never made to wait for this one.
  auto inside = [&] {
    return editorCalls ? EditorEntries.load(std::memory_order_acquire)
                       : EntryState.load(std::memory_order_acquire) & kEntryCountMask;
  };
  while (inside() > own) std::this_thread::sleep_for(std::chrono::microseconds(100));
}

void AudioEffect::Destroy(AudioEffect* self) noexcept {
  try {
    self->PrepareForDestruction();
    delete self;
  } catch (...) {
  }
}

// Entry functions: the plug-in's FP environment for the call, the caller's
// afterwards, no exception back into the host, and a TEntryScope for the
// whole call.

namespace {

// Where the changes a host call requests are built (change_builder.h): on
// the audio thread by the module's worker (once the host has resumed), on
// any other thread by the calling thread after the call's work.
template <class F>
auto WithBuilds(AudioEffect& self, bool audioThread, F&& call) {
  if (audioThread && self.HostHasResumed()) {
    TAudioCallBuilds builds(self.Changes(), !self.HostRendersOffline(), self.HostRendersAhead());
    return call();
  }
  auto result = [&] {
    THostCallBuilds builds(self.Changes());
    return call();
  }();
  if (!audioThread) self.AfterHostCall();
  return result;
}

}  // namespace

std::intptr_t AudioEffect::DispatcherEntry(TVstEffect* effect, std::int32_t opcode, std::int32_t index,
                                           std::intptr_t value, void* ptr, float opt) {
  TFpuGuard guard;
  AudioEffect* self = FromEffect(effect);
  if (self == nullptr) return 0;
  if (opcode == kEffClose) return CloseEntry(self, index, value, ptr, opt);
  TEntryScope inside(*self, IsEditorCall(opcode));
  if (!inside) return 0;
  try {
    if (opcode == kEffMainsChanged && value != 0) self->EverResumed.store(true);
    // Resume builds what the program needs on its own thread, whichever it
    // is: resuming is where a plug-in may still allocate. So does a program
    // or a chunk the host gives on its audio thread between two process
    // calls: the host chose that thread, and the next call meets the change
    // whole, at the same point of the stream on every run, whatever the host
    // says about its process level and however soon the worker would have
    // built it (MIDI events, sent there before every call, ask for nothing).
    if (opcode != kEffMainsChanged && self->OnAudioThread()) {
      THostCallBuilds builds(self->Changes());
      return self->Dispatcher(opcode, index, value, ptr, opt);
    }
    return WithBuilds(*self, false, [&] { return self->Dispatcher(opcode, index, value, ptr, opt); });
  } catch (...) {
    return 0;
  }
}

void AudioEffect::TimeProcessCall(std::int32_t frames) {
  const std::int64_t now =
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
  if (PaceLastNs != 0) {
    PaceAudioNs += PaceBlockNs;
    PaceWallNs += std::max<std::int64_t>(0, now - PaceLastNs);
    if (PaceAudioNs >= kPaceWindowNs) {
      Ahead = PaceWallNs * 2 < PaceAudioNs;
      PaceAudioNs /= 2;
      PaceWallNs /= 2;
    }
  }
  PaceLastNs = now;
  PaceBlockNs = static_cast<std::int64_t>(static_cast<double>(std::max(0, frames)) * 1e9 /
                                          static_cast<double>(PaceRate.load(std::memory_order_relaxed)));
}

void AudioEffect::ProcessCall(TVstEffect* effect, float** inputs, float** outputs, std::int32_t sampleFrames,
                              bool replace) {
  TFpuGuard guard;
  AudioEffect* self = FromEffect(effect);
  if (self == nullptr) return;
  TEntryScope inside(*self);
  if (!inside) return;
  try {
    self->AudioThreadId.store(std::this_thread::get_id(), std::memory_order_relaxed);
    self->TimeProcessCall(sampleFrames);
    const bool offline = self->HostRendersOffline();
    self->OfflineCallFlag = offline || self->HostRendersAhead();
    auto process = [&] {
      if (replace) self->ProcessReplacing(inputs, outputs, sampleFrames);
      else self->Process(inputs, outputs, sampleFrames);
    };
    if (self->HostHasResumed()) {
      TAudioCallBuilds builds(self->Changes(), !offline, self->HostRendersAhead());
      process();
    } else {
      // A host that processes before it resumes: what the first blocks
      // need is built right there.
      process();
    }
  } catch (...) {
  }
}

void AudioEffect::ProcessEntry(TVstEffect* effect, float** inputs, float** outputs, std::int32_t sampleFrames) {
  ProcessCall(effect, inputs, outputs, sampleFrames, false);
}

void AudioEffect::ProcessReplacingEntry(TVstEffect* effect, float** inputs, float** outputs,
                                        std::int32_t sampleFrames) {
  ProcessCall(effect, inputs, outputs, sampleFrames, true);
}

void AudioEffect::SetParameterEntry(TVstEffect* effect, std::int32_t index, float value) {
  TFpuGuard guard;
  AudioEffect* self = FromEffect(effect);
  if (self == nullptr) return;
  TEntryScope inside(*self);
  if (!inside) return;
  try {
    WithBuilds(*self, self->OnAudioThread(), [&] {
      self->SetParameter(index, value);
      return 0;
    });
  } catch (...) {
  }
}

float AudioEffect::GetParameterEntry(TVstEffect* effect, std::int32_t index) {
  TFpuGuard guard;
  AudioEffect* self = FromEffect(effect);
  if (self == nullptr) return 0.0f;
  TEntryScope inside(*self);
  if (!inside) return 0.0f;
  try {
    return self->GetParameter(index);
  } catch (...) {
    return 0.0f;
  }
}
