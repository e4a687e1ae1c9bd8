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
