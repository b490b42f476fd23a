// Core unit: no Python.
// Runs of ASCII decimal digits eight at a time: where a run ends, and the
// value of a validated run. Numbers in JSON are mostly long digit runs.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace velum::json {

namespace digit_detail {

inline constexpr uint64_t kZeros = 0x3030303030303030u;

// The top bit of every byte that is not a digit is set (a byte below '0'
// borrows, one above '9' carries into its top bit). Borrows and carries only
// reach upwards, so the lowest set bit marks the first non-digit.
constexpr uint64_t NonDigitBits(uint64_t word) noexcept {
  return ((word - kZeros) | (word + 0x4646464646464646u)) & 0x8080808080808080u;
}

// The value of eight digit bytes, the first in the lowest byte.
constexpr uint32_t EightDigits(uint64_t word) noexcept {
  word -= kZeros;
  word = word * 10 + (word >> 8);
  word = (((word & 0x000000ff000000ffu) * (100 + (uint64_t{1000000} << 32))) +
          (((word >> 16) & 0x000000ff000000ffu) * (1 + (uint64_t{10000} << 32)))) >>
         32;
  return static_cast<uint32_t>(word);
}

}  // namespace digit_detail

// The first byte in [p, end) that is not an ASCII digit, or `end`.
inline const char* SkipDigits(const char* p, const char* end) noexcept {
  if constexpr (std::endian::native == std::endian::little) {
    while (end - p >= 8) {
      uint64_t word;
      std::memcpy(&word, p, 8);
      const uint64_t stops = digit_detail::NonDigitBits(word);
      if (stops != 0) return p + (std::countr_zero(stops) >> 3);
      p += 8;
    }
  }
  while (p < end && static_cast<unsigned char>(*p - '0') <= 9) ++p;
  return p;
}

// The value of `n` digits (at most 19, all of them ASCII digits).
inline uint64_t DigitsValue(const char* p, size_t n) noexcept {
  uint64_t value = 0;
  if constexpr (std::endian::native == std::endian::little) {
    for (; n >= 8; n -= 8, p += 8) {
      uint64_t word;
      std::memcpy(&word, p, 8);
      value = value * 100000000 + digit_detail::EightDigits(word);
    }
  }
  for (; n > 0; --n) value = value * 10 + static_cast<uint64_t>(*p++ - '0');
  return value;
}

}  // namespace velum::json
