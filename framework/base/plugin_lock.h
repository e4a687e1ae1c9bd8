// The lock of one plug-in instance (TDSPBasePlugin::InstanceMutex): a
// re-entrant lock that also knows whether the calling thread holds it (the
// message routines ask, so that no dialog is shown under it). Meets the
// standard Lockable requirements. No thread-local storage: the audio thread
// takes it every block, and a module's thread-local block may be allocated
// on a thread's first use.
//
// It also counts the holds taken by other threads while the host streams
// (a thread named as the audio thread): each of those may silence one of
// the audio thread's calls, so routine host traffic must take none.
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
  // The thread of the host's process calls since the last resume or suspend,
  // or none (not streaming).
  void SetStreamingThread(std::thread::id id) { Streaming.store(id); }
  std::thread::id StreamingThread() const { return Streaming.load(); }
  // Outermost holds taken by any other thread while one was named.
  std::uint64_t HoldsBesideStream() const { return BesideStream.load(std::memory_order_relaxed); }

 private:
  void Entered() {
    if (Depth++ != 0) return;
    const std::thread::id self = std::this_thread::get_id();
    Owner.store(self);
    const std::thread::id streaming = Streaming.load();
    if (streaming != std::thread::id() && streaming != self) BesideStream.fetch_add(1, std::memory_order_relaxed);
  }
  std::recursive_mutex Mutex;
  std::atomic<std::thread::id> Owner{};
  std::int32_t Depth = 0;
  std::atomic<std::thread::id> Streaming{};
  std::atomic<std::uint64_t> BesideStream{0};
};
