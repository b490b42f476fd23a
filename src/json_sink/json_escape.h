// Core unit: no Python.
// JSON string literals: the quotes and the escapes of control bytes, the double
// quote and the backslash. Everything else, '/' and non-ASCII UTF-8 included,
// is copied as it stands, in runs between the bytes that need an escape.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "json_sink/text_buffer.h"

namespace velum::json_sink {

// Length of the prefix of `text` that needs no escape (all of it when none does).
size_t PlainRunLength(const char* text, size_t size) noexcept;

#if defined(__SSE2__)
// One bit per byte of `v` that needs an escape (a control byte, '"', '\\').
inline uint32_t EscapeBytes(__m128i v) noexcept {
  const __m128i control = _mm_cmpeq_epi8(_mm_subs_epu8(v, _mm_set1_epi8(0x1f)), _mm_setzero_si128());
  const __m128i quote = _mm_cmpeq_epi8(v, _mm_set1_epi8('"'));
  const __m128i backslash = _mm_cmpeq_epi8(v, _mm_set1_epi8('\\'));
  return static_cast<uint32_t>(_mm_movemask_epi8(_mm_or_si128(control, _mm_or_si128(quote, backslash))));
}
#endif

// Copies ASCII `text` to `out` (by overlapping word moves, within its
// `size` bytes) while testing it for bytes to escape, in one pass over the
// text: false when it holds one (what was stored is the caller's to drop).
// Inline, for the member and string writers that take most short texts:
// a scan and a separate copy read the text twice and called out twice.
[[gnu::always_inline]] inline bool PutPlainAscii(char* out, const char* text, size_t size) noexcept {
#if defined(__SSE2__)
  if (size >= 16) {
    // Whole vectors, then the last sixteen bytes (overlapping the ones before).
    uint32_t marks = 0;
    for (size_t i = 0; i + 16 < size; i += 16) {
      const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + i));
      marks |= EscapeBytes(v);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), v);
    }
    const __m128i last = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + size - 16));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + size - 16), last);
    return (marks | EscapeBytes(last)) == 0;
  }
  __m128i v;
  if (size >= 8) {
    // Two overlapping halves: the head word and the tail word.
    v = _mm_unpacklo_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(text)),
                           _mm_loadl_epi64(reinterpret_cast<const __m128i*>(text + size - 8)));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out), v);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + size - 8), _mm_unpackhi_epi64(v, v));
  } else {
    uint32_t head = 0x41414141u;  // plain filler for a text of under four bytes
    uint32_t tail = 0x41414141u;
    if (size >= 4) {
      std::memcpy(&head, text, 4);
      std::memcpy(&tail, text + size - 4, 4);
    } else if (size != 0) {
      head = static_cast<unsigned char>(text[0]) | static_cast<uint32_t>(static_cast<unsigned char>(text[size / 2])) << 8 |
             static_cast<uint32_t>(static_cast<unsigned char>(text[size - 1])) << 16 | 0x41000000u;
    }
    v = _mm_set_epi32(0x41414141, 0x41414141, static_cast<int>(tail), static_cast<int>(head));
    if (size >= 4) {
      std::memcpy(out, &head, 4);
      std::memcpy(out + size - 4, &tail, 4);
    } else if (size != 0) {
      out[0] = text[0];
      out[size / 2] = text[size / 2];
      out[size - 1] = text[size - 1];
    }
  }
  return EscapeBytes(v) == 0;
#else
  if (PlainRunLength(text, size) != size) return false;
  std::memcpy(out, text, size);
  return true;
#endif
}

// Appends `text` (UTF-8, not checked) as a quoted JSON string. Returns whether
// the text holds a byte above 0x7f, found by the same pass over the words.
bool AppendJsonString(TextBuffer& out, const char* text, size_t size) noexcept;
// AppendJsonString followed by ':', for a member name.
bool AppendJsonName(TextBuffer& out, const char* text, size_t size) noexcept;

// Whether the text of a str, given as its `length` code units of `kind`
// bytes each (1, 2 or 4), needs no escape and holds no surrogate (which has
// no UTF-8 form): such text goes into JSON exactly as it stands.
bool UnitsArePlain(const void* units, size_t length, unsigned kind) noexcept;

}  // namespace velum::json_sink
