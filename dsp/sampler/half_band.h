// Halving the rate of an interleaved stereo signal through a half-band
// low-pass: the sample players render at twice the voice's rate, and the
// images their reads leave above the voice's half rate are removed here
// instead of folding back into the audible band.
//
// The filter: the polyphase IIR half-band of Valenzuela and Constantinides
// (elliptic, power-complementary), H(z) = (A0(z^2) + z^-1 A1(z^2)) / 2, A0
// and A1 each a chain of three first-order allpass sections (a + z^-1) /
// (1 + a z^-1) run at the output rate on the odd and on the even inputs.
// Flat (within 0.01 dB) to 0.23 of the input rate, at least 74 dB down from
// 0.27 of it (at 88.2 kHz in: flat to 20.3 kHz, gone from 23.85 kHz; at 24
// kHz the 63-tap linear-phase filter it replaced was 26 dB down). Six
// multiplications and additions an output per channel, both channels and
// both chains side by side in the four lanes of one register (two filters
// in the eight of an AVX register: MixProcessPair). Its phase is not
// linear: the delay is 1.4 output samples up to a tenth of the output rate
// (4.4 kHz at 44.1 kHz out), rising to 3.8 at 0.4 of it (17.6 kHz); the
// same for everything the filter carries.
//
// Audio thread: allocates nothing. The state is a few registers; Clear
// makes it silence. The loops run in AVX encodings where the processor has
// AVX (chosen once at start-up), otherwise in SSE ones; both give the same
// bits.
#pragma once

#include <cstdint>

class THalfBandDecimator {
 public:
  static constexpr int kSections = 3;  // per chain

  // One call's signals: in = ALeft/ARight x A + BLeft/BRight x B (B null: A
  // alone), 2 x frames interleaved stereo frames each, halved into Left and
  // Right (frames each; they may not overlap the inputs). With AGain (and
  // BGain, where B is set) the gains of output frame m's two input frames
  // are also multiplied by AGain[m] (BGain[m]): gains that move within the
  // call. AGain may be Left and BGain Right (a frame's gains are read before
  // its output is written).
  struct TMix {
    const float* A = nullptr;
    float ALeft = 1.0f, ARight = 1.0f;
    const float* B = nullptr;
    float BLeft = 0.0f, BRight = 0.0f;
    float* Left = nullptr;
    float* Right = nullptr;
    const float* AGain = nullptr;
    const float* BGain = nullptr;
  };

  void Clear();
  void MixProcess(const TMix& mix, std::int32_t frames);
  // 2 * frames interleaved stereo input frames -> frames output frames.
  void Process(const float* in, float* left, float* right, std::int32_t frames);
  // x.MixProcess(mx, frames) and y.MixProcess(my, frames) side by side (the
  // same bits as one after the other).
  static void MixProcessPair(THalfBandDecimator& x, const TMix& mx, THalfBandDecimator& y, const TMix& my,
                             std::int32_t frames);

  // The section coefficients: chain A0 (odd inputs) in the even entries,
  // A1 (even inputs) in the odd ones, rising (tests).
  static const double* Coefficients();
  // Tests turn the AVX forms off to compare them with the SSE ones; answers
  // whether they are in use now. Not while a decimator runs.
  static bool SetAvx(bool on);

 private:
  // Lanes: left and right of the even input, then of the odd one. State[0]:
  // the chains' last inputs; State[s + 1]: section s's last output.
  alignas(16) float State[kSections + 1][4] = {};
};
