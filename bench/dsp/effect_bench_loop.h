// The loop of the per-effect benchmarks: an effect that is set up runs
// one-millisecond sub-blocks at 44.1 kHz of a second of a bass-like signal
// with some noise, played in a loop. The counter "ns_per_sample" is the cost
// of one stereo sample.
#pragma once

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "dsp/effects/stereo_effect.h"

namespace effect_bench {

inline constexpr std::int32_t kRate = 44100;

inline void RunSubBlocks(benchmark::State& state, TDSPStereoEffect& fx, std::int32_t n) {
  std::vector<float> left(static_cast<std::size_t>(kRate)), right(left.size());
  std::uint32_t seed = 1;
  for (std::size_t i = 0; i < left.size(); ++i) {
    seed = seed * 1664525u + 1013904223u;
    const float noise = static_cast<float>(seed >> 8) / 16777216.0f - 0.5f;
    const float saw = static_cast<float>(i % 400) / 200.0f - 1.0f;
    left[i] = 0.3f * saw + 0.05f * noise;
    right[i] = 0.3f * saw - 0.05f * noise;
  }
  std::vector<float> l(static_cast<std::size_t>(n)), r(l.size());
  std::size_t pos = 0;
  for (auto _ : state) {
    if (pos + static_cast<std::size_t>(n) > left.size()) pos = 0;
    std::copy_n(left.begin() + static_cast<std::ptrdiff_t>(pos), n, l.begin());
    std::copy_n(right.begin() + static_cast<std::ptrdiff_t>(pos), n, r.begin());
    pos += static_cast<std::size_t>(n);
    fx.ProcessStereo(l.data(), r.data());
    benchmark::DoNotOptimize(l[0]);
  }
  state.counters["ns_per_sample"] = benchmark::Counter(static_cast<double>(state.iterations()) * n,
                                                       benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

}  // namespace effect_bench
