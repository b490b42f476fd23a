#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "json_sink/code_units.h"
#include "json_sink/json_escape.h"
#include "json_sink/unit_buffer.h"

namespace velum::json_sink {
namespace {

std::vector<uint32_t> UnitsOf(const UnitBuffer& out) {
  std::vector<uint32_t> units(out.length());
  for (size_t i = 0; i < units.size(); ++i) {
    std::memcpy(&units[i], out.data() + (i << out.shift()), size_t{1} << out.shift());
  }
  return units;
}

std::vector<uint32_t> UnitsOf(const std::string& latin1) { return {latin1.begin(), latin1.end()}; }

// UTF-8 text of characters below U+0100 into one-byte units.
std::string Latin1Of(const std::string& utf8) {
  UnitBuffer out;
  AppendJsonString(out, utf8.data(), utf8.size());
  EXPECT_TRUE(out.ok());
  EXPECT_EQ(out.shift(), 0u);
  const std::string quoted(out.data(), out.size());
  return quoted.substr(1, quoted.size() - 2);
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
        EXPECT_EQ(Latin1Of(utf8), want) << pos << " of " << length;
      }
    }
  }
}

TEST(Latin1TextTest, AsciiOnlyAndRunsOfTwoByteCharacters) {
  EXPECT_EQ(Latin1Of(""), "");
  EXPECT_EQ(Latin1Of("plain ascii text"), "plain ascii text");
  EXPECT_EQ(Latin1Of("\xc3\xa9\xc3\xa8\xc2\xa0x"), "\xe9\xe8\xa0x");
  EXPECT_EQ(Latin1Of("\xc3\xa9\n\""), "\xe9\\n\\\"");
}

// A wider character widens what is there; a sequence cut off by the end is
// refused rather than read past.
TEST(Latin1TextTest, WiderTextWidensAndBrokenTextFails) {
  UnitBuffer out;
  AppendJsonString(out, "a\xc3\xa9", 3);
  EXPECT_EQ(out.max_char(), 0xffu);
  AppendJsonString(out, "\xe2\x82\xac", 3);
  EXPECT_EQ(out.shift(), 1u);
  AppendJsonString(out, "\xf0\x9f\x98\x80", 4);
  EXPECT_EQ(out.shift(), 2u);
  ASSERT_TRUE(out.ok());
  EXPECT_EQ(UnitsOf(out), (std::vector<uint32_t>{'"', 'a', 0xe9, '"', '"', 0x20ac, '"', '"', 0x1f600, '"'}));
  UnitBuffer broken;
  AppendJsonString(broken, "ab\xc3", 3);
  EXPECT_FALSE(broken.ok());
}

// In-place widening of every length around the block size, from both narrow widths.
TEST(CodeUnitsTest, WidenInPlaceKeepsEveryUnit) {
  for (size_t n = 0; n <= 70; ++n) {
    std::vector<uint8_t> narrow(n);
    for (size_t i = 0; i < n; ++i) narrow[i] = static_cast<uint8_t>(0x80 + i);
    std::vector<char> storage(n * 4 + 1);
    std::memcpy(storage.data(), narrow.data(), n);
    WidenInPlace<uint8_t, uint32_t>(storage.data(), n);
    for (size_t i = 0; i < n; ++i) {
      uint32_t unit = 0;
      std::memcpy(&unit, storage.data() + 4 * i, 4);
      EXPECT_EQ(unit, narrow[i]) << i << " of " << n;
    }
    std::vector<uint16_t> mid(n);
    for (size_t i = 0; i < n; ++i) mid[i] = static_cast<uint16_t>(0x100 + 7 * i);
    std::memcpy(storage.data(), mid.data(), 2 * n);
    WidenInPlace<uint16_t, uint32_t>(storage.data(), n);
    for (size_t i = 0; i < n; ++i) {
      uint32_t unit = 0;
      std::memcpy(&unit, storage.data() + 4 * i, 4);
      EXPECT_EQ(unit, mid[i]) << i << " of " << n;
    }
  }
}

// A str's units as JSON, for every source width into every output width.
template <class Unit>
std::vector<uint32_t> QuotedUnits(const std::vector<Unit>& text, uint32_t widen_to, bool* ok) {
  UnitBuffer out;
  EXPECT_TRUE(out.Admit(widen_to));
  *ok = AppendJsonUnits(out, text.data(), text.size(), sizeof(Unit), false);
  EXPECT_TRUE(out.ok());
  return UnitsOf(out);
}

