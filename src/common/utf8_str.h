// Python strs made from UTF-8 bytes.
#pragma once

#include <Python.h>

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "common/utf8_text.h"

namespace velum {

// A str from UTF-8 input, allocated once at its final width. Anything but
// well-formed text goes to PyUnicode_DecodeUTF8 for its exact error, and so do
// the empty and one-character strings, which CPython shares.
inline PyObject* NewStrFromUtf8(const uint8_t* data, size_t size) {
  const utf8::Measure text = utf8::MeasureText(data, size);
  if (!text.valid || text.length <= 1) {
    return PyUnicode_DecodeUTF8(reinterpret_cast<const char*>(data), static_cast<Py_ssize_t>(size), nullptr);
  }
  PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(text.length), text.max_char);
  if (str == nullptr) return nullptr;
  switch (text.max_char) {
    case utf8::kAsciiMax:
      std::memcpy(PyUnicode_1BYTE_DATA(str), data, size);
      break;
    case utf8::kLatin1Max:
      utf8::DecodeText(data, size, PyUnicode_1BYTE_DATA(str));
      break;
    case utf8::kBmpMax:
      utf8::DecodeText(data, size, PyUnicode_2BYTE_DATA(str));
      break;
    default:
      utf8::DecodeText(data, size, PyUnicode_4BYTE_DATA(str));
      break;
  }
  return str;
}

}  // namespace velum
