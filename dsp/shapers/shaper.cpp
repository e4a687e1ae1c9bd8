#include "dsp/shapers/shaper.h"

#include <cmath>

namespace {
float PassThrough(TDSPShaper& /*shaper*/, float x) { return x; }
void PassThroughBuffer(TDSPShaper& /*shaper*/, float* /*buffer*/, std::int32_t /*count*/) {}
}  // namespace

TDSPShaper::TDSPShaper() : Routines{&PassThrough, &PassThroughBuffer} {}

void TDSPShaper::SetShape(float value) {
  if (!std::isfinite(value)) return;
  ShapeValue = value;
  ShapeIndex = ShapeIndexOf(value);
  Update();
}

std::int16_t TDSPShaper::ShapeIndexOf(float value) {
  float index = RoundInt(value);
  ClampFloat(index, 0.0f, static_cast<float>(kShaperTypeMax));
  return static_cast<std::int16_t>(index);
}

void TDSPShaper::SetAmount(float value) {
  if (!std::isfinite(value)) return;
  ClampFloat(value, 0.001f, 0.999f);
  // The amount it holds: everything derived from it is as it would be made
  // (per control period, most calls).
  if (value == Amount) return;
  Amount = value;
  Depth = Amount >= 0.5f ? (Amount - 0.5f) * 2 : 1 - 2 * Amount;
  ClampFloat(Depth, 0.001f, 0.999f);
  InverseDepth = 1 / Depth;
  Scale = 100 / Depth;
  FineDepth = Depth * 0.25f * 0.01f;
  Update();
}

void TDSPShaper::SetAudioSettings(TAudioSettingsRec* rec) {
  TDSPControl::SetAudioSettings(rec);
  Update();
}

void TDSPEdgeCrushShaper2::Update() {
  TDSPEdgeCrushShaper::Update();
  C1 = 0.4f * Depth;
  C2 = 0.6f * Depth / 76;
  C3 = 0.75f * Depth / 100;
}

void TDSPSquareShaper1::Reset() {
  TDSPShaper::Reset();
  Phase = 0;
  Count = 0;
  High = false;
}

void TDSPPeakInvertShaper1::Update() {
  C0 = -0.2f * Depth;
  C1 = 0.4f * Depth;
  C2 = C1 * 0.01f;
}

void TDSPSquareShaper5::Update() {
  const float perMs = static_cast<float>(Settings->SamplesPerMs);
  C1 = 0.01f + std::numbers::pi_v<float> / perMs;
  C2 = 2 * std::log2(perMs * Amount);
  C3 = C1 * 0.25f;
  C4 = 0.1f * C2;
  // Only ever set when already non-zero: it stays 0 from construction on.
  if (C5 != 0) C5 = 1 / C2;
}

void TDSPFuzzShaper2::Update() {
  const float k = 0.064f - Amount * 0.125f;
  K2 = 2 * k / (1 - k);
}

void TDSPFuzzShaper4::Update() {
  W = std::numbers::pi_v<float> * Amount;
  SinW = std::sin(W);
  Limit = Amount == 0 ? 0.0f : 1 / Amount;
}
