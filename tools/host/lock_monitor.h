// Lock waits of the threads flagged as audio threads (alloc_counter.h). The
// host process replaces pthread_mutex_lock and the read-write lock's entries:
// on a flagged thread a lock that is free is taken at once, and a lock that
// another thread holds is timed until it is acquired. Every std::mutex and
// std::recursive_mutex of a loaded plug-in ends in these entries. Off in
// sanitizer builds (the tools own the entries there).
#pragma once

#include <cstdint>

struct TLockWaits {
  std::uint64_t Count = 0;    // acquisitions that found the lock held
  std::uint64_t TotalNs = 0;  // time spent waiting for them
  std::uint64_t LongestNs = 0;
};

bool LockMonitoringAvailable();
// Waits of flagged threads since the process started or the last reset.
TLockWaits AudioThreadLockWaits();
void ResetLockWaits();
