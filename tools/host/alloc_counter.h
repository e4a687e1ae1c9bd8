// Counting of heap allocations made by threads flagged as audio threads.
// The host process replaces malloc and its relatives (every operator new
// ends there), so allocations made inside a loaded plug-in are counted too.
// Sanitizer builds keep their own allocator, and counting is then off.
#pragma once

#include <cstdint>

// False in sanitizer builds and under valgrind, where the allocator belongs
// to the tool.
bool AllocationCountingAvailable();
// Flags or unflags the calling thread as an audio thread.
void SetAudioThreadFlag(bool on);
bool AudioThreadFlag();
// Allocations made by flagged threads since the process started.
std::uint64_t AudioThreadAllocationCount();

// Flags the calling thread for its scope (restoring the previous state).
class TAudioThreadScope {
 public:
  TAudioThreadScope() : Previous(AudioThreadFlag()) { SetAudioThreadFlag(true); }
  ~TAudioThreadScope() { SetAudioThreadFlag(Previous); }
  TAudioThreadScope(const TAudioThreadScope&) = delete;
  TAudioThreadScope& operator=(const TAudioThreadScope&) = delete;

 private:
  bool Previous;
};
