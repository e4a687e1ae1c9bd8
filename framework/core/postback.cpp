#include "framework/core/postback.h"

#include <algorithm>
#include <atomic>

namespace {
// Enough for one record per parameter and control of a large plug-in, so
// posting from the audio thread does not allocate in practice.
constexpr std::size_t kInitialCapacity = 2048;
}  // namespace

TPostBackQueue::TPostBackQueue(std::size_t maxRecords) : MaxRecords(maxRecords), Ring(kInitialCapacity) {
  Running.reserve(8);
}

bool TPostBackQueue::Post(std::int32_t code, std::uint64_t param3, TPostBackCallback callback, std::uint64_t param1,
                          std::uint64_t param2) {
  if (!callback) return false;
  std::lock_guard<std::mutex> lock(Mutex);
  return PostLocked(code, param3, callback, param1, param2);
}

bool TPostBackQueue::TryPost(std::int32_t code, std::uint64_t param3, TPostBackCallback callback, std::uint64_t param1,
                             std::uint64_t param2, bool& busy) {
  busy = false;
  if (!callback) return false;
  std::unique_lock<std::mutex> lock(Mutex, std::try_to_lock);
  if (!lock.owns_lock()) {
    busy = true;
    return false;
  }
  return PostLocked(code, param3, callback, param1, param2);
}

bool TPostBackQueue::PostLocked(std::int32_t code, std::uint64_t param3, TPostBackCallback callback,
                                std::uint64_t param1, std::uint64_t param2) {
  if (Stopped) return false;
  // A linear scan: undrained, the queue holds about one record per
  // parameter and editor control, since repeats are not queued.
  for (std::size_t i = 0; i < Size; ++i) {
    const TPostBackRec& r = At(i);
    if (r.Callback == callback && r.Code == code && r.Param1 == param1 && r.Param2 == param2 && r.Param3 == param3)
      return true;
  }
  if (Size >= MaxRecords) return false;
  if (Size == Ring.size()) {
    std::vector<TPostBackRec> larger(Ring.size() * 2);
    for (std::size_t i = 0; i < Size; ++i) larger[i] = At(i);
    Ring.swap(larger);
    Head = 0;
  }
  TPostBackRec& r = At(Size);
  r.Callback = callback;
  r.Code = code;
  r.Param1 = param1;
  r.Param2 = param2;
  r.Param3 = param3;
  r.Sequence = NextSequence++;
  ++Size;
  return true;
}

void TPostBackQueue::PopFront() {
  Head = (Head + 1) & (Ring.size() - 1);
  --Size;
}

template <typename Match>
void TPostBackQueue::CancelMatching(Match match) {
  std::unique_lock<std::mutex> lock(Mutex);
  std::size_t kept = 0;
  for (std::size_t i = 0; i < Size; ++i)
    if (!match(At(i).Callback)) {
      if (kept != i) At(kept) = At(i);
      ++kept;
    }
  Size = kept;
  // A call of the callback running on another thread may still use the
  // object: the caller is about to free it, so wait for the call to end.
  const std::thread::id self = std::this_thread::get_id();
  CallFinished.wait(lock, [&] {
    return std::none_of(Running.begin(), Running.end(),
                        [&](const TRunning& r) { return r.Thread != self && match(r.Callback); });
  });
}

void TPostBackQueue::Cancel(TPostBackCallback callback) {
  CancelMatching([callback](const TPostBackCallback& c) { return c == callback; });
}

void TPostBackQueue::CancelObject(const void* object) {
  CancelMatching([object](const TPostBackCallback& c) { return c.Data == object; });
}

void TPostBackQueue::Clear() {
  std::lock_guard<std::mutex> lock(Mutex);
  Head = 0;
  Size = 0;
}

std::size_t TPostBackQueue::Pump() {
  std::unique_lock<std::mutex> lock(Mutex);
  const std::uint64_t last = NextSequence - 1;
  const std::thread::id self = std::this_thread::get_id();
  std::size_t count = 0;
  while (!Stopped && Size > 0 && At(0).Sequence <= last) {
    // Unlink before the call: a cancel or clear meanwhile cannot reach this
    // copy, and a second pump cannot run it again.
    const TPostBackRec call = At(0);
    PopFront();
    Running.push_back({call.Callback, self});
    lock.unlock();
    // The running entry goes even when the call throws, so no canceller
    // waits for ever.
    struct TFinish {
      TPostBackQueue& Queue;
      std::unique_lock<std::mutex>& Lock;
      const TPostBackRec& Call;
      std::thread::id Self;
      ~TFinish() {
        Lock.lock();
        auto it = std::find_if(Queue.Running.begin(), Queue.Running.end(),
                               [&](const TRunning& r) { return r.Thread == Self && r.Callback == Call.Callback; });
        if (it != Queue.Running.end()) Queue.Running.erase(it);
        Queue.CallFinished.notify_all();
      }
    } finish{*this, lock, call, self};
    call.Callback(call);
    ++count;
  }
  return count;
}

void TPostBackQueue::Shutdown() {
  std::lock_guard<std::mutex> lock(Mutex);
  Stopped = true;
  Head = 0;
  Size = 0;
}

bool TPostBackQueue::ShuttingDown() const {
  std::lock_guard<std::mutex> lock(Mutex);
  return Stopped;
}

std::size_t TPostBackQueue::Count() const {
  std::lock_guard<std::mutex> lock(Mutex);
  return Size;
}

namespace {
// Trivially destructible, so it still reads true after the queue is gone.
std::atomic<bool> QueueGone{false};

struct TQueueHolder {
  TPostBackQueue Queue;
  // Runs when the module is unloaded (or the process ends): nothing is
  // queued from here on, and the queue's memory goes.
  ~TQueueHolder() {
    Queue.Shutdown();
    QueueGone.store(true);
  }
};
}  // namespace

TPostBackQueue* PostBackQueue() {
  if (QueueGone.load()) return nullptr;
  static TQueueHolder holder;
  return &holder.Queue;
}
