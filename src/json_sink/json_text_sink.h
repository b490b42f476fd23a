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
  Status BeginObject() noexcept {
    text_.BeginObject();
    return Status::Ok();
  }
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
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(name, &size);
    if (utf8 == nullptr) [[unlikely]]
      return Status::Pending();
    text_.MemberName(utf8, static_cast<size_t>(size));
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
  Status PythonString(PyObject* value) noexcept {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(value, &size);
    if (utf8 == nullptr) [[unlikely]]
      return Status::Pending();
    text_.String(utf8, static_cast<size_t>(size));
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
  Status PythonNumberGeneral(PyObject* value) noexcept;

  JsonText text_;
};

}  // namespace velum::json_sink
