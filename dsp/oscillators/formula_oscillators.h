// Formula waveforms: every sample is computed from the phase by a closed
// formula. Classic shapes (saw, triangle, square, sine), piecewise "glass"
// and "mixed" shapes of cosine segments and ramps, and rough shapes built
// from exponentials, tangents and square roots of the phase.
//
// Most classes run on the base phase range (0.001 up to 96, then within
// [48, 96)): the formula repeats every 1.0 of phase. Classes whose formula
// spans another range set their own range and a pitch offset that brings
// the range's length back to the requested pitch (24 semitones for a range
// of 4). Several formulas are unbounded by construction (tangents near their
// poles, exponentials) and are produced as computed.
#pragma once

#include <cmath>

#include "dsp/oscillators/base_oscillator.h"
#include "dsp/oscillators/phase_trig.h"

// Single-precision 2*pi and pi: the phase formulas are defined on them.
inline constexpr float kTwoPiF = 6.28318530717958647692f;
inline constexpr float kPiF = 3.14159265358979323846f;

template <class Derived>
class TFormulaOscillator : public TWaveformRunners<Derived> {
 public:
  // The formula, without gain; the phase is not stepped.
  void Tick() override { this->OutputSample = this->Self().Value(); }
  bool TickOnlyReads() const override { return true; }
  // One millisecond in place: value x gain, then one phase step.
  void ProcessBuffer(float* buffer) override {
    const std::int32_t n = this->Settings->SamplesPerMs;
    for (std::int32_t i = 0; i < n; ++i) {
      buffer[i] = this->Self().BufferValue();
      this->StepPhase(this->Increment);
    }
  }
  // What ProcessBuffer writes; four classes write something else.
  float BufferValue() { return this->Self().Value() * this->Gain; }

 protected:
  void SetRange(float phaseMin, float limit, float wrap, float pitchOffset) {
    this->PhaseMin = phaseMin;
    this->PhaseLimit = limit;
    this->PhaseWrap = wrap;
    this->PitchOffset = pitchOffset;
  }
  // u: the part of p above its floor, found through rint.
  static float Above(float p) {
    const float r = std::nearbyint(p);
    return p >= r ? p - r : p - (r - 1.0f);
  }
  // The part of p above rint(x) (or above rint(x) - 1 when p is below it).
  static float AboveRint(float p, double x) {
    const float r = static_cast<float>(std::nearbyint(x));
    return p >= r ? p - r : p - (r - 1.0f);
  }
  // Inline sine and cosine: the float results of the library's (phase_trig.h).
  static float Sin(double x) { return static_cast<float>(PhaseSin(x)); }
  static float Cos(double x) { return static_cast<float>(PhaseCos(x)); }
  static float Exp(double x) { return static_cast<float>(std::exp(x)); }
  static float Sqrt(double x) { return static_cast<float>(std::sqrt(x)); }
};

// 0 "Saw"
class TSawOsc1 final : public TFormulaOscillator<TSawOsc1> {
 public:
  float Value() const { return 2.0f * FracTrunc(Phase) - 1.0f; }
};

// 1 "SoftSaw": a cosine from u = 0.1 to 0.9, a ramp around the wrap.
class TSoftsawOsc1 final : public TFormulaOscillator<TSoftsawOsc1> {
 public:
  float Value() const {
    const float u = Above(Phase);
    if (u >= 0.1f && u <= 0.9f) return Cos(static_cast<double>(kTwoPiF) * u);
    return 1.0f - 2.0f * u;
  }
};

// 2 "XSaw": up 0..1 before Shape, down 0..-1 from Shape on.
class TAltSawOsc1 final : public TFormulaOscillator<TAltSawOsc1> {
 public:
  float Value() const {
    const float u = Above(Phase);
    return u >= Shape ? 1.0f - 2.0f * u : 2.0f * u;
  }
  // The gain scales the ramp, not the constant 1.
  float BufferValue() const {
    const float u = Above(Phase);
    return u >= Shape ? 1.0f - 2.0f * u * Gain : 2.0f * u * Gain;
  }
};

// 3 "Triangle": rises below Shape, falls from Shape on.
class TTriangleOsc1 final : public TFormulaOscillator<TTriangleOsc1> {
 public:
  float Value() const {
    const float q = FracTrunc(Phase);
    return q < Shape ? 4.0f * q - 1.0f : 3.0f - 4.0f * q;
  }
};

