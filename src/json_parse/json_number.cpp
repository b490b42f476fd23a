// Core unit: no Python.
#include "json_parse/json_number.h"

#include <charconv>
#include <cmath>
#include <limits>

#include "common/nearest_double.h"
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

constexpr double kExactPowers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                   1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
constexpr uint64_t kIntPowers[] = {1,         10,         100,         1000,         10000,
                                   100000,    1000000,    10000000,    100000000,    1000000000,
                                   10000000000, 100000000000, 1000000000000, 10000000000000, 100000000000000,
                                   1000000000000000, 10000000000000000, 100000000000000000,
                                   1000000000000000000, 10000000000000000000u};

// A literal whose significant digits (leading zeros aside) fit 19 decimal
// digits is w * 10^q with a 64-bit w. When w is at most 2^53 and |q| at most
// 22, both are exact doubles and one multiplication or division rounds
// correctly; otherwise the 128-bit product decides nearly always. The rest
// (more digits, ties the product cannot see, subnormal or out-of-range
// results) goes to from_chars.
bool FastDouble(std::string_view text, double* out) noexcept {
  const char* p = text.data();
  const char* end = p + text.size();
  const bool negative = *p == '-';
  if (negative) ++p;
  const char* point = SkipDigits(p, end);
  auto int_digits = static_cast<size_t>(point - p);
  const char* fraction = point;
  size_t frac_digits = 0;
  const char* rest = point;
  if (rest < end && *rest == '.') {
    fraction = point + 1;
    rest = SkipDigits(fraction, end);
    frac_digits = static_cast<size_t>(rest - fraction);
  }
  int64_t exponent = -static_cast<int64_t>(frac_digits);
  // The grammar allows one leading zero only, so "0.000123" is the one case
  // where zeros precede the significant digits.
  if (int_digits == 1 && *p == '0') {
    int_digits = 0;
    while (frac_digits > 0 && *fraction == '0') {
      ++fraction;
      --frac_digits;
    }
  }
  if (int_digits + frac_digits > 19) return false;
  uint64_t mantissa = DigitsValue(p, int_digits);
  if (frac_digits > 0) mantissa = mantissa * kIntPowers[frac_digits] + DigitsValue(fraction, frac_digits);
  if (rest < end) {  // the validated grammar leaves only an exponent here
    ++rest;
    const bool exp_negative = *rest == '-';
    if (*rest == '-' || *rest == '+') ++rest;
    const auto exp_digits = static_cast<size_t>(end - rest);
    if (exp_digits > 3) return false;
    const auto e = static_cast<int64_t>(DigitsValue(rest, exp_digits));
    exponent += exp_negative ? -e : e;
  }
  if (mantissa <= uint64_t{1} << 53 && exponent >= -22 && exponent <= 22) {
    double value = static_cast<double>(mantissa);
    value = exponent < 0 ? value / kExactPowers[-exponent] : value * kExactPowers[exponent];
    *out = negative ? -value : value;
    return true;
  }
  return NearestDouble(mantissa, static_cast<int>(exponent), negative, out);
}

}  // namespace

double LiteralToDouble(const NumberToken& token) noexcept {
  double exact = 0;
  if (FastDouble(token.text, &exact)) return exact;
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
