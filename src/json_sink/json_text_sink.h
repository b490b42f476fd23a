// JsonTextSink: JSON writer events to compact JSON text, returned as a `str`.
// The text is built at the width of the result (see UnitBuffer): strings are
// copied in as their own code units, never through UTF-8. Only the events
// that read a Python object can fail (a `str` holding surrogates, which UTF-8
// refuses; a number's own conversion); memory exhaustion is reported once, by
// Finish.
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
  // `name` is a `str`; its units are read in place.
  Status MemberName(PyObject* name) noexcept {
    if (!text_.MemberUnits(PyUnicode_DATA(name), static_cast<size_t>(PyUnicode_GET_LENGTH(name)),
                           PyUnicode_KIND(name), PyUnicode_IS_ASCII(name))) [[unlikely]]
      return Unencodable(name);
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
  Status String(std::string_view value) noexcept {
    text_.String(value.data(), value.size());
    return Status::Ok();
  }
  // `value` is a `str`; its units are read in place.
  Status PythonString(PyObject* value) noexcept {
    if (!text_.StringUnits(PyUnicode_DATA(value), static_cast<size_t>(PyUnicode_GET_LENGTH(value)),
                           PyUnicode_KIND(value), PyUnicode_IS_ASCII(value))) [[unlikely]]
      return Unencodable(value);
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

  // The error of a `str` holding a surrogate: the interpreter's own, from
  // its UTF-8 encoder.
  static Status Unencodable(PyObject* text) noexcept;
  Status PythonNumberGeneral(PyObject* value) noexcept;

  static constexpr size_t kFirstFrames = 64;

  alignas(8) char first_block_[kFirstBlock];
  char first_frames_[kFirstFrames];
  JsonText text_{first_block_, kFirstBlock, first_frames_, kFirstFrames};
};

}  // namespace velum::json_sink
