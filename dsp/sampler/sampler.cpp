#include "dsp/sampler/sampler.h"

#include <algorithm>
#include <cmath>
#include <mutex>

#include "framework/base/shared_data.h"
#include "framework/base/streams.h"

namespace {

std::string Cut(std::string text, std::size_t length) {
  if (text.size() > length) text.resize(length);
  return text;
}

void PadList(std::vector<std::string>& list) {
  while (list.size() < static_cast<std::size_t>(kSampleBankPrograms)) list.emplace_back("temp");
}

}  // namespace

TSampleBankRec::TSampleBankRec() = default;

void SortSampleList(std::vector<std::unique_ptr<TSampleRec>>& samples) {
  // Byte-wise name order; equal names keep their file order.
  std::stable_sort(
      samples.begin(), samples.end(),
      [](const std::unique_ptr<TSampleRec>& a, const std::unique_ptr<TSampleRec>& b) { return a->Name() < b->Name(); });
}

TZoneLoop ResolveZoneLoop(const TSampleZoneRec& zone, const TSampleRec& sample) {
  const std::int32_t frames = std::max(0, sample.Frames());
  TZoneLoop loop;
  loop.Mode = zone.LoopModeOverride ? zone.LoopMode : sample.Header.LoopMode;
  loop.Start = zone.LoopPointsOverride ? zone.LoopStart : sample.Header.LoopStart;
  loop.End = std::min(zone.LoopPointsOverride ? zone.LoopEnd : sample.Header.LoopEnd, frames);
  loop.Start = std::max(loop.Start, 0);
  if (loop.Mode > kLoopAlternating || loop.End <= loop.Start) loop.Mode = kLoopNone;
  if (loop.Mode == kLoopNone) {
    loop.Start = 0;
    loop.End = frames;
  }
  return loop;
}

float ResolveZoneSampleScale(const TSampleZoneRec& zone, const TSampleRec& sample) {
  const float scale = zone.ScaleOverride ? zone.SampleScale : sample.Header.SampleScale;
  return std::isfinite(scale) ? scale : 0.0f;
}

TSampler::TSampler() = default;
TSampler::~TSampler() = default;

std::unique_lock<std::recursive_mutex> TSampler::StoreLock() const {
  if (!Shared) return {};
  return std::unique_lock<std::recursive_mutex>(Mutex);
}

TSampleBankRec* TSampler::UsedBank(std::int32_t bank) const {
  if (!IsValidBank(bank) || !Slots[bank].Used) return nullptr;
  return Slots[bank].Bank.get();
}

void TSampler::Touch(std::int32_t bank) { Generations[bank].fetch_add(1, std::memory_order_acq_rel); }

std::unique_ptr<TSampleBankRec> TSampler::Exchange(std::int32_t bank, std::unique_ptr<TSampleBankRec> record,
                                                   bool used) {
  auto guard = StoreLock();
  std::unique_ptr<TSampleBankRec> old = std::move(Slots[bank].Bank);
  Slots[bank].Bank = std::move(record);
  Slots[bank].Used = used && Slots[bank].Bank != nullptr;
  Touch(bank);
  return old;
}

bool TSampler::LoadBankFromResource(std::string_view resourceName) {
  NewBank(0);
  std::unique_ptr<TMemoryStream> stream = LoadResourceStream(resourceName);
  if (!stream) {
    FreeBank(0);
    return false;
  }
  return LoadBankFromStream(*stream, 0, std::string());
}

bool TSampler::LoadBankFromStream(TStream& stream, std::int32_t bank, const std::string& fileName) {
  if (!IsValidBank(bank)) return false;
  std::unique_ptr<TSampleBankRec> record = ReadSampleBank(stream);
  if (!record) {
    FreeBank(bank);
    return false;
  }
  record->FileName = fileName.substr(0, 255);
  Exchange(bank, std::move(record), true);  // the old record is freed outside the lock
  return true;
}

void TSampler::NewBank(std::int32_t bank) {
  if (!IsValidBank(bank)) return;
  Exchange(bank, std::make_unique<TSampleBankRec>(), false);
}

void TSampler::FreeBank(std::int32_t bank) {
  if (!IsValidBank(bank)) return;
  Exchange(bank, nullptr, false);
}

void TSampler::FreeProgram(std::int32_t bank, std::int32_t program) {
  if (!IsValidBank(bank) || !IsValidProgram(program)) return;
  auto guard = StoreLock();
  TSampleBankRec* record = Slots[bank].Bank.get();
  if (!record) return;
  TSamplerProgramRec& p = record->Programs[program];
  p.Zones.clear();
  p.Zones.shrink_to_fit();
  p.InUse = false;
  p.Name.clear();
  p.HasTemplate = false;
  Touch(bank);
}

void TSampler::DeleteSample(std::int32_t bank, std::int32_t sampleIndex, bool removeZones) {
  if (!IsValidBank(bank)) return;
  auto guard = StoreLock();
  TSampleBankRec* record = Slots[bank].Bank.get();
  if (!record || sampleIndex < 0 || static_cast<std::size_t>(sampleIndex) >= record->Samples.size()) return;
  TSampleRec* sample = record->Samples[sampleIndex].get();
  for (TSamplerProgramRec& program : record->Programs) {
    if (removeZones && program.InUse) {
      std::erase_if(program.Zones, [&](const TSampleZone& zone) { return zone.Rec.SampleID == sample->ID(); });
    }
    // Never leave a zone pointing at freed data.
    for (TSampleZone& zone : program.Zones) {
      if (zone.Sample == sample) zone.Sample = nullptr;
    }
  }
  record->Samples.erase(record->Samples.begin() + sampleIndex);
  Touch(bank);
}

