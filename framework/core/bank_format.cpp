#include "framework/core/bank_format.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr std::string_view kFxbMagic = "CcnK";
constexpr std::string_view kChunkBankMagic = "FBCh";
constexpr std::string_view kRegularBankMagic = "FxBk";
constexpr std::string_view kFxProgramMagic = "FxCk";

std::int64_t WriteZeros(TStream& s, std::int64_t count) {
  const std::vector<std::uint8_t> zeros(static_cast<std::size_t>(count), 0);
  return s.Write(zeros.data(), count);
}

// Big-endian i32 at offset of a header already in memory.
std::int32_t HeaderInt(const std::uint8_t* h, std::size_t offset) {
  return static_cast<std::int32_t>((std::uint32_t{h[offset]} << 24) | (std::uint32_t{h[offset + 1]} << 16) |
                                   (std::uint32_t{h[offset + 2]} << 8) | std::uint32_t{h[offset + 3]});
}

bool HeaderMagic(const std::uint8_t* h, std::size_t offset, std::string_view magic) {
  return std::memcmp(h + offset, magic.data(), 4) == 0;
}

bool ParseFxProgram(TStream& s, TProgramImage& program, std::string& error) {
  std::uint8_t head[kFxProgramHeaderSize];
  if (!s.ReadExact(head, kFxProgramHeaderSize)) {
    error = "the program header ends early";
    return false;
  }
  if (!HeaderMagic(head, 0, kFxbMagic) || !HeaderMagic(head, 8, kFxProgramMagic)) {
    error = "not a \"CcnK\"/\"FxCk\" program record";
    return false;
  }
  const std::int32_t count = HeaderInt(head, 24);
  TProgramImage read;
  const char* name = reinterpret_cast<const char*>(head + 28);
  read.Name.assign(name, strnlen(name, 28));
  if (!ReadLoadedValues(s, count, true, read.Values, error)) return false;
  program = std::move(read);
  return true;
}

}  // namespace

std::int64_t WriteFxbChunkBank(TStream& s, std::int32_t fxId, std::int32_t fxVersion, std::int32_t numPrograms,
                               std::span<const std::uint8_t> chunk) {
  const auto chunkSize = static_cast<std::int32_t>(chunk.size());
  std::int64_t n = WriteMagic(s, kFxbMagic);
  n += WriteInt32BE(s, chunkSize + static_cast<std::int32_t>(kFxbChunkHeaderSize));
  n += WriteMagic(s, kChunkBankMagic);
  n += WriteInt32BE(s, 1);
  n += WriteInt32BE(s, fxId);
  n += WriteInt32BE(s, fxVersion);
  n += WriteInt32BE(s, numPrograms);
  n += WriteZeros(s, 128);
  n += WriteInt32BE(s, chunkSize);
  n += WriteZeros(s, 4);
  n += s.Write(chunk.data(), chunkSize);
  return n;
}

std::int64_t WriteFxbRegularHeader(TStream& s, std::int32_t fxId, std::int32_t fxVersion, std::int32_t numPrograms,
                                   std::int32_t valuesPerProgram) {
  std::int64_t n = WriteMagic(s, kFxbMagic);
  n += WriteInt32BE(s, static_cast<std::int32_t>(RegularBankByteSize(numPrograms, valuesPerProgram)));
  n += WriteMagic(s, kRegularBankMagic);
  n += WriteInt32BE(s, 1);
  n += WriteInt32BE(s, fxId);
  n += WriteInt32BE(s, fxVersion);
  n += WriteInt32BE(s, numPrograms);
  n += WriteZeros(s, kFxbRegularHeaderSize - 28);
  return n;
}

std::int64_t WriteFxProgram(TStream& s, std::int32_t fxId, std::int32_t fxVersion, std::string_view name,
                            const std::vector<float>& values) {
  const auto count = static_cast<std::int32_t>(values.size());
  std::int64_t n = WriteMagic(s, kFxbMagic);
  n += WriteInt32BE(s, 48 + 4 * count);
  n += WriteMagic(s, kFxProgramMagic);
  n += WriteInt32BE(s, 1);
  n += WriteInt32BE(s, fxId);
  n += WriteInt32BE(s, fxVersion);
  n += WriteInt32BE(s, count);
  char field[28] = {};
  const std::string trimmed = TrimText(name);
  std::memcpy(field, trimmed.data(), std::min(trimmed.size(), kFxProgramNameMax));
  n += s.Write(field, sizeof field);
  n += WriteValues(s, values, true);
  return n;
}

