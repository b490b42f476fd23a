// Core unit: no Python.
// What the Timestamp and Duration texts share: the seconds/nanos pair, the
// range constants, a fixed output buffer (neither text needs an allocation)
// and the fraction digits in both directions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace velum::wkt {

inline constexpr int64_t kFirstTimestampSecond = -62135596800;  // 0001-01-01T00:00:00Z
inline constexpr int64_t kLastTimestampSecond = 253402300799;   // 9999-12-31T23:59:59Z
inline constexpr int64_t kDurationSecondBound = 315576000000;   // 10000 years of 365.25 days
inline constexpr int32_t kNanosBound = 999999999;
inline constexpr int32_t kNanosPerSecond = 1000000000;

struct SecondsNanos {
  int64_t seconds = 0;
  int32_t nanos = 0;
};

// "00" … "99": two digits per division.
inline constexpr char kDigitPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// Large enough for the longest text either type writes.
class TimeText {
 public:
  std::string_view view() const noexcept { return {data_, size_}; }
  void Push(char c) noexcept { data_[size_++] = c; }
  // `value` (below 100) as two digits: the fields of a date and a time.
  void PushTwo(uint32_t value) noexcept {
    std::memcpy(data_ + size_, kDigitPairs + 2 * value, 2);
    size_ += 2;
  }
  // `value` as exactly `width` digits, zero-padded; value must be below 10^width.
  void PushDigits(uint64_t value, int width) noexcept;
  // `value` in decimal without padding.
  void PushDecimal(uint64_t value) noexcept;
  // Nothing for 0, else "." and 3, 6 or 9 digits: as few as show `nanos`
  // (0 … 999999999) exactly.
  void PushFraction(uint32_t nanos) noexcept;

 private:
  char data_[40];
  size_t size_ = 0;
};

// 1 to 9 ASCII digits scaled to nanoseconds ("5" is 500000000); -1 when
// `digits` is empty, longer than 9 or holds a non-digit.
int32_t ParseFraction(std::string_view digits) noexcept;
// As ParseFraction, where the bytes from `readable` up to the end of `digits`
// belong to the same text: when they are eight or more, the last eight are
// checked and valued as one word, the bytes before the digits counted as '0's.
int32_t ParseFraction(std::string_view digits, const char* readable) noexcept;

constexpr bool IsDigit(char c) noexcept { return c >= '0' && c <= '9'; }

}  // namespace velum::wkt
