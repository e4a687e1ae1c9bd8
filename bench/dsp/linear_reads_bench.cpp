// Mono 2-point and cubic sample reads as sixteen voices' two oscillators
// make them: 32 streams through a ten-second sample, each at its own
// position and increment, in one-millisecond runs at 44.1 kHz. Argument: 0
// the serial 2-point chain (one position after another), 1 its SSE2 runs, 2
// its AVX2 runs; 3, 4, 5 the same for the cubic read, 6 its AVX-512 runs. "ns_per_sample" is the
// cost of one read.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "dsp/sampler/linear_reads.h"
#include "dsp/sampler/sample_interpolation.h"

namespace {

template <float (*Read)(const std::int16_t*, double, float)>
std::int32_t SerialRun(const std::int16_t* data, float scale, double& position, double increment, double limit,
                       double /*loopLength*/, float* out, std::int32_t count) {
  double p = position;
  std::int32_t k = 0;
  for (; k < count; ++k) {
    if (!(p + increment < limit)) break;
    out[k] = Read(data, p, scale);
    p += increment;
  }
  position = p;
  return k;
}

void BM_LinearReads(benchmark::State& state) {
  const bool cubic = state.range(0) >= 3;
  const TLinearMonoRun serial = cubic ? &SerialRun<MonoCubicAt> : &SerialRun<Mono2PointAt>;
  TLinearMonoRun run = serial;
  if (state.range(0) == 1) run = LinearMonoRunSse2();
  if (state.range(0) == 2) run = LinearMonoRunAvx2();
  if (state.range(0) == 4) run = CubicMonoRunSse2();
  if (state.range(0) == 5) run = CubicMonoRunAvx2();
  if (state.range(0) == 6) run = CubicMonoRunAvx512();
  if (run == nullptr) {
    state.SkipWithError("form not on this processor");
    return;
  }
  constexpr std::int32_t kStreams = 32, kN = 44, kFrames = 441000;
  std::vector<std::int16_t> data(kFrames + kReadableBeyond);
  std::uint32_t seed = 1;
  for (auto& v : data) {
    seed = seed * 1664525u + 1013904223u;
    v = static_cast<std::int16_t>(seed >> 16);
  }
  std::vector<double> position(kStreams), increment(kStreams);
  for (std::int32_t j = 0; j < kStreams; ++j) {
    position[static_cast<std::size_t>(j)] = 1000.0 + 12345.678 * j;
    increment[static_cast<std::size_t>(j)] = 0.75 + 0.0313 * j;
  }
  alignas(16) float out[kN];
  const double limit = kFrames - 4;
  for (auto _ : state) {
    for (std::int32_t j = 0; j < kStreams; ++j) {
      double& p = position[static_cast<std::size_t>(j)];
      const double inc = increment[static_cast<std::size_t>(j)];
      std::int32_t k = run(data.data(), 1.0f / 32768.0f, p, inc, limit, 0.0, out, kN / 4 * 4);
      // What the runs leave (a binade, the end): one by one, as the caller.
      k += serial(data.data(), 1.0f / 32768.0f, p, inc, limit, 0.0, out + k, kN - k);
      if (k < kN) p = 1000.0;
      benchmark::DoNotOptimize(out);
    }
  }
  state.counters["ns_per_sample"] =
      benchmark::Counter(kStreams * kN, benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_LinearReads)->DenseRange(0, 6);

}  // namespace
