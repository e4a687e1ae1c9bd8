// The textbook bilinear designs of the biquad base (Bristow-Johnson's audio
// EQ cookbook derives the same sections from the same analog prototypes).
// Each writes its prototype in s scaled by the prewarped corner K:
// H(s / K), numerator and denominator multiplied by K^2, so that
// BilinearTransform's plain s = (1 - 1/z) / (1 + 1/z) places the corner at f.
#include <cmath>

#include "dsp/filters/biquad_filters.h"

namespace {
// Guards a quality that would divide by zero or flip the design's sign.
double PositiveQ(double q) { return q > 1e-6 ? q : 1e-6; }
}  // namespace

// A first-order section (n1 s + n0) / (s + p) is passed with an extra factor
// (s + 1) above and below: the bilinear map sends s = -1 to
// z = 0, so the factor becomes a pole and a zero at the origin that cancel
// exactly, and a2 = b2 = 0. Without it the transform of a first-order
// denominator would put a pole on the unit circle at z = -1.
void TBiquadFilter1Base::LowPass1(double f) {
  const double k = PrewarpTan(f);
  // k / (s + k)
  BilinearTransform(1, k + 1, k, 0, k, k);
}

void TBiquadFilter1Base::HighPass1(double f) {
  const double k = PrewarpTan(f);
  // s / (s + k)
  BilinearTransform(1, k + 1, k, 1, 1, 0);
}

void TBiquadFilter1Base::LowPass2(double f, double q) {
  const double k = PrewarpTan(f);
  BilinearTransform(1, k / PositiveQ(q), k * k, 0, 0, k * k);
}

void TBiquadFilter1Base::HighPass2(double f, double q) {
  const double k = PrewarpTan(f);
  BilinearTransform(1, k / PositiveQ(q), k * k, 1, 0, 0);
}

void TBiquadFilter1Base::BandPassSkirt(double f, double q) {
  const double k = PrewarpTan(f);
  BilinearTransform(1, k / PositiveQ(q), k * k, 0, k, 0);
}

void TBiquadFilter1Base::BandPassPeak(double f, double q) {
  const double k = PrewarpTan(f);
  const double kq = k / PositiveQ(q);
  BilinearTransform(1, kq, k * k, 0, kq, 0);
}

void TBiquadFilter1Base::Notch(double f, double q) {
  const double k = PrewarpTan(f);
  BilinearTransform(1, k / PositiveQ(q), k * k, 1, 0, k * k);
}

void TBiquadFilter1Base::AllPass(double f, double q) {
  const double k = PrewarpTan(f);
  const double kq = k / PositiveQ(q);
  BilinearTransform(1, kq, k * k, 1, -kq, k * k);
}

void TBiquadFilter1Base::LowShelf2(double f, double q, double gainDb) {
  const double k = PrewarpTan(f);
  const double a = std::pow(10.0, gainDb / 40.0);
  const double m = std::sqrt(a) / PositiveQ(q) * k;
  BilinearTransform(a, m, k * k, a, a * m, a * a * k * k);
}

void TBiquadFilter1Base::HighShelf2(double f, double q, double gainDb) {
  const double k = PrewarpTan(f);
  const double a = std::pow(10.0, gainDb / 40.0);
  const double m = std::sqrt(a) / PositiveQ(q) * k;
  BilinearTransform(1, m, a * k * k, a * a, a * m, a * k * k);
}
