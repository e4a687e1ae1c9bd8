#include "framework/core/dsp_plugin_x.h"

#include <algorithm>
#include <bit>
#include <chrono>
#include <mutex>
#include <thread>

#include "framework/base/shared_data.h"
#include "framework/core/change_builder.h"
#include "framework/core/value_text.h"

namespace {
std::int16_t ClampToInt16(std::int32_t v) { return static_cast<std::int16_t>(std::clamp(v, -32768, 32767)); }
}  // namespace

TDSPPluginX::TDSPPluginX() {
  ParamCount = kBaseParamCount;
  // The instance's own record starts as the plug-in template (44100 Hz, one
  // millisecond per block).
  *Settings = PluginAudioSettings;
  Settings->RateFactor = 1.0f;
  MidiCCMap.fill(-1);
  RpnMap.assign(kRpnMapSize, -1);
  // Both deferred lists keep this room: swapping them never allocates.
  DeferredMidi.reserve(kMidiQueueCapacity);
  DeferredMidiReplay.reserve(kMidiQueueCapacity);
  InstanceOpened();
}

TDSPPluginX::~TDSPPluginX() {
  // Posted calls that still arrive must find nothing to do, and none may be
  // running once the object is gone. The host's close has done this before
  // any destructor ran; an object deleted directly gets it here. A layer with
  // an editor window closes it in its own destructor, before this one runs.
  PrepareForDestruction();
  InstanceClosed();
}

void TDSPPluginX::PrepareForDestruction() {
  BeingDestroyed.store(true);
  CancelPostBacksOf(this);
  // Nothing of this instance is built from here on (a run of the worker on
  // it is awaited).
  Changes().Detach();
  // No connected engine may keep a record of this one (the host's close
  // request has normally done it already, before the layers were destroyed).
  DisconnectAll();
}

std::int32_t TDSPPluginX::LiveInstanceCount() { return OpenInstanceCount(); }

// ---- set-up

void TDSPPluginX::InitPlugin(TVstHostCallback host) {
  TDSPVSTBase::InitPlugin(host);
  SetNumInputs(0);
  SetNumOutputs(2);
  Effect.numPrograms = ProgramCount;
  ProgramsAreChunks(true);
  CanProcessReplacing(true);
  SetUniqueID(UniqueID);
  HasVu(false);
  HasClip(false);
  IsSynth(true);
  CanMono(false);
  MessageSink = TMessageSink::Bind<&TDSPPluginX::OnSinkMessage>(this);
  Effect.numParams = ParamCount;
  BuildPlugin();
  // The factory bank; without it the programs keep the descriptor defaults.
  if (std::unique_ptr<TMemoryStream> bank = LoadResourceStream("FACTORYBANKFXB")) {
    bank->SetPosition(0);
    LoadBankFromStream(*bank);
  }
  Effect.numPrograms = ProgramCount;
  Effect.numParams = ParamCount;
  HasEditor(true);
  MarkProgramPending();
  OverloadLimit = kOverloadLimit;
  WantEvents(0);
}

void TDSPPluginX::BuildPlugin() {
  AssignParameterIds();
  CreatePanels();
  LayoutPanels();
  InitParameterInfo();
  const auto words = static_cast<std::size_t>(std::max<std::int32_t>(ParamCount, 0) + 63) / 64;
  GuiPostsWaiting.assign(words, 0);
  OverflowParamCount = std::max<std::int32_t>(ParamCount, 0);
  OverflowBits = std::make_unique<std::atomic<std::uint64_t>[]>(words);
  InitPrograms();
  BuildMidiCCMap();
  BuildEditorControls();
  CreatePageButtons();
  Built = true;
}

