// JsonTextSink: JSON writer events to compact UTF-8 text, returned as a `str`.
// Only the events that read a Python object can fail (the UTF-8 of a `str`
// holding lone surrogates, a number's own conversion); memory exhaustion is
// reported once, by Finish.
#pragma once

#include <string_view>

#include "common/ref.h"
#include "common/status.h"
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
  Status EndArray() noexcept {
    text_.EndArray();
    return Status::Ok();
  }
  // `name` is a `str`; its UTF-8 is read in place, without a copy.
  Status MemberName(PyObject* name) noexcept {
    const std::string_view utf8 = Utf8Of(name);
    if (utf8.data() == nullptr) [[unlikely]]
      return Status::Pending();
    text_.MemberName(utf8.data(), utf8.size(), true);
    return Status::Ok();
  }
  // A field's name: its prepared key text when it has one, else the str.
  Status MemberName(PyObject* name, std::string_view key) noexcept {
    if (key.empty()) [[unlikely]]
      return MemberName(name);
    text_.MemberKey(key.data(), key.size());
    return Status::Ok();
  }
  Status MemberName(std::string_view name) noexcept {
    text_.MemberName(name.data(), name.size());
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
    text_.String(value.data(), value.size());
    return Status::Ok();
  }
  Status PythonString(PyObject* value) noexcept {
    const std::string_view utf8 = Utf8Of(value);
    if (utf8.data() == nullptr) [[unlikely]]
      return Status::Pending();
    text_.String(utf8.data(), utf8.size(), true);
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
  Status PythonNumber(PyObject* value) noexcept {
    if (PyFloat_CheckExact(value)) {
      text_.Float(PyFloat_AS_DOUBLE(value));
      return Status::Ok();
    }
    return PythonNumberGeneral(value);
  }
  // The text as a new `str`, or MemoryError when an append was refused.
  Result<Ref> Finish() noexcept;

 private:
  // Small outputs are built here and never touch the heap until the result.
  static constexpr size_t kFirstBlock = 1024;

  // The UTF-8 of a `str`, in place: an ASCII str's own data, else its cached
  // UTF-8 (made on first use; null with the error set for lone surrogates).
  // Its width is announced to the text, so the result needs no measuring.
  std::string_view Utf8Of(PyObject* text) noexcept {
    if (PyUnicode_IS_COMPACT_ASCII(text)) [[likely]]
      return {static_cast<const char*>(PyUnicode_DATA(text)), static_cast<size_t>(PyUnicode_GET_LENGTH(text))};
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size);
    if (utf8 == nullptr) return {};
    if (PyUnicode_KIND(text) != PyUnicode_1BYTE_KIND) {
      text_.NoteNonAscii();
    } else if (!PyUnicode_IS_ASCII(text)) {
      text_.NoteLatin1(static_cast<size_t>(size - PyUnicode_GET_LENGTH(text)));
    }
    return {utf8, static_cast<size_t>(size)};
  }
  Status PythonNumberGeneral(PyObject* value) noexcept;

  static constexpr size_t kFirstFrames = 64;

  char first_block_[kFirstBlock];
  char first_frames_[kFirstFrames];
  JsonText text_{first_block_, kFirstBlock, first_frames_, kFirstFrames};
};

}  // namespace velum::json_sink
