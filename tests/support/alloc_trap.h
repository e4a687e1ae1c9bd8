// Allocation trap for render tests. The test executables replace the global
// operator new (every form): while the calling thread is flagged as an
// audio thread, each allocation is counted, and a TAudioThreadGuard that
// saw any, or any free, reports a test failure when it ends. So every render test that
// wraps its steady-state process calls in a guard is also a no-allocation
// test.
//
//   RenderWarmUp(...);                       // first blocks may allocate
//   {
//     testing_support::TAudioThreadGuard audio;
//     for (...) plugin.ProcessReplacing(...);  // must not allocate
//   }
//
// With RUMBLEON_ALLOC_TRAP=abort in the environment the trap aborts at the
// allocation itself instead, so a debugger or sanitizer shows its stack.
// Allocations by plain malloc (C code) are not seen here; the host's check
// command counts those too.
#pragma once

#include <cstdint>

namespace testing_support {

// Flags or unflags the calling thread.
void SetAudioThread(bool on);
bool IsAudioThread();
// Allocations by flagged threads since the process started (all threads).
std::uint64_t AudioThreadAllocations();
// While on, every block freed through operator delete is overwritten first
// (not in sanitizer builds, whose tools see such reads themselves).
void SetFreePoisoning(bool on);

// Flags the calling thread for its scope; on destruction reports a failure
// naming `what` when the thread allocated meanwhile.
class TAudioThreadGuard {
 public:
  explicit TAudioThreadGuard(const char* what = "the audio thread");
  ~TAudioThreadGuard();
  TAudioThreadGuard(const TAudioThreadGuard&) = delete;
  TAudioThreadGuard& operator=(const TAudioThreadGuard&) = delete;
  // Allocations and frees by this thread since the guard began.
  std::uint64_t Allocations() const;
  std::uint64_t Frees() const;

 private:
  const char* What;
  bool Previous;
  std::uint64_t Start;
  std::uint64_t StartFrees;
};

// Lifts the flag for its scope: test-side code inside a guarded loop that
// is allowed to allocate (collecting results, assertions).
class TAllowAllocations {
 public:
  TAllowAllocations();
  ~TAllowAllocations();
  TAllowAllocations(const TAllowAllocations&) = delete;
  TAllowAllocations& operator=(const TAllowAllocations&) = delete;

 private:
  bool Previous;
};

}  // namespace testing_support
