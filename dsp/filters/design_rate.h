// Filter and effect designs are voiced at one rate, kFilterDesignRate. At any
// other rate a design is carried over so it sounds the same: frequencies in
// Hz, time constants in seconds, not in shares of the rate. Every conversion
// is the identity at the design rate itself (bit for bit), so renders there
// never change.
#pragma once

#include <cstdint>

inline constexpr std::int32_t kFilterDesignRate = 44100;

// A real pole (or pole radius) in 0..1 at the design rate -> the pole with the
// same time constant at `rate`: pole^(design rate / rate). Values outside
// 0..1 (exclusive) are returned as they are.
float MatchPoleToRate(float pole, std::int32_t rate);

// The coefficient c of a first-order allpass (z^-1 - c) / (1 - c z^-1),
// 0..1, at the design rate -> the allpass with the same phase curve in Hz at
// `rate` (through its prewarped break frequency).
float MatchAllpassToRate(float c, std::int32_t rate);

// A ladder of four bilinear stages p (1 + z^-1) / (1 + (2p - 1) z^-1) whose
// output is fed back one sample late (scaled by feedback), designed at the
// design rate, carried to `rate`: the stages keep their analog frequency
// while the resonance is low, and the loop keeps the frequency and gain of
// its half-turn crossover (where the resonance peaks) as it rises. The one
// sample of the loop lasts longer or shorter at another rate, which moves
// that crossover if only the stages were matched. resonance is 0..1 (the
// share of the design's resonance range); the stage is held at most pMax.
struct TLadderDesign {
  float P;
  float Feedback;
};
TLadderDesign MatchLadderToRate(float p, float feedback, float resonance, float pMax, std::int32_t rate);
