// The "XDSPSBNK" bank reader. Layout of a file:
//   magic "XDSPSBNK", 4-character version;
//   below "1.51" the rest is zlib-compressed: "1.50" as a 32-bit total and
//   chunks {32-bit length n <= 110000; n bytes of one zlib stream}, older
//   versions as a 32-bit size and one zlib stream; from "1.51" on the body
//   follows directly. Body: 352-byte bank header, extension block, samples
//   {116-byte header, 44-byte RIFF header, data}, programs {number, 48-byte
//   name, template flag [+ 804-byte zone], extension block, 16-bit zone
//   count, zones {804 bytes, extension block}}, final extension block.
//   An extension block is a 32-bit length and that many skipped bytes.
// Sample data is 16-bit from "1.51" on; older banks store 32-bit floats that
// become round(x x 10000) with a sample scale of 0.0001.
//
// Every count and length is checked against the bytes that remain before
// anything is allocated for it, and the inflated body is capped, so a
// damaged or hostile file costs at most a few times its own size.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <span>
#include <unordered_map>

#include <zlib.h>

#include "dsp/sampler/bank_messages.h"
#include "dsp/sampler/sampler.h"
#include "framework/base/streams.h"

namespace {

// Largest body the compressed forms may inflate to.
constexpr std::size_t kMaxInflatedBytes = std::size_t{256} << 20;
constexpr std::size_t kExtensionHeader = 4;

// Bounded reads over a byte span: every read fails rather than run past the
// end, and a failed read consumes nothing.
class TByteReader {
 public:
  explicit TByteReader(std::span<const std::uint8_t> bytes) : Bytes(bytes) {}

  std::size_t Remaining() const { return Bytes.size() - Pos; }
  std::size_t Position() const { return Pos; }
  bool Read(void* out, std::size_t count) {
    if (count > Remaining()) return false;
    if (count) std::memcpy(out, Bytes.data() + Pos, count);
    Pos += count;
    return true;
  }
  std::span<const std::uint8_t> Take(std::size_t count) {
    if (count > Remaining()) return {};
    std::span<const std::uint8_t> part = Bytes.subspan(Pos, count);
    Pos += count;
    return part;
  }
  template <typename T>
  bool Value(T& v) {
    return Read(&v, sizeof v);
  }
  // A 32-bit length and that many bytes, skipped.
  bool SkipExtension() {
    std::int32_t length = 0;
    if (!Value(length) || length < 0 || static_cast<std::size_t>(length) > Remaining()) return false;
    Pos += static_cast<std::size_t>(length);
    return true;
  }