void TDSPPluginX::InitParameterInfo() {
  ParamCount = std::max<std::int32_t>(ParamCount, kBaseParamCount);
  ParamInfo.assign(ParamCount, TParamInfoRec{});
  // A layer's parameter without a mapping of its own is reached by RPN
  // number index - 6.
  for (std::int32_t i = kBaseParamCount; i < ParamCount; ++i) {
    ParamInfo[i].MidiKind = kParamMidiRpn;
    ParamInfo[i].MidiNumber = static_cast<std::uint16_t>(i - 6);
  }
  auto base = [this](std::int32_t i, std::uint16_t kind, std::string_view name, std::int32_t max,
                     float normalisedDefault, std::uint16_t controller, std::string_view description) {
    TParamInfoRec& info = ParamInfo[i];
    InitIntParamInfo(kind, info, name, 0, 0, 0, max, description);
    info.DefaultValue = normalisedDefault;
    info.Value = normalisedDefault;
    info.IsGlobal = true;
    info.MidiKind = kParamMidiController;
    info.MidiNumber = controller;
  };
  base(kParamVolume, 61, "Volume", 127, 0.5f, 7, "0=NO SOUND;127=FULL BLAST");
  base(kParamPan, 30, "Pan", 127, 0.5f, 10, "0=Left;64=Center;127=Right");
  base(kParamMute, 11, "Mute", 1, 0.0f, 18, "0=SOUND MUTED;1=SOUND ON");
  base(kParamSolo, 11, "Solo", 1, 0.0f, 19, "0=NO SOLO;1=CARD SOLOED");
  base(kParamBypass, 11, "Bypass", 1, 0.0f, 110, "Bypass process");
  for (std::int32_t i = 5; i < kBaseParamCount; ++i)
    base(i, 8, "Rsvd", 1, 0.0f, static_cast<std::uint16_t>(111 + i - 5), "Reserved, do not use");
  // Editor bindings on the header panel (panel 1, 32 pixels high): the
  // boxes in the middle of its height with their captions to their left
  // (flags 0x22). A caption above a box at the header's top edge would fall
  // outside the editor.
  InitParamInfoExtra(ParamInfo[kParamVolume], 23, 1, 10, 30, 0, "VOL", 0x22);
  InitParamInfoExtra(ParamInfo[kParamPan], 23, 1, 10, 110, 0, "PAN", 0x22);
  InitParamInfoExtra(ParamInfo[kParamMute], 24, 1, 10, 196, 0, "MUTE", 0x22);
}

void TDSPPluginX::BuildMidiCCMap() {
  MidiCCMap.fill(-1);
  RpnMap.assign(kRpnMapSize, -1);
  std::int32_t rpnCount = 0;
  std::int32_t controllerSlot = 11;
  for (std::int32_t p = 0; p < ParamCount && p < ParamCountAllocated(); ++p) {
    const TParamInfoRec& info = ParamInfo[p];
    const std::int32_t n = info.MidiNumber;
    switch (info.MidiKind) {
      case kParamMidiRpn:
        // Without a valid number of its own a parameter takes the next free
        // number in order.
        if (n < kRpnMapSize) RpnMap[n] = static_cast<std::int16_t>(p);
        else if (rpnCount >= 1 && rpnCount < kRpnMapSize) RpnMap[rpnCount] = static_cast<std::int16_t>(p);
        ++rpnCount;
        break;
      case kParamMidiController:
        if (n < 128) MidiCCMap[n] = static_cast<std::int16_t>(p);
        else if (controllerSlot < 128) MidiCCMap[controllerSlot] = static_cast<std::int16_t>(p);
        ++controllerSlot;
        break;
      case kMidiPitchBend:
        PitchBendParam = p;
        break;
      default:
        break;
    }
  }
}

void TDSPPluginX::AddName(std::string_view name) { NameTable.push_back(ShortString(name)); }

// ---- channels

void TDSPPluginX::SetNumInputs(std::int32_t inputs) {
  // The channel records are rebuilt: connections to them end first, on both
  // sides (before the lock: the engine graph lock comes first).
  if (IsEngineMode()) DisconnectAll();
  TPluginLockGuard guard(*this);
  TDSPVSTBase::SetNumInputs(inputs);
  CreateIOChannels();
}

