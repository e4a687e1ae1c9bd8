// The process-wide store of sample banks that the sampler instrument plays:
// 128 bank slots, each bank a list of 16-bit samples and up to 128 programs,
// each program a list of key zones that refer to one sample each. Banks are
// only read ("XDSPSBNK", every version from the old 32-bit compressed forms
// to the current one), never written.
//
// Threads: a store that is shared (GlobalSampler, one for every instance)
// has a lock of its own: changes swap the new state in under it and the
// instruments read the store under it (never on the audio thread: they copy
// what a program needs when the program is chosen); bank records are parsed
// outside the lock. Generation(b) changes with every change of slot b, so a
// reader can tell that the zones it holds are stale.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "dsp/sampler/sample_bank_format.h"

class TStream;

// One sample: its header as stored, the wave record's header, and the data.
struct TSampleRec {
  TSampleHeaderRec Header{};
  TRiffWaveHeaderRec Riff{};
  // Zero-filled block of (Length + 96) x 2 + 128 bytes after Data; Data is
  // the first 16-byte boundary strictly after the block's start.
  std::unique_ptr<std::int16_t[]> Storage;
  std::int16_t* Data = nullptr;

  std::int32_t Channels() const { return Riff.Channels; }      // 1 or 2
  std::int32_t SampleRate() const { return Riff.SampleRate; }  // > 0
  std::int32_t Length() const { return Header.Length; }        // 16-bit values
  std::int32_t Frames() const { return Header.Length / (Riff.Channels == 2 ? 2 : 1); }
  std::uint16_t ID() const { return Header.ID; }
  std::string Name() const { return ShortStrText(Header.Name); }
};

// A zone record with the sample it resolved to when the bank was read (null
// when no sample has its identifier; the instrument skips such zones).
struct TSampleZone {
  TSampleZoneRec Rec{};
  TSampleRec* Sample = nullptr;
};

struct TSamplerProgramRec {
  bool InUse = false;
  std::string Name;  // at most 47 characters
  bool HasTemplate = false;
  TSampleZoneRec Template{};
  std::vector<TSampleZone> Zones;  // in file order
};

struct TSampleBankRec {
  bool Modified = false;  // converted from an old format
  std::array<TSamplerProgramRec, kSampleBankPrograms> Programs;
  std::vector<std::unique_ptr<TSampleRec>> Samples;  // sorted by name after loading
  TSampleBankHeaderRec Header{};
  std::string FileName;  // empty for the built-in bank

  TSampleBankRec();
  std::string Name() const { return ShortStrText(Header.Name); }
};

class TSampler {
 public:
  TSampler();
  virtual ~TSampler();
  TSampler(const TSampler&) = delete;
  TSampler& operator=(const TSampler&) = delete;

  // Reads the named embedded resource into bank 0. False when the resource
  // is missing or not a valid bank (bank 0 is then empty).
  bool LoadBankFromResource(std::string_view resourceName);
  // Reads one bank from the stream's position into the slot. On success the
  // slot holds the new bank (in use); on any failure - wrong magic or tags,
  // a count or length beyond the bytes that remain, a bad version, program
  // number or channel count, damaged compressed data - what was built is
  // freed, the slot is left empty and the message goes to ReportBankMessage.
  bool LoadBankFromStream(TStream& stream, std::int32_t bank, const std::string& fileName);
  // Frees the slot's bank and gives it an empty record that is not in use.
  void NewBank(std::int32_t bank);
  void FreeBank(std::int32_t bank);
  void FreeProgram(std::int32_t bank, std::int32_t program);
  // With removeZones, frees every zone of the bank whose sample identifier is
  // the sample's; otherwise zones that resolved to it lose their sample.
  void DeleteSample(std::int32_t bank, std::int32_t sampleIndex, bool removeZones);
  // The first sample in list order with the identifier (a reader, like Bank).
  TSampleRec* FindSampleByID(std::int32_t bank, std::uint16_t id) const;
  void SortSamplesByName(std::int32_t bank);
  // The zero-filled data block for sample.Header.Length values (negative: 0).
  static void AllocSampleData(TSampleRec& sample);