// 4 "Triangle2"
class TTriangleOsc2 final : public TFormulaOscillator<TTriangleOsc2> {
 public:
  float Value() const { return (std::fabs(FracTrunc(Phase) - 0.5f) - 0.25f) * 2.5f; }
};

// 5 "Square": +1 below Shape, -1 from Shape on.
class TSquareOsc1 final : public TFormulaOscillator<TSquareOsc1> {
 public:
  float Value() const { return Above(Phase) >= Shape ? -1.0f : 1.0f; }
};

// 6 "Sine"
class TSineOsc1 final : public TFormulaOscillator<TSineOsc1> {
 public:
  float Value() const { return Sin(static_cast<double>(kTwoPiF) * Phase); }
};

// 7 "Smooth": a trapezoid.
class THexOsc1 final : public TFormulaOscillator<THexOsc1> {
 public:
  float Value() const {
    const float u = Above(Phase);
    if (u < 0.125f) return 8.0f * u;
    if (u < 0.375f) return 1.0f;
    if (u < 0.625f) return 4.0f - 8.0f * u;
    if (u < 0.875f) return -1.0f;
    return 8.0f * u - 8.0f;
  }
};

// 8 "Glass": two raised cosine bumps, the second inverted from Shape on.
class TBumpsOsc1 final : public TFormulaOscillator<TBumpsOsc1> {
 public:
  float Value() const {
    const float u = Above(Phase);
    const float c = Cos(2.0 * static_cast<double>(kTwoPiF) * u);
    return u >= Shape ? (c - 1.0f) * 0.5f : (1.0f - c) * 0.5f;
  }
};

// 9 "Glass2": four bumps, inverted from Shape on.
class TDblBumpsOsc1 final : public TFormulaOscillator<TDblBumpsOsc1> {
 public:
  float Value() const {
    const float u = Above(Phase);
    const float c = Cos(4.0 * static_cast<double>(kTwoPiF) * u);
    return u < Shape ? (1.0f - c) * 0.5f : (c - 1.0f) * 0.5f;
  }
};

// 10 "Glass3" and 11 "Glass4": six cosine segments; "Glass4" shapes the
// negative half differently.
template <class Derived, bool Glass4>
class TAltBumpsBase : public TFormulaOscillator<Derived> {
 public:
  float Value() const {
    const float v = 6.0f * this->Above(this->Phase);
    const float c = this->Cos(static_cast<double>(kPiF) * v);
    if (v < 1.0f) return (1.0f - c) * 0.25f;
    if (v < 2.0f) return (c + 3.0f) * 0.25f;
    if (v < 3.0f) return (c + 1.0f) * 0.5f;
    if constexpr (Glass4) {
      if (v < 4.0f) return (-c - 1.0f) * 0.5f;
      if (v < 5.0f) return (-c - 3.0f) * 0.25f;
      return (c - 1.0f) * 0.25f;
    } else {
      if (v < 4.0f) return (-c - 1.0f) * 0.25f;
      if (v < 5.0f) return (c - 3.0f) * 0.25f;
      return (c - 1.0f) * 0.5f;
    }
  }
};
class TAltBumpsOsc1 final : public TAltBumpsBase<TAltBumpsOsc1, false> {};
class TAltBumpsOsc2 final : public TAltBumpsBase<TAltBumpsOsc2, true> {};

// 12 "SquareGls": a square with cosine edges.
class TSquareBumpsOsc1 final : public TFormulaOscillator<TSquareBumpsOsc1> {
 public:
  float Value() const {
    const float v = 6.0f * Above(Phase);
    const float c = Cos(static_cast<double>(kPiF) * v);
    if (v < 1.0f) return (1.0f - c) * 0.5f;
    if (v < 2.0f) return 1.0f;
    if (v < 3.0f) return (c + 1.0f) * 0.5f;
    if (v < 4.0f) return (-c - 1.0f) * 0.5f;
    if (v < 5.0f) return -1.0f;
    return (c - 1.0f) * 0.5f;
  }
};

// 13 "Mixed": eight ramp segments, scaled by 0.1.
class TMultiOsc1 final : public TFormulaOscillator<TMultiOsc1> {
 public:
  float Value() const {
    const float v = 8.0f * Above(Phase);
    float r;
    if (v < 1.0f) r = v;
    else if (v < 2.0f) r = 2.0f - v;
    else if (v < 3.0f) r = (v - 2.0f) * 0.5f;
    else if (v < 5.0f) r = (4.0f - v) * 0.5f;
    else if (v < 6.0f) r = 3.0f * v;
    else if (v < 7.0f) r = 6.0f - v;
    else r = v - 8.0f;
    return r * 0.1f;
  }
};

