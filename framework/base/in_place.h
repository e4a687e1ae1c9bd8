// Storage for an object whose class changes at run time among a fixed
// family (a filter type, a shaper, a waveform): allocated once, when the
// owner is made, for the largest member of the family, and every later
// change of class constructs into it. A change of class then never touches
// the heap, so it may happen on the audio thread.
//
// There are two slots: the next object is built while the current one
// still exists (the owner carries its settings over), then Commit makes it
// current and destroys the other in place. The family's members must not
// own heap memory of their own that their construction allocates or their
// destruction frees (the callers' tests check that a change allocates
// nothing).
//
// Threads: none of its own; the owner's rules apply (it changes the object
// under its owner's lock or on the audio thread).
#pragma once

#include <cstddef>
#include <new>

// The size and alignment a family's storage needs, and how to construct a
// member in it.
struct TInPlaceSize {
  std::size_t Size;
  std::size_t Align;
};

// The storage that every entry of a family's type table needs (each entry
// has Size and Align), starting from what `least` already asks.
template <class TTable>
constexpr TInPlaceSize LargestOf(const TTable& types, TInPlaceSize least = {0, 1}) {
  for (const auto& t : types) {
    least.Size = t.Size > least.Size ? t.Size : least.Size;
    least.Align = t.Align > least.Align ? t.Align : least.Align;
  }
  return least;
}

template <class TBase>
class TInPlacePair {
 public:
  using TConstruct = TBase* (*)(void* storage);

  explicit TInPlacePair(TInPlaceSize need)
      : SlotBytes((need.Size + need.Align - 1) / need.Align * need.Align),
        Align(need.Align < alignof(std::max_align_t) ? alignof(std::max_align_t) : need.Align),
        Storage(static_cast<std::byte*>(::operator new(2 * SlotBytes, std::align_val_t(Align)))) {}
  ~TInPlacePair() {
    if (Objects[0] != nullptr) Objects[0]->~TBase();
    if (Objects[1] != nullptr) Objects[1]->~TBase();
    ::operator delete(Storage, std::align_val_t(Align));
  }
  TInPlacePair(const TInPlacePair&) = delete;
  TInPlacePair& operator=(const TInPlacePair&) = delete;

  // Constructs a member in the free slot (an object left there from an
  // uncommitted build is destroyed first) and answers it.
  TBase* BuildNext(TConstruct construct) {
    const int next = 1 - CurrentSlot;
    if (Objects[next] != nullptr) {
      Objects[next]->~TBase();
      Objects[next] = nullptr;
    }
    Objects[next] = construct(Storage + static_cast<std::size_t>(next) * SlotBytes);
    return Objects[next];
  }
  // The object built last becomes current; the one before is destroyed.
  void Commit() {
    const int next = 1 - CurrentSlot;
    if (Objects[next] == nullptr) return;
    if (Objects[CurrentSlot] != nullptr) {
      Objects[CurrentSlot]->~TBase();
      Objects[CurrentSlot] = nullptr;
    }
    CurrentSlot = next;
  }
  TBase* Current() const { return Objects[CurrentSlot]; }

 private:
  std::size_t SlotBytes;
  std::size_t Align;
  std::byte* Storage;
  TBase* Objects[2] = {nullptr, nullptr};
  int CurrentSlot = 0;
};

// A family member's entry: constructs a T in the storage given.
template <class TBase, class T>
TBase* ConstructInPlace(void* storage) {
  return new (storage) T();
}