bool ParseFxb(TStream& s, TFxbImage& bank, std::string& error) {
  const std::int64_t start = s.Position();
  auto fail = [&](std::string why) {
    s.SetPosition(start);
    error = std::move(why);
    return false;
  };
  std::uint8_t head[kFxbRegularHeaderSize];
  if (!s.ReadExact(head, 12)) return fail("the file is too short for a bank");
  if (!HeaderMagic(head, 0, kFxbMagic)) return fail("the file is not a bank (it does not begin with \"CcnK\")");
  TFxbImage read;
  if (HeaderMagic(head, 8, kChunkBankMagic)) read.IsChunk = true;
  else if (!HeaderMagic(head, 8, kRegularBankMagic))
    return fail("the file is not a bank (neither \"FBCh\" nor \"FxBk\")");
  // Our chunk banks carry 4 reserved bytes after the chunk size (164-byte
  // header); banks saved by hosts put the chunk right after it (160 bytes,
  // with a byte size of the file length minus 8). Both are read.
  const std::int64_t headerSize = read.IsChunk ? kFxbChunkHeaderSize - 4 : kFxbRegularHeaderSize;
  if (!s.ReadExact(head + 12, headerSize - 12)) return fail("the bank's header ends early");
  read.FxId = HeaderInt(head, 16);
  read.FxVersion = HeaderInt(head, 20);
  read.NumPrograms = HeaderInt(head, 24);
  if (read.IsChunk) {
    const std::int32_t chunkSize = HeaderInt(head, 156);
    const bool hostLayout = static_cast<std::int64_t>(HeaderInt(head, 4)) == std::int64_t{chunkSize} + 152;
    if (!hostLayout && !s.ReadExact(head + 160, 4)) return fail("the bank's header ends early");
    if (chunkSize < 0 || chunkSize > s.Remaining())
      return fail("the bank's chunk size (" + std::to_string(chunkSize) + ") exceeds the " +
                  std::to_string(s.Remaining()) + " bytes that follow its header");
    read.Chunk.resize(static_cast<std::size_t>(chunkSize));
    if (!s.ReadExact(read.Chunk.data(), chunkSize)) return fail("the bank's chunk ends early");
  } else {
    if (!CountFits(s, read.NumPrograms, kFxProgramHeaderSize))
      return fail("the bank declares " + std::to_string(read.NumPrograms) + " programs, more than its " +
                  std::to_string(s.Remaining()) + " bytes of programs hold");
    read.Header.assign(head, head + kFxbRegularHeaderSize);
    read.Programs.reserve(static_cast<std::size_t>(std::min(read.NumPrograms, kMaxBankPrograms)));
    for (std::int32_t i = 0; i < read.NumPrograms; ++i) {
      TProgramImage program;
      std::string why;
      if (!ParseFxProgram(s, program, why)) return fail("program " + std::to_string(i) + " of the bank: " + why);
      if (i < kMaxBankPrograms) read.Programs.push_back(std::move(program));
    }
  }
  bank = std::move(read);
  return true;
}

const TStateBlockImage* TStateImage::FindBlock(std::string_view magic) const {
  for (const TStateBlockImage& b : Blocks)
    if (b.Magic == magic) return &b;
  return nullptr;
}

std::int64_t WriteStateHead(TStream& s, std::int16_t program, std::string_view bankName) {
  std::int64_t n = WriteMagic(s, kStateMagic);
  n += WriteInt16(s, kOwnRecordVersion);
  n += WriteInt16(s, program);
  n += WriteLongStr(s, bankName);
  return n;
}

TReadResult ParseStateHead(TStream& s, TStateImage& state, std::string& error) {
  const std::int64_t start = s.Position();
  if (!ReadMagic(s, kStateMagic)) return TReadResult::Absent;
  std::int16_t version = 0, program = 0;
  std::string name;
  if (!ReadInt16(s, version) || !ReadInt16(s, program) || !ReadLongStr(s, name)) {
    s.SetPosition(start);
    error = "the state's head ends early";
    return TReadResult::Damaged;
  }
  state.Form = TStateImage::TForm::Current;
  state.Program = program;
  state.BankName = std::move(name);
  return TReadResult::Read;
}

TReadResult SkipOldState(TStream& s, std::string& error) {
  const std::int64_t start = s.Position();
  if (!ReadMagic(s, kOldStateMagic)) return TReadResult::Absent;
  std::int32_t value = 0, count = 0;
  bool ok = ReadInt32(s, value) && ReadInt32(s, count) && CountFits(s, count, 8);
  for (std::int32_t i = 0; ok && i < count; ++i) {
    std::string text;
    ok = ReadInt32(s, value) && ReadLongStr(s, text);
  }
  if (!ok) {
    s.SetPosition(start);
    error = "the older state form is damaged";
    return TReadResult::Damaged;
  }
  return TReadResult::Read;
}

std::int64_t WriteStateBlock(TStream& s, std::string_view magic, std::int16_t version,
                             std::span<const std::uint8_t> payload) {
  std::int64_t n = WriteMagic(s, magic);
  n += WriteInt16(s, version);
  n += s.Write(payload.data(), static_cast<std::int64_t>(payload.size()));
  return n;
}

TReadResult ParseStateBlock(TStream& s, std::string_view magic, std::size_t payloadSize, TStateImage& state,
                            std::string& error) {
  const std::int64_t start = s.Position();
  if (!ReadMagic(s, magic)) return TReadResult::Absent;
  TStateBlockImage block;
  block.Magic = std::string(magic);
  block.Payload.resize(payloadSize);
  if (!ReadInt16(s, block.Version) || !s.ReadExact(block.Payload.data(), static_cast<std::int64_t>(payloadSize))) {
    s.SetPosition(start);
    error = "the state's \"" + std::string(magic) + "\" block ends early";
    return TReadResult::Damaged;
  }
  state.Blocks.push_back(std::move(block));
  return TReadResult::Read;
}
