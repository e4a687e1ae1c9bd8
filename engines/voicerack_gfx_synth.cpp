// The rack's construction, buffers, settings, the effect chain with its
// shift stages, the order of the chain and the idle counter.
#include "engines/voicerack_gfx_synth.h"

#include <emmintrin.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>

#include "dsp/effects/effect_lfo.h"
#include "dsp/oscillators/random_source.h"
#include "engines/fx_chain_order.h"
#include "framework/core/chunk_reading.h"

namespace {

// FX index of the shift parameters.
constexpr int kFxPreShift = 1;
constexpr int kFxPostShift = 2;

// out := left and right interleaved, four pairs per register; true when a
// sample of either side exceeds the rack's signal level in magnitude (NaN
// does not).
bool InterleaveDetect(const float* left, const float* right, float* out, std::int32_t n) {
  const __m128 level = _mm_set1_ps(TVoicerackGFXSynth::kRackSignalLevel);
  const __m128 magnitude = _mm_castsi128_ps(_mm_set1_epi32(0x7FFFFFFF));
  __m128 loud = _mm_setzero_ps();
  std::int32_t i = 0;
  for (; i + 4 <= n; i += 4) {
    const __m128 l = _mm_loadu_ps(left + i), r = _mm_loadu_ps(right + i);
    _mm_storeu_ps(out + 2 * i, _mm_unpacklo_ps(l, r));
    _mm_storeu_ps(out + 2 * i + 4, _mm_unpackhi_ps(l, r));
    loud = _mm_or_ps(
        loud, _mm_or_ps(_mm_cmpgt_ps(_mm_and_ps(l, magnitude), level), _mm_cmpgt_ps(_mm_and_ps(r, magnitude), level)));
  }
  bool signal = _mm_movemask_ps(loud) != 0;
  for (; i < n; ++i) {
    out[2 * i] = left[i];
    out[2 * i + 1] = right[i];
    signal |= std::fabs(left[i]) > TVoicerackGFXSynth::kRackSignalLevel ||
              std::fabs(right[i]) > TVoicerackGFXSynth::kRackSignalLevel;
  }
  return signal;
}

// How many floats the runs hold.
struct TLineCount final : TLineVisitor {
  void Run(float* /*data*/, std::size_t floats) override { Floats += floats; }
  std::size_t Floats = 0;
};

}  // namespace

TVoicerackGFXSynth::TVoicerackGFXSynth() {
  EditorWidth = 774;
  EditorHeight = 400;
  ParamCount = std::max(ParamCount, kRackParamCount);
  FxMap.fill(-1);
  FxPanels.fill(-1);
  for (auto& lfo : FxLfos) lfo = CreateEffectLfo();
  ReverbFx = std::make_unique<TDSPReverbX>();
  DistortionFx = std::make_unique<TDSPXDistortion>();
  ChorusFx = std::make_unique<TDSPXChorus>();
  XFilterFx = std::make_unique<TDSPXXFilter>();
  DelayFx = std::make_unique<TDSPXDelay>();
  PhaserFx = std::make_unique<TDSPXPhaser>();
  EqFx = std::make_unique<TDSPXEq>();
  Effects = {ReverbFx.get(), DistortionFx.get(), ChorusFx.get(), XFilterFx.get(),
             DelayFx.get(),  PhaserFx.get(),     EqFx.get()};
  Chain = InitialFxChain();
  for (TDSPStereoEffect* e : Effects) e->SetAudioSettings(Settings);
  PropagateTempo();
  ReallocBuffers();
  TVoicerackGFXSynth::ReseedRandomSources();
}

void TVoicerackGFXSynth::ResetSound() {
  TDSPPluginX::ResetSound();
  TPluginLockGuard lock(*this);
  ClearRackState();
  // The lines are clear and hold no tail: a rack that the new program
  // switches off is not cleared again on the audio thread.
  RackRunning = false;
}

