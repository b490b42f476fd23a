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
  void* grown = PyMem_RawRealloc(data_, capacity);
  if (grown == nullptr) {
    failed_ = true;
    return false;
  }
  data_ = static_cast<char*>(grown);
  capacity_ = capacity;
  return true;
}

}  // namespace velum::json_sink
