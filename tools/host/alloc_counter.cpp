#include "tools/host/alloc_counter.h"

#include <malloc.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace {

// Initial-exec TLS of the executable: reading it never allocates.
thread_local bool AudioThread = false;
std::atomic<std::uint64_t> AudioAllocations{0};
std::atomic<std::uint64_t> AudioFrees{0};
std::atomic<std::int64_t> HeapBytes{0};
std::atomic<bool> Poison{false};

}  // namespace

#if !defined(RUMBLEON_SANITIZED)

namespace {

inline void* Counted(void* p) {
  if (AudioThread) AudioAllocations.fetch_add(1, std::memory_order_relaxed);
  if (p) HeapBytes.fetch_add(static_cast<std::int64_t>(malloc_usable_size(p)), std::memory_order_relaxed);
  return p;
}

inline void Released(void* p) {
  if (!p) return;
  if (AudioThread) AudioFrees.fetch_add(1, std::memory_order_relaxed);
  const std::size_t size = malloc_usable_size(p);
  HeapBytes.fetch_sub(static_cast<std::int64_t>(size), std::memory_order_relaxed);
  if (Poison.load(std::memory_order_relaxed)) std::memset(p, 0xCD, size);
}

bool UnderValgrind() {
  const char* preload = std::getenv("LD_PRELOAD");
  return preload && std::strstr(preload, "vgpreload") != nullptr;
}

}  // namespace

// glibc's own entry points behind the public names.
extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* ptr, std::size_t size);
void* __libc_memalign(std::size_t alignment, std::size_t size);
void* __libc_valloc(std::size_t size);
void* __libc_pvalloc(std::size_t size);
void __libc_free(void* ptr);

void* malloc(std::size_t size) noexcept { return Counted(__libc_malloc(size)); }
void* calloc(std::size_t count, std::size_t size) noexcept { return Counted(__libc_calloc(count, size)); }
void* realloc(void* ptr, std::size_t size) noexcept {
  // The old block's bytes leave the count before the call: it may be freed.
  if (ptr) HeapBytes.fetch_sub(static_cast<std::int64_t>(malloc_usable_size(ptr)), std::memory_order_relaxed);
  void* p = __libc_realloc(ptr, size);
  if (!p && size != 0 && ptr) {
    // Failed: the old block stays.
    HeapBytes.fetch_add(static_cast<std::int64_t>(malloc_usable_size(ptr)), std::memory_order_relaxed);
    return p;
  }
  if (size == 0 && ptr) {
    if (AudioThread) AudioFrees.fetch_add(1, std::memory_order_relaxed);
    return p;
  }
  return Counted(p);
}
void* memalign(std::size_t alignment, std::size_t size) noexcept { return Counted(__libc_memalign(alignment, size)); }
void* aligned_alloc(std::size_t alignment, std::size_t size) noexcept {
  return Counted(__libc_memalign(alignment, size));
}
void* valloc(std::size_t size) noexcept { return Counted(__libc_valloc(size)); }
void* pvalloc(std::size_t size) noexcept { return Counted(__libc_pvalloc(size)); }
int posix_memalign(void** out, std::size_t alignment, std::size_t size) noexcept {
  if (alignment < sizeof(void*) || (alignment & (alignment - 1)) != 0) return EINVAL;
  void* p = Counted(__libc_memalign(alignment, size));
  if (!p) return ENOMEM;
  *out = p;
  return 0;
}
void free(void* ptr) noexcept {
  Released(ptr);
  __libc_free(ptr);
}
}

bool AllocationCountingAvailable() { return !UnderValgrind(); }

#else

bool AllocationCountingAvailable() { return false; }

#endif

void SetAudioThreadFlag(bool on) { AudioThread = on; }
void SetFreePoisoning(bool on) { Poison.store(on); }
bool AudioThreadFlag() { return AudioThread; }
std::uint64_t AudioThreadAllocationCount() { return AudioAllocations.load(std::memory_order_relaxed); }
std::uint64_t AudioThreadFreeCount() { return AudioFrees.load(std::memory_order_relaxed); }
std::int64_t HeapBytesInUse() { return AllocationCountingAvailable() ? HeapBytes.load(std::memory_order_relaxed) : 0; }
