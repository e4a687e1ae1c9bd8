#include "engines/voicerack_arp_synth.h"

#include <algorithm>

#include "dsp/voices/synth_voice.h"

namespace {
// Every row is the local of its position, so local 69 s + k is row k.
consteval bool RowsAreInLocalOrder() {
  for (std::size_t k = 0; k < SeqParamTableCount; ++k) {
    if (SeqParamTable[k].Local != static_cast<int>(k)) return false;
  }
  return SeqParamTable[kSeqPitchAmountLocal].Setter == TSeqSetter::PitchAmount &&
         SeqParamTable[kSeqFirstStepLocal].Setter == TSeqSetter::StepNote &&
         SeqParamTable[kSeqParamsPerSequencer - 1].Setter == TSeqSetter::StepNote;
}
static_assert(RowsAreInLocalOrder(), "seq_parameters.tsv is out of order");
static_assert(kSeqParamsPerSequencer - kSeqFirstStepLocal == kSequencerSteps);
}  // namespace

void InitSeqParamInfo(const TSeqParamRow& row, int s, TParamInfoRec& info, std::int32_t guiPanel) {
  const bool second = s != 0;
  InitIntParamInfoEx(row.Kind, info, second ? row.Name2 : row.Name1, row.Flags, second ? row.Default2 : row.Default1,
                     row.Min, row.Max, row.Step, row.Description);
  InitParamInfoExtra(info, row.GuiKind, row.GuiKind < 0 ? -1 : guiPanel, row.GuiTop, row.GuiLeft, row.GuiTag,
                     second ? row.Caption2 : row.Caption1, row.GuiFlags);
}

TVoicerackArpSynth::TVoicerackArpSynth() { SeqMap.fill(-1); }

TVoicerackArpSynth::~TVoicerackArpSynth() = default;

// ---- id map

void TVoicerackArpSynth::AssignParameterIds() {
  TVoicerackSynth::AssignParameterIds();
  if (SeqMapAssigned) return;
  SeqMapAssigned = true;
  for (std::int32_t l = 0; l < kSeqParamCount; ++l)
    SeqMap[static_cast<std::size_t>(l)] = static_cast<std::int16_t>(kSeqFirstParamId + l);
  BuildSequencerReverseMap();
  SeqDispatch = true;
}

void TVoicerackArpSynth::BuildSequencerReverseMap() {
  SeqReverseMap.assign(static_cast<std::size_t>(std::max<std::int32_t>(ParamCount, 0)), -1);
  for (std::int32_t l = 0; l < kSeqParamCount; ++l) {
    const std::int32_t id = SeqMap[static_cast<std::size_t>(l)];
    if (id >= 0 && id < static_cast<std::int32_t>(SeqReverseMap.size()))
      SeqReverseMap[static_cast<std::size_t>(id)] = static_cast<std::int16_t>(l);
  }
}

std::int32_t TVoicerackArpSynth::SeqParamIndex(std::int32_t local) const {
  if (!SeqMapAssigned || local < 0 || local >= kSeqParamCount) return -1;
  return SeqMap[static_cast<std::size_t>(local)];
}

std::int32_t TVoicerackArpSynth::SeqLocalOfParam(std::int32_t id) const {
  if (id < 0 || id >= static_cast<std::int32_t>(SeqReverseMap.size())) return -1;
  return SeqReverseMap[static_cast<std::size_t>(id)];
}

void TVoicerackArpSynth::AssignSequencerGroupRange(std::int32_t group, std::int32_t lo, std::int32_t hi) {
  for (std::int32_t l = lo; l <= hi; ++l) {
    const std::int32_t id = SeqParamIndex(l);
    if (id >= 0) AddSubPresetToGroup(group, id);
  }
}

// ---- descriptors and groups

void TVoicerackArpSynth::InitParameterInfo() {
  TVoicerackSynth::InitParameterInfo();
  if (!SeqMapAssigned) return;
  for (std::int32_t l = 0; l < kSeqParamCount; ++l) {
    const std::int32_t id = SeqParamIndex(l);
    if (id < 0 || id >= ParamCountAllocated()) continue;
    const int s = l / kSeqParamsPerSequencer;
    InitSeqParamInfo(SeqParamRow(l), s, ParamInfo[static_cast<std::size_t>(id)],
                     SeqPanels[static_cast<std::size_t>(s)]);
  }
}

