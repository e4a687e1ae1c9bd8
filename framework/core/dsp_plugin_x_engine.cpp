// The plug-in as an engine: connections between instances, the render steps
// that pull connected engines, the CPU meter of those steps, output levels
// and the name table.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <mutex>

#include "framework/base/streams.h"
#include "framework/core/dsp_plugin_x.h"
#include "platform/time_stamp.h"

namespace {

// Serialises every change of the engine graph and every render step that
// pulls across it. Taken before any instance lock (see the header).
std::recursive_mutex& EngineGraphLock() {
  static std::recursive_mutex lock;
  return lock;
}

// Each rebuild walks the connected engines once: a walk's mark, unique per
// rebuild.
std::uint32_t NextRebuildMark() {
  static std::uint32_t mark = 0;
  return ++mark;  // under the graph lock
}

// Render steps running on the thread that holds the graph lock: while one
// runs, the connections it walks are not rebuilt under it.
std::int32_t RenderDepth = 0;

// Holds the instance locks of one or two engines (the graph lock held).
class TEngineLocks {
 public:
  explicit TEngineLocks(TDSPPluginX& a, TDSPPluginX* b = nullptr) : First(a), Second(b != &a ? b : nullptr) {
    First.Lock();
    if (Second != nullptr) Second->Lock();
  }
  ~TEngineLocks() {
    if (Second != nullptr) Second->Unlock();
    First.Unlock();
  }
  TEngineLocks(const TEngineLocks&) = delete;
  TEngineLocks& operator=(const TEngineLocks&) = delete;

 private:
  TDSPPluginX& First;
  TDSPPluginX* Second;
};

bool ValidChannel(const std::vector<TIOChannelRec>& channels, std::int32_t c) {
  return c >= 0 && static_cast<std::size_t>(c) < channels.size();
}

std::int32_t FindRecord(const std::vector<TEngineConnectionRec>& records, const TDSPPluginX* engine, std::int32_t pin) {
  for (std::size_t k = 0; k < records.size(); ++k)
    if (records[k].Engine == engine && records[k].Pin == pin) return static_cast<std::int32_t>(k);
  return -1;
}

void DropRecords(std::vector<TIOChannelRec>& channels, const TDSPPluginX* engine) {
  for (TIOChannelRec& c : channels)
    std::erase_if(c.Connections, [engine](const TEngineConnectionRec& r) { return r.Engine == engine; });
}

float FiniteGain(float gain) { return std::isfinite(gain) ? gain : 1.0f; }

bool AnyNonZero(const float* block, std::int32_t count) {
  if (block == nullptr) return false;
  for (std::int32_t i = 0; i < count; ++i)
    if (block[i] != 0.0f) return true;
  return false;
}

}  // namespace

void TDSPPluginX::Close() {
  DisconnectAll();
  TDSPVSTBase::Close();
}

std::int32_t TDSPPluginX::NextEngineId() {
  static std::atomic<std::int32_t> next{1};
  return next.fetch_add(1);
}

// ---- connections

std::int32_t TDSPPluginX::ConnectOutput(std::int32_t output, TDSPPluginX* target, std::int32_t input, float gain) {
  if (target == nullptr) return kNoSuchConnection;
  return target->ConnectInput(input, this, output, gain);
}

std::int32_t TDSPPluginX::ConnectInput(std::int32_t input, TDSPPluginX* source, std::int32_t output, float gain) {
  if (source == nullptr) return kNoSuchConnection;
  // The counter's rate is measured (once per process, about 2 ms) before any
  // lock is taken.
  const double ticksPerMs = TimeStampTicksPerMs();
  std::lock_guard<std::recursive_mutex> graph(EngineGraphLock());
  if (CpuTicksPerMs.load() <= 0.0) SetCpuTicksPerMs(ticksPerMs);
  if (source->CpuTicksPerMs.load() <= 0.0) source->SetCpuTicksPerMs(ticksPerMs);
  {
    TEngineLocks locks(*this, source);
    if (!ValidChannel(InputChannels, input) || !ValidChannel(source->OutputChannels, output)) return kNoSuchConnection;
    gain = FiniteGain(gain);
    auto& ins = InputChannels[static_cast<std::size_t>(input)].Connections;
    auto& outs = source->OutputChannels[static_cast<std::size_t>(output)].Connections;
    const std::int32_t in = FindRecord(ins, source, output);
    const std::int32_t out = FindRecord(outs, this, input);
    if (in >= 0) ins[static_cast<std::size_t>(in)].Gain = gain;
    else ins.push_back({source, 1, gain, output});
    if (out >= 0) outs[static_cast<std::size_t>(out)].Gain = gain;
    else outs.push_back({this, 1, gain, input});
  }
  RebuildConnections();
  return 0;
}

