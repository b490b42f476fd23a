// Core unit: no Python.
// Compact JSON text from a stream of events: the writer says what comes next
// (begin, member name, value, end) and this places the commas and colons
// itself. No whitespace is ever written. The Python-facing sink wraps it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "common/utf8_text.h"
#include "json_sink/base64.h"
#include "json_sink/json_escape.h"
#include "json_sink/number_text.h"
#include "json_sink/text_buffer.h"

namespace velum::json_sink {

class JsonText {
 public:
  JsonText() noexcept = default;
  // Output and frames start in the caller's blocks (see TextBuffer).
  JsonText(char* first_block, size_t capacity, char* first_frames, size_t frames_capacity) noexcept
      : out_(first_block, capacity), frames_(first_frames, frames_capacity) {}

  // Memory exhaustion anywhere is sticky: check ok() once at the end.
  bool ok() const noexcept { return out_.ok() && frames_.ok(); }
  // The text's tally, for making its str at the final width in one pass:
  // whether any non-ASCII piece was appended, the bound of its widest
  // character (0x7f, 0xff, 0xffff or 0x10ffff), and its length in
  // characters. `sized()` is false only if a piece could not be measured
  // (never for well-formed UTF-8); the text must then be measured again.
  bool non_ascii() const noexcept { return max_char_ > utf8::kAsciiMax; }
  uint32_t max_char() const noexcept { return max_char_; }
  size_t length() const noexcept { return out_.size() - extra_; }
  bool sized() const noexcept { return sized_; }
  // A non-ASCII piece whose UTF-8 is `extra` bytes longer than its character
  // count, with characters up to `max_char`.
  void NoteWide(size_t extra, uint32_t max_char) noexcept {
    extra_ += extra;
    if (max_char > max_char_) max_char_ = max_char;
  }
  void ShrinkToFit() noexcept { out_.ShrinkToFit(); }
  const char* data() const noexcept { return out_.data(); }
  size_t size() const noexcept { return out_.size(); }
  std::string_view text() const noexcept { return {out_.data(), out_.size()}; }
  size_t depth() const noexcept { return frames_.size(); }

  // For a loop writing the items (members) of the array (object) opened last
  // straight into the buffer: whether one came before (the next needs a
  // comma), and, once the loop wrote one, that the container has one.
  bool HasItems() noexcept { return (Top() & kFirst) == 0; }
  void NoteItems() noexcept { Top() = static_cast<char>(Top() & ~kFirst); }
  TextBuffer& buffer() noexcept { return out_; }

  void BeginObject() noexcept { Open(kObject, '{'); }
  void BeginArray() noexcept { Open(kArray, '['); }
  void EndObject() noexcept { Close('}'); }
  void EndArray() noexcept { Close(']'); }

