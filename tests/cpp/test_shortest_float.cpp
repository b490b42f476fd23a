#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>

#include "common/shortest_float.h"

namespace velum::shortest {
namespace {

// The shortest digits as the standard library prints them: "d.ddde±x".
template <class F>
Decimal Reference(F value) {
  char buf[64];
  const auto r = std::to_chars(buf, buf + sizeof buf, std::fabs(value), std::chars_format::scientific);
  uint64_t digits = 0;
  int count = 0;
  const char* p = buf;
  for (; *p != 'e'; ++p) {
    if (*p != '.') {
      digits = digits * 10 + static_cast<uint64_t>(*p - '0');
      ++count;
    }
  }
  *r.ptr = '\0';
  const int exponent = std::atoi(p + 1);
  Decimal d{digits, exponent - count + 1};
  while (d.digits % 10 == 0) {
    d.digits /= 10;
    ++d.exponent;
  }
  return d;
}

template <class F>
::testing::AssertionResult Agrees(F value) {
  const Decimal got = sizeof(F) == 8 ? ShortestDouble(static_cast<double>(value))
                                     : ShortestFloat(static_cast<float>(value));
  const Decimal want = Reference(value);
  if (got.digits == want.digits && got.exponent == want.exponent) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << std::hexfloat << value << ": got " << got.digits << "e" << got.exponent
                                       << ", want " << want.digits << "e" << want.exponent;
}

bool Usable(double v) { return std::isfinite(v) && v != 0; }
bool Usable(float v) { return std::isfinite(v) && v != 0; }

TEST(ShortestFloat, HandPickedDoubles) {
  const double cases[] = {1.0, 0.1, 0.3, 1e23, 9007199254740993.0, 5e-324, 1e-323, 1.5e-323,
                          2.2250738585072014e-308, 2.225073858507201e-308, 1.7976931348623157e308,
                          123.456, 1e16, 9999999999999998.0, 0.0001, 1e-5, 100.0, 2.0 / 3.0, 1e22, 1e21,
                          5e-310, 4.35e-311, 0x1p-1022, 0x1p-1021, 0x1p1023, 0x1.fffffffffffffp-1022};
  for (double v : cases) EXPECT_TRUE(Agrees(v));
  EXPECT_EQ(ShortestDouble(0.1).digits, 1u);
  EXPECT_EQ(ShortestDouble(0.1).exponent, -1);
  EXPECT_EQ(ShortestDouble(1e23).digits, 1u);
  EXPECT_EQ(ShortestDouble(5e-324).digits, 5u);
  EXPECT_EQ(ShortestDouble(5e-324).exponent, -324);
}

TEST(ShortestFloat, HandPickedFloats) {
  const float cases[] = {1.0f, 0.1f, 3.4028235e38f, 1.17549435e-38f, 1e-45f, 3e-45f, 7e-45f, 1e-44f,
                         16777216.0f, 16777217.0f, 0.3f, 1e10f, 33554432.0f, 8.589973e9f};
  for (float v : cases) EXPECT_TRUE(Agrees(v));
  EXPECT_EQ(ShortestFloat(3.4028235e38f).digits, 34028235u);
}

// Every binade: its powers of two, their neighbours and the ends.
TEST(ShortestFloat, EveryBinade) {
  for (uint64_t e = 0; e < 0x7ff; ++e) {
    for (uint64_t f : {uint64_t{0}, uint64_t{1}, uint64_t{2}, (uint64_t{1} << 52) - 1, uint64_t{1} << 51}) {
      const double v = std::bit_cast<double>(e << 52 | f);
      if (Usable(v)) {
        ASSERT_TRUE(Agrees(v));
      }
    }
  }
  for (uint32_t e = 0; e < 0xff; ++e) {
    for (uint32_t f : {0u, 1u, 2u, (1u << 23) - 1, 1u << 22}) {
      const float v = std::bit_cast<float>(e << 23 | f);
      if (Usable(v)) {
        ASSERT_TRUE(Agrees(v));
      }
    }
  }
}

TEST(ShortestFloat, SmallestSubnormalsAndWholeNumbers) {
  for (uint64_t f = 1; f < 1000; ++f) ASSERT_TRUE(Agrees(std::bit_cast<double>(f)));
  for (uint32_t f = 1; f < 1000; ++f) ASSERT_TRUE(Agrees(std::bit_cast<float>(f)));
  for (double v = 1; v < 1e6; v += 1) ASSERT_TRUE(Agrees(v));
  for (double v = 9007199254740992.0 - 1000; v < 9007199254740992.0 + 1000; v = std::nextafter(v, 1e300)) {
    ASSERT_TRUE(Agrees(v));
  }
}

TEST(ShortestFloat, RandomBitPatterns) {
  std::mt19937_64 rng(15);
  for (int i = 0; i < 2000000; ++i) {
    const double v = std::bit_cast<double>(rng());
    if (Usable(v)) {
        ASSERT_TRUE(Agrees(v));
      }
  }
  for (int i = 0; i < 1000000; ++i) {
    const float v = std::bit_cast<float>(static_cast<uint32_t>(rng()));
    if (Usable(v)) {
        ASSERT_TRUE(Agrees(v));
      }
  }
  // Subnormals, where the interval is as narrow as it gets.
  for (int i = 0; i < 200000; ++i) {
    ASSERT_TRUE(Agrees(std::bit_cast<double>((rng() & ((uint64_t{1} << 52) - 1)) | 1)));
    ASSERT_TRUE(Agrees(std::bit_cast<float>((static_cast<uint32_t>(rng()) & ((1u << 23) - 1)) | 1u)));
  }
}

// Small significands at scales where powers of ten are exact in 128 bits:
// the interval's ends and the value are often exact decimals there, so the
// tests for an excluded end, a lower end met exactly and a tie to even all
// run, as do odd and even significands side by side.
TEST(ShortestFloat, ExactEndsAndTies) {
  for (uint64_t m = 1; m <= 4096; ++m) {
    for (int e = -90; e <= 90; ++e) {
      const double v = std::ldexp(static_cast<double>(m), e);
      ASSERT_TRUE(Agrees(v));
      ASSERT_TRUE(Agrees(std::nextafter(v, 0.0)));
      ASSERT_TRUE(Agrees(std::nextafter(v, 1e300)));
    }
  }
  // Whole numbers around 2^53 and 2^54, where the unit in the last place is 1 or 2.
  for (const uint64_t middle : {uint64_t{1} << 53, uint64_t{1} << 54}) {
    for (uint64_t c = middle - 3000; c <= middle + 3000; ++c) ASSERT_TRUE(Agrees(static_cast<double>(c)));
  }
}

// Whole numbers below 2^53 of every length, many ending in zeros: doubles
// take no shortcut for them before the search, whose result must still be
// their digits without the trailing zeros.
TEST(ShortestFloat, RandomWholeNumbers) {
  std::mt19937_64 rng(53);
  for (int i = 0; i < 300000; ++i) {
    uint64_t whole = (rng() & ((uint64_t{1} << 53) - 1)) >> (rng() % 53);
    if (i % 2 == 0) {
      for (int z = static_cast<int>(rng() % 16); z > 0 && whole < (uint64_t{1} << 49); --z) whole *= 10;
    }
    if (whole == 0 || whole >= (uint64_t{1} << 53)) continue;
    ASSERT_TRUE(Agrees(static_cast<double>(whole)));
  }
}

// Decimals of 15 to 17 digits read as doubles (measurements, prices).
TEST(ShortestFloat, RandomDecimals) {
  std::mt19937_64 rng(1515);
  std::uniform_int_distribution<int> exp(-30, 30);
  for (int i = 0; i < 500000; ++i) {
    const uint64_t digits = 100000000000000u + rng() % 99900000000000000u;
    const std::string text = std::to_string(digits) + "e" + std::to_string(exp(rng));
    double v = 0;
    std::from_chars(text.data(), text.data() + text.size(), v);
    ASSERT_TRUE(Agrees(v));
  }
}

}  // namespace
}  // namespace velum::shortest
