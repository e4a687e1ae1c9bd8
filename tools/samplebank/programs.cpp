#include "tools/samplebank/programs.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>

#include "tools/samplebank/bank_layout.h"

namespace {

constexpr double kPi = std::numbers::pi;
constexpr TComplex kI{0.0, 1.0};
// The host rate the band limit is planned for, and the margin below Nyquist.
constexpr double kHostRate = 44100.0;
constexpr double kBandMargin = 0.45;

double KeyHz(double key) { return 440.0 * std::pow(2.0, (key - 69.0) / 12.0); }

// ---- Oscillator spectra (c[k] for a waveform sum Re(c[k] e^{i 2 pi k phase})).

TSpectrum Empty(const TZoneInfo& z) { return TSpectrum(static_cast<std::size_t>(z.Harmonics) + 1); }

// Falling ramp: sum sin(2 pi k x) / k.
TSpectrum Saw(const TZoneInfo& z) {
  TSpectrum c = Empty(z);
  for (std::size_t k = 1; k < c.size(); ++k) c[k] = -kI * (2.0 / (kPi * k));
  return c;
}

// +1 for phase < width, -1 after, without its mean.
TSpectrum Pulse(const TZoneInfo& z, double width) {
  TSpectrum c = Empty(z);
  for (std::size_t k = 1; k < c.size(); ++k) {
    const double w = 2 * kPi * k;
    c[k] = 4.0 * (1.0 - std::polar(1.0, -w * width)) / (kI * w);
  }
  return c;
}

TSpectrum Square(const TZoneInfo& z) { return Pulse(z, 0.5); }

TSpectrum Triangle(const TZoneInfo& z) {
  TSpectrum c = Empty(z);
  for (std::size_t k = 1; k < c.size(); k += 2) {
    const double sign = ((k - 1) / 2) % 2 == 0 ? 1.0 : -1.0;
    c[k] = -kI * (8.0 / (kPi * kPi * k * k)) * sign;
  }
  return c;
}

TSpectrum Sine(const TZoneInfo& z, std::size_t k = 1, double gain = 1.0) {
  TSpectrum c = Empty(z);
  if (k < c.size()) c[k] = -kI * gain;
  return c;
}

TSpectrum Mix(TSpectrum a, const TSpectrum& b, double gb) {
  for (std::size_t k = 0; k < a.size() && k < b.size(); ++k) a[k] += gb * b[k];
  return a;
}

// ---- Analog-style responses at f Hz.

// Four-pole ladder low-pass; resonance 0..4 (4 oscillates), level kept at DC.
TComplex LowPass4(double f, double cutoff, double resonance) {
  const TComplex s = kI * (f / cutoff);
  const TComplex stage = 1.0 + s;
  return (1.0 + 0.5 * resonance) / (stage * stage * stage * stage + resonance);
}

TComplex LowPass2(double f, double cutoff, double q) {
  const double x = f / cutoff;
  return 1.0 / TComplex(1.0 - x * x, x / q);
}

// Band-pass with unit gain at its centre.
TComplex BandPass2(double f, double centre, double q) {
  const double x = f / centre;
  const TComplex d(1.0 - x * x, x / q);
  return TComplex(0.0, x / q) / d;
}

// Peaking bell of the given gain (dB) around centre.
TComplex Peak(double f, double centre, double q, double gainDb) {
  return 1.0 + (std::pow(10.0, gainDb / 20.0) - 1.0) * BandPass2(f, centre, q);
}

template <typename Response>
TSpectrum Filter(TSpectrum c, double cycleHz, Response response) {
  for (std::size_t k = 1; k < c.size(); ++k) c[k] *= response(cycleHz * k);
  return c;
}

// ---- Plucked string: the displacement of a string plucked at `pluck`
// (fraction of its length from the bridge) seen by a pickup at `pickup`
// (0: radiated by a body, no pickup comb), softened by the finger or pick
// above `hardHz`; each harmonic decays with its own time constant, shorter
// for higher ones.
struct TString {
  double Pluck = 0.2;
  double Pickup = 0.2;
  double HardHz = 3000;
  double Tau = 2.5;     // seconds, fundamental region
  double DampHz = 500;  // where the decay time has halved; it falls with the square above
};

TSpectrum PluckedString(double t, const TZoneInfo& z, const TString& s) {
  TSpectrum c = Empty(z);
  for (std::size_t k = 1; k < c.size(); ++k) {
    const double f = z.F0 * k;
    double a = std::sin(kPi * k * s.Pluck) / k;
    if (s.Pickup > 0) a *= std::sin(kPi * k * s.Pickup);
    a /= std::sqrt(1.0 + (f / s.HardHz) * (f / s.HardHz));
    // At least 80 ms, so that high notes still sound in their loop.
    const double tau = std::max(0.08, s.Tau / (1.0 + (f / s.DampHz) * (f / s.DampHz)));
    c[k] = -kI * a * std::exp(-t / tau);
  }
  return c;
}

// ---- FM: one cycle of a sampled waveform turned into harmonics.
TSpectrum FromWave(const TZoneInfo& z, std::int32_t points, const std::function<double(double)>& wave) {
  std::vector<double> w(static_cast<std::size_t>(points));
  for (std::int32_t n = 0; n < points; ++n) w[n] = wave(static_cast<double>(n) / points);
  return WaveToSpectrum(w, z.Harmonics);
}

double Tanh(double x, double drive) { return std::tanh(drive * x) / std::tanh(drive); }

// Shifts every keyframe of a layer by the same part of a cycle, so that the
// layer starts on the zero crossing where its first waveform steps least: a
// note then starts without a click, and the sound is otherwise the same.
void StartOnZeroCrossing(TLayer& layer) {
  std::size_t harmonics = 1;
  for (const TSpectrum& s : layer.KeySpectra) harmonics = std::max(harmonics, s.size());
  const std::int32_t n = PowerOfTwoAtLeast(16 * static_cast<std::int64_t>(harmonics));
  const std::vector<double> w = SpectrumToWave(layer.KeySpectra.front(), n);
  double best = 0, bestStep = -1;
  for (std::int32_t m = 0; m < n; ++m) {
    const double a = w[m], b = w[(m + 1) % n];
    if ((a < 0) == (b < 0) && a != 0) continue;
    const double step = std::fabs(b - a);
    if (bestStep < 0 || step < bestStep) {
      bestStep = step;
      best = (m + (a == b ? 0.0 : a / (a - b))) / n;  // the crossing, interpolated
    }
  }
  for (TSpectrum& s : layer.KeySpectra)
    for (std::size_t k = 1; k < s.size(); ++k) s[k] *= std::polar(1.0, 2 * kPi * k * best);
}

// Cutoffs follow the keyboard above 110 Hz (half an octave per octave), so
// high notes keep some brightness.
double KeyTrack(const TZoneInfo& z) { return std::sqrt(std::max(1.0, z.F0 / 110.0)); }

double Decay(double t, double tau) { return std::exp(-t / tau); }

// Three layers a whole cycle per loop apart around `centre` cycles (about
// +-1200 / centre / ln 2 cents): their beating repeats exactly once per loop.
void DetunedLayers(const TZoneInfo& z, TSampleRender& r, std::int32_t centre, const std::array<double, 3>& gains,
                   const std::function<TSpectrum(std::int32_t offset, const TZoneInfo&, double hz)>& source) {
  for (std::int32_t offset = -1; offset <= 1; ++offset) {
    const std::int32_t cycles = centre + offset;
    const double hz = z.F0 * cycles / centre;
    TZoneInfo lz = z;
    lz.Harmonics = std::max(1, static_cast<std::int32_t>(std::ceil(z.LimitHz / hz)) - 1);
    TLayer layer;
    layer.CyclesPerLoop = cycles;
    layer.KeyTimes = {0.0};
    layer.KeySpectra = {source(offset, lz, hz)};
    layer.Gain = gains[offset + 1];
    r.Layers.push_back(std::move(layer));
  }
}

// A plucked-string program: the string through a tone response of
// frequency (Hz) and time (seconds).
TProgramDesign Plucked(std::int32_t rate, double attack, TString string, TEnvSpec env,
                       std::function<TComplex(double f, double t, const TZoneInfo& z)> tone) {
  TProgramDesign d;
  d.Rate = rate;
  d.Periods = 4;
  d.Attack = attack;
  d.Env = env;
  d.Spectrum = [string, tone](double t, const TZoneInfo& z) {
    return Filter(PluckedString(t, z, string), z.F0, [&](double f) { return tone(f, t, z); });
  };
  return d;
}

}  // namespace