 private:
  std::span<const std::uint8_t> Bytes;
  std::size_t Pos = 0;
};

// Inflates one complete zlib stream and appends it to out; false when the
// stream is damaged, incomplete, or would take out past the cap.
bool InflateAppend(std::span<const std::uint8_t> in, std::vector<std::uint8_t>& out) {
  z_stream z{};
  if (inflateInit(&z) != Z_OK) return false;
  z.next_in = const_cast<Bytef*>(in.data());
  z.avail_in = static_cast<uInt>(in.size());
  int rc = Z_OK;
  while (rc == Z_OK) {
    if (out.size() >= kMaxInflatedBytes) break;
    const std::size_t grow =
        std::min<std::size_t>(std::max<std::size_t>(out.size(), 65536), kMaxInflatedBytes - out.size());
    const std::size_t used = out.size();
    out.resize(used + grow);
    z.next_out = out.data() + used;
    z.avail_out = static_cast<uInt>(grow);
    rc = inflate(&z, Z_NO_FLUSH);
    out.resize(used + (grow - z.avail_out));
    if (rc == Z_BUF_ERROR && z.avail_out != 0) break;  // input ended before the stream
    if (rc == Z_BUF_ERROR) rc = Z_OK;                  // only the output was full
  }
  inflateEnd(&z);
  return rc == Z_STREAM_END;
}

bool VersionBelow(const char (&version)[4], const char* text) { return std::memcmp(version, text, 4) < 0; }
bool VersionIs(const char (&version)[4], const char* text) { return std::memcmp(version, text, 4) == 0; }

// The version as a number ('.' as decimal point, blanks around it allowed).
bool VersionNumber(const char (&version)[4], double& number) {
  const char* first = version;
  const char* last = version + 4;
  while (first < last && *first == ' ') ++first;
  while (last > first && last[-1] == ' ') --last;
  if (first == last || *first == '+' || *first == '-') return false;
  const std::from_chars_result r = std::from_chars(first, last, number, std::chars_format::fixed);
  return r.ec == std::errc() && r.ptr == last && std::isfinite(number);
}

// Fields that older versions did not have, set after reading.
void ApplyZoneVersionFixes(TSampleZoneRec& z, const char (&version)[4]) {
  if (VersionIs(version, "1.00")) {
    z.Param548 = 1.0f;
    z.Env2LevelAmount = 0.0f;
    z.Env1Sustain1Ms = z.Env1RiseMs = z.Env1FallMs = z.Env1Sustain2Ms = 0;
    z.Env2On = 0;
    z.Env2AttackMs = z.Env2DecayMs = z.Env2Sustain1Ms = z.Env2RiseMs = z.Env2FallMs = z.Env2Sustain2Ms = 0;
    z.Env2SustainLevel = 1.0f;
    z.Env2ReleaseMs = 0;
    z.Filter1Env[0] = z.Filter1Env[1] = 0.0f;
    z.Filter2Env[0] = z.Filter2Env[1] = 0.0f;
  }
  if (VersionBelow(version, "1.49")) {
    z.Env1Curve = z.Env2Curve = 0;
    z.Env1DelayMs = z.Env2DelayMs = z.Env1HoldMs = z.Env2HoldMs = 0;
    for (TSampleLfoRec& lfo : z.Lfo) {
      lfo.DelayMs = 0.0f;
      lfo.Env1Depth = lfo.Env2Depth = 0.0f;
    }
  }
  if (VersionBelow(version, "1.50")) {
    z.LoopModeOverride = z.LoopMode = z.LoopPointsOverride = 0;
    z.LoopStart = z.LoopEnd = 0;
    z.Env1PitchSemis = z.Env1PitchCents = z.Env2PitchSemis = z.Env2PitchCents = 0;
    z.PitchTracking = 100;
    z.PitchTrackingHigh = 0;
    z.LevelKeyTrack = z.Filter1KeyTrack = z.Filter2KeyTrack = 0.0f;
    z.Env1HoldKeyTrack = z.Env1DecayKeyTrack = z.Env2HoldKeyTrack = z.Env2DecayKeyTrack = 0.0f;
    z.RootKeyOverride = 0;
    z.RootKey = 60;
    z.Env1On = 1;
    z.Param548 = 1.0f;
    z.Filter1RangeHz = z.Filter2RangeHz = 1;
    z.LfoPitchMode[0] = z.LfoPitchMode[1] = z.LfoPitchMode[2] = 1;
    z.Env1Table = z.Env2Table = 0;
  }
  if (VersionBelow(version, "1.51")) {
    z.SampleScale = 0.0001f;
    z.ScaleOverride = 0;
  }
}

// Reads the samples of the body into bank; false on any damage.
bool ReadSamples(TByteReader& r, TSampleBankRec& bank, std::int32_t count, bool floats, bool upTo103) {
  bank.Samples.reserve(static_cast<std::size_t>(
      std::min<std::size_t>(count, r.Remaining() / (sizeof(TSampleHeaderRec) + sizeof(TRiffWaveHeaderRec)))));
  const std::size_t bytesPerValue = floats ? 4 : 2;
  for (std::int32_t i = 0; i < count; ++i) {
    auto sample = std::make_unique<TSampleRec>();
    if (!r.Value(sample->Header) || !r.Value(sample->Riff)) return false;
    TSampleHeaderRec& h = sample->Header;
    ClampShortStr(h.Name);
    if (sample->Riff.Channels != 1 && sample->Riff.Channels != 2) return false;
    if (sample->Riff.SampleRate <= 0) return false;
    if (h.Length < 0 || static_cast<std::uint64_t>(h.Length) * bytesPerValue > r.Remaining()) return false;
    TSampler::AllocSampleData(*sample);
    std::span<const std::uint8_t> data = r.Take(static_cast<std::size_t>(h.Length) * bytesPerValue);
    if (floats) {
      for (std::int32_t k = 0; k < h.Length; ++k) {
        float x;
        std::memcpy(&x, data.data() + 4 * static_cast<std::size_t>(k), 4);
        // In double, as the stored singles were meant: 0.12345 gives 1235.
        double v = static_cast<double>(x) * 10000.0;
        if (std::isnan(v)) v = 0.0;
        v = std::clamp(v, -32768.0, 32767.0);
        sample->Data[k] = static_cast<std::int16_t>(std::nearbyint(v));
      }
      h.SampleScale = 0.0001f;
    } else if (h.Length > 0) {
      std::memcpy(sample->Data, data.data(), data.size());
    }
    if (upTo103) {
      h.RootKey = static_cast<std::uint8_t>(std::min(h.RootKey + 12, 127));
      if (h.LoopEnd < INT32_MAX) h.LoopEnd += 1;
      if (h.Length <= h.LoopEnd) h.LoopEnd = h.Length - 1;
    }
    bank.Samples.push_back(std::move(sample));
  }
  return true;
}

bool ReadPrograms(TByteReader& r, TSampleBankRec& bank, std::int32_t count, const char (&version)[4]) {
  // Each zone resolves to the first sample in list order with its identifier.
  std::unordered_map<std::uint16_t, TSampleRec*> byId;
  for (const std::unique_ptr<TSampleRec>& sample : bank.Samples) byId.emplace(sample->ID(), sample.get());

  constexpr std::size_t kZoneBytes = sizeof(TSampleZoneRec) + kExtensionHeader;
  for (std::int32_t i = 0; i < count; ++i) {
    std::uint8_t number = 0;
    std::uint8_t nameField[48];
    std::uint8_t hasTemplate = 0;
    if (!r.Value(number) || number >= kSampleBankPrograms) return false;
    if (!r.Read(nameField, sizeof nameField) || !r.Value(hasTemplate)) return false;
    TSamplerProgramRec& p = bank.Programs[number];
    p.Zones.clear();  // a repeated number replaces the earlier program
    p.InUse = true;
    p.Name = ShortStrText(nameField);
    p.HasTemplate = hasTemplate != 0;
    if (p.HasTemplate) {
      if (!r.Value(p.Template)) return false;
      ApplyZoneVersionFixes(p.Template, version);
    } else {
      SetZoneDefaults(p.Template);
    }
    std::int16_t zoneCount = 0;
    if (!r.SkipExtension() || !r.Value(zoneCount) || zoneCount < 0) return false;
    if (static_cast<std::size_t>(zoneCount) * kZoneBytes > r.Remaining()) return false;
    p.Zones.resize(static_cast<std::size_t>(zoneCount));
    for (TSampleZone& zone : p.Zones) {
      if (!r.Value(zone.Rec) || !r.SkipExtension()) return false;
      ApplyZoneVersionFixes(zone.Rec, version);
      const auto found = byId.find(zone.Rec.SampleID);
      zone.Sample = found == byId.end() ? nullptr : found->second;
    }
  }
  return true;
}

std::unique_ptr<TSampleBankRec> Invalid(std::string_view message) {
  ReportBankMessage(TBankMessageKind::Error, message);
  return nullptr;
}

}  // namespace

