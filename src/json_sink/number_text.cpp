// Core unit: no Python.
#include "json_sink/number_text.h"

#include <array>
#include <bit>
#include <cmath>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "common/cpu_features.h"
#include "common/shortest_float.h"

// The AVX-512 forms (IFMA digits), chosen at run time where the CPU has them.
#if VELUM_AVX512_FORMS
#include <immintrin.h>
#endif

namespace velum::json_sink {

namespace {

constexpr char kDigitPairs[] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

constexpr uint64_t kPowersOfTen[20] = {1u,
                                       10u,
                                       100u,
                                       1000u,
                                       10000u,
                                       100000u,
                                       1000000u,
                                       10000000u,
                                       100000000u,
                                       1000000000u,
                                       10000000000u,
                                       100000000000u,
                                       1000000000000u,
                                       10000000000000u,
                                       100000000000000u,
                                       1000000000000000u,
                                       10000000000000000u,
                                       100000000000000000u,
                                       1000000000000000000u,
                                       10000000000000000000u};

// Eight digits of a value below 10^8, as eight ASCII bytes in text order:
// the value splits into two halves of four digits, each of those into two
// pairs, and each pair into two digits, all lanes at once.
uint64_t EightDigits(uint64_t value) noexcept {
  const auto v = static_cast<uint32_t>(value);  // 32-bit division is cheaper
  const uint32_t high = v / 10000;
  const uint64_t halves = high | static_cast<uint64_t>(v - high * 10000) << 32;
  const uint64_t hundreds = (halves * 10486 >> 20) & 0x0000007f0000007fu;  // each half / 100
  const uint64_t pairs = ((halves - 100 * hundreds) << 16) + hundreds;
  uint64_t tens = (pairs * 103 >> 10) & 0x000f000f000f000fu;  // each pair / 10
  tens += (pairs - 10 * tens) << 8;
  return tens + 0x3030303030303030u;
}

void Store8(char* out, uint64_t value) noexcept {
  const uint64_t text = EightDigits(value);
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(out, &text, 8);
  } else {
    for (int i = 0; i < 8; ++i) out[i] = static_cast<char>(text >> (8 * i));
  }
}

// Sixteen digits at `out`: those of `high` then those of `low`, both below
// 10^8, leading zeros included. With SSE2 both halves are converted at once:
// each splits into two groups of four digits (one per 32-bit lane, in text
// order), each group into two pairs (one per 16-bit lane) and each pair into
// two digits (one per byte), every split by one high multiplication and one
// multiply-subtract for the remainder.
#if defined(__SSE2__)
[[gnu::always_inline]] inline __m128i Digits16(uint64_t high, uint64_t low) noexcept {
  const __m128i v = _mm_set_epi64x(static_cast<int64_t>(low), static_cast<int64_t>(high));
  // v / 10^4 by the 32-bit multiply-shift (exact below 2^32), and the remainder.
  const __m128i upper = _mm_srli_epi64(_mm_mul_epu32(v, _mm_set1_epi32(static_cast<int>(0xd1b71759))), 45);
  const __m128i lower = _mm_sub_epi32(v, _mm_mul_epu32(upper, _mm_set1_epi32(10000)));
  const __m128i groups = _mm_or_si128(upper, _mm_slli_epi64(lower, 32));
  // Each group / 100 (x * 5243 >> 19, exact below 43699); the high half of each lane is zero.
  const __m128i hundreds = _mm_srli_epi16(_mm_mulhi_epu16(groups, _mm_set1_epi32(5243)), 3);
  const __m128i rest = _mm_sub_epi16(groups, _mm_mullo_epi16(hundreds, _mm_set1_epi32(100)));
  const __m128i pairs = _mm_or_si128(hundreds, _mm_slli_epi32(rest, 16));
  // Each pair / 10 (x * 6554 >> 16, exact below 100).
  const __m128i tens = _mm_mulhi_epu16(pairs, _mm_set1_epi16(6554));
  const __m128i ones = _mm_sub_epi16(pairs, _mm_mullo_epi16(tens, _mm_set1_epi16(10)));
  const __m128i digits = _mm_or_si128(tens, _mm_slli_epi16(ones, 8));
  return _mm_add_epi8(digits, _mm_set1_epi8('0'));
}
#endif

#if VELUM_AVX512_FORMS
// The eight digits of `value` (below 10^8), one per 64-bit lane in text
// order, as ASCII in each lane's low byte. Lane i holds the fraction of
// value / 10^(8-i) in 52 bits (the low half of one multiply-add by
// 2^52 / 10^(8-i) rounded up) and its digit is the high half of ten times
// that. The first lane's divisor, 10^8, is too fine for 52 bits near the
// digit boundaries; it takes value * 2^52 / 10^7 rounded up, whose high half
// is the first digit, by the same multiply-add with other operands.
[[gnu::always_inline, VELUM_AVX512_TARGET]] inline __m512i DigitLanes(uint64_t value) noexcept {
  constexpr int64_t kTwo52 = int64_t{1} << 52;
  const __m512i fractions =
      _mm512_setr_epi64(0, kTwo52 / 10000000 + 1, kTwo52 / 1000000 + 1, kTwo52 / 100000 + 1, kTwo52 / 10000 + 1,
                        kTwo52 / 1000 + 1, kTwo52 / 100 + 1, kTwo52 / 10 + 1);
  const __m512i v = _mm512_set1_epi64(static_cast<int64_t>(value));
  const __m512i low = _mm512_madd52lo_epu64(_mm512_setzero_si512(), v, fractions);
  // The first lane: value times ceil(2^52 / 10^7); the others: ten times the fraction.
  const __m512i first = _mm512_setr_epi64(kTwo52 / 10000000 + 1, 0, 0, 0, 0, 0, 0, 0);
  const __m512i factors = _mm512_mask_mov_epi64(_mm512_set1_epi64(10), 1, v);
  return _mm512_madd52hi_epu64(_mm512_set1_epi64('0'), factors, _mm512_or_si512(low, first));
}

#endif

void Store16(char* out, uint64_t high, uint64_t low) noexcept {
#if defined(__SSE2__)
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), Digits16(high, low));
#else
  Store8(out, high);
  Store8(out + 8, low);
