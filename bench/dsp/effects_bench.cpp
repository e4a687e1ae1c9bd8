// The rack's effects one at a time, as the rack drives them: one-millisecond
// sub-blocks at 44.1 kHz of a noise-like stereo signal, every effect at its
// own defaults (the cross filter with four stages, the phaser with six). The
// counter "ns_per_sample" is the cost of one stereo sample.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "dsp/effects/chorus.h"
#include "dsp/effects/cross_filter.h"
#include "dsp/effects/delay.h"
#include "dsp/effects/distortion.h"
#include "dsp/effects/eq_effect.h"
#include "dsp/effects/phaser.h"
#include "dsp/effects/reverb.h"
#include "framework/modules/audio_settings.h"

namespace {

constexpr std::int32_t kRate = 44100;

template <class TEffect>
void BM_Effect(benchmark::State& state) {
  TAudioSettingsRec rec = MakeAudioSettings(kRate, kRate / 1000);
  TEffect fx;
  fx.SetAudioSettings(&rec);
  if constexpr (std::is_same_v<TEffect, TDSPXPhaser>) {
    fx.SetStagesLeft(6);
    fx.SetStagesRight(6);
  }
  if constexpr (std::is_same_v<TEffect, TDSPXXFilter>) fx.SetFilterCount(4);
  const std::int32_t n = rec.SamplesPerMs;
  // A second of a bass-like signal with some noise, played in a loop.
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

BENCHMARK(BM_Effect<TDSPReverbX>)->Name("BM_Effect/Reverb");
BENCHMARK(BM_Effect<TDSPXDistortion>)->Name("BM_Effect/Distortion");
BENCHMARK(BM_Effect<TDSPXPhaser>)->Name("BM_Effect/Phaser");
BENCHMARK(BM_Effect<TDSPXDelay>)->Name("BM_Effect/Delay");
BENCHMARK(BM_Effect<TDSPXChorus>)->Name("BM_Effect/Chorus");
BENCHMARK(BM_Effect<TDSPXXFilter>)->Name("BM_Effect/CrossFilter");
BENCHMARK(BM_Effect<TDSPXEq>)->Name("BM_Effect/Eq");

}  // namespace
