// DSP units take no lock: their owner (the plug-in) holds its own while it
// changes a unit from a host thread, and the audio thread holds it while it
// runs the unit. Tests that drive a unit from two threads play the owner
// with this lock, taken on both threads.
#pragma once

#include <mutex>

namespace testing_support {

std::recursive_mutex& OwnerLock();

class TOwnerLockGuard {
 public:
  TOwnerLockGuard() : Guard(OwnerLock()) {}

 private:
  std::lock_guard<std::recursive_mutex> Guard;
};

}  // namespace testing_support
