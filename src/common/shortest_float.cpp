// Core unit: no Python.
// Shortest round-trip digits by exhaustive interval arithmetic at one scale.
//
// A binary value v = c * 2^q reads back from every decimal within its
// rounding interval [c - 1/2, c + 1/2] * 2^q (the lower half-width is 1/4
// when c is the smallest significand of a binade above the lowest one; the
// ends belong to the interval when c is even). The value is scaled once by
// 10^-k, k = floor(log10 of the interval's width), so that the interval is at
// least one and less than ten units wide: among its integers, either one
// multiple of ten (which yields a shorter decimal) or one or two neighbours
// s, s + 1 of the scaled value. The scaled ends are computed as four times
// their value, truncated and with the lowest bit set when anything was
// dropped ("round to odd"); comparisons of such numbers with multiples of
// four are exact, which is all the choice needs. The scale factor is a
// 126-bit upper approximation of 10^-k, accurate enough that no comparison
// of any double or float changes.
#include "common/shortest_float.h"

#include <bit>

#include "common/pow10_table.h"

namespace velum::shortest {

namespace {

// floor(g * cp / 2^127), with the lowest bit set when the fraction is at
// least 2^-63. The bits below that only hold the excess of g over the true
// power of ten (g is rounded up), so an exact product, a tie, stays exact.
uint64_t RoundToOdd(Uint128 g, uint64_t cp) noexcept {
  const Uint128 low = Multiply64(static_cast<uint64_t>(g), cp);
  const Uint128 high = Multiply64(static_cast<uint64_t>(g >> 64), cp);
  const Uint128 middle = high + (low >> 64);  // the product shifted right by 64
  const auto quotient = static_cast<uint64_t>(middle >> 63);
  const bool inexact = (static_cast<uint64_t>(middle) << 1) != 0;
  return quotient | static_cast<uint64_t>(inexact);
}

// 10^e * 2^(125 - FloorLog2Pow10(e)), rounded up to an integer: from the
// table's 128-bit floor, two bits shorter, plus one.
Uint128 ScaleUp(int e) noexcept {
  const Pow128& p = Pow10(e);
  return ((static_cast<Uint128>(p.hi) << 64 | p.lo) >> 2) + 1;
}

// Shortest decimal of c * 2^q.
Decimal Search(uint64_t c, int q, bool lower_closer) noexcept {
  const uint64_t open = c & 1;  // odd significands exclude the interval's ends
  const uint64_t cb = c << 2;
  const uint64_t cbr = cb + 2;
  uint64_t cbl = 0;
  int k = 0;
  if (lower_closer) {
    cbl = cb - 1;
    k = FloorLog10ThreeQuartersPow2(q);
  } else {
    cbl = cb - 2;
    k = FloorLog10Pow2(q);
  }
  const int h = q + FloorLog2Pow10(-k) + 2;  // 1 to 4: the shift that aligns 2^q with the scale
  const Uint128 g = ScaleUp(-k);
  const uint64_t vb = RoundToOdd(g, cb << h);
  const uint64_t vbl = RoundToOdd(g, cbl << h);
  const uint64_t vbr = RoundToOdd(g, cbr << h);

  const uint64_t s = vb >> 2;
  if (s >= 10) {
    // One digit fewer: the multiples of ten around the scaled value.
    const uint64_t sp10 = s / 10 * 10;
    const uint64_t tp10 = sp10 + 10;
    const bool lower_in = vbl + open <= sp10 << 2;
    const bool upper_in = (tp10 << 2) + open <= vbr;
    if (lower_in != upper_in) return {lower_in ? sp10 : tp10, k};
  }
  const uint64_t t = s + 1;
  const bool lower_in = vbl + open <= s << 2;
  const bool upper_in = (t << 2) + open <= vbr;
  if (lower_in != upper_in) return {lower_in ? s : t, k};
  // Both inside: the closer one, the even one on a tie.
  const auto diff = static_cast<int64_t>(vb - ((s + t) << 1));
  return {diff < 0 || (diff == 0 && (s & 1) == 0) ? s : t, k};
}

[[gnu::always_inline]] inline Decimal StripZeros(Decimal d) noexcept {
  // Most doubles need all their digits: one test settles them.
  if (d.digits % 10 != 0) [[likely]]
    return d;
  if (d.digits % 100000000 == 0) {
    d.digits /= 100000000;
    d.exponent += 8;
    if (d.digits % 100000000 == 0) {
      d.digits /= 100000000;
      d.exponent += 8;
    }
  }
  if (d.digits % 10000 == 0) {
    d.digits /= 10000;
    d.exponent += 4;
  }
  if (d.digits % 100 == 0) {
    d.digits /= 100;
    d.exponent += 2;
  }
  if (d.digits % 10 == 0) {
    d.digits /= 10;
    d.exponent += 1;
  }
  return d;
}

// The common case of a double, c * 2^q with the interval symmetric (not
// the lowest significand of a binade), by the larger-divisor method: the
// value is scaled by 10^k so that the interval is [100, 1000) units wide;
// one 64x128-bit product gives the scaled upper end z, and the cache's top
// bits the width. A multiple of 1000 inside the interval is the shortest
// decimal (unique, as the width is below 1000); otherwise the shortest is
// one digit longer and the integer nearest the scaled value is found from
// the distance to z, its parity told by a second product only when the
// distance is a multiple of 100. The cache is 10^k to 128 bits rounded up,
// which keeps every integer test exact. False when k is beyond the table.
bool NearestSymmetric(uint64_t c, int q, Decimal* out) noexcept {
  constexpr int kKappa = 2;
  constexpr uint32_t kBig = 1000;   // 10^(kKappa + 1)
  constexpr uint32_t kSmall = 100;  // 10^kKappa
  const int minus_k = FloorLog10Pow2(q) - kKappa;
  const int k = -minus_k;
  if (k > kPow10Last) return false;
  const Pow128& p = Pow10(k);
  // Rounded up, except where 10^k is exact in 128 bits.
  Uint128 cache = static_cast<Uint128>(p.hi) << 64 | p.lo;
  if (k < 0 || k > 55) ++cache;
  const auto cache_hi = static_cast<uint64_t>(cache >> 64);
  const auto cache_lo = static_cast<uint64_t>(cache);
  const int beta = q + FloorLog2Pow10(k);  // 6 to 9
  const uint64_t two_c = c << 1;
  const bool include_ends = (c & 1) == 0;

  const auto delta = static_cast<uint32_t>(cache_hi >> (63 - beta));
  // z: the upper 128 bits of the 192-bit product of (2c + 1) << beta and the cache.
  const uint64_t u = (two_c | 1) << beta;
  const Uint128 z128 = Multiply64(u, cache_hi) + (Multiply64(u, cache_lo) >> 64);
  const auto z = static_cast<uint64_t>(z128 >> 64);
  const bool z_integer = static_cast<uint64_t>(z128) == 0;

  // Parity and integrality of x * cache scaled as z is (x = 2c - 1 or 2c).
  auto parity = [&](uint64_t x, bool* integer) noexcept {
    const Uint128 low = Multiply64(x, cache_lo);
    const uint64_t high = x * cache_hi + static_cast<uint64_t>(low >> 64);
    const auto low64 = static_cast<uint64_t>(low);
    *integer = ((high << beta) | (low64 >> (64 - beta))) == 0;
    return ((high >> (64 - beta)) & 1) != 0;
  };

  uint64_t significand = z / kBig;
  auto r = static_cast<uint32_t>(z - kBig * significand);
  bool small = false;
  if (r < delta) {
    // The upper end itself is out when the ends are excluded.
    if (r == 0 && z_integer && !include_ends) {
      --significand;
      r = kBig;
      small = true;
    }
  } else if (r > delta) {
    small = true;
  } else {
    // r == delta: the lower end decides.
    bool x_integer = false;
    const bool x_parity = parity(two_c - 1, &x_integer);
    if (!(x_parity || (x_integer && include_ends))) small = true;
  }
  if (!small) {
    *out = StripZeros({significand, minus_k + kKappa + 1});
    return true;
  }
  // One digit more: the integer nearest the scaled value. It ends in no
  // zero: a multiple of ten at this scale would be the multiple of kBig
  // inside the interval that the test above found missing.
  significand *= 10;
  const uint32_t dist = r - (delta / 2) + (kSmall / 2);
  const bool approx_parity = ((dist ^ (kSmall / 2)) & 1) != 0;
  const bool divisible = dist % kSmall == 0;
  significand += dist / kSmall;
  if (divisible) {
    bool y_integer = false;
    const bool y_parity = parity(two_c, &y_integer);
    if (y_parity != approx_parity) {
      --significand;
    } else if ((significand & 1) != 0 && y_integer) {
      --significand;  // exactly half way: the even one
    }
  }
  *out = {significand, minus_k + kKappa};
  return true;
}

// The binary format's parameters: significand bits (with the hidden one)
// and the exponent of the lowest binade.
template <int kBits, int kQMin, class Bits>
Decimal Shortest(Bits bits) noexcept {
  constexpr int kExponentBits = sizeof(Bits) * 8 - kBits;
  constexpr Bits kFractionMask = (Bits{1} << (kBits - 1)) - 1;
  constexpr uint64_t kHidden = uint64_t{1} << (kBits - 1);
  const auto biased = static_cast<int>((bits >> (kBits - 1)) & ((Bits{1} << kExponentBits) - 1));
  const uint64_t fraction = bits & kFractionMask;
  if (biased == 0) return StripZeros(Search(fraction, kQMin, false));
  const uint64_t c = kHidden | fraction;
  const int q = kQMin + biased - 1;
  // Whole numbers below 2^kBits: their digits are the shortest decimal.
  // Doubles need no such shortcut: NearestSymmetric finds the same digits,
  // and their writer takes whole numbers by its own test before this search.
  if (kBits != 53 && q <= 0 && q > -kBits) {
    const uint64_t whole = c >> -q;
    if (whole << -q == c) return StripZeros({whole, 0});
  }
  const bool lower_closer = fraction == 0 && biased > 1;
  if constexpr (kBits == 53) {
    Decimal nearest;
    if (!lower_closer && NearestSymmetric(c, q, &nearest)) return nearest;
  }
  return StripZeros(Search(c, q, lower_closer));
}

}  // namespace

Decimal ShortestDouble(double value) noexcept {
  return Shortest<53, -1074>(std::bit_cast<uint64_t>(value));
}

Decimal ShortestFloat(float value) noexcept {
  return Shortest<24, -149>(std::bit_cast<uint32_t>(value));
}

}  // namespace velum::shortest
