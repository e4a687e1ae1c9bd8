// Halving the rate of an interleaved stereo signal through a half-band
// low-pass: the sample players render at twice the voice's rate, and the
// images their reads leave above the voice's half rate are removed here
// instead of folding back into the audible band.
//
// The filter: 63 taps, Kaiser window (beta 8), flat (within 0.05 dB) to
// about 0.2 of the input rate and at least 70 dB down from 0.29 of it (at
// 88.2 kHz in: flat to 18 kHz, gone from 25.6 kHz). A half-band filter's every other tap is
// zero, so an output costs 32 products and the centre tap. Latency: 15.5
// output samples.
//
// Audio thread: Process allocates nothing; Allocate (settings thread) sizes
// the work buffers for the largest block.
#pragma once

#include <cstdint>
#include <memory>

class THalfBandDecimator {
 public:
  static constexpr std::int32_t kTaps = 63;

  // Room for blocks of up to `maxOutputFrames` output frames; clears.
  void Allocate(std::int32_t maxOutputFrames);
  void Clear();
  // 2 * frames interleaved stereo input frames -> frames interleaved stereo
  // output frames (frames <= the allocated maximum; in and out may not overlap).
  void Process(const float* in, float* out, std::int32_t frames);

 private:
  // Per channel: the inputs of odd and of even index, each after its history.
  std::unique_ptr<float[]> Line[2];
  std::int32_t MaxFrames = 0;
};
