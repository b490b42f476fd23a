// Objects kept for reuse instead of freed, as the interpreter keeps its own
// small objects: a read that makes thousands of one kind, after freeing the
// previous result's thousands, then skips the allocator both ways. The
// interpreter lock guards a stack, so builds without one keep nothing.
#pragma once

namespace velum {

template <typename T, int Capacity>
class KeptStack {
 public:
#ifdef Py_GIL_DISABLED
  static constexpr int kCapacity = 0;
#else
  static constexpr int kCapacity = Capacity;
#endif

  [[gnu::always_inline]] bool Empty() const noexcept { return kCapacity == 0 || count_ == 0; }
  [[gnu::always_inline]] bool Full() const noexcept { return count_ >= kCapacity; }
  // Only when not Empty().
  [[gnu::always_inline]] T* Pop() noexcept { return items_[--count_]; }
  // Only when not Full().
  [[gnu::always_inline]] void Push(T* item) noexcept { items_[count_++] = item; }
  int Size() const noexcept { return count_; }

 private:
  T* items_[kCapacity > 0 ? kCapacity : 1];
  int count_ = 0;
};

}  // namespace velum
