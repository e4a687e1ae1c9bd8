// Signals and steady-state measurements for the filter and shaper tests.
#pragma once

#include <cmath>
#include <cstdint>
#include <numbers>
#include <random>
#include <vector>

#include "dsp/filters/filter.h"

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

}  // namespace filter_test
