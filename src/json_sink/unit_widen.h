// Core unit: no Python.
// Code units zero-extended into wider ones (bytes of ASCII or Latin-1 text
// into UCS-2 or UCS-4, UCS-2 into UCS-4), as the result str of JSON text is
// filled from its pieces. Most pieces are short (a word, the separators
// between two strings), so a piece is widened by a few whole blocks whose
// last one overlaps the one before it rather than by a loop over its tail:
// the overlapped units are written twice with the same value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "common/copy_bytes.h"
#include "common/cpu_features.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace velum::json_sink {

namespace widen_detail {

#if defined(__SSE2__)
// Writes the units of `v` (the low `sizeof(From) * k` bytes hold k units)
// widened to `To`, as many stores as `bytes` of input fill.
template <class From, class To, size_t kBytes>
[[gnu::always_inline]] inline void StoreWidened(__m128i v, To* out) noexcept {
  const __m128i zero = _mm_setzero_si128();
  auto* to = reinterpret_cast<__m128i*>(out);
  if constexpr (sizeof(From) == 1 && sizeof(To) == 2) {
    if constexpr (kBytes == 4) {
      _mm_storel_epi64(to, _mm_unpacklo_epi8(v, zero));
    } else {
      _mm_storeu_si128(to, _mm_unpacklo_epi8(v, zero));
      if constexpr (kBytes == 16) _mm_storeu_si128(to + 1, _mm_unpackhi_epi8(v, zero));
    }
  } else if constexpr (sizeof(From) == 1 && sizeof(To) == 4) {
    const __m128i low = _mm_unpacklo_epi8(v, zero);
    _mm_storeu_si128(to, _mm_unpacklo_epi16(low, zero));
    if constexpr (kBytes >= 8) _mm_storeu_si128(to + 1, _mm_unpackhi_epi16(low, zero));
    if constexpr (kBytes == 16) {
      const __m128i high = _mm_unpackhi_epi8(v, zero);
      _mm_storeu_si128(to + 2, _mm_unpacklo_epi16(high, zero));
      _mm_storeu_si128(to + 3, _mm_unpackhi_epi16(high, zero));
    }
  } else {
    static_assert(sizeof(From) == 2 && sizeof(To) == 4);
    _mm_storeu_si128(to, _mm_unpacklo_epi16(v, zero));
    if constexpr (kBytes == 16) _mm_storeu_si128(to + 1, _mm_unpackhi_epi16(v, zero));
  }
}

template <class From, class To>
[[gnu::always_inline]] inline void Widen16(const From* in, To* out) noexcept {
  StoreWidened<From, To, 16>(_mm_loadu_si128(reinterpret_cast<const __m128i*>(in)), out);
}
template <class From, class To>
[[gnu::always_inline]] inline void Widen8(const From* in, To* out) noexcept {
  StoreWidened<From, To, 8>(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(in)), out);
}
template <class From, class To>
[[gnu::always_inline]] inline void Widen4(const From* in, To* out) noexcept {
  uint32_t word = 0;
  std::memcpy(&word, in, 4);
  StoreWidened<From, To, 4>(_mm_cvtsi32_si128(static_cast<int>(word)), out);
}
#endif

}  // namespace widen_detail

// `n` units of `in` into `out`, each zero-extended (copied when the widths
// are equal). `out` must not overlap `in`.
template <class From, class To>
[[gnu::always_inline]] inline void WidenUnits(const From* in, size_t n, To* out) noexcept {
  static_assert(sizeof(From) <= sizeof(To));
  if constexpr (sizeof(From) == sizeof(To)) {
    CopyBytes(out, in, n * sizeof(To));
  } else {
#if defined(__SSE2__)
    using namespace widen_detail;
    constexpr size_t kBlock = 16 / sizeof(From);  // units in one 16-byte load
    constexpr size_t kHalf = kBlock / 2;
    if (n >= kBlock) {
      for (size_t i = 0; n - i > kBlock; i += kBlock) Widen16(in + i, out + i);
      Widen16(in + n - kBlock, out + n - kBlock);
      return;
    }
    if (n >= kHalf) {
      Widen8(in, out);
      Widen8(in + n - kHalf, out + n - kHalf);
      return;
    }
    if constexpr (sizeof(From) == 1) {
      if (n >= 4) {
        Widen4(in, out);
        Widen4(in + n - 4, out + n - 4);
        return;
      }
    }
#endif
    for (size_t i = 0; i < n; ++i) out[i] = in[i];
  }
}

// WidenUnits by 64-byte vectors, for long runs on CPUs with AVX-512 (see
// common/cpu_features.h): each load is widened by one instruction and the
// tail is one masked store, where the baseline form takes a few unpacks and
// stores per 16 bytes.
void WidenUnitsAvx512(const uint8_t* in, size_t n, uint16_t* out) noexcept;
void WidenUnitsAvx512(const uint8_t* in, size_t n, uint32_t* out) noexcept;
void WidenUnitsAvx512(const uint16_t* in, size_t n, uint32_t* out) noexcept;

// WidenUnits, the runs of at least kLongWiden units by the AVX-512 form
// where it is taken (a call is not worth it for short ones).
inline constexpr size_t kLongWiden = 64;
template <class From, class To>
[[gnu::always_inline]] inline void WidenRun(const From* in, size_t n, To* out) noexcept {
  if constexpr (sizeof(From) < sizeof(To)) {
    if (n >= kLongWiden && cpu::UseAvx512()) {
      WidenUnitsAvx512(in, n, out);
      return;
    }
  }
  WidenUnits(in, n, out);
}

}  // namespace velum::json_sink