#endif
}

// Per bit length (1 to 64): the fewest decimal digits a value of that
// length has, and the power of ten from which it has one more (all ones
// when no value of that length reaches one). The entry is read by the bit
// length alone: the write position after every number waits on its count,
// so no arithmetic stands between the bit scan and the load.
struct DigitStep {
  uint64_t next;
  uint64_t digits;
};
constexpr auto kDigitSteps = [] {
  std::array<DigitStep, 65> steps{};
  for (size_t bits = 1; bits <= 64; ++bits) {
    const uint64_t low = uint64_t{1} << (bits - 1);
    const uint64_t high = bits == 64 ? ~uint64_t{0} : (uint64_t{1} << bits) - 1;
    size_t digits = 1;
    while (digits < 20 && low >= kPowersOfTen[digits]) ++digits;
    steps[bits].digits = digits;
    steps[bits].next = digits < 20 && high >= kPowersOfTen[digits] ? kPowersOfTen[digits] : ~uint64_t{0};
  }
  return steps;
}();

// The number of decimal digits (1 for 0): the bit length gives the count or
// one less, and one comparison with a power of ten tells which.
[[gnu::always_inline]] inline size_t DigitCount(uint64_t value) noexcept {
  const uint64_t v = value | 1;
  const DigitStep& step = kDigitSteps[static_cast<size_t>(64 - std::countl_zero(v))];
  return static_cast<size_t>(step.digits) + (v >= step.next ? 1 : 0);
}

// The last `count` (1 to 8) of the eight digits of `value`, stored as one
// word at `out`: the bytes after them are left undefined for the caller to
// overwrite or ignore.
[[gnu::always_inline]] inline void StoreHead(char* out, uint64_t value, size_t count) noexcept {
  if constexpr (std::endian::native == std::endian::little) {
    const uint64_t text = EightDigits(value) >> (8 * (8 - count));
    std::memcpy(out, &text, 8);
  } else {
    const uint64_t text = EightDigits(value);
    for (size_t i = 0; i < count; ++i) out[i] = static_cast<char>(text >> (8 * (8 - count + i)));
  }
}

