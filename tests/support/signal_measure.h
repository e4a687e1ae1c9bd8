// Test signals and frequency-response measurements shared by the DSP test
// groups (filters, shapers, effects, oscillators). Header-only: these work on
// any unit with the filter interface (Reset and ProcessSample), so the
// support library itself needs no DSP code.
#pragma once

#include <cmath>
#include <complex>
#include <cstdint>
#include <numbers>
#include <random>
#include <vector>

namespace testing_support {

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
// the settled output of a constant and of an alternating input. Works for
// filters that are not linear (the level is that of the tone itself).
template <class TFilter>
double GainAt(TFilter& filter, double freq, double rate) {
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

// The frequency response of a linear unit, read from its impulse response
// (run from rest until it has rung down, at most `seconds`). Evaluating a
// frequency costs one pass over the response: far cheaper than GainAt's
// settled tones, so responses can be searched for cutoffs and peaks.
class TFrequencyResponse {
 public:
  // step(x) runs one sample through the unit, which starts at rest.
  template <class TStep>
  TFrequencyResponse(TStep step, double rate, double seconds = 2.0) : Rate(rate) {
    const auto most = static_cast<std::size_t>(rate * seconds);
    double peak = 0;
    std::size_t quietSince = 0;
    for (std::size_t n = 0; n < most; ++n) {
      const double y = step(n == 0 ? 1.0f : 0.0f);
      Impulse.push_back(y);
      peak = std::max(peak, std::fabs(y));
      if (std::fabs(y) > 1e-9 * peak) quietSince = n + 1;
      // Rung down: 100 ms below -180 dB of its peak.
      if (n >= quietSince + static_cast<std::size_t>(0.1 * rate) && n > static_cast<std::size_t>(0.05 * rate)) break;
    }
    Impulse.resize(quietSince);
  }

  // Gain at freq Hz (0..rate / 2), linear and in dB.
  double Gain(double freq) const {
    const std::complex<double> turn = std::polar(1.0, -2 * std::numbers::pi * freq / Rate);
    std::complex<double> z = 1, sum = 0;
    for (std::size_t n = 0; n < Impulse.size(); ++n) {
      sum += Impulse[n] * z;
      z *= turn;
      if ((n & 1023) == 1023) z /= std::abs(z);  // keep |z| = 1 over long responses
    }
    return std::abs(sum);
  }
  double Db(double freq) const { return 20 * std::log10(std::max(Gain(freq), 1e-30)); }

  // The frequency between lo and hi where the response crosses level dB,
  // found by bisection (the response is taken to cross once there); lo or
  // hi when it does not cross.
  double Crossing(double level, double lo, double hi) const {
    const bool risingFromLo = Db(lo) < level;
    for (int i = 0; i < 40 && hi / lo > 1.00001; ++i) {
      const double mid = std::sqrt(lo * hi);
      if ((Db(mid) < level) == risingFromLo) lo = mid;
      else hi = mid;
    }
    return std::sqrt(lo * hi);
  }

  // The highest gain between lo and hi: a search over 1/48 octave, refined to
  // 1/3000 octave around the best point.
  struct TPeak {
    double Hz = 0, Db = -600;
  };
  TPeak Peak(double lo, double hi) const {
    TPeak best;
    const double step = std::pow(2.0, 1.0 / 48);
    for (double f = lo; f <= hi; f *= step) {
      const double db = Db(f);
      if (db > best.Db) best = {f, db};
    }
    double a = best.Hz / step, b = best.Hz * step;
    // Golden-section search on log frequency.
    const double g = (std::sqrt(5.0) - 1) / 2;
    double x1 = b / std::pow(b / a, g), x2 = a * std::pow(b / a, g);
    double d1 = Db(x1), d2 = Db(x2);
    while (b / a > 1.0002) {
      if (d1 > d2) {
        b = x2, x2 = x1, d2 = d1;
        x1 = b / std::pow(b / a, g);
        d1 = Db(x1);
      } else {
        a = x1, x1 = x2, d1 = d2;
        x2 = a * std::pow(b / a, g);
        d2 = Db(x2);
      }
    }
    const TPeak refined{std::sqrt(a * b), Db(std::sqrt(a * b))};
    return refined.Db > best.Db ? refined : best;
  }

  std::size_t Length() const { return Impulse.size(); }

 private:
  double Rate;
  std::vector<double> Impulse;
};

}  // namespace testing_support
