#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "json_sink/number_text.h"

namespace velum::json_sink {
namespace {

// Python's repr() rebuilt from the standard library's shortest scientific
// digits: plain notation for decimal exponents in [-4, 16), else d.ddde±XX.
std::string ReferenceRepr(double value) {
  char buf[64];
  const auto r = std::to_chars(buf, buf + sizeof buf, std::fabs(value), std::chars_format::scientific);
  *r.ptr = '\0';
  std::string digits;
  const char* p = buf;
  for (; *p != 'e'; ++p) {
    if (*p != '.') digits += *p;
  }
  const int exponent = std::atoi(p + 1);
  const auto count = static_cast<int>(digits.size());
  std::string out = value < 0 ? "-" : "";
  if (exponent >= -4 && exponent < 16) {
    const int point = exponent + 1;
    if (point <= 0) return out + "0." + std::string(static_cast<size_t>(-point), '0') + digits;
    if (point >= count) return out + digits + std::string(static_cast<size_t>(point - count), '0') + ".0";
    return out + digits.substr(0, static_cast<size_t>(point)) + "." + digits.substr(static_cast<size_t>(point));
  }
  out += digits.substr(0, 1);
  if (count > 1) out.append(".").append(digits, 1);  // no temporary: gcc 12 warns falsely on one
  const int magnitude = std::abs(exponent);
  return out + (exponent < 0 ? "e-" : "e+") + (magnitude < 10 ? "0" : "") + std::to_string(magnitude);
}

std::string Repr(double value) {
  char out[kFloatTextMax];
  return std::string(out, FormatFloatRepr(value, out));
}

TEST(FloatRepr, RandomBitPatternsMatchRepr) {
  std::mt19937_64 rng(4242);
  for (int i = 0; i < 500000; ++i) {
    const double v = std::bit_cast<double>(rng());
    if (std::isfinite(v) && v != 0) {
      ASSERT_EQ(Repr(v), ReferenceRepr(v)) << std::hexfloat << v;
    }
  }
}

// Measurements of every magnitude in plain notation: doubles of 9 to 17
// significant digits, whose leading digit group may be a lone digit.
TEST(FloatRepr, RandomWalksMatchRepr) {
  std::mt19937_64 rng(7);
  std::normal_distribution<double> step(0, 1);
  for (double scale : {1e-3, 1.0, 1e3, 1e8, 1e14}) {
    double level = 100 * scale;
    for (int i = 0; i < 20000; ++i) {
      level += step(rng) * scale;
      ASSERT_EQ(Repr(level), ReferenceRepr(level)) << std::hexfloat << level;
    }
  }
}

// Values around every layout threshold and short decimals, where the fast
// path for few decimals and the general path meet.
TEST(FloatRepr, ThresholdsAndShortDecimalsMatchRepr) {
  std::mt19937_64 rng(99);
  for (int e = -8; e <= 20; ++e) {
    double v = std::pow(10.0, e);
    for (int i = 0; i < 200; ++i, v = std::nextafter(v, 0.0)) ASSERT_EQ(Repr(v), ReferenceRepr(v));
    v = std::pow(10.0, e);
    for (int i = 0; i < 200; ++i, v = std::nextafter(v, 1e300)) ASSERT_EQ(Repr(-v), ReferenceRepr(-v));
  }
  for (int i = 0; i < 300000; ++i) {
    const double v = static_cast<double>(rng() % 100000000) / std::pow(10.0, static_cast<int>(rng() % 9));
    if (v != 0) {
      ASSERT_EQ(Repr(v), ReferenceRepr(v)) << v;
    }
    const double w = 100.0 + std::ldexp(static_cast<double>(rng() >> 11), -50);  // a level near 100
    ASSERT_EQ(Repr(w), ReferenceRepr(w));
  }
}

// Decimals of up to six places up to the largest the fast paths take (six
// places below 2^50 / 10^6, four above), with trailing zeros in their
// digits, and their neighbours one step away (which are not short and must
// be found by the general search).
TEST(FloatRepr, FewDecimalsUpToTheFastLimitMatchRepr) {
  std::mt19937_64 rng(17);
  for (int i = 0; i < 300000; ++i) {
    const uint64_t digits = (rng() % 1000000000000000ULL) / (uint64_t{1} << (rng() % 40));
    const uint64_t zeros[] = {1, 10, 100, 1000, 10000, 100000, 1000000};
    const double v = static_cast<double>(digits * zeros[rng() % 7]) / std::pow(10.0, static_cast<int>(rng() % 8));
    if (v == 0 || v >= 1e16) continue;
    ASSERT_EQ(Repr(v), ReferenceRepr(v)) << v;
    const double up = std::nextafter(v, 1e300);
    const double down = std::nextafter(v, 0.0);
    ASSERT_EQ(Repr(up), ReferenceRepr(up)) << std::hexfloat << up;
    ASSERT_EQ(Repr(down), ReferenceRepr(down)) << std::hexfloat << down;
  }
}

// Every digit count (1 to 17) with the first digit at every decimal
// exponent around the plain range, both signs: the point lands at every
// position of the digits, after a separate seventeenth, past them (whole
// numbers) and before them (leading zeros or the exponent form). The text
// and the scratch bytes after it stay within kFloatTextMax.
TEST(FloatRepr, EveryDigitCountAtEveryPointMatchesRepr) {
  std::mt19937_64 rng(99);
  for (int count = 1; count <= 17; ++count) {
    for (int first = -7; first <= 18; ++first) {
      for (int i = 0; i < 40; ++i) {
        std::string text = std::to_string(1 + rng() % 9);
        for (int d = 1; d < count; ++d) text += static_cast<char>('0' + rng() % 10);
        text += 'e';
        text += std::to_string(first - count + 1);
        double v = 0;
        std::from_chars(text.data(), text.data() + text.size(), v);
        for (const double signed_v : {v, -v}) {
          char out[kFloatTextMax + 8];
          std::memset(out, '#', sizeof out);
          const size_t n = FormatFloatRepr(signed_v, out);
          ASSERT_EQ(std::string(out, n), ReferenceRepr(signed_v)) << text;
          ASSERT_EQ(std::string(out + kFloatTextMax, 8), "########") << text;
        }
      }
    }
  }
}

}  // namespace
}  // namespace velum::json_sink

