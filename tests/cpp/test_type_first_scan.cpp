#include <gtest/gtest.h>

#include <string>

#include "json_parse/type_first_scan.h"
#include "raw_alloc_stub.h"

namespace velum::json {
namespace {

struct ScanCase {
  const char* text;
  bool streamable;
};

class TypeFirstScan : public ::testing::TestWithParam<ScanCase> {};

TEST_P(TypeFirstScan, DecidesAndRewinds) {
  const std::string text = GetParam().text;
  JsonTokenizer tok(text.data(), text.size());
  const JsonTokenizer::Mark start = tok.mark();
  std::string_view url;
  EXPECT_EQ(ScanTypeFirstObject(tok, &url), GetParam().streamable) << text;
  if (GetParam().streamable) {
    EXPECT_EQ(url, "t/a.B");
  }
  // The same value reads again from the mark, whatever the scan met.
  tok.Rewind(start);
  EXPECT_FALSE(tok.failed());
  EXPECT_TRUE(tok.SkipValue() || !GetParam().streamable) << text;
}

INSTANTIATE_TEST_SUITE_P(
    Objects, TypeFirstScan,
    ::testing::Values(ScanCase{R"({"@type": "t/a.B"})", true},
                      ScanCase{R"({"@type":"t/a.B","a":1,"b":[1,2.5,"x",null,true],"c":{"d":{}}})", true},
                      ScanCase{R"({"@type":"t/a.B","a":-1,"b":9223372036854775807,"c":-9223372036854775808})", true},
                      ScanCase{R"({"@type":"t/a.B","a":{"x":1},"b":{"x":2}})", true},
                      // Not first, absent, not a string, escaped.
                      ScanCase{R"({"a":1,"@type":"t/a.B"})", false}, ScanCase{"{}", false},
                      ScanCase{R"({"@type":1})", false}, ScanCase{R"({"@type":"t\/a.B"})", false},
                      ScanCase{R"(["@type"])", false}, ScanCase{R"("@type")", false},
                      // Repeated names, at the top or deeper, "@type" included.
                      ScanCase{R"({"@type":"t/a.B","a":1,"a":2})", false},
                      ScanCase{R"({"@type":"t/a.B","@type":"t/a.B"})", false},
                      ScanCase{R"({"@type":"t/a.B","a":[{"x":1,"y":2,"x":3}]})", false},
                      ScanCase{R"({"@type":"t/a.B","a\u0062":1,"ab":2})", false},
                      // Numbers a tree would hold differently.
                      ScanCase{R"({"@type":"t/a.B","a":-0})", false},
                      ScanCase{R"({"@type":"t/a.B","a":1e400})", false},
                      ScanCase{R"({"@type":"t/a.B","a":9223372036854775808})", false},
                      // Malformed text anywhere in the object.
                      ScanCase{R"({"@type":"t/a.B","a":1,})", false}, ScanCase{R"({"@type":"t/a.B","a":tru})", false},
                      ScanCase{R"({"@type":"t/a.B","a":"\x01"})", false}, ScanCase{R"({"@type":"t/a.B")", false},
                      // Deep nesting is left to the whole read.
                      ScanCase{R"({"@type":"t/a.B","a":[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[[]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]]})",
                               false}));

TEST(TypeFirstScan, ManyMembersAreLeftToTheWholeRead) {
  std::string text = R"({"@type":"t/a.B")";
  for (int i = 0; i < 40; ++i) text += ",\"m" + std::to_string(i) + "\":" + std::to_string(i);
  text += "}";
  JsonTokenizer tok(text.data(), text.size());
  std::string_view url;
  EXPECT_FALSE(ScanTypeFirstObject(tok, &url));
}

struct NumberCase {
  const char* text;
  bool alike;
};

class NumberReadsAlikeTest : public ::testing::TestWithParam<NumberCase> {};

// The literal at the start of the text is judged alone, whatever follows it.
TEST_P(NumberReadsAlikeTest, JudgesTheLeadingLiteral) {
  EXPECT_EQ(NumberReadsAlike(GetParam().text), GetParam().alike) << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(
    Literals, NumberReadsAlikeTest,
    ::testing::Values(NumberCase{"0", true}, NumberCase{"-1, \"b\": 2}", true}, NumberCase{"1.5]", true},
                      NumberCase{"9223372036854775807}", true}, NumberCase{"-9223372036854775808", true},
                      NumberCase{"1e308", true}, NumberCase{"-0.0", true}, NumberCase{"-0", false},
                      NumberCase{"-0}", false}, NumberCase{"1e400", false}, NumberCase{"9223372036854775808", false},
                      NumberCase{"123456789012345678901234567890", false},
                      NumberCase{"-", false}, NumberCase{"", false}, NumberCase{"\"1\"", false}));

TEST(TypeFirstScan, MemberNamesHashApart) {
  EXPECT_EQ(MemberNameHash("accountId"), MemberNameHash(std::string("account") + "Id"));
  EXPECT_NE(MemberNameHash("a"), MemberNameHash("b"));
  EXPECT_NE(MemberNameHash(""), MemberNameHash(std::string_view("\0", 1)));
  EXPECT_NE(MemberNameHash("user_name_long_a"), MemberNameHash("user_name_long_b"));
}

}  // namespace
}  // namespace velum::json
