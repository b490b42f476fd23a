// Core unit: no Python.
// Wire-format primitives shared by the writer and the reader: tags, base-128
// varints and ZigZag.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

namespace velum {

// The wire type in the low three bits of a tag; 6 and 7 are invalid.
enum WireType : uint8_t {
  kWireVarint = 0,
  kWireFixed64 = 1,
  kWireLengthDelimited = 2,
  kWireStartGroup = 3,
  kWireEndGroup = 4,
  kWireFixed32 = 5,
};

}  // namespace velum

namespace velum::wire {

inline constexpr size_t kMaxVarintBytes = 10;
inline constexpr size_t kMaxTagBytes = 5;

constexpr uint32_t MakeTag(uint32_t field_number, uint32_t wire_type) noexcept {
  return (field_number << 3) | wire_type;
}
constexpr uint32_t TagFieldNumber(uint32_t tag) noexcept { return tag >> 3; }
constexpr uint32_t TagWireType(uint32_t tag) noexcept { return tag & 7; }

// Bytes taken by the shortest encoding of `value` (1 to 10).
constexpr size_t VarintSize(uint64_t value) noexcept {
  return (static_cast<size_t>(std::bit_width(value | 1)) + 6) / 7;
}

// Writes the shortest encoding of `value` to `out` (room for kMaxVarintBytes)
// and returns its length.
inline size_t EncodeVarint(uint64_t value, uint8_t* out) noexcept {
  size_t n = 0;
  while (value >= 0x80) {
    out[n++] = static_cast<uint8_t>(value | 0x80);
    value >>= 7;
  }
  out[n++] = static_cast<uint8_t>(value);
  return n;
}

// Writes the shortest encoding of `value` so that it ends just before `end`
// (room for kMaxVarintBytes in front of it) and returns its first byte.
inline uint8_t* EncodeVarintBefore(uint8_t* end, uint64_t value) noexcept {
  if (value < 0x80) {
    *--end = static_cast<uint8_t>(value);
    return end;
  }
  uint8_t* out = end - VarintSize(value);
  uint8_t* p = out;
  while (value >= 0x80) {
    *p++ = static_cast<uint8_t>(value) | 0x80;
    value >>= 7;
  }
  *p = static_cast<uint8_t>(value);
  return out;
}

// Signed values are sign-extended, so negative numbers always take 10 bytes.
constexpr uint64_t SignExtend(int64_t value) noexcept { return static_cast<uint64_t>(value); }

constexpr uint32_t ZigZagEncode32(int32_t n) noexcept {
  return (static_cast<uint32_t>(n) << 1) ^ static_cast<uint32_t>(n >> 31);
}
constexpr uint64_t ZigZagEncode64(int64_t n) noexcept {
  return (static_cast<uint64_t>(n) << 1) ^ static_cast<uint64_t>(n >> 63);
}
constexpr int32_t ZigZagDecode32(uint32_t n) noexcept {
  return static_cast<int32_t>((n >> 1) ^ (~(n & 1) + 1));
}
constexpr int64_t ZigZagDecode64(uint64_t n) noexcept {
  return static_cast<int64_t>((n >> 1) ^ (~(n & 1) + 1));
}

}  // namespace velum::wire
