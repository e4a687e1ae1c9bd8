#include "tools/host/alloc_counter.h"

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <cerrno>

namespace {

// Initial-exec TLS of the executable: reading it never allocates.
thread_local bool AudioThread = false;
std::atomic<std::uint64_t> AudioAllocations{0};

}  // namespace

#if !defined(RUMBLEON_SANITIZED)

namespace {

inline void Count() {
  if (AudioThread) AudioAllocations.fetch_add(1, std::memory_order_relaxed);
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

void* malloc(std::size_t size) noexcept {
  Count();
  return __libc_malloc(size);
}
void* calloc(std::size_t count, std::size_t size) noexcept {
  Count();
  return __libc_calloc(count, size);
}
void* realloc(void* ptr, std::size_t size) noexcept {
  Count();
  return __libc_realloc(ptr, size);
}
void* memalign(std::size_t alignment, std::size_t size) noexcept {
  Count();
  return __libc_memalign(alignment, size);
}
void* aligned_alloc(std::size_t alignment, std::size_t size) noexcept {
  Count();
  return __libc_memalign(alignment, size);
}
void* valloc(std::size_t size) noexcept {
  Count();
  return __libc_valloc(size);
}
void* pvalloc(std::size_t size) noexcept {
  Count();
  return __libc_pvalloc(size);
}
int posix_memalign(void** out, std::size_t alignment, std::size_t size) noexcept {
  if (alignment < sizeof(void*) || (alignment & (alignment - 1)) != 0) return EINVAL;
  Count();
  void* p = __libc_memalign(alignment, size);
  if (!p) return ENOMEM;
  *out = p;
  return 0;
}
}

bool AllocationCountingAvailable() { return !UnderValgrind(); }

#else

bool AllocationCountingAvailable() { return false; }

#endif

void SetAudioThreadFlag(bool on) { AudioThread = on; }
bool AudioThreadFlag() { return AudioThread; }
std::uint64_t AudioThreadAllocationCount() { return AudioAllocations.load(std::memory_order_relaxed); }
