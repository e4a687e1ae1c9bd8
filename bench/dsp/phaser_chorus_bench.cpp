// The phaser at factory program 0's settings (six stages a side, feedback
// 0.475, cross-feed 0.225) by stage count, in its lane form and stage by
// stage, and the chorus with program 0's line lengths, base delays,
// modulation depth and no feedback (its taps well behind what it writes). One-millisecond sub-blocks at 44.1 kHz; the
// counter "ns_per_sample" is the cost of one stereo sample.
#include <benchmark/benchmark.h>

#include <cstdint>

#include "bench/dsp/effect_bench_loop.h"
#include "dsp/effects/chorus.h"
#include "dsp/effects/phaser.h"
#include "framework/modules/audio_settings.h"

namespace {

using effect_bench::kRate;

// The phaser driven through its stage-by-stage form.
class TPhaserOneByOne : public TDSPXPhaser {
 public:
  void ProcessStereo(float* left, float* right) override { ProcessStereoOneByOne(left, right); }
};

template <class TPhaser>
void BM_Phaser(benchmark::State& state) {
  TAudioSettingsRec rec = MakeAudioSettings(kRate, kRate / 1000);
  TPhaser fx;
  fx.SetAudioSettings(&rec);
  const auto stages = static_cast<std::int32_t>(state.range(0));
  fx.SetStagesLeft(stages);
  fx.SetStagesRight(stages);
  fx.SetFeedbackLeft(0.475f);
  fx.SetFeedbackRight(0.475f);
  fx.SetCrossLeftToRight(0.225f);
  fx.SetCrossRightToLeft(0.225f);
  effect_bench::RunSubBlocks(state, fx, rec.SamplesPerMs);
}
BENCHMARK(BM_Phaser<TDSPXPhaser>)->Name("BM_Phaser/lanes")->ArgName("stages")->DenseRange(2, 8, 2)->Arg(12)->Arg(16);
BENCHMARK(BM_Phaser<TPhaserOneByOne>)
    ->Name("BM_Phaser/one_by_one")
    ->ArgName("stages")
    ->DenseRange(2, 8, 2)
    ->Arg(12)
    ->Arg(16);

void BM_Chorus(benchmark::State& state) {
  TAudioSettingsRec rec = MakeAudioSettings(kRate, kRate / 1000);
  TDSPXChorus fx;
  fx.SetAudioSettings(&rec);
  fx.SetLengthLeft(100.0f);
  fx.SetLengthRight(100.0f);
  fx.SetSizeLeft(7.0f);
  fx.SetSizeRight(11.0f);
  fx.SetFeedbackLeft(0.0f);
  fx.SetFeedbackRight(0.0f);
  fx.SetCrossLeftToRight(0.0f);
  fx.SetCrossRightToLeft(0.0f);
  for (int k = 0; k < 4; ++k) {
    fx.Lfo(k).SetFrequency(5.0f + static_cast<float>(k));
    fx.Lfo(k).SetGain(1.2f);
  }
  effect_bench::RunSubBlocks(state, fx, rec.SamplesPerMs);
}
BENCHMARK(BM_Chorus);

}  // namespace