  // A member name, already UTF-8; the value follows with the next event.
  // `noted`: the caller has announced the text's width (NoteWide) already.
  // Both return whether the text holds non-ASCII bytes.
  bool MemberName(const char* text, size_t size, bool noted = false) noexcept {
    MemberSeparator();
    const bool wide = AppendJsonName(out_, text, size);
    if (wide && !noted) Measure(text, size);
    return wide;
  }
  // An integer's digits as a member name (map keys): nothing to escape.
  void IntegerMemberName(int64_t value) noexcept {
    MemberSeparator();
    char* p = out_.Reserve(kIntegerTextMax + 3);
    if (p == nullptr) return;
    p[0] = '"';
    const size_t n = FormatIntegerInRoom(value, p + 1);
    p[n + 1] = '"';
    p[n + 2] = ':';
    out_.Commit(n + 3);
  }
  // A member name prepared ahead: `key` is ',' followed by the quoted,
  // escaped name and ':'; the comma is dropped for an object's first member.
  [[gnu::always_inline]] void MemberKey(const char* key, size_t size) noexcept {
    size_t skip = 1;
    if (!frames_.empty()) {
      char& top = Top();
      skip = (top & kFirst) != 0 ? 1 : 0;
      top = static_cast<char>(top & ~kFirst);
    }
    out_.Append(key + skip, size - skip);
  }
  // Where a member's key goes when its value is written first (and may be
  // refused): the open object's frame, read once, and the bytes the key
  // drops from its front (the comma of an object's first member).
  struct KeyPlace {
    char* frame;
    size_t skip;
  };
  [[gnu::always_inline]] KeyPlace PlaceKey() noexcept {
    if (frames_.empty()) return {nullptr, 1};
    char& top = Top();
    return {&top, (top & kFirst) != 0 ? size_t{1} : size_t{0}};
  }
  // MemberKey at `p` for a place taken by PlaceKey, which it notes.
  [[gnu::always_inline]] static void PutKeyAt(KeyPlace place, char* p, const char* key, size_t size) noexcept {
    if (place.frame != nullptr) *place.frame = static_cast<char>(*place.frame & ~kFirst);
    CopyBytes(p, key + place.skip, size - place.skip);
  }
  // MemberKey into room the caller reserved at `p` (see TextBuffer::cursor);
  // returns where the key text ends.
  [[gnu::always_inline]] char* PutMemberKey(char* p, const char* key, size_t size) noexcept {
    size_t skip = 1;
    if (!frames_.empty()) {
      char& top = Top();
      skip = (top & kFirst) != 0 ? 1 : 0;
      top = static_cast<char>(top & ~kFirst);
    }
    CopyBytes(p, key + skip, size - skip);
    return p + size - skip;
  }
  void Null() noexcept { Literal("null", 4); }
  void Boolean(bool value) noexcept { value ? Literal("true", 4) : Literal("false", 5); }
  void Integer(int64_t value) noexcept {
    char* p = out_.Reserve(kIntegerTextMax + 1);
    if (p == nullptr) return;
    const size_t comma = ItemComma(p);
    out_.Commit(comma + FormatIntegerInRoom(value, p + comma));
  }
  void Unsigned(uint64_t value) noexcept {
    char* p = out_.Reserve(kIntegerTextMax + 1);
    if (p == nullptr) return;
    const size_t comma = ItemComma(p);
    out_.Commit(comma + FormatUnsignedInRoom(value, p + comma));
  }
  // Python's repr() of a finite double (non-finite values are the caller's).
  void Float(double value) noexcept {
    char* p = out_.Reserve(kFloatTextMax + 1);
    if (p == nullptr) return;
    const size_t comma = ItemComma(p);
    out_.Commit(comma + FormatFloatRepr(value, p + comma));
  }
  [[gnu::always_inline]] bool String(const char* text, size_t size, bool noted = false) noexcept {
    ValueSeparator();
    const bool wide = AppendJsonString(out_, text, size);
    if (wide && !noted) Measure(text, size);
    return wide;
  }
  // ASCII text needing no escape as a string value (member name), scanned
  // and copied in one pass and placed with its separator in one room: the
  // common case of String (MemberName). False, with nothing written, when
  // the text holds a byte to escape.
  [[gnu::always_inline]] bool PlainAsciiString(const char* text, size_t size) noexcept {
    return PlainAscii<false>(text, size);
  }
  [[gnu::always_inline]] bool PlainAsciiName(const char* text, size_t size) noexcept {
    return PlainAscii<true>(text, size);
  }
  // A string the caller made of plain ASCII only (no byte to escape): one
  // copy between the quotes, without the escape scan.
  void PlainString(const char* text, size_t size) noexcept {
    ValueSeparator();
    char* p = out_.Reserve(size + 2);
    if (p == nullptr) return;
    p[0] = '"';
    CopyBytes(p + 1, text, size);
    p[size + 1] = '"';
    out_.Commit(size + 2);
  }
  // A string or member name whose text the owner places into the result
  // itself, between the quotes written here, at the size() it had then.
  void OpenString() noexcept {
    ValueSeparator();
    out_.Push('"');
  }
  void CloseString() noexcept { out_.Push('"'); }
  void OpenMemberName() noexcept {
    MemberSeparator();
    out_.Push('"');
  }
  void CloseMemberName() noexcept { out_.Append("\":", 2); }
  // Decimal digits as a JSON string (64-bit integers): nothing to escape.
  void QuotedInteger(int64_t value) noexcept {
    Quoted([value](char* p) noexcept { return FormatIntegerInRoom(value, p); });
  }
  void QuotedUnsigned(uint64_t value) noexcept {
    Quoted([value](char* p) noexcept { return FormatUnsignedInRoom(value, p); });
  }
  // Standard Base64 of `data` as a JSON string; `length` is Base64Length(size).
  void Base64(const uint8_t* data, size_t size, size_t length) noexcept {
    ValueSeparator();
    char* p = out_.Reserve(length + 2);
    if (p == nullptr) return;
    p[0] = '"';
    Base64Encode(data, size, p + 1);
    p[length + 1] = '"';
    out_.Commit(length + 2);
  }
  // Number text produced elsewhere (digits of a big int), copied verbatim.
  void RawNumber(const char* text, size_t size) noexcept { Literal(text, size); }

