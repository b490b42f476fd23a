// Core unit: no Python.
// JSON string literals: the quotes and the escapes of control bytes, the double
// quote and the backslash. Everything else, '/' and non-ASCII UTF-8 included,
// is copied as it stands, in runs between the bytes that need an escape.
#pragma once

#include <cstddef>

#include "json_sink/text_buffer.h"

namespace velum::json_sink {

// Length of the prefix of `text` that needs no escape (all of it when none does).
size_t PlainRunLength(const char* text, size_t size) noexcept;

// Appends `text` (UTF-8, not checked) as a quoted JSON string. Returns whether
// the text holds a byte above 0x7f, found by the same pass over the words.
bool AppendJsonString(TextBuffer& out, const char* text, size_t size) noexcept;
// AppendJsonString followed by ':', for a member name.
bool AppendJsonName(TextBuffer& out, const char* text, size_t size) noexcept;

// Whether the text of a str, given as its `length` code units of `kind`
// bytes each (1, 2 or 4), needs no escape and holds no surrogate (which has
// no UTF-8 form): such text goes into JSON exactly as it stands.
bool UnitsArePlain(const void* units, size_t length, unsigned kind) noexcept;

}  // namespace velum::json_sink
