// JsonTextSink: JSON writer events to compact JSON text, returned as a `str`.
// The text is built as ASCII (UTF-8 where it must), except the non-ASCII
// strings that need no escape: those are kept as references and copied into
// the result as their own code units, so they are never encoded to UTF-8 nor
// decoded back. Only the events that read a Python object can fail (a `str`
// holding lone surrogates, a number's own conversion); memory exhaustion is
// reported once, by Finish.
#pragma once

#include <bit>
#include <cstring>
#include <string_view>

#include "common/dict_walk.h"
#include "common/raw_alloc.h"
#include "common/ref.h"
#include "common/status.h"
#include "descriptor/field_kind.h"
#include "field_ops/scalar_convert.h"
#include "json_sink/json_escape.h"
#include "json_sink/json_text.h"

namespace velum::json_sink {

class JsonTextSink {
 public:
  // Beyond the first block, the text is written into the data of the `str`
  // it may become: plain ASCII text (the usual case of long outputs) is
  // then returned without a copy, and without a second block of its size.
  JsonTextSink() noexcept { text_.buffer().UseBlockSource({&ResizeResult, this}); }
  JsonTextSink(const JsonTextSink&) = delete;
  JsonTextSink& operator=(const JsonTextSink&) = delete;

  Status BeginObject() noexcept {
    text_.BeginObject();
    return Status::Ok();
  }
  Status BeginObject(Py_ssize_t /*members*/) noexcept { return BeginObject(); }
  Status EndObject() noexcept {
    text_.EndObject();
    return Status::Ok();
  }
  Status BeginArray() noexcept {
    text_.BeginArray();
    return Status::Ok();
  }
  Status BeginArray(Py_ssize_t /*items*/) noexcept { return BeginArray(); }
  Status EndArray() noexcept {
    text_.EndArray();
    return Status::Ok();
  }
  // `name` is a `str`; an ASCII one is read in place, without a copy.
  [[gnu::always_inline]] Status MemberName(PyObject* name) noexcept {
    if (!PyUnicode_IS_COMPACT_ASCII(name)) [[unlikely]]
      return WideString(name, true);
    if (!text_.PlainAsciiName(AsciiData(name), AsciiLength(name))) [[unlikely]]
      text_.MemberName(AsciiData(name), AsciiLength(name), true);
    return Status::Ok();
  }
  // A name that is likely to come again in this call (a Struct's keys): the
  // text of recently written ones is kept by the str's identity.
  [[gnu::always_inline]] Status RepeatedMemberName(PyObject* name) noexcept {
    if (!PyUnicode_IS_COMPACT_ASCII(name)) [[unlikely]]
      return WideString(name, true);
    if (!key_slots_.empty()) [[likely]] {
      const KeySlot* bucket = &key_slots_[KeyBucketOf(name)];
      for (size_t i = 0; i < kKeyWays; ++i) {
        if (bucket[i].name.get() == name) {
          text_.MemberKey(bucket[i].text, bucket[i].size);
          return Status::Ok();
        }
      }
    }
    return NewMemberName(name);
  }
  // A field's name: its prepared key text when it has one, else the str.
  [[gnu::always_inline]] Status MemberName(PyObject* name, std::string_view key) noexcept {
    if (key.empty()) [[unlikely]]
      return MemberName(name);
    text_.MemberKey(key.data(), key.size());
    return Status::Ok();
  }
  // A member and its value prepared together as ASCII text needing no
  // escape: ',' then the quoted name, ':' and the value.
  Status PreparedMember(std::string_view text) noexcept {
    text_.MemberKey(text.data(), text.size());
    return Status::Ok();
  }
  Status MemberName(std::string_view name) noexcept {
    const size_t at = text_.size();
    if (text_.MemberName(name.data(), name.size())) [[unlikely]]
      return MarkStretch(at);
    return Status::Ok();
  }
  // A map key's digits as the member name.
  Status IntegerMemberName(int64_t value) noexcept {
    text_.IntegerMemberName(value);
    return Status::Ok();
  }
  Status Null() noexcept {
    text_.Null();
    return Status::Ok();
  }
  Status Boolean(bool value) noexcept {
    text_.Boolean(value);
    return Status::Ok();
  }
  Status Integer(int64_t value) noexcept {
    text_.Integer(value);
    return Status::Ok();
  }
  Status Integer(int64_t value, PyObject* /*held*/) noexcept { return Integer(value); }
  Status String(std::string_view value) noexcept {
    const size_t at = text_.size();
    if (text_.String(value.data(), value.size())) [[unlikely]]
      return MarkStretch(at);
    return Status::Ok();
  }
  // Text this library made of plain ASCII (time stamps, durations).
  Status PlainString(std::string_view value) noexcept {
    text_.PlainString(value.data(), value.size());
    return Status::Ok();
  }
  [[gnu::always_inline]] Status PythonString(PyObject* value) noexcept {
    if (!PyUnicode_IS_COMPACT_ASCII(value)) [[unlikely]]
      return WideString(value, false);
    if (!text_.PlainAsciiString(AsciiData(value), AsciiLength(value))) [[unlikely]]
      text_.String(AsciiData(value), AsciiLength(value), true);
    return Status::Ok();
  }
  // 64-bit integers, written as JSON strings of their digits.
  Status QuotedInteger(int64_t value) noexcept {
    text_.QuotedInteger(value);
    return Status::Ok();
  }
  Status QuotedUnsigned(uint64_t value) noexcept {
    text_.QuotedUnsigned(value);
    return Status::Ok();
  }
  // `data` is a bytes or bytearray; written as a Base64 JSON string.
  Status Bytes(PyObject* data) noexcept;
  // A float prints as its repr(), an int as its digits; see the .cpp for the rest.
  [[gnu::always_inline]] Status PythonNumber(PyObject* value) noexcept {
    if (PyFloat_CheckExact(value)) {
      text_.Float(PyFloat_AS_DOUBLE(value));
      return Status::Ok();
    }
    return PythonNumberGeneral(value);
  }
  // The items of a list of numbers of type `T` (a JSON form: double, int64,
  // uint64, int32 or uint32) from `from` on, written straight into the text
  // while each is of the type's exact class, finite or in range: no Python
  // code runs for them, so the list cannot change meanwhile. Returns the
  // index of the first item it left, which the walk writes by the general
  // road; for any other type, `from` itself.
  template <ScalarType T>
  [[gnu::always_inline]] Py_ssize_t ExactItems(PyObject* list, Py_ssize_t from) noexcept {
    if constexpr (kNumberForm<T>) {
      return NumberItems<T>(list, from);
    } else {
      return from;
    }
  }
  // A field's member and its value of type `T`, the value of the type's
  // exact class, in one room: a number as ExactItems takes it, a bool, or a
  // str of plain ASCII needing no escape. `key` is the field's prepared key text.
  // False, with nothing written, for any other value.
  template <ScalarType T>
  [[gnu::always_inline]] bool ExactMember(std::string_view key, PyObject* value) noexcept {
    if constexpr (kNumberForm<T>) {
      Number n;
      if (!ReadNumber<T>(value, n)) return false;
      char* p = text_.buffer().Reserve(key.size() + kNumberRoom<T>);
      if (p == nullptr) return true;  // the buffer is failed: Finish reports it
      p = text_.PutMemberKey(p, key.data(), key.size());
      text_.buffer().Seek(PutNumber<T>(p, n));
      return true;
    } else if constexpr (T == ScalarType::kString) {
      if (!PyUnicode_IS_COMPACT_ASCII(value)) return false;
      const char* data = AsciiData(value);
      const size_t size = AsciiLength(value);
      char* p = text_.buffer().Reserve(key.size() + size + 2);
      if (p == nullptr) return true;
      // The text goes after the key first: the member is noted only once it is plain.
      const JsonText::KeyPlace place = text_.PlaceKey();
      char* at = p + key.size() - place.skip;
      if (!PutPlainAscii(at + 1, data, size)) return false;
      JsonText::PutKeyAt(place, p, key.data(), key.size());
      at[0] = '"';
      at[size + 1] = '"';
      text_.buffer().Seek(at + size + 2);
      return true;
    } else if constexpr (T == ScalarType::kBool) {
      if (value != Py_True && value != Py_False) return false;
      char* p = text_.buffer().Reserve(key.size() + 5);
      if (p == nullptr) return true;
      p = text_.PutMemberKey(p, key.data(), key.size());
      // Five bytes either way: "false", or "true" and a byte of room.
      std::memcpy(p, value == Py_True ? "true " : "false", 5);
      text_.buffer().Seek(p + (value == Py_True ? 4 : 5));
      return true;
    } else {
      return false;
    }
  }
  // The entries of a map with str keys and values of type `T` (as
  // ExactItems), taken from `entries` and written straight into the text
  // while the key is an exact ASCII str needing no escape and the value as
  // ExactItems takes it (no Python code runs for them). Returns false once
  // the entries are done; true with `key` and `value` set to an entry it
  // left, which the walk writes by the general road.
  template <ScalarType T>
  [[gnu::always_inline]] bool ExactEntries(DictCursor& entries, PyObject*& key, PyObject*& value) noexcept {
    if constexpr (kNumberForm<T>) {
      return NumberEntries<T>(entries, key, value);
    } else {
      return entries.Next(key, value);
    }
  }
  // The same for a map with integer keys and values of type `T` (as
  // ExactEntries, or a str of plain ASCII needing no escape): an exact int
  // key is written as its digits, as the general road writes it.
  template <ScalarType T>
  [[gnu::always_inline]] bool IntKeyEntries(DictCursor& entries, PyObject*& key, PyObject*& value) noexcept {
    if constexpr (kNumberForm<T> || T == ScalarType::kString) {
      return IntKeyRun<T>(entries, key, value);
    } else {
      return entries.Next(key, value);
    }
  }
  // The text as a new `str`, or MemoryError when an append was refused.
  Result<Ref> Finish() noexcept;