std::int32_t TDSPPluginX::DisconnectOutput(std::int32_t output, TDSPPluginX* target, std::int32_t input) {
  if (target == nullptr) return kNoSuchConnection;
  return target->DisconnectInput(input, this, output);
}

std::int32_t TDSPPluginX::DisconnectInput(std::int32_t input, TDSPPluginX* source, std::int32_t output) {
  if (source == nullptr) return kNoSuchConnection;
  std::lock_guard<std::recursive_mutex> graph(EngineGraphLock());
  {
    TEngineLocks locks(*this, source);
    if (!ValidChannel(InputChannels, input) || !ValidChannel(source->OutputChannels, output)) return kNoSuchConnection;
    auto& ins = InputChannels[static_cast<std::size_t>(input)].Connections;
    auto& outs = source->OutputChannels[static_cast<std::size_t>(output)].Connections;
    const std::int32_t in = FindRecord(ins, source, output);
    const std::int32_t out = FindRecord(outs, this, input);
    if (in < 0 && out < 0) return kNoSuchConnection;
    if (in >= 0) ins.erase(ins.begin() + in);
    if (out >= 0) outs.erase(outs.begin() + out);
  }
  RebuildConnections();
  source->RebuildConnections();
  return 0;
}

std::int32_t TDSPPluginX::FindInputConnection(std::int32_t input, const TDSPPluginX* source, std::int32_t output) {
  std::lock_guard<std::recursive_mutex> graph(EngineGraphLock());
  TEngineLocks locks(*this);
  if (!ValidChannel(InputChannels, input)) return -1;
  return FindRecord(InputChannels[static_cast<std::size_t>(input)].Connections, source, output);
}

std::int32_t TDSPPluginX::FindOutputConnection(std::int32_t output, const TDSPPluginX* target, std::int32_t input) {
  std::lock_guard<std::recursive_mutex> graph(EngineGraphLock());
  TEngineLocks locks(*this);
  if (!ValidChannel(OutputChannels, output)) return -1;
  return FindRecord(OutputChannels[static_cast<std::size_t>(output)].Connections, target, input);
}

void TDSPPluginX::DisconnectInputs() { DisconnectSide(true); }

void TDSPPluginX::DisconnectOutputs() { DisconnectSide(false); }

void TDSPPluginX::DisconnectSide(bool inputs) {
  std::lock_guard<std::recursive_mutex> graph(EngineGraphLock());
  std::vector<TDSPPluginX*> peers;
  {
    TEngineLocks locks(*this);
    for (const TIOChannelRec& c : inputs ? InputChannels : OutputChannels)
      for (const TEngineConnectionRec& r : c.Connections)
        if (std::find(peers.begin(), peers.end(), r.Engine) == peers.end()) peers.push_back(r.Engine);
  }
  for (TDSPPluginX* peer : peers) {
    TEngineLocks locks(*this, peer);
    if (inputs) {
      peer->DetachOutputs(this);
      DetachInputs(peer);
    } else {
      peer->DetachInputs(this);
      DetachOutputs(peer);
    }
  }
  RebuildConnections();
  for (TDSPPluginX* peer : peers) peer->RebuildConnections();
}

void TDSPPluginX::DisconnectAll() {
  std::lock_guard<std::recursive_mutex> graph(EngineGraphLock());
  DisconnectInputs();
  DisconnectOutputs();
}

void TDSPPluginX::DetachInputs(const TDSPPluginX* engine) { DropRecords(InputChannels, engine); }

void TDSPPluginX::DetachOutputs(const TDSPPluginX* engine) { DropRecords(OutputChannels, engine); }

void TDSPPluginX::DetachAll(const TDSPPluginX* engine) {
  DetachInputs(engine);
  DetachOutputs(engine);
}

void TDSPPluginX::ClearIOChannels() {
  ClearChannelRecords(InputChannels);
  ClearChannelRecords(OutputChannels);
  for (TIOChannelRec& c : InputChannels)
    if (c.InputSum) c.InputSum->ClearSources();
  InputPinList.clear();
}

