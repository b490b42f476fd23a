// Core unit: no Python.
#include "json_sink/json_escape.h"

#include <bit>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace velum::json_sink {

namespace {

constexpr uint64_t kOnes = 0x0101010101010101u;
constexpr uint64_t kTops = 0x8080808080808080u;

// Top bit set in the lowest byte of `word` that needs an escape; higher bytes
// may carry false marks from borrows, so only the lowest mark is meaningful.
inline uint64_t EscapeMarks(uint64_t word) noexcept {
  const uint64_t control = (word - kOnes * 0x20) & ~word;
  const uint64_t quote = word ^ (kOnes * '"');
  const uint64_t backslash = word ^ (kOnes * '\\');
  const uint64_t quote_zero = (quote - kOnes) & ~quote;
  const uint64_t backslash_zero = (backslash - kOnes) & ~backslash;
  return (control | quote_zero | backslash_zero) & kTops;
}

inline uint64_t Load8(const char* p) noexcept {
  uint64_t word = 0;
  std::memcpy(&word, p, 8);
  return word;
}

inline uint64_t Load4(const char* p) noexcept {
  uint32_t word = 0;
  std::memcpy(&word, p, 4);
  return word;
}

// A text of fewer than 8 bytes as one word. Bytes it does not fill are 'A'
// (plain, ASCII); for 4 to 7 bytes two overlapping loads cover the text, so
// a byte may sit twice in the word, the first copy at its own position.
inline uint64_t LoadShort(const char* p, size_t n) noexcept {
  constexpr uint64_t kFill = kOnes * 'A';
  if (n >= 4) return Load4(p) | Load4(p + n - 4) << 32;
  uint64_t word = kFill;
  for (size_t i = 0; i < n; ++i) {
    word &= ~(uint64_t{0xff} << (8 * i));
    word |= uint64_t{static_cast<unsigned char>(p[i])} << (8 * i);
  }
  return word;
}

// The plain prefix of `text`, and whether any byte above 0x7f was seen on the
// way (within the bytes scanned; the caller rescans after an escape).
struct PlainRun {
  size_t length;
  bool non_ascii;
};

#if defined(__SSE2__)
inline __m128i Load16(const char* p) noexcept { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }

// ScanPlain of eight bytes or more, sixteen at a time: most names and words
// take one or two vectors.
inline PlainRun ScanPlainVectors(const char* text, size_t size) noexcept {
  if (size < 16) {
    // Two overlapping halves make one vector; a mark in the upper half is a
    // new byte only when the lower half has none, which the lowest mark says.
    const __m128i v = _mm_unpacklo_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(text)),
                                         _mm_loadl_epi64(reinterpret_cast<const __m128i*>(text + size - 8)));
    const bool non_ascii = _mm_movemask_epi8(v) != 0;
    const uint32_t marks = EscapeBytes(v);
    if (marks == 0) return {size, non_ascii};
    const size_t at = static_cast<size_t>(std::countr_zero(marks));
    return {at < 8 ? at : size - 16 + at, non_ascii};
  }
  __m128i seen = _mm_setzero_si128();
  size_t i = 0;
  for (; size - i >= 16; i += 16) {
    const __m128i v = Load16(text + i);
    seen = _mm_or_si128(seen, v);
    const uint32_t marks = EscapeBytes(v);
    if (marks != 0) return {i + std::countr_zero(marks), _mm_movemask_epi8(seen) != 0};
  }
  if (i != size) {
    // The last vector overlaps bytes already found plain: a mark is a new byte.
    const __m128i v = Load16(text + size - 16);
    seen = _mm_or_si128(seen, v);
    const uint32_t marks = EscapeBytes(v);
    if (marks != 0) return {size - 16 + std::countr_zero(marks), _mm_movemask_epi8(seen) != 0};
  }
  return {size, _mm_movemask_epi8(seen) != 0};
}
#endif

