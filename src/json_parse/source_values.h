// What both JSON sources deliver besides plain C++ values, so that the
// reading routine can be written once as a template over the source.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>

#include "common/ref.h"
#include "common/status.h"
#include "common/utf8_text.h"
#include "field_ops/scalar_convert.h"
#include "json_parse/json_tokenizer.h"

namespace velum::json {

// One number as read: an integer that fits 64 bits, a double, or an int
// object of any size (from a tree: always the int object itself).
struct NumberValue {
  enum class Form : uint8_t { kInt64, kDouble, kInt };
  Form form = Form::kInt64;
  int64_t int64 = 0;
  double real = 0;
  Ref object;  // kInt only
};

// A member name: its UTF-8 text and, from a tree, the key object itself.
// Both are borrowed and valid only until the member's value is read.
struct MemberName {
  std::string_view text;
  PyObject* object = nullptr;
  bool ascii = false;  // text known to be ASCII only
  // From text: its length in code points and widest class (utf8::k*Max) as
  // the tokenizer measured them, or 0 when it did not (an escaped name).
  size_t length = 0;
  uint32_t max_char = 0;
};

// A new str of text the tokenizer validated; `ascii` when it knows the text
// to be ASCII only, which is copied as it is. Empty and one-character
// strings take the interpreter's shared objects.
inline PyObject* NewStrFromText(std::string_view text, bool ascii) {
  const auto* data = reinterpret_cast<const uint8_t*>(text.data());
  if (!ascii || text.size() <= 1) return NewStrFromUtf8(data, text.size());
  PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(text.size()), 127);
  if (str != nullptr) std::memcpy(PyUnicode_1BYTE_DATA(str), data, text.size());
  return str;
}

// A new str of text the tokenizer validated and measured: allocated at its
// final width and decoded in one pass, without measuring it again.
inline PyObject* NewStrFromMeasured(std::string_view text, size_t length, uint32_t max_char) {
  if (max_char == utf8::kAsciiMax || length <= 1) return NewStrFromText(text, max_char == utf8::kAsciiMax);
  PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(length), max_char);
  if (str == nullptr) return nullptr;
  const auto* data = reinterpret_cast<const uint8_t*>(text.data());
  switch (max_char) {
    case utf8::kLatin1Max: utf8::DecodeText(data, text.size(), PyUnicode_1BYTE_DATA(str)); break;
    case utf8::kBmpMax: utf8::DecodeText(data, text.size(), PyUnicode_2BYTE_DATA(str)); break;
    default: utf8::DecodeText(data, text.size(), PyUnicode_4BYTE_DATA(str)); break;
  }
  return str;
}

// The member name as a str: the tree's own key, else a new str.
inline Result<Ref> MemberNameObject(const MemberName& name) {
  if (name.object != nullptr) return Ref::borrow(name.object);
  Ref text = Ref::steal(name.max_char != 0 ? NewStrFromMeasured(name.text, name.length, name.max_char)
                                           : NewStrFromText(name.text, name.ascii));
  if (!text) return Status::Pending();
  return text;
}

}  // namespace velum::json