std::vector<TEngineConnectionRec> TDSPPluginX::InputConnections(std::int32_t input) {
  std::lock_guard<std::recursive_mutex> graph(EngineGraphLock());
  TEngineLocks locks(*this);
  if (!ValidChannel(InputChannels, input)) return {};
  return InputChannels[static_cast<std::size_t>(input)].Connections;
}

std::vector<TEngineConnectionRec> TDSPPluginX::OutputConnections(std::int32_t output) {
  std::lock_guard<std::recursive_mutex> graph(EngineGraphLock());
  TEngineLocks locks(*this);
  if (!ValidChannel(OutputChannels, output)) return {};
  return OutputChannels[static_cast<std::size_t>(output)].Connections;
}

std::int64_t TDSPPluginX::ExportConnections(TStream& stream) {
  std::lock_guard<std::recursive_mutex> graph(EngineGraphLock());
  TEngineLocks locks(*this);
  std::int64_t written = 0;
  for (std::size_t c = 0; c < InputChannels.size(); ++c) {
    for (const TEngineConnectionRec& r : InputChannels[c].Connections) {
      const std::int32_t fields[5] = {
          static_cast<std::int32_t>(c), r.Pin, kConnectionMarker, r.Engine->EngineId,
          static_cast<std::int32_t>(std::lrint(std::clamp(r.Gain * kConnectionGainScale, -2.0e9f, 2.0e9f)))};
      for (std::int32_t v : fields) written += WriteInt32(stream, v);
    }
  }
  return written;
}

bool TDSPPluginX::ImportConnections(TStream& stream, std::int32_t count, const TEngineResolver& resolve,
                                    std::string& errorText) {
  struct TImported {
    std::int32_t Channel, Pin;
    TDSPPluginX* Engine;
    float Gain;
  };
  std::vector<TImported> imported;
  if (count < 0 || stream.Remaining() < static_cast<std::int64_t>(count) * kConnectionRecordBytes) {
    errorText = "Connection records are cut short.";
    return false;
  }
  const std::int64_t start = stream.Position();
  std::lock_guard<std::recursive_mutex> graph(EngineGraphLock());
  for (std::int32_t k = 0; k < count; ++k) {
    std::int32_t f[5];
    for (std::int32_t& v : f) ReadInt32(stream, v);
    TDSPPluginX* engine = f[2] == kConnectionMarker && resolve ? resolve(f[3]) : nullptr;
    const std::string which = "Connection record " + std::to_string(k + 1) + ": ";
    std::string error;
    if (f[2] != kConnectionMarker) error = which + "not a connection record.";
    else if (!ValidChannel(InputChannels, f[0])) error = which + "no input channel " + std::to_string(f[0]) + ".";
    else if (engine == nullptr) error = which + "no engine with id " + std::to_string(f[3]) + ".";
    else if (!ValidChannel(engine->OutputChannels, f[1]))
      error = which + "no output channel " + std::to_string(f[1]) + ".";
    if (!error.empty()) {
      stream.SetPosition(start);
      errorText = error;
      return false;
    }
    imported.push_back({f[0], f[1], engine, static_cast<float>(f[4]) / kConnectionGainScale});
  }
  DisconnectInputs();
  for (const TImported& r : imported) ConnectInput(r.Channel, r.Engine, r.Pin, r.Gain);
  return true;
}

std::int32_t TDSPPluginX::CountActiveOutputs() {
  std::int32_t count = 0;
  for (const TIOChannelRec& c : OutputChannels)
    for (const TEngineConnectionRec& r : c.Connections)
      if (r.Engine->IsActive()) ++count;
  return count;
}

void TDSPPluginX::RebuildConnections() {
  // Reached from the parameter path (the mute parameter), possibly on the
  // audio thread with an instance lock held: the graph lock is only tried
  // then, and the rebuild allocates nothing unless connections were added. A
  // render step recounts the active outputs at the start of every period
  // anyway.
  std::unique_lock<std::recursive_mutex> graph(EngineGraphLock(), std::try_to_lock);
  if (!graph.owns_lock() || RenderDepth > 0) return;
  RebuildFrom(NextRebuildMark());
}