void TVoicerackArpSynth::CreatePageButtons() {
  TVoicerackSynth::CreatePageButtons();
  if (!SeqMapAssigned) return;
  for (int s = 0; s < 2; ++s) {
    const TSeqPageRow& page = SeqPageTable[s];
    if (FindSubPresetGroup(page.SubPresetGroup) != nullptr) continue;
    AddSubPresetGroup(page.SubPresetGroup, page.GroupName);
    AssignSequencerGroupRange(page.SubPresetGroup, s * kSeqParamsPerSequencer,
                              s * kSeqParamsPerSequencer + kSeqParamsPerSequencer - 1);
  }
  if (!HasGui() || GuiBody() == nullptr) return;
  for (int s = 0; s < 2; ++s) {
    const TSeqPageRow& page = SeqPageTable[s];
    const auto i = static_cast<std::size_t>(s);
    if (SeqPageButtons[i] == nullptr)
      SeqPageButtons[i] = AddPageButton(page.ButtonCaption, kPageGroup, page.Page, page.ButtonTop, page.ButtonLeft);
    if (SeqPresetButtons[i] == nullptr)
      SeqPresetButtons[i] =
          CreateSubPresetButton("Preset", page.PresetTop, page.PresetLeft, SeqPanels[i], page.SubPresetGroup);
    SetPanelPage(SeqPanels[i], kPageGroup, page.Page);
  }
  // The effect pages' buttons (FX Out's stays in the rack's row) in a
  // column below "Seq2", each still showing its own page.
  const TSPThemeGUINoteBookButton* last = SeqPageButtons[1];
  std::int32_t top = last->RelTop;
  for (std::int32_t order = 0; order < kFxEffectCount; ++order) {
    for (const TFxPanelRow& row : FxPanelTable) {
      if (row.ButtonOrder != order) continue;
      top += kSeqButtonPitch;
      SetButtonGeometry(FxPageButtons[static_cast<std::size_t>(row.Panel)], kPageGroup, row.Page, top, last->RelLeft);
    }
  }
}

void TVoicerackArpSynth::CreatePanels() {
  TVoicerackSynth::CreatePanels();
  if (!HasGui() || GuiBody() == nullptr) return;
  for (int s = 0; s < 2; ++s)
    SeqPanels[static_cast<std::size_t>(s)] = AddGuiPanel(GuiBody(), SeqPageTable[s].Caption, SeqPageTable[s].Style);
}

void TVoicerackArpSynth::LayoutPanels() {
  TVoicerackSynth::LayoutPanels();
  const TSPThemeGUIControl* main = MainPanel();
  if (main == nullptr) return;
  auto place = [main](TSPThemeGUIControl* page, std::int32_t top, std::int32_t left) {
    if (page == nullptr) return;
    page->Top = top;
    page->Left = left;
    page->Width = main->Width;
    page->Height = kPageHeight;
  };
  for (int s = 0; s < 2; ++s)
    place(GuiPanel(SeqPanels[static_cast<std::size_t>(s)]), SeqPageTable[s].Top, SeqPageTable[s].Left);
  for (const std::int32_t panel : FxPanels) place(GuiPanel(panel), SeqPageTable[0].Top, main->Left);
}

// ---- dispatch

void TVoicerackArpSynth::ParameterChanged(std::int32_t i) {
  TVoicerackSynth::ParameterChanged(i);
  if (!SeqDispatch) return;
  const std::int32_t local = SeqLocalOfParam(i);
  if (local >= 0) DispatchSeqParameter(local);
}

void TVoicerackArpSynth::DispatchSeqParameter(std::int32_t local) {
  const TSeqParamRow& row = SeqParamRow(local);
  const int s = local / kSeqParamsPerSequencer;
  const std::int32_t id = SeqParamIndex(local);
  const float real = GetParameterReal(id);
  const std::int32_t integer = GetParameterInt(id);
  if (row.Setter == TSeqSetter::PitchAmount) {
    PitchAmount[static_cast<std::size_t>(s)].store(real * 0.01f, std::memory_order_relaxed);
    return;
  }
  ForEachVoice<TDSPSynthVoice>([&](TDSPSynthVoice& voice) { ApplySeqSetter(voice, s, row, local, integer, real); });
}

