#include "platform/time_stamp.h"

#include <x86intrin.h>

#include <chrono>

std::uint64_t ReadTimeStampCounter() { return __rdtsc(); }

namespace {
double MeasureTicksPerMs() {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point start = Clock::now();
  const std::uint64_t first = ReadTimeStampCounter();
  Clock::time_point now = start;
  while (now - start < std::chrono::milliseconds(2)) now = Clock::now();
  const std::uint64_t last = ReadTimeStampCounter();
  const double ms = std::chrono::duration<double, std::milli>(now - start).count();
  const double ticks = static_cast<double>(last - first) / ms;
  // A counter that does not move (an emulator) still gives a usable rate.
  return ticks >= 1.0 ? ticks : 1.0;
}
}  // namespace

double TimeStampTicksPerMs() {
  static const double ticks = MeasureTicksPerMs();
  return ticks;
}
