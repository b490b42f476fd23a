#include "json_sink/json_text_sink.h"

#include <cstring>

#include "common/py_error.h"
#include "json_sink/base64.h"
#include "json_sink/json_events.h"
#include "json_sink/latin1_text.h"

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

// The text becomes a `str` in one copy: ASCII straight into a compact ASCII
// str, text below U+0100 decoded into a one-byte str of the size tallied on
// the way, anything wider by the interpreter's decoder.
Result<Ref> JsonTextSink::Finish() noexcept {
  if (!text_.ok()) return Status(ErrorKind::kMemory, "out of memory while writing JSON");
  text_.ShrinkToFit();
  const auto* data = reinterpret_cast<const uint8_t*>(text_.data());
  const size_t size = text_.size();
  if (!text_.non_ascii()) {
    Ref text = Ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(size), 0x7f));
    if (!text) return Status::Pending();
    if (size != 0) std::memcpy(PyUnicode_1BYTE_DATA(text.get()), data, size);
    return text;
  }
  if (text_.latin1_only() && text_.latin1_extra() < size) {
    const size_t length = size - text_.latin1_extra();
    Ref text = Ref::steal(PyUnicode_New(static_cast<Py_ssize_t>(length), 0xff));
    if (!text) return Status::Pending();
    // The tally is checked by the decoding itself; a mismatch (never expected)
    // falls through to the general decoder.
    if (Utf8ToLatin1(data, size, PyUnicode_1BYTE_DATA(text.get()), length)) return text;
  }
  Ref text = Ref::steal(PyUnicode_DecodeUTF8(text_.data(), static_cast<Py_ssize_t>(size), nullptr));
  if (!text) return Status::Pending();
  return text;
}

}  // namespace velum::json_sink
