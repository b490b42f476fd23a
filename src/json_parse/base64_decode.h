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

// The decoded size of text whose length and padding are valid, or nothing;
// the symbols themselves are left to Base64Decode.
std::optional<size_t> Base64PaddedSize(std::string_view text) noexcept;

// Decodes text into `out`, which has room for Base64PaddedSize, checking the
// symbols on the way: false when one is outside the alphabet the text uses.
bool Base64Decode(std::string_view text, uint8_t* out) noexcept;

}  // namespace velum::json
