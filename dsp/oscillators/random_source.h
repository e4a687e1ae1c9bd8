// A small uniform random generator (SplitMix64) that each object owns: one
// generator shared by objects on different threads would be a data race,
// and a per-object one makes an object's sequence independent of the others.
//
// Every generator starts from a fixed seed, and owners give each of theirs
// a seed of its own from its place in the instance (MixSeed): the same input
// renders the same bits in every instance, whatever the process made before
// it or the clock says.
#pragma once

#include <cstdint>

// A seed for the source at `place` among those of `base` (SplitMix64's
// finaliser of their sum): neighbouring places get unrelated seeds.
constexpr std::uint64_t MixSeed(std::uint64_t base, std::uint64_t place) {
  std::uint64_t z = base + (place + 1) * 0x9E3779B97F4A7C15ull;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

class TRandomSource {
 public:
  // Where every generator starts until its owner seeds it.
  static constexpr std::uint64_t kDefaultSeed = 0x2545F4914F6CDD1Dull;

  TRandomSource() = default;
  explicit TRandomSource(std::uint64_t seed) : State(seed) {}
  void Seed(std::uint64_t seed) { State = seed; }

  // Uniform in [0, 1), 24 random bits.
  float Next() { return static_cast<float>(NextBits() >> 40) * (1.0f / 16777216.0f); }

  std::uint64_t NextBits() {
    std::uint64_t z = (State += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }

 private:
  std::uint64_t State = kDefaultSeed;
};