std::vector<TProgramDesign> BankDesigns() {
  std::vector<TProgramDesign> d(static_cast<std::size_t>(kBankProgramCount));
  const TEnvSpec plucked{1, 4000, 0.45f, 3000, 1};
  const TEnvSpec synthDecay{1, 3000, 0.65f, 3000, 1};
  const TEnvSpec sustained{2, 1, 1.0f, 3000, 0};

  // 0 Sine Bass
  d[0].Rate = 22050;
  d[0].Spectrum = [](double, const TZoneInfo& z) { return Sine(z); };
  d[0].Env = sustained;

  // 1 Sub Bass: a sine with a touch of warmth from 2nd and 3rd harmonics.
  d[1].Rate = 22050;
  d[1].Spectrum = [](double, const TZoneInfo& z) {
    return Mix(Mix(Sine(z), Sine(z, 2, 0.08), 1.0), Sine(z, 3, 0.035), 1.0);
  };
  d[1].Env = sustained;

  // 2 Boom Sub: a sine dropping an octave onto its pitch, with a short click.
  d[2].Rate = 22050;
  d[2].Attack = 0.18;
  d[2].FixedAttack = true;
  d[2].MaxPitch = 2.0;
  d[2].Pitch = [](double t, const TZoneInfo& z) {
    const double end = z.LoopStartSeconds, tau = 0.035;
    if (t >= end) return 1.0;
    const double shape = (Decay(t, tau) - Decay(end, tau)) / (1.0 - Decay(end, tau));
    return std::pow(2.0, shape);
  };
  d[2].Spectrum = [](double t, const TZoneInfo& z) {
    TSpectrum c = Sine(z);
    for (std::size_t k = 2; k < c.size() && k <= 8; ++k) c[k] += -kI * (0.25 / k) * Decay(t, 0.004);
    return c;
  };
  d[2].Env = sustained;

  // 3 Triangle Bass
  d[3].Spectrum = [](double, const TZoneInfo& z) { return Triangle(z); };
  d[3].Env = sustained;

  // 4 Saw Bass: starts in the middle of its ramp.
  d[4].Spectrum = [](double, const TZoneInfo& z) { return Saw(z); };
  d[4].Env = sustained;

  // 5 Square Bass, 6 and 7 pulses
  d[5].Spectrum = [](double, const TZoneInfo& z) { return Square(z); };
  d[5].Env = sustained;
  d[6].Spectrum = [](double, const TZoneInfo& z) { return Pulse(z, 0.25); };
  d[6].Env = sustained;
  d[7].Spectrum = [](double, const TZoneInfo& z) { return Pulse(z, 0.125); };
  d[7].Env = sustained;

  // 8 Analog Resonant Bass: saw and pulse through a resonant four-pole
  // low-pass whose cutoff falls from 5 kHz to 600 Hz.
  d[8].Periods = 4;
  d[8].Attack = 0.4;
  d[8].Spectrum = [](double t, const TZoneInfo& z) {
    const double cutoff = (600.0 + 4400.0 * Decay(t, 0.12)) * KeyTrack(z);
    return Filter(Mix(Saw(z), Pulse(z, 0.4), 0.5), z.F0, [&](double f) { return LowPass4(f, cutoff, 2.4); });
  };
  d[8].Env = synthDecay;

  // 9 Acid Saw, 10 Acid Square: a squelchy resonant sweep.
  d[9].Periods = 4;
  d[9].Attack = 0.35;
  d[9].Spectrum = [](double t, const TZoneInfo& z) {
    const double cutoff = (220.0 + 3200.0 * Decay(t, 0.1)) * KeyTrack(z);
    return Filter(Saw(z), z.F0, [&](double f) { return LowPass4(f, cutoff, 3.5); });
  };
  d[9].Env = {1, 2500, 0.6f, 3000, 1};
  d[10] = d[9];
  d[10].Spectrum = [](double t, const TZoneInfo& z) {
    const double cutoff = (250.0 + 2800.0 * Decay(t, 0.12)) * KeyTrack(z);
    return Filter(Square(z), z.F0, [&](double f) { return LowPass4(f, cutoff, 3.4); });
  };

  // 11 Acid Squelch: a faster, sharper sweep into a saturating stage.
  d[11].Periods = 4;
  d[11].Attack = 0.3;
  d[11].Spectrum = [](double t, const TZoneInfo& z) {
    const double cutoff = (180.0 + 5000.0 * Decay(t, 0.05)) * KeyTrack(z);
    const TSpectrum filtered = Filter(Saw(z), z.F0, [&](double f) { return LowPass4(f, cutoff, 3.7); });
    return ShapeSpectrum(filtered, z.Harmonics, [](double x) { return Tanh(x, 2.2); });
  };
  d[11].Env = {1, 2500, 0.6f, 3000, 1};

  // 12 Reese Bass: three saws softened above 2.4 kHz. 13 Dark Reese: two
  // saws either side of a sine sub, low-passed at 800 Hz.
  d[12].Periods = 48;
  d[12].Layers = [](const TZoneInfo& z, TSampleRender& r) {
    DetunedLayers(z, r, 48, {0.45, 0.5, 0.45}, [](std::int32_t, const TZoneInfo& lz, double hz) {
      return Filter(Saw(lz), hz, [](double f) { return LowPass2(f, 2400.0, 0.8); });
    });
  };
  d[12].Env = sustained;
  d[13].Rate = 22050;
  d[13].Periods = 40;
  d[13].Layers = [](const TZoneInfo& z, TSampleRender& r) {
    DetunedLayers(z, r, 40, {0.5, 0.6, 0.5}, [](std::int32_t offset, const TZoneInfo& lz, double hz) {
      return Filter(offset == 0 ? Sine(lz) : Saw(lz), hz, [](double f) { return LowPass2(f, 800.0, 0.9); });
    });
  };
  d[13].Env = sustained;

  // 14 FM Bell Bass: a modulator at 3.5 times the carrier (so one cycle is
  // two periods), its index ringing down, over a plain 1:1 body.
  d[14].Periods = 8;
  d[14].Divisor = 2;
  d[14].Attack = 0.45;
  d[14].Spectrum = [](double t, const TZoneInfo& z) {
    const double bell = 0.4 + 3.2 * Decay(t, 0.18);
    const double body = 1.0 * Decay(t, 0.5);
    return FromWave(z, 4096, [&](double x) {
      return std::sin(2 * kPi * 2 * x + bell * std::sin(2 * kPi * 7 * x)) +
             0.6 * std::sin(2 * kPi * 2 * x + body * std::sin(2 * kPi * 2 * x));
    });
  };
  d[14].Env = {1, 3500, 0.5f, 3000, 1};

  // 15 FM Slap Bass: a 1:1 pair with a fast index drop and a 3:5 pop.
  d[15].Periods = 4;
  d[15].Attack = 0.3;
  d[15].Spectrum = [](double t, const TZoneInfo& z) {
    const double index = 1.2 + 6.0 * Decay(t, 0.025);
    const double pop = 0.35 * Decay(t, 0.012);
    return FromWave(z, 4096, [&](double x) {
      return std::sin(2 * kPi * x + index * std::sin(2 * kPi * x)) +
             pop * std::sin(2 * kPi * 3 * x + 3.0 * std::sin(2 * kPi * 5 * x));
    });
  };
  d[15].Env = {1, 2200, 0.5f, 3000, 1};

  // 16 FM Tine Bass: a soft 1:1 pair and a short 14:1 tine.
  d[16].Periods = 4;
  d[16].Attack = 0.4;
  d[16].Spectrum = [](double t, const TZoneInfo& z) {
    const double index = 0.8 + 1.6 * Decay(t, 0.3);
    const double tine = 0.3 * Decay(t, 0.05);
    return FromWave(z, 4096, [&](double x) {
      return std::sin(2 * kPi * x + index * std::sin(2 * kPi * x)) + tine * std::sin(2 * kPi * 14 * x);
    });
  };
  d[16].Env = {1, 3000, 0.5f, 3000, 1};

  // 17-21 Plucked strings, each through its own tone.
  d[17] = Plucked(32000, 0.5, {0.1, 0.22, 4500, 2.5, 400}, plucked,
                  [](double f, double, const TZoneInfo&) { return Peak(f, 100.0, 1.0, 3.0); });
  d[18] = Plucked(32000, 0.45, {0.28, 0.2, 1400, 2.8, 300}, plucked,
                  [](double f, double, const TZoneInfo&) { return Peak(f, 90.0, 1.0, 2.0); });
  d[19] = Plucked(22050, 0.3, {0.15, 0.2, 2000, 0.9, 180}, {1, 800, 0.2f, 3000, 1},
                  [](double, double, const TZoneInfo&) { return TComplex(1.0); });
  // Slap: a pop of highs that fades in 30 ms, scooped mids.
  d[20] = Plucked(44100, 0.4, {0.08, 0.2, 9000, 2.0, 600}, plucked, [](double f, double t, const TZoneInfo&) {
    const double highs = f * f / (f * f + 800.0 * 800.0);
    return (1.0 + 1.2 * Decay(t, 0.03) * highs) * Peak(f, 500.0, 1.0, -6.0);
  });
  // Upright: a wooden body's resonances and a thump of the lowest harmonics.
  d[21] = Plucked(22050, 0.5, {0.3, 0.0, 600, 1.6, 250}, {1, 3000, 0.4f, 3000, 1},
                  [](double f, double t, const TZoneInfo& z) {
                    const double low = 1.0 + 0.6 * Decay(t, 0.04) * (f < 3.5 * z.F0 ? 1.0 : 0.0);
                    return low * Peak(f, 95.0, 2.5, 6.0) * Peak(f, 210.0, 3.0, 5.0) * Peak(f, 430.0, 3.0, 3.0) *
                           LowPass2(f, 2500.0, 0.7);
                  });

  // 22 Organ Bass: drawbars at 8', 4', 2 2/3', 2', 1 1/3', 1' and a key click
  // (kept below 4.5 kHz: above that the organ itself has nothing, and the
  // click would stand out as a click in the sound rather than of it).
  d[22].Periods = 4;
  d[22].Attack = 0.03;
  d[22].FixedAttack = true;
  d[22].Spectrum = [](double t, const TZoneInfo& z) {
    TSpectrum c = Empty(z);
    const std::pair<std::size_t, double> bars[] = {{1, 1.0}, {2, 0.75}, {3, 0.5}, {4, 0.55}, {6, 0.25}, {8, 0.3}};
    for (const auto& [k, a] : bars)
      if (k < c.size()) c[k] = -kI * a;
    const double click = 0.12 * Decay(t, 0.003);
    for (std::size_t k = 1; k < c.size() && k <= 60 && static_cast<double>(k) * z.F0 <= 4500.0; ++k)
      c[k] += click / std::sqrt(static_cast<double>(k)) * std::polar(1.0, 2 * kPi * std::fmod(k * 0.618034, 1.0));
    return c;
  };
  d[22].Env = sustained;

  // 23 Growl Bass: a saw through two formants that sweep once per loop.
  d[23].Periods = 12;
  d[23].LoopKeys = 24;
  d[23].Spectrum = [](double t, const TZoneInfo& z) {
    const double lfo = 0.5 - 0.5 * std::cos(2 * kPi * (t - z.LoopStartSeconds) / z.LoopSeconds);
    const double f1 = 350.0 + 350.0 * lfo, f2 = 800.0 + 600.0 * lfo;
    return Filter(Saw(z), z.F0, [&](double f) {
      return BandPass2(f, f1, 5.0) + 0.7 * BandPass2(f, f2, 6.0) + 0.15 * LowPass2(f, 400.0, 0.7);
    });
  };
  d[23].Env = sustained;

  // 24 Distorted Bass: saw and sine driven into a soft clipper, then a
  // speaker-like low-pass.
  d[24].Periods = 4;
  d[24].Attack = 0.25;
  d[24].Spectrum = [](double t, const TZoneInfo& z) {
    const double tone = 2500.0 + 2000.0 * Decay(t, 0.08);
    const double drive = 4.0 + 4.0 * Decay(t, 0.1);
    const TSpectrum in = Filter(Mix(Saw(z), Sine(z), 0.6), z.F0, [&](double f) { return LowPass2(f, tone, 0.7); });
    const TSpectrum driven = ShapeSpectrum(in, z.Harmonics, [&](double x) { return Tanh(x, drive); });
    return Filter(driven, z.F0, [](double f) { return LowPass2(f, 3200.0, 0.9); });
  };
  d[24].Env = synthDecay;

  // 25 Fuzz Bass: hard clipping plus an octave from rectification.
  d[25].Spectrum = [](double, const TZoneInfo& z) {
    const TSpectrum in = Mix(Sine(z), Sine(z, 2, 0.25), 1.0);
    const TSpectrum fuzz = ShapeSpectrum(
        in, z.Harmonics, [](double x) { return 0.7 * std::clamp(5.0 * x, -1.0, 1.0) + 0.5 * std::fabs(x); });
    return Filter(fuzz, z.F0, [](double f) { return LowPass2(f, 4000.0, 0.8); });
  };
  d[25].Env = sustained;

  // 26 Sync Bass: a slave saw reset every period, its ratio sweeping down.
  d[26].Periods = 4;
  d[26].Attack = 0.3;
  d[26].Spectrum = [](double t, const TZoneInfo& z) {
    const double ratio = 1.6 + 2.8 * Decay(t, 0.09);
    const TSpectrum sync = FromWave(z, 16384, [&](double x) {
      const double slave = ratio * x;
      return 2.0 * (slave - std::floor(slave)) - 1.0;
    });
    return Filter(sync, z.F0, [](double f) { return LowPass2(f, 6000.0, 0.7); });
  };
  d[26].Env = synthDecay;

  // 27 Synth Pluck Bass: saw and square, a fast non-resonant filter decay.
  d[27].Periods = 4;
  d[27].Attack = 0.3;
  d[27].Spectrum = [](double t, const TZoneInfo& z) {
    const double cutoff = (150.0 + 6000.0 * Decay(t, 0.06)) * KeyTrack(z);
    return Filter(Mix(Saw(z), Square(z), 0.6), z.F0, [&](double f) { return LowPass2(f, cutoff, 0.8); });
  };
  d[27].Env = {1, 1500, 0.4f, 3000, 1};

  // 28 Vowel Bass: a saw through the formants of "oh".
  d[28].Spectrum = [](double, const TZoneInfo& z) {
    return Filter(Saw(z), z.F0, [](double f) {
      return BandPass2(f, 450.0, 6.0) + 0.7 * BandPass2(f, 800.0, 7.0) + 0.25 * BandPass2(f, 2800.0, 8.0) +
             0.3 * LowPass2(f, 250.0, 0.7);
    });
  };
  d[28].Env = sustained;

  // 29 Brass Bass: the filter opens quickly and settles a little lower.
  d[29].Periods = 4;
  d[29].Attack = 0.35;
  d[29].Spectrum = [](double t, const TZoneInfo& z) {
    const double cutoff = (200.0 + 2400.0 * (1.0 - Decay(t, 0.03)) * (0.55 + 0.45 * Decay(t, 0.12))) * KeyTrack(z);
    return Filter(Mix(Saw(z), Square(z), 0.3), z.F0, [&](double f) { return LowPass2(f, cutoff, 1.3); });
  };
  d[29].Env = {5, 1, 1.0f, 3000, 0};
  return d;
}

