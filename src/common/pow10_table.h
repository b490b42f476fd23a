// Core unit: no Python.
// Powers of ten to 128 bits, shared by the shortest-digits printer and the
// exact decimal reader, with the exponent logarithms both need.
#pragma once

#include <cstdint>

namespace velum {

__extension__ typedef unsigned __int128 Uint128;

struct Pow128 {
  uint64_t hi;
  uint64_t lo;
};

inline constexpr int kPow10First = -342;
inline constexpr int kPow10Last = 324;

// Entry e - kPow10First is floor(10^e * 2^(127 - FloorLog2Pow10(e))): the
// leading bit always at bit 127.
extern const Pow128 kPow10Table[kPow10Last - kPow10First + 1];

inline const Pow128& Pow10(int e) noexcept { return kPow10Table[e - kPow10First]; }

// floor(e * log2(10)) for e in [kPow10First, kPow10Last] (the generator checks it).
constexpr int FloorLog2Pow10(int e) noexcept { return (e * 217706) >> 16; }
// floor(q * log10(2)) and floor(log10(3/4 * 2^q)) for q in [-1200, 1100].
constexpr int FloorLog10Pow2(int q) noexcept { return (q * 78913) >> 18; }
constexpr int FloorLog10ThreeQuartersPow2(int q) noexcept { return (q * 1262611 - 524031) >> 22; }

inline Uint128 Multiply64(uint64_t a, uint64_t b) noexcept { return static_cast<Uint128>(a) * b; }

}  // namespace velum
