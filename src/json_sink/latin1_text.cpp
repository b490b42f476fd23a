// Core unit: no Python.
#include "json_sink/latin1_text.h"

#include <cstring>

namespace velum::json_sink {

bool Utf8ToLatin1(const uint8_t* text, size_t size, uint8_t* out, size_t capacity) noexcept {
  constexpr uint64_t kTops = 0x8080808080808080u;
  const uint8_t* const limit = out + capacity;
  size_t i = 0;
  while (i < size) {
    size_t end = i;
    for (; size - end >= 8; end += 8) {
      uint64_t word = 0;
      std::memcpy(&word, text + end, 8);
      if ((word & kTops) != 0) break;
    }
    while (end < size && text[end] < 0x80) ++end;
    if (end - i > static_cast<size_t>(limit - out)) return false;
    std::memcpy(out, text + i, end - i);
    out += end - i;
    if (end == size) break;
    // A lead byte 0xc2 or 0xc3 and its continuation.
    if (out == limit || size - end < 2 || text[end] > 0xc3) return false;
    *out++ = static_cast<uint8_t>(((text[end] & 0x1fu) << 6) | (text[end + 1] & 0x3fu));
    i = end + 2;
  }
  return out == limit;
}

}  // namespace velum::json_sink