inline PlainRun ScanPlain(const char* text, size_t size) noexcept {
#if defined(__SSE2__)
  if (size >= 8) return ScanPlainVectors(text, size);
#endif
  if constexpr (std::endian::native == std::endian::little) {
    uint64_t seen = 0;
    if (size < 8) {
      const uint64_t word = LoadShort(text, size);
      const uint64_t marks = EscapeMarks(word);
      if (marks == 0) return {size, (word & kTops) != 0};
      const size_t at = std::countr_zero(marks) >> 3;
      // The upper half of a 4-to-7-byte word repeats bytes from n - 4 on.
      const size_t pos = at < 4 || size < 4 ? at : size - 8 + at;
      return {pos < size ? pos : size, (word & kTops) != 0};
    }
    size_t i = 0;
    for (; size - i >= 8; i += 8) {
      const uint64_t word = Load8(text + i);
      seen |= word;
      const uint64_t marks = EscapeMarks(word);
      if (marks != 0) return {i + (std::countr_zero(marks) >> 3), (seen & kTops) != 0};
    }
    if (i != size) {
      // The last word overlaps bytes already found plain: a mark is a new byte.
      const uint64_t word = Load8(text + size - 8);
      seen |= word;
      const uint64_t marks = EscapeMarks(word);
      if (marks != 0) return {size - 8 + (std::countr_zero(marks) >> 3), (seen & kTops) != 0};
    }
    return {size, (seen & kTops) != 0};
  } else {
    bool non_ascii = false;
    for (size_t i = 0; i < size; ++i) {
      const auto c = static_cast<unsigned char>(text[i]);
      if (c < 0x20 || c == '"' || c == '\\') return {i, non_ascii};
      non_ascii |= c >= 0x80;
    }
    return {size, non_ascii};
  }
}

// The two-byte escapes; other control bytes are written as \u00XX.
inline char ShortEscape(unsigned char c) noexcept {
  switch (c) {
    case '"':
      return '"';
    case '\\':
      return '\\';
    case '\b':
      return 'b';
    case '\t':
      return 't';
    case '\n':
      return 'n';
    case '\f':
      return 'f';
    case '\r':
      return 'r';
    default:
      return 0;
  }
}

void AppendEscape(TextBuffer& out, unsigned char c) noexcept {
  static constexpr char kHex[] = "0123456789abcdef";
  const char short_form = ShortEscape(c);
  if (short_form != 0) {
    const char escape[2] = {'\\', short_form};
    out.Append(escape, 2);
    return;
  }
  const char escape[6] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 0xf]};
  out.Append(escape, 6);
}

// Whether a unit of a wide str stops a plain run: an escape, or a surrogate.
constexpr bool StopsRun(uint32_t c) noexcept {
  return c < 0x20 || c == '"' || c == '\\' || (c & 0xfffff800u) == 0xd800u;
}

#if defined(__SSE2__)
// All ones in the units of `v` that stop a run.
template <class Unit>
inline __m128i StopUnits(__m128i v) noexcept {
  __m128i stops;
  if constexpr (sizeof(Unit) == 2) {
    // Unsigned: a saturating subtraction leaves zero for units up to 0x1f.
    const __m128i control = _mm_cmpeq_epi16(_mm_subs_epu16(v, _mm_set1_epi16(0x1f)), _mm_setzero_si128());
    const __m128i quote = _mm_cmpeq_epi16(v, _mm_set1_epi16('"'));
    const __m128i backslash = _mm_cmpeq_epi16(v, _mm_set1_epi16('\\'));
    const __m128i surrogate = _mm_cmpeq_epi16(_mm_and_si128(v, _mm_set1_epi16(static_cast<short>(0xf800))),
                                              _mm_set1_epi16(static_cast<short>(0xd800)));
    stops = _mm_or_si128(_mm_or_si128(control, quote), _mm_or_si128(backslash, surrogate));
  } else {
    // Code points are at most 0x10ffff, so the signed comparison is exact.
    const __m128i control = _mm_cmplt_epi32(v, _mm_set1_epi32(0x20));
    const __m128i quote = _mm_cmpeq_epi32(v, _mm_set1_epi32('"'));
    const __m128i backslash = _mm_cmpeq_epi32(v, _mm_set1_epi32('\\'));
    const __m128i surrogate = _mm_cmpeq_epi32(_mm_and_si128(v, _mm_set1_epi32(static_cast<int>(0xfffff800u))),
                                              _mm_set1_epi32(0xd800));
    stops = _mm_or_si128(_mm_or_si128(control, quote), _mm_or_si128(backslash, surrogate));
  }
  return stops;
}

