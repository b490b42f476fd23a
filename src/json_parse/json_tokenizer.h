// Core unit: no Python.
// A streaming pull tokenizer over UTF-8 JSON text: the caller asks for the
// kind of the next value and then consumes it with the matching read, so no
// document tree is ever built. Failures are sticky: the first one is kept
// (message code and byte offset) and every call returns false afterwards.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "common/raw_alloc.h"
#include "common/text_equal.h"
#include "json_parse/number_literal.h"
#include "json_parse/string_scan.h"
#include "json_parse/string_units.h"

namespace velum::json {

enum class JsonKind : uint8_t { kNull, kBool, kNumber, kString, kArray, kObject };

// Name of a kind as the parser prints it in "expected … but found …".
const char* JsonKindName(JsonKind kind) noexcept;

enum class SyntaxCode : uint8_t {
  kNone,
  kEofList,
  kEofObject,
  kEofString,
  kEofValue,
  kExpectedColon,
  kExpectedListCommaOrEnd,
  kExpectedObjectCommaOrEnd,
  kExpectedIdent,
  kExpectedValue,
  kInvalidEscape,
  kInvalidNumber,
  kNumberOutOfRange,
  kInvalidCodePoint,
  kControlCharacter,
  kKeyMustBeString,
  kLoneLeadingSurrogate,
  kTrailingComma,
  kTrailingCharacters,
  kEofHexEscape,
  kRecursionLimit,
  kFloatForInt,
  kWrongKind,    // "expected {expected} but found {found}"
  kOutOfMemory,  // not a syntax error: the scratch buffer could not grow
};

struct SyntaxError {
  SyntaxCode code = SyntaxCode::kNone;
  size_t offset = 0;
  JsonKind expected = JsonKind::kNull;  // kWrongKind only
  JsonKind found = JsonKind::kNull;
};

// The message of a syntax error, as the caller raises it.
RawString SyntaxMessage(const SyntaxError& error);

// Arrays and objects nested deeper than this fail with "recursion limit
// exceeded": deep enough for any real document, shallow enough that the
// recursive materialisation of a value can never exhaust the C stack.
inline constexpr uint32_t kMaxJsonNesting = 1000;

// Integer literals longer than this are refused: the interpreter will not
// convert more digits to an int, and no field could hold the value.
inline constexpr size_t kMaxIntegerDigits = 4300;

// One number literal, validated against the JSON grammar.
struct NumberToken {
  std::string_view text;
  bool is_integer = true;  // no fraction and no exponent
  bool negative = false;
  // Integers of at most 18 digits, which always fit 64 bits, come with their
  // value, accumulated while the digits were validated.
  bool small = false;
  int64_t small_value = 0;
  // Its digits and power of ten, folded while the grammar was checked.
  DecimalLiteral decimal;
};

namespace lead_detail {

// The kind of value a first byte starts, or kSpaceLead for white space.
inline constexpr uint8_t kSpaceLead = 0xff;
struct LeadTable {
  uint8_t kind[256];
};
constexpr LeadTable MakeLeads() noexcept {
  LeadTable t{};
  for (int c = 0; c < 256; ++c) {
    JsonKind k = JsonKind::kNumber;  // any other byte: the number read refuses it
    switch (c) {
      case 'n': k = JsonKind::kNull; break;
      case 't':
      case 'f': k = JsonKind::kBool; break;
      case '"': k = JsonKind::kString; break;
      case '[': k = JsonKind::kArray; break;
      case '{': k = JsonKind::kObject; break;
      default: break;
    }
    const bool space = c == ' ' || c == '\n' || c == '\r' || c == '\t';
    t.kind[c] = space ? kSpaceLead : static_cast<uint8_t>(k);
  }
  return t;
}
inline constexpr LeadTable kLeads = MakeLeads();

}  // namespace lead_detail

class JsonTokenizer {
 public:
  // `data` must stay alive and unchanged while the tokenizer is used.
  JsonTokenizer(const char* data, size_t size) noexcept : begin_(data), cur_(data), end_(data + size) {}
  JsonTokenizer() noexcept : JsonTokenizer("", 0) {}
  void Reset(const char* data, size_t size) noexcept {
    begin_ = cur_ = data;
    end_ = data + size;
    nesting_ = 0;
    error_ = SyntaxError();
  }
  JsonTokenizer(const JsonTokenizer&) = delete;
  JsonTokenizer& operator=(const JsonTokenizer&) = delete;