 private:
  // Small outputs are built here and never touch the heap until the result.
  static constexpr size_t kFirstBlock = 1024;

  // A compact ASCII str's own data, which is its UTF-8.
  static const char* AsciiData(PyObject* text) noexcept {
    return reinterpret_cast<const char*>(reinterpret_cast<PyASCIIObject*>(text) + 1);
  }
  static size_t AsciiLength(PyObject* text) noexcept { return static_cast<size_t>(PyUnicode_GET_LENGTH(text)); }
  // The UTF-8 of a `str`, in place: an ASCII str's own data, else its cached
  // UTF-8 (made on first use; null with the error set for lone surrogates).
  // Its width is announced to the text, so the result needs no measuring.
  std::string_view Utf8Of(PyObject* text) noexcept {
    if (PyUnicode_IS_COMPACT_ASCII(text)) [[likely]]
      return {static_cast<const char*>(PyUnicode_DATA(text)), static_cast<size_t>(PyUnicode_GET_LENGTH(text))};
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size);
    if (utf8 == nullptr) return {};
    if (!PyUnicode_IS_ASCII(text)) {
      text_.NoteWide(static_cast<size_t>(size - PyUnicode_GET_LENGTH(text)), PyUnicode_MAX_CHAR_VALUE(text));
    }
    return {utf8, static_cast<size_t>(size)};
  }
  Status PythonNumberGeneral(PyObject* value) noexcept;
  // The JSON forms the number loops write.
  template <ScalarType T>
  static constexpr bool kNumberForm = T == ScalarType::kDouble || T == ScalarType::kInt64 ||
                                      T == ScalarType::kUint64 || T == ScalarType::kInt32 ||
                                      T == ScalarType::kUint32;
  // The most one number of `T` takes, with a comma before it.
  template <ScalarType T>
  static constexpr size_t kNumberRoom = 1 + (T == ScalarType::kDouble ? kFloatTextMax : kIntegerTextMax + 2);
  // The loops below write a run of items from locals: the write position,
  // the end of its room and the comma the next item starts with (none for a
  // container's first). EndRun hands the position back to the text.
  struct Run {
    char* p;
    char* end;
    size_t comma;
  };
  Run BeginRun() noexcept {
    TextBuffer& out = text_.buffer();
    return {out.cursor(), out.room_end(), text_.HasItems() ? size_t{1} : size_t{0}};
  }
  void EndRun(char* p, size_t comma) noexcept {
    text_.buffer().Seek(p);
    if (comma != 0) text_.NoteItems();
  }
  template <ScalarType T>
  Py_ssize_t NumberItems(PyObject* list, Py_ssize_t from) noexcept;
  template <ScalarType T>
  bool NumberEntries(DictCursor& entries, PyObject*& key, PyObject*& value) noexcept;
  template <ScalarType T>
  bool IntKeyRun(DictCursor& entries, PyObject*& key, PyObject*& value) noexcept;
  // A number of the exact class and range of `T`, read; false for any other.
  struct Number {
    double real;
    int64_t whole;
    uint64_t unsigned_whole;
  };
  template <ScalarType T>
  [[gnu::always_inline]] static bool ReadNumber(PyObject* item, Number& n) noexcept {
    if constexpr (T == ScalarType::kDouble) {
      if (!PyFloat_CheckExact(item)) return false;
      n.real = PyFloat_AS_DOUBLE(item);
      // NaN and the infinities are written as strings by the general road.
      return (std::bit_cast<uint64_t>(n.real) & 0x7ff0000000000000u) != 0x7ff0000000000000u;
    } else if constexpr (T == ScalarType::kUint64) {
      return ReadExactUint64(item, &n.unsigned_whole);
    } else {
      if (!ReadExactInt(item, &n.whole)) return false;
      if constexpr (T == ScalarType::kInt32) return n.whole >= INT32_MIN && n.whole <= INT32_MAX;
      if constexpr (T == ScalarType::kUint32) return n.whole >= 0 && n.whole <= static_cast<int64_t>(UINT32_MAX);
      return true;
    }
  }
  // Its text at `p`, which has kNumberRoom<T> - 1 bytes of room; returns the end.
  template <ScalarType T>
  [[gnu::always_inline]] static char* PutNumber(char* p, const Number& n) noexcept {
    if constexpr (T == ScalarType::kDouble) {
      return p + FormatFloatRepr(n.real, p);
    } else if constexpr (T == ScalarType::kInt64 || T == ScalarType::kUint64) {
      *p = '"';
      const size_t size =
          T == ScalarType::kUint64 ? FormatUnsignedInRoom(n.unsigned_whole, p + 1) : FormatIntegerInRoom(n.whole, p + 1);
      p[size + 1] = '"';
      return p + size + 2;
    } else {
      return p + FormatIntegerInRoom(n.whole, p);
    }
  }
  // A non-ASCII str: kept for the result when it needs no escape, else
  // written as UTF-8.
  Status WideString(PyObject* text, bool member) noexcept;
  // For the entry loops: a non-ASCII str needing no escape kept as
  // WideString keeps it, as a member name or a string value, with its
  // separator; false, with nothing written, for one needing an escape.
  bool PlainWidePiece(PyObject* text, bool member) noexcept;
  // The keeping itself, for a str whose units are known plain. Out of
  // memory fails the buffer, which Finish reports. KeepPieceInline is the
  // same, inline in WideString (the .cpp's own).
  void KeepPiece(PyObject* text, bool member) noexcept;
  inline void KeepPieceInline(PyObject* text, bool member) noexcept;
  // Non-ASCII UTF-8 was just written from `at` on: the stretch is marked off
  // by two pieces without a str, so that only it is decoded, not the ASCII
  // text around it.
  Status MarkStretch(size_t at) noexcept;
  Result<Ref> Assemble() noexcept;
  // The text buffer's block source: `result_` made or resized to
  // `capacity` ASCII characters, its data the block.
  static char* ResizeResult(void* owner, size_t capacity) noexcept;
  // The str whose data holds the text once it outgrew the first block; its
  // content counts as text (any bytes) until Finish returns it as the result.
  Ref result_;
  template <class Unit>
  bool Fill(Unit* out, size_t length) const noexcept;

