// A small uniform random generator (SplitMix64) that each object owns: one
// generator shared by objects on different threads would be a data race,
// and a per-object one makes an object's sequence independent of the others.
#pragma once

#include <atomic>
#include <cstdint>

class TRandomSource {
 public:
  // Each default-constructed generator starts from its own seed.
  TRandomSource() : State(NextSeed()) {}
  explicit TRandomSource(std::uint64_t seed) : State(seed) {}

  // Uniform in [0, 1), 24 random bits.
  float Next() { return static_cast<float>(NextBits() >> 40) * (1.0f / 16777216.0f); }

  std::uint64_t NextBits() {
    std::uint64_t z = (State += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }

 private:
  static std::uint64_t NextSeed() {
    static std::atomic<std::uint64_t> counter{0x2545F4914F6CDD1Dull};
    return counter.fetch_add(0x6A09E667F3BCC909ull, std::memory_order_relaxed);
  }

  std::uint64_t State;
};