void TDSPPluginX::SetNumOutputs(std::int32_t outputs) {
  if (IsEngineMode()) DisconnectAll();
  TPluginLockGuard guard(*this);
  TDSPVSTBase::SetNumOutputs(outputs);
  CreateIOChannels();
}

void TDSPPluginX::CreateIOChannels() {
  FreeIOChannels();
  // Channels are stereo: two host outputs make one output channel.
  InputChannels.resize((std::max(0, Effect.numInputs) + 1) / 2);
  OutputChannels.resize((std::max(0, Effect.numOutputs) + 1) / 2);
  for (TIOChannelRec& rec : InputChannels) {
    rec.InputSum = std::make_unique<TInputChannelSum>();
    rec.InputSum->SetAdoptsSettings();
    rec.InputSum->SetAudioSettings(Settings);
    rec.Active = true;
  }
  for (TIOChannelRec& rec : OutputChannels) {
    rec.OutputSum = std::make_unique<TOutPutChannelSum>();
    rec.OutputSum->SetAdoptsSettings();
    rec.OutputSum->SetAudioSettings(Settings);
    rec.Active = true;
  }
}

void TDSPPluginX::FreeIOChannels() {
  InputChannels.clear();
  OutputChannels.clear();
}

float* TDSPPluginX::GetOutputBuffer() {
  if (OutputChannels.size() != 1 || !OutputChannels[0].OutputSum) return nullptr;
  return OutputChannels[0].OutputSum->Interleaved.get();
}

void TDSPPluginX::SetAudioSettings(TAudioSettingsRec* rec) {
  TDSPVSTBase::SetAudioSettings(rec);
  for (TIOChannelRec& c : InputChannels)
    if (c.InputSum) c.InputSum->SetAudioSettings(Settings);
  for (TIOChannelRec& c : OutputChannels)
    if (c.OutputSum) c.OutputSum->SetAudioSettings(Settings);
  UpdateCpuBudget();
}

// ---- parameters and programs

void TDSPPluginX::ParameterChanged(std::int32_t i) {
  switch (i) {
    case kParamVolume:
      // 0.5 is unity: the ramp target is twice the normalised value.
      StartRamp(VolumeRamp, Volume, GetParameterValue(kParamVolume) * 2.0f);
      GateWake.store(true);
      break;
    case kParamPan:
      StartRamp(PanRamp, Pan, GetParameterValue(kParamPan));
      GateWake.store(true);
      break;
    case kParamMute:
      UpdateActiveState();
      break;
    case kParamSolo:
      // Solo has no meaning for a single engine: it always reads 1.
      if (IsValidParam(kParamSolo)) {
        if (float* slot = ValueSlot(kParamSolo)) StoreParamSlot(*slot, 1.0f);
      }
      break;
    case kParamBypass:
      Mute.store(GetParameterInt(kParamBypass) == 1);
      break;
    default:
      break;
  }
  UpdateGuiControl(i, false);
}

void TDSPPluginX::SelectProgram(std::int32_t i) {
  if (i < 0 || i >= ProgramCount) return;
  if (HandsOverToAudioThread()) {
    // Only marked, without the lock: the audio thread fades the sound out
    // and the program is applied while it is silent (AfterHostCall).
    SetCurrentProgramNumber(i);
    RecallProgram();
    return;
  }
  std::unique_lock<TPluginLock> guard(InstanceMutex(), std::defer_lock);
  if (!OnAudioThread()) {
    guard.lock();
  } else if (!guard.try_lock()) {
    // The audio thread between its calls while another thread holds the
    // lock: marked, and its next call applies it (after the fade while the
    // instrument sounds).
    SetCurrentProgramNumber(i);
    MarkProgramPending();
    return;
  }
  SetCurrentProgramNumber(i);
  const bool sounding = FirstCallSeen.load() && BlockHasSignal;
  if (sounding && IsLive() && InstanceMutex().StreamingThread() == std::this_thread::get_id()) {
    // The audio thread itself while the instrument sounds: the old sound
    // fades, then the program applies. A MIDI program change among its
    // events fades in the render loop; a host that selects programs on
    // that thread between two calls gets the fade rendered ahead and the
    // program applied now, before the next call's events.
    MarkProgramPending();
    // (Silent already while a change is applied or built: that stage
    // applies it.)
    if (Stage.load() == kRunning) EnterStage(kFading);
    if (!Rendering) FadeAhead();
    return;
  }
  const bool atOnce = !AudioThreadAppliesPrograms();
  RecallProgram();
  // Applied here: the new program starts from rest, as after the fade.
  if (atOnce && FirstCallSeen.load() && IsLive()) ResetSound();
}