  const SyntaxError& error() const noexcept { return error_; }
  bool failed() const noexcept { return error_.code != SyntaxCode::kNone; }
  size_t offset() const noexcept { return static_cast<size_t>(cur_ - begin_); }
  std::string_view text() const noexcept { return {begin_, static_cast<size_t>(end_ - begin_)}; }

  // Skips white space and classifies the next value by its first byte; any
  // byte that starts no other kind is reported as a number, whose read then
  // refuses it. End of input fails with "EOF while parsing a value".
  // `*kind` is written on failure too, so that no caller reads it unset.
  [[nodiscard]] bool Peek(JsonKind* kind) noexcept {
    // Compact text has the value's first byte right here: one table load
    // tells its kind and that no white space is to be skipped.
    if (cur_ < end_ && !failed()) [[likely]] {
      const uint8_t lead = lead_detail::kLeads.kind[static_cast<unsigned char>(*cur_)];
      if (lead != lead_detail::kSpaceLead) [[likely]] {
        *kind = static_cast<JsonKind>(lead);
        return true;
      }
    }
    return PeekAfterSpace(kind);
  }

  // A literal written plainly where the value starts (no white space before
  // it) is taken inline by one comparison; anything else, every failure
  // included, by the general read.
  [[nodiscard]] bool ReadNull() noexcept {
    if (end_ - cur_ >= 4 && !failed() && EqualText(std::string_view(cur_, 4), std::string_view("null", 4)))
        [[likely]] {
      cur_ += 4;
      return true;
    }
    return ReadNullSlow();
  }
  [[nodiscard]] bool ReadBool(bool* value) noexcept {
    if (end_ - cur_ >= 5 && !failed()) [[likely]] {
      if (EqualText(std::string_view(cur_, 4), std::string_view("true", 4))) {
        *value = true;
        cur_ += 4;
        return true;
      }
      if (EqualText(std::string_view(cur_, 5), std::string_view("false", 5))) {
        *value = false;
        cur_ += 5;
        return true;
      }
    }
    return ReadBoolSlow(value);
  }
  [[nodiscard]] bool ReadNumber(NumberToken* token) noexcept;
  // The decoded string: a view into the input when it holds no escape,
  // otherwise into the scratch buffer, valid until the next string read.
  [[nodiscard]] bool ReadString(std::string_view* value) noexcept;
  // The string for a str: ASCII without escapes in place, anything else
  // decoded to code points as the scan validates it (see StringUnits).
  // Refuses exactly what ReadString refuses, at the same offsets.
  [[nodiscard]] bool ReadStringUnits(StringUnits* value) noexcept;
  // When the value ahead (cur_ at its quote, as after Peek) is a string of
  // plain ASCII without escapes, consumes it and gives its text in place, as
  // ReadStringUnits would; otherwise consumes nothing. Inline, for the
  // readers of many strings in a row (list elements, Struct values).
  [[nodiscard]] bool ReadPlainString(std::string_view* value) noexcept {
    if (!AtQuote()) return false;
    const auto* start = reinterpret_cast<const uint8_t*>(cur_ + 1);
    const auto* end = reinterpret_cast<const uint8_t*>(end_);
    const uint8_t* p = SkipPlainRun(start, end);
    if (p == end || *p != '"') return false;
    *value = std::string_view(reinterpret_cast<const char*>(start), static_cast<size_t>(p - start));
    cur_ = reinterpret_cast<const char*>(p + 1);
    return true;
  }
  // As ReadPlainString for a member name followed by its colon (white space
  // allowed before it), which is consumed too: ReadKey's common case inline.
  [[nodiscard]] bool ReadPlainKey(std::string_view* key) noexcept {
    if (!AtQuote()) return false;
    const auto* start = reinterpret_cast<const uint8_t*>(cur_ + 1);
    const auto* end = reinterpret_cast<const uint8_t*>(end_);
    const uint8_t* p = SkipPlainRun(start, end);
    if (p == end || *p != '"') return false;
    const char* colon = reinterpret_cast<const char*>(p + 1);
    while (colon < end_ && static_cast<unsigned char>(*colon) <= ' ' && IsSpace(*colon)) ++colon;
    if (colon == end_ || *colon != ':') return false;
    *key = std::string_view(reinterpret_cast<const char*>(start), static_cast<size_t>(p - start));
    cur_ = colon + 1;
    return true;
  }
  // Whether the string last read decoded to ASCII only.
  bool string_ascii() const noexcept { return string_ascii_; }
  // Its length in code points and widest character class (as utf8::Measure
  // counts them), known when it held no escape.
  bool string_measured() const noexcept { return string_measured_; }
  size_t string_length() const noexcept { return string_length_; }
  uint32_t string_max_char() const noexcept { return string_max_char_; }

