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
inline constexpr uint64_t kScale[] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000, 100000000};

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

// The value of the first `n` bytes of `word` (1 to 7, all ASCII digits, the
// first in the lowest byte): moved up to the word's last bytes, '0's before.
inline uint32_t LeadingDigitsValue(uint64_t word, int n) noexcept {
  const int shift = 8 * (8 - n);
  return digit_detail::EightDigits((word << shift) | (digit_detail::kZeros >> (64 - shift)));
}

// The first byte in [p, end) that is not an ASCII digit, or `end`. A tail
// shorter than a word is read as the last word of the range, overlapping
// bytes already known to be digits, which add no stop.
inline const char* SkipDigits(const char* p, const char* end) noexcept {
  if constexpr (std::endian::native == std::endian::little) {
    if (end - p >= 8) {
      do {
        uint64_t word;
        std::memcpy(&word, p, 8);
        const uint64_t stops = digit_detail::NonDigitBits(word);
        if (stops != 0) return p + (std::countr_zero(stops) >> 3);
        p += 8;
      } while (end - p >= 8);
      if (p == end) return end;
      uint64_t word;
      std::memcpy(&word, end - 8, 8);
      const uint64_t stops = digit_detail::NonDigitBits(word);
      return stops != 0 ? end - 8 + (std::countr_zero(stops) >> 3) : end;
    }
  }
  while (p < end && static_cast<unsigned char>(*p - '0') <= 9) ++p;
  return p;
}

// Consumes the digit run at `p` and folds its digits into *value (value
// times ten per digit plus the digit, wrapping past 19 digits): where the
// run stops and what it is worth come from the same word.
[[gnu::always_inline]] inline const char* AccumulateDigits(const char* p, const char* end, uint64_t* value) noexcept {
  uint64_t v = *value;
  if constexpr (std::endian::native == std::endian::little) {
    while (end - p >= 8) {
      uint64_t word;
      std::memcpy(&word, p, 8);
      const uint64_t stops = digit_detail::NonDigitBits(word);
      if (stops == 0) {
        v = v * 100000000 + digit_detail::EightDigits(word);
        p += 8;
        continue;
      }
      const int n = std::countr_zero(stops) >> 3;  // digits before the stop
      if (n != 0) {
        // The n digits moved up to the word's last bytes, '0's before them.
        const int shift = 8 * (8 - n);
        word = (word << shift) | (digit_detail::kZeros >> (64 - shift));
        v = v * digit_detail::kScale[n] + digit_detail::EightDigits(word);
      }
      *value = v;
      return p + n;
    }
  }
  for (; p < end && static_cast<unsigned char>(*p - '0') <= 9; ++p) v = v * 10 + static_cast<uint64_t>(*p - '0');
  *value = v;
  return p;
}

// The value of `n` digits (at most 19, all of them ASCII digits). From eight
// digits on, a shorter tail is read as the run's last word, the digits
// already valued replaced by leading zeros.
inline uint64_t DigitsValue(const char* p, size_t n) noexcept {
  uint64_t value = 0;
  if constexpr (std::endian::native == std::endian::little) {
    if (n >= 8) {
      for (; n >= 8; n -= 8, p += 8) {
        uint64_t word;
        std::memcpy(&word, p, 8);
        value = value * 100000000 + digit_detail::EightDigits(word);
      }
      if (n == 0) return value;
      uint64_t word;
      std::memcpy(&word, p + n - 8, 8);
      const uint64_t valued = (uint64_t{1} << (8 * (8 - n))) - 1;  // the bytes before p
      word = (word & ~valued) | (digit_detail::kZeros & valued);
      return value * digit_detail::kScale[n] + digit_detail::EightDigits(word);
    }
  }
  for (; n > 0; --n) value = value * 10 + static_cast<uint64_t>(*p++ - '0');
  return value;
}

// Whether all `n` bytes at `p` (at most 19) are ASCII digits, and their
// value: a run of eight or more is read as whole words, the last one
// overlapping, each word checked and valued at once.
inline bool DigitRunValue(const char* p, size_t n, uint64_t* out) noexcept {
  if constexpr (std::endian::native == std::endian::little) {
    if (n >= 8) {
      uint64_t first;
      uint64_t last;
      std::memcpy(&first, p, 8);
      std::memcpy(&last, p + n - 8, 8);
      uint64_t stops = digit_detail::NonDigitBits(first) | digit_detail::NonDigitBits(last);
      uint64_t value = digit_detail::EightDigits(first);
      size_t rest = n - 8;  // digits after the first word, 0 to 11
      if (rest > 8) {
        uint64_t middle;
        std::memcpy(&middle, p + 8, 8);
        stops |= digit_detail::NonDigitBits(middle);
        value = value * 100000000 + digit_detail::EightDigits(middle);
        rest -= 8;
      }
      if (stops != 0) return false;
      if (rest != 0) {
        const uint64_t valued = (uint64_t{1} << (8 * (8 - rest))) - 1;  // bytes already valued
        last = (last & ~valued) | (digit_detail::kZeros & valued);
        value = value * digit_detail::kScale[rest] + digit_detail::EightDigits(last);
      }
      *out = value;
      return true;
    }
  }
  uint64_t value = 0;
  for (; n > 0; --n, ++p) {
    const auto digit = static_cast<unsigned char>(*p - '0');
    if (digit > 9) return false;
    value = value * 10 + digit;
  }
  *out = value;
  return true;
}

}  // namespace velum::json