void TDSPPluginX::ApplyProgram() {
  // Before the host resumed or processed only the number changes; resume
  // (or the first process call) applies the program.
  if (!IsLive()) {
    MarkProgramPending();
    return;
  }
  TDSPVSTBase::ApplyProgram();
}

bool TDSPPluginX::AudioThreadAppliesPrograms() const {
  const std::thread::id streaming = InstanceMutex().StreamingThread();
  return IsLive() && streaming != std::thread::id() && streaming != std::this_thread::get_id();
}

void TDSPPluginX::RecallProgram() {
  if (HandsOverToAudioThread()) {
    // Marked before it is counted: whoever applies it reads the count first.
    NoteProgramAsked();
    ProgramFromElsewhere.store(true);
    MarkProgramPending();
    ProgramsAsked.fetch_add(1);
    return;
  }
  TPluginLockGuard guard(*this);
  // Not live yet: resume or the first process call applies it. Streaming on
  // another thread: after that thread's fade, by the thread that asked
  // (AfterHostCall) or the worker while the audio thread is silent (by the
  // audio thread itself without the worker). Otherwise (no process call
  // since resume, or the audio thread itself) at once.
  if (AudioThreadAppliesPrograms()) {
    NoteProgramAsked();
    ProgramFromElsewhere.store(true);
  }
  MarkProgramPending();
  if (!IsLive()) return;
  if (AudioThreadAppliesPrograms()) {
    ProgramsAsked.fetch_add(1);
    return;
  }
  ClearProgramPending();
  ApplyProgram();
  ProgramsCaughtUp();
}

bool TDSPPluginX::HandsOverToAudioThread() const {
  return AudioThreadAppliesPrograms() && !InstanceMutex().HeldHere() && !AudioThreadStopped();
}

bool TDSPPluginX::AudioThreadStopped() const {
  const std::int64_t nowNs =
      std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch()).count();
  const double idle = static_cast<double>(nowNs - LastProcessNs.load()) * 1e-9;
  return idle > 2.0 * static_cast<double>(LastBlockNs.load()) * 1e-9 + kAudioThreadGraceSeconds;
}

bool TDSPPluginX::HandOverParameterChange(std::int32_t i) {
  if (InstanceMutex().HeldHere()) return false;
  // The audio thread without the lock (its call found it busy, or a host
  // automates between calls): its next call takes the change.
  const bool audio = OnAudioThread();
  // Another thread hands over while the host streams. Its caller decided
  // that without the lock a moment ago; should the audio thread count as
  // stopped now, or the queue be full (thousands of changes within one host
  // block), this thread applies the change under the lock (the queue
  // first, to keep the order). The audio thread never waits for the lock:
  // with the queue full it marks the parameter for its next call.
  if (audio || HandsOverToAudioThread()) {
    if (ParamChanges.Push(i)) return true;
    if (audio) {
      if (i >= 0 && i < OverflowParamCount) {
        OverflowBits[static_cast<std::size_t>(i) / 64].fetch_or(std::uint64_t{1} << (i % 64));
        OverflowWaiting.store(true);
      }
      return true;
    }
  }
  TPluginLockGuard guard(*this);
  ApplyHandedOverParameters();
  ParameterChanged(i);
  return true;
}

