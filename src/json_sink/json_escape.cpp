// Core unit: no Python.
#include "json_sink/json_escape.h"

#include <bit>
#include <cstdint>
#include <cstring>

namespace velum::json_sink {

namespace {

constexpr uint64_t kOnes = 0x0101010101010101u;
constexpr uint64_t kTops = 0x8080808080808080u;

// Top bit set in the lowest byte of `word` that needs an escape; higher bytes
// may carry false marks from borrows, so only the lowest mark is meaningful.
inline uint64_t EscapeMarks(uint64_t word) noexcept {
  const uint64_t control = (word - kOnes * 0x20) & ~word;
  const uint64_t quote = word ^ (kOnes * '"');
  const uint64_t backslash = word ^ (kOnes * '\\');
  const uint64_t quote_zero = (quote - kOnes) & ~quote;
  const uint64_t backslash_zero = (backslash - kOnes) & ~backslash;
  return (control | quote_zero | backslash_zero) & kTops;
}

inline uint64_t Load8(const char* p) noexcept {
  uint64_t word = 0;
  std::memcpy(&word, p, 8);
  return word;
}

inline uint64_t Load4(const char* p) noexcept {
  uint32_t word = 0;
  std::memcpy(&word, p, 4);
  return word;
}

// A text of fewer than 8 bytes as one word. Bytes it does not fill are 'A'
// (plain, ASCII); for 4 to 7 bytes two overlapping loads cover the text, so
// a byte may sit twice in the word, the first copy at its own position.
inline uint64_t LoadShort(const char* p, size_t n) noexcept {
  constexpr uint64_t kFill = kOnes * 'A';
  if (n >= 4) return Load4(p) | Load4(p + n - 4) << 32;
  uint64_t word = kFill;
  for (size_t i = 0; i < n; ++i) {
    word &= ~(uint64_t{0xff} << (8 * i));
    word |= uint64_t{static_cast<unsigned char>(p[i])} << (8 * i);
  }
  return word;
}

// The plain prefix of `text`, and whether any byte above 0x7f was seen on the
// way (within the bytes scanned; the caller rescans after an escape).
struct PlainRun {
  size_t length;
  bool non_ascii;
};

inline PlainRun ScanPlain(const char* text, size_t size) noexcept {
  if constexpr (std::endian::native == std::endian::little) {
    uint64_t seen = 0;
    if (size < 8) {
      const uint64_t word = LoadShort(text, size);
      const uint64_t marks = EscapeMarks(word);
      if (marks == 0) return {size, (word & kTops) != 0};
      const size_t at = std::countr_zero(marks) >> 3;
      // The upper half of a 4-to-7-byte word repeats bytes from n - 4 on.
      const size_t pos = at < 4 || size < 4 ? at : size - 8 + at;
      return {pos < size ? pos : size, (word & kTops) != 0};
    }
    size_t i = 0;
    for (; size - i >= 8; i += 8) {
      const uint64_t word = Load8(text + i);
      seen |= word;
      const uint64_t marks = EscapeMarks(word);
      if (marks != 0) return {i + (std::countr_zero(marks) >> 3), (seen & kTops) != 0};
    }
    if (i != size) {
      // The last word overlaps bytes already found plain: a mark is a new byte.
      const uint64_t word = Load8(text + size - 8);
      seen |= word;
      const uint64_t marks = EscapeMarks(word);
      if (marks != 0) return {size - 8 + (std::countr_zero(marks) >> 3), (seen & kTops) != 0};
    }
    return {size, (seen & kTops) != 0};
  } else {
    bool non_ascii = false;
    for (size_t i = 0; i < size; ++i) {
      const auto c = static_cast<unsigned char>(text[i]);
      if (c < 0x20 || c == '"' || c == '\\') return {i, non_ascii};
      non_ascii |= c >= 0x80;
    }
    return {size, non_ascii};
  }
}

// The two-byte escapes; other control bytes are written as \u00XX.
inline char ShortEscape(unsigned char c) noexcept {
  switch (c) {
    case '"':
      return '"';
    case '\\':
      return '\\';
    case '\b':
      return 'b';
    case '\t':
      return 't';
    case '\n':
      return 'n';
    case '\f':
      return 'f';
    case '\r':
      return 'r';
    default:
      return 0;
  }
}

void AppendEscape(TextBuffer& out, unsigned char c) noexcept {
  static constexpr char kHex[] = "0123456789abcdef";
  const char short_form = ShortEscape(c);
  if (short_form != 0) {
    const char escape[2] = {'\\', short_form};
    out.Append(escape, 2);
    return;
  }
  const char escape[6] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 0xf]};
  out.Append(escape, 6);
}

}  // namespace

size_t PlainRunLength(const char* text, size_t size) noexcept { return ScanPlain(text, size).length; }

bool AppendJsonString(TextBuffer& out, const char* text, size_t size) noexcept {
  PlainRun run = ScanPlain(text, size);
  if (run.length == size) [[likely]] {
    // The common case: one reservation, one copy between the quotes.
    char* p = out.Reserve(size + 2);
    if (p == nullptr) [[unlikely]]
      return run.non_ascii;
    p[0] = '"';
    std::memcpy(p + 1, text, size);
    p[size + 1] = '"';
    out.Commit(size + 2);
    return run.non_ascii;
  }
  bool non_ascii = false;
  out.Push('"');
  while (true) {
    non_ascii |= run.non_ascii;
    out.Append(text, run.length);
    if (run.length == size) break;
    AppendEscape(out, static_cast<unsigned char>(text[run.length]));
    text += run.length + 1;
    size -= run.length + 1;
    run = ScanPlain(text, size);
  }
  out.Push('"');
  return non_ascii;
}

}  // namespace velum::json_sink
