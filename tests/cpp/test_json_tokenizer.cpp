#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "json_parse/json_tokenizer.h"
#include "raw_alloc_stub.h"

namespace velum::json {
namespace {

struct Failure {
  std::string message;
  size_t offset;
};

// Skips the whole document as one value and runs the end check; returns the
// failure, or an empty message on success.
Failure SkipAll(const std::string& text) {
  JsonTokenizer t(text.data(), text.size());
  if (t.SkipValue() && t.EndCheck()) return {"", 0};
  const RawString message = SyntaxMessage(t.error());
  return {std::string(message.data(), message.size()), t.error().offset};
}

struct SyntaxCase {
  const char* text;
  const char* message;
  size_t offset;
};

class SyntaxErrors : public ::testing::TestWithParam<SyntaxCase> {};

TEST_P(SyntaxErrors, MessageAndOffset) {
  const SyntaxCase& c = GetParam();
  const Failure f = SkipAll(c.text);
  EXPECT_EQ(f.message, c.message) << c.text;
  EXPECT_EQ(f.offset, c.offset) << c.text;
}

INSTANTIATE_TEST_SUITE_P(
    Tokenizer, SyntaxErrors,
    ::testing::Values(
        SyntaxCase{"", "EOF while parsing a value", 0}, SyntaxCase{"   ", "EOF while parsing a value", 3},
        SyntaxCase{"[", "EOF while parsing a list", 1}, SyntaxCase{"[1", "EOF while parsing a list", 2},
        SyntaxCase{"[1,", "EOF while parsing a value", 3}, SyntaxCase{"{", "EOF while parsing an object", 1},
        SyntaxCase{"{\"a\"", "EOF while parsing an object", 4}, SyntaxCase{"{\"a\":", "EOF while parsing a value", 5},
        SyntaxCase{"{\"a\":1", "EOF while parsing an object", 6}, SyntaxCase{"\"ab", "EOF while parsing a string", 3},
        SyntaxCase{"{\"a\" 1}", "expected `:`", 5}, SyntaxCase{"[1 2]", "expected `,` or `]`", 3},
        SyntaxCase{"{\"a\":1 \"b\"}", "expected `,` or `}`", 7}, SyntaxCase{"nul", "EOF while parsing a value", 3},
        SyntaxCase{"nulx", "expected ident", 3}, SyntaxCase{"tru", "EOF while parsing a value", 3},
        SyntaxCase{"fals3", "expected ident", 4}, SyntaxCase{"NaN", "expected value", 0},
        SyntaxCase{"Infinity", "invalid number", 0}, SyntaxCase{"-Infinity", "invalid number", 1},
        SyntaxCase{"]", "expected value", 0}, SyntaxCase{"-", "EOF while parsing a value", 1},
        SyntaxCase{"01", "invalid number", 1}, SyntaxCase{"1.", "EOF while parsing a value", 2},
        SyntaxCase{"1.x", "invalid number", 2}, SyntaxCase{"1e", "EOF while parsing a value", 2},
        SyntaxCase{"1e+", "EOF while parsing a value", 3}, SyntaxCase{"1ex", "invalid number", 2},
        SyntaxCase{"+1", "expected value", 0}, SyntaxCase{".5", "expected value", 0},
        SyntaxCase{"\"\\x\"", "invalid escape", 2}, SyntaxCase{"\"\\u12g4\"", "invalid escape", 5},
        SyntaxCase{"\"\\u12", "EOF while parsing a string", 5},
        SyntaxCase{"\"a\nb\"", "control character (\\u0000-\\u001F) found while parsing a string", 2},
        SyntaxCase{"\"\\n\x01\"", "control character (\\u0000-\\u001F) found while parsing a string", 3},
        SyntaxCase{"{1:2}", "key must be a string", 1}, SyntaxCase{"{\"a\":1,2}", "key must be a string", 7},
        SyntaxCase{"\"\\ud800\"", "unexpected end of hex escape", 7},
        SyntaxCase{"\"\\ud800\\n\"", "unexpected end of hex escape", 8},
        SyntaxCase{"\"\\ud800\\u0041\"", "lone leading surrogate in hex escape", 1},
        SyntaxCase{"\"\\udc00\"", "lone leading surrogate in hex escape", 1},
        SyntaxCase{"[1,]", "trailing comma", 3}, SyntaxCase{"{\"a\":1 , }", "trailing comma", 9},
        SyntaxCase{"{} x", "trailing characters", 3}, SyntaxCase{"1 2", "trailing characters", 2},
        SyntaxCase{"\"\xff\"", "invalid unicode code point", 1},
        SyntaxCase{"\"a\xc3\"", "invalid unicode code point", 2},
        SyntaxCase{"\"\\n\xed\xa0\x80\"", "invalid unicode code point", 3},
        SyntaxCase{"\"\xc0\xaf\"", "invalid unicode code point", 1},
        SyntaxCase{"\"\xf4\x90\x80\x80\"", "invalid unicode code point", 1},
        // Separators of compact text are decided by a short path; what it
        // passes on must fail exactly as before.
        SyntaxCase{"{\"a\":1,}", "trailing comma", 7}, SyntaxCase{"[1,,2]", "expected value", 3},
        SyntaxCase{"{\"a\":1,\"b\"}", "expected `:`", 10}, SyntaxCase{"[[1],]", "trailing comma", 5},
        SyntaxCase{"[1]]", "trailing characters", 3}, SyntaxCase{"{\"a\":{}}}", "trailing characters", 8},
        SyntaxCase{"{\"a\":1,", "EOF while parsing a value", 7}, SyntaxCase{"[1,\n]", "trailing comma", 4},
        SyntaxCase{"[tru]", "expected ident", 4}, SyntaxCase{"[nulL]", "expected ident", 4},
        SyntaxCase{"[fals]", "expected ident", 5}, SyntaxCase{"fa", "EOF while parsing a value", 2}));

TEST(Tokenizer, CompactAndSpacedSeparatorsIterateAlike) {
  for (const char* text : {"{\"a\":[1,2,[3]],\"b\":{\"c\":true}}",
                           "{ \"a\" : [ 1 , 2 , [ 3 ] ] , \"b\" : { \"c\" : true } }"}) {
    const std::string doc = text;
    JsonTokenizer t(doc.data(), doc.size());
    std::vector<std::string> seen;
    bool more = false;
    ASSERT_TRUE(t.EnterObject(&more));
    while (more) {
      std::string_view key;
      ASSERT_TRUE(t.ReadKey(&key)) << text;
      seen.emplace_back(key);
      ASSERT_TRUE(t.SkipValue()) << text;
      ASSERT_TRUE(t.NextMember(&more)) << text;
    }
    EXPECT_TRUE(t.EndCheck()) << text;
    EXPECT_EQ(t.nesting(), 0u) << text;
    EXPECT_EQ(seen, (std::vector<std::string>{"a", "b"})) << text;
  }
}

TEST(Tokenizer, MatchSpelledKeyTakesOnlyTheExactSpelling) {
  struct Case {
    const char* text;
    const char* spelled;
    bool matched;
    size_t offset;  // after a match, at the value
  };
  const Case cases[] = {
      {"{\"abc\":1}", "\"abc\":", true, 7},
      {"{\"abc\" :1}", "\"abc\":", false, 1},
      {"{\"abcd\":1}", "\"abc\":", false, 1},
      {"{\"a\\u0062c\":1}", "\"abc\":", false, 1},
      {"{\"abc\"", "\"abc\":", false, 1},
      {"{\"abcdefghijklmnopqrstuvwxyz\":1}", "\"abcdefghijklmnopqrstuvwxyz\":", true, 30},
      {"{\"abcdefghijklmnopqrstuvwxyZ\":1}", "\"abcdefghijklmnopqrstuvwxyz\":", false, 1},
      {"{\"\":1}", "\"\":", true, 4},
  };
  for (const Case& c : cases) {
    const std::string text = c.text;
    JsonTokenizer t(text.data(), text.size());
    bool more = false;
    ASSERT_TRUE(t.EnterObject(&more)) << c.text;
    EXPECT_EQ(t.MatchSpelledKey(c.spelled), c.matched) << c.text;
    EXPECT_EQ(t.offset(), c.offset) << c.text;
    EXPECT_FALSE(t.failed()) << c.text;
  }
}

TEST(Tokenizer, MatchStringTakesOnlyTheWholePlainString) {
  struct Case {
    const char* text;
    const char* name;
    bool matched;
    size_t offset;  // where the tokenizer stands afterwards
  };
  const Case cases[] = {
      {"\"ON\"]", "ON", true, 4},
      {"\"ONE\"]", "ON", false, 0},
      {"\"O\"]", "ON", false, 0},
      {"\"O\\u004e\"]", "ON", false, 0},
      {"\"ON", "ON", false, 0},
      {"\"ABCDEFGHIJKLMNOP\"]", "ABCDEFGHIJKLMNOP", true, 18},
      {"\"ABCDEFGHIJKLMNOPQ\"]", "ABCDEFGHIJKLMNOPQ", false, 0},  // longer names take the scan
      {"\"\"]", "", false, 0},
      {"1]", "1", false, 0},
  };
  for (const Case& c : cases) {
    const std::string text = c.text;
    JsonTokenizer t(text.data(), text.size());
    EXPECT_EQ(t.MatchString(c.name), c.matched) << c.text;
    EXPECT_EQ(t.offset(), c.offset) << c.text;
    EXPECT_FALSE(t.failed()) << c.text;
  }
}

TEST(Tokenizer, AcceptsTheFourWhitespaceBytesOnly) {
  EXPECT_EQ(SkipAll(" \t\r\n[ 1 ,\t2\n]\r\n").message, "");
  EXPECT_EQ(SkipAll("\f1").message, "expected value");
  EXPECT_EQ(SkipAll("1\v").message, "trailing characters");
}

TEST(Tokenizer, SkipsNestedValues) {
  EXPECT_EQ(SkipAll(R"({"a":[1,{"b":[],"c":{}},"x",true,false,null,-0.5e-3],"d":{"e":[[[]]]}})").message, "");
}

TEST(Tokenizer, StringsWithoutEscapesAreViewsIntoTheInput) {
  const std::string text = R"("plain é")";
  JsonTokenizer t(text.data(), text.size());
  std::string_view value;
  ASSERT_TRUE(t.ReadString(&value));
  EXPECT_EQ(value, "plain é");
  EXPECT_EQ(value.data(), text.data() + 1);
}

TEST(Tokenizer, DecodesEscapes) {
  const std::string text = R"("a\"\\\/\b\f\n\r\t\u0041\u00e9\u20ac\ud83d\ude00z")";
  JsonTokenizer t(text.data(), text.size());
  std::string_view value;
  ASSERT_TRUE(t.ReadString(&value));
  EXPECT_EQ(value, "a\"\\/\b\f\n\r\tA\xc3\xa9\xe2\x82\xac\xf0\x9f\x98\x80z");
  EXPECT_TRUE(t.EndCheck());
}

TEST(Tokenizer, EscapedNulIsKept) {
  const std::string text = R"("a\u0000b")";
  JsonTokenizer t(text.data(), text.size());
  std::string_view value;
  ASSERT_TRUE(t.ReadString(&value));
  EXPECT_EQ(value, std::string_view("a\0b", 3));
}

TEST(Tokenizer, IteratesObjectsAndArrays) {
  const std::string text = R"( {"k" : [1, "two"], "e": {} } )";
  JsonTokenizer t(text.data(), text.size());
  bool more = false;
  std::string_view key;
  ASSERT_TRUE(t.EnterObject(&more));
  ASSERT_TRUE(more);
  ASSERT_TRUE(t.ReadKey(&key));
  EXPECT_EQ(key, "k");
  ASSERT_TRUE(t.EnterArray(&more));
  ASSERT_TRUE(more);
  NumberToken number;
  ASSERT_TRUE(t.ReadNumber(&number));
  EXPECT_EQ(number.text, "1");
  ASSERT_TRUE(t.NextElement(&more));
  ASSERT_TRUE(more);
  std::string_view s;
  ASSERT_TRUE(t.ReadString(&s));
  EXPECT_EQ(s, "two");
  ASSERT_TRUE(t.NextElement(&more));
  EXPECT_FALSE(more);
  ASSERT_TRUE(t.NextMember(&more));
  ASSERT_TRUE(more);
  ASSERT_TRUE(t.ReadKey(&key));
  EXPECT_EQ(key, "e");
  ASSERT_TRUE(t.EnterObject(&more));
  EXPECT_FALSE(more);
  ASSERT_TRUE(t.NextMember(&more));
  EXPECT_FALSE(more);
  EXPECT_EQ(t.nesting(), 0u);
  EXPECT_TRUE(t.EndCheck());
}

TEST(Tokenizer, TypedReadOfAnotherKindNamesBoth) {
  const std::string text = "[1]";
  JsonTokenizer t(text.data(), text.size());
  std::string_view s;
  EXPECT_FALSE(t.ReadString(&s));
  EXPECT_EQ(std::string(SyntaxMessage(t.error()).c_str()), "expected string but found array");
  // Failures are sticky.
  bool more = false;
  EXPECT_FALSE(t.EnterArray(&more));
  EXPECT_EQ(t.error().offset, 0u);
}

TEST(Tokenizer, NumberTokens) {
  for (const char* text : {"0", "-0", "12", "-12", "1.5", "1e5", "1E+5", "-1.25e-3", "0.0"}) {
    std::string s(text);
    JsonTokenizer t(s.data(), s.size());
    NumberToken n;
    ASSERT_TRUE(t.ReadNumber(&n)) << text;
    EXPECT_EQ(n.text, text);
    EXPECT_EQ(n.is_integer, s.find_first_of(".eE") == std::string::npos) << text;
    EXPECT_EQ(n.negative, s[0] == '-');
  }
}

TEST(Tokenizer, HugeIntegerLiteralIsOutOfRangeButHugeFloatIsNot) {
  std::string digits(kMaxIntegerDigits, '7');
  EXPECT_EQ(SkipAll(digits).message, "");
  EXPECT_EQ(SkipAll("-" + digits + "7").message, "number out of range");
  EXPECT_EQ(SkipAll(digits + "7.5").message, "");
}

TEST(Tokenizer, MillionOpeningBracketsHitTheNestingBound) {
  for (char open : {'[', '{'}) {
    std::string text;
    if (open == '[') {
      text.assign(1000000, '[');
    } else {
      for (int i = 0; i < 200000; ++i) text += "{\"a\":";
    }
    const Failure f = SkipAll(text);
    EXPECT_EQ(f.message, "recursion limit exceeded");
    EXPECT_LT(f.offset, text.size());
  }
}

TEST(Tokenizer, NestingAtTheBoundIsAccepted) {
  const std::string text = std::string(kMaxJsonNesting, '[') + std::string(kMaxJsonNesting, ']');
  EXPECT_EQ(SkipAll(text).message, "");
  const std::string deeper = "[" + text + "]";
  const Failure f = SkipAll(deeper);
  EXPECT_EQ(f.message, "recursion limit exceeded");
  EXPECT_EQ(f.offset, kMaxJsonNesting);
}

}  // namespace
}  // namespace velum::json

namespace velum::json {
namespace {

TEST(Tokenizer, ScratchAllocationFailureIsReportedNotThrown) {
  // Longer than the scratch buffer's inline capacity, so escaping must allocate.
  const std::string text = "\"" + std::string(40, 'a') + "\\n\"";
  JsonTokenizer t(text.data(), text.size());
  std::string_view value;
  {
    velum::testing::AllocationFailureScope fail(0);
    EXPECT_FALSE(t.ReadString(&value));
  }
  EXPECT_EQ(t.error().code, SyntaxCode::kOutOfMemory);
}

}  // namespace
}  // namespace velum::json
