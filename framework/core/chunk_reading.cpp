#include "framework/core/chunk_reading.h"

#include <cstring>

std::int64_t WriteMagic(TStream& s, std::string_view magic) {
  return s.Write(magic.data(), static_cast<std::int64_t>(magic.size()));
}

bool ReadMagic(TStream& s, std::string_view magic) {
  const std::int64_t start = s.Position();
  char bytes[16];
  const auto n = static_cast<std::int64_t>(magic.size());
  if (n > static_cast<std::int64_t>(sizeof bytes) || !s.ReadExact(bytes, n)) return false;
  if (std::memcmp(bytes, magic.data(), magic.size()) != 0) {
    s.SetPosition(start);
    return false;
  }
  return true;
}

float ClampLoadedValue(float v) {
  // The comparison form lets NaN fall through to 0.
  if (!(v >= 0.0f)) return 0.0f;
  return v > 1.0f ? 1.0f : v;
}

bool ReadLoadedValues(TStream& s, std::int64_t count, bool bigEndian, std::vector<float>& values, std::string& error) {
  if (count < 0) {
    error = "a negative value count (" + std::to_string(count) + ")";
    return false;
  }
  if (count > s.Remaining() / 4) {
    error = std::to_string(count) + " values declared, but only " + std::to_string(s.Remaining()) + " bytes remain";
    return false;
  }
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(count) * 4);
  if (!s.ReadExact(bytes.data(), static_cast<std::int64_t>(bytes.size()))) {
    error = "the values end early";
    return false;
  }
  values.resize(static_cast<std::size_t>(count));
  for (std::size_t i = 0; i < values.size(); ++i) {
    const std::uint8_t* b = bytes.data() + 4 * i;
    const std::uint32_t bits =
        bigEndian ? (std::uint32_t{b[0]} << 24) | (std::uint32_t{b[1]} << 16) | (std::uint32_t{b[2]} << 8) | b[3]
                  : (std::uint32_t{b[3]} << 24) | (std::uint32_t{b[2]} << 16) | (std::uint32_t{b[1]} << 8) | b[0];
    values[i] = ClampLoadedValue(__builtin_bit_cast(float, bits));
  }
  return true;
}

std::int64_t WriteValues(TStream& s, const std::vector<float>& values, bool bigEndian) {
  std::vector<std::uint8_t> bytes(values.size() * 4);
  for (std::size_t i = 0; i < values.size(); ++i) {
    const auto bits = __builtin_bit_cast(std::uint32_t, values[i]);
    std::uint8_t* b = bytes.data() + 4 * i;
    for (int k = 0; k < 4; ++k) {
      const int shift = bigEndian ? 24 - 8 * k : 8 * k;
      b[k] = static_cast<std::uint8_t>(bits >> shift);
    }
  }
  return s.Write(bytes.data(), static_cast<std::int64_t>(bytes.size()));
}

bool CountFits(TStream& s, std::int64_t count, std::int64_t minRecordBytes) {
  return count >= 0 && count <= s.Remaining() / minRecordBytes;
}