void TDSPPluginX::RebuildFrom(std::uint32_t mark) {
  if (RebuildMark == mark) return;
  RebuildMark = mark;
  TEngineLocks locks(*this);
  ActiveOutputCount = CountActiveOutputs();
  for (TIOChannelRec& c : InputChannels) {
    if (!c.InputSum) continue;
    c.InputSum->ClearSources();
    for (TEngineConnectionRec& r : c.Connections) {
      const auto pin = static_cast<std::size_t>(r.Pin);
      TOutPutChannelSum* module =
          pin < r.Engine->OutputChannels.size() ? r.Engine->OutputChannels[pin].OutputSum.get() : nullptr;
      c.InputSum->AddSource(module, &r.Gain);
    }
  }
  BuildInputPinList();
  // Each engine once per mark: a cycle ends where it started.
  for (const auto* channels : {&InputChannels, &OutputChannels})
    for (const TIOChannelRec& c : *channels)
      for (const TEngineConnectionRec& r : c.Connections) r.Engine->RebuildFrom(mark);
}

bool TDSPPluginX::HasActiveSource() {
  std::lock_guard<std::recursive_mutex> graph(EngineGraphLock());
  TEngineLocks locks(*this);
  for (const TIOChannelRec& c : InputChannels)
    for (const TEngineConnectionRec& r : c.Connections)
      if (r.Engine->IsActive()) return true;
  return false;
}

bool TDSPPluginX::IsEngineMode() {
  std::lock_guard<std::recursive_mutex> graph(EngineGraphLock());
  TEngineLocks locks(*this);
  for (const auto* channels : {&InputChannels, &OutputChannels})
    for (const TIOChannelRec& c : *channels)
      if (!c.Connections.empty()) return true;
  return false;
}

void TDSPPluginX::BuildInputPinList() {
  InputPinList.clear();
  for (std::size_t c = 0; c < InputChannels.size(); ++c)
    for (std::size_t k = 0; k < InputChannels[c].Connections.size(); ++k)
      InputPinList.emplace_back(static_cast<std::int32_t>(c), static_cast<std::int32_t>(k));
}

bool TDSPPluginX::SetInputPinGain(std::int32_t pin, std::int32_t value) {
  // The audio thread, instance lock held: the pin list and the records
  // change only under it.
  if (pin < 0 || static_cast<std::size_t>(pin) >= InputPinList.size()) return false;
  const auto [channel, k] = InputPinList[static_cast<std::size_t>(pin)];
  InputChannels[static_cast<std::size_t>(channel)].Connections[static_cast<std::size_t>(k)].Gain =
      static_cast<float>(value) / kConnectionGainScale;
  return true;
}

// ---- render steps

bool TDSPPluginX::RenderStep() {
  std::lock_guard<std::recursive_mutex> graph(EngineGraphLock());
  if (StepRunning) {
    // A pull that comes back around a cycle while a period's render runs is
    // one of the period's pulls (its consumer is an active output): it gets
    // the kept block, so the cycle hears the previous one, and counts.
    // Uncounted, an engine in a cycle with another consumer would render
    // only every other block.
    if (StepCounter > 0) ++StepCounter;
    return KeptSignal;
  }
  if (StepCounter == 0) {
    // A period is one pull from each active output; this is its first.
    {
      TEngineLocks locks(*this);
      ActiveOutputCount = CountActiveOutputs();
    }
    StepCounter = 1;
    RenderStepMeasured();
  } else {
    ++StepCounter;
  }
  if (StepCounter >= std::max(1, ActiveOutputCount)) StepCounter = 0;
  return KeptSignal;
}

bool TDSPPluginX::RenderStepMeasured() {
  std::lock_guard<std::recursive_mutex> graph(EngineGraphLock());
  if (StepRunning) return KeptSignal;
  StartCpuMeter();
  RenderStepUnconditional();
  StopCpuMeter();
  CheckOverload();
  return KeptSignal;
}

bool TDSPPluginX::RenderStepUnconditional() {
  std::lock_guard<std::recursive_mutex> graph(EngineGraphLock());
  if (StepRunning) return KeptSignal;
  StepRunning = true;
  ++RenderDepth;
  TEngineLocks locks(*this);
  ApplyEngineProgram();
  float* block = GetOutputBuffer();
  bool inputs = false;
  if (IsActive() && !IsSuspended() && !IsUpdating() && !IsMuted() && block != nullptr) {
    inputs = GatherInputs();
    RenderVoices();
    if (BlockHasSignal) ApplyOutputGain();
    LimitOutput(block, Settings->StereoLength);
    KeptSignal = BlockHasSignal;
  } else {
    // Consumers mix this block: they must not hear the last one again.
    if (block != nullptr) std::fill_n(block, Settings->StereoLength, 0.0f);
    KeptSignal = false;
  }
  LastStepSignal.store(inputs || KeptSignal);
  --RenderDepth;
  StepRunning = false;
  return KeptSignal;
}

