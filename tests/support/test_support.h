// Helpers shared by the test suites: signal measurements and scratch files.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace testing_support {

float Peak(std::span<const float> x);
double Rms(std::span<const float> x);
bool AllFinite(std::span<const float> x);
// True when no sample is a denormal (zero is fine).
bool NoDenormals(std::span<const float> x);
// Fundamental frequency by linear-interpolated rising zero crossings of the
// signal with its mean removed; 0 when fewer than two crossings exist.
double ZeroCrossingFrequency(std::span<const float> x, double sampleRate);
// Magnitude of the signal's component at freq (single-bin DFT), normalised
// so a unit sine at freq gives 1.
double ToneMagnitude(std::span<const float> x, double freq, double sampleRate);
// True when a and b have the same bits (NaNs and the zeros' signs told
// apart): for outputs that must be identical, not only equal.
bool SameBits(float a, float b);
bool SameBits(double a, double b);
// The largest change between neighbouring samples of x from index from to
// before index to (both clamped to x).
float LargestStep(std::span<const float> x, std::size_t from, std::size_t to);
// Equal-tempered frequency of a MIDI key (69 = A4 = 440 Hz).
double NoteHz(int key);
// A folder that exists for the life of the test process.
std::string ScratchDir();
// Environment variable with a fallback.
std::string EnvOr(const char* name, const std::string& fallback);

}  // namespace testing_support
