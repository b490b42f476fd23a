// Core unit: no Python.
// Which explicit-presence fields of a message instance are set. Lives inline in
// every instance, so it is small and placement-constructible: the fixed form
// keeps one bit per field number below 320; the set form (types with larger
// numbers, or without a marshaler) keeps a hash set that is allocated on the
// first insertion.
//
// Every access takes a tiny per-instance spin lock. Callers hold the GIL, so it
// is never contended in practice; it only guards against unlocked callers.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "common/raw_alloc.h"
#include "common/status.h"

namespace velum::bitset {

class PresenceBits {
 public:
  enum class Form : uint8_t { kFixed, kSet };

  static constexpr uint32_t kFixedBits = 320;

  // The form for a type whose highest field number is `highest`.
  static constexpr Form FormFor(uint32_t highest) noexcept { return highest < kFixedBits ? Form::kFixed : Form::kSet; }

  explicit PresenceBits(Form form) noexcept;
  PresenceBits(const PresenceBits&) = delete;
  PresenceBits& operator=(const PresenceBits&) = delete;
  ~PresenceBits();

  Form form() const noexcept { return form_; }

  bool Get(uint32_t number) const noexcept;
  // False when the number cannot be recorded: 320 or more on the fixed form
  // (the state is left as it was), or no memory to grow the set. Use
  // FailureStatus for the error to report.
  [[nodiscard]] bool Set(uint32_t number) noexcept;
  // False only for 320 or more on the fixed form.
  [[nodiscard]] bool Clear(uint32_t number) noexcept;
  // Every number present in `source` becomes present here. Both normally have
  // the same form; a fixed-form target rejects numbers of 320 or more. On
  // failure the numbers recorded before stay.
  Status MergeFrom(const PresenceBits& source);
  // MergeFrom into bits no other thread can reach yet (a new instance's):
  // only the source is locked.
  Status MergeFromUnshared(const PresenceBits& source);
  // The present numbers: ascending in the fixed form, in table order in the
  // set form. Throws std::bad_alloc like the other raw containers.
  RawVector<uint32_t> List() const;
  size_t Count() const noexcept;

  // The error for a Set or Clear of `number` that returned false.
  Status FailureStatus(uint32_t number) const;

 private:
  static constexpr size_t kWords = kFixedBits / 64;

  // Open addressing with linear probing; a slot holds number + 1, 0 is free.
  struct NumberSet {
    uint64_t* slots;
    uint32_t capacity;  // a power of two, or 0 before the first insertion
    uint32_t count;
  };

  class Lock {
   public:
    explicit Lock(const PresenceBits& bits) noexcept;
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;
    ~Lock() { flag_.clear(std::memory_order_release); }

   private:
    std::atomic_flag& flag_;
  };

  bool GetLocked(uint32_t number) const noexcept;
  bool SetLocked(uint32_t number) noexcept;
  bool ClearLocked(uint32_t number) noexcept;
  Status MergeLocked(const PresenceBits& source);
  bool SetInsert(uint32_t number) noexcept;
  bool SetGrow() noexcept;
  size_t SetFind(uint32_t number) const noexcept;

  mutable std::atomic_flag lock_;
  Form form_;
  union {
    uint64_t words_[kWords];
    NumberSet set_;
  };
};

// Inline: every instance made, a kept one included, starts here.
inline PresenceBits::PresenceBits(Form form) noexcept : form_(form) {
  if (form_ == Form::kFixed) {
    for (uint64_t& word : words_) word = 0;
  } else {
    set_ = NumberSet{nullptr, 0, 0};
  }
}

}  // namespace velum::bitset

namespace velum {
using bitset::PresenceBits;
}  // namespace velum
