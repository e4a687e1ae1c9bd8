// The design patch reader, the per-parameter value conversion and the
// plug-in base's import and bank-file entries.
//
// Threads: file reading and the import run on the thread that asks for them
// (the loading thread at set-up, never the audio thread). Each patch is
// stored under the instance lock with the busy counter raised; messages are
// reported outside the lock.
#include "framework/core/patch_import.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <string_view>

#include "framework/base/base_math.h"
#include "framework/base/file_names.h"
#include "framework/base/messages.h"
#include "framework/base/streams.h"
#include "framework/core/dsp_base_plugin.h"

namespace {

// Bounded reading over the file's bytes.
class TByteReader {
 public:
  explicit TByteReader(std::span<const std::uint8_t> bytes) : Bytes(bytes) {}

  std::int64_t Remaining() const { return static_cast<std::int64_t>(Bytes.size() - Pos); }
  // The next n bytes, or null (nothing consumed) when fewer remain.
  const std::uint8_t* Take(std::int64_t n) {
    if (n < 0 || n > Remaining()) return nullptr;
    const std::uint8_t* p = Bytes.data() + Pos;
    Pos += static_cast<std::size_t>(n);
    return p;
  }
  bool Int32(std::int32_t& v) {
    const std::uint8_t* p = Take(4);
    if (p == nullptr) return false;
    v = static_cast<std::int32_t>(std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) |
                                  (std::uint32_t{p[3]} << 24));
    return true;
  }
  void Rewind(std::size_t position) { Pos = position; }
  std::size_t Position() const { return Pos; }

 private:
  std::span<const std::uint8_t> Bytes;
  std::size_t Pos = 0;
};

// A fixed-size short-string field: a length byte and room for fieldBytes - 1
// characters; a length beyond the room is cut to it.
std::string FieldString(const std::uint8_t* field, std::int64_t fieldBytes) {
  const std::size_t length = std::min<std::size_t>(field[0], static_cast<std::size_t>(fieldBytes - 1));
  return std::string(reinterpret_cast<const char*>(field + 1), length);
}

// round(v / 32767 * 1e8), held in the 32-bit range.
std::int32_t ConvertOldStyleValue(std::int32_t v) {
  const long double scaled = std::nearbyint(static_cast<long double>(v) / 32767.0L * 1e8L);
  return static_cast<std::int32_t>(std::clamp<long double>(scaled, std::numeric_limits<std::int32_t>::min(),
                                                           std::numeric_limits<std::int32_t>::max()));
}

// (x - lo) / (hi - lo), 0 for a degenerate range.
double RangeRatio(double x, double lo, double hi) {
  const double span = hi - lo;
  return span == 0.0 ? 0.0 : (x - lo) / span;
}

// Signed level in thousandths: the sign of a times (dB of |a| + 60) / 60 * 1000.
double LevelRule(double a) {
  const double sign = a >= 0.0 ? 1.0 : -1.0;
  const double db = AmpToDb(static_cast<float>(std::fabs(a)));
  return sign * (db + 60.0) / 60.0 * 1000.0;
}

// Floor and span of the time rule: cents relative to one second from
// -13160 (zero or less) to 12000.
constexpr double kTimeCentsFloor = 13160.0;
constexpr double kTimeCentsSpan = 25160.0;

}  // namespace

bool TVoicerackFile::Load() {
  Patches.clear();
  FileResult = {};
  if (!FileExists(FileName)) return false;
  TMemoryStream bytes;
  FileResult = LoadFileBounded(FileName, kMaxFileBytes, std::string_view(kMagic, 8), bytes);
  if (!FileResult.Ok()) return false;
  return LoadFromBytes(bytes.Bytes());
}

bool TVoicerackFile::LoadFromBytes(std::span<const std::uint8_t> bytes) {
  Patches.clear();
  NewStyle = false;
  Version = 0;
  DesignName.clear();
  PatchCount = 0;
  ValuesPerPatch = 0;

  TByteReader r(bytes);
  const std::uint8_t* magic = r.Take(8);
  if (magic == nullptr || std::memcmp(magic, kMagic, 8) != 0) return false;
  const std::size_t afterMagic = r.Position();
  if (const std::uint8_t* tag = r.Take(8);
      tag != nullptr && TrimText(std::string_view(reinterpret_cast<const char*>(tag), 8)) == kNewStyleTag) {
    NewStyle = true;
    if (!r.Int32(Version)) return false;
  } else {
    // Old style: these bytes begin the design name.
    r.Rewind(afterMagic);
  }
  const std::uint8_t* name = r.Take(kDesignNameBytes);
  std::int32_t declaredPatches = 0;
  std::int32_t declaredValues = 0;
  if (name == nullptr || !r.Int32(declaredPatches) || !r.Int32(declaredValues)) return false;
  DesignName = FieldString(name, kDesignNameBytes);
  PatchCount = std::max(0, declaredPatches);
  ValuesPerPatch = std::max(0, declaredValues);

  // Only the whole records the file holds are read.
  const std::int64_t recordBytes = kPatchNameBytes + 4 * static_cast<std::int64_t>(ValuesPerPatch);
  const std::int64_t count = std::min<std::int64_t>(PatchCount, r.Remaining() / recordBytes);
  const std::int32_t skip = std::clamp(SkipCount, 0, ValuesPerPatch);
  const bool convert = ConvertOldStyle && !NewStyle;
  Patches.resize(static_cast<std::size_t>(count));
  for (TVoicerackPatch& patch : Patches) {
    patch.Name = FieldString(r.Take(kPatchNameBytes), kPatchNameBytes);
    patch.Values.resize(static_cast<std::size_t>(ValuesPerPatch - skip));
    for (std::int32_t j = 0; j < ValuesPerPatch; ++j) {
      std::int32_t v = 0;
      r.Int32(v);
      if (j < skip) continue;
      patch.Values[static_cast<std::size_t>(j - skip)] = convert ? ConvertOldStyleValue(v) : v;
    }
  }
  return true;
}