#if !defined(__SSE2__)
// The `count` digits of `value` (value < 10^count) at `out`, for the float
// layout's scratch buffer, which takes up to seventeen bytes: up to eight
// digits are stored as one word, more as sixteen bytes.
[[gnu::always_inline]] inline void WriteDigitsAt(uint64_t value, size_t count, char* out) noexcept {
  constexpr uint64_t k8 = 100000000;
  if (count > 8) {
    // Nine to sixteen digits: shifted to sixteen (the zeros after them are
    // harmless scratch) and converted at once; the seventeenth first.
    if (count > 16) {
      const uint64_t lead = value / (k8 * k8);
      *out++ = static_cast<char>('0' + lead);
      value -= lead * (k8 * k8);
    } else {
      value *= kPowersOfTen[16 - count];
    }
    const uint64_t high = value / k8;
    Store16(out, high, value - high * k8);
    return;
  }
  if (count == 1) {
    *out = static_cast<char>('0' + value);
  } else if (count > 4) {
    StoreHead(out, value, count);
  } else {
    // Two pairs in one word, shifted past the leading zero of three digits.
    const auto v = static_cast<uint32_t>(value);
    const uint32_t high = v / 100;
    // Eight bytes: the word read below starts up to three bytes in.
    char four[8] = {};
    std::memcpy(four, kDigitPairs + high * 2, 2);
    std::memcpy(four + 2, kDigitPairs + (v - high * 100) * 2, 2);
    std::memcpy(out, four + 4 - count, 4);
  }
}
#endif

// Exactly four digits, leading zeros included.
void Write4(uint64_t value, char* out) noexcept {
  const auto high = static_cast<size_t>(value / 100) * 2;
  const auto low = static_cast<size_t>(value % 100) * 2;
  out[0] = kDigitPairs[high];
  out[1] = kDigitPairs[high + 1];
  out[2] = kDigitPairs[low];
  out[3] = kDigitPairs[low + 1];
}

// One to four digits (value below 10^4).
[[gnu::always_inline]] inline size_t WriteUpTo4(uint64_t value, char* out) noexcept {
  if (value < 10) {
    *out = static_cast<char>('0' + value);
    return 1;
  }
  if (value < 100) {
    out[0] = kDigitPairs[value * 2];
    out[1] = kDigitPairs[value * 2 + 1];
    return 2;
  }
  if (value < 1000) {
    const auto low = static_cast<size_t>(value % 100) * 2;
    out[0] = static_cast<char>('0' + value / 100);
    out[1] = kDigitPairs[low];
    out[2] = kDigitPairs[low + 1];
    return 3;
  }
  Write4(value, out);
  return 4;
}

// Up to eight digits (value below 10^8).
size_t WriteUpTo8(uint64_t value, char* out) noexcept {
  if (value < 10000) return WriteUpTo4(value, out);
  const size_t n = WriteUpTo4(value / 10000, out);
  Write4(value % 10000, out + n);
  return n + 4;
}

// The leading group by the short writers, every following group of eight
// digits at once. Measured cheaper for integers than counting the digits
// first, which pays off where the count is needed anyway.
size_t WriteDigits(uint64_t value, char* out) noexcept {
  constexpr uint64_t k8 = 100000000;
  if (value < k8) return WriteUpTo8(value, out);
  if (value < k8 * k8) {
    const size_t n = WriteUpTo8(value / k8, out);
    Store8(out + n, value % k8);
    return n + 8;
  }
  const uint64_t low = value % (k8 * k8);
  const size_t n = WriteUpTo4(value / (k8 * k8), out);
  Store8(out + n, low / k8);
  Store8(out + n + 8, low % k8);
  return n + 16;
}

}  // namespace

size_t DecimalDigitCount(uint64_t value) noexcept { return DigitCount(value); }

