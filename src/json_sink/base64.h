// Core unit: no Python.
// Standard Base64 (RFC 4648 alphabet with '+' and '/', '=' padding) for bytes
// fields in JSON.
#pragma once

#include <cstddef>
#include <cstdint>

namespace velum::json_sink {

// Length of the encoding of `size` bytes; 0 when it would not fit a size_t.
size_t Base64Length(size_t size) noexcept;

// Writes the encoding of `data` to `out`, which holds Base64Length(size) bytes.
void Base64Encode(const uint8_t* data, size_t size, char* out) noexcept;

}  // namespace velum::json_sink
