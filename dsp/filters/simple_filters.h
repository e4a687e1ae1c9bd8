// Small filters: the IIR notch, the two-pole resonator, the two-pole
// band-pass and all-pass sections ("Bandpass", "Phaser"), the pink-noise
// shaping filter and the one-pole low-pass "12DB LP". The second-order
// recursions carry their state over a change of coefficients
// (section_state.h).
#pragma once

#include "dsp/filters/filter.h"
#include "dsp/filters/section_state.h"

// "IIR NOTCH": poles at radius R, zeros on the unit circle at the cutoff.
// The output is limited to -32768..32767; the state keeps the true value.
class TIIRNotchFilter1 final : public TDSPFilter {
 public:
  TIIRNotchFilter1();
  float Step(float x) {
    const float y = FlushTiny(G * (x + X2) - 2 * K * G * X1 + 2 * K * R * Y1 - R * R * Y2);
    X2 = X1;
    X1 = x;
    Y2 = Y1;
    Y1 = y;
    if (y >= 32767.0f) return 32767.0f;
    if (y < -32768.0f) return -32768.0f;
    return y;
  }
  void Reset() override;

  float K = 0, G = 0, R = 0;
  float X1 = 0, X2 = 0, Y1 = 0, Y2 = 0;

 protected:
  void UpdateCoefficients() override;

 private:
  // The recursion as a direct-form section.
  static TSectionCoefficients Section(float k, float g, float r);
};

// "RES": a two-pole resonator at the cutoff; param3 maps to its bandwidth
// in Hz (1..22050).
class TResonatorFilter2 final : public TDSPFilter {
 public:
  TResonatorFilter2();
  float Step(float x) {
    const float y = FlushTiny(B0 * x - A1 * Y1 - Q * Y2);
    Y2 = Y1;
    Y1 = y;
    return y;
  }
  void Reset() override;

  float B0 = 0, A1 = 0, Q = 0;
  float Y1 = 0, Y2 = 0;

 protected:
  void UpdateCoefficients() override;
};

// Two-pole section with the pole radius resonance / 256 (resonance maps to
// 1..255) at the cutoff.
class TCFilterX : public TDSPFilter {
 public:
  TCFilterX();
  void Reset() override;

  float B0 = 0, B1 = 0, B2 = 0, A1 = 0, A2 = 0;
  float X1 = 0, X2 = 0, Y1 = 0, Y2 = 0;

 protected:
  float Rho = 0, CosW = 0, SinW = 0;
  void UpdateCoefficients() override;
  // Stores new coefficients, carrying the state over when they change (see
  // section_state.h); inputHistory: whether the recursion reads X1 and X2.
  void ChangeCoefficients(float b0, float b1, float b2, float a1, float a2, bool inputHistory);
};

// "Bandpass": unity peak gain.
class TCFilterXBP final : public TCFilterX {
 public:
  TCFilterXBP();
  float Step(float x) {
    const float y = FlushTiny(B0 * x + A1 * Y1 + A2 * Y2);
    Y2 = Y1;
    Y1 = y;
    return y;
  }

 protected:
  void UpdateCoefficients() override;
};

// "Phaser": a second-order all-pass, |H| = 1 at every frequency.
class TCFilterXPhaser final : public TCFilterX {
 public:
  TCFilterXPhaser();
  float Step(float x) {
    const float y = FlushTiny(B0 * x + B1 * X1 + B2 * X2 + A1 * Y1 + A2 * Y2);
    X2 = X1;
    X1 = x;
    Y2 = Y1;
    Y1 = y;
    return y;
  }

 protected:
  void UpdateCoefficients() override;
};

// "RND1"/"RND2": three leaky integrators that tilt white noise towards pink;
// the cutoff scales the two slow bands (gain cutoff / 22050 * 4).
class TPinkNoiseFilter final : public TDSPFilter {
 public:
  TPinkNoiseFilter();
  float Step(float x) {
    P0 = FlushTiny(Poles[0] * P0 + Gains[0] * G * x);
    P1 = FlushTiny(Poles[1] * P1 + Gains[1] * x);
    P2 = FlushTiny(Poles[2] * P2 + Gains[2] * G * x);
    return P0 + P1 + P2 + 0.1848f * x;
  }
  void Reset() override;

  float G = 0;
  float P0 = 0, P1 = 0, P2 = 0;
  // The sections' poles and input gains (0.99765, 0.963, 0.57 and
  // 0.0990460, 0.2965164, 1.0526913 at the design rate).
  float Poles[3] = {0.99765f, 0.963f, 0.57f};
  float Gains[3] = {0.0990460f, 0.2965164f, 1.0526913f};

 protected:
  void UpdateCoefficients() override;
};

// One-pole smoother y = a x + (1 - a) y with a = 1 - cutoff / 22050: a higher
// cutoff value gives a slower filter, cutoff 0 passes the input.
class TDSPOnePoleFilter : public TDSPFilter {
 public:
  TDSPOnePoleFilter();
  float Step(float x) {
    Y = FlushTiny(A * x + (1 - A) * Y);
    return Y;
  }
  void Reset() override;

  float A = 0;
  float Y = 0;

 protected:
  void UpdateCoefficients() override;
};

// "12DB LP".
class TDSPOnePoleFilterLP final : public TDSPOnePoleFilter {};