TSampleRec* TSampler::FindSampleByID(std::int32_t bank, std::uint16_t id) const {
  if (!IsValidBank(bank) || !Slots[bank].Bank) return nullptr;
  for (const std::unique_ptr<TSampleRec>& sample : Slots[bank].Bank->Samples) {
    if (sample->ID() == id) return sample.get();
  }
  return nullptr;
}

void TSampler::SortSamplesByName(std::int32_t bank) {
  if (!IsValidBank(bank)) return;
  auto guard = StoreLock();
  TSampleBankRec* record = Slots[bank].Bank.get();
  if (!record) return;
  SortSampleList(record->Samples);
  Touch(bank);
}

void TSampler::AllocSampleData(TSampleRec& sample) {
  const std::int64_t length = std::max<std::int32_t>(0, sample.Header.Length);
  // (length + 96) values and 128 bytes after Data, plus 16 bytes to reach
  // the first 16-byte boundary strictly after the block's start.
  const std::int64_t values = length + kSampleSpareValues + kSampleSpareBytes / 2 + 8;
  sample.Storage = std::make_unique<std::int16_t[]>(static_cast<std::size_t>(values));
  const auto start = reinterpret_cast<std::uintptr_t>(sample.Storage.get());
  const std::uintptr_t aligned = (start + 16) & ~static_cast<std::uintptr_t>(15);
  sample.Data = sample.Storage.get() + (aligned - start) / sizeof(std::int16_t);
}

void TSampler::GetBankNames(std::vector<std::string>& list) const {
  auto guard = StoreLock();
  PadList(list);
  for (std::int32_t i = 0; i < kSampleBankBanks; ++i) {
    const TSampleBankRec* record = UsedBank(i);
    list[i] = std::to_string(i) + "-" + (record ? record->Name() : std::string("empty"));
  }
}

void TSampler::GetProgramNames(std::int32_t bank, std::vector<std::string>& list) const {
  auto guard = StoreLock();
  PadList(list);
  const TSampleBankRec* record = UsedBank(bank);
  for (std::int32_t i = 0; i < kSampleBankPrograms; ++i) {
    list[i] = std::to_string(i) + "-";
    if (record && record->Programs[i].InUse) list[i] += record->Programs[i].Name;
  }
}

std::string TSampler::GetBankName(std::int32_t bank) const {
  auto guard = StoreLock();
  const TSampleBankRec* record = UsedBank(bank);
  return record ? TrimText(record->Name()) : std::string();
}

std::string TSampler::GetProgramName(std::int32_t bank, std::int32_t program) const {
  auto guard = StoreLock();
  const TSamplerProgramRec* p = Program(bank, program);
  return p ? p->Name : std::string();
}

std::string TSampler::GetBankShortName(std::int32_t bank) const {
  if (!IsValidBank(bank)) return "Unknown";
  auto guard = StoreLock();
  const TSampleBankRec* record = UsedBank(bank);
  return record ? Cut(record->Name(), 20) : std::string("Empty");
}

std::string TSampler::GetProgramShortName(std::int32_t bank, std::int32_t program) const {
  if (!IsValidBank(bank) || !IsValidProgram(program)) return "Unknown";
  auto guard = StoreLock();
  const TSampleBankRec* record = UsedBank(bank);
  if (!record) return "Bank Empty";
  const TSamplerProgramRec& p = record->Programs[program];
  return p.InUse ? Cut(p.Name, 20) : std::string("Empty");
}

std::string TSampler::GetSampleName(std::int32_t bank, std::int32_t sampleIndex) const {
  auto guard = StoreLock();
  const TSampleBankRec* record = UsedBank(bank);
  if (!record || sampleIndex < 0 || static_cast<std::size_t>(sampleIndex) >= record->Samples.size()) return "Empty";
  return Cut(record->Samples[sampleIndex]->Name(), 20);
}

const TSampleBankRec* TSampler::Bank(std::int32_t bank) const { return UsedBank(bank); }

const TSamplerProgramRec* TSampler::Program(std::int32_t bank, std::int32_t program) const {
  const TSampleBankRec* record = UsedBank(bank);
  if (!record || !IsValidProgram(program) || !record->Programs[program].InUse) return nullptr;
  return &record->Programs[program];
}

std::uint32_t TSampler::Generation(std::int32_t bank) const {
  if (!IsValidBank(bank)) return 0;
  return Generations[bank].load(std::memory_order_acquire);
}

TSampler& GlobalSampler() {
  static TSampler& store = []() -> TSampler& {
    // Kept while instances are open (shared_data.h).
    TSampler& instance = *SharedByInstances(new TSampler);
    // Not yet visible to any other thread: loaded without the store's lock,
    // so a thread that holds the lock while waiting here cannot deadlock us.
    instance.LoadBankFromResource("SAMPLERBANKFX");
    instance.SetShared();
    return instance;
  }();
  return store;
}
