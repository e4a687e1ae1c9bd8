#include "framework/core/chunk_format.h"

#include <algorithm>

namespace {

// "PgCn" + version + an empty name + a zero count.
constexpr std::int64_t kMinProgramRecordBytes = 4 + 2 + 4 + 4;

TReadResult Fail(TStream& s, std::int64_t start, std::string& error, std::string why) {
  s.SetPosition(start);
  error = std::move(why);
  return TReadResult::Damaged;
}

}  // namespace

std::int64_t WriteProgramRecordData(TStream& s, std::string_view name, const std::vector<float>& values) {
  std::int64_t n = WriteMagic(s, kProgramRecordMagic);
  n += WriteInt16(s, kOwnRecordVersion);
  n += WriteLongStr(s, TrimText(name));
  n += WriteInt32(s, static_cast<std::int32_t>(values.size()));
  n += WriteValues(s, values, false);
  return n;
}

TReadResult ParseProgramRecordData(TStream& s, TProgramImage& program, std::string& error) {
  const std::int64_t start = s.Position();
  if (!ReadMagic(s, kProgramRecordMagic)) return TReadResult::Absent;
  std::int16_t version = 0;
  std::int32_t count = 0;
  TProgramImage read;
  if (!ReadInt16(s, version)) return Fail(s, start, error, "the program record ends early");
  if (!ReadLongStr(s, read.Name)) return Fail(s, start, error, "the program name runs past the end");
  if (!ReadInt32(s, count)) return Fail(s, start, error, "the program record ends early");
  std::string why;
  if (!ReadLoadedValues(s, count, false, read.Values, why))
    return Fail(s, start, error, "program \"" + read.Name + "\": " + why);
  program = std::move(read);
  return TReadResult::Read;
}

std::int64_t WriteBankChunkHead(TStream& s, std::int32_t programCount) {
  std::int64_t n = WriteMagic(s, kBankChunkMagic);
  n += WriteInt16(s, kOwnRecordVersion);
  n += WriteInt32(s, programCount);
  return n;
}

bool ParseBankChunkPrograms(TStream& s, TChunkImage& chunk, std::string& error) {
  const std::int64_t start = s.Position();
  if (!ReadMagic(s, kBankChunkMagic)) {
    error = "the chunk does not begin with \"DcHnK\"";
    return false;
  }
  std::int16_t version = 0;
  std::int32_t count = 0;
  if (!ReadInt16(s, version) || !ReadInt32(s, count)) {
    s.SetPosition(start);
    error = "the chunk's head ends early";
    return false;
  }
  if (!CountFits(s, count, kMinProgramRecordBytes)) {
    s.SetPosition(start);
    error = "the chunk declares " + std::to_string(count) + " programs, more than its " +
            std::to_string(s.Remaining()) + " bytes hold";
    return false;
  }
  TChunkImage read;
  read.Programs.reserve(static_cast<std::size_t>(std::min(count, kMaxBankPrograms)));
  for (std::int32_t i = 0; i < count; ++i) {
    TProgramImage program;
    std::string why;
    const TReadResult r = ParseProgramRecordData(s, program, why);
    if (r != TReadResult::Read) {
      s.SetPosition(start);
      error = "program record " + std::to_string(i) + ": " + (r == TReadResult::Absent ? "no \"PgCn\" record" : why);
      return false;
    }
    if (i < kMaxBankPrograms) read.Programs.push_back(std::move(program));
  }
  chunk.IsPreset = false;
  chunk.Programs = std::move(read.Programs);
  return true;
}

std::int64_t WriteCurrentProgramBlock(TStream& s, std::int16_t program) {
  std::int64_t n = WriteMagic(s, kCurrentProgramMagic);
  n += WriteInt16(s, kCurrentProgramVersion);
  n += WriteInt16(s, program);
  return n;
}

TReadResult ParseCurrentProgramBlock(TStream& s, std::int16_t& program, std::string& error) {
  const std::int64_t start = s.Position();
  if (!ReadMagic(s, kCurrentProgramMagic)) return TReadResult::Absent;
  std::int16_t version = 0, value = 0;
  if (!ReadInt16(s, version) || !ReadInt16(s, value)) {
    s.SetPosition(start);
    error = "the current program block ends early";
    return TReadResult::Damaged;
  }
  program = value;
  return TReadResult::Read;
}

std::int64_t WriteParamSnapshotData(TStream& s, const std::vector<float>& values) {
  std::int64_t n = WriteMagic(s, kSnapshotMagic);
  n += WriteInt16(s, kOwnRecordVersion);
  n += WriteInt32(s, static_cast<std::int32_t>(values.size()));
  n += WriteValues(s, values, false);
  return n;
}

TReadResult ParseParamSnapshotData(TStream& s, std::vector<float>& values, std::string& error) {
  const std::int64_t start = s.Position();
  if (!ReadMagic(s, kSnapshotMagic)) return TReadResult::Absent;
  std::int16_t version = 0;
  std::int32_t count = 0;
  if (!ReadInt16(s, version) || !ReadInt32(s, count)) return Fail(s, start, error, "the snapshot ends early");
  std::vector<float> read;
  std::string why;
  if (!ReadLoadedValues(s, count, false, read, why)) return Fail(s, start, error, "the snapshot: " + why);
  values = std::move(read);
  return TReadResult::Read;
}
