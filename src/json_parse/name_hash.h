// Core unit: no Python.
// A hash of a member name for the small tables of names met while reading:
// its length and its first and last eight bytes, mixed. Names of one
// document mostly differ there; a collision costs the caller a miss, never a
// wrong answer, since every table compares the names themselves or treats a
// match as a mere maybe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace velum::json {

inline uint64_t NameHash(std::string_view name) noexcept {
  uint64_t head = 0;
  uint64_t tail = 0;
  const size_t n = name.size();
  if (n != 0) std::memcpy(&head, name.data(), n < 8 ? n : 8);
  if (n > 8) std::memcpy(&tail, name.data() + (n < 16 ? 8 : n - 8), n < 16 ? n - 8 : 8);
  uint64_t hash = (head ^ (n * 0x9e3779b97f4a7c15ull)) * 0xff51afd7ed558ccdull;
  hash ^= (tail + (hash >> 29)) * 0xc4ceb9fe1a85ec53ull;
  return hash ^ (hash >> 32);
}

}  // namespace velum::json