void TDSPPluginX::ApplyEngineProgram() {
  // An engine that no host processes has its first block here: the program
  // current at start-up applies before its first sound, as on the host's path.
  if (!FirstCallSeen.load()) {
    if (!IsLive()) MarkProgramPending();
    FirstCallSeen = true;
  }
  Live.store(true);
  // ApplyPendingProgram without the host's time info: only the host's own
  // process path reads that snapshot (it is taken outside the lock).
  if (ProgramPending.exchange(false)) {
    ApplyProgram();
    ProgramsCaughtUp();
    PostRefresh();
  }
}

bool TDSPPluginX::GatherChannel(std::size_t channel) {
  TIOChannelRec& rec = InputChannels[channel];
  TInputChannelSum* sum = rec.InputSum.get();
  if (!rec.Active || sum == nullptr) return false;
  sum->ClearSum();
  for (std::size_t k = 0; k < rec.Connections.size() && k < sum->Sources.size(); ++k) {
    TDSPPluginX* source = rec.Connections[k].Engine;
    if (!source->IsActive()) continue;
    source->RenderStep();
    // The source's block is read under its own lock: a host may be
    // processing it on its audio thread meanwhile.
    TEngineLocks sourceLock(*source);
    sum->MixSource(static_cast<std::int32_t>(k));
  }
  sum->SplitStereo();
  return AnyNonZero(sum->SumBuffer.get(), Settings->StereoLength);
}

bool TDSPPluginX::GatherInputs() {
  bool any = !InputChannels.empty() && GatherChannel(0);
  if (GatherSideInputs()) any = true;
  return any;
}

bool TDSPPluginX::GatherSideInputs() {
  bool any = false;
  for (std::size_t c = 1; c < InputChannels.size(); ++c)
    if (GatherChannel(c)) any = true;
  return any;
}

// ---- CPU meter

void TDSPPluginX::SetCpuTicksPerMs(double ticks) {
  CpuTicksPerMs.store(std::isfinite(ticks) && ticks > 0.0 ? ticks : 0.0);
  UpdateCpuBudget();
}

void TDSPPluginX::UpdateCpuBudget() {
  const double blockMs =
      static_cast<double>(Settings->BlockSize) * 1000.0 / std::max(1.0, static_cast<double>(Settings->SampleRate));
  CpuBudgetTicks.store(static_cast<std::uint64_t>(CpuTicksPerMs.load() * blockMs));
}

void TDSPPluginX::StartCpuMeter() { CpuStartTicks = TimeStampClock(); }

void TDSPPluginX::StopCpuMeter() {
  const std::uint64_t now = TimeStampClock();
  CpuLastTicks = now >= CpuStartTicks ? now - CpuStartTicks : 0;
}

void TDSPPluginX::CheckOverload() {
  // Without a budget (the counter's rate unknown) nothing counts.
  const std::uint64_t budget = CpuBudgetTicks.load();
  if (budget == 0) return;
  if (CpuLastTicks > budget) ++OverloadCount;
  else if (OverloadCount > 0) --OverloadCount;
  if (OverloadCount > OverloadLimit) {
    OnOverload();
    OverloadCount = 0;
  }
}

void TDSPPluginX::OnOverload() { ResetEngine(); }

// ---- levels and names

void TDSPPluginX::GetOutputLevels(float& left, float& right) {
  left = right = 0.0f;
  if (!IsActive() || !LastStepSignal.load()) return;
  Lock();
  const float* block = GetOutputBuffer();
  const std::int32_t n = Settings->BlockSize;
  if (block != nullptr && n > 0) {
    double l = 0.0, r = 0.0;
    for (std::int32_t i = 0; i < n; ++i) {
      l += std::fabs(block[2 * i]);
      r += std::fabs(block[2 * i + 1]);
    }
    left = static_cast<float>(l / n);
    right = static_cast<float>(r / n);
  }
  Unlock();
}

void TDSPPluginX::AllocNameTable(std::int32_t capacity) {
  NameTable.clear();
  NameTable.shrink_to_fit();
  NameTable.reserve(static_cast<std::size_t>(std::clamp(capacity, 0, 1 << 16)));
}

bool TDSPPluginX::FindRecordByName(std::string_view name, TNameTableRec& record) {
  const std::string key = ShortString(name);
  for (std::size_t i = 0; i < NameTable.size(); ++i) {
    if (NameTable[i] == key) {
      record.Index = static_cast<std::int32_t>(i);
      record.Name = NameTable[i];
      return true;
    }
  }
  return false;
}
