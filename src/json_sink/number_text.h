// Core unit: no Python.
// Number texts of the JSON output: integer digits, and doubles laid out exactly
// as Python's repr() lays them out, so that text written here and the repr()
// of the same float never differ.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/cpu_features.h"

namespace velum::json_sink {

// Room for any signed or unsigned 64-bit number ("-9223372036854775808").
inline constexpr size_t kIntegerTextMax = 20;
// Room for any double: "-2.2250738585072014e-308" is 24 bytes, the longest,
// but the layout moves digits by fixed-size copies that may reach 34 bytes.
inline constexpr size_t kFloatTextMax = 40;

// Decimal digits, '-' first when negative; returns the length. Nothing past
// the text is written, so a destination made at its final length (a new
// str) can take them directly.
size_t FormatInteger(int64_t value, char* out) noexcept;
size_t FormatUnsigned(uint64_t value, char* out) noexcept;

// The same into room of kIntegerTextMax bytes, all of which may be written
// (long numbers are converted sixteen digits at once); for text buffers.
// By the AVX-512 form where it is taken (common/cpu_features.h), else by
// the baseline one: the test is made here, so that either is one call.
size_t FormatIntegerInRoomBaseline(int64_t value, char* out) noexcept;
size_t FormatUnsignedInRoomBaseline(uint64_t value, char* out) noexcept;
size_t FormatIntegerInRoomAvx512(int64_t value, char* out) noexcept;
size_t FormatUnsignedInRoomAvx512(uint64_t value, char* out) noexcept;
[[gnu::always_inline]] inline size_t FormatIntegerInRoom(int64_t value, char* out) noexcept {
  return cpu::UseAvx512() ? FormatIntegerInRoomAvx512(value, out) : FormatIntegerInRoomBaseline(value, out);
}
[[gnu::always_inline]] inline size_t FormatUnsignedInRoom(uint64_t value, char* out) noexcept {
  return cpu::UseAvx512() ? FormatUnsignedInRoomAvx512(value, out) : FormatUnsignedInRoomBaseline(value, out);
}

// The number of decimal digits of `value` (1 for 0).
size_t DecimalDigitCount(uint64_t value) noexcept;

// repr() of a float: the shortest digits that read back to `value`, in plain
// notation with at least one digit after the point when the magnitude is 0
// or in [1e-4, 1e16), in exponent form ("1e+16", "1e-05") otherwise; "nan",
// "inf" and "-inf" for the values JSON has no number for. Returns the length.
size_t FormatFloatRepr(double value, char* out) noexcept;

}  // namespace velum::json_sink
