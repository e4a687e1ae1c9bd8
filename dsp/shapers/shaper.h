// Per-sample waveshapers: some thirty curves that bend, fold, quantise,
// rectify or add noise to a signal under one amount parameter. Each class
// has a non-virtual inline Step bound once to plain routines (see
// TStepRoutines); Tick and ProcessBuffer go through them.
//
// Notation in the comments: x the input, A the amount (0.001..0.999), D the
// depth (the distance of A from 0.5, see SetAmount), s the sign of x (1 above
// 0, else -1) and m = |x|. Steps that "keep the previous output at 0" return
// the last output for an input of exactly 0.
#pragma once

#include <cmath>
#include <cstdint>
#include <numbers>

#include "dsp/filters/step_routines.h"
#include "framework/modules/dsp_control.h"

class TDSPShaper;
using TShaperRoutines = TStepRoutines<TDSPShaper>;

inline constexpr std::int16_t kShaperTypeMax = 50;

class TDSPShaper : public TDSPControl {
 public:
  TDSPShaper();

  // Shape index := the value rounded to the nearest index, clamped 0..50; a
  // non-finite value is ignored. Then Update.
  virtual void SetShape(float value);
  void SetShapeRef(const float& value) { SetShape(value); }
  // The shape index of a finite value: rounded to the nearest, clamped 0..50.
  static std::int16_t ShapeIndexOf(float value);
  // A clamped 0.001..0.999; depth := 2 (A - 0.5) from 0.5 up, 1 - 2 A below,
  // clamped 0.001..0.999; scale := 100 / depth; fine depth := depth / 400.
  // Then Update; nothing when A is the amount held. Runs on the audio
  // thread (per control period).
  void SetAmount(float value);

  // One sample through the curve (no virtual call).
  float ProcessSample(float x) { return Routines.Sample(*this, x); }
  void ProcessSamples(float* buffer, std::int32_t count) { Routines.Buffer(*this, buffer, count); }
  const TShaperRoutines& GetRoutines() const { return Routines; }

  void Tick() override { OutputSample = Routines.Sample(*this, InputSample); }
  // One millisecond in place.
  void ProcessBuffer(float* buffer) override { Routines.Buffer(*this, buffer, Settings->SamplesPerMs); }
  // Rate-dependent curves recompute.
  void SetAudioSettings(TAudioSettingsRec* rec) override;

  float ShapeValue = 0;
  std::int16_t ShapeIndex = 0;
  float Amount = 0;
  float Scale = 0;
  float Depth = 0;
  float InverseDepth = 0;
  float FineDepth = 0;

 protected:
  template <class D, float (D::*StepFn)(float) = &D::Step>
  void BindSteps() {
    Routines = TShaperRoutines::Of<D, StepFn>();
  }
  static float Sign(float x) { return x > 0 ? 1.0f : -1.0f; }
  // Stores and answers y as the output.
  float Out(float y) { return OutputSample = y; }

 private:
  TShaperRoutines Routines;
};

// 0 "Shape Off": y = x.
class TDSPNullShaper final : public TDSPShaper {
 public:
  TDSPNullShaper() { BindSteps<TDSPNullShaper>(); }
  float Step(float x) { return Out(x); }
};

// Base of the edge crushers: c0 = 0.75 D.
class TDSPEdgeCrushShaper : public TDSPShaper {
 public:
  void Update() override { C0 = 0.75f * Depth; }
  float C0 = 0;
};

// 1 "Pulsewidth": below the depth, A < 0.5 gives s (m scale fine + c0),
// A >= 0.5 gives s sqrt(m scale) m / 100; y = x elsewhere.
class TDSPPulseWidthShaper1 final : public TDSPEdgeCrushShaper {
 public:
  TDSPPulseWidthShaper1() { BindSteps<TDSPPulseWidthShaper1>(); }
  float Step(float x) {
    const float m = std::fabs(x), s = Sign(x);
    if (!(m < Depth)) return Out(x);
    if (Amount < 0.5f) return Out(s * (m * Scale * FineDepth + C0));
    return Out(s * std::sqrt(m * Scale) * m * 0.01f);
  }
};

