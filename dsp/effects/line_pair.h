// Two zeroed delay lines of equal size, one per side, that an effect reads
// and writes on the audio thread.
//
// Threads: the owner calls Allocate with its plug-in's lock held (a
// settings change); it builds the new pair, swaps it in and runs
// `underLock` (for lengths and positions that must fit the new size before
// the next sub-block). Release frees under that lock too. Clear, Exchange
// and the accessors belong to the thread that holds the lock (the audio
// thread while it renders).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <utility>

// Receives the memory an owner's lines keep, one run of floats at a time.
class TLineVisitor {
 public:
  virtual void Run(float* data, std::size_t floats) = 0;

 protected:
  ~TLineVisitor() = default;
};

// Offered the memory an owner's lines keep, one run at a time, in the order
// a TLineVisitor gets it: it may put another block of the same number of
// floats in the run's place (a zeroed one built on another thread) and keep
// the one it took. The owner reads its lines only through the pointer it
// is given back. Under the owner's lock, while its lines are not processed.
class TLineExchange {
 public:
  virtual void Exchange(std::unique_ptr<float[]>& line, std::size_t floats) = 0;

 protected:
  ~TLineExchange() = default;
};

class TLinePair {
 public:
  template <class F>
  void Allocate(std::int32_t floats, F underLock) {
    std::array<std::unique_ptr<float[]>, 2> fresh;
    for (auto& line : fresh) line.reset(new float[static_cast<std::size_t>(floats)]());
    std::swap(Lines, fresh);
    Floats = floats;
    underLock();
  }
  void Release();
  void Clear();
  // Both lines (while allocated), to the visitor.
  void Visit(TLineVisitor& visitor) const;
  // Both lines (while allocated), in the order Visit gives them.
  void Exchange(TLineExchange& exchange);

  bool IsAllocated() const { return Lines[0] != nullptr; }
  float* Line(int side) const { return Lines[static_cast<std::size_t>(side & 1)].get(); }
  // Floats per line; 0 while released.
  std::int32_t Size() const { return Floats; }

 private:
  std::array<std::unique_ptr<float[]>, 2> Lines;
  std::int32_t Floats = 0;
};
