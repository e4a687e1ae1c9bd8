#include "tools/host/fx_bank.h"

#include <cstring>

#include "tools/host/vst_host.h"

namespace {

constexpr std::int32_t Code(const char (&s)[5]) {
  return static_cast<std::int32_t>((static_cast<std::uint32_t>(static_cast<std::uint8_t>(s[0])) << 24) |
                                   (static_cast<std::uint32_t>(static_cast<std::uint8_t>(s[1])) << 16) |
                                   (static_cast<std::uint32_t>(static_cast<std::uint8_t>(s[2])) << 8) |
                                   static_cast<std::uint32_t>(static_cast<std::uint8_t>(s[3])));
}

class TBigEndianReader {
 public:
  explicit TBigEndianReader(std::span<const std::uint8_t> bytes) : Bytes(bytes) {}
  std::size_t Remaining() const { return Bytes.size() - Pos; }
  std::size_t Position() const { return Pos; }
  bool Int32(std::int32_t& v) {
    if (Remaining() < 4) return false;
    std::uint32_t u = 0;
    for (int i = 0; i < 4; ++i) u = (u << 8) | Bytes[Pos++];
    v = static_cast<std::int32_t>(u);
    return true;
  }
  bool Float(float& v) {
    std::int32_t i;
    if (!Int32(i)) return false;
    std::memcpy(&v, &i, 4);
    return true;
  }
  bool Skip(std::size_t n) {
    if (Remaining() < n) return false;
    Pos += n;
    return true;
  }
  std::span<const std::uint8_t> Take(std::size_t n) {
    const auto s = Bytes.subspan(Pos, n);
    Pos += n;
    return s;
  }

 private:
  std::span<const std::uint8_t> Bytes;
  std::size_t Pos = 0;
};

void PutInt32(std::vector<std::uint8_t>& out, std::int32_t v) {
  const auto u = static_cast<std::uint32_t>(v);
  for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<std::uint8_t>(u >> shift));
}

// Largest plausible parameter count of one program record.
constexpr std::int32_t kMaxParams = 1 << 20;

}  // namespace

bool ParseFxBank(std::span<const std::uint8_t> bytes, TFxBank& bank, std::string& error) {
  TFxBank b;
  TBigEndianReader r(bytes);
  std::int32_t magic = 0, byteSize = 0, fxMagic = 0;
  if (!r.Int32(magic) || magic != Code("CcnK")) {
    error = "not a VST bank file (no CcnK header)";
    return false;
  }
  if (!r.Int32(byteSize) || !r.Int32(fxMagic) || !r.Int32(b.Version) || !r.Int32(b.PluginId) ||
      !r.Int32(b.PluginVersion) || !r.Int32(b.NumPrograms)) {
    error = "the bank file's header is truncated";
    return false;
  }
  if (fxMagic != Code("FBCh") && fxMagic != Code("FxBk")) {
    error = "the file is not a bank (its kind is '" + FourCharText(fxMagic) + "', not FBCh or FxBk)";
    return false;
  }
  b.IsChunk = fxMagic == Code("FBCh");
  if (b.NumPrograms < 0 || b.NumPrograms > 65536) {
    error = "the bank declares " + std::to_string(b.NumPrograms) + " programs";
    return false;
  }
  // Version 2 stores the current program in the first word of the reserved
  // 128 bytes.
  if (b.Version >= 2) {
    if (!r.Int32(b.CurrentProgram) || !r.Skip(124)) {
      error = "the bank file's header is truncated";
      return false;
    }
  } else if (!r.Skip(128)) {
    error = "the bank file's header is truncated";
    return false;
  }
  if (b.IsChunk) {
    std::int32_t size = 0;
    // The usual layout puts the chunk right after its size, with a byte size
    // of the file length minus 8; some plug-ins (ours among them) write 4
    // reserved bytes first and store the whole file length.
    if (!r.Int32(size) || (static_cast<std::int64_t>(byteSize) != std::int64_t{size} + 152 && !r.Skip(4))) {
      error = "the bank file's header is truncated";
      return false;
    }
    if (size < 0 || static_cast<std::size_t>(size) > r.Remaining()) {
      error = "the bank's chunk size (" + std::to_string(size) + ") exceeds the " + std::to_string(r.Remaining()) +
              " bytes that follow";
      return false;
    }
    const auto chunk = r.Take(static_cast<std::size_t>(size));
    b.Chunk.assign(chunk.begin(), chunk.end());
  } else {
    for (std::int32_t p = 0; p < b.NumPrograms; ++p) {
      std::int32_t pMagic = 0, pSize = 0, pKind = 0, pVersion = 0, pId = 0, pFxVersion = 0, count = 0;
      const std::string where = "program " + std::to_string(p + 1) + " of the bank";
      if (!r.Int32(pMagic) || !r.Int32(pSize) || !r.Int32(pKind) || !r.Int32(pVersion) || !r.Int32(pId) ||
          !r.Int32(pFxVersion) || !r.Int32(count)) {
        error = where + " is truncated";
        return false;
      }
      if (pMagic != Code("CcnK") || pKind != Code("FxCk")) {
        error = where + " is not a regular program record";
        return false;
      }
      if (count < 0 || count > kMaxParams || static_cast<std::size_t>(count) * 4 + 28 > r.Remaining()) {
        error = where + " declares " + std::to_string(count) + " parameters, more than the file holds";
        return false;
      }
      TFxProgram program;
      const auto name = r.Take(28);
      program.Name.assign(reinterpret_cast<const char*>(name.data()),
                          strnlen(reinterpret_cast<const char*>(name.data()), 28));
      program.Params.resize(static_cast<std::size_t>(count));
      for (auto& v : program.Params) r.Float(v);
      b.Programs.push_back(std::move(program));
    }
  }
  bank = std::move(b);
  return true;
}

