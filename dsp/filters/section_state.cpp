#include "dsp/filters/section_state.h"

#include <cmath>
#include <numbers>

namespace {

// Below this ratio of its diagonal entries a triangular factor is treated as
// rank one: the single-precision state does not determine the weak
// direction, and dividing by it would turn rounding into a large state.
constexpr double kRankTolerance = 1e-5;

// Lower triangular R with R R^T = W, the state covariance of s' = A s + B x
// for the reference input: unit white noise plus unit-variance brown noise
// (pole rho). False without a stable realization.
struct TFactor {
  double R11 = 0, R21 = 0, R22 = 0;
};

bool StableMatrix(const TStateSpace2& m) {
  // Both eigenvalues inside the unit circle: |det| < 1 and |trace| < 1 + det.
  const double det = m.A11 * m.A22 - m.A12 * m.A21;
  const double trace = m.A11 + m.A22;
  return std::fabs(det) < 1 && std::fabs(trace) < 1 + det;
}

bool ReferenceFactor(const TStateSpace2& m, double rho, TFactor& r) {
  if (!StableMatrix(m)) return false;
  // Brown part: x' = rho x + w, scaled to unit variance. With z = E[s x],
  // z = rho (A z + B) gives z = rho (I - rho A)^-1 B, and the covariance
  // solves W = A W A^T + Q, Q = 2 B B^T + A z B^T + B z^T A^T (white and
  // brown, unit variance each).
  const double i11 = 1 - rho * m.A11, i12 = -rho * m.A12, i21 = -rho * m.A21, i22 = 1 - rho * m.A22;
  const double d = i11 * i22 - i12 * i21;
  const double z1 = rho * (i22 * m.B1 - i12 * m.B2) / d;
  const double z2 = rho * (i11 * m.B2 - i21 * m.B1) / d;
  const double az1 = m.A11 * z1 + m.A12 * z2, az2 = m.A21 * z1 + m.A22 * z2;
  const double q11 = 2 * m.B1 * m.B1 + 2 * az1 * m.B1;
  const double q12 = 2 * m.B1 * m.B2 + az1 * m.B2 + m.B1 * az2;
  const double q22 = 2 * m.B2 * m.B2 + 2 * az2 * m.B2;
  // W = A W A^T + Q as three equations in (w11, w12, w22), by Cramer's rule;
  // the determinant is (1 - l1 l1)(1 - l1 l2)(1 - l2 l2) for the eigenvalues
  // l1, l2 of A, so it does not vanish for a stable A.
  const double m11 = 1 - m.A11 * m.A11, m12 = -2 * m.A11 * m.A12, m13 = -m.A12 * m.A12;
  const double m21 = -m.A11 * m.A21, m22 = 1 - (m.A11 * m.A22 + m.A12 * m.A21), m23 = -m.A12 * m.A22;
  const double m31 = -m.A21 * m.A21, m32 = -2 * m.A21 * m.A22, m33 = 1 - m.A22 * m.A22;
  const double c1 = m22 * m33 - m23 * m32, c2 = m23 * m31 - m21 * m33, c3 = m21 * m32 - m22 * m31;
  const double det = m11 * c1 + m12 * c2 + m13 * c3;
  if (det == 0) return false;
  const double w11 = (q11 * c1 + m12 * (m23 * q22 - q12 * m33) + m13 * (q12 * m32 - m22 * q22)) / det;
  const double w12 = (m11 * (q12 * m33 - m23 * q22) + q11 * c2 + m13 * (m21 * q22 - q12 * m31)) / det;
  const double w22 = (m11 * (m22 * q22 - q12 * m32) + m12 * (q12 * m31 - m21 * q22) + q11 * c3) / det;
  if (!std::isfinite(w11) || !std::isfinite(w12) || !std::isfinite(w22)) return false;
  r = {};
  if (!(w11 > 0)) return true;  // no input reaches the state
  r.R11 = std::sqrt(w11);
  r.R21 = w12 / r.R11;
  const double rest = w22 - r.R21 * r.R21;
  r.R22 = rest > 0 ? std::sqrt(rest) : 0.0;
  return true;
}

// Pole of the reference's one-pole low-pass; the last rate's is kept (an
// exp per change is a fair share of a carry's cost).
double ReferencePole(double sampleRate) {
  thread_local double rate = 0, pole = 0;
  if (sampleRate != rate) {
    rate = sampleRate;
    pole = std::exp(-2 * std::numbers::pi * kReferenceCornerHz / sampleRate);
  }
  return pole;
}

// Past inputs (X1 newest) and outputs (Y1 newest) of a direct-form I section.
struct TSectionHistory {
  double X1 = 0, X2 = 0, Y1 = 0, Y2 = 0;
};

// The transposed direct-form realization of a section: state u, input x.
TStateSpace2 TransposedForm(const TSectionCoefficients& c) {
  const double b0 = c.B0, b1 = c.B1, b2 = c.B2, a1 = c.A1, a2 = c.A2;
  return {-a1, 1, -a2, 0, b1 - a1 * b0, b2 - a2 * b0};
}

}  // namespace

