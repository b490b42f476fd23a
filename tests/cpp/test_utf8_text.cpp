#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "common/utf8_text.h"

namespace velum {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Encode(uint32_t point) {
  if (point < 0x80) return {static_cast<uint8_t>(point)};
  if (point < 0x800) return {static_cast<uint8_t>(0xc0 | point >> 6), static_cast<uint8_t>(0x80 | (point & 0x3f))};
  if (point < 0x10000) {
    return {static_cast<uint8_t>(0xe0 | point >> 12), static_cast<uint8_t>(0x80 | ((point >> 6) & 0x3f)),
            static_cast<uint8_t>(0x80 | (point & 0x3f))};
  }
  return {static_cast<uint8_t>(0xf0 | point >> 18), static_cast<uint8_t>(0x80 | ((point >> 12) & 0x3f)),
          static_cast<uint8_t>(0x80 | ((point >> 6) & 0x3f)), static_cast<uint8_t>(0x80 | (point & 0x3f))};
}

// The reference: any lead/continuation structure decoded, then accepted only
// if it is a scalar value that re-encodes to the same bytes.
std::optional<std::vector<uint32_t>> Reference(const Bytes& bytes) {
  std::vector<uint32_t> points;
  size_t i = 0;
  while (i < bytes.size()) {
    const uint8_t c = bytes[i];
    const size_t len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (len == 0 || bytes.size() - i < len) return std::nullopt;
    uint32_t point = len == 1 ? c : c & (0x7f >> len);
    for (size_t k = 1; k < len; ++k) {
      if ((bytes[i + k] & 0xc0) != 0x80) return std::nullopt;
      point = point << 6 | (bytes[i + k] & 0x3f);
    }
    if (point > 0x10ffff || (point >= 0xd800 && point <= 0xdfff) || Encode(point).size() != len) return std::nullopt;
    points.push_back(point);
    i += len;
  }
  return points;
}

uint32_t WidthClass(const std::vector<uint32_t>& points) {
  uint32_t max = 0;
  for (uint32_t p : points) max = p > max ? p : max;
  return max <= 0x7f ? utf8::kAsciiMax : max <= 0xff ? utf8::kLatin1Max : max <= 0xffff ? utf8::kBmpMax
                                                                                     : utf8::kUnicodeMax;
}

void ExpectAgrees(const Bytes& bytes) {
  const utf8::Measure got = utf8::MeasureText(bytes.data(), bytes.size());
  const auto want = Reference(bytes);
  ASSERT_EQ(got.valid, want.has_value());
  if (!want) return;
  ASSERT_EQ(got.length, want->size());
  ASSERT_EQ(got.max_char, WidthClass(*want));
  std::vector<uint32_t> decoded(got.length);
  utf8::DecodeText(bytes.data(), bytes.size(), decoded.data());
  ASSERT_EQ(decoded, *want);
}

TEST(Utf8TextTest, EveryCodePoint) {
  for (uint32_t point = 0; point <= 0x10ffff; ++point) {
    if (point >= 0xd800 && point <= 0xdfff) continue;
    Bytes bytes = Encode(point);
    bytes.insert(bytes.begin(), {'a', 'b'});
    ExpectAgrees(bytes);
  }
}

TEST(Utf8TextTest, EveryShortSequence) {
  for (uint32_t v = 0; v < (1u << 24); ++v) {
    const Bytes three = {static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
    ExpectAgrees(three);
    if (v < (1u << 16)) ExpectAgrees({three[1], three[2]});
    if (v < (1u << 8)) ExpectAgrees({three[2]});
  }
}

TEST(Utf8TextTest, FourByteLeads) {
  for (uint32_t lead = 0xf0; lead <= 0xff; ++lead) {
    for (uint32_t v = 0; v < (1u << 18); ++v) {
      const uint8_t b1 = static_cast<uint8_t>(0x80 | (v >> 12));
      const uint8_t b2 = static_cast<uint8_t>(0x80 | ((v >> 6) & 0x3f));
      const uint8_t b3 = static_cast<uint8_t>(0x80 | (v & 0x3f));
      ExpectAgrees({static_cast<uint8_t>(lead), b1, b2, b3});
    }
    ExpectAgrees({static_cast<uint8_t>(lead), 0x90, 0x80});  // cut off
    ExpectAgrees({static_cast<uint8_t>(lead), 0x90, 0x80, 0x41});
  }
}

// The word-at-a-time ASCII step must hand over to the byte loop at any offset.
TEST(Utf8TextTest, AsciiRunsAroundWideCharacters) {
  for (size_t before = 0; before < 20; ++before) {
    for (const uint32_t point : {0xe9u, 0x3b1u, 0x1f642u}) {
      Bytes bytes(before, 'x');
      const Bytes wide = Encode(point);
      bytes.insert(bytes.end(), wide.begin(), wide.end());
      bytes.insert(bytes.end(), 11, 'y');
      ExpectAgrees(bytes);
      bytes.back() = 0x80;
      ExpectAgrees(bytes);
    }
  }
}

}  // namespace
}  // namespace velum
