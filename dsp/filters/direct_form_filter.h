// One second-order section in direct form I,
//   y = b0 x + b1 x1 + b2 x2 - a1 y1 - a2 y2,
// the recursion shared by the Butterworth sections and the cookbook biquads;
// each subclass designs its own coefficients.
#pragma once

#include "dsp/filters/filter.h"
#include "dsp/filters/section_state.h"

class TDSPDirectFormFilter : public TDSPFilter {
 public:
  TDSPDirectFormFilter() {
    BindSteps<TDSPDirectFormFilter>();
    BindBuffer(&StepBuffer);
  }

  TDSPDirectFormFilter* AsDirectForm() override { return this; }
  TLaneKind LaneKind() const override { return TLaneKind::kDirectForm; }

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

  // first's buffer routine, then second's, over the buffer in one loop: each
  // section steps and recovers exactly as in its own StepBuffer (the same
  // outputs), but second's recursion runs beside first's instead of after
  // the whole buffer, so their latencies overlap. Audio thread.
  static void StepBuffersInSeries(TDSPDirectFormFilter& first, TDSPDirectFormFilter& second, float* buffer,
                                  std::int32_t count) {
    TLocal a(first), b(second);
    for (std::int32_t i = 0; i < count; ++i) buffer[i] = b.Step(second, a.Step(first, buffer[i]));
    a.Store(first);
    b.Store(second);
  }

 protected:
  // The buffer routine: Step over the buffer with coefficients and history
  // in locals (the buffer could alias the members otherwise, which keeps
  // them in memory on the recursion's path), the recovery of BindSteps.
  static void StepBuffer(TDSPFilter& filter, float* buffer, std::int32_t count) {
    auto& d = static_cast<TDSPDirectFormFilter&>(filter);
    TLocal l(d);
    for (std::int32_t i = 0; i < count; ++i) buffer[i] = l.Step(d, buffer[i]);
    l.Store(d);
  }

  // A section's coefficients and history in locals, stepped as Step does;
  // a non-finite output makes the section recover (Recover resets it) and
  // the locals start again from its cleared history.
  struct TLocal {
    explicit TLocal(const TDSPDirectFormFilter& d)
        : b0(d.B0), b1(d.B1), b2(d.B2), a1(d.A1), a2(d.A2), x1(d.X1), x2(d.X2), y1(d.Y1), y2(d.Y2) {}
    float Step(TDSPDirectFormFilter& d, float x) {
      float y = FlushTiny(b0 * x + b1 * x1 + b2 * x2 - a1 * y1 - a2 * y2);
      x2 = x1;
      x1 = x;
      y2 = y1;
      y1 = y;
      if (!std::isfinite(y)) [[unlikely]] {
        y = d.Recover();
        x1 = d.X1;
        x2 = d.X2;
        y1 = d.Y1;
        y2 = d.Y2;
      }
      return y;
    }
    void Store(TDSPDirectFormFilter& d) const {
      d.X1 = x1;
      d.X2 = x2;
      d.Y1 = y1;
      d.Y2 = y2;
    }
    const float b0, b1, b2, a1, a2;
    float x1, x2, y1, y2;
  };

  // Stores a design computed in double precision, divided by a0; an a0 of
  // exactly 0 gives all-zero coefficients. The poles are kept inside, and a
  // change of coefficients carries the state over (see section_state.h).
  void NormalizeCoefficients(double b0, double b1, double b2, double a0, double a1, double a2) {
    float c[5] = {0, 0, 0, 0, 0};
    if (a0 != 0) {
      c[0] = static_cast<float>(b0 / a0);
      c[1] = static_cast<float>(b1 / a0);
      c[2] = static_cast<float>(b2 / a0);
      c[3] = static_cast<float>(a1 / a0);
      c[4] = static_cast<float>(a2 / a0);
      KeepPolesInside(c[3], c[4]);
    }
    ChangeSection(*this, c[0], c[1], c[2], c[3], c[4], SampleRate());
  }
};
