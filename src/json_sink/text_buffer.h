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
  // An owner's own storage in place of the raw allocator for the heap
  // block (the result object the text becomes, say, so that it need not be
  // copied at the end): `resize` returns a block of `capacity` bytes that
  // keeps the content of the one it last returned (none at first), like
  // realloc, or null when it cannot. The owner frees the block.
  struct BlockSource {
    char* (*resize)(void* owner, size_t capacity) noexcept = nullptr;
    void* owner = nullptr;
  };

  TextBuffer() noexcept = default;
  // Starts in `first_block`, which the owner keeps alive and unmoved for the
  // buffer's life; a growth beyond it moves the content to the heap.
  TextBuffer(char* first_block, size_t capacity) noexcept
      : data_(first_block), cursor_(first_block), end_(first_block + capacity), borrowed_(true) {}
  TextBuffer(TextBuffer&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)),
        cursor_(std::exchange(other.cursor_, nullptr)),
        end_(std::exchange(other.end_, nullptr)),
        source_(std::exchange(other.source_, BlockSource{})),
        failed_(std::exchange(other.failed_, false)),
        borrowed_(std::exchange(other.borrowed_, false)) {}
  TextBuffer& operator=(TextBuffer&&) = delete;
  TextBuffer(const TextBuffer&) = delete;
  TextBuffer& operator=(const TextBuffer&) = delete;
  ~TextBuffer() {
    if (!borrowed_ && source_.resize == nullptr) PyMem_RawFree(data_);
  }
  // Takes heap blocks from `source` from now on; only before the first growth.
  void UseBlockSource(BlockSource source) noexcept { source_ = source; }
  // Whether the content lies in a block of the source.
  bool InSourceBlock() const noexcept { return !borrowed_ && source_.resize != nullptr && data_ != nullptr; }

  bool ok() const noexcept { return !failed_; }
  const char* data() const noexcept { return data_; }
  size_t size() const noexcept { return static_cast<size_t>(cursor_ - data_); }
  size_t capacity() const noexcept { return static_cast<size_t>(end_ - data_); }
  bool empty() const noexcept { return cursor_ == data_; }
  char& back() noexcept { return cursor_[-1]; }

  // Room for `n` more bytes; null (and the buffer failed) when it cannot grow.
  // Write at most `n` bytes there, then Commit what was written.
  [[gnu::always_inline]] char* Reserve(size_t n) noexcept {
    if (n > static_cast<size_t>(end_ - cursor_)) [[unlikely]] {
      if (!Grow(n)) return nullptr;
    }
    return cursor_;
  }
  void Commit(size_t n) noexcept { cursor_ += n; }

  [[gnu::always_inline]] void Append(const char* p, size_t n) noexcept {
    char* out = Reserve(n);
    if (out == nullptr) [[unlikely]]
      return;
    CopyBytes(out, p, n);
    cursor_ = out + n;
  }
  [[gnu::always_inline]] void Push(char c) noexcept {
    char* out = Reserve(1);
    if (out == nullptr) [[unlikely]]
      return;
    *out = c;
    cursor_ = out + 1;
  }
  // For loops writing many small items: the next byte's place and the end of
  // the room, kept in the loop's own locals (no reload after every byte
  // stored); Seek records where the loop stopped. Reserve makes more room.
  char* cursor() noexcept { return cursor_; }
  char* room_end() noexcept { return end_; }
  void Seek(char* p) noexcept { cursor_ = p; }
  // Such a loop's room check: `n` bytes from `p`, growing the buffer (and
  // moving `p` and `end` with it) when the room ends sooner; false when it
  // cannot grow, the buffer then failed and nothing more to be written.
  [[gnu::always_inline]] bool RoomAt(char*& p, char*& end, size_t n) noexcept {
    if (static_cast<size_t>(end - p) >= n) [[likely]]
      return true;
    cursor_ = p;
    if (!Grow(n)) return false;
    p = cursor_;
    end = end_;
    return true;
  }
  void Pop() noexcept {
    if (cursor_ != data_) --cursor_;
  }
  // Marks the buffer failed from outside (an append that was refused upstream).
  void Fail() noexcept { failed_ = true; }
  // Gives back the heap capacity beyond the content, so that a copy made of
  // it next does not sit beside up to twice its size.
  void ShrinkToFit() noexcept;

 private:
  bool Grow(size_t extra) noexcept;

  // The write position and the end of the room are kept as pointers: an
  // append then reads two fields, not three, on the one chain every piece
  // of text waits for.
  char* data_ = nullptr;
  char* cursor_ = nullptr;
  char* end_ = nullptr;
  BlockSource source_;
  bool failed_ = false;
  bool borrowed_ = false;  // data_ is the owner's first block, not ours to free
};

}  // namespace velum::json_sink
