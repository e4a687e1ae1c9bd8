#include "framework/core/dsp_base_plugin.h"

#include <charconv>
#include <cmath>
#include <thread>

#include "framework/base/messages.h"
#include "framework/core/chunk_reading.h"

TDSPBasePlugin::TDSPBasePlugin() = default;

TDSPBasePlugin::~TDSPBasePlugin() {
  // Classes above cancel first (their handlers run through these); this
  // catches a plug-in built directly on the base.
  CancelPostBacksOf(this);
}

void TDSPBasePlugin::PostProgramChanged() {
  PostBack(kPostProgramChanged, 0, TPostBackCallback::Bind<&TDSPBasePlugin::OnPostedNotice>(this), 0, 0);
}

void TDSPBasePlugin::PostRefresh() {
  PostBack(kPostRefresh, 0, TPostBackCallback::Bind<&TDSPBasePlugin::OnPostedNotice>(this), 0, 0);
}

void TDSPBasePlugin::FixEmptyProgramNames() {
  TProgramDataGuard guard(*this);
  if (Programs.empty()) return;
  for (const TProgramRec& p : Programs)
    if (!TrimText(p.Name).empty()) return;
  Programs[0].Name = "Default";
}

void TDSPBasePlugin::ApplyProgram() {
  BeginUpdate();
  Lock();
  for (std::int32_t i = 0; i < ParamCount; ++i) ParameterChanged(i);
  Unlock();
  EndUpdate();
}

void TDSPBasePlugin::SetUniqueIDChars(char c1, char c2, char c3, char c4) {
  UniqueIDChars[0] = c1;
  UniqueIDChars[1] = c2;
  UniqueIDChars[2] = c3;
  UniqueIDChars[3] = c4;
  UniqueID = PackFourBytes(c1, c2, c3, c4);
}

void TDSPBasePlugin::ClearPrograms() {
  TProgramDataGuard guard(*this);
  Programs.clear();
}

std::int32_t TDSPBasePlugin::GetParameterInt(std::int32_t i) { return RoundF(GetParameterReal(i)); }

float TDSPBasePlugin::GetParameterReal(std::int32_t i) {
  if (!IsValidParam(i)) return 0.0f;
  return ParamInfo[i].RealFromNorm(GetParameterValue(i));
}

float* TDSPBasePlugin::ProgramValueSlot(std::int32_t program, std::int32_t i) {
  TParamInfoRec& info = ParamInfo[i];
  if (info.IsGlobal) return &info.Value;
  if (!IsValidProgram(program)) return nullptr;
  std::vector<float>& values = Programs[program].Values;
  if (i >= static_cast<std::int32_t>(values.size())) return nullptr;
  return &values[i];
}

float TDSPBasePlugin::GetParameterValue(std::int32_t i) {
  if (!IsValidParam(i)) return 0.0f;
  const float* slot = ValueSlot(i);
  return slot != nullptr ? LoadParamSlot(*slot) : 0.0f;
}

std::int32_t TDSPBasePlugin::GetParameterID(std::int32_t i) {
  if (!IsValidParam(i)) return 0;
  return ParamInfo[i].Kind;
}

void TDSPBasePlugin::SetParameterReal(std::int32_t i, float x) {
  if (!IsValidParam(i)) return;
  const float v = ParamInfo[i].NormFromReal(x);
  float* slot = ValueSlot(i);
  if (slot != nullptr) StoreParamSlot(*slot, v);
  if (!HandOverParameterChange(i)) ParameterChanged(i);
}

void TDSPBasePlugin::AssignParameterReal(std::int32_t i, float x) { SetParameterReal(i, x); }

void TDSPBasePlugin::SetParameterValue(std::int32_t i, float v) {
  if (!IsValidParam(i)) return;
  v = ClampLoadedValue(v);
  float* slot = ValueSlot(i);
  if (slot != nullptr) StoreParamSlot(*slot, v);
  if (!HandOverParameterChange(i)) ParameterChanged(i);
}

void TDSPBasePlugin::SelectProgram(std::int32_t i) {
  if (i < 0 || i >= ProgramCount) return;
  SetCurrentProgramNumber(i);
  MarkProgramPending();
  if (BusyCount.load() != 0) ApplyProgram();
  else PostProgramChanged();
}

void TDSPBasePlugin::SetProgramNameAt(std::int32_t i, std::string_view name) {
  if (!IsValidProgram(i)) return;
  TProgramDataGuard guard(*this);
  Programs[i].Name.assign(name);
}

std::string TDSPBasePlugin::GetProgramNameAt(std::int32_t i) {
  if (!IsValidProgram(i)) return {};
  TProgramDataGuard guard(*this);
  return Programs[i].Name;
}

void TDSPBasePlugin::FillProgramList(TStringList& list) {
  list.clear();
  const auto count = static_cast<std::int32_t>(Programs.size());
  list.reserve(count);
  for (std::int32_t i = 0; i < count; ++i) list.push_back(std::to_string(i) + "-" + TrimText(GetProgramNameAt(i)));
}

