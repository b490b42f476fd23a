// Core unit: no Python.
// The finished JSON text into the storage of a one-byte-per-character str:
// ASCII runs are copied whole, word by word, and only the two-byte sequences
// of U+0080..U+00FF are decoded.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velum::json_sink {

// `text` is well-formed UTF-8 whose code points are all below U+0100; `out`
// has room for `capacity` bytes, one per code point. Returns whether the text
// filled `out` exactly (false, and `out` partly written, otherwise).
bool Utf8ToLatin1(const uint8_t* text, size_t size, uint8_t* out, size_t capacity) noexcept;

}  // namespace velum::json_sink
