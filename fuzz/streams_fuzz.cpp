// The stream readers of the base library, driven in an order the input
// chooses: every read must stay within the bytes present and fail cleanly.
#include "framework/base/streams.h"
#include "fuzz/support/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  // The first byte chooses the order of the readers.
  const std::uint8_t plan = data[0];
  TMemoryStream s(std::span<const std::uint8_t>(data + 1, size - 1));
  for (int step = 0; step < 64 && s.Remaining() > 0; ++step) {
    const std::int64_t before = s.Position();
    bool ok = false;
    switch ((plan + step) % 8) {
      case 0: {
        std::string text;
        ok = ReadShortStr(s, text);
        break;
      }
      case 1: {
        std::string text;
        ok = ReadLongStr(s, text);
        break;
      }
      case 2: {
        std::string name;
        std::vector<std::uint8_t> bytes;
        ok = ReadPictureChunk(s, name, bytes);
        break;
      }
      case 3: {
        TFontSpec font;
        ok = ReadFontChunk(s, font);
        break;
      }
      case 4: {
        std::int32_t v;
        ok = ReadInt32BE(s, v);
        break;
      }
      case 5: {
        float v;
        ok = ReadFloat32(s, v);
        break;
      }
      case 6: {
        std::uint16_t v;
        ok = ReadUInt16(s, v);
        break;
      }
      default: {
        std::uint8_t v;
        ok = ReadByte(s, v);
        break;
      }
    }
    // A failed read leaves the stream where it was; stop rather than spin.
    if (!ok && s.Position() == before) s.Seek(1, TSeekOrigin::Current);
  }
  return 0;
}

TFuzzSeeds RumbleonFuzzSeeds() {
  TMemoryStream s;
  WriteShortStr(s, "Bass");
  WriteLongStr(s, "a longer description text");
  const std::uint8_t picture[] = {'G', 'I', 'F', '8', '9', 'a', 1, 0, 1, 0};
  WritePictureChunk(s, "knob.gif", picture);
  TFontSpec font;
  font.Name = "Sans";
  font.Size = 9;
  WriteFontChunk(s, font);
  WriteInt32BE(s, 0x43636E4B);
  WriteFloat32(s, 0.5f);
  std::vector<std::uint8_t> bytes = {0};
  bytes.insert(bytes.end(), s.Bytes().begin(), s.Bytes().end());
  TFuzzSeeds seeds = {bytes};
  bytes[0] = 2;  // start with the picture chunk
  seeds.push_back(bytes);
  return seeds;
}
