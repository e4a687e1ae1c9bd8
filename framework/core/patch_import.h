// Design patch files (".pch"): the patch banks of the modular design system,
// read so that the plug-in base can turn up to 128 of their patches into
// programs (TDSPBasePlugin::ImportPatchFile / ImportBankFile).
//
// File layout, little-endian, read only:
//   "XDSPVRPR"                      8 bytes
//   "newstyle"                      8 bytes, only in new-style files (compared
//                                   after trimming blanks); otherwise these
//                                   bytes already belong to the design name
//   version                         i32, new-style files only, not used
//   design name                     65 bytes: length byte + up to 64 characters
//   patch count                     i32
//   values per patch                i32
//   patches                         patch count records of
//     name                          129 bytes: length byte + up to 128 characters
//     values                        values-per-patch i32
//
// Nothing stored is trusted: negative counts are 0, a length byte beyond its
// field is cut to the field, and only the whole patch records the file holds
// are read.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "framework/base/streams.h"
#include "framework/core/param_info.h"

// One patch: its name (untrimmed) and the values kept after the skip count.
struct TVoicerackPatch {
  std::string Name;
  std::vector<std::int32_t> Values;
};

class TVoicerackFile {
 public:
  static constexpr char kMagic[] = "XDSPVRPR";
  static constexpr char kNewStyleTag[] = "newstyle";
  static constexpr std::int64_t kDesignNameBytes = 65;  // length byte + 64 characters
  static constexpr std::int64_t kPatchNameBytes = 129;  // length byte + 128 characters
  static constexpr std::int32_t kDefaultSkipCount = 4;
  // The largest file Load reads: a patch bank of the design system (some
  // hundreds of patches of some hundreds of values) is far below it.
  static constexpr std::int64_t kMaxFileBytes = std::int64_t{64} << 20;

  // Reads the file named by FileName when it exists; answers whether it was
  // a patch file whose header could be read. Patches are cleared first. A
  // file longer than kMaxFileBytes, or one without the magic, is refused
  // before it is read (FileResult says why).
  bool Load();
  // The same from bytes in memory: false (no patches) without the magic or
  // with a header cut short; otherwise true with the whole patches the bytes
  // hold (see Truncated).
  bool LoadFromBytes(std::span<const std::uint8_t> bytes);

  std::string FileName;
  std::int32_t SkipCount = kDefaultSkipCount;  // leading values of each patch dropped
  // Old-style files only: every kept value v becomes round(v / 32767 * 1e8).
  bool ConvertOldStyle = false;

  // What the last load read.
  TFileLoadResult FileResult;
  bool NewStyle = false;
  std::int32_t Version = 0;
  std::string DesignName;
  std::int32_t PatchCount = 0;      // as declared (0 when negative)
  std::int32_t ValuesPerPatch = 0;  // as declared (0 when negative)
  // The whole patch records the file holds, at most PatchCount; fewer means
  // the file ends early.
  std::vector<TVoicerackPatch> Patches;
  bool Truncated() const { return static_cast<std::int64_t>(Patches.size()) < PatchCount; }
};

// The first parameter a patch's kept values go to: they start after the ten
// base parameters of the plug-in core.
inline constexpr std::int32_t kPatchFirstParam = 10;

// The descriptor's PatchConversion kinds. The parameter tables hold them as
// numbers, so none changes its number; 0 and 8 and above use the integer range.
enum TPatchConversion : std::uint8_t {
  kPatchConvertIntRange = 0,
  kPatchConvertTime = 1,
  kPatchConvertRange = 2,
  kPatchConvertLevelPercent = 3,   // a = v * 0.01
  kPatchConvertLevel64 = 4,        // a = v / 64
  kPatchConvertLevelPerMille = 5,  // a = v * 0.001
  kPatchConvertLevel127 = 6,       // a = v / 127
  kPatchConvertLevelDouble = 7,    // a = v * 2
};

// The normalised value (0..1) of a stored patch value for a parameter, by
// the descriptor's PatchConversion kind:
//   1        time: (LinToCents1000F(v) + 13160) / 25160
//   2        (v - Min) / (Max - Min)
//   3..7     level rule with a = v * 0.01, v / 64, v * 0.001, v / 127, v * 2
//   0, 8..   (v - IntMin) / (IntMax - IntMin)
// Level rule: y = sign(a) * (AmpToDb(|a|) + 60) / 60 * 1000, x = (y - Min) / (Max - Min).
// A degenerate range gives 0; the result is clamped to 0..1 (NaN gives 0).
float PatchValueToNorm(const TParamInfoRec& info, std::int32_t v);
