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
// The longest stretch of x (in samples) that stands still away from silence:
// every sample at least `floor` in size and within 0.1 % of the stretch's
// first. A filter whose output does so for milliseconds while its input
// moves has frozen into a DC source (a decay or an extremum, even of a
// filter tuned to a few Hz, moves on by more within a millisecond or two).
std::size_t LongestHeldRun(std::span<const float> x, float floor);
// Equal-tempered frequency of a MIDI key (69 = A4 = 440 Hz).
double NoteHz(int key);
// A folder that exists for the life of the test process.
std::string ScratchDir();
// Environment variable with a fallback.
std::string EnvOr(const char* name, const std::string& fallback);

}  // namespace testing_support
