#include "descriptor/default_parse.h"

#include <cmath>
#include <string_view>

#include "common/c_escape.h"
#include "common/raw_alloc.h"

namespace velum {

namespace {

constexpr long kTypeDouble = 1;
constexpr long kTypeFloat = 2;
constexpr long kTypeBool = 8;
constexpr long kTypeString = 9;
constexpr long kTypeBytes = 12;

// An empty Ref when the pending error says the text is malformed (so the caller
// names the field); any other error stays pending.
Result<Ref> Parsed(PyObject* made) {
  if (made != nullptr) return Ref::steal(made);
  if (!PyErr_ExceptionMatches(PyExc_ValueError) && !PyErr_ExceptionMatches(PyExc_OverflowError)) {
    return Status::Pending();
  }
  PyErr_Clear();
  return Ref();
}

Result<Ref> ParseBytes(PyObject* text) {
  Py_ssize_t size = 0;
  const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size);
  if (utf8 == nullptr) return Parsed(nullptr);  // a lone surrogate has no UTF-8
  RawVector<char> out(static_cast<size_t>(size) + 1);
  std::ptrdiff_t length = UnescapeC(std::string_view(utf8, static_cast<size_t>(size)), out.data());
  if (length < 0) return Ref();
  return Parsed(PyBytes_FromStringAndSize(out.data(), length));
}

Result<Ref> ParseFloating(long type, PyObject* text) {
  VELUM_ASSIGN_OR_RETURN(Ref number, Parsed(PyFloat_FromString(text)));
  if (!number || type != kTypeFloat) return number;
  double value = PyFloat_AS_DOUBLE(number.get());
  if (!std::isfinite(value)) return number;
  // Round to what a float field can hold, as a decoded value would be; a finite
  // value beyond its range is no valid default.
  unsigned char packed[4];
  if (PyFloat_Pack4(value, reinterpret_cast<char*>(packed), 1) < 0) return Parsed(nullptr);
  double rounded = PyFloat_Unpack4(reinterpret_cast<const char*>(packed), 1);
  if (rounded == -1.0 && PyErr_Occurred()) return Status::Pending();
  return Parsed(PyFloat_FromDouble(rounded));
}

}  // namespace

Result<Ref> ParseScalarDefault(long type, PyObject* text) {
  if (!PyUnicode_Check(text)) return Ref();
  switch (type) {
    case kTypeString:
      return Ref::borrow(text);
    case kTypeBytes:
      return ParseBytes(text);
    case kTypeBool:
      if (PyUnicode_CompareWithASCIIString(text, "true") == 0) return Ref::borrow(Py_True);
      if (PyUnicode_CompareWithASCIIString(text, "false") == 0) return Ref::borrow(Py_False);
      return Ref();
    case kTypeDouble:
    case kTypeFloat:
      return ParseFloating(type, text);
    default:
      return Parsed(PyLong_FromUnicodeObject(text, 0));
  }
}

}  // namespace velum
