// Core unit: no Python.
#include "json_parse/json_tokenizer.h"

#include <bit>
#include <cstddef>
#include <cstring>
#include <new>

#include "common/utf8_text.h"
#include "json_parse/digit_scan.h"
#include "json_parse/string_scan.h"

namespace velum::json {

namespace {

bool IsDigit(char c) noexcept { return c >= '0' && c <= '9'; }

int HexValue(char c) noexcept {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

void AppendUtf8(RawString& out, uint32_t point) {
  char buf[4];
  size_t n;
  if (point < 0x80) {
    buf[0] = static_cast<char>(point);
    n = 1;
  } else if (point < 0x800) {
    buf[0] = static_cast<char>(0xc0 | (point >> 6));
    buf[1] = static_cast<char>(0x80 | (point & 0x3f));
    n = 2;
  } else if (point < 0x10000) {
    buf[0] = static_cast<char>(0xe0 | (point >> 12));
    buf[1] = static_cast<char>(0x80 | ((point >> 6) & 0x3f));
    buf[2] = static_cast<char>(0x80 | (point & 0x3f));
    n = 3;
  } else {
    buf[0] = static_cast<char>(0xf0 | (point >> 18));
    buf[1] = static_cast<char>(0x80 | ((point >> 12) & 0x3f));
    buf[2] = static_cast<char>(0x80 | ((point >> 6) & 0x3f));
    buf[3] = static_cast<char>(0x80 | (point & 0x3f));
    n = 4;
  }
  out.append(buf, n);
}

const char* CodeText(SyntaxCode code) noexcept {
  switch (code) {
    case SyntaxCode::kNone: return "no error";
    case SyntaxCode::kEofList: return "EOF while parsing a list";
    case SyntaxCode::kEofObject: return "EOF while parsing an object";
    case SyntaxCode::kEofString: return "EOF while parsing a string";
    case SyntaxCode::kEofValue: return "EOF while parsing a value";
    case SyntaxCode::kExpectedColon: return "expected `:`";
    case SyntaxCode::kExpectedListCommaOrEnd: return "expected `,` or `]`";
    case SyntaxCode::kExpectedObjectCommaOrEnd: return "expected `,` or `}`";
    case SyntaxCode::kExpectedIdent: return "expected ident";
    case SyntaxCode::kExpectedValue: return "expected value";
    case SyntaxCode::kInvalidEscape: return "invalid escape";
    case SyntaxCode::kInvalidNumber: return "invalid number";
    case SyntaxCode::kNumberOutOfRange: return "number out of range";
    case SyntaxCode::kInvalidCodePoint: return "invalid unicode code point";
    case SyntaxCode::kControlCharacter: return "control character (\\u0000-\\u001F) found while parsing a string";
    case SyntaxCode::kKeyMustBeString: return "key must be a string";
    case SyntaxCode::kLoneLeadingSurrogate: return "lone leading surrogate in hex escape";
    case SyntaxCode::kTrailingComma: return "trailing comma";
    case SyntaxCode::kTrailingCharacters: return "trailing characters";
    case SyntaxCode::kEofHexEscape: return "unexpected end of hex escape";
    case SyntaxCode::kRecursionLimit: return "recursion limit exceeded";
    case SyntaxCode::kFloatForInt: return "float value was found where an int was expected";
    case SyntaxCode::kWrongKind: return "expected a different value";
    case SyntaxCode::kOutOfMemory: return "out of memory";
  }
  return "invalid JSON";
}

}  // namespace

const char* JsonKindName(JsonKind kind) noexcept {
  switch (kind) {
    case JsonKind::kNull: return "null";
    case JsonKind::kBool: return "bool";
    case JsonKind::kNumber: return "number";
    case JsonKind::kString: return "string";
    case JsonKind::kArray: return "array";
    case JsonKind::kObject: return "object";
  }
  return "value";
}

RawString SyntaxMessage(const SyntaxError& error) {
  if (error.code != SyntaxCode::kWrongKind) return RawString(CodeText(error.code));
  RawString out("expected ");
  out.append(JsonKindName(error.expected)).append(" but found ").append(JsonKindName(error.found));
  return out;
}

bool JsonTokenizer::Fail(SyntaxCode code, const char* at) noexcept {
  if (error_.code == SyntaxCode::kNone) {
    error_.code = code;
    error_.offset = static_cast<size_t>(at - begin_);
  }
  return false;
}

bool JsonTokenizer::PeekAfterSpace(JsonKind* kind) noexcept {
  *kind = JsonKind::kNull;
  if (failed()) return false;
  SkipSpace();
  if (cur_ == end_) [[unlikely]]
    return Fail(SyntaxCode::kEofValue, cur_);
  *kind = static_cast<JsonKind>(lead_detail::kLeads.kind[static_cast<unsigned char>(*cur_)]);
  return true;
}

bool JsonTokenizer::FailKind(JsonKind expected, const char* at) noexcept {
  JsonKind found = JsonKind::kNumber;
  if (!Peek(&found)) return false;
  error_.expected = expected;
  error_.found = found;
  return Fail(SyntaxCode::kWrongKind, at);
}

// The rest of a literal whose first byte was already matched: compared in
// one piece when the text holds it, else byte by byte for the exact failure.
bool JsonTokenizer::ExpectLiteral(std::string_view rest) noexcept {
  if (static_cast<size_t>(end_ - cur_) >= rest.size() && EqualText(std::string_view(cur_, rest.size()), rest)) {
    cur_ += rest.size();
    return true;
  }
  for (char expected : rest) {
    if (cur_ == end_) return Fail(SyntaxCode::kEofValue, cur_);
    if (*cur_ != expected) return Fail(SyntaxCode::kExpectedIdent, cur_);
    ++cur_;
  }
  return true;
}

bool JsonTokenizer::ReadNullSlow() noexcept {
  JsonKind kind{};
  if (!Peek(&kind)) return false;
  if (kind != JsonKind::kNull) return FailKind(JsonKind::kNull, cur_);
  ++cur_;
  return ExpectLiteral(std::string_view("ull", 3));
}

bool JsonTokenizer::ReadBoolSlow(bool* value) noexcept {
  JsonKind kind{};
  if (!Peek(&kind)) return false;
  if (kind != JsonKind::kBool) return FailKind(JsonKind::kBool, cur_);
  *value = *cur_ == 't';
  ++cur_;
  return ExpectLiteral(*value ? std::string_view("rue", 3) : std::string_view("alse", 4));
}

bool JsonTokenizer::ReadNumber(NumberToken* token) noexcept {
  JsonKind kind{};
  if (!Peek(&kind)) return false;
  if (kind != JsonKind::kNumber) return FailKind(JsonKind::kNumber, cur_);
  DecimalLiteral& decimal = token->decimal;
  const char* p = ScanNumberLiteral(cur_, end_, &decimal);
  if (p == nullptr) [[unlikely]]
    return FailNumber();
  token->negative = decimal.negative;
  token->is_integer = decimal.is_integer;
  if (decimal.is_integer && decimal.integer_digits > kMaxIntegerDigits) {
    return Fail(SyntaxCode::kNumberOutOfRange, cur_);
  }
  // Up to 18 digits the folded value is exact.
  token->small = decimal.is_integer && decimal.integer_digits <= 18;
  if (token->small) {
    // Only then does the magnitude fit: a longer literal's may not even negate.
    const auto magnitude = static_cast<int64_t>(decimal.mantissa);
    token->small_value = decimal.negative ? -magnitude : magnitude;
  }
  token->text = std::string_view(cur_, static_cast<size_t>(p - cur_));
  cur_ = p;
  return true;
}

// The literal at cur_ is malformed: where and how, byte by byte.
bool JsonTokenizer::FailNumber() noexcept {
  const char* p = cur_;
  if (*p == '-') {
    ++p;
    if (p == end_) return Fail(SyntaxCode::kEofValue, p);
    if (!IsDigit(*p)) return Fail(SyntaxCode::kInvalidNumber, p);
  } else if (*p == 'I') {
    // A bare Infinity is refused as a malformed number, not as a missing value.
    return Fail(SyntaxCode::kInvalidNumber, p);
  } else if (!IsDigit(*p)) {
    return Fail(SyntaxCode::kExpectedValue, p);
  }
  if (*p == '0') {
    ++p;
    if (p < end_ && IsDigit(*p)) return Fail(SyntaxCode::kInvalidNumber, p);
  } else {
    p = SkipDigits(p, end_);
  }
  if (p < end_ && *p == '.') {
    ++p;
    if (p == end_) return Fail(SyntaxCode::kEofValue, p);
    if (!IsDigit(*p)) return Fail(SyntaxCode::kInvalidNumber, p);
    p = SkipDigits(p, end_);
  }
  if (p < end_ && (*p == 'e' || *p == 'E')) {
    ++p;
    if (p < end_ && (*p == '+' || *p == '-')) ++p;
    if (p == end_) return Fail(SyntaxCode::kEofValue, p);
    if (!IsDigit(*p)) return Fail(SyntaxCode::kInvalidNumber, p);
  }
  return Fail(SyntaxCode::kInvalidNumber, p);  // not reached: the scan refused it
}

bool JsonTokenizer::ReadString(std::string_view* value) noexcept {
  // Callers mostly peeked just before, which left cur_ at the quote.
  if (AtQuote()) [[likely]]
    return ReadStringAtQuote(value);
  JsonKind kind{};
  if (!Peek(&kind)) return false;
  if (kind != JsonKind::kString) return FailKind(JsonKind::kString, cur_);
  return ReadStringAtQuote(value);
}

// cur_ at the opening quote. Unescaped ASCII text, which most strings and
// nearly all member names are, is delivered in place by one word scan; the
// rest is left to ReadStringRest, out of line so that this path stays short.
bool JsonTokenizer::ReadStringAtQuote(std::string_view* value) noexcept {
  const auto* start = reinterpret_cast<const uint8_t*>(cur_ + 1);
  const uint8_t* p = SkipPlainRun(start, reinterpret_cast<const uint8_t*>(end_));
  if (p < reinterpret_cast<const uint8_t*>(end_) && *p == '"') [[likely]] {
    const auto size = static_cast<size_t>(p - start);
    *value = std::string_view(reinterpret_cast<const char*>(start), size);
    cur_ = reinterpret_cast<const char*>(p + 1);
    string_ascii_ = true;
    string_measured_ = true;
    string_length_ = size;
    string_max_char_ = utf8::kAsciiMax;
    return true;
  }
  return ReadStringRest(reinterpret_cast<const char*>(start), p, value);
}

// From `p`, the first byte after `start` that ends a plain ASCII run and is
// not the closing quote: multi-byte sequences are validated and measured in
// place; an escape sends the string to the scratch buffer.
bool JsonTokenizer::ReadStringRest(const char* start, const uint8_t* p, std::string_view* value) noexcept {
  const auto* end = reinterpret_cast<const uint8_t*>(end_);
  string_ascii_ = true;
  uint32_t max_char = utf8::kAsciiMax;
  size_t continuation = 0;  // bytes after the first of each multi-byte sequence
  for (;;) {
    if (p == end) return Fail(SyntaxCode::kEofString, end_);
    const uint8_t c = *p;
    if (c == '"') {
      *value = std::string_view(start, static_cast<size_t>(reinterpret_cast<const char*>(p) - start));
      cur_ = reinterpret_cast<const char*>(p + 1);
      string_measured_ = true;
      string_length_ = value->size() - continuation;
      string_max_char_ = max_char;
      return true;
    }
    if (c == '\\') {
      string_measured_ = false;
      cur_ = reinterpret_cast<const char*>(p);
      try {
        return ReadEscapedString(start, value);
      } catch (const std::bad_alloc&) {
        return Fail(SyntaxCode::kOutOfMemory, cur_);
      }
    }
    if (c < 0x20) return Fail(SyntaxCode::kControlCharacter, reinterpret_cast<const char*>(p));
    const uint8_t* const run = SkipMultiByteRun(p, end, max_char, continuation);
    if (run == p) return Fail(SyntaxCode::kInvalidCodePoint, reinterpret_cast<const char*>(p));
    string_ascii_ = false;
    p = SkipPlainRun(run, end);
  }
}

// Four hex digits after `\u` (cur_ at the first of them).
bool JsonTokenizer::ReadHexEscape(uint32_t* unit) noexcept {
  uint32_t v = 0;
  for (int i = 0; i < 4; ++i) {
    if (cur_ == end_) return Fail(SyntaxCode::kEofString, cur_);
    const int h = HexValue(*cur_);
    if (h < 0) return Fail(SyntaxCode::kInvalidEscape, cur_);
    v = v << 4 | static_cast<uint32_t>(h);
    ++cur_;
  }
  *unit = v;
  return true;
}

// One escape, cur_ at its backslash: the code point it stands for, a
// surrogate pair combined into one.
bool JsonTokenizer::ReadEscape(uint32_t* point) noexcept {
  const char* escape = cur_;
  ++cur_;
  if (cur_ == end_) return Fail(SyntaxCode::kEofString, cur_);
  switch (*cur_) {
    case '"': *point = '"'; break;
    case '\\': *point = '\\'; break;
    case '/': *point = '/'; break;
    case 'b': *point = '\b'; break;
    case 'f': *point = '\f'; break;
    case 'n': *point = '\n'; break;
    case 'r': *point = '\r'; break;
    case 't': *point = '\t'; break;
    case 'u': {
      ++cur_;
      uint32_t unit = 0;
      if (!ReadHexEscape(&unit)) return false;
      if (unit >= 0xdc00 && unit <= 0xdfff) return Fail(SyntaxCode::kLoneLeadingSurrogate, escape);
      if (unit >= 0xd800 && unit <= 0xdbff) {
        // A leading surrogate must be followed at once by the escape of a trailing one.
        if (cur_ == end_) return Fail(SyntaxCode::kEofString, cur_);
        if (*cur_ != '\\') return Fail(SyntaxCode::kEofHexEscape, cur_);
        ++cur_;
        if (cur_ == end_) return Fail(SyntaxCode::kEofString, cur_);
        if (*cur_ != 'u') return Fail(SyntaxCode::kEofHexEscape, cur_);
        ++cur_;
        uint32_t low = 0;
        if (!ReadHexEscape(&low)) return false;
        if (low < 0xdc00 || low > 0xdfff) return Fail(SyntaxCode::kLoneLeadingSurrogate, escape);
        unit = 0x10000 + ((unit - 0xd800) << 10) + (low - 0xdc00);
      }
      *point = unit;
      return true;
    }
    default: return Fail(SyntaxCode::kInvalidEscape, cur_);
  }
  ++cur_;
  return true;
}

// The slow path: cur_ is at the first backslash; `start` is the string's
// first byte. The decoded text is built in the scratch buffer.
bool JsonTokenizer::ReadEscapedString(const char* start, std::string_view* value) {
  scratch_.assign(start, static_cast<size_t>(cur_ - start));
  while (cur_ < end_) {
    const auto c = static_cast<uint8_t>(*cur_);
    if (c == '"') {
      ++cur_;
      *value = std::string_view(scratch_.data(), scratch_.size());
      return true;
    }
    if (c == '\\') {
      uint32_t point = 0;
      if (!ReadEscape(&point)) return false;
      if (point >= 0x80) {
        string_ascii_ = false;
        AppendUtf8(scratch_, point);
      } else {
        scratch_.push_back(static_cast<char>(point));
      }
      continue;
    }
    if (c < 0x20) return Fail(SyntaxCode::kControlCharacter, cur_);
    // A run of plain bytes up to the next quote, backslash or control byte.
    const char* run = cur_;
    const auto* end = reinterpret_cast<const uint8_t*>(end_);
    for (;;) {
      const uint8_t* p = SkipPlainRun(reinterpret_cast<const uint8_t*>(cur_), end);
      cur_ = reinterpret_cast<const char*>(p);
      if (p == end || *p == '"' || *p == '\\' || *p < 0x20) break;
      const size_t n = utf8::SequenceLength(p, static_cast<size_t>(end - p));
      if (n == 0) return Fail(SyntaxCode::kInvalidCodePoint, cur_);
      string_ascii_ = false;
      cur_ += n;
    }
    scratch_.append(run, static_cast<size_t>(cur_ - run));
  }
  return Fail(SyntaxCode::kEofString, end_);
}

bool JsonTokenizer::ReadStringUnits(StringUnits* value) noexcept {
  if (!AtQuote()) {
    JsonKind kind{};
    if (!Peek(&kind)) return false;
    if (kind != JsonKind::kString) return FailKind(JsonKind::kString, cur_);
  }
  const auto* start = reinterpret_cast<const uint8_t*>(++cur_);
  const auto* end = reinterpret_cast<const uint8_t*>(end_);
  const uint8_t* p = SkipPlainRun(start, end);
  if (p < end && *p == '"') [[likely]] {
    value->in_place = true;
    value->ascii = std::string_view(reinterpret_cast<const char*>(start), static_cast<size_t>(p - start));
    cur_ = reinterpret_cast<const char*>(p + 1);
    return true;
  }
  return DecodeUnits(start, p, value);
}

namespace {

void Widen(const uint8_t* in, size_t n, uint32_t* out) noexcept {
  for (size_t i = 0; i < n; ++i) out[i] = in[i];
}

// Points decoded per room check in a run of multi-byte sequences.
constexpr size_t kRunChunk = 64;

// Decodes the well-formed multi-byte sequences from `p` into units[n...],
// each told and valued from one four-byte load, until `limit` units, a byte
// below 0x80, fewer than four bytes left or a sequence it does not take (an
// ill-formed one among them); returns where it stopped. It takes exactly
// what DecodeSequence takes, so stopping early changes no outcome.
[[gnu::always_inline]] inline const uint8_t* DecodeWellFormedRun(const uint8_t* p, const uint8_t* end,
                                                                 uint32_t* units, size_t& n, size_t limit,
                                                                 uint32_t& bits) noexcept {
  if constexpr (std::endian::native == std::endian::little) {
    while (n < limit && end - p >= 4 && *p >= 0x80) {
      uint32_t w = 0;
      std::memcpy(&w, p, 4);
      uint32_t point = 0;
      if ((w & 0xc0e0u) == 0x80c0u) {
        point = (w & 0x1fu) << 6 | (w >> 8 & 0x3fu);
        if (point < 0x80) break;  // overlong
        p += 2;
      } else if ((w & 0xc0c0f0u) == 0x8080e0u) {
        point = (w & 0x0fu) << 12 | (w >> 2 & 0xfc0u) | (w >> 16 & 0x3fu);
        if (point < 0x800 || point - 0xd800u < 0x800) break;  // overlong, surrogate
        p += 3;
      } else if ((w & 0xc0c0c0f8u) == 0x808080f0u) {
        point = (w & 0x07u) << 18 | (w << 4 & 0x3f000u) | (w >> 10 & 0xfc0u) | (w >> 24 & 0x3fu);
        if (point - 0x10000u >= 0x100000u) break;  // overlong, above U+10FFFF
        p += 4;
      } else {
        break;
      }
      units[n++] = point;
      bits |= point;
    }
  }
  return p;
}

}  // namespace

// From the first byte at `p` that ends the plain ASCII run from `start`:
// decodes the whole string into units_, validating it on the way. The
// widest class comes from the or of all points, which needs no compare.
bool JsonTokenizer::DecodeUnits(const uint8_t* start, const uint8_t* p, StringUnits* value) noexcept {
  const auto* end = reinterpret_cast<const uint8_t*>(end_);
  size_t n = static_cast<size_t>(p - start);
  if (!units_.Reserve(n + 1)) return Fail(SyntaxCode::kOutOfMemory, reinterpret_cast<const char*>(p));
  Widen(start, n, units_.data());
  uint32_t bits = 0;
  for (;;) {
    if (p == end) return Fail(SyntaxCode::kEofString, end_);
    const uint8_t c = *p;
    if (c == '"') break;
    if (c == '\\') {
      cur_ = reinterpret_cast<const char*>(p);
      uint32_t point = 0;
      if (!ReadEscape(&point)) return false;
      p = reinterpret_cast<const uint8_t*>(cur_);
      units_.data()[n++] = point;
      bits |= point;
    } else if (c < 0x20) {
      return Fail(SyntaxCode::kControlCharacter, reinterpret_cast<const char*>(p));
    } else if (c >= 0x80) {
      // Text in other scripts comes in runs of multi-byte sequences: those
      // told well-formed from one load are decoded in chunks with room
      // reserved once; the rest, and the last bytes of the text, go one at
      // a time through DecodeSequence, which decides them.
      do {
        if (!units_.Reserve(n + kRunChunk + 1)) {
          return Fail(SyntaxCode::kOutOfMemory, reinterpret_cast<const char*>(p));
        }
        p = DecodeWellFormedRun(p, end, units_.data(), n, n + kRunChunk, bits);
        if (p < end && *p >= 0x80) {
          uint32_t point = 0;
          const size_t len = utf8::DecodeSequence(p, static_cast<size_t>(end - p), &point);
          if (len == 0) return Fail(SyntaxCode::kInvalidCodePoint, reinterpret_cast<const char*>(p));
          units_.data()[n++] = point;
          bits |= point;
          p += len;
        }
      } while (p < end && *p >= 0x80);
    }
    const uint8_t* run = SkipPlainRun(p, end);
    const auto plain = static_cast<size_t>(run - p);
    if (!units_.Reserve(n + plain + 1)) return Fail(SyntaxCode::kOutOfMemory, reinterpret_cast<const char*>(p));
    Widen(p, plain, units_.data() + n);
    n += plain;
    p = run;
  }
  cur_ = reinterpret_cast<const char*>(p + 1);
  value->in_place = false;
  value->units = units_.data();
  value->length = n;
  value->max_char = WidthOfBits(bits);
  return true;
}

// At the bracket that closes the innermost open container: consume it.
bool JsonTokenizer::CloseIf(char closer) noexcept {
  if (*cur_ != closer) return false;
  ++cur_;
  --nesting_;
  return true;
}

bool JsonTokenizer::Open() noexcept {
  if (nesting_ >= kMaxJsonNesting) return Fail(SyntaxCode::kRecursionLimit, cur_);
  ++nesting_;
  ++cur_;
  return true;
}

bool JsonTokenizer::EnterArray(bool* more) noexcept {
  JsonKind kind{};
  if (!Peek(&kind)) return false;
  if (kind != JsonKind::kArray) return FailKind(JsonKind::kArray, cur_);
  if (!Open()) return false;
  SkipSpace();
  if (cur_ == end_) return Fail(SyntaxCode::kEofList, cur_);
  *more = !CloseIf(']');
  return true;
}

bool JsonTokenizer::NextElementSlow(bool* more) noexcept {
  if (failed()) return false;
  SkipSpace();
  if (cur_ == end_) return Fail(SyntaxCode::kEofList, cur_);
  if (CloseIf(']')) {
    *more = false;
    return true;
  }
  if (*cur_ != ',') return Fail(SyntaxCode::kExpectedListCommaOrEnd, cur_);
  ++cur_;
  SkipSpace();
  if (cur_ < end_ && *cur_ == ']') return Fail(SyntaxCode::kTrailingComma, cur_);
  *more = true;
  return true;
}

bool JsonTokenizer::EnterObject(bool* more) noexcept {
  JsonKind kind{};
  if (!Peek(&kind)) return false;
  if (kind != JsonKind::kObject) return FailKind(JsonKind::kObject, cur_);
  if (!Open()) return false;
  SkipSpace();
  if (cur_ == end_) return Fail(SyntaxCode::kEofObject, cur_);
  if (CloseIf('}')) {
    *more = false;
    return true;
  }
  if (*cur_ != '"') return Fail(SyntaxCode::kKeyMustBeString, cur_);
  *more = true;
  return true;
}

bool JsonTokenizer::NextMemberSlow(bool* more) noexcept {
  if (failed()) return false;
  SkipSpace();
  if (cur_ == end_) return Fail(SyntaxCode::kEofObject, cur_);
  if (CloseIf('}')) {
    *more = false;
    return true;
  }
  if (*cur_ != ',') return Fail(SyntaxCode::kExpectedObjectCommaOrEnd, cur_);
  ++cur_;
  SkipSpace();
  if (cur_ == end_) return Fail(SyntaxCode::kEofValue, cur_);
  if (*cur_ == '}') return Fail(SyntaxCode::kTrailingComma, cur_);
  if (*cur_ != '"') return Fail(SyntaxCode::kKeyMustBeString, cur_);
  *more = true;
  return true;
}

bool JsonTokenizer::ReadKey(std::string_view* key) noexcept {
  if (!ReadString(key)) return false;
  SkipSpace();
  if (cur_ == end_) return Fail(SyntaxCode::kEofObject, cur_);
  if (*cur_ != ':') return Fail(SyntaxCode::kExpectedColon, cur_);
  ++cur_;
  return true;
}

bool JsonTokenizer::SkipValue() noexcept {
  // One bit per open container (set: object), relative to where the skip
  // began; the nesting bound keeps it within the fixed array.
  uint64_t is_object[(kMaxJsonNesting + 63) / 64] = {};
  const uint32_t base = nesting_;
  for (;;) {
    JsonKind kind{};
    if (!Peek(&kind)) return false;
    bool more = false;
    std::string_view ignored;
    NumberToken number;
    switch (kind) {
      case JsonKind::kNull:
        if (!ReadNull()) return false;
        break;
      case JsonKind::kBool: {
        bool b;
        if (!ReadBool(&b)) return false;
        break;
      }
      case JsonKind::kNumber:
        if (!ReadNumber(&number)) return false;
        break;
      case JsonKind::kString:
        if (!ReadString(&ignored)) return false;
        break;
      case JsonKind::kArray:
      case JsonKind::kObject: {
        const bool object = kind == JsonKind::kObject;
        if (!(object ? EnterObject(&more) : EnterArray(&more))) return false;
        if (more) {
          const uint32_t level = nesting_ - base - 1;
          if (object) {
            is_object[level / 64] |= uint64_t{1} << (level % 64);
            if (!ReadKey(&ignored)) return false;
          } else {
            is_object[level / 64] &= ~(uint64_t{1} << (level % 64));
          }
          continue;  // read the first element or member value
        }
        break;
      }
    }
    // A value is complete: close every container it completes.
    while (nesting_ > base) {
      const uint32_t level = nesting_ - base - 1;
      const bool object = (is_object[level / 64] >> (level % 64)) & 1;
      if (!(object ? NextMember(&more) : NextElement(&more))) return false;
      if (more) {
        if (object && !ReadKey(&ignored)) return false;
        break;
      }
    }
    if (nesting_ == base) return true;
  }
}

bool JsonTokenizer::EndCheck() noexcept {
  if (failed()) return false;
  SkipSpace();
  if (cur_ != end_) return Fail(SyntaxCode::kTrailingCharacters, cur_);
  return true;
}

}  // namespace velum::json