float PatchValueToNorm(const TParamInfoRec& info, std::int32_t v) {
  const double min = info.Min;
  const double max = info.Max;
  double x = 0.0;
  switch (info.PatchConversion) {
    case kPatchConvertTime:
      x = (LinToCents1000F(static_cast<float>(v)) + kTimeCentsFloor) / kTimeCentsSpan;
      break;
    case kPatchConvertRange:
      x = RangeRatio(v, min, max);
      break;
    case kPatchConvertLevelPercent:
      x = RangeRatio(LevelRule(v * 0.01), min, max);
      break;
    case kPatchConvertLevel64:
      x = RangeRatio(LevelRule(v / 64.0), min, max);
      break;
    case kPatchConvertLevelPerMille:
      x = RangeRatio(LevelRule(v * 0.001), min, max);
      break;
    case kPatchConvertLevel127:
      x = RangeRatio(LevelRule(v / 127.0), min, max);
      break;
    case kPatchConvertLevelDouble:
      x = RangeRatio(LevelRule(v * 2.0), min, max);
      break;
    default:
      x = RangeRatio(v, info.IntMin, info.IntMax);
      break;
  }
  // A stored value outside the parameter's range (or a range the file's
  // numbers overflow) still gives a value the program can hold.
  if (!(x > 0.0)) return 0.0f;
  return x >= 1.0 ? 1.0f : static_cast<float>(x);
}

std::int32_t TDSPBasePlugin::ImportPatches(const TVoicerackFile& file) {
  std::int32_t imported = 0;
  const std::size_t count = std::min<std::size_t>(file.Patches.size(), kDefaultProgramCount);
  for (std::size_t p = 0; p < count; ++p) {
    const auto program = static_cast<std::int32_t>(p);
    if (!IsValidProgram(program)) break;
    const TVoicerackPatch& patch = file.Patches[p];
    std::string name = TrimText(patch.Name);
    // "!e" marks an empty slot of the design system's bank.
    if (name.empty() || name == "!e") continue;
    BeginProgramUpdate();
    TProgramRec& rec = Programs[p];
    rec.Name = std::move(name);
    const std::int64_t limit =
        std::min<std::int64_t>({static_cast<std::int64_t>(rec.Values.size()), ParamCount, ParamCountAllocated()});
    for (std::size_t k = 0; k < patch.Values.size(); ++k) {
      const std::int64_t target = kPatchFirstParam + static_cast<std::int64_t>(k);
      if (target >= limit) break;
      const auto i = static_cast<std::int32_t>(target);
      StoreParamSlot(rec.Values[static_cast<std::size_t>(i)], PatchValueToNorm(ParamInfo[i], patch.Values[k]));
      ParameterChanged(i);
    }
    EndProgramUpdate();
    ++imported;
  }
  return imported;
}

bool TDSPBasePlugin::ImportPatchFile(const std::string& path) {
  TVoicerackFile file;
  file.FileName = path;
  file.SkipCount = TVoicerackFile::kDefaultSkipCount;
  if (!file.Load()) {
    const TFileLoadResult& r = file.FileResult;
    ShowMessage(TMessageKind::Error, r.Outcome == TFileLoadResult::TooLarge || r.Outcome == TFileLoadResult::NotAFile
                                         ? FileLoadMessage(path, r, "a design patch file", file.kMaxFileBytes)
                                         : "\"" + path + "\" is not a readable design patch file.");
    return false;
  }
  if (file.Truncated())
    ShowMessage(TMessageKind::Warning, "The design patch file \"" + path + "\" ends after " +
                                           std::to_string(file.Patches.size()) + " of its " +
                                           std::to_string(file.PatchCount) + " patches; the whole ones are imported.");
  ImportPatches(file);
  return true;
}

bool TDSPBasePlugin::ImportBankFile(const std::string& path) {
  if (path.empty()) return false;
  const std::string ext = FileExtLower(path);
  if (ext != ".pch" && FileExists(path)) {
    TMemoryStream in;
    const TFileLoadResult r = LoadFileBounded(path, kBankFileMax, {}, in);
    if (!r.Ok()) {
      ShowMessage(TMessageKind::Error, FileLoadMessage(path, r, "a bank file", kBankFileMax));
      return false;
    }
    if (!LoadBankFromStream(in)) return false;
    TProgramDataGuard guard(*this);
    BankName = FileNameNoExt(path);
    return true;
  }
  const std::string pch = ext == ".pch" ? path : ChangeFileExt(path, ".pch");
  if (FileExists(pch)) {
    if (!ImportPatchFile(pch)) return false;
    // The converted bank never goes to the patch file itself: named directly,
    // the patch file gets a bank of its own name with ".fxb" beside it, and an
    // existing file there is not replaced.
    if (ext == ".pch") {
      const std::string bank = ChangeFileExt(path, ".fxb");
      if (FileExists(bank)) {
        ShowMessage(TMessageKind::Warning, "The patches of \"" + path + "\" were imported, but \"" + bank +
                                               "\" already exists and was not replaced.");
        return false;
      }
      return SaveBankFile(bank);
    }
    return SaveBankFile(path);
  }
  if (ext == ".fxb") return SaveBankFile(path);
  return false;
}

void TDSPBasePlugin::LoadStartupBank(bool load) {
  if (load) ImportBankFile(GetStartupBankFile());
}
