// Core unit: no Python.
#include "common/c_escape.h"

namespace velum {

namespace {

int SimpleEscape(char c) {
  switch (c) {
    case 'n': return '\n';
    case 'r': return '\r';
    case 't': return '\t';
    case 'a': return '\a';
    case 'b': return '\b';
    case 'f': return '\f';
    case 'v': return '\v';
    case '\\': return '\\';
    case '\'': return '\'';
    case '"': return '"';
    case '?': return '?';
    default: return -1;
  }
}

bool IsOctal(char c) { return c >= '0' && c <= '7'; }

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

std::ptrdiff_t UnescapeC(std::string_view text, char* out) noexcept {
  const size_t size = text.size();
  std::ptrdiff_t written = 0;
  size_t i = 0;
  while (i < size) {
    char c = text[i++];
    if (c != '\\') {
      out[written++] = c;  // bytes of a multi-byte character are never '\\'
      continue;
    }
    if (i >= size) return -1;
    c = text[i++];
    if (int simple = SimpleEscape(c); simple >= 0) {
      out[written++] = static_cast<char>(simple);
    } else if (IsOctal(c)) {
      unsigned value = static_cast<unsigned>(c - '0');
      for (size_t end = i + 2; i < size && i < end && IsOctal(text[i]); ++i) {
        value = value * 8 + static_cast<unsigned>(text[i] - '0');
      }
      out[written++] = static_cast<char>(value & 0xFF);
    } else if (c == 'x' || c == 'X') {
      int value = 0;
      size_t start = i;
      for (size_t end = i + 2; i < size && i < end && HexValue(text[i]) >= 0; ++i) {
        value = value * 16 + HexValue(text[i]);
      }
      if (i == start) return -1;
      out[written++] = static_cast<char>(value);
    } else {
      return -1;
    }
  }
  return written;
}

}  // namespace velum