 private:
  // Digits written by `format` between quotes, in one reservation.
  template <class Format>
  void Quoted(Format format) noexcept {
    char* p = out_.Reserve(kIntegerTextMax + 3);
    if (p == nullptr) return;
    const size_t comma = ItemComma(p);
    char* q = p + comma;
    q[0] = '"';
    const size_t n = format(q + 1);
    q[n + 1] = '"';
    out_.Commit(comma + n + 2);
  }
  template <bool kName>
  [[gnu::always_inline]] bool PlainAscii(const char* text, size_t size) noexcept {
    char* p = out_.Reserve(size + 4);
    if (p == nullptr) [[unlikely]]
      return true;  // the buffer is failed: Finish reports it
    // The separator, decided now and noted only once the text is known plain.
    char* top = frames_.empty() ? nullptr : &Top();
    const bool separated = top != nullptr && (kName || (*top & kArray) != 0);
    const size_t comma = separated && (*top & kFirst) == 0 ? 1 : 0;
    if (!PutPlainAscii(p + comma + 1, text, size)) [[unlikely]]
      return false;
    if (separated) *top = static_cast<char>(kName ? (*top & ~kFirst) : kArray);
    p[0] = ',';
    p[comma] = '"';
    p[comma + size + 1] = '"';
    p[comma + size + 2] = ':';  // a value's next byte overwrites it
    out_.Commit(comma + size + (kName ? 3 : 2));
    return true;
  }
  // One byte per open container: its kind, and whether nothing is in it yet.
  static constexpr char kObject = 0;
  static constexpr char kArray = 1;
  static constexpr char kFirst = 2;

  [[gnu::always_inline]] void Open(char kind, char bracket) noexcept {
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
  // ValueSeparator for a value written into room reserved at `p` with a
  // byte to spare: the comma goes in that room (no append of its own), and
  // the number of bytes it took (0 or 1) is returned.
  [[gnu::always_inline]] size_t ItemComma(char* p) noexcept {
    if (frames_.empty()) return 0;
    char& top = Top();
    if ((top & kArray) == 0) return 0;
    const size_t comma = (top & kFirst) == 0 ? 1 : 0;
    *p = ',';
    top = kArray;
    return comma;
  }
  void MemberSeparator() noexcept {
    if (frames_.empty()) return;
    char& top = Top();
    if ((top & kFirst) == 0) out_.Push(',');
    top = static_cast<char>(top & ~kFirst);
  }
  char& Top() noexcept { return frames_.back(); }
  // A non-ASCII piece nobody announced (text from C++ rather than a str).
  void Measure(const char* text, size_t size) noexcept {
    const utf8::Measure m = utf8::MeasureText(reinterpret_cast<const uint8_t*>(text), size);
    if (!m.valid) {
      sized_ = false;
      NoteWide(0, utf8::kUnicodeMax);
      return;
    }
    NoteWide(size - m.length, m.max_char);
  }

  TextBuffer out_;
  TextBuffer frames_;
  size_t extra_ = 0;
  uint32_t max_char_ = utf8::kAsciiMax;
  bool sized_ = true;
};

}  // namespace velum::json_sink