void TVoicerackGFXSynth::ReseedRandomSources() {
  // Places 0..5 the FX LFOs, 16.. the effects (by their fixed slots).
  for (std::size_t k = 0; k < FxLfos.size(); ++k) FxLfos[k]->SetRandomSeed(MixSeed(kRandomSeed, k));
  for (std::size_t e = 0; e < Effects.size(); ++e) Effects[e]->SetRandomSeed(MixSeed(kRandomSeed, 16 + e));
}

TVoicerackGFXSynth::~TVoicerackGFXSynth() {
  // No change of this instance (a reverb network) may be built while its
  // parts go.
  Changes().Detach();
}

// ---- settings and buffers

void TVoicerackGFXSynth::SetAudioSettings(TAudioSettingsRec* rec) {
  TDSPPluginGui::SetAudioSettings(rec);
  for (auto& lfo : FxLfos) KeepOnControlRate(*lfo);
  for (TFxUnit unit : Chain) Effect(unit).SetAudioSettings(Settings);
  PropagateTempo();
  // Ring lengths computed for the old rate would not fit (or not mean the
  // same time) in the new rings.
  if (FxMapAssigned) UpdateShifts();
}

void TVoicerackGFXSynth::ReallocBuffers() {
  TDSPPluginGui::ReallocBuffers();
  const std::int32_t floats = Settings->BufferLength;
  std::array<std::unique_ptr<float[]>, 4> fresh;
  for (auto& buffer : fresh) buffer.reset(new float[static_cast<std::size_t>(floats)]());
  {
    TPluginLockGuard lock(*this);
    std::swap(MixBuffers, fresh);
    MixFloats = floats;
  }
  // The rings hold 255 ms at the new rate (and 25 spare floats).
  for (TShiftLines& stage : Shifts) stage.Allocate(Settings->SamplesPerMs, 25);
}

void TVoicerackGFXSynth::ReleaseBuffers() {
  std::array<std::unique_ptr<float[]>, 4> old;
  {
    TPluginLockGuard lock(*this);
    std::swap(MixBuffers, old);
    MixFloats = 0;
  }
  for (TShiftLines& stage : Shifts) stage.Release();
  TDSPPluginGui::ReleaseBuffers();
  ClearBufferPointers();
}

void TVoicerackGFXSynth::TempoChanged() {
  TDSPPluginGui::TempoChanged();
  PropagateTempo();
}

void TVoicerackGFXSynth::PropagateTempo() {
  for (TFxUnit unit : Chain) Effect(unit).SetTempo(Tempo);
}

// ---- processing

void TVoicerackGFXSynth::RunShiftStage(TShiftStage stage, float* left, float* right, std::int32_t n) {
  TShiftLines& lines = Shifts[stage];
  // A stage without a shift on either side costs nothing.
  if (!lines.IsAllocated() || (lines.GetLength(0) < 2 && lines.GetLength(1) < 2)) return;
  lines.ExchangeBlock(0, left, left, n);
  lines.ExchangeBlock(1, right, right, n);
}

