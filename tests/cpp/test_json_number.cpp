#include <gtest/gtest.h>

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "json_parse/base64_decode.h"
#include "json_parse/json_number.h"

namespace velum::json {
namespace {

double Literal(const std::string& text) {
  JsonTokenizer t(text.data(), text.size());
  NumberToken token;
  EXPECT_TRUE(t.ReadNumber(&token)) << text;
  return LiteralToDouble(token);
}

TEST(JsonNumber, LiteralsRoundToNearest) {
  EXPECT_EQ(Literal("0.1"), 0.1);
  EXPECT_EQ(Literal("1.7976931348623157e308"), std::numeric_limits<double>::max());
  EXPECT_EQ(Literal("4.9e-324"), std::numeric_limits<double>::denorm_min());
  EXPECT_EQ(Literal("9007199254740993"), 9007199254740992.0);  // ties to even
  EXPECT_EQ(Literal("2.2250738585072011e-308"), 2.225073858507201e-308);
  EXPECT_TRUE(std::signbit(Literal("-0")));
}

TEST(JsonNumber, LiteralsBeyondTheRangeSaturate) {
  EXPECT_EQ(Literal("1e400"), std::numeric_limits<double>::infinity());
  EXPECT_EQ(Literal("-123456e99999999999999999999"), -std::numeric_limits<double>::infinity());
  EXPECT_EQ(Literal("1e-400"), 0.0);
  EXPECT_TRUE(std::signbit(Literal("-0.0000001e-400")));
  EXPECT_EQ(Literal("0.000000000000000000001e330"), std::numeric_limits<double>::infinity());
  EXPECT_EQ(Literal("100000e-330"), 0.0);
  EXPECT_EQ(Literal(std::string(400, '9')), std::numeric_limits<double>::infinity());
}

TEST(JsonNumber, IntegerLiteralsToInt64) {
  int64_t v = 0;
  auto check = [&](const std::string& text) {
    JsonTokenizer t(text.data(), text.size());
    NumberToken token;
    EXPECT_TRUE(t.ReadNumber(&token));
    return LiteralToInt64(token, &v);
  };
  EXPECT_TRUE(check("9223372036854775807"));
  EXPECT_EQ(v, std::numeric_limits<int64_t>::max());
  EXPECT_TRUE(check("-9223372036854775808"));
  EXPECT_EQ(v, std::numeric_limits<int64_t>::min());
  EXPECT_FALSE(check("9223372036854775808"));
  EXPECT_FALSE(check("1.0"));
}

TEST(JsonNumber, DecimalFloatStrings) {
  double v = 0;
  struct Case {
    const char* text;
    double value;
  };
  for (const Case& c : {Case{"1.5", 1.5}, Case{"+1.5", 1.5}, Case{"-2", -2.0}, Case{"1e10", 1e10}, Case{".5", 0.5},
                        Case{"5.", 5.0}, Case{"1E-2", 0.01}, Case{"1e400", std::numeric_limits<double>::infinity()},
                        Case{"-1e400", -std::numeric_limits<double>::infinity()}, Case{"1e-400", 0.0}}) {
    ASSERT_TRUE(ParseDecimalFloat(c.text, &v)) << c.text;
    EXPECT_EQ(v, c.value) << c.text;
  }
  for (const char* word : {"inf", "-Infinity", "INF", "nan", "NaN"}) {
    ASSERT_TRUE(ParseDecimalFloat(word, &v)) << word;
    EXPECT_FALSE(std::isfinite(v));
  }
  for (const char* bad : {"", "+", "-", "+-1", "++1", "1e", "1.5x", "0x10", "abc", "1 ", " 1", "1_0", "--1"}) {
    EXPECT_FALSE(ParseDecimalFloat(bad, &v)) << bad;
  }
}

TEST(JsonNumber, SmallDecimalInts) {
  int64_t v = 0;
  ASSERT_TRUE(ParseSmallDecimalInt("+5", &v));
  EXPECT_EQ(v, 5);
  ASSERT_TRUE(ParseSmallDecimalInt("-007", &v));
  EXPECT_EQ(v, -7);
  ASSERT_TRUE(ParseSmallDecimalInt("999999999999999999", &v));
  EXPECT_EQ(v, 999999999999999999);
  for (const char* other : {"", "-", "1_0", "1.0", "1e3", "9999999999999999999", " 1"}) {
    EXPECT_FALSE(ParseSmallDecimalInt(other, &v)) << other;
  }
}

TEST(JsonNumber, AsciiSpaceEnds) {
  for (const char* spaced : {" 1", "1 ", "\t1", "1\n", "\v1", "1\x1f"}) EXPECT_TRUE(HasAsciiSpaceEnd(spaced));
  for (const char* plain : {"", "1", "1 1", "x"}) EXPECT_FALSE(HasAsciiSpaceEnd(plain));
}

TEST(JsonNumber, PlainDecimalNeverUsesAnExponent) {
  EXPECT_EQ(std::string(PlainDecimal(1e39).c_str()), "1" + std::string(39, '0'));
  EXPECT_EQ(std::string(PlainDecimal(-3.5e38).c_str()), "-35" + std::string(37, '0'));
  EXPECT_EQ(std::string(PlainDecimal(1.5).c_str()), "1.5");
  EXPECT_EQ(std::string(PlainDecimal(0.00125).c_str()), "0.00125");
  EXPECT_EQ(std::string(PlainDecimal(3.4028234663852886e38).c_str()), "340282346638528860000000000000000000000");
}

std::string Decode(const std::string& text, bool* ok) {
  const auto size = Base64DecodedSize(text);
  *ok = size.has_value();
  if (!size) return "";
  std::string out(*size, '\0');
  Base64Decode(text, reinterpret_cast<uint8_t*>(out.data()));
  return out;
}

TEST(Base64, BothAlphabetsWithAndWithoutPadding) {
  struct Case {
    const char* text;
    std::string bytes;
  };
  for (const Case& c : {Case{"", ""}, Case{"YQ", "a"}, Case{"YQ==", "a"}, Case{"YWI", "ab"}, Case{"YWI=", "ab"},
                        Case{"YWJj", "abc"}, Case{"-_8", "\xfb\xff"}, Case{"+/8=", "\xfb\xff"},
                        Case{"+/+/", "\xfb\xff\xbf"}, Case{"-_-_", "\xfb\xff\xbf"}, Case{"YR", "a"},
                        Case{"AAECAwQFBgc", std::string("\0\1\2\3\4\5\6\7", 8)}}) {
    bool ok = false;
    EXPECT_EQ(Decode(c.text, &ok), c.bytes) << c.text;
    EXPECT_TRUE(ok) << c.text;
  }
}

TEST(Base64, Refusals) {
  for (const char* bad : {"Y", "Y Q==", "YQ=", "YQ===", "=", "Y=Q=", "+-AA", "/_AA", "YQ==\n", "a.b=", "YWJjZ"}) {
    bool ok = true;
    Decode(bad, &ok);
    EXPECT_FALSE(ok) << bad;
  }
}

}  // namespace
}  // namespace velum::json

