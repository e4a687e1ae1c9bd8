// Spectral synthesis for the bank generator. A sample is a sum of layers;
// each layer is a periodic waveform whose spectrum is given at keyframe
// times and crossfaded linearly between them (the same as interpolating
// every harmonic's complex amplitude). The spectra are band-limited by the
// caller, each keyframe becomes an oversampled wavetable, and a frame reads
// two tables with cubic interpolation. A layer repeats a whole number of
// times per loop and the phase is computed in integers from the loop start
// on, so the loop is exactly periodic.
#pragma once

#include <complex>
#include <cstdint>
#include <functional>
#include <vector>

using TComplex = std::complex<double>;
// Complex amplitudes of harmonics 0..K of one cycle: the cycle's waveform is
// sum over k >= 1 of Re(c[k] exp(i 2 pi k phase)); c[0] is ignored.
using TSpectrum = std::vector<TComplex>;

// In-place radix-2 FFT (size a power of two); the inverse is unscaled.
void Fft(std::vector<TComplex>& a, bool inverse);

// One cycle of a spectrum sampled at n points (n a power of two, > 2K).
std::vector<double> SpectrumToWave(const TSpectrum& c, std::int32_t n);
// The spectrum of one sampled cycle, harmonics 0..k.
TSpectrum WaveToSpectrum(const std::vector<double>& wave, std::int32_t k);
// Passes one cycle through a memoryless curve and returns harmonics 0..k.
TSpectrum ShapeSpectrum(const TSpectrum& c, std::int32_t k, const std::function<double(double)>& curve);
// Smallest power of two >= x (and >= 64).
std::int32_t PowerOfTwoAtLeast(std::int64_t x);

struct TLayer {
  std::int32_t CyclesPerLoop = 1;  // whole cycles of this layer in one loop
  std::vector<double> KeyTimes;    // seconds, ascending, the first 0
  std::vector<TSpectrum> KeySpectra;
  double Gain = 1.0;
};

struct TSampleRender {
  std::int32_t Rate = 44100;     // header rate, Hz
  std::int32_t LoopStart = 0;    // frames
  std::int32_t LoopLength = 1;   // frames
  std::int32_t ExtraFrames = 0;  // rendered after the first loop
  std::vector<TLayer> Layers;
  // Frequency factor over time (seconds), exactly 1 from the loop start on;
  // empty: always 1.
  std::function<double(double)> PitchFactor;
};

// Frames 0 .. LoopStart + LoopLength + ExtraFrames - 1.
std::vector<double> RenderSample(const TSampleRender& spec);
