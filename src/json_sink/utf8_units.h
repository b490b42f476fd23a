// Core unit: no Python.
// The finished JSON text, UTF-8 that this writer produced itself, into the
// code units of its result str (one, two or four bytes a character). The
// writer tallies the length and widest character as it goes, so the str is
// allocated once at its final width and filled in one pass: ASCII runs are
// moved word by word, and sequences are decoded without being validated
// again, only bounded by the text and by `out`.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velum::json_sink {

// `text` is well-formed UTF-8; `out` has room for `capacity` units. Returns
// whether the text filled `out` exactly with characters that fit the unit
// (false, and `out` partly written, otherwise).
bool Utf8ToLatin1(const uint8_t* text, size_t size, uint8_t* out, size_t capacity) noexcept;
bool Utf8ToUcs2(const uint8_t* text, size_t size, uint16_t* out, size_t capacity) noexcept;
bool Utf8ToUcs4(const uint8_t* text, size_t size, uint32_t* out, size_t capacity) noexcept;

// The same for a stretch of the text into `out` of kind `kind` (1, 2 or 4
// bytes a unit): the number of units written, or SIZE_MAX when they would
// not fit in `capacity` or not in the unit.
size_t Utf8IntoUnits(const uint8_t* text, size_t size, void* out, unsigned kind, size_t capacity) noexcept;

}  // namespace velum::json_sink