void TVoicerackGFXSynth::ProcessFX() {
  float* out = GetOutputBuffer();
  float* left = MixLeft();
  float* right = MixRight();
  if (out == nullptr || left == nullptr || right == nullptr) return;
  const std::int32_t n = std::min(Settings->BlockSize, MixFloats);
  const std::int32_t step = Settings->SamplesPerMs;

  CatchUpOrder();
  const bool voicesSound = BlockHasSignal;
  if (voicesSound) IdleCount = 0;
  const bool run = FxOn.load(std::memory_order_relaxed) && step >= 1 && IdleCount < IdleThreshold();
  if (run) {
    // What the lines held when the rack stopped must never come out: lines
    // that are not fresh yet are zeroed here.
    if (LinesToClear) {
      TLineCount lines;
      VisitRackLines(lines);
      ClearRackState();
      ZeroedInPlace += lines.Floats;
    }
    // Id counts the samples since the last modulation update; -1 (after
    // construction or a settings change) updates at once.
    if (Id == -1) {
      UpdateFXModulation();
      Id = 0;
    }
    // One-millisecond sub-blocks: the effects process SamplesPerMs samples.
    for (std::int32_t pos = 0; pos + step <= n; pos += step) {
      if (Settings->SamplesPerMsB <= Id) {
        UpdateFXModulation();
        Id = 0;
      }
      Id += step;
      RunShiftStage(kPreShift, left + pos, right + pos, step);
      for (TFxUnit unit : Chain) {
        TDSPStereoEffect& effect = Effect(unit);
        if (effect.IsEnabled()) effect.ProcessStereo(left + pos, right + pos);
      }
      RunShiftStage(kPostShift, left + pos, right + pos, step);
    }
    RackRunning = true;
  } else {
    // The rack stops (idle or switched off): what its lines still hold must
    // not come out when it starts again.
    if (RackRunning) BeginRackClear();
    RackRunning = false;
    if (LinesToClear && ClearAsked != ClearWanted) {
      ClearAsked = ClearWanted;
      RequestPreparedChange(FreshLines);
    }
  }

  const bool signal = InterleaveDetect(left, right, out, n);
  BlockHasSignal = signal;
  if (signal) IdleCount = 0;
  IdleCount += n;
  // Once the voices are silent, the lines may still deliver an echo: while
  // the rack runs on its tail the core must keep rendering, or its silence
  // gate would cut the tail and leave it in the line. While the voices
  // sound, the gate counts silence at the output as it does without the
  // rack (a note held at volume 0 is silence).
  if (RackRunning && !voicesSound) SilenceCount = 0;
}

std::int64_t TVoicerackGFXSynth::IdleThreshold() {
  const std::int64_t margin = static_cast<std::int64_t>(kIdleMarginMs) * Settings->SamplesPerMs;
  // Only a counter past the margin needs the lines' lengths.
  if (IdleCount < margin) return margin;
  std::int64_t lines = 0;
  for (const TShiftLines& stage : Shifts) {
    const std::int32_t longest = std::max(stage.GetLength(0), stage.GetLength(1));
    if (longest >= 2) lines += longest;  // a stage without a shift does not run
  }
  // The effects run in series: a signal may pass the longest path of each.
  for (const TDSPStereoEffect* effect : Effects)
    if (effect->IsEnabled()) lines += effect->TailSamples();
  return margin + lines;
}

void TVoicerackGFXSynth::ClearRackState() {
  for (TDSPStereoEffect* e : Effects) e->ClearState();
  for (TShiftLines& stage : Shifts) stage.Clear();
  LinesToClear = false;
}

void TVoicerackGFXSynth::VisitRackLines(TLineVisitor& visitor) const {
  for (const TDSPStereoEffect* e : Effects) e->VisitLines(visitor);
  for (const TShiftLines& stage : Shifts) stage.Visit(visitor);
}

void TVoicerackGFXSynth::BeginRackClear() {
  for (TDSPStereoEffect* e : Effects) e->ClearSmallState();
  LinesToClear = true;
  ++ClearWanted;
}

void TVoicerackGFXSynth::ExchangeRackLines(TLineExchange& exchange) {
  for (TDSPStereoEffect* e : Effects) e->ExchangeLines(exchange);
  for (TShiftLines& stage : Shifts) stage.Exchange(exchange);
}

namespace {

// The runs' sizes, in order (the first kMaxLineRuns of them), and their count.
struct TRunSizes final : TLineVisitor {
  void Run(float* /*data*/, std::size_t floats) override {
    if (Count < Floats.size()) Floats[Count] = floats;
    ++Count;
  }
  std::array<std::size_t, TVoicerackGFXSynth::kMaxLineRuns> Floats{};
  std::size_t Count = 0;
};

// Puts the blocks in the runs' places, in order, keeping the runs.
struct TSwapIn final : TLineExchange {
  explicit TSwapIn(std::span<std::unique_ptr<float[]>> blocks) : Blocks(blocks) {}
  void Exchange(std::unique_ptr<float[]>& line, std::size_t /*floats*/) override {
    if (Next < Blocks.size()) std::swap(line, Blocks[Next]);
    ++Next;
  }
  std::span<std::unique_ptr<float[]>> Blocks;
  std::size_t Next = 0;
};

}  // namespace

