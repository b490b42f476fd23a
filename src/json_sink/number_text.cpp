// Core unit: no Python.
#include "json_sink/number_text.h"

#include <bit>
#include <cmath>
#include <cstring>

#include "common/shortest_float.h"

namespace velum::json_sink {

namespace {

constexpr char kDigitPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// Eight digits of a value below 10^8, as eight ASCII bytes in text order:
// the value splits into two halves of four digits, each of those into two
// pairs, and each pair into two digits, all lanes at once.
uint64_t EightDigits(uint64_t value) noexcept {
  const uint64_t halves = value / 10000 | (value % 10000) << 32;
  const uint64_t hundreds = (halves * 10486 >> 20) & 0x0000007f0000007fu;  // each half / 100
  const uint64_t pairs = ((halves - 100 * hundreds) << 16) + hundreds;
  uint64_t tens = (pairs * 103 >> 10) & 0x000f000f000f000fu;  // each pair / 10
  tens += (pairs - 10 * tens) << 8;
  return tens + 0x3030303030303030u;
}

void Store8(char* out, uint64_t value) noexcept {
  const uint64_t text = EightDigits(value);
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(out, &text, 8);
  } else {
    for (int i = 0; i < 8; ++i) out[i] = static_cast<char>(text >> (8 * i));
  }
}

// Exactly four digits, leading zeros included.
void Write4(uint64_t value, char* out) noexcept {
  const auto high = static_cast<size_t>(value / 100) * 2;
  const auto low = static_cast<size_t>(value % 100) * 2;
  out[0] = kDigitPairs[high];
  out[1] = kDigitPairs[high + 1];
  out[2] = kDigitPairs[low];
  out[3] = kDigitPairs[low + 1];
}

// One to four digits (value below 10^4).
size_t WriteUpTo4(uint64_t value, char* out) noexcept {
  if (value < 10) {
    *out = static_cast<char>('0' + value);
    return 1;
  }
  if (value < 100) {
    out[0] = kDigitPairs[value * 2];
    out[1] = kDigitPairs[value * 2 + 1];
    return 2;
  }
  if (value < 1000) {
    const auto low = static_cast<size_t>(value % 100) * 2;
    out[0] = static_cast<char>('0' + value / 100);
    out[1] = kDigitPairs[low];
    out[2] = kDigitPairs[low + 1];
    return 3;
  }
  Write4(value, out);
  return 4;
}

// Up to eight digits (value below 10^8).
size_t WriteUpTo8(uint64_t value, char* out) noexcept {
  if (value < 10000) return WriteUpTo4(value, out);
  const size_t n = WriteUpTo4(value / 10000, out);
  Write4(value % 10000, out + n);
  return n + 4;
}

// The leading group by the short writers, every following group of eight
// digits at once.
size_t WriteDigits(uint64_t value, char* out) noexcept {
  constexpr uint64_t k8 = 100000000;
  if (value < k8) return WriteUpTo8(value, out);
  if (value < k8 * k8) {
    const size_t n = WriteUpTo8(value / k8, out);
    Store8(out + n, value % k8);
    return n + 8;
  }
  const uint64_t low = value % (k8 * k8);
  const size_t n = WriteUpTo4(value / (k8 * k8), out);
  Store8(out + n, low / k8);
  Store8(out + n + 8, low % k8);
  return n + 16;
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
  char* p = out;
  if (negative) *p++ = '-';
  // Most numbers have digits on both sides of the point: written one place
  // to the right, the integer digits move back over the gap for the point.
  const auto count = static_cast<int>(WriteDigits(decimal.digits, p + 1));
  const int point = count + decimal.exponent;  // digits before the decimal point
  if (point > 0 && point < count) {
    for (int i = 0; i < point; ++i) p[i] = p[i + 1];
    p[point] = '.';
    return static_cast<size_t>(p + count + 1 - out);
  }
  char digits[kIntegerTextMax];
  std::memcpy(digits, p + 1, static_cast<size_t>(count));
  if (point > -4 && point <= 16) {
    if (point <= 0) {
      *p++ = '0';
      *p++ = '.';
      for (int i = point; i < 0; ++i) *p++ = '0';
      std::memcpy(p, digits, static_cast<size_t>(count));
      p += count;
    } else {
      std::memcpy(p, digits, static_cast<size_t>(count));
      p += count;
      for (int i = count; i < point; ++i) *p++ = '0';
      *p++ = '.';
      *p++ = '0';
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