  // Array iteration: EnterArray consumes `[`; `*more` tells whether an
  // element follows (read it, then call NextElement) or `]` was consumed.
  [[nodiscard]] bool EnterArray(bool* more) noexcept;
  // Compact text (no white space around the separator) is decided here in a
  // few tests; anything else takes the general path.
  [[nodiscard]] bool NextElement(bool* more) noexcept {
    if (cur_ + 1 < end_ && !failed()) [[likely]] {
      const char c = *cur_;
      const char after = cur_[1];
      if (c == ',' && static_cast<unsigned char>(after) > ' ' && after != ']') {
        ++cur_;
        *more = true;
        return true;
      }
      if (c == ']') {
        ++cur_;
        --nesting_;
        *more = false;
        return true;
      }
    }
    return NextElementSlow(more);
  }
  // Object iteration: as for arrays; when `*more` is set, ReadKey delivers
  // the member name and consumes the `:` after it.
  [[nodiscard]] bool EnterObject(bool* more) noexcept;
  [[nodiscard]] bool NextMember(bool* more) noexcept {
    if (cur_ + 1 < end_ && !failed()) [[likely]] {
      const char c = *cur_;
      if (c == ',' && cur_[1] == '"') {
        ++cur_;
        *more = true;
        return true;
      }
      if (c == '}') {
        ++cur_;
        --nesting_;
        *more = false;
        return true;
      }
    }
    return NextMemberSlow(more);
  }
  [[nodiscard]] bool ReadKey(std::string_view* key) noexcept;

  // When the member name ahead (cur_ at its quote, as EnterObject and
  // NextMember leave it) is written exactly as `name`, plain ASCII without
  // escapes, consumes it and the colon after it as ReadKey would and returns
  // true; otherwise consumes nothing. Members mostly come in the order of the
  // fields, so the reader's guess is checked in place instead of the name
  // being scanned and then compared.
  // Leaves string_ascii() and the measures of the last string as they were.
  [[nodiscard]] bool MatchKey(std::string_view name) noexcept {
    const size_t n = name.size();
    // n - 1 wraps for the empty name: lengths 1 to 16 only. The text must
    // hold the quotes, the name and at least the colon.
    if (n - 1 >= 16 || end_ - cur_ < static_cast<std::ptrdiff_t>(n + 3) || failed()) return false;
    const auto room = static_cast<size_t>(end_ - cur_ - 1);
    if (*cur_ != '"' || cur_[n + 1] != '"' || !SamePlainText(cur_ + 1, room, name.data(), n)) return false;
    const char* p = cur_ + n + 2;
    while (p < end_ && static_cast<unsigned char>(*p) <= ' ' && IsSpace(*p)) ++p;
    if (p == end_ || *p != ':') return false;
    cur_ = p + 1;
    return true;
  }

  // As MatchKey for a name of any length that the caller knows to be plain
  // (ASCII, nothing a JSON string must escape): the text is compared as it
  // is, without testing its bytes.
  [[nodiscard]] bool MatchPlainKey(std::string_view name) noexcept {
    const size_t n = name.size();
    if (end_ - cur_ < static_cast<std::ptrdiff_t>(n + 3) || failed()) return false;
    if (*cur_ != '"' || cur_[n + 1] != '"' || !EqualText(std::string_view(cur_ + 1, n), name)) return false;
    const char* p = cur_ + n + 2;
    if (*p != ':') [[unlikely]] {  // white space before the colon (the text holds a byte here)
      while (p < end_ && static_cast<unsigned char>(*p) <= ' ' && IsSpace(*p)) ++p;
      if (p == end_ || *p != ':') return false;
    }
    cur_ = p + 1;
    return true;
  }

  // When the value ahead (cur_ at its quote, as after Peek) is the string
  // `text` written plainly, 1 to 16 bytes that need no escape, consumes it
  // and returns true; otherwise consumes nothing. For values from a short
  // list of names (an enum's), compared in place instead of scanned.
  // Leaves string_ascii() and the measures of the last string as they were.
  [[nodiscard]] bool MatchString(std::string_view text) noexcept {
    const size_t n = text.size();
    if (n - 1 >= 16 || end_ - cur_ < static_cast<std::ptrdiff_t>(n + 2) || failed()) return false;
    const auto room = static_cast<size_t>(end_ - cur_ - 1);
    if (*cur_ != '"' || cur_[n + 1] != '"' || !SamePlainText(cur_ + 1, room, text.data(), n)) return false;
    cur_ += n + 2;
    return true;
  }

