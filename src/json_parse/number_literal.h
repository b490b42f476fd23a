// Core unit: no Python.
// A JSON number literal scanned and valued in one pass: the digits are
// folded into a 64-bit value as the grammar is checked, so that the common
// literal becomes a double or an int without being read a second time.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "common/nearest_double.h"
#include "json_parse/digit_scan.h"

namespace velum::json {

// What a well-formed literal says: ±mantissa * 10^exponent, where the
// mantissa holds the significant digits (those from the first nonzero one)
// and is exact only while there are at most 19 of them.
struct DecimalLiteral {
  uint64_t mantissa = 0;
  int64_t exponent = 0;
  size_t significant = 0;
  size_t integer_digits = 0;  // digits before the point or exponent
  bool negative = false;
  bool is_integer = true;  // no fraction and no exponent
};

// Scans the literal at `p` by the JSON grammar (no leading '+', no leading
// zero before a digit, digits after a point and in an exponent). Returns the
// byte after it, or nullptr when no well-formed literal starts at `p`; the
// caller's own checks then tell what is wrong.
[[gnu::always_inline]] inline const char* ScanNumberLiteral(const char* p, const char* end, DecimalLiteral* out) noexcept {
  auto digit = [](char c) { return static_cast<unsigned char>(c - '0') <= 9; };
  out->negative = false;
  out->is_integer = true;
  if (p < end && *p == '-') {
    out->negative = true;
    ++p;
  }
  if (p == end || !digit(*p)) return nullptr;
  uint64_t mantissa = 0;
  size_t significant = 0;
  const char* digits = p;
  if (*p == '0') {
    ++p;
    if (p < end && digit(*p)) return nullptr;
  } else {
    p = AccumulateDigits(p, end, &mantissa);
    significant = static_cast<size_t>(p - digits);
  }
  out->integer_digits = static_cast<size_t>(p - digits);
  int64_t exponent = 0;
  if (p < end && *p == '.') {
    out->is_integer = false;
    const char* fraction = ++p;
    // After "0." the zeros before the first significant digit only scale.
    if (significant == 0) {
      while (p < end && *p == '0') ++p;
    }
    const char* run = p;
    p = AccumulateDigits(p, end, &mantissa);
    if (p == fraction) return nullptr;
    significant += static_cast<size_t>(p - run);
    exponent = -static_cast<int64_t>(p - fraction);
  }
  if (p < end && (*p | 0x20) == 'e') {
    out->is_integer = false;
    ++p;
    bool exp_negative = false;
    if (p < end && (*p == '+' || *p == '-')) exp_negative = *p++ == '-';
    if (p == end || !digit(*p)) return nullptr;
    int64_t e = 0;
    // Saturated: far beyond any double, and no text overflows it.
    for (; p < end && digit(*p); ++p) {
      if (e < 100000000) e = e * 10 + (*p - '0');
    }
    exponent += exp_negative ? -e : e;
  }
  out->mantissa = mantissa;
  out->exponent = exponent;
  out->significant = significant;
  return p;
}

namespace literal_detail {
inline constexpr double kExactPowers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                          1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
}  // namespace literal_detail

// The commonest literal of a document's numbers, an optional minus, 1 to 7
// integer digits (no leading zero before another digit), a point and 1 to 7
// fraction digits, with no exponent: its double and the byte after it, from
// one word load per digit run. Both parts fit 14 digits, an exact double, and
// 10^7 is exact, so the one division rounds correctly. nullptr for any other
// literal (or one less than 16 bytes from the end of the text), which the
// caller scans in full; nothing is refused here.
inline const char* ShortDecimalDouble(const char* p, const char* end, double* out) noexcept {
  if constexpr (std::endian::native == std::endian::little) {
    const bool negative = p < end && *p == '-';
    p += negative ? 1 : 0;
    if (end - p < 16) return nullptr;
    uint64_t word;
    std::memcpy(&word, p, 8);
    const uint64_t stops = digit_detail::NonDigitBits(word);
    const int n = std::countr_zero(stops) >> 3;  // integer digits; 8 when no stop
    if (n == 0 || n == 8 || p[n] != '.' || (p[0] == '0' && n > 1)) return nullptr;
    const char* fraction = p + n + 1;  // at most p + 8: its word is within the text
    uint64_t tail;
    std::memcpy(&tail, fraction, 8);
    const int k = std::countr_zero(digit_detail::NonDigitBits(tail)) >> 3;  // fraction digits
    if (k == 0 || k == 8 || (fraction[k] | 0x20) == 'e') return nullptr;
    const uint64_t mantissa = uint64_t{LeadingDigitsValue(word, n)} * digit_detail::kScale[k] + LeadingDigitsValue(tail, k);
    const double value = static_cast<double>(mantissa) / literal_detail::kExactPowers[k];
    *out = negative ? -value : value;
    return fraction + k;
  } else {
    return nullptr;
  }
}

// The correctly rounded double of a literal with at most 19 significant
// digits, when it can be had cheaply: a mantissa of at most 2^53 and a power
// of at most 22 are both exact doubles, so one multiplication or division
// rounds correctly; otherwise the 128-bit product decides nearly always.
// False (ties the product cannot see, subnormal or out-of-range results,
// more digits) leaves the literal to a full decimal parser.
inline bool LiteralDoubleQuick(const DecimalLiteral& literal, double* out) noexcept {
  if (literal.significant > 19) return false;
  const uint64_t w = literal.mantissa;
  const int64_t q = literal.exponent;
  if (w <= uint64_t{1} << 53 && q >= -22 && q <= 22) {
    auto value = static_cast<double>(w);
    value = q < 0 ? value / literal_detail::kExactPowers[-q] : value * literal_detail::kExactPowers[q];
    *out = literal.negative ? -value : value;
    return true;
  }
  if (w == 0) {
    *out = literal.negative ? -0.0 : 0.0;
    return true;
  }
  if (q < -400 || q > 400) return false;
  return NearestDouble(w, static_cast<int>(q), literal.negative, out);
}

}  // namespace velum::json
