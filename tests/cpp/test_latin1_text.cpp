#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "json_sink/utf8_units.h"

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
  const auto* text = reinterpret_cast<const uint8_t*>("ab\xc3\xa9" "cd");
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

namespace velum::json_sink {
namespace {

// Characters of every UTF-8 length, at the edges of each unit width, among
// ASCII runs that span whole words, against their code points.
TEST(WideTextTest, DecodesEveryWidthIntoItsUnits) {
  const std::vector<uint32_t> points{'a', 0x80, 0xff, 0x100, 0x7ff, 0x800, 0x20ac, 0xffff, 0x10000, 0x1f642, 0x10ffff};
  for (size_t run = 0; run <= 9; run += 3) {
    std::string utf8;
    std::vector<uint32_t> want;
    for (uint32_t c : points) {
      utf8 += std::string(run, 'x');
      want.insert(want.end(), run, 'x');
      if (c < 0x80) {
        utf8 += static_cast<char>(c);
      } else if (c < 0x800) {
        utf8 += {static_cast<char>(0xc0 | (c >> 6)), static_cast<char>(0x80 | (c & 0x3f))};
      } else if (c < 0x10000) {
        utf8 += {static_cast<char>(0xe0 | (c >> 12)), static_cast<char>(0x80 | ((c >> 6) & 0x3f)),
                 static_cast<char>(0x80 | (c & 0x3f))};
      } else {
        utf8 += {static_cast<char>(0xf0 | (c >> 18)), static_cast<char>(0x80 | ((c >> 12) & 0x3f)),
                 static_cast<char>(0x80 | ((c >> 6) & 0x3f)), static_cast<char>(0x80 | (c & 0x3f))};
      }
      want.push_back(c);
    }
    const auto* text = reinterpret_cast<const uint8_t*>(utf8.data());
    std::vector<uint32_t> ucs4(want.size());
    ASSERT_TRUE(Utf8ToUcs4(text, utf8.size(), ucs4.data(), ucs4.size()));
    EXPECT_EQ(ucs4, want);
    // Too narrow a unit, or a length that does not match, is refused.
    std::vector<uint16_t> ucs2(want.size());
    EXPECT_FALSE(Utf8ToUcs2(text, utf8.size(), ucs2.data(), ucs2.size()));
    EXPECT_FALSE(Utf8ToUcs4(text, utf8.size(), ucs4.data(), ucs4.size() - 1));
  }
  const std::string bmp = "a\xe2\x82\xac\xd0\x96z";
  std::vector<uint16_t> ucs2(4);
  ASSERT_TRUE(Utf8ToUcs2(reinterpret_cast<const uint8_t*>(bmp.data()), bmp.size(), ucs2.data(), ucs2.size()));
  EXPECT_EQ(ucs2, (std::vector<uint16_t>{'a', 0x20ac, 0x416, 'z'}));
  EXPECT_FALSE(Utf8ToUcs2(reinterpret_cast<const uint8_t*>(bmp.data()), bmp.size() - 2, ucs2.data(), 3));
}

}  // namespace
}  // namespace velum::json_sink
