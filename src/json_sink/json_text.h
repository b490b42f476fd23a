// Core unit: no Python.
// Compact JSON text from a stream of events: the writer says what comes next
// (begin, member name, value, end) and this places the commas and colons
// itself. No whitespace is ever written. The Python-facing sink wraps it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "json_sink/base64.h"
#include "json_sink/json_escape.h"
#include "json_sink/number_text.h"
#include "json_sink/text_buffer.h"
#include "json_sink/unit_buffer.h"

namespace velum::json_sink {

class JsonText {
 public:
  JsonText() noexcept = default;
  // Output and frames start in the caller's blocks (see TextBuffer).
  JsonText(char* first_block, size_t capacity, char* first_frames, size_t frames_capacity) noexcept
      : out_(first_block, capacity), frames_(first_frames, frames_capacity) {}

  // Memory exhaustion anywhere is sticky: check ok() once at the end.
  bool ok() const noexcept { return out_.ok() && frames_.ok(); }
  // The text is held as code units (see UnitBuffer): `length()` characters
  // of `1 << unit_shift()` bytes each, none above `max_char()`.
  bool non_ascii() const noexcept { return out_.max_char() > 0x7f; }
  uint32_t max_char() const noexcept { return out_.max_char(); }
  unsigned unit_shift() const noexcept { return out_.shift(); }
  size_t length() const noexcept { return out_.length(); }
  void ShrinkToFit() noexcept { out_.ShrinkToFit(); }
  const char* data() const noexcept { return out_.data(); }
  // In bytes.
  size_t size() const noexcept { return out_.size(); }
  std::string_view text() const noexcept { return {out_.data(), out_.size()}; }
  size_t depth() const noexcept { return frames_.size(); }

  void BeginObject() noexcept { Open(kObject, '{'); }
  void BeginArray() noexcept { Open(kArray, '['); }
  void EndObject() noexcept { Close('}'); }
  void EndArray() noexcept { Close(']'); }

  // A member name in UTF-8; the value follows with the next event.
  void MemberName(const char* text, size_t size) noexcept {
    MemberSeparator();
    AppendJsonString(out_, text, size);
    out_.Push(':');
  }
  // A member name given as the code units of a str (see AppendJsonUnits);
  // false at a surrogate.
  bool MemberUnits(const void* units, size_t length, unsigned kind, bool ascii) noexcept {
    MemberSeparator();
    if (!AppendJsonUnits(out_, units, length, kind, ascii)) return false;
    out_.Push(':');
    return true;
  }
  // A member name prepared ahead: `key` is ',' followed by the quoted,
  // escaped name and ':'; the comma is dropped for an object's first member.
  void MemberKey(const char* key, size_t size) noexcept {
    size_t skip = 1;
    if (!frames_.empty()) {
      char& top = Top();
      skip = (top & kFirst) != 0 ? 1 : 0;
      top = static_cast<char>(top & ~kFirst);
    }
    out_.Append(key + skip, size - skip);
  }
  void Null() noexcept { Literal("null", 4); }
  void Boolean(bool value) noexcept { value ? Literal("true", 4) : Literal("false", 5); }
  void Integer(int64_t value) noexcept {
    ValueSeparator();
    char* p = out_.ReserveAscii(kIntegerTextMax);
    if (p != nullptr) out_.CommitAscii(p, FormatInteger(value, p));
  }
  void Unsigned(uint64_t value) noexcept {
    ValueSeparator();
    char* p = out_.ReserveAscii(kIntegerTextMax);
    if (p != nullptr) out_.CommitAscii(p, FormatUnsigned(value, p));
  }
  // Python's repr() of a finite double (non-finite values are the caller's).
  void Float(double value) noexcept {
    ValueSeparator();
    char* p = out_.ReserveAscii(kFloatTextMax);
    if (p != nullptr) out_.CommitAscii(p, FormatFloatRepr(value, p));
  }
  // A string value in UTF-8.
  void String(const char* text, size_t size) noexcept {
    ValueSeparator();
    AppendJsonString(out_, text, size);
  }
  // A string value given as the code units of a str; false at a surrogate.
  bool StringUnits(const void* units, size_t length, unsigned kind, bool ascii) noexcept {
    ValueSeparator();
    return AppendJsonUnits(out_, units, length, kind, ascii);
  }
  // Decimal digits as a JSON string (64-bit integers): nothing to escape.
  void QuotedInteger(int64_t value) noexcept {
    Quoted([value](char* p) noexcept { return FormatInteger(value, p); });
  }
  void QuotedUnsigned(uint64_t value) noexcept {
    Quoted([value](char* p) noexcept { return FormatUnsigned(value, p); });
  }
  // Standard Base64 of `data` as a JSON string; `length` is Base64Length(size).
  void Base64(const uint8_t* data, size_t size, size_t length) noexcept {
    ValueSeparator();
    char* p = out_.ReserveAscii(length + 2);
    if (p == nullptr) return;
    p[0] = '"';
    Base64Encode(data, size, p + 1);
    p[length + 1] = '"';
    out_.CommitAscii(p, length + 2);
  }
  // Number text produced elsewhere (digits of a big int), copied verbatim.
  void RawNumber(const char* text, size_t size) noexcept { Literal(text, size); }

 private:
  // Digits written by `format` between quotes, in one reservation.
  template <class Format>
  void Quoted(Format format) noexcept {
    ValueSeparator();
    char* p = out_.ReserveAscii(kIntegerTextMax + 2);
    if (p == nullptr) return;
    p[0] = '"';
    const size_t n = format(p + 1);
    p[n + 1] = '"';
    out_.CommitAscii(p, n + 2);
  }
  // One byte per open container: its kind, and whether nothing is in it yet.
  static constexpr char kObject = 0;
  static constexpr char kArray = 1;
  static constexpr char kFirst = 2;

  void Open(char kind, char bracket) noexcept {
    ValueSeparator();
    out_.Push(bracket);
    frames_.Push(static_cast<char>(kind | kFirst));
  }
  void Close(char bracket) noexcept {
    frames_.Pop();
    out_.Push(bracket);
  }
  void Literal(const char* text, size_t size) noexcept {
    ValueSeparator();
    out_.Append(text, size);
  }
  // Inside an object the member name already carried the separator.
  void ValueSeparator() noexcept {
    if (frames_.empty()) return;
    char& top = Top();
    if ((top & kArray) == 0) return;
    if ((top & kFirst) == 0) out_.Push(',');
    top = kArray;
  }
  void MemberSeparator() noexcept {
    if (frames_.empty()) return;
    char& top = Top();
    if ((top & kFirst) == 0) out_.Push(',');
    top = static_cast<char>(top & ~kFirst);
  }
  char& Top() noexcept { return frames_.back(); }

  UnitBuffer out_;
  TextBuffer frames_;
};

}  // namespace velum::json_sink