bool TVoicerackGFXSynth::TFreshLinesChange::TakeRequest() {
  if (!Rack.LinesToClear) return false;
  TRunSizes runs;
  Rack.VisitRackLines(runs);
  if (runs.Count > runs.Floats.size()) return false;
  Wanted = Rack.ClearWanted;
  RunCount = runs.Count;
  RunFloats = runs.Floats;
  return true;
}

void TVoicerackGFXSynth::TFreshLinesChange::Build() {
  for (std::size_t k = 0; k < RunCount; ++k) Built[k].reset(new float[RunFloats[k]]());
}

void TVoicerackGFXSynth::TFreshLinesChange::Install() {
  // The rack ran (its lines were zeroed in place) or stopped again since.
  if (!Rack.LinesToClear || Wanted != Rack.ClearWanted) return;
  TRunSizes runs;
  Rack.VisitRackLines(runs);
  if (runs.Count != RunCount || runs.Floats != RunFloats) {
    // A line was rebuilt meanwhile: fresh lines of the sizes they have now.
    ++Rack.ClearWanted;
    return;
  }
  TSwapIn swap(std::span<std::unique_ptr<float[]>>(Built.data(), RunCount));
  Rack.ExchangeRackLines(swap);
  Rack.LinesToClear = false;
}

void TVoicerackGFXSynth::TFreshLinesChange::Release() {
  for (auto& block : Built) block.reset();
}

// ---- shifts

void TVoicerackGFXSynth::UpdateShifts() {
  if (!FxMapAssigned) return;
  TPluginLockGuard lock(*this);
  // The parameters are tenths of a millisecond (-2550..2550).
  Shifts[kPreShift].SetShift(GetParameterReal(FxParamIndex(kFxPreShift)) * 0.1f, Settings->SamplesPerMs);
  Shifts[kPostShift].SetShift(GetParameterReal(FxParamIndex(kFxPostShift)) * 0.1f, Settings->SamplesPerMs);
}

// ---- chain order

int TVoicerackGFXSynth::OrderTurnOfParam(std::int32_t id) const {
  const int fx = IsValidParam(id) ? FxIndexOfParam(id) : -1;
  if (fx < 0 || FxParamRow(fx).Op != TFxOp::MoveEffect) return -1;
  return FxOrderTurnOf(FxParamRow(fx).Unit);
}

void TVoicerackGFXSynth::SetParameterValue(std::int32_t i, float v) {
  const int turn = OrderTurnOfParam(i);
  if (turn < 0) TDSPPluginGui::SetParameterValue(i, v);
  else SetOrderValue(i, turn, ClampLoadedValue(v));
}

void TVoicerackGFXSynth::SetParameterReal(std::int32_t i, float x) {
  const int turn = OrderTurnOfParam(i);
  if (turn < 0) TDSPPluginGui::SetParameterReal(i, x);
  else SetOrderValue(i, turn, ParamInfo[i].NormFromReal(x));
}

template <class TFn>
bool TVoicerackGFXSynth::UnderValueRight(TFn&& fn) {
  if (!OnAudioThread()) {
    TValueRightGuard right(*this);
    fn();
    return true;
  }
  if (!TryTakeValueRight()) return false;
  fn();
  ReleaseValueRight(false);
  return true;
}

void TVoicerackGFXSynth::SetOrderValue(std::int32_t id, int turn, float v) {
  const TOrderWrite write{CurrentProgram(), turn, v, InstanceMutex().HeldHere() && ParamBatchCount > 0};
  std::uint32_t written = 0;
  if (!UnderValueRight([&] { written = WriteOrderValues(write); })) {
    // The holder writes it before it lets the right go; the chain and the
    // controls follow at a later block. Tried again: the holder may have
    // let go before it saw the write.
    if (OrderWritesLeft.Push(write)) OrderWritesWaiting.store(true);
    if (TryTakeValueRight()) ReleaseValueRight(false);
    return;
  }
  for (int k = 0; k < kFxEffectCount; ++k) {
    if (k != turn && ((written >> k) & 1u) != 0) UpdateGuiControl(FxParamIndex(FxOrderTurnParam(k)), false);
  }
  if (!HandOverParameterChange(id)) ParameterChanged(id);
}