std::unique_ptr<TSampleBankRec> ReadSampleBank(TStream& stream) {
  const std::int64_t start = stream.Position();
  std::vector<std::uint8_t> copy;
  std::span<const std::uint8_t> bytes;
  if (auto* memory = dynamic_cast<TMemoryStream*>(&stream)) {
    bytes = memory->Bytes().subspan(static_cast<std::size_t>(std::min(start, memory->Size())));
  } else {
    copy.resize(static_cast<std::size_t>(std::max<std::int64_t>(0, stream.Remaining())));
    copy.resize(static_cast<std::size_t>(std::max<std::int64_t>(0, stream.Read(copy.data(), copy.size()))));
    stream.SetPosition(start);
    bytes = copy;
  }

  TByteReader outer(bytes);
  char magic[8];
  char version[4];
  if (!outer.Read(magic, 8) || std::memcmp(magic, kSampleBankMagic, 8) != 0) return Invalid(kMsgInvalidBank);
  double versionNumber = 0;
  if (!outer.Read(version, 4) || !VersionNumber(version, versionNumber)) return Invalid(kMsgInvalidBank);

  const bool compressed = VersionBelow(version, "1.51");
  std::vector<std::uint8_t> inflated;
  std::span<const std::uint8_t> body;
  if (compressed) {
    std::int32_t total = 0;
    if (!outer.Value(total) || total < 0 || static_cast<std::size_t>(total) > outer.Remaining())
      return Invalid(kMsgInvalidBank);
    TByteReader packed(outer.Take(static_cast<std::size_t>(total)));
    if (VersionIs(version, "1.50")) {
      while (packed.Remaining() > 0) {
        std::int32_t length = 0;
        if (!packed.Value(length) || length < 0 || length > kSampleBankChunkLimit ||
            static_cast<std::size_t>(length) > packed.Remaining())
          return Invalid(kMsgInvalidBank);
        if (!InflateAppend(packed.Take(static_cast<std::size_t>(length)), inflated)) return Invalid(kMsgInvalidBank);
      }
    } else if (!InflateAppend(packed.Take(packed.Remaining()), inflated)) {
      return Invalid(kMsgInvalidBank);
    }
    body = inflated;
  } else {
    body = bytes.subspan(outer.Position());
  }

  TByteReader r(body);
  auto bank = std::make_unique<TSampleBankRec>();
  TSampleBankHeaderRec& header = bank->Header;
  if (!r.Value(header)) {
    // Too short for a header: judge the tags that are there.
    char tags[8] = {};
    if (!body.empty()) std::memcpy(tags, body.data(), std::min<std::size_t>(8, body.size()));
    const bool tagsOk = std::memcmp(tags, "BANK", 4) == 0 || std::memcmp(tags + 4, "KNAB", 4) == 0;
    return Invalid(tagsOk ? kMsgInvalidBank : kMsgInvalidHeader);
  }
  if (std::memcmp(header.Tag1, "BANK", 4) != 0 && std::memcmp(header.Tag2, "KNAB", 4) != 0)
    return Invalid(kMsgInvalidHeader);
  if (compressed) {
    bank->Modified = true;
    ReportBankMessage(TBankMessageKind::Information, kMsgBankConverted);
  }
  ClampShortStr(header.Name);
  ClampShortStr(header.Text);
  if (header.SampleCount < 0 || header.ProgramCount < 0 || !r.SkipExtension()) return Invalid(kMsgInvalidBank);

  const bool upTo103 = versionNumber <= 1.03;
  if (!ReadSamples(r, *bank, header.SampleCount, compressed, upTo103)) return Invalid(kMsgInvalidBank);
  SortSampleList(bank->Samples);
  if (!ReadPrograms(r, *bank, header.ProgramCount, version) || !r.SkipExtension()) return Invalid(kMsgInvalidBank);

  const std::size_t consumed = compressed ? outer.Position() : outer.Position() + r.Position();
  stream.SetPosition(start + static_cast<std::int64_t>(consumed));
  return bank;
}