  // Recent names and their key text `,"name":`, made on first use. A slot
  // holds its str, so no other str can take its address during the call.
  // In buckets of four slots by the str's address, so that the names of one
  // object seldom evict each other: a document's keys are mostly allocated
  // close together, so the address is mixed before its top bits are taken
  // (a plain multiplication put five of seventeen keys in one bucket, and
  // two of them missed on every object).
  static constexpr size_t kKeySlots = 256;
  static constexpr size_t kKeyWays = 4;
  static constexpr size_t kKeyTextMax = 28;
  struct KeySlot {
    Ref name;
    uint32_t size = 0;
    char text[kKeyTextMax];
  };
  // The first slot of the name's bucket: the top six bits of its hash.
  static size_t KeyBucketOf(PyObject* name) noexcept {
    uint64_t x = reinterpret_cast<uintptr_t>(name);
    x = (x ^ (x >> 29)) * 0xbf58476d1ce4e5b9u;
    return static_cast<size_t>(x >> 58) * kKeyWays;
  }
  // Writes a compact ASCII name and keeps its key text when short and plain.
  Status NewMemberName(PyObject* name) noexcept;
  RawVector<KeySlot> key_slots_;

  // A str whose units go into the result at `at`, a byte offset of the
  // text; without a str, only a boundary between two stretches of the text.
  struct Piece {
    size_t at;
    Ref text;
  };
  RawVector<Piece> pieces_;
  size_t piece_length_ = 0;           // characters in the pieces
  uint32_t piece_max_char_ = 0x7f;    // their widest character's bound

