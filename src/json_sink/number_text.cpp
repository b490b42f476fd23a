// Core unit: no Python.
#include "json_sink/number_text.h"

#include <cmath>
#include <cstring>

#include "common/shortest_float.h"

namespace velum::json_sink {

namespace {

constexpr char kDigitPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

int DigitCount(uint64_t value) noexcept {
  int count = 1;
  for (;;) {
    if (value < 10) return count;
    if (value < 100) return count + 1;
    if (value < 1000) return count + 2;
    if (value < 10000) return count + 3;
    value /= 10000;
    count += 4;
  }
}

// Two digits per step, from the end backwards.
size_t WriteDigits(uint64_t value, char* out) noexcept {
  const int count = DigitCount(value);
  char* p = out + count;
  while (value >= 100) {
    const auto pair = static_cast<size_t>(value % 100) * 2;
    value /= 100;
    p -= 2;
    p[0] = kDigitPairs[pair];
    p[1] = kDigitPairs[pair + 1];
  }
  if (value >= 10) {
    p -= 2;
    p[0] = kDigitPairs[value * 2];
    p[1] = kDigitPairs[value * 2 + 1];
  } else {
    *--p = static_cast<char>('0' + value);
  }
  return static_cast<size_t>(count);
}

}  // namespace

size_t FormatInteger(int64_t value, char* out) noexcept {
  if (value >= 0) return WriteDigits(static_cast<uint64_t>(value), out);
  out[0] = '-';
  // The magnitude of the most negative value only fits the unsigned type.
  return 1 + WriteDigits(0 - static_cast<uint64_t>(value), out + 1);
}

size_t FormatUnsigned(uint64_t value, char* out) noexcept { return WriteDigits(value, out); }

namespace {

size_t Copy(const char* text, char* out) noexcept {
  const size_t n = std::strlen(text);
  std::memcpy(out, text, n);
  return n;
}

}  // namespace

namespace {

// Numbers with few decimals (prices, measurements rounded to a few places)
// without the general shortest-digits search: the first k of 0..4 for which
// m = round(value * 10^k) reads back as m / 10^k == value gives the shortest
// digits. Below 2^50, m / 10^k is correctly rounded (both are exact doubles),
// so the test is exact; and the interval of decimals reading back as `value`
// holds at most one multiple of 10^-k, so no closer candidate is missed.
// Returns 0 when `value` has more decimals or is too large.
size_t FormatShortDecimal(double value, double magnitude, char* out) noexcept {
  constexpr double kPowers[] = {1.0, 10.0, 100.0, 1000.0, 10000.0};
  constexpr double kLimit = 1125899906842624.0;  // 2^50
  // One test turns away most numbers with more decimals: with four or fewer,
  // value * 10^4 is (nearly) whole.
  const double scaled4 = magnitude * kPowers[4];
  if (scaled4 < kLimit) {
    const auto whole4 = static_cast<double>(static_cast<int64_t>(scaled4 + 0.5));
    if (std::fabs(scaled4 - whole4) > scaled4 * 0x1p-40) return 0;
  }
  for (int k = 0; k <= 4; ++k) {
    const double scaled = magnitude * kPowers[k];
    if (scaled >= kLimit) return 0;
    // Below 2^50 the integer conversion rounds exactly enough (a value near a
    // half is rejected next anyway), and needs no call into the math library.
    const auto whole = static_cast<double>(static_cast<int64_t>(scaled + 0.5));
    // Cheap rejection first: a short decimal lands within a few ulps of m.
    if (std::fabs(scaled - whole) > scaled * 0x1p-40) continue;
    if (whole == 0 || whole / kPowers[k] != magnitude) continue;
    char digits[kIntegerTextMax];
    const size_t count = FormatUnsigned(static_cast<uint64_t>(whole), digits);
    char* p = out;
    if (value < 0) *p++ = '-';
    const auto fraction = static_cast<size_t>(k);
    if (fraction == 0) {
      std::memcpy(p, digits, count);
      p += count;
      *p++ = '.';
      *p++ = '0';
    } else if (count > fraction) {
      std::memcpy(p, digits, count - fraction);
      p += count - fraction;
      *p++ = '.';
      std::memcpy(p, digits + count - fraction, fraction);
      p += fraction;
    } else {
      *p++ = '0';
      *p++ = '.';
      for (size_t i = count; i < fraction; ++i) *p++ = '0';
      std::memcpy(p, digits, count);
      p += count;
    }
    return static_cast<size_t>(p - out);
  }
  return 0;
}

}  // namespace

namespace {

// repr()'s layout of the shortest digits: plain notation while the decimal
// exponent of the first digit lies in [-4, 16), the exponent form
// "d[.ddd]e±XX" (at least two exponent digits) otherwise.
size_t LayOutRepr(shortest::Decimal decimal, bool negative, char* out) noexcept {
  char digits[kIntegerTextMax];
  const auto count = static_cast<int>(WriteDigits(decimal.digits, digits));
  const int point = count + decimal.exponent;  // digits before the decimal point
  char* p = out;
  if (negative) *p++ = '-';
  if (point > -4 && point <= 16) {
    if (point <= 0) {
      *p++ = '0';
      *p++ = '.';
      for (int i = point; i < 0; ++i) *p++ = '0';
      std::memcpy(p, digits, static_cast<size_t>(count));
      p += count;
    } else if (point >= count) {
      std::memcpy(p, digits, static_cast<size_t>(count));
      p += count;
      for (int i = count; i < point; ++i) *p++ = '0';
      *p++ = '.';
      *p++ = '0';
    } else {
      std::memcpy(p, digits, static_cast<size_t>(point));
      p += point;
      *p++ = '.';
      std::memcpy(p, digits + point, static_cast<size_t>(count - point));
      p += count - point;
    }
    return static_cast<size_t>(p - out);
  }
  *p++ = digits[0];
  if (count > 1) {
    *p++ = '.';
    std::memcpy(p, digits + 1, static_cast<size_t>(count - 1));
    p += count - 1;
  }
  *p++ = 'e';
  int exponent = point - 1;
  *p++ = exponent < 0 ? '-' : '+';
  if (exponent < 0) exponent = -exponent;
  if (exponent >= 100) {
    *p++ = static_cast<char>('0' + exponent / 100);
    exponent %= 100;
  }
  *p++ = kDigitPairs[exponent * 2];
  *p++ = kDigitPairs[exponent * 2 + 1];
  return static_cast<size_t>(p - out);
}

}  // namespace

size_t FormatFloatRepr(double value, char* out) noexcept {
  if (std::isnan(value)) return Copy("nan", out);
  if (std::isinf(value)) return Copy(value < 0 ? "-inf" : "inf", out);
  if (value == 0) return Copy(std::signbit(value) ? "-0.0" : "0.0", out);
  const double magnitude = std::fabs(value);
  if (magnitude >= 1e-4 && magnitude < 1e16) {
    const size_t short_size = FormatShortDecimal(value, magnitude, out);
    if (short_size != 0) return short_size;
  }
  return LayOutRepr(shortest::ShortestDouble(value), value < 0, out);
}

}  // namespace velum::json_sink
