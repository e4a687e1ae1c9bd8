// Driving a stereo effect as the rack does: a plug-in record with one
// millisecond per block, and signals processed in one-millisecond sub-blocks.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <utility>
#include <vector>

#include "dsp/effects/stereo_effect.h"
#include "framework/modules/audio_settings.h"

namespace effect_test {

// The plug-in's record at `rate`: a block is one millisecond.
inline TAudioSettingsRec PluginRecord(std::int32_t rate) { return MakeAudioSettings(rate, rate / 1000); }

// An effect on the plug-in's record at `rate`; the record lives as long as
// the effect.
template <class TEffect>
struct TEffectAt {
  explicit TEffectAt(std::int32_t rate) : Record(PluginRecord(rate)) { Fx.SetAudioSettings(&Record); }
  TAudioSettingsRec Record;
  TEffect Fx;
};

// Mix 1, pan 0.5, wet gain 1 and dry gain 1: each output side is exactly
// its wet signal (coefficients 1 and 0).
inline void AllWet(TDSPStereoEffect& fx) {
  fx.SetMix(1.0f);
  fx.SetPan(0.5f);
  fx.SetWetGain(1.0f);
  fx.SetDryGain(1.0f);
}

struct TStereo {
  std::vector<float> Left;
  std::vector<float> Right;
};

// Runs left/right through the effect in sub-blocks of SamplesPerMs samples
// (a final partial sub-block is dropped) and returns the processed signals.
inline TStereo Run(TDSPStereoEffect& fx, std::vector<float> left, std::vector<float> right) {
  const auto n = static_cast<std::size_t>(fx.Settings->SamplesPerMs);
  const std::size_t whole = std::min(left.size(), right.size()) / n * n;
  left.resize(whole);
  right.resize(whole);
  for (std::size_t pos = 0; pos < whole; pos += n) fx.ProcessStereo(left.data() + pos, right.data() + pos);
  return {std::move(left), std::move(right)};
}

// A unit impulse at sample 0 on the chosen sides, count samples long.
inline TStereo Impulse(std::size_t count, bool left = true, bool right = true) {
  TStereo s{std::vector<float>(count, 0.0f), std::vector<float>(count, 0.0f)};
  if (left) s.Left[0] = 1.0f;
  if (right) s.Right[0] = 1.0f;
  return s;
}

inline TStereo RunImpulse(TDSPStereoEffect& fx, std::size_t count, bool left = true, bool right = true) {
  TStereo in = Impulse(count, left, right);
  return Run(fx, std::move(in.Left), std::move(in.Right));
}

// The first index whose magnitude exceeds threshold; size() when none does.
inline std::size_t FirstAbove(const std::vector<float>& x, float threshold) {
  for (std::size_t i = 0; i < x.size(); ++i)
    if (!(std::fabs(x[i]) <= threshold)) return i;
  return x.size();
}

}  // namespace effect_test
