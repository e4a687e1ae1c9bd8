#include "platform/resources.h"

std::span<const std::uint8_t> FindResourceBytes(std::string_view name) {
  std::size_t count = 0;
  const TResourceEntry* table = RumbleonResourceTable(&count);
  for (std::size_t i = 0; i < count; ++i) {
    const TResourceEntry& entry = table[i];
    if (entry.Name != nullptr && name == entry.Name && entry.End > entry.Begin) {
      return {entry.Begin, static_cast<std::size_t>(entry.End - entry.Begin)};
    }
  }
  return {};
}
