#include <gtest/gtest.h>

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "json_parse/digit_scan.h"
#include "json_parse/number_literal.h"

namespace velum::json {
namespace {

// Where a run stops and what it is worth, with the stop at every position of
// runs spanning up to three words and the run ending the input or not.
TEST(NumberLiteral, AccumulatesRunsAtEveryLength) {
  for (size_t length = 0; length <= 24; ++length) {
    for (const char* tail : {"", ",", "]", ".5", "e9", "\x80"}) {
      std::string text;
      for (size_t i = 0; i < length; ++i) text.push_back(static_cast<char>('0' + (i * 7 + 3) % 10));
      const size_t digits = text.size();
      text += tail;
      uint64_t value = 4;  // folded in front of the run
      const char* stop = AccumulateDigits(text.data(), text.data() + text.size(), &value);
      ASSERT_EQ(stop - text.data(), static_cast<ptrdiff_t>(digits)) << text;
      uint64_t want = 4;
      for (size_t i = 0; i < digits; ++i) want = want * 10 + static_cast<uint64_t>(text[i] - '0');
      EXPECT_EQ(value, want) << text;  // both wrap alike past 19 digits
    }
  }
}

struct Scanned {
  bool ok;
  size_t length;
  DecimalLiteral literal;
};

Scanned Scan(const std::string& text) {
  Scanned out{};
  const char* stop = ScanNumberLiteral(text.data(), text.data() + text.size(), &out.literal);
  out.ok = stop != nullptr;
  out.length = stop != nullptr ? static_cast<size_t>(stop - text.data()) : 0;
  return out;
}

TEST(NumberLiteral, RefusesWhatTheGrammarRefuses) {
  for (const char* text : {"", "-", "+1", ".5", "01", "-01", "1.", "1.e5", "1e", "1e+", "1e-x", "-x", "x", "--1", "00"}) {
    EXPECT_FALSE(Scan(text).ok) << text;
  }
}

TEST(NumberLiteral, StopsAfterTheLiteral) {
  EXPECT_EQ(Scan("12,").length, 2u);
  EXPECT_EQ(Scan("-0]").length, 2u);
  EXPECT_EQ(Scan("1.25e-3x").length, 7u);
  EXPECT_EQ(Scan("1E+2 ").length, 4u);
  EXPECT_EQ(Scan("0.5.5").length, 3u);
}

TEST(NumberLiteral, SignificantDigitsAndPower) {
  const Scanned a = Scan("0.000123");
  EXPECT_EQ(a.literal.mantissa, 123u);
  EXPECT_EQ(a.literal.exponent, -6);
  EXPECT_EQ(a.literal.significant, 3u);
  const Scanned b = Scan("-1200.50e2");
  EXPECT_TRUE(b.literal.negative);
  EXPECT_FALSE(b.literal.is_integer);
  EXPECT_EQ(b.literal.mantissa, 120050u);
  EXPECT_EQ(b.literal.exponent, 0);
  EXPECT_EQ(b.literal.integer_digits, 4u);
  const Scanned c = Scan("123456789012345678901");
  EXPECT_TRUE(c.literal.is_integer);
  EXPECT_EQ(c.literal.significant, 21u);
  EXPECT_EQ(Scan("0").literal.significant, 0u);
  EXPECT_GE(Scan("1e99999999999999999999").literal.exponent, 100000000);
}

// The quick conversion agrees with from_chars wherever it gives an answer.
TEST(NumberLiteral, QuickDoubleIsCorrectlyRounded) {
  const char* texts[] = {"0.1", "-0", "-0.0", "0e400", "1e22", "1e23", "9007199254740993", "9007199254740992",
                         "2.2250738585072014e-308", "1.7976931348623157e308", "123456.789e-3", "4.35",
                         "99.58797417271366", "1234567890123456789", "0.30000000000000004",
                         "8.98846567431158e307", "5e-324", "1e400", "17976931348623159e292", "1e-400",
                         "12345678901234567890", "0.000000000000000000000000000001"};
  for (const char* text : texts) {
    const Scanned s = Scan(text);
    ASSERT_TRUE(s.ok) << text;
    double quick = 0;
    if (!LiteralDoubleQuick(s.literal, &quick)) continue;
    double want = 0;
    std::from_chars(text, text + std::char_traits<char>::length(text), want);
    EXPECT_EQ(std::bit_cast<uint64_t>(quick), std::bit_cast<uint64_t>(want)) << text;
  }
  double value = 0;
  EXPECT_FALSE(LiteralDoubleQuick(Scan("1e400").literal, &value));  // beyond the range: a full parser decides
  EXPECT_FALSE(LiteralDoubleQuick(Scan("12345678901234567890").literal, &value));
  EXPECT_TRUE(LiteralDoubleQuick(Scan("-0").literal, &value));
  EXPECT_TRUE(std::signbit(value));
}

}  // namespace
}  // namespace velum::json