// 14 "Mixed2"
class TMultiOsc2 final : public TFormulaOscillator<TMultiOsc2> {
 public:
  float Value() const {
    const float v = 8.0f * Above(Phase);
    if (v < 1.0f) return v;
    if (v < 2.0f) return 2.0f - v;
    if (v < 3.0f) return v - 2.0f;
    if (v < 5.0f) return 4.0f - v;
    if (v < 6.0f) return v - 6.0f;
    if (v < 7.0f) return 6.0f - v;
    return v - 8.0f;
  }
};

// 15 "X-Mix": tangent, sine and cosine of the phase by tenths of a cycle.
class TMultiOsc3 final : public TFormulaOscillator<TMultiOsc3> {
 public:
  TMultiOsc3() { SetRange(0.001f, 4.0f, 4.0f, 24.0f); }
  float Value() const {
    const float p = Phase;
    const float u = Above(p);
    float r;
    if (u <= 0.1f) r = Tan(p);
    else if (u <= 0.2f) r = Sin(p);
    else if (u <= 0.3f) r = Tan(p);
    else if (u <= 0.4f) r = Sin(p);
    else if (u <= 0.5f) r = Cos(p);
    else if (u <= 0.6f) r = Sin(p);
    else if (u <= 0.7f) r = Sin(p);
    else if (u <= 0.8f) r = Cos(p);
    else if (u <= 0.9f) r = Sin(p);
    else r = Cos(p);
    return r * 0.25f;
  }
};

// 16 "SinExp"
class TSinExpOsc1 final : public TFormulaOscillator<TSinExpOsc1> {
 public:
  TSinExpOsc1() { SetRange(0.001f, 1.5f, 1.5f, 7.0f); }
  float Value() const { return Sin(std::exp(static_cast<double>(Phase)) + 0.1f) * 1.2f; }
};

// 17 "SinCos"
class TSinCosOsc1 final : public TFormulaOscillator<TSinCosOsc1> {
 public:
  TSinCosOsc1() { SetRange(0.001f, 4.0f, 4.0f, 12.0f); }
  float Value() const {
    if (Above(Phase) > Shape) {
      const float a = kPiF * Phase;
      return Sin(a) - Cos(a);
    }
    return Sin(static_cast<double>(kPiF) * Phase);
  }
};

// 18 "SinCosTan", 19 "SinCosTan2" (Scale 1).
template <class Derived, int ScaleHalves>
class TSinCosTanBase : public TFormulaOscillator<Derived> {
 public:
  float Value() const {
    const float p = this->Phase;
    const float d = this->AboveRint(p, std::tan(std::sin(static_cast<double>(p))));
    constexpr float scale = 0.5f * ScaleHalves;
    if (d <= this->Shape) return this->Cos(static_cast<double>(kPiF) * p) * scale;
    return this->Sin(0.0548861511 * p) * scale;
  }
};
class TSinCosTanOsc1 final : public TSinCosTanBase<TSinCosTanOsc1, 1> {
 public:
  TSinCosTanOsc1() { SetRange(0.001f, 4.0f, 4.0f, 30.96f); }
};
class TSinCosTanOsc2 final : public TSinCosTanBase<TSinCosTanOsc2, 2> {
 public:
  TSinCosTanOsc2() { SetRange(0.001f, kTwoPiF, kTwoPiF, 31.73f); }
};

// 20 "SinCosSqrt"
class TSinCosSqrtOsc1 final : public TFormulaOscillator<TSinCosSqrtOsc1> {
 public:
  TSinCosSqrtOsc1() { SetRange(0.001f, 4.0f, 4.0f, 24.0f); }
  float Value() const {
    const float p = Phase;
    const float u = Above(p);
    float r;
    if (u <= 0.25f) r = Sqrt(p);
    else if (u <= 0.75f) r = Cos(p);
    else r = Sin(p);
    return r * 0.25f;
  }
};

// 21 "CosExp"
class TCosExpOsc1 final : public TFormulaOscillator<TCosExpOsc1> {
 public:
  TCosExpOsc1() { SetRange(0.001f, kTwoPiF, kTwoPiF, 31.82f); }
  float Value() const { return Cos(std::exp(static_cast<double>(Phase)) - 9.0); }
  float BufferValue() const { return Value() * 0.6f * Gain; }
};

