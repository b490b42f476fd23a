// Core unit: no Python.
#include "wkt_registry/time_text.h"

#include <bit>

#include "json_parse/digit_scan.h"

namespace velum::wkt {

void TimeText::PushDigits(uint64_t value, int width) noexcept {
  char* at = data_ + size_ + static_cast<size_t>(width);
  int left = width;
  for (; left >= 2; left -= 2) {
    const uint64_t pair = value % 100;
    value /= 100;
    at -= 2;
    std::memcpy(at, kDigitPairs + 2 * pair, 2);
  }
  if (left != 0) *--at = static_cast<char>('0' + value % 10);
  size_ += static_cast<size_t>(width);
}

void TimeText::PushDecimal(uint64_t value) noexcept {
  int width = 1;
  for (uint64_t rest = value / 10; rest != 0; rest /= 10) ++width;
  PushDigits(value, width);
}

void TimeText::PushFraction(uint32_t nanos) noexcept {
  if (nanos == 0) return;
  Push('.');
  if (nanos % 1000000 == 0) {
    PushDigits(nanos / 1000000, 3);
  } else if (nanos % 1000 == 0) {
    PushDigits(nanos / 1000, 6);
  } else {
    PushDigits(nanos, 9);
  }
}

int32_t ParseFraction(std::string_view digits) noexcept {
  if (digits.empty() || digits.size() > 9) return -1;
  int32_t value = 0;
  for (char c : digits) {
    if (!IsDigit(c)) return -1;
    value = value * 10 + (c - '0');
  }
  for (size_t i = digits.size(); i < 9; ++i) value *= 10;
  return value;
}

int32_t ParseFraction(std::string_view digits, const char* readable) noexcept {
  const size_t n = digits.size();
  const char* end = digits.data() + n;
  if constexpr (std::endian::native == std::endian::little) {
    if (n - 1 < 9 && end - readable >= 8) {
      using json::digit_detail::kZeros;
      uint64_t word;
      std::memcpy(&word, end - 8, 8);
      uint32_t head = 0;  // the ninth digit from the end, when there is one
      if (n == 9) {
        head = static_cast<unsigned char>(digits[0] - '0');
        if (head > 9) return -1;
      } else {
        const uint64_t before = (uint64_t{1} << (8 * (8 - n))) - 1;  // bytes before the digits
        word = (word & ~before) | (kZeros & before);
      }
      if (json::digit_detail::NonDigitBits(word) != 0) return -1;
      static constexpr int32_t kScale[] = {100000000, 10000000, 1000000, 100000, 10000, 1000, 100, 10, 1};
      const auto tail = static_cast<int32_t>(json::digit_detail::EightDigits(word));
      return n == 9 ? static_cast<int32_t>(head) * 100000000 + tail : tail * kScale[n - 1];
    }
  }
  return ParseFraction(digits);
}

}  // namespace velum::wkt
