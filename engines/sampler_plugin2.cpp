#include "engines/sampler_plugin2.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

#include "framework/base/base_math.h"

namespace {

// The table's rows by id (ids 0..127; -1 where no row is).
struct TOscRowIndex {
  std::array<std::int16_t, osc_param::kLastId + 1> Row{};
  consteval TOscRowIndex() {
    Row.fill(-1);
    for (std::size_t k = 0; k < OscParamTableCount; ++k)
      Row[static_cast<std::size_t>(OscParamTable[k].Id)] = static_cast<std::int16_t>(k);
  }
};
constexpr TOscRowIndex kOscRows;

consteval bool TableIsWellFormed() {
  if (OscParamTableCount != 49) return false;
  for (std::size_t k = 0; k < OscParamTableCount; ++k) {
    const TOscParamRow& r = OscParamTable[k];
    if (r.Id < 0 || r.Id > osc_param::kLastId) return false;
    if (k > 0 && OscParamTable[k - 1].Id >= r.Id) return false;  // sorted, no id twice
    if (r.Id >= 39 && r.Id <= 48) return false;                  // ids of no layer
    if (r.Osc > 2) return false;
  }
  return true;
}
static_assert(TableIsWellFormed(), "osc_parameters.tsv: 49 rows in id order, none in 39..48");

// Samples of a pitch attack or release time value (cents relative to one
// second, the floor standing for zero): whole milliseconds.
float TimeValueSamples(float cents, std::int32_t samplesPerMs) {
  return static_cast<float>(CentsToLin1000(cents)) * static_cast<float>(samplesPerMs);
}

}  // namespace

const TOscParamRow* FindOscParamRow(std::int32_t id) {
  if (id < 0 || id > osc_param::kLastId) return nullptr;
  const std::int16_t k = kOscRows.Row[static_cast<std::size_t>(id)];
  return k < 0 ? nullptr : &OscParamTable[static_cast<std::size_t>(k)];
}

void InitOscParamInfo(const TOscParamRow& row, TParamInfoRec& info, std::int32_t guiPanel) {
  switch (row.Builder) {
    case TOscBuilder::Int:
      InitIntParamInfo(row.Kind, info, row.Name, 0, row.Default, row.Min, row.Max, row.Description);
      break;
    case TOscBuilder::IntStep:
      InitIntParamInfoEx(row.Kind, info, row.Name, 0, row.Default, row.Min, row.Max, row.Step, row.Description);
      break;
    case TOscBuilder::Float:
      InitFloatParamInfo(row.Kind, info, row.Name, 0, row.Default, row.DisplayMin, row.DisplayMax,
                         static_cast<float>(row.Min), static_cast<float>(row.Max), row.Step, row.Conversion,
                         row.Description);
      break;
  }
  InitParamInfoExtra(info, row.GuiKind, row.GuiKind < 0 ? -1 : guiPanel, row.GuiTop, row.GuiLeft, row.GuiTag,
                     row.GuiCaption, row.GuiFlags);
}

// ---- construction

TSamplerPlugin2::TSamplerPlugin2() {
  Osc2Panels.fill(-1);
  MaxVoices = kMaxVoiceCount;
  SetSampleBankFlag(true);
  Osc1Pending.store(false);
  ParamCount = kParamCount;
  EffectName = "Sampler2";
  VendorString = "Rumbleon";
  Description = "Double osc sampler instrument based synth";
  // The editor is 774 x 498 pixels (the width is the synthesis layer's).
  EditorHeight = 498;
  // The sequencers' pitch goes to the voice's "Tune".
  SeqPitchTargetId = osc_param::kVoiceTune;
  for (const auto& [id, name] : VoiceModTargetTable) AddVoiceModTarget(id, name);
}

TSamplerPlugin2::~TSamplerPlugin2() {
  // The patch changes go with this part of the object: nothing may be
  // building them.
  Changes().Detach();
}

