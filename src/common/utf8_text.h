// Core unit: no Python.
// UTF-8 for string fields: one pass validates and measures the text (length
// in code points and the widest character class), so the string can be
// allocated once at its final width and filled by a second pass.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace velum::utf8 {

inline constexpr uint32_t kAsciiMax = 0x7f;
inline constexpr uint32_t kLatin1Max = 0xff;
inline constexpr uint32_t kBmpMax = 0xffff;
inline constexpr uint32_t kUnicodeMax = 0x10ffff;

struct Measure {
  bool valid = false;
  size_t length = 0;            // code points
  uint32_t max_char = kAsciiMax;  // one of the k*Max bounds: the widest class present
};

inline bool IsContinuation(uint8_t b) noexcept { return (b & 0xc0) == 0x80; }

// Length of the well-formed sequence that starts with the non-ASCII byte at
// `p` (`avail` bytes from there to the end of the text), or 0 when it is not
// well-formed, under the rules of MeasureText; its code point in `point`. For
// scanners that decode as they validate.
inline size_t DecodeSequence(const uint8_t* p, size_t avail, uint32_t* point) noexcept {
  const uint32_t c = p[0];
  if (c < 0xc2) return 0;
  if (c < 0xe0) {
    if (avail < 2 || !IsContinuation(p[1])) return 0;
    *point = ((c & 0x1f) << 6) | (p[1] & 0x3fu);
    return 2;
  }
  if (c < 0xf0) {
    if (avail < 3 || !IsContinuation(p[1]) || !IsContinuation(p[2])) return 0;
    if ((c == 0xe0 && p[1] < 0xa0) || (c == 0xed && p[1] >= 0xa0)) return 0;  // overlong, surrogate
    *point = ((c & 0x0f) << 12) | ((p[1] & 0x3fu) << 6) | (p[2] & 0x3fu);
    return 3;
  }
  if (c < 0xf5) {
    if (avail < 4 || !IsContinuation(p[1]) || !IsContinuation(p[2]) || !IsContinuation(p[3])) return 0;
    if ((c == 0xf0 && p[1] < 0x90) || (c == 0xf4 && p[1] >= 0x90)) return 0;  // overlong, above U+10FFFF
    *point = ((c & 0x07) << 18) | ((p[1] & 0x3fu) << 12) | ((p[2] & 0x3fu) << 6) | (p[3] & 0x3fu);
    return 4;
  }
  return 0;
}

// As DecodeSequence, for scanners that only validate.
inline size_t SequenceLength(const uint8_t* p, size_t avail) noexcept {
  uint32_t unused;  // inlined, the decoding folds away
  return DecodeSequence(p, avail, &unused);
}

// Well-formed UTF-8 only: no overlong forms, surrogates or code points above
// U+10FFFF, no sequence cut off by the end.
inline Measure MeasureText(const uint8_t* p, size_t n) noexcept {
  constexpr uint64_t kTops = 0x8080808080808080u;
  Measure out;
  // Most text is ASCII: whole words, the last one overlapping the one before.
  size_t i = 0;
  for (; n - i >= 8; i += 8) {
    uint64_t word = 0;
    std::memcpy(&word, p + i, 8);
    if (word & kTops) break;
  }
  if (n - i < 8 && n >= 8) {
    uint64_t word = 0;
    std::memcpy(&word, p + n - 8, 8);
    if ((word & kTops) == 0) i = n;
  }
  while (i < n && p[i] < 0x80) ++i;
  if (i == n) {
    out.valid = true;
    out.length = n;
    return out;
  }
  size_t length = i;
  uint32_t max_char = kAsciiMax;
  while (i < n) {
    const uint8_t c = p[i];
    if (c < 0x80) {
      if (n - i >= 8) {
        uint64_t word = 0;
        std::memcpy(&word, p + i, 8);
        if ((word & kTops) == 0) {
          i += 8;
          length += 8;
          continue;
        }
      }
      ++i;
    } else if (c < 0xc2) {
      return out;  // a continuation byte, or the lead of an overlong pair
    } else if (c < 0xe0) {
      if (n - i < 2 || !IsContinuation(p[i + 1])) return out;
      if (c >= 0xc4) {
        max_char = max_char < kBmpMax ? kBmpMax : max_char;
      } else if (max_char < kLatin1Max) {
        max_char = kLatin1Max;
      }
      i += 2;
    } else if (c < 0xf0) {
      if (n - i < 3 || !IsContinuation(p[i + 1]) || !IsContinuation(p[i + 2])) return out;
      if (c == 0xe0 && p[i + 1] < 0xa0) return out;   // overlong
      if (c == 0xed && p[i + 1] >= 0xa0) return out;  // surrogate
      if (max_char < kBmpMax) max_char = kBmpMax;
      i += 3;
    } else if (c < 0xf5) {
      if (n - i < 4 || !IsContinuation(p[i + 1]) || !IsContinuation(p[i + 2]) || !IsContinuation(p[i + 3])) {
        return out;
      }
      if (c == 0xf0 && p[i + 1] < 0x90) return out;   // overlong
      if (c == 0xf4 && p[i + 1] >= 0x90) return out;  // above U+10FFFF
      max_char = kUnicodeMax;
      i += 4;
    } else {
      return out;
    }
    ++length;
  }
  out.valid = true;
  out.length = length;
  out.max_char = max_char;
  return out;
}

// Writes the code points of text MeasureText accepted, one Unit each; `out`
// has room for its length and Unit for its widest character.
template <class Unit>
inline void DecodeText(const uint8_t* p, size_t n, Unit* out) noexcept {
  size_t i = 0;
  while (i < n) {
    const uint32_t c = p[i];
    uint32_t point;
    if (c < 0x80) {
      if (n - i >= 8) {
        uint64_t word = 0;
        std::memcpy(&word, p + i, 8);
        if ((word & 0x8080808080808080u) == 0) {
          for (size_t k = 0; k < 8; ++k) out[k] = static_cast<Unit>(p[i + k]);
          out += 8;
          i += 8;
          continue;
        }
      }
      point = c;
      i += 1;
    } else if (c < 0xe0) {
      point = ((c & 0x1f) << 6) | (p[i + 1] & 0x3fu);
      i += 2;
    } else if (c < 0xf0) {
      point = ((c & 0x0f) << 12) | ((p[i + 1] & 0x3fu) << 6) | (p[i + 2] & 0x3fu);
      i += 3;
    } else {
      point = ((c & 0x07) << 18) | ((p[i + 1] & 0x3fu) << 12) | ((p[i + 2] & 0x3fu) << 6) | (p[i + 3] & 0x3fu);
      i += 4;
    }
    *out++ = static_cast<Unit>(point);
  }
}

}  // namespace velum::utf8
