// Filters stepped together as the voices drive them: 32 four-pole low-pass
// ladders (16 voices, left and right) over one-millisecond sub-blocks at
// 44.1 kHz, in each vector width the processor has (argument: 0 SSE2, 1 AVX2,
// 2 AVX2 on an AVX-512 processor). "ns_per_sample" is the cost of one sample
// of one filter.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <vector>

#include "dsp/filters/filter_lanes.h"
#include "dsp/filters/multi_filter.h"

namespace {

void BM_LadderLanes(benchmark::State& state) {
  const auto width = static_cast<TLaneWidth>(state.range(0));
  const auto count = static_cast<std::int32_t>(state.range(1));
  if (!SelectLaneWidth(width)) {
    state.SkipWithError("width not on this processor");
    return;
  }
  constexpr std::int32_t kN = 44;
  std::vector<std::unique_ptr<TDSPFilter>> filters;
  std::vector<std::vector<float>> signal;
  std::vector<TDSPFilter*> ptrs;
  std::vector<float*> buffers;
  for (std::int32_t j = 0; j < count; ++j) {
    filters.push_back(CreateFilter(9));
    filters.back()->SetCutoff(300.0f + 50.0f * static_cast<float>(j));
    filters.back()->SetResonance(0.5f);
    signal.emplace_back(kN);
    ptrs.push_back(filters.back().get());
  }
  // A tenth of a second of a loud saw with noise, played in a loop (the
  // ladder's input is scaled by 0.001).
  std::vector<float> source(4410);
  std::uint32_t seed = 1;
  for (std::size_t i = 0; i < source.size(); ++i) {
    seed = seed * 1664525u + 1013904223u;
    const float saw = static_cast<float>(i % 400) / 200.0f - 1.0f;
    source[i] = 300.0f * saw + static_cast<float>(seed >> 8) / 167772.16f;
  }
  std::size_t pos = 0;
  for (auto _ : state) {
    if (pos + kN + 32 > source.size()) pos = 0;
    buffers.clear();
    for (std::int32_t j = 0; j < count; ++j) {
      auto& s = signal[static_cast<std::size_t>(j)];
      std::copy_n(source.begin() + static_cast<std::ptrdiff_t>(pos + static_cast<std::size_t>(j)), kN, s.begin());
      buffers.push_back(s.data());
    }
    pos += kN;
    ProcessFiltersTogether(ptrs.data(), buffers.data(), count, kN);
    benchmark::DoNotOptimize(buffers.data());
  }
  state.counters["ns_per_sample"] = benchmark::Counter(
      static_cast<double>(count) * kN, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
  SelectLaneWidth(WidestLaneWidthHere());
}
BENCHMARK(BM_LadderLanes)->ArgsProduct({{0, 1, 2}, {2, 8, 32}});

}  // namespace
