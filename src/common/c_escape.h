// Core unit: no Python.
// The C-style escapes protoc writes in the default of a bytes field.
#pragma once

#include <cstddef>
#include <string_view>

namespace velum {

// Decodes the UTF-8 `text` into `out`, which has room for text.size() bytes (no
// escape decodes longer than it is written). Text outside escapes is copied as
// it is; the escapes are \n \r \t \a \b \f \v \\ \' \" \?, one to three octal
// digits (the byte is the value's low eight bits) and \x or \X with one or two
// hex digits. Returns the length written, or -1 for a trailing backslash, a \x
// without digits or any other escape.
std::ptrdiff_t UnescapeC(std::string_view text, char* out) noexcept;

}  // namespace velum
