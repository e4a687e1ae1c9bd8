// The processor's time-stamp counter: our stand-in for the counter read of
// the CPU meter. On every x86-64 processor of the last decade the counter
// runs at a constant rate, whatever the core's clock does.
#pragma once

#include <cstdint>

// The 64-bit counter (rdtsc). Any thread; never blocks, never allocates.
std::uint64_t ReadTimeStampCounter();

// Counter ticks per millisecond, measured once per process against the
// steady clock over about 2 ms (the first call busy-waits that long; later
// calls answer at once). Call it off the audio thread. Never 0.
double TimeStampTicksPerMs();