void TSamplerPlugin2::ReallocBuffers() {
  TVRSamplerBase::ReallocBuffers();
  const auto floats = static_cast<std::size_t>(Settings->BufferLength);
  for (auto& buffer : Work) buffer.reset(new float[floats]());
  VoiceWorkStride = (std::max(Settings->SamplesPerMs, 1) + 3) & ~3;
  VoiceWork.reset(
      new float[static_cast<std::size_t>(kMaxVoiceObjects) * 4 * static_cast<std::size_t>(VoiceWorkStride)]());
}

void TSamplerPlugin2::ReleaseBuffers() {
  for (auto& buffer : Work) buffer.reset();
  VoiceWork.reset();
  VoiceWorkStride = 0;
  TVRSamplerBase::ReleaseBuffers();
}

void TSamplerPlugin2::SetAudioSettings(TAudioSettingsRec* rec) {
  TVRSamplerBase::SetAudioSettings(rec);
  for (const TOscParamRow& row : OscParamTable) {
    if ((row.Op == TOscOp::AttackTime || row.Op == TOscOp::ReleaseTime) && IsValidParam(row.Id))
      DispatchOscParameter(row);
  }
}

void TSamplerPlugin2::TakeVoiceSetup() {
  TVRSamplerBase::TakeVoiceSetup();
  NewVoiceBank = CurrentBank();
  NewVoicePatch = {Osc1Patch(), Osc2Patch()};
}

void TSamplerPlugin2::PrepareNewVoices(std::vector<std::unique_ptr<TDSPXVoice>>& voices) {
  TVRSamplerBase::PrepareNewVoices(voices);
  for (const std::unique_ptr<TDSPXVoice>& v : voices) {
    auto* voice = dynamic_cast<TDSPSamplerInstrVoice2*>(v.get());
    if (voice == nullptr) continue;
    for (int osc = 0; osc < 2; ++osc)
      PlayerOf(*voice, osc).SetProgram(NewVoiceBank, NewVoicePatch[static_cast<std::size_t>(osc)]);
  }
}

void TSamplerPlugin2::VoicesInstalled() {
  TVRSamplerBase::VoicesInstalled();
  ++VoiceGeneration;
  InstrVoices.fill(nullptr);
  ForEachVoice<TDSPSamplerInstrVoice2>([this](TDSPSamplerInstrVoice2& v) {
    if (v.VoiceIndex < 0 || v.VoiceIndex >= kMaxVoiceObjects) return;
    InstrVoices[static_cast<std::size_t>(v.VoiceIndex)] = &v;
    // UpdateVoiceControl reads a sequencer's gains only while it is on.
    v.Seq1.GainsWhileOff = v.Seq2.GainsWhileOff = false;
  });
  // The new players hold the patches they were made with.
  for (int osc = 0; osc < 2; ++osc)
    InstalledPatch[static_cast<std::size_t>(osc)] = NewVoiceBank * 128 + NewVoicePatch[static_cast<std::size_t>(osc)];
}

void TSamplerPlugin2::FreeVoices() {
  InstrVoices.fill(nullptr);
  InstalledPatch.fill(-1);
  TVRSamplerBase::FreeVoices();
}

float TSamplerPlugin2::VoiceGain(std::int32_t index, int osc, int side) const {
  if (index < 0 || index >= kMaxVoiceObjects) return 0.0f;
  return VoiceMix[static_cast<std::size_t>(index)]
      .Gain[static_cast<std::size_t>(osc & 1)][static_cast<std::size_t>(side & 1)];
}

// ---- parameters

void TSamplerPlugin2::InitParameterInfo() {
  TVRSamplerBase::InitParameterInfo();
  for (const TOscParamRow& row : OscParamTable) {
    if (row.Id >= ParamCountAllocated()) continue;
    InitOscParamInfo(row, ParamInfo[static_cast<std::size_t>(row.Id)], OscPanelIndex(row));
  }
}

void TSamplerPlugin2::CreatePanels() {
  TVRSamplerBase::CreatePanels();
  if (!HasGui() || GuiBody() == nullptr) return;
  for (const TOscPanelRow& row : Osc2PanelTable) {
    TSPThemeGUIControl* parent =
        row.Parent == TOscPanel::None ? GuiBody() : GuiPanel(Osc2Panels[static_cast<std::size_t>(row.Parent)]);
    if (parent != nullptr)
      Osc2Panels[static_cast<std::size_t>(row.Panel)] = AddGuiPanel(parent, row.Caption, row.Style);
  }
}

