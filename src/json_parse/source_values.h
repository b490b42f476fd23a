// What both JSON sources deliver besides plain C++ values, so that the
// reading routine can be written once as a template over the source.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>

#include "common/ref.h"
#include "common/status.h"
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

// The member name as a str: the tree's own key, else a new str.
inline Result<Ref> MemberNameObject(const MemberName& name) {
  if (name.object != nullptr) return Ref::borrow(name.object);
  Ref text = Ref::steal(NewStrFromText(name.text, name.ascii));
  if (!text) return Status::Pending();
  return text;
}

}  // namespace velum::json
