// Core unit: no Python.
// The finished JSON text into the storage of a one-byte-per-character str:
// ASCII runs are copied whole, word by word, and only the two-byte sequences
// of U+0080..U+00FF are decoded.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velum::json_sink {

// `text` is well-formed UTF-8 whose code points are all below U+0100; `out`
// has room for one byte per code point.
void Utf8ToLatin1(const uint8_t* text, size_t size, uint8_t* out) noexcept;

}  // namespace velum::json_sink