namespace velum::json_sink {
namespace {

std::string Digits(uint64_t value) {
  char out[kIntegerTextMax];
  return std::string(out, FormatUnsigned(value, out));
}

TEST(IntegerText, EveryLengthAndItsEnds) {
  uint64_t power = 1;
  for (int n = 1; n <= 20; ++n) {
    for (uint64_t v : {power, power + 1, power * 2 - 1, power - 1}) EXPECT_EQ(Digits(v), std::to_string(v));
    if (n < 20) power *= 10;
  }
  EXPECT_EQ(Digits(~uint64_t{0}), "18446744073709551615");
  char out[kIntegerTextMax];
  EXPECT_EQ(std::string(out, FormatInteger(INT64_MIN, out)), "-9223372036854775808");
  std::mt19937_64 rng(8);
  for (int i = 0; i < 300000; ++i) {
    const uint64_t v = rng() >> (rng() % 64);
    ASSERT_EQ(Digits(v), std::to_string(v));
  }
}

// The digit count is read from a table by the bit length: both ends of every
// length, and every power of ten and its neighbours, against the text's length.
TEST(IntegerText, DigitCountAtEveryBitLengthAndPowerOfTen) {
  std::vector<uint64_t> values = {0, ~uint64_t{0}};
  for (int bits = 1; bits < 64; ++bits) {
    const uint64_t low = uint64_t{1} << (bits - 1);
    for (uint64_t v : {low, low + 1, low * 2 - 1, low * 2 - 2}) values.push_back(v);
  }
  uint64_t power = 1;
  for (int n = 0; n < 20; ++n, power *= 10) {
    for (uint64_t v : {power - 1, power, power + 1}) values.push_back(v);
  }
  for (uint64_t v : values) {
    ASSERT_EQ(DecimalDigitCount(v), std::to_string(v).size()) << v;
    char room[kIntegerTextMax];
    ASSERT_EQ(std::string(room, FormatUnsignedInRoom(v, room)), std::to_string(v)) << v;
  }
}

// The writers into room (up to eight digits as one word, more sixteen at
// once) give the text of the exact ones: every four-digit group in each
// position of both halves, every short value, every length's ends, random
// values of either sign.
TEST(IntegerText, InRoomMatchesExact) {
  auto check = [](uint64_t v) {
    char room[kIntegerTextMax];
    ASSERT_EQ(std::string(room, FormatUnsignedInRoom(v, room)), Digits(v)) << v;
    const auto s = static_cast<int64_t>(v >> 1);
    char exact[kIntegerTextMax];
    ASSERT_EQ(std::string(room, FormatIntegerInRoom(-s, room)), std::string(exact, FormatInteger(-s, exact))) << s;
  };
  for (uint64_t x = 0; x < 10000; ++x) {
    for (uint64_t at = 1; at <= 1000000000000ull; at *= 10000) {
      check(1000000000000000ull + x * at);
      check(100000000ull * 2 + x * (at / 10000 == 0 ? 1 : at / 10000));
    }
  }
  // Every value of the one-word roads' first lengths, and eight-digit ones.
  for (uint64_t v = 0; v < 100000; ++v) check(v);
  for (uint64_t v = 100000; v < 100000000; v += 997) check(v);
  uint64_t power = 1;
  for (int n = 1; n < 20; ++n, power *= 10) {
    for (uint64_t v : {power, power + 1, power * 2 - 1, power - 1, power * 10 - 1}) check(v);
  }
  check(~uint64_t{0});
  char room[kIntegerTextMax];
  EXPECT_EQ(std::string(room, FormatIntegerInRoom(INT64_MIN, room)), "-9223372036854775808");
  std::mt19937_64 rng(9);
  for (int i = 0; i < 300000; ++i) check(rng() >> (rng() % 64));
}

}  // namespace
}  // namespace velum::json_sink