// 2 "EdgeCrush": below the depth, A < 0.5 gives s (2 m scale fine + c0),
// A >= 0.5 gives s 2 m^2 scale / 100. Keeps the previous output at 0.
class TDSPEdgeCrushShaper1 final : public TDSPEdgeCrushShaper {
 public:
  TDSPEdgeCrushShaper1() { BindSteps<TDSPEdgeCrushShaper1>(); }
  float Step(float x) {
    if (x == 0) return OutputSample;
    const float m = std::fabs(x), s = Sign(x);
    if (!(m < Depth)) return Out(x);
    if (Amount < 0.5f) return Out(s * (2 * m * Scale * FineDepth + C0));
    return Out(s * 2 * m * m * Scale * 0.01f);
  }
};

// 10 "EdgeCrush2": c1 = 0.4 D, c2 = 0.6 D / 76, c3 = 0.75 D / 100; below the
// depth, A < 0.5 gives (4.3 m scale c2 + c1) s / 5, A >= 0.5 gives
// (m scale c3 + c0) s.
class TDSPEdgeCrushShaper2 final : public TDSPEdgeCrushShaper {
 public:
  TDSPEdgeCrushShaper2() { BindSteps<TDSPEdgeCrushShaper2>(); }
  void Update() override;
  float Step(float x) {
    const float m = std::fabs(x), s = Sign(x);
    if (!(m < Depth)) return Out(x);
    if (Amount < 0.5f) return Out((4.3f * m * Scale * C2 + C1) * s * 0.2f);
    return Out((m * Scale * C3 + C0) * s);
  }
  float C1 = 0, C2 = 0, C3 = 0;
};

// 3 "Square", 4 "Square2": a square of +-1 by whether m reaches A, dented by
// |0.3 sin p|; the phase p advances by n * Rate, n counting the samples since
// the side last changed.
class TDSPSquareShaper1 : public TDSPShaper {
 public:
  explicit TDSPSquareShaper1(float rate = 0.01f) : PhaseRate(rate) { BindSteps<TDSPSquareShaper1>(); }
  float Step(float x) {
    const bool high = std::fabs(x) >= Amount;
    if (high != High) {
      High = high;
      Count = 0;
    }
    Phase += static_cast<float>(Count) * PhaseRate;
    if (Count < kCountLimit) ++Count;
    // |sin| repeats every pi: keeping the phase small keeps it precise.
    if (Phase >= std::numbers::pi_v<float>) Phase = std::fmod(Phase, std::numbers::pi_v<float>);
    const float dent = std::fabs(0.3f * std::sin(Phase));
    return Out(high ? 1 - dent : dent - 1);
  }
  void Reset() override;

  float PhaseRate;
  float Phase = 0;
  std::uint32_t Count = 0;
  bool High = false;

 private:
  static constexpr std::uint32_t kCountLimit = 1u << 24;
};

class TDSPSquareShaper2 final : public TDSPSquareShaper1 {
 public:
  TDSPSquareShaper2() : TDSPSquareShaper1(0.03f) {}
};

// 5 "Square3": m > A gives s A 0.75; y = x elsewhere.
class TDSPSquareShaper3 final : public TDSPShaper {
 public:
  TDSPSquareShaper3() { BindSteps<TDSPSquareShaper3>(); }
  float Step(float x) { return Out(std::fabs(x) > Amount ? Sign(x) * Amount * 0.75f : x); }
};

// 6 "Square4": m < A gives s A 0.75; y = x elsewhere.
class TDSPSquareShaper4 final : public TDSPShaper {
 public:
  TDSPSquareShaper4() { BindSteps<TDSPSquareShaper4>(); }
  float Step(float x) { return Out(std::fabs(x) < Amount ? Sign(x) * Amount * 0.75f : x); }
};

// 7 "Quantize": x rounded to a multiple of A (in float: no integer overflow
// for large inputs).
class TDSPQuantizeShaper1 final : public TDSPShaper {
 public:
  TDSPQuantizeShaper1() { BindSteps<TDSPQuantizeShaper1>(); }
  void Update() override { Q = Amount == 0 ? 0.0f : 1 / Amount; }
  float Step(float x) { return Out(std::nearbyint(x * Q) * Amount); }
  float Q = 0;
};

