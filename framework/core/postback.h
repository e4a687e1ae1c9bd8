// Posted calls: code on the audio thread or a host thread must not touch the
// editor, so it posts a call instead, which runs later on the thread that
// owns the editor. Here that is the host's GUI thread: the plug-in drains
// the queue (PumpPostBacks) when the host opens the editor and at every
// editor-idle and idle call; tests pump explicitly.
//
// One queue serves the whole process. Calls run in posting order, each at
// most once, with the queue's lock released, so a call may post or cancel
// calls itself. Lock order: the instance lock, then the queue's lock
// (the queue never takes the instance lock and never calls out while holding
// its own).
#pragma once

#include <bit>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

#include "framework/base/method.h"

struct TPostBackRec;
// The receiver of a posted call: its object and the record (a copy owned by
// the queue for the duration of the call).
using TPostBackCallback = TMethod<void(const TPostBackRec&)>;

// One queued call. The arguments are 64 bits wide, so a pointer travels
// through any of them; a float travels as its bit pattern (PostArgFloat).
struct TPostBackRec {
  TPostBackCallback Callback;
  std::int32_t Code = 0;     // what the receiver dispatches on, for example 1000
  std::uint64_t Param1 = 0;  // usually a float: a flag or a parameter value
  std::uint64_t Param2 = 0;
  std::uint64_t Param3 = 0;
  std::uint64_t Sequence = 0;  // identifies the record; increases with every post, from 1
};

inline std::uint64_t PostArgFloat(float v) { return std::bit_cast<std::uint32_t>(v); }
inline float PostArgAsFloat(std::uint64_t a) { return std::bit_cast<float>(static_cast<std::uint32_t>(a)); }
inline std::uint64_t PostArgPointer(const void* p) { return reinterpret_cast<std::uintptr_t>(p); }
template <typename T>
T* PostArgAsPointer(std::uint64_t a) {
  return reinterpret_cast<T*>(static_cast<std::uintptr_t>(a));
}
inline std::uint64_t PostArgInt(std::int64_t v) { return static_cast<std::uint64_t>(v); }
inline std::int64_t PostArgAsInt(std::uint64_t a) { return static_cast<std::int64_t>(a); }

class TPostBackQueue {
 public:
  // Records beyond this many are dropped: a safety net for a poster that
  // never repeats itself while nothing drains.
  static constexpr std::size_t kDefaultMaxRecords = 65536;

  explicit TPostBackQueue(std::size_t maxRecords = kDefaultMaxRecords);
  TPostBackQueue(const TPostBackQueue&) = delete;
  TPostBackQueue& operator=(const TPostBackQueue&) = delete;

  // Queues a call of callback with (code, param1, param2, param3); any
  // thread. Nothing is queued after Shutdown, for a null callback, when the
  // queue is full, or when an identical call (same callback, code and
  // arguments) is still queued: that one will deliver it. Answers whether
  // the call is (now or already) queued. Does not allocate unless the queue
  // outgrows its reserve.
  bool Post(std::int32_t code, std::uint64_t param3, TPostBackCallback callback, std::uint64_t param1,
            std::uint64_t param2);
  // The same without waiting (the audio thread): when another thread holds
  // the queue's lock nothing is queued, the answer is false and busy is set.
  bool TryPost(std::int32_t code, std::uint64_t param3, TPostBackCallback callback, std::uint64_t param1,
               std::uint64_t param2, bool& busy);
  // Removes every queued record of this callback (same code and object), then
  // waits until no call of it is running on another thread. From inside a
  // call of the same callback it does not wait for that call.
  // Do not hold a lock that the running call may need (the global plug-in
  // lock, when the call takes it) while cancelling.
  void Cancel(TPostBackCallback callback);
  // The same for every callback whose object is object.
  void CancelObject(const void* object);
  // Removes every queued record (running calls finish undisturbed).
  void Clear();
  // Runs the calls queued before the pump began, in order; calls posted by
  // those calls wait for the next pump. Answers how many ran.
  std::size_t Pump();
  // Stops accepting calls for good and drops the queued ones.
  void Shutdown();
  bool ShuttingDown() const;
  std::size_t Count() const;

 private:
  struct TRunning {
    TPostBackCallback Callback;
    std::thread::id Thread;
  };
  template <typename Match>
  void CancelMatching(Match match);
  // Post's work, the lock held.
  bool PostLocked(std::int32_t code, std::uint64_t param3, TPostBackCallback callback, std::uint64_t param1,
                  std::uint64_t param2);
  void PopFront();
  TPostBackRec& At(std::size_t i) { return Ring[(Head + i) & (Ring.size() - 1)]; }
  const TPostBackRec& At(std::size_t i) const { return Ring[(Head + i) & (Ring.size() - 1)]; }

  // A plain mutex: it is never held while calling out, so never re-entered,
  // and it pairs with the condition variable that cancellation waits on.
  mutable std::mutex Mutex;
  std::condition_variable CallFinished;
  const std::size_t MaxRecords;
  std::vector<TPostBackRec> Ring;  // power-of-two capacity
  std::size_t Head = 0;
  std::size_t Size = 0;
  std::uint64_t NextSequence = 1;
  bool Stopped = false;
  std::vector<TRunning> Running;  // calls in progress, one per pumping thread
};

// The process-wide queue: an object of the module's own, freed when the
// module is unloaded (its records and its memory with it). Null once it is
// gone: a plug-in that a host destroys after that finds nothing to cancel.
TPostBackQueue* PostBackQueue();

// The operations on the process-wide queue (nothing once it is gone).
inline bool PostBack(std::int32_t code, std::uint64_t param3, TPostBackCallback callback, std::uint64_t param1,
                     std::uint64_t param2) {
  TPostBackQueue* q = PostBackQueue();
  return q != nullptr && q->Post(code, param3, callback, param1, param2);
}
inline bool TryPostBack(std::int32_t code, std::uint64_t param3, TPostBackCallback callback, std::uint64_t param1,
                        std::uint64_t param2, bool& busy) {
  busy = false;
  TPostBackQueue* q = PostBackQueue();
  return q != nullptr && q->TryPost(code, param3, callback, param1, param2, busy);
}
inline void CancelPostBacks(TPostBackCallback callback) {
  if (TPostBackQueue* q = PostBackQueue()) q->Cancel(callback);
}
inline void CancelPostBacksOf(const void* object) {
  if (TPostBackQueue* q = PostBackQueue()) q->CancelObject(object);
}
inline void ClearPostBacks() {
  if (TPostBackQueue* q = PostBackQueue()) q->Clear();
}
// Host GUI thread: editor open, editor idle, idle.
inline std::size_t PumpPostBacks() {
  TPostBackQueue* q = PostBackQueue();
  return q != nullptr ? q->Pump() : 0;
}
// Module unload: nothing is queued afterwards.
inline void ShutdownPostBacks() {
  if (TPostBackQueue* q = PostBackQueue()) q->Shutdown();
}
// Set from ShutdownPostBacks on: no call is queued afterwards.
inline bool PostBackShuttingDown() {
  TPostBackQueue* q = PostBackQueue();
  return q == nullptr || q->ShuttingDown();
}
