// Writes "XDSPSBNK" sample banks: the current uncompressed form (the
// built-in bank) and, for testing the reader's conversions, the older
// compressed forms ("1.50" in zlib chunks, earlier versions as one zlib
// stream with 32-bit float sample data). Header-only: used by the bank
// generator and by the tests.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include <zlib.h>

#include "dsp/sampler/sample_bank_format.h"

struct TBankSampleSpec {
  TSampleHeaderRec Header{};
  TRiffWaveHeaderRec Riff{};
  std::vector<std::int16_t> Data;  // Header.Length values
  // The 32-bit values written by the old forms; empty: Data x 0.0001.
  std::vector<float> FloatData;
};

struct TBankProgramSpec {
  std::uint8_t Number = 0;
  std::string Name;
  bool HasTemplate = false;
  TSampleZoneRec Template{};
  std::vector<TSampleZoneRec> Zones;
};

struct TBankSpec {
  std::string Name;
  std::string Text;
  std::vector<TBankSampleSpec> Samples;
  std::vector<TBankProgramSpec> Programs;
};

namespace sample_bank_writer {

template <typename T>
void Put(std::vector<std::uint8_t>& out, const T& v) {
  const auto* p = reinterpret_cast<const std::uint8_t*>(&v);
  out.insert(out.end(), p, p + sizeof v);
}

inline void PutBytes(std::vector<std::uint8_t>& out, const void* p, std::size_t n) {
  const auto* b = static_cast<const std::uint8_t*>(p);
  out.insert(out.end(), b, b + n);
}

inline void PutEmptyExtension(std::vector<std::uint8_t>& out) { Put(out, std::int32_t{0}); }

inline std::vector<std::uint8_t> Compress(const std::uint8_t* data, std::size_t size) {
  uLongf length = compressBound(static_cast<uLong>(size));
  std::vector<std::uint8_t> packed(length);
  compress2(packed.data(), &length, data, static_cast<uLong>(size), 9);
  packed.resize(length);
  return packed;
}

// The body: bank header, samples, programs.
inline std::vector<std::uint8_t> Body(const TBankSpec& bank, const char (&version)[4], bool floats) {
  std::vector<std::uint8_t> out;
  TSampleBankHeaderRec header{};
  std::memcpy(header.Tag1, "BANK", 4);
  std::memcpy(header.Tag2, "KNAB", 4);
  std::memcpy(header.Version, version, 4);
  SetShortStr(header.Name, bank.Name);
  SetShortStr(header.Text, bank.Text);
  header.SampleCount = static_cast<std::int16_t>(bank.Samples.size());
  header.ProgramCount = static_cast<std::int16_t>(bank.Programs.size());
  Put(out, header);
  PutEmptyExtension(out);
  for (const TBankSampleSpec& s : bank.Samples) {
    Put(out, s.Header);
    Put(out, s.Riff);
    if (floats) {
      for (std::size_t k = 0; k < static_cast<std::size_t>(s.Header.Length); ++k) {
        const float x = k < s.FloatData.size() ? s.FloatData[k] : static_cast<float>(s.Data[k] * 0.0001);
        Put(out, x);
      }
    } else {
      PutBytes(out, s.Data.data(), static_cast<std::size_t>(s.Header.Length) * 2);
    }
  }
  for (const TBankProgramSpec& p : bank.Programs) {
    Put(out, p.Number);
    std::uint8_t name[48];
    SetShortStr(name, p.Name);
    PutBytes(out, name, sizeof name);
    Put(out, static_cast<std::uint8_t>(p.HasTemplate ? 1 : 0));
    if (p.HasTemplate) Put(out, p.Template);
    PutEmptyExtension(out);
    Put(out, static_cast<std::int16_t>(p.Zones.size()));
    for (const TSampleZoneRec& z : p.Zones) {
      Put(out, z);
      PutEmptyExtension(out);
    }
  }
  PutEmptyExtension(out);
  return out;
}

}  // namespace sample_bank_writer

// The whole file in the given version: "1.51" and later uncompressed,
// "1.50" as zlib chunks of at most chunkBytes input each, anything below as
// one zlib stream.
inline std::vector<std::uint8_t> WriteSampleBank(const TBankSpec& bank, std::string_view versionText,
                                                 std::size_t chunkBytes = 65536) {
  using namespace sample_bank_writer;
  char version[4] = {'1', '.', '6', '8'};
  std::memcpy(version, versionText.data(), std::min<std::size_t>(4, versionText.size()));
  const bool compressed = std::memcmp(version, "1.51", 4) < 0;
  std::vector<std::uint8_t> out;
  PutBytes(out, kSampleBankMagic, 8);
  PutBytes(out, version, 4);
  const std::vector<std::uint8_t> body = Body(bank, version, compressed);
  if (!compressed) {
    out.insert(out.end(), body.begin(), body.end());
    return out;
  }
  std::vector<std::uint8_t> packed;
  if (std::memcmp(version, "1.50", 4) == 0) {
    for (std::size_t at = 0; at < body.size(); at += chunkBytes) {
      const std::vector<std::uint8_t> chunk = Compress(body.data() + at, std::min(chunkBytes, body.size() - at));
      Put(packed, static_cast<std::int32_t>(chunk.size()));
      packed.insert(packed.end(), chunk.begin(), chunk.end());
    }
  } else {
    packed = Compress(body.data(), body.size());
  }
  Put(out, static_cast<std::int32_t>(packed.size()));
  out.insert(out.end(), packed.begin(), packed.end());
  return out;
}
