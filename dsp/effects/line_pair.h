// Two zeroed delay lines of equal size, one per side, that an effect reads
// and writes on the audio thread.
//
// Threads: the owner calls Allocate with its plug-in's lock held (a
// settings change); it builds the new pair, swaps it in and runs
// `underLock` (for lengths and positions that must fit the new size before
// the next sub-block). Release frees under that lock too. Clear and the
// accessors belong to the thread that holds the lock (the audio thread
// while it renders).
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

  bool IsAllocated() const { return Lines[0] != nullptr; }
  float* Line(int side) const { return Lines[static_cast<std::size_t>(side & 1)].get(); }
  // Floats per line; 0 while released.
  std::int32_t Size() const { return Floats; }

 private:
  std::array<std::unique_ptr<float[]>, 2> Lines;
  std::int32_t Floats = 0;
};
