// Core unit: no Python.
// The double nearest to a decimal w * 10^q with a 64-bit w, by one or two
// 64x64-bit multiplications with a 128-bit power of ten.
#pragma once

#include <cstdint>

namespace velum {

// The correctly rounded double (ties to even) of w * 10^q, negated when
// `negative`. Returns false, leaving *out alone, when the truncated products
// cannot decide the rounding, the result would be subnormal, infinite or
// zero from underflow, or q is beyond the table: the caller then asks a
// full decimal parser.
bool NearestDouble(uint64_t w, int q, bool negative, double* out) noexcept;

}  // namespace velum
