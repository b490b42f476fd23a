// Core unit: no Python.
#include "bitset/presence_bits.h"

#include <bit>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <functional>
#include <thread>

namespace velum::bitset {

namespace {

constexpr uint32_t kFirstSetCapacity = 8;
constexpr uint32_t kMaxSetCapacity = uint32_t{1} << 31;

size_t HomeSlot(uint32_t number, uint32_t capacity) noexcept {
  return static_cast<size_t>((uint64_t{number} * 0x9E3779B97F4A7C15ull) >> 32) & (capacity - 1);
}

}  // namespace

PresenceBits::Lock::Lock(const PresenceBits& bits) noexcept : flag_(bits.lock_) {
  while (flag_.test_and_set(std::memory_order_acquire)) std::this_thread::yield();
}

PresenceBits::~PresenceBits() {
  if (form_ == Form::kSet) PyMem_RawFree(set_.slots);
}

bool PresenceBits::Get(uint32_t number) const noexcept {
  Lock lock(*this);
  return GetLocked(number);
}

bool PresenceBits::Set(uint32_t number) noexcept {
  Lock lock(*this);
  return SetLocked(number);
}

bool PresenceBits::Clear(uint32_t number) noexcept {
  Lock lock(*this);
  return ClearLocked(number);
}

Status PresenceBits::MergeFrom(const PresenceBits& source) {
  if (&source == this) return Status::Ok();
  // A fixed order of the two locks, so that opposite merges cannot deadlock.
  const bool this_first = std::less<const PresenceBits*>()(this, &source);
  Lock first(this_first ? *this : source);
  Lock second(this_first ? source : *this);
  return MergeLocked(source);
}

Status PresenceBits::MergeFromUnshared(const PresenceBits& source) {
  if (&source == this) return Status::Ok();
  Lock lock(source);
  if (form_ == Form::kFixed && source.form_ == Form::kFixed) [[likely]] {
    for (size_t w = 0; w < kWords; ++w) words_[w] |= source.words_[w];
    return Status::Ok();
  }
  return MergeLocked(source);
}

RawVector<uint32_t> PresenceBits::List() const {
  RawVector<uint32_t> numbers;
  Lock lock(*this);
  if (form_ == Form::kFixed) {
    for (size_t w = 0; w < kWords; ++w) {
      for (uint64_t word = words_[w]; word != 0; word &= word - 1) {
        numbers.push_back(static_cast<uint32_t>(w * 64 + static_cast<size_t>(std::countr_zero(word))));
      }
    }
  } else {
    numbers.reserve(set_.count);
    for (uint32_t i = 0; i < set_.capacity; ++i) {
      if (set_.slots[i] != 0) numbers.push_back(static_cast<uint32_t>(set_.slots[i] - 1));
    }
  }
  return numbers;
}

size_t PresenceBits::Count() const noexcept {
  Lock lock(*this);
  if (form_ == Form::kSet) return set_.count;
  size_t count = 0;
  for (uint64_t word : words_) count += static_cast<size_t>(std::popcount(word));
  return count;
}

Status PresenceBits::FailureStatus(uint32_t number) const {
  if (form_ == Form::kSet) return Status(ErrorKind::kMemory, "out of memory for presence bits");
  char text[96];
  const int n = std::snprintf(text, sizeof text, "field number %" PRIu32 " out of range for presence bits (0 to %" PRIu32 ")",
                              number, kFixedBits - 1);
  return Status(ErrorKind::kValue, std::string_view(text, n < 0 ? 0 : static_cast<size_t>(n)));
}

bool PresenceBits::GetLocked(uint32_t number) const noexcept {
  if (form_ == Form::kFixed) {
    return number < kFixedBits && ((words_[number / 64] >> (number % 64)) & 1) != 0;
  }
  if (set_.capacity == 0) return false;
  return set_.slots[SetFind(number)] != 0;
}

bool PresenceBits::SetLocked(uint32_t number) noexcept {
  if (form_ == Form::kFixed) {
    if (number >= kFixedBits) return false;
    words_[number / 64] |= uint64_t{1} << (number % 64);
    return true;
  }
  return SetInsert(number);
}

bool PresenceBits::ClearLocked(uint32_t number) noexcept {
  if (form_ == Form::kFixed) {
    if (number >= kFixedBits) return false;
    words_[number / 64] &= ~(uint64_t{1} << (number % 64));
    return true;
  }
  if (set_.capacity == 0) return true;
  size_t hole = SetFind(number);
  if (set_.slots[hole] == 0) return true;
  // Backward-shift deletion keeps every probe chain unbroken without tombstones.
  const size_t mask = set_.capacity - 1;
  set_.slots[hole] = 0;
  --set_.count;
  for (size_t next = (hole + 1) & mask; set_.slots[next] != 0; next = (next + 1) & mask) {
    const size_t home = HomeSlot(static_cast<uint32_t>(set_.slots[next] - 1), set_.capacity);
    // The entry may move into the hole unless its home lies cyclically in (hole, next].
    const bool stays = hole <= next ? (home > hole && home <= next) : (home > hole || home <= next);
    if (stays) continue;
    set_.slots[hole] = set_.slots[next];
    set_.slots[next] = 0;
    hole = next;
  }
  return true;
}

Status PresenceBits::MergeLocked(const PresenceBits& source) {
  if (form_ == Form::kFixed && source.form_ == Form::kFixed) {
    for (size_t w = 0; w < kWords; ++w) words_[w] |= source.words_[w];
    return Status::Ok();
  }
  if (source.form_ == Form::kFixed) {
    for (size_t w = 0; w < kWords; ++w) {
      for (uint64_t word = source.words_[w]; word != 0; word &= word - 1) {
        const auto number = static_cast<uint32_t>(w * 64 + static_cast<size_t>(std::countr_zero(word)));
        if (!SetInsert(number)) return FailureStatus(number);
      }
    }
    return Status::Ok();
  }
  for (uint32_t i = 0; i < source.set_.capacity; ++i) {
    if (source.set_.slots[i] == 0) continue;
    const auto number = static_cast<uint32_t>(source.set_.slots[i] - 1);
    if (!SetLocked(number)) return FailureStatus(number);
  }
  return Status::Ok();
}

size_t PresenceBits::SetFind(uint32_t number) const noexcept {
  const size_t mask = set_.capacity - 1;
  const uint64_t stored = uint64_t{number} + 1;
  size_t i = HomeSlot(number, set_.capacity);
  while (set_.slots[i] != 0 && set_.slots[i] != stored) i = (i + 1) & mask;
  return i;
}

bool PresenceBits::SetInsert(uint32_t number) noexcept {
  if (set_.capacity != 0) {
    const size_t i = SetFind(number);
    if (set_.slots[i] != 0) return true;
  }
  // Keep the load at most three quarters so that probe chains stay short.
  if ((uint64_t{set_.count} + 1) * 4 > uint64_t{set_.capacity} * 3 && !SetGrow()) return false;
  set_.slots[SetFind(number)] = uint64_t{number} + 1;
  ++set_.count;
  return true;
}

bool PresenceBits::SetGrow() noexcept {
  if (set_.capacity >= kMaxSetCapacity) return false;
  const uint32_t capacity = set_.capacity == 0 ? kFirstSetCapacity : set_.capacity * 2;
  const size_t bytes = size_t{capacity} * sizeof(uint64_t);
  auto* slots = static_cast<uint64_t*>(PyMem_RawMalloc(bytes));
  if (slots == nullptr) return false;
  std::memset(slots, 0, bytes);
  NumberSet old = set_;
  set_ = NumberSet{slots, capacity, old.count};
  for (uint32_t i = 0; i < old.capacity; ++i) {
    if (old.slots[i] != 0) set_.slots[SetFind(static_cast<uint32_t>(old.slots[i] - 1))] = old.slots[i];
  }
  PyMem_RawFree(old.slots);
  return true;
}

}  // namespace velum::bitset
