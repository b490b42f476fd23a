// Core unit: no Python.
// The growable byte buffer behind the JSON text output, on the interpreter's
// raw allocator. A growth that cannot be satisfied drops the append that needed
// it and marks the buffer failed; the flag is sticky, so appenders need no
// branch of their own and the owner checks ok() once at the end. An owner may
// lend a first block (on its stack, say), so that small outputs never allocate.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

#include "common/copy_bytes.h"
#include "common/raw_alloc.h"

namespace velum::json_sink {

class TextBuffer {
 public:
  TextBuffer() noexcept = default;
  // Starts in `first_block`, which the owner keeps alive and unmoved for the
  // buffer's life; a growth beyond it moves the content to the heap.
  TextBuffer(char* first_block, size_t capacity) noexcept
      : data_(first_block), capacity_(capacity), borrowed_(true) {}
  TextBuffer(TextBuffer&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)),
        size_(std::exchange(other.size_, 0)),
        capacity_(std::exchange(other.capacity_, 0)),
        failed_(std::exchange(other.failed_, false)),
        borrowed_(std::exchange(other.borrowed_, false)) {}
  TextBuffer& operator=(TextBuffer&&) = delete;
  TextBuffer(const TextBuffer&) = delete;
  TextBuffer& operator=(const TextBuffer&) = delete;
  ~TextBuffer() {
    if (!borrowed_) PyMem_RawFree(data_);
  }

  bool ok() const noexcept { return !failed_; }
  const char* data() const noexcept { return data_; }
  size_t size() const noexcept { return size_; }
  size_t capacity() const noexcept { return capacity_; }
  bool empty() const noexcept { return size_ == 0; }
  char& back() noexcept { return data_[size_ - 1]; }

  // Room for `n` more bytes; null (and the buffer failed) when it cannot grow.
  // Write at most `n` bytes there, then Commit what was written.
  [[gnu::always_inline]] char* Reserve(size_t n) noexcept {
    if (n > capacity_ - size_) [[unlikely]] {
      if (!Grow(n)) return nullptr;
    }
    return data_ + size_;
  }
  void Commit(size_t n) noexcept { size_ += n; }

  [[gnu::always_inline]] void Append(const char* p, size_t n) noexcept {
    char* out = Reserve(n);
    if (out == nullptr) [[unlikely]]
      return;
    CopyBytes(out, p, n);
    size_ += n;
  }
  [[gnu::always_inline]] void Push(char c) noexcept {
    char* out = Reserve(1);
    if (out == nullptr) [[unlikely]]
      return;
    *out = c;
    ++size_;
  }
  // For loops writing many small items: the next byte's place and the end of
  // the room, kept in the loop's own locals (no reload after every byte
  // stored); Seek records where the loop stopped. Reserve makes more room.
  char* cursor() noexcept { return data_ + size_; }
  char* room_end() noexcept { return data_ + capacity_; }
  void Seek(char* p) noexcept { size_ = static_cast<size_t>(p - data_); }
  void Pop() noexcept {
    if (size_ != 0) --size_;
  }
  // Marks the buffer failed from outside (an append that was refused upstream).
  void Fail() noexcept { failed_ = true; }
  // Gives back the heap capacity beyond the content, so that a copy made of
  // it next does not sit beside up to twice its size.
  void ShrinkToFit() noexcept;

 private:
  bool Grow(size_t extra) noexcept;

  char* data_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
  bool failed_ = false;
  bool borrowed_ = false;  // data_ is the owner's first block, not ours to free
};

}  // namespace velum::json_sink
