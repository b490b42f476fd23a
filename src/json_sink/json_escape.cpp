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

inline bool NeedsEscape(unsigned char c) noexcept { return c < 0x20 || c == '"' || c == '\\'; }

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

size_t PlainRunLength(const char* text, size_t size) noexcept {
  size_t i = 0;
  if constexpr (std::endian::native == std::endian::little) {
    for (; size - i >= 8; i += 8) {
      uint64_t word = 0;
      std::memcpy(&word, text + i, 8);
      const uint64_t marks = EscapeMarks(word);
      if (marks != 0) return i + (std::countr_zero(marks) >> 3);
    }
  }
  while (i < size && !NeedsEscape(static_cast<unsigned char>(text[i]))) ++i;
  return i;
}

void AppendJsonString(TextBuffer& out, const char* text, size_t size) noexcept {
  out.Push('"');
  while (true) {
    const size_t run = PlainRunLength(text, size);
    out.Append(text, run);
    if (run == size) break;
    AppendEscape(out, static_cast<unsigned char>(text[run]));
    text += run + 1;
    size -= run + 1;
  }
  out.Push('"');
}

}  // namespace velum::json_sink