void TVoicerackArpSynth::ApplySeqSetter(TDSPSynthVoice& voice, int s, const TSeqParamRow& row, std::int32_t local,
                                        std::int32_t integer, float real) {
  TDSPSequencer& seq = voice.Sequencer(s);
  float x = real;
  switch (row.Value) {
    case TSeqValue::Integer:
    case TSeqValue::IntegerAsReal:
      x = static_cast<float>(integer);
      break;
    case TSeqValue::Real:
      break;
    case TSeqValue::Percent:
      x = real * 0.01f;
      break;
  }
  switch (row.Setter) {
    case TSeqSetter::Power:
      seq.SetPower(integer);
      break;
    case TSeqSetter::StepCount:
      seq.SetStepCount(integer);
      break;
    case TSeqSetter::StepLength:
      seq.SetStepLength(x);
      break;
    case TSeqSetter::GateLength:
      seq.SetGateLength(x);
      break;
    case TSeqSetter::Swing:
      seq.SetSwing(x);
      break;
    case TSeqSetter::GateOnLevel:
      seq.SetGateOnLevel(x);
      break;
    case TSeqSetter::GateOffLevel:
      seq.SetGateOffLevel(x);
      break;
    case TSeqSetter::OctaveMode:
      seq.SetOctaveMode(integer);
      break;
    case TSeqSetter::OctaveRange:
      seq.SetOctaveRange(integer);
      break;
    case TSeqSetter::GlideFactor:
      seq.SetGlideFactor(x);
      break;
    case TSeqSetter::ResetOnNewNote:
      seq.SetResetOnNewNote(integer);
      break;
    case TSeqSetter::PitchSource:
      seq.SetPitchSource(integer);
      break;
    case TSeqSetter::LevelSource:
      seq.SetLevelSource(integer);
      break;
    case TSeqSetter::GateAmount:
      seq.SetGateAmount(x);
      break;
    case TSeqSetter::LevelAmount:
      seq.SetLevelAmount(x);
      break;
    case TSeqSetter::OffStepGate:
      seq.SetOffStepGate(x);
      break;
    case TSeqSetter::StartDelay:
      seq.SetStartDelay(x);
      break;
    case TSeqSetter::Attack:
      seq.SetAttack(x);
      break;
    case TSeqSetter::Space:
      seq.SetSpace(x);
      break;
    case TSeqSetter::RandomSpacing:
      seq.SetRandomSpacing(integer);
      break;
    case TSeqSetter::AlwaysRetrigger:
      seq.SetAlwaysRetrigger(integer);
      break;
    case TSeqSetter::Cycles:
      seq.SetCycles(x);
      break;
    case TSeqSetter::TimeUnit:
      seq.SetTimeUnit(integer);
      break;
    case TSeqSetter::Peak:
      seq.SetPeak(x);
      break;
    case TSeqSetter::Release:
      seq.SetRelease(x);
      break;
    case TSeqSetter::EnvelopeCurve:
      seq.SetEnvelopeCurve(integer);
      break;
    case TSeqSetter::GateEnvAmount:
      seq.SetGateEnvAmount(x);
      break;
    case TSeqSetter::GateEnvBase:
      seq.SetGateEnvBase(x);
      break;
    case TSeqSetter::LevelEnvAmount:
      seq.SetLevelEnvAmount(x);
      break;
    case TSeqSetter::LevelEnvBase:
      seq.SetLevelEnvBase(x);
      break;
    case TSeqSetter::PitchEnvAmount:
      seq.SetPitchEnvAmount(x);
      break;
    case TSeqSetter::PitchEnvBase:
      seq.SetPitchEnvBase(x);
      break;
    case TSeqSetter::StepAttack:
      seq.SetStepAttack(x);
      break;
    case TSeqSetter::StepDecay:
      seq.SetStepDecay(x);
      break;
    case TSeqSetter::StepEnvType:
      seq.SetStepEnvType(integer);
      break;
    case TSeqSetter::StepEnvMode:
      seq.SetStepEnvMode(integer);
      break;
    case TSeqSetter::PitchAmount:
      break;
    case TSeqSetter::StepNote:
      seq.SetStepNote(local % kSeqParamsPerSequencer - kSeqFirstStepLocal, integer);
      break;
  }
}