// 8 "Minimum": m > A gives s A.
class TDSPMinimumShaper1 final : public TDSPShaper {
 public:
  TDSPMinimumShaper1() { BindSteps<TDSPMinimumShaper1>(); }
  float Step(float x) { return Out(std::fabs(x) > Amount ? Sign(x) * Amount : x); }
};

// 9 "Maximum": m < A gives s A.
class TDSPMaximumShaper1 final : public TDSPShaper {
 public:
  TDSPMaximumShaper1() { BindSteps<TDSPMaximumShaper1>(); }
  float Step(float x) { return Out(std::fabs(x) < Amount ? Sign(x) * Amount : x); }
};

// Uniform numbers in [0, 1) from a per-object linear congruential generator
// (no shared state between voices or threads).
class TDSPRandomShaperBase : public TDSPShaper {
 public:
  float Random() {
    Seed = Seed * 134775813u + 1u;
    return static_cast<float>(Seed) * (1.0f / 4294967296.0f);
  }
  std::uint32_t Seed = 0x1234567u;
};

// 11 "Random": y = x + (2r - 1) A.
class TDSPRandomShaper1 final : public TDSPRandomShaperBase {
 public:
  TDSPRandomShaper1() { BindSteps<TDSPRandomShaper1>(); }
  float Step(float x) { return Out((2 * Random() - 1) * Amount + x); }
};

// 12 "Random2": m > A gives s A + (2r - 1) / 10.
class TDSPRandomShaper2 final : public TDSPRandomShaperBase {
 public:
  TDSPRandomShaper2() { BindSteps<TDSPRandomShaper2>(); }
  float Step(float x) {
    if (!(std::fabs(x) > Amount)) return Out(x);
    return Out(Sign(x) * Amount + (2 * Random() - 1) * 0.1f);
  }
};

// 14 "PeakInv": c0 = -0.2 D, c1 = 0.4 D, c2 = c1 / 100; A >= 0.5 and m < D
// give (-30 m scale c2 + c0) s / 10; A < 0.5 and m > D give
// (-30 m scale c1 + c0) s / 1000.
class TDSPPeakInvertShaper1 final : public TDSPShaper {
 public:
  TDSPPeakInvertShaper1() { BindSteps<TDSPPeakInvertShaper1>(); }
  void Update() override;
  float Step(float x) {
    const float m = std::fabs(x), s = Sign(x);
    if (Amount >= 0.5f && m < Depth) return Out((m * Scale * -30.0f * C2 + C0) * s * 0.1f);
    if (Amount < 0.5f && m > Depth) return Out((m * Scale * -30.0f * C1 + C0) * s * 0.001f);
    return Out(x);
  }
  float C0 = 0, C1 = 0, C2 = 0;
};

// 15 "Sqrt1": m > A gives x / 2 + s sqrt(A).
class TDSPSqrtShaper1 final : public TDSPShaper {
 public:
  TDSPSqrtShaper1() { BindSteps<TDSPSqrtShaper1>(); }
  void Update() override { C = std::sqrt(Amount); }
  float Step(float x) { return Out(std::fabs(x) > Amount ? 0.5f * x + Sign(x) * C : x); }
  float C = 0;
};

// 16 "Square5": a leaky square that follows the sign of the input,
// y = (y' - s c4) / 2 with c4 = 0.2 log2(samples per ms * A), so it settles
// at -s c4; keeps the previous output at 0. The input-proportional term's
// factor c5 stays 0, as the curve has always sounded.
class TDSPSquareShaper5 final : public TDSPShaper {
 public:
  TDSPSquareShaper5() { BindSteps<TDSPSquareShaper5>(); }
  void Update() override;
  float Step(float x) {
    if (x == 0) return OutputSample;
    const float z = x * C3 * C5 - Sign(x) * C4 + OutputSample;
    return Out(0.5f * z);
  }
  float C1 = 0, C2 = 0, C3 = 0, C4 = 0, C5 = 0;
};

// 17 "Exp1": y = e^x A + 0.4 x.
class TDSPExpShaper1 final : public TDSPShaper {
 public:
  TDSPExpShaper1() { BindSteps<TDSPExpShaper1>(); }
  float Step(float x) { return Out(std::exp(x) * Amount + 0.4f * x); }
};

