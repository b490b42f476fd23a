// Core unit: no Python.
#include "json_sink/text_buffer.h"

#include <cstdint>

namespace velum::json_sink {

namespace {
constexpr size_t kFirstBlock = 64;
// Python's str cannot be longer than PY_SSIZE_T_MAX; a larger request is refused
// before the size arithmetic can wrap.
constexpr size_t kLimit = SIZE_MAX / 4;
}  // namespace

bool TextBuffer::Grow(size_t extra) noexcept {
  if (failed_ || extra > kLimit - size_) {
    failed_ = true;
    return false;
  }
  const size_t needed = size_ + extra;
  size_t capacity = capacity_ < kFirstBlock ? kFirstBlock : capacity_;
  while (capacity < needed) capacity *= 2;
  void* grown = borrowed_ ? PyMem_RawMalloc(capacity) : PyMem_RawRealloc(data_, capacity);
  if (grown == nullptr) {
    failed_ = true;
    return false;
  }
  if (borrowed_ && size_ != 0) std::memcpy(grown, data_, size_);
  borrowed_ = false;
  data_ = static_cast<char*>(grown);
  capacity_ = capacity;
  return true;
}

void TextBuffer::ShrinkToFit() noexcept {
  if (borrowed_ || data_ == nullptr || size_ == capacity_ || size_ == 0) return;
  // A shrink in place; should the allocator refuse, the larger block stays.
  void* shrunk = PyMem_RawRealloc(data_, size_);
  if (shrunk == nullptr) return;
  data_ = static_cast<char*>(shrunk);
  capacity_ = size_;
}

}  // namespace velum::json_sink
