// Carries the state of a second-order recursion across a change of its
// coefficients.
//
// A recursion's state is right only for the coefficients that produced it.
// When the coefficients jump (a cutoff stepped every millisecond from 20 Hz to
// the top of the band and back), the new recursion reads the old state as a
// large free response: near z = +1 or z = -1 it grows as 1 / (1 - pole
// radius), and a run of jumps multiplies it without bound, although every
// single design is stable.
//
// At a change the state is therefore re-expressed. It is read in coordinates
// in which it has unit spread under a reference input, kept there, and
// written back in the new recursion's coordinates of the same kind:
// s = R_old^-1 u, u' = R_new s, where R R^T is the covariance the recursion's
// state reaches for the reference input (its controllability Gramian; R its
// lower triangular factor). For white noise such coordinates are
// input-normal, and then no sequence of coefficient changes can raise the
// state's covariance above the input's. The reference here adds brown noise
// (white noise through a one-pole low-pass at kReferenceCornerHz) to the white
// noise, so that low, harmonic signals, which fill a low-pass's state far
// more than white noise of the same level does, are scaled in proportion too;
// the bound then holds only about, and noise and square waves with every
// setting jumping each millisecond stay within twice the filter's own
// steady-state level. Under slow modulation the carry differs from the plain
// recursion by a fraction that shrinks with the rate of change.
// Between changes nothing differs: with fixed coefficients the recursion runs
// exactly as designed, and unchanged coefficients leave the state untouched.
//
// Cost per change: two closed-form 2 x 2 covariance solves (about 80 ns).
#pragma once

// Corner of the low-frequency part of the reference input, Hz.
inline constexpr double kReferenceCornerHz = 50.0;

// A two-state linear recursion s' = A s + B x in its own coordinates.
struct TStateSpace2 {
  double A11 = 0, A12 = 0, A21 = 0, A22 = 0;
  double B1 = 0, B2 = 0;
};

// Rewrites the state (s1, s2), kept for `from`, for `to`. False, with the
// state left as it is, when either recursion has a pole on or outside the
// unit circle or the result is not finite. sampleRate in Hz.
bool CarryState2(const TStateSpace2& from, const TStateSpace2& to, double& s1, double& s2, double sampleRate);

// y = B0 x + B1 x1 + B2 x2 - A1 y1 - A2 y2, with the coefficients exactly as
// the single-precision recursion uses them.
struct TSectionCoefficients {
  float B0 = 0, B1 = 0, B2 = 0, A1 = 0, A2 = 0;
  bool operator==(const TSectionCoefficients&) const = default;
};

// Carries the history of a single-precision direct-form I section (past
// inputs x1, x2 and outputs y1, y2, newest first) from coefficients `from` to
// `to`. Its future depends on the history only through the transposed
// direct-form state u1 = B1 x1 + B2 x2 - A1 y1 - A2 y2, u2 = B2 x1 - A2 y1;
// that state is carried, and the history of smallest norm that gives it is
// written back. inputHistory false: the recursion keeps no past inputs
// (B1 = B2 = 0), only y1 and y2 are rewritten. Equal coefficients or an
// all-zero history leave the history untouched, bit for bit.
void CarrySectionHistory(const TSectionCoefficients& from, const TSectionCoefficients& to, float& x1, float& x2,
                         float& y1, float& y2, bool inputHistory, double sampleRate);

// Stores new coefficients into a section S (fields B0, B1, B2, A1, A2 and
// history X1, X2, Y1, Y2, recursion as above), carrying its history over.
template <class S>
void ChangeSection(S& s, float b0, float b1, float b2, float a1, float a2, double sampleRate) {
  CarrySectionHistory({s.B0, s.B1, s.B2, s.A1, s.A2}, {b0, b1, b2, a1, a2}, s.X1, s.X2, s.Y1, s.Y2, true, sampleRate);
  s.B0 = b0;
  s.B1 = b1;
  s.B2 = b2;
  s.A1 = a1;
  s.A2 = a2;
}