  // As MatchString for a string of any length that the caller knows to be
  // plain (ASCII, nothing a JSON string must escape): compared as it is.
  [[nodiscard]] bool MatchPlainString(std::string_view text) noexcept {
    const size_t n = text.size();
    if (end_ - cur_ < static_cast<std::ptrdiff_t>(n + 2) || failed()) return false;
    if (*cur_ != '"' || cur_[n + 1] != '"' || !EqualText(std::string_view(cur_ + 1, n), text)) return false;
    cur_ += n + 2;
    return true;
  }

  // When the text ahead (cur_ at a member name's quote, as EnterObject and
  // NextMember leave it) is exactly `spelled`, a quoted name that needs no
  // escape followed by its colon, consumes it and returns true; otherwise
  // consumes nothing. MatchKey for compact text, in one comparison.
  [[nodiscard]] bool MatchSpelledKey(std::string_view spelled) noexcept {
    const size_t n = spelled.size();
    if (static_cast<size_t>(end_ - cur_) < n || failed() || !EqualText(std::string_view(cur_, n), spelled)) {
      return false;
    }
    cur_ += n;
    return true;
  }

  // Lists of numbers read their elements in place. ValueAhead skips white
  // space and gives where the value ahead starts (nullptr after a failure);
  // after reading a scalar there itself, the caller moves past it with
  // SkipTo. Anything else is left to the reads above.
  const char* ValueAhead() noexcept {
    if (failed()) return nullptr;
    SkipSpace();
    return cur_;
  }
  const char* input_end() const noexcept { return end_; }
  void SkipTo(const char* p) noexcept { cur_ = p; }
  // Where the value starts that the caller has just peeked (Peek succeeded,
  // so white space is behind and no failure is pending): ValueAhead without
  // its tests.
  const char* PeekedValue() const noexcept { return cur_; }

  // Consumes one complete value of any kind, without recursion.
  [[nodiscard]] bool SkipValue() noexcept;
  // Only white space may follow the top-level value.
  [[nodiscard]] bool EndCheck() noexcept;

  uint32_t nesting() const noexcept { return nesting_; }

  // A position to come back to: a value may be scanned once to decide how to
  // read it, then read from the same place.
  struct Mark {
    const char* at;
    uint32_t nesting;
  };
  Mark mark() const noexcept { return {cur_, nesting_}; }
  // Back to `mark`, forgetting any failure met since.
  void Rewind(const Mark& mark) noexcept {
    cur_ = mark.at;
    nesting_ = mark.nesting;
    error_ = SyntaxError();
  }

 private:
  static bool IsSpace(char c) noexcept { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; }
  // Peek's general case: white space first, or the end, or a failure.
  [[gnu::noinline]] bool PeekAfterSpace(JsonKind* kind) noexcept;
  // At a string's opening quote with no failure met: what Peek would find
  // without skipping anything.
  bool AtQuote() const noexcept { return cur_ < end_ && *cur_ == '"' && !failed(); }
  // Every white space byte is at most ' ': one test passes compact text.
  void SkipSpace() noexcept {
    while (cur_ < end_ && static_cast<unsigned char>(*cur_) <= ' ' && IsSpace(*cur_)) ++cur_;
  }
  bool Fail(SyntaxCode code, const char* at) noexcept;
  bool FailKind(JsonKind expected, const char* at) noexcept;
  bool ExpectLiteral(std::string_view rest) noexcept;
  bool ReadNullSlow() noexcept;
  bool ReadBoolSlow(bool* value) noexcept;
  [[gnu::cold]] bool FailNumber() noexcept;
  bool Open() noexcept;
  bool CloseIf(char closer) noexcept;
  [[gnu::noinline]] bool NextElementSlow(bool* more) noexcept;
  [[gnu::noinline]] bool NextMemberSlow(bool* more) noexcept;
  bool ReadStringAtQuote(std::string_view* value) noexcept;
  [[gnu::noinline]] bool ReadStringRest(const char* start, const uint8_t* p, std::string_view* value) noexcept;
  bool ReadEscapedString(const char* start, std::string_view* value);
  bool ReadHexEscape(uint32_t* unit) noexcept;
  bool ReadEscape(uint32_t* point) noexcept;
  bool DecodeUnits(const uint8_t* start, const uint8_t* p, StringUnits* value) noexcept;

  const char* begin_;
  const char* cur_;
  const char* end_;
  uint32_t nesting_ = 0;
  bool string_ascii_ = true;
  bool string_measured_ = false;
  size_t string_length_ = 0;
  uint32_t string_max_char_ = 0;
  SyntaxError error_;
  RawString scratch_;
  UnitBuffer units_;
};

}  // namespace velum::json
