// Core unit: no Python.
// w * 10^q is w, normalised to 64 bits, times the table's 128-bit floor of
// 10^q; the top 64 bits of that product hold the 53 significant bits, a
// rounding bit and nine or ten bits below it. The low parts left out of the
// product add less than one unit to the bits below the top 64, so the
// rounding is decided unless those bits sit at a boundary: then the product
// is refined with the table's low half, and if the bits are still at a
// boundary, or exactly at a tie that the truncation may hide, no answer is
// given.
#include "common/nearest_double.h"

#include <bit>

#include "common/pow10_table.h"

namespace velum {

bool NearestDouble(uint64_t w, int q, bool negative, double* out) noexcept {
  if (w == 0) {
    *out = negative ? -0.0 : 0.0;
    return true;
  }
  if (q < kPow10First || q > kPow10Last) return false;
  const int lz = std::countl_zero(w);
  const uint64_t wn = w << lz;
  const Pow128& power = Pow10(q);
  const Uint128 first = Multiply64(wn, power.hi);
  auto hi = static_cast<uint64_t>(first >> 64);
  auto lo = static_cast<uint64_t>(first);
  constexpr uint64_t kBelowRound = 0x1ff;
  if ((hi & kBelowRound) == kBelowRound) {
    const auto carry = static_cast<uint64_t>(Multiply64(wn, power.lo) >> 64);
    lo += carry;
    if (lo < carry) ++hi;
    // What is still missing adds at most one to lo.
    if ((hi & kBelowRound) == kBelowRound && lo == ~uint64_t{0}) return false;
  }
  const auto upper = static_cast<int>(hi >> 63);
  uint64_t mantissa = hi >> (upper + 9);  // 53 bits and the rounding bit
  int biased = FloorLog2Pow10(q) + 1086 + upper - lz;
  // Exactly half way as far as the product shows, with an even result below:
  // the truncated parts decide between down (a true tie) and up.
  if (lo == 0 && (hi & kBelowRound) == 0 && (mantissa & 3) == 1) return false;
  mantissa += mantissa & 1;
  mantissa >>= 1;
  if (mantissa >> 53 != 0) {  // rounded up into the next binade
    mantissa >>= 1;
    ++biased;
  }
  if (biased <= 0 || biased >= 0x7ff) return false;
  const uint64_t bits = (negative ? uint64_t{1} << 63 : 0) | static_cast<uint64_t>(biased) << 52 |
                        (mantissa & ((uint64_t{1} << 52) - 1));
  *out = std::bit_cast<double>(bits);
  return true;
}

}  // namespace velum
