// The lock of one plug-in instance (TDSPBasePlugin::InstanceMutex): a
// re-entrant lock that also knows whether the calling thread holds it (the
// message routines ask, so that no dialog is shown under it). Meets the
// standard Lockable requirements. No thread-local storage: the audio thread
// takes it every block, and a module's thread-local block may be allocated
// on a thread's first use.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>

class TPluginLock {
 public:
  void lock() {
    Mutex.lock();
    Entered();
  }
  bool try_lock() {
    if (!Mutex.try_lock()) return false;
    Entered();
    return true;
  }
  void unlock() {
    // Depth is only touched by the holder.
    if (--Depth == 0) Owner.store(std::thread::id());
    Mutex.unlock();
  }
  // True when the calling thread holds the lock.
  bool HeldHere() const { return Owner.load() == std::this_thread::get_id(); }

 private:
  void Entered() {
    if (Depth++ == 0) Owner.store(std::this_thread::get_id());
  }
  std::recursive_mutex Mutex;
  std::atomic<std::thread::id> Owner{};
  std::int32_t Depth = 0;
};
