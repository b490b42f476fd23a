#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "json_sink/latin1_text.h"

namespace velum::json_sink {
namespace {

std::string Latin1Of(const std::string& utf8, size_t length) {
  std::string out(length, '?');
  EXPECT_TRUE(Utf8ToLatin1(reinterpret_cast<const uint8_t*>(utf8.data()), utf8.size(),
                           reinterpret_cast<uint8_t*>(out.data()), out.size()));
  return out;
}

// A two-byte character at every position of texts around a word boundary,
// with ASCII on both sides.
TEST(Latin1TextTest, DecodesTwoByteCharactersAtEveryPosition) {
  for (size_t length = 1; length <= 19; ++length) {
    for (size_t pos = 0; pos < length; ++pos) {
      for (unsigned c : {0x80u, 0xe9u, 0xffu}) {
        std::string want(length, 'a');
        want[pos] = static_cast<char>(c);
        std::string utf8(pos, 'a');
        utf8 += static_cast<char>(0xc0 | (c >> 6));
        utf8 += static_cast<char>(0x80 | (c & 0x3f));
        utf8 += std::string(length - pos - 1, 'a');
        EXPECT_EQ(Latin1Of(utf8, length), want) << pos << " of " << length;
      }
    }
  }
}

TEST(Latin1TextTest, AsciiOnlyAndRunsOfTwoByteCharacters) {
  EXPECT_EQ(Latin1Of("", 0), "");
  EXPECT_EQ(Latin1Of("plain ascii text", 16), "plain ascii text");
  EXPECT_EQ(Latin1Of("\xc3\xa9\xc3\xa8\xc2\xa0x", 4), "\xe9\xe8\xa0x");
}

// A wrong length or a wider character is refused without writing past `out`.
TEST(Latin1TextTest, RefusesWhatDoesNotFitExactly) {
  const auto* text = reinterpret_cast<const uint8_t*>("ab\xc3\xa9cd");
  uint8_t out[8] = {};
  EXPECT_FALSE(Utf8ToLatin1(text, 6, out, 4));
  EXPECT_FALSE(Utf8ToLatin1(text, 6, out, 6));
  EXPECT_TRUE(Utf8ToLatin1(text, 6, out, 5));
  const auto* wide = reinterpret_cast<const uint8_t*>("a\xe2\x82\xac");
  EXPECT_FALSE(Utf8ToLatin1(wide, 4, out, 2));
  EXPECT_FALSE(Utf8ToLatin1(text, 3, out, 3));  // a sequence cut off by the end
}

}  // namespace
}  // namespace velum::json_sink