int TVoicerackGFXSynth::StoredOrderValue(std::int32_t id, const float& slot) const {
  return RoundF(ParamInfo[id].RealFromNorm(LoadParamSlot(slot)));
}

std::uint32_t TVoicerackGFXSynth::WriteOrderValues(const TOrderWrite& write) {
  std::array<std::int32_t, kFxEffectCount> ids{};
  std::array<float*, kFxEffectCount> slots{};
  TFxOrderValues values{};
  for (int k = 0; k < kFxEffectCount; ++k) {
    const auto n = static_cast<std::size_t>(k);
    ids[n] = FxParamIndex(FxOrderTurnParam(k));
    slots[n] = ids[n] >= 0 ? ProgramValueSlot(write.Program, ids[n]) : nullptr;
    if (slots[n] == nullptr) return 0;
    values[n] = StoredOrderValue(ids[n], *slots[n]);
  }
  const auto store = [&](int k, float v) { StoreParamSlot(*slots[static_cast<std::size_t>(k)], v); };
  // The chain these values give is the one that plays while they are current.
  TFxChain chain = ReplayFxOrder(values);
  const auto turn = static_cast<std::size_t>(write.Turn);
  store(write.Turn, write.Value);
  std::uint32_t written = 1u << write.Turn;
  if (write.Raw) return written;
  const int position = RoundF(ParamInfo[ids[turn]].RealFromNorm(write.Value));
  const bool fixed = position >= 0 && position < kFxEffectCount;
  const TFxUnit effect = FxOrderTurnUnit(write.Turn);
  const auto at = static_cast<std::size_t>(std::find(chain.begin(), chain.end(), effect) - chain.begin());
  if (fixed) std::swap(chain[at], chain[static_cast<std::size_t>(position)]);
  // The values are rewritten so that they rebuild this chain from scratch:
  // the moved effect keeps the position it was given, the others name
  // their positions where the replay allows it (the occupant names its new
  // place). Positions outside 0..6 leave the chain and are not kept.
  TFxOrderValues found{};
  if (!FindFxOrderValues(chain, fixed ? write.Turn : -1, position, found)) return written;
  for (int k = 0; k < kFxEffectCount; ++k) {
    const auto n = static_cast<std::size_t>(k);
    if (StoredOrderValue(ids[n], *slots[n]) == found[n]) continue;
    store(k, ParamInfo[ids[n]].NormFromReal(static_cast<float>(found[n])));
    written |= 1u << k;
  }
  return written;
}

bool TVoicerackGFXSynth::ValueWritesWaiting() const {
  return OrderWritesWaiting.load() || TDSPPluginGui::ValueWritesWaiting();
}

void TVoicerackGFXSynth::RunWaitingValueWrites() {
  TDSPPluginGui::RunWaitingValueWrites();
  if (!OrderWritesWaiting.exchange(false)) return;
  TOrderWrite write;
  std::uint32_t written = 0;
  while (OrderWritesLeft.Pop(write)) written |= WriteOrderValues(write);
  if (written == 0) return;
  OrderControlsStale.fetch_or(written);
  ChainStale.store(true);
}

void TVoicerackGFXSynth::RebuildChain() {
  TFxOrderValues values{};
  const bool read = UnderValueRight([&] {
    ChainStale.store(false);
    const std::int32_t program = CurrentProgram();
    for (int k = 0; k < kFxEffectCount; ++k) {
      const std::int32_t id = FxParamIndex(FxOrderTurnParam(k));
      const float* slot = id >= 0 ? ProgramValueSlot(program, id) : nullptr;
      values[static_cast<std::size_t>(k)] = slot != nullptr ? StoredOrderValue(id, *slot) : 0;
    }
  });
  if (!read) {
    ChainStale.store(true);
    return;
  }
  // The stored values alone make the chain; they stay as they are.
  Chain = ReplayFxOrder(values);
}