TZoneRender PlanZone(const TProgramDesign& design, std::int32_t zone) {
  TZoneRender out;
  TZoneInfo& z = out.Info;
  TSampleRender& r = out.Render;
  z.Root = kBankZoneRoots[zone];
  const double rootHz = KeyHz(z.Root);
  // A whole number of periods in the loop, the rate rounded so that they
  // play at the root's pitch: the error is below 0.5 / rate (< 0.002 %).
  const std::int32_t loop = static_cast<std::int32_t>(std::lrint(design.Periods * design.Rate / rootHz));
  r.Rate = static_cast<std::int32_t>(std::lrint(loop * rootHz / design.Periods));
  r.LoopLength = loop;
  z.Rate = r.Rate;
  z.LoopFrames = loop;
  z.F0 = static_cast<double>(r.Rate) * design.Periods / loop;
  // Content stays below Nyquist at the highest key the zone plays.
  const double shift = std::pow(2.0, (BankZoneHighKey(zone) - z.Root) / 12.0);
  z.LimitHz = kBandMargin * std::min<double>(r.Rate, kHostRate / shift);

  double attack = design.Attack;
  if (!design.FixedAttack && rootHz > KeyHz(52)) attack *= std::sqrt(KeyHz(52) / rootHz);
  r.LoopStart = static_cast<std::int32_t>(std::lrint(attack * r.Rate));
  z.LoopStartSeconds = static_cast<double>(r.LoopStart) / r.Rate;
  z.LoopSeconds = static_cast<double>(loop) / r.Rate;

  if (design.Pitch) {
    r.PitchFactor = [&design, info = z](double t) { return design.Pitch(t, info); };
  }
  if (design.Layers) {
    design.Layers(z, r);
    for (TLayer& layer : r.Layers) StartOnZeroCrossing(layer);
    return out;
  }
  const double cycleHz = z.F0 / design.Divisor * design.MaxPitch;
  z.Harmonics = std::max(1, static_cast<std::int32_t>(std::ceil(z.LimitHz / cycleHz)) - 1);

  // Keyframes: dense at the start of the attack, thinning out to the loop
  // start, then (for a modulated loop) evenly over the loop.
  std::vector<double> times = {0.0};
  if (r.LoopStart > 0) {
    for (double t = 0.001; t < z.LoopStartSeconds; t *= 1.3) times.push_back(t);
    times.push_back(z.LoopStartSeconds);
  }
  for (std::int32_t j = 0; j <= design.LoopKeys && design.LoopKeys > 0; ++j) {
    times.push_back(z.LoopStartSeconds + z.LoopSeconds * j / design.LoopKeys);
  }
  std::sort(times.begin(), times.end());
  times.erase(std::unique(times.begin(), times.end(), [](double a, double b) { return b - a < 1e-9; }), times.end());

  TLayer layer;
  layer.CyclesPerLoop = design.Periods / design.Divisor;
  layer.KeyTimes = times;
  for (double t : times) layer.KeySpectra.push_back(design.Spectrum(t, z));
  StartOnZeroCrossing(layer);
  r.Layers.push_back(std::move(layer));
  return out;
}
