// Core unit: no Python.
// Finding the end of the plain run of a JSON string eight bytes at a time:
// the first byte that is a quote, a backslash, a control byte (below 0x20) or
// not ASCII. Strings are mostly long runs of plain ASCII, so one word test
// replaces eight byte tests.
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

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

}  // namespace velum::json
