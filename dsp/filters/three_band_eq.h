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
    TLocal l(*this);
    const float y = l.Step(x);
    l.Store(*this);
    return y;
  }
  // out[i] := Step(in[i]) for n samples, with coefficients and history in
  // locals (out may be in).
  void StepBuffer(const float* in, float* out, std::int32_t n) {
    TLocal a(*this);
    for (std::int32_t i = 0; i < n; ++i) out[i] = a.Step(in[i]);
    a.Store(*this);
  }
  // StepBuffer of two equalisers over their own buffers in one loop: the
  // two recursions are independent, so each hides the other's latency.
  // Each gives exactly what its own StepBuffer gives (out may be its in).
  static void StepBuffers(TDSP3BandEQ& a, const float* inA, float* outA, TDSP3BandEQ& b, const float* inB, float* outB,
                          std::int32_t n) {
    TLocal la(a), lb(b);
    for (std::int32_t i = 0; i < n; ++i) {
      const float xa = inA[i], xb = inB[i];
      outA[i] = la.Step(xa);
      outB[i] = lb.Step(xb);
    }
    la.Store(a);
    lb.Store(b);
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

  // Coefficients and history in locals (a buffer could alias the members,
  // which would keep them in memory on the recursion's path).
  struct TLocal {
    explicit TLocal(const TDSP3BandEQ& e)
        : B0(e.B0), B1(e.B1), B2(e.B2), A1(e.A1), A2(e.A2), X1(e.X1), X2(e.X2), Y1(e.Y1), Y2(e.Y2) {}
    float Step(float x) {
      float y = B0 * x + B1 * X1 + B2 * X2 - A1 * Y1 - A2 * Y2;
      if (IsDenormalOrZero(y)) y = 0;
      X2 = X1;
      X1 = x;
      Y2 = Y1;
      Y1 = y;
      return y;
    }
    void Store(TDSP3BandEQ& e) const {
      e.X1 = X1;
      e.X2 = X2;
      e.Y1 = Y1;
      e.Y2 = Y2;
    }
    float B0, B1, B2, A1, A2, X1, X2, Y1, Y2;
  };
};
