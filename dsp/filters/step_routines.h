// Plain routines bound once to a class's non-virtual per-sample step, so the
// per-sample and per-buffer paths of filters and shapers make no virtual
// call: one indirect call per sample, or one per buffer with the step
// inlined in the loop.
#pragma once

#include <cstdint>

template <class Base>
struct TStepRoutines {
  // y = step(x).
  using TSample = float (*)(Base& object, float x);
  // step over count samples of buffer, in place.
  using TBuffer = void (*)(Base& object, float* buffer, std::int32_t count);

  TSample Sample = nullptr;
  TBuffer Buffer = nullptr;

  // The routines of D's step StepFn (D derives from Base).
  template <class D, float (D::*StepFn)(float)>
  static TStepRoutines Of() {
    return {[](Base& object, float x) -> float { return (static_cast<D&>(object).*StepFn)(x); },
            [](Base& object, float* buffer, std::int32_t count) {
              D& d = static_cast<D&>(object);
              for (std::int32_t i = 0; i < count; ++i) buffer[i] = (d.*StepFn)(buffer[i]);
            }};
  }
};
