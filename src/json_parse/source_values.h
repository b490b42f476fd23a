// What both JSON sources deliver besides plain C++ values, so that the
// reading routine can be written once as a template over the source.
#pragma once

#include <cstdint>
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
};

// The member name as a str: the tree's own key, else a new str.
inline Result<Ref> MemberNameObject(const MemberName& name) {
  if (name.object != nullptr) return Ref::borrow(name.object);
  Ref text = Ref::steal(NewStrFromUtf8(reinterpret_cast<const uint8_t*>(name.text.data()), name.text.size()));
  if (!text) return Status::Pending();
  return text;
}

}  // namespace velum::json