void TDSPPluginX::ApplyHandedOverParameters() {
  // Each change's consequences from the value stored now: every write
  // stores its value when it is made (a program, a chunk or a later write
  // replaces it then), so the changes taken here only bring the instrument
  // up to the stored values, in the order they were made.
  std::int32_t i = -1;
  while (ParamChanges.Pop(i)) {
    if (IsValidParam(i)) ParameterChanged(i);
  }
  if (OverflowWaiting.exchange(false)) {
    const std::size_t words = (static_cast<std::size_t>(OverflowParamCount) + 63) / 64;
    for (std::size_t w = 0; w < words; ++w) {
      std::uint64_t bits = OverflowBits[w].exchange(0);
      while (bits != 0) {
        const auto i = static_cast<std::int32_t>(w * 64 + static_cast<std::size_t>(std::countr_zero(bits)));
        bits &= bits - 1;
        if (IsValidParam(i)) ParameterChanged(i);
      }
    }
  }
}

void TDSPPluginX::RunHandOver() {
  if (Stage.load() != kParked) return;
  bool applied = false;
  std::uint64_t asked = 0;
  // Held throughout (before the instance lock): what the audio thread took
  // is built first, and nothing is taken until the application is in place.
  std::lock_guard<std::recursive_mutex> building(Changes().BuildLock());
  Changes().BuildTaken();
  {
    // What the application asks to be built is built after it, outside the
    // lock, and in place before the audio thread plays on.
    THostCallBuilds builds(Changes());
    TPluginLockGuard guard(*this);
    int parked = kParked;
    if (!Stage.compare_exchange_strong(parked, kApplying)) return;
    ApplyHandedOverParameters();
    Changes().InstallSilentChanges();
    asked = ProgramsAsked.load();
    ProgramFromElsewhere.store(false);
    if (ProgramPending.exchange(false)) {
      ApplyProgram();
      // The new program starts from rest, as after the fade.
      ResetSound();
      applied = true;
    }
  }
  {
    TPluginLockGuard guard(*this);
    if (applied && ProgramsApplied.load() < asked) ProgramsApplied.store(asked);
  }
  // After the lock is let go: the audio thread's next call finds it free.
  Stage.store(kRunning);
  if (applied) PostRefresh();
}