namespace {

// A signed value by a digit writer of magnitudes.
template <size_t (*Write)(uint64_t, char*)>
[[gnu::always_inline]] inline size_t WriteSigned(int64_t value, char* out) noexcept {
  if (value >= 0) return Write(static_cast<uint64_t>(value), out);
  out[0] = '-';
  // The magnitude of the most negative value only fits the unsigned type.
  return 1 + Write(0 - static_cast<uint64_t>(value), out + 1);
}

}  // namespace

size_t FormatInteger(int64_t value, char* out) noexcept { return WriteSigned<WriteDigits>(value, out); }

size_t FormatUnsigned(uint64_t value, char* out) noexcept { return WriteDigits(value, out); }

namespace {

// WriteDigits for room of kIntegerTextMax bytes, which takes scratch bytes
// after the text: up to eight digits as one word, nine to sixteen shifted
// to sixteen and converted at once. No branch depends on the length below
// sixteen digits: numbers of mixed lengths (counts, amounts, ids) would
// mispredict one on many of them, which costs more than the few extra
// instructions (measured natively: wide -10%, maps -3%).
[[gnu::always_inline]] inline size_t WriteDigitsInRoom(uint64_t value, char* out) noexcept {
  constexpr uint64_t k8 = 100000000;
  // Four digits (leading zeros included) as one word, shifted past the zeros.
  if (value < 10000) {
    if constexpr (std::endian::native != std::endian::little) return WriteUpTo4(value, out);
    const auto v = static_cast<uint32_t>(value);
    const uint32_t high = v * 5243 >> 19;  // v / 100, exact below 43699
    uint16_t first = 0;
    uint16_t second = 0;
    std::memcpy(&first, kDigitPairs + high * 2, 2);
    std::memcpy(&second, kDigitPairs + (v - high * 100) * 2, 2);
    uint32_t word = first | static_cast<uint32_t>(second) << 16;
    const size_t count = DigitCount(v);
    word >>= 8 * (4 - count);
    std::memcpy(out, &word, 4);
    return count;
  }
  const size_t count = DigitCount(value);
  if (count <= 8) {
    StoreHead(out, value, count);
    return count;
  }
  if (count > 16) return WriteDigits(value, out);
  const uint64_t shifted = value * kPowersOfTen[16 - count];
  const uint64_t high = shifted / k8;
  Store16(out, high, shifted - high * k8);
  return count;
}

#if VELUM_AVX512_FORMS
// For each digit count n (0 to 16), the byte of each of sixteen digit lanes
// (two vectors of eight) that holds the i-th of the last n digits: one
// permute gathers the digits past the leading zeros.
struct alignas(16) LaneGather {
  uint8_t bytes[16];
};
constexpr auto kLastDigits = [] {
  std::array<LaneGather, 17> gathers{};
  for (size_t n = 0; n <= 16; ++n) {
    for (size_t i = 0; i < 16; ++i) gathers[n].bytes[i] = static_cast<uint8_t>(((16 - n + i) & 15) * 8);
  }
  return gathers;
}();

// WriteDigitsInRoom by DigitLanes: all sixteen digits (leading zeros
// included) converted at once and the last `count` of them gathered, so
// that the count, found beside the conversion, delays only the gather.
[[gnu::always_inline, VELUM_AVX512_TARGET]] inline size_t WriteDigitsInRoomAvx512(uint64_t value, char* out) noexcept {
  constexpr uint64_t k8 = 100000000;
  const size_t count = DigitCount(value);
  if (count > 16) [[unlikely]]
    return WriteDigits(value, out);
  const __m512i gather =
      _mm512_zextsi128_si512(_mm_load_si128(reinterpret_cast<const __m128i*>(kLastDigits[count].bytes)));
  __m512i lanes;
  if (value < k8) {
    lanes = DigitLanes(value);
    // The low lanes' digits are all there is: the high eight read as zeros.
    lanes = _mm512_permutex2var_epi8(_mm512_set1_epi64('0'), gather, lanes);
  } else {
    const uint64_t high = value / k8;
    lanes = _mm512_permutex2var_epi8(DigitLanes(high), gather, DigitLanes(value - high * k8));
  }
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), __builtin_shufflevector(lanes, lanes, 0, 1));
  return count;
}

