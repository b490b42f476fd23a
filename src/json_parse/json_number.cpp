// Core unit: no Python.
#include "json_parse/json_number.h"

#include <charconv>
#include <cmath>
#include <limits>

#include "json_parse/digit_scan.h"

namespace velum::json {

namespace {

bool IsDigit(char c) noexcept { return c >= '0' && c <= '9'; }

// from_chars reports a result outside the double range without a value. The
// decimal exponent of the first significant digit tells overflow (±inf)
// from underflow (±0); the exponent is saturated so that no text overflows it.
double OutOfRange(std::string_view text) noexcept {
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
  int64_t position = 0;  // power of ten of the first significant digit, plus one
  bool significant = false;
  bool fraction = false;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '.') {
      fraction = true;
    } else if (IsDigit(c)) {
      if (!significant && c != '0') significant = true;
      if (!fraction && significant) ++position;
      if (fraction && !significant) --position;
    } else {
      break;
    }
  }
  int64_t exponent = 0;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    bool exp_negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) exp_negative = text[i++] == '-';
    for (; i < text.size() && IsDigit(text[i]); ++i) {
      if (exponent < 1000000000) exponent = exponent * 10 + (text[i] - '0');
    }
    if (exp_negative) exponent = -exponent;
  }
  const bool overflow = position + exponent > 0;
  const double magnitude = overflow ? std::numeric_limits<double>::infinity() : 0.0;
  return negative ? -magnitude : magnitude;
}

}  // namespace

double LiteralToDouble(const NumberToken& token) noexcept {
  double quick = 0;
  if (LiteralDoubleQuick(token.decimal, &quick)) return quick;
  const char* first = token.text.data();
  const char* last = first + token.text.size();
  double value = 0;
  const auto result = std::from_chars(first, last, value);
  if (result.ec == std::errc::result_out_of_range) return OutOfRange(token.text);
  return value;
}

bool LiteralToInt64(const NumberToken& token, int64_t* out) noexcept {
  if (!token.is_integer) return false;
  if (token.small) {
    *out = token.small_value;
    return true;
  }
  const char* first = token.text.data();
  const char* last = first + token.text.size();
  const auto result = std::from_chars(first, last, *out);
  return result.ec == std::errc() && result.ptr == last;
}

bool ParseDecimalFloat(std::string_view text, double* out) noexcept {
  std::string_view body = text;
  // from_chars takes a minus sign only; a plus is allowed when a digit, a
  // point or a word follows (never a second sign).
  if (!body.empty() && body[0] == '+') {
    body.remove_prefix(1);
    if (body.empty() || body[0] == '-' || body[0] == '+') return false;
  }
  if (body.empty()) return false;
  const char* first = body.data();
  const char* last = first + body.size();
  double value = 0;
  const auto result = std::from_chars(first, last, value, std::chars_format::general);
  if (result.ptr != last) return false;
  if (result.ec == std::errc::result_out_of_range) {
    value = OutOfRange(body);
  } else if (result.ec != std::errc()) {
    return false;
  }
  *out = value;
  return true;
}

bool ParseDecimalInteger(std::string_view text, bool* negative, uint64_t* magnitude) noexcept {
  size_t i = 0;
  *negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) *negative = text[i++] == '-';
  const size_t digits = text.size() - i;
  if (digits == 0 || digits > 20) return false;
  const char* first = text.data() + i;
  const char* end = text.data() + text.size();
  // Nineteen digits never overflow 64 bits; only a twentieth needs the check.
  uint64_t value = 0;
  if (!DigitRunValue(first, digits < 20 ? digits : 19, &value)) return false;
  if (digits == 20) {
    const auto last = static_cast<unsigned char>(end[-1] - '0');
    if (last > 9 || __builtin_mul_overflow(value, uint64_t{10}, &value) ||
        __builtin_add_overflow(value, uint64_t{last}, &value)) {
      return false;
    }
  }
  if (*negative && value > uint64_t{1} << 63) return false;
  *magnitude = value;
  return true;
}

bool ParseSmallDecimalInt(std::string_view text, int64_t* out) noexcept {
  const size_t sign = !text.empty() && (text[0] == '-' || text[0] == '+') ? 1 : 0;
  bool negative = false;
  uint64_t magnitude = 0;
  if (text.size() - sign > 18 || !ParseDecimalInteger(text, &negative, &magnitude)) return false;
  *out = negative ? -static_cast<int64_t>(magnitude) : static_cast<int64_t>(magnitude);
  return true;
}

bool HasAsciiSpaceEnd(std::string_view text) noexcept {
  // The ASCII bytes str.isspace() accepts: \t \n \v \f \r, 0x1c-0x1f, space.
  auto space = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r') || (c >= 0x1c && c <= 0x1f); };
  return !text.empty() && (space(text.front()) || space(text.back()));
}

bool IsAscii(std::string_view text) noexcept {
  for (char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80) return false;
  }
  return true;
}

RawString PlainDecimal(double value) {
  // The shortest digits come from the scientific form; they are then laid
  // out with the point moved by the exponent and zeros filled in.
  char buf[64];
  const auto result = std::to_chars(buf, buf + sizeof(buf), value, std::chars_format::scientific);
  if (result.ec != std::errc()) return RawString("nan");
  const std::string_view text(buf, static_cast<size_t>(result.ptr - buf));
  if (!std::isfinite(value)) return RawString(text);
  const size_t e = text.find('e');
  RawString digits;
  for (char c : text.substr(0, e)) {
    if (IsDigit(c)) digits.push_back(c);
  }
  int exponent = 0;
  std::from_chars(text.data() + e + 1 + (text[e + 1] == '+'), text.data() + text.size(), exponent);
  RawString out(value < 0 ? "-" : "");
  const int point = exponent + 1;  // digits before the decimal point
  if (point <= 0) {
    out.append("0.").append(static_cast<size_t>(-point), '0').append(digits);
  } else if (static_cast<size_t>(point) >= digits.size()) {
    out.append(digits).append(static_cast<size_t>(point) - digits.size(), '0');
  } else {
    out.append(digits.substr(0, static_cast<size_t>(point))).append(".").append(digits.substr(static_cast<size_t>(point)));
  }
  return out;
}

}  // namespace velum::json
