// Core unit: no Python.
// Text as code units of one, two or four bytes a character, the three widths
// of a Python str. The output is built at the width of its widest character,
// so narrower text is widened on its way in. Units live in byte storage and
// are moved with memcpy, which the compiler turns into plain (vector) moves.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace velum::json_sink {

template <class Unit>
inline void StoreUnit(char* out, Unit unit) noexcept {
  std::memcpy(out, &unit, sizeof(Unit));
}

// `n` units of type From at `in` written as To at `out` (To at least as wide);
// the two ranges do not overlap.
template <class From, class To>
inline void WidenUnits(const char* in, size_t n, char* out) noexcept {
  static_assert(sizeof(From) <= sizeof(To));
  if constexpr (sizeof(From) == sizeof(To)) {
    if (n != 0) std::memcpy(out, in, n * sizeof(To));
  } else {
    for (size_t i = 0; i < n; ++i) {
      From unit;
      std::memcpy(&unit, in + i * sizeof(From), sizeof(From));
      StoreUnit<To>(out + i * sizeof(To), static_cast<To>(unit));
    }
  }
}

// The first `n` units at `data`, of type From, rewritten in place as To; the
// storage has room for n units of To. Blocks are taken from the end, each
// read whole before it is written, so no unit is overwritten before it moved.
template <class From, class To>
inline void WidenInPlace(char* data, size_t n) noexcept {
  constexpr size_t kBlock = 32;
  From block[kBlock];
  size_t i = n;
  while (i >= kBlock) {
    i -= kBlock;
    std::memcpy(block, data + i * sizeof(From), sizeof block);
    WidenUnits<From, To>(reinterpret_cast<const char*>(block), kBlock, data + i * sizeof(To));
  }
  if (i != 0) {
    std::memcpy(block, data, i * sizeof(From));
    WidenUnits<From, To>(reinterpret_cast<const char*>(block), i, data);
  }
}

// The width class of a character bound: 0 for one byte a unit (up to U+00FF),
// 1 for two (the BMP), 2 for four.
constexpr unsigned UnitShift(uint32_t max_char) noexcept { return max_char <= 0xff ? 0 : max_char <= 0xffff ? 1 : 2; }

}  // namespace velum::json_sink