void TVoicerackGFXSynth::CatchUpOrder() {
  if (ChainStale.load(std::memory_order_relaxed)) RebuildChain();
  if (OrderControlsStale.load(std::memory_order_relaxed) == 0) return;
  const std::uint32_t stale = OrderControlsStale.exchange(0);
  for (int k = 0; k < kFxEffectCount; ++k)
    if (((stale >> k) & 1u) != 0) UpdateGuiControl(FxParamIndex(FxOrderTurnParam(k)), false);
}

// ---- batches

void TVoicerackGFXSynth::ParamBatchDone() {
  TDSPPluginGui::ParamBatchDone();
  if (OrderDirty) {
    OrderDirty = false;
    RebuildChain();
  }
}

void TVoicerackGFXSynth::PreloadChannelMode(std::int32_t param, float normalised) {
  const int fx = FxIndexOfParam(param);
  if (fx < 0 || FxParamRow(fx).Op != TFxOp::ChannelMode || !IsValidParam(param)) return;
  ChannelModes[static_cast<std::size_t>(FxParamRow(fx).Unit)] = RoundF(ParamInfo[param].RealFromNorm(normalised));
}

void TVoicerackGFXSynth::ApplyProgram() {
  // Before the host resumed or processed nothing is applied yet.
  if (!IsLive()) {
    TDSPPluginGui::ApplyProgram();
    return;
  }
  TPluginLockGuard lock(*this);
  ReseedRandomSources();
  // The right sides follow the left ones by the program's own modes, not
  // by those of the program before: the modes come first.
  if (FxMapAssigned) {
    for (int fx = 0; fx < kFxParamCount; ++fx) {
      if (FxParamRow(fx).Op == TFxOp::ChannelMode)
        PreloadChannelMode(FxParamIndex(fx), GetParameterValue(FxParamIndex(fx)));
    }
  }
  BeginParamBatch();
  TDSPPluginGui::ApplyProgram();
  EndParamBatch();
}

void TVoicerackGFXSynth::ApplySubPreset(std::int32_t groupId, std::int32_t index) {
  TPluginLockGuard lock(*this);
  if (const TSubPresetGroupRec* group = FindSubPresetGroup(groupId)) {
    if (index >= 0 && index < static_cast<std::int32_t>(group->SubPresets.size())) {
      const TSubPresetRec& preset = group->SubPresets[static_cast<std::size_t>(index)];
      const std::size_t count = std::min(group->Params.size(), preset.Values.size());
      for (std::size_t k = 0; k < count; ++k)
        PreloadChannelMode(group->Params[k], std::clamp(preset.Values[k], 0.0f, 1.0f));
    }
  }
  BeginParamBatch();
  TDSPPluginGui::ApplySubPreset(groupId, index);
  EndParamBatch();
}

bool TVoicerackGFXSynth::LoadParamSnapshot(TStream& stream) {
  TPluginLockGuard lock(*this);
  BeginParamBatch();
  const bool done = TDSPPluginGui::LoadParamSnapshot(stream);
  EndParamBatch();
  return done;
}

// ---- id map

void TVoicerackGFXSynth::AssignParameterIds() {
  TDSPPluginGui::AssignParameterIds();
  AssignFxParameterIds(kFxFirstParamId);
}

void TVoicerackGFXSynth::AssignFxParameterIds(std::int32_t first) {
  if (FxMapAssigned) return;
  FxMapAssigned = true;
  for (int k = 0; k < kFxParamCount; ++k) FxMap[static_cast<std::size_t>(k)] = static_cast<std::int16_t>(first + k);
  BuildModTargets();
}

std::int32_t TVoicerackGFXSynth::FxParamIndex(int fx) const {
  if (!FxMapAssigned || fx < 0 || fx >= kFxParamCount) return -1;
  return FxMap[static_cast<std::size_t>(fx)];
}

int TVoicerackGFXSynth::FxIndexOfParam(std::int32_t id) const {
  if (id < 0 || id >= static_cast<std::int32_t>(ReverseMap.size())) return -1;
  return ReverseMap[static_cast<std::size_t>(id)];
}
