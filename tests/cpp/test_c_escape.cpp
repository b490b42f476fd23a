#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "common/c_escape.h"

namespace velum {
namespace {

// The decoded bytes, or "<error>".
std::string Unescape(std::string_view text) {
  std::string out(text.size(), '\0');
  std::ptrdiff_t n = UnescapeC(text, out.data());
  if (n < 0) return "<error>";
  out.resize(static_cast<size_t>(n));
  return out;
}

TEST(CEscape, DecodesEveryEscape) {
  EXPECT_EQ(Unescape(R"(\n\r\t\a\b\f\v\\\'\"\?)"), "\n\r\t\a\b\f\v\\'\"?");
  EXPECT_EQ(Unescape(R"(a\000b)"), std::string("a\0b", 3));
  EXPECT_EQ(Unescape(R"(\377\1234\7)"), "\xffS4\x07");
  EXPECT_EQ(Unescape(R"(\777)"), "\xff");  // 511: the low eight bits
  EXPECT_EQ(Unescape(R"(\x41\X4g\xfff)"), "A\x04g\xff" "f");
  EXPECT_EQ(Unescape("caf\xc3\xa9\\n"), "caf\xc3\xa9\n");
  EXPECT_EQ(Unescape(""), "");
}

TEST(CEscape, RefusesBadEscapes) {
  for (std::string_view bad : {"\\", "ab\\", "\\x", "\\xg", "\\q", "\\8", "\\\xc3\xa9", "\\u0041"}) {
    EXPECT_EQ(Unescape(bad), "<error>") << bad;
  }
}

}  // namespace
}  // namespace velum
