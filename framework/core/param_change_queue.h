// Parameter changes on their way to the audio thread (the parameters'
// indexes: their values are stored when they are set): any number of threads
// push, one thread at a time pops (the holder of the instance lock). Bounded,
// allocated once, and free of locks on both sides, so that neither a host
// thread that pushes nor the audio thread that pops ever waits for the other.
// The same queue carries other small records between threads that must not
// wait for each other (TBoundedQueue of any copyable record).
//
// The ring is the bounded queue of cells that carry a sequence number each:
// a producer claims a position by moving the tail, writes the cell and then
// publishes it through the cell's sequence; the consumer takes cells in
// order once they are published.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

template <class TRecord>
class TBoundedQueue {
 public:
  // capacity: a power of two.
  explicit TBoundedQueue(std::size_t capacity) : Mask(capacity - 1), Cells(new TCell[capacity]) {
    for (std::size_t i = 0; i < capacity; ++i) Cells[i].Sequence.store(i, std::memory_order_relaxed);
  }

  // Any thread; false when the queue is full.
  bool Push(const TRecord& change) {
    std::size_t position = Tail.load(std::memory_order_relaxed);
    for (;;) {
      TCell& cell = Cells[position & Mask];
      const std::size_t sequence = cell.Sequence.load(std::memory_order_acquire);
      const auto lag = static_cast<std::ptrdiff_t>(sequence - position);
      if (lag == 0) {
        if (Tail.compare_exchange_weak(position, position + 1, std::memory_order_relaxed)) {
          cell.Change = change;
          cell.Sequence.store(position + 1, std::memory_order_release);
          return true;
        }
      } else if (lag < 0) {
        return false;
      } else {
        position = Tail.load(std::memory_order_relaxed);
      }
    }
  }

  // The consumer; false when nothing published is waiting.
  bool Pop(TRecord& change) {
    TCell& cell = Cells[Head & Mask];
    const std::size_t sequence = cell.Sequence.load(std::memory_order_acquire);
    if (sequence != Head + 1) return false;
    change = cell.Change;
    cell.Sequence.store(Head + Mask + 1, std::memory_order_release);
    ++Head;
    Taken.store(Head, std::memory_order_release);
    return true;
  }

  // Any thread: nothing pushed waits to be popped (a push under way counts
  // as waiting).
  bool Empty() const { return Tail.load(std::memory_order_acquire) == Taken.load(std::memory_order_acquire); }

 private:
  struct TCell {
    std::atomic<std::size_t> Sequence{0};
    TRecord Change;
  };
  const std::size_t Mask;
  std::unique_ptr<TCell[]> Cells;
  std::atomic<std::size_t> Tail{0};
  std::size_t Head = 0;               // the consumer's
  std::atomic<std::size_t> Taken{0};  // Head, for Empty
};

using TParamChangeQueue = TBoundedQueue<std::int32_t>;
