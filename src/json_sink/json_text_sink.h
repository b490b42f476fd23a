// JsonTextSink: JSON writer events to compact JSON text, returned as a `str`.
// The text is built as ASCII (UTF-8 where it must), except the non-ASCII
// strings that need no escape: those are kept as references and copied into
// the result as their own code units, so they are never encoded to UTF-8 nor
// decoded back. Only the events that read a Python object can fail (a `str`
// holding lone surrogates, a number's own conversion); memory exhaustion is
// reported once, by Finish.
#pragma once

#include <bit>
#include <string_view>

#include "common/raw_alloc.h"
#include "common/ref.h"
#include "common/status.h"
#include "descriptor/field_kind.h"
#include "field_ops/scalar_convert.h"
#include "json_sink/json_text.h"

namespace velum::json_sink {

class JsonTextSink {
 public:
  JsonTextSink() noexcept = default;
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
    if constexpr (T == ScalarType::kDouble || T == ScalarType::kInt64 || T == ScalarType::kUint64 ||
                  T == ScalarType::kInt32 || T == ScalarType::kUint32) {
      return NumberItems<T>(list, from);
    } else {
      return from;
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
  template <ScalarType T>
  Py_ssize_t NumberItems(PyObject* list, Py_ssize_t from) noexcept;
  // A non-ASCII str: kept for the result when it needs no escape, else
  // written as UTF-8.
  Status WideString(PyObject* text, bool member) noexcept;
  // Non-ASCII UTF-8 was just written from `at` on: the stretch is marked off
  // by two pieces without a str, so that only it is decoded, not the ASCII
  // text around it.
  Status MarkStretch(size_t at) noexcept;
  Result<Ref> Assemble() noexcept;
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
  constexpr bool kQuoted = T == ScalarType::kInt64 || T == ScalarType::kUint64;
  // The comma, then the text (a double's layout may write up to its maximum).
  constexpr size_t kItemMax = 1 + (T == ScalarType::kDouble ? kFloatTextMax : kIntegerTextMax + 2);
  const Py_ssize_t count = PyList_GET_SIZE(list);
  PyObject* const* items = reinterpret_cast<PyListObject*>(list)->ob_item;
  TextBuffer& out = text_.buffer();
  char* p = out.cursor();
  char* end = out.room_end();
  size_t comma = text_.ArrayHasItems() ? 1 : 0;
  Py_ssize_t i = from;
  for (; i < count; ++i) {
    PyObject* const item = items[i];
    double real = 0;
    int64_t whole = 0;
    uint64_t unsigned_whole = 0;
    if constexpr (T == ScalarType::kDouble) {
      if (!PyFloat_CheckExact(item)) break;
      real = PyFloat_AS_DOUBLE(item);
      // NaN and the infinities are written as strings by the general road.
      if ((std::bit_cast<uint64_t>(real) & 0x7ff0000000000000u) == 0x7ff0000000000000u) break;
    } else if constexpr (T == ScalarType::kUint64) {
      if (!ReadExactUint64(item, &unsigned_whole)) break;
    } else {
      if (!ReadExactInt(item, &whole)) break;
      if constexpr (T == ScalarType::kInt32) {
        if (whole < INT32_MIN || whole > INT32_MAX) break;
      } else if constexpr (T == ScalarType::kUint32) {
        if (whole < 0 || whole > static_cast<int64_t>(UINT32_MAX)) break;
      }
    }
    if (static_cast<size_t>(end - p) < kItemMax) [[unlikely]] {
      out.Seek(p);
      // Refused: the buffer is failed and Finish reports it; nothing more is written.
      if (out.Reserve(kItemMax) == nullptr) return count;
      p = out.cursor();
      end = out.room_end();
    }
    *p = ',';
    p += comma;
    comma = 1;
    if constexpr (T == ScalarType::kDouble) {
      p += FormatFloatRepr(real, p);
    } else if constexpr (kQuoted) {
      *p = '"';
      const size_t n =
          T == ScalarType::kUint64 ? FormatUnsignedInRoom(unsigned_whole, p + 1) : FormatIntegerInRoom(whole, p + 1);
      p[n + 1] = '"';
      p += n + 2;
    } else {
      p += FormatIntegerInRoom(whole, p);
    }
  }
  out.Seek(p);
  if (comma != 0) text_.NoteArrayItems();
  return i;
}

}  // namespace velum::json_sink