std::vector<std::uint8_t> WriteFxBank(const TFxBank& bank) {
  std::vector<std::uint8_t> body;
  PutInt32(body, bank.IsChunk ? Code("FBCh") : Code("FxBk"));
  PutInt32(body, bank.Version);
  PutInt32(body, bank.PluginId);
  PutInt32(body, bank.PluginVersion);
  PutInt32(body, bank.IsChunk ? bank.NumPrograms : static_cast<std::int32_t>(bank.Programs.size()));
  const std::size_t reservedStart = body.size();
  if (bank.Version >= 2) PutInt32(body, bank.CurrentProgram);
  body.resize(reservedStart + 128, 0);
  if (bank.IsChunk) {
    PutInt32(body, static_cast<std::int32_t>(bank.Chunk.size()));
    body.insert(body.end(), bank.Chunk.begin(), bank.Chunk.end());
  } else {
    for (const auto& p : bank.Programs) {
      PutInt32(body, Code("CcnK"));
      PutInt32(body, static_cast<std::int32_t>(48 + 4 * p.Params.size()));
      PutInt32(body, Code("FxCk"));
      PutInt32(body, 1);
      PutInt32(body, bank.PluginId);
      PutInt32(body, bank.PluginVersion);
      PutInt32(body, static_cast<std::int32_t>(p.Params.size()));
      char name[28] = {};
      std::memcpy(name, p.Name.data(), std::min<std::size_t>(p.Name.size(), 27));
      body.insert(body.end(), name, name + 28);
      for (float v : p.Params) {
        std::int32_t i;
        std::memcpy(&i, &v, 4);
        PutInt32(body, i);
      }
    }
  }
  std::vector<std::uint8_t> out;
  PutInt32(out, Code("CcnK"));
  PutInt32(out, static_cast<std::int32_t>(body.size()));
  out.insert(out.end(), body.begin(), body.end());
  return out;
}

bool ApplyFxBank(TVstPlugin& plugin, const TFxBank& bank, std::string& error) {
  if (bank.PluginId != plugin.Effect()->uniqueID) {
    error = "the bank is for the plug-in '" + FourCharText(bank.PluginId) + "', this one is '" +
            FourCharText(plugin.Effect()->uniqueID) + "'";
    return false;
  }
  if (bank.IsChunk) {
    if (!plugin.HasFlag(kVstFlagProgramChunks)) {
      error = "the bank holds a chunk, but the plug-in does not take chunks";
      return false;
    }
    if (plugin.SetChunk(bank.Chunk, false) == 0) {
      error = "the plug-in refused the bank's chunk (setChunk answered 0)";
      return false;
    }
    return true;
  }
  const int programs = std::min<int>(static_cast<int>(bank.Programs.size()), plugin.NumPrograms());
  for (int p = 0; p < programs; ++p) {
    const TFxProgram& program = bank.Programs[static_cast<std::size_t>(p)];
    plugin.SetProgram(p);
    char name[28] = {};
    std::memcpy(name, program.Name.data(), std::min<std::size_t>(program.Name.size(), 24));
    plugin.Dispatch(kEffSetProgramName, 0, 0, name);
    const int count = std::min<int>(static_cast<int>(program.Params.size()), plugin.NumParams());
    for (int i = 0; i < count; ++i) plugin.SetParameter(i, program.Params[static_cast<std::size_t>(i)]);
  }
  const int current = bank.CurrentProgram >= 0 && bank.CurrentProgram < plugin.NumPrograms() ? bank.CurrentProgram : 0;
  if (programs > 0) plugin.SetProgram(current);
  return true;
}
