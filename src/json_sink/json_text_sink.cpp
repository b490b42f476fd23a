#include "json_sink/json_text_sink.h"

#include <cstring>

#include "common/py_error.h"
#include "json_sink/base64.h"
#include "json_sink/json_events.h"

namespace velum::json_sink {

namespace {

// The number behind an object that is neither float nor int: an int through
// __index__ when it has one, else None (and no exception set).
Ref IndexOrNull(PyObject* value) noexcept {
  if (!PyIndex_Check(value)) return Ref();
  Ref index = Ref::steal(PyNumber_Index(value));
  if (!index) PyErr_Clear();  // falls back to the float conversion
  return index;
}

}  // namespace

// Floats (subclasses included) print from their double and ints from their
// value, never through a subclass's own __repr__, and any other number
// through __index__ or its double: the text is always a JSON number.
Status JsonTextSink::PythonNumberGeneral(PyObject* value) noexcept {
  if (PyFloat_Check(value)) {
    text_.Float(PyFloat_AS_DOUBLE(value));
    return Status::Ok();
  }
  Ref index;
  if (!PyLong_Check(value)) {
    index = IndexOrNull(value);
    if (!index) {
      const double number = PyFloat_AsDouble(value);
      if (number == -1.0 && PyErr_Occurred()) return Status::Pending();
      text_.Float(number);
      return Status::Ok();
    }
    value = index.get();
  }
  int overflow = 0;
  const long long small = PyLong_AsLongLongAndOverflow(value, &overflow);
  if (overflow == 0) {
    if (small == -1 && PyErr_Occurred()) return Status::Pending();
    text_.Integer(small);
    return Status::Ok();
  }
  Ref digits = Ref::steal(PyLong_Type.tp_repr(value));
  if (!digits) return Status::Pending();
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(digits.get(), &size);
  if (utf8 == nullptr) return Status::Pending();
  text_.RawNumber(utf8, static_cast<size_t>(size));
  return Status::Ok();
}

Status JsonTextSink::Bytes(PyObject* data) noexcept {
  const auto content = ByteContent(data);
  const uint8_t* p = content.data();
  const size_t size = content.size();
  const size_t length = Base64Length(size);
  if (length == 0 && size != 0) return Status(ErrorKind::kMemory, "out of memory while writing JSON");
  text_.Base64(p, size, length);
  return Status::Ok();
}

Status JsonTextSink::Unencodable(PyObject* text) noexcept {
  Py_ssize_t size = 0;
  if (PyUnicode_AsUTF8AndSize(text, &size) == nullptr) return Status::Pending();
  return Status(ErrorKind::kValue, "surrogates not allowed");  // not expected: the scan found one
}

// The units are already those of the result: one allocation, one copy.
Result<Ref> JsonTextSink::Finish() noexcept {
  if (!text_.ok()) return Status(ErrorKind::kMemory, "out of memory while writing JSON");
  text_.ShrinkToFit();
  Ref text = Ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(text_.length()), text_.max_char()));
  if (!text) return Status::Pending();
  if (text_.size() != 0) std::memcpy(PyUnicode_DATA(text.get()), text_.data(), text_.size());
  return text;
}

}  // namespace velum::json_sink
