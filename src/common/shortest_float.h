// Core unit: no Python.
// The shortest decimal that reads back to a given double or float: the
// digits a round-trip printer needs, without any layout.
#pragma once

#include <cstdint>

namespace velum::shortest {

// |value| = digits * 10^exponent, digits without trailing zeros. Among the
// decimals of that length that read back to the value, the closest one
// (ties to an even last digit).
struct Decimal {
  uint64_t digits;
  int exponent;
};

// `value` must be finite and non-zero; its sign is ignored.
Decimal ShortestDouble(double value) noexcept;
// The same for a 32-bit float: shortest among the decimals that read back
// to `value` as a float (so 3.4028235e38 for the largest float).
Decimal ShortestFloat(float value) noexcept;

}  // namespace velum::shortest
