// Core unit: no Python.
#include "json_sink/base64.h"

#include <cstdint>

namespace velum::json_sink {

namespace {
constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
}  // namespace

size_t Base64Length(size_t size) noexcept {
  const size_t groups = size / 3 + (size % 3 != 0);
  return groups > SIZE_MAX / 4 ? 0 : groups * 4;
}

void Base64Encode(const uint8_t* data, size_t size, char* out) noexcept {
  size_t i = 0;
  for (; size - i >= 3; i += 3) {
    const uint32_t group = uint32_t{data[i]} << 16 | uint32_t{data[i + 1]} << 8 | data[i + 2];
    out[0] = kAlphabet[group >> 18];
    out[1] = kAlphabet[(group >> 12) & 63];
    out[2] = kAlphabet[(group >> 6) & 63];
    out[3] = kAlphabet[group & 63];
    out += 4;
  }
  const size_t rest = size - i;
  if (rest == 0) return;
  const uint32_t group = uint32_t{data[i]} << 16 | (rest == 2 ? uint32_t{data[i + 1]} << 8 : 0);
  out[0] = kAlphabet[group >> 18];
  out[1] = kAlphabet[(group >> 12) & 63];
  out[2] = rest == 2 ? kAlphabet[(group >> 6) & 63] : '=';
  out[3] = '=';
}

}  // namespace velum::json_sink
