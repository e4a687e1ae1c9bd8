#include "dsp/filters/three_band_eq.h"

#include <cmath>
#include <numbers>

#include "dsp/filters/filter.h"

namespace {
// 2^(db / 6): +6 dB doubles.
double GainOfDb(float db) { return std::exp(db * std::numbers::ln2 / 6); }
}  // namespace

TDSP3BandEQ::TDSP3BandEQ() { Update(); }

void TDSP3BandEQ::Store(float& field, float value, float min, float max) {
  if (!std::isfinite(value)) return;
  field = value;
  ClampFloat(field, min, max);
  Update();
}

void TDSP3BandEQ::SetHighGain(float db) { Store(HighGain, db, -15.0f, 15.0f); }
void TDSP3BandEQ::SetLowGain(float db) { Store(LowGain, db, -15.0f, 15.0f); }
void TDSP3BandEQ::SetMidGain(float db) { Store(MidGain, db, -15.0f, 15.0f); }
void TDSP3BandEQ::SetFrequency(float hz) { Store(Frequency, hz, 1.0f, 32767.0f); }
void TDSP3BandEQ::SetQ(float q) { Store(Q, q, 0.01f, 0.99f); }

void TDSP3BandEQ::Reset() {
  TDSPControl::Reset();
  X1 = X2 = Y1 = Y2 = 0;
}

void TDSP3BandEQ::SetAudioSettings(TAudioSettingsRec* rec) {
  TDSPControl::SetAudioSettings(rec);
  Update();
}

void TDSP3BandEQ::Update() {
  const double gl = GainOfDb(LowGain), gm = GainOfDb(MidGain), gh = GainOfDb(HighGain);
  const double fs = Settings->SampleRate;
  double f = Frequency;
  if (f > fs / 2.01) f = fs / 2.01;
  const double k = 1 / std::tan(std::numbers::pi * f / fs);
  const double c = k / Q;
  const double n = 1 / (c + 1 + k * k);
  B0 = static_cast<float>((gl + gm * c + gh * k * k) * n);
  B1 = static_cast<float>((2 * gl - 2 * gh * k * k) * n);
  B2 = static_cast<float>((gl - gm * c + gh * k * k) * n);
  A1 = static_cast<float>((2 - 2 * k * k) * n);
  A2 = static_cast<float>((1 - c + k * k) * n);
  KeepPolesInside(A1, A2);
}

void TDSP3BandEQ::ProcessBuffer(float* buffer) { StepBuffer(buffer, buffer, Settings->SamplesPerMs); }
