#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "json_sink/base64.h"
#include "json_sink/json_escape.h"
#include "json_sink/json_text.h"
#include "json_sink/number_text.h"
#include "json_sink/text_buffer.h"
#include "raw_alloc_stub.h"

namespace velum::json_sink {
namespace {

std::string Quoted(const std::string& text) {
  TextBuffer out;
  AppendJsonString(out, text.data(), text.size());
  EXPECT_TRUE(out.ok());
  return std::string(out.data(), out.size());
}

struct EscapeCase {
  std::string in;
  std::string out;
};

class EscapeTest : public ::testing::TestWithParam<EscapeCase> {};

TEST_P(EscapeTest, WritesTheEscapeTable) { EXPECT_EQ(Quoted(GetParam().in), GetParam().out); }

INSTANTIATE_TEST_SUITE_P(
    Table, EscapeTest,
    ::testing::Values(EscapeCase{"", "\"\""}, EscapeCase{"plain", "\"plain\""},
                      EscapeCase{"a\"b\\c\td\x01", R"("a\"b\\c\td\u0001")"},
                      EscapeCase{"\b\f\n\r", R"("\b\f\n\r")"}, EscapeCase{"\x1f\x0b", R"("\u001f\u000b")"},
                      EscapeCase{std::string("\0", 1), R"("\u0000")"},
                      EscapeCase{"\xc3\xa9/\xe2\x82\xac", "\"\xc3\xa9/\xe2\x82\xac\""},
                      EscapeCase{"\x7f \x20", "\"\x7f \x20\""},
                      // Escapes inside and at the edges of whole words.
                      EscapeCase{"0123456\"89abcdef\\", R"("0123456\"89abcdef\\")"},
                      EscapeCase{"\"1234567", R"("\"1234567")"},
                      EscapeCase{"abcdefghijklmnopq\n", R"("abcdefghijklmnopq\n")"}));

// Every byte value at every position of a word, against a byte-at-a-time model.
TEST(EscapeTest, AgreesWithByteModelAtEveryOffset) {
  for (int byte = 0; byte < 256; ++byte) {
    for (size_t pos = 0; pos < 19; ++pos) {
      std::string text(19, 'x');
      text[pos] = static_cast<char>(byte);
      const bool special = byte < 0x20 || byte == '"' || byte == '\\';
      EXPECT_EQ(PlainRunLength(text.data(), text.size()), special ? pos : text.size())
          << "byte " << byte << " at " << pos;
    }
  }
}

// Bytes just above a special one must not hide it (borrows run upwards only).
TEST(EscapeTest, BorrowDoesNotMaskLaterBytes) {
  const std::string text = std::string("\x20\x1f", 2) + "abcdef";
  EXPECT_EQ(PlainRunLength(text.data(), text.size()), 1u);
}

struct FloatCase {
  double value;
  const char* text;
};

class FloatReprTest : public ::testing::TestWithParam<FloatCase> {};

TEST_P(FloatReprTest, MatchesPythonRepr) {
  char out[kFloatTextMax];
  const size_t n = FormatFloatRepr(GetParam().value, out);
  EXPECT_EQ(std::string(out, n), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    Layout, FloatReprTest,
    ::testing::Values(FloatCase{0.0, "0.0"}, FloatCase{-0.0, "-0.0"}, FloatCase{1.0, "1.0"},
                      FloatCase{0.0001, "0.0001"}, FloatCase{0.00001, "1e-05"}, FloatCase{123.456, "123.456"},
                      FloatCase{-1.5, "-1.5"}, FloatCase{1e16, "1e+16"},
                      FloatCase{9999999999999998.0, "9999999999999998.0"},
                      FloatCase{1000000000000000.0, "1000000000000000.0"}, FloatCase{1.5e300, "1.5e+300"},
                      FloatCase{5e-324, "5e-324"}, FloatCase{0.1, "0.1"}, FloatCase{0.00012, "0.00012"},
                      FloatCase{-2.2250738585072014e-308, "-2.2250738585072014e-308"},
                      FloatCase{1.7976931348623157e308, "1.7976931348623157e+308"},
                      FloatCase{3.4028234663852886e38, "3.4028234663852886e+38"},
                      FloatCase{123456789012345.6, "123456789012345.6"}, FloatCase{1e22, "1e+22"},
                      FloatCase{std::numeric_limits<double>::infinity(), "inf"},
                      FloatCase{-std::numeric_limits<double>::infinity(), "-inf"}, FloatCase{std::nan(""), "nan"}));

struct IntegerCase {
  int64_t value;
  const char* text;
};

class IntegerTest : public ::testing::TestWithParam<IntegerCase> {};

TEST_P(IntegerTest, WritesDigits) {
  char out[kIntegerTextMax];
  EXPECT_EQ(std::string(out, FormatInteger(GetParam().value, out)), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(Digits, IntegerTest,
                         ::testing::Values(IntegerCase{0, "0"}, IntegerCase{-7, "-7"}, IntegerCase{10, "10"},
                                           IntegerCase{INT64_MIN, "-9223372036854775808"},
                                           IntegerCase{INT64_MAX, "9223372036854775807"}));

TEST(IntegerTest, UnsignedMaximum) {
  char out[kIntegerTextMax];
  EXPECT_EQ(std::string(out, FormatUnsigned(UINT64_MAX, out)), "18446744073709551615");
}

class Base64Test : public ::testing::TestWithParam<std::pair<std::string, std::string>> {};

TEST_P(Base64Test, StandardAlphabetWithPadding) {
  const auto& [in, expected] = GetParam();
  std::string out(Base64Length(in.size()), '?');
  Base64Encode(reinterpret_cast<const uint8_t*>(in.data()), in.size(), out.data());
  EXPECT_EQ(out, expected);
}

INSTANTIATE_TEST_SUITE_P(Rfc4648, Base64Test,
                         ::testing::Values(std::pair<std::string, std::string>{"", ""},
                                           std::pair<std::string, std::string>{"f", "Zg=="},
                                           std::pair<std::string, std::string>{"fo", "Zm8="},
                                           std::pair<std::string, std::string>{"foo", "Zm9v"},
                                           std::pair<std::string, std::string>{"foobar", "Zm9vYmFy"},
                                           std::pair<std::string, std::string>{"\xfb\xff\xbf", "+/+/"},
                                           std::pair<std::string, std::string>{std::string("\0\0", 2), "AAA="}));

std::string Text(const JsonText& json) { return std::string(json.text()); }

TEST(JsonTextTest, SeparatorsWithoutWhitespace) {
  JsonText json;
  json.BeginObject();
  json.MemberName("a", 1);
  json.Integer(1);
  json.MemberName("b", 1);
  json.BeginArray();
  json.BeginObject();
  json.EndObject();
  json.Null();
  json.Boolean(true);
  json.Boolean(false);
  json.String("s", 1);
  json.Float(0.5);
  json.Unsigned(UINT64_MAX);
  json.RawNumber("123", 3);
  json.BeginArray();
  json.EndArray();
  json.EndArray();
  json.MemberName("c\"", 2);
  json.BeginObject();
  json.MemberName("", 0);
  json.String("", 0);
  json.EndObject();
  json.EndObject();
  ASSERT_TRUE(json.ok());
  EXPECT_EQ(Text(json),
            R"({"a":1,"b":[{},null,true,false,"s",0.5,18446744073709551615,123,[]],"c\"":{"":""}})");
  EXPECT_EQ(json.depth(), 0u);
}

TEST(JsonTextTest, TopLevelScalarAndEmptyArrayOfObject) {
  JsonText scalar;
  scalar.String("x", 1);
  EXPECT_EQ(Text(scalar), R"("x")");
  JsonText nested;
  nested.BeginArray();
  nested.BeginObject();
  nested.EndObject();
  nested.EndArray();
  EXPECT_EQ(Text(nested), "[{}]");
}

TEST(JsonTextTest, DeepNestingGrowsTheFrameStack) {
  JsonText json;
  for (int i = 0; i < 1000; ++i) json.BeginArray();
  for (int i = 0; i < 1000; ++i) json.EndArray();
  ASSERT_TRUE(json.ok());
  EXPECT_EQ(json.size(), 2000u);
  EXPECT_EQ(json.text().substr(0, 3), "[[[");
}

TEST(JsonTextTest, AllocationFailureIsStickyAndLeaksNothing) {
  const long before = testing::LiveAllocations();
  for (int fail_at = 0; fail_at < 6; ++fail_at) {
    {
      JsonText json;
      testing::AllocationFailureScope scope(fail_at);
      json.BeginArray();
      for (int i = 0; i < 200; ++i) json.String("0123456789abcdef", 16);
      json.EndArray();
      EXPECT_FALSE(json.ok()) << "failure after " << fail_at;
    }
    EXPECT_EQ(testing::LiveAllocations(), before);
  }
}

TEST(TextBufferTest, GrowsGeometricallyFromOneBlock) {
  TextBuffer buffer;
  EXPECT_EQ(buffer.capacity(), 0u);
  buffer.Push('x');
  EXPECT_EQ(buffer.capacity(), 64u);
  const std::string chunk(100, 'y');
  buffer.Append(chunk.data(), chunk.size());
  EXPECT_EQ(buffer.capacity(), 128u);
  buffer.Append(chunk.data(), chunk.size());
  EXPECT_EQ(buffer.capacity(), 256u);
  EXPECT_EQ(buffer.size(), 201u);
  EXPECT_TRUE(buffer.ok());
}

TEST(TextBufferTest, RefusesAnImpossibleReservation) {
  TextBuffer buffer;
  EXPECT_EQ(buffer.Reserve(SIZE_MAX - 3), nullptr);
  EXPECT_FALSE(buffer.ok());
  buffer.Push('x');
  EXPECT_EQ(buffer.size(), 0u);
}

}  // namespace
}  // namespace velum::json_sink

namespace velum::json_sink {
namespace {

// Each length takes one of the scanner's roads (one word built from partial
// loads, one vector of two overlapping halves, whole vectors and an
// overlapping last one): every byte class at every position of each length.
TEST(EscapeTest, ShortTextsAgreeWithByteModel) {
  for (size_t size = 1; size <= 40; ++size) {
    for (int byte : {0x00, 0x1f, 0x20, 0x22, 0x5c, 0x41, 0x7f, 0x80, 0xc3, 0xff}) {
      for (size_t pos = 0; pos < size; ++pos) {
        std::string text(size, 'x');
        text[pos] = static_cast<char>(byte);
        const bool special = byte < 0x20 || byte == '"' || byte == '\\';
        EXPECT_EQ(PlainRunLength(text.data(), text.size()), special ? pos : size)
            << "byte " << byte << " at " << pos << " of " << size;
      }
    }
  }
  EXPECT_EQ(PlainRunLength("", 0), 0u);
}

// A member name is the quoted string and its colon, escaped or not.
TEST(EscapeTest, NameIsQuotedStringAndColon) {
  for (const std::string text : {"", "id", "0123456789abcdef_x", "a\"b", "0123456789abcdefgh\tij\\", "caf\xc3\xa9"}) {
    TextBuffer name;
    AppendJsonName(name, text.data(), text.size());
    EXPECT_EQ(std::string(name.data(), name.size()), Quoted(text) + ":") << text;
  }
}

// AppendJsonString reports bytes above 0x7f wherever they sit, also after an escape.
TEST(EscapeTest, ReportsNonAsciiAtEveryPosition) {
  for (size_t size = 1; size <= 40; ++size) {
    for (size_t pos = 0; pos < size; ++pos) {
      std::string text(size, 'x');
      text[pos] = static_cast<char>(0xe9);
      TextBuffer out;
      EXPECT_TRUE(AppendJsonString(out, text.data(), text.size())) << pos << " of " << size;
      text[0] = '\n';
      if (pos == 0) continue;
      TextBuffer escaped;
      EXPECT_TRUE(AppendJsonString(escaped, text.data(), text.size())) << pos << " of " << size;
    }
    const std::string plain(size, 'x');
    TextBuffer out;
    EXPECT_FALSE(AppendJsonString(out, plain.data(), plain.size()));
  }
}

TEST(TextBufferTest, FirstBlockIsUsedThenLeftForTheHeap) {
  const long before = testing::LiveAllocations();
  char block[16];
  {
    TextBuffer buffer(block, sizeof block);
    buffer.Append("0123456789", 10);
    EXPECT_EQ(buffer.data(), block);
    EXPECT_EQ(testing::LiveAllocations(), before);
    buffer.Append("abcdefghij", 10);
    EXPECT_NE(buffer.data(), block);
    EXPECT_EQ(std::string(buffer.data(), buffer.size()), "0123456789abcdefghij");
    buffer.ShrinkToFit();
    EXPECT_EQ(buffer.capacity(), 20u);
    EXPECT_EQ(std::string(buffer.data(), buffer.size()), "0123456789abcdefghij");
  }
  EXPECT_EQ(testing::LiveAllocations(), before);
}

TEST(TextBufferTest, FailedMoveFromFirstBlockKeepsItsContent) {
  char block[8];
  TextBuffer buffer(block, sizeof block);
  buffer.Append("abc", 3);
  {
    testing::AllocationFailureScope scope(0);
    buffer.Append("0123456789", 10);
  }
  EXPECT_FALSE(buffer.ok());
  EXPECT_EQ(std::string(buffer.data(), buffer.size()), "abc");
}

TEST(JsonTextTest, PreparedKeysQuotedIntegersAndNonAsciiFlag) {
  char block[32];
  char frames[4];
  JsonText json(block, sizeof block, frames, sizeof frames);
  json.BeginObject();
  json.MemberKey(",\"a\":", 5);
  json.QuotedInteger(INT64_MIN);
  json.MemberKey(",\"b\":", 5);
  json.BeginArray();
  json.QuotedUnsigned(UINT64_MAX);
  json.QuotedInteger(0);
  json.EndArray();
  json.MemberName("c", 1);
  json.BeginObject();
  json.MemberKey(",\"d\":", 5);
  json.Null();
  json.EndObject();
  EXPECT_FALSE(json.non_ascii());
  json.MemberName("\xc3\xa9", 2);
  json.Boolean(true);
  json.EndObject();
  ASSERT_TRUE(json.ok());
  EXPECT_TRUE(json.non_ascii());
  EXPECT_EQ(Text(json), "{\"a\":\"-9223372036854775808\",\"b\":[\"18446744073709551615\",\"0\"],\"c\":{\"d\":null},"
                        "\"\xc3\xa9\":true}");
}

TEST(IntegerTest, EveryDigitCount) {
  uint64_t power = 1;
  for (int digits = 1; digits <= 20; ++digits) {
    char out[kIntegerTextMax];
    for (uint64_t value : {power, power - 1 + (digits == 1), power + 7}) {
      EXPECT_EQ(std::string(out, FormatUnsigned(value, out)), std::to_string(value));
      const auto as_signed = static_cast<int64_t>(value);
      if (as_signed >= 0) {
        EXPECT_EQ(std::string(out, FormatInteger(-as_signed, out)), std::to_string(-as_signed));
      }
    }
    if (digits < 20) power *= 10;
  }
}

INSTANTIATE_TEST_SUITE_P(
    PlainOrExponent, FloatReprTest,
    ::testing::Values(FloatCase{100000.0, "100000.0"}, FloatCase{1e15, "1000000000000000.0"},
                      FloatCase{1.2e15, "1200000000000000.0"}, FloatCase{123.0, "123.0"},
                      FloatCase{-100.0, "-100.0"}, FloatCase{0.001234, "0.001234"}, FloatCase{0.0001234, "0.0001234"},
                      FloatCase{9007199254740993.0, "9007199254740992.0"}, FloatCase{4503599627370495.5, "4503599627370495.5"},
                      FloatCase{0.5, "0.5"}, FloatCase{-0.25, "-0.25"}, FloatCase{99999.99999999999, "99999.99999999999"}));

}  // namespace
}  // namespace velum::json_sink

namespace velum::json_sink {
namespace {

// Text of every str width: plain unless a unit needs an escape or is a
// surrogate, wherever it sits, in texts shorter and longer than one vector.
template <class Unit>
void CheckUnitsArePlain(uint32_t wide) {
  for (size_t length = 1; length <= 40; length += length < 20 ? 1 : 3) {
    std::vector<Unit> text(length, static_cast<Unit>(wide));
    EXPECT_TRUE(UnitsArePlain(text.data(), length, sizeof(Unit))) << length;
    for (size_t pos = 0; pos < length; ++pos) {
      for (uint32_t stop : {0x00u, 0x1fu, 0x22u, 0x5cu, 0xd800u, 0xdbffu, 0xdc00u, 0xdfffu}) {
        if (sizeof(Unit) == 1 && stop > 0xff) continue;
        std::vector<Unit> with_stop = text;
        with_stop[pos] = static_cast<Unit>(stop);
        EXPECT_FALSE(UnitsArePlain(with_stop.data(), length, sizeof(Unit)))
            << "unit " << stop << " at " << pos << " of " << length;
      }
      for (uint32_t plain : {0x20u, 0x21u, 0x5bu, 0x7fu, 0xffu, 0xd7ffu, 0xe000u, 0xffffu, 0x10000u, 0x10ffffu}) {
        if (plain > (sizeof(Unit) == 1 ? 0xffu : sizeof(Unit) == 2 ? 0xffffu : 0x10ffffu)) continue;
        std::vector<Unit> with_plain = text;
        with_plain[pos] = static_cast<Unit>(plain);
        EXPECT_TRUE(UnitsArePlain(with_plain.data(), length, sizeof(Unit)))
            << "unit " << plain << " at " << pos << " of " << length;
      }
    }
  }
  EXPECT_TRUE(UnitsArePlain(nullptr, 0, sizeof(Unit)));
}

TEST(UnitsArePlainTest, EveryWidthEveryPosition) {
  CheckUnitsArePlain<uint8_t>(0xe9);
  CheckUnitsArePlain<uint16_t>(0x20ac);
  CheckUnitsArePlain<uint32_t>(0x1f642);
}

}  // namespace
}  // namespace velum::json_sink
