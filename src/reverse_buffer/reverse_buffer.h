// Core unit: no Python.
// The output buffer of the binary encoder. Content grows towards the front, so a
// nested record's length prefix is written after its payload without a size
// pre-pass and without moving bytes.
//
// Failure model: a growth that cannot be satisfied (allocation failure, or a
// capacity above the largest signed 64-bit value) leaves the buffer unchanged,
// drops the write that needed it and marks the buffer failed. The flag is
// sticky, so the writers stay branch-free for the caller; check ok() once
// before using the content (lengths measured after a failure are meaningless).
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

#include "common/copy_bytes.h"
#include "common/raw_alloc.h"
#include "common/wire.h"

namespace velum::reverse_buffer {

class ReverseBuffer {
 public:
  static constexpr uint64_t kFirstBlock = 128;

  ReverseBuffer() noexcept = default;
  // Starts in caller-owned storage (typically a stack array), so that small
  // content needs no allocation; the first growth moves to an owned block.
  // `block` must outlive the buffer and anything moved out of it.
  ReverseBuffer(uint8_t* block, uint64_t size) noexcept
      : storage_(block), capacity_(size), pos_(size), owned_(false) {}
  ReverseBuffer(ReverseBuffer&& other) noexcept
      : storage_(std::exchange(other.storage_, nullptr)),
        capacity_(std::exchange(other.capacity_, 0)),
        pos_(std::exchange(other.pos_, 0)),
        failed_(std::exchange(other.failed_, false)),
        owned_(std::exchange(other.owned_, true)) {}
  ReverseBuffer& operator=(ReverseBuffer&& other) noexcept {
    if (this != &other) {
      Release();
      storage_ = std::exchange(other.storage_, nullptr);
      capacity_ = std::exchange(other.capacity_, 0);
      pos_ = std::exchange(other.pos_, 0);
      failed_ = std::exchange(other.failed_, false);
      owned_ = std::exchange(other.owned_, true);
    }
    return *this;
  }
  ReverseBuffer(const ReverseBuffer&) = delete;
  ReverseBuffer& operator=(const ReverseBuffer&) = delete;
  ~ReverseBuffer() { Release(); }

  // False once any growth has failed.
  bool ok() const noexcept { return !failed_; }
  uint64_t capacity() const noexcept { return capacity_; }
  // The content, first byte first; null while no block is held.
  const uint8_t* data() const noexcept { return storage_ + pos_; }
  uint64_t size() const noexcept { return capacity_ - pos_; }
  uint64_t ContentLength() const noexcept { return capacity_ - pos_; }

  // Guarantees room for n more bytes in front of the content; false (and the
  // failed state) when that cannot be done.
  bool Reserve(uint64_t n) noexcept { return pos_ >= n || Grow(n); }
  // As Reserve, but a failure is only reported, not recorded: for room that is
  // merely expected to be useful.
  bool TryReserve(uint64_t n) noexcept { return pos_ >= n || Grow(n, /*sticky=*/false); }

  [[gnu::always_inline]] void PutByte(uint8_t b) noexcept {
    if (pos_ == 0 && !Grow(1)) [[unlikely]]
      return;
    storage_[--pos_] = b;
  }

  // `bytes` must not point into this buffer (a growth would free it).
  [[gnu::always_inline]] void PutBytes(const void* bytes, size_t n) noexcept {
    if (pos_ < n && !Grow(n)) [[unlikely]]
      return;
    pos_ -= n;
    CopyBytes(storage_ + pos_, static_cast<const uint8_t*>(bytes), n);
  }

  // Encoded in place: the length is known from the value's bit width, so the
  // bytes go straight to their final position.
  [[gnu::always_inline]] void PutVarint(uint64_t value) noexcept {
    if (value < 0x80) [[likely]] {
      PutByte(static_cast<uint8_t>(value));
      return;
    }
    if (pos_ < wire::kMaxVarintBytes && !Grow(wire::kMaxVarintBytes)) [[unlikely]]
      return;
    SetFront(wire::EncodeVarintBefore(Front(), value));
  }

  // Direct writing for tight loops: after Reserve(n) succeeded, the n bytes
  // before Front() may be written, then SetFront moves the start of the
  // content to the first byte written. No other write may come in between.
  uint8_t* Front() noexcept { return storage_ + pos_; }
  void SetFront(uint8_t* front) noexcept { pos_ = static_cast<uint64_t>(front - storage_); }

  [[gnu::always_inline]] void PutFixed32(uint32_t value) noexcept {
    if constexpr (std::endian::native == std::endian::big) value = __builtin_bswap32(value);
    PutBytes(&value, sizeof value);
  }

  [[gnu::always_inline]] void PutFixed64(uint64_t value) noexcept {
    if constexpr (std::endian::native == std::endian::big) value = __builtin_bswap64(value);
    PutBytes(&value, sizeof value);
  }

 private:
  bool Grow(uint64_t n, bool sticky = true) noexcept;
  void Release() noexcept {
    if (owned_) PyMem_RawFree(storage_);
  }

  // The content is storage_[pos_, capacity_): it always ends at the block's
  // end, so no separate end index is kept.
  uint8_t* storage_ = nullptr;
  uint64_t capacity_ = 0;
  uint64_t pos_ = 0;
  bool failed_ = false;
  bool owned_ = true;  // false while the content sits in the caller's block
};

}  // namespace velum::reverse_buffer

namespace velum {
using reverse_buffer::ReverseBuffer;
}  // namespace velum
