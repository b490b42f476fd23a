// Equality of short UTF-8 texts, such as member names, without a call to
// memcmp: names are mostly under 16 bytes, where two overlapping word loads
// per side decide it.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>

namespace velum {

inline bool EqualText(std::string_view a, std::string_view b) noexcept {
  const size_t n = a.size();
  if (n != b.size()) return false;
  const char* p = a.data();
  const char* q = b.data();
  if (n >= 8) {
    if (n > 16) return std::memcmp(p, q, n) == 0;
    uint64_t p0, q0, p1, q1;
    std::memcpy(&p0, p, 8);
    std::memcpy(&q0, q, 8);
    std::memcpy(&p1, p + n - 8, 8);
    std::memcpy(&q1, q + n - 8, 8);
    return ((p0 ^ q0) | (p1 ^ q1)) == 0;
  }
  if (n >= 4) {
    uint32_t p0, q0, p1, q1;
    std::memcpy(&p0, p, 4);
    std::memcpy(&q0, q, 4);
    std::memcpy(&p1, p + n - 4, 4);
    std::memcpy(&q1, q + n - 4, 4);
    return ((p0 ^ q0) | (p1 ^ q1)) == 0;
  }
  for (size_t i = 0; i < n; ++i) {
    if (p[i] != q[i]) return false;
  }
  return true;
}

}  // namespace velum