// One bit per byte of the units of `v` that stop a run.
template <class Unit>
inline uint32_t StopBytes(__m128i v) noexcept {
  return static_cast<uint32_t>(_mm_movemask_epi8(StopUnits<Unit>(v)));
}
#endif

// The plain prefix of `n` units of a str.
template <class Unit>
size_t PlainUnits(const Unit* s, size_t n) noexcept {
  if constexpr (sizeof(Unit) == 1) {
    return ScanPlain(reinterpret_cast<const char*>(s), n).length;
  } else {
    size_t i = 0;
#if defined(__SSE2__)
    constexpr size_t kLanes = 16 / sizeof(Unit);
    if (n >= kLanes) {
      // Two vectors a step while no stop is seen (long text is mostly plain);
      // the step that holds one is searched again below, a vector at a time.
      for (; n - i >= 2 * kLanes; i += 2 * kLanes) {
        const auto* at = reinterpret_cast<const __m128i*>(s + i);
        const __m128i stops = _mm_or_si128(StopUnits<Unit>(_mm_loadu_si128(at)),
                                           StopUnits<Unit>(_mm_loadu_si128(at + 1)));
        if (_mm_movemask_epi8(stops) != 0) break;
      }
      for (; n - i >= kLanes; i += kLanes) {
        const uint32_t stops = StopBytes<Unit>(_mm_loadu_si128(reinterpret_cast<const __m128i*>(s + i)));
        if (stops != 0) return i + std::countr_zero(stops) / sizeof(Unit);
      }
      if (i == n) return n;
      // The last vector overlaps units already found plain: a stop is a new one.
      const uint32_t stops = StopBytes<Unit>(_mm_loadu_si128(reinterpret_cast<const __m128i*>(s + n - kLanes)));
      return stops != 0 ? n - kLanes + std::countr_zero(stops) / sizeof(Unit) : n;
    }
    // Shorter than a vector (most words): two overlapping halves make one,
    // and only a text that holds a stop is searched unit by unit.
    constexpr size_t kHalf = kLanes / 2;
    if (n >= kHalf) {
      const __m128i v = _mm_unpacklo_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(s)),
                                           _mm_loadl_epi64(reinterpret_cast<const __m128i*>(s + n - kHalf)));
      if (StopBytes<Unit>(v) == 0) return n;
    }
#endif
    for (; i < n; ++i) {
      if (StopsRun(s[i])) return i;
    }
    return n;
  }
}

}  // namespace

size_t PlainRunLength(const char* text, size_t size) noexcept { return ScanPlain(text, size).length; }

namespace {

// A quoted string, followed by ':' when it is a member name.
template <bool kName>
inline bool AppendQuoted(TextBuffer& out, const char* text, size_t size) noexcept {
  PlainRun run = ScanPlain(text, size);
  if (run.length == size) [[likely]] {
    // The common case: one reservation, one copy between the quotes.
    char* p = out.Reserve(size + 3);
    if (p == nullptr) [[unlikely]]
      return run.non_ascii;
    p[0] = '"';
    CopyBytes(p + 1, text, size);
    p[size + 1] = '"';
    if constexpr (kName) p[size + 2] = ':';
    out.Commit(size + (kName ? 3 : 2));
    return run.non_ascii;
  }
  bool non_ascii = false;
  out.Push('"');
  while (true) {
    non_ascii |= run.non_ascii;
    out.Append(text, run.length);
    if (run.length == size) break;
    AppendEscape(out, static_cast<unsigned char>(text[run.length]));
    text += run.length + 1;
    size -= run.length + 1;
    run = ScanPlain(text, size);
  }
  out.Append("\":", kName ? 2 : 1);
  return non_ascii;
}

}  // namespace

bool AppendJsonString(TextBuffer& out, const char* text, size_t size) noexcept {
  return AppendQuoted<false>(out, text, size);
}

bool AppendJsonName(TextBuffer& out, const char* text, size_t size) noexcept {
  return AppendQuoted<true>(out, text, size);
}

bool UnitsArePlain(const void* units, size_t length, unsigned kind) noexcept {
  switch (kind) {
    case 1: return ScanPlain(static_cast<const char*>(units), length).length == length;
    case 2: return PlainUnits(static_cast<const uint16_t*>(units), length) == length;
    default: return PlainUnits(static_cast<const uint32_t*>(units), length) == length;
  }
}

}  // namespace velum::json_sink