std::vector<uint32_t> Expected(const std::vector<uint32_t>& text) {
  std::vector<uint32_t> want{'"'};
  for (uint32_t c : text) {
    if (c == '"' || c == '\\') {
      want.push_back('\\');
      want.push_back(c);
    } else if (c == '\n') {
      want.push_back('\\');
      want.push_back('n');
    } else if (c < 0x20) {
      for (char e : std::string("\\u00") + "0123456789abcdef"[c >> 4] + "0123456789abcdef"[c & 0xf]) {
        want.push_back(static_cast<unsigned char>(e));
      }
    } else {
      want.push_back(c);
    }
  }
  want.push_back('"');
  return want;
}

template <class Unit>
void CheckEveryPosition(uint32_t wide, uint32_t max_char) {
  for (size_t length = 1; length <= 40; length += length < 20 ? 1 : 3) {
    for (size_t pos = 0; pos < length; ++pos) {
      for (uint32_t special : {uint32_t{'"'}, uint32_t{'\\'}, uint32_t{'\n'}, uint32_t{0x01}, uint32_t{0x1f}, wide}) {
        std::vector<uint32_t> text(length, 'x');
        text[pos] = special;
        text[length - 1 - pos] = wide;
        const std::vector<Unit> units(text.begin(), text.end());
        for (uint32_t widen_to : {uint32_t{0x7f}, uint32_t{0xffff}, uint32_t{0x10ffff}}) {
          if (widen_to < max_char && widen_to != 0x7f) continue;
          bool ok = false;
          EXPECT_EQ(QuotedUnits(units, widen_to, &ok), Expected(text))
              << "unit " << special << " at " << pos << " of " << length << " into " << widen_to;
          EXPECT_TRUE(ok);
        }
      }
    }
  }
}

TEST(CodeUnitsTest, EscapesAtEveryPositionOfEveryWidth) {
  CheckEveryPosition<uint8_t>(0xe9, 0xff);
  CheckEveryPosition<uint16_t>(0x20ac, 0xffff);
  CheckEveryPosition<uint32_t>(0x1f600, 0x10ffff);
}

// Surrogates have no UTF-8 form: they stop the text, wherever they sit.
TEST(CodeUnitsTest, SurrogatesAreRefusedAtEveryPosition) {
  for (size_t length = 1; length <= 40; length += length < 20 ? 1 : 3) {
    for (size_t pos = 0; pos < length; ++pos) {
      for (uint32_t surrogate : {0xd800u, 0xdbffu, 0xdc00u, 0xdfffu}) {
        std::vector<uint16_t> bmp(length, 0x20ac);
        bmp[pos] = static_cast<uint16_t>(surrogate);
        UnitBuffer out;
        EXPECT_FALSE(AppendJsonUnits(out, bmp.data(), length, 2, false)) << pos << " of " << length;
        std::vector<uint32_t> astral(length, 0x1f600);
        astral[pos] = surrogate;
        EXPECT_FALSE(AppendJsonUnits(out, astral.data(), length, 4, false)) << pos << " of " << length;
      }
    }
  }
  // Neighbours of the surrogate block are plain characters.
  const std::vector<uint32_t> edges{0xd7ff, 0xe000, 0xffff, 0x10000, 0x10ffff};
  UnitBuffer out;
  EXPECT_TRUE(AppendJsonUnits(out, edges.data(), edges.size(), 4, false));
}

// ASCII written after the text widened arrives widened too.
TEST(CodeUnitsTest, AsciiAfterWideningIsWidened) {
  UnitBuffer out;
  out.Push('[');
  const std::vector<uint16_t> bmp{0x20ac};
  ASSERT_TRUE(AppendJsonUnits(out, bmp.data(), 1, 2, false));
  out.Push(',');
  char* p = out.ReserveAscii(8);
  ASSERT_NE(p, nullptr);
  std::memcpy(p, "12", 2);
  out.CommitAscii(p, 2);
  out.Append("]", 1);
  EXPECT_EQ(UnitsOf(out), (std::vector<uint32_t>{'[', '"', 0x20ac, '"', ',', '1', '2', ']'}));
  EXPECT_EQ(UnitsOf(std::string("x")), (std::vector<uint32_t>{'x'}));
}

}  // namespace
}  // namespace velum::json_sink
