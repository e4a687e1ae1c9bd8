#include "tools/samplebank/spectral.h"

#include <algorithm>
#include <cmath>
#include <numbers>

void Fft(std::vector<TComplex>& a, bool inverse) {
  const std::size_t n = a.size();
  for (std::size_t i = 1, j = 0; i < n; ++i) {
    std::size_t bit = n >> 1;
    for (; j & bit; bit >>= 1) j ^= bit;
    j ^= bit;
    if (i < j) std::swap(a[i], a[j]);
  }
  for (std::size_t len = 2; len <= n; len <<= 1) {
    const double angle = (inverse ? 2.0 : -2.0) * std::numbers::pi / static_cast<double>(len);
    const std::size_t half = len / 2;
    // Twiddles computed directly (not by recurrence) to keep them exact.
    std::vector<TComplex> w(half);
    for (std::size_t k = 0; k < half; ++k) w[k] = std::polar(1.0, angle * static_cast<double>(k));
    for (std::size_t i = 0; i < n; i += len) {
      for (std::size_t k = 0; k < half; ++k) {
        const TComplex u = a[i + k];
        const TComplex v = a[i + k + half] * w[k];
        a[i + k] = u + v;
        a[i + k + half] = u - v;
      }
    }
  }
}

std::int32_t PowerOfTwoAtLeast(std::int64_t x) {
  std::int32_t n = 64;
  while (n < x) n <<= 1;
  return n;
}

std::vector<double> SpectrumToWave(const TSpectrum& c, std::int32_t n) {
  std::vector<TComplex> a(static_cast<std::size_t>(n));
  const std::size_t top = std::min<std::size_t>(c.size(), static_cast<std::size_t>(n / 2));
  for (std::size_t k = 1; k < top; ++k) a[k] = c[k];
  Fft(a, true);
  std::vector<double> wave(static_cast<std::size_t>(n));
  for (std::size_t i = 0; i < wave.size(); ++i) wave[i] = a[i].real();
  return wave;
}

TSpectrum WaveToSpectrum(const std::vector<double>& wave, std::int32_t k) {
  std::vector<TComplex> a(wave.begin(), wave.end());
  Fft(a, false);
  const double scale = 2.0 / static_cast<double>(wave.size());
  TSpectrum c(static_cast<std::size_t>(k) + 1);
  for (std::size_t h = 1; h < c.size() && h < a.size() / 2; ++h) c[h] = a[h] * scale;
  return c;
}

TSpectrum ShapeSpectrum(const TSpectrum& c, std::int32_t k, const std::function<double(double)>& curve) {
  const std::int32_t n = PowerOfTwoAtLeast(16 * static_cast<std::int64_t>(std::max<std::size_t>(c.size(), k + 1)));
  std::vector<double> wave = SpectrumToWave(c, n);
  for (double& v : wave) v = curve(v);
  return WaveToSpectrum(wave, k);
}

namespace {

// One keyframe's cycle, oversampled, with guard points for cubic reads:
// t[0] is point n - 1, t[m + 1] is point m, t[n + 1], t[n + 2] wrap to 0, 1.
struct TTable {
  std::vector<double> Points;
  std::int32_t Size = 0;

  double At(double phase) const {
    const double x = phase * Size;
    std::int32_t i = static_cast<std::int32_t>(x);
    if (i >= Size) i = Size - 1;
    const double f = x - i;
    const double x0 = Points[i], x1 = Points[i + 1], x2 = Points[i + 2], x3 = Points[i + 3];
    const double a = (3.0 * (x1 - x2) - x0 + x3) * 0.5;
    const double b = 2.0 * x2 + x0 - (5.0 * x1 + x3) * 0.5;
    const double c = (x2 - x0) * 0.5;
    return ((a * f + b) * f + c) * f + x1;
  }
};

TTable MakeTable(const TSpectrum& c, std::int32_t size) {
  const std::vector<double> wave = SpectrumToWave(c, size);
  TTable t;
  t.Size = size;
  t.Points.resize(static_cast<std::size_t>(size) + 3);
  t.Points[0] = wave[size - 1];
  for (std::int32_t m = 0; m < size; ++m) t.Points[m + 1] = wave[m];
  t.Points[size + 1] = wave[0];
  t.Points[size + 2] = wave[1];
  return t;
}

}  // namespace

std::vector<double> RenderSample(const TSampleRender& spec) {
  const std::int32_t loopStart = spec.LoopStart;
  const std::int64_t loop = spec.LoopLength;
  const std::int32_t total = loopStart + spec.LoopLength + spec.ExtraFrames;
  std::vector<double> out(static_cast<std::size_t>(total), 0.0);

  // Phase of the loop base (cycles per loop = 1) before the loop start, when
  // the pitch moves; from the loop start on it advances by exactly 1/loop.
  std::vector<long double> basePhase;
  if (spec.PitchFactor) {
    basePhase.resize(static_cast<std::size_t>(loopStart) + 1);
    long double phi = 0;
    for (std::int32_t n = 0; n <= loopStart; ++n) {
      basePhase[n] = phi;
      phi += spec.PitchFactor(static_cast<double>(n) / spec.Rate) / static_cast<long double>(loop);
    }
  }

  for (const TLayer& layer : spec.Layers) {
    std::size_t harmonics = 1;
    for (const TSpectrum& s : layer.KeySpectra) harmonics = std::max(harmonics, s.size());
    // 8x oversampled tables keep the cubic read's error below 16-bit level
    // for spectra that fall off at least like 1/k.
    const std::int32_t size = PowerOfTwoAtLeast(8 * static_cast<std::int64_t>(harmonics));
    std::vector<TTable> tables;
    tables.reserve(layer.KeySpectra.size());
    for (const TSpectrum& s : layer.KeySpectra) tables.push_back(MakeTable(s, size));

    const std::int64_t cycles = layer.CyclesPerLoop;
    long double startPhase = 0;  // the layer's phase at the loop start
    if (spec.PitchFactor) {
      const long double p = cycles * basePhase[loopStart];
      startPhase = p - std::floor(p);
    } else {
      startPhase = static_cast<long double>((cycles * loopStart) % loop) / loop;
    }
    std::size_t key = 0;
    const std::size_t keys = tables.size();
    for (std::int32_t n = 0; n < total; ++n) {
      double phase;
      if (n < loopStart && spec.PitchFactor) {
        const long double p = cycles * basePhase[n];
        phase = static_cast<double>(p - std::floor(p));
      } else if (n < loopStart) {
        phase = static_cast<double>((cycles * n) % loop) / static_cast<double>(loop);
      } else {
        long double p = startPhase + static_cast<long double>((cycles * (n - loopStart)) % loop) / loop;
        if (p >= 1) p -= 1;
        phase = static_cast<double>(p);
      }
      const double t = static_cast<double>(n) / spec.Rate;
      while (key + 1 < keys && layer.KeyTimes[key + 1] <= t) ++key;
      double v;
      if (key + 1 < keys) {
        const double t0 = layer.KeyTimes[key], t1 = layer.KeyTimes[key + 1];
        const double mix = (t - t0) / (t1 - t0);
        v = (1.0 - mix) * tables[key].At(phase) + mix * tables[key + 1].At(phase);
      } else {
        v = tables[key].At(phase);
      }
      out[n] += layer.Gain * v;
    }
  }
  return out;
}
