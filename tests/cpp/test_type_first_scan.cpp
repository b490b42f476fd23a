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

}  // namespace
}  // namespace velum::json