// 22 "CosSqrtTan"
class TCosSqrtTanOsc1 final : public TFormulaOscillator<TCosSqrtTanOsc1> {
 public:
  TCosSqrtTanOsc1() { SetRange(0.001f, 4.0f, 4.0f, 24.0f); }
  float Value() const {
    const float p = Phase;
    const float u = Above(p);
    float r;
    if (u <= 0.25f) r = Tan(p);
    else if (u <= 0.75f) r = Sqrt(p);
    else r = Cos(p);
    return r * 0.25f;
  }
};

// 23 "SqrtExp"
class TSqrtExpOsc1 final : public TFormulaOscillator<TSqrtExpOsc1> {
 public:
  TSqrtExpOsc1() { SetRange(0.001f, 4.0f, 4.0f, 24.0f); }
  float Value() const { return (Sqrt(std::exp(static_cast<double>(Phase))) - 4.0f) * 0.2f; }
};

// 24 "SqrtTan"
class TSqrtTanOsc1 final : public TFormulaOscillator<TSqrtTanOsc1> {
 public:
  TSqrtTanOsc1() { SetRange(0.001f, 1.0f, 1.0f, 0.0f); }
  float Value() const {
    const float p = Phase;
    const double a = static_cast<double>(kPiF) * p;
    const float d = AboveRint(p, std::tan(static_cast<double>(p)));
    const float r = d <= Shape ? static_cast<float>(std::tan(a)) : Sqrt(a);
    return r * 0.25f;
  }
  float BufferValue() const {
    float v = Value() * 0.25f * Gain;
    ClampFloat(v, -3.0f, 3.0f);
    return v;
  }
};

// 25 "Exp"
class TExpOsc1 final : public TFormulaOscillator<TExpOsc1> {
 public:
  TExpOsc1() { SetRange(0.001f, kTwoPiF, kTwoPiF, 31.82f); }
  float Value() const { return (Exp(Phase) - 9.0f) * 0.2f * 0.02f; }
};

// 26 "TanExp": clamped, so it stays within [-0.5, 0.5].
class TTanExpOsc1 final : public TFormulaOscillator<TTanExpOsc1> {
 public:
  TTanExpOsc1() { SetRange(0.001f, 1.0f, 1.0f, 0.0f); }
  float Value() const {
    float t = Tan(Exp(Phase) - 0.26f) * 0.5f;
    ClampFloat(t, -2.0f, 2.0f);
    return t * 0.25f;
  }
};

// 27 "CotanExp"
class TCoTanExpOsc1 final : public TFormulaOscillator<TCoTanExpOsc1> {
 public:
  TCoTanExpOsc1() { SetRange(0.001f, 1.0f, 1.0f, 0.0f); }
  float Value() const { return Cotangent(Exp(Phase) + 0.26f) * 1.2f; }
  float BufferValue() const { return Value() * 0.5f * Gain; }
};

// 30 "Cosine"
class TCosineOsc1 final : public TFormulaOscillator<TCosineOsc1> {
 public:
  float Value() const { return Cos(static_cast<double>(kTwoPiF) * Phase); }
};

// 32 "SawSin": a ramp up to Shape of each 2*pi of phase, then a falling sine.
class TSawSinOsc1 final : public TFormulaOscillator<TSawSinOsc1> {
 public:
  float Value() const {
    const float q = FracTrunc(Phase * 0.15915494f);
    return q <= Shape ? 2.0f * q - 1.0f : -Sin(Phase);
  }
};

// 45 "ParaSine": two parabolas over the phase range [-2, 2).
class TParabolaOsc1 final : public TFormulaOscillator<TParabolaOsc1> {
 public:
  TParabolaOsc1() { SetRange(-2.0f, 2.0f, 4.0f, 24.0f); }
  float Value() const { return (2.0f - std::fabs(Phase)) * Phase; }
};

// 48 "X-Curve": a rose-curve figure, five petals per range of 2*pi.
class TRoseCurveOsc1 final : public TFormulaOscillator<TRoseCurveOsc1> {
 public:
  TRoseCurveOsc1() { SetRange(kTwoPiF, kTwoPiF, kTwoPiF, 0.0f); }
  float Value() const {
    const float a = Sin(5.0 * static_cast<double>(Phase));
    const float b = static_cast<float>(57.29578 * 0.017453292 * a);
    const float s = Sin(b);
    const float c = Cos(b);
    return (1.0f / (1.0f + s * s + (c + 2.0f) * (c + 2.0f)) + Cos(static_cast<double>(c) * s) - 1.03f) * 6.0f;
  }
};
