// Writes the module's noise table: 20000 little-endian float32 values in
// [-1, 1] from a fixed-seed generator, so every build embeds the same bytes.
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

// splitmix64: small, well distributed, and the same on every platform.
std::uint64_t NextRandom(std::uint64_t& state) {
  std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: rumbleon-noisegen OUTPUT\n");
    return 2;
  }
  constexpr int kCount = 20000;
  std::uint64_t state = 0x52756D626C654E73ull;  // fixed seed
  unsigned char bytes[kCount * 4];
  for (int i = 0; i < kCount; ++i) {
    // 24 random bits mapped onto [-1, 1], both ends reachable.
    const std::uint32_t r = static_cast<std::uint32_t>(NextRandom(state) >> 40);
    const float value = static_cast<float>(r) / 8388607.5f - 1.0f;
    std::uint32_t bits;
    std::memcpy(&bits, &value, 4);
    for (int b = 0; b < 4; ++b) bytes[i * 4 + b] = static_cast<unsigned char>(bits >> (8 * b));
  }
  std::FILE* out = std::fopen(argv[1], "wb");
  if (!out) {
    std::perror(argv[1]);
    return 1;
  }
  const bool ok = std::fwrite(bytes, 1, sizeof bytes, out) == sizeof bytes;
  if (std::fclose(out) != 0 || !ok) {
    std::fprintf(stderr, "rumbleon-noisegen: cannot write %s\n", argv[1]);
    return 1;
  }
  return 0;
}
