// One second-order section in direct form I,
//   y = b0 x + b1 x1 + b2 x2 - a1 y1 - a2 y2,
// the recursion shared by the Butterworth sections and the cookbook biquads;
// each subclass designs its own coefficients.
#pragma once

#include "dsp/filters/filter.h"

class TDSPDirectFormFilter : public TDSPFilter {
 public:
  TDSPDirectFormFilter() { BindSteps<TDSPDirectFormFilter>(); }

  float Step(float x) {
    const float y = FlushTiny(B0 * x + B1 * X1 + B2 * X2 - A1 * Y1 - A2 * Y2);
    X2 = X1;
    X1 = x;
    Y2 = Y1;
    Y1 = y;
    return y;
  }
  void Reset() override {
    TDSPFilter::Reset();
    X1 = X2 = Y1 = Y2 = 0;
  }

  float B0 = 0, B1 = 0, B2 = 0, A1 = 0, A2 = 0;
  float X1 = 0, X2 = 0, Y1 = 0, Y2 = 0;

 protected:
  // Stores a design computed in double precision, divided by a0; an a0 of
  // exactly 0 gives all-zero coefficients. The poles are kept inside.
  void SetNormalized(double b0, double b1, double b2, double a0, double a1, double a2) {
    if (a0 == 0) {
      B0 = B1 = B2 = A1 = A2 = 0;
      return;
    }
    B0 = static_cast<float>(b0 / a0);
    B1 = static_cast<float>(b1 / a0);
    B2 = static_cast<float>(b2 / a0);
    A1 = static_cast<float>(a1 / a0);
    A2 = static_cast<float>(a2 / a0);
    KeepPolesInside(A1, A2);
  }
};
