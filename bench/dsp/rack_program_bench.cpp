// The rack's effects with the settings the instrument's first factory
// program gives them (the case the instrument benchmark runs): one-
// millisecond sub-blocks at 44.1 kHz of a noise-like stereo signal. The
// counter "ns_per_sample" is the cost of one stereo sample.
#include <benchmark/benchmark.h>

#include <cstdint>

#include "bench/dsp/effect_bench_loop.h"
#include "dsp/effects/cross_filter.h"
#include "dsp/effects/delay.h"
#include "dsp/effects/distortion.h"
#include "dsp/effects/eq_effect.h"
#include "dsp/effects/reverb.h"
#include "framework/modules/audio_settings.h"

namespace {

using effect_bench::kRate;

void Configure(TDSPReverbX& fx) {
  fx.SetRoomType(3);
  fx.SetSize(100);
  fx.SetPreDelay(5);
  fx.SetPreDelayFeedback(0.5f);
  fx.SetDamping(101);
  fx.SetTime(50.2f);
  fx.ToneFilter1().SetFilterType(3);
  fx.SetFilter1On(true);
}

void Configure(TDSPXXFilter& fx) {
  fx.SetFilterCount(4);
  fx.SetInterpolation(1);
  for (int side = 0; side < 2; ++side)
    for (int st = 0; st < 4; ++st) fx.SetTapLength(side == 1, st, 374);
}

void Configure(TDSPXDistortion& fx) {
  fx.SetTypeLeft(1);
  fx.SetTypeRight(1);
  fx.SetDriveLeft(0.346f);
  fx.SetDriveRight(0.346f);
  fx.SetSurround(0.1f);
}

void Configure(TDSPXDelay& fx) {
  fx.SetLengthUnit(0);
  fx.SetLengthLeft(374);
  fx.SetLengthRight(374);
  fx.SetFeedbackLeft(0.45f);
  fx.SetFeedbackRight(0.45f);
}

void Configure(TDSPXEq&) {}

template <class TEffect>
void BM_Program0(benchmark::State& state) {
  TAudioSettingsRec rec = MakeAudioSettings(kRate, kRate / 1000);
  TEffect fx;
  fx.SetAudioSettings(&rec);
  Configure(fx);
  effect_bench::RunSubBlocks(state, fx, rec.SamplesPerMs);
}

BENCHMARK(BM_Program0<TDSPReverbX>)->Name("BM_Program0/Reverb");
BENCHMARK(BM_Program0<TDSPXXFilter>)->Name("BM_Program0/CrossFilter");
BENCHMARK(BM_Program0<TDSPXDistortion>)->Name("BM_Program0/Distortion");
BENCHMARK(BM_Program0<TDSPXDelay>)->Name("BM_Program0/Delay");
BENCHMARK(BM_Program0<TDSPXEq>)->Name("BM_Program0/Eq");

}  // namespace
