// Core unit: no Python.
// A JSON string as the maker of a str needs it: either plain ASCII text in
// place (one copy makes the str) or its code points already decoded, with
// their count and widest class, so that the str is allocated once at its
// final width and filled by a plain copy instead of a second UTF-8 decode.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "common/raw_alloc.h"
#include "common/utf8_text.h"

namespace velum::json {

struct StringUnits {
  // Set when the string is ASCII with no escape: `ascii` is its text.
  bool in_place = true;
  std::string_view ascii;
  // Otherwise the decoded code points, valid until the next string read.
  const uint32_t* units = nullptr;
  size_t length = 0;
  uint32_t max_char = utf8::kAsciiMax;  // one of the utf8::k*Max bounds
};

// The widest class of a set of code points from their bitwise or: the class
// bounds are powers of two less one, so the or falls in the class of the
// largest point.
constexpr uint32_t WidthOfBits(uint32_t bits) noexcept {
  return bits <= utf8::kAsciiMax ? utf8::kAsciiMax
         : bits <= utf8::kLatin1Max ? utf8::kLatin1Max
         : bits <= utf8::kBmpMax    ? utf8::kBmpMax
                                    : utf8::kUnicodeMax;
}

// A growable array of code points on the raw allocator, kept by the
// tokenizer across strings so that decoding allocates only to grow.
class UnitBuffer {
 public:
  UnitBuffer() noexcept = default;
  UnitBuffer(const UnitBuffer&) = delete;
  UnitBuffer& operator=(const UnitBuffer&) = delete;
  ~UnitBuffer() {
    if (data_ != nullptr) PyMem_RawFree(data_);
  }

  uint32_t* data() noexcept { return data_; }
  // Room for at least `n` units; false when the allocator refuses.
  [[nodiscard]] bool Reserve(size_t n) noexcept {
    if (n <= capacity_) [[likely]]
      return true;
    return Grow(n);
  }

 private:
  bool Grow(size_t n) noexcept {
    size_t capacity = capacity_ < 64 ? 64 : capacity_;
    while (capacity < n) capacity *= 2;
    if (capacity > SIZE_MAX / sizeof(uint32_t)) return false;
    void* grown = PyMem_RawRealloc(data_, capacity * sizeof(uint32_t));
    if (grown == nullptr) return false;
    data_ = static_cast<uint32_t*>(grown);
    capacity_ = capacity;
    return true;
  }

  uint32_t* data_ = nullptr;
  size_t capacity_ = 0;
};

}  // namespace velum::json
