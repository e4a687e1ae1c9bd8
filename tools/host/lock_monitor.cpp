#include "tools/host/lock_monitor.h"

#include <pthread.h>
#include <time.h>

#include <atomic>

#include "tools/host/alloc_counter.h"

namespace {

std::atomic<std::uint64_t> WaitCount{0};
std::atomic<std::uint64_t> WaitTotal{0};
std::atomic<std::uint64_t> WaitLongest{0};

}  // namespace

#if !defined(RUMBLEON_SANITIZED)

namespace {

std::uint64_t NowNs() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<std::uint64_t>(t.tv_sec) * 1000000000u + static_cast<std::uint64_t>(t.tv_nsec);
}

void Record(std::uint64_t ns) {
  WaitCount.fetch_add(1, std::memory_order_relaxed);
  WaitTotal.fetch_add(ns, std::memory_order_relaxed);
  std::uint64_t longest = WaitLongest.load(std::memory_order_relaxed);
  while (ns > longest && !WaitLongest.compare_exchange_weak(longest, ns, std::memory_order_relaxed)) {
  }
}

// Times a blocking acquisition when the calling thread is flagged and the
// lock is taken; `tryLock` and `lock` are the C library's own entries.
template <class T, class Try, class Lock>
int Monitored(T* lock, Try tryLock, Lock blockingLock) {
  if (!AudioThreadFlag()) return blockingLock(lock);
  if (tryLock(lock) == 0) return 0;
  const std::uint64_t start = NowNs();
  const int result = blockingLock(lock);
  Record(NowNs() - start);
  return result;
}

}  // namespace

// The C library's implementations under their internal names.
extern "C" {
int __pthread_mutex_lock(pthread_mutex_t* mutex);
int __pthread_rwlock_rdlock(pthread_rwlock_t* lock);
int __pthread_rwlock_wrlock(pthread_rwlock_t* lock);
}
__asm__(".symver __pthread_mutex_lock,__pthread_mutex_lock@GLIBC_2.2.5");
__asm__(".symver __pthread_rwlock_rdlock,__pthread_rwlock_rdlock@GLIBC_2.2.5");
__asm__(".symver __pthread_rwlock_wrlock,__pthread_rwlock_wrlock@GLIBC_2.2.5");

// Exported (the project builds with hidden visibility) so that the plug-in's
// calls bind here.
#define RUMBLEON_EXPORT __attribute__((visibility("default")))
extern "C" {
RUMBLEON_EXPORT int pthread_mutex_lock(pthread_mutex_t* mutex) noexcept {
  return Monitored(mutex, &pthread_mutex_trylock, &__pthread_mutex_lock);
}
RUMBLEON_EXPORT int pthread_rwlock_rdlock(pthread_rwlock_t* lock) noexcept {
  return Monitored(lock, &pthread_rwlock_tryrdlock, &__pthread_rwlock_rdlock);
}
RUMBLEON_EXPORT int pthread_rwlock_wrlock(pthread_rwlock_t* lock) noexcept {
  return Monitored(lock, &pthread_rwlock_trywrlock, &__pthread_rwlock_wrlock);
}
}

bool LockMonitoringAvailable() { return true; }

#else

bool LockMonitoringAvailable() { return false; }

#endif

TLockWaits AudioThreadLockWaits() {
  return {WaitCount.load(std::memory_order_relaxed), WaitTotal.load(std::memory_order_relaxed),
          WaitLongest.load(std::memory_order_relaxed)};
}

void ResetLockWaits() {
  WaitCount.store(0, std::memory_order_relaxed);
  WaitTotal.store(0, std::memory_order_relaxed);
  WaitLongest.store(0, std::memory_order_relaxed);
}
