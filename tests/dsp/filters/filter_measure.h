// Signals and steady-state measurements for the filter and shaper tests.
#pragma once

#include <atomic>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <random>
#include <thread>
#include <vector>

#include "dsp/filters/filter.h"
#include "tests/support/owner_lock.h"

namespace filter_test {

// count samples of uniform noise in -1..1, the same for the same seed.
inline std::vector<float> Noise(std::size_t count, std::uint32_t seed) {
  std::mt19937 generator(seed);
  std::uniform_real_distribution<float> uniform(-1.0f, 1.0f);
  std::vector<float> out(count);
  for (float& v : out) v = uniform(generator);
  return out;
}

// Gain of the filter for a unit cosine at freq (Hz): the filter is reset,
// settles for one second, then the tone's amplitude is read over whole
// periods (about half a second). DC (0) and Nyquist (rate / 2) are read from
// the settled output of a constant and of an alternating input.
inline double GainAt(TDSPFilter& filter, double freq, double rate) {
  filter.Reset();
  const double w = 2 * std::numbers::pi * freq / rate;
  const auto settle = static_cast<std::int64_t>(rate);
  if (freq <= 0 || freq >= rate / 2) {
    const double sign = freq <= 0 ? 1.0 : -1.0;
    double x = 1, y = 0;
    for (std::int64_t n = 0; n < settle; ++n, x *= sign) y = filter.ProcessSample(static_cast<float>(x));
    return std::fabs(y);
  }
  for (std::int64_t n = 0; n < settle; ++n)
    filter.ProcessSample(static_cast<float>(std::cos(w * static_cast<double>(n))));
  const double periods = std::ceil(0.5 * freq);
  const auto count = static_cast<std::int64_t>(std::llround(periods * rate / freq));
  double re = 0, im = 0;
  for (std::int64_t k = 0; k < count; ++k) {
    const double phase = w * static_cast<double>(settle + k);
    const double y = filter.ProcessSample(static_cast<float>(std::cos(phase)));
    re += y * std::cos(phase);
    im += y * std::sin(phase);
  }
  return 2 * std::hypot(re, im) / static_cast<double>(count);
}

// Runs renderBlock(block) on a second thread, under the owner's lock per
// block as the audio thread does, while this thread calls change(i) for
// i = 0, 1, ... under the same lock, as an owner does, until it has made 2000
// changes and the renderer 500 blocks.
template <class TRender, class TChange>
void ChangeWhileRendering(TRender renderBlock, TChange change) {
  std::atomic<bool> stop{false};
  std::atomic<int> blocks{0};
  std::thread render([&] {
    std::vector<float> block = Noise(44, 5);
    while (!stop.load()) {
      testing_support::TOwnerLockGuard lock;
      blocks.fetch_add(1);
      renderBlock(block);
      for (float& v : block) v = std::isfinite(v) ? std::fmod(v * 1.7f + 0.3f, 1.0f) : 0.5f;
    }
  });
  for (int i = 0; i < 2000 || blocks.load() < 500; ++i) {
    testing_support::TOwnerLockGuard lock;
    change(i);
  }
  stop.store(true);
  render.join();
}

}  // namespace filter_test
