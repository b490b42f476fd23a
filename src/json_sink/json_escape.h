// Core unit: no Python.
// JSON string literals: the quotes and the escapes of control characters, the
// double quote and the backslash. Everything else, '/' and non-ASCII included,
// is copied as it stands, in runs between the characters that need an escape.
#pragma once

#include <cstddef>
#include <cstdint>

#include "json_sink/unit_buffer.h"

namespace velum::json_sink {

// Length of the prefix of `text` that needs no escape (all of it when none does).
size_t PlainRunLength(const char* text, size_t size) noexcept;

// Appends UTF-8 `text` (well-formed, not checked beyond what decoding needs)
// as a quoted JSON string. Returns whether the text holds a byte above 0x7f.
bool AppendJsonString(UnitBuffer& out, const char* text, size_t size) noexcept;

// Appends the text of a str, given as its `length` code units of `kind`
// bytes each (1, 2 or 4; `ascii`: one byte and ASCII only), as a quoted JSON
// string. False at a surrogate code point, which has no UTF-8 form: the text
// cannot be JSON, and the output is then incomplete.
bool AppendJsonUnits(UnitBuffer& out, const void* units, size_t length, unsigned kind, bool ascii) noexcept;

}  // namespace velum::json_sink