void TDSPBasePlugin::FillBankList(TStringList& list) {
  list.clear();
  list.push_back("0-" + BankName);
}

void TDSPBasePlugin::InitPrograms() {
  TProgramDataGuard guard(*this);
  Programs.assign(ProgramCount, TProgramRec{});
  for (TProgramRec& p : Programs) {
    p.Values.resize(ParamCount);
    for (std::int32_t i = 0; i < ParamCount && i < ParamCountAllocated(); ++i) p.Values[i] = ParamInfo[i].Value;
  }
}

void TDSPBasePlugin::ApplyPendingProgram() {
  if (ProgramPending.exchange(false)) ApplyProgram();
  UpdateTimeInfo();
}

bool TDSPBasePlugin::TryTakeValueRight() {
  bool free = false;
  if (!ValueRight.compare_exchange_strong(free, true)) return false;
  RunWaitingValueWrites();
  return true;
}

void TDSPBasePlugin::TakeValueRight() {
  ValueRightWaiters.lock();
  // Only the audio thread can hold it now, for a few values: it never
  // waits while it holds it.
  for (bool free = false; !ValueRight.compare_exchange_weak(free, true); free = false) std::this_thread::yield();
  RunWaitingValueWrites();
}

void TDSPBasePlugin::ReleaseValueRight(bool waited) {
  for (;;) {
    RunWaitingValueWrites();
    ValueRight.store(false);
    // A write left after the run above found the right taken: its writer
    // counts on this thread, unless another one has taken the right since
    // (then that one runs it). Both sides' flags are sequentially
    // consistent, so one of the two sees the other.
    if (!ValueWritesWaiting()) break;
    bool free = false;
    if (!ValueRight.compare_exchange_strong(free, true)) break;
  }
  if (waited) ValueRightWaiters.unlock();
}

void TDSPBasePlugin::Lock() { InstanceLock.lock(); }

void TDSPBasePlugin::Unlock() { InstanceLock.unlock(); }

namespace {
// The whole text as a decimal integer; anything else gives -1.
std::int32_t ParseProgramNumber(const std::string& text) {
  const std::string trimmed = TrimText(text);
  std::int32_t value = -1;
  const char* end = trimmed.data() + trimmed.size();
  auto [p, ec] = std::from_chars(trimmed.data(), end, value);
  if (ec != std::errc() || p != end) return -1;
  return value;
}
}  // namespace

void TDSPBasePlugin::ShowMessageText(std::string_view text) { ShowMessage(TMessageKind::Information, text); }

void TDSPBasePlugin::CopyPresetDialog(std::int32_t i) {
  const std::int32_t current = CurrentProgram();
  const auto count = static_cast<std::int32_t>(Programs.size());
  if (count == 0) return;
  if (i == -2) {
    i = -1;
    for (std::int32_t k = (current + 1) % count; k != current; k = (k + 1) % count) {
      if (GetProgramNameAt(k).empty()) {
        i = k;
        break;
      }
    }
    if (i == -1) ShowMessageText("No empty program found. Choose an index.");
  }
  if (i == -1) {
    const std::int32_t proposal = current >= count - 1 ? current - 1 : current + 1;
    std::string text = std::to_string(proposal);
    if (!AskText("Copy Preset", "Where", text)) return;
    i = ParseProgramNumber(text);
    if (i < 0 || i >= count) {
      ShowMessageText("Must be a number from 0 to " + std::to_string(count - 1));
      return;
    }
  }
  if (i >= 0 && i < count) {
    Lock();
    CopyProgramTo(i);
    Unlock();
  }
}

bool TDSPBasePlugin::CopyProgramTo(std::int32_t i) {
  const std::int32_t from = CurrentProgram();
  if (!IsValidProgram(i) || !IsValidProgram(from)) return false;
  TPluginLockGuard guard(*this);
  TProgramDataGuard data(*this);
  const std::string name = Programs[from].Name;
  if (i != from) {
    TValueRightGuard values(*this);
    std::vector<float>& target = Programs[i].Values;
    const std::vector<float>& source = Programs[from].Values;
    for (std::size_t k = 0; k < target.size() && k < source.size(); ++k)
      StoreParamSlot(target[k], LoadParamSlot(source[k]));
  }
  SelectProgram(i);
  Programs[i].Name = name;
  return true;
}

void TDSPBasePlugin::BeginProgramUpdate() {
  Lock();
  ProgramDataLock.lock();
  BusyCount.fetch_add(1);
}

void TDSPBasePlugin::EndProgramUpdate() {
  BusyCount.fetch_sub(1);
  ProgramDataLock.unlock();
  Unlock();
}

void TDSPBasePlugin::HandlePostedMessage(std::int32_t code) {
  if (code == kPostProgramChanged) OnProgramChangedMessage();
  else if (code == kPostRefresh) OnRefreshMessage();
}
