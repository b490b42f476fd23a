// Core unit: no Python.
// Numbers as JSON reading needs them: literals the tokenizer validated and
// numbers written inside strings, converted exactly or rounded to nearest.
#pragma once

#include <cstdint>
#include <string_view>

#include "json_parse/json_tokenizer.h"

namespace velum::json {

// The value of a validated number literal, correctly rounded; a magnitude
// beyond the double range gives ±infinity, one below it ±0.
double LiteralToDouble(const NumberToken& token) noexcept;

// The value of an integer literal when it fits 64 signed bits.
bool LiteralToInt64(const NumberToken& token, int64_t* out) noexcept;

// A decimal floating-point number filling the whole of `text`: an optional
// sign, digits with an optional fraction, an optional exponent, and the
// words inf, infinity and nan in any letter case. Overflow gives ±infinity.
bool ParseDecimalFloat(std::string_view text, double* out) noexcept;

// An optional sign followed by ASCII decimal digits whose value fits 64 bits
// (up to 2^64-1, or down to -2^63): the common form of an integer written as
// a string, converted without the interpreter. The sign and the magnitude.
bool ParseDecimalInteger(std::string_view text, bool* negative, uint64_t* magnitude) noexcept;

// An optional sign followed by at most 18 ASCII decimal digits, which always
// fit a signed 64-bit integer.
bool ParseSmallDecimalInt(std::string_view text, int64_t* out) noexcept;

// True when the text begins or ends with an ASCII byte that the interpreter
// counts as white space; non-ASCII ends are left to the caller.
bool HasAsciiSpaceEnd(std::string_view text) noexcept;

// True when every byte is ASCII.
bool IsAscii(std::string_view text) noexcept;

// Plain decimal notation of a double: the shortest digits that read back to
// the same value, never an exponent (1e39 is a 1 followed by 39 zeros).
RawString PlainDecimal(double value);

}  // namespace velum::json
