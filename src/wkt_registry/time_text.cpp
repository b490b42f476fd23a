// Core unit: no Python.
#include "wkt_registry/time_text.h"

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

}  // namespace velum::wkt