  static constexpr size_t kFirstFrames = 64;

  char first_block_[kFirstBlock];
  char first_frames_[kFirstFrames];
  JsonText text_{first_block_, kFirstBlock, first_frames_, kFirstFrames};
};

// One loop per type, with the write position in locals and one room check
// per item; the text, checks and ranges are those of WriteScalarOf.
template <ScalarType T>
Py_ssize_t JsonTextSink::NumberItems(PyObject* list, Py_ssize_t from) noexcept {
  const Py_ssize_t count = PyList_GET_SIZE(list);
  PyObject* const* items = reinterpret_cast<PyListObject*>(list)->ob_item;
  TextBuffer& out = text_.buffer();
  auto [p, end, comma] = BeginRun();
  Py_ssize_t i = from;
  for (; i < count; ++i) {
    Number n;
    if (!ReadNumber<T>(items[i], n)) break;
    // Refused: the buffer is failed and Finish reports it; nothing more is written.
    if (!out.RoomAt(p, end, kNumberRoom<T>)) [[unlikely]]
      return count;
    *p = ',';
    p += comma;
    comma = 1;
    p = PutNumber<T>(p, n);
  }
  EndRun(p, comma);
  return i;
}

// The same for map entries: the member `,"key":` and the value in one room
// check. A key is taken when its text needs no escape.
template <ScalarType T>
bool JsonTextSink::NumberEntries(DictCursor& entries, PyObject*& key, PyObject*& value) noexcept {
  TextBuffer& out = text_.buffer();
  auto [p, end, comma] = BeginRun();
  bool more = false;
  while ((more = entries.Next(key, value))) {
    if (!PyUnicode_CheckExact(key)) break;
    Number n;
    if (!ReadNumber<T>(value, n)) break;
    if (!PyUnicode_IS_COMPACT_ASCII(key)) [[unlikely]] {
      // A non-ASCII key becomes a piece of the result, placed by the text;
      // the value follows it in room of its own.
      EndRun(p, comma);
      if (!PlainWidePiece(key, true)) return true;  // left for the general road
      p = out.Reserve(kNumberRoom<T>);
      if (p == nullptr) return false;  // the buffer is failed: Finish reports it
      end = out.room_end();
      comma = 1;
      p = PutNumber<T>(p, n);
      continue;
    }
    const char* name = AsciiData(key);
    const size_t size = AsciiLength(key);
    const size_t room = size + 3 + kNumberRoom<T>;
    // Refused: the buffer is failed and Finish reports it; nothing more is written.
    if (!out.RoomAt(p, end, room)) [[unlikely]]
      return false;
    // The key is copied while scanned; one needing an escape is left, and
    // the write position not moved, for the general road.
    char* q = p + comma;
    if (!PutPlainAscii(q + 1, name, size)) break;
    *p = ',';
    comma = 1;
    q[0] = '"';
    q[size + 1] = '"';
    q[size + 2] = ':';
    p = PutNumber<T>(q + size + 3, n);
  }
  EndRun(p, comma);
  return more;
}

