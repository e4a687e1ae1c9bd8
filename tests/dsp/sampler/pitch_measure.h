// Pitch measurement for the sampler tests: the frequency of the strongest
// component near an expected one, to a small fraction of a bin.
#pragma once

#include <cmath>
#include <complex>
#include <numbers>
#include <vector>

namespace sampler_test {

inline double KeyHz(double key) { return 440.0 * std::pow(2.0, (key - 69.0) / 12.0); }

// Frequency of the strongest component within +-0.5 % of expected: a Hann-
// windowed DFT magnitude searched on a half-bin grid, then refined by a
// golden-section search on the peak.
inline double MeasureFrequency(const std::vector<float>& y, double expected, double rate) {
  const std::size_t n = y.size();
  std::vector<double> windowed(n);
  for (std::size_t i = 0; i < n; ++i) windowed[i] = y[i] * (0.5 - 0.5 * std::cos(2 * std::numbers::pi * (i + 0.5) / n));
  auto power = [&](double f) {
    const std::complex<double> step = std::polar(1.0, -2 * std::numbers::pi * f / rate);
    std::complex<double> phasor = 1.0, sum = 0.0;
    for (std::size_t i = 0; i < n; ++i) {
      sum += windowed[i] * phasor;
      phasor *= step;
      if ((i & 1023) == 1023) phasor /= std::abs(phasor);
    }
    return std::norm(sum);
  };
  const double bin = rate / n;
  const double low = expected * 0.995, high = expected * 1.005;
  double best = low, bestPower = -1;
  for (double f = low; f <= high; f += bin / 2) {
    const double p = power(f);
    if (p > bestPower) bestPower = p, best = f;
  }
  double a = best - bin / 2, b = best + bin / 2;
  const double g = (std::sqrt(5.0) - 1) / 2;
  double c = b - g * (b - a), d = a + g * (b - a), pc = power(c), pd = power(d);
  for (int i = 0; i < 40; ++i) {
    if (pc > pd) b = d, d = c, pd = pc, c = b - g * (b - a), pc = power(c);
    else a = c, c = d, pc = pd, d = a + g * (b - a), pd = power(d);
  }
  return (a + b) / 2;
}

}  // namespace sampler_test
