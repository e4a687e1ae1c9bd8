// The phaser at factory program 0's settings (six stages a side, feedback
// 0.475, cross-feed 0.225) by stage count, in its lane form and stage by
// stage, and the chorus with its taps moving. One-millisecond sub-blocks at
// 44.1 kHz; the counter "ns_per_sample" is the cost of one stereo sample.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "dsp/effects/chorus.h"
#include "dsp/effects/phaser.h"
#include "framework/modules/audio_settings.h"

namespace {

constexpr std::int32_t kRate = 44100;

struct TSignal {
  std::vector<float> Left, Right;
  TSignal() : Left(static_cast<std::size_t>(kRate)), Right(Left.size()) {
    std::uint32_t seed = 7;
    for (std::size_t i = 0; i < Left.size(); ++i) {
      seed = seed * 1664525u + 1013904223u;
      const float noise = static_cast<float>(seed >> 8) / 16777216.0f - 0.5f;
      const float saw = static_cast<float>(i % 400) / 200.0f - 1.0f;
      Left[i] = 0.3f * saw + 0.05f * noise;
      Right[i] = 0.3f * saw - 0.05f * noise;
    }
  }
};

template <class TEffect, class TProcess>
void Loop(benchmark::State& state, TEffect& fx, std::int32_t n, TProcess process) {
  static const TSignal signal;
  std::vector<float> l(static_cast<std::size_t>(n)), r(l.size());
  std::size_t pos = 0;
  for (auto _ : state) {
    if (pos + static_cast<std::size_t>(n) > signal.Left.size()) pos = 0;
    std::copy_n(signal.Left.begin() + static_cast<std::ptrdiff_t>(pos), n, l.begin());
    std::copy_n(signal.Right.begin() + static_cast<std::ptrdiff_t>(pos), n, r.begin());
    pos += static_cast<std::size_t>(n);
    process(fx, l.data(), r.data());
    benchmark::DoNotOptimize(l[0]);
  }
  state.counters["ns_per_sample"] = benchmark::Counter(static_cast<double>(state.iterations()) * n,
                                                       benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_Phaser(benchmark::State& state) {
  TAudioSettingsRec rec = MakeAudioSettings(kRate, kRate / 1000);
  TDSPXPhaser fx;
  fx.SetAudioSettings(&rec);
  const auto stages = static_cast<std::int32_t>(state.range(0));
  fx.SetStagesLeft(stages);
  fx.SetStagesRight(stages);
  fx.SetFeedbackLeft(0.475f);
  fx.SetFeedbackRight(0.475f);
  fx.SetCrossLeftToRight(0.225f);
  fx.SetCrossRightToLeft(0.225f);
  if (state.range(1) != 0) {
    Loop(state, fx, rec.SamplesPerMs, [](TDSPXPhaser& p, float* l, float* r) { p.ProcessStereoOneByOne(l, r); });
  } else {
    Loop(state, fx, rec.SamplesPerMs, [](TDSPXPhaser& p, float* l, float* r) { p.ProcessStereo(l, r); });
  }
}
BENCHMARK(BM_Phaser)->ArgNames({"stages", "one_by_one"})->ArgsProduct({{2, 4, 6, 8, 12, 16}, {0, 1}});

void BM_Chorus(benchmark::State& state) {
  TAudioSettingsRec rec = MakeAudioSettings(kRate, kRate / 1000);
  TDSPXChorus fx;
  fx.SetAudioSettings(&rec);
  fx.SetLengthLeft(30.0f);
  fx.SetLengthRight(30.0f);
  fx.SetSizeLeft(10.0f);
  fx.SetSizeRight(12.0f);
  for (int k = 0; k < 4; ++k) {
    fx.Lfo(k).SetFrequency(5.0f + static_cast<float>(k));
    fx.Lfo(k).SetGain(2.0f);
  }
  Loop(state, fx, rec.SamplesPerMs, [](TDSPXChorus& c, float* l, float* r) { c.ProcessStereo(l, r); });
}
BENCHMARK(BM_Chorus);

}  // namespace
