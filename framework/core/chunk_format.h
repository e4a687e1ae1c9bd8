// The plug-in's own records for programs, as the host's chunk carries them,
// and the parameter snapshot. Little-endian, a 16-bit version (2) after each
// magic, strings as an i32 length and the characters:
//
//   bank chunk   "DcHnK" | i16 version | i32 program count | that many "PgCn"
//                records | (the plug-in core appends the "SuBpRe" block and
//                then "CuPg")
//   "CuPg"       "CuPg" | i16 version (1) | i16 current program. Chunks
//                written before it existed end after "SuBpRe" and load as
//                they always did (the current program stays); readers that
//                predate it stop before it.
//   "PgCn"       "PgCn" | i16 version | i32 name length, name (trimmed) |
//                i32 value count | that many floats (normalised, parameter
//                order; a global parameter gives its descriptor's value)
//   preset chunk one "PgCn" record (the current program)
//   "BpRm"       "BpRm" | i16 version | i32 count | count floats
//
// The parsers give an image of what they read; the plug-in applies it only
// once the whole input has proved sound.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "framework/base/streams.h"
#include "framework/core/chunk_reading.h"
#include "framework/core/sub_preset_format.h"

inline constexpr std::string_view kBankChunkMagic = "DcHnK";
inline constexpr std::string_view kProgramRecordMagic = "PgCn";
inline constexpr std::string_view kSnapshotMagic = "BpRm";
inline constexpr std::string_view kCurrentProgramMagic = "CuPg";
inline constexpr std::int16_t kCurrentProgramVersion = 1;
inline constexpr std::int16_t kOwnRecordVersion = 2;
// No chunk or bank fills more programs than this; records beyond it are read
// (so what follows stays in step) and dropped.
inline constexpr std::int32_t kMaxBankPrograms = 128;

// A program as a record holds it: its name and the values it carries (all of
// them, clamped to 0..1; the plug-in takes those its parameters cover).
struct TProgramImage {
  std::string Name;
  std::vector<float> Values;
};

// A host chunk as read: a bank (its program records, at most 128 kept, and
// the sub-preset block when one follows) or a preset (one record).
struct TChunkImage {
  bool IsPreset = false;
  std::vector<TProgramImage> Programs;
  std::optional<TSubPresetBlockImage> SubPresets;
  std::optional<std::int16_t> CurrentProgram;  // from "CuPg"
};

// "PgCn" with the trimmed name and the values; answers the bytes written.
std::int64_t WriteProgramRecordData(TStream& s, std::string_view name, const std::vector<float>& values);
TReadResult ParseProgramRecordData(TStream& s, TProgramImage& program, std::string& error);

// "DcHnK", version and program count; the records follow.
std::int64_t WriteBankChunkHead(TStream& s, std::int32_t programCount);
// The head and every program record of a bank chunk (not the sub-preset
// block). False with an error, stream where it was, when the magic is
// missing or a record is damaged.
bool ParseBankChunkPrograms(TStream& s, TChunkImage& chunk, std::string& error);

// "CuPg" with the current program number; answers the bytes written.
std::int64_t WriteCurrentProgramBlock(TStream& s, std::int16_t program);
// Absent (stream unchanged) without the magic; Damaged when it is cut short.
TReadResult ParseCurrentProgramBlock(TStream& s, std::int16_t& program, std::string& error);

std::int64_t WriteParamSnapshotData(TStream& s, const std::vector<float>& values);
TReadResult ParseParamSnapshotData(TStream& s, std::vector<float>& values, std::string& error);
