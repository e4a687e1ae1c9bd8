// The calling thread's processor time, in seconds: what a thread's work
// costs whatever else the machine runs, where its wall-clock time would
// count every other thread that took the processor meanwhile. Header-only,
// so that rumbleon-host, which links nothing of the plug-in, measures the
// same way; any thread.
#pragma once

#include <time.h>

inline double ThreadCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}