void TSamplerPlugin2::LayoutPanels() {
  TVRSamplerBase::LayoutPanels();
  TSPThemeGUIControl* osc1 = KwpGuiPanel(TKwpPanel::Osc1);
  TSPThemeGUIControl* osc2 = GuiPanel(Osc2Panels[static_cast<std::size_t>(TOscPanel::Main)]);
  if (osc1 == nullptr || osc2 == nullptr) return;
  auto panel2 = [this](TOscPanel p) { return GuiPanel(Osc2Panels[static_cast<std::size_t>(p)]); };
  PlaceOscRow(osc1, KwpGuiPanel(TKwpPanel::PMod), KwpGuiPanel(TKwpPanel::AMod), KwpGuiPanel(TKwpPanel::PitchAttack),
              KwpGuiPanel(TKwpPanel::PitchRelease), osc1->Top, kAModLeft);
  PlaceOscRow(osc2, panel2(TOscPanel::PMod), panel2(TOscPanel::AMod), panel2(TOscPanel::PitchAttack),
              panel2(TOscPanel::PitchRelease), osc1->Bottom() + 1, kAModLeft);
  PlacePageArea(osc2->Bottom() + kPageAreaGap);
}

void TSamplerPlugin2::CreatePageButtons() {
  TVRSamplerBase::CreatePageButtons();
  if (const TSPThemeGUIControl* osc2 = GuiPanel(Osc2Panels[static_cast<std::size_t>(TOscPanel::Main)]))
    PlacePageButtons(osc2->Bottom() + kPageButtonGap, osc2->Left);
}

std::int32_t TSamplerPlugin2::OscPanelIndex(const TOscParamRow& row) const {
  if (row.Osc == 2) return Osc2Panels[static_cast<std::size_t>(row.GuiPanel)];
  TKwpPanel panel = TKwpPanel::None;
  switch (row.GuiPanel) {
    case TOscPanel::None:
      break;
    case TOscPanel::Main:
      panel = TKwpPanel::Osc1;
      break;
    case TOscPanel::PMod:
      panel = TKwpPanel::PMod;
      break;
    case TOscPanel::AMod:
      panel = TKwpPanel::AMod;
      break;
    case TOscPanel::PitchAttack:
      panel = TKwpPanel::PitchAttack;
      break;
    case TOscPanel::PitchRelease:
      panel = TKwpPanel::PitchRelease;
      break;
  }
  return panel == TKwpPanel::None ? -1 : KwpPanels[static_cast<std::size_t>(panel)];
}

void TSamplerPlugin2::ParameterChanged(std::int32_t i) {
  TVRSamplerBase::ParameterChanged(i);
  if (const TOscParamRow* row = FindOscParamRow(i)) DispatchOscParameter(*row);
}

