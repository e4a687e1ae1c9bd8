// VST bank files (.fxb) and the plug-in state block that wraps one.
//
// FXB fields are big-endian, the values of regular programs too.
//
// Chunk bank (164-byte header; the byte size is the whole file length):
//   0 "CcnK" | 4 byte size = chunk size + 164 | 8 "FBCh" | 12 version 1 |
//   16 fxID | 20 fxVersion | 24 program count | 28 128 zero bytes |
//   156 chunk size | 160 4 zero bytes | 164 the bank chunk
// Regular bank (212-byte header):
//   0 "CcnK" | 4 byte size = programs x (56 + 4n) + 212 | 8 "FxBk" |
//   12 version 1 | 16 fxID | 20 fxVersion | 24 program count |
//   28 184 zero bytes | 212 one program record per program
// Program record (56-byte header):
//   0 "CcnK" | 4 byte size = 48 + 4n | 8 "FxCk" | 12 version 1 | 16 fxID |
//   20 fxVersion | 24 n | 28 name, at most 26 characters, zero-filled to 28 |
//   56 n floats
//
// State block (little-endian):
//   "FxPlUgIn" | i16 version 2 | i16 current program | i32 bank name length,
//   characters | a whole FXB bank | optional blocks the layers append, each
//   a 4-character magic, an i16 version and a payload of fixed size ("dXPx"
//   of the plug-in core, "smpB" of the sampler layer, ...).
// An older state form, "FXPATCHBANKS" | i32 | i32 count | count x {i32,
// i32 length, characters}, is read and dropped.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "framework/base/streams.h"
#include "framework/core/chunk_format.h"

// The largest bank file the loaders take; a longer one is refused before it
// is read. 128 programs of a few thousand values and the sub-presets of
// every group come to well under a megabyte (the factory bank: 244,501
// bytes).
inline constexpr std::int64_t kBankFileMax = std::int64_t{64} << 20;
inline constexpr std::int64_t kFxbChunkHeaderSize = 164;
inline constexpr std::int64_t kFxbRegularHeaderSize = 212;
inline constexpr std::int64_t kFxProgramHeaderSize = 56;
// Characters of a program name in a regular program record (zero-terminated
// in its 28-byte field).
inline constexpr std::size_t kFxProgramNameMax = 26;

// The byte size of a regular bank of programs records of n values each.
constexpr std::int64_t RegularBankByteSize(std::int64_t programs, std::int64_t n) {
  return programs * (kFxProgramHeaderSize + 4 * n) + kFxbRegularHeaderSize;
}

// What an FXB file holds. Chunk banks give the chunk's bytes (the plug-in
// parses them); regular banks their programs, at most 128 kept.
struct TFxbImage {
  bool IsChunk = false;
  std::int32_t FxId = 0;
  std::int32_t FxVersion = 0;
  std::int32_t NumPrograms = 0;
  std::vector<std::uint8_t> Chunk;
  std::vector<std::uint8_t> Header;  // the 212 bytes of a regular bank's header
  std::vector<TProgramImage> Programs;
};

// A bank as the plug-in read it: the file, and for a chunk bank the chunk.
struct TBankImage {
  TFxbImage File;
  TChunkImage Chunk;
};

std::int64_t WriteFxbChunkBank(TStream& s, std::int32_t fxId, std::int32_t fxVersion, std::int32_t numPrograms,
                               std::span<const std::uint8_t> chunk);
std::int64_t WriteFxbRegularHeader(TStream& s, std::int32_t fxId, std::int32_t fxVersion, std::int32_t numPrograms,
                                   std::int32_t valuesPerProgram);
std::int64_t WriteFxProgram(TStream& s, std::int32_t fxId, std::int32_t fxVersion, std::string_view name,
                            const std::vector<float>& values);
// Checks "CcnK" with "FBCh" or "FxBk" (and "CcnK"/"FxCk" for each regular
// program) and every size against the bytes that remain. On failure the
// stream is back where the bank began; on success it is right after it.
bool ParseFxb(TStream& s, TFxbImage& bank, std::string& error);

inline constexpr std::string_view kStateMagic = "FxPlUgIn";
inline constexpr std::string_view kOldStateMagic = "FXPATCHBANKS";

// A block appended to the state: magic, version and payload.
struct TStateBlockImage {
  std::string Magic;
  std::int16_t Version = 0;
  std::vector<std::uint8_t> Payload;
};

struct TStateImage {
  enum class TForm { None, Current, Old };
  TForm Form = TForm::None;
  std::int16_t Program = 0;
  std::string BankName;
  TBankImage Bank;  // Form Current
  std::vector<TStateBlockImage> Blocks;

  // The block read under that magic, or null.
  const TStateBlockImage* FindBlock(std::string_view magic) const;
};

// "FxPlUgIn", version, program number and bank name; the bank follows.
std::int64_t WriteStateHead(TStream& s, std::int16_t program, std::string_view bankName);
// The head of the current form into state (not the bank).
TReadResult ParseStateHead(TStream& s, TStateImage& state, std::string& error);
// The older form, read to its end and dropped.
TReadResult SkipOldState(TStream& s, std::string& error);

// magic (4 characters), version, payload.
std::int64_t WriteStateBlock(TStream& s, std::string_view magic, std::int16_t version,
                             std::span<const std::uint8_t> payload);
// An optional block with a payload of payloadSize bytes, added to state when
// present. Absent: the stream stays. A block cut short is Damaged.
TReadResult ParseStateBlock(TStream& s, std::string_view magic, std::size_t payloadSize, TStateImage& state,
                            std::string& error);
