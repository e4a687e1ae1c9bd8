// Three-band equaliser made of one second-order section: the bilinear
// transform of (Gl + Gm s/Q + Gh s^2) / (1 + s/Q + s^2), so the gain is the
// low gain at DC, the mid gain at the frequency and the high gain at the
// Nyquist end. The EQ effect owns one per channel.
#pragma once

#include "framework/modules/dsp_control.h"

class TDSP3BandEQ : public TDSPControl {
 public:
  TDSP3BandEQ();

  // Setters store, clamp and recompute (no test for an unchanged value); a
  // non-finite value is ignored.
  void SetHighGain(float db);   // dB, -15..15
  void SetLowGain(float db);    // dB, -15..15
  void SetMidGain(float db);    // dB, -15..15
  void SetFrequency(float hz);  // Hz, 1..32767; designed at most at rate / 2.01
  void SetQ(float q);           // 0.01..0.99

  float Step(float x) {
    float y = B0 * x + B1 * X1 + B2 * X2 - A1 * Y1 - A2 * Y2;
    if (IsDenormalOrZero(y)) y = 0;
    X2 = X1;
    X1 = x;
    Y2 = Y1;
    Y1 = y;
    return y;
  }
  // out[i] := Step(in[i]) for n samples, with coefficients and history in
  // locals (out may be in).
  void StepBuffer(const float* in, float* out, std::int32_t n) {
    const float b0 = B0, b1 = B1, b2 = B2, a1 = A1, a2 = A2;
    float x1 = X1, x2 = X2, y1 = Y1, y2 = Y2;
    for (std::int32_t i = 0; i < n; ++i) {
      const float x = in[i];
      float y = b0 * x + b1 * x1 + b2 * x2 - a1 * y1 - a2 * y2;
      if (IsDenormalOrZero(y)) y = 0;
      x2 = x1;
      x1 = x;
      y2 = y1;
      y1 = y;
      out[i] = y;
    }
    X1 = x1;
    X2 = x2;
    Y1 = y1;
    Y2 = y2;
  }
  // StepBuffer of two equalisers over their own buffers in one loop: the
  // two recursions are independent, so each hides the other's latency.
  // Each gives exactly what its own StepBuffer gives.
  static void StepBuffers(TDSP3BandEQ& a, const float* inA, float* outA, TDSP3BandEQ& b, const float* inB,
                          float* outB, std::int32_t n) {
    const float ab0 = a.B0, ab1 = a.B1, ab2 = a.B2, aa1 = a.A1, aa2 = a.A2;
    const float bb0 = b.B0, bb1 = b.B1, bb2 = b.B2, ba1 = b.A1, ba2 = b.A2;
    float ax1 = a.X1, ax2 = a.X2, ay1 = a.Y1, ay2 = a.Y2;
    float bx1 = b.X1, bx2 = b.X2, by1 = b.Y1, by2 = b.Y2;
    for (std::int32_t i = 0; i < n; ++i) {
      const float xa = inA[i], xb = inB[i];
      float ya = ab0 * xa + ab1 * ax1 + ab2 * ax2 - aa1 * ay1 - aa2 * ay2;
      float yb = bb0 * xb + bb1 * bx1 + bb2 * bx2 - ba1 * by1 - ba2 * by2;
      if (IsDenormalOrZero(ya)) ya = 0;
      if (IsDenormalOrZero(yb)) yb = 0;
      ax2 = ax1;
      ax1 = xa;
      ay2 = ay1;
      ay1 = ya;
      bx2 = bx1;
      bx1 = xb;
      by2 = by1;
      by1 = yb;
      outA[i] = ya;
      outB[i] = yb;
    }
    a.X1 = ax1;
    a.X2 = ax2;
    a.Y1 = ay1;
    a.Y2 = ay2;
    b.X1 = bx1;
    b.X2 = bx2;
    b.Y1 = by1;
    b.Y2 = by2;
  }
  void Tick() override { OutputSample = Step(InputSample); }
  void ProcessBuffer(float* buffer) override;
  void Reset() override;
  // A rate change redesigns the section at once.
  void SetAudioSettings(TAudioSettingsRec* rec) override;
  void Update() override;

  float A1 = 0, A2 = 0, B0 = 0, B1 = 0, B2 = 0;
  float X1 = 0, X2 = 0, Y1 = 0, Y2 = 0;
  float HighGain = 1.0f;
  float LowGain = 3.0f;
  float MidGain = 2.0f;
  float Frequency = 1000.0f;
  float Q = 0.01f;

 private:
  void Store(float& field, float value, float min, float max);
};
