#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "json_parse/json_tokenizer.h"
#include "raw_alloc_stub.h"

namespace velum::json {
namespace {

// The code points of well-formed UTF-8.
std::vector<uint32_t> Points(std::string_view text) {
  std::vector<uint32_t> out;
  const auto* p = reinterpret_cast<const uint8_t*>(text.data());
  const auto* end = p + text.size();
  while (p < end) {
    uint32_t point = *p;
    size_t n = 1;
    if (point >= 0x80) {
      n = utf8::DecodeSequence(p, static_cast<size_t>(end - p), &point);
      if (n == 0) ADD_FAILURE() << "not UTF-8";
      if (n == 0) return out;
    }
    out.push_back(point);
    p += n;
  }
  return out;
}

uint32_t Widest(const std::vector<uint32_t>& points) {
  uint32_t widest = 0;
  for (uint32_t p : points) widest = p > widest ? p : widest;
  return widest <= 0x7f ? utf8::kAsciiMax : widest <= 0xff ? utf8::kLatin1Max : widest <= 0xffff ? utf8::kBmpMax
                                                                                                : utf8::kUnicodeMax;
}

// Reads `text` (one JSON string and what follows) both ways and checks that
// they agree: the same failure at the same offset, or the same code points,
// the same width and the same position afterwards.
void ExpectSameAsReadString(const std::string& text) {
  JsonTokenizer bytes(text.data(), text.size());
  JsonTokenizer units(text.data(), text.size());
  std::string_view utf8_value;
  StringUnits value;
  const bool ok = bytes.ReadString(&utf8_value);
  ASSERT_EQ(units.ReadStringUnits(&value), ok) << text;
  if (!ok) {
    EXPECT_EQ(units.error().code, bytes.error().code) << text;
    EXPECT_EQ(units.error().offset, bytes.error().offset) << text;
    return;
  }
  EXPECT_EQ(units.offset(), bytes.offset()) << text;
  const std::vector<uint32_t> want = Points(utf8_value);
  std::vector<uint32_t> got;
  if (value.in_place) {
    for (char c : value.ascii) got.push_back(static_cast<uint8_t>(c));
    EXPECT_EQ(Widest(want), utf8::kAsciiMax) << text;
  } else {
    got.assign(value.units, value.units + value.length);
    EXPECT_EQ(value.max_char, Widest(want)) << text;
  }
  EXPECT_EQ(got, want) << text;
}

class StringUnitsCases : public ::testing::TestWithParam<const char*> {};

TEST_P(StringUnitsCases, AgreeWithReadString) { ExpectSameAsReadString(GetParam()); }

INSTANTIATE_TEST_SUITE_P(
    Tokenizer, StringUnitsCases,
    ::testing::Values(
        // In place, decoded at each width, escapes alone and among wide text.
        "\"\"", "\"plain ascii text that spans several words\"", "\"caf\xc3\xa9\"", "\"\xc3\xa9\"",
        "\"\xe2\x82\xac and \xc3\xa9\"", "\"emoji \xf0\x9f\x98\x80 then ascii\"", "\"a\\nb\"", "\"\\u00e9\"",
        "\"\\u20ac\"", "\"\\ud83d\\ude00\"", "\"\\u0000x\"", "\"\xf0\x9f\x98\x80\\t\xc3\xa9\\\"\"",
        "\"\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9xy\"", "\"\\/\\b\\f\\r\" rest",
        // Refusals: their code and offset must not move.
        "\"ab", "\"\xc3\xa9", "\"\xc3\xa9\\", "\"\\u12", "\"\\x\"", "\"\xc3\xa9\\u12g4\"", "\"\xc3\xa9\x01\"",
        "\"a\xc3\"", "\"\xc3\xa9\xff\"", "\"\xed\xa0\x80\"", "\"\xc0\xaf\"", "\"\xf4\x90\x80\x80\"",
        "\"\xe2\x82\xac\\ud800\"", "\"\\ud800\\u0041\"", "\"\\udc00\"", "\"\xf0\x9f\x98\"", "1", "{"));

TEST(StringUnits, AgreeWithReadStringOnRandomText) {
  // Pieces chosen to straddle word boundaries of the plain-run scan and the
  // growth of the unit buffer.
  const std::vector<std::string> pieces = {"a", "bcdefgh", "\xc3\xa9", "\xe2\x82\xac", "\xf0\x9f\x98\x80",
                                           "\\n", "\\u00e9", "\\ud83d\\ude00", " ", "0123456789abcdef"};
  const std::vector<std::string> spoilers = {"\x01", "\xff", "\xc3", "\\q", "\\u12"};
  std::mt19937 rng(12345);
  for (int round = 0; round < 2000; ++round) {
    std::string text = "\"";
    const size_t count = rng() % 200;
    for (size_t i = 0; i < count; ++i) text += pieces[rng() % pieces.size()];
    if (round % 7 == 0) text.insert(1 + rng() % (text.size()), spoilers[rng() % spoilers.size()]);
    if (round % 11 != 0) text += "\"";
    ExpectSameAsReadString(text);
  }
}

TEST(SamePlainText, EveryLengthEveryPosition) {
  // Each byte position of each length decides alone: a differing byte, and a
  // byte that no plain run holds, both refuse.
  // Both with room to read a whole word of the text and without.
  const std::string base = "abcdefghijklmnop";
  for (size_t n = 1; n <= 16; ++n) {
    for (size_t room : {n, n + 8}) {
      const std::string a = base.substr(0, n) + "\"\"\"\"\"\"\"\"";
      const std::string name = base.substr(0, n);
      EXPECT_TRUE(SamePlainText(a.data(), room, name.data(), n)) << n;
      for (size_t at = 0; at < n; ++at) {
        for (char stop : {'x', '"', '\\', '\n', '\x80'}) {
          std::string b = name;
          b[at] = stop;
          EXPECT_FALSE(SamePlainText(a.data(), room, b.data(), n)) << n << " " << at;
          if (stop == 'x') continue;
          std::string text = a;
          text[at] = stop;
          EXPECT_FALSE(SamePlainText(text.data(), room, b.data(), n)) << n << " " << at;
        }
      }
    }
  }
}

TEST(Tokenizer, MatchKeyTakesOnlyThePlainNameFollowedByItsColon) {
  struct Case {
    const char* text;
    const char* name;
    bool matched;
    size_t offset;  // after a match, at the value
  };
  const Case cases[] = {
      {"{\"abc\":1}", "abc", true, 7},     {"{\"abc\" \n:1}", "abc", true, 9},
      {"{\"abcd\":1}", "abc", false, 1},  {"{\"ab\":1}", "abc", false, 1},
      {"{\"a\\u0062c\":1}", "abc", false, 1}, {"{\"abc\" 1}", "abc", false, 1},
      {"{\"abc\"", "abc", false, 1},       {"{\"abc\"  ", "abc", false, 1},
      {"{\"abcdefghijklmnopq\":1}", "abcdefghijklmnopq", false, 1},
  };
  for (const Case& c : cases) {
    const std::string text = c.text;
    JsonTokenizer t(text.data(), text.size());
    bool more = false;
    ASSERT_TRUE(t.EnterObject(&more)) << c.text;
    EXPECT_EQ(t.MatchKey(c.name), c.matched) << c.text;
    EXPECT_EQ(t.offset(), c.offset) << c.text;
    EXPECT_FALSE(t.failed()) << c.text;
  }
}

TEST(StringUnits, GrowthFailureIsReportedNotThrown) {
  const std::string text = "\"\xc3\xa9" + std::string(400, 'a') + "\"";
  JsonTokenizer t(text.data(), text.size());
  StringUnits value;
  {
    velum::testing::AllocationFailureScope fail(0);
    EXPECT_FALSE(t.ReadStringUnits(&value));
  }
  EXPECT_EQ(t.error().code, SyntaxCode::kOutOfMemory);
}

}  // namespace
}  // namespace velum::json
