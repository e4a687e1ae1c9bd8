#include "engines/vr_sampler_base.h"

#include <algorithm>
#include <cctype>
#include <span>

#include "dsp/voices/sampler_voice.h"

namespace {
// A patch whose name is "empty" (any case, blanks around it) shows no text.
bool IsEmptyPatchName(std::string_view name) {
  const auto first = name.find_first_not_of(' ');
  if (first == std::string_view::npos) return false;
  name = name.substr(first, name.find_last_not_of(' ') - first + 1);
  constexpr std::string_view kEmpty = "empty";
  return std::equal(name.begin(), name.end(), kEmpty.begin(), kEmpty.end(),
                    [](char c, char e) { return std::tolower(static_cast<unsigned char>(c)) == e; });
}
}  // namespace

TVRSamplerBase::TVRSamplerBase() : Bank(&GlobalSampler()) {}

TVRSamplerBase::~TVRSamplerBase() = default;

void TVRSamplerBase::BuildPlugin() {
  TVoicerackKWPSynth::BuildPlugin();
  DisplayStore = Bank;
}

// ---- state

void TVRSamplerBase::SaveState(TStream& stream) {
  TVoicerackKWPSynth::SaveState(stream);
  const std::uint8_t flag = BankFlag.load(std::memory_order_relaxed);
  WriteStateBlock(stream, kStateBlockMagic, kStateBlockVersion, std::span<const std::uint8_t>(&flag, 1));
}

bool TVRSamplerBase::ReadState(TStream& stream, TStateImage& image, std::string& error) {
  if (!TVoicerackKWPSynth::ReadState(stream, image, error)) return false;
  return ParseStateBlock(stream, kStateBlockMagic, 1, image, error) != TReadResult::Damaged;
}

void TVRSamplerBase::ApplyState(const TStateImage& image) {
  TVoicerackKWPSynth::ApplyState(image);
  if (const TStateBlockImage* block = image.FindBlock(kStateBlockMagic); block != nullptr && !block->Payload.empty())
    BankFlag.store(block->Payload[0], std::memory_order_relaxed);
}

bool TVRSamplerBase::AcceptsProgramChange() { return BankFlag.load(std::memory_order_relaxed) == 0; }

// ---- messages

std::intptr_t TVRSamplerBase::HandlePluginMessage(std::int32_t code, void* ptr, float a, float b, float c) {
  const bool flag = SampleBankFlag();
  TSampler* store = DisplayStore != nullptr ? DisplayStore : Bank;
  switch (code) {
    case kMsgApplyZoneSetting:
      ApplyZoneSettingsToVoices(MessageIndex(c), MessageIndex(b), MessageIndex(a));
      return 1;
    case kMsgSelectPatch:
      SelectPatch();
      SendToSink(kMsgPatchSelected, nullptr, 0, 0, 0);
      return 1;
    case kMsgBankName:
      if (!flag) break;
      if (ptr != nullptr) *static_cast<std::string*>(ptr) = store->GetBankName(MessageIndex(c));
      return 1;
    case kMsgProgramName:
      if (!flag) break;
      if (ptr != nullptr) *static_cast<std::string*>(ptr) = store->GetProgramName(MessageIndex(c), MessageIndex(b));
      return 1;
    case kMsgBankList:
      if (!flag) break;
      if (ptr != nullptr) store->GetBankNames(*static_cast<TStringList*>(ptr));
      return 1;
    case kMsgProgramList:
      if (!flag) break;
      if (ptr != nullptr) store->GetProgramNames(MessageIndex(c), *static_cast<TStringList*>(ptr));
      return 1;
    default:
      break;
  }
  return TVoicerackKWPSynth::HandlePluginMessage(code, ptr, a, b, c);
}

// ---- value texts

void TVRSamplerBase::FormatParamValue(std::int32_t param, std::string& text, float real) {
  if (IsValidParam(param)) {
    const TSampler* store = DisplayStore != nullptr ? DisplayStore : Bank;
    const std::int32_t r = RoundF(real);
    switch (ParamInfo[static_cast<std::size_t>(param)].Kind) {
      case kKindSampleBank:
        text = store->GetBankShortName(r);
        return;
      case kKindSamplePatch: {
        std::string name = store->GetProgramShortName(CurrentBank(), r);
        text = IsEmptyPatchName(name) ? std::string() : std::move(name);
        return;
      }
      case kKindSampleName:
        text = store->GetSampleName(CurrentBank(), r);
        return;
      default:
        break;
    }
  }
  TVoicerackKWPSynth::FormatParamValue(param, text, real);
}

std::string TVRSamplerBase::GetParamDisplayText(std::int32_t kind, std::int32_t number, float value) {
  std::int32_t param = -1;
  float real = 0.0f;
  if (!QueryParamText(kind, number, value, param, real)) return "Unknown";
  return TVoicerackKWPSynth::GetParamDisplayText(kind, number, value);
}

// ---- patches

void TVRSamplerBase::ApplyZoneSettingsToVoices(std::int32_t bank, std::int32_t patch, std::int32_t value) {
  // The editor's thread: the voice array and the zone objects change only
  // under the lock.
  TPluginLockGuard lock(*this);
  if (bank != CurrentBank() || patch != Osc1Patch()) return;
  ForEachVoice<TDSPSamplerVoice1>([value](TDSPSamplerVoice1& voice) {
    if (voice.Sampler1) voice.Sampler1->ApplyZoneSettings(value);
  });
}

void TVRSamplerBase::ApplyPendingPatch() {
  if (!Osc1Pending.exchange(false, std::memory_order_acq_rel)) return;
  ResetEngine();
  const std::int32_t bank = CurrentBank();
  const std::int32_t patch = Osc1Patch();
  ForEachVoice<TDSPSamplerVoice1>([bank, patch](TDSPSamplerVoice1& voice) {
    voice.ControlCounter = -1;
    if (voice.Sampler1) voice.Sampler1->SetProgram(bank, patch);
  });
}
