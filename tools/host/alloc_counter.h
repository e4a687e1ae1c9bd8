// Counting of heap allocations and frees made by threads flagged as audio
// threads, and of the bytes the whole process holds on the heap. The host
// process replaces malloc, free and their relatives (every operator new and
// delete ends there), so what a loaded plug-in does is counted too.
// Sanitizer builds keep their own allocator, and counting is then off.
#pragma once

#include <cstdint>

// False in sanitizer builds and under valgrind, where the allocator belongs
// to the tool.
bool AllocationCountingAvailable();
// Flags or unflags the calling thread as an audio thread.
void SetAudioThreadFlag(bool on);
bool AudioThreadFlag();
// Allocations (malloc, calloc, realloc, aligned forms) made by flagged
// threads since the process started.
std::uint64_t AudioThreadAllocationCount();
// Frees (free, and realloc of a block to nothing) made by flagged threads.
std::uint64_t AudioThreadFreeCount();
// While set, every freed block is overwritten first, so that a reader of
// memory another thread freed sees garbage instead of the old bytes.
void SetFreePoisoning(bool on);
// Bytes the process holds on the heap now (usable sizes of every block
// allocated and not yet freed, by any thread); 0 without counting.
std::int64_t HeapBytesInUse();

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