#endif

}  // namespace

#if VELUM_AVX512_FORMS
[[VELUM_AVX512_TARGET]] size_t FormatIntegerInRoomAvx512(int64_t value, char* out) noexcept {
  if (value >= 0) return WriteDigitsInRoomAvx512(static_cast<uint64_t>(value), out);
  out[0] = '-';
  return 1 + WriteDigitsInRoomAvx512(0 - static_cast<uint64_t>(value), out + 1);
}

[[VELUM_AVX512_TARGET]] size_t FormatUnsignedInRoomAvx512(uint64_t value, char* out) noexcept {
  return WriteDigitsInRoomAvx512(value, out);
}
#else
// Never taken where cpu::UseAvx512() is false; kept for the link.
size_t FormatIntegerInRoomAvx512(int64_t value, char* out) noexcept {
  return WriteSigned<WriteDigitsInRoom>(value, out);
}
size_t FormatUnsignedInRoomAvx512(uint64_t value, char* out) noexcept { return WriteDigitsInRoom(value, out); }
#endif

size_t FormatIntegerInRoomBaseline(int64_t value, char* out) noexcept {
  return WriteSigned<WriteDigitsInRoom>(value, out);
}

size_t FormatUnsignedInRoomBaseline(uint64_t value, char* out) noexcept { return WriteDigitsInRoom(value, out); }

