// Core unit: no Python.
// Finding the end of the plain run of a JSON string eight bytes at a time:
// the first byte that is a quote, a backslash, a control byte (below 0x20) or
// not ASCII. Strings are mostly long runs of plain ASCII, so one word test
// replaces eight byte tests.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

#include "common/utf8_text.h"

namespace velum::json {

namespace scan_detail {

inline constexpr uint64_t kOnes = 0x0101010101010101u;
inline constexpr uint64_t kTops = 0x8080808080808080u;

// The top bit of a byte of the result is set for every byte of `word` that
// stops the run. A set bit may also appear above a byte that truly stops it
// (borrows), never below, so the lowest set bit marks the first stop.
constexpr uint64_t StopBits(uint64_t word) noexcept {
  const uint64_t quote = word ^ (kOnes * '"');
  const uint64_t backslash = word ^ (kOnes * '\\');
  const uint64_t zero_quote = (quote - kOnes) & ~quote;
  const uint64_t zero_backslash = (backslash - kOnes) & ~backslash;
  const uint64_t control = (word - kOnes * 0x20) & ~word;
  return (zero_quote | zero_backslash | control | word) & kTops;
}

constexpr bool IsStop(uint8_t c) noexcept { return c == '"' || c == '\\' || c < 0x20 || c >= 0x80; }

}  // namespace scan_detail

// The first byte in [p, end) that stops a plain run, or `end`.
inline const uint8_t* SkipPlainRun(const uint8_t* p, const uint8_t* end) noexcept {
  if constexpr (std::endian::native == std::endian::little) {
    while (end - p >= 8) {
      uint64_t word;
      std::memcpy(&word, p, 8);
      const uint64_t stops = scan_detail::StopBits(word);
      if (stops != 0) return p + (std::countr_zero(stops) >> 3);
      p += 8;
    }
  }
  while (p < end && !scan_detail::IsStop(*p)) ++p;
  return p;
}

// Whether the texts at `a` and `b` agree on `n` bytes, 1 <= n <= 16, all of
// them plain (as SkipPlainRun would pass them), without a call or a loop.
// `a_room` bytes may be read from `a` (at least `n`); `b` is read within its
// `n` bytes only.
inline bool SamePlainText(const char* a, size_t a_room, const char* b, size_t n) noexcept {
  if (n < 8 && a_room >= 8) {
    // A whole word of `a`, cut to `n` bytes, against `b` assembled from at
    // most two overlapping loads; the bytes beyond `n` count as plain.
    uint64_t word;
    std::memcpy(&word, a, 8);
    const uint64_t mask = ~uint64_t{0} >> (64 - 8 * n);
    uint64_t want;
    if (n >= 4) {
      uint32_t low, high;
      std::memcpy(&low, b, 4);
      std::memcpy(&high, b + n - 4, 4);
      want = low | uint64_t{high} << (8 * (n - 4));
    } else {
      want = static_cast<uint8_t>(b[0]) | uint64_t{static_cast<uint8_t>(b[n / 2])} << (8 * (n / 2)) |
             uint64_t{static_cast<uint8_t>(b[n - 1])} << (8 * (n - 1));
    }
    word &= mask;
    return word == want && scan_detail::StopBits(word | (~mask & 0x6161616161616161u)) == 0;
  }
  uint64_t a0 = 0, b0 = 0, a1 = 0, b1 = 0;
  if (n >= 8) {
    std::memcpy(&a0, a, 8);
    std::memcpy(&b0, b, 8);
    std::memcpy(&a1, a + n - 8, 8);
    std::memcpy(&b1, b + n - 8, 8);
    return ((a0 ^ b0) | (a1 ^ b1)) == 0 && (scan_detail::StopBits(a0) | scan_detail::StopBits(a1)) == 0;
  }
  // Near the end of the text: byte by byte.
  a0 = 0x6161616161616161u;
  for (size_t i = 0; i < n; ++i) {
    if (a[i] != b[i]) return false;
    a0 = (a0 << 8) | static_cast<uint8_t>(a[i]);
  }
  return scan_detail::StopBits(a0) == 0;
}

// From a non-ASCII byte at `p`: past the well-formed multi-byte sequences
// that follow one another there (text in other scripts is mostly such runs),
// up to the first ASCII byte, the end, or a malformed sequence, which the
// caller finds where this stops. Widens `max_char` to the widest character
// class met and counts the bytes beyond the first of each sequence.
inline const uint8_t* SkipMultiByteRun(const uint8_t* p, const uint8_t* end, uint32_t& max_char,
                                       size_t& continuation) noexcept {
  while (p < end && *p >= 0x80) {
    const size_t n = utf8::SequenceLength(p, static_cast<size_t>(end - p));
    if (n == 0) break;
    const uint8_t c = *p;
    const uint32_t width = c < 0xc4 ? utf8::kLatin1Max : c < 0xf0 ? utf8::kBmpMax : utf8::kUnicodeMax;
    if (width > max_char) max_char = width;
    continuation += n - 1;
    p += n;
  }
  return p;
}

}  // namespace velum::json
