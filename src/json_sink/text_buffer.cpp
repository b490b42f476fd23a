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
  const size_t size = this->size();
  if (failed_ || extra > kLimit - size) {
    failed_ = true;
    return false;
  }
  const size_t needed = size + extra;
  size_t capacity = this->capacity() < kFirstBlock ? kFirstBlock : this->capacity();
  while (capacity < needed) capacity *= 2;
  void* grown = source_.resize != nullptr ? source_.resize(source_.owner, capacity)
               : borrowed_                 ? PyMem_RawMalloc(capacity)
                                           : PyMem_RawRealloc(data_, capacity);
  if (grown == nullptr) {
    failed_ = true;
    return false;
  }
  if (borrowed_ && size != 0) std::memcpy(grown, data_, size);
  borrowed_ = false;
  data_ = static_cast<char*>(grown);
  cursor_ = data_ + size;
  end_ = data_ + capacity;
  return true;
}

void TextBuffer::ShrinkToFit() noexcept {
  const size_t size = this->size();
  if (borrowed_ || data_ == nullptr || cursor_ == end_ || size == 0) return;
  // A shrink in place; should the allocator refuse, the larger block stays.
  void* shrunk = source_.resize != nullptr ? source_.resize(source_.owner, size) : PyMem_RawRealloc(data_, size);
  if (shrunk == nullptr) return;
  data_ = static_cast<char*>(shrunk);
  cursor_ = end_ = data_ + size;
}

}  // namespace velum::json_sink
