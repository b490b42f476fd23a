#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <random>
#include <string>

#include "common/nearest_double.h"

namespace velum {
namespace {

double Reference(uint64_t w, int q) {
  const std::string text = std::to_string(w) + "e" + std::to_string(q);
  double value = 0;
  std::from_chars(text.data(), text.data() + text.size(), value);
  return value;
}

// Agrees with from_chars to the bit whenever it answers; counts the answers.
::testing::AssertionResult Agrees(uint64_t w, int q, int* answered) {
  double got = 0;
  if (!NearestDouble(w, q, false, &got)) return ::testing::AssertionSuccess();
  ++*answered;
  const double want = Reference(w, q);
  if (std::bit_cast<uint64_t>(got) == std::bit_cast<uint64_t>(want)) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << w << "e" << q << ": got " << std::hexfloat << got << ", want " << want;
}

TEST(NearestDouble, HandPicked) {
  double v = 0;
  ASSERT_TRUE(NearestDouble(1, 0, false, &v));
  EXPECT_EQ(v, 1.0);
  ASSERT_TRUE(NearestDouble(17976931348623157u, 292, false, &v));
  EXPECT_EQ(v, 1.7976931348623157e308);
  ASSERT_TRUE(NearestDouble(22250738585072014u, -324, true, &v));
  EXPECT_EQ(v, -2.2250738585072014e-308);
  ASSERT_TRUE(NearestDouble(0, 5, true, &v));
  EXPECT_TRUE(std::signbit(v) && v == 0);
  // Beyond the range, subnormal, or an exact tie: left to the full parser.
  EXPECT_FALSE(NearestDouble(17976931348623159u, 292, false, &v));
  EXPECT_FALSE(NearestDouble(5, -324, false, &v));
  EXPECT_FALSE(NearestDouble(1, 400, false, &v));
  EXPECT_FALSE(NearestDouble(9007199254740993u, 0, false, &v));  // half way, even below
  int answered = 0;
  for (uint64_t w : {uint64_t{9007199254740993u}, uint64_t{9007199254740995u}, uint64_t{18014398509481983u},
                     uint64_t{1}, uint64_t{7}, uint64_t{10000000000000000000u},
                     uint64_t{18446744073709551615u}}) {
    for (int q = -345; q <= 330; ++q) ASSERT_TRUE(Agrees(w, q, &answered));
  }
}

TEST(NearestDouble, RandomDecimals) {
  std::mt19937_64 rng(1515);
  std::uniform_int_distribution<int> exponent(-345, 330);
  std::uniform_int_distribution<int> length(1, 19);
  int answered = 0;
  constexpr int kCount = 1000000;
  for (int i = 0; i < kCount; ++i) {
    uint64_t w = rng();
    const int digits = length(rng);
    if (digits < 19) w %= static_cast<uint64_t>(std::pow(10.0, digits));
    ASSERT_TRUE(Agrees(w, exponent(rng), &answered));
  }
  EXPECT_GT(answered, kCount * 8 / 10);
}

// The texts a writer produces: the shortest digits and all 17 of every double.
TEST(NearestDouble, DoublesReadBack) {
  std::mt19937_64 rng(7);
  int answered = 0;
  for (int i = 0; i < 500000; ++i) {
    const double v = std::bit_cast<double>(rng() >> 1);
    if (!std::isfinite(v) || v == 0) continue;
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.16e", v);  // 17 significant digits
    uint64_t w = 0;
    const char* p = buf;
    for (; *p != 'e'; ++p) {
      if (*p != '.') w = w * 10 + static_cast<uint64_t>(*p - '0');
    }
    ASSERT_TRUE(Agrees(w, std::atoi(p + 1) - 16, &answered));
  }
  EXPECT_GT(answered, 400000);
}

}  // namespace
}  // namespace velum