bool CarryState2(const TStateSpace2& from, const TStateSpace2& to, double& s1, double& s2, double sampleRate) {
  const double rho = ReferencePole(sampleRate);
  TFactor before, after;
  if (!ReferenceFactor(from, rho, before) || !ReferenceFactor(to, rho, after)) return false;
  // Normalized coordinates, dropping a direction the old input could not
  // have reached.
  double n1 = 0, n2 = 0;
  if (before.R11 > 0) {
    n1 = s1 / before.R11;
    if (before.R22 > kRankTolerance * before.R11) n2 = (s2 - before.R21 * n1) / before.R22;
  }
  const double t1 = after.R11 * n1;
  const double t2 = after.R21 * n1 + after.R22 * n2;
  if (!std::isfinite(t1) || !std::isfinite(t2)) return false;
  s1 = t1;
  s2 = t2;
  return true;
}

void CarrySectionHistory(const TSectionCoefficients& from, const TSectionCoefficients& to, float& x1, float& x2,
                         float& y1, float& y2, bool inputHistory, double sampleRate) {
  if (from == to || (x1 == 0 && x2 == 0 && y1 == 0 && y2 == 0)) return;
  TSectionHistory h{x1, x2, y1, y2};
  double u1 = double{from.B1} * h.X1 + double{from.B2} * h.X2 - double{from.A1} * h.Y1 - double{from.A2} * h.Y2;
  double u2 = double{from.B2} * h.X1 - double{from.A2} * h.Y1;
  if (!CarryState2(TransposedForm(from), TransposedForm(to), u1, u2, sampleRate)) return;
  if (inputHistory) {
    // The history of smallest norm with B1 x1 + B2 x2 - A1 y1 - A2 y2 = u1
    // and B2 x1 - A2 y1 = u2: h = M^T (M M^T)^-1 u.
    const double r1[4] = {to.B1, to.B2, -double{to.A1}, -double{to.A2}};
    const double r2[4] = {to.B2, 0, -double{to.A2}, 0};
    double g11 = 0, g12 = 0, g22 = 0;
    for (int i = 0; i < 4; ++i) {
      g11 += r1[i] * r1[i];
      g12 += r1[i] * r2[i];
      g22 += r2[i] * r2[i];
    }
    const double det = g11 * g22 - g12 * g12;
    double w1 = 0, w2 = 0;
    if (det > kRankTolerance * (g11 * g11 + g22 * g22)) {
      w1 = (g22 * u1 - g12 * u2) / det;
      w2 = (g11 * u2 - g12 * u1) / det;
    } else if (g11 > 0) {
      w1 = u1 / g11;  // rank one: u2 follows from the inputs alone
    }
    h.X1 = r1[0] * w1 + r2[0] * w2;
    h.X2 = r1[1] * w1 + r2[1] * w2;
    h.Y1 = r1[2] * w1 + r2[2] * w2;
    h.Y2 = r1[3] * w1 + r2[3] * w2;
  } else {
    // Outputs only, the inputs as they are: -A1 y1 - A2 y2 = u1 - B1 x1 - B2 x2
    // and -A2 y1 = u2 - B2 x1.
    if (to.A2 == 0) return;
    const double b1 = to.B1, b2 = to.B2, a1 = to.A1, a2 = to.A2;
    h.Y1 = (b2 * h.X1 - u2) / a2;
    h.Y2 = (b1 * h.X1 + b2 * h.X2 - a1 * h.Y1 - u1) / a2;
  }
  x1 = static_cast<float>(h.X1);
  x2 = static_cast<float>(h.X2);
  y1 = static_cast<float>(h.Y1);
  y2 = static_cast<float>(h.Y2);
}
