#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "common/utf8_text.h"
#include "json_parse/json_tokenizer.h"
#include "json_parse/string_scan.h"

namespace velum::json {
namespace {

size_t StopAt(const std::string& text) {
  const auto* p = reinterpret_cast<const uint8_t*>(text.data());
  return static_cast<size_t>(SkipPlainRun(p, p + text.size()) - p);
}

// Every stop byte at every position of texts that span one to three words,
// with plain bytes just either side of each stop class's bounds around it.
TEST(StringScan, FindsTheFirstStopAtEveryPosition) {
  const uint8_t stops[] = {'"', '\\', 0x00, 0x1f, 0x80, 0xc3, 0xff};
  for (size_t length = 1; length <= 24; ++length) {
    for (size_t at = 0; at < length; ++at) {
      for (uint8_t stop : stops) {
        std::string text(length, 'a');
        for (size_t i = 0; i < length; ++i) text[i] = "!#[]~ 0Z"[i % 8];  // plain neighbours of the stop bytes
        text[at] = static_cast<char>(stop);
        EXPECT_EQ(StopAt(text), at) << "length " << length << " at " << at << " byte " << int(stop);
        // A later stop of another class never hides the first one.
        if (at + 1 < length) {
          text[at + 1] = '"';
          EXPECT_EQ(StopAt(text), at) << "length " << length << " at " << at << " byte " << int(stop);
        }
      }
    }
  }
}

TEST(StringScan, PlainTextRunsToTheEnd) {
  for (size_t length = 0; length <= 20; ++length) {
    std::string text;
    for (size_t i = 0; i < length; ++i) text.push_back(static_cast<char>(0x20 + (i * 7) % 0x5f));
    for (char& c : text) {
      if (c == '"' || c == '\\') c = 'x';
    }
    EXPECT_EQ(StopAt(text), length);
  }
}

TEST(StringScan, StopsJustAfterBorrowsFromAnEarlierStop) {
  // A zero byte borrows into the next one's test; the first stop still wins.
  EXPECT_EQ(StopAt(std::string("abc\0\x21xyzabc", 11)), 3u);
  EXPECT_EQ(StopAt(std::string("abcdefg\x01\"", 9)), 7u);
  EXPECT_EQ(StopAt("abcdefgh\x1f"), 8u);
}

bool Ascii(const std::string& json, std::string* out) {
  JsonTokenizer t(json.data(), json.size());
  std::string_view value;
  if (!t.ReadString(&value)) return false;
  *out = std::string(value);
  return t.string_ascii();
}

TEST(StringScan, TokenizerTellsAsciiStrings) {
  std::string out;
  EXPECT_TRUE(Ascii(R"("plain text of some length")", &out));
  EXPECT_TRUE(Ascii(R"("with \"escapes\" and \u0041")", &out));
  EXPECT_EQ(out, "with \"escapes\" and A");
  EXPECT_FALSE(Ascii("\"caf\xc3\xa9 au lait, long enough\"", &out));
  EXPECT_FALSE(Ascii(R"("escaped \u00e9")", &out));
  EXPECT_EQ(out, "escaped \xc3\xa9");
  EXPECT_FALSE(Ascii("\"\\n then \xe6\x97\xa5\"", &out));
  EXPECT_TRUE(Ascii(R"("")", &out));
}

// The tokenizer's count and width of an unescaped string agree with a
// separate measure of the same text, whatever mix of widths it holds.
TEST(StringScan, TokenizerMeasuresWhatItValidates) {
  const char* pieces[] = {"a", "plain ascii", "\xc3\xa9", "\xc4\x80", "\xe6\x97\xa5", "\xf0\x9f\x99\x82", "12345678"};
  for (size_t mask = 1; mask < 128; ++mask) {
    std::string text;
    for (size_t i = 0; i < 7; ++i) {
      if (mask & (size_t{1} << i)) text += pieces[(i + mask) % 7];
    }
    const std::string json = "\"" + text + "\"";
    JsonTokenizer t(json.data(), json.size());
    std::string_view value;
    ASSERT_TRUE(t.ReadString(&value)) << text;
    const utf8::Measure want = utf8::MeasureText(reinterpret_cast<const uint8_t*>(text.data()), text.size());
    ASSERT_TRUE(t.string_measured());
    EXPECT_EQ(t.string_length(), want.length) << text;
    EXPECT_EQ(t.string_max_char(), want.max_char) << text;
    EXPECT_EQ(t.string_ascii(), want.max_char == utf8::kAsciiMax) << text;
  }
  const std::string escaped = R"("a\u00e9b")";
  JsonTokenizer t(escaped.data(), escaped.size());
  std::string_view value;
  ASSERT_TRUE(t.ReadString(&value));
  EXPECT_FALSE(t.string_measured());
}

TEST(StringScan, TokenizerErrorsKeepTheirOffsets) {
  const struct {
    std::string json;
    SyntaxCode code;
    size_t offset;
  } cases[] = {
      {"\"abcdefghij\x01\"", SyntaxCode::kControlCharacter, 11},
      {"\"abcdefghijkl", SyntaxCode::kEofString, 13},
      {"\"abcdefghij\xc3(\"", SyntaxCode::kInvalidCodePoint, 11},
      {"\"ab\\ncdefghij\xff\"", SyntaxCode::kInvalidCodePoint, 13},
      {"\"ab\\ncdefghij\x1f\"", SyntaxCode::kControlCharacter, 13},
  };
  for (const auto& c : cases) {
    JsonTokenizer t(c.json.data(), c.json.size());
    std::string_view value;
    EXPECT_FALSE(t.ReadString(&value));
    EXPECT_EQ(t.error().code, c.code) << c.json;
    EXPECT_EQ(t.error().offset, c.offset) << c.json;
  }
}

}  // namespace
}  // namespace velum::json

namespace velum::json {
namespace {

struct MultiByteCase {
  std::string text;
  size_t stop;          // where the run ends
  uint32_t max_char;    // widest class met
  size_t continuation;  // bytes beyond the first of each sequence
};

class MultiByteRun : public ::testing::TestWithParam<MultiByteCase> {};

// Runs of sequences of every length, ended by ASCII, the end, or a malformed
// or cut-off sequence, which is left for the caller to report.
TEST_P(MultiByteRun, StopsAfterTheWellFormedSequences) {
  const auto& c = GetParam();
  const auto* p = reinterpret_cast<const uint8_t*>(c.text.data());
  uint32_t max_char = utf8::kAsciiMax;
  size_t continuation = 0;
  EXPECT_EQ(SkipMultiByteRun(p, p + c.text.size(), max_char, continuation) - p, static_cast<ptrdiff_t>(c.stop));
  EXPECT_EQ(max_char, c.max_char);
  EXPECT_EQ(continuation, c.continuation);
}

INSTANTIATE_TEST_SUITE_P(
    Sequences, MultiByteRun,
    ::testing::Values(MultiByteCase{"\xc3\xa9\xc3\xa8x", 4, utf8::kLatin1Max, 2},
                      MultiByteCase{"\xc3\xa9\xe2\x82\xac", 5, utf8::kBmpMax, 3},
                      MultiByteCase{"\xd0\x96\"", 2, utf8::kBmpMax, 1},
                      MultiByteCase{"\xe2\x82\xac\xf0\x9f\x98\x80\\", 7, utf8::kUnicodeMax, 5},
                      MultiByteCase{"\xc3\xa9\xed\xa0\x80", 2, utf8::kLatin1Max, 1},  // a surrogate
                      MultiByteCase{"\xe2\x82\xac\xe2\x82", 3, utf8::kBmpMax, 2},     // cut off by the end
                      MultiByteCase{"\x80", 0, utf8::kAsciiMax, 0},                   // a stray continuation
                      MultiByteCase{"\xc0\xaf", 0, utf8::kAsciiMax, 0}));             // overlong

}  // namespace
}  // namespace velum::json