// The same for integer keys: `,"digits":` and the value in one room check.
template <ScalarType T>
bool JsonTextSink::IntKeyRun(DictCursor& entries, PyObject*& key, PyObject*& value) noexcept {
  TextBuffer& out = text_.buffer();
  auto [p, end, comma] = BeginRun();
  bool more = false;
  while ((more = entries.Next(key, value))) {
    int64_t number = 0;
    if (!ReadExactInt(key, &number)) break;
    Number n;
    const char* text = nullptr;
    size_t size = 0;
    if constexpr (T == ScalarType::kString) {
      if (!PyUnicode_CheckExact(value)) break;
      if (!PyUnicode_IS_COMPACT_ASCII(value)) [[unlikely]] {
        // A non-ASCII value becomes a piece of the result, after its key.
        if (!out.RoomAt(p, end, 4 + kIntegerTextMax)) [[unlikely]]
          return false;
        // The key is noted only when the value is kept: a value needing an
        // escape leaves the entry whole to the general road.
        if (!UnitsArePlain(PyUnicode_DATA(value), static_cast<size_t>(PyUnicode_GET_LENGTH(value)),
                           PyUnicode_KIND(value))) {
          break;
        }
        *p = ',';
        char* q = p + comma;
        q[0] = '"';
        const size_t digits = FormatIntegerInRoom(number, q + 1);
        q[digits + 1] = '"';
        q[digits + 2] = ':';
        out.Seek(q + digits + 3);
        text_.NoteItems();
        KeepPiece(value, false);
        p = out.cursor();
        end = out.room_end();
        comma = 1;
        continue;
      }
      text = AsciiData(value);
      size = AsciiLength(value);
    } else {
      if (!ReadNumber<T>(value, n)) break;
    }
    // A comma, the quoted digits (with scratch room) and colon, and the value.
    const size_t room = 4 + kIntegerTextMax + (T == ScalarType::kString ? size + 2 : kNumberRoom<T>);
    // Refused: the buffer is failed and Finish reports it; nothing more is written.
    if (!out.RoomAt(p, end, room)) [[unlikely]]
      return false;
    // The comma first: for an object's first member the quote replaces it.
    *p = ',';
    char* q = p + comma;
    q[0] = '"';
    const size_t digits = FormatIntegerInRoom(number, q + 1);
    q[digits + 1] = '"';
    q[digits + 2] = ':';
    char* at = q + digits + 3;
    if constexpr (T == ScalarType::kString) {
      // A value needing an escape is left, and the write position not moved.
      if (!PutPlainAscii(at + 1, text, size)) break;
      at[0] = '"';
      at[size + 1] = '"';
      at += size + 2;
    } else {
      at = PutNumber<T>(at, n);
    }
    comma = 1;
    p = at;
  }
  EndRun(p, comma);
  return more;
}

}  // namespace velum::json_sink