void TSamplerPlugin2::DispatchOscParameter(const TOscParamRow& row) {
  const int osc = row.Osc == 2 ? 1 : 0;
  TOscSettings& s = OscSet[static_cast<std::size_t>(osc)];
  const float real = GetParameterReal(row.Id);
  // The value as an amplitude (1000 is unity), for the level rows.
  const float amplitude = NormToAmp60(real * 0.001f);
  // The row's place among its numbered siblings (LFO 1..3, envelope 1..2).
  auto nth = [&row](TOscOp first) { return static_cast<std::size_t>(row.Op) - static_cast<std::size_t>(first); };
  const std::int32_t spms = Settings->SamplesPerMs;
  switch (row.Op) {
    case TOscOp::None:
      return;
    case TOscOp::Interpolation: {
      const std::int32_t mode = GetParameterInt(row.Id);
      for (TDSPSamplerInstrVoice2* v : InstrVoices) {
        if (v == nullptr) continue;
        v->Player1().SetInterpolation(mode);
        v->Player2().SetInterpolation(mode);
      }
      return;
    }
    case TOscOp::Amount:
      s.AmountGain = amplitude;
      if (osc == 1) Osc2Audible = std::fabs(s.AmountGain) > kAudibleGain;
      return;
    case TOscOp::Pan:
      s.PanPosition = static_cast<float>(GetParameterInt(row.Id)) * (1.0f / 127.0f);
      return;
    case TOscOp::Patch:
      if (osc == 0) SelectPatch();
      else SelectOsc2Patch();
      return;
    case TOscOp::Tune:
      RetuneOscillator(osc);
      return;
    case TOscOp::Env1Gain:
      s.Env1Gain = amplitude;
      return;
    case TOscOp::Env2Gain:
      s.Env2Gain = amplitude;
      return;
    case TOscOp::AmpLfo1:
    case TOscOp::AmpLfo2:
    case TOscOp::AmpLfo3:
      s.AmpLfo[nth(TOscOp::AmpLfo1)] = amplitude;
      return;
    case TOscOp::PitchLfo1:
    case TOscOp::PitchLfo2:
    case TOscOp::PitchLfo3:
      s.PitchLfo[nth(TOscOp::PitchLfo1)] = amplitude;
      return;
    case TOscOp::PitchEnv1:
    case TOscOp::PitchEnv2:
      s.PitchEnv[nth(TOscOp::PitchEnv1)] = static_cast<float>(GetParameterInt(row.Id)) * 0.3f;
      return;
    case TOscOp::AttackStart:
      s.AttackStart = real;
      return;
    case TOscOp::AttackEnd:
      s.AttackEnd = real;
      return;
    case TOscOp::AttackTime:
      s.AttackLength = TimeValueSamples(real, spms);
      s.AttackRecip = SafeReciprocal(s.AttackLength);
      return;
    case TOscOp::ReleaseEnd:
      s.ReleaseEnd = real;
      return;
    case TOscOp::ReleaseTime:
      s.ReleaseLength = TimeValueSamples(real, spms);
      s.ReleaseRecip = SafeReciprocal(s.ReleaseLength);
      return;
    case TOscOp::ScaleTune:
      s.ScaleFactor = real * 0.01f;
      return;
    case TOscOp::RootKey:
      s.RootKey = real;
      return;
  }
}

void TSamplerPlugin2::RetuneOscillator(int osc) {
  ControlInputsChanged();
  const std::int32_t tuneId = osc == 0 ? osc_param::kOsc1Tune : osc_param::kOsc2Tune;
  const std::int32_t fineId = osc == 0 ? osc_param::kOsc1Fine : osc_param::kOsc2Fine;
  const auto transpose = static_cast<float>(GetParameterInt(tuneId));
  const float offset = static_cast<float>(GetParameterInt(fineId)) * 0.01f;
  for (TDSPSamplerInstrVoice2* v : InstrVoices) {
    if (v == nullptr) continue;
    TDSPDiatonicTune1& tuner = osc == 0 ? v->Tuner1 : v->Tuner2;
    tuner.SetTranspose(transpose);
    tuner.SetOffset(offset);
    tuner.SetKey(static_cast<float>(KeySignature));
    tuner.SetDiatonic(0.0f);
    tuner.InputSample = static_cast<float>(v->Note);
    tuner.Tick();
  }
}

// ---- patches

void TSamplerPlugin2::SelectPatch() {
  Osc1PatchIndex.store(GetParameterInt(osc_param::kOsc1Patch), std::memory_order_relaxed);
  BankIndex.store(0, std::memory_order_relaxed);
  Osc1Pending.store(true, std::memory_order_release);
  if (CurrentBuildMode() != TBuildMode::Inline) RequestPreparedChange(PatchChanges[0]);
}

void TSamplerPlugin2::SelectOsc2Patch() {
  Osc2PatchIndex.store(GetParameterInt(osc_param::kOsc2Patch), std::memory_order_relaxed);
  BankIndex.store(0, std::memory_order_relaxed);
  Osc2Pending.store(true, std::memory_order_release);
  if (CurrentBuildMode() != TBuildMode::Inline) RequestPreparedChange(PatchChanges[1]);
}

