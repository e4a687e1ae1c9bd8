#include "tests/support/alloc_trap.h"

#include <gtest/gtest.h>
#include <malloc.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

thread_local bool AudioThread = false;
thread_local std::uint64_t ThreadAllocations = 0;
thread_local std::uint64_t ThreadFrees = 0;
std::atomic<std::uint64_t> TotalAllocations{0};
std::atomic<bool> PoisonFreed{false};

bool AbortMode();

// Frees a block; while poisoning is on its bytes are overwritten first, so a
// reader of memory that another thread freed sees garbage, not the old data.
// A free on a flagged thread is counted like an allocation: the allocator's
// lock and its bookkeeping are the same.
void Release(void* p) {
  if (p != nullptr && AudioThread) {
    ++ThreadFrees;
    if (AbortMode()) {
      static const char message[] = "free on a thread flagged as audio thread\n";
      (void)!write(STDERR_FILENO, message, sizeof message - 1);
      std::abort();
    }
  }
#if !defined(RUMBLEON_SANITIZED)
  if (p != nullptr && PoisonFreed.load(std::memory_order_relaxed)) std::memset(p, 0xCD, malloc_usable_size(p));
#endif
  std::free(p);
}

bool AbortMode() {
  static const bool abort = [] {
    const char* v = std::getenv("RUMBLEON_ALLOC_TRAP");
    return v && std::strcmp(v, "abort") == 0;
  }();
  return abort;
}

void Trap() {
  if (!AudioThread) return;
  ++ThreadAllocations;
  TotalAllocations.fetch_add(1, std::memory_order_relaxed);
  if (AbortMode()) {
    static const char message[] = "allocation on a thread flagged as audio thread\n";
    (void)!write(STDERR_FILENO, message, sizeof message - 1);
    std::abort();
  }
}

void* Allocate(std::size_t size) {
  Trap();
  for (;;) {
    if (void* p = std::malloc(size ? size : 1)) return p;
    std::new_handler handler = std::get_new_handler();
    if (!handler) throw std::bad_alloc();
    handler();
  }
}

void* AllocateAligned(std::size_t size, std::align_val_t alignment) {
  Trap();
  const auto a = std::max<std::size_t>(static_cast<std::size_t>(alignment), sizeof(void*));
  const std::size_t rounded = (std::max<std::size_t>(size, 1) + a - 1) / a * a;
  for (;;) {
    if (void* p = std::aligned_alloc(a, rounded)) return p;
    std::new_handler handler = std::get_new_handler();
    if (!handler) throw std::bad_alloc();
    handler();
  }
}

}  // namespace

void* operator new(std::size_t size) { return Allocate(size); }
void* operator new[](std::size_t size) { return Allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return Allocate(size);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  try {
    return Allocate(size);
  } catch (...) {
    return nullptr;
  }
}
void* operator new(std::size_t size, std::align_val_t a) { return AllocateAligned(size, a); }
void* operator new[](std::size_t size, std::align_val_t a) { return AllocateAligned(size, a); }
void* operator new(std::size_t size, std::align_val_t a, const std::nothrow_t&) noexcept {
  try {
    return AllocateAligned(size, a);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, std::align_val_t a, const std::nothrow_t&) noexcept {
  try {
    return AllocateAligned(size, a);
  } catch (...) {
    return nullptr;
  }
}
void operator delete(void* p) noexcept { Release(p); }
void operator delete[](void* p) noexcept { Release(p); }
void operator delete(void* p, std::size_t) noexcept { Release(p); }
void operator delete[](void* p, std::size_t) noexcept { Release(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { Release(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { Release(p); }
void operator delete(void* p, std::align_val_t) noexcept { Release(p); }
void operator delete[](void* p, std::align_val_t) noexcept { Release(p); }
void operator delete(void* p, std::size_t, std::align_val_t) noexcept { Release(p); }
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { Release(p); }
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept { Release(p); }
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept { Release(p); }

namespace testing_support {

void SetAudioThread(bool on) { AudioThread = on; }
void SetFreePoisoning(bool on) { PoisonFreed.store(on); }
bool IsAudioThread() { return AudioThread; }
std::uint64_t AudioThreadAllocations() { return TotalAllocations.load(std::memory_order_relaxed); }

TAudioThreadGuard::TAudioThreadGuard(const char* what)
    : What(what), Previous(AudioThread), Start(ThreadAllocations), StartFrees(ThreadFrees) {
  AudioThread = true;
}

TAudioThreadGuard::~TAudioThreadGuard() {
  AudioThread = Previous;
  const std::uint64_t count = ThreadAllocations - Start, frees = ThreadFrees - StartFrees;
  if (count > 0 || frees > 0)
    ADD_FAILURE() << count << " heap allocation(s) and " << frees << " free(s) on " << What
                  << " (set RUMBLEON_ALLOC_TRAP=abort to stop at the first)";
}

std::uint64_t TAudioThreadGuard::Allocations() const { return ThreadAllocations - Start; }
std::uint64_t TAudioThreadGuard::Frees() const { return ThreadFrees - StartFrees; }

TAllowAllocations::TAllowAllocations() : Previous(AudioThread) { AudioThread = false; }
TAllowAllocations::~TAllowAllocations() { AudioThread = Previous; }

}  // namespace testing_support
