// Core unit: no Python.
#include "reverse_buffer/reverse_buffer.h"

#include <limits>

namespace velum::reverse_buffer {

namespace {

// Sizes must stay representable as a signed 64-bit value and as an object size.
constexpr uint64_t kMaxCapacity =
    static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) < static_cast<uint64_t>(PTRDIFF_MAX)
        ? static_cast<uint64_t>(std::numeric_limits<int64_t>::max())
        : static_cast<uint64_t>(PTRDIFF_MAX);

}  // namespace

bool ReverseBuffer::Grow(uint64_t n, bool sticky) noexcept {
  const uint64_t length = capacity_ - pos_;
  if (n > kMaxCapacity - length) {
    failed_ = failed_ || sticky;
    return false;
  }
  const uint64_t need = length + n;
  const uint64_t capacity = need <= kFirstBlock ? kFirstBlock : std::bit_ceil(need);
  if (capacity > kMaxCapacity) {
    failed_ = failed_ || sticky;
    return false;
  }
  auto* block = static_cast<uint8_t*>(PyMem_RawMalloc(static_cast<size_t>(capacity)));
  if (block == nullptr) {
    failed_ = failed_ || sticky;
    return false;
  }
  if (length != 0) std::memcpy(block + (capacity - length), storage_ + pos_, static_cast<size_t>(length));
  Release();
  owned_ = true;
  storage_ = block;
  capacity_ = capacity;
  pos_ = capacity - length;
  return true;
}

}  // namespace velum::reverse_buffer