void TDSPPluginX::AfterHostCall() {
  using TClock = std::chrono::steady_clock;
  const std::uint64_t asked = ProgramsAsked.load();
  const bool stoppedAtStart = ParameterChangesWaiting() && AudioThreadAppliesPrograms() && AudioThreadStopped();
  if (ProgramsApplied.load() >= asked && !stoppedAtStart) return;
  const auto start = TClock::now();
  for (;;) {
    // The audio thread faded out for the hand-over: applied here.
    if (Stage.load() == kParked) RunHandOver();
    if (ProgramsApplied.load() >= asked && !stoppedAtStart) break;
    // A process call is due within the host's block and then some; a host
    // that stopped calling (without suspending) gets the program (and the
    // parameter changes it left) applied here, as does one that has not
    // called for the longest wait. A process call that comes meanwhile is
    // silent.
    const bool tooLong = std::chrono::duration<double>(TClock::now() - start).count() > kProgramWaitSeconds;
    if (stoppedAtStart || tooLong || !AudioThreadAppliesPrograms() || AudioThreadStopped()) {
      THostCallBuilds builds(Changes());
      TPluginLockGuard guard(*this);
      ApplyHandedOverParameters();
      if (IsProgramPending() && Stage.load() != kApplying) {
        ProgramAskedNs.store(0);
        ClearProgramPending();
        ApplyProgram();
        PostRefresh();
      }
      ProgramsCaughtUp();
      break;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
}

void TDSPPluginX::Resume() {
  TDSPVSTBase::Resume();  // tells the host it wants MIDI: before the lock
  TPluginLockGuard guard(*this);
  Live.store(true);
  InstanceMutex().SetStreamingThread(std::thread::id());
  ApplyHandedOverParameters();
  ProgramAskedNs.store(0);
  if (IsProgramPending()) {
    ClearProgramPending();
    ApplyProgram();
  }
  ProgramsCaughtUp();
  // A hand-over still waiting has nothing left to do (one under way ends
  // by itself).
  int parked = kParked;
  Stage.compare_exchange_strong(parked, kRunning);
}

void TDSPPluginX::Suspend() {
  TDSPVSTBase::Suspend();
  InstanceMutex().SetStreamingThread(std::thread::id());
}

void TDSPPluginX::ApplyPendingProgram() {
  ProgramFromElsewhere.store(false);
  const bool pending = IsProgramPending();
  // A host that renders ahead of its clock has what the program needs
  // built on its audio thread: the next block plays it whole, at the same
  // point of the stream whatever the worker does.
  TBuildSink* sink = CurrentBuildSink();
  const bool here = pending && sink != nullptr && OnAudioThread() && HostRendersAhead();
  if (here) sink->BuildHere(true);
  TDSPVSTBase::ApplyPendingProgram();
  if (here) sink->BuildHere(false);
  if (!pending) return;
  // Without the worker what the program needs is built now, before the
  // block that plays it.
  if (sink != nullptr) sink->Flush();
  ProgramsCaughtUp();
  PostRefresh();
}

void TDSPPluginX::UpdateActiveState() {
  Active.store(GetParameterInt(kParamMute) != 1);
  RebuildConnections();
}

void TDSPPluginX::ResendParameters(bool baseOnly) {
  BeginParamBatch();
  const std::int32_t count = baseOnly ? std::min<std::int32_t>(kBaseParamCount, ParamCount) : ParamCount;
  for (std::int32_t i = 0; i < count; ++i) ParameterChanged(i);
  EndParamBatch();
}

void TDSPPluginX::ResendParametersExceptState() {
  BeginParamBatch();
  for (std::int32_t i = 0; i < ParamCount; ++i)
    if (i != kParamMute && i != kParamSolo) ParameterChanged(i);
  EndParamBatch();
}

void TDSPPluginX::EndParamBatch() {
  if (ParamBatchCount > 0 && --ParamBatchCount == 0) ParamBatchDone();
}

// ---- display texts

std::string TDSPPluginX::GetParameterDisplay(std::int32_t index) {
  // The text of the real value the normalised one stands for.
  return GetParamDisplayText(kQueryParam, index, GetParameterReal(index));
}

std::string TDSPPluginX::GetParamDisplayText(std::int32_t kind, std::int32_t number, float value) {
  std::int32_t param = -1;
  float real = 0.0f;
  if (!QueryParamText(kind, number, value, param, real)) return "Unknown";
  // Kinds without a rule of their own show the number.
  std::string text = TrimmedNumber(real);
  FormatParamValue(param, text, real);
  return text;
}

bool TDSPPluginX::QueryParamText(std::int32_t kind, std::int32_t number, float value, std::int32_t& param,
                                 float& real) {
  switch (kind) {
    case kQueryController:
      if (number < 0 || number >= static_cast<std::int32_t>(MidiCCMap.size())) return false;
      param = MidiCCMap[number];
      if (!IsValidParam(param)) return false;
      real = ParamInfo[param].RealFromNorm(value / 127.0f);
      return true;
    case kQueryRpn:
      if (number < 0 || number >= static_cast<std::int32_t>(RpnMap.size())) return false;
      param = RpnMap[number];
      if (!IsValidParam(param)) return false;
      real = ParamInfo[param].RealFromNorm(value / 16383.0f);
      return true;
    case kQueryParam:
      if (!IsValidParam(number)) return false;
      param = number;
      real = value;
      return true;
    default:
      return false;
  }
}

void TDSPPluginX::FormatParamValue(std::int32_t param, std::string& text, float real) {
  if (!IsValidParam(param)) return;
  const TParamInfoRec& info = ParamInfo[param];
  ::FormatParamValue(info.Kind, text, real, info.Min, info.Max);
}

// ---- editor flow

void TDSPPluginX::OnGuiControlChange(std::int32_t index, float value, bool dragging) {
  if (!IsValidParam(index)) return;
  float stored = 0.0f;
  {
    // While the host streams the change goes to the audio thread (stored
    // at once, its consequences at the next block) without the lock.
    std::unique_lock<TPluginLock> guard(InstanceMutex(), std::defer_lock);
    if (!HandsOverToAudioThread()) guard.lock();
    SetParameterValue(index, value);
    stored = GetParameterValue(index);
  }
  // The host hears the value as it was stored (clamped), once, after the
  // lock is released; changes inside a gesture are automation.
  if (dragging) NotifyHostOfEdit(kHostAutomate, index, stored);
}

void TDSPPluginX::UpdateGuiControl(std::int32_t index, bool now) {
  if (!HasGui()) return;
  if (now) UpdateGuiControlNow(index);
  else if (OnAudioThread()) PostFromAudioThread(index);
  else PostBack(kPostUpdateGuiControl, 0, PostedCallTarget(), PostArgInt(index), 0);
}

void TDSPPluginX::PostRefresh() {
  if (OnAudioThread()) PostFromAudioThread(-1);
  else TDSPVSTBase::PostRefresh();
}

bool TDSPPluginX::TryPostFromAudioThread(std::int32_t index) {
  bool busy = false;
  if (index < 0) TryPostBack(kPostRefresh, 0, PostedCallTarget(), 0, 0, busy);
  else TryPostBack(kPostUpdateGuiControl, 0, PostedCallTarget(), PostArgInt(index), 0, busy);
  return !busy;
}

void TDSPPluginX::PostFromAudioThread(std::int32_t index) {
  if (TryPostFromAudioThread(index)) return;
  // The queue's lock is busy: posted when a later call ends.
  if (index < 0) {
    RefreshWaiting = true;
  } else {
    const auto word = static_cast<std::size_t>(index) / 64;
    if (word < GuiPostsWaiting.size()) GuiPostsWaiting[word] |= std::uint64_t{1} << (index % 64);
  }
  AudioPostsWaiting = true;
}

void TDSPPluginX::FlushAudioThreadPosts() {
  if (!AudioPostsWaiting) return;
  AudioPostsWaiting = false;
  for (std::size_t word = 0; word < GuiPostsWaiting.size(); ++word) {
    while (GuiPostsWaiting[word] != 0) {
      const int bit = std::countr_zero(GuiPostsWaiting[word]);
      if (!TryPostFromAudioThread(static_cast<std::int32_t>(word * 64 + static_cast<std::size_t>(bit)))) {
        AudioPostsWaiting = true;
        return;
      }
      GuiPostsWaiting[word] &= GuiPostsWaiting[word] - 1;
    }
  }
  if (RefreshWaiting) {
    if (!TryPostFromAudioThread(-1)) {
      AudioPostsWaiting = true;
      return;
    }
    RefreshWaiting = false;
  }
}

void TDSPPluginX::OnPostedCall(const TPostBackRec& record) {
  if (BeingDestroyed.load()) return;
  switch (record.Code) {
    case kPostUpdateGuiControl:
      UpdateGuiControlNow(static_cast<std::int32_t>(PostArgAsInt(record.Param1)));
      break;
    case kPostData:
      OnPostedData(PostArgAsPointer<void>(record.Param1));
      break;
    case kPostOpenEditor:
      OpenEditorWindow(PostArgAsPointer<void>(record.Param1));
      break;
    default:
      HandlePostedMessage(record.Code);
      break;
  }
}

bool TDSPPluginX::EditGetRect(TVstRect** rect) {
  // Linux hosts size their container before opening the editor: the
  // rectangle is the editor's size from the start.
  EditorRect.top = 0;
  EditorRect.left = 0;
  EditorRect.bottom = ClampToInt16(EditorHeight);
  EditorRect.right = ClampToInt16(EditorWidth);
  *rect = &EditorRect;
  return true;
}

bool TDSPPluginX::EditOpen(void* parentWindow) {
  PumpPostBacks();
  OpenEditorWindow(parentWindow);
  return true;
}

std::intptr_t TDSPPluginX::EditClose() { return CloseEditorWindow() ? 1 : 0; }

void TDSPPluginX::EditIdle() {
  PumpPostBacks();
  EditorWindowIdle();
}

std::intptr_t TDSPPluginX::Dispatcher(std::int32_t opcode, std::int32_t index, std::intptr_t value, void* ptr,
                                      float opt) {
  if (opcode == kEffIdle) {
    // The host's GUI thread: run what was posted for it.
    PumpPostBacks();
    return 0;
  }
  return TDSPVSTBase::Dispatcher(opcode, index, value, ptr, opt);
}

// ---- plug-in messages

std::intptr_t TDSPPluginX::SendToSink(std::int32_t code, void* ptr, float a, float b, float c) {
  if (!MessageSink) return 0;
  return MessageSink(this, code, ptr, a, b, c);
}

std::intptr_t TDSPPluginX::HandlePluginMessage(std::int32_t code, void* ptr, float a, float b, float c) {
  switch (code) {
    case kMsgNotifyChanged:
      NotifyChanged();
      break;
    case kMsgForwardChanged:
      SendToSink(kMsgChanged, nullptr, a, b, c);
      break;
    case kMsgSaveState:
      if (ptr != nullptr) SaveState(*static_cast<TStream*>(ptr));
      break;
    case kMsgLoadState:
      if (ptr != nullptr) LoadState(*static_cast<TStream*>(ptr));
      break;
    case kMsgReloadProgram:
      ReloadProgram();
      break;
    case kMsgQueryGui:
      return HasGui() ? 2 : 0;
    case kMsgBankName:
      if (AcceptsProgramChange() && ptr != nullptr)
        *static_cast<std::string*>(ptr) = RoundF(a) == 0 ? BankName : std::string();
      break;
    case kMsgProgramName:
      if (AcceptsProgramChange() && ptr != nullptr) *static_cast<std::string*>(ptr) = GetProgramNameAt(RoundF(b));
      break;
    case kMsgBankList:
      if (AcceptsProgramChange() && ptr != nullptr) FillBankList(*static_cast<TStringList*>(ptr));
      break;
    case kMsgProgramList:
      if (AcceptsProgramChange() && ptr != nullptr) FillProgramList(*static_cast<TStringList*>(ptr));
      break;
    case kMsgForward8047:
      SendToSink(kMsgForward8046, ptr, 0, 0, a);
      break;
    case kMsgForward8049:
      SendToSink(kMsgForward8048, nullptr, a, b, c);
      break;
    case kMsgProgramSelector:
      if (IsValidParam(ProgramSelectorParam)) ParameterChanged(ProgramSelectorParam);
      break;
    default:
      break;
  }
  return 1;
}

std::intptr_t TDSPPluginX::OnSinkMessage(TDSPPluginX* /*sender*/, std::int32_t code, void* /*ptr*/, float /*a*/,
                                         float /*b*/, float /*c*/) {
  // The host hears of it when the process call has released the lock.
  if (code == kMsgIoChanged) IoChangedPending.store(true);
  return 1;
}

// ---- host answers

bool TDSPPluginX::GetEffectName(std::string& name) {
  name = EffectName;
  return true;
}

bool TDSPPluginX::GetProductString(std::string& text) {
  text = EffectName;
  return true;
}

bool TDSPPluginX::GetVendorString(std::string& text) {
  text = VendorString;
  return true;
}
