// The rack's effects one at a time, as the rack drives them: one-millisecond
// sub-blocks at 44.1 kHz of a noise-like stereo signal, every effect at its
// own defaults (the cross filter with four stages, the phaser with six). The
// counter "ns_per_sample" is the cost of one stereo sample.
#include <benchmark/benchmark.h>

#include <cstdint>

#include "bench/dsp/effect_bench_loop.h"
#include "dsp/effects/chorus.h"
#include "dsp/effects/cross_filter.h"
#include "dsp/effects/delay.h"
#include "dsp/effects/distortion.h"
#include "dsp/effects/eq_effect.h"
#include "dsp/effects/phaser.h"
#include "dsp/effects/reverb.h"
#include "framework/modules/audio_settings.h"

namespace {

using effect_bench::kRate;

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
  effect_bench::RunSubBlocks(state, fx, rec.SamplesPerMs);
}

BENCHMARK(BM_Effect<TDSPReverbX>)->Name("BM_Effect/Reverb");
BENCHMARK(BM_Effect<TDSPXDistortion>)->Name("BM_Effect/Distortion");
BENCHMARK(BM_Effect<TDSPXPhaser>)->Name("BM_Effect/Phaser");
BENCHMARK(BM_Effect<TDSPXDelay>)->Name("BM_Effect/Delay");
BENCHMARK(BM_Effect<TDSPXChorus>)->Name("BM_Effect/Chorus");
BENCHMARK(BM_Effect<TDSPXXFilter>)->Name("BM_Effect/CrossFilter");
BENCHMARK(BM_Effect<TDSPXEq>)->Name("BM_Effect/Eq");

}  // namespace