bool TSamplerPlugin2::TPatchChange::TakeRequest() {
  std::atomic<bool>& pending = Osc == 0 ? Owner.Osc1Pending : Owner.Osc2Pending;
  if (!pending.exchange(false, std::memory_order_acq_rel)) return false;
  Bank = Owner.CurrentBank();
  Patch = Osc == 0 ? Owner.Osc1Patch() : Owner.Osc2Patch();
  Generation = Owner.VoiceGeneration;
  Players.fill(nullptr);
  for (std::size_t i = 0; i < Owner.InstrVoices.size(); ++i)
    if (TDSPSamplerInstrVoice2* v = Owner.InstrVoices[i]) Players[i] = &Owner.PlayerOf(*v, Osc);
  return true;
}

void TSamplerPlugin2::TPatchChange::Build() {
  for (std::size_t i = 0; i < Players.size(); ++i)
    if (Players[i] != nullptr) Zones[i] = Players[i]->PrepareZones(Bank, Patch);
}

void TSamplerPlugin2::TPatchChange::Install() {
  if (Generation != Owner.VoiceGeneration) {
    // Built for voices that are gone: asked for again, for the new ones.
    (Osc == 0 ? Owner.Osc1Pending : Owner.Osc2Pending).store(true, std::memory_order_release);
    RequestPreparedChange(*this);
    return;
  }
  // As InstallPatch: voices that sound another patch stop.
  std::int32_t& installed = Owner.InstalledPatch[static_cast<std::size_t>(Osc)];
  const std::int32_t key = Bank * 128 + Patch;
  if (installed >= 0 && installed != key) Owner.ResetEngine();
  installed = key;
  for (std::size_t i = 0; i < Owner.InstrVoices.size(); ++i) {
    TDSPSamplerInstrVoice2* v = Owner.InstrVoices[i];
    if (v == nullptr) continue;
    v->ControlCounter = -1;
    Zones[i] = Owner.PlayerOf(*v, Osc).InstallZones(Bank, Patch, std::move(Zones[i]));
  }
}

void TSamplerPlugin2::TPatchChange::Release() {
  for (auto& zones : Zones) zones.reset();
}

void TSamplerPlugin2::InstallPatch(int osc, std::int32_t bank, std::int32_t patch) {
  std::int32_t& installed = InstalledPatch[static_cast<std::size_t>(osc)];
  const std::int32_t key = bank * 128 + patch;
  // Voices that sound another patch stop; fresh players just take it.
  if (installed >= 0 && installed != key) ResetEngine();
  installed = key;
  for (TDSPSamplerInstrVoice2* v : InstrVoices) {
    if (v == nullptr) continue;
    v->ControlCounter = -1;
    (osc == 0 ? v->Player1() : v->Player2()).SetProgram(bank, patch);
  }
}

void TSamplerPlugin2::ApplyPendingPatch() {
  if (CurrentBuildMode() != TBuildMode::Inline) {
    // Selected where nothing could build it: the call's destination takes it.
    if (Osc1Pending.load(std::memory_order_acquire)) RequestPreparedChange(PatchChanges[0]);
    return;
  }
  if (Osc1Pending.exchange(false, std::memory_order_acq_rel)) InstallPatch(0, CurrentBank(), Osc1Patch());
}

void TSamplerPlugin2::ApplyPendingPatches() {
  ApplyPendingPatch();
  if (CurrentBuildMode() != TBuildMode::Inline) {
    if (Osc2Pending.load(std::memory_order_acquire)) RequestPreparedChange(PatchChanges[1]);
    return;
  }
  if (Osc2Pending.exchange(false, std::memory_order_acq_rel)) InstallPatch(1, CurrentBank(), Osc2Patch());
}

void TSamplerPlugin2::NoteOn(const TMidiEventRec& e) {
  ApplyVoiceCount();
  ApplyPendingPatches();
  TVRSamplerBase::NoteOn(e);
}