// 18 "Ln1": y = ln(m) A s; keeps the previous output at 0.
class TDSPLnShaper1 final : public TDSPShaper {
 public:
  TDSPLnShaper1() { BindSteps<TDSPLnShaper1>(); }
  float Step(float x) { return x == 0 ? OutputSample : Out(std::log(std::fabs(x)) * Amount * Sign(x)); }
};

// 19 "Ln2": y = 0.3 ln(m) A s + x; keeps the previous output at 0.
class TDSPLnShaper2 final : public TDSPShaper {
 public:
  TDSPLnShaper2() { BindSteps<TDSPLnShaper2>(); }
  float Step(float x) { return x == 0 ? OutputSample : Out(std::log(std::fabs(x)) * Amount * Sign(x) * 0.3f + x); }
};

// 20 "Ln3": y = x - ln(m) A s / 2; keeps the previous output at 0.
class TDSPLnShaper3 final : public TDSPShaper {
 public:
  TDSPLnShaper3() { BindSteps<TDSPLnShaper3>(); }
  float Step(float x) { return x == 0 ? OutputSample : Out(x - std::log(std::fabs(x)) * 0.5f * Sign(x) * Amount); }
};

// 21 "Ln4": y = ln(m) A s / 2 + x + x s / 44; keeps the previous output at 0.
class TDSPLnShaper4 final : public TDSPShaper {
 public:
  TDSPLnShaper4() { BindSteps<TDSPLnShaper4>(); }
  float Step(float x) {
    if (x == 0) return OutputSample;
    const float s = Sign(x);
    return Out(std::log(std::fabs(x)) * 0.5f * s * Amount + x + x * 0.0227272734f * s);
  }
};

// 22 "Tan1": y = x - tan(x) A; keeps the previous output at 0.
class TDSPTanShaper1 final : public TDSPShaper {
 public:
  TDSPTanShaper1() { BindSteps<TDSPTanShaper1>(); }
  float Step(float x) { return x == 0 ? OutputSample : Out(x - std::tan(x) * Amount); }
};

// 23 "Cotan1": y = x - cot(x) A / 10 within -3..3; keeps the previous output
// at 0.
class TDSPCoTanShaper1 final : public TDSPShaper {
 public:
  TDSPCoTanShaper1() { BindSteps<TDSPCoTanShaper1>(); }
  float Step(float x) {
    if (x == 0) return OutputSample;
    float y = x - 1 / std::tan(x) * Amount * 0.1f;
    if (y < -3) y = -3;
    if (y > 3) y = 3;
    return Out(y);
  }
};

// 24 "Power1": y = (A^x - 1.05) 3 A; keeps the previous output at 0.
class TDSPPowerShaper1 final : public TDSPShaper {
 public:
  TDSPPowerShaper1() { BindSteps<TDSPPowerShaper1>(); }
  void Update() override {
    C = 3 * Amount;
    LnAmount = std::log(static_cast<double>(Amount));
  }
  float Step(float x) {
    if (x == 0) return OutputSample;
    return Out((static_cast<float>(std::exp(x * LnAmount)) - 1.05f) * C);
  }
  float C = 0;
  double LnAmount = 0;
};

// 25 "Sin1": y = (x - A sin x)(1 + A); keeps the previous output at 0.
class TDSPSinShaper1 final : public TDSPShaper {
 public:
  TDSPSinShaper1() { BindSteps<TDSPSinShaper1>(); }
  float Step(float x) { return x == 0 ? OutputSample : Out((x - Amount * std::sin(x)) * (1 + Amount)); }
};

// 26 "PeakInv": m >= A scales by 1 - 2A, smaller samples by 1 + 2A.
class TDSPPeakInvertShaper2 final : public TDSPShaper {
 public:
  TDSPPeakInvertShaper2() { BindSteps<TDSPPeakInvertShaper2>(); }
  float Step(float x) { return Out(std::fabs(x) >= Amount ? x * (1 - 2 * Amount) : x * (1 + 2 * Amount)); }
};

