// One guarded biquad section with design helpers (prewarping, the bilinear
// transform of an s-domain section, shelving and peaking designs) and the
// members "4PoleEQ1", "4PoleEQ2", "4PoleLP", "Vocal1" and "Vocal2".
#pragma once

#include "dsp/filters/filter.h"

// Outputs within +-1e-5 become 0 and the output is held within +-900000, so
// an unstable setting saturates instead of overflowing.
class TBiquadFilter1Base : public TDSPFilter {
 public:
  static constexpr float kOutputLimit = 900000.0f;
  TBiquadFilter1Base();

  float Step(float x) {
    float y = B0 * x + B1 * X1 + B2 * X2 - A1 * Y1 - A2 * Y2;
    if (y > -1e-05f && y <= 1e-05f) y = 0;
    if (y > kOutputLimit) y = kOutputLimit;
    if (y < -kOutputLimit) y = -kOutputLimit;
    X2 = X1;
    X1 = x;
    Y2 = Y1;
    Y1 = y;
    return y;
  }
  void Reset() override;
  void SetAudioSettings(TAudioSettingsRec* rec) override;

  float A1 = 0, A2 = 0, B0 = 0, B1 = 0, B2 = 0;
  float X1 = 0, X2 = 0, Y1 = 0, Y2 = 0;
  float FrequencyScale = 0;  // 0.2 * the design rate (formant position)
  float UpperFrequency = 0;  // 0.4 * rate: prewarping bound

 protected:
  // Stores the section rounded to single precision, poles kept inside.
  void StoreSection(double b0, double b1, double b2, double a1, double a2);
  // tan(min(f, upper frequency) * pi / rate).
  double PrewarpTan(double f) const;
  // tan(pi/2 - f * pi / rate).
  double PrewarpCot(double f) const;
  // (u2 s^2 + u1 s + u0) / (d2 s^2 + d1 s + d0), s already scaled by the
  // prewarped frequency, into the section's z-domain coefficients.
  void BilinearTransform(double d2, double d1, double d0, double u2, double u1, double u0);
  // Gain g at the low end, 1 at the top; turning frequency f (Hz), quality q.
  void HighShelf(double g, double q, double f);
  // The mirror of HighShelf: gain g at the top end.
  void LowShelf(double g, double q, double f);
  // Overall gain g; boost b at f (Hz) relative to the ends; quality q. The
  // centre is held below the upper frequency: beyond half the rate the
  // design would fold over and turn unstable.
  void Peak(double g, double b, double q, double f);

  // The textbook bilinear designs: an analog prototype with its corner at f
  // (Hz, prewarped by PrewarpTan, so held below the upper frequency) through
  // BilinearTransform. q is the quality (> 0), gainDb a shelf's gain. At the
  // prewarped frequency W = tan(pi f' / rate) of a frequency f', each answers
  // the prototype's magnitude at s = j W / K, K the prewarped corner.
  // 1 / (s + 1), s / (s + 1): first order, 3 dB down at f.
  void LowPass1(double f);
  void HighPass1(double f);
  // 1 / (s^2 + s/q + 1), s^2 / (s^2 + s/q + 1).
  void LowPass2(double f, double q);
  void HighPass2(double f, double q);
  // Band-passes: s / (...) has a constant skirt (gain q at f), (s/q) / (...)
  // a constant 0 dB peak at f.
  void BandPassSkirt(double f, double q);
  void BandPassPeak(double f, double q);
  // (s^2 + 1) / (...): no output at f.
  void Notch(double f, double q);
  // (s^2 - s/q + 1) / (...): unit gain, the phase turns through 360 degrees.
  void AllPass(double f, double q);
  // With A = 10^(gainDb / 40): A (s^2 + sqrt(A)/q s + A) / (A s^2 + sqrt(A)/q
  // s + 1) raises the lows by gainDb; the high shelf A (A s^2 + sqrt(A)/q s +
  // 1) / (s^2 + sqrt(A)/q s + A) the highs. Half the gain in dB at f.
  void LowShelf2(double f, double q, double gainDb);
  void HighShelf2(double f, double q, double gainDb);
};

class TBiquadFilter1 : public TBiquadFilter1Base {
 protected:
  // The vocal formant: x = cutoff / 22050 * frequency scale places the peak
  // between 270 Hz (x = 0), 400 Hz (x = 120) and highFormant (x = 240); gain
  // 0.3, boost R / boostDivisor + 6, quality R / qualityDivisor + 2.
  void FormantPeak(float highFormant, double boostDivisor, double qualityDivisor);
};

// "4PoleLP": a resonant low-pass at cutoff / 22050 of half the rate (at least
// 33 Hz); internal resonance 0.01..265.
class TBiquadFilter14PoleLP final : public TBiquadFilter1 {
 public:
  TBiquadFilter14PoleLP();

 protected:
  void UpdateCoefficients() override;
};

// "4PoleEQ1": a peak whose gain, boost and quality grow with the resonance.
class TBiquadFilter14PoleEQ1 final : public TBiquadFilter1 {
 public:
  TBiquadFilter14PoleEQ1();

 protected:
  void UpdateCoefficients() override;
};

// "4PoleEQ2": a fixed peak, gain 0.5 at the ends and 4.5 at the centre.
class TBiquadFilter14PoleEQ2 final : public TBiquadFilter1 {
 public:
  TBiquadFilter14PoleEQ2();

 protected:
  void UpdateCoefficients() override;
};

// "Vocal1"/"Vocal2": a formant peak that glides from 270 Hz over 400 Hz to
// 800 (or 650) Hz as the cutoff rises; internal resonance 0.01..5000.
class TBiquadFilter1Vocal1 final : public TBiquadFilter1 {
 public:
  TBiquadFilter1Vocal1();

 protected:
  void UpdateCoefficients() override;
};

class TBiquadFilter1Vocal2 final : public TBiquadFilter1 {
 public:
  TBiquadFilter1Vocal2();

 protected:
  void UpdateCoefficients() override;
};

// From low (x = 0) over mid (x = 120) to high (x = 240), linear in x.
float FormantFrequency(float high, float mid, float low, float x);