  void GetBankNames(std::vector<std::string>& list) const;
  void GetProgramNames(std::int32_t bank, std::vector<std::string>& list) const;
  std::string GetBankName(std::int32_t bank) const;
  std::string GetProgramName(std::int32_t bank, std::int32_t program) const;
  std::string GetBankShortName(std::int32_t bank) const;
  std::string GetProgramShortName(std::int32_t bank, std::int32_t program) const;
  std::string GetSampleName(std::int32_t bank, std::int32_t sampleIndex) const;

  virtual bool IsValidBank(std::int32_t bank) const { return bank >= 0 && bank < kSampleBankBanks; }
  virtual bool IsValidProgram(std::int32_t program) const { return program >= 0 && program < kSampleBankPrograms; }

  // Readers (the caller holds ReadLock of a shared store while it uses
  // them): the bank when the slot is in use, the program when also in use.
  const TSampleBankRec* Bank(std::int32_t bank) const;
  const TSamplerProgramRec* Program(std::int32_t bank, std::int32_t program) const;
  std::uint32_t Generation(std::int32_t bank) const;

  // Marks the store as shared between threads: from then on every change is
  // swapped in under the store's lock.
  void SetShared() { Shared = true; }
  // Held while reading a shared store's records (nothing for a private one).
  std::unique_lock<std::recursive_mutex> StoreLock() const;

 private:
  struct TSlot {
    bool Used = false;
    std::unique_ptr<TSampleBankRec> Bank;
  };
  TSampleBankRec* UsedBank(std::int32_t bank) const;
  // Replaces the slot's record; returns the old one for the caller to free
  // outside the lock.
  std::unique_ptr<TSampleBankRec> Exchange(std::int32_t bank, std::unique_ptr<TSampleBankRec> record, bool used);
  void Touch(std::int32_t bank);

  std::array<TSlot, kSampleBankBanks> Slots;
  std::array<std::atomic<std::uint32_t>, kSampleBankBanks> Generations{};
  bool Shared = false;
  mutable std::recursive_mutex Mutex;
};

// What a zone plays of its sample: its own override or the sample's value,
// made safe for playback.
struct TZoneLoop {
  std::uint8_t Mode = kLoopNone;  // 0..3
  std::int32_t Start = 0;         // frames, 0 <= Start < End when looping
  std::int32_t End = 0;           // frames, <= the sample's frames
};
// The loop mode, start and end. A mode above 3 plays as no loop; the end is
// limited to the sample's frames; a loop shorter than one frame (end <=
// start) plays as no loop; a negative start becomes 0. Without a loop:
// start 0, end = the frames.
TZoneLoop ResolveZoneLoop(const TSampleZoneRec& zone, const TSampleRec& sample);
// The root key (zone override or the sample's).
inline std::int32_t ResolveZoneRootKey(const TSampleZoneRec& zone, const TSampleRec& sample) {
  return zone.RootKeyOverride ? zone.RootKey : sample.Header.RootKey;
}
// The sample scale (zone override or the sample's); a non-finite scale
// gives silence rather than NaN.
float ResolveZoneSampleScale(const TSampleZoneRec& zone, const TSampleRec& sample);

// Sorts by name, byte-wise; equal names keep their order.
void SortSampleList(std::vector<std::unique_ptr<TSampleRec>>& samples);

// Parses one bank; null on any failure (the message has been reported).
std::unique_ptr<TSampleBankRec> ReadSampleBank(TStream& stream);

// The process-wide store, created on first use (thread-safe) with bank 0
// read from the resource "SAMPLERBANKFX". It lives until the process ends.
TSampler& GlobalSampler();
