// Core unit: no Python.
#include "json_sink/utf8_units.h"

#include <cstdint>
#include <cstring>

#include "json_sink/text_buffer.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace velum::json_sink {

namespace {

constexpr uint64_t kTops = 0x8080808080808080u;

// The largest lead byte whose character fits in a Unit.
template <class Unit>
constexpr uint8_t kTopLead = sizeof(Unit) == 1 ? 0xc3 : sizeof(Unit) == 2 ? 0xef : 0xf4;

#if defined(__SSE2__)
// Widens ASCII bytes sixteen at a time, then eight, while both the text and
// the room left last; returns how many were widened, stopping before the
// group that holds a byte above 0x7f.
template <class Unit>
size_t WidenAscii(const uint8_t* text, size_t size, Unit* out, size_t room) noexcept {
  const __m128i zero = _mm_setzero_si128();
  size_t i = 0;
  for (; size - i >= 16 && room - i >= 16; i += 16) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(text + i));
    if (_mm_movemask_epi8(bytes) != 0) break;
    const __m128i low = _mm_unpacklo_epi8(bytes, zero);
    const __m128i high = _mm_unpackhi_epi8(bytes, zero);
    auto* to = reinterpret_cast<__m128i*>(out + i);
    if constexpr (sizeof(Unit) == 2) {
      _mm_storeu_si128(to, low);
      _mm_storeu_si128(to + 1, high);
    } else {
      _mm_storeu_si128(to, _mm_unpacklo_epi16(low, zero));
      _mm_storeu_si128(to + 1, _mm_unpackhi_epi16(low, zero));
      _mm_storeu_si128(to + 2, _mm_unpacklo_epi16(high, zero));
      _mm_storeu_si128(to + 3, _mm_unpackhi_epi16(high, zero));
    }
  }
  // Then eight more, which is most of a short run between two strings.
  if (size - i >= 8 && room - i >= 8) {
    const __m128i bytes = _mm_loadl_epi64(reinterpret_cast<const __m128i*>(text + i));
    if ((_mm_movemask_epi8(bytes) & 0xff) == 0) {
      const __m128i low = _mm_unpacklo_epi8(bytes, zero);
      auto* to = reinterpret_cast<__m128i*>(out + i);
      if constexpr (sizeof(Unit) == 2) {
        _mm_storeu_si128(to, low);
      } else {
        _mm_storeu_si128(to, _mm_unpacklo_epi16(low, zero));
        _mm_storeu_si128(to + 1, _mm_unpackhi_epi16(low, zero));
      }
      i += 8;
    }
  }
  return i;
}
#endif

// Units written, or SIZE_MAX.
template <class Unit>
size_t DecodeCount(const uint8_t* text, size_t size, Unit* out, size_t capacity) noexcept {
  constexpr size_t kRefused = SIZE_MAX;
  Unit* const first = out;
  const Unit* const limit = out + capacity;
  size_t i = 0;
  while (i < size) {
#if defined(__SSE2__)
    if constexpr (sizeof(Unit) > 1) {
      const size_t widened = WidenAscii(text + i, size - i, out, static_cast<size_t>(limit - out));
      i += widened;
      out += widened;
    }
#endif
    // An ASCII run, eight bytes a step while they last.
    size_t end = i;
    for (; size - end >= 8; end += 8) {
      uint64_t word = 0;
      std::memcpy(&word, text + end, 8);
      if ((word & kTops) != 0) break;
    }
    while (end < size && text[end] < 0x80) ++end;
    if (end - i > static_cast<size_t>(limit - out)) return kRefused;
    if constexpr (sizeof(Unit) == 1) {
      std::memcpy(out, text + i, end - i);
      out += end - i;
    } else {
      for (size_t k = i; k < end; ++k) *out++ = text[k];
    }
    i = end;
    // Then the multi-byte sequences that follow one another.
    while (i < size && text[i] >= 0x80) {
      const uint32_t c = text[i];
      if (out == limit || c > kTopLead<Unit> || c < 0xc2) return kRefused;
      uint32_t point;
      if (c < 0xe0) {
        if (size - i < 2) return kRefused;
        point = ((c & 0x1fu) << 6) | (text[i + 1] & 0x3fu);
        i += 2;
      } else if (c < 0xf0) {
        if (size - i < 3) return kRefused;
        point = ((c & 0x0fu) << 12) | ((text[i + 1] & 0x3fu) << 6) | (text[i + 2] & 0x3fu);
        i += 3;
      } else {
        if (size - i < 4) return kRefused;
        point = ((c & 0x07u) << 18) | ((text[i + 1] & 0x3fu) << 12) | ((text[i + 2] & 0x3fu) << 6) |
                (text[i + 3] & 0x3fu);
        i += 4;
      }
      *out++ = static_cast<Unit>(point);
    }
  }
  return static_cast<size_t>(out - first);
}

template <class Unit>
bool Decode(const uint8_t* text, size_t size, Unit* out, size_t capacity) noexcept {
  return DecodeCount(text, size, out, capacity) == capacity;
}

}  // namespace

size_t Utf8IntoUnits(const uint8_t* text, size_t size, void* out, unsigned kind, size_t capacity) noexcept {
  switch (kind) {
    case 1: return DecodeCount(text, size, static_cast<uint8_t*>(out), capacity);
    case 2: return DecodeCount(text, size, static_cast<uint16_t*>(out), capacity);
    default: return DecodeCount(text, size, static_cast<uint32_t*>(out), capacity);
  }
}

bool Utf8ToLatin1(const uint8_t* text, size_t size, uint8_t* out, size_t capacity) noexcept {
  return Decode(text, size, out, capacity);
}

bool Utf8ToUcs2(const uint8_t* text, size_t size, uint16_t* out, size_t capacity) noexcept {
  return Decode(text, size, out, capacity);
}

bool Utf8ToUcs4(const uint8_t* text, size_t size, uint32_t* out, size_t capacity) noexcept {
  return Decode(text, size, out, capacity);
}

}  // namespace velum::json_sink
