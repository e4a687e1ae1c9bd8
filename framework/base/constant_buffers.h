// Process-wide constant signal buffers: an unconnected input reads zeros, a
// gain input ones, and so on. Filled once when the binary is loaded, never
// written afterwards, readable from any thread without locks.
#pragma once

#include <string>

// Covers the largest work buffer (block size + 16) of any practical block.
inline constexpr int kConstantBufferLength = 20000;

extern const float* const ZeroBuffer;
extern const float* const OneBuffer;
extern const float* const HalfBuffer;
extern const float* const ThreeBuffer;
extern const float* const TwoBuffer;
extern const float* const HundredBuffer;
extern const float* const SixtyFourBuffer;
extern const float* const FortyEightBuffer;
// The noise table of the resource "XWAVE_NOISE" (zeros when the binary has
// no such resource or it is short).
extern const float* const NoiseBuffer;
// (|noise| * 0.5 + 0.5) * 1e-20 with the sign of the noise: added to a signal
// it keeps recursive filters and delay lines out of the denormal range.
extern const float* const DenormalNoiseBuffer;

// Work folders under ProgramFolder().
const std::string& WaveFolder();
const std::string& TempFolder();
const std::string& ClipboardWaveFile();