namespace velum::json {
namespace {

TEST(DecimalInteger, SixtyFourBitsEitherSign) {
  const struct {
    const char* text;
    bool negative;
    uint64_t magnitude;
  } cases[] = {
      {"0", false, 0},
      {"-0", true, 0},
      {"+7", false, 7},
      {"007", false, 7},
      {"18446744073709551615", false, UINT64_MAX},
      {"-9223372036854775808", true, uint64_t{1} << 63},
      {"9223372036854775808", false, uint64_t{1} << 63},
  };
  for (const auto& c : cases) {
    bool negative = false;
    uint64_t magnitude = 1;
    ASSERT_TRUE(ParseDecimalInteger(c.text, &negative, &magnitude)) << c.text;
    EXPECT_EQ(negative, c.negative) << c.text;
    EXPECT_EQ(magnitude, c.magnitude) << c.text;
  }
  for (const char* bad : {"", "-", "+", "18446744073709551616", "-9223372036854775809", "000000000000000000001",
                          "1_000", " 1", "1 ", "1.0", "1e3", "--1", "+-1", "0x10"}) {
    bool negative = false;
    uint64_t magnitude = 0;
    EXPECT_FALSE(ParseDecimalInteger(bad, &negative, &magnitude)) << bad;
  }
}

TEST(JsonNumber, SmallIntegerLiteralsCarryTheirValue) {
  for (const char* text : {"0", "-0", "7", "-123456789012345678", "999999999999999999"}) {
    JsonTokenizer t(text, std::strlen(text));
    NumberToken token;
    ASSERT_TRUE(t.ReadNumber(&token));
    int64_t v = 1;
    ASSERT_TRUE(LiteralToInt64(token, &v));
    EXPECT_EQ(v, std::stoll(text)) << text;
  }
  for (const char* text : {"9223372036854775807", "-9223372036854775808"}) {
    JsonTokenizer t(text, std::strlen(text));
    NumberToken token;
    ASSERT_TRUE(t.ReadNumber(&token));
    EXPECT_FALSE(token.small);
    int64_t v = 1;
    ASSERT_TRUE(LiteralToInt64(token, &v));
    EXPECT_EQ(v, std::stoll(text)) << text;
  }
}

TEST(Base64, OnePassDecodeRefusesWhatTheSizeCheckRefuses) {
  for (const char* text : {"Y Q=", "+-AA", "/_AA", "a.b=", "YWJj+_==", "AAAA\x80" "AAA", "YQ", "-_8", "+/+/"}) {
    const std::string s(text);
    const auto padded = Base64PaddedSize(s);
    ASSERT_TRUE(padded.has_value()) << text;
    std::string out(*padded, '\0');
    EXPECT_EQ(Base64Decode(s, reinterpret_cast<uint8_t*>(out.data())), Base64DecodedSize(s).has_value()) << text;
  }
}

}  // namespace
}  // namespace velum::json

namespace velum::json {
namespace {

// Literals on both sides of the exact shortcut's bounds read as from_chars
// reads them, bit for bit.
TEST(JsonNumber, ExactShortcutAgreesWithFromChars) {
  const char* texts[] = {"0", "-0", "-0.0", "0.1", "1.5", "123.456", "-98.7654321", "9007199254740992",
                         "9007199254740993", "9007199254740992.5", "1e22", "1e23", "1.5e-22", "15e-23",
                         "4.35", "0.3", "1234567890123456789", "12345678901234567890", "1e-5", "7E+2",
                         "100.23456789012345", "2.2250738585072014e-308", "0.000001", "1e000"};
  for (const char* text : texts) {
    JsonTokenizer t(text, std::strlen(text));
    NumberToken token;
    ASSERT_TRUE(t.ReadNumber(&token)) << text;
    double want = 0;
    std::from_chars(text, text + std::strlen(text), want);
    const double got = LiteralToDouble(token);
    EXPECT_EQ(std::memcmp(&got, &want, sizeof got), 0) << text << " " << got << " " << want;
  }
}

}  // namespace
}  // namespace velum::json
