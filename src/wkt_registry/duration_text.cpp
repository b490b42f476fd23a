// Core unit: no Python.
#include "wkt_registry/duration_text.h"

#include <cstdint>

namespace velum::wkt {
namespace {

// One or more ASCII digits whose value fits int64; false otherwise.
bool ReadWholeSeconds(std::string_view digits, int64_t& out) noexcept {
  if (digits.empty()) return false;
  uint64_t value = 0;
  for (char c : digits) {
    if (!IsDigit(c)) return false;
    const auto digit = static_cast<uint64_t>(c - '0');
    if (value > (uint64_t{INT64_MAX} - digit) / 10) return false;
    value = value * 10 + digit;
  }
  out = static_cast<int64_t>(value);
  return true;
}

}  // namespace

TextError FormatDuration(SecondsNanos value, TimeText& out) noexcept {
  if (value.seconds < -kDurationSecondBound || value.seconds > kDurationSecondBound) {
    return TextError::kDurationSecondsRange;
  }
  if (value.nanos < -kNanosBound || value.nanos > kNanosBound) return TextError::kDurationNanosRange;
  if ((value.seconds > 0 && value.nanos < 0) || (value.seconds < 0 && value.nanos > 0)) {
    return TextError::kDurationSigns;
  }
  const bool negative = value.seconds < 0 || (value.seconds == 0 && value.nanos < 0);
  if (negative) out.Push('-');
  out.PushDecimal(static_cast<uint64_t>(value.seconds < 0 ? -value.seconds : value.seconds));
  out.PushFraction(static_cast<uint32_t>(value.nanos < 0 ? -value.nanos : value.nanos));
  out.Push('s');
  return TextError::kOk;
}

TextError ParseDuration(std::string_view text, SecondsNanos& out) noexcept {
  if (text.empty() || text.back() != 's') return TextError::kInvalidDuration;
  const char* readable = text.data();
  text.remove_suffix(1);
  const bool negative = !text.empty() && text[0] == '-';
  if (negative) text.remove_prefix(1);
  // ReadWholeSeconds accepts digits only, so a second sign fails there.
  const size_t dot = text.find('.');
  SecondsNanos value;
  if (!ReadWholeSeconds(text.substr(0, dot), value.seconds)) return TextError::kInvalidDuration;
  if (dot != std::string_view::npos && dot + 1 < text.size()) {
    value.nanos = ParseFraction(text.substr(dot + 1), readable);
    if (value.nanos < 0) return TextError::kInvalidDuration;
  }
  if (value.seconds > kDurationSecondBound) return TextError::kInvalidDuration;
  out = negative ? SecondsNanos{-value.seconds, -value.nanos} : value;
  return TextError::kOk;
}

}  // namespace velum::wkt