namespace {

size_t Copy(const char* text, char* out) noexcept {
  const size_t n = std::strlen(text);
  std::memcpy(out, text, n);
  return n;
}

// Numbers with few decimals (prices, measurements, coordinates rounded to a
// few places) without the general shortest-digits search: the first k of
// 0..6 for which m = round(value * 10^k) reads back as m / 10^k == value
// gives the shortest digits. Below 2^50, m / 10^k is correctly rounded (both
// are exact doubles), so the test is exact; and the interval of decimals
// reading back as `value` holds at most one multiple of 10^-k, so no closer
// candidate is missed. False when `value` has more decimals or is too large.
bool ShortDecimal(double magnitude, shortest::Decimal* out) noexcept {
  static constexpr double kPowers[] = {1.0, 10.0, 100.0, 1000.0, 10000.0, 100000.0, 1000000.0};
  constexpr double kLimit = 1125899906842624.0;  // 2^50
  const double scaled6 = magnitude * kPowers[6];
  if (scaled6 < kLimit) [[likely]] {
    // value * 10^6 lies within a quarter of the integer m * 10^(6-k) when
    // value reads back from m / 10^k, so its rounding is that integer and
    // the candidate k is fixed by its trailing zeros: one test decides.
    const auto whole6 = static_cast<int64_t>(scaled6 + 0.5);
    if (std::fabs(scaled6 - static_cast<double>(whole6)) > scaled6 * 0x1p-40) return false;
    auto digits = static_cast<uint64_t>(whole6);
    if (digits == 0) return false;
    // Up to six trailing zeros, stripped four, two and one at a time.
    int k = 6;
    if (digits % 10000 == 0) {
      digits /= 10000;
      k -= 4;
    }
    if (k >= 2 && digits % 100 == 0) {
      digits /= 100;
      k -= 2;
    }
    if (k >= 1 && digits % 10 == 0) {
      digits /= 10;
      k -= 1;
    }
    if (static_cast<double>(digits) / kPowers[k] != magnitude) return false;
    *out = {digits, -k};
    return true;
  }
  // Larger values, up to four decimals. One test turns away most numbers
  // with more decimals: with four or fewer, value * 10^4 is (nearly) whole.
  const double scaled4 = magnitude * kPowers[4];
  if (scaled4 < kLimit) {
    const auto whole4 = static_cast<double>(static_cast<int64_t>(scaled4 + 0.5));
    if (std::fabs(scaled4 - whole4) > scaled4 * 0x1p-40) return false;
  }
  for (int k = 0; k <= 4; ++k) {
    const double scaled = magnitude * kPowers[k];
    if (scaled >= kLimit) return false;
    // Below 2^50 the integer conversion rounds exactly enough (a value near a
    // half is rejected next anyway), and needs no call into the math library.
    const auto whole = static_cast<double>(static_cast<int64_t>(scaled + 0.5));
    // Cheap rejection first: a short decimal lands within a few ulps of m.
    if (std::fabs(scaled - whole) > scaled * 0x1p-40) continue;
    if (whole == 0 || whole / kPowers[k] != magnitude) continue;
    *out = {static_cast<uint64_t>(whole), -k};
    return true;
  }
  return false;
}

// repr()'s exponent suffix "e±XX" (at least two digits) at `p`; returns
// the text's end.
char* WriteExponent(char* p, int exponent) noexcept {
  p[0] = 'e';
  p[1] = exponent < 0 ? '-' : '+';
  p += 2;
  if (exponent < 0) exponent = -exponent;
  if (exponent >= 100) {
    *p++ = static_cast<char>('0' + exponent / 100);
    exponent %= 100;
  }
  std::memcpy(p, kDigitPairs + exponent * 2, 2);
  return p + 2;
}

#if defined(__SSE2__)
// Byte masks that put a decimal point after the first `point` (0 to 16) of
// sixteen digits held in a vector: the digits before it stay, the point takes
// the next byte, the digits after it move up one. Built in registers, the
// text is stored once; digits stored and read back at an offset would wait
// for the store to reach the cache (a read spanning a store is not forwarded).
struct PointMasks {
  alignas(16) uint8_t head[16];
  alignas(16) uint8_t tail[16];
  alignas(16) uint8_t dot[16];
};

constexpr auto kPointMasks = [] {
  std::array<PointMasks, 17> masks{};
  for (int point = 0; point <= 16; ++point) {
    for (int i = 0; i < 16; ++i) {
      masks[point].head[i] = i < point ? 0xff : 0;
      masks[point].tail[i] = i > point ? 0xff : 0;
      masks[point].dot[i] = i == point ? '.' : 0;
    }
  }
  return masks;
}();

__m128i Load(const uint8_t* bytes) noexcept { return _mm_load_si128(reinterpret_cast<const __m128i*>(bytes)); }

void StoreVector(char* out, __m128i bytes) noexcept { _mm_storeu_si128(reinterpret_cast<__m128i*>(out), bytes); }

// The sixteen digits with the point after `point` of them: 17 bytes at `out`.
[[gnu::always_inline]] inline void StoreWithPoint(char* out, __m128i digits, int point) noexcept {
  const PointMasks& m = kPointMasks[static_cast<size_t>(point)];
  const __m128i head = _mm_and_si128(digits, Load(m.head));
  const __m128i tail = _mm_and_si128(_mm_slli_si128(digits, 1), Load(m.tail));
  StoreVector(out + 1, digits);  // the last digit's byte, past the vector below
  StoreVector(out, _mm_or_si128(_mm_or_si128(head, tail), Load(m.dot)));
}

// repr()'s layout of the digits of a decimal (without trailing zeros): plain
// notation while the decimal exponent of the first digit lies in [-4, 16),
// the exponent form "d[.ddd]e±XX" (at least two exponent digits) otherwise.
// The first sixteen digits (zeros after fewer) are converted into a vector
// and stored whole, which may write past the text's end but stays within
// kFloatTextMax; a seventeenth, the first, is written apart.
size_t LayOutRepr(shortest::Decimal decimal, bool negative, char* out) noexcept {
  constexpr uint64_t k8 = 100000000;
  char* p = out;
  *p = '-';
  p += negative ? 1 : 0;
  const size_t count = DigitCount(decimal.digits);  // at most 17
  const auto n = static_cast<int>(count);
  int point = n + decimal.exponent;  // digits before the decimal point
  uint64_t value = decimal.digits;
  char lead = '0';
  const bool seventeen = count > 16;
  if (seventeen) {
    const uint64_t first = value / (k8 * k8);
    lead = static_cast<char>('0' + first);
    value -= first * (k8 * k8);
  } else {
    value *= kPowersOfTen[16 - count];
  }
  const uint64_t high = value / k8;
  const __m128i digits = Digits16(high, value - high * k8);
  if (point > 0 && point <= 16) {
    if (point < n) {
      // Digits on both sides of the point.
      const size_t length = static_cast<size_t>(p - out) + count + 1;
      if (seventeen) {
        *p++ = lead;
        --point;
      }
      StoreWithPoint(p, digits, point);
      return length;
    }
    // A whole number (at most sixteen digits): zeros up to the point, then ".0".
    StoreVector(p, digits);
    std::memcpy(p + point, ".0", 2);
    return static_cast<size_t>(p - out) + static_cast<size_t>(point) + 2;
  }
  if (point <= 0 && point > -4) {
    std::memcpy(p, "0.000000", 8);
    p += 2 - point;
    const size_t length = static_cast<size_t>(p - out) + count;
    if (seventeen) *p++ = lead;
    StoreVector(p, digits);
    return length;
  }
  if (seventeen) {
    p[0] = lead;
    p[1] = '.';
    StoreVector(p + 2, digits);
  } else {
    StoreWithPoint(p, digits, 1);
  }
  p += count > 1 ? count + 1 : 1;
  return static_cast<size_t>(WriteExponent(p, point - 1) - out);
}
#else
constexpr char kZeros[] = "0000000000000000";

// repr()'s layout of the digits of a decimal (trailing zeros allowed when
// the exponent is not positive): plain notation while the decimal exponent of
// the first digit lies in [-4, 16), the exponent form "d[.ddd]e±XX" (at least
// two exponent digits) otherwise. The digits are written once into a scratch
// buffer and moved into place by fixed-size copies, which may write past the
// text's end but stay within kFloatTextMax.
size_t LayOutRepr(shortest::Decimal decimal, bool negative, char* out) noexcept {
  char* p = out;
  *p = '-';
  p += negative ? 1 : 0;
  char digits[32];
  const size_t count = DigitCount(decimal.digits);  // at most 17
  WriteDigitsAt(decimal.digits, count, digits);
  const auto n = static_cast<int>(count);
  const int point = n + decimal.exponent;  // digits before the decimal point
  if (point > 0 && point <= 16) {
    std::memcpy(p, digits, 16);
    if (point < n) {
      // Digits on both sides: the fraction (at most 16 digits) after the point.
      p[point] = '.';
      std::memcpy(p + point + 1, digits + point, 16);
      return static_cast<size_t>(p - out) + count + 1;
    }
    // A whole number: zeros up to the point, then ".0".
    std::memcpy(p + n, kZeros, 16);
    std::memcpy(p + point, ".0", 2);
    return static_cast<size_t>(p - out) + static_cast<size_t>(point) + 2;
  }
  if (point <= 0 && point > -4) {
    std::memcpy(p, "0.000000", 8);
    p += 2 - point;
    std::memcpy(p, digits, 24);
    return static_cast<size_t>(p - out) + count;
  }
  p[0] = digits[0];
  p[1] = '.';
  std::memcpy(p + 2, digits + 1, 16);
  p += count > 1 ? count + 1 : 1;
  return static_cast<size_t>(WriteExponent(p, point - 1) - out);
}
#endif

}  // namespace

size_t FormatFloatRepr(double value, char* out) noexcept {
  // Zero, the infinities and NaN told apart from the rest by one test of the bits.
  constexpr uint64_t kExponentAll = 0x7ff0000000000000u;
  if ((std::bit_cast<uint64_t>(value) << 1) - 1 >= (kExponentAll << 1) - 1) [[unlikely]] {
    if (std::isnan(value)) return Copy("nan", out);
    if (std::isinf(value)) return Copy(value < 0 ? "-inf" : "inf", out);
    return Copy(std::signbit(value) ? "-0.0" : "0.0", out);
  }
  const double magnitude = std::fabs(value);
  shortest::Decimal decimal;
  if (!(magnitude >= 1e-4 && magnitude < 1e16 && ShortDecimal(magnitude, &decimal))) {
    decimal = shortest::ShortestDouble(value);
  }
  return LayOutRepr(decimal, value < 0, out);
}

}  // namespace velum::json_sink