// 27 "Exp2": y = (1 - e^(s' (0.2 + A) x)) s' with s' the sign of -x: an
// inverting soft saturator.
class TDSPExpShaper2 final : public TDSPShaper {
 public:
  TDSPExpShaper2() { BindSteps<TDSPExpShaper2>(); }
  float Step(float x) {
    const float s = Sign(-x);
    return Out((1 - std::exp(s * (0.2f + Amount) * x)) * s);
  }
};

// 28 "Sqrt2": y = sqrt(m) s A.
class TDSPSqrtShaper2 final : public TDSPShaper {
 public:
  TDSPSqrtShaper2() { BindSteps<TDSPSqrtShaper2>(); }
  float Step(float x) { return Out(std::sqrt(std::fabs(x)) * Sign(x) * Amount); }
};

// 30 "Fuzz": y = (2x - x^2) s A + (1 - A) x.
class TDSPFuzzShaper1 final : public TDSPShaper {
 public:
  TDSPFuzzShaper1() { BindSteps<TDSPFuzzShaper1>(); }
  float Step(float x) { return Out((2 * x - x * x) * Sign(x) * Amount + (1 - Amount) * x); }
};

// 31 "Fuzz2": k = 0.064 - A / 8, k2 = 2k / (1 - k);
// y = (k2 + 1) x / (m k2 + 1) 32 A + (1 - A) x.
class TDSPFuzzShaper2 final : public TDSPShaper {
 public:
  TDSPFuzzShaper2() { BindSteps<TDSPFuzzShaper2>(); }
  void Update() override;
  float Step(float x) { return Out((K2 + 1) * x / (std::fabs(x) * K2 + 1) * 32 * Amount + (1 - Amount) * x); }
  float K2 = 0;
};

// 32 "Fuzz3": k = 2 A / (1 - A); y = (1 + k) x / (m k + 1).
class TDSPFuzzShaper3 final : public TDSPShaper {
 public:
  TDSPFuzzShaper3() { BindSteps<TDSPFuzzShaper3>(); }
  void Update() override { K = 2 * 100 * Amount / (100 - 100 * Amount); }
  float Step(float x) { return Out((1 + K) * x / (std::fabs(x) * K + 1)); }
  float K = 0;
};

// 33 "Fuzz4": y = sin(pi A x) / sin(pi A) up to x = 1 / A, 1 above.
class TDSPFuzzShaper4 final : public TDSPShaper {
 public:
  TDSPFuzzShaper4() { BindSteps<TDSPFuzzShaper4>(); }
  void Update() override;
  float Step(float x) { return Out(x <= Limit ? std::sin(W * x) / SinW : 1.0f); }
  float W = 0, SinW = 0, Limit = 0;
};

// 34 "Fuzz5": k = 10 A; y = (m + k) x / m^2 + m (k - 1) + 1, which for a
// positive x is the curve's (m + k) x / e^(2 ln x), and for a negative x uses
// the magnitude where the logarithm of x would give NaN. Inputs below 1e-30 in
// magnitude count as 0 (whose output is 0). Its k x / m^2 term grows without
// limit as the input nears 0 (a quiet input gave +118 dBFS): the output is
// held within +-(2k + 1), the curve's value at a full-scale positive input,
// so every input up to full scale gives at most what full scale gives.
class TDSPFuzzShaper5 final : public TDSPShaper {
 public:
  TDSPFuzzShaper5() { BindSteps<TDSPFuzzShaper5>(); }
  void Update() override {
    K = 10 * Amount;
    Bound = 2 * K + 1;
  }
  float Step(float x) {
    const float m = std::fabs(x);
    if (!(m >= 1e-30f)) return Out(0);
    const float y = (m + K) * Sign(x) / m + m * (K - 1) + 1;
    return Out(y > Bound ? Bound : (y < -Bound ? -Bound : y));
  }
  float K = 0;
  float Bound = 1;
};

// 50: the test slot; leaves the output as it was (0 after construction).
class TDSPTestShaper1 final : public TDSPShaper {
 public:
  TDSPTestShaper1() { BindSteps<TDSPTestShaper1>(); }
  float Step(float /*x*/) { return OutputSample; }
};
