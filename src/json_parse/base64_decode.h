// Core unit: no Python.
// Base64 as JSON carries bytes: the URL-safe alphabet when the text holds a
// `-` or `_`, the standard one otherwise; `=` padding optional but correct
// when present; non-zero bits in the last symbol accepted; nothing else
// (no white space) allowed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace velum::json {

// The decoded size of valid Base64 text, or nothing when the text is invalid.
std::optional<size_t> Base64DecodedSize(std::string_view text) noexcept;

// Decodes text accepted by Base64DecodedSize into `out`, which has room for
// the size it returned.
void Base64Decode(std::string_view text, uint8_t* out) noexcept;

}  // namespace velum::json
